"""PsychometricModel and the models built on it (conditions, contrast
sensitivity) fuzzed like the other classes: their constructors, methods and
both estimators on them, with arguments of arbitrary type and value. Besides
the outcomes allowed everywhere (support.py), ValueError is the documented
answer to a setting or parameter vector out of range and to a design of
another width."""

import numpy as np
import varnel
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import (
    anything, arguments, bool_lists, bool_vectors, float_list_lists, float_lists, float_matrices,
    float_vectors, floats, ints, or_anything,
)
from support import EigEstimator, GeneralModel, Model, NUTSEstimator, call_checked
from test_fuzz import EXAMPLES, fuzz, is_float, is_one_bool, is_scores

SETTINGS = ["link", "mu_log_s", "sigma_log_s", "mu_m", "sigma_m", "guess_rate", "lapse_rate"]
rates = st.one_of(floats, ints, st.tuples(floats, floats), st.lists(floats, max_size=3),
                  st.sampled_from([0.0, 0.02, 0.5, 0.999, (1.0, 19.0), (2.0, 8.0), (0.5, 0.5)]))
SETTING_VALUES = {
    "link": st.one_of(st.sampled_from(["logistic", "normal", "gumbel", "", "Logistic", "logit\x00"]), st.text(max_size=4)),
    "mu_log_s": floats | ints, "sigma_log_s": floats | ints, "mu_m": floats | ints, "sigma_m": floats | ints,
    "guess_rate": rates, "lapse_rate": rates,
}

GENERAL_MODELS = [
    GeneralModel(),
    GeneralModel(link="normal", guess_rate=0.5, lapse_rate=(1.0, 19.0)),
    GeneralModel(link="gumbel", guess_rate=(2.0, 8.0), lapse_rate=(1.0, 30.0)),
    GeneralModel(mu_log_s=300.0, sigma_log_s=1e-300, mu_m=-1e300, sigma_m=1e300, guess_rate=(1e-300, 1e300)),
]
# The models built on PsychometricModel's arguments: conditions, contrast sensitivity.
CM = varnel.models.ConditionsPsychometricModel
CSF = varnel.models.ContrastSensitivityModel
DESIGN_MODELS = [
    CM(num_conditions=3, guess_rate=0.5, lapse_rate=(1.0, 19.0), per_condition_slope=True),
    CM(num_conditions=1, guess_rate=(2.0, 8.0), lapse_rate=(1.0, 30.0), per_condition_guess_rate=True,
       per_condition_lapse_rate=True, link="gumbel"),
    CSF(guess_rate=0.5, lapse_rate=0.02),
    CSF(link="normal", log10_peak_sensitivity=(300.0, 1e-300), guess_rate=(1e-300, 1e300)),
]
general_models = st.sampled_from(GENERAL_MODELS)
any_models = st.sampled_from(GENERAL_MODELS + DESIGN_MODELS)


def is_model(result):
    assert isinstance(result, GeneralModel)
    assert str(result).startswith("PsychometricModel { link: ")
    assert result.param_names[:2] == ["s", "m"]


def is_prior_draw_of(model):
    def check(result):
        assert type(result) is list and len(result) == len(model.param_names)
        assert all(type(v) is float for v in result)
        assert result[0] > 0.0 or result[0] == 0.0  # exp underflow is the only way to 0

    return check


@fuzz
@given(st.lists(anything, max_size=2), st.fixed_dictionaries({}, optional={
    name: or_anything(SETTING_VALUES[name]) for name in SETTINGS}))
def test_constructor(args, kwargs):
    call_checked(GeneralModel, args, kwargs, is_model, also_allowed=(ValueError,))


@fuzz
@given(st.sampled_from([CM, CSF]), st.lists(anything, max_size=2), st.fixed_dictionaries({}, optional={
    **{name: or_anything(SETTING_VALUES[name]) for name in ("link", "guess_rate", "lapse_rate")},
    "num_conditions": or_anything(st.integers(-2, 1100)), "per_condition_slope": or_anything(st.booleans()),
    "per_condition_guess_rate": or_anything(st.booleans()), "slope": or_anything(floats | ints),
    "log10_peak_frequency": or_anything(st.tuples(floats, floats))}))
