"""Maximum-likelihood fits of the truncated normal distribution.

Known bounds.  With [lower, upper] known in data units, N(mu, sigma^2) restricted to them is an
exponential family in the natural parameters theta = (mu/sigma^2, -1/(2 sigma^2)), with the
sufficient statistic (y, y^2):

    log f(y) = theta . (y, y^2) - log Z(theta),
    log Z    = log P(a, b) + log sigma + mu^2/(2 sigma^2) + log sqrt(2 pi),

a = (lower - mu)/sigma, b = (upper - mu)/sigma and P(a, b) the standard normal mass of [a, b].
The mean log-likelihood theta . (mean y, mean y^2) - log Z is concave in theta; its gradient
is the sample's mean and second moment less the model's, its Hessian minus the model's
covariance of (Y, Y^2).  Newton's method with a backtracking line search on the open half
plane theta_2 < 0 therefore converges from any start, quadratically at the end, to the one
point where the model's two moments are the sample's; it stops when they agree to 1e-13 of
the sample's spread.

The data enter only through n, their mean and their variance, gathered in one pass (per
block of the array, or per chunk of a dask array, the block's mean and sum of squared
deviations, combined by Chan's rule, which adds only non-negative terms).  The fit runs on
the standardised data z = (y - mean)/sd, where the sample moments are exactly 0 and 1 and
the Hessian is well conditioned whatever the location and units of y; loc and scale are
mapped back by mean + sd * mu_z and sd * sigma_z.  The model's moments come from the
kernels: the mean of Y = mu + sigma X about the nearer end of the interval where the
interval lies in a tail (so that mu and sigma * E[X], each far larger than the spread, do not
cancel), the variance, and the third and fourth central moments of X on [a, b], all exact
in the tails, where the textbook formulas give NaN.

When no maximum exists.  With theta_2 = 0 the family's closure holds the exponential law
restricted to the interval (the uniform law when the mean is the midpoint); at a fixed mean,
the second moment of the family grows with theta_2.  So a maximum with sigma finite exists
exactly when the sample variance is below that of the closure's law with the sample's mean:
on [L, U] the variance (U - L)^2 L'(s)/4 with L(s) = coth s - 1/s (Langevin's function) and
L(s) = 2 (mean - L)/(U - L) - 1 (solved from the nearer end); on [L, inf) the exponential
law's (mean - L)^2.  Beyond it
the likelihood grows without bound as sigma -> inf, and the fit says so instead of returning
the last iterate.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from veltra import truncnorm as _kernel

_F64 = np.float64
_LOG_SQRT_2PI = 0.9189385332046728

#: Newton stops when the model's mean and second moment agree with the sample's to this much,
#: in units of the sample's standard deviation (and its square).
GRADIENT_TOLERANCE = 1e-13
#: Below this Newton decrement the log-likelihood's changes are rounding noise: the step is
#: taken without the line search's test.
NOISE_DECREMENT = 1e-12
MAX_NEWTON_STEPS = 100
#: Elements per block of the one pass over a NumPy array: the block stays in cache between
#: its mean and its squared deviations.
BLOCK = 1 << 16


class FitError(RuntimeError):
    """The fit cannot succeed: no maximum of the likelihood exists for these data."""


@dataclass(frozen=True)
class TruncnormFit:
    """The maximum-likelihood fit of a normal distribution truncated to [lower, upper].

    loc, scale: the fitted mu and sigma of the normal before truncation; a, b: the bounds in
    standard units, (lower - loc)/scale and (upper - loc)/scale; cov: the asymptotic
    covariance of (loc, scale), the inverse of the Fisher information of the n points (a
    parameter held fixed has zero variance); nllf: the negative log-likelihood of the data at
    the fit; success and message: whether a maximum was found, and if not why; nit: the
    Newton steps taken; n: the number of points.
    """

    loc: float
    scale: float
    a: float
    b: float
    lower: float
    upper: float
    cov: np.ndarray
    nllf: float
    success: bool
    message: str
    nit: int
    n: int


# ----- the one pass over the data -----

# A summary row: n, min, max, mean, sum of squared deviations from the mean in units of
# 4^E, 1.0 when a value lies strictly between min and max (with n >= 1: at least three distinct
# values), and E.  The sums are taken on the data times 2^-E, E the binary exponent of their
# largest magnitude: an exact scaling (but for a negligible underflow) that keeps the squares
# and sums of data from the subnormals to the largest doubles inside the double range.
_N, _MIN, _MAX, _MEAN, _M2, _INSIDE, _EXP = range(7)
_ROW = 7


def _block_row(y: np.ndarray, buffer: np.ndarray, inside_known: bool) -> np.ndarray:
    lo, hi = y.min(), y.max()
    exponent = math.frexp(max(abs(float(lo)), abs(float(hi))))[1] if np.isfinite(lo) and np.isfinite(hi) else 0
    scaled = np.ldexp(y, -exponent, out=buffer[:y.size])
    mean = scaled.mean()
    deviation = np.subtract(scaled, mean, out=scaled)
    m2 = np.square(deviation, out=deviation).sum()
    inside = inside_known or bool(np.any((y > lo) & (y < hi)))
    return np.array([y.size, lo, hi, math.ldexp(mean, exponent), m2, inside, exponent], dtype=_F64)


def _combine(rows: np.ndarray) -> np.ndarray:
    """One row for the union of the rows' data (Chan, Golub and LeVeque's pairwise rule: the
    sum of squares about the common mean is the blocks' own plus n_k (mean_k - mean)^2, no
    term negative).  A value strictly inside (min, max) of the union is inside its own
    block's range or is some block's end: the union has one exactly when some block has, or
    the blocks' ends take three distinct values."""
    rows = rows.reshape(-1, _ROW)
    if len(rows) == 1:
        return rows[0]
    counts = rows[:, _N]
    n = counts.sum()
    if not np.all(np.isfinite(rows[:, _MIN:_MEAN + 1])):
        return np.array([n, np.nan, np.nan, np.nan, np.nan, 0.0, 0.0])
    exponent = rows[:, _EXP].max()
    means = np.ldexp(rows[:, _MEAN], -exponent.astype(int))
    mean = counts @ means / n
    shift = means - mean
    m2 = np.ldexp(rows[:, _M2], 2 * (rows[:, _EXP] - exponent).astype(int)).sum() + counts @ (shift * shift)
    ends = np.unique(rows[:, _MIN:_MAX + 1])
    inside = bool(np.any(rows[:, _INSIDE])) or len(ends) >= 3
    return np.array([n, rows[:, _MIN].min(), rows[:, _MAX].max(), math.ldexp(mean, int(exponent)), m2, inside,
                     exponent])


