"""Two interleaved conditions in one session (left eye, right eye): a 2AFC
observer whose thresholds differ between the conditions while the slope and
the lapse rate are shared. Each trial the experiment chooses the stimulus and
the condition with the most expected information; the figure shows both
psychometric functions with their bands and the trials of each condition.

    python examples/two_conditions.py [--trials 200] [--out two_conditions.png]
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

import varnel
from varnel.experiment import AdaptiveExperiment

TRUE_M = (-0.4, 0.6)  # the conditions' thresholds (log contrast, say)
TRUE_S, GUESS, LAPSE = 3.0, 0.5, 0.03
NAMES = ("left eye", "right eye")
GRID = np.array([[x, c] for c in (0, 1) for x in np.round(np.linspace(-2.5, 2.5, 51), 10)])


def p_correct(x: np.ndarray | float, c: int) -> np.ndarray | float:
    return GUESS + (1.0 - GUESS - LAPSE) / (1.0 + np.exp(-TRUE_S * (np.asarray(x) - TRUE_M[c])))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--trials", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--out", default="two_conditions.png")
    args = ap.parse_args()
    if args.trials < 1:
        ap.error("--trials must be at least 1")

    model = varnel.models.ConditionsPsychometricModel(num_conditions=2, guess_rate=GUESS, lapse_rate=(1.0, 19.0),
                                                      sigma_m=1.5)
    experiment = AdaptiveExperiment(model, GRID, seed=args.seed, target=0.75, target_width=0.6,
                                    max_trials=args.trials)
    rng = np.random.default_rng(args.seed)
    seconds = []
    print(f"two conditions, 2AFC: thresholds m = {TRUE_M}, shared slope {TRUE_S} and lapse rate {LAPSE}")
    while not experiment.done():
        start = time.perf_counter()
        x, c = experiment.next_design()
        seconds.append(time.perf_counter() - start)
        experiment.record((x, c), bool(rng.random() < p_correct(x, int(c))))
    posterior = experiment.posterior()
    designs = [t.x for t in experiment.trials if isinstance(t.x, tuple)]
    counts = [sum(d[1] == c for d in designs) for c in (0, 1)]
    print(f"{len(experiment.trials)} trials ({counts[0]} {NAMES[0]}, {counts[1]} {NAMES[1]}); "
          f"median {np.median(seconds[1:]) * 1e3:.1f} ms per choice")
    for c in (0, 1):
        t = posterior.threshold(0.75, condition=c)
        true = TRUE_M[c] + math.log((0.75 - GUESS) / (1.0 - LAPSE - 0.75)) / TRUE_S
        print(f"  {NAMES[c]:9s}: 75% threshold {t.mean:+.3f} [{t.quantiles[2.5]:+.3f}, {t.quantiles[97.5]:+.3f}] "
              f"(true {true:+.3f})")
    shared = {name: round(posterior.summary[name].mean, 3) for name in ("s", "lapse_rate")}
    print(f"  shared: {shared}")
    plot(experiment, args.out)


def plot(experiment: AdaptiveExperiment, out: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    posterior = experiment.posterior()
    xs = np.linspace(-2.5, 2.5, 200)
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.2))
    for c, color in ((0, "C0"), (1, "C3")):
        band = posterior.psychometric(xs, condition=c)
        axes[0].plot(xs, p_correct(xs, c), color=color, ls="--", lw=1, label=f"{NAMES[c]}: true")
        axes[0].fill_between(xs, band.quantiles[2.5], band.quantiles[97.5], color=color, alpha=0.2)
        axes[0].plot(xs, band.mean, color=color, label=f"{NAMES[c]}: posterior mean, 95% band")
        trials = [(i + 1, t.x[0]) for i, t in enumerate(experiment.trials) if isinstance(t.x, tuple) and t.x[1] == c]
        axes[1].plot(*zip(*trials), "o", ms=3, color=color, label=NAMES[c])
    axes[0].set_xlabel("stimulus x")
    axes[0].set_ylabel("p(correct)")
    axes[0].legend(fontsize=8)
    axes[0].set_title("Psychometric functions")
    axes[1].set_xlabel("trial")
    axes[1].set_ylabel("stimulus presented")
    axes[1].legend(fontsize=8)
    axes[1].set_title("Stimulus and condition chosen each trial")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"figure written to {out}")


if __name__ == "__main__":
    main()
