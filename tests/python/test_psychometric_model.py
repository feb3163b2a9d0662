"""PsychometricModel: settings, natural-scale methods, and both estimators on it."""

from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np
import pytest

import varnel

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import ess  # noqa: E402

PM = varnel.models.PsychometricModel
NUTS = varnel.posterior.NUTSEstimator
EIG = varnel.eig.EnumeratedMonteCarloEstimator


def observer(n, s=3.0, m=0.4, guess=0.5, lapse=0.03, seed=0, link="logistic"):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2.0, 2.5, n)
    z = s * (x - m)
    F = {"logistic": 1.0 / (1.0 + np.exp(-z)),
         "gumbel": 1.0 - np.exp(-np.exp(z)),
         "normal": np.array([0.5 * math.erfc(-v / math.sqrt(2.0)) for v in z])}[link]
    y = rng.random(n) < guess + (1.0 - guess - lapse) * F
    return x.reshape(-1, 1), y


@pytest.mark.parametrize(
    "kwargs, error, needle",
    [
        ({"link": "probit"}, ValueError, "argument 'link': unknown link 'probit'"),
        ({"link": 3}, TypeError, "argument 'link'"),
        ({"sigma_log_s": 0.0}, ValueError, "argument 'sigma_log_s'"),
        ({"sigma_m": -1.0}, ValueError, "argument 'sigma_m'"),
        ({"mu_m": float("nan")}, ValueError, "argument 'mu_m'"),
        ({"mu_log_s": float("inf")}, ValueError, "argument 'mu_log_s'"),
        ({"guess_rate": 1.0}, ValueError, "argument 'guess_rate'"),
        ({"guess_rate": float("nan")}, ValueError, "argument 'guess_rate'"),
        ({"lapse_rate": -0.1}, ValueError, "argument 'lapse_rate'"),
        ({"lapse_rate": (1.0,)}, ValueError, "argument 'lapse_rate'"),
        ({"lapse_rate": (1.0, 0.0)}, ValueError, "argument 'lapse_rate'"),
        ({"lapse_rate": (1.0, float("inf"))}, ValueError, "argument 'lapse_rate'"),
        ({"lapse_rate": "0.1"}, TypeError, "argument 'lapse_rate'"),
        ({"guess_rate": 0.6, "lapse_rate": 0.4}, ValueError, "sum to less than 1"),
        ({"guess_rate": 0.5, "lapse_rate": (9.0, 1.0)}, ValueError, "sum to less than 1"),
        ({"slope": 1.0}, TypeError, "unexpected keyword argument 'slope'"),
    ],
    ids=lambda v: repr(v)[:40],
)
def test_bad_settings_name_the_argument(kwargs, error, needle):
    with pytest.raises(error, match=None) as info:
        PM(**kwargs)
    assert needle in str(info.value)


def test_settings_are_keyword_only():
    with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given"):
        PM("logistic")


@pytest.mark.parametrize(
    "guess, lapse, names",
    [
        (0.0, 0.0, ["s", "m"]),
        (0.5, (1.0, 19.0), ["s", "m", "lapse_rate"]),
        ((2.0, 8.0), 0.01, ["s", "m", "guess_rate"]),
        ((2.0, 8.0), (1.0, 19.0), ["s", "m", "guess_rate", "lapse_rate"]),
    ],
)
def test_attributes_rebuild_the_model(guess, lapse, names):
    model = PM(link="gumbel", mu_log_s=0.5, sigma_log_s=0.7, mu_m=-0.2, sigma_m=2.0, guess_rate=guess, lapse_rate=lapse)
    assert model.param_names == names
    settings = {k: getattr(model, k) for k in
                ["link", "mu_log_s", "sigma_log_s", "mu_m", "sigma_m", "guess_rate", "lapse_rate"]}
    assert settings["guess_rate"] == (tuple(guess) if isinstance(guess, tuple) else guess)
    assert str(PM(**settings)) == str(model)
    assert repr(model) == str(model)
    assert len(model.sample_prior()) == len(names)


