"""Time per trial and threshold error of AdaptiveExperiment against a grid QUEST+.

The same simulated observers (true parameters drawn from the prior, with the
threshold kept inside the candidate range) answer both methods from the same
stream of uniform variates, so the two differ only in the stimuli they choose.
Each trial is one choice of stimulus plus one update with the answer; the
first trial (the prior) is left out of the times.

Two problems, both with a normal link, 61 candidate stimuli on [-3, 3] and
the priors below:
- "3-param": two-alternative forced choice (guess rate 0.5 fixed), s, m and the
  lapse rate estimated;
- "4-param": yes/no, s, m, guess and lapse rates estimated.

varnel runs with its default incremental update and, as the baseline, with the
from-scratch update. The grid method is the `questplus` package (norm_cdf, its
parameters the mean m, the sd 1/s, the lower asymptote and the lapse rate)
with the same prior evaluated on its grid, at several grid resolutions. The
report gives the median and 95th percentile of the time per trial, the RMSE
and mean posterior sd of m after 10, 20 and 40 trials, the coarsest grid
whose RMSE after 40 trials is at most varnel's, and each method's squared
error after 40 trials minus varnel's, paired over observers, with its
standard error (the observers' answers are shared, so the pairing removes
most of their noise).

Run through bench/trial_bench.sh (which installs questplus into a venv of its
own); alone: python bench/trial_bench.py [--observers 20] [--trials 40]
[--grid-index 3] [--skip-from-scratch]
[--problems 3-param 4-param] [--out report.json]
"""

from __future__ import annotations

import argparse
import json
import math
import statistics
import sys
import time
from dataclasses import dataclass, field

import numpy as np
from scipy.stats import beta as beta_dist
from scipy.stats import norm

CANDIDATES = np.round(np.linspace(-3.0, 3.0, 61), 10)
CHECKPOINTS = (10, 20, 40)
MU_LOG_S, SIGMA_LOG_S, MU_M, SIGMA_M = 0.7, 0.7, 0.0, 1.5
LAPSE = (2.0, 50.0)
GUESS_YES_NO = (2.0, 20.0)


@dataclass(frozen=True)
class Problem:
    name: str
    guess: float | tuple[float, float]
    # grid sizes (mean, sd, [guess], lapse) from coarse to fine
    grids: tuple[tuple[int, ...], ...]


PROBLEMS = {
    "3-param": Problem("3-param", 0.5, ((21, 9, 4), (31, 13, 6), (41, 17, 8), (61, 25, 11), (81, 33, 15))),
    "4-param": Problem("4-param", GUESS_YES_NO, ((21, 7, 4, 3), (31, 11, 6, 4), (41, 15, 8, 6), (51, 19, 10, 8))),
}


@dataclass
class Result:
    label: str
    times: list[float] = field(default_factory=list)
    errors: dict[int, list[float]] = field(default_factory=lambda: {c: [] for c in CHECKPOINTS})
    sds: dict[int, list[float]] = field(default_factory=lambda: {c: [] for c in CHECKPOINTS})

    def summary(self) -> dict:
        t = np.array(self.times) * 1e3
        return {
            "label": self.label,
            "median_ms": float(np.median(t)),
            "p95_ms": float(np.percentile(t, 95)),
            "rmse_m": {c: float(np.sqrt(np.mean(np.square(self.errors[c])))) for c in CHECKPOINTS},
            "mean_sd_m": {c: float(np.mean(self.sds[c])) for c in CHECKPOINTS},
        }


def observers(problem: Problem, count: int, trials: int, seed: int = 2026) -> list[dict]:
    rng = np.random.default_rng(seed)
    out = []
    while len(out) < count:
        m = rng.normal(MU_M, SIGMA_M)
        if abs(m) > 2.5:
            continue
        truth = {"s": float(np.exp(rng.normal(MU_LOG_S, SIGMA_LOG_S))), "m": float(m),
                 "guess": problem.guess if isinstance(problem.guess, float) else float(rng.beta(*problem.guess)),
                 "lapse": float(rng.beta(*LAPSE))}
        out.append({"truth": truth, "u": rng.random(trials)})
    return out