def _real_dtype(dtype) -> None:
    if np.dtype(dtype).kind == "c":
        raise TypeError(f"the fit needs real data; got {np.dtype(dtype)}")


def _array_row(y) -> np.ndarray:
    y = np.asarray(y)
    _real_dtype(y.dtype)
    y = y.astype(_F64, copy=False).reshape(-1)
    if y.size == 0:
        return np.zeros(_ROW)
    buffer = np.empty(min(y.size, BLOCK))
    rows, inside = [], False
    with np.errstate(invalid="ignore", over="ignore"):   # NaN or inf data: reported by the caller
        for start in range(0, y.size, BLOCK):
            # one value strictly inside the range of one block settles it for the whole array
            rows.append(_block_row(y[start:start + BLOCK], buffer, inside))
            inside = rows[-1][_INSIDE] > 0
        return _combine(np.array(rows))


def _is_dask(data) -> bool:
    return type(data).__module__.split(".")[0] == "dask"


def _dask_row(data) -> np.ndarray:
    """The summary of a dask array, each chunk summarised by its worker, in one compute."""
    import dask

    _real_dtype(data.dtype)
    flat = data.reshape(-1).astype(_F64)
    rows = flat.map_blocks(_array_row, chunks=((_ROW,) * flat.numblocks[0],), dtype=_F64)
    (rows,) = dask.compute(rows)
    return _combine(np.asarray(rows))


@dataclass(frozen=True)
class _Sample:
    n: int
    mean: float
    sd: float
    lo: float
    hi: float


