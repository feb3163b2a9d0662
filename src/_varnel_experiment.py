"""Adaptive experiments run trial by trial on top of varnel's estimators.

``AdaptiveExperiment`` keeps a model, the candidate stimuli and the trials so
far. After each recorded answer it draws the posterior with
``varnel.posterior.NUTSEstimator`` and scores the candidates with
``varnel.eig.EnumeratedMonteCarloEstimator``; it stops on a target posterior
sd of the location m or a trial count, and saves and resumes itself as JSON.

This module is imported while the extension initialises, so it never imports
``varnel`` at module level: the extension is looked up in ``sys.modules`` when
it is needed.

The rank-normalised split R-hat and bulk effective sample size below follow
Vehtari, Gelman, Simpson, Carpenter and Buerkner (2021): chains are split in
halves, the pooled draws are replaced by normal scores of their ranks, and the
effective sample size is computed from the autocorrelations with Geyer's
initial monotone sequence. They take an array of shape (chains, draws) for one
scalar; the benchmarks use the same routines (bench/ess.py).
"""

from __future__ import annotations

import contextlib
import functools
import json
import math
import numbers
import os
import secrets
import sys
import tempfile
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, NamedTuple, Union

import numpy as np

if TYPE_CHECKING:  # never at run time: the extension imports this module while it initialises
    import varnel

    Model = Union[varnel.models.PsychometricModel, varnel.models.TwoParameterPsychometricModel]

__all__ = ["AdaptiveExperiment", "ParameterSummary", "Posterior", "Trial", "bulk_ess", "rhat"]

# ---------------------------------------------------------------------------
# Convergence diagnostics

# Wichura's AS241 rational approximations of the normal quantile (the
# coefficients of the standard library's NormalDist.inv_cdf), evaluated for a
# whole array at once: the central region |p - 0.5| <= 0.425, then the tails
# by r = sqrt(-log(min(p, 1 - p))) below and above 5.
_AS241_CENTRAL = (
    (2.5090809287301226727e+3, 3.3430575583588128105e+4, 6.7265770927008700853e+4,
     4.5921953931549871457e+4, 1.3731693765509461125e+4, 1.9715909503065514427e+3,
     1.3314166789178437745e+2, 3.3871328727963666080e+0),
    (5.2264952788528545610e+3, 2.8729085735721942674e+4, 3.9307895800092710610e+4,
     2.1213794301586595867e+4, 5.3941960214247511077e+3, 6.8718700749205790830e+2,
     4.2313330701600911252e+1, 1.0),
)
_AS241_NEAR = (
    (7.74545014278341407640e-4, 2.27238449892691845833e-2, 2.41780725177450611770e-1,
     1.27045825245236838258e+0, 3.64784832476320460504e+0, 5.76949722146069140550e+0,
     4.63033784615654529590e+0, 1.42343711074968357734e+0),
    (1.05075007164441684324e-9, 5.47593808499534494600e-4, 1.51986665636164571966e-2,
     1.48103976427480074590e-1, 6.89767334985100004550e-1, 1.67638483018380384940e+0,
     2.05319162663775882187e+0, 1.0),
)
_AS241_FAR = (
    (2.01033439929228813265e-7, 2.71155556874348757815e-5, 1.24266094738807843860e-3,
     2.65321895265761230930e-2, 2.96560571828504891230e-1, 1.78482653991729133580e+0,
     5.46378491116411436990e+0, 6.65790464350110377720e+0),
    (2.04426310338993978564e-15, 1.42151175831644588870e-7, 1.84631831751005468180e-5,
     7.86869131145613259100e-4, 1.48753612908506148525e-2, 1.36929880922735805310e-1,
     5.99832206555887937690e-1, 1.0),
)


def _horner(coefficients: tuple[float, ...], r: np.ndarray) -> np.ndarray:
    value = np.full_like(r, coefficients[0])
    for c in coefficients[1:]:
        value = value * r + c
    return value


