"""An adaptive two-alternative forced-choice experiment, end to end.

Simulated observers answer a two-alternative forced-choice task: they are
right by chance half of the time and lapse now and then, so

    p(correct | x) = 0.5 + (1 - 0.5 - lapse) / (1 + exp(-s (x - m))).

Each observer has its own slope s and threshold m. The experiment is
varnel.experiment.AdaptiveExperiment with varnel.models.PsychometricModel
(guess rate fixed at 0.5, lapse rate estimated with a Beta(2, 50) prior):
after every trial it updates the posterior of (s, m, lapse) (incrementally by
default; --update from_scratch draws it anew with NUTS every trial) and
presents the candidate with the highest expected information gain. The same observers,
with the same random numbers deciding their answers, are also run with
stimuli drawn at random from the grid and with a 1-up/2-down staircase; their
posteriors are drawn only at the checkpoints of the table.

Every posterior is checked, summed up in the last lines: for the
incremental update the smallest effective sample size of the particle
weights, the mean acceptance of the particle moves and their divergent
transitions; for the from-scratch update the divergent transitions after
warm-up, the smallest bulk effective sample size and the largest
rank-normalised R-hat. A short contrast runs the two-parameter model (normal prior on
the slope k, no guess or lapse rate) in the same loop on a yes/no observer.

Run: python examples/adaptive_experiment.py [--trials 40] [--observers 20] [--seed 1] [--update incremental]
     [--out adaptive_experiment.png]
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field

import numpy as np

import varnel
from varnel import experiment

GRID = np.round(np.linspace(-3.0, 3.0, 61), 10)
NUM_TUNE = 400
NUM_DRAWS = 1000  # with 500, R-hat exceeds 1.01 on a few percent of updates from noise alone
NUM_CHAINS = 4
EIG_SAMPLES = 1000
CHECKPOINTS = (10, 20, 40)
STRATEGIES = ("eig", "random", "staircase")

GUESS_RATE = 0.5
# Beta(a, b): mode 0.02, mean 0.04, little mass above 0.1: observers who
# lapse more than that are better screened out than modelled.
LAPSE_PRIOR = (2.0, 50.0)
TRUE_LAPSE = 0.02
MU_LOG_S, SIGMA_LOG_S = math.log(2.0), 0.7
MU_M, SIGMA_M = 0.0, 1.5
# The observers' slopes and thresholds are drawn from these ranges.
TRUE_S_RANGE = (1.5, 4.0)
TRUE_M_RANGE = (-1.0, 1.5)

# The contrast: the two-parameter model on a yes/no observer.
CONTRAST_PRIOR = (1.0, 2.0, 0.0, 1.5)  # mu_k, sigma_k, mu_m, sigma_m
CONTRAST_K, CONTRAST_M = 2.5, 0.6


@dataclass(frozen=True)
class Observer:
    s: float
    m: float
    seed: int

    def p_correct(self, x: float) -> float:
        return float(p_correct(x, self.s, self.m, TRUE_LAPSE))


@dataclass
class Check:
    """Sampler diagnostics of one posterior."""

    update: str
    divergences: int
    min_ess: float
    max_rhat: float
    move_acceptance: float


@dataclass
class Run:
    name: str
    observer: Observer
    stimuli: list[float] = field(default_factory=list)
    responses: list[bool] = field(default_factory=list)
    mean_m: dict[int, float] = field(default_factory=dict)  # trials -> posterior mean of m
    sd_m: dict[int, float] = field(default_factory=dict)
    mean_s: dict[int, float] = field(default_factory=dict)
    checks: list[Check] = field(default_factory=list)
    update_seconds: list[float] = field(default_factory=list)
    last: experiment.Posterior | None = None


def p_correct(x: np.ndarray | float, s: np.ndarray | float, m: np.ndarray | float,
              lapse: np.ndarray | float) -> np.ndarray:
    return GUESS_RATE + (1.0 - GUESS_RATE - np.asarray(lapse)) / (1.0 + np.exp(-np.asarray(s) * (np.asarray(x) - m)))


def make_model() -> varnel.models.PsychometricModel:
    return varnel.models.PsychometricModel(link="logistic", mu_log_s=MU_LOG_S, sigma_log_s=SIGMA_LOG_S,
                                           mu_m=MU_M, sigma_m=SIGMA_M, guess_rate=GUESS_RATE,
                                           lapse_rate=LAPSE_PRIOR)


def note(run: Run, posterior: experiment.Posterior, seconds: float, location: str = "m", slope: str = "s") -> None:
    """Keeps one posterior's figures and diagnostics."""
    n = posterior.num_trials
    run.mean_m[n] = posterior.summary[location].mean
    run.sd_m[n] = posterior.summary[location].sd
    run.mean_s[n] = posterior.summary[slope].mean
    run.checks.append(Check(posterior.update, posterior.divergences, posterior.min_bulk_ess, posterior.max_rhat,
                            posterior.move_acceptance))
    run.update_seconds.append(seconds)
    run.last = posterior