def test_design_model_constructors(cls, args, kwargs):
    if cls is CM and "num_conditions" not in kwargs and not args:
        kwargs = {**kwargs, "num_conditions": 2}

    def check(result):
        assert isinstance(result, cls) and str(result).startswith(cls.__name__)

    call_checked(cls, args, kwargs, check, also_allowed=(ValueError,))


@fuzz
@given(any_models, st.lists(anything, max_size=2))
def test_sample_prior(model, args):
    call_checked(model.sample_prior, args, {}, is_prior_draw_of(model))


@fuzz
@given(general_models, arguments(["design"], {"design": or_anything(float_vectors)}))
def test_sample_prior_predictive(model, call):
    args, kwargs = call
    # ValueError: a design row of another width than the one stimulus.
    call_checked(model.sample_prior_predictive, args, kwargs, is_one_bool, also_allowed=(ValueError,))


@fuzz
@given(any_models, st.sampled_from(["log_likelihood", "log_posterior"]),
       arguments(["params", "design", "observations"], {
           "params": or_anything(float_lists), "design": or_anything(float_matrices),
           "observations": or_anything(bool_vectors)}))
def test_log_density(model, method, call):
    args, kwargs = call

    def is_number(result):
        is_float(result)
        assert not np.isnan(result) or any(np.isnan(v) for v in np.ravel(_numbers(args, kwargs)))

    call_checked(getattr(model, method), args, kwargs, is_number, also_allowed=(ValueError,))


def _numbers(args, kwargs):
    values = []
    for v in list(args) + list(kwargs.values()):
        if isinstance(v, np.ndarray) and v.dtype == np.float64:
            values.extend(v.ravel().tolist())
        elif isinstance(v, list):
            values.extend(x for x in v if isinstance(x, float))
    return values or [0.0]


@fuzz
@given(st.sampled_from(["sample_prior", "sample_prior_predictive", "log_likelihood", "log_posterior", "__str__"]),
       anything, st.lists(anything, max_size=3))
def test_methods_with_any_self(method, self_object, args):
    call_checked(getattr(GeneralModel, method), (self_object, *args), {}, None)


@fuzz
@given(st.sampled_from(["estimate", "estimate_merged"]), bool_lists, st.integers(0, 30), any_models,
       arguments(["params", "candidate_designs"], {
           "params": or_anything(float_list_lists | st.builds(lambda n, d: np.abs(np.random.default_rng(n).normal(0.1, 0.05, (n, d))), st.integers(0, 6), st.integers(1, 5))),
           "candidate_designs": or_anything(float_matrices)}))
def test_eig_estimate(method, outcomes, n_samples, model, call):
    estimator = EigEstimator(outcomes, n_samples)
    args, kwargs = call
    designs = kwargs.get("candidate_designs", args[1] if len(args) > 1 else None)
    check = is_scores(designs) if isinstance(designs, np.ndarray) and designs.ndim == 2 else None
    call_checked(getattr(estimator, method), (model, *args), kwargs, check, also_allowed=(ValueError,))


@fuzz
@given(bool_lists, st.integers(0, 30), any_models,
       arguments(["params", "lower", "upper", "coarse", "num_conditions", "merge_repeats"], {
           "params": or_anything(float_list_lists),
           "lower": or_anything(st.lists(st.floats(), max_size=3)), "upper": or_anything(st.lists(st.floats(), max_size=3)),
           "coarse": or_anything(st.integers(0, 40) | st.integers(0, 2**64)), "num_conditions": or_anything(st.integers(0, 4)),
           "merge_repeats": or_anything(st.booleans())}))
def test_eig_maximise_over_box(outcomes, n_samples, model, call):
    def check(result):
        design, score, evaluations = result
        assert isinstance(design, tuple) and type(score) is float and type(evaluations) is int

    call_checked(EigEstimator(outcomes, n_samples).maximise_over_box, (model, *call[0]), call[1], check,
                 also_allowed=(ValueError,))