def normal_quantile(p: np.ndarray) -> np.ndarray:
    """The standard normal quantile of each probability in (0, 1), vectorised
    (the values of statistics.NormalDist().inv_cdf to within rounding)."""
    p = np.asarray(p, dtype=np.float64)
    q = p - 0.5
    central = np.abs(q) <= 0.425
    r = 0.180625 - q * q
    x = q * _horner(_AS241_CENTRAL[0], r) / _horner(_AS241_CENTRAL[1], r)
    if not central.all():
        with np.errstate(divide="ignore", invalid="ignore"):
            t = np.sqrt(-np.log(np.where(q <= 0.0, p, 1.0 - p)))
        near = t <= 5.0
        tn = t - 1.6
        tf = t - 5.0
        tail = np.where(near, _horner(_AS241_NEAR[0], tn) / _horner(_AS241_NEAR[1], tn),
                        _horner(_AS241_FAR[0], tf) / _horner(_AS241_FAR[1], tf))
        x = np.where(central, x, np.where(q < 0.0, -tail, tail))
    return x


def split_chains(x: np.ndarray) -> np.ndarray:
    """(chains, draws) -> (2 chains, draws // 2); the middle draw of an odd count is dropped."""
    x = np.asarray(x, dtype=np.float64)
    if x.ndim != 2:
        raise ValueError(f"expected an array of shape (chains, draws), got shape {x.shape}")
    half = x.shape[1] // 2
    return np.concatenate([x[:, :half], x[:, x.shape[1] - half :]], axis=0)


def average_ranks(values: np.ndarray) -> np.ndarray:
    """Ranks 1..n of a flat array, ties sharing the mean of their ranks."""
    uniq, inverse, counts = np.unique(values, return_inverse=True, return_counts=True)
    first = np.cumsum(counts) - counts  # ranks below each distinct value
    return (first + (counts + 1) / 2.0)[inverse.ravel()]


def z_scale(x: np.ndarray) -> np.ndarray:
    """Normal scores of the pooled ranks, (r - 3/8) / (S + 1/4) through the normal quantile."""
    flat = x.ravel()
    r = average_ranks(flat)
    return normal_quantile((r - 0.375) / (flat.size + 0.25)).reshape(x.shape)


def autocovariance(x: np.ndarray) -> np.ndarray:
    """Biased autocovariance of each row (divided by n), computed through the FFT."""
    n = x.shape[-1]
    centred = x - x.mean(axis=-1, keepdims=True)
    size = 1 << (2 * n - 1).bit_length()
    f = np.fft.rfft(centred, n=size, axis=-1)
    return np.fft.irfft(f * np.conjugate(f), n=size, axis=-1)[..., :n] / n


def ess_of_chains(x: np.ndarray) -> float:
    """Effective sample size of (chains, draws) as given (no splitting, no ranking)."""
    n_chain, n_draw = x.shape
    if n_draw < 4:
        return float("nan")
    acov = autocovariance(x)
    mean_var = acov[:, 0].mean() * n_draw / (n_draw - 1.0)
    var_plus = mean_var * (n_draw - 1.0) / n_draw
    if n_chain > 1:
        var_plus += x.mean(axis=1).var(ddof=1)
    if not var_plus > 0.0:
        return float("nan")
    rho = np.zeros(n_draw)
    rho[0] = 1.0
    rho_even = 1.0
    rho_odd = 1.0 - (mean_var - acov[:, 1].mean()) / var_plus
    rho[1] = rho_odd
    # Geyer's initial positive sequence: sum pairs while their sum stays positive.
    t = 1
    while t < n_draw - 3 and rho_even + rho_odd > 0.0:
        rho_even = 1.0 - (mean_var - acov[:, t + 1].mean()) / var_plus
        rho_odd = 1.0 - (mean_var - acov[:, t + 2].mean()) / var_plus
        if rho_even + rho_odd >= 0.0:
            rho[t + 1] = rho_even
            rho[t + 2] = rho_odd
        t += 2
    max_t = t - 2
    # The last positive even lag shortens the truncation bias (as in Stan).
    if rho_even > 0.0:
        rho[max_t + 1] = rho_even
    # Initial monotone sequence: pair sums may not increase.
    t = 1
    while t <= max_t - 2:
        if rho[t + 1] + rho[t + 2] > rho[t - 1] + rho[t]:
            rho[t + 1] = (rho[t - 1] + rho[t]) / 2.0
            rho[t + 2] = rho[t + 1]
        t += 2
    total = n_chain * n_draw
    tau = -1.0 + 2.0 * rho[: max_t + 1].sum() + rho[max_t + 1 : max_t + 2].sum()
    tau = max(tau, 1.0 / np.log10(total))
    return float(total / tau)


