"""Interleaved conditions: the posterior against quadrature, the information
gain of (stimulus, condition) pairs, and the refusal of bad condition indices."""

from __future__ import annotations

import numpy as np
import pytest

import varnel
from test_psychometric_model import check_against_quadrature, logistic_loglik

CM = varnel.models.ConditionsPsychometricModel
NUTS = varnel.posterior.NUTSEstimator


def observer(n, seed):
    """Two conditions with thresholds -0.4 and 0.8, one slope, 2AFC."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2.5, 2.5, n)
    c = np.arange(n) % 2
    p = 0.5 + 0.48 / (1.0 + np.exp(-2.0 * (x - np.array([-0.4, 0.8])[c])))
    return np.column_stack([x, c.astype(float)]), rng.random(n) < p


def test_shared_slope_posterior_matches_quadrature():
    model = CM(num_conditions=2, guess_rate=0.5, lapse_rate=0.02, mu_log_s=0.5, sigma_m=1.5)
    design, y = observer(80, seed=4)
    by = [design[design[:, 1] == c, :1] for c in (0, 1)]
    ys = [y[design[:, 1] == c] for c in (0, 1)]

    def logpost(log_s, m0, m1):
        prior = -0.5 * (log_s - 0.5) ** 2 - 0.5 * (m0 / 1.5) ** 2 - 0.5 * (m1 / 1.5) ** 2
        s = np.exp(log_s)
        return (prior + logistic_loglik(s, m0, 0.5, 0.02, by[0], ys[0])
                + logistic_loglik(s, m1, 0.5, 0.02, by[1], ys[1]))

    # On a grid over (log s, m_0, m_1), moments of log s: the slope itself has
    # a tail too heavy for its variance's Monte Carlo error.
    mesh = np.meshgrid(np.linspace(-3.0, 6.0, 120), np.linspace(-6.5, 6.5, 110), np.linspace(-6.5, 6.5, 110),
                       indexing="ij")
    lp = logpost(*mesh)
    w = np.exp(lp - lp.max())
    w /= w.sum()
    means = np.array([(w * g).sum() for g in mesh])
    sds = np.sqrt([(w * (g - mu) ** 2).sum() for g, mu in zip(mesh, means)])
    chains = np.array(NUTS(seed=5, num_tune=400, num_draws=2000).estimate(model, design, y))
    chains[:, :, 0] = np.log(chains[:, :, 0])
    check_against_quadrature(chains, means, sds)


def test_each_pair_scores_as_its_condition_alone():
    model = CM(num_conditions=3, guess_rate=(2.0, 10.0), lapse_rate=(1.0, 19.0), per_condition_guess_rate=True,
               per_condition_lapse_rate=True, link="normal")
    draws = np.array([model.sample_prior() for _ in range(300)])
    xs = np.linspace(-3.0, 3.0, 7)
    pairs = np.array([[x, c] for c in range(3) for x in xs])
    eig = varnel.eig.EnumeratedMonteCarloEstimator([False, True], 300)
    scores = np.asarray(eig.estimate(model, draws, pairs)).reshape(3, -1)
    names = model.param_names
    for c in range(3):
        single = varnel.models.PsychometricModel(link="normal", guess_rate=(2.0, 10.0), lapse_rate=(1.0, 19.0))
        columns = [names.index(n) for n in ("s", f"m_{c}", f"guess_rate_{c}", f"lapse_rate_{c}")]
        alone = np.asarray(eig.estimate(single, draws[:, columns], xs.reshape(-1, 1)))
        np.testing.assert_allclose(scores[c], alone, rtol=1e-12, atol=1e-15)
        np.testing.assert_allclose(model.threshold(draws, 0.75, c), single.threshold(draws[:, columns], 0.75))


@pytest.mark.parametrize("condition", [2.0, -1.0, 0.5, np.nan])
def test_condition_indices_outside_the_model_are_refused(condition):
    model = CM(num_conditions=2, guess_rate=0.5)
    design, y = observer(6, seed=1)
    design[3, 1] = condition
    points = np.array([model.sample_prior() for _ in range(4)])
    calls = [lambda: NUTS(seed=1).estimate(model, design, y),
             lambda: NUTS(seed=1).move(model, design, y, points, 0.5),
             lambda: varnel.eig.EnumeratedMonteCarloEstimator([False, True], 4).estimate(model, points, design),
             lambda: model.log_likelihood(points[0].tolist(), design, y)]
    for call in calls:
        with pytest.raises(ValueError, match="row 3 has condition"):
            call()


def test_an_experiment_chooses_the_condition_too_and_keeps_it_everywhere(tmp_path):
    from varnel.experiment import AdaptiveExperiment, SessionStore

    model = CM(num_conditions=2, guess_rate=0.5, lapse_rate=(1.0, 19.0))
    grid = np.array([[x, c] for c in (0, 1) for x in np.linspace(-3.0, 3.0, 13)])
    settings = dict(seed=3, num_particles=400, n_samples=200)

    def run(experiment, trials):
        chosen = []
        for _ in range(trials):
            chosen.append(experiment.next_design())
            x, c = chosen[-1]
            experiment.record(chosen[-1], bool(np.sin(5 * x + c) > -0.3))
        return chosen

    experiment = AdaptiveExperiment(model, grid, **settings)
    chosen = run(experiment, 12)
    assert {c for _, c in chosen} == {0.0, 1.0}  # both conditions get tested
    experiment.save(tmp_path / "e.json")
    with SessionStore(tmp_path / "lab.db") as store:
        session = store.session("P1", model=model, candidates=grid, **settings)
        assert run(session, 12) == chosen
        del session
        resumed = store.session("P1")
        assert resumed.trials == experiment.trials
        assert run(resumed, 3) == run(AdaptiveExperiment.load(tmp_path / "e.json"), 3) == run(experiment, 3)
    row = experiment.trial_table()[0]
    assert (row["x"], row["condition_index"]) == chosen[0]
    posterior = experiment.posterior()
    np.testing.assert_array_equal(posterior.threshold(0.75, condition=1).draws,
                                  model.threshold(posterior.draws, 0.75, 1))
    xs = np.linspace(-4.0, 4.0, 33)
    band, curves = posterior.psychometric(xs, condition=1), model.psychometric(posterior.draws, xs, 1)
    np.testing.assert_array_equal(band.quantiles[97.5], np.percentile(curves, 97.5, axis=0))
    np.testing.assert_allclose(band.mean, curves.mean(axis=0), rtol=1e-13)
    with pytest.raises(ValueError, match="argument 'condition'"):
        posterior.psychometric([0.0], condition=2)
    with pytest.raises(ValueError, match="argument 'x': condition 2.0"):
        experiment.record((0.5, 2.0), True, off_grid=True)
    with pytest.raises(TypeError, match="use next_design"):
        experiment.next_stimulus()
    with pytest.raises(ValueError, match="argument 'candidates': has 1 columns, ConditionsPsychometricModel reads 2"):
        AdaptiveExperiment(model, grid[:, :1])
