"""Expectations of functions of a truncated normal variable, by quadrature in probability.

For X = loc + scale Z, Z the standard normal on [lo, hi],

    E[g(X)] = int_0^1 g(loc + scale ppf(p)) dp
            = int_0^(1/2) g(loc + scale ppf(p)) dp + int_0^(1/2) g(loc + scale isf(q)) dq,

each half in the probability measured from its own end, so that the quantile is resolved
down to the tiniest mass (isf, not ppf(1 - q), in the upper half): the integral keeps its
accuracy far in a tail, and on an interval of any width, where a quadrature in x would need
the density's scale first.  In p the integrand is analytic on (0, 1/2]; at p -> 0 the
quantile of an infinite end grows like sqrt(2 log(1/p)), so each half is cut into the dyadic
panels [2^-(j+1), 2^-j], j >= 1, on each of which Gauss-Legendre with 16 nodes converges like
(3 + sqrt 8)^-32 ~ 4e-25 (the singularity at 0 lies two panel half-widths beyond its left
end).  Panels are added in batches of 64 levels until the last levels add less than 2^-64 of
the sum.
"""

from __future__ import annotations

import math

import numpy as np

from veltra import truncnorm as _kernel

_F64 = np.float64
NODES = 16
LEVELS_PER_BATCH = 64
#: 2^-1074 is the smallest positive double: no panel lies below the last level.
MAX_LEVEL = 1074

_x, _w = np.polynomial.legendre.leggauss(NODES)
# The unit panel [1/2, 1] scaled by 2^-j gives [2^-(j+1), 2^-j].
_UNIT_NODES = 0.75 + 0.25 * _x
_UNIT_WEIGHTS = 0.25 * _w


def _call(func, x: np.ndarray) -> np.ndarray:
    """func at every element of x: once on the array when func is vectorised, else element
    by element (SciPy's quad calls it with one float at a time)."""
    try:
        with np.errstate(all="ignore"):
            values = np.asarray(func(x), dtype=_F64)
        if values.shape == x.shape:
            return values
    except (TypeError, ValueError):
        pass
    return np.array([float(func(float(t))) for t in x.reshape(-1)], dtype=_F64).reshape(x.shape)


def _half(g, quantile) -> float:
    """int_0^(1/2) g(quantile(p)) dp over dyadic panels."""
    total = 0.0
    for first in range(1, MAX_LEVEL + 1, LEVELS_PER_BATCH):
        levels = np.arange(first, min(first + LEVELS_PER_BATCH, MAX_LEVEL + 1))
        scale = np.ldexp(1.0, -levels)[:, None]
        p = _UNIT_NODES * scale
        panels = (g(quantile(p)) * _UNIT_WEIGHTS).sum(axis=1) * scale[:, 0]
        total += panels[::-1].sum()
        tail = np.abs(panels[-4:]).sum()
        if not tail > 2.0 ** -64 * abs(total):
            break
    return total


def expect(func, a, b, loc, scale, lb, ub, conditional) -> np.float64:
    """E[func(X)] over lb <= X <= ub, unconditional (the integral of func times the density)
    or, with `conditional`, given lb <= X <= ub; SciPy's rv_continuous.expect."""
    a, b, loc, scale = float(a), float(b), float(loc), float(scale)
    if not (a < b and scale > 0 and loc == loc):
        return _F64(math.nan)
    sign = 1.0
    if lb is not None and ub is not None and lb > ub:
        lb, ub, sign = ub, lb, -1.0
    lo = a if lb is None else max(a, (float(lb) - loc) / scale)
    hi = b if ub is None else min(b, (float(ub) - loc) / scale)
    if not lo < hi:
        return _F64(math.nan if conditional else 0.0)
    func = (lambda x: x) if func is None else func

    def g(z):
        return _call(func, loc + scale * z)

    mean = _half(g, lambda p: _kernel.ppf(p, lo, hi, dtype=_F64)) + \
        _half(g, lambda q: _kernel.isf(q, lo, hi, dtype=_F64))
    if conditional:
        return _F64(mean)
    # P(lo <= Z <= hi | a <= Z <= b) = P(Z <= hi | lo <= Z <= b) P(Z >= lo | a <= Z <= b),
    # two distribution functions with their relative accuracy: the difference of the log
    # masses would lose a^2 2^-53 of it far in a tail
    share = float(_kernel.cdf(hi, lo, b, dtype=_F64)) * float(_kernel.sf(lo, a, b, dtype=_F64))
    return _F64(sign * mean * share)
