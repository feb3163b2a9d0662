"""TwoParameterPsychometricModel: construction, string form, likelihood, posterior, sampling."""

import math

import numpy as np
import pytest

import varnel

Model = varnel.models.TwoParameterPsychometricModel
PanicException = varnel.PanicException

INDEX_0_OF_0 = "index out of bounds: the len is 0 but the index is 0"


def literal_ll(k, m, x, y):
    """The per-observation log-likelihood with the fixed arithmetic."""
    y = 1.0 if y else 0.0
    h = math.exp((m - x) * k)
    return math.log(math.pow(1 / (h + 1), y) * math.pow(h / (h + 1), 1 - y))


def literal_log_prior(v, mu, sigma):
    z = (v - mu) / sigma
    return z * z * -0.5 - 0.9189385332046727 - math.log(sigma)


@pytest.mark.parametrize(
    "args, text",
    [
        ((0, 1, 0.5, 2), "Normal { mean: 0.0, std_dev: 1.0 }, m_prior: Normal { mean: 0.5, std_dev: 2.0 }"),
        ((-0.0, 1e-5, 1.5e16, 0.25), "Normal { mean: -0.0, std_dev: 1e-5 }, m_prior: Normal { mean: 1.5e16, std_dev: 0.25 }"),
        ((math.nan, 0.1 + 0.2, -math.inf, -3), "Normal { mean: NaN, std_dev: 0.30000000000000004 }, m_prior: Normal { mean: -inf, std_dev: -3.0 }"),
        ((math.inf, 0.0001, 1e15, 9.5e-5), "Normal { mean: inf, std_dev: 0.0001 }, m_prior: Normal { mean: 1000000000000000.0, std_dev: 9.5e-5 }"),
    ],
    ids=["example", "exponent-forms", "nan-and-shortest", "boundaries"],
)
def test_str_is_the_debug_text(args, text):
    assert str(Model(*args)) == "TwoParameterPsychometricModel { k_prior: " + text + " }"


@pytest.mark.parametrize(
    "args",
    [(0, math.nan, 0, 1), (0, math.inf, 0, math.nan), (0, 1, 0, -math.inf)],
    ids=["sigma_k-nan", "both", "sigma_m-inf"],
)
def test_non_finite_sigma_is_bad_variance(args):
    with pytest.raises(PanicException) as info:
        Model(*args)
    assert info.value.args == ("called `Result::unwrap()` on an `Err` value: BadVariance",)


def test_zero_and_negative_sigma_are_accepted():
    Model(0, 0, 0, -1)
    Model(math.nan, 1, math.inf, 1)  # means are not checked


def test_log_likelihood_is_the_literal_sum():
    rng = np.random.default_rng(7)
    design = rng.normal(0, 2, size=(40, 3))
    obs = rng.random(40) < 0.5
    m = Model(0, 1, 0, 1)
    for k, loc in [(1.3, 0.2), (-0.7, 1.5), (4.0, -2.0), (0.0, 0.0)]:
        want = 0.0
        for x, y in zip(design[:, 0], obs):
            want += literal_ll(k, loc, float(x), bool(y))
        assert m.log_likelihood([k, loc], design, obs) == want
        prior = literal_log_prior(k, 0, 1) + literal_log_prior(loc, 0, 1)
        assert m.log_posterior([k, loc], design, obs) == want + prior


def test_log_half_at_the_location():
    m = Model(0, 1, 0, 1)
    for y in (True, False):
        assert m.log_likelihood([1.0, 0.0], np.zeros((1, 1)), np.array([y])) == math.log(0.5)


def test_pairs_stop_at_the_shorter_length():
    m = Model(0, 1, 0, 1)
    design = np.array([[0.1], [-0.4], [0.9], [7.0], [8.0]])
    obs = np.array([True, False, True])
    assert m.log_likelihood([1.7, 0.2], design, obs) == m.log_likelihood([1.7, 0.2], design[:3], obs)
    long_obs = np.array([True, False, True, False, True, True, True])
    assert m.log_likelihood([1.7, 0.2], design, long_obs) == m.log_likelihood([1.7, 0.2], design, long_obs[:5])


