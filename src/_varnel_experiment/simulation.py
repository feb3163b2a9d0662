"""Planning by simulation: many simulated observers run through an experiment
under a strategy, on any concurrent.futures.Executor."""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Mapping
from concurrent.futures import Executor
from typing import Any

import numpy as np

from .experiment import AdaptiveExperiment, _candidates, _count
from .persistence import _design_columns, _model_from_settings, _model_settings

__all__ = ["STRATEGIES", "simulate"]

STRATEGIES = ("information_gain", "random", "staircase")


def _draw_truth(settings: Mapping[str, Any], rng: np.random.Generator) -> list[float]:
    """True parameters of one observer from the model's priors (natural scale)."""
    if settings["class"] == "ConditionsPsychometricModel":
        # One draw per condition of the one-condition model; shared parameters are condition 0's.
        draws = [_draw_truth({**settings, "class": "PsychometricModel"}, rng) for _ in range(settings["num_conditions"])]
        estimated = [isinstance(settings[key], list) for key in ("guess_rate", "lapse_rate")]
        slopes = [d[0] for d in draws] if settings["per_condition_slope"] else [draws[0][0]]
        values = slopes + [d[1] for d in draws]
        for k, key in enumerate(("guess_rate", "lapse_rate")):
            if estimated[k]:
                j = 2 + sum(estimated[:k])
                per = settings[f"per_condition_{key}"]
                values += [d[j] for d in draws] if per else [draws[0][j]]
        return values
    if settings["class"] == "ContrastSensitivityModel":
        # The four CSF parameters from their log10 normal priors, then the rates as for one threshold.
        csf = [10.0 ** float(rng.normal(*settings[key])) for key in
               ("log10_peak_sensitivity", "log10_peak_frequency", "log10_bandwidth", "log10_truncation")]
        rates = _draw_truth({**settings, "class": "PsychometricModel", "mu_log_s": 0.0, "sigma_log_s": 1.0,
                             "mu_m": 0.0, "sigma_m": 1.0}, rng)[2:]
        return csf + rates
    if settings["class"] == "TwoParameterPsychometricModel":
        return [float(rng.normal(settings["mu_k"], settings["sigma_k"])),
                float(rng.normal(settings["mu_m"], settings["sigma_m"]))]
    while True:
        values = [math.exp(rng.normal(settings["mu_log_s"], settings["sigma_log_s"])),
                  float(rng.normal(settings["mu_m"], settings["sigma_m"]))]
        rates = []
        for key in ("guess_rate", "lapse_rate"):
            rate = settings[key]
            rates.append(float(rng.beta(*rate)) if isinstance(rate, list) else float(rate))
            if isinstance(rate, list):
                values.append(rates[-1])
        if rates[0] + rates[1] < 1.0:
            return values


def _p_yes(model: Any, truth: list[float], x: float | tuple[float, ...]) -> float:
    if isinstance(x, tuple):  # a design of several columns: p(yes) from the model's own likelihood
        return math.exp(model.log_likelihood(truth, np.array([x]), np.array([True])))
    if hasattr(model, "psychometric"):
        return float(model.psychometric(np.array([truth]), np.array([x]))[0, 0])
    k, m = truth
    return 0.5 * (1.0 + math.tanh(0.5 * k * (x - m)))


def _run_observer(job: dict[str, Any]) -> list[dict[str, Any]]:
    if job["threads"] is not None and os.getpid() != job["caller"]:
        # A worker process of its own: its native loops share the cores with the other workers'.
        os.environ["VARNEL_NUM_THREADS"] = str(job["threads"])
    model = _model_from_settings(job["model"])
    experiment = AdaptiveExperiment(model, job["candidates"], seed=job["seed"], **job["settings"])
    rng = np.random.default_rng(np.random.SeedSequence(job["seed"], spawn_key=(1,)))
    truth = job["truth"]
    grid = experiment.candidates if experiment.candidates.ndim > 1 else np.sort(experiment.candidates)
    index = len(grid) // 2  # the staircase starts in the middle, one down after two yes, one up after a no
    streak = 0
    names = experiment.param_names
    rows = []
    for trial in range(1, job["trials"] + 1):
        x: float | tuple[float, ...]
        if job["strategy"] == "information_gain":
            x = experiment.next_stimulus() if grid.ndim == 1 else experiment.next_design()
        elif job["strategy"] == "random":
            x = float(rng.choice(grid)) if grid.ndim == 1 else tuple(float(v) for v in grid[rng.integers(len(grid))])
        else:
            x = float(grid[index])
        response = bool(rng.random() < _p_yes(model, truth, x))
        experiment.record(x, response, rule=None if job["strategy"] == "information_gain" else job["strategy"])
        if job["strategy"] == "staircase":
            streak = streak + 1 if response else 0
            if not response:
                index = min(len(grid) - 1, index + 1)
            elif streak == 2:
                index, streak = max(0, index - 1), 0
        draws = experiment.posterior().draws
        stimulus = x if isinstance(x, tuple) else (x,)
        row: dict[str, Any] = {"observer": job["observer"], "strategy": job["strategy"], "trial": trial,
                               **dict(zip(_design_columns(job["model"]["class"]), stimulus)), "response": response}
        for j, name in enumerate(names):
            mean = float(draws[:, j].mean())
            row[f"{name}_true"] = truth[j]
            row[f"{name}_mean"] = mean
            row[f"{name}_sd"] = float(draws[:, j].std(ddof=1))
            row[f"{name}_error"] = mean - truth[j]
        rows.append(row)
    return rows


