"""Checks bench/ess.py against ArviZ on a few chains (not timed, not in the test suite).

Run in the peers' environment, where ArviZ is installed:
bench/.peers/venv/bin/python bench/check_ess.py
"""

from __future__ import annotations

import sys
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import ess  # noqa: E402


def cases() -> list[tuple[str, np.ndarray]]:
    rng = np.random.default_rng(3)
    ar = np.zeros((6, 1000))
    noise = rng.normal(size=ar.shape)
    for t in range(1, ar.shape[1]):
        ar[:, t] = 0.9 * ar[:, t - 1] + noise[:, t]
    anti = np.zeros((6, 1000))  # ESS above the number of draws
    for t in range(1, anti.shape[1]):
        anti[:, t] = -0.5 * anti[:, t - 1] + noise[:, t]
    shifted = rng.normal(size=(4, 500)) + np.arange(4)[:, None] * 0.5
    return [
        ("independent", rng.normal(size=(6, 1000))),
        ("autoregressive 0.9", ar),
        ("odd length", rng.normal(size=(4, 301))),
        ("ties", np.round(rng.normal(size=(6, 1000)), 1)),
        ("chains disagree", shifted),
        ("anticorrelated", anti),
    ]


def main() -> int:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import arviz as az
    worst = 0.0
    for name, x in cases():
        ours_ess, ref_ess = ess.bulk_ess(x), float(az.ess(x, method="bulk"))
        ours_rhat, ref_rhat = ess.rhat(x), float(az.rhat(x))
        err = max(abs(ours_ess / ref_ess - 1.0), abs(ours_rhat / ref_rhat - 1.0))
        worst = max(worst, err)
        print(f"{name:20s} bulk ESS {ours_ess:10.2f} (arviz {ref_ess:10.2f})  R-hat {ours_rhat:.5f} (arviz {ref_rhat:.5f})")
    ok = worst < 1e-9
    print(f"bench/ess.py against arviz {az.__version__}: largest relative difference {worst:.2e} -> {'agree' if ok else 'DISAGREE'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
