"""Accuracy report: veltra against high-precision truth, side by side with the naive formulas.

For every function of ``veltra.mills``, ``veltra.ratiodiff`` and ``veltra.intmean`` this
tool evaluates, on dense grids that cross every regime of the kernels,

* the veltra function,
* the formula a user would otherwise write with SciPy/NumPy (for R(x) the ``erfcx`` form,
  for -R'(x) the textbook ``1 - x R``, for the divided differences two SciPy values
  subtracted, ``log1p(x)/x`` and ``expm1(a log1p(x))/(a x)`` for the interval means, ...),
* the exact value with mpmath, with the working precision raised by as many digits as the
  exact expression itself cancels (``1 - x R(x)`` near 1/x^2 needs about 2 log10(x) more,
  ``x^2 + 2 - (x^3 + 3x) R(x)`` about 6 log10(x) more, a divided difference as many as the
  difference loses).  Beyond x = 1e4 the Mills functions are summed from their asymptotic
  series instead of mpmath's erfc.

The error of a double result ``v`` is measured in units in the last place of the exact value
``e`` rounded to double: ``|v - e| / ulp(double(e))``.  A correctly rounded result is within
0.5 ulp.  NaN or an infinity where ``e`` is a finite double counts as a failure and is
reported as "NaN/inf" (and stored as FAIL_ULPS); finite errors are capped at FAIL_ULPS, far
past the 2^52 ulps of an error as large as the value.  Grid points whose exact value is not a
finite double (the far negative tail of -R''', say) are left out.

The truncated normal is measured the same way: log P, mean, variance, skewness and excess
kurtosis of N(0, 1) on [a, a + w] from ``veltra.truncnorm`` and from ``scipy.stats.truncnorm`` (SciPy's own
function, not a formula written here), as the interval moves into the tail (a from 0 to 1e4)
for a few widths w, against the defining integrals in mpmath (``tests/truncnorm_reference.py``,
with 40 digits more than they cancel).

Outputs, in the directory given by ``--out`` (default: the repository's ``docs/``):

* ``accuracy.md``:  per function and per regime, max and median error of veltra and of
  each naive formula, and the inputs of veltra's largest errors;
* ``accuracy.png``: error against x for every function family, veltra against the naive
  formulas, with the kernels' regime boundaries as faint vertical lines;
* ``accuracy_truncnorm.png``: the same for the truncated normal, against a.

Usage::

    python tools/accuracy.py [--out DIR] [--quick]

``--quick`` evaluates about a tenth of the points (a smoke test; the numbers it reports are
then less thorough).  Needs numpy, scipy, mpmath and matplotlib besides veltra.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Sequence

import mpmath
import numpy as np
import scipy
import scipy.special as sc
import scipy.stats

import veltra
import veltra.truncnorm
from veltra.intmean import logrel, powrel
from veltra.mills import millsratio, millsratio_d1, millsratio_d3, millsratio_rel_below1
from veltra.ratiodiff import millsratio_dd, millsratio_dd_cf

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "tests"))
import truncnorm_reference  # noqa: E402  (the tests' mpmath references of the truncated normal)

#: Stored error of a NaN/inf result where the exact value is finite; finite errors are
#: capped here too.
FAIL_ULPS = 1e17
#: An error as large as the value itself: 2^52 to 2^53 ulps, by where in its binade the
#: value lies.  No digit is left.
ALL_DIGITS_LOST = 2.0**52

#: Beyond this the Mills functions are summed from their asymptotic series: mpmath's erfc
#: is not to be trusted for huge arguments, and the series converges fast there (the ratio
#: of consecutive terms is below (2k+1) 1e-8).
ASYMPTOTIC_FROM = 1e4

#: Digits kept beyond what the exact expression cancels.
GUARD_DIGITS = 40

SQRT_PI_2 = math.sqrt(math.pi / 2)
SQRT_2PI = math.sqrt(2 * math.pi)

#: Where the veltra kernels change method, drawn as vertical lines.
R_BOUNDS = (1.0, 9.5, 11.4, 15.1, 24.1, 59.3, 548.0, 6.7e7)
R1_BOUNDS = (1.0, 11.5, 14.5, 21.2, 41.0, 165.0, 12800.0)
R3_BOUNDS = (1.0, 17.1, 25.4, 50.5, 210.0, 17300.0)
#: millsratio_dd switches to the continued-fraction convergents of depth 8, 6, 4, 2 where
#: x - dx passes these points (for steps small against x + 1.25).
DD_BOUNDS = (21.2, 41.0, 165.0, 12800.0)


# ------------------------------------------------------------------------------------------
# The error measure

def ulp_error(value: float, exact: mpmath.mpf) -> tuple[float, bool]:
    """Error of ``value`` in ulps of the exact value rounded to double, and whether it failed
    (NaN or an infinity where the exact value is a finite double)."""
    reference = float(exact)
    if not math.isfinite(value):
        return FAIL_ULPS, True
    with mpmath.workdps(30):
        error = abs(mpmath.mpf(value) - exact) / mpmath.mpf(math.ulp(reference))
    return min(float(error), FAIL_ULPS), False


def is_double(exact: mpmath.mpf) -> bool:
    """True where the exact value rounds to a finite double (it can be compared in ulps)."""
    return math.isfinite(float(exact))


# ------------------------------------------------------------------------------------------
# Exact values

def _digits_for_magnitude(x: float) -> float:
    return math.log10(max(1.0, abs(x)))


def mills_asymptotic(x: mpmath.mpf) -> tuple[mpmath.mpf, mpmath.mpf, mpmath.mpf]:
    """R, -R' and -R''' for large x from R(x) = sum_k (-1)^k (2k-1)!! x^-(2k+1), the
    derivatives term by term:
        -R'(x)   = sum_k (-1)^k (2k+1)!! x^-(2k+2)
        -R'''(x) = sum_k (-1)^k (2k-1)!! (2k+1)(2k+2)(2k+3) x^-(2k+4).
    The series is alternating and enveloping, so the error is below the first term left
    out; summation stops once the terms fall below the working precision."""
    tolerance = mpmath.mpf(10) ** (-mpmath.mp.dps - 5)
    r = d1 = d3 = mpmath.mpf(0)
    term = 1 / x                              # (-1)^k (2k-1)!! x^-(2k+1), k = 0
    for k in range(200):
        term_d1 = term * (2 * k + 1) / x
        term_d3 = term * (2 * k + 1) * (2 * k + 2) * (2 * k + 3) / x**3
        r, d1, d3 = r + term, d1 + term_d1, d3 + term_d3
        if max(abs(term / r), abs(term_d1 / d1), abs(term_d3 / d3)) < tolerance:
            break
        term *= -(2 * k + 1) / (x * x)
    return r, d1, d3


def mills_exact(x: float) -> tuple[mpmath.mpf, mpmath.mpf, mpmath.mpf]:
    """R(x), -R'(x) = 1 - x R(x) and -R'''(x) = x^2 + 2 - (x^3 + 3x) R(x), exactly enough
    for ulp comparison.  For large x, 1 - x R is about 1/x^2 and x^2 + 2 - (x^3 + 3x) R
    about 6/x^4: the subtraction cancels 2 log10(x) and 6 log10(x) digits, which the working
    precision makes up for.  For x < 0 nothing cancels."""
    if x > ASYMPTOTIC_FROM:
        with mpmath.workdps(GUARD_DIGITS + 20):
            return mills_asymptotic(mpmath.mpf(x))
    with mpmath.workdps(GUARD_DIGITS + 6 * _digits_for_magnitude(x)):
        t = mpmath.mpf(x)
        r = mpmath.sqrt(mpmath.pi / 2) * mpmath.exp(t * t / 2) * mpmath.erfc(t / mpmath.sqrt(2))
        return r, 1 - t * r, t * t + 2 - (t**3 + 3 * t) * r


def mills_ratio_exact(y: mpmath.mpf) -> mpmath.mpf:
    """R(y) at the current working precision (y need not be a double)."""
    if y > ASYMPTOTIC_FROM:
        return mills_asymptotic(y)[0]
    return mpmath.sqrt(mpmath.pi / 2) * mpmath.exp(y * y / 2) * mpmath.erfc(y / mpmath.sqrt(2))


def rel_below1_exact(x: float) -> mpmath.mpf:
    """(sqrt(pi/2) - R(x))/x; R(x) = sqrt(pi/2) - x + O(x^2) cancels -log10(x) digits.
    The limit at 0 is -R'(0) = 1."""
    if x == 0:
        return mpmath.mpf(1)
    with mpmath.workdps(GUARD_DIGITS + 10 + max(0.0, -math.log10(x))):
        t = mpmath.mpf(x)
        return (mpmath.sqrt(mpmath.pi / 2) - mills_ratio_exact(t)) / t


