"""The adaptive experiment: the trial loop, its posterior and its stopping rule."""

from __future__ import annotations

import contextlib
import copy
import dataclasses
import functools
import inspect
import json
import math
import numbers
import os
import secrets
import sys
import time
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, NamedTuple, Union

import numpy as np

from .diagnostics import bulk_ess, rhat
from .box import StimulusBox
from .persistence import (
    _FORMAT,
    _FORMAT_VERSION,
    _design_columns,
    _model_classes,
    _model_from_settings,
    _model_settings,
    _varnel,
    read_state,
    write_json_atomic,
)

if TYPE_CHECKING:  # never at run time: the extension imports this package while it initialises
    import varnel

    Model = Union[varnel.models.PsychometricModel, varnel.models.TwoParameterPsychometricModel,
                  varnel.models.ConditionsPsychometricModel, varnel.models.ContrastSensitivityModel]

__all__ = ["AdaptiveExperiment", "ParameterSummary", "Posterior", "SamplerError", "Trial"]

QUANTILES = (2.5, 25.0, 50.0, 75.0, 97.5)  # percent


class Trial(NamedTuple):
    """One recorded trial: the stimulus ``x`` presented (a candidate, unless
    recorded ``off_grid``; a float, or a tuple of floats for a model of more
    design columns, such as (x, condition)), the ``response``, and the
    caller's ``metadata`` (a read-only mapping of JSON values, or None). The
    rule that chose each stimulus is a column of
    ``AdaptiveExperiment.trial_table()``."""

    x: float | tuple[float, ...]
    response: bool
    metadata: Mapping[str, Any] | None = None
    off_grid: bool = False


@contextlib.contextmanager
def _failures_reported_here() -> Iterator[None]:
    """Native failures inside are raised again as SamplerError with their
    message, so their diagnostics (with internal source places) are held back
    on this thread and in the sampler runs it starts, including chains that
    end after a timeout."""
    quiet = getattr(_varnel(), "_quiet_failures", None)
    if quiet is None:  # an extension without the switch
        yield
        return
    previous = quiet(True)
    try:
        yield
    finally:
        quiet(previous)


class SamplerError(RuntimeError):
    """The posterior of an experiment could not be drawn: the sampler timed out
    or failed (the message says which). The experiment keeps its trials and
    may be asked again."""


@dataclass(frozen=True)
class ParameterSummary:
    """Posterior summary of one parameter over the pooled draws after warm-up.

    ``quantiles`` maps percent (2.5, 25, 50, 75, 97.5) to the value; ``rhat`` is the
    rank-normalised split R-hat and ``bulk_ess`` the bulk effective sample size
    over the chains (NaN when the draws do not define them)."""

    mean: float
    sd: float
    quantiles: dict[float, float]
    rhat: float
    bulk_ess: float


UPDATES = ("incremental", "from_scratch")

# The trial count at which done() is True when max_trials is not set.
DEFAULT_MAX_TRIALS = 500
# The information gain's posterior draws: every particle of the incremental
# update for a list of candidates; half of them over a box, whose search
# scores several hundred designs a trial.
DEFAULT_SAMPLES = 2000
DEFAULT_BOX_SAMPLES = 1000


class PsychometricBand(NamedTuple):
    """p(yes | x) under the posterior: ``mean`` and ``quantiles`` (percent →
    array) at the stimuli ``x``."""

    x: np.ndarray
    mean: np.ndarray
    quantiles: dict[float, np.ndarray]


class ThresholdSummary(NamedTuple):
    """The stimulus at a performance ``level``: its ``draws`` (NaN where a draw
    never reaches the level), ``mean`` and ``quantiles`` (percent → value) over
    the draws that do, and the share ``unreached`` of those that do not."""

    level: float
    draws: np.ndarray
    mean: float
    quantiles: dict[float, float]
    unreached: float


def _read_only(a: np.ndarray) -> np.ndarray:
    a = np.array(a, dtype=np.float64)
    a.setflags(write=False)
    return a


def _percents(quantiles: Iterable[float]) -> list[float]:
    try:
        values = [float(q) for q in quantiles]
    except (TypeError, ValueError):
        raise TypeError("argument 'quantiles': expected a sequence of percentages") from None
    if not values or not all(0.0 <= q <= 100.0 for q in values):
        raise ValueError(f"argument 'quantiles': percentages in [0, 100], got {values}")
    return values


def _summary(column: np.ndarray) -> ParameterSummary:
    values = np.percentile(column, QUANTILES)
    return ParameterSummary(mean=float(column.mean()), sd=float(column.std(ddof=1)) if column.size > 1 else
                            float("nan"), quantiles={q: float(v) for q, v in zip(QUANTILES, values)},
                            rhat=float("nan"), bulk_ess=float("nan"))