def bulk_ess(x: np.ndarray) -> float:
    """Rank-normalised bulk ESS of one scalar, x of shape (chains, draws); NaN when undefined."""
    s = split_chains(x)
    if not np.all(np.isfinite(s)):
        return float("nan")
    return ess_of_chains(z_scale(s))


def _split_rhat(s: np.ndarray) -> float:
    n = s.shape[1]
    within = s.var(axis=1, ddof=1).mean()
    between = n * s.mean(axis=1).var(ddof=1)
    return float(np.sqrt(((n - 1.0) / n * within + between / n) / within))


def rhat(x: np.ndarray) -> float:
    """Rank-normalised split R-hat of one scalar, x of shape (chains, draws): the larger
    of the bulk and the folded (tail) value; NaN when undefined."""
    s = split_chains(x)
    if not np.all(np.isfinite(s)):
        return float("nan")
    bulk = _split_rhat(z_scale(s))
    tail = _split_rhat(z_scale(np.abs(s - np.median(s))))
    return max(bulk, tail)


def min_bulk_ess(draws: np.ndarray) -> float:
    """Smallest bulk ESS over parameters; draws of shape (chains, draws, parameters)."""
    return min(bulk_ess(draws[:, :, j]) for j in range(draws.shape[2]))


def max_rhat(draws: np.ndarray) -> float:
    """Largest rank-normalised R-hat over parameters; draws of shape (chains, draws, parameters)."""
    return max(rhat(draws[:, :, j]) for j in range(draws.shape[2]))


# ---------------------------------------------------------------------------
# Results

QUANTILES = (2.5, 25.0, 50.0, 75.0, 97.5)  # percent


class Trial(NamedTuple):
    """One recorded trial: the stimulus presented (a candidate) and the answer."""

    x: float
    response: bool


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

_FORMAT = "varnel.experiment"
_FORMAT_VERSION = 2
# Version 1 files predate the incremental update: they resume from scratch.
_READABLE_VERSIONS = (1, 2)

_MODEL_CLASSES = ("PsychometricModel", "TwoParameterPsychometricModel")


def _varnel() -> Any:
    module = sys.modules.get("varnel")
    if module is None:  # this file loaded on its own, outside the package
        import varnel as module
    return module


def _model_classes() -> tuple[type, ...]:
    models = _varnel().models
    return tuple(getattr(models, name) for name in _MODEL_CLASSES if hasattr(models, name))


def _model_settings(model: Any) -> dict[str, Any]:
    """The model's class name and constructor arguments, as JSON values."""
    settings: dict[str, Any] = {"class": next(c.__name__ for c in _model_classes() if isinstance(model, c))}
    for key, value in model.settings.items():
        settings[key] = list(value) if isinstance(value, tuple) else value
    return settings


def _rebuild_model(class_name: str, settings: dict[str, Any]) -> Any:
    """The model of class ``class_name`` with these settings (the constructor's
    keyword arguments; a Beta prior's pair may be a list); how models unpickle."""
    if class_name not in _MODEL_CLASSES:
        raise ValueError(f"unknown model class {class_name!r}")
    kwargs = {key: tuple(value) if isinstance(value, list) else value for key, value in settings.items()}
    return getattr(_varnel().models, class_name)(**kwargs)


def _model_from_settings(settings: Any) -> Any:
    if not isinstance(settings, dict):
        raise ValueError("'model' is not an object")
    kwargs = dict(settings)
    return _rebuild_model(kwargs.pop("class", None), kwargs)


# ---------------------------------------------------------------------------
# Argument checks

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


