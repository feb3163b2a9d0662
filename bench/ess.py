"""Rank-normalised split-R-hat and bulk effective sample size, in NumPy alone.

One routine for every sampler the benchmarks compare: the code that
varnel.experiment uses for its posterior summaries
(src/_varnel_experiment/diagnostics.py, which needs NumPy alone),
loaded from the source tree by path so that it also serves environments where
varnel is not installed (the peers'). Input: an array of shape (chains, draws)
for one scalar, or (chains, draws, parameters) for the min/max helpers.
"""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

_SOURCE = Path(__file__).resolve().parent.parent / "src" / "_varnel_experiment" / "diagnostics.py"
_spec = importlib.util.spec_from_file_location("_varnel_experiment_for_bench", _SOURCE)
assert _spec is not None and _spec.loader is not None
_module = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = _module
_spec.loader.exec_module(_module)

split_chains = _module.split_chains
average_ranks = _module.average_ranks
z_scale = _module.z_scale
autocovariance = _module.autocovariance
ess_of_chains = _module.ess_of_chains
bulk_ess = _module.bulk_ess
rhat = _module.rhat
min_bulk_ess = _module.min_bulk_ess
max_rhat = _module.max_rhat