def _sample(data, lower: float, upper: float) -> _Sample:
    """n, mean, standard deviation (divisor n), min and max of the data, with the checks."""
    if not lower < upper:
        raise ValueError(f"fit_truncnorm needs lower < upper; got lower={lower}, upper={upper}")
    row = _dask_row(data) if _is_dask(data) else _array_row(data)
    n = int(row[_N])
    if not np.all(np.isfinite(row[_MIN:_MEAN + 1])):
        raise ValueError("the data contain NaN or infinite values")
    lo, hi = float(row[_MIN]), float(row[_MAX])
    if lo < lower or hi > upper:
        raise ValueError(f"the data lie outside [lower, upper] = [{lower}, {upper}]: "
                         f"min {lo}, max {hi}")
    if n == 0 or not row[_INSIDE]:
        raise ValueError("the fit needs at least 3 distinct values in the data")
    return _Sample(n, float(row[_MEAN]), math.ldexp(math.sqrt(row[_M2] / n), int(row[_EXP])), lo, hi)


# ----- the model on the standardised data -----

@dataclass(frozen=True)
class _Model:
    """N(mu, sigma^2) on [l, u] (standardised data units) and the moments of Y it gives."""

    loglik: float       # mean log-likelihood of data with mean 0 and variance 1, less log sqrt(2 pi)
    mean: float         # E[Y]
    var: float          # Var Y
    third: float        # E[(Y - E Y)^3]
    fourth_excess: float  # E[(Y - E Y)^4] - (Var Y)^2 = Var((Y - E Y)^2)


def _model(mu: float, sigma: float, l: float, u: float) -> _Model:
    from veltra.stats import _tail_offset

    a, b = (l - mu) / sigma, (u - mu) / sigma
    log_p, m, v = (float(t) for t in _kernel.moments(a, b, dtype=_F64))
    if a > 0:
        mean = l + sigma * float(_tail_offset(a, b, m, v))
    elif b < 0:
        mean = u - sigma * float(_tail_offset(-b, -a, -m, v))
    else:
        mean = mu + sigma * m
    # the kernels' shape, exact in the tails: mu3 = skew v^(3/2), mu4 - v^2 = (kurtosis + 2) v^2
    skew, kurtosis = float(_kernel.skew(a, b, dtype=_F64)), float(_kernel.kurtosis(a, b, dtype=_F64))
    loglik = -(1.0 + mu * mu) / (2 * sigma * sigma) - math.log(sigma) - log_p
    sv = sigma * sigma * v
    return _Model(loglik, mean, sv, skew * sv * math.sqrt(sv), (kurtosis + 2) * sv * sv)


def _location_scale(theta) -> tuple[float, float]:
    sigma2 = -0.5 / theta[1]
    return theta[0] * sigma2, math.sqrt(sigma2)


def _covariance(model: _Model) -> np.ndarray:
    """Cov of (Z, Z^2) from the central moments: with W = Z - E Z and M = E Z,
    Cov(Z, Z^2) = 2 M Var W + E W^3 and Var Z^2 = 4 M^2 Var W + 4 M E W^3 + Var W^2; at the
    fit M = 0 (the sample's mean), so nothing large cancels."""
    m, v, t, q = model.mean, model.var, model.third, model.fourth_excess
    c12 = 2 * m * v + t
    return np.array([[v, c12], [c12, 4 * m * m * v + 4 * m * t + q]])


def _series(s: float, first: float, ratio) -> float:
    """first + first r(1) s^2 + first r(1) r(2) s^4 + ..., positive terms, to rounding."""
    total, term, k = 0.0, first, 1
    while term > 1e-18 * total or total == 0.0:
        total += term
        term *= ratio(k) * s * s
        k += 1
    return total