@dataclass(frozen=True)
class Posterior:
    """The posterior after ``num_trials`` trials.

    ``draws`` holds equally weighted posterior draws, one row per draw and one
    column per name in ``param_names`` (natural scale); ``chains`` the same
    draws as (chains, draws, parameters). Both arrays are read-only.

    ``update`` says how they were made. "from_scratch": the pooled draws after
    warm-up of ``num_chains`` NUTS chains run on every trial; ``divergences``
    counts their divergent transitions after warm-up. "incremental": the
    particles of a sequential Monte Carlo update, resampled to equal weights
    (``chains`` has one row); ``weights_ess`` is the effective sample size of
    the particle weights before that resampling, ``move_acceptance`` the mean
    acceptance of the last move of the particles (NaN before the first), and
    ``divergences`` counts the divergent transitions of the move made with the
    last trial.
    ``seconds`` is the time the update took.

    ``model`` is the model the draws are of (for ``psychometric`` and
    ``threshold``), ``observed`` the trials' (stimuli, responses) they are
    conditioned on. For a from-scratch update, ``warmup`` holds every chain's
    warm-up draws and ``sample_stats`` every chain's statistics table (a
    pyarrow.RecordBatch, warm-up rows first); both are None otherwise.

    ``summary`` is computed on first use: R-hat and bulk ESS are not part of a
    trial's cost."""

    draws: np.ndarray
    chains: np.ndarray
    param_names: tuple[str, ...]
    divergences: int
    num_trials: int
    seconds: float
    update: str = "from_scratch"
    weights_ess: float = float("nan")
    move_acceptance: float = float("nan")
    # The model the draws are of (for the psychometric function and thresholds).
    model: Any = field(default=None, repr=False, compare=False)
    # The trials (stimuli, responses) the posterior is conditioned on.
    observed: tuple[np.ndarray, np.ndarray] | None = field(default=None, repr=False, compare=False)
    # From-scratch NUTS runs: every chain's warm-up draws and its statistics
    # table (pyarrow.RecordBatch, warm-up rows first).
    warmup: np.ndarray | None = field(default=None, repr=False, compare=False)
    sample_stats: list[Any] | None = field(default=None, repr=False, compare=False)

    def to_inference_data(self) -> Any:
        """An ArviZ ``InferenceData`` (ArviZ is an optional dependency):
        ``posterior`` with one variable per parameter name, ``observed_data``
        (x, y) and, for a from-scratch update, ``sample_stats`` under ArviZ's
        names (diverging, energy, tree_depth, step_size, lp, n_steps) with the
        warm-up split off into ``warmup_posterior`` and ``warmup_sample_stats``.
        An incremental update's particles form one chain and carry no sampler
        statistics."""
        try:
            import arviz
        except ImportError:
            raise ImportError("to_inference_data needs ArviZ: pip install arviz") from None
        groups: dict[str, Any] = {
            "posterior": {name: np.asarray(self.chains[:, :, j]) for j, name in enumerate(self.param_names)}}
        if self.observed is not None:
            groups["observed_data"] = {"x": self.observed[0], "y": self.observed[1]}
        if self.sample_stats is not None and self.warmup is not None:
            tune = self.warmup.shape[1]
            columns = {"diverging": "diverging", "energy": "energy", "tree_depth": "depth",
                       "step_size": "step_size", "lp": "logp", "n_steps": "n_steps"}
            tables = {key: np.stack([t.column(column).to_numpy(zero_copy_only=False) for t in self.sample_stats])
                      for key, column in columns.items()}
            groups["sample_stats"] = {key: v[:, tune:] for key, v in tables.items()}
            groups["warmup_sample_stats"] = {key: v[:, :tune] for key, v in tables.items()}
            groups["warmup_posterior"] = {name: self.warmup[:, :, j] for j, name in enumerate(self.param_names)}
            groups["save_warmup"] = True
        return arviz.from_dict(**groups)

    def psychometric(self, x: Iterable[float] | np.ndarray, quantiles: Iterable[float] = (2.5, 97.5), *,
                     condition: int | None = None) -> PsychometricBand:
        """The psychometric function p(yes | x) at stimuli ``x`` under the posterior:
        its posterior mean and the ``quantiles`` (percent) of p(yes | x) over the
        draws, a credible band (95% by default), for any link, guess and lapse
        setting. For a conditions model, that of ``condition`` (required)."""
        xs = np.atleast_1d(np.asarray(x, dtype=np.float64))
        if xs.ndim != 1 or not np.all(np.isfinite(xs)):
            raise ValueError("argument 'x': expected finite stimuli in a 1-D sequence")
        percents = _percents(quantiles)
        condition = self._condition(condition)
        if hasattr(self.model, "psychometric_band"):  # one native pass over the draws
            condition_args = () if condition is None else (condition,)
            mean, values = self.model.psychometric_band(self.draws, xs, *condition_args, percents)
        else:
            curves = self._curves(xs, condition)
            mean, values = curves.mean(axis=0), np.percentile(curves, percents, axis=0)
        return PsychometricBand(_read_only(xs), _read_only(mean), {q: _read_only(v) for q, v in zip(percents, values)})

    def threshold(self, level: float, quantiles: Iterable[float] = (2.5, 97.5), *,
                  condition: int | None = None) -> ThresholdSummary:
        """The stimulus at which p(yes | x) = ``level`` (in (0, 1); 0.75 is 75%
        correct in a 2AFC task with guess rate 0.5), draw by draw: its draws
        (NaN for a draw whose function never reaches the level, between guess
        rate and 1 − lapse rate), posterior mean and ``quantiles`` (percent) over
        the draws that reach it, and the share that do not. For a conditions
        model, that of ``condition`` (required)."""
        if isinstance(level, (bool, np.bool_)) or not isinstance(level, numbers.Real):
            raise TypeError(f"argument 'level': expected a float, got {type(level).__name__}")
        level = float(level)
        if not 0.0 < level < 1.0:
            raise ValueError(f"argument 'level': must be in (0, 1), got {level}")
        percents = _percents(quantiles)
        draws = self._thresholds(level, self._condition(condition))
        reached = draws[np.isfinite(draws)]
        values = np.percentile(reached, percents) if reached.size else np.full(len(percents), np.nan)
        return ThresholdSummary(level, _read_only(draws), float(reached.mean()) if reached.size else float("nan"),
                                {q: float(v) for q, v in zip(percents, values)},
                                float(1.0 - reached.size / max(1, draws.size)))

    def weibull(self, base: float = math.e) -> dict[str, ParameterSummary]:
        """For the Gumbel link on a log stimulus axis, x = log_base(c): the
        Weibull function 1 − exp(−(c/α)^β) of the stimulus c itself, with
        α = base^m and β = s·ln(base), summarised like the parameters (rhat and
        bulk_ess NaN). ``base`` is e for x = ln c, 10 for x = log10 c."""
        if getattr(self.model, "link", None) != "gumbel":
            raise ValueError("weibull: the model's link is not 'gumbel'")
        s_draws = self.draws[:, self.param_names.index("s")]
        m_draws = self.draws[:, self.param_names.index("m")]
        return {"alpha": _summary(np.power(float(base), m_draws)), "beta": _summary(s_draws * math.log(base))}

    def sensitivity(self, log10_frequency: Iterable[float] | np.ndarray, quantiles: Iterable[float] = (2.5, 97.5)
                    ) -> PsychometricBand:
        """For a contrast sensitivity model: the log10 sensitivity (minus the
        log10 threshold contrast) at each log10 spatial frequency, its
        posterior mean and the ``quantiles`` (percent) over the draws, as a
        band (``x`` holds the frequencies)."""
        fs = self._frequencies(log10_frequency)
        percents = _percents(quantiles)
        mean, values = self.model.sensitivity_band(self.draws, fs, percents)  # one native pass over the draws
        return PsychometricBand(_read_only(fs), _read_only(mean), {q: _read_only(v) for q, v in zip(percents, values)})

    def log_csf_area(self, lower: float = -0.5, upper: float = 1.6, points: int = 1001) -> ParameterSummary:
        """For a contrast sensitivity model: the area under the log CSF,
        the integral of max(log10 S, 0) over log10 spatial frequency from
        ``lower`` to ``upper`` (by default about 0.3 to 40 cycles/degree), per
        draw by the trapezoidal rule on ``points`` points, summarised like the
        parameters (rhat and bulk_ess NaN)."""
        for name, value in (("lower", lower), ("upper", upper)):
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real) or not math.isfinite(value):
                raise ValueError(f"argument '{name}': expected a finite float, got {value!r}")
        if not lower < upper:
            raise ValueError(f"arguments 'lower' and 'upper': lower must be below upper, got {lower} and {upper}")
        grid = np.linspace(float(lower), float(upper), _count("points", points))
        curves = np.maximum(self._log_sensitivity(grid), 0.0)
        area = ((curves[:, 1:] + curves[:, :-1]) * 0.5 * np.diff(grid)).sum(axis=1)
        return _summary(area)

    def _frequencies(self, log10_frequency: Any) -> np.ndarray:
        if not hasattr(self.model, "log_sensitivity"):
            raise ValueError("this model has no contrast sensitivity function")
        fs = np.atleast_1d(np.asarray(log10_frequency, dtype=np.float64))
        if fs.ndim != 1 or not np.all(np.isfinite(fs)):
            raise ValueError("argument 'log10_frequency': expected finite values in a 1-D sequence")
        return fs

    def _log_sensitivity(self, log10_frequency: Any) -> np.ndarray:
        fs = self._frequencies(log10_frequency)
        return np.asarray(self.model.log_sensitivity(self.draws, fs))

    def _condition(self, condition: Any) -> int | None:
        """``condition`` checked against the model: required by a conditions model, refused by the others."""
        count = getattr(self.model, "num_conditions", None)
        if count is None:
            if condition is not None:
                raise ValueError("argument 'condition': this model has no conditions")
            return None
        if isinstance(condition, (bool, np.bool_)) or not isinstance(condition, numbers.Integral):
            raise TypeError(f"argument 'condition': expected the int index of one of the model's {count} conditions")
        if not 0 <= condition < count:
            raise ValueError(f"argument 'condition': conditions are the integers 0 to {count - 1}, got {condition}")
        return int(condition)

    def _curves(self, xs: np.ndarray, condition: int | None = None) -> np.ndarray:
        if condition is not None:
            return np.asarray(self.model.psychometric(self.draws, xs, condition))
        if hasattr(self.model, "psychometric"):
            return np.asarray(self.model.psychometric(self.draws, xs))
        k, m = self.draws[:, :1], self.draws[:, 1:2]  # the two-parameter model: σ(k·(x − m))
        return 0.5 * (1.0 + np.tanh(0.5 * k * (xs[None, :] - m)))

    def _thresholds(self, level: float, condition: int | None = None) -> np.ndarray:
        if condition is not None:
            return np.asarray(self.model.threshold(self.draws, level, condition))
        if hasattr(self.model, "threshold"):
            return np.asarray(self.model.threshold(self.draws, level))
        k, m = self.draws[:, 0], self.draws[:, 1]
        with np.errstate(divide="ignore", invalid="ignore"):
            x = m + math.log(level / (1.0 - level)) / k
        return np.where(np.isfinite(x), x, np.nan)

    @functools.cached_property
    def summary(self) -> dict[str, ParameterSummary]:
        """One ParameterSummary per parameter. For an incremental update, whose
        particles form no chains, ``rhat`` is NaN and ``bulk_ess`` is the
        effective sample size of the particle weights."""
        summary = {}
        for j, name in enumerate(self.param_names):
            column = self.draws[:, j]
            values = np.percentile(column, QUANTILES)
            if self.update == "incremental":
                r_hat, ess = float("nan"), float(self.weights_ess)
            elif self.chains.shape[1] >= 4:
                r_hat, ess = rhat(self.chains[:, :, j]), bulk_ess(self.chains[:, :, j])
            else:
                r_hat, ess = float("nan"), float("nan")
            summary[name] = ParameterSummary(
                mean=float(column.mean()),
                sd=float(column.std(ddof=1)) if column.size > 1 else float("nan"),
                quantiles={q: float(v) for q, v in zip(QUANTILES, values)},
                rhat=r_hat,
                bulk_ess=ess,
            )
        return summary

    def sd(self, name: str) -> float:
        """The posterior sd of one parameter, without the rest of the summary."""
        column = self.draws[:, self.param_names.index(name)]
        return float(column.std(ddof=1)) if column.size > 1 else float("nan")

    @property
    def max_rhat(self) -> float:
        """The largest R-hat over the parameters (NaN if any is NaN)."""
        values = [s.rhat for s in self.summary.values()]
        return float("nan") if any(math.isnan(v) for v in values) else max(values)

    @property
    def min_bulk_ess(self) -> float:
        """The smallest bulk ESS over the parameters (NaN if any is NaN)."""
        values = [s.bulk_ess for s in self.summary.values()]
        return float("nan") if any(math.isnan(v) for v in values) else min(values)


