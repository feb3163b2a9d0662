"""Adaptive experiments run trial by trial on top of varnel's estimators.

``AdaptiveExperiment`` keeps a model, the candidate stimuli and the trials so
far. After each recorded answer it draws the posterior with
``varnel.posterior.NUTSEstimator`` and scores the candidates with
``varnel.eig.EnumeratedMonteCarloEstimator``; it stops on a target posterior
sd of the location m or a trial count, and saves and resumes itself as JSON.

This package is imported while the extension initialises, so it never imports
``varnel`` at module level: the extension is looked up in ``sys.modules`` when
it is needed.

The package is split by concern: ``diagnostics`` (R-hat, effective sample
size), ``persistence`` (the file format and the models' settings records) and
``experiment`` (the trial loop), ``store`` (sessions in SQLite) and
``simulation`` (planning by simulated observers), ``box`` (stimuli from a
continuous range).
"""

from importlib import metadata as _metadata

from .box import StimulusBox
from .diagnostics import bulk_ess, normal_quantile, rhat
from .experiment import (
    DEFAULT_BOX_SAMPLES,
    DEFAULT_MAX_TRIALS,
    DEFAULT_SAMPLES,
    QUANTILES,
    UPDATES,
    AdaptiveExperiment,
    ParameterSummary,
    Posterior,
    PsychometricBand,
    SamplerError,
    ThresholdSummary,
    Trial,
)
from .persistence import _rebuild_model
from .simulation import STRATEGIES, simulate
from .store import SessionLockedError, SessionStore

try:
    __version__: str = _metadata.version("varnel")
except _metadata.PackageNotFoundError:  # run from a source tree
    __version__ = "unknown"

__all__ = ["AdaptiveExperiment", "ParameterSummary", "Posterior", "PsychometricBand", "SamplerError",
           "SessionLockedError", "SessionStore", "StimulusBox", "ThresholdSummary", "Trial", "bulk_ess", "rhat",
           "simulate"]