def _candidates(value: Any) -> np.ndarray:
    try:
        array = np.array(value, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise TypeError(f"argument 'candidates': expected a 1-D sequence of floats ({e})") from None
    if array.ndim != 1:
        raise ValueError(f"argument 'candidates': expected a 1-D array, got shape {array.shape}")
    if array.size == 0:
        raise ValueError("argument 'candidates': must not be empty")
    if not np.all(np.isfinite(array)):
        raise ValueError("argument 'candidates': every candidate must be finite")
    array.setflags(write=False)
    return array


# A recorded stimulus matches a candidate within this distance, relative to the
# candidate's magnitude when that exceeds 1 (float noise from a display loop).
_MATCH_TOLERANCE = 1e-9


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
# The experiment

class AdaptiveExperiment:
    """An adaptive experiment with a binary response, run trial by trial.

    ``model`` is a ``varnel.models.PsychometricModel`` or
    ``TwoParameterPsychometricModel``; ``candidates`` the stimuli that may be
    presented (a non-empty 1-D sequence of finite floats). The information gain
    averages over ``n_samples`` posterior draws. ``seed`` (a non-negative int;
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
        candidates: Iterable[float] | np.ndarray,
        *,
        num_tune: int = 400,
        num_draws: int = 1000,
        num_chains: int = 4,
        n_samples: int = 1000,
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
    ) -> None:
        classes = _model_classes()
        if not isinstance(model, classes):
            names = " or ".join(c.__name__ for c in classes)
            raise TypeError(f"argument 'model': expected a {names}, got {type(model).__name__}")
        self._model_settings = _model_settings(model)
        self._model = model
        self._param_names = tuple(getattr(model, "param_names", ["k", "m"]))
        self._candidates = _candidates(candidates)
        self._num_tune: int = _count("num_tune", num_tune)
        self._num_draws: int = _count("num_draws", num_draws)
        self._num_chains: int = _count("num_chains", num_chains)
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
        self._trials: list[Trial] = []
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
        """The candidate stimuli (a read-only float64 array)."""
        return self._candidates

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
        return self._target_sd

    @property
    def max_trials(self) -> int | None:
        return self._max_trials

    @property
    def update(self) -> str:
        """How the posterior follows the trials: "incremental" or "from_scratch"."""
        return self._update

    @property
    def trials(self) -> tuple[Trial, ...]:
        """Every recorded trial, oldest first (a read-only snapshot)."""
        return tuple(self._trials)

    def __len__(self) -> int:
        return len(self._trials)

    def __repr__(self) -> str:
        return (f"AdaptiveExperiment({self._model_settings['class']}, {self._candidates.size} candidates, "
                f"{len(self._trials)} trials, seed={self._seed})")

    # -- the loop ---------------------------------------------------------

    def record(self, x: float, response: bool) -> None:
        """Records one trial: ``x`` must be one of the candidates (within 1e-9,
        relative for candidates beyond ±1; the candidate itself is stored) and
        ``response`` a bool or numpy.bool_. Raises TypeError or ValueError
        naming the argument and records nothing when either is wrong."""
        if isinstance(x, (bool, np.bool_)) or not isinstance(x, numbers.Real):
            raise TypeError(f"argument 'x': expected a float, got {type(x).__name__}")
        value = float(x)
        if not math.isfinite(value):
            raise ValueError(f"argument 'x': must be finite, got {value}")
        distance = np.abs(self._candidates - value)
        index = int(np.argmin(distance))
        candidate = float(self._candidates[index])
        if distance[index] > _MATCH_TOLERANCE * max(1.0, abs(candidate)):
            raise ValueError(f"argument 'x': {value!r} is not one of the candidates "
                             f"(nearest {candidate!r})")
        if not isinstance(response, (bool, np.bool_)):
            raise TypeError(f"argument 'response': expected a bool, got {type(response).__name__}")
        self._trials.append(Trial(candidate, bool(response)))
        self._posterior = None
        self._scores = None

    def posterior(self) -> Posterior:
        """The posterior after the recorded trials (the prior before any), drawn
        once and kept until the next ``record``. Sampler failures propagate as
        ``varnel.PanicException``; the experiment stays usable."""
        if self._posterior is None:
            self._posterior = self._draw_posterior()
        return self._posterior

    def expected_information_gain(self) -> np.ndarray:
        """The expected information gain of every candidate under the current
        posterior, in nats (a read-only float64 array, in candidate order)."""
        if self._scores is None:
            draws = self.posterior().draws
            estimator = _varnel().eig.EnumeratedMonteCarloEstimator([False, True], self._n_samples)
            scores = np.asarray(estimator.estimate(self._model, draws, self._candidates.reshape(-1, 1)))
            scores.setflags(write=False)
            self._scores = scores
        return self._scores

    def next_stimulus(self) -> float:
        """The candidate with the largest expected information gain (the first
        of equal ones)."""
        return float(self._candidates[int(np.argmax(self.expected_information_gain()))])

    def done(self) -> bool:
        """True once ``max_trials`` trials are recorded or the posterior sd of m
        is below ``target_sd``; False when neither is set."""
        if self._max_trials is not None and len(self._trials) >= self._max_trials:
            return True
        if self._target_sd is not None:
            return self.posterior().sd("m") < self._target_sd
        return False

    def _nuts_seed(self, num_trials: int) -> int:
        return self._derived_seed((num_trials,))

    def _derived_seed(self, key: tuple[int, ...]) -> int:
        """A 64-bit seed from the experiment's seed and ``key`` (trial count, purpose)."""
        return int(np.random.SeedSequence(self._seed, spawn_key=key).generate_state(1, dtype=np.uint64)[0])

    def _trial_arrays(self, n: int) -> tuple[np.ndarray, np.ndarray]:
        design = np.array([t.x for t in self._trials[:n]], dtype=np.float64).reshape(n, 1)
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
        return Posterior(pooled, kept, self._param_names, divergences, n, time.perf_counter() - start)

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
                         update="incremental", weights_ess=p.ess, move_acceptance=p.move_acceptance)

    def _random(self, num_trials: int, purpose: int) -> np.random.Generator:
        return np.random.default_rng(np.random.SeedSequence(self._seed, spawn_key=(num_trials, purpose)))

    def _prior_particles(self) -> _Particles:
        """The particles before any trial: NUTS draws of the prior."""
        per_chain = -(-self._num_particles // self._num_chains)
        sampler = self._sampler(self._nuts_seed(0), per_chain)
        chains, stats = sampler.estimate_with_stats(self._model, np.zeros((0, 1)), np.zeros(0, dtype=bool))
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
        return int(divergences)

    def _varnel_posterior_estimator(self, num_trials: int) -> Any:
        return _varnel().posterior.NUTSEstimator(timeout=self._timeout, seed=self._derived_seed((num_trials, 1)))

    # -- saving and resuming ----------------------------------------------

    def _state(self) -> dict[str, Any]:
        return {
            "format": _FORMAT,
            "version": _FORMAT_VERSION,
            "model": self._model_settings,
            "candidates": [float(c) for c in self._candidates],
            "settings": {
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
            },
            "seed": self._seed,
            "trials": [[t.x, t.response] for t in self._trials],
        }

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes every setting, the seed and every trial to ``path`` as JSON,
        atomically: the text goes to a temporary file in the same directory,
        which is flushed to disk and then renamed over ``path``, so a crash or a
        failed write leaves the previous file as it was. OSError propagates."""
        path = os.fspath(path)
        text = json.dumps(self._state(), indent=1, allow_nan=False) + "\n"
        directory = os.path.dirname(os.path.abspath(path))
        fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
                f.flush()
                os.fsync(f.fileno())
            with contextlib.suppress(OSError):
                os.chmod(temporary, os.stat(path).st_mode & 0o7777 if os.path.exists(path) else 0o644)
            os.replace(temporary, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
        # The rename itself is made durable by syncing the directory.
        with contextlib.suppress(OSError):
            dir_fd = os.open(directory, os.O_RDONLY)
            try:
                os.fsync(dir_fd)
            finally:
                os.close(dir_fd)

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, progress: bool = False) -> AdaptiveExperiment:
        """The experiment saved at ``path``, with every trial, ready to continue
        where it stopped. Raises ValueError naming the file when it is
        truncated, corrupt, of another format version or holds invalid
        settings; OSError when it cannot be read."""
        path = os.fspath(path)
        with open(path, "rb") as f:
            raw = f.read()
        try:
            state = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            raise ValueError(f"{path}: not a readable experiment file, truncated or corrupt ({e})") from None
        if not isinstance(state, dict) or state.get("format") != _FORMAT:
            raise ValueError(f"{path}: not a varnel experiment file")
        version = state.get("version")
        if version not in _READABLE_VERSIONS:
            raise ValueError(f"{path}: experiment file format version {version!r} is not supported "
                             f"(this varnel reads versions {', '.join(map(str, _READABLE_VERSIONS))})")
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
            experiment = cls(_model_from_settings(state["model"]), state["candidates"], seed=state["seed"],
                             progress=progress, **settings)
            trials = state["trials"]
            if not isinstance(trials, list):
                raise ValueError("'trials' is not a list")
            for i, trial in enumerate(trials):
                if not (isinstance(trial, list) and len(trial) == 2):
                    raise ValueError(f"trial {i} is not a pair [x, response]")
                experiment.record(trial[0], trial[1])
        except (TypeError, ValueError) as e:
            raise ValueError(f"{path}: invalid experiment file: {e}") from e
        except _varnel().PanicException as e:  # how the two-parameter model refuses a non-finite sigma
            raise ValueError(f"{path}: invalid experiment file: {e}") from e
        return experiment