def test_defaults_and_text():
    model = PM()
    assert (model.link, model.mu_log_s, model.sigma_log_s, model.mu_m, model.sigma_m) == ("logistic", 0.0, 1.0, 0.0, 1.0)
    assert str(model) == (
        "PsychometricModel { link: logistic, s_prior: LogNormal { mu: 0.0, sigma: 1.0 }, "
        "m_prior: Normal { mean: 0.0, std_dev: 1.0 }, guess_rate: Fixed(0.0), lapse_rate: Fixed(0.0) }"
    )
    # The original class's listing is unchanged.
    assert varnel.models.__all__ == ["TwoParameterPsychometricModel"]


def test_logistic_without_rates_matches_the_two_parameter_model():
    x, y = observer(25, guess=0.0, lapse=0.0)
    two = varnel.models.TwoParameterPsychometricModel(0.0, 1.0, 0.0, 1.0)
    for s, m in [(0.5, 0.0), (3.0, 0.4), (12.0, -1.0)]:
        assert PM().log_likelihood([s, m], x, y) == pytest.approx(two.log_likelihood([s, m], x, y), rel=1e-12)


def test_log_posterior_is_natural_scale_and_minus_inf_outside_the_support():
    model = PM(guess_rate=(2.0, 8.0), lapse_rate=(1.0, 19.0))
    x, y = observer(10)
    at = [2.0, 0.3, 0.1, 0.05]
    lp = model.log_posterior(at, x, y) - model.log_likelihood(at, x, y)
    # log-normal(s) + normal(m) + Beta(γ) + Beta(λ); B(2, 8) = 1/72, B(1, 19) = 1/19.
    expected = (-0.5 * math.log(2.0) ** 2 - 0.5 * math.log(2 * math.pi) - math.log(2.0)
                - 0.5 * 0.3**2 - 0.5 * math.log(2 * math.pi)
                + math.log(0.1) + 7 * math.log(0.9) + math.log(72.0)
                + 18 * math.log(0.95) + math.log(19.0))
    assert lp == pytest.approx(expected, rel=1e-12)
    for outside in ([0.0, 0.3, 0.1, 0.05], [2.0, 0.3, 0.6, 0.5], [2.0, 0.3, 1.0, 0.0]):
        assert model.log_posterior(outside, x, y) == -math.inf


@pytest.mark.parametrize("params", [[1.0, 0.0], [1.0, 0.0, 0.1, 0.2, 0.3]], ids=["short", "long"])
def test_params_of_the_wrong_length_are_a_value_error(params):
    model = PM(guess_rate=0.5, lapse_rate=(1.0, 19.0))
    x, y = observer(5)
    with pytest.raises(ValueError, match=r"argument 'params': expected 3 values per parameter vector \(s, m, lapse_rate\)"):
        model.log_likelihood(params, x, y)
    with pytest.raises(TypeError, match="argument 'params'"):
        model.log_posterior("ab", x, y)


def test_prior_predictive_follows_the_guess_rate():
    # Far below threshold only guesses answer yes.
    model = PM(guess_rate=0.5, lapse_rate=0.0, mu_m=5.0, sigma_m=0.1, mu_log_s=1.0, sigma_log_s=0.1)
    answers = [model.sample_prior_predictive(np.array([-5.0]))[0] for _ in range(2000)]
    assert all(isinstance(a, bool) for a in answers)
    assert abs(np.mean(answers) - 0.5) < 0.05


@pytest.mark.parametrize("link", ["logistic", "normal", "gumbel"])
def test_nuts_draws_are_natural_scale_and_reproducible(link):
    model = PM(link=link, guess_rate=0.5, lapse_rate=(1.0, 19.0))
    x, y = observer(30, link=link)
    sampler = NUTS(num_tune=200, num_draws=200, num_chains=2, seed=3)
    chains = sampler.estimate(model, x, y)
    assert [c.shape for c in chains] == [(400, 3), (400, 3)]
    draws = np.vstack(chains)
    assert (draws[:, 0] > 0).all() and ((draws[:, 2] > 0) & (draws[:, 2] < 0.5)).all()
    again, stats = NUTS(num_tune=200, num_draws=200, num_chains=2, seed=3).estimate_with_stats(model, x, y)
    for a, b in zip(chains, again):
        np.testing.assert_array_equal(a, b)
    assert len(stats) == 2 and stats[0].num_rows == 400


