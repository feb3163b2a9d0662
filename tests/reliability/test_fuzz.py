"""Every constructor and method of the three classes called with arguments of
arbitrary type, dtype, shape, layout and value, in arbitrary arrangements.
The only outcomes allowed are the documented result or TypeError,
OverflowError, MemoryError, or PanicException with a message (support.py)."""

import os

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from strategies import (
    anything, arguments, bool_lists, bool_vectors, float_list_lists, float_lists, float_matrices,
    HUGE_ALLOCATIONS, float_vectors, floats, instances, ints, models, or_anything,
)
from support import EigEstimator, Model, NUTSEstimator, call_checked

EXAMPLES = int(os.environ.get("VARNEL_FUZZ_EXAMPLES", "300"))

fuzz = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)


def is_model(result):
    assert isinstance(result, Model)
    text = str(result)
    assert text.startswith("TwoParameterPsychometricModel { k_prior: Normal { mean: ")


def is_float(result):
    assert type(result) is float


def is_prior_draw(result):
    assert type(result) is list and len(result) == 2
    assert all(type(v) is float for v in result)


def is_one_bool(result):
    assert type(result) is list and len(result) == 1 and type(result[0]) is bool


def is_scores(designs):
    def check(result):
        assert type(result) is np.ndarray and result.dtype == np.float64
        assert result.shape == (designs.shape[0],)
        assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata is False

    return check


def is_draws(estimator_settings):
    def check(result):
        assert type(result) is list
        assert len(result) <= estimator_settings["num_chains"]
        rows = estimator_settings["num_tune"] + estimator_settings["num_draws"]
        for chain in result:
            assert type(chain) is np.ndarray and chain.dtype == np.float64
            assert chain.ndim == 2 and chain.shape[1] == 2 and chain.shape[0] <= rows
            assert chain.flags.c_contiguous and chain.flags.writeable

    return check


# --- TwoParameterPsychometricModel ---------------------------------------------

MODEL_PARAMS = ["mu_k", "sigma_k", "mu_m", "sigma_m"]


@fuzz
@given(arguments(MODEL_PARAMS, {name: or_anything(floats | ints) for name in MODEL_PARAMS}))
def test_model_constructor(call):
    args, kwargs = call
    call_checked(Model, args, kwargs, is_model)


@fuzz
@given(models, st.lists(anything, max_size=2), st.dictionaries(st.text(max_size=3), anything, max_size=1))
def test_sample_prior(model, args, kwargs):
    call_checked(model.sample_prior, args, kwargs, is_prior_draw)


@fuzz
@given(models, arguments(["design"], {"design": or_anything(float_vectors)}))
def test_sample_prior_predictive(model, call):
    args, kwargs = call
    call_checked(model.sample_prior_predictive, args, kwargs, is_one_bool)


DATA_PARAMS = ["params", "design", "observations"]
DATA_VALUES = {
    "params": or_anything(float_lists),
    "design": or_anything(float_matrices),
    "observations": or_anything(bool_vectors),
}


@fuzz
@given(models, st.sampled_from(["log_likelihood", "log_posterior"]), arguments(DATA_PARAMS, DATA_VALUES))
def test_log_density(model, method, call):
    args, kwargs = call
    call_checked(getattr(model, method), args, kwargs, is_float)


@fuzz
@given(st.sampled_from(["sample_prior", "sample_prior_predictive", "log_likelihood", "log_posterior", "__str__"]),
       anything, st.lists(anything, max_size=3))
def test_model_methods_with_any_self(method, self_object, args):
    call_checked(getattr(Model, method), (self_object, *args), {}, None)


# --- EnumeratedMonteCarloEstimator ---------------------------------------------

SMALL_COUNTS = st.one_of(
    st.integers(0, 40),
    st.sampled_from([-1, 2**40, 2**62, 2**64 - 1, 2**64] if HUGE_ALLOCATIONS else [-1, 2**64]),
)


@fuzz
@given(arguments(["outcomes", "n_samples"], {"outcomes": or_anything(bool_lists), "n_samples": or_anything(ints)}))
def test_eig_constructor(call):
    args, kwargs = call
    call_checked(EigEstimator, args, kwargs, lambda r: isinstance(r, EigEstimator))


