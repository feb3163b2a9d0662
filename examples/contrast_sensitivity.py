"""A contrast sensitivity experiment: a simulated 2AFC observer, 100 trials,
spatial frequency and contrast chosen from a continuous range.

Each trial chooses (log10 frequency, log10 contrast) as the maximiser of the
expected information gain over the box, and the posterior of the four CSF
parameters follows. The figure shows the true CSF, the posterior band of the
log sensitivity after 25, 50 and 100 trials, and the stimuli chosen.

    python examples/contrast_sensitivity.py [--trials 100] [--out contrast_sensitivity.png]
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

import varnel
from varnel.experiment import AdaptiveExperiment, StimulusBox

# The observer: peak sensitivity 150 at 2.5 cycles/degree, 3 octaves wide, truncated 0.6 log10 units down.
TRUE = {"peak_sensitivity": 150.0, "peak_frequency": 2.5, "bandwidth": 3.0, "truncation": 0.6}
GUESS, LAPSE = 0.5, 0.02
BOX = StimulusBox([math.log10(0.25), -3.5], [math.log10(40.0), 0.0])  # 0.25 to 40 cycles/degree, contrast 0.03% to 1
CHECKPOINTS = (25, 50, 100)


def true_log_sensitivity(log_f: np.ndarray) -> np.ndarray:
    width = TRUE["bandwidth"] * math.log10(2.0)
    peak = math.log10(TRUE["peak_frequency"])
    q = 2.0 * (log_f - peak) / width
    value = math.log10(TRUE["peak_sensitivity"]) - math.log10(2.0) * q * q
    return np.where(log_f < peak, np.maximum(value, math.log10(TRUE["peak_sensitivity"]) - TRUE["truncation"]), value)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--trials", type=int, default=100)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--out", default="contrast_sensitivity.png")
    args = ap.parse_args()
    if args.trials < 1:
        ap.error("--trials must be at least 1")

    model = varnel.models.ContrastSensitivityModel(guess_rate=GUESS, lapse_rate=LAPSE)
    experiment = AdaptiveExperiment(model, BOX, seed=args.seed, n_samples=500)
    rng = np.random.default_rng(args.seed)
    bands: dict[int, varnel.experiment.PsychometricBand] = {}
    fs = np.linspace(BOX.lower[0], BOX.upper[0], 200)
    seconds = []
    print(f"contrast sensitivity: 2AFC observer {TRUE}, {args.trials} trials over {BOX}")
    for n in range(1, args.trials + 1):
        start = time.perf_counter()
        log_f, log_c = experiment.next_design()
        seconds.append(time.perf_counter() - start)
        z = model.slope * (log_c + float(true_log_sensitivity(np.array([log_f]))[0]))
        p = GUESS + (1.0 - GUESS - LAPSE) / (1.0 + math.exp(-z))
        experiment.record((log_f, log_c), bool(rng.random() < p))
        if n in CHECKPOINTS or n == args.trials:
            posterior = experiment.posterior()
            bands[n] = posterior.sensitivity(fs, quantiles=(2.5, 97.5))
            area = posterior.log_csf_area()
            means = {name: round(s.mean, 3) for name, s in posterior.summary.items()}
            print(f"  after {n:3d} trials: {means}; area under the log CSF {area.mean:.3f} "
                  f"[{area.quantiles[2.5]:.3f}, {area.quantiles[97.5]:.3f}]")
    grid = np.linspace(-0.5, 1.6, 1001)
    curve = np.maximum(true_log_sensitivity(grid), 0.0)
    true_area = float(((curve[1:] + curve[:-1]) * 0.5 * np.diff(grid)).sum())
    print(f"  true area under the log CSF {true_area:.3f}")
    print(f"choice over the box (posterior + search): median {np.median(seconds[1:]) * 1e3:.0f} ms per trial")
    plot(experiment, bands, fs, args.out)


def plot(experiment: AdaptiveExperiment, bands: dict[int, varnel.experiment.PsychometricBand], fs: np.ndarray,
         out: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5))
    ax = axes[0]
    ax.plot(10 ** fs, true_log_sensitivity(fs), "k-", lw=2, label="true CSF")
    for (n, band), color in zip(sorted(bands.items()), ("C1", "C2", "C0", "C3")):
        ax.fill_between(10 ** fs, band.quantiles[2.5], band.quantiles[97.5], color=color, alpha=0.25)
        ax.plot(10 ** fs, band.mean, color=color, label=f"after {n} trials: mean, 95% band")
    ax.set_xscale("log")
    ax.set_xlabel("spatial frequency (cycles/degree)")
    ax.set_ylabel("log10 sensitivity")
    ax.set_ylim(-0.2, 3.0)
    ax.legend(fontsize=8)
    ax.set_title("Contrast sensitivity function")
    ax = axes[1]
    designs = [(t.x, t.response) for t in experiment.trials if isinstance(t.x, tuple)]
    f = np.array([x[0] for x, _ in designs])
    c = np.array([x[1] for x, _ in designs])
    correct = np.array([r for _, r in designs])
    ax.plot(10 ** fs, -true_log_sensitivity(fs), "k-", lw=1, label="true threshold")
    ax.scatter(10 ** f[correct], c[correct], s=14, c="C2", label="correct")
    ax.scatter(10 ** f[~correct], c[~correct], s=14, c="C3", marker="x", label="wrong")
    ax.set_xscale("log")
    ax.set_xlabel("spatial frequency (cycles/degree)")
    ax.set_ylabel("log10 contrast")
    ax.legend(fontsize=8)
    ax.set_title("Stimuli chosen")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"figure written to {out}")


if __name__ == "__main__":
    main()