def _exponential_limit_variance(near: float) -> float:
    """The variance of the exponential law on [0, 1] whose mean lies `near` (<= 1/2) from the
    nearer end: the closure of the truncated normals on the interval at sigma = inf.

    With rate 2s the law's mean is (1 + L(s))/2 and its variance L'(s)/4, L(s) = coth s - 1/s
    (Langevin's function), so s solves 1 - L(s) = 2 near, and 1 - L(s) = 1/s - 2/(e^(2s) - 1)
    falls from 1 to 0 and lies below 1/s: s is bracketed by [0, 1/(2 near)] and found by
    bisection.  Taken from the nearer end the equation keeps its digits when the mean is
    close to an end (1 - L as 1 - L rounded would lose them).  For s < 1, L and L' are
    series of positive terms (s cosh s - sinh s and sinh s - s over their denominators);
    beyond, the closed forms do not cancel."""
    def one_less_langevin(s):
        if s < 1.0:
            # (s cosh s - sinh s)/(s sinh s), numerator s^3/3 + s^5/30 + ...
            if s < 1e-100:
                return 1.0
            numerator = _series(s, s ** 3 / 3, lambda k: 1 / ((2 * k) * (2 * k + 3)))
            return 1.0 - numerator / (s * math.sinh(s))
        return 1 / s - 2 / math.expm1(2 * s) if s < 300 else 1 / s

    def langevin_slope(s):
        if s < 1e-100:
            return 1 / 3
        if s < 1.0:
            excess = _series(s, s ** 3 / 6, lambda k: 1 / ((2 * k + 2) * (2 * k + 3)))   # sinh s - s
            sh = math.sinh(s)
            return excess * (sh + s) / (s * s * sh * sh)
        return 1 / (s * s) - (1 / math.sinh(s) ** 2 if s < 300 else 0.0)

    lo, hi = 0.0, 1 / (2 * near)
    for _ in range(1100):
        mid = 0.5 * (lo + hi)
        if not lo < mid < hi:
            break
        lo, hi = (mid, hi) if one_less_langevin(mid) > 2 * near else (lo, mid)
    return langevin_slope(0.5 * (lo + hi)) / 4


def _no_maximum(sample: _Sample, lower: float, upper: float) -> str | None:
    """Why the likelihood has no maximum with mu and sigma free, or None when it has one."""
    m = sample.mean
    if math.isfinite(lower) and math.isfinite(upper):
        # in units of the width, where neither square leaves the double range
        width = upper - lower
        limit = _exponential_limit_variance(min(m - lower, upper - m) / width)
        if (sample.sd / width) ** 2 >= limit:
            return (f"no maximum of the likelihood: the sample variance ({sample.sd:.6g})^2 is at "
                    f"least ({width * math.sqrt(limit):.6g})^2, that of the exponential law on "
                    f"[{lower:g}, {upper:g}] with "
                    f"the sample's mean (the uniform law's (upper - lower)^2/12 at the "
                    f"midpoint), which the truncated normals reach only as scale -> inf: the "
                    f"data are flatter than any of them (U-shaped, or piled at the bounds)")
    elif math.isfinite(lower) or math.isfinite(upper):
        distance = m - lower if math.isfinite(lower) else upper - m
        if sample.sd >= distance:
            return (f"no maximum of the likelihood: the sample standard deviation "
                    f"{sample.sd:.6g} is at least the distance {distance:.6g} of the mean from "
                    f"the bound, the exponential law's limit, which the truncated normals "
                    f"reach only as scale -> inf: the data fall off more slowly than any of them")
    return None


def _newton(l: float, u: float, fixed_mu: float | None, fixed_sigma: float | None):
    """Maximise the mean log-likelihood of standardised data (mean 0, variance 1) on [l, u]
    over theta, or over the line of theta where mu or sigma is fixed (theta = theta0 + P phi).
    Returns (theta, model, P, steps, converged)."""
    if fixed_sigma is not None:
        theta = np.array([0.0, -0.5 / fixed_sigma ** 2])
        basis = np.array([[1.0], [0.0]])
    elif fixed_mu is not None:
        theta = np.array([fixed_mu, -0.5])
        basis = np.array([[-2 * fixed_mu], [1.0]])
    else:
        theta = np.array([0.0, -0.5])
        basis = np.eye(2)
    model = _model(*_location_scale(theta), l, u)
    for step in range(MAX_NEWTON_STEPS + 1):
        gradient = np.array([-model.mean, 1.0 - (model.var + model.mean * model.mean)])
        if np.max(np.abs(basis.T @ gradient)) <= GRADIENT_TOLERANCE:
            return theta, model, basis, step, True
        if step == MAX_NEWTON_STEPS:
            break
        reduced = basis.T @ gradient
        direction = np.linalg.solve(basis.T @ _covariance(model) @ basis, reduced)
        decrement = float(reduced @ direction)
        if not decrement > 0:
            break
        t = 1.0
        while t > 1e-30:
            trial = theta + t * (basis @ direction)
            if trial[1] < 0:
                trial_model = _model(*_location_scale(trial), l, u)
                if decrement < NOISE_DECREMENT or trial_model.loglik >= model.loglik + 1e-4 * t * decrement:
                    break
            t *= 0.5
        else:
            break
        theta, model = trial, trial_model
    return theta, model, basis, step, False


