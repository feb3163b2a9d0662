"""varnel.experiment.AdaptiveExperiment: the loop, stopping, saving and resuming, bad input."""

from __future__ import annotations

import json
import os
import re

import numpy as np
import pytest

import varnel
from varnel.experiment import AdaptiveExperiment, Trial

GRID = np.round(np.linspace(-3.0, 3.0, 13), 10)
FAST = dict(num_tune=100, num_draws=100, num_chains=2, n_samples=200)


def two_param_model() -> varnel.models.TwoParameterPsychometricModel:
    return varnel.models.TwoParameterPsychometricModel(1.0, 2.0, 0.0, 1.5)


def forced_choice_model() -> varnel.models.PsychometricModel:
    return varnel.models.PsychometricModel(link="normal", mu_log_s=0.5, sigma_log_s=0.7, mu_m=0.1, sigma_m=1.5,
                                           guess_rate=0.5, lapse_rate=(2.0, 50.0))


def four_param_model() -> varnel.models.PsychometricModel:
    return varnel.models.PsychometricModel(link="gumbel", guess_rate=(2.0, 8.0), lapse_rate=(1.5, 40.0))


MODELS = [two_param_model, forced_choice_model, four_param_model]
MODEL_IDS = ["two-param", "forced-choice", "four-param"]


def make(seed: int = 7, model=two_param_model, **kwargs) -> AdaptiveExperiment:
    return AdaptiveExperiment(model(), GRID, **{**FAST, "seed": seed, **kwargs})


def observer_answers(seed: int, k: float = 2.5, m: float = 0.6):
    rng = np.random.default_rng(seed)
    return lambda x: bool(rng.random() < 1.0 / (1.0 + np.exp(-k * (x - m))))


def run_adaptive(experiment: AdaptiveExperiment, trials: int, answer) -> list[float]:
    chosen = []
    for _ in range(trials):
        x = experiment.next_stimulus()
        chosen.append(x)
        experiment.record(x, answer(x))
    return chosen


def test_choices_are_reproducible_and_follow_the_seed():
    first = run_adaptive(make(seed=3), 4, observer_answers(1))
    again = run_adaptive(make(seed=3), 4, observer_answers(1))
    assert first == again
    assert all(x in GRID for x in first)


def test_posterior_is_drawn_once_per_trial_count():
    experiment = make()
    before = experiment.posterior()
    assert experiment.posterior() is before
    assert before.num_trials == 0
    experiment.record(0.5, True)
    after = experiment.posterior()
    assert after is not before and after.num_trials == 1


def test_prior_draws_at_zero_trials_are_seeded():
    a, b = make(seed=11).posterior(), make(seed=11).posterior()
    np.testing.assert_array_equal(a.draws, b.draws)
    assert not np.array_equal(a.draws, make(seed=12).posterior().draws)


def forced_choice_answers(seed: int, s: float, m: float, lapse: float):
    rng = np.random.default_rng(seed)
    return lambda x: bool(rng.random() < 0.5 + (0.5 - lapse) / (1.0 + np.exp(-s * (x - m))))


@pytest.mark.parametrize("update", ["from_scratch", "incremental"])
@pytest.mark.parametrize(
    "model, answer, truth",
    [
        (two_param_model, observer_answers(5), {"k": 2.5, "m": 0.6}),
        (forced_choice_model, forced_choice_answers(5, 2.0, -0.4, 0.02), {"s": 2.0, "m": -0.4, "lapse_rate": 0.02}),
    ],
    ids=MODEL_IDS[:2],
)
def test_summary_on_an_easy_data_set(model, answer, truth, update):
    x = np.repeat(GRID, 8)
    experiment = AdaptiveExperiment(model(), GRID, num_tune=300, num_draws=400, num_chains=4,
                                    n_samples=200, seed=2, update=update, num_particles=1600)
    for xi in x:
        experiment.record(float(xi), answer(float(xi)))
    post = experiment.posterior()
    assert post.param_names == tuple(truth) and post.update == update
    p = len(truth)
    chains = (4, 400, p) if update == "from_scratch" else (1, 1600, p)
    assert post.draws.shape == (4 * 400, p) and post.chains.shape == chains
    assert not post.draws.flags.writeable
    for name, truth in truth.items():
        s = post.summary[name]
        if update == "from_scratch":
            assert s.rhat < 1.02
        else:  # particles form no chains; their ESS is the weights'
            assert np.isnan(s.rhat) and s.bulk_ess == post.weights_ess
        assert s.bulk_ess > 300
        assert abs(s.mean - truth) < 4 * s.sd
        q = [s.quantiles[p] for p in (2.5, 25.0, 50.0, 75.0, 97.5)]
        assert q == sorted(q)
        assert s.sd == pytest.approx(post.draws[:, post.param_names.index(name)].std(ddof=1))
    assert post.divergences == 0


