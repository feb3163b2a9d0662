"""Contrast sensitivity: AdaptiveExperiment over a continuous box against the
grid QUEST+ of the questplus package with its `csf` function.

The same simulated 2AFC observers answer both methods from the same stream of
uniform variates. Each observer's true CSF is a draw of
ContrastSensitivityModel's priors (a truncated log-parabola; logistic link,
slope 3 per log10 unit of contrast, guess rate 0.5, lapse rate 0.02), with
its peak inside the frequency range.

- varnel: ContrastSensitivityModel with those priors and rates, the next
  stimulus the maximiser of the information gain over the box of log10
  frequency [log10 0.25, log10 40] x log10 contrast [-3.5, 0].
- questplus: func="csf" (a log10 threshold max(min_thresh, c0 + cf f) linear in
  the frequency f, with a log10-Weibull psychometric function), stimuli on a
  grid of 12 log-spaced frequencies over the same range x 21 log10 contrasts,
  guess and lapse rates fixed at the observer's, the Weibull slope 0.94 (it
  matches the observer's slope at the midpoint), a uniform prior over the
  parameter grid (questplus's usual way), at several grid resolutions.

The estimated log CSF is compared with the truth at 25 log-spaced
frequencies over the range, both as the log10 sensitivity at the midpoint of
the psychometric function (for questplus's Weibull that is
t + log10(ln 2)/slope): varnel's posterior mean of log10 S, questplus's
posterior mean of the midpoint threshold, negated. Where the sensitivity is
below 1 no contrast shows the grating, so the error is that of the visible
log CSF, max(log10 S, 0), the curve whose area the experiment reports. The report gives the time
per trial (median and 95th percentile; the first trial left out), the RMSE
of the log CSF over observers and frequencies after 25, 50 and 100 trials,
and the coarsest grid whose error after the last trial is at most varnel's.

Run through bench/csf_bench.sh (which installs questplus into a venv of its
own); alone: python bench/csf_bench.py [--observers 10] [--trials 100]
[--grids 7 11 15] [--out report.json]
"""

from __future__ import annotations

import argparse
import json
import math
import statistics
import sys
import time

import numpy as np

LOG_F = (math.log10(0.25), math.log10(40.0))
LOG_C = (-3.5, 0.0)
GUESS, LAPSE, SLOPE = 0.5, 0.02, 3.0
WEIBULL_SLOPE = 0.94
EVAL = np.linspace(*LOG_F, 25)
PRIORS = {"peak_sensitivity": (2.0, 0.5), "peak_frequency": (0.5, 0.3), "bandwidth": (0.5, 0.15),
          "truncation": (-0.3, 0.3)}


def log_sensitivity(truth: dict, log_f: np.ndarray) -> np.ndarray:
    width = truth["bandwidth"] * math.log10(2.0)
    peak = math.log10(truth["peak_frequency"])
    top = math.log10(truth["peak_sensitivity"])
    q = 2.0 * (log_f - peak) / width
    value = top - math.log10(2.0) * q * q
    return np.where(log_f < peak, np.maximum(value, top - truth["truncation"]), value)


def observers(count: int, trials: int, seed: int = 2026) -> list[dict]:
    rng = np.random.default_rng(seed)
    out = []
    while len(out) < count:
        truth = {name: 10.0 ** rng.normal(*PRIORS[name]) for name in PRIORS}
        if not LOG_F[0] + 0.2 < math.log10(truth["peak_frequency"]) < LOG_F[1] - 0.5:
            continue
        out.append({"truth": truth, "u": rng.random(trials)})
    return out


def p_correct(truth: dict, log_f: float, log_c: float) -> float:
    z = SLOPE * (log_c + float(log_sensitivity(truth, np.array([log_f]))[0]))
    return GUESS + (1.0 - GUESS - LAPSE) / (1.0 + math.exp(-z))


def squared_errors(estimate: np.ndarray, truth: dict) -> list[float]:
    """(estimate − truth)² of the visible log CSF, max(log10 S, 0), at each frequency of EVAL."""
    return ((np.maximum(estimate, 0.0) - np.maximum(log_sensitivity(truth, EVAL), 0.0)) ** 2).tolist()


class Result:
    def __init__(self, name: str, checkpoints: tuple[int, ...]) -> None:
        self.name = name
        self.times: list[float] = []
        self.errors: dict[int, list[float]] = {n: [] for n in checkpoints}

    def rmse(self, n: int) -> float:
        return math.sqrt(statistics.fmean(self.errors[n]))

    def summary(self) -> dict:
        t = np.array(self.times) * 1e3
        return {"median_ms": float(np.median(t)), "p95_ms": float(np.percentile(t, 95)),
                "rmse_log_csf": {n: self.rmse(n) for n in self.errors}}