class Staircase:
    """1-up/2-down on the grid: two correct answers in a row step down, a wrong one steps up."""

    step = 3

    def __init__(self) -> None:
        self.index = len(GRID) - 6
        self.correct_in_a_row = 0

    def next(self) -> float:
        return float(GRID[self.index])

    def answer(self, correct: bool) -> None:
        if not correct:
            self.index = min(self.index + self.step, len(GRID) - 1)
            self.correct_in_a_row = 0
        else:
            self.correct_in_a_row += 1
            if self.correct_in_a_row == 2:
                self.index = max(self.index - self.step, 0)
                self.correct_in_a_row = 0


def run_observer(name: str, observer: Observer, trials: int, verbose: bool, update: str = "incremental",
                 model: varnel.models.PsychometricModel | varnel.models.TwoParameterPsychometricModel | None = None,
                 answer_p: Callable[[float], float] | None = None, location: str = "m", slope: str = "s") -> Run:
    """One simulated observer with one strategy; the answers' random numbers
    depend on the observer alone, so every strategy meets the same observer."""
    session = experiment.AdaptiveExperiment(model if model is not None else make_model(), GRID,
                                            num_tune=NUM_TUNE, num_draws=NUM_DRAWS, num_chains=NUM_CHAINS,
                                            n_samples=EIG_SAMPLES, seed=observer.seed, max_trials=trials,
                                            update=update)
    answers = np.random.default_rng(observer.seed)
    chooser = np.random.default_rng(observer.seed + 10_000)
    staircase = Staircase()
    p = answer_p if answer_p is not None else observer.p_correct
    run = Run(name, observer)
    if name == "eig":
        t0 = time.perf_counter()
        session.next_stimulus()  # the prior's draws and scores
        note(run, session.posterior(), time.perf_counter() - t0, location, slope)
    while not session.done():
        if name == "eig":
            x = session.next_stimulus()  # kept from the update after the last trial
        elif name == "random":
            x = float(chooser.choice(GRID))
        else:
            x = staircase.next()
        response = bool(answers.random() < p(x))
        session.record(x, response)
        staircase.answer(response)
        run.stimuli.append(x)
        run.responses.append(response)
        n = len(session.trials)
        if name == "eig" or n in CHECKPOINTS or n == trials:
            # One update: the posterior, and for EIG the scores that choose the next stimulus.
            t0 = time.perf_counter()
            posterior = session.posterior()
            if name == "eig":
                session.expected_information_gain()
            note(run, posterior, time.perf_counter() - t0, location, slope)
            if verbose and (n in CHECKPOINTS or n == trials):
                sm, ss = posterior.summary[location], posterior.summary[slope]
                mixing = (f"weights ESS {posterior.weights_ess:5.0f}" if posterior.update == "incremental" else
                          f"R-hat {posterior.max_rhat:.3f}  bulk ESS {posterior.min_bulk_ess:5.0f}")
                print(f"  {name:9s} trial {n:3d}  x={x:+.2f}  {'correct' if response else 'wrong  '}  "
                      f"{location}={sm.mean:+5.2f}±{sm.sd:4.2f}  {slope}={ss.mean:5.2f}±{ss.sd:4.2f}  "
                      f"{mixing}  divergences {posterior.divergences}")
    return run


def diagnostics_line(runs: list[Run]) -> str:
    lines = []
    checks = [c for r in runs for c in r.checks if c.update == "incremental"]
    if checks:
        accept = np.array([c.move_acceptance for c in checks if not math.isnan(c.move_acceptance)])
        lines.append(f"{len(checks)} incremental updates: smallest ESS of the particle weights "
                     f"{min(c.min_ess for c in checks):.0f}; particle moves' acceptance mean "
                     f"{accept.mean() if accept.size else float('nan'):.3f}, 1% quantile "
                     f"{np.quantile(accept, 0.01) if accept.size else float('nan'):.3f}; "
                     f"divergent transitions in moves: {sum(c.divergences for c in checks)}")
    checks = [c for r in runs for c in r.checks if c.update == "from_scratch"]
    if checks:
        rhats = np.array([c.max_rhat for c in checks])
        good = np.count_nonzero(rhats < 1.01)
        lines.append(f"{len(checks)} from-scratch updates: divergences after warm-up: "
                     f"{sum(c.divergences for c in checks)}; smallest bulk ESS {min(c.min_ess for c in checks):.0f}; "
                     f"largest R-hat {np.nanmax(rhats):.3f}; R-hat < 1.01 on {good}/{len(checks)} updates "
                     f"({100.0 * good / len(checks):.1f}%)")
    return "\n  ".join(lines)