def divided_difference_exact(f: Callable[[mpmath.mpf], mpmath.mpf], x: float, dx: float) -> mpmath.mpf:
    """(f(x - dx) - f(x + dx)) / (2 dx) with x -+ dx exact.  The difference loses as many
    digits as f(x-dx) and f(x+dx) agree; the precision is raised until GUARD_DIGITS remain."""
    a = mpmath.fsub(x, dx, exact=True)
    b = mpmath.fadd(x, dx, exact=True)
    digits = GUARD_DIGITS + 10
    while True:
        with mpmath.workdps(digits):
            fa, fb = f(a), f(b)
            difference = fa - fb
            if difference != 0:
                lost = float(mpmath.log10(max(abs(fa), abs(fb)) / abs(difference)))
                if lost < digits - GUARD_DIGITS:
                    return difference / (2 * mpmath.mpf(dx))
        if digits > 2000:
            raise ArithmeticError(f"divided difference at x={x!r}, dx={dx!r} cancels completely")
        digits *= 2


def reflected_sum_exact(x: float, dx: float) -> mpmath.mpf:
    """(R(dx - x) + R(x + dx)) / (2 dx): two positive terms, nothing cancels."""
    with mpmath.workdps(GUARD_DIGITS + 10):
        a = mpmath.fsub(dx, x, exact=True)
        b = mpmath.fadd(x, dx, exact=True)
        return (mills_ratio_exact(a) + mills_ratio_exact(b)) / (2 * mpmath.mpf(dx))


def convergent_exact(depth: int) -> Callable[[mpmath.mpf], mpmath.mpf]:
    """The depth-n convergent K_n(y) = 1/(y + 1/(y + 2/(y + ... n/y))) of the continued
    fraction of R, evaluated from the inside out at the working precision."""
    def convergent(y: mpmath.mpf) -> mpmath.mpf:
        t = y
        for k in range(depth, 0, -1):
            t = y + k / t
        return 1 / t
    return convergent


def logrel_exact(x: float) -> mpmath.mpf:
    """log(1 + x)/x; mpmath's log1p keeps its precision for tiny x."""
    if x == 0:
        return mpmath.mpf(1)
    with mpmath.workdps(GUARD_DIGITS + 10):
        return mpmath.log1p(x) / x


def powrel_exact(x: float, a: float) -> mpmath.mpf:
    """((1 + x)^a - 1)/(a x) as expm1(a log1p(x))/(a x): mpmath's log1p and expm1 keep full
    relative precision for tiny arguments, so nothing cancels."""
    if x == 0:
        return mpmath.mpf(1)
    with mpmath.workdps(GUARD_DIGITS + 10):
        t = mpmath.mpf(x)
        return mpmath.expm1(a * mpmath.log1p(t)) / (a * t)


# ------------------------------------------------------------------------------------------
# The naive formulas, as a user would write them with SciPy and NumPy

def mills_scipy(x: np.ndarray) -> np.ndarray:
    """R(x) = N(-x)/n(x) = sqrt(pi/2) erfcx(x/sqrt(2))."""
    return SQRT_PI_2 * sc.erfcx(x / math.sqrt(2))


def mills_textbook(x: np.ndarray) -> np.ndarray:
    """R(x) as the quotient of the normal tail and density: 0/0 past x = 38.5."""
    return sc.ndtr(-x) / (np.exp(-x * x / 2) / SQRT_2PI)


def convergent_float(y: np.ndarray, depth: int) -> np.ndarray:
    """K_n(y) in double precision, from the inside out."""
    t = y.copy()
    for k in range(depth, 0, -1):
        t = y + k / t
    return 1 / t


@dataclass(frozen=True)
class Formula:
    """A naive formula: a short legend label, the code as a user would write it, and its
    NumPy evaluation (taking the same arguments as the veltra function)."""
    label: str
    code: str
    evaluate: Callable[..., np.ndarray]


R_FORMULAS = (
    Formula("SciPy erfcx", "sqrt(pi/2)*erfcx(x/sqrt(2))", mills_scipy),
    Formula("ndtr(-x)/pdf(x)", "ndtr(-x) / (exp(-x**2/2)/sqrt(2*pi))", mills_textbook),
)
R1_FORMULA = Formula("1 - x*R", "1 - x*R,  R = sqrt(pi/2)*erfcx(x/sqrt(2))",
                     lambda x: 1 - x * mills_scipy(x))
R3_FORMULA = Formula("x²+2-(x³+3x)R", "x**2 + 2 - (x**3 + 3*x)*R,  R from erfcx",
                     lambda x: x * x + 2 - (x**3 + 3 * x) * mills_scipy(x))
REL_FORMULA = Formula("(sqrt(pi/2)-R)/x", "(sqrt(pi/2) - R)/x,  R from erfcx",
                      lambda x: (SQRT_PI_2 - mills_scipy(x)) / x)
DD_FORMULA = Formula("(R(x-dx)-R(x+dx))/(2dx)", "(R(x-dx) - R(x+dx))/(2*dx),  R from erfcx",
                     lambda x, dx: (mills_scipy(x - dx) - mills_scipy(x + dx)) / (2 * dx))
SUM_FORMULA = Formula("(R(dx-x)+R(x+dx))/(2dx)", "(R(dx-x) + R(x+dx))/(2*dx),  R from erfcx",
                      lambda x, dx: (mills_scipy(dx - x) + mills_scipy(x + dx)) / (2 * dx))


