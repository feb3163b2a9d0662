"""What a paper reports: the psychometric function with its band, thresholds at
a level, the stopping rule on them, exports, and planning by simulation."""

from __future__ import annotations

import csv
import math
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import varnel
from varnel.experiment import AdaptiveExperiment, simulate

GRID = np.round(np.linspace(-3.0, 3.0, 13), 10)
FAST = dict(num_tune=100, num_draws=100, num_chains=2, n_samples=200, num_particles=300)


@pytest.mark.parametrize("link", ["logistic", "normal", "gumbel"])
@pytest.mark.parametrize("rates", [(0.0, 0.0), (0.5, 0.02), ((2.0, 8.0), (1.5, 40.0))], ids=["none", "2afc", "both"])
def test_thresholds_invert_the_psychometric_function(link, rates):
    model = varnel.models.PsychometricModel(link=link, guess_rate=rates[0], lapse_rate=rates[1])
    points = np.array([model.sample_prior() for _ in range(50)])
    g = points[:, 2] if isinstance(rates[0], tuple) else np.full(50, rates[0])
    lapse = points[:, -1] if isinstance(rates[1], tuple) else np.full(50, rates[1])
    for level in (0.6, 0.75, 0.9):
        x = model.threshold(points, level)
        reached = (g < level) & (level < 1 - lapse)
        assert np.array_equal(np.isnan(x), ~reached)
        p = np.array([model.psychometric(points[i:i + 1], x[i:i + 1])[0, 0] for i in np.flatnonzero(reached)])
        np.testing.assert_allclose(p, level, rtol=1e-9)


@pytest.mark.parametrize("model", [
    lambda: varnel.models.TwoParameterPsychometricModel(1.0, 1.0, 0.0, 1.0),
    lambda: varnel.models.PsychometricModel(link="gumbel", guess_rate=0.5, lapse_rate=(1.0, 30.0))],
    ids=["two-param", "gumbel-2afc"])
def test_posterior_band_threshold_and_stopping(model):
    experiment = AdaptiveExperiment(model(), GRID, seed=3, target=0.75, target_width=50.0, **FAST)
    for x, y in [(0.0, 1), (1.0, 1), (-1.0, 0), (0.5, 1)]:
        experiment.record(x, y)
    post = experiment.posterior()
    band = post.psychometric([-1.0, 0.0, 2.0], quantiles=(2.5, 50, 97.5))
    assert np.all(band.quantiles[2.5] <= band.quantiles[97.5]) and np.all(band.mean > 0) and np.all(band.mean < 1)
    summary = post.threshold(0.75)
    assert summary.quantiles[2.5] < summary.mean < summary.quantiles[97.5] and 0.0 <= summary.unreached < 1.0
    # Each draw's function is at 0.75 at that draw's threshold.
    i = int(np.flatnonzero(np.isfinite(summary.draws))[0])
    one = varnel.experiment.Posterior(post.draws[i:i + 1], post.chains, post.param_names, 0, 4, 0.0, model=post.model)
    assert one.psychometric([summary.draws[i]]).mean[0] == pytest.approx(0.75, rel=1e-9)
    assert experiment.done()  # a 95% interval narrower than 50 is reached at once
    with pytest.raises(ValueError, match="argument 'level'"):
        post.threshold(1.0)


def test_weibull_parameters_of_the_gumbel_link():
    experiment = AdaptiveExperiment(varnel.models.PsychometricModel(link="gumbel"), GRID, seed=1, **FAST)
    post = experiment.posterior()
    weibull = post.weibull(base=10.0)
    assert weibull["alpha"].mean == pytest.approx(float(np.mean(10.0 ** post.draws[:, 1])))
    assert weibull["beta"].mean == pytest.approx(float(np.mean(post.draws[:, 0] * math.log(10.0))))


def test_loops_without_a_target_end_at_the_default_bound():
    experiment = AdaptiveExperiment(varnel.models.PsychometricModel(), GRID, **FAST)
    for _ in range(varnel.experiment.DEFAULT_MAX_TRIALS - 1):
        experiment.record(0.5, True)
    assert not experiment.done()
    experiment.record(0.5, True)
    assert experiment.done()


