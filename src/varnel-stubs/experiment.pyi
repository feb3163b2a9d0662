"""Adaptive experiments (varnel.experiment): the package _varnel_experiment,
whose annotations are the types."""

from _varnel_experiment import DEFAULT_BOX_SAMPLES as DEFAULT_BOX_SAMPLES
from _varnel_experiment import DEFAULT_MAX_TRIALS as DEFAULT_MAX_TRIALS
from _varnel_experiment import DEFAULT_SAMPLES as DEFAULT_SAMPLES
from _varnel_experiment import QUANTILES as QUANTILES
from _varnel_experiment import STRATEGIES as STRATEGIES
from _varnel_experiment import UPDATES as UPDATES
from _varnel_experiment import AdaptiveExperiment as AdaptiveExperiment
from _varnel_experiment import ParameterSummary as ParameterSummary
from _varnel_experiment import Posterior as Posterior
from _varnel_experiment import PsychometricBand as PsychometricBand
from _varnel_experiment import SamplerError as SamplerError
from _varnel_experiment import SessionLockedError as SessionLockedError
from _varnel_experiment import SessionStore as SessionStore
from _varnel_experiment import StimulusBox as StimulusBox
from _varnel_experiment import ThresholdSummary as ThresholdSummary
from _varnel_experiment import Trial as Trial
from _varnel_experiment import bulk_ess as bulk_ess
from _varnel_experiment import normal_quantile as normal_quantile
from _varnel_experiment import rhat as rhat
from _varnel_experiment import simulate as simulate

__version__: str

__all__ = ["AdaptiveExperiment", "ParameterSummary", "Posterior", "PsychometricBand", "SamplerError",
           "SessionLockedError", "SessionStore", "StimulusBox", "ThresholdSummary", "Trial", "bulk_ess", "rhat",
           "simulate"]