@fuzz
@given(
    bool_lists, SMALL_COUNTS,
    arguments(["model", "params", "candidate_designs"], {
        "model": or_anything(models), "params": or_anything(float_list_lists),
        "candidate_designs": or_anything(float_matrices),
    }),
)
def test_eig_estimate(outcomes, n_samples, call):
    try:
        estimator = EigEstimator(outcomes, n_samples)
    except OverflowError:
        return
    args, kwargs = call
    designs = kwargs.get("candidate_designs", args[2] if len(args) > 2 else None)
    check = is_scores(designs) if isinstance(designs, np.ndarray) and designs.ndim == 2 else None
    call_checked(estimator.estimate, args, kwargs, check)


@fuzz
@given(anything, st.lists(anything, max_size=4))
def test_eig_estimate_with_any_self(self_object, args):
    call_checked(EigEstimator.estimate, (self_object, *args), {}, None)


# --- NUTSEstimator ----------------------------------------------------------------

NUTS_PARAMS = ["num_tune", "num_draws", "num_chains", "maxdepth", "timeout", "max_energy_error", "seed"]
NUTS_VALUES = {
    "num_tune": or_anything(st.none() | ints),
    "num_draws": or_anything(st.none() | ints),
    "num_chains": or_anything(st.none() | ints),
    "maxdepth": or_anything(st.none() | ints),
    "timeout": or_anything(st.none() | floats | ints),
    "max_energy_error": or_anything(st.none() | floats),
    "seed": or_anything(st.none() | ints),
}


@fuzz
@given(arguments(NUTS_PARAMS, NUTS_VALUES))
def test_nuts_constructor(call):
    args, kwargs = call
    call_checked(NUTSEstimator, args, kwargs, lambda r: isinstance(r, NUTSEstimator))


small_nuts_settings = st.fixed_dictionaries({
    "num_tune": st.sampled_from([0, 1, 5, 20, 60]),
    "num_draws": st.sampled_from([0, 1, 5, 20]),
    "num_chains": st.integers(0, 2),
    "maxdepth": st.sampled_from([0, 1, 3, 10]),
    "timeout": st.sampled_from([0.0, 1e-9, 0.01, 0.1, 0.5]),
    "max_energy_error": st.one_of(st.sampled_from([1000.0, 0.0, -1.0, 1e-3]), floats),
    "seed": st.one_of(st.integers(0, 5), st.just(2**64 - 1)),
})

nuts_designs = st.one_of(
    float_matrices,
    st.builds(lambda n, k, m: np.column_stack([np.linspace(-3, 3, n), np.full(n, k)])[:, : max(1, m)],
              st.integers(0, 30), floats, st.integers(0, 2)),
)


def is_draws_and_stats(estimator_settings):
    check_draws = is_draws(estimator_settings)

    def check(result):
        import pyarrow

        assert type(result) is tuple and len(result) == 2
        draws, stats = result
        check_draws(draws)
        assert type(stats) is list and len(stats) == len(draws)
        for chain, table in zip(draws, stats):
            assert isinstance(table, pyarrow.RecordBatch)
            assert table.num_rows == chain.shape[0]
            table.validate(full=True)

    return check


NUTS_METHODS = {"estimate": is_draws, "estimate_with_stats": is_draws_and_stats}


@settings(fuzz, max_examples=max(20, EXAMPLES // 2))
@given(
    st.sampled_from(sorted(NUTS_METHODS)),
    small_nuts_settings,
    arguments(["model", "design", "observations"], {
        "model": or_anything(models), "design": or_anything(nuts_designs),
        "observations": or_anything(bool_vectors),
    }),
)
def test_nuts_estimate(method, estimator_settings, call):
    estimator = NUTSEstimator(**estimator_settings)
    args, kwargs = call
    call_checked(getattr(estimator, method), args, kwargs, NUTS_METHODS[method](estimator_settings))


@fuzz
@given(st.sampled_from(sorted(NUTS_METHODS)), anything, st.lists(anything, max_size=4))
def test_nuts_estimate_with_any_self(method, self_object, args):
    call_checked(getattr(NUTSEstimator, method), (self_object, *args), {}, None)


@fuzz
@given(st.sampled_from([Model, EigEstimator, NUTSEstimator]), st.sampled_from(instances() + [int, object]),
       st.lists(anything, max_size=3))
def test_new_called_directly(cls, subtype, args):
    # __new__ with a foreign or unrelated subtype, and object.__new__ on our types.
    call_checked(cls.__new__, (subtype, *args), {}, None)
    call_checked(object.__new__, (cls,), {}, None)