def p_yes(truth: dict, x: float) -> float:
    return truth["guess"] + (1.0 - truth["guess"] - truth["lapse"]) * norm.cdf(truth["s"] * (x - truth["m"]))


def run_varnel(problem: Problem, obs: list[dict], trials: int, update: str, **settings) -> Result:
    import varnel
    from varnel.experiment import AdaptiveExperiment

    result = Result(f"varnel {update}")
    for i, o in enumerate(obs):
        model = varnel.models.PsychometricModel(link="normal", mu_log_s=MU_LOG_S, sigma_log_s=SIGMA_LOG_S,
                                                mu_m=MU_M, sigma_m=SIGMA_M, guess_rate=problem.guess,
                                                lapse_rate=LAPSE)
        experiment = AdaptiveExperiment(model, CANDIDATES, seed=1000 + i, update=update, **settings)
        for t in range(trials):
            start = time.perf_counter()
            x = experiment.next_stimulus()
            answer = bool(o["u"][t] < p_yes(o["truth"], x))
            experiment.record(x, answer)
            posterior = experiment.posterior()  # the update belongs to the trial that brought it
            if t > 0:
                result.times.append(time.perf_counter() - start)
            if t + 1 in CHECKPOINTS:
                m = posterior.draws[:, 1]
                result.errors[t + 1].append(float(m.mean()) - o["truth"]["m"])
                result.sds[t + 1].append(float(m.std(ddof=1)))
    return result


def grid_prior(problem: Problem, sizes: tuple[int, ...]) -> tuple[dict, dict]:
    """The parameter grid of questplus and the prior's weights on it."""
    mean = np.linspace(-3.5, 3.5, sizes[0])
    # sd = 1/s, log sd ~ Normal(-mu_log_s, sigma_log_s), on a log-spaced grid
    log_sd = np.linspace(-MU_LOG_S - 3 * SIGMA_LOG_S, -MU_LOG_S + 3 * SIGMA_LOG_S, sizes[1])
    domain = {"mean": mean, "sd": np.exp(log_sd)}
    prior = {"mean": norm.pdf(mean, MU_M, SIGMA_M), "sd": norm.pdf(log_sd, -MU_LOG_S, SIGMA_LOG_S)}
    if isinstance(problem.guess, float):
        domain["lower_asymptote"] = np.array([problem.guess])
        prior["lower_asymptote"] = np.array([1.0])
        lapse_size = sizes[2]
    else:
        g = np.linspace(0.0, beta_dist.ppf(0.995, *problem.guess), sizes[2])
        domain["lower_asymptote"] = g
        prior["lower_asymptote"] = beta_dist.pdf(g, *problem.guess) + 1e-12
        lapse_size = sizes[3]
    lapse = np.linspace(0.0, beta_dist.ppf(0.995, *LAPSE), lapse_size)
    domain["lapse_rate"] = lapse
    prior["lapse_rate"] = beta_dist.pdf(lapse, *LAPSE) + 1e-12
    return domain, prior


