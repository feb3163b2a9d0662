"""Per-trial update time of an adaptive experiment like examples/adaptive_experiment.py.

One update = one posterior draw with NUTSEstimator on the trials so far, with
the demo's settings (read from examples/adaptive_experiment.py: chains, warm-up
and draws), pooling the post-warm-up draws, then one EIG scoring of the demo's
stimulus grid with EnumeratedMonteCarloEstimator (the demo's sample count). Timed at 10, 20 and 40 trials (median of the repeats). The
peer is the same update with NumPyro's NUTS (vectorised chains, compiled once per data shape,
the compilation reported apart: in a live loop the number of trials, and so
the shape, changes every trial) followed by the vectorised NumPy EIG of
bench/eig_bench.py on its draws.

A second measurement compares models within varnel at 40 trials: the same
update with the four-parameter PsychometricModel (guess and lapse rates both
estimated) and with the two-parameter model, timed in alternation in one run,
and reports their ratio (the three-parameter model of the demo, lapse rate
estimated, alongside).

Run alone: .venv/bin/python bench/adaptive_bench.py [--repeats 5] [--skip varnel numpyro models]
("varnel" leaves out varnel's update at 10/20/40 trials, "models" the comparison of models)
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from eig_bench import numpy_eig  # noqa: E402
from posterior_bench import DEFAULT_PEERS_PYTHON, PRIOR, simulate, write_data  # noqa: E402



def _demo_settings() -> tuple[int, int, int, int, np.ndarray]:
    """The demo's sampler and EIG settings, so that this stays the demo's update."""
    path = HERE.parent / "examples" / "adaptive_experiment.py"
    spec = importlib.util.spec_from_file_location("adaptive_experiment", path)
    demo = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = demo  # its dataclasses look their module up there
    spec.loader.exec_module(demo)
    return demo.NUM_TUNE, demo.NUM_DRAWS, demo.NUM_CHAINS, demo.EIG_SAMPLES, np.asarray(demo.GRID).reshape(-1, 1)


NUM_TUNE, NUM_DRAWS, NUM_CHAINS, EIG_SAMPLES, GRID = _demo_settings()
TRIALS = (10, 20, 40)
# NumPyro's chains vectorised: faster than one after another for data this small.
CHAIN_METHOD = "vectorized"


def run_varnel(trials: tuple[int, ...], repeats: int, seed: int) -> list[dict]:
    import varnel

    model = varnel.models.TwoParameterPsychometricModel(*PRIOR)
    eig = varnel.eig.EnumeratedMonteCarloEstimator([False, True], EIG_SAMPLES)
    records = []
    for t in trials:
        x, y = simulate(t)
        design = x.reshape(-1, 1)
        posterior_s, eig_s = [], []
        try:
            for rep in range(repeats + 1):  # call 0 not counted
                sampler = varnel.posterior.NUTSEstimator(num_tune=NUM_TUNE, num_draws=NUM_DRAWS,
                                                         num_chains=NUM_CHAINS, seed=seed + rep)
                t0 = time.perf_counter()
                draws = np.vstack([c[NUM_TUNE:] for c in sampler.estimate(model, design, y)])
                t1 = time.perf_counter()
                eig.estimate(model, draws, GRID)
                t2 = time.perf_counter()
                if rep:
                    posterior_s.append(t1 - t0)
                    eig_s.append(t2 - t1)
        except BaseException as e:  # PanicException is a BaseException
            if isinstance(e, KeyboardInterrupt):
                raise
            records.append({"bench": "adaptive", "sampler": "varnel", "trials": t,
                            "unavailable": f"{type(e).__name__}: {e}"})
            continue
        p, q = statistics.median(posterior_s), statistics.median(eig_s)
        records.append({"bench": "adaptive", "sampler": "varnel", "trials": t, "posterior_s": p, "eig_s": q,
                        "update_s": p + q})
    return records


def run_numpyro(python: Path, trials: tuple[int, ...], repeats: int, seed: int) -> list[dict]:
    if not python.exists():
        return [{"bench": "adaptive", "sampler": "NumPyro + NumPy EIG", "trials": None,
                 "unavailable": f"peers environment missing ({python})"}]
    with tempfile.TemporaryDirectory(prefix="varnel-bench-") as tmp:
        workdir = Path(tmp)
        write_data(workdir, list(trials))
        cmd = [str(python), str(HERE / "peers" / "numpyro_bench.py"), str(workdir), str(NUM_CHAINS),
               str(NUM_TUNE), str(NUM_DRAWS), str(repeats), str(seed), CHAIN_METHOD, *map(str, trials)]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
            return [{"bench": "adaptive", "sampler": "NumPyro + NumPy EIG", "trials": None,
                     "unavailable": f"exit status {proc.returncode}: {tail}"}]
        calls = [json.loads(s) for s in proc.stdout.splitlines() if s.startswith("{")]
        records = []
        for t in trials:
            mine = [c for c in calls if c.get("n") == t]
            later = [c for c in mine if c["rep"] > 0]
            eig_s = []
            for c in later:
                draws = np.fromfile(workdir / f"numpyro_{CHAIN_METHOD}_{t}_{c['rep']}.f64", dtype="<f8").reshape(-1, 2)
                t0 = time.perf_counter()
                numpy_eig(draws, GRID, [False, True], EIG_SAMPLES)
                eig_s.append(time.perf_counter() - t0)
            p, q = statistics.median(c["wall"] for c in later), statistics.median(eig_s)
            first = next(c for c in mine if c["rep"] == 0)
            records.append({"bench": "adaptive", "sampler": "NumPyro + NumPy EIG", "trials": t, "posterior_s": p,
                            "eig_s": q, "update_s": p + q, "compile_s": first["wall"] - p})
        return records


MODEL_TRIALS = 40
# The two-alternative forced-choice observer the richer models are fitted to.
FORCED_CHOICE = {"s": 2.5, "m": 0.6, "guess": 0.5, "lapse": 0.02}


def _models() -> dict[str, object]:
    import varnel

    forced = {"mu_log_s": float(np.log(2.0)), "sigma_log_s": 0.7, "mu_m": 0.0, "sigma_m": 1.5}
    return {
        "two-parameter": varnel.models.TwoParameterPsychometricModel(*PRIOR),
        "three-parameter (lapse estimated)": varnel.models.PsychometricModel(
            **forced, guess_rate=0.5, lapse_rate=(2.0, 50.0)),
        "four-parameter (guess and lapse estimated)": varnel.models.PsychometricModel(
            **forced, guess_rate=(10.0, 10.0), lapse_rate=(2.0, 50.0)),
    }


def _model_data(name: str, trials: int) -> tuple[np.ndarray, np.ndarray]:
    """The benchmarks' yes/no data for the two-parameter model; for the others the
    same stimuli answered by a forced-choice observer with the same random numbers."""
    if name == "two-parameter":
        x, y = simulate(trials)
        return x.reshape(-1, 1), y
    rng = np.random.default_rng(1000 + trials)
    x = rng.uniform(-3.0, 3.0, trials)
    o = FORCED_CHOICE
    p = o["guess"] + (1.0 - o["guess"] - o["lapse"]) / (1.0 + np.exp(-o["s"] * (x - o["m"])))
    return x.reshape(-1, 1), rng.random(trials) < p


def run_models(repeats: int, seed: int, trials: int = MODEL_TRIALS) -> list[dict]:
    """One update per model and repeat, the models in turn within each repeat so
    that a change in the machine's load falls on all of them alike."""
    import varnel

    models = _models()
    data = {name: _model_data(name, trials) for name in models}
    eig = varnel.eig.EnumeratedMonteCarloEstimator([False, True], EIG_SAMPLES)
    times: dict[str, list[float]] = {name: [] for name in models}
    for rep in range(repeats + 1):  # call 0 not counted
        for name, model in models.items():
            design, y = data[name]
            sampler = varnel.posterior.NUTSEstimator(num_tune=NUM_TUNE, num_draws=NUM_DRAWS,
                                                     num_chains=NUM_CHAINS, seed=seed + rep)
            t0 = time.perf_counter()
            draws = np.vstack([c[NUM_TUNE:] for c in sampler.estimate(model, design, y)])
            eig.estimate(model, draws, GRID)
            if rep:
                times[name].append(time.perf_counter() - t0)
    base = statistics.median(times["two-parameter"])
    return [{"bench": "adaptive-models", "model": name, "trials": trials, "update_s": statistics.median(t),
             "ratio_to_two_parameter": statistics.median(t) / base} for name, t in times.items()]


def measure(repeats: int, seed: int = 1, peers_python: Path = DEFAULT_PEERS_PYTHON,
            skip: tuple[str, ...] = ()) -> list[dict]:
    records = []
    if "varnel" not in skip:
        records += run_varnel(TRIALS, repeats, seed)
    if "numpyro" not in skip:
        records += run_numpyro(peers_python, TRIALS, repeats, seed)
    if "models" not in skip:
        records += run_models(repeats, seed)
    return records


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--peers-python", type=Path, default=DEFAULT_PEERS_PYTHON)
    ap.add_argument("--skip", nargs="*", default=[], choices=["varnel", "numpyro", "models"])
    args = ap.parse_args()
    for r in measure(args.repeats, args.seed, args.peers_python, tuple(args.skip)):
        print(json.dumps(r))


if __name__ == "__main__":
    main()