def test_expected_information_gain_matches_the_estimator_on_the_same_draws():
    experiment = make()
    experiment.record(0.0, True)
    draws = experiment.posterior().draws
    direct = varnel.eig.EnumeratedMonteCarloEstimator([False, True], FAST["n_samples"]).estimate(
        experiment.model, draws, GRID.reshape(-1, 1))
    np.testing.assert_array_equal(experiment.expected_information_gain(), direct)
    assert experiment.next_stimulus() == GRID[int(np.argmax(direct))]


@pytest.mark.parametrize(
    "kwargs, trials, expected",
    [
        ({}, 5, False),
        ({"max_trials": 3}, 2, False),
        ({"max_trials": 3}, 3, True),
        ({"target_sd": 100.0}, 0, True),
        ({"target_sd": 1e-6}, 3, False),
        ({"target_sd": 1e-6, "max_trials": 3}, 3, True),
    ],
    ids=["unset", "below-max", "at-max", "sd-reached", "sd-not-reached", "max-wins"],
)
def test_stopping_rule(kwargs, trials, expected):
    experiment = make(**kwargs)
    for i in range(trials):
        experiment.record(float(GRID[i % GRID.size]), i % 2 == 0)
    assert experiment.done() is expected


@pytest.mark.parametrize("update", ["incremental", "from_scratch"])
@pytest.mark.parametrize("model", MODELS, ids=MODEL_IDS)
def test_resumed_experiment_makes_the_same_choices(tmp_path, model, update):
    answer = observer_answers(4)
    uninterrupted = make(seed=21, model=model, update=update)
    straight = run_adaptive(uninterrupted, 6, answer)

    answer = observer_answers(4)
    first = make(seed=21, model=model, update=update)
    part = run_adaptive(first, 3, answer)
    first.save(tmp_path / "run.json")
    resumed = AdaptiveExperiment.load(tmp_path / "run.json")
    assert resumed.trials == first.trials and resumed.seed == 21 and resumed.update == update
    assert str(resumed.model) == str(first.model)
    assert resumed.param_names == first.param_names
    rest = run_adaptive(resumed, 3, answer)
    assert part + rest == straight
    np.testing.assert_array_equal(resumed.posterior().draws, uninterrupted.posterior().draws)


def test_a_version_1_file_resumes_from_scratch_with_its_old_choices(tmp_path):
    # Written before the incremental update existed; the choices after it are
    # the ones that version made.
    experiment = AdaptiveExperiment.load(os.path.join(os.path.dirname(__file__), "data", "experiment_v1.json"))
    assert experiment.update == "from_scratch" and len(experiment.trials) == 5
    chosen = []
    for answer in (True, True, False):
        chosen.append(experiment.next_stimulus())
        experiment.record(chosen[-1], answer)
    assert chosen == [1.5, 1.5, 1.0]
    assert float(experiment.posterior().draws[:, 1].mean()) == 1.259538957048307
    experiment.save(tmp_path / "now.json")
    assert json.loads((tmp_path / "now.json").read_text())["version"] == 3
    assert AdaptiveExperiment.load(tmp_path / "now.json").update == "from_scratch"


def test_saved_model_settings_are_the_constructor_arguments(tmp_path):
    model = four_param_model()
    experiment = AdaptiveExperiment(model, GRID, **FAST, seed=1)
    experiment.save(tmp_path / "e.json")
    settings = json.loads((tmp_path / "e.json").read_text())["model"]
    assert settings == {"class": "PsychometricModel", "link": "gumbel", "mu_log_s": 0.0, "sigma_log_s": 1.0,
                        "mu_m": 0.0, "sigma_m": 1.0, "guess_rate": [2.0, 8.0], "lapse_rate": [1.5, 40.0]}
    loaded = AdaptiveExperiment.load(tmp_path / "e.json").model
    assert isinstance(loaded, varnel.models.PsychometricModel)
    assert (loaded.guess_rate, loaded.lapse_rate) == ((2.0, 8.0), (1.5, 40.0))