def test_empty_data_and_params():
    m = Model(0.3, 2.0, -1.0, 0.5)
    empty_design, empty_obs = np.zeros((0, 1)), np.zeros(0, bool)
    assert m.log_likelihood([], empty_design, empty_obs) == 0.0
    assert m.log_likelihood([], np.zeros((4, 1)), empty_obs) == 0.0
    with pytest.raises(PanicException) as info:
        m.log_posterior([], empty_design, empty_obs)
    assert info.value.args == (INDEX_0_OF_0,)
    with pytest.raises(PanicException, match="^index out of bounds: the len is 1 but the index is 1$"):
        m.log_posterior([0.3], empty_design, empty_obs)
    expected = -1.8378770664093453 - math.log(2.0) - math.log(0.5)
    assert m.log_posterior([0.3, -1.0], empty_design, empty_obs) == pytest.approx(expected, rel=1e-15)


def test_short_params_with_data_is_an_index_failure():
    m = Model(0, 1, 0, 1)
    with pytest.raises(PanicException, match="^index out of bounds: the len is 0 but the index is 0$"):
        m.log_likelihood([], np.zeros((1, 1)), np.ones(1, bool))
    with pytest.raises(PanicException, match="^index out of bounds: the len is 1 but the index is 1$"):
        m.log_likelihood([1.0], np.zeros((1, 1)), np.ones(1, bool))


def test_design_without_columns():
    m = Model(0, 1, 0, 1)
    assert m.log_likelihood([1, 0], np.zeros((3, 0)), np.zeros(0, bool)) == 0.0
    with pytest.raises(PanicException) as info:
        m.log_likelihood([1, 0], np.zeros((3, 0)), np.ones(2, bool))
    assert info.value.args == (INDEX_0_OF_0,)


def _layouts():
    base = np.array([[0.5, 9.0, -3.0], [-1.0, 9.0, 4.0], [2.0, 9.0, 0.0], [0.1, 9.0, 1.0]])
    wide = np.zeros((4, 7))
    wide[:, ::3] = base
    record = np.zeros(4, dtype=[("pad", "u1"), ("x", "f8"), ("y", "f8")])  # unaligned fields
    record["x"] = base[:, 0]
    reversed_rows = base[::-1].copy()[::-1]
    cols_reversed = base[:, ::-1].copy()[:, ::-1]
    return base, {
        "fortran": np.asfortranarray(base),
        "strided-columns": wide[:, ::3],
        "transposed-view": np.ascontiguousarray(base.T).T,
        "negative-row-stride": reversed_rows,
        "negative-column-stride": cols_reversed,
        "single-column-slice": base[:, :1],
        "strided-rows": np.repeat(base, 2, axis=0)[::2],
        "unaligned-record-field": record["x"].reshape(4, 1),
    }


BASE, LAYOUTS = _layouts()


@pytest.mark.parametrize("name", list(LAYOUTS))
def test_every_memory_layout_reads_column_zero(name):
    design = LAYOUTS[name]
    np.testing.assert_array_equal(design[:, 0], BASE[:, 0])
    m = Model(0.1, 1.0, 0.2, 1.5)
    obs = np.array([True, False, True, True])
    params = [1.3, 0.4]
    assert m.log_likelihood(params, design, obs) == m.log_likelihood(params, BASE, obs)
    assert m.log_posterior(params, design, obs) == m.log_posterior(params, BASE, obs)


def test_broadcast_design_with_zero_strides():
    m = Model(0, 1, 0, 1)
    obs = np.array([True, False, True])
    design = np.broadcast_to(np.array([[0.7, 1.0]]), (3, 2))
    assert design.strides[0] == 0
    assert m.log_likelihood([1.1, 0.2], design, obs) == m.log_likelihood([1.1, 0.2], np.full((3, 1), 0.7), obs)


def test_strided_and_reversed_observations():
    m = Model(0, 1, 0, 1)
    obs = np.array([True, False, False, True])
    padded = np.zeros(8, bool)
    padded[::2] = obs
    assert m.log_likelihood([1.3, 0.4], BASE, padded[::2]) == m.log_likelihood([1.3, 0.4], BASE, obs)
    assert m.log_likelihood([1.3, 0.4], BASE, obs[::-1].copy()[::-1]) == m.log_likelihood([1.3, 0.4], BASE, obs)