@settings(fuzz, max_examples=max(20, EXAMPLES // 4))
@given(st.sampled_from(["estimate", "estimate_with_stats"]), any_models,
       st.sampled_from([0, 1, 20]), st.sampled_from([0, 1, 10]), st.integers(0, 2), st.sampled_from([0, 1, 4, 10]),
       arguments(["design", "observations"], {"design": or_anything(float_matrices), "observations": or_anything(bool_vectors)}))
def test_nuts_estimate(method, model, num_tune, num_draws, num_chains, maxdepth, call):
    estimator = NUTSEstimator(num_tune=num_tune, num_draws=num_draws, num_chains=num_chains, maxdepth=maxdepth,
                              timeout=0.5, seed=1)
    args, kwargs = call

    def check(result):
        draws = result[0] if method == "estimate_with_stats" else result
        for chain in draws:
            assert chain.shape[1] == len(model.param_names)
            assert not np.isnan(chain).any()

    # ValueError: a design of another width than the model's, or a bad condition index.
    call_checked(getattr(estimator, method), (model, *args), kwargs, check, also_allowed=(ValueError,))


particle_points = st.one_of(
    float_matrices,
    st.builds(lambda n, d, seed: np.abs(np.random.default_rng(seed).normal(0.1, 0.05, (n, d))),
              st.integers(0, 8), st.integers(1, 5), st.integers(0, 3)),
)
either_model = st.one_of(any_models, st.sampled_from([Model(1.0, 2.0, 0.0, 1.5), Model(0.0, 1e-300, 1e300, 1.0)]))


@settings(fuzz, max_examples=max(20, EXAMPLES // 4))
@given(either_model, st.sampled_from([0, 1, 3, 64]),
       arguments(["design", "observations", "points", "step_size", "num_steps"], {
           "design": or_anything(float_matrices), "observations": or_anything(bool_vectors),
           "points": or_anything(particle_points), "step_size": or_anything(floats),
           "num_steps": or_anything(st.none() | ints)}))
def test_move(model, maxdepth, call):
    estimator = NUTSEstimator(maxdepth=maxdepth, timeout=0.5, seed=1)
    args, kwargs = call

    def check(result):
        moved, step, accept, divergences = result
        assert moved.ndim == 2 and moved.shape[1] == len(getattr(model, "param_names", "km"))
        assert type(step) is float and type(accept) is float and type(divergences) is int

    call_checked(estimator.move, (model, *args), kwargs, check, also_allowed=(ValueError,))


@fuzz
@given(either_model, arguments(["points", "design", "observations"], {
    "points": or_anything(particle_points), "design": or_anything(float_matrices),
    "observations": or_anything(bool_vectors)}))
def test_log_likelihoods(model, call):
    args, kwargs = call

    def check(result):
        assert isinstance(result, np.ndarray) and result.ndim == 1
        assert not np.isnan(result).any() or not np.all(np.isfinite(_numbers(args, kwargs)))

    call_checked(NUTSEstimator(seed=1).log_likelihoods, (model, *args), kwargs, check, also_allowed=(ValueError,))


# The per-draw quantities: curves, bands and thresholds of each model class.
QUANTITIES = [(model, name) for model in GENERAL_MODELS + DESIGN_MODELS for name in
              ("psychometric", "psychometric_band", "threshold", "log_sensitivity", "sensitivity_band")
              if hasattr(model, name)]


def prior_points(model, n):
    return np.array([model.sample_prior() for _ in range(n)]).reshape(n, len(model.param_names))


@fuzz
@given(st.sampled_from(QUANTITIES).flatmap(lambda q: st.tuples(
           st.just(q), st.integers(0, 40).map(lambda n: prior_points(q[0], n)) | or_anything(particle_points))),
       st.lists(st.one_of(float_vectors, st.lists(floats, max_size=4), floats, ints, anything), max_size=4))
def test_quantities(method_and_points, args):
    (model, name), points = method_and_points
    call_checked(getattr(model, name), (points, *args), {}, None, also_allowed=(ValueError,))
