"""The incremental (sequential Monte Carlo) update against exact posteriors and
against the from-scratch update. Heavy: run with scripts/check_stats.sh."""

from __future__ import annotations

import math

import numpy as np
import pytest

import varnel
from test_psychometric_model import logistic_loglik, quadrature_moments
from varnel.experiment import AdaptiveExperiment

PM = varnel.models.PsychometricModel
GRID = np.round(np.linspace(-3.0, 3.0, 61), 10)
pytestmark = pytest.mark.slow


def adaptive_trials(model, n, seed, s=3.0, m=0.4, lapse=0.03):
    """n trials chosen by an incremental experiment for a logistic 2AFC observer."""
    rng = np.random.default_rng(seed)
    experiment = AdaptiveExperiment(model, GRID, seed=seed)
    for _ in range(n):
        x = experiment.next_stimulus()
        experiment.record(x, bool(rng.random() < 0.5 + (0.5 - lapse) / (1.0 + np.exp(-s * (x - m)))))
    return experiment.trials


@pytest.mark.parametrize("lapse", [0.02, (1.0, 19.0)], ids=["s-m", "s-m-lapse"])
def test_posterior_after_an_adaptive_run_matches_quadrature(lapse):
    # Ten independent particle systems (seeds) on the same trials: the spread
    # of their estimates is the Monte Carlo error the tolerance is made of.
    model = PM(guess_rate=0.5, lapse_rate=lapse, mu_log_s=0.5, sigma_log_s=1.0, mu_m=0.0, sigma_m=1.5)
    trials = adaptive_trials(model, 60, seed=3)
    estimated = isinstance(lapse, tuple)
    axes = [np.linspace(-4.5, 5.5, 400 if estimated else 900), np.linspace(-4.0, 4.0, 300 if estimated else 700)]
    if estimated:
        axes.append((np.arange(160) + 0.5) * (0.45 / 160))
    for n in (5, 20, 60):
        x = np.array([t.x for t in trials[:n]]).reshape(-1, 1)
        y = np.array([t.response for t in trials[:n]])

        def logpost(log_s, m, lam=None):
            prior = -0.5 * (log_s - 0.5) ** 2 - 0.5 * (m / 1.5) ** 2
            if lam is None:
                return prior + logistic_loglik(np.exp(log_s), m, 0.5, lapse, x, y)
            return prior + 18.0 * np.log1p(-lam) + logistic_loglik(np.exp(log_s), m, 0.5, lam, x, y)

        means, sds = quadrature_moments(logpost, axes)
        runs = []
        for seed in range(100, 110):
            experiment = AdaptiveExperiment(model, GRID, seed=seed)
            for t in trials[:n]:
                experiment.record(t.x, t.response)
            draws = experiment.posterior().draws
            runs.append(np.concatenate([draws.mean(axis=0), draws.std(axis=0)]))
        runs = np.array(runs)
        estimate, mcse = runs.mean(axis=0), runs.std(axis=0, ddof=1) / math.sqrt(len(runs))
        exact = np.concatenate([means, sds])
        for j, name in enumerate([f"mean {p}" for p in model.param_names] + [f"sd {p}" for p in model.param_names]):
            # A floor of 0.2% of the quadrature value covers the grid's own error.
            assert abs(estimate[j] - exact[j]) < 4 * mcse[j] + 2e-3 * abs(exact[j]), (n, name, estimate[j], exact[j])


@pytest.mark.parametrize("guess", [0.5, (2.0, 20.0)], ids=["3-param", "4-param"])
def test_errors_match_the_from_scratch_update(guess):
    # 40 observers answer both updates from the same uniform variates. The
    # per-observer differences of squared error and of posterior sd of m are
    # paired: their mean must be within 4 standard errors of zero.
    model = PM(link="normal", mu_log_s=0.7, sigma_log_s=0.7, mu_m=0.0, sigma_m=1.5, guess_rate=guess,
               lapse_rate=(2.0, 50.0))
    rng = np.random.default_rng(17)
    checkpoints = (10, 20, 40)
    results = {u: {c: [] for c in checkpoints} for u in ("incremental", "from_scratch")}
    acceptance = []
    for i in range(40):
        s, m = math.exp(rng.normal(0.7, 0.7)), float(np.clip(rng.normal(0.0, 1.5), -2.5, 2.5))
        g = guess if isinstance(guess, float) else rng.beta(*guess)
        lam = rng.beta(2.0, 50.0)
        u = rng.random(40)
        for update in results:
            experiment = AdaptiveExperiment(model, GRID, seed=500 + i, update=update)
            for t in range(40):
                x = experiment.next_stimulus()
                p = g + (1.0 - g - lam) * 0.5 * math.erfc(-s * (x - m) / math.sqrt(2.0))
                experiment.record(x, bool(u[t] < p))
                post = experiment.posterior()
                if update == "incremental":
                    assert post.weights_ess >= 0.5 * 2000  # the resampling threshold is the floor
                    if not math.isnan(post.move_acceptance):
                        acceptance.append(post.move_acceptance)
                if t + 1 in checkpoints:
                    draws = post.draws[:, 1]
                    results[update][t + 1].append(((draws.mean() - m) ** 2, draws.std(ddof=1)))
    for c in checkpoints:
        inc, scr = np.array(results["incremental"][c]), np.array(results["from_scratch"][c])
        for k, what in enumerate(("squared error", "posterior sd")):
            d = inc[:, k] - scr[:, k]
            assert abs(d.mean()) < 4 * d.std(ddof=1) / math.sqrt(len(d)), (c, what, inc[:, k].mean(), scr[:, k].mean())
    # The moves' step size adapts to a mean acceptance near 0.8.
    assert np.quantile(acceptance, 0.01) > 0.5 and 0.6 < np.mean(acceptance) < 0.95
