"""The contrast sensitivity model: the box search in 2-D against brute force,
prior-only sampling, and the curve and area from the posterior."""

from __future__ import annotations

import numpy as np
import pytest

import varnel
from varnel.experiment import AdaptiveExperiment, StimulusBox

CSF = varnel.models.ContrastSensitivityModel(guess_rate=0.5, lapse_rate=0.02)
BOX = StimulusBox([-0.5, -3.5], [1.7, 0.0])


def observed(trials, seed):
    experiment = AdaptiveExperiment(CSF, BOX, seed=seed, n_samples=500)
    rng = np.random.default_rng(seed)
    for _ in range(trials):
        f, c = rng.uniform(BOX.lower, BOX.upper)
        experiment.record((f, c), bool(rng.random() < 0.5 + 0.48 / (1.0 + np.exp(-3.0 * (c + 2.0 - (f - 0.4) ** 2)))))
    return experiment


@pytest.mark.parametrize("trials", [0, 10])
def test_the_box_search_finds_the_brute_force_maximum_in_2d(trials):
    experiment = observed(trials, seed=trials)
    axes = [np.linspace(lo, hi, 300) for lo, hi in zip(BOX.lower, BOX.upper)]
    grid = np.stack([a.ravel() for a in np.meshgrid(*axes, indexing="ij")], axis=1)
    eig = varnel.eig.EnumeratedMonteCarloEstimator([False, True], 500)
    draws = experiment.posterior().draws
    scores = np.asarray(eig.estimate(CSF, draws, grid))
    chosen = np.array(experiment.next_design())
    width = np.subtract(BOX.upper, BOX.lower)
    # Within 1e-3 of the width of the brute force's own answer, give or take its grid step.
    assert np.all(np.abs(chosen - grid[np.argmax(scores)]) <= width * (1e-3 + 1.0 / 299))
    assert float(eig.estimate(CSF, draws, chosen.reshape(1, 2))[0]) >= scores.max() * (1.0 - 1e-6)


def test_prior_only_runs_have_no_divergences():
    _, stats = varnel.posterior.NUTSEstimator(seed=3, num_draws=1000).estimate_with_stats(
        CSF, np.zeros((0, 2)), np.zeros(0, dtype=bool))
    tune = 400
    assert sum(int(np.asarray(t.column("diverging"))[tune:].sum()) for t in stats) == 0


def test_the_curve_and_its_area_come_from_the_posterior():
    posterior = observed(15, seed=4).posterior()
    fs = np.array([-0.3, 0.4, 1.2])
    band = posterior.sensitivity(fs)
    curves = CSF.log_sensitivity(posterior.draws, fs)
    np.testing.assert_allclose(band.mean, curves.mean(axis=0), rtol=1e-13)
    for q in (2.5, 97.5):
        np.testing.assert_array_equal(band.quantiles[q], np.percentile(curves, q, axis=0))
    area = posterior.log_csf_area()
    fine = np.linspace(-0.5, 1.6, 20001)
    exact = np.maximum(CSF.log_sensitivity(posterior.draws, fine), 0.0).sum(axis=1) * (fine[1] - fine[0])
    assert abs(area.mean - exact.mean()) < 1e-3 * exact.mean()
    assert area.quantiles[2.5] <= area.mean <= area.quantiles[97.5]
    with pytest.raises(ValueError, match="no contrast sensitivity"):
        observed_model = AdaptiveExperiment(varnel.models.PsychometricModel(), np.linspace(-1, 1, 5), seed=1)
        observed_model.posterior().log_csf_area()


def test_planning_simulates_csf_observers_from_the_priors():
    from varnel.experiment import simulate

    grid = np.array([[f, c] for f in np.linspace(-0.5, 1.5, 5) for c in np.linspace(-3.0, 0.0, 5)])
    table = simulate(CSF, grid, observers=2, trials=3, seed=1, n_samples=200, num_particles=300)
    assert len(table) == 6 and {"log10_frequency", "log10_contrast", "peak_sensitivity_true"} <= set(table[0])
    assert all(row["bandwidth_true"] > 0.0 and np.isfinite(row["peak_frequency_error"]) for row in table)
