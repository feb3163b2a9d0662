"""Stimuli from a continuous range: the box search against brute force, and
the box kept through files and the store."""

from __future__ import annotations

import numpy as np
import pytest

import varnel
from varnel.experiment import AdaptiveExperiment, SessionStore, StimulusBox

MODEL = varnel.models.PsychometricModel(link="normal", guess_rate=0.5, lapse_rate=0.02, mu_m=0.5, sigma_m=2.0)


def with_trials(model, box, trials, seed, **settings):
    experiment = AdaptiveExperiment(model, box, seed=seed, n_samples=500, **settings)
    rng = np.random.default_rng(seed)
    for i in range(trials):
        design = tuple(rng.uniform(box.lower, box.upper))
        if getattr(model, "num_conditions", 0):
            design = (*design, float(i % model.num_conditions))
        experiment.record(design if len(design) > 1 else design[0], bool(rng.random() < 0.5 + 0.48 * (design[0] > 0.2)))
    return experiment


@pytest.mark.parametrize("trials", [0, 4, 12])
def test_the_box_search_finds_the_brute_force_maximum(trials):
    experiment = with_trials(MODEL, StimulusBox(-4.0, 4.0), trials, seed=trials)
    xs = np.linspace(-4.0, 4.0, 100_000)
    eig = varnel.eig.EnumeratedMonteCarloEstimator([False, True], 500)
    scores = np.asarray(eig.estimate(MODEL, experiment.posterior().draws, xs.reshape(-1, 1)))
    assert abs(experiment.next_stimulus() - xs[np.argmax(scores)]) < 1e-3 * 8.0


def test_a_conditions_model_chooses_the_condition_over_the_box():
    model = varnel.models.ConditionsPsychometricModel(num_conditions=2, guess_rate=0.5, mu_m=0.5, sigma_m=2.0)
    experiment = with_trials(model, StimulusBox(-4.0, 4.0), 9, seed=2)
    xs = np.linspace(-4.0, 4.0, 100_000)
    eig = varnel.eig.EnumeratedMonteCarloEstimator([False, True], 500)
    designs = np.concatenate([np.column_stack([xs, np.full(xs.size, c)]) for c in (0.0, 1.0)])
    best = designs[np.argmax(eig.estimate(model, experiment.posterior().draws, designs))]
    x, condition = experiment.next_design()
    assert condition == best[1] and abs(x - best[0]) < 1e-3 * 8.0


def test_the_box_is_kept_by_files_and_the_store(tmp_path):
    box = StimulusBox(-3.0, 3.0)
    experiment = with_trials(MODEL, box, 3, seed=1)
    experiment.save(tmp_path / "e.json")
    assert AdaptiveExperiment.load(tmp_path / "e.json").next_stimulus() == experiment.next_stimulus()
    with SessionStore(tmp_path / "lab.db") as store:
        session = store.session("P", model=MODEL, candidates=box, seed=1, n_samples=500)
        for t in experiment.trials:
            session.record(t.x, t.response)
        del session
        assert store.session("P", candidates=box).next_stimulus() == experiment.next_stimulus()
        with pytest.raises(ValueError, match="was created with candidates StimulusBox"):
            store.session("P", candidates=StimulusBox(-2.0, 3.0))
    with pytest.raises(ValueError, match="outside the stimulus box"):
        experiment.record(3.5, True)
    experiment.record(3.5, True, off_grid=True)


@pytest.mark.parametrize("lower, upper", [(1.0, 1.0), (0.0, float("inf")), ([0.0, 0.0], 1.0), ([0, 0, 0], [1, 1, 1])])
def test_bad_boxes_are_refused(lower, upper):
    with pytest.raises(ValueError, match="arguments 'lower' and 'upper'"):
        StimulusBox(lower, upper)


@pytest.mark.parametrize("model, lower, upper, coarse, conditions, message", [
    (MODEL, [0.0], [1.0, 2.0], 11, None, "arguments 'lower' and 'upper'"),
    (MODEL, [1.0], [0.0], 11, None, "arguments 'lower' and 'upper'"),
    (MODEL, [0.0], [1.0], 1, None, "argument 'coarse'"),
    (MODEL, [0.0, 0.0], [1.0, 1.0], 11, None, "PsychometricModel reads 1"),
    (varnel.models.ConditionsPsychometricModel(num_conditions=2), [0.0], [1.0], 11, 3, "num_conditions"),
])
def test_the_native_box_search_names_a_bad_argument(model, lower, upper, coarse, conditions, message):
    estimator = varnel.eig.EnumeratedMonteCarloEstimator([False, True], 50)
    with pytest.raises(ValueError, match=message):
        estimator.maximise_over_box(model, [], lower, upper, coarse, conditions)


def test_the_native_box_search_does_not_depend_on_the_thread_count(monkeypatch):
    model = varnel.models.ContrastSensitivityModel(guess_rate=0.5, lapse_rate=0.02)
    draws = with_trials(model, StimulusBox([-0.5, -3.5], [1.7, 0.0]), 6, seed=4).posterior().draws
    estimator = varnel.eig.EnumeratedMonteCarloEstimator([False, True], 300)
    found = {}
    for threads in ("1", "2", "5"):
        monkeypatch.setenv("VARNEL_NUM_THREADS", threads)
        found[threads] = estimator.maximise_over_box(model, draws, [-0.5, -3.5], [1.7, 0.0], 13)
    assert found["1"] == found["2"] == found["5"]