def run_varnel(obs: list[dict], trials: int, checkpoints: tuple[int, ...]) -> Result:
    import varnel
    from varnel.experiment import AdaptiveExperiment, StimulusBox

    model = varnel.models.ContrastSensitivityModel(guess_rate=GUESS, lapse_rate=LAPSE, slope=SLOPE)
    result = Result("varnel", checkpoints)
    for i, o in enumerate(obs):
        experiment = AdaptiveExperiment(model, StimulusBox([LOG_F[0], LOG_C[0]], [LOG_F[1], LOG_C[1]]), seed=100 + i)
        for t in range(trials):
            start = time.perf_counter()
            log_f, log_c = experiment.next_design()
            answer = bool(o["u"][t] < p_correct(o["truth"], log_f, log_c))
            experiment.record((log_f, log_c), answer)
            posterior = experiment.posterior()  # the update belongs to the trial that brought it
            if t > 0:
                result.times.append(time.perf_counter() - start)
            if t + 1 in checkpoints:
                result.errors[t + 1].extend(squared_errors(posterior.sensitivity(EVAL).mean, o["truth"]))
    return result


def run_grid(obs: list[dict], trials: int, checkpoints: tuple[int, ...], size: int) -> Result:
    from questplus.qp import QuestPlus

    frequencies = 10.0 ** np.linspace(*LOG_F, 12)
    contrasts = np.linspace(*LOG_C, 21)
    domain = {"c0": np.linspace(-3.5, -0.5, size), "cf": np.linspace(0.0, 0.4, size), "cw": np.array([0.0]),
              "min_thresh": np.linspace(-3.5, -0.5, size), "slope": np.array([WEIBULL_SLOPE]),
              "lower_asymptote": np.array([GUESS]), "lapse_rate": np.array([LAPSE])}
    result = Result(f"questplus {size}x{size}x{size}", checkpoints)
    eval_f = 10.0 ** EVAL
    for o in obs:
        qp = QuestPlus(stim_domain={"contrast": contrasts, "spatial_freq": frequencies, "temporal_freq": np.array([0.0])},
                       param_domain=domain, outcome_domain={"response": ["Correct", "Incorrect"]}, func="csf",
                       stim_scale="log10", stim_selection_method="min_entropy")
        for t in range(trials):
            start = time.perf_counter()
            stim = qp.next_stim
            answer = bool(o["u"][t] < p_correct(o["truth"], math.log10(stim["spatial_freq"]), stim["contrast"]))
            qp.update(stim=stim, outcome={"response": "Correct" if answer else "Incorrect"})
            if t > 0:
                result.times.append(time.perf_counter() - start)
            if t + 1 in checkpoints:
                post = qp.posterior.squeeze()
                weights = post.transpose("c0", "cf", "min_thresh").values
                c0, cf, floor = np.meshgrid(domain["c0"], domain["cf"], domain["min_thresh"], indexing="ij")
                threshold = np.maximum(floor[..., None], c0[..., None] + cf[..., None] * eval_f)
                midpoint = threshold + math.log10(math.log(2.0)) / WEIBULL_SLOPE
                estimate = -np.tensordot(weights, midpoint, axes=3) / weights.sum()
                result.errors[t + 1].extend(squared_errors(estimate, o["truth"]))
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--observers", type=int, default=10)
    parser.add_argument("--trials", type=int, default=100)
    parser.add_argument("--grids", type=int, nargs="*", default=[7, 11, 15])
    parser.add_argument("--out", default=None)
    args = parser.parse_args()
    checkpoints = tuple(n for n in (25, 50, 100) if n <= args.trials) or (args.trials,)
    obs = observers(args.observers, args.trials)
    results = [run_varnel(obs, args.trials, checkpoints)]
    for size in args.grids:
        results.append(run_grid(obs, args.trials, checkpoints, size))
        print(f"  {results[-1].name} done", file=sys.stderr)
    base = results[0]
    print(f"## CSF: {args.observers} observers x {args.trials} trials")
    print("| method | median ms/trial | p95 ms/trial | RMSE log10 S @" + "/".join(map(str, checkpoints)) + " |")
    print("|---|---|---|---|")
    for r in results:
        s = r.summary()
        print(f"| {r.name} | {s['median_ms']:.2f} | {s['p95_ms']:.2f} | "
              + " / ".join(f"{s['rmse_log_csf'][n]:.3f}" for n in checkpoints) + " |")
    last = checkpoints[-1]
    for r in results[1:]:
        print(f"- {r.name}: {statistics.median(r.times) / statistics.median(base.times):.1f}x varnel's median time")
    reaching = [r for r in results[1:] if r.rmse(last) <= base.rmse(last)]
    print(f"- coarsest grid with RMSE after {last} trials <= varnel's ({base.rmse(last):.3f}): "
          + (reaching[0].name if reaching else "none of those run"))
    if args.out:
        with open(args.out, "w") as f:
            json.dump({r.name: r.summary() for r in results}, f, indent=1)


if __name__ == "__main__":
    main()