def _fit_known(sample: _Sample, lower: float, upper: float,
               loc: float | None = None, scale: float | None = None) -> TruncnormFit:
    """The fit with both bounds in data units; loc or scale may be held fixed."""
    n, s = sample.n, sample.sd
    nan2 = np.full((2, 2), np.nan)
    if loc is not None and scale is not None:
        raise ValueError("All parameters fixed. There is nothing to optimize.")
    if loc is None and scale is None:
        reason = _no_maximum(sample, lower, upper)
        if reason is not None:
            return TruncnormFit(math.nan, math.nan, math.nan, math.nan, lower, upper, nan2,
                                math.nan, False, reason, 0, n)
    l, u = (lower - sample.mean) / s, (upper - sample.mean) / s
    fixed_mu = None if loc is None else (loc - sample.mean) / s
    fixed_sigma = None if scale is None else scale / s
    theta, model, basis, steps, converged = _newton(l, u, fixed_mu, fixed_sigma)
    mu, sigma = _location_scale(theta)
    if not converged:
        return TruncnormFit(math.nan, math.nan, math.nan, math.nan, lower, upper, nan2, math.nan,
                            False, "no maximum of the likelihood found: Newton's method stopped "
                            f"after {steps} steps with scale {sigma * s:.6g}; the sample's "
                            "moments lie at or beyond the edge of the family (scale -> inf)",
                            steps, n)
    jacobian = np.array([[sigma * sigma, 2 * mu * sigma * sigma], [0.0, sigma ** 3]]) @ basis
    information = basis.T @ _covariance(model) @ basis
    jacobian = jacobian * (s / math.sqrt(n))   # in data units: inf only where the covariance is
    with np.errstate(over="ignore", invalid="ignore"):
        cov = jacobian @ np.linalg.solve(information, jacobian.T)
    loc_fit = float(sample.mean + s * mu if loc is None else loc)
    scale_fit = float(s * sigma if scale is None else scale)
    nllf = float(n * (_LOG_SQRT_2PI + math.log(s) - model.loglik))
    return TruncnormFit(loc_fit, scale_fit, (lower - loc_fit) / scale_fit,
                        (upper - loc_fit) / scale_fit, lower, upper, cov, nllf, True,
                        "the model's mean and second moment equal the sample's", steps, n)


def fit_truncnorm(data, lower: float = -math.inf, upper: float = math.inf) -> TruncnormFit:
    """Maximum-likelihood loc and scale of the normal truncated to [lower, upper] (known, in
    data units) for `data`, a NumPy array (any shape) or a dask array.

    Returns a TruncnormFit: loc, scale, the standardised bounds a and b, cov (the asymptotic
    2x2 covariance of loc and scale from the Fisher information), nllf, success, message, nit.
    Where no maximum exists (the sample's variance at or beyond that of the exponential or
    uniform law on the bounds, e.g. U-shaped data) success is False, the message says why and
    the estimates are NaN.  Raises ValueError for NaN or infinite data, data outside [lower,
    upper], fewer than 3 distinct values or lower >= upper.

    The data are read once (n, mean and variance by blocks; for a dask array, by dask, in one
    compute), and the fit is Newton's method on the concave log-likelihood in the natural
    parameters: a few kernel calls per step, whatever the size of the data.
    """
    lower, upper = float(lower), float(upper)
    return _fit_known(_sample(data, lower, upper), lower, upper)
