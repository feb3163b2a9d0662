"""Per-trial update time of an adaptive experiment like examples/adaptive_experiment.py.

One update = one posterior draw with NUTSEstimator on the trials so far, with
the demo's settings (read from examples/adaptive_experiment.py: chains, warm-up
and draws), pooling the post-warm-up draws, then one EIG scoring of the demo's
stimulus grid with EnumeratedMonteCarloEstimator (the demo's sample count). Timed at 10, 20 and 40 trials (median of the repeats). The
peer is the same update with NumPyro's NUTS (vectorised chains, compiled once per data shape,
the compilation reported apart: in a live loop the number of trials, and so
the shape, changes every trial) followed by the vectorised NumPy EIG of
bench/eig_bench.py on its draws.

Run alone: .venv/bin/python bench/adaptive_bench.py [--repeats 5]
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


def measure(repeats: int, seed: int = 1, peers_python: Path = DEFAULT_PEERS_PYTHON,
            skip: tuple[str, ...] = ()) -> list[dict]:
    records = []
    if "varnel" not in skip:
        records += run_varnel(TRIALS, repeats, seed)
    if "numpyro" not in skip:
        records += run_numpyro(peers_python, TRIALS, repeats, seed)
    return records


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--peers-python", type=Path, default=DEFAULT_PEERS_PYTHON)
    ap.add_argument("--skip", nargs="*", default=[], choices=["varnel", "numpyro"])
    args = ap.parse_args()
    for r in measure(args.repeats, args.seed, args.peers_python, tuple(args.skip)):
        print(json.dumps(r))


if __name__ == "__main__":
    main()
