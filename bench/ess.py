"""Rank-normalised split-R-hat and bulk effective sample size, in NumPy alone.

One routine for every sampler the benchmarks compare, after Vehtari, Gelman,
Simpson, Carpenter and Buerkner (2021): chains are split in halves, the
pooled draws are replaced by normal scores of their ranks, and the effective
sample size is computed from the autocorrelations with Geyer's initial
monotone sequence. Input: an array of shape (chains, draws) for one scalar.
"""

from __future__ import annotations

from statistics import NormalDist

import numpy as np

_inv_cdf = np.vectorize(NormalDist().inv_cdf, otypes=[float])


def split_chains(x: np.ndarray) -> np.ndarray:
    """(chains, draws) -> (2 chains, draws // 2); the middle draw of an odd count is dropped."""
    x = np.asarray(x, dtype=np.float64)
    if x.ndim != 2:
        raise ValueError(f"expected an array of shape (chains, draws), got shape {x.shape}")
    half = x.shape[1] // 2
    return np.concatenate([x[:, :half], x[:, x.shape[1] - half :]], axis=0)


def average_ranks(values: np.ndarray) -> np.ndarray:
    """Ranks 1..n of a flat array, ties sharing the mean of their ranks."""
    uniq, inverse, counts = np.unique(values, return_inverse=True, return_counts=True)
    first = np.cumsum(counts) - counts  # ranks below each distinct value
    return (first + (counts + 1) / 2.0)[inverse.ravel()]


def z_scale(x: np.ndarray) -> np.ndarray:
    """Normal scores of the pooled ranks, (r - 3/8) / (S + 1/4) through the normal quantile."""
    flat = x.ravel()
    r = average_ranks(flat)
    return _inv_cdf((r - 0.375) / (flat.size + 0.25)).reshape(x.shape)


def autocovariance(x: np.ndarray) -> np.ndarray:
    """Biased autocovariance of each row (divided by n), computed through the FFT."""
    n = x.shape[-1]
    centred = x - x.mean(axis=-1, keepdims=True)
    size = 1 << (2 * n - 1).bit_length()
    f = np.fft.rfft(centred, n=size, axis=-1)
    return np.fft.irfft(f * np.conjugate(f), n=size, axis=-1)[..., :n] / n


def ess_of_chains(x: np.ndarray) -> float:
    """Effective sample size of (chains, draws) as given (no splitting, no ranking)."""
    n_chain, n_draw = x.shape
    if n_draw < 4:
        return float("nan")
    acov = autocovariance(x)
    mean_var = acov[:, 0].mean() * n_draw / (n_draw - 1.0)
    var_plus = mean_var * (n_draw - 1.0) / n_draw
    if n_chain > 1:
        var_plus += x.mean(axis=1).var(ddof=1)
    if not var_plus > 0.0:
        return float("nan")
    rho = np.zeros(n_draw)
    rho[0] = 1.0
    rho_even = 1.0
    rho_odd = 1.0 - (mean_var - acov[:, 1].mean()) / var_plus
    rho[1] = rho_odd
    # Geyer's initial positive sequence: sum pairs while their sum stays positive.
    t = 1
    while t < n_draw - 3 and rho_even + rho_odd > 0.0:
        rho_even = 1.0 - (mean_var - acov[:, t + 1].mean()) / var_plus
        rho_odd = 1.0 - (mean_var - acov[:, t + 2].mean()) / var_plus
        if rho_even + rho_odd >= 0.0:
            rho[t + 1] = rho_even
            rho[t + 2] = rho_odd
        t += 2
    max_t = t - 2
    # The last positive even lag shortens the truncation bias (as in Stan).
    if rho_even > 0.0:
        rho[max_t + 1] = rho_even
    # Initial monotone sequence: pair sums may not increase.
    t = 1
    while t <= max_t - 2:
        if rho[t + 1] + rho[t + 2] > rho[t - 1] + rho[t]:
            rho[t + 1] = (rho[t - 1] + rho[t]) / 2.0
            rho[t + 2] = rho[t + 1]
        t += 2
    total = n_chain * n_draw
    tau = -1.0 + 2.0 * rho[: max_t + 1].sum() + rho[max_t + 1 : max_t + 2].sum()
    tau = max(tau, 1.0 / np.log10(total))
    return float(total / tau)


def bulk_ess(x: np.ndarray) -> float:
    """Rank-normalised bulk ESS of one scalar, x of shape (chains, draws)."""
    s = split_chains(x)
    if not np.all(np.isfinite(s)):
        return float("nan")
    return ess_of_chains(z_scale(s))


def _split_rhat(s: np.ndarray) -> float:
    n = s.shape[1]
    within = s.var(axis=1, ddof=1).mean()
    between = n * s.mean(axis=1).var(ddof=1)
    return float(np.sqrt(((n - 1.0) / n * within + between / n) / within))


def rhat(x: np.ndarray) -> float:
    """Rank-normalised split-R-hat: the larger of the bulk and the folded (tail) value."""
    s = split_chains(x)
    if not np.all(np.isfinite(s)):
        return float("nan")
    bulk = _split_rhat(z_scale(s))
    tail = _split_rhat(z_scale(np.abs(s - np.median(s))))
    return max(bulk, tail)


def min_bulk_ess(draws: np.ndarray) -> float:
    """Smallest bulk ESS over parameters; draws of shape (chains, draws, parameters)."""
    return min(bulk_ess(draws[:, :, j]) for j in range(draws.shape[2]))


def max_rhat(draws: np.ndarray) -> float:
    """Largest rank-normalised R-hat over parameters; draws of shape (chains, draws, parameters)."""
    return max(rhat(draws[:, :, j]) for j in range(draws.shape[2]))
