"""An adaptive yes/no experiment, end to end.

A simulated observer answers with a known psychometric function
p(yes | x) = 1 / (1 + exp(-k (x - m))). After every trial the posterior of
(k, m) is drawn with NUTSEstimator; the next stimulus is the candidate with
the highest expected information gain under that posterior
(EnumeratedMonteCarloEstimator). The same number of trials is run with two
baselines, stimuli drawn at random from the grid and a 1-up/2-down staircase,
with the same observer (the same random numbers decide the responses).

After each update it also checks the sampler: divergent transitions after
warm-up, the smallest bulk effective sample size, and a warning when the
rank-normalised R-hat exceeds 1.01.

Run: python examples/adaptive_experiment.py [--trials 40] [--seed 1] [--repeats 5] [--out adaptive_experiment.png]
"""

from __future__ import annotations

import argparse
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import varnel

# The benchmarks' rank-normalised ESS and R-hat, one routine for every sampler.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import ess  # noqa: E402

TRUE_K = 2.5
TRUE_M = 0.6
PRIOR = (1.0, 2.0, 0.0, 1.5)  # mu_k, sigma_k, mu_m, sigma_m
GRID = np.round(np.linspace(-3.0, 3.0, 61), 10)
NUM_TUNE = 400
NUM_DRAWS = 500
NUM_CHAINS = 4
EIG_SAMPLES = 1000
REPORT_AT = (10, 20, 40)


@dataclass
class Run:
    name: str
    stimuli: list[float] = field(default_factory=list)
    responses: list[bool] = field(default_factory=list)
    mean: list[np.ndarray] = field(default_factory=list)
    sd: list[np.ndarray] = field(default_factory=list)
    update_seconds: list[float] = field(default_factory=list)
    divergences: list[int] = field(default_factory=list)
    min_ess: list[float] = field(default_factory=list)
    max_rhat: list[float] = field(default_factory=list)
    last_draws: np.ndarray | None = None


def p_yes(x: np.ndarray | float, k: np.ndarray | float, m: np.ndarray | float) -> np.ndarray:
    return 1.0 / (1.0 + np.exp(-k * (np.asarray(x) - m)))


@dataclass
class Update:
    draws: np.ndarray  # pooled draws after warm-up, one row (k, m) each
    divergences: int  # divergent transitions after warm-up, all chains
    min_ess: float  # smallest bulk ESS over k and m
    max_rhat: float  # largest rank-normalised R-hat over k and m


def posterior(model, sampler, stimuli: list[float], responses: list[bool]) -> Update:
    """The posterior after these trials, with the sampler's diagnostics."""
    design = np.asarray(stimuli, dtype=np.float64).reshape(-1, 1)
    observations = np.asarray(responses, dtype=bool)
    chains, stats = sampler.estimate_with_stats(model, design, observations)
    kept = np.stack([c[NUM_TUNE:] for c in chains])  # (chains, draws, 2)
    divergences = sum(int(np.sum(t.column("diverging").to_numpy(zero_copy_only=False)[NUM_TUNE:])) for t in stats)
    return Update(kept.reshape(-1, 2), divergences, ess.min_bulk_ess(kept), ess.max_rhat(kept))


def staircase_next(run: Run, index: int) -> int:
    """1-up/2-down on the grid: two yes in a row step down, a no steps up."""
    step = 3
    if not run.responses:
        return index
    if not run.responses[-1]:
        return min(index + step, len(GRID) - 1)
    if len(run.responses) >= 2 and run.responses[-2] and run.stimuli[-1] == run.stimuli[-2]:
        return max(index - step, 0)
    return index


def run_strategy(name: str, trials: int, seed: int, verbose: bool) -> Run:
    model = varnel.models.TwoParameterPsychometricModel(*PRIOR)
    eig = varnel.eig.EnumeratedMonteCarloEstimator([False, True], EIG_SAMPLES)
    observer = np.random.default_rng(seed)  # same answers' randomness for every strategy
    chooser = np.random.default_rng(seed + 1)
    run = Run(name)
    draws = None
    stair_index = len(GRID) - 6
    for trial in range(trials):
        if name == "eig":
            if draws is None:
                scores = eig.estimate(model, [], GRID.reshape(-1, 1))  # prior samples
            else:
                scores = eig.estimate(model, draws, GRID.reshape(-1, 1))
            x = float(GRID[int(np.argmax(scores))])
        elif name == "random":
            x = float(chooser.choice(GRID))
        else:
            stair_index = staircase_next(run, stair_index)
            x = float(GRID[stair_index])
        u = observer.random()
        response = bool(u < p_yes(x, TRUE_K, TRUE_M))
        run.stimuli.append(x)
        run.responses.append(response)

        sampler = varnel.posterior.NUTSEstimator(
            num_tune=NUM_TUNE, num_draws=NUM_DRAWS, num_chains=NUM_CHAINS, seed=seed * 1000 + trial
        )
        t0 = time.perf_counter()
        update = posterior(model, sampler, run.stimuli, run.responses)
        run.update_seconds.append(time.perf_counter() - t0)
        draws = update.draws
        run.mean.append(draws.mean(axis=0))
        run.sd.append(draws.std(axis=0, ddof=1))
        run.divergences.append(update.divergences)
        run.min_ess.append(update.min_ess)
        run.max_rhat.append(update.max_rhat)
        run.last_draws = draws
        if verbose:
            mk, mm = run.mean[-1]
            sk, sm = run.sd[-1]
            print(
                f"{name:9s} trial {trial + 1:3d}  x={x:+.2f}  response={'yes' if response else 'no ':3s}  "
                f"k={mk:5.2f}±{sk:4.2f}  m={mm:+5.2f}±{sm:4.2f}  update {run.update_seconds[-1] * 1e3:6.1f} ms  "
                f"divergences {update.divergences}  min ESS {update.min_ess:5.0f}"
            )
            if update.max_rhat > 1.01:
                print(f"  warning: R-hat {update.max_rhat:.3f} > 1.01, the chains disagree")
    return run