def simulate(model: Any, candidates: Iterable[float] | np.ndarray, *, observers: int = 10, trials: int = 40,
             strategy: str = "information_gain", true_params: Iterable[Iterable[float]] | None = None,
             executor: Executor | None = None, seed: int = 0, threads: int | None = 1,
             **settings: Any) -> list[dict[str, Any]]:
    """Runs ``observers`` simulated observers for ``trials`` trials each and
    returns a tidy table, one dict per observer and trial (pandas.DataFrame
    takes it as it is): observer, strategy, trial, the stimulus and the
    simulated response, and per parameter its true value, posterior mean
    and sd after the trial, and the error of the mean.

    Observers answer by the model's psychometric function at their true
    parameters: ``true_params`` (one natural-scale row per observer, in
    ``param_names`` order) or draws from the model's priors. ``strategy``
    chooses the stimuli: "information_gain" (the experiment's choice),
    "random" (uniform over the candidates) or "staircase" (one step down
    after two yes, one up after a no). ``settings`` go to each
    ``AdaptiveExperiment``. Everything follows from ``seed``; the table
    is the same on any ``executor`` (a process pool, or a cluster's
    executor), which runs one observer per task; None runs them here.
    ``threads`` is the number of native threads an observer uses in a worker
    process of the executor (1 by default: the workers share the cores, and
    one process per core runs fastest; None leaves the worker's setting,
    the environment variable VARNEL_NUM_THREADS or one per core). Observers
    run in the calling process use all cores whatever ``threads`` is, and
    the table does not depend on it."""
    count = _count("observers", observers)
    if threads is not None:
        threads = _count("threads", threads)
    length = _count("trials", trials)
    if strategy not in STRATEGIES:
        raise ValueError(f"argument 'strategy': expected one of {', '.join(map(repr, STRATEGIES))}, "
                         f"got {strategy!r}")
    model_settings = _model_settings(model)
    columns = _design_columns(model_settings["class"])
    grid = _candidates(candidates, model_settings["class"], len(columns))
    if strategy == "staircase" and len(columns) > 1:
        raise ValueError(f"argument 'strategy': a staircase steps along one stimulus, and a "
                         f"{model_settings['class']} design has {len(columns)} columns")
    AdaptiveExperiment(model, grid, seed=0, **settings)  # checks the settings here, not in a worker
    rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(0,)))
    if true_params is None:
        truths = [_draw_truth(model_settings, rng) for _ in range(count)]
    else:
        truths = [[float(v) for v in row] for row in true_params]
        width = len(AdaptiveExperiment(model, grid, seed=0, **settings).param_names)
        if len(truths) != count or any(len(t) != width for t in truths):
            raise ValueError(f"argument 'true_params': expected {count} rows of {width} values")
    seeds = np.random.SeedSequence(seed, spawn_key=(2,)).generate_state(count, dtype=np.uint64)
    jobs = [{"model": model_settings, "candidates": grid.tolist(), "settings": dict(settings),
             "seed": int(seeds[i]) >> 1, "truth": truths[i], "observer": i, "trials": length,
             "strategy": strategy, "threads": threads, "caller": os.getpid()} for i in range(count)]
    results = map(_run_observer, jobs) if executor is None else executor.map(_run_observer, jobs)
    return [row for rows in results for row in rows]
