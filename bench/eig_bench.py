"""Expected information gain: varnel against a vectorised NumPy estimator.

Both score the same D candidate designs with the same N posterior rows and
outcomes [False, True]; the NumPy version evaluates the same formulas on
D x N arrays. Run: .venv/bin/python bench/eig_bench.py [--designs D] [--rows N]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import varnel


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


def measure(designs: int = 500, rows: int = 2000, repeats: int = 7) -> dict:
    """Times both estimators on the same inputs after checking that they agree."""
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
    return {"bench": "eig", "designs": designs, "rows": rows, "outcomes": len(outcomes),
            "varnel_best_s": t_ours, "varnel_median_s": med_ours, "numpy_best_s": t_np, "numpy_median_s": med_np}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--designs", type=int, default=500)
    ap.add_argument("--rows", type=int, default=2000)
    ap.add_argument("--repeats", type=int, default=7)
    args = ap.parse_args()
    r = measure(args.designs, args.rows, args.repeats)
    t_ours, med_ours, t_np, med_np = r["varnel_best_s"], r["varnel_median_s"], r["numpy_best_s"], r["numpy_median_s"]
    pairs = args.designs * args.rows * r["outcomes"]
    print(f"| EIG D={args.designs} N={args.rows} A=2 | varnel {t_ours*1e3:.2f} ms (median {med_ours*1e3:.2f}) "
          f"| NumPy {t_np*1e3:.2f} ms (median {med_np*1e3:.2f}) | speed-up {t_np/t_ours:.2f}x "
          f"| {pairs/t_ours/1e6:.1f} M triples/s |")


if __name__ == "__main__":
    main()