def run_grid(problem: Problem, obs: list[dict], trials: int, sizes: tuple[int, ...]) -> Result:
    from questplus.qp import QuestPlus

    domain, prior = grid_prior(problem, sizes)
    result = Result("questplus " + "x".join(map(str, sizes)))
    for o in obs:
        qp = QuestPlus(stim_domain={"intensity": CANDIDATES}, param_domain=domain,
                       outcome_domain={"response": ["Yes", "No"]}, prior=prior, func="norm_cdf",
                       stim_scale="linear")
        for t in range(trials):
            start = time.perf_counter()
            x = qp.next_stim["intensity"]
            answer = bool(o["u"][t] < p_yes(o["truth"], x))
            qp.update(stim={"intensity": x}, outcome={"response": "Yes" if answer else "No"})
            if t > 0:
                result.times.append(time.perf_counter() - start)
            if t + 1 in CHECKPOINTS:
                marginal = qp.marginal_posterior["mean"]
                mean = float(np.sum(marginal * domain["mean"]))
                sd = math.sqrt(max(0.0, float(np.sum(marginal * domain["mean"] ** 2)) - mean * mean))
                result.errors[t + 1].append(mean - o["truth"]["m"])
                result.sds[t + 1].append(sd)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--observers", type=int, default=20)
    parser.add_argument("--trials", type=int, default=40)
    parser.add_argument("--problems", nargs="*", default=list(PROBLEMS))
    parser.add_argument("--grids", type=int, default=None, help="only the first N grid resolutions")
    parser.add_argument("--grid-index", type=int, nargs="*", default=None,
                        help="only these grid resolutions (0 = the coarsest)")
    parser.add_argument("--skip-from-scratch", action="store_true")
    parser.add_argument("--out", default=None)
    args = parser.parse_args()
    report = {}
    for name in args.problems:
        problem = PROBLEMS[name]
        obs = observers(problem, args.observers, args.trials)
        results = [run_varnel(problem, obs, args.trials, "incremental")]
        if not args.skip_from_scratch:
            results.append(run_varnel(problem, obs, args.trials, "from_scratch"))
        grids = problem.grids[: args.grids] if args.grids else problem.grids
        if args.grid_index is not None:
            grids = tuple(problem.grids[i] for i in args.grid_index)
        first_grid = len(results)
        for sizes in grids:
            results.append(run_grid(problem, obs, args.trials, sizes))
        rows = [r.summary() for r in results]
        # Paired over observers: the difference of squared errors to varnel's, with its standard error.
        last = CHECKPOINTS[-1]
        mine = np.square(results[0].errors[last])
        for r, result in zip(rows[1:], results[1:]):
            diff = np.square(result.errors[last]) - mine
            r["squared_error_minus_varnel"] = [float(diff.mean()), float(diff.std(ddof=1) / np.sqrt(diff.size))]
        target = rows[0]["rmse_m"][CHECKPOINTS[-1]]
        reaching = [r for r in rows[first_grid:] if r["rmse_m"][CHECKPOINTS[-1]] <= target]
        report[name] = {"rows": rows, "coarsest_grid_reaching_varnel": reaching[0]["label"] if reaching else None}
        print(f"\n## {name}: {args.observers} observers x {args.trials} trials, {len(CANDIDATES)} candidates")
        print("| method | median ms/trial | p95 ms/trial | RMSE m @10/20/40 | mean sd m @10/20/40 |")
        print("|---|---|---|---|---|")
        for r in rows:
            rmse = " / ".join(f"{r['rmse_m'][c]:.3f}" for c in CHECKPOINTS)
            sd = " / ".join(f"{r['mean_sd_m'][c]:.3f}" for c in CHECKPOINTS)
            print(f"| {r['label']} | {r['median_ms']:.2f} | {r['p95_ms']:.2f} | {rmse} | {sd} |")
        base = rows[0]["median_ms"]
        for r in rows[1:]:
            print(f"- {r['label']}: {r['median_ms'] / base:.1f}x the incremental update's median time")
        for r in rows[1:]:
            mean, se = r["squared_error_minus_varnel"]
            print(f"- {r['label']}: squared error of m after {last} trials minus varnel's, paired over observers: "
                  f"{mean:+.4f} ± {se:.4f}")
        print(f"- p95 / median of the incremental update: {rows[0]['p95_ms'] / base:.2f}")
        print(f"- coarsest grid with RMSE after {CHECKPOINTS[-1]} trials <= varnel's "
              f"({target:.3f}): {report[name]['coarsest_grid_reaching_varnel']}")
        sys.stdout.flush()
    if args.out:
        with open(args.out, "w") as f:
            json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
