"""Adaptive design of experiments with a binary response.

The submodules ``models``, ``posterior`` and ``eig`` are attributes of the
extension module, not importable packages: write ``varnel.models.X`` (or
``from varnel import models``), not ``import varnel.models``. They are written
here as namespaces so that type checkers see their classes.
"""

from collections.abc import Sequence
from typing import Final, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt
import pyarrow as pa

__all__ = ["models", "posterior", "eig"]

_Float = SupportsFloat | SupportsIndex
_BoolLike = bool | np.bool_

# Defined in the small module varnel.runtime (also reachable as varnel.PanicException).
class PanicException(BaseException):
    """An internal failure inside varnel (a broken invariant, an index out of
    range, an explicit stop such as a timeout). Derives from BaseException, so
    ``except Exception`` does not catch it."""

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
            model: models.TwoParameterPsychometricModel,
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> list[npt.NDArray[np.float64]]:
            """The draws of every chain, warm-up included: one float64 array of shape
            (num_tune + num_draws, 2) per chain, columns k and m."""
        def estimate_with_stats(
            self,
            model: models.TwoParameterPsychometricModel,
            design: npt.NDArray[np.float64],
            observations: npt.NDArray[np.bool_],
        ) -> tuple[list[npt.NDArray[np.float64]], list[pa.RecordBatch]]:
            """What estimate returns, with each chain's per-draw sampler statistics as a
            pyarrow.RecordBatch (one row per draw, warm-up included): depth,
            maxdepth_reached, index_in_trajectory, logp, energy, chain, draw,
            diverging, energy_error, step_size, step_size_bar, mean_tree_accept,
            mean_tree_accept_sym, n_steps."""

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
            model: models.TwoParameterPsychometricModel,
            params: Sequence[Sequence[_Float]] | npt.NDArray[np.float64],
            candidate_designs: npt.NDArray[np.float64],
        ) -> npt.NDArray[np.float64]:
            """Expected information gain of each candidate design (one per row of
            candidate_designs, stimulus in column 0), averaged over n_samples
            parameter rows (k, m) taken evenly from params (posterior draws), or
            drawn from the model's priors when params is empty."""