def summary_table(runs: dict[str, list[Run]], checkpoints: list[int]) -> str:
    """Per strategy and trial count: error of the posterior means of m and s and
    the posterior sd of m, averaged over the observers."""
    observers = len(next(iter(runs.values())))
    lines = [
        f"| strategy | trials | error of mean m | sd m | error of mean s |  (mean over {observers} observers)",
        "|---|---|---|---|---|",
    ]
    for name, reps in runs.items():
        for n in checkpoints:
            err_m = np.mean([abs(r.mean_m[n] - r.observer.m) for r in reps])
            sd_m = np.mean([r.sd_m[n] for r in reps])
            err_s = np.mean([abs(r.mean_s[n] - r.observer.s) for r in reps])
            lines.append(f"| {name} | {n} | {err_m:.3f} | {sd_m:.3f} | {err_s:.3f} |")
    return "\n".join(lines)


def plot(runs: dict[str, list[Run]], checkpoints: list[int], out: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colors = dict(zip(STRATEGIES, ("C0", "C1", "C2")))
    first = {name: reps[0] for name, reps in runs.items()}
    observer = first["eig"].observer
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.2))
    xs = np.linspace(GRID[0], GRID[-1], 200)
    ax = axes[0]
    ax.plot(xs, p_correct(xs, observer.s, observer.m, TRUE_LAPSE), "k-", lw=2, label="true observer")
    for name, run in first.items():
        posterior = run.last
        assert posterior is not None
        col = {p: posterior.param_names.index(p) for p in ("s", "m", "lapse_rate")}
        d = posterior.draws
        curves = p_correct(xs[None, :], d[:, col["s"], None], d[:, col["m"], None], d[:, col["lapse_rate"], None])
        lo, mid, hi = np.percentile(curves, [5, 50, 95], axis=0)
        ax.fill_between(xs, lo, hi, color=colors[name], alpha=0.2)
        ax.plot(xs, mid, color=colors[name], label=f"{name}: posterior median, 90% band")
    ax.set_xlabel("stimulus x")
    ax.set_ylabel("p(correct)")
    ax.set_title("Psychometric function after the last trial (first observer)")
    ax.legend(fontsize=8)

    ax = axes[1]
    for name, run in first.items():
        t = np.arange(1, len(run.stimuli) + 1)
        ax.plot(t, run.stimuli, "o-", ms=3, lw=0.8, color=colors[name], label=name)
    ax.axhline(observer.m, color="k", ls="--", lw=1, label="true m")
    ax.set_xlabel("trial")
    ax.set_ylabel("stimulus presented")
    ax.set_title("Stimuli over trials (first observer)")
    ax.legend(fontsize=8)

    ax = axes[2]
    for name, reps in runs.items():
        shown = sorted(reps[0].sd_m) if name == "eig" else checkpoints
        sd_m = [np.mean([r.sd_m[n] for r in reps]) for n in shown]
        style = "-" if name == "eig" else "o--"
        ax.plot(shown, sd_m, style, color=colors[name], label=f"{name} (mean of {len(reps)} observers)")
    ax.set_yscale("log")
    ax.set_xlabel("trial")
    ax.set_ylabel("posterior sd of m")
    ax.set_title("Uncertainty about the threshold m")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"figure written to {out}")


def contrast(trials: int, observers: int, seed: int, update: str) -> None:
    """The two-parameter model in the same loop on a yes/no observer."""
    model = varnel.models.TwoParameterPsychometricModel(*CONTRAST_PRIOR)

    def p_yes(x: float) -> float:
        return 1.0 / (1.0 + math.exp(-CONTRAST_K * (x - CONTRAST_M)))

    runs = [run_observer("eig", Observer(CONTRAST_K, CONTRAST_M, seed + i), trials, False, update, model=model,
                         answer_p=p_yes, slope="k") for i in range(observers)]
    print(f"\ncontrast, two-parameter model (k ~ N({CONTRAST_PRIOR[0]}, {CONTRAST_PRIOR[1]})) on a yes/no observer "
          f"(k={CONTRAST_K}, m={CONTRAST_M}), {observers} observers, EIG:")
    print("  " + diagnostics_line(runs))