# ---------------------------------------------------------------------------
# Model settings, for saving and loading

# ---------------------------------------------------------------------------
# Argument checks

# Where the sampler's arithmetic on a normal prior works: its variance a normal
# double, its sd resolvable next to its mean, and for log s, slopes e^(±700).
_SIGMA_RANGE = (1e-150, 1e150)
_SIGMA_RESOLUTION = 1e-12
_LOG_S_REACH = 700.0


def _check_samplable(settings: Mapping[str, Any]) -> None:
    """Refuses, naming the setting, a model whose priors the sampler cannot
    start from: its posterior would fail at the first trial."""
    pairs = [(mu, mu.replace("mu_", "sigma_")) for mu in settings if mu.startswith("mu_")]
    for mu, sigma in pairs:
        centre, sd = float(settings[mu]), float(settings[sigma])
        if not _SIGMA_RANGE[0] <= sd <= _SIGMA_RANGE[1]:
            raise ValueError(f"argument 'model': {sigma}={sd:g} is outside [1e-150, 1e150], where the "
                             "sampler's arithmetic works")
        if sd < _SIGMA_RESOLUTION * abs(centre):
            raise ValueError(f"argument 'model': {sigma}={sd:g} is too narrow for doubles to resolve around "
                             f"{mu}={centre:g} (it must be at least 1e-12 * |{mu}|)")
    if "mu_log_s" in settings and abs(settings["mu_log_s"]) + 10.0 * settings["sigma_log_s"] > _LOG_S_REACH:
        raise ValueError(f"argument 'model': the prior of log s (mu_log_s={settings['mu_log_s']:g}, "
                         f"sigma_log_s={settings['sigma_log_s']:g}) reaches slopes beyond the range of doubles "
                         "(|mu_log_s| + 10 * sigma_log_s must be at most 700)")


def _count(name: str, value: Any) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"argument '{name}': expected a positive int, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"argument '{name}': must be at least 1, got {value}")
    return int(value)


def _positive_float(name: str, value: Any) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"argument '{name}': expected a float, got {type(value).__name__}")
    value = float(value)
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"argument '{name}': must be positive and finite, got {value}")
    return value


def _candidates(value: Any, model_name: str | None = None, width: int = 1) -> np.ndarray:
    """The candidates as a read-only float64 array: 1-D for a model of one
    design column, (n, width) rows for a model of more."""
    try:
        array = np.array(value, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise TypeError(f"argument 'candidates': expected a 1-D sequence of floats ({e})") from None
    if array.ndim == 2 and model_name is not None:
        # One candidate per row, one column per design column the model reads.
        if array.shape[1] != width:
            raise ValueError(f"argument 'candidates': has {array.shape[1]} columns, {model_name} reads {width}")
        if width == 1:
            array = array[:, 0].copy()
    elif width > 1:
        raise ValueError(f"argument 'candidates': expected an array of shape (n, {width}), one candidate per row, "
                         f"got shape {array.shape}")
    if array.ndim != (1 if width == 1 else 2):
        raise ValueError(f"argument 'candidates': expected a 1-D array, got shape {array.shape}")
    if array.size == 0:
        raise ValueError("argument 'candidates': must not be empty")
    if not np.all(np.isfinite(array)):
        raise ValueError("argument 'candidates': every candidate must be finite")
    array.setflags(write=False)
    return array


# A recorded stimulus matches a candidate within this distance, relative to the
# candidate's magnitude when that exceeds 1 (float noise from a display loop),
# or within this relative distance, which covers a candidate rounded to float32.
_MATCH_TOLERANCE = 1e-9
_MATCH_RELATIVE = 1e-6


def _scalar(value: Any) -> Any:
    """A 0-d array as its element; anything else as it is."""
    return value[()] if isinstance(value, np.ndarray) and value.ndim == 0 else value


def _response(value: Any) -> bool:
    value = _scalar(value)
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, numbers.Integral):
        if value in (0, 1):
            return bool(value)
        raise ValueError(f"argument 'response': an integer response must be 0 or 1, got {value}")
    raise TypeError(f"argument 'response': expected a bool or the integer 0 or 1, got {type(value).__name__}")


def _json_value(name: str, value: Any) -> Any:
    """A deep copy of a JSON value (finite numbers, str keys); TypeError naming the argument otherwise."""
    try:
        return json.loads(json.dumps(value, allow_nan=False))
    except (TypeError, ValueError) as e:
        raise TypeError(f"argument '{name}': expected JSON values (str keys, finite numbers): {e}") from None


def _metadata(value: Any) -> Mapping[str, Any] | None:
    if value is None:
        return None
    if not isinstance(value, Mapping):
        raise TypeError(f"argument 'metadata': expected a dict or None, got {type(value).__name__}")
    if not all(isinstance(key, str) for key in value):
        raise TypeError("argument 'metadata': every key must be a str")
    return MappingProxyType(_json_value("metadata", dict(value)))


# ---------------------------------------------------------------------------
# The incremental update's particles

@dataclass
class _Particles:
    """Weighted particles after ``num_trials`` trials (natural scale)."""

    points: np.ndarray
    log_weights: np.ndarray  # normalised: logsumexp == 0
    step_size: float         # where the next move starts
    num_trials: int
    move_acceptance: float = float("nan")
    resamples: int = 0
    # Particles still to be moved since the last resampling, in order.
    pending: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.intp))

    @property
    def weights(self) -> np.ndarray:
        return np.exp(self.log_weights)

    @property
    def ess(self) -> float:
        return _effective_size(self.log_weights)


