"""Adaptive design of experiments with a binary response.

The submodules ``models``, ``posterior`` and ``eig`` are attributes of the
extension module, not importable packages: write ``varnel.models.X`` (or
``from varnel import models``), not ``import varnel.models``. They are written
here as namespaces so that type checkers see their classes. ``experiment``
(the pure-Python package ``_varnel_experiment``, annotated in its source) and
``runtime`` are importable: ``from varnel.experiment import AdaptiveExperiment``.
"""

from collections.abc import Sequence
from typing import Final, Literal, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt
import pyarrow as pa

from . import experiment as experiment
from . import runtime as runtime
from .runtime import PanicException as PanicException

# experiment is listed so that type checkers see it as exported; at run time
# varnel.__all__ names the three native submodules.
__all__ = ["models", "posterior", "eig", "experiment"]

__version__: str

_Float = SupportsFloat | SupportsIndex
_BoolLike = bool | np.bool_
_Link = Literal["logistic", "normal", "gumbel"]
# A rate fixed at a value, or estimated with a Beta(a, b) prior.
_Rate = _Float | tuple[_Float, _Float]

@final
class models:
    __all__: Final[list[str]]

    class TwoParameterPsychometricModel:
        """A two-parameter psychometric model. The model is defined as:

             k ~ Normal(k_mu, k_sigma)
             m ~ Normal(m_mu, m_sigma)
             y ~ BernoulliLogit(k * (x - m))

         where:
         - `k` is the slope of the psychometric function,
         - `m` is the location of the psychometric function,
         - `y` is the binary response,
        *"""

        def __new__(
            cls, mu_k: _Float, sigma_k: _Float, mu_m: _Float, sigma_m: _Float
        ) -> models.TwoParameterPsychometricModel: ...
        @property
        def settings(self) -> dict[str, float]:
            """The constructor's arguments as a new dict (mu_k, sigma_k, mu_m, sigma_m)."""
        def sample_prior(self) -> list[float]:
            """[k, m] drawn from the priors."""
        def sample_prior_predictive(self, design: npt.NDArray[np.float64]) -> list[bool]:
            """One simulated response at design[0] (a 1-D float64 array)."""
        def log_likelihood(
            self,
            params: Sequence[_Float],
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> float:
            """Log-likelihood of the observations at params = [k, m]; design is a 2-D
            float64 array with the stimulus in column 0."""
        def log_posterior(
            self,
            params: Sequence[_Float],
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> float:
            """Log prior plus log-likelihood at params = [k, m]."""
        def __str__(self) -> str: ...

    class PsychometricModel:
        """A psychometric model with a guess and a lapse rate:

             p(yes | x) = guess_rate + (1 - guess_rate - lapse_rate) * F(s * (x - m))
             log s ~ Normal(mu_log_s, sigma_log_s)
             m ~ Normal(mu_m, sigma_m)

         with F the cumulative distribution function named by ``link``. A rate
         given as a float is fixed; a pair (a, b) means it is estimated with a
         Beta(a, b) prior. Parameters are on the natural scale, in the order of
         ``param_names``: s, m, then guess_rate and lapse_rate when estimated.
         Raises ValueError naming the argument for bad settings."""

        def __new__(
            cls,
            *,
            link: _Link = "logistic",
            mu_log_s: _Float = 0.0,
            sigma_log_s: _Float = 1.0,
            mu_m: _Float = 0.0,
            sigma_m: _Float = 1.0,
            guess_rate: _Rate = 0.0,
            lapse_rate: _Rate = 0.0,
        ) -> models.PsychometricModel: ...
        @property
        def link(self) -> str: ...
        @property
        def mu_log_s(self) -> float: ...
        @property
        def sigma_log_s(self) -> float: ...
        @property
        def mu_m(self) -> float: ...
        @property
        def sigma_m(self) -> float: ...
        @property
        def guess_rate(self) -> float | tuple[float, float]:
            """The fixed rate, or the (a, b) of its Beta prior when estimated."""
        @property
        def lapse_rate(self) -> float | tuple[float, float]:
            """The fixed rate, or the (a, b) of its Beta prior when estimated."""
        @property
        def param_names(self) -> list[str]:
            """["s", "m"], then "guess_rate" and "lapse_rate" when estimated."""
        @property
        def settings(self) -> dict[str, str | float | tuple[float, float]]:
            """The constructor's arguments as a new dict: PsychometricModel(**settings)
            is an equal model."""
        def sample_prior(self) -> list[float]:
            """One parameter vector drawn from the priors, in param_names order."""
        def sample_prior_predictive(self, design: npt.NDArray[np.float64]) -> list[bool]:
            """One simulated response at design[0] (a 1-D float64 array)."""
        def log_likelihood(
            self,
            params: Sequence[_Float],
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> float:
            """Log-likelihood of the observations at params (natural scale, in
            param_names order); design is a 2-D float64 array with the stimulus in
            column 0."""
        def log_posterior(
            self,
            params: Sequence[_Float],
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> float:
            """Log prior plus log-likelihood at params (natural scale)."""
        def psychometric(
            self, points: npt.NDArray[np.float64], x: npt.NDArray[np.float64]
        ) -> npt.NDArray[np.float64]:
            """p(yes | x) at every point and stimulus: shape (len(points), len(x))."""
        def psychometric_band(
            self, points: npt.NDArray[np.float64], x: npt.NDArray[np.float64], quantiles: Sequence[_Float]
        ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
            """The mean of p(yes | x) over the points and its percentiles at every stimulus."""
        def threshold(self, points: npt.NDArray[np.float64], level: _Float) -> npt.NDArray[np.float64]:
            """The stimulus at which p(yes | x) = level at every point (NaN where never reached)."""
        def __str__(self) -> str: ...

    class ConditionsPsychometricModel:
        """PsychometricModel's function in each of ``num_conditions`` interleaved
        conditions, over designs of two columns (stimulus, condition index): a
        location m_c per condition; slope, guess and lapse rates shared by all
        conditions or one per condition. Parameters follow ``param_names``."""

        def __new__(
            cls,
            *,
            num_conditions: SupportsIndex,
            link: _Link = "logistic",
            mu_log_s: _Float = 0.0,
            sigma_log_s: _Float = 1.0,
            mu_m: _Float = 0.0,
            sigma_m: _Float = 1.0,
            guess_rate: _Rate = 0.0,
            lapse_rate: _Rate = 0.0,
            per_condition_slope: bool = False,
            per_condition_guess_rate: bool = False,
            per_condition_lapse_rate: bool = False,
        ) -> models.ConditionsPsychometricModel: ...
        @property
        def num_conditions(self) -> int: ...
        @property
        def link(self) -> str: ...
        @property
        def guess_rate(self) -> float | tuple[float, float]: ...
        @property
        def lapse_rate(self) -> float | tuple[float, float]: ...
        @property
        def param_names(self) -> list[str]:
            """The slopes, "m_0", "m_1", ..., then the estimated rates."""
        @property
        def settings(self) -> dict[str, str | int | bool | float | tuple[float, float]]: ...
        def sample_prior(self) -> list[float]: ...
        def log_likelihood(
            self,
            params: Sequence[_Float],
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> float: ...
        def log_posterior(
            self,
            params: Sequence[_Float],
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> float: ...
        def psychometric(
            self, points: npt.NDArray[np.float64], x: npt.NDArray[np.float64], condition: SupportsIndex
        ) -> npt.NDArray[np.float64]: ...
        def psychometric_band(
            self,
            points: npt.NDArray[np.float64],
            x: npt.NDArray[np.float64],
            condition: SupportsIndex,
            quantiles: Sequence[_Float],
        ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
        def threshold(
            self, points: npt.NDArray[np.float64], level: _Float, condition: SupportsIndex
        ) -> npt.NDArray[np.float64]: ...
        def __str__(self) -> str: ...

    class ContrastSensitivityModel:
        """The truncated log-parabola contrast sensitivity function over designs of
        (log10 spatial frequency, log10 contrast), with a psychometric function of
        log contrast relative to the threshold 1/S; parameters follow
        ``param_names``."""

        def __new__(
            cls,
            *,
            link: _Link = "logistic",
            log10_peak_sensitivity: tuple[_Float, _Float] = (2.0, 0.5),
            log10_peak_frequency: tuple[_Float, _Float] = (0.5, 0.3),
            log10_bandwidth: tuple[_Float, _Float] = (0.5, 0.15),
            log10_truncation: tuple[_Float, _Float] = (-0.3, 0.3),
            slope: _Float = 3.0,
            guess_rate: _Rate = 0.0,
            lapse_rate: _Rate = 0.0,
        ) -> models.ContrastSensitivityModel: ...
        @property
        def link(self) -> str: ...
        @property
        def slope(self) -> float: ...
        @property
        def guess_rate(self) -> float | tuple[float, float]: ...
        @property
        def lapse_rate(self) -> float | tuple[float, float]: ...
        @property
        def param_names(self) -> list[str]:
            """"peak_sensitivity", "peak_frequency", "bandwidth", "truncation", then the estimated rates."""
        @property
        def settings(self) -> dict[str, str | float | tuple[float, float]]: ...
        def sample_prior(self) -> list[float]: ...
        def log_likelihood(
            self,
            params: Sequence[_Float],
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> float: ...
        def log_posterior(
            self,
            params: Sequence[_Float],
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> float: ...
        def log_sensitivity(
            self, points: npt.NDArray[np.float64], log10_frequency: npt.NDArray[np.float64]
        ) -> npt.NDArray[np.float64]: ...
        def sensitivity_band(
            self,
            points: npt.NDArray[np.float64],
            log10_frequency: npt.NDArray[np.float64],
            quantiles: Sequence[_Float],
        ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
        def __str__(self) -> str: ...

_Model = (models.TwoParameterPsychometricModel | models.PsychometricModel | models.ConditionsPsychometricModel
          | models.ContrastSensitivityModel)

@final
class posterior:
    __all__: Final[list[str]]

    class NUTSEstimator:
        def __new__(
            cls,
            num_tune: SupportsIndex | None = None,
            num_draws: SupportsIndex | None = None,
            num_chains: SupportsIndex | None = None,
            maxdepth: SupportsIndex | None = None,
            timeout: _Float | None = None,
            max_energy_error: _Float | None = None,
            seed: SupportsIndex | None = None,
        ) -> posterior.NUTSEstimator: ...
        def estimate(
            self,
            model: _Model,
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> list[npt.NDArray[np.float64]]:
            """The draws of every chain, warm-up included: one float64 array of shape
            (num_tune + num_draws, len(param_names)) per chain, columns in the
            model's parameter order (k, m for the two-parameter model)."""
        def estimate_with_stats(
            self,
            model: _Model,
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> tuple[list[npt.NDArray[np.float64]], list[pa.RecordBatch]]:
            """What estimate returns, with each chain's per-draw sampler statistics as a
            pyarrow.RecordBatch (one row per draw, warm-up included): depth,
            maxdepth_reached, index_in_trajectory, logp, energy, chain, draw,
            diverging, energy_error, step_size, step_size_bar, mean_tree_accept,
            mean_tree_accept_sym, n_steps."""
        def log_likelihoods(
            self,
            model: _Model,
            points: npt.NDArray[np.float64],
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> npt.NDArray[np.float64]:
            """The log-likelihood of the trials at each point (rows of shape
            (n, len(param_names)), natural scale, inside the model's support)."""
        def move(
            self,
            model: _Model,
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
            points: npt.NDArray[np.float64],
            step_size: _Float,
            num_steps: SupportsIndex | None = None,
        ) -> tuple[npt.NDArray[np.float64], float, float, int]:
            """num_steps (default 2) NUTS transitions of every point under the
            posterior given the trials, each point its own chain from this
            estimator's seed: (moved points, next step size, mean acceptance,
            divergent transitions)."""

@final
class eig:
    __all__: Final[list[str]]

    class EnumeratedMonteCarloEstimator:
        """Rao- Blackwellized Monte Carlo estimator.
        Used to estimate the expected information gain of a design using simple Monte Carlo
        estimation while enumerating the outcomes of the experiment."""

        def __new__(
            cls, outcomes: Sequence[_BoolLike], n_samples: SupportsIndex
        ) -> eig.EnumeratedMonteCarloEstimator: ...
        def estimate(
            self,
            model: _Model,
            params: Sequence[Sequence[_Float]] | npt.NDArray[np.float64],
            candidate_designs: npt.NDArray[np.float64],
        ) -> npt.NDArray[np.float64]:
            """Expected information gain of each candidate design (one per row of
            candidate_designs, stimulus in column 0), averaged over n_samples
            parameter rows (in the model's parameter order) taken evenly from params (posterior draws), or
            drawn from the model's priors when params is empty."""
        def estimate_merged(
            self,
            model: _Model,
            params: Sequence[Sequence[_Float]] | npt.NDArray[np.float64],
            candidate_designs: npt.NDArray[np.float64],
        ) -> npt.NDArray[np.float64]:
            """estimate, with each run of equal consecutive sample rows (as
            resampled particles come) evaluated once and weighted by its
            length: the same estimate in fewer evaluations, rounded differently
            where a run is longer than one row."""
        def maximise_over_box(
            self,
            model: _Model,
            params: Sequence[Sequence[_Float]] | npt.NDArray[np.float64],
            lower: Sequence[_Float],
            upper: Sequence[_Float],
            coarse: SupportsIndex,
            num_conditions: SupportsIndex | None = None,
            merge_repeats: bool = False,
        ) -> tuple[tuple[float, ...], float, int]:
            """The design of largest expected information gain over a box of one
            or two continuous dimensions (in every condition when num_conditions
            is given): a coarse grid of `coarse` points per dimension, then a
            pattern search from the best three coarse points that lie apart, on
            the same samples (runs of equal rows evaluated once, as in
            estimate_merged, with merge_repeats). Returns (design, its score,
            designs scored)."""
