"""Expected information gain: varnel against a vectorised NumPy estimator and
against the C library floor.

Both estimators score the same D candidate designs with the same N posterior
rows and outcomes [False, True]; the NumPy version evaluates the same formulas
on D x N arrays. The floor is the time of exactly the exp and log calls the
estimator's scalar formula makes for the same inputs (five per design and
sample), in C++ on as many threads as the estimator uses (eig_floor.cpp,
compiled here through cpp_bench.sh). All three are measured in one run.
Run: .venv/bin/python bench/eig_bench.py [--designs D] [--rows N] [--repeats R]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import varnel

HERE = Path(__file__).resolve().parent
FLOOR_BINARY = HERE.parent / "build" / "bench" / "eig_floor"


def numpy_eig(params: np.ndarray, designs: np.ndarray, outcomes: list[bool], n_samples: int) -> np.ndarray:
    rows = params.shape[0]
    idx = (np.arange(n_samples, dtype=np.uint64) * np.uint64(rows)) // np.uint64(n_samples)
    k = params[idx, 0][None, :]
    m = params[idx, 1][None, :]
    x = designs[:, 0][:, None]
    h = np.exp((m - x) * k)
    result = np.zeros(designs.shape[0])
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        for y in outcomes:
            yf = 1.0 if y else 0.0
            lp = np.log(np.power(1.0 / (h + 1.0), yf) * np.power(h / (h + 1.0), 1.0 - yf))
            p = np.exp(lp)
            plp = np.where(p == 0.0, 0.0, lp * p)
            p_hat = p.mean(axis=1)
            result += plp.mean(axis=1) - np.where(p_hat == 0.0, 0.0, np.log(p_hat) * p_hat)
    return result


def best_of(fn, repeats: int) -> tuple[float, float]:
    """Best and median wall time of `repeats` calls."""
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times)


def libm_floor(params: np.ndarray, designs: np.ndarray, n_samples: int, threads: int, repeats: int) -> float:
    """Best wall time of the C library calls the estimator makes, from eig_floor.cpp."""
    script = f'source "{HERE / "cpp_bench.sh"}" && compile_bench eig_floor'
    subprocess.run(["bash", "-c", script], check=True, env={**os.environ, "PYTHON": sys.executable})
    rows = params.shape[0]
    idx = (np.arange(n_samples, dtype=np.uint64) * np.uint64(rows)) // np.uint64(n_samples)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "inputs.bin"
        with path.open("wb") as f:
            f.write(np.array([designs.shape[0], n_samples], dtype="<u8").tobytes())
            f.write(np.ascontiguousarray(params[idx, :2], dtype="<f8").tobytes())
            f.write(np.ascontiguousarray(designs[:, 0], dtype="<f8").tobytes())
        out = subprocess.run([str(FLOOR_BINARY), str(path), str(threads), str(repeats)], check=True,
                             capture_output=True, text=True).stdout
    return float(out.split()[0])


def measure(designs: int = 500, rows: int = 2000, repeats: int = 7) -> dict:
    """Times both estimators and the C library floor on the same inputs, after
    checking that the estimators agree."""
    rng = np.random.default_rng(0)
    params = np.column_stack([rng.normal(2.0, 0.3, rows), rng.normal(0.5, 0.2, rows)])
    grid = np.linspace(-3.0, 3.0, designs)[:, None]
    outcomes = [False, True]
    model = varnel.models.TwoParameterPsychometricModel(1.0, 1.0, 0.0, 1.0)
    est = varnel.eig.EnumeratedMonteCarloEstimator(outcomes, rows)

    ours = est.estimate(model, params, grid)
    ref = numpy_eig(params, grid, outcomes, rows)
    assert np.allclose(ours, ref, rtol=1e-9, atol=1e-12), np.max(np.abs(ours - ref))

    t_ours, med_ours = best_of(lambda: est.estimate(model, params, grid), repeats)
    t_np, med_np = best_of(lambda: numpy_eig(params, grid, outcomes, rows), repeats)
    # The estimator runs one thread per core (threads=0).
    threads = os.cpu_count() or 1
    t_floor = libm_floor(params, grid, rows, threads, repeats)
    return {"bench": "eig", "designs": designs, "rows": rows, "outcomes": len(outcomes), "threads": threads,
            "varnel_best_s": t_ours, "varnel_median_s": med_ours, "numpy_best_s": t_np, "numpy_median_s": med_np,
            "libm_floor_best_s": t_floor}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--designs", type=int, default=500)
    ap.add_argument("--rows", type=int, default=2000)
    ap.add_argument("--repeats", type=int, default=7)
    args = ap.parse_args()
    r = measure(args.designs, args.rows, args.repeats)
    t_ours, med_ours, t_np, med_np = r["varnel_best_s"], r["varnel_median_s"], r["numpy_best_s"], r["numpy_median_s"]
    t_floor = r["libm_floor_best_s"]
    pairs = args.designs * args.rows * r["outcomes"]
    print(f"| EIG D={args.designs} N={args.rows} A=2 | varnel {t_ours*1e3:.2f} ms (median {med_ours*1e3:.2f}) "
          f"| NumPy {t_np*1e3:.2f} ms (median {med_np*1e3:.2f}) | libm floor {t_floor*1e3:.2f} ms "
          f"({r['threads']} threads) | NumPy/varnel {t_np/t_ours:.2f}x | varnel/floor {t_ours/t_floor:.2f}x "
          f"| {pairs/t_ours/1e6:.1f} M triples/s |")


if __name__ == "__main__":
    main()