def _effective_size(log_weights: np.ndarray) -> float:
    """1 / sum(w^2) of normalised weights given by their logs."""
    w = np.exp(log_weights)
    return float(1.0 / np.sum(w * w))


def _systematic_resample(weights: np.ndarray, size: int, u: float) -> np.ndarray:
    """Indices of ``size`` systematic draws from normalised weights with offset u in [0, 1)."""
    cumulative = np.cumsum(weights)
    cumulative[-1] = 1.0  # the total is 1 up to rounding
    return np.searchsorted(cumulative, (np.arange(size) + u) / size, side="right")


# ---------------------------------------------------------------------------
# Trials in files and stores

def _rule(rule: Any) -> str | None:
    if rule is None:
        return None
    if not isinstance(rule, str):
        raise TypeError(f"argument 'rule': expected a str, got {type(rule).__name__}")
    if not 0 < len(rule) <= 200:
        raise ValueError("argument 'rule': expected a name of 1 to 200 characters")
    return rule


def _trial_entry(trial: Trial, rule: str | None = None) -> list[Any]:
    """[x, response], with {"metadata": ..., "off_grid": true, "rule": ...} third when any is set."""
    entry: list[Any] = [list(trial.x) if isinstance(trial.x, tuple) else trial.x, trial.response]
    extra: dict[str, Any] = {}
    if trial.metadata is not None:
        extra["metadata"] = dict(trial.metadata)
    if trial.off_grid:
        extra["off_grid"] = True
    if rule is not None:
        extra["rule"] = rule
    if extra:
        entry.append(extra)
    return entry


def _trial_from_entry(entry: Any, i: int = 0) -> tuple[Trial, str | None]:
    if not (isinstance(entry, list) and len(entry) in (2, 3)):
        raise ValueError(f"trial {i} is not a pair [x, response] (with an optional object third)")
    extra = entry[2] if len(entry) == 3 else {}
    if not isinstance(extra, dict):
        raise ValueError(f"trial {i}: its third entry is not an object")
    return Trial(entry[0], entry[1], extra.get("metadata"), extra.get("off_grid", False)), _rule(extra.get("rule"))


_STATE_KEYS = ("format", "version", "written_by", "model", "candidates", "settings", "seed", "metadata",
               "trials", "discarded")


def _version() -> str:
    return str(getattr(_varnel(), "__version__", "unknown"))


# ---------------------------------------------------------------------------
# The experiment