@pytest.mark.parametrize(
    "k, loc, x, y, want",
    [
        (1000.0, 0.0, 1.0, False, -1000.0),
        (-1000.0, 0.0, 1.0, True, -1000.0),
        (1.0, 0.0, 800.0, False, -800.0),
        (1.0, 0.0, -800.0, True, -800.0),
        (1.0, 0.0, -40.0, True, -40.0),
        (2.0, -400.0, 0.0, True, 0.0),
    ],
    ids=["overflow-false", "overflow-true", "underflow-false", "underflow-true", "large-negative", "certain"],
)
def test_overflowing_terms_are_finite(k, loc, x, y, want):
    m = Model(0, 1, 0, 1)
    ll = m.log_likelihood([k, loc], np.array([[x]]), np.array([y]))
    assert math.isfinite(ll)
    assert ll == pytest.approx(want, rel=1e-12, abs=1e-300)


def test_sample_prior_returns_two_floats_from_the_priors():
    m = Model(2.0, 0.5, -1.0, 3.0)
    draws = np.array([m.sample_prior() for _ in range(4000)])
    assert draws.shape == (4000, 2)
    assert isinstance(m.sample_prior()[0], float)
    # Means within 5 standard errors, standard deviations within 10 %.
    assert abs(draws[:, 0].mean() - 2.0) < 5 * 0.5 / math.sqrt(4000)
    assert abs(draws[:, 1].mean() + 1.0) < 5 * 3.0 / math.sqrt(4000)
    assert draws[:, 0].std() == pytest.approx(0.5, rel=0.1)
    assert draws[:, 1].std() == pytest.approx(3.0, rel=0.1)
    assert Model(1.5, 0.0, -2.0, 0.0).sample_prior() == [1.5, -2.0]


def test_sample_prior_predictive_uses_only_the_first_stimulus():
    m = Model(0, 1, 0, 1)
    result = m.sample_prior_predictive(np.linspace(-1, 1, 10))
    assert isinstance(result, list) and len(result) == 1 and isinstance(result[0], bool)
    with pytest.raises(PanicException) as info:
        m.sample_prior_predictive(np.zeros(0))
    assert info.value.args == (INDEX_0_OF_0,)


@pytest.mark.parametrize(
    "x, want",
    [(40.0, True), (800.0, True), (1e300, True), (-800.0, False), (-40.0, False)],
    ids=["rounds-to-one", "overflow", "huge", "underflow", "tiny"],
)
def test_sample_prior_predictive_certain_responses(x, want):
    # sigma 0 fixes k = 1 and m = 0, so the logit is x.
    m = Model(1.0, 0.0, 0.0, 0.0)
    assert all(m.sample_prior_predictive(np.array([x])) == [want] for _ in range(50))


def test_sample_prior_predictive_frequency():
    m = Model(1.0, 0.0, 0.0, 0.0)
    n = 4000
    hits = sum(m.sample_prior_predictive(np.array([1.0]))[0] for _ in range(n))
    p = 1 / (1 + math.exp(-1.0))
    assert abs(hits / n - p) < 5 * math.sqrt(p * (1 - p) / n)


def test_nan_logit_is_invalid_probability():
    m = Model(1.0, 0.0, 0.0, 0.0)
    with pytest.raises(PanicException) as info:
        m.sample_prior_predictive(np.array([math.nan]))
    assert info.value.args == ("called `Result::unwrap()` on an `Err` value: InvalidProbability",)


@pytest.mark.parametrize(
    "make",
    [
        lambda: varnel.models.TwoParameterPsychometricModel(0.1, 2.0 / 3.0, -1e-300, 1e300),
        lambda: varnel.models.PsychometricModel(link="gumbel", mu_log_s=0.1, sigma_log_s=1 / 3, mu_m=-2.5,
                                                sigma_m=1.5, guess_rate=(2.0, 8.0), lapse_rate=0.01),
    ],
    ids=["two-param", "general"],
)
def test_models_rebuild_from_their_settings_pickle_and_deep_copy(make):
    import copy
    import pickle

    model = make()
    settings = model.settings
    assert type(model)(**settings).settings == settings
    settings["mu_m"] = 99.0  # a new dict each time: the model is not changed through it
    assert model.settings["mu_m"] != 99.0
    for again in (pickle.loads(pickle.dumps(model)), copy.deepcopy(model)):
        assert type(again) is type(model) and again.settings == model.settings and str(again) == str(model)