def summary_table(runs: dict[str, list[Run]], trials: int) -> str:
    """Per strategy and trial count: error of the posterior mean and posterior sd,
    averaged over the repetitions (different observers' random numbers)."""
    repeats = len(next(iter(runs.values())))
    lines = [
        f"| strategy | trials | error of mean k | sd k | error of mean m | sd m |  (mean over {repeats} runs)",
        "|---|---|---|---|---|---|",
    ]
    for name, reps in runs.items():
        for n in REPORT_AT:
            if n > trials:
                continue
            err = np.mean([np.abs(r.mean[n - 1] - (TRUE_K, TRUE_M)) for r in reps], axis=0)
            sd = np.mean([r.sd[n - 1] for r in reps], axis=0)
            lines.append(f"| {name} | {n} | {err[0]:.3f} | {sd[0]:.3f} | {err[1]:.3f} | {sd[1]:.3f} |")
    return "\n".join(lines)


def plot(all_runs: dict[str, list[Run]], out: str) -> None:
    runs = [reps[0] for reps in all_runs.values()]
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(15, 4.2))
    xs = np.linspace(GRID[0], GRID[-1], 200)
    ax = axes[0]
    ax.plot(xs, p_yes(xs, TRUE_K, TRUE_M), "k-", lw=2, label="true observer")
    for run, color in zip(runs, ("C0", "C1", "C2")):
        draws = run.last_draws
        assert draws is not None
        curves = p_yes(xs[None, :], draws[:, :1], draws[:, 1:2])
        lo, mid, hi = np.percentile(curves, [5, 50, 95], axis=0)
        ax.fill_between(xs, lo, hi, color=color, alpha=0.2)
        ax.plot(xs, mid, color=color, label=f"{run.name}: posterior median, 90% band")
    ax.set_xlabel("stimulus x")
    ax.set_ylabel("p(yes)")
    ax.set_title("Psychometric function after the last trial (first run)")
    ax.legend(fontsize=8)

    ax = axes[1]
    for run, color in zip(runs, ("C0", "C1", "C2")):
        t = np.arange(1, len(run.stimuli) + 1)
        ax.plot(t, run.stimuli, "o-", ms=3, lw=0.8, color=color, label=run.name)
    ax.axhline(TRUE_M, color="k", ls="--", lw=1, label="true m")
    ax.set_xlabel("trial")
    ax.set_ylabel("stimulus presented")
    ax.set_title("Stimuli over trials (first run)")
    ax.legend(fontsize=8)

    ax = axes[2]
    for (name, reps), color in zip(all_runs.items(), ("C0", "C1", "C2")):
        sd_m = np.mean([[s[1] for s in r.sd] for r in reps], axis=0)
        ax.plot(np.arange(1, len(sd_m) + 1), sd_m, color=color, label=f"{name} (mean of {len(reps)} runs)")
    ax.set_yscale("log")
    ax.set_xlabel("trial")
    ax.set_ylabel("posterior sd of m")
    ax.set_title("Uncertainty about the location m")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"figure written to {out}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--trials", type=int, default=40)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--out", default="adaptive_experiment.png")
    ap.add_argument("--repeats", type=int, default=5, help="observers simulated per strategy (default 5)")
    ap.add_argument("--quiet", action="store_true", help="no progress line per trial")
    args = ap.parse_args()
    if args.trials < 1:
        ap.error("--trials must be at least 1")
    if args.repeats < 1:
        ap.error("--repeats must be at least 1")

    print(f"true observer: k={TRUE_K}, m={TRUE_M}; prior k~N({PRIOR[0]}, {PRIOR[1]}), m~N({PRIOR[2]}, {PRIOR[3]})")
    print(f"posterior: {NUM_CHAINS} chains x ({NUM_TUNE} warm-up + {NUM_DRAWS}) draws per trial; "
          f"EIG over {len(GRID)} stimuli with {EIG_SAMPLES} posterior samples")
    runs: dict[str, list[Run]] = {}
    for name in ("eig", "random", "staircase"):
        runs[name] = []
        for rep in range(args.repeats):
            verbose = rep == 0 and not args.quiet
            runs[name].append(run_strategy(name, args.trials, args.seed + rep, verbose))
        if not args.quiet and args.repeats > 1:
            print(f"{name}: {args.repeats - 1} more observers simulated for the averages")
    print()
    print(summary_table(runs, args.trials))
    every = [r for reps in runs.values() for r in reps]
    updates = np.concatenate([r.update_seconds for r in every])
    divergences = sum(sum(r.divergences) for r in every)
    print(
        f"\nposterior update: median {np.median(updates) * 1e3:.1f} ms, max {updates.max() * 1e3:.1f} ms "
        f"over {updates.size} updates; divergences after warm-up: {divergences}; "
        f"smallest bulk ESS {min(min(r.min_ess) for r in every):.0f}; "
        f"largest R-hat {max(max(r.max_rhat) for r in every):.3f}"
    )
    plot(runs, args.out)


if __name__ == "__main__":
    main()