class AdaptiveExperiment:
    """An adaptive experiment with a binary response, run trial by trial.

    ``model`` is a ``varnel.models.PsychometricModel`` or
    ``TwoParameterPsychometricModel``; ``candidates`` the stimuli that may be
    presented (a non-empty 1-D sequence of finite floats). The information gain
    averages over ``n_samples`` posterior draws, each run of equal draws
    scored once: by default DEFAULT_SAMPLES (2000, every particle of the
    incremental update), or DEFAULT_BOX_SAMPLES (1000) over a StimulusBox,
    whose search scores some 500 designs a trial where a list has tens.
    ``seed`` (a non-negative int;
    drawn from the OS when None and kept, so that a saved experiment resumes
    identically) fixes every random choice: equal settings and trials give
    equal choices. ``target_sd`` and ``max_trials`` define ``done()``;
    ``progress=True`` prints one line per posterior update to standard error.
    ``timeout`` bounds one sampler run in seconds.

    ``update`` chooses how the posterior follows the trials:

    - "incremental" (the default): sequential Monte Carlo over
      ``num_particles`` particles. The prior is drawn once with NUTS
      (``num_chains`` chains, ``num_tune`` warm-up draws); each trial then
      reweights the particles by its likelihood, and when the effective sample
      size of the weights falls below ``ess_threshold`` times the particle
      count, the particles are resampled (systematically). Resampled
      particles are then moved by ``num_moves`` NUTS transitions under the
      posterior of all trials so far, a share ``move_share`` of them per
      trial, so that no single trial carries the whole move. A trial costs
      one likelihood evaluation per particle, plus such a share of a move.
    - "from_scratch": every trial draws the posterior anew with
      ``num_chains`` NUTS chains of ``num_tune`` warm-up and ``num_draws``
      kept draws.

    Either way the state after n trials is a function of the seed and the
    trials alone (the run after n trials is seeded from (seed, n)), so a
    loaded experiment replays its trials and continues exactly as an
    uninterrupted one.

    Raises TypeError or ValueError naming the argument for bad settings.
    """

    def __init__(
        self,
        model: Model,
        candidates: Iterable[float] | Iterable[Iterable[float]] | np.ndarray | StimulusBox,
        *,
        num_tune: int = 400,
        num_draws: int = 1000,
        num_chains: int = 4,
        n_samples: int | None = None,
        seed: int | None = None,
        target_sd: float | None = None,
        max_trials: int | None = None,
        progress: bool = False,
        timeout: float = 100.0,
        update: str = "incremental",
        num_particles: int = 2000,
        ess_threshold: float = 0.5,
        num_moves: int = 1,
        move_share: float = 0.125,
        metadata: Mapping[str, Any] | None = None,
        target: str | float = "m",
        target_width: float | None = None,
    ) -> None:
        classes = _model_classes()
        if not isinstance(model, classes):
            names = " or ".join(c.__name__ for c in classes)
            raise TypeError(f"argument 'model': expected a {names}, got {type(model).__name__}")
        self._model_settings = _model_settings(model)
        _check_samplable(self._model_settings)
        self._model = model
        self._param_names = tuple(getattr(model, "param_names", ["k", "m"]))
        self._columns = _design_columns(self._model_settings["class"])
        self._box: StimulusBox | None = None
        self._box_choice: tuple[int, tuple[float, ...]] | None = None  # (trial count, the maximiser)
        self._grid_choice: tuple[np.ndarray, tuple[float, ...]] | None = None  # (the scores, their argmax)
        if isinstance(candidates, StimulusBox):
            continuous = [c for c in self._columns if c != "condition_index"]
            if candidates.dims != len(continuous):
                raise ValueError(f"argument 'candidates': a StimulusBox of {candidates.dims} dimensions, and a "
                                 f"{self._model_settings['class']} has {len(continuous)} continuous "
                                 f"({', '.join(continuous)})")
            self._box = candidates
            # The coarse grid stands for the box wherever a list of candidates is asked for.
            grid = candidates.coarse_designs(self._conditions())
            grid = grid[:, 0].copy() if len(self._columns) == 1 else grid
            grid.setflags(write=False)
            self._candidates = grid
        else:
            self._candidates = _candidates(candidates, self._model_settings["class"], len(self._columns))
        self._check_conditions(self._candidates, "candidates")
        self._num_tune: int = _count("num_tune", num_tune)
        self._num_draws: int = _count("num_draws", num_draws)
        self._num_chains: int = _count("num_chains", num_chains)
        if n_samples is None:
            n_samples = DEFAULT_BOX_SAMPLES if self._box is not None else DEFAULT_SAMPLES
        self._n_samples: int = _count("n_samples", n_samples)
        if seed is None:
            seed = secrets.randbits(63)
        if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, numbers.Integral):
            raise TypeError(f"argument 'seed': expected a non-negative int or None, got {type(seed).__name__}")
        if seed < 0:
            raise ValueError(f"argument 'seed': must be non-negative, got {seed}")
        self._seed: int = int(seed)
        self._target_sd: float | None = None if target_sd is None else _positive_float("target_sd", target_sd)
        self._max_trials: int | None = None if max_trials is None else _count("max_trials", max_trials)
        self._target_width: float | None = (None if target_width is None
                                            else _positive_float("target_width", target_width))
        if isinstance(target, str):
            default_unused = target == "m" and target_sd is None and target_width is None
            if target not in self._param_names and not (target == "m" and self._conditions() > 0) and not default_unused:
                raise ValueError(f"argument 'target': {target!r} is not a parameter "
                                 f"({', '.join(self._param_names)}) nor a performance level")
        elif isinstance(target, (bool, np.bool_)) or not isinstance(target, numbers.Real):
            raise TypeError(f"argument 'target': expected a parameter name or a level, got {type(target).__name__}")
        elif not 0.0 < float(target) < 1.0:
            raise ValueError(f"argument 'target': a performance level must be in (0, 1), got {target}")
        else:
            target = float(target)
        self._target: str | float = target
        if not isinstance(progress, (bool, np.bool_)):
            raise TypeError(f"argument 'progress': expected a bool, got {type(progress).__name__}")
        self._progress: bool = bool(progress)
        self._timeout: float = _positive_float("timeout", timeout)
        if not isinstance(update, str):
            raise TypeError(f"argument 'update': expected a str, got {type(update).__name__}")
        if update not in UPDATES:
            raise ValueError(f"argument 'update': expected one of {', '.join(map(repr, UPDATES))}, got {update!r}")
        self._update: str = update
        self._num_particles: int = _count("num_particles", num_particles)
        threshold = _positive_float("ess_threshold", ess_threshold)
        if threshold > 1.0:
            raise ValueError(f"argument 'ess_threshold': must be in (0, 1], got {threshold}")
        self._ess_threshold: float = threshold
        self._num_moves: int = _count("num_moves", num_moves)
        share = _positive_float("move_share", move_share)
        if share > 1.0:
            raise ValueError(f"argument 'move_share': must be in (0, 1], got {share}")
        self._move_share: float = share
        if metadata is not None and not isinstance(metadata, Mapping):
            raise TypeError(f"argument 'metadata': expected a dict or None, got {type(metadata).__name__}")
        self._metadata: dict[str, Any] = {} if metadata is None else _json_value("metadata", dict(metadata))
        self._trials: list[Trial] = []
        self._discarded: list[Trial] = []
        # What chose each stimulus, beside the trials (None where a file did not say).
        self._rules: list[str | None] = []
        self._discarded_rules: list[str | None] = []
        self._store: Any = None  # the session of a SessionStore this experiment writes to, if any
        self._extra: dict[str, Any] = {}  # keys of a loaded file this version does not use, kept on save
        self._before_last: _Particles | None = None  # the particles before the last trial was taken in
        self._posterior: Posterior | None = None  # for the current trials, when drawn
        self._scores: np.ndarray | None = None
        self._particles: _Particles | None = None  # the incremental update's state

    # -- settings ---------------------------------------------------------

    @property
    def model(self) -> Model:
        """The model."""
        return self._model

    @property
    def candidates(self) -> np.ndarray:
        """The candidate stimuli (a read-only float64 array: 1-D, or one row per
        candidate for a model of several design columns); for a
        ``StimulusBox``, the coarse grid its search starts from."""
        return self._candidates

    @property
    def stimulus_box(self) -> StimulusBox | None:
        """The continuous range the stimuli are chosen from, or None for a list of candidates."""
        return self._box

    @property
    def param_names(self) -> tuple[str, ...]:
        """The model's parameter names, the columns of the posterior draws."""
        return self._param_names

    @property
    def seed(self) -> int:
        """The base seed of every sampler run."""
        return self._seed

    @property
    def target_sd(self) -> float | None:
        """The sd of ``target`` below which ``done()`` is True (None: not a rule)."""
        return self._target_sd

    @property
    def max_trials(self) -> int | None:
        """The trial count at which ``done()`` is True (None: DEFAULT_MAX_TRIALS)."""
        return self._max_trials

    @property
    def update(self) -> str:
        """How the posterior follows the trials: "incremental" or "from_scratch"."""
        return self._update

    @property
    def trials(self) -> tuple[Trial, ...]:
        """Every recorded trial, oldest first (a read-only snapshot)."""
        return tuple(self._trials)

    @property
    def discarded(self) -> tuple[Trial, ...]:
        """The trials taken back by ``discard_last``, oldest first."""
        return tuple(self._discarded)

    @property
    def metadata(self) -> dict[str, Any]:
        """The session's metadata (a copy; JSON values). Change it with ``update_metadata``."""
        return copy.deepcopy(self._metadata)

    def update_metadata(self, values: Mapping[str, Any]) -> None:
        """Sets keys of the session's metadata (JSON values); a store session writes
        them at once."""
        if not isinstance(values, Mapping) or not all(isinstance(k, str) for k in values):
            raise TypeError("argument 'values': expected a dict with str keys")
        merged = {**self._metadata, **_json_value("values", dict(values))}
        if self._store is not None:
            self._store.write_metadata(merged)
        self._metadata = merged

    def settings(self) -> dict[str, Any]:
        """Every constructor setting but the model, the candidates and ``progress``,
        as JSON values: what a saved file and a session store keep."""
        return {
            "num_tune": self._num_tune,
            "num_draws": self._num_draws,
            "num_chains": self._num_chains,
            "n_samples": self._n_samples,
            "target_sd": self._target_sd,
            "max_trials": self._max_trials,
            "timeout": self._timeout,
            "update": self._update,
            "num_particles": self._num_particles,
            "ess_threshold": self._ess_threshold,
            "num_moves": self._num_moves,
            "move_share": self._move_share,
            "target": self._target,
            "target_width": self._target_width,
        }

    def __len__(self) -> int:
        return len(self._trials)

    def __repr__(self) -> str:
        return (f"AdaptiveExperiment({self._model_settings['class']}, {len(self._candidates)} candidates, "
                f"{len(self._trials)} trials, seed={self._seed})")

    # -- the loop ---------------------------------------------------------

    def record(self, x: float | Sequence[float], response: Any, *, metadata: Mapping[str, Any] | None = None,
               off_grid: bool = False, rule: str | None = None) -> None:
        """Records one trial. ``x`` is the stimulus, or for a model of several
        design columns the sequence of them (as ``next_design`` gives it); it
        must be one of the candidates (each value within 1e-9,
        relative for candidates beyond ±1, or within a relative 1e-6, which
        covers float32; the candidate itself is stored) unless ``off_grid`` is
        True, when any finite stimulus is stored as given and enters the
        posterior like any trial (a catch trial, a value actually shown).
        ``response`` is a bool, ``numpy.bool_`` or the integer 0 or 1 (any
        integer type, 0-d arrays included). ``metadata`` is an optional dict of
        JSON values kept with the trial (reaction time, condition, notes).
        ``rule`` names what chose the stimulus (a short text such as
        "staircase" or "catch"); by default it is "information_gain" when
        ``x`` is this experiment's ``next_stimulus()`` for these trials, else
        "caller". Raises TypeError or ValueError naming the argument and
        records nothing when any is wrong; bound to a session store, the trial
        is committed before this returns."""
        choice = self._choice()
        trial = self._checked_trial(x, response, metadata, off_grid, choice)
        rule = _rule(rule)
        if rule is None:
            chosen = not trial.off_grid and (trial.x if isinstance(trial.x, tuple) else (trial.x,)) == choice
            rule = "information_gain" if chosen else "caller"
        if self._store is not None:
            self._store.write_trial(trial, rule)
        self._append(trial, rule)

    def _stimulus(self, index: int) -> float | tuple[float, ...]:
        """Candidate ``index`` as a trial's stimulus."""
        if self._candidates.ndim == 1:
            return float(self._candidates[index])
        return tuple(float(v) for v in self._candidates[index])

    def _check_conditions(self, rows: np.ndarray, argument: str) -> None:
        """For a conditions model: every row's condition an index of the model."""
        if "condition_index" not in self._columns:
            return
        conditions = np.atleast_2d(rows)[:, self._columns.index("condition_index")]
        count = self._model_settings["num_conditions"]
        bad = ~((conditions == np.floor(conditions)) & (conditions >= 0) & (conditions < count))
        if bad.any():
            raise ValueError(f"argument '{argument}': condition {float(conditions[bad][0])!r} is not one of the "
                             f"model's conditions, the integers 0 to {count - 1}")

    def _checked_stimulus(self, x: Any, off_grid: bool,
                          choice: tuple[float, ...] | None = None) -> float | tuple[float, ...]:
        if len(self._columns) == 1:
            x = _scalar(x)
            if choice is not None and not off_grid and isinstance(x, float) and x == choice[0]:
                # The stimulus this experiment chose, as next_stimulus() gave it: a candidate, or in the box.
                return choice[0] if self._box is None else float(x)
            if isinstance(x, (tuple, list, np.ndarray)) and len(x) == 1:  # as next_design() gives it
                x = _scalar(np.asarray(x)[0]) if isinstance(x, np.ndarray) else x[0]
            if isinstance(x, (bool, np.bool_)) or not isinstance(x, numbers.Real):
                raise TypeError(f"argument 'x': expected a float, got {type(x).__name__}")
            values = np.array([float(x)])
        else:
            names = ", ".join(self._columns)
            try:
                values = np.array(x, dtype=np.float64)
            except (TypeError, ValueError):
                raise TypeError(f"argument 'x': expected a sequence ({names}) of floats") from None
            if values.shape != (len(self._columns),):
                raise ValueError(f"argument 'x': expected ({names}), {len(self._columns)} values, "
                                 f"got shape {values.shape}")
        if not np.all(np.isfinite(values)):
            shown = values[0] if values.size == 1 else tuple(values.tolist())
            raise ValueError(f"argument 'x': must be finite, got {shown}")
        self._check_conditions(values, "x")
        if self._box is not None and not off_grid:
            continuous = values[:self._box.dims]
            if not self._box.contains(continuous):
                raise ValueError(f"argument 'x': {tuple(continuous.tolist())!r} is outside the stimulus box "
                                 f"{self._box!r} (pass off_grid=True to record it as it is)")
            return float(values[0]) if values.size == 1 else tuple(float(v) for v in values)
        if off_grid:
            return float(values[0]) if values.size == 1 else tuple(float(v) for v in values)
        if values.size == 1:  # one column: the nearest candidate, its own tolerance
            value = float(values[0])
            index = int(np.argmin(np.abs(self._candidates - value)))
            candidate = float(self._candidates[index])
            if abs(candidate - value) > max(_MATCH_TOLERANCE * max(1.0, abs(candidate)), _MATCH_RELATIVE * abs(candidate)):
                raise ValueError(f"argument 'x': {value!r} is not one of the candidates "
                                 f"(nearest {candidate!r}; pass off_grid=True to record it as it is)")
            return candidate
        grid = self._candidates
        tolerance = np.maximum(_MATCH_TOLERANCE * np.maximum(1.0, np.abs(grid)), _MATCH_RELATIVE * np.abs(grid))
        distance = np.abs(grid - values)
        # The nearest candidate by its worst coordinate relative to that
        # coordinate's tolerance (a condition index and a stimulus differ in scale).
        index = int(np.argmin((distance / tolerance).max(axis=1)))
        if np.any(distance[index] > tolerance[index]):
            given = tuple(values.tolist())
            raise ValueError(f"argument 'x': {given!r} is not one of the candidates (nearest "
                             f"{self._stimulus(index)!r}; pass off_grid=True to record it as it is)")
        return self._stimulus(index)

    def _checked_trial(self, x: Any, response: Any, metadata: Any, off_grid: Any,
                       choice: tuple[float, ...] | None = None) -> Trial:
        if not isinstance(off_grid, (bool, np.bool_)):
            raise TypeError(f"argument 'off_grid': expected a bool, got {type(off_grid).__name__}")
        value = self._checked_stimulus(x, bool(off_grid), choice)
        return Trial(value, _response(response), _metadata(metadata), bool(off_grid))

    def _append(self, trial: Trial, rule: str | None = None) -> None:
        self._trials.append(trial)
        self._rules.append(rule)
        self._posterior = None
        self._scores = None

    def _restore(self, trial: Trial, rule: str | None, discarded: bool) -> None:
        """A trial read back from a file or store."""
        if discarded:
            self._discarded.append(trial)
            self._discarded_rules.append(rule)
        else:
            self._append(trial, rule)

    def discard_last(self) -> Trial:
        """Takes the last trial back (a response given by mistake, say) and returns
        it: the posterior and the next choices are then those of the trials
        before it. The trial is kept in ``discarded`` (and marked, not deleted,
        in a session store). IndexError when there is no trial."""
        if not self._trials:
            raise IndexError("discard_last: there is no trial to discard")
        if self._store is not None:
            self._store.discard_trial()
        trial = self._trials.pop()
        self._discarded.append(trial)
        self._discarded_rules.append(self._rules.pop())
        n = len(self._trials)
        p = self._particles
        if p is not None and p.num_trials > n:
            before = self._before_last
            self._particles = before if before is not None and before.num_trials == n else None
        self._before_last = None
        self._posterior = None
        self._scores = None
        return trial

    def posterior(self) -> Posterior:
        """The posterior after the recorded trials (the prior before any), drawn
        once and kept until the next ``record``. Sampler failures propagate as
        ``SamplerError`` (a RuntimeError); the experiment stays usable."""
        if self._posterior is None:
            try:
                with _failures_reported_here():
                    self._posterior = self._draw_posterior()
            except _varnel().PanicException as e:
                raise SamplerError(f"the posterior after {len(self._trials)} trials could not be drawn: "
                                   f"{e.args[0] if e.args else e}") from None
        return self._posterior

    def expected_information_gain(self) -> np.ndarray:
        """The expected information gain of every candidate under the current
        posterior, in nats (a read-only float64 array, in candidate order)."""
        if self._scores is None:
            scores = self._score(self._candidates.reshape(len(self._candidates), len(self._columns)))
            scores.setflags(write=False)
            self._scores = scores
        return self._scores

    def next_stimulus(self) -> float:
        """The candidate with the largest expected information gain (the first
        of equal ones). For a model of several design columns, such as
        (x, condition index), use ``next_design``."""
        if len(self._columns) > 1:
            raise TypeError(f"next_stimulus: a {self._model_settings['class']} design has {len(self._columns)} "
                            f"columns ({', '.join(self._columns)}); use next_design()")
        return self.next_design()[0]

    def next_design(self) -> tuple[float, ...]:
        """The candidate with the largest expected information gain (the first
        of equal ones) as a tuple of its design columns: (x,) for a model of
        one, (x, condition index) for a conditions model. ``record`` takes it
        as it is."""
        if self._store is not None:
            self._store.start_sync()  # on disk while the choice is worked out
        design = self._grid_design() if self._box is None else self._box_design(self._box)
        if self._store is not None:
            self._store.synced()  # the trials so far are on disk before the next is shown
        return design

    def _grid_design(self) -> tuple[float, ...]:
        scores = self.expected_information_gain()
        if self._grid_choice is None or self._grid_choice[0] is not scores:
            stimulus = self._stimulus(int(np.argmax(scores)))
            self._grid_choice = (scores, stimulus if isinstance(stimulus, tuple) else (stimulus,))
        return self._grid_choice[1]

    def _box_design(self, box: StimulusBox) -> tuple[float, ...]:
        n = len(self._trials)
        if self._box_choice is None or self._box_choice[0] != n:
            # The maximiser over the box under the current posterior, kept until the next trial.
            point, condition = box.maximise(self._eig_estimator(), self._model, self.posterior().draws,
                                            self._conditions())
            self._box_choice = (n, point if condition is None else (*point, float(condition)))
        return self._box_choice[1]

    def _choice(self) -> tuple[float, ...] | None:
        """The design this experiment chooses for the current trials, if it
        has already worked it out (None otherwise)."""
        if self._box is not None:
            return self._box_choice[1] if self._box_choice and self._box_choice[0] == len(self._trials) else None
        return None if self._scores is None else self._grid_design()

    def _eig_estimator(self) -> Any:
        return _varnel().eig.EnumeratedMonteCarloEstimator([False, True], self._n_samples)

    def _score(self, designs: np.ndarray) -> np.ndarray:
        """The expected information gain of `designs` under the current posterior."""
        # Resampled particles repeat; each run of equal draws is scored once.
        return np.asarray(self._eig_estimator().estimate_merged(self._model, self.posterior().draws, designs))

    def done(self) -> bool:
        """True once the stopping rule holds: ``max_trials`` trials are recorded
        (DEFAULT_MAX_TRIALS, 500, when it is not set, so that no loop is
        endless), or the posterior of ``target`` (a parameter name, "m" by
        default, or a performance level such as 0.75 for the threshold there)
        has an sd below ``target_sd`` or a 95% interval narrower than
        ``target_width``. With neither target set only the trial count stops."""
        limit = self._max_trials if self._max_trials is not None else DEFAULT_MAX_TRIALS
        if len(self._trials) >= limit:
            return True
        if self._target_sd is None and self._target_width is None:
            return False
        posterior = self.posterior()
        # With conditions, "m" and a level stand for every condition's, and all must meet the target.
        conditions = [None] if self._conditions() == 0 else list(range(self._conditions()))
        if isinstance(self._target, str):
            names = [f"m_{c}" for c in conditions] if self._target == "m" and conditions != [None] else [self._target]
            targets = [posterior.draws[:, self._param_names.index(name)] for name in names]
        else:
            targets = []
            for c in conditions:
                values = posterior.threshold(self._target, condition=c).draws
                if np.count_nonzero(np.isnan(values)) > 0.05 * values.size:
                    return False  # too many draws never reach the level to judge its precision
                targets.append(values[np.isfinite(values)])
        return all(self._meets_target(values) for values in targets)

    def _meets_target(self, values: np.ndarray) -> bool:
        if values.size < 2:
            return False
        if self._target_sd is not None and float(values.std(ddof=1)) < self._target_sd:
            return True
        if self._target_width is not None:
            low, high = np.percentile(values, (2.5, 97.5))
            return bool(high - low < self._target_width)
        return False

    def _conditions(self) -> int:
        """The number of interleaved conditions of a conditions model, else 0."""
        return int(self._model_settings.get("num_conditions", 0))

    def _nuts_seed(self, num_trials: int) -> int:
        return self._derived_seed((num_trials,))

    def _derived_seed(self, key: tuple[int, ...]) -> int:
        """A 64-bit seed from the experiment's seed and ``key`` (trial count, purpose)."""
        return int(np.random.SeedSequence(self._seed, spawn_key=key).generate_state(1, dtype=np.uint64)[0])

    def _observed(self, n: int) -> tuple[np.ndarray, np.ndarray]:
        design, observations = self._trial_arrays(n)
        return (design[:, 0] if design.shape[1] == 1 else design), observations

    def _trial_arrays(self, n: int) -> tuple[np.ndarray, np.ndarray]:
        design = np.array([t.x for t in self._trials[:n]], dtype=np.float64).reshape(n, len(self._columns))
        observations = np.array([t.response for t in self._trials[:n]], dtype=bool)
        return design, observations

    def _sampler(self, seed: int, num_draws: int) -> Any:
        return _varnel().posterior.NUTSEstimator(
            num_tune=self._num_tune, num_draws=num_draws, num_chains=self._num_chains,
            timeout=self._timeout, seed=seed,
        )

    def _draw_posterior(self) -> Posterior:
        start = time.perf_counter()
        if self._update == "incremental":
            result = self._incremental_posterior(start)
        else:
            result = self._from_scratch_posterior(start)
        if self._progress:
            print(f"varnel.experiment: {result.num_trials} trials: m = "
                  f"{float(result.draws[:, 1].mean()):.3f} ± {result.sd('m'):.3f}; "
                  f"{result.update} update, ESS {result.min_bulk_ess:.0f}, divergences {result.divergences}; "
                  f"{result.seconds * 1e3:.1f} ms", file=sys.stderr)
        return result

    def _from_scratch_posterior(self, start: float) -> Posterior:
        n = len(self._trials)
        design, observations = self._trial_arrays(n)
        sampler = self._sampler(self._nuts_seed(n), self._num_draws)
        chains, stats = sampler.estimate_with_stats(self._model, design, observations)
        kept = np.stack([c[self._num_tune:] for c in chains])  # (chains, draws, parameters)
        divergences = sum(
            int(np.count_nonzero(t.column("diverging").to_numpy(zero_copy_only=False)[self._num_tune:]))
            for t in stats
        )
        pooled = kept.reshape(-1, kept.shape[2])
        kept.setflags(write=False)
        pooled.setflags(write=False)
        warmup = np.stack([c[:self._num_tune] for c in chains])
        return Posterior(pooled, kept, self._param_names, divergences, n, time.perf_counter() - start,
                         model=self._model, observed=self._observed(n), warmup=warmup,
                         sample_stats=list(stats))

    def _incremental_posterior(self, start: float) -> Posterior:
        n = len(self._trials)
        if self._particles is None:
            self._particles = self._prior_particles()
        divergences = 0
        while self._particles.num_trials < n:  # one trial at a time, as they came
            divergences = self._advance_particles()
        p = self._particles
        # Equal-weight draws for the information gain and the summaries.
        u = self._random(n, 3).random()
        draws = p.points[_systematic_resample(p.weights, p.points.shape[0], u)]
        draws.setflags(write=False)
        chains = draws.reshape(1, *draws.shape)
        return Posterior(draws, chains, self._param_names, divergences, n, time.perf_counter() - start,
                         update="incremental", weights_ess=p.ess, move_acceptance=p.move_acceptance, model=self._model,
                         observed=self._observed(n))

    def _random(self, num_trials: int, purpose: int) -> np.random.Generator:
        return np.random.default_rng(np.random.SeedSequence(self._seed, spawn_key=(num_trials, purpose)))

    def _prior_particles(self) -> _Particles:
        """The particles before any trial: NUTS draws of the prior."""
        per_chain = -(-self._num_particles // self._num_chains)
        sampler = self._sampler(self._nuts_seed(0), per_chain)
        chains, stats = sampler.estimate_with_stats(self._model, np.zeros((0, len(self._columns))), np.zeros(0, dtype=bool))
        points = np.concatenate([c[self._num_tune:] for c in chains])[: self._num_particles]
        # The chains' adapted step sizes are where the first move starts.
        step = float(np.median([t.column("step_size")[-1].as_py() for t in stats]))
        size = points.shape[0]
        return _Particles(points, np.full(size, -math.log(size)), step, 0)

    def _advance_particles(self) -> int:
        """Takes in the next trial; returns the divergent transitions of its move.
        The particles change only once every step has succeeded, so a failure
        (a timeout, say) leaves them at the previous trial for a retry."""
        p = self._particles
        assert p is not None
        k = p.num_trials + 1
        snapshot = dataclasses.replace(p)
        estimator = self._varnel_posterior_estimator(k)
        design, observations = self._trial_arrays(k)
        log_w = p.log_weights + estimator.log_likelihoods(self._model, p.points, design[k - 1:], observations[k - 1:])
        top = np.max(log_w)
        if not np.isfinite(top):
            raise ValueError("the trials have zero likelihood at every particle")
        log_w = log_w - (top + np.log(np.sum(np.exp(log_w - top))))
        points, pending, resampled = p.points, p.pending, False
        size = points.shape[0]
        if _effective_size(log_w) < self._ess_threshold * size:
            points = points[_systematic_resample(np.exp(log_w), size, self._random(k, 2).random())]
            log_w = np.full(size, -math.log(size))
            # Every particle is moved once before the next resampling is due,
            # a share per trial: interleaved, so that each group of copies
            # starts to spread at once.
            rounds = max(1, round(1.0 / self._move_share))
            pending = np.argsort(np.arange(size) % rounds, kind="stable")
            resampled = True
        step, acceptance, divergences = p.step_size, p.move_acceptance, 0
        if pending.size > 0:
            chunk = max(1, math.ceil(size * self._move_share))
            picked, pending = pending[:chunk], pending[chunk:]
            moved, step, acceptance, divergences = estimator.move(
                self._model, design, observations, points[picked], p.step_size, self._num_moves)
            points = points.copy()
            points[picked] = moved
        p.points, p.log_weights, p.pending, p.num_trials = points, log_w, pending, k
        p.step_size, p.move_acceptance = step, acceptance
        p.resamples += int(resampled)
        self._before_last = snapshot
        return int(divergences)

    def _varnel_posterior_estimator(self, num_trials: int) -> Any:
        return _varnel().posterior.NUTSEstimator(timeout=self._timeout, seed=self._derived_seed((num_trials, 1)))

    # -- exports ------------------------------------------------------------

    def trial_table(self) -> list[dict[str, Any]]:
        """One dict per trial, kept trials in order and then the discarded ones:
        the session keys (participant, condition) when bound to a store, trial
        (1-based), x, response, off_grid, rule (what chose the stimulus:
        "information_gain", "caller", the name given to ``record``, or None
        for trials of files that did not keep it), discarded, and each
        metadata key as a column "metadata.<key>"."""
        keys = self._store.keys() if self._store is not None else {}
        rows = []
        for discarded, trials, rules in ((False, self._trials, self._rules),
                                         (True, self._discarded, self._discarded_rules)):
            for trial, rule in zip(trials, rules):
                stimulus = trial.x if isinstance(trial.x, tuple) else (trial.x,)
                row: dict[str, Any] = {**keys, "trial": len(rows) + 1, **dict(zip(self._columns, stimulus)),
                                       "response": trial.response, "off_grid": trial.off_grid, "rule": rule,
                                       "discarded": discarded}
                for key, value in (trial.metadata or {}).items():
                    row[f"metadata.{key}"] = value
                rows.append(row)
        return rows

    def to_dataframe(self) -> Any:
        """The trials as a pandas DataFrame (see ``trial_table``); pandas is an
        optional dependency (ImportError naming it when missing)."""
        try:
            import pandas
        except ImportError:
            raise ImportError("to_dataframe needs pandas: pip install pandas") from None
        return pandas.DataFrame(self.trial_table())

    def to_csv(self, path: str | os.PathLike[str]) -> None:
        """Writes the trials (see ``trial_table``) to ``path`` as CSV, with the
        standard library (no pandas needed); metadata values that are not
        numbers or text are written as JSON."""
        import csv

        rows = self.trial_table()
        columns = list(dict.fromkeys(key for row in rows for key in row)) or ["trial", "x", "response"]
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.DictWriter(f, fieldnames=columns)
            writer.writeheader()
            for row in rows:
                writer.writerow({k: json.dumps(v) if isinstance(v, (dict, list)) else v for k, v in row.items()})

    # -- saving and resuming ----------------------------------------------

    def _state(self) -> dict[str, Any]:
        return {
            **self._extra,
            "format": _FORMAT,
            "version": _FORMAT_VERSION,
            "written_by": _version(),
            "model": self._model_settings,
            "candidates": {"box": self._box.to_json()} if self._box is not None else self._candidates.tolist(),
            "settings": self.settings(),
            "seed": self._seed,
            "metadata": self._metadata,
            "trials": [_trial_entry(t, r) for t, r in zip(self._trials, self._rules)],
            "discarded": [_trial_entry(t, r) for t, r in zip(self._discarded, self._discarded_rules)],
        }

    def save(self, path: str | os.PathLike[str], *, overwrite: bool = False) -> None:
        """Writes every setting, the seed, the metadata and every trial to
        ``path`` as JSON, atomically: the text goes to a temporary file in the
        same directory, which is flushed to disk and then renamed over
        ``path``, so a crash or a failed write leaves the previous file as it
        was. Keys of a loaded file that this version does not use are written
        back. A file at ``path`` that is not an earlier state of this
        experiment (other trials, more trials, another seed, or not an
        experiment file at all) is not replaced unless ``overwrite`` is True:
        ValueError naming the file. OSError propagates."""
        path = os.fspath(path)
        if not overwrite and os.path.exists(path):
            self._check_replaceable(path)
        write_json_atomic(path, self._state())

    def _check_replaceable(self, path: str) -> None:
        try:
            _, old = read_state(path)
        except ValueError:
            raise ValueError(f"{path}: exists and is not a readable experiment file; "
                             "pass overwrite=True to replace it") from None
        entries = old.get("trials")
        ours = [_trial_entry(t) for t in self._trials]
        try:
            theirs = [_trial_entry(_trial_from_entry(e)[0]) for e in entries] if isinstance(entries, list) else None
        except ValueError:
            theirs = None
        if old.get("seed") != self._seed or theirs is None or theirs != ours[:len(theirs)]:
            count = len(entries) if isinstance(entries, list) else 0
            raise ValueError(f"{path}: holds another experiment ({count} trials, seed {old.get('seed')!r}), "
                             f"not an earlier state of this one ({len(self._trials)} trials, seed {self._seed}); "
                             "pass overwrite=True to replace it")

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, progress: bool = False) -> AdaptiveExperiment:
        """The experiment saved at ``path``, with every trial, ready to continue
        where it stopped. Raises ValueError naming the file when it is
        truncated, corrupt, of another format version or holds invalid
        settings; OSError when it cannot be read."""
        path, state = read_state(path)
        version = state["version"]
        missing = [key for key in ("model", "candidates", "settings", "seed", "trials") if key not in state]
        if missing:
            raise ValueError(f"{path}: experiment file lacks {', '.join(missing)}")
        try:
            settings = state["settings"]
            if not isinstance(settings, dict):
                raise ValueError("'settings' is not an object")
            if version == 1:
                if "update" in settings:
                    raise ValueError("'update' is not a setting of format version 1")
                settings = {**settings, "update": "from_scratch"}
            known = set(inspect.signature(cls).parameters)
            unknown = sorted(set(settings) - known)
            if unknown:
                raise ValueError(f"unknown setting {unknown[0]!r}")
            candidates = state["candidates"]
            if isinstance(candidates, dict) and set(candidates) == {"box"} and isinstance(candidates["box"], dict):
                candidates = StimulusBox(candidates["box"].get("lower"), candidates["box"].get("upper"))
            experiment = cls(_model_from_settings(state["model"]), candidates, seed=state["seed"],
                             progress=progress, metadata=state.get("metadata"), **settings)
            for key in ("trials", "discarded"):
                entries = state.get(key, [])
                if not isinstance(entries, list):
                    raise ValueError(f"'{key}' is not a list")
                for i, entry in enumerate(entries):
                    trial, rule = _trial_from_entry(entry, i)
                    experiment._restore(experiment._checked_trial(*trial), rule, discarded=key == "discarded")
            experiment._extra = {k: v for k, v in state.items() if k not in _STATE_KEYS}
        except (TypeError, ValueError) as e:
            raise ValueError(f"{path}: invalid experiment file: {e}") from e
        except _varnel().PanicException as e:  # how the two-parameter model refuses a non-finite sigma
            raise ValueError(f"{path}: invalid experiment file: {e}") from e
        return experiment