def test_two_parameter_settings_round_trip_exactly(tmp_path):
    model = varnel.models.TwoParameterPsychometricModel(0.1, 1 / 3, -2e-7, 12345.678)
    AdaptiveExperiment(model, GRID, **FAST, seed=1).save(tmp_path / "e.json")
    settings = json.loads((tmp_path / "e.json").read_text())["model"]
    assert [settings[k] for k in ("mu_k", "sigma_k", "mu_m", "sigma_m")] == [0.1, 1 / 3, -2e-7, 12345.678]


def test_save_keeps_every_setting(tmp_path):
    experiment = make(seed=5, target_sd=0.2, max_trials=30)
    experiment.record(GRID[2], False)
    experiment.record(GRID[9], np.bool_(True))
    experiment.save(tmp_path / "e.json")
    loaded = AdaptiveExperiment.load(tmp_path / "e.json")
    assert loaded.trials == (Trial(float(GRID[2]), False), Trial(float(GRID[9]), True))
    assert (loaded.target_sd, loaded.max_trials, loaded.seed) == (0.2, 30, 5)
    assert str(loaded.model) == str(experiment.model)
    np.testing.assert_array_equal(loaded.candidates, GRID)
    assert json.loads((tmp_path / "e.json").read_text())["settings"]["num_draws"] == FAST["num_draws"]


def test_failed_save_leaves_the_old_file(tmp_path, monkeypatch):
    path = tmp_path / "e.json"
    experiment = make()
    experiment.record(0.5, True)
    experiment.save(path)
    old = path.read_bytes()
    experiment.record(1.0, False)

    def broken_fsync(fd):
        raise OSError("disk full")

    monkeypatch.setattr(os, "fsync", broken_fsync)
    with pytest.raises(OSError, match="disk full"):
        experiment.save(path)
    assert path.read_bytes() == old
    assert os.listdir(tmp_path) == ["e.json"]  # no temporary file left behind
    assert len(experiment.trials) == 2


@pytest.mark.parametrize(
    "mangle, message",
    [
        (lambda text: text[: len(text) // 2], "truncated or corrupt"),
        (lambda text: "", "truncated or corrupt"),
        (lambda text: "\xff\xfe garbage", "truncated or corrupt"),
        (lambda text: "[1, 2]", "not a varnel experiment file"),
        (lambda text: re.sub(r'"version": \d+', '"version": 99', text), "format version 99 is not supported"),
        (lambda text: text.replace('"seed"', '"sowed"'), "lacks seed"),
        (lambda text: text.replace("true", "2"), "argument 'response'"),
        (lambda text: text.replace('"num_draws": 100', '"num_draws": 0'), "argument 'num_draws'"),
        (lambda text: text.replace('"trials": [', '"trials": [[0.123, true], '), "not one of the candidates"),
        (lambda text: text.replace('"TwoParameterPsychometricModel"', '"Nothing"'), "unknown model class"),
    ],
    ids=["half", "empty", "binary", "not-an-object", "version", "missing-key", "response-int",
         "bad-setting", "foreign-stimulus", "unknown-model"],
)
def test_corrupt_files_give_a_clear_error(tmp_path, mangle, message):
    path = tmp_path / "e.json"
    experiment = make()
    experiment.record(0.5, True)
    experiment.save(path)
    path.write_text(mangle(path.read_text()), encoding="utf-8", errors="surrogateescape")
    with pytest.raises(ValueError, match=message) as info:
        AdaptiveExperiment.load(path)
    assert str(path) in str(info.value)


@pytest.mark.parametrize(
    "old, new, message",
    [
        ('"link": "normal"', '"link": "cubic"', "argument 'link'"),
        ('"guess_rate": 0.5', '"guess_rate": 1.5', "argument 'guess_rate'"),
        ('"sigma_m": 1.5', '"sigma_m": -1.5', "argument 'sigma_m'"),
        ('"candidates": [', '"candidates": ["a", ', "argument 'candidates'"),
    ],
    ids=["link", "guess-rate", "sigma", "candidate"],
)
def test_invalid_model_settings_in_a_file(tmp_path, old, new, message):
    path = tmp_path / "e.json"
    make(model=forced_choice_model).save(path)
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new))
    with pytest.raises(ValueError, match=message):
        AdaptiveExperiment.load(path)


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        AdaptiveExperiment.load(tmp_path / "none.json")