def cf_formula(depth: int) -> Formula:
    return Formula("(K(x-dx)-K(x+dx))/(2dx)",
                   "(K(x-dx) - K(x+dx))/(2*dx),  K(y) = 1/(y + 1/(y + 2/(... + n/y))) in doubles",
                   lambda x, dx: (convergent_float(x - dx, depth) - convergent_float(x + dx, depth)) / (2 * dx))


LOGREL_FORMULAS = (
    Formula("log1p(x)/x", "log1p(x)/x", lambda x: np.log1p(x) / x),
    Formula("log(1+x)/x", "log(1 + x)/x", lambda x: np.log(1 + x) / x),
)


def powrel_formulas(a: float) -> tuple[Formula, Formula]:
    return (Formula("expm1(a·log1p(x))/(a·x)", "expm1(a*log1p(x))/(a*x)",
                    lambda x: np.expm1(a * np.log1p(x)) / (a * x)),
            Formula("((1+x)^a-1)/(a·x)", "((1 + x)**a - 1)/(a*x)",
                    lambda x: ((1 + x) ** a - 1) / (a * x)))


def scipy_truncnorm_moments(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """log P, mean and variance of N(0, 1) on [a, b] from scipy.stats.truncnorm.  It has no
    method for log P; its logpdf at the lower end is log phi(a) - log P."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore", RuntimeWarning)     # its skewness, unused, divides 0 by 0
        log_p = scipy.stats.norm.logpdf(a) - scipy.stats.truncnorm.logpdf(a, a, b)
        mean, var = scipy.stats.truncnorm.stats(a, b, moments="mv")
    return log_p, np.asarray(mean, dtype=float), np.asarray(var, dtype=float)


def scipy_truncnorm_shape(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Skewness and excess kurtosis of N(0, 1) on [a, b] from scipy.stats.truncnorm."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore", RuntimeWarning)
        skew, kurtosis = scipy.stats.truncnorm.stats(a, b, moments="sk")
    return np.asarray(skew, dtype=float), np.asarray(kurtosis, dtype=float)


def veltra_truncnorm_shape(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    return veltra.truncnorm.skew(a, b), veltra.truncnorm.kurtosis(a, b)


#: The truncated normal's quantities: name, index in the moments triple, SciPy's call.
TRUNCNORM_QUANTITIES = (
    ("truncnorm.log_prob", 0, "norm.logpdf(a) - scipy.stats.truncnorm.logpdf(a, a, b)"),
    ("truncnorm.mean", 1, "scipy.stats.truncnorm.mean(a, b)"),
    ("truncnorm.var", 2, "scipy.stats.truncnorm.var(a, b)"),
)
#: Its shape: name, index in the (skewness, kurtosis) pair, SciPy's call.
TRUNCNORM_SHAPE_QUANTITIES = (
    ("truncnorm.skew", 0, "scipy.stats.truncnorm.stats(a, b, moments='s')"),
    ("truncnorm.kurtosis", 1, "scipy.stats.truncnorm.stats(a, b, moments='k')"),
)
#: Each group of quantities with its exact values (mpmath), veltra's and SciPy's.
TRUNCNORM_GROUPS = (
    (TRUNCNORM_QUANTITIES, truncnorm_reference.moments_mp, lambda a, b: veltra.truncnorm.moments(a, b),
     scipy_truncnorm_moments),
    (TRUNCNORM_SHAPE_QUANTITIES, truncnorm_reference.shape_mp, veltra_truncnorm_shape, scipy_truncnorm_shape),
)


def scipy_truncnorm_formula(index: int, code: str, scipy_values=scipy_truncnorm_moments) -> Formula:
    return Formula("scipy.stats.truncnorm", code, lambda a, b: scipy_values(a, b)[index])


# ------------------------------------------------------------------------------------------
# Grids and regimes

@dataclass(frozen=True)
class Regime:
    """An interval of x; a single point when lo == hi."""
    lo: float
    hi: float
    lo_closed: bool = True
    hi_closed: bool = False

    def contains(self, x: np.ndarray) -> np.ndarray:
        above = x >= self.lo if self.lo_closed else x > self.lo
        below = x <= self.hi if self.hi_closed else x < self.hi
        return above & below

    @property
    def label(self) -> str:
        if self.lo == self.hi:
            return f"x = {format_bound(self.lo)}"
        return (("[" if self.lo_closed else "(") + format_bound(self.lo) + ", "
                + format_bound(self.hi) + ("]" if self.hi_closed else ")"))


def format_bound(b: float) -> str:
    if b != 0 and (abs(b) >= 1e5 or abs(b) < 1e-3):
        mantissa, exponent = f"{b:.2g}".split("e")
        return f"{mantissa}e{int(exponent)}"
    return f"{b:g}"


def partition(bounds: Sequence[float], right_closed_at: Sequence[float] = ()) -> list[Regime]:
    """Consecutive intervals [b_i, b_(i+1)); one ending at a point of right_closed_at takes
    that point (the next starts open), and the last one is closed."""
    regimes = []
    for i, (lo, hi) in enumerate(zip(bounds[:-1], bounds[1:])):
        regimes.append(Regime(lo, hi,
                              lo_closed=lo not in right_closed_at,
                              hi_closed=hi in right_closed_at or i == len(bounds) - 2))
    return regimes


def spread(lo: float, hi: float, n: int, rng: np.random.Generator, log: bool = False) -> np.ndarray:
    """n points in [lo, hi], one drawn uniformly in each of n equal cells (equal in log|x|
    when log), so that the grid is dense but hits no round numbers."""
    n = max(n, 2)
    if log:
        sign = math.copysign(1.0, lo)
        edges = np.linspace(math.log(abs(lo)), math.log(abs(hi)), n + 1)
        return sign * np.exp(edges[:-1] + rng.random(n) * np.diff(edges))
    edges = np.linspace(lo, hi, n + 1)
    return edges[:-1] + rng.random(n) * np.diff(edges)


def with_neighbours(points: Sequence[float]) -> np.ndarray:
    """Each point with the doubles just below and just above it (regime switches)."""
    p = np.asarray(points, dtype=float)
    return np.concatenate([p, np.nextafter(p, -np.inf), np.nextafter(p, np.inf)])


def log_segments(bounds: Sequence[float], rng: np.random.Generator, density: float,
                 per_decade: float = 40.0, least: int = 60, most: int = 300) -> np.ndarray:
    """Log-spaced points between consecutive bounds, more for longer segments."""
    parts = []
    for lo, hi in zip(bounds[:-1], bounds[1:]):
        decades = math.log10(hi / lo)
        n = min(most, max(least, round(least + per_decade * decades)))
        parts.append(spread(lo, hi, round(n * density), rng, log=True))
    return np.concatenate(parts)


def unique_sorted(*parts: np.ndarray) -> np.ndarray:
    return np.unique(np.concatenate([np.atleast_1d(np.asarray(p, dtype=float)) for p in parts]))


def mills_grid(rng: np.random.Generator, density: float) -> np.ndarray:
    """x in [-37.5, 1e70], crossing every regime boundary of R, -R' and -R'''."""
    bounds = sorted(set(R_BOUNDS + R1_BOUNDS + R3_BOUNDS + (ASYMPTOTIC_FROM, 1e6, 1e70)))
    return unique_sorted(
        spread(-37.5, -1.0, round(240 * density), rng), [-37.5],
        spread(-1.0, 0.0, round(60 * density), rng),
        [0.0, 5e-324], spread(1e-300, 1e-3, round(30 * density), rng, log=True),
        spread(0.0, 1.0, round(150 * density), rng),
        log_segments(bounds, rng, density),
        with_neighbours([b for b in bounds if b < 1e70] + [0.5]),
    )


def below1_grid(rng: np.random.Generator, density: float) -> np.ndarray:
    """x in [0, 1], densest where R(x) = sqrt(pi/2) - x + ... cancels (1e-20 < x < 1e-3)."""
    return unique_sorted([0.0, 5e-324, 1e-310, 1.0],
                         spread(1e-300, 1e-20, round(40 * density), rng, log=True),
                         spread(1e-20, 1e-3, round(200 * density), rng, log=True),
                         spread(1e-3, 1.0, round(250 * density), rng))


def dd_grid(rng: np.random.Generator, density: float) -> np.ndarray:
    """x in [-1, 1e300] without 0 (a step proportional to x would vanish there)."""
    bounds = (1.0,) + DD_BOUNDS[:3] + (ASYMPTOTIC_FROM,) + DD_BOUNDS[3:] + (1e6, 1e300)
    x = unique_sorted(spread(-1.0, 0.0, round(120 * density), rng), [-1.0],
                      spread(0.0, 1.0, round(120 * density), rng),
                      log_segments(bounds, rng, density, per_decade=40, least=80, most=200),
                      with_neighbours(DD_BOUNDS + (1.0,)))
    return x[x != 0]


def interval_mean_grid(rng: np.random.Generator, density: float) -> np.ndarray:
    """x in (-1, 1e300) on both sides of 0, log-spaced in |x|: densest where 1 + x rounds
    (1e-16 < |x| < 1e-3), and close to -1, where (1 + x)^a is far from 1."""
    def both_signs(lo, hi, n):
        return np.concatenate([spread(lo, hi, round(n * density), rng, log=True),
                               -spread(lo, hi, round(n * density), rng, log=True)])
    return unique_sorted(
        [0.0, 5e-324, -5e-324, 1e-310, -1e-310],
        both_signs(1e-300, 1e-16, 80), both_signs(1e-16, 1e-3, 200),
        -spread(1e-3, 1.0, round(100 * density), rng, log=True),
        -1.0 + spread(2.0**-52, 1e-3, round(60 * density), rng, log=True),
        -1.0 + 2.0 ** -np.arange(1, 53), [np.nextafter(-1.0, 0.0)],
        spread(1e-3, 1e3, round(200 * density), rng, log=True),
        spread(1e3, 1e300, round(200 * density), rng, log=True),
    )


def truncnorm_grid(rng: np.random.Generator, density: float) -> np.ndarray:
    """The lower end a of the intervals [a, a + w]: 0, and log-spaced from 1e-3 to 1e4."""
    return unique_sorted([0.0, 1e4], spread(1e-3, 1e4, round(160 * density), rng, log=True))


MILLS_REGIMES = {
    "R": [Regime(-37.5, 0.0)] + partition((0.0,) + R_BOUNDS + (1e70,), right_closed_at=(1.0,)),
    "R1": [Regime(-37.5, 0.0)] + partition((0.0,) + R1_BOUNDS + (1e70,), right_closed_at=(1.0,)),
    "R3": [Regime(-37.5, 0.0)] + partition((0.0,) + R3_BOUNDS + (1e70,), right_closed_at=(1.0,)),
}
BELOW1_REGIMES = [Regime(0.0, 0.0, hi_closed=True), Regime(0.0, 1e-8, lo_closed=False),
                  Regime(1e-8, 1e-3), Regime(1e-3, 1.0, hi_closed=True)]
DD_REGIMES = ([Regime(-1.0, 0.0)] + partition((0.0, 1.0) + DD_BOUNDS + (1e6, 1e300),
                                              right_closed_at=(1.0,)))
SUM_REGIMES = [Regime(-1.0, 0.0), Regime(0.0, 1.0, hi_closed=True),
               Regime(1.0, 40.0, lo_closed=False, hi_closed=True)]
INTERVAL_MEAN_REGIMES = [
    Regime(-1.0, -1e-3, lo_closed=False, hi_closed=True),
    Regime(-1e-3, -1e-16, lo_closed=False, hi_closed=True),
    Regime(-1e-16, 0.0, lo_closed=False),
    Regime(0.0, 0.0, hi_closed=True),
    Regime(0.0, 1e-16, lo_closed=False),
    Regime(1e-16, 1e-3),
    Regime(1e-3, 1e3),
    Regime(1e3, 1e300, hi_closed=True),
]

#: For the truncated normal x is the lower end a, by decades of its distance into the tail.
TRUNCNORM_REGIMES = [Regime(0.0, 0.0, hi_closed=True), Regime(0.0, 0.1, lo_closed=False),
                     Regime(0.1, 1.0), Regime(1.0, 10.0), Regime(10.0, 100.0),
                     Regime(100.0, 1e4, hi_closed=True)]
#: Widths of the intervals [a, a + w].
TRUNCNORM_WIDTHS = (("w = 1", 1.0), ("w = 1e-3", 1e-3), ("w = inf", math.inf))

#: Steps of the divided differences: proportional to |x|, and fixed.
DD_STEPS = (("dx = 0.1·|x|", 0.1, True), ("dx = 1e-3·|x|", 1e-3, True),
            ("dx = 1e-6·|x|", 1e-6, True), ("dx = 1e-9·|x|", 1e-9, True),
            ("dx = 0.01", 0.01, False), ("dx = 1e-8", 1e-8, False))
SUM_STEPS = (("dx = 1e-3·|x|", 1e-3, True), ("dx = 0.01", 0.01, False))
CF_DEPTHS = (1, 4, 12, 40)
CF_STEP = 1e-6
POWREL_EXPONENTS = (-3.0, 0.5, 2.0, 40.0)


def step_for(x: np.ndarray, size: float, relative: bool) -> np.ndarray:
    return size * np.abs(x) if relative else np.full_like(x, size)


# ------------------------------------------------------------------------------------------
# Studies: one veltra function with one parameter choice on one grid

@dataclass
class Study:
    function: str                      # veltra function, as called
    variant: str                       # parameter choice ("dx = 1e-6·|x|", "a = 2"), or ""
    x: np.ndarray
    inputs: Callable[[int], str]       # the exact call arguments of point i, for the report
    regimes: list[Regime]
    formulas: Sequence[Formula]
    errors: dict[str, np.ndarray] = field(default_factory=dict)   # "veltra" or formula label
    failed: dict[str, np.ndarray] = field(default_factory=dict)

    @property
    def name(self) -> str:
        return f"{self.function} ({self.variant})" if self.variant else self.function


def measure(function: str, variant: str, x: np.ndarray, exact: Sequence[mpmath.mpf],
            veltra_values: np.ndarray, formulas: Sequence[Formula], naive_args: tuple,
            regimes: list[Regime], describe: Callable[[int], str] | None = None) -> Study:
    """Errors of veltra's values and of each naive formula against the exact values, on the
    points where the exact value is a finite double."""
    keep = np.array([is_double(e) for e in exact], dtype=bool)
    kept = np.flatnonzero(keep)
    exact = [exact[i] for i in kept]
    with np.errstate(all="ignore"):
        candidates = {"veltra": np.asarray(veltra_values, dtype=float)}
        for formula in formulas:
            candidates[formula.label] = np.broadcast_to(formula.evaluate(*naive_args), x.shape)
    describe = describe or (lambda i: f"x={float(x[i])!r}")
    study = Study(function, variant, x[keep], lambda i: describe(int(kept[i])), regimes, formulas)
    for label, values in candidates.items():
        pairs = [ulp_error(float(values[i]), e) for i, e in zip(kept, exact)]
        study.errors[label] = np.array([p[0] for p in pairs])
        study.failed[label] = np.array([p[1] for p in pairs], dtype=bool)
    return study


def mills_studies(rng, density) -> list[Study]:
    x = mills_grid(rng, density)
    exact = [mills_exact(float(v)) for v in x]
    return [
        measure("millsratio", "", x, [e[0] for e in exact], millsratio(x), R_FORMULAS,
                (x,), MILLS_REGIMES["R"]),
        measure("millsratio_d1", "", x, [e[1] for e in exact], millsratio_d1(x), (R1_FORMULA,),
                (x,), MILLS_REGIMES["R1"]),
        measure("millsratio_d3", "", x, [e[2] for e in exact], millsratio_d3(x), (R3_FORMULA,),
                (x,), MILLS_REGIMES["R3"]),
    ]


def below1_study(rng, density) -> Study:
    x = below1_grid(rng, density)
    return measure("millsratio_rel_below1", "", x, [rel_below1_exact(float(v)) for v in x],
                   millsratio_rel_below1(x), (REL_FORMULA,), (x,), BELOW1_REGIMES)


def dd_studies(rng, density) -> list[Study]:
    x = dd_grid(rng, density)
    studies = []
    for variant, size, relative in DD_STEPS:
        dx = step_for(x, size, relative)
        exact = [divided_difference_exact(mills_ratio_exact, float(a), float(d)) for a, d in zip(x, dx)]
        studies.append(measure("millsratio_dd", variant, x, exact, millsratio_dd(x, dx),
                               (DD_FORMULA,), (x, dx), DD_REGIMES,
                               lambda i, dx=dx: f"x={float(x[i])!r}, dx={float(dx[i])!r}"))
    xs = x[x <= 40.0]
    for variant, size, relative in SUM_STEPS:
        dx = step_for(xs, size, relative)
        exact = [reflected_sum_exact(float(a), float(d)) for a, d in zip(xs, dx)]
        studies.append(measure("millsratio_dd", f"theta = -1, {variant}", xs, exact,
                               millsratio_dd(xs, dx, -1), (SUM_FORMULA,), (xs, dx), SUM_REGIMES,
                               lambda i, dx=dx: f"x={float(xs[i])!r}, dx={float(dx[i])!r}, theta=-1"))
    return studies


def cf_studies(rng, density) -> list[Study]:
    x = dd_grid(rng, density)
    dx = step_for(x, CF_STEP, True)
    studies = []
    for depth in CF_DEPTHS:
        exact = [divided_difference_exact(convergent_exact(depth), float(a), float(d))
                 for a, d in zip(x, dx)]
        studies.append(measure("millsratio_dd_cf", f"n_terms = {depth}, dx = 1e-6·|x|", x, exact,
                               millsratio_dd_cf(x, dx, depth), (cf_formula(depth),), (x, dx), DD_REGIMES,
                               lambda i, depth=depth: f"x={float(x[i])!r}, dx={float(dx[i])!r}, n_terms={depth}"))
    return studies


def interval_mean_studies(rng, density) -> list[Study]:
    x = interval_mean_grid(rng, density)
    studies = [measure("logrel", "", x, [logrel_exact(float(v)) for v in x], logrel(x),
                       LOGREL_FORMULAS, (x,), INTERVAL_MEAN_REGIMES)]
    for a in POWREL_EXPONENTS:
        studies.append(measure("powrel", f"a = {a:g}", x, [powrel_exact(float(v), a) for v in x],
                               powrel(x, a), powrel_formulas(a), (x,), INTERVAL_MEAN_REGIMES,
                               lambda i, a=a: f"x={float(x[i])!r}, a={a!r}"))
    return studies


def truncnorm_studies(rng, density) -> list[Study]:
    a = truncnorm_grid(rng, density)
    studies = []
    for quantities, exact_values, veltra_values, scipy_values in TRUNCNORM_GROUPS:
        for variant, width in TRUNCNORM_WIDTHS:
            b = a + width
            exact = [exact_values(float(lo), float(hi)) for lo, hi in zip(a, b)]
            ours = veltra_values(a, b)
            for function, k, code in quantities:
                studies.append(measure(function, variant, a, [e[k] for e in exact], ours[k],
                                       (scipy_truncnorm_formula(k, code, scipy_values),), (a, b),
                                       TRUNCNORM_REGIMES, lambda i, b=b: f"a={float(a[i])!r}, b={float(b[i])!r}"))
    return studies


def compute_studies(quick: bool = False, seed: int = 20240917, log=print) -> list[Study]:
    """Every study of the report; quick takes about a tenth of the points."""
    rng = np.random.default_rng(seed)
    density = 0.1 if quick else 1.0
    studies: list[Study] = []
    for title, build in (("Mills ratio and its derivatives", mills_studies),
                         ("(sqrt(pi/2) - R)/x", lambda r, d: [below1_study(r, d)]),
                         ("divided differences", dd_studies),
                         ("convergent divided differences", cf_studies),
                         ("interval means", interval_mean_studies),
                         ("truncated normal", truncnorm_studies)):
        start = time.perf_counter()
        new = build(rng, density)
        log(f"  {title}: {sum(s.x.size for s in new)} points in {time.perf_counter() - start:.1f} s")
        studies += new
    return studies


# ------------------------------------------------------------------------------------------
# Summaries and the markdown report

@dataclass(frozen=True)
class Summary:
    points: int
    max: float
    median: float
    failures: int          # NaN/inf results where the exact value is a finite double


def summarize(errors: np.ndarray, failed: np.ndarray) -> Summary:
    if errors.size == 0:
        return Summary(0, math.nan, math.nan, 0)
    return Summary(errors.size, float(errors.max()), float(np.median(errors)), int(failed.sum()))


def regime_summary(study: Study, regime: Regime, label: str) -> Summary:
    inside = regime.contains(study.x)
    return summarize(study.errors[label][inside], study.failed[label][inside])


def format_ulps(u: float) -> str:
    if math.isnan(u):
        return "–"
    if u >= FAIL_ULPS:
        return "≥1e17"
    if u < 10:
        return f"{u:.2f}"
    if u < 1000:
        return f"{u:.0f}"
    mantissa, exponent = f"{u:.1e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def format_max(s: Summary) -> str:
    if s.failures:
        return f"**NaN/inf** ({s.failures} pts)"
    text = format_ulps(s.max)
    return f"**{text}**" if s.max >= ALL_DIGITS_LOST else text


def format_median(s: Summary) -> str:
    return "NaN/inf" if s.failures * 2 > s.points else format_ulps(s.median)


def table_row(cells: Sequence[str]) -> str:
    """A markdown table row; the bars of |x| in the cells are escaped."""
    return "| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |"


def markdown_report(studies: Sequence[Study], quick: bool) -> str:
    versions = (f"veltra {veltra.__version__}, NumPy {np.__version__}, SciPy {scipy.__version__}, "
                f"mpmath {mpmath.__version__}")
    lines = [
        "# Accuracy of veltra",
        "",
        "Generated by `python tools/accuracy.py`" + (" --quick" if quick else "") + f" ({versions}).",
        "",
        "Each veltra function is compared on a dense grid with the formula one would otherwise",
        "write with SciPy/NumPy. The error of a result v is |v - e| / ulp(e), in units in the",
        "last place of the exact value e (computed with mpmath at 50 or more digits, more where",
        "the exact expression itself cancels) rounded to double; a correctly rounded result is",
        "within 0.5 ulp, and from 2^52 = 4.5e15 ulps on the error is as large as the value (such",
        "maxima are in bold).",
        "**NaN/inf** marks points where a formula returns NaN or an infinity although the exact",
        "value is a finite double; these count as 1e17 ulps in the medians. Points whose exact",
        "value is not a finite double are left out. The regimes are where the veltra kernels",
        "change method (for the divided differences, by x - dx). The plot `accuracy.png` shows",
        "every point.",
        "",
        "For x < 0 the Mills functions, veltra's and SciPy's alike, go through",
        "R(x) = sqrt(2 pi) exp(x^2/2) - R(-x); the rounding of x^2/2 then sets errors of up to a",
        "few hundred ulps near x = -37, and the same holds for the reflected sum (theta = -1).",
        "",
        "The `truncnorm` rows are log P, mean, variance, skewness and excess kurtosis of N(0, 1)",
        "on [a, a + w] from `veltra.truncnorm`, next to `scipy.stats.truncnorm` itself (SciPy's",
        "function, where the other rows have a formula); x is the lower end a, and the exact",
        "values are the defining integrals in mpmath with 40 digits more than they cancel",
        "(`tests/truncnorm_reference.py`). The plot `accuracy_truncnorm.png` shows them.",
        "",
        "## Summary",
        "",
        "| function | points | veltra max | veltra max, x >= 0 | veltra median | naive formula | naive max | naive median |",
        "|---|---:|---:|---:|---:|---|---:|---:|",
    ]
    for study in studies:
        v = summarize(study.errors["veltra"], study.failed["veltra"])
        positive = study.x >= 0
        v_positive = summarize(study.errors["veltra"][positive], study.failed["veltra"][positive])
        for j, formula in enumerate(study.formulas):
            n = summarize(study.errors[formula.label], study.failed[formula.label])
            head = (f"`{study.function}` {study.variant}".rstrip(), str(v.points), format_max(v),
                    format_max(v_positive), format_median(v)) if j == 0 else ("",) * 5
            lines.append(table_row(head + (f"`{formula.code}`", format_max(n), format_median(n))))

    lines += ["", "## By regime", ""]
    for study in studies:
        lines += [f"### `{study.function}` {study.variant}".rstrip(), ""]
        for j, formula in enumerate(study.formulas):
            lines.append(f"naive {'AB'[j]}: `{formula.code}`  ")
        header = "| x in | points | veltra max | veltra median |"
        rule = "|---|---:|---:|---:|"
        for j in range(len(study.formulas)):
            header += f" naive {'AB'[j]} max | naive {'AB'[j]} median |"
            rule += "---:|---:|"
        lines += ["", header, rule]
        for regime in study.regimes:
            v = regime_summary(study, regime, "veltra")
            if v.points == 0:
                continue
            cells = [regime.label, str(v.points), format_max(v), format_median(v)]
            for formula in study.formulas:
                n = regime_summary(study, regime, formula.label)
                cells += [format_max(n), format_median(n)]
            lines.append(table_row(cells))
        lines.append("")

    lines += ["## Largest veltra errors", "",
              "The input of veltra's largest error for each function, on x >= 0 and on x < 0.", "",
              "| function | inputs | veltra error (ulps) |", "|---|---|---:|"]
    for study in studies:
        for side, mask in (("x >= 0", study.x >= 0), ("x < 0", study.x < 0)):
            if not mask.any():
                continue
            errors = np.where(mask, study.errors["veltra"], -1.0)
            i = int(np.argmax(errors))
            failed = " (NaN/inf)" if study.failed["veltra"][i] else ""
            lines.append(table_row((f"`{study.name}`, {side}", f"`{study.inputs(i)}`",
                                    format_ulps(errors[i]) + failed)))
    lines.append("")
    return "\n".join(lines)


# ------------------------------------------------------------------------------------------
# The plot

VELTRA_COLOUR = "#1f4e9c"
NAIVE_COLOURS = ("#f28e2b", "#c0392b")          # first and second naive formula
VARIANT_MAP = "YlOrRd"                          # one naive formula across parameter choices
FLOOR_ULPS = 0.1                                # errors below are drawn here
FAIL_DRAWN_AT = 6e17                            # NaN/inf results are drawn here


@dataclass(frozen=True)
class Axis:
    """A horizontal axis that is logarithmic in |x| on both sides of 0, with each stretch
    between consecutive knots given its own width, so that one panel can show x from 0 to
    1e300 and still give the regimes of the kernels room.  Tick values are x values."""
    knots: tuple[float, ...]
    widths: tuple[float, ...]
    ticks: tuple[float, ...]

    def functions(self):
        s_knots = signed_log10(np.array(self.knots))
        t_knots = np.concatenate([[0.0], np.cumsum(self.widths)])

        def forward(x):
            return np.interp(signed_log10(np.asarray(x, dtype=float)), s_knots, t_knots)

        def inverse(t):
            return signed_exp10(np.interp(np.asarray(t, dtype=float), t_knots, s_knots))
        return forward, inverse


LOG_OFFSET = 325.0      # sign(x) (log10|x| + 325) is 0 at 0 and 1.7 at the least subnormal


def signed_log10(x: np.ndarray) -> np.ndarray:
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(x == 0, 0.0, np.sign(x) * (np.log10(np.abs(x)) + LOG_OFFSET))


def signed_exp10(s: np.ndarray) -> np.ndarray:
    with np.errstate(over="ignore"):
        return np.where(np.abs(s) < 1, 0.0, np.sign(s) * 10.0 ** (np.abs(s) - LOG_OFFSET))


MILLS_AXIS = Axis((0.0, 1e-3, 1.0, 1e6, 1e70), (0.3, 1.5, 6.0, 3.0),
                  (0.0, 1e-2, 1.0, 10.0, 100.0, 1e3, 1e4, 1e5, 1e6, 1e20, 1e45, 1e70))
BELOW1_AXIS = Axis((0.0, 1e-20, 1e-3, 1.0), (1.5, 4.0, 3.0),
                   (0.0, 1e-100, 1e-16, 1e-12, 1e-8, 1e-4, 1e-2, 1.0))
DD_AXIS = Axis((-1.0, -1e-3, 0.0, 1e-3, 1.0, 1e6, 1e300), (1.5, 0.3, 0.3, 1.5, 6.0, 3.0),
               (-1.0, 0.0, 1.0, 10.0, 100.0, 1e3, 1e4, 1e5, 1e6, 1e100, 1e200, 1e300))
SUM_AXIS = Axis((-1.0, -1e-3, 0.0, 1e-3, 1.0, 40.0), (1.5, 0.3, 0.3, 1.5, 3.0),
                (-1.0, -0.1, 0.0, 0.1, 1.0, 10.0, 40.0))
TRUNCNORM_AXIS = Axis((0.0, 1e-3, 1e4), (0.5, 7.0),
                      (0.0, 1e-3, 1e-2, 0.1, 1.0, 10.0, 100.0, 1e3, 1e4))
INTERVAL_MEAN_AXIS = Axis((-1.0, -1e-20, 0.0, 1e-20, 1.0, 1e20, 1e300), (5.0, 1.2, 1.2, 5.0, 5.0, 3.0),
                          (-1.0, -1e-8, -1e-16, 0.0, 1e-16, 1e-8, 1.0, 1e8, 1e16, 1e100, 1e300))


@dataclass
class Panel:
    title: str
    studies: list[tuple[Study, str]]            # study and its label in the legend
    axis: Axis | None = None                    # None: linear
    bounds: Sequence[float] = ()
    select: Callable[[np.ndarray], np.ndarray] = lambda x: np.ones(x.shape, dtype=bool)
    xlim: tuple[float, float] | None = None
    legend_title: str | None = None
    xlabel: str = "x"


def study_named(studies: Sequence[Study], function: str, variant: str = "") -> Study:
    return next(s for s in studies if s.function == function and s.variant == variant)


def build_panels(studies: Sequence[Study]) -> list[Panel]:
    def one(function, variant=""):
        return [(study_named(studies, function, variant), "")]

    def several(function, variants, short=lambda v: v):
        return [(study_named(studies, function, v), short(v)) for v in variants]

    def positive(x):
        return x >= 0

    relative = [v for v, _, rel in DD_STEPS if rel]
    fixed = [v for v, _, rel in DD_STEPS if not rel]
    return [
        Panel("millsratio: R(x)", one("millsratio"), MILLS_AXIS, R_BOUNDS, positive, (-1e-300, 1e70)),
        Panel("millsratio_d1: −R′(x) = 1 − x R(x)", one("millsratio_d1"), MILLS_AXIS, R1_BOUNDS,
              positive, (-1e-300, 1e70)),
        Panel("millsratio_d3: −R‴(x) = x² + 2 − (x³ + 3x) R(x)", one("millsratio_d3"), MILLS_AXIS,
              R3_BOUNDS, positive, (-1e-300, 1e70)),
        Panel("Mills functions at x < 0",
              [(study_named(studies, f), label) for f, label in
               (("millsratio", "R"), ("millsratio_d1", "−R′"), ("millsratio_d3", "−R‴"))],
              None, (), lambda x: x < 0, (-38, 0), "naive (SciPy erfcx)"),
        Panel("millsratio_rel_below1: (√(π/2) − R(x))/x", one("millsratio_rel_below1"), BELOW1_AXIS,
              (), xlim=(-1e-300, 1)),
        Panel("millsratio_dd, step dx proportional to x", several("millsratio_dd", relative), DD_AXIS,
              DD_BOUNDS, xlim=(-1, 1e300), legend_title="naive: (R(x−dx) − R(x+dx))/(2dx)"),
        Panel("millsratio_dd, fixed step dx", several("millsratio_dd", fixed), DD_AXIS, DD_BOUNDS,
              xlim=(-1, 1e300), legend_title="naive: (R(x−dx) − R(x+dx))/(2dx)"),
        Panel("millsratio_dd, theta = −1: reflected sum",
              several("millsratio_dd", [f"theta = -1, {v}" for v, _, _ in SUM_STEPS],
                      lambda v: v.split(", ", 1)[1]), SUM_AXIS, xlim=(-1, 40),
              legend_title="naive: (R(dx−x) + R(x+dx))/(2dx)"),
        Panel("millsratio_dd_cf, dx = 1e-6·|x|, by depth n",
              several("millsratio_dd_cf", [f"n_terms = {n}, dx = 1e-6·|x|" for n in CF_DEPTHS],
                      lambda v: v.split(",")[0].replace("n_terms", "n")), DD_AXIS, DD_BOUNDS,
              xlim=(-1, 1e300), legend_title="naive: (K(x−dx) − K(x+dx))/(2dx)"),
        Panel("logrel: log(1 + x)/x", one("logrel"), INTERVAL_MEAN_AXIS, xlim=(-1, 1e300)),
    ] + [Panel(f"powrel: ((1 + x)^a − 1)/(a x), a = {a:g}", one("powrel", f"a = {a:g}"),
               INTERVAL_MEAN_AXIS, xlim=(-1, 1e300)) for a in POWREL_EXPONENTS]


def build_truncnorm_panels(studies: Sequence[Study]) -> list[Panel]:
    titles = {"truncnorm.log_prob": "truncnorm.log_prob: log P(a ≤ X ≤ a + w)",
              "truncnorm.mean": "truncnorm.mean: E[X | a ≤ X ≤ a + w]",
              "truncnorm.var": "truncnorm.var: Var[X | a ≤ X ≤ a + w]",
              "truncnorm.skew": "truncnorm.skew: skewness on [a, a + w]",
              "truncnorm.kurtosis": "truncnorm.kurtosis: excess kurtosis on [a, a + w]"}
    return [Panel(titles[function],
                  [(study_named(studies, function, v), v) for v, _ in TRUNCNORM_WIDTHS],
                  TRUNCNORM_AXIS, xlim=(-1e-300, 1e4), xlabel="a",
                  legend_title="scipy.stats.truncnorm")
            for function, _, _ in TRUNCNORM_QUANTITIES + TRUNCNORM_SHAPE_QUANTITIES]


def draw_panel(ax, panel: Panel) -> None:
    import matplotlib
    several = len(panel.studies) > 1
    shades = matplotlib.colormaps[VARIANT_MAP](np.linspace(0.3, 0.95, len(panel.studies)))
    veltra_labelled = False
    for k, (study, variant_label) in enumerate(panel.studies):
        chosen = panel.select(study.x)
        # With several variants in one panel only the first naive formula is drawn, shaded.
        formulas = study.formulas[:1] if several else study.formulas
        series = [(formula.label, shades[k] if several else NAIVE_COLOURS[j],
                   variant_label if several else formula.label, 2)
                  for j, formula in enumerate(formulas)]
        series.append(("veltra", VELTRA_COLOUR, None if veltra_labelled else "veltra", 3))
        veltra_labelled = True
        for key, colour, label, z in series:
            draw_errors(ax, study.x[chosen], study.errors[key][chosen], study.failed[key][chosen],
                        colour, label, z, small=key == "veltra")
    if panel.axis is not None:
        ax.set_xscale("function", functions=panel.axis.functions())
        ax.set_xticks(panel.axis.ticks, [format_tick(t) for t in panel.axis.ticks])
    if panel.xlim:
        ax.set_xlim(*panel.xlim)
    for b in panel.bounds:
        ax.axvline(b, color="0.45", lw=0.7, ls="--", alpha=0.35, zorder=0)
    ax.axhline(1.0, color="0.3", lw=0.6, alpha=0.5, zorder=0)
    ax.axhline(ALL_DIGITS_LOST, color="0.3", lw=0.7, ls=":", zorder=0)
    ax.set_yscale("log")
    ax.set_ylim(FLOOR_ULPS * 0.6, FAIL_DRAWN_AT * 3)
    ax.set_yticks([0.1, 1, 1e2, 1e4, 1e6, 1e8, 1e10, 1e12, ALL_DIGITS_LOST, FAIL_DRAWN_AT],
                  ["≤0.1", "1", "100", "1e4", "1e6", "1e8", "1e10", "1e12", "2⁵²", "NaN/inf"])
    ax.minorticks_off()
    ax.set_title(panel.title, fontsize=10.5)
    ax.set_xlabel(panel.xlabel, fontsize=9, labelpad=1)
    ax.set_ylabel("error [ulps]", fontsize=9, labelpad=1)
    ax.tick_params(labelsize=8)
    ax.tick_params(axis="x", labelrotation=40)
    ax.grid(axis="y", color="0.92", lw=0.5)
    handles, labels = ax.get_legend_handles_labels()
    order = sorted(range(len(labels)), key=lambda i: labels[i] == "veltra")   # veltra last
    legend = ax.legend([handles[i] for i in order], [labels[i] for i in order], fontsize=7.5,
                       markerscale=3, loc="best", framealpha=0.9, borderaxespad=0.3,
                       ncol=2 if len(labels) > 3 else 1, columnspacing=0.8, handletextpad=0.2,
                       title=panel.legend_title, title_fontsize=7.5)
    legend.set_zorder(5)


def draw_errors(ax, x, errors, failed, colour, label, zorder, small) -> None:
    """Finite errors as dots (clipped to the panel), NaN/inf as crosses on the top row."""
    y = np.clip(errors, FLOOR_ULPS, FAIL_ULPS)
    ax.plot(x[~failed], y[~failed], ".", ms=2.5 if small else 3, color=colour, label=label,
            zorder=zorder, alpha=0.85, rasterized=True)
    if failed.any():
        ax.plot(x[failed], np.full(int(failed.sum()), FAIL_DRAWN_AT), "x", ms=4, color=colour,
                zorder=zorder, alpha=0.9)


def format_tick(t: float) -> str:
    if t == 0 or 1e-2 <= abs(t) < 1e3:
        return f"{t:g}".replace("-", "−")
    exponent = int(round(math.log10(abs(t))))
    return ("−" if t < 0 else "") + f"1e{exponent}".replace("-", "−")


def plot_report(studies: Sequence[Study], path: Path) -> None:
    plot_panels(build_panels(studies), path, columns=4, key=KEY_TEXT,
                title="veltra against the naive SciPy/NumPy formulas: error in ulps of the exact value "
                      "(mpmath), every point of the grids")


def plot_truncnorm(studies: Sequence[Study], path: Path) -> None:
    plot_panels(build_truncnorm_panels(studies), path, columns=2, key=TRUNCNORM_KEY_TEXT,
                title="veltra.truncnorm against scipy.stats.truncnorm: error in ulps of the exact\n"
                      "value (mpmath) as the interval [a, a + w] moves into the tail")


def plot_panels(panels: Sequence[Panel], path: Path, columns: int, key: str, title: str) -> None:
    """The panels in rows of `columns`, the key in the first spare cell."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = math.ceil((len(panels) + 1) / columns)
    fig, axes = plt.subplots(rows, columns, figsize=(5.4 * columns, 4.1 * rows), squeeze=False)
    for ax, panel in zip(axes.flat, panels):
        draw_panel(ax, panel)
    spare = list(axes.flat[len(panels):])
    for ax in spare:
        ax.axis("off")
    spare[0].text(0.03, 0.97, key, va="top", ha="left", fontsize=10, transform=spare[0].transAxes)
    fig.suptitle(title, fontsize=14)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.41 / (4.1 * rows)), h_pad=1.0, w_pad=0.8)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    shrink_png(path)


