"""Convergence diagnostics of posterior draws.

The rank-normalised split R-hat and bulk effective sample size follow
Vehtari, Gelman, Simpson, Carpenter and Buerkner (2021): chains are split in
halves, the pooled draws are replaced by normal scores of their ranks, and the
effective sample size is computed from the autocorrelations with Geyer's
initial monotone sequence. They take an array of shape (chains, draws) for one
scalar; the benchmarks use the same routines (bench/ess.py).
"""

from __future__ import annotations

import numpy as np

__all__ = ["bulk_ess", "max_rhat", "min_bulk_ess", "normal_quantile", "rhat"]

# Wichura's AS241 rational approximations of the normal quantile (the
# coefficients of the standard library's NormalDist.inv_cdf), evaluated for a
# whole array at once: the central region |p - 0.5| <= 0.425, then the tails
# by r = sqrt(-log(min(p, 1 - p))) below and above 5.
_AS241_CENTRAL = (
    (2.5090809287301226727e+3, 3.3430575583588128105e+4, 6.7265770927008700853e+4,
     4.5921953931549871457e+4, 1.3731693765509461125e+4, 1.9715909503065514427e+3,
     1.3314166789178437745e+2, 3.3871328727963666080e+0),
    (5.2264952788528545610e+3, 2.8729085735721942674e+4, 3.9307895800092710610e+4,
     2.1213794301586595867e+4, 5.3941960214247511077e+3, 6.8718700749205790830e+2,
     4.2313330701600911252e+1, 1.0),
)
_AS241_NEAR = (
    (7.74545014278341407640e-4, 2.27238449892691845833e-2, 2.41780725177450611770e-1,
     1.27045825245236838258e+0, 3.64784832476320460504e+0, 5.76949722146069140550e+0,
     4.63033784615654529590e+0, 1.42343711074968357734e+0),
    (1.05075007164441684324e-9, 5.47593808499534494600e-4, 1.51986665636164571966e-2,
     1.48103976427480074590e-1, 6.89767334985100004550e-1, 1.67638483018380384940e+0,
     2.05319162663775882187e+0, 1.0),
)
_AS241_FAR = (
    (2.01033439929228813265e-7, 2.71155556874348757815e-5, 1.24266094738807843860e-3,
     2.65321895265761230930e-2, 2.96560571828504891230e-1, 1.78482653991729133580e+0,
     5.46378491116411436990e+0, 6.65790464350110377720e+0),
    (2.04426310338993978564e-15, 1.42151175831644588870e-7, 1.84631831751005468180e-5,
     7.86869131145613259100e-4, 1.48753612908506148525e-2, 1.36929880922735805310e-1,
     5.99832206555887937690e-1, 1.0),
)


def _horner(coefficients: tuple[float, ...], r: np.ndarray) -> np.ndarray:
    value = np.full_like(r, coefficients[0])
    for c in coefficients[1:]:
        value = value * r + c
    return value


def normal_quantile(p: np.ndarray) -> np.ndarray:
    """The standard normal quantile of each probability in (0, 1), vectorised
    (the values of statistics.NormalDist().inv_cdf to within rounding)."""
    p = np.asarray(p, dtype=np.float64)
    q = p - 0.5
    central = np.abs(q) <= 0.425
    r = 0.180625 - q * q
    x = q * _horner(_AS241_CENTRAL[0], r) / _horner(_AS241_CENTRAL[1], r)
    if not central.all():
        with np.errstate(divide="ignore", invalid="ignore"):
            t = np.sqrt(-np.log(np.where(q <= 0.0, p, 1.0 - p)))
        near = t <= 5.0
        tn = t - 1.6
        tf = t - 5.0
        tail = np.where(near, _horner(_AS241_NEAR[0], tn) / _horner(_AS241_NEAR[1], tn),
                        _horner(_AS241_FAR[0], tf) / _horner(_AS241_FAR[1], tf))
        x = np.where(central, x, np.where(q < 0.0, -tail, tail))
    return x


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
    return normal_quantile((r - 0.375) / (flat.size + 0.25)).reshape(x.shape)


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
    """Rank-normalised bulk ESS of one scalar, x of shape (chains, draws); NaN when undefined."""
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
    """Rank-normalised split R-hat of one scalar, x of shape (chains, draws): the larger
    of the bulk and the folded (tail) value; NaN when undefined."""
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


# ---------------------------------------------------------------------------
# Results