@pytest.mark.parametrize(
    "x, response, error, argument",
    [
        (0.123, True, ValueError, "x"),
        (9.0, True, ValueError, "x"),
        (float("nan"), True, ValueError, "x"),
        (float("inf"), False, ValueError, "x"),
        ("0.5", True, TypeError, "x"),
        (None, True, TypeError, "x"),
        (True, True, TypeError, "x"),
        (0.5, 2, ValueError, "response"),
        (0.5, 1.0, TypeError, "response"),
        (0.5, "yes", TypeError, "response"),
        (0.5, None, TypeError, "response"),
        (0.5, np.array([True]), TypeError, "response"),
    ],
    ids=["off-grid", "beyond-grid", "nan", "inf", "str-x", "none-x", "bool-x", "int-response", "float-response",
         "str-response", "none-response", "array-response"],
)
def test_record_refuses_bad_trials_and_keeps_the_old_ones(x, response, error, argument):
    experiment = make()
    experiment.record(0.5, True)
    with pytest.raises(error, match=f"argument '{argument}'"):
        experiment.record(x, response)
    assert experiment.trials == (Trial(0.5, True),)
    experiment.record(1.0, False)
    assert len(experiment.trials) == 2


def test_record_snaps_to_the_candidate_within_the_tolerance():
    experiment = make()
    experiment.record(0.5 + 1e-12, np.bool_(False))
    experiment.record(np.float32(1.0), True)
    assert experiment.trials == (Trial(0.5, False), Trial(1.0, True))
    assert type(experiment.trials[0].response) is bool