def shrink_png(path: Path) -> None:
    """Store the figure with a 256-colour palette: it uses a handful of colours, and the file
    shrinks to a third.  Pillow comes with matplotlib."""
    from PIL import Image
    with Image.open(path) as image:
        palette = image.convert("RGB").quantize(colors=256)
    palette.save(path, optimize=True)


KEY_TEXT = """How to read this figure

• Blue dots: veltra.  Orange and red dots: the naive
  formulas named in the legends; where a panel has
  several steps or depths, the naive results shade
  from yellow to dark red.
• Vertical: |value − exact| / ulp(exact), log scale.
  A correctly rounded result is within 0.5 ulp (solid
  line: 1 ulp); errors below 0.1 ulp are drawn at 0.1.
• Dotted line at 2⁵² ulps: the error is as large as
  the value itself, no digit is left.  Crosses on the
  top row: NaN or inf where the exact value is a
  finite double.
• Dashed vertical lines: where the veltra kernels
  switch methods.
• Horizontal: log |x| on both sides of 0, with the
  stretches where nothing changes (very large or
  very small |x|) narrowed.
• x < 0: R(x) = √(2π) exp(x²/2) − R(−x); the rounding
  of x²/2 bounds every double-precision method."""


TRUNCNORM_KEY_TEXT = """How to read this figure

• Blue dots: veltra.truncnorm.  Yellow to dark red:
  scipy.stats.truncnorm, for the widths w in the
  legend (w = inf: the tail [a, inf)).
• Vertical: |value − exact| / ulp(exact), as in
  accuracy.png; dotted line at 2⁵² ulps: no digit
  left.  Errors beyond 1e17 ulps (SciPy's negative
  variances among them) are drawn at 1e17.
• SciPy keeps log P in logarithms (here from its
  logpdf at a), to within a few hundred ulps; its
  moments are differences of the truncated density
  at the two ends, which cancel in the tail and on
  narrow intervals."""


# ------------------------------------------------------------------------------------------

def run(out: Path, quick: bool = False, log=print) -> list[Study]:
    """Compute every study and write accuracy.md, accuracy.png and accuracy_truncnorm.png into out."""
    out.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    studies = compute_studies(quick=quick, log=log)
    (out / "accuracy.md").write_text(markdown_report(studies, quick), encoding="utf-8")
    plot_report(studies, out / "accuracy.png")
    plot_truncnorm(studies, out / "accuracy_truncnorm.png")
    log(f"wrote accuracy.md, accuracy.png and accuracy_truncnorm.png into {out} "
        f"in {time.perf_counter() - start:.1f} s")
    return studies


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=REPO_ROOT / "docs",
                        help="directory for accuracy.md and the plots (default: docs/)")
    parser.add_argument("--quick", action="store_true", help="few points, for a smoke test")
    args = parser.parse_args(argv)
    run(args.out, quick=args.quick, log=lambda text: print(text, file=sys.stderr))
    return 0


if __name__ == "__main__":
    sys.exit(main())