def planning(trials: int, observers: int, seed: int, update: str, checkpoints: list[int]) -> None:
    """Planning by simulation: observers drawn from the model's priors, each
    strategy on a pool of 2 worker processes, the error of m at checkpoints."""
    started = time.perf_counter()
    lines = []
    with ProcessPoolExecutor(2) as pool:
        for strategy in experiment.STRATEGIES:
            table = experiment.simulate(make_model(), GRID, observers=observers, trials=trials, strategy=strategy,
                                        executor=pool, seed=seed, update=update, n_samples=EIG_SAMPLES)
            cells = []
            for n in checkpoints:
                rows = [row for row in table if row["trial"] == n]
                rmse = math.sqrt(sum(row["m_error"] ** 2 for row in rows) / len(rows))
                cells.append(f"n={n}: RMSE {rmse:.3f}, mean sd {sum(row['m_sd'] for row in rows) / len(rows):.3f}")
            lines.append(f"  {strategy:16s} " + "; ".join(cells))
    print(f"\nplanning by simulation: {observers} observers from the priors per strategy, error of m, "
          f"2 worker processes, {time.perf_counter() - started:.1f} s")
    print("\n".join(lines))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--trials", type=int, default=40)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--out", default="adaptive_experiment.png")
    ap.add_argument("--observers", type=int, default=20, help="simulated observers per strategy (default 20)")
    ap.add_argument("--contrast", type=int, default=5,
                    help="observers for the two-parameter model's contrast (default 5, 0 leaves it out)")
    ap.add_argument("--plan", type=int, default=16,
                    help="observers per strategy for planning by simulation (default 16, 0 leaves it out)")
    ap.add_argument("--quiet", action="store_true", help="no line per checkpoint for the first observer")
    ap.add_argument("--update", choices=experiment.UPDATES, default="incremental",
                    help="how the posterior follows the trials (default incremental)")
    args = ap.parse_args()
    if args.trials < 1:
        ap.error("--trials must be at least 1")
    if args.observers < 1:
        ap.error("--observers must be at least 1")
    if args.contrast < 0:
        ap.error("--contrast must not be negative")
    if args.plan < 0:
        ap.error("--plan must not be negative")

    population = np.random.default_rng(args.seed)
    observers = [Observer(float(population.uniform(*TRUE_S_RANGE)), float(population.uniform(*TRUE_M_RANGE)),
                          args.seed * 1000 + i) for i in range(args.observers)]
    checkpoints = sorted({n for n in CHECKPOINTS if n <= args.trials} | {args.trials})
    print(f"two-alternative forced choice: guess rate {GUESS_RATE}, lapse rate {TRUE_LAPSE}; "
          f"{args.observers} observers with s in {TRUE_S_RANGE}, m in {TRUE_M_RANGE}")
    print(f"model: PsychometricModel(logistic, log s ~ N({MU_LOG_S:.3f}, {SIGMA_LOG_S}), m ~ N({MU_M}, {SIGMA_M}), "
          f"guess_rate={GUESS_RATE}, lapse_rate ~ Beta{LAPSE_PRIOR})")
    if args.update == "incremental":
        print(f"posterior: incremental (sequential Monte Carlo, NUTS moves); "
              f"EIG over {len(GRID)} stimuli with {EIG_SAMPLES} posterior samples")
    else:
        print(f"posterior: {NUM_CHAINS} chains x ({NUM_TUNE} warm-up + {NUM_DRAWS}) draws every trial; "
              f"EIG over {len(GRID)} stimuli with {EIG_SAMPLES} posterior samples")
    started = time.perf_counter()
    runs: dict[str, list[Run]] = {}
    for name in STRATEGIES:
        runs[name] = [run_observer(name, obs, args.trials, i == 0 and not args.quiet, args.update)
                      for i, obs in enumerate(observers)]
    print()
    print(summary_table(runs, checkpoints))
    every = [r for reps in runs.values() for r in reps]
    updates = np.concatenate([r.update_seconds for r in runs["eig"]])
    print(f"\nEIG update (posterior + scores of {len(GRID)} stimuli): median {np.median(updates) * 1e3:.1f} ms, "
          f"95th percentile {np.percentile(updates, 95) * 1e3:.1f} ms, max {updates.max() * 1e3:.1f} ms "
          f"over {updates.size} updates")
    print(diagnostics_line(every))
    if args.contrast:
        contrast(args.trials, args.contrast, args.seed, args.update)
    if args.plan:
        planning(args.trials, args.plan, args.seed, args.update, checkpoints)
    print(f"\ndemo time {time.perf_counter() - started:.0f} s")
    plot(runs, checkpoints, args.out)


if __name__ == "__main__":
    main()