@pytest.mark.parametrize(
    "kwargs, error, argument",
    [
        ({"model": "model"}, TypeError, "model"),
        ({"candidates": []}, ValueError, "candidates"),
        ({"candidates": [[0.0, 1.0]]}, ValueError, "candidates"),
        ({"candidates": [0.0, float("nan")]}, ValueError, "candidates"),
        ({"candidates": ["a"]}, TypeError, "candidates"),
        ({"num_tune": 0}, ValueError, "num_tune"),
        ({"num_draws": -1}, ValueError, "num_draws"),
        ({"num_chains": 2.0}, TypeError, "num_chains"),
        ({"n_samples": True}, TypeError, "n_samples"),
        ({"seed": -1}, ValueError, "seed"),
        ({"seed": 1.5}, TypeError, "seed"),
        ({"target_sd": 0.0}, ValueError, "target_sd"),
        ({"target_sd": float("inf")}, ValueError, "target_sd"),
        ({"max_trials": 0}, ValueError, "max_trials"),
        ({"progress": 1}, TypeError, "progress"),
        ({"timeout": -1.0}, ValueError, "timeout"),
        ({"update": "smc"}, ValueError, "update"),
        ({"update": 1}, TypeError, "update"),
        ({"num_particles": 0}, ValueError, "num_particles"),
        ({"ess_threshold": 1.5}, ValueError, "ess_threshold"),
        ({"num_moves": 0}, ValueError, "num_moves"),
        ({"move_share": 0.0}, ValueError, "move_share"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_constructor_refuses_bad_settings(kwargs, error, argument):
    args = {"model": two_param_model(), "candidates": GRID, **FAST, **kwargs}
    with pytest.raises(error, match=f"argument '{argument}'"):
        AdaptiveExperiment(args.pop("model"), args.pop("candidates"), **args)


def test_trials_cannot_be_changed_from_outside():
    experiment = make()
    experiment.record(0.5, True)
    with pytest.raises(AttributeError):
        experiment.trials = ()  # type: ignore[misc]
    with pytest.raises(ValueError):
        experiment.candidates[0] = 99.0
    assert experiment.trials == (Trial(0.5, True),)


def test_progress_goes_to_stderr_only_when_asked(capsys):
    make().posterior()
    quiet = capsys.readouterr()
    assert quiet.out == "" and quiet.err == ""
    make(progress=True).posterior()
    shown = capsys.readouterr()
    assert shown.out == "" and "0 trials: m =" in shown.err


def test_incremental_update_reports_its_particles():
    experiment = make(seed=3, num_particles=500, ess_threshold=0.9)
    run_adaptive(experiment, 4, observer_answers(2))
    post = experiment.posterior()
    assert post.update == "incremental" and post.draws.shape == (500, 2) and post.chains.shape == (1, 500, 2)
    # A threshold this high moves after every informative trial: the moves' acceptance is known.
    assert experiment._particles.resamples > 0
    assert 0.0 < post.move_acceptance <= 1.0


def _ar1_chains(seed, n_chain, n_draw, phi, shift):
    u = np.random.default_rng(seed).random((n_chain, n_draw)) - 0.5
    x = np.empty_like(u)
    x[:, 0] = u[:, 0]
    for t in range(1, n_draw):
        x[:, t] = phi * x[:, t - 1] + u[:, t]
    x = x + shift * np.arange(n_chain)[:, None]
    x[0, :10] = np.round(x[0, :10], 1)  # ties among the ranks
    return x


@pytest.mark.parametrize(
    "case, expected_rhat, expected_ess",
    [
        ((1, 4, 1000, 0.3, 0.0), 1.0010147034343575, 2009.8830241672056),
        ((2, 4, 250, 0.9, 0.0), 1.0235967393844239, 61.98383638776515),
        ((3, 2, 101, 0.5, 0.2), 1.0712036940599035, 28.752341796083527),
        ((4, 6, 40, 0.0, 0.0), 1.0005726886980464, 331.25568849163363),
        ((5, 4, 500, 0.95, 0.05), 1.106326547243087, 28.024917571275296),
    ],
    ids=["mixing", "sticky", "odd-shifted", "short-iid", "stuck"],
)
def test_diagnostics_keep_the_values_of_the_per_value_quantile(case, expected_rhat, expected_ess):
    # The expected values were computed with NormalDist.inv_cdf called once per value.
    from varnel.experiment import bulk_ess, rhat

    x = _ar1_chains(*case)
    assert rhat(x) == pytest.approx(expected_rhat, rel=1e-12, abs=0)
    assert bulk_ess(x) == pytest.approx(expected_ess, rel=1e-12, abs=0)


def test_normal_quantile_matches_the_standard_library():
    from statistics import NormalDist

    from varnel.experiment import normal_quantile

    p = np.concatenate([np.linspace(1e-12, 1 - 1e-12, 2001), np.logspace(-300, -1, 300),
                        1 - np.logspace(-16, -1, 100), [0.075, 0.925, 0.5]])
    expected = np.array([NormalDist().inv_cdf(v) for v in p])
    np.testing.assert_allclose(normal_quantile(p), expected, rtol=1e-15, atol=0)


def test_a_failed_incremental_update_is_retried_with_the_same_result():
    # A move that fails (a timeout, say) must leave the particles at the trial
    # before, so that the retry makes the choices an uninterrupted run makes.
    settings = dict(seed=8, num_particles=300, ess_threshold=1.0, move_share=1.0)
    answer = observer_answers(3)
    straight = run_adaptive(make(**settings), 5, answer)

    flaky = make(**settings)
    real = flaky._varnel_posterior_estimator
    calls = {"n": 0}

    class FailingOnce:
        def __init__(self, estimator):
            self._estimator = estimator

        def log_likelihoods(self, *args):
            return self._estimator.log_likelihoods(*args)

        def move(self, *args):
            calls["n"] += 1
            if calls["n"] == 3:
                raise RuntimeError("simulated failure")
            return self._estimator.move(*args)

    flaky._varnel_posterior_estimator = lambda k: FailingOnce(real(k))
    answer = observer_answers(3)
    chosen = []
    for _ in range(5):
        try:
            x = flaky.next_stimulus()
        except RuntimeError:
            x = flaky.next_stimulus()
        chosen.append(x)
        flaky.record(x, answer(x))
    assert calls["n"] > 3 and chosen == straight


def test_a_pickled_experiment_continues_with_the_same_choices():
    import pickle

    experiment = make(seed=4)
    run_adaptive(experiment, 3, observer_answers(6))
    clone = pickle.loads(pickle.dumps(experiment))
    assert clone.trials == experiment.trials and clone.model.settings == experiment.model.settings
    assert run_adaptive(clone, 3, observer_answers(7)) == run_adaptive(experiment, 3, observer_answers(7))


def test_every_public_member_of_the_researcher_layer_is_documented():
    import dataclasses
    import inspect

    import varnel.experiment as ex

    missing = []
    for name in ex.__all__:
        obj = getattr(ex, name)
        if not (inspect.isclass(obj) or inspect.isfunction(obj)):
            continue
        if not (obj.__doc__ or "").strip():
            missing.append(name)
        if not inspect.isclass(obj):
            continue
        fields = {f.name for f in dataclasses.fields(obj)} if dataclasses.is_dataclass(obj) else set()
        fields |= set(getattr(obj, "_fields", ()))  # named tuples: described in the class text
        for attr, value in vars(obj).items():
            if attr.startswith("_"):
                continue
            if attr in fields:
                if f"``{attr}``" not in obj.__doc__ and f"``{attr}``" not in (obj.__init__.__doc__ or ""):
                    missing.append(f"{name}.{attr}")
            elif not (getattr(value, "__doc__", None) or "").strip() or value.__doc__ == type(value).__doc__:
                missing.append(f"{name}.{attr}")
    assert missing == []