def test_two_afc_posterior_has_no_divergences_and_mixes():
    model = PM(guess_rate=0.5, lapse_rate=(1.0, 19.0), mu_log_s=0.5, sigma_log_s=1.0, sigma_m=1.5)
    x, y = observer(40, seed=4)
    chains, stats = NUTS(num_tune=400, num_draws=500, num_chains=4, seed=5).estimate_with_stats(model, x, y)
    divergent = sum(int(np.sum(s.column("diverging").to_numpy(zero_copy_only=False)[400:])) for s in stats)
    post = np.stack([c[400:] for c in chains])
    assert divergent <= 2
    assert ess.max_rhat(post) < 1.02


@pytest.mark.parametrize("guess, lapse", [(0.5, (1.0, 19.0)), ((1.0, 1.0), (1.0, 19.0)), ((1.0, 2.0), (1.0, 2.0))])
def test_the_prior_alone_samples_without_divergences(guess, lapse):
    # Estimated rates never meet the edge guess + lapse = 1 on the sampler's scale.
    model = PM(guess_rate=guess, lapse_rate=lapse)
    empty = np.zeros((0, 1))
    chains, stats = NUTS(num_tune=300, num_draws=1000, num_chains=2, seed=2).estimate_with_stats(
        model, empty, np.zeros(0, dtype=bool))
    divergent = sum(int(np.sum(s.column("diverging").to_numpy(zero_copy_only=False)[300:])) for s in stats)
    assert divergent == 0
    draws = np.vstack([c[300:] for c in chains])
    rates = draws[:, 2:].sum(axis=1)
    assert (rates < 1.0).all()


def test_eig_rows_are_checked():
    model = PM(guess_rate=0.5, lapse_rate=(1.0, 19.0))
    grid = np.linspace(-2.0, 2.0, 5)[:, None]
    est = EIG([False, True], 100)
    with pytest.raises(ValueError, match="expected 3 values per parameter vector"):
        est.estimate(model, np.ones((10, 2)), grid)
    with pytest.raises(ValueError, match="expected 3 values"):
        est.estimate(model, [[1.0, 0.0, 0.01], [1.0, 0.0]], grid)
    with pytest.raises(ValueError, match="row 1 is outside the model's support"):
        est.estimate(model, [[1.0, 0.0, 0.01], [-1.0, 0.0, 0.01]], grid)
    with pytest.raises(ValueError, match="row 0 is outside"):
        est.estimate(model, [[1.0, 0.0, 0.6]], grid)
    # Only the rows the even spacing takes are read, however many there are.
    huge = np.broadcast_to(np.array([[2.0, 0.0, 0.01]]), (2**40, 3))
    assert np.isfinite(est.estimate(model, huge, grid)).all()
    # The estimator stays usable and the prior path needs no rows.
    assert est.estimate(model, [], grid).shape == (5,)


def test_eig_peaks_where_the_answer_is_uncertain_and_matches_numpy():
    model = PM(guess_rate=0.5, lapse_rate=(1.0, 19.0))
    rng = np.random.default_rng(1)
    rows = np.column_stack([np.exp(rng.normal(1.0, 0.2, 800)), rng.normal(0.5, 0.3, 800), rng.uniform(0.0, 0.1, 800)])
    grid = np.linspace(-4.0, 5.0, 37)[:, None]
    scores = EIG([False, True], 800).estimate(model, rows, grid)
    s, m, lam = (rows[:, i][None, :] for i in range(3))
    p = 0.5 + (0.5 - lam) / (1.0 + np.exp(-s * (grid - m)))
    ref = sum((q * np.log(q)).mean(axis=1) - q.mean(axis=1) * np.log(q.mean(axis=1)) for q in (p, 1 - p))
    np.testing.assert_allclose(scores, ref, rtol=1e-10, atol=1e-14)
    assert abs(grid[np.argmax(scores), 0] - 0.5) < 1.5
    assert scores[0] < 0.1 * scores.max()


