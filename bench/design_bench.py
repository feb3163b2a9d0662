"""Timings of the models beyond one threshold (not part of the test suite):
the contrast sensitivity model's information gain over 61 x 61 candidates,
and one trial (posterior + choice) of the CSF experiment over its continuous
box and of a two-condition experiment, against a trial of the 3-parameter
PsychometricModel measured in the same run. Ratios within one run are what
to compare; machines are noisy.

    .venv/bin/python bench/design_bench.py [--trials 40]
"""

from __future__ import annotations

import argparse
import json
import math
import time

import numpy as np

import varnel
from varnel.experiment import AdaptiveExperiment, StimulusBox


def median_ms(samples: list[float]) -> float:
    return float(np.median(samples) * 1e3)


def trial_times(experiment: AdaptiveExperiment, answer, trials: int) -> list[float]:
    """Seconds per trial (the choice, which draws the posterior, and the record), the first excluded."""
    times = []
    for _ in range(trials):
        start = time.perf_counter()
        design = experiment.next_design()
        experiment.record(design if len(design) > 1 else design[0], answer(design))
        times.append(time.perf_counter() - start)
    return times[1:]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--trials", type=int, default=100)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    out: dict[str, object] = {}

    csf = varnel.models.ContrastSensitivityModel(guess_rate=0.5, lapse_rate=0.02)
    draws = np.array([csf.sample_prior() for _ in range(1000)])
    axes = [np.linspace(-0.6, 1.6, 61), np.linspace(-3.5, 0.0, 61)]
    candidates = np.stack([a.ravel() for a in np.meshgrid(*axes, indexing="ij")], axis=1)
    eig = varnel.eig.EnumeratedMonteCarloEstimator([False, True], 1000)
    eig.estimate(csf, draws, candidates)
    samples = []
    for _ in range(20):
        start = time.perf_counter()
        eig.estimate(csf, draws, candidates)
        samples.append(time.perf_counter() - start)
    out["CSF information gain, 61 x 61 candidates x 1000 samples (ms)"] = median_ms(samples)

    def yes_no(p: float) -> bool:
        return bool(rng.random() < p)

    psychometric = varnel.models.PsychometricModel(link="normal", guess_rate=0.5, lapse_rate=(1.0, 19.0))
    base = trial_times(AdaptiveExperiment(psychometric, np.linspace(-3, 3, 61), seed=1),
                       lambda d: yes_no(0.5 + 0.48 / (1 + math.exp(-3 * (d[0] - 0.3)))), args.trials)
    out["3-parameter PsychometricModel, 61 candidates: trial (ms)"] = median_ms(base)

    def csf_answer(d: tuple[float, ...]) -> bool:
        return yes_no(0.5 + 0.48 / (1 + math.exp(-3 * (d[1] + 2.0 - (d[0] - 0.4) ** 2))))

    csf_times = trial_times(AdaptiveExperiment(csf, StimulusBox([-0.6, -3.5], [1.6, 0.0]), seed=1), csf_answer,
                            args.trials)
    out["CSF over the frequency-contrast box: trial (ms)"] = median_ms(csf_times)
    out["CSF trial / 3-parameter trial"] = median_ms(csf_times) / median_ms(base)

    conditions = varnel.models.ConditionsPsychometricModel(num_conditions=2, guess_rate=0.5, lapse_rate=(1.0, 19.0))
    grid = np.array([[x, c] for c in (0, 1) for x in np.linspace(-3, 3, 61)])
    two = trial_times(AdaptiveExperiment(conditions, grid, seed=1),
                      lambda d: yes_no(0.5 + 0.48 / (1 + math.exp(-3 * (d[0] - 0.6 * d[1])))), args.trials)
    out["two conditions, 2 x 61 candidates: trial (ms)"] = median_ms(two)
    out["two-condition trial / 3-parameter trial"] = median_ms(two) / median_ms(base)
    print(json.dumps(out, indent=1))


if __name__ == "__main__":
    main()