def test_trials_export_with_their_metadata(tmp_path):
    experiment = AdaptiveExperiment(varnel.models.PsychometricModel(), GRID, **FAST)
    experiment.record(0.5, True, metadata={"rt": 0.5})
    experiment.record(0.77, False, off_grid=True)
    experiment.discard_last()
    experiment.to_csv(tmp_path / "t.csv")
    with open(tmp_path / "t.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [(r["x"], r["response"], r["off_grid"], r["discarded"], r["metadata.rt"]) for r in rows] == [
        ("0.5", "True", "False", "False", "0.5"), ("0.77", "False", "True", "True", "")]
    pd = pytest.importorskip("pandas")
    frame = experiment.to_dataframe()
    assert list(frame.columns) == list(rows[0]) and frame["response"].dtype == bool
    assert frame["x"].tolist() == [0.5, 0.77] and frame["metadata.rt"].isna().tolist() == [False, True]
    assert isinstance(frame, pd.DataFrame)


def test_simulation_is_the_same_on_any_executor():
    model = varnel.models.PsychometricModel(guess_rate=0.5)
    here = simulate(model, GRID, observers=2, trials=3, seed=4, **FAST)
    with ProcessPoolExecutor(2) as pool:
        there = simulate(model, GRID, observers=2, trials=3, seed=4, executor=pool, **FAST)
    assert here == there and len(here) == 6
    assert {"observer", "trial", "x", "response", "m_true", "m_mean", "m_sd", "m_error"} <= set(here[0])
    staircase = simulate(model, GRID, observers=1, trials=4, strategy="staircase", true_params=[[3.0, 0.2]], **FAST)
    assert staircase[0]["x"] == float(np.sort(GRID)[len(GRID) // 2]) and staircase[0]["m_true"] == 0.2
    with pytest.raises(ValueError, match="argument 'strategy'"):
        simulate(model, GRID, strategy="bisection")
    with pytest.raises(ValueError, match="argument 'threads'"):
        simulate(model, GRID, threads=0)


@pytest.mark.parametrize("update", ["from_scratch", "incremental"])
def test_inference_data_for_arviz(update):
    # ArviZ is an optional extra: the plain test environments install it, the sanitizer build's does not.
    az = pytest.importorskip("arviz")
    model = varnel.models.PsychometricModel(guess_rate=0.5, lapse_rate=(1.0, 19.0))
    experiment = AdaptiveExperiment(model, GRID, seed=2, update=update, **FAST)
    experiment.record(0.5, True)
    experiment.record(-1.0, False)
    idata = experiment.posterior().to_inference_data()
    assert list(idata.posterior.data_vars) == ["s", "m", "lapse_rate"]
    assert idata.observed_data["y"].values.tolist() == [True, False]
    if update == "from_scratch":
        assert idata.posterior.sizes["draw"] == 100 and idata.warmup_posterior.sizes["draw"] == 100
        assert {"diverging", "energy", "tree_depth", "step_size", "lp", "n_steps"} <= set(idata.sample_stats.data_vars)
        assert float(az.rhat(idata)["m"]) > 0.0


@pytest.mark.parametrize("link", ["logistic", "normal", "gumbel"])
@pytest.mark.parametrize("draws,copies,percents", [
    (501, 1, [0.0, 2.5, 31.7, 50.0, 97.5, 99.99, 100.0]),
    (1334, 3, [0.0, 2.5, 31.7, 50.0, 97.5, 99.99, 100.0]),  # selects from brackets, with ties
    (24, 1, [100.0 * k / 23 for k in range(24)]),  # every row's value, next to its neighbour's
])
def test_native_band_is_numpys_mean_and_percentiles(link, draws, copies, percents):
    model = varnel.models.PsychometricModel(link=link, guess_rate=(2.0, 8.0), lapse_rate=0.03)
    points = np.tile(np.array([model.sample_prior() for _ in range(draws)]), (copies, 1))
    # Out to where the links saturate, through every range of their lanes.
    xs = np.concatenate([np.linspace(-4.0, 4.0, 37), np.linspace(-60.0, 60.0, 241), [-np.inf, np.inf, 1e300]])
    mean, quantiles = model.psychometric_band(points, xs, percents)
    curves = model.psychometric(points, xs)
    np.testing.assert_allclose(mean, curves.mean(axis=0), rtol=1e-13)
    np.testing.assert_array_equal(quantiles, np.percentile(curves, percents, axis=0))
    with pytest.raises(ValueError, match="argument 'x'"):
        model.psychometric_band(points, np.array([0.0, np.nan]), percents)
