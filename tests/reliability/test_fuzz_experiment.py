"""The experiment layer's new entry points fuzzed like the native ones:
recorded responses, stimuli and metadata, posterior quantities and the
session store's keys. TypeError, ValueError and IndexError are their
documented answers; nothing else may come out, and a refused trial leaves
the trials as they were."""

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

from strategies import anything, float_vectors, floats, ints
from support import GeneralModel, call_checked
from test_fuzz import fuzz
from varnel.experiment import AdaptiveExperiment, SessionStore

GRID = np.linspace(-2.0, 2.0, 9)
FAST = dict(num_tune=50, num_draws=50, num_chains=2, n_samples=50, num_particles=100)
EXPERIMENT = AdaptiveExperiment(GeneralModel(guess_rate=0.5), GRID, seed=1, **FAST)
POSTERIOR = EXPERIMENT.posterior()
ARGUMENT_ERRORS = (TypeError, ValueError)
json_values = st.recursive(st.none() | st.booleans() | floats | ints | st.text(max_size=5),
                           lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner,
                                                                                      max_size=3), max_leaves=6)
metadata = st.one_of(st.none(), anything, st.dictionaries(st.text(max_size=4) | ints, json_values, max_size=3))


@fuzz
@given(floats | ints | anything, st.booleans() | ints | anything, metadata, st.booleans() | anything)
def test_record(x, response, meta, off_grid):
    experiment = AdaptiveExperiment(GeneralModel(), GRID, seed=2, **FAST)
    before = experiment.trials
    result = call_checked(experiment.record, (x, response), {"metadata": meta, "off_grid": off_grid},
                          also_allowed=ARGUMENT_ERRORS)
    if result is None and len(experiment.trials) == len(before):
        assert experiment.trials == before
    else:
        assert len(experiment.trials) == 1 and type(experiment.trials[0].response) is bool


@fuzz
@given(float_vectors | anything, st.lists(floats, max_size=3) | anything, floats | anything)
def test_posterior_quantities(x, quantiles, level):
    call_checked(POSTERIOR.psychometric, (x, quantiles), also_allowed=ARGUMENT_ERRORS)
    call_checked(POSTERIOR.threshold, (level, quantiles), also_allowed=ARGUMENT_ERRORS)


@fuzz
@given(st.text(max_size=6) | anything, st.text(max_size=6) | anything)
def test_session_keys(participant, condition):
    # An in-memory database: SQLite's ":memory:" path, fresh per example.
    store = SessionStore(":memory:")
    try:
        call_checked(store.session, (participant,), {"condition": condition, "model": GeneralModel(),
                                                     "candidates": GRID, **FAST}, also_allowed=ARGUMENT_ERRORS)
    finally:
        store.close()
