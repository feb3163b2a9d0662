"""The benchmarks' one ESS routine (bench/ess.py) against known answers.

The benchmarks compare samplers by minimum bulk ESS per second, so a wrong
ESS would skew every ratio; bench/check_ess.py also compares it with ArviZ
where the peers' environment has it.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import ess  # noqa: E402


def ar1(phi: float, chains: int, draws: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    noise = rng.normal(size=(chains, draws))
    x = np.empty_like(noise)
    x[:, 0] = noise[:, 0] / np.sqrt(1.0 - phi**2)  # start in the stationary law
    for t in range(1, draws):
        x[:, t] = phi * x[:, t - 1] + noise[:, t]
    return x


@pytest.mark.parametrize(
    "phi",
    [pytest.param(0.0, id="independent"), pytest.param(0.5, id="positive"), pytest.param(0.9, id="strong"),
     pytest.param(-0.5, id="antithetic")],
)
def test_bulk_ess_matches_the_autocorrelation_time_of_an_ar1_chain(phi):
    x = ar1(phi, chains=6, draws=4000, seed=7)
    expected = x.size * (1.0 - phi) / (1.0 + phi)  # S / tau for AR(1)
    assert ess.bulk_ess(x) == pytest.approx(expected, rel=0.15)


def test_bulk_ess_depends_on_ranks_only():
    x = ar1(0.7, chains=4, draws=1000, seed=1)
    assert ess.bulk_ess(np.exp(x)) == ess.bulk_ess(x)
    assert ess.rhat(np.exp(3.0 * x)) == ess.rhat(x)


def test_average_ranks_share_ties():
    np.testing.assert_array_equal(ess.average_ranks(np.array([3.0, 1.0, 3.0, 2.0, 3.0])), [4.0, 1.0, 4.0, 2.0, 4.0])


def test_split_drops_the_middle_draw_of_an_odd_chain():
    x = np.arange(14.0).reshape(2, 7)
    np.testing.assert_array_equal(ess.split_chains(x), [[0, 1, 2], [7, 8, 9], [4, 5, 6], [11, 12, 13]])


def test_rhat_flags_chains_that_disagree_and_split_flags_drift():
    rng = np.random.default_rng(2)
    mixed = rng.normal(size=(4, 1000))
    assert ess.rhat(mixed) < 1.01
    assert ess.rhat(mixed + np.arange(4)[:, None]) > 1.5
    # Every chain drifts the same way: only splitting each chain in halves sees it.
    assert ess.rhat(mixed + np.linspace(0.0, 3.0, 1000)) > 1.1


def test_min_and_max_over_parameters():
    rng = np.random.default_rng(3)
    draws = np.stack([rng.normal(size=(4, 1000)), ar1(0.9, 4, 1000, seed=4)], axis=-1)
    assert ess.min_bulk_ess(draws) == ess.bulk_ess(draws[:, :, 1])
    assert ess.max_rhat(draws) == max(ess.rhat(draws[:, :, 0]), ess.rhat(draws[:, :, 1]))


@pytest.mark.parametrize(
    "x",
    [pytest.param(np.ones((4, 100)), id="constant"), pytest.param(np.full((4, 100), np.nan), id="nan")],
)
def test_degenerate_chains_give_nan_not_a_number_that_looks_fine(x):
    assert np.isnan(ess.bulk_ess(x))


def test_wrong_shape_is_refused():
    with pytest.raises(ValueError, match=r"shape \(chains, draws\)"):
        ess.bulk_ess(np.zeros(100))