def quadrature_moments(model_logpost, axes):
    """Posterior mean and sd of (s, m, ...) on a product grid over (log s, m, ...):
    the slope's long right tail is covered, and the grid density needs no
    Jacobian beyond the log-normal prior's normal form on log s."""
    mesh = list(np.meshgrid(*axes, indexing="ij"))
    lp = model_logpost(*mesh)
    w = np.exp(lp - lp.max())
    w /= w.sum()
    mesh[0] = np.exp(mesh[0])
    means = [float((w * g).sum()) for g in mesh]
    sds = [math.sqrt(float((w * (g - mu) ** 2).sum())) for g, mu in zip(mesh, means)]
    return np.array(means), np.array(sds)


def logistic_loglik(s, m, guess, lapse, x, y):
    total = np.zeros(np.broadcast(s, m).shape)
    for xi, yi in zip(x[:, 0], y):  # one observation at a time keeps the grid's memory
        with np.errstate(over="ignore"):
            p = guess + (1.0 - guess - lapse) / (1.0 + np.exp(-s * (xi - m)))
        total += np.log(p) if yi else np.log1p(-p)
    return total


def check_against_quadrature(draws_by_chain, means, sds):
    for j in range(len(means)):
        chains = draws_by_chain[:, :, j]
        mcse_mean = sds[j] / math.sqrt(ess.ess_of_chains(chains))
        assert abs(chains.mean() - means[j]) < 4 * mcse_mean, (j, chains.mean(), means[j], mcse_mean)
        # The sd's error, from the ESS of the squared deviations.
        dev2 = (chains - means[j]) ** 2
        mcse_var = dev2.std() / math.sqrt(ess.ess_of_chains(dev2))
        assert abs(chains.var() - sds[j] ** 2) < 4 * mcse_var + 1e-12, (j, chains.var(), sds[j] ** 2, mcse_var)


def test_two_dimensional_posterior_matches_quadrature():
    model = PM(guess_rate=0.5, lapse_rate=0.02, mu_log_s=0.5, sigma_log_s=1.0, mu_m=0.0, sigma_m=1.5)
    x, y = observer(40, lapse=0.02, seed=8)
    chains = NUTS(num_tune=400, num_draws=2000, num_chains=4, seed=9).estimate(model, x, y)
    draws = np.stack([c[400:] for c in chains])

    log_s_axis = np.linspace(-4.5, 5.5, 900)
    m_axis = np.linspace(-4.0, 4.0, 700)

    def logpost(log_s, m):
        prior = -0.5 * (log_s - 0.5) ** 2 - 0.5 * (m / 1.5) ** 2
        return prior + logistic_loglik(np.exp(log_s), m, 0.5, 0.02, x, y)

    means, sds = quadrature_moments(logpost, [log_s_axis, m_axis])
    check_against_quadrature(draws, means, sds)


@pytest.mark.slow
def test_three_dimensional_posterior_matches_quadrature():
    model = PM(guess_rate=0.5, lapse_rate=(1.0, 19.0), mu_log_s=0.5, sigma_log_s=1.0, mu_m=0.0, sigma_m=1.5)
    x, y = observer(60, lapse=0.04, seed=12)
    chains = NUTS(num_tune=500, num_draws=5000, num_chains=4, seed=13).estimate(model, x, y)
    draws = np.stack([c[500:] for c in chains])

    log_s_axis = np.linspace(-4.0, 5.0, 240)
    m_axis = np.linspace(-3.5, 3.5, 220)
    l_axis = (np.arange(200) + 0.5) * (0.45 / 200)  # cell midpoints: the density peaks at 0

    def logpost(log_s, m, lam):
        prior = -0.5 * (log_s - 0.5) ** 2 - 0.5 * (m / 1.5) ** 2 + 18.0 * np.log1p(-lam)
        return prior + logistic_loglik(np.exp(log_s), m, 0.5, lam, x, y)

    means, sds = quadrature_moments(logpost, [log_s_axis, m_axis, l_axis])
    check_against_quadrature(draws, means, sds)
