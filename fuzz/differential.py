"""Differential fuzzer: the values of every public function of veltra against mpmath and exact
rationals, within the error bound that the README and the tests state for the region of the
arguments.

    python fuzz/differential.py [--seconds S] [--seed N] [--out DIR]   # random cases for S seconds
    python fuzz/differential.py --replay FILE                         # re-check saved findings

Arguments are drawn per function from a mixture: both signs; a magnitude uniform in log
scale from the smallest subnormal to 1.8e308; the neighbourhood (a few ulps, or a relative
10^-16 .. 10^-1) of every regime threshold of the kernels; plain ranges; and the special
values +-0, +-inf, NaN.  Divided differences also get steps relative to x from 1e-20 to 1e3
of either sign, steps within ulps of +-x, and midpoints placed so that x - dx lands next to
a threshold; theta is drawn from the whole int range, n_terms from -3 to 4096 (mostly small).

Every case is evaluated by the module function (a Python float, with ValueError where the
domain ends) and by the ufunc of veltra.ufuncs on a float64 array, which must give the same
bits (NaN where the module function raises), and the module's value is judged against the
reference:

- a finite reference e that rounds to a double: the value must be finite with
  |v - e| <= bound |e| + 2^-1074 (one unit of the subnormal grid, since a relative bound
  cannot hold below the normal range); +-inf only where |e| (1 + bound) reaches the
  overflow threshold 2^1024 - 2^970;
- a reference beyond the double range: +-inf of its sign (or a finite value within the bound);
- NaN in an argument: NaN, except powrel(+-0, NaN) = 1 (documented: 1 at x = 0 for every a);
- -R' and -R''' from x = 2^256 on: 0, the documented flush of values below 7.5e-155 and
  3.3e-308;
- logrel(inf), and powrel at an infinite argument where its closed form
  expm1(a log1p(x))/(a x) is inf/inf: NaN, as documented;
- another infinite argument: the limit of the function there.  The limits exist except where
  the two points of a divided difference are themselves inf - inf (x and dx both infinite,
  apart from millsratio_dd with x = -inf or theta < 0 with dx = -inf, whose limits are
  +inf and -inf along every path); only there is NaN the right answer;
- a pole (millsratio_dd_cf with a point exactly 0 at an even depth; millsratio_dd with
  theta < 0 at dx = +-0): an infinity, of either sign for the convergent, and of the sign of
  dx for the reflected sum (a positive number over a signed zero).

Bounds (relative; reflection_bound(x) = 1e-15 + (x^2/2) 2^-53 1.05 for x < 0, the rounding
of the argument x^2/2 of exp):

- millsratio 7e-16, millsratio_d1 9e-16, millsratio_d3 8e-16 for x >= 0; reflection_bound(x)
  for x < 0 (each is a sum of two positive terms there, led by the rounded exponential);
- millsratio_rel_below1 4e-16 on [0, 1]; logrel 4e-16; powrel (4 + |t|) 2.5e-16 with
  t = a log1p(x), the rounding of t reaching e^t amplified by |t|;
- millsratio_dd, theta >= 0: 2e-14 where x - |dx| >= -1 (the function is even in dx).
  Below, the kernels take the plain difference (R(a) - R(b))/(2 dx) of a = x - |dx| and
  b = x + |dx|, rounded to doubles first; rounding a by at most ulp(a)/2 moves R(a) by
  |R'(a)| ulp(a)/2, and R(a) itself is within eps_R(a) R(a) (eps_R = 7e-16 at a >= 0,
  reflection_bound(a) below), so
      |error| <= [eps_R(a) R(a) + |R'(a)| ulp(a)/2 + eps_R(b) R(b) + |R'(b)| ulp(b)/2]
                 / |R(a) - R(b)| + 3 2^-53
  relative (the last term: the subtraction, the division and the doubling of dx), times
  1.05 for the linearisation.  |R'| is taken from its majorants 1/(1 + t^2) for t >= 0
  (1 - tR < 1/(1 + t^2) since R > t/(1 + t^2)) and (1 + |t|) R(t) for t < 0 (R >= 1 there).
  For |a| near the overflow point the rounding term is |a| ulp(a)/2 ~ a^2 2^-53: twice the
  reflection term, which is why the rounded argument cannot be left out.  At dx = 0 the value
  is -R'(x): reflection_bound(x) there.
- millsratio_dd, theta < 0: the sum of two positive values at p = dx - x and q = x + dx,
  with the same terms over R(p) + R(q) and 2 2^-53 for the sum and the quotient.
- millsratio_dd_cf: the divided difference of a rational function can vanish (K_1(y) =
  y/(y^2 + 1) takes one value at 1/2 and 2), where no relative bound holds; the bound is
  (CF_BASE + CF_PER_TERM n) 2^-53 (1 + kappa), with kappa the relative condition number of
  the exact divided difference under relative changes of its two points (each point is
  rounded to a double before any arithmetic), measured from the exact value at points moved
  by 2^-40; CF_BASE and CF_PER_TERM are calibrated on the kernel (see their comment).

The truncated normal: every ufunc of veltra.truncnorm (log_prob, mean and var called one at a
time, against moments on arrays, whose outputs must be their bits; the six functions of a
point; ppf and isf) and the methods of veltra.stats.truncnorm (mean, var, std and entropy with
a scale from 1e-300 to 1e300, median, logpdf, ppf), on intervals of every kind: the test
suite's (tails, far out, around the mode, ulps wide, infinite ends), and, down to the
subnormals and up to 1.8e308, intervals next to 0 on either side or straddling it, narrow
ones (relative widths from 2^-54, absolute widths from 5e-324), a few ulps wide, wide, and
special or misordered ends; points inside (next to either end), at and beside the ends;
probabilities log-uniform into both tails.  Against tests/truncnorm_reference.py (the
defining integrals at the digits their cancellation needs), within its bounds: log P 4e-15,
mean 4e-15 |m| + 4e-16 sd, variance 1e-14 (the drop-in's products with the scale add their
roundings), logpdf 1e-14 of max(1, |value|) (the pdf relative to that), the distribution
functions 1e-14, the entropy 1e-14 of max(1, |H|); a quantile must lie in its bracket of
8 ulps plus 1e-15 min(1, b - a) (the masses on either side of it, without root finding).
The array calls take a whole round of cases at once, so that the lanes meet every kind of
interval side by side, and must give the scalar calls' bits; a warning from either is a
finding.

References: tests/support.py (mills_exact, derivatives_exact, dd_exact, convergent_dd_mp,
logrel_exact, powrel_exact), at 50 digits or more: a divided difference adds
log10(max(|x|, 1)/|dx|) digits for its cancellation, at points formed exactly from the
binary64 inputs; the convergent's cancellation is measured and its precision raised to
match.  Points below -60 are not evaluated: R there exceeds e^1800, and every quotient of
such a value by a step of at most 3.6e308 overflows.

Depth: n_terms is drawn up to 4096, as in the exception fuzzer: a kernel call then costs at
most about 0.1 ms and the reference (three evaluations at raised precision) up to about a
second; no time limit per call is needed.

Findings (a bound exceeded, a wrong special value, an unexpected exception, ufunc bits that
differ) are appended to DIR/differential-findings.jsonl (arguments as float.hex, at most
20 per function and kind) and make the exit status 1.  At the end the worst case per
function and region is printed: arguments, value, reference, relative error, bound.
"""

from __future__ import annotations

import argparse
import json
import math
import random
import sys
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import mpmath
import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import support  # noqa: E402  (the references shared with the tests)

import truncnorm_reference as tref  # noqa: E402  (the truncated normal's, from its integrals)

import veltra.intmean as intmean  # noqa: E402
import veltra.mills as mills  # noqa: E402
import veltra.ratiodiff as ratiodiff  # noqa: E402
import veltra.truncnorm as tn  # noqa: E402
import veltra.ufuncs as ufuncs  # noqa: E402
from veltra.stats import truncnorm as stats_truncnorm  # noqa: E402

EPS = 2.0 ** -53
DBL_MAX = sys.float_info.max
OVERFLOW_AT = mpmath.mpf(2) ** 1024 - mpmath.mpf(2) ** 970   # |e| from here on rounds to inf
SUBNORMAL_UNIT = 2.0 ** -1074
INF, NAN = math.inf, math.nan

R_BOUND = support.R_REL_BOUND      # 7e-16
R1_BOUND = 9e-16
R3_BOUND = 8e-16
REL_BELOW1_BOUND = 4e-16
DD_BOUND = 2e-14
LOGREL_BOUND = 4e-16
POWREL_UNIT = 2.5e-16
# millsratio_dd_cf: (CF_BASE + CF_PER_TERM n) 2^-53 (1 + kappa).  Measured on the kernel over
# random cases of every kind, in units of 2^-53 (1 + kappa): at most 1.2 (1 + n) at depths up
# to 8, 0.55 (1 + n) up to 64 and 0.3 (1 + n) up to 4096; the worst case takes about half of
# this bound.
CF_BASE = 8.0
CF_PER_TERM = 1.0
# Below this x, R(x) > e^760 and -R'(x), -R'''(x) larger still: beyond the double range.
MILLS_OVERFLOWS_BELOW = -39.0
DERIVATIVES_FLUSH_FROM = 2.0 ** 256
# Below this point R exceeds e^1800: a divided difference over a step of at most 3.6e308
# overflows whatever the other point.
DD_OVERFLOWS_BELOW = -60.0
CF_MAX_DEPTH = 4096


def eps_R(t) -> float:
    return R_BOUND if t >= 0 else support.reflection_bound(float(t))


# ---------------------------------------------------------------------------------------
# What a case must give

@dataclass
class Expected:
    """The reference for one case: a value (an mpf of any magnitude), or a special outcome:
    "+inf"/"-inf", "inf" (either sign, at a pole), "nan" (NaN argument or undefined form),
    "domain" (the module function raises ValueError, the ufunc gives NaN), "any" (only the
    bits of the two calls are compared)."""
    value: object = None
    special: str = ""
    bound: float = 0.0
    region: str = ""
    floor: float = 0.0                   # absolute allowance on top of bound |e|
    check: Callable | None = None        # a predicate on the value instead (the quantiles' bracket)


def judge(v: float, expected: Expected) -> tuple[str, float, float]:
    """The kind of finding ("" if none), the relative error of v and the share of the
    tolerance bound |e| + 2^-1074 that its error takes (above 1 is a finding)."""
    special = expected.special
    if expected.check is not None:
        return ("" if expected.check(v) else "outside the bracket of the value"), 0.0, 0.0
    if special == "any":
        return "", 0.0, 0.0
    if special == "nan":
        return ("" if math.isnan(v) else "not NaN where the value is undefined"), 0.0, 0.0
    if special in ("+inf", "-inf"):
        return ("" if v == float(special) else f"not {special}"), 0.0, 0.0
    if special == "inf":
        return ("" if math.isinf(v) else "not infinite at a pole"), 0.0, 0.0
    e, bound = expected.value, expected.bound
    if math.isnan(v):
        return "NaN where the value is defined", INF, INF
    with mpmath.workprec(256):
        ae = abs(e)
        overflows = ae >= OVERFLOW_AT
        if math.isinf(v):
            if (v > 0) != (e > 0):
                return "infinity of the wrong sign", INF, INF
            if overflows:
                return "", 0.0, 0.0
            if ae * (1 + bound) >= OVERFLOW_AT:
                share = float((OVERFLOW_AT - ae) / ae) / bound
                return "", share * bound, share
            return "infinite where the value is finite", INF, INF
        err = abs(mpmath.mpf(v) - e)
        rel = float(err / ae) if ae else (0.0 if v == 0 else INF)
        share = float(err / (bound * ae + expected.floor + SUBNORMAL_UNIT)) if math.isfinite(bound) else 0.0
        if share <= 1:
            return "", rel, share
        if overflows:
            return "finite where the value overflows", rel, share
        return "error above the bound", rel, share


# ---------------------------------------------------------------------------------------
# References per function

def expect_mills(which: int, x: float) -> Expected:
    """which: 0 for R, 1 for -R', 3 for -R'''."""
    if math.isnan(x):
        return Expected(special="nan", region="NaN")
    if x < MILLS_OVERFLOWS_BELOW:
        return Expected(special="+inf", region="x < -39 (overflows)")
    if x == INF or (which != 0 and x >= DERIVATIVES_FLUSH_FROM):
        # -R' and -R''' are 0 from 2^256 on (documented): the values below 7.5e-155 and
        # 3.3e-308 are flushed there
        return Expected(value=mpmath.mpf(0), bound=0.0, region="x = inf or flushed")
    value = support.mills_exact(x) if which == 0 else support.derivatives_exact(x)[which // 2]
    if x >= 0:
        return Expected(value, bound=(R_BOUND, R1_BOUND, None, R3_BOUND)[which], region="x >= 0")
    return Expected(value, bound=support.reflection_bound(x), region="x < 0")


def expect_rel_below1(x: float) -> Expected:
    if math.isnan(x):
        return Expected(special="nan", region="NaN")
    if not 0 <= x <= 1:
        return Expected(special="domain", region="outside [0, 1]")
    return Expected(support.rel_below1_exact(x), bound=REL_BELOW1_BOUND, region="[0, 1]")


def _slope_majorant(t, r):
    """An upper bound of |R'(t)| from R(t) = r (see the module docstring)."""
    return 1 / (1 + t * t) if t >= 0 else (1 + abs(t)) * r


def _rounding_term(t, r) -> mpmath.mpf:
    """eps_R(t) R(t) + |R'(t)| ulp(t)/2: the error of R at the rounded point t."""
    return eps_R(t) * r + _slope_majorant(t, r) * math.ulp(float(t)) / 2


def expect_dd(x: float, dx: float, theta: int) -> Expected:
    if math.isnan(x) or math.isnan(dx):
        return Expected(special="nan", region="NaN")
    if theta < 0:
        return _expect_reflected_sum(x, dx)
    expected = _expect_difference(x, dx)
    if dx < 0 and math.isfinite(x) and math.isfinite(dx):
        expected.region += ", dx < 0"      # the same bound as for -dx: the function is even
    return expected


def _expect_difference(x: float, dx: float) -> Expected:
    """(R(x - dx) - R(x + dx))/(2 dx), x and dx not NaN."""
    finite = math.isfinite(x) and math.isfinite(dx)
    if not finite:
        region = "non-finite"
        if x == -INF or (math.isinf(dx) and math.isfinite(x)):
            return Expected(special="+inf", region=region)
        if x == INF and math.isfinite(dx):
            return Expected(value=mpmath.mpf(0), region=region)
        return Expected(special="nan", region=region)      # x = +inf, dx = +-inf
    lo, hi = support.exact_points(x, abs(dx))
    if lo < DD_OVERFLOWS_BELOW:
        return Expected(special="+inf", region="theta >= 0, x - |dx| < -60 (overflows)")
    if dx == 0:
        value = support.derivatives_exact(x)[0]
        if x >= -1:
            return Expected(value, bound=DD_BOUND, region="theta >= 0, x - |dx| >= -1")
        return Expected(value, bound=support.reflection_bound(x), region="theta >= 0, dx = 0, x < -1")
    value = support.dd_exact(x, abs(dx))
    if lo >= -1:
        return Expected(value, bound=DD_BOUND, region="theta >= 0, x - |dx| >= -1")
    with mpmath.workdps(30):
        r_lo, r_hi = support.mills_exact(lo), support.mills_exact(hi)
        difference = abs(value) * (hi - lo)       # R(lo) - R(hi), without cancelling again
        cond = (_rounding_term(lo, r_lo) + _rounding_term(hi, r_hi)) / difference
    return Expected(value, bound=float(cond) * 1.05 + 3 * EPS, region="theta >= 0, x - |dx| < -1")


def _expect_reflected_sum(x: float, dx: float) -> Expected:
    """(R(dx - x) + R(x + dx)) / (2 dx), x and dx not NaN."""
    finite = math.isfinite(x) and math.isfinite(dx)
    sign = "+inf" if math.copysign(1.0, dx) > 0 else "-inf"
    if dx == 0:
        return Expected(special=sign, region="theta < 0, dx = 0 (pole)")
    if not finite:
        region = "non-finite"
        if dx == -INF or math.isfinite(dx):
            return Expected(special=sign, region=region)     # R(-inf) = inf over a finite step
        if math.isfinite(x):
            return Expected(value=mpmath.mpf(0), region=region)
        return Expected(special="nan", region=region)         # dx = +inf, x = +-inf
    p, q = support.exact_points(x, dx, -1)
    if min(p, q) < DD_OVERFLOWS_BELOW:
        return Expected(special=sign, region="theta < 0, overflows")
    value = support.dd_exact(x, dx, -1)
    with mpmath.workdps(30):
        r_p, r_q = support.mills_exact(p), support.mills_exact(q)
        cond = (_rounding_term(p, r_p) + _rounding_term(q, r_q)) / (r_p + r_q)
    return Expected(value, bound=float(cond) * 1.05 + 2 * EPS, region="theta < 0")


def cf_condition(x: float, dx: float, n: int, value) -> float:
    """Relative condition number of the convergent's divided difference under relative
    changes of its two points, from exact values at points moved by h = 2^-40."""
    if value == 0:
        return INF
    h = mpmath.mpf(2) ** -40
    a, b = support.exact_points(x, dx)
    kappa = mpmath.mpf(0)
    for moved_a, moved_b in ((mpmath.fmul(a, 1 + h, exact=True), b), (a, mpmath.fmul(b, 1 + h, exact=True))):
        other = support.convergent_dd_at(moved_a, moved_b, n, bits=60)
        if other is None:
            return INF
        kappa += abs(other - value) / (h * abs(value))
    return float(kappa)


def expect_dd_cf(x: float, dx: float, n: int) -> Expected:
    depth = 1 if n < 0 else n
    region = "n = 0" if depth == 0 else ("n <= 8" if depth <= 8 else ("n <= 64" if depth <= 64 else "n > 64"))
    if math.isnan(x) or math.isnan(dx):
        return Expected(special="nan", region="NaN")
    if math.isinf(x) and math.isinf(dx):
        return Expected(special="nan", region="non-finite")    # inf - inf in the points
    if math.isinf(x) or math.isinf(dx):
        return Expected(value=mpmath.mpf(0), region="non-finite")
    value = support.convergent_dd_mp(x, dx, n)
    if value is None:
        return Expected(special="inf", region="pole")
    kappa = cf_condition(x, dx, n, value)
    return Expected(value, bound=(CF_BASE + CF_PER_TERM * depth) * EPS * (1 + kappa), region=region)


def expect_logrel(x: float) -> Expected:
    if math.isnan(x):
        return Expected(special="nan", region="NaN")
    if not x > -1:
        return Expected(special="domain", region="x <= -1")
    if x == INF:
        return Expected(special="nan", region="x = inf (inf/inf, documented)")
    return Expected(support.logrel_exact(x), bound=LOGREL_BOUND, region="x > -1")


def powrel_limit(x: float, a: float):
    """((1 + x)^a - 1)/(a x) where x or a is infinite (x > -1, neither NaN, x != 0)."""
    if x == INF:
        if a == INF or (math.isfinite(a) and a > 1):
            return "+inf"
        if a == 1:
            return mpmath.mpf(1)
        return mpmath.mpf(0)         # 0 <= a < 1 (a = 0: logrel) and a < 0, a = -inf
    # x finite in (-1, 0) or (0, inf), a infinite
    if (a > 0) == (x > 0):
        return "+inf"                 # (1 + x)^a grows without bound faster than a x
    return mpmath.mpf(0)              # (1 + x)^a -> 0: -1/(a x) -> 0


def powrel_closed_form_is_nan(x: float, a: float) -> bool:
    """At an infinite argument powrel gives what its closed form gives in IEEE arithmetic,
    expm1(a log1p(x)) / (a x): NaN where that is inf/inf (documented)."""
    t = a * math.log1p(x)
    e = INF if t > 709 else math.expm1(t) if math.isfinite(t) else -1.0
    return math.isnan(e / (x * a)) if x * a != 0 else False


def expect_powrel(x: float, a: float) -> Expected:
    if math.isnan(x):
        return Expected(special="nan", region="NaN")
    if not x > -1:
        return Expected(special="domain", region="x <= -1")     # checked on x alone, first
    if math.isnan(a) and x != 0:
        return Expected(special="nan", region="NaN")
    if x == 0:
        return Expected(value=mpmath.mpf(1), region="x = 0")
    if math.isinf(x) or math.isinf(a):
        if powrel_closed_form_is_nan(x, a):
            return Expected(special="nan", region="non-finite (inf/inf, documented)")
        limit = powrel_limit(x, a)
        return Expected(special=limit, region="non-finite") if isinstance(limit, str) \
            else Expected(value=limit, region="non-finite")
    with mpmath.workdps(30):
        t = mpmath.mpf(a) * mpmath.log1p(x)
        # from t = 10 on, e^t - 1 > e^t / 2: the mean exceeds e^(t - log|a x|) / 2
        if t > 10 and t - mpmath.log(abs(mpmath.mpf(a) * x)) > 720:
            return Expected(special="+inf", region="mean overflows")
    t_double = a * math.log1p(x)
    xa = abs(x * a) if math.isfinite(x * a) else INF
    if a == 0:
        region = "a = 0"
    elif 0 < abs(t_double) < 2.2250738585072014e-308 or abs(float(t)) < 2.2250738585072014e-308 \
            or xa < 2.2250738585072014e-308:
        region = "a x or a log1p(x) subnormal"
    elif t > 709.78:
        region = "expm1 overflows"
    else:
        region = "ordinary"
    return Expected(support.powrel_exact(x, a), bound=(4 + abs(float(t))) * POWREL_UNIT, region=region)


# ---------------------------------------------------------------------------------------
# Drawing arguments

NEG_OVERFLOW = -math.sqrt(2 * math.log(DBL_MAX))
MILLS_EDGES = ([0.0, 1.0, 9.5, 11.4, 15.1, 24.1, 59.3, 548.0, 6.7e7] + [i / 12 for i in range(1, 12)]
               + [(32 + 2.5 * i) / (32 - i) for i in range(1, 26)])           # poly_mid segments
D1_EDGES = [0.0, 1.0, 11.5, 14.5, 21.2, 41.0, 165.0, 12800.0, math.sqrt(DBL_MAX), 2.0 ** 537]
D3_EDGES = ([0.0, 17.1, 25.4, 50.5, 210.0, 17300.0, 2.0 ** 256, 2.0 ** 269]
            + [3.5 * i / (50 - i) for i in range(1, 45)])                     # poly_d3 segments
NEGATIVE_EDGES = [NEG_OVERFLOW, -38.5, -39.0, -1.0, -1.25]
DD_EDGES = [-60.0, -1.0, -1.25, 0.0, 21.2, 41.0, 165.0, 12800.0, 1e4] + NEGATIVE_EDGES + MILLS_EDGES
# Where the point x - dx changes the kernel's method or the result's range: the overflow of
# R, the edge of the 2e-14 region, the convergent depths.
DD_POINT_EDGES = [-60.0, -39.0, -38.5, NEG_OVERFLOW, -1.25, -1.0, 0.0, 21.2, 41.0, 165.0, 12800.0]
CF_EDGES = [0.0, 1.0, 2.0, 1e150, math.sqrt(DBL_MAX), 1e-150]
LOGREL_EDGES = [-1.0, 0.0, 1e-8, 1.0, 1e16]
SPECIALS = [0.0, -0.0, INF, -INF, NAN, 5e-324, -5e-324, 2.2250738585072014e-308, -2.2250738585072014e-308,
            DBL_MAX, -DBL_MAX, 1.0, -1.0]
THETAS = [-2 ** 31, -7, -1, 0, 1, 2, 2 ** 31 - 1]


class Draw:
    def __init__(self, rng: np.random.Generator):
        self.rng = rng
        self._py_rng = None

    @property
    def py_rng(self) -> random.Random:
        """A random.Random drawn from rng, for the test suite's interval and point draws."""
        if self._py_rng is None:
            self._py_rng = random.Random(int(self.rng.integers(2 ** 63)))
        return self._py_rng

    def choice(self, items):
        return items[int(self.rng.integers(len(items)))]

    def log_magnitude(self) -> float:
        """|v| uniform in log scale from 5e-324 to 1.8e308, either sign."""
        v = 10.0 ** min(self.rng.uniform(-323.3, 308.25), 308.25)
        return v if self.rng.random() < 0.5 else -v

    def near(self, t: float) -> float:
        if self.rng.random() < 0.5:
            return math.nextafter(t, INF if self.rng.random() < 0.5 else -INF, steps=int(self.rng.integers(0, 5)))
        return t * (1 + self.choice([-1, 1]) * 10.0 ** self.rng.uniform(-16, -1)) if t else self.log_magnitude()

    def real(self, edges) -> float:
        u = self.rng.random()
        if u < 0.05:
            return self.choice(SPECIALS)
        if u < 0.35:
            t = self.choice(edges)
            return self.near(t if self.rng.random() < 0.7 else -t)
        if u < 0.55:
            return self.rng.uniform(-45, 45)
        if u < 0.62:
            return self.rng.uniform(-2, 2)
        return self.log_magnitude()

    def step(self, x: float, edges, point_edges) -> tuple[float, float]:
        """A midpoint and a half-step, in one of several relations; point_edges are the
        thresholds for the point x - dx."""
        mode = int(self.rng.integers(6))
        sign = self.choice([-1.0, 1.0])
        if mode == 0:                       # independent
            return x, self.real(edges)
        if mode == 1:                       # relative to |x|, from 1e-20 to 1e3
            return x, sign * abs(x) * 10.0 ** self.rng.uniform(-20, 3)
        if mode == 2:                       # dx next to +-x: a point next to 0
            return x, sign * self.near(x)
        if mode == 3:                       # x - dx next to a threshold
            dx = self.real(edges)
            return self.near(self.choice(point_edges)) + dx, dx
        if mode == 4:                       # the Taylor edge of millsratio_dd
            return x, sign * self.near((x + 1.25) * 0.0392)
        return x, sign * max(abs(x), 1.0) * 10.0 ** self.rng.uniform(-330, -8)   # tiny steps

    def depth(self) -> int:
        u = self.rng.random()
        if u < 0.6:
            return int(self.rng.integers(-3, 13))
        if u < 0.85:
            return int(self.rng.integers(13, 65))
        if u < 0.97:
            return int(np.exp(self.rng.uniform(np.log(65), np.log(1000))))
        return int(np.exp(self.rng.uniform(np.log(1000), np.log(CF_MAX_DEPTH))))


# ---------------------------------------------------------------------------------------
# The functions under test

@dataclass
class Target:
    name: str
    function: Callable            # module function, called with Python scalars
    ufunc: Callable               # the ufunc, called with float64 (and int64) arrays
    draw: Callable                # Draw -> argument tuple
    expect: Callable              # arguments -> Expected
    weight: int = 1               # cases per round, relative to the others
    nan_bits: bool = True         # whether the two calls' NaNs must have the same bits too


def _draw_dd(d: Draw):
    x, dx = d.step(d.real(DD_EDGES), DD_EDGES, DD_POINT_EDGES)
    return x, dx, d.choice(THETAS)


def _draw_dd_cf(d: Draw):
    x, dx = d.step(d.real(CF_EDGES + DD_EDGES), CF_EDGES + DD_EDGES, CF_EDGES)
    return x, dx, d.depth()


def _draw_powrel(d: Draw):
    x = d.real(LOGREL_EDGES) if d.rng.random() < 0.8 else -1 + 10.0 ** d.rng.uniform(-17, 0)
    u = d.rng.random()
    if u < 0.25 and math.isfinite(x) and x > -1 and x != 0:     # t = a log1p(x) next to expm1's overflow
        a = d.near(709.78 / math.log1p(x)) * d.choice([1.0, 1.5, 3.0])
    elif u < 0.45:
        a = d.choice([1.0, -1.0]) * 10.0 ** d.rng.uniform(-323.6, -300)     # subnormal and tiny
    else:
        a = d.real([0.0, 1.0, 2.0, 0.5, 40.0])
    return x, a


TARGETS = [
    Target("millsratio", mills.millsratio, ufuncs.millsratio,
           lambda d: (d.real(MILLS_EDGES + NEGATIVE_EDGES),), lambda x: expect_mills(0, x)),
    Target("millsratio_d1", mills.millsratio_d1, ufuncs.millsratio_d1,
           lambda d: (d.real(D1_EDGES + NEGATIVE_EDGES),), lambda x: expect_mills(1, x)),
    Target("millsratio_d3", mills.millsratio_d3, ufuncs.millsratio_d3,
           lambda d: (d.real(D3_EDGES + NEGATIVE_EDGES),), lambda x: expect_mills(3, x)),
    Target("millsratio_rel_below1", mills.millsratio_rel_below1, ufuncs.millsratio_rel_below1,
           lambda d: (d.real([0.0, 1.0] + [i / 12 for i in range(1, 12)]) if d.rng.random() < 0.3
                      else d.rng.uniform(0, 1),), expect_rel_below1),
    Target("millsratio_dd", ratiodiff.millsratio_dd, ufuncs.millsratio_dd, _draw_dd, expect_dd, weight=3),
    Target("millsratio_dd_cf", ratiodiff.millsratio_dd_cf, ufuncs.millsratio_dd_cf, _draw_dd_cf, expect_dd_cf, weight=2),
    Target("logrel", intmean.logrel, ufuncs.logrel,
           lambda d: (d.real(LOGREL_EDGES) if d.rng.random() < 0.8 else -1 + 10.0 ** d.rng.uniform(-17, 0),),
           expect_logrel),
    Target("powrel", intmean.powrel, ufuncs.powrel, _draw_powrel, expect_powrel, weight=2),
]


# ---------------------------------------------------------------------------------------
# The truncated normal: the ufuncs of veltra.truncnorm and the methods of
# veltra.stats.truncnorm, against tests/truncnorm_reference.py within the kernels' bounds


def tiny_or_huge(d: Draw, low: float = -323.6, high: float = 308.25) -> float:
    """|v| uniform in log10 between low and high, either sign."""
    v = 10.0 ** d.rng.uniform(low, high)
    return v if d.rng.random() < 0.5 else -v


def draw_interval(d: Draw) -> tuple[float, float]:
    """An interval of one of several kinds: the test suite's own (tails, far out, around the
    mode, ulps wide, infinite ends) below 1e8; around 0 with ends down to the subnormals,
    straddling it or not; narrow (relative or absolute width) at any magnitude up to 1.8e308;
    wide; a few ulps wide anywhere; special ends, and ends in the wrong order.  Mirrored half
    of the time."""
    u = d.rng.random()
    if u < 0.3:
        a, b = tref.random_interval(d.py_rng, d.choice(tref.KINDS))
    elif u < 0.5:                                   # next to 0, straddling it or on one side
        size = 10.0 ** d.rng.uniform(-323.6, 0.0)   # ends of that size, or up to 1e6 smaller
        a, b = sorted([size * tiny_or_huge(d, -6.0, 0.0), size * tiny_or_huge(d, -6.0, 0.0)])
        if d.rng.random() < 0.2:
            a = d.choice([0.0, -0.0, 5e-324])
    elif u < 0.65:                                  # narrow, relative to the magnitude
        a = tiny_or_huge(d)
        b = a + abs(a) * 10.0 ** d.rng.uniform(-16.3, 0.5)
    elif u < 0.75:                                  # narrow, absolute
        a = tiny_or_huge(d)
        b = a + 10.0 ** d.rng.uniform(-323.6, 1.0)
    elif u < 0.83:                                  # a few ulps wide
        a = tiny_or_huge(d)
        b = math.nextafter(a, INF, steps=int(d.rng.integers(1, 5)))
    elif u < 0.93:                                  # wide, or with an infinite end
        a, b = sorted([tiny_or_huge(d, -3.0), tiny_or_huge(d, -3.0)])
        if d.rng.random() < 0.3:
            b = INF
    else:                                           # special ends, in either order
        a, b = d.choice(SPECIALS + NEGATIVE_EDGES), d.real([0.0, 1.0, 38.0])
    return (a, b) if d.rng.random() < 0.5 else (-b, -a)


def draw_point(d: Draw, a: float, b: float) -> float:
    """A point inside (a, b) (the test suite's: uniform, next to either end), an end or its
    neighbour outside, or any double."""
    u = d.rng.random()
    if u < 0.7 and a < b:
        inside = tref.points_in(a, b, d.py_rng, 1)
        if inside:
            return inside[0]
    if u < 0.85:
        return d.choice([a, b, math.nextafter(a, -INF), math.nextafter(b, INF)])
    return d.real([0.0, 1.0, 38.0])


def draw_probability(d: Draw) -> float:
    u = d.rng.random()
    if u < 0.05:
        return d.choice([0.0, 1.0, 0.5, NAN, -0.25, 1.5, 1 - EPS, 5e-324])
    if u < 0.45:
        q = 10.0 ** d.rng.uniform(-323.6, 0.0)       # either tail, down to the subnormals
        return q if d.rng.random() < 0.5 else 1.0 - q
    return d.rng.random()


def interval_region(a: float, b: float) -> str:
    lo, hi = (a, b) if a + b >= 0 else (-b, -a)
    if math.isinf(hi):
        return "an infinite end"
    if hi < 1e-150:
        return "next to 0 (ends below 1e-150)" + (", straddling it" if lo < 0 else "")
    if hi - lo <= 4 * math.ulp(hi):
        return "a few ulps wide"
    if lo < 0:
        return "around the mode"
    return "tail" if lo < 1e8 else "tail beyond 1e8"


def invalid_interval(a: float, b: float, drop_in: bool = False) -> Expected | None:
    """NaN for a NaN end, a > b or a == b == +-inf, and for the drop-in (`drop_in`) at a == b,
    as in SciPy; only the bits for a point interval where the ufunc's value is not stated."""
    if not a <= b or (a == b and (math.isinf(a) or drop_in)):
        return Expected(special="nan", region="invalid interval")
    if a == b:
        return Expected(special="any", region="a point interval")
    return None


def _of_float(value, region: str, **bounds) -> Expected:
    """An Expected for a reference that may be a float (an infinity, or an exact 0 or 1)."""
    if isinstance(value, float):
        if math.isinf(value):
            return Expected(special="+inf" if value > 0 else "-inf", region=region)
        return Expected(value=mpmath.mpf(value), region=region)
    return Expected(value, region=region, **bounds)


def expect_interval(which: str, a: float, b: float, scale: float | None = None) -> Expected:
    """log_prob, mean, var, std or entropy of [a, b]; of the drop-in with `scale`: times scale
    (plus log scale for the entropy), each product adding a rounding."""
    drop_in = scale is not None
    invalid = invalid_interval(a, b, drop_in)
    scale = scale if drop_in else 1.0
    if invalid is not None:
        if a == b and which in ("log_prob", "mean", "var") and math.isfinite(a) and not drop_in:
            value = {"log_prob": -INF, "mean": a, "var": 0.0}[which]
            return _of_float(value, invalid.region)
        return invalid
    region = interval_region(a, b)
    if which == "entropy":
        with mpmath.workdps(60):
            standard = tref.entropy_mp(a, b)
            value = standard + mpmath.log(scale)
            # the standard entropy's own bound, then the sum with log scale, which may cancel it
            floor = float(tref.ENTROPY_TOL * max(1, abs(standard)) + EPS * abs(mpmath.log(scale)))
        return Expected(value, bound=2 * EPS, floor=floor, region=region)
    log_p, mean, var = tref.moments_mp(a, b)
    if which == "log_prob":
        return Expected(log_p, bound=tref.LOG_PROB_RTOL, region=region)
    if which == "mean":
        return Expected(mean * scale, bound=tref.MEAN_RTOL + 2 * EPS,
                        floor=float(tref.MEAN_SD_TOL * mpmath.sqrt(var) * scale), region=region)
    if which == "var":
        return Expected(var * scale * scale, bound=tref.VAR_RTOL + 3 * EPS, region=region)
    return Expected(mpmath.sqrt(var) * scale, bound=tref.VAR_RTOL / 2 + 3 * EPS, region=region)


def expect_point(kind: str, x: float, a: float, b: float, drop_in: bool = False) -> Expected:
    invalid = invalid_interval(a, b, drop_in)
    if invalid is not None or math.isnan(x):
        return invalid if invalid is not None else Expected(special="nan", region="NaN")
    region = interval_region(a, b)
    value = tref.distribution_mp(kind, x, a, b)
    if kind == "logpdf":
        return _of_float(value, region, bound=tref.LOGPDF_TOL, floor=tref.LOGPDF_TOL if abs(value) < 1 else 0.0)
    if kind == "pdf":
        log_value = tref.log_pdf_mp(x, a, b)
        bound = tref.LOGPDF_TOL * max(1.0, abs(float(log_value))) if not isinstance(value, float) else 0.0
        return _of_float(value, region, bound=bound)
    return _of_float(value, region, bound=tref.LOGCDF_RTOL)


def expect_quantile(upper: bool, q: float, a: float, b: float, drop_in: bool = False) -> Expected:
    invalid = invalid_interval(a, b, drop_in)
    if invalid is not None and invalid.special == "nan":
        return invalid
    if not 0 <= q <= 1:
        return Expected(special="nan", region="q outside [0, 1] or NaN")
    if a == b or q in (0.0, 1.0):
        end = a if (a == b or (q == 0) != upper) else b
        return _of_float(end, "q = 0 or 1, or a point interval")

    def bracketed(v: float) -> bool:
        return math.isfinite(v) and tref.quantile_is_bracketed(q, a, b, v, upper)
    return Expected(region=interval_region(a, b), check=bracketed)


def draw_scale(d: Draw) -> float:
    return 1.0 if d.rng.random() < 0.5 else 10.0 ** d.rng.uniform(-300.0, 300.0)


def _stats_method(name: str):
    method = getattr(stats_truncnorm, name)
    if name in ("mean", "var", "std", "entropy"):
        return lambda a, b, scale: method(a, b, 0.0, scale)
    return method


POINT_KINDS = ("logpdf", "pdf", "logcdf", "logsf", "cdf", "sf")
TRUNCNORM_TARGETS = [
    # log_prob, mean and var: the scalar call of each ufunc, and moments on arrays (its three
    # outputs must be those bits)
    *[Target(f"truncnorm.{which}", getattr(tn, which),
             lambda a, b, k=k: tn.moments(a, b)[k], lambda d: draw_interval(d),
             lambda a, b, which=which: expect_interval(which, a, b), weight=2)
      for k, which in enumerate(("log_prob", "mean", "var"))],
    *[Target(f"truncnorm.{kind}", getattr(tn, kind), getattr(tn, kind),
             lambda d: (lambda a, b: (draw_point(d, a, b), a, b))(*draw_interval(d)),
             lambda x, a, b, kind=kind: expect_point(kind, x, a, b)) for kind in POINT_KINDS],
    *[Target(f"truncnorm.{name}", getattr(tn, name), getattr(tn, name),
             lambda d: (draw_probability(d), *draw_interval(d)),
             lambda q, a, b, upper=upper: expect_quantile(upper, q, a, b), weight=2)
      for name, upper in (("ppf", False), ("isf", True))],
    # the drop-in: the summaries with a scale, scalar and array calls of the method
    *[Target(f"stats.truncnorm.{which}", _stats_method(which), _stats_method(which),
             lambda d: (*draw_interval(d), draw_scale(d)),
             lambda a, b, scale, which=which: expect_interval(which, a, b, scale), weight=2, nan_bits=False)
      for which in ("mean", "var", "std", "entropy")],
    Target("stats.truncnorm.median", stats_truncnorm.median, stats_truncnorm.median, lambda d: draw_interval(d),
           lambda a, b: expect_quantile(False, 0.5, a, b, drop_in=True), nan_bits=False),
    Target("stats.truncnorm.logpdf", stats_truncnorm.logpdf, stats_truncnorm.logpdf,
           lambda d: (lambda a, b: (draw_point(d, a, b), a, b))(*draw_interval(d)),
           lambda x, a, b: expect_point("logpdf", x, a, b, drop_in=True), nan_bits=False),
    Target("stats.truncnorm.ppf", stats_truncnorm.ppf, stats_truncnorm.ppf,
           lambda d: (draw_probability(d), *draw_interval(d)),
           lambda q, a, b: expect_quantile(False, q, a, b, drop_in=True), nan_bits=False),
]
TARGETS += TRUNCNORM_TARGETS


# ---------------------------------------------------------------------------------------
# Running and reporting

@dataclass
class Worst:
    ratio: float = -1.0
    case: dict = field(default_factory=dict)


@dataclass
class Run:
    out: Path | None = None
    per_kind_limit: int = 20
    evaluations: int = 0
    started: float = field(default_factory=time.monotonic)
    findings: list = field(default_factory=list)
    first: dict = field(default_factory=dict)  # (function, kind, region) -> (seconds, evaluations, case)
    counts: dict = field(default_factory=dict)
    worst: dict = field(default_factory=dict)          # (function, region) -> Worst

    def record(self, case: dict) -> None:
        key = (case["function"], case["kind"], case["region"])
        self.counts[key] = self.counts.get(key, 0) + 1
        if key not in self.first:
            self.first[key] = (time.monotonic() - self.started, self.evaluations, case)
        if self.counts[key] <= self.per_kind_limit:
            self.findings.append(case)
            if self.out is not None:
                self.out.mkdir(parents=True, exist_ok=True)
                with open(self.out / "differential-findings.jsonl", "a") as f:
                    f.write(json.dumps(case) + "\n")


def _show(v) -> str:
    return repr(v) if isinstance(v, (int, float)) else mpmath.nstr(v, 17)


def _case(target: Target, args, value, expected: Expected, kind: str, rel: float) -> dict:
    reference = expected.special or mpmath.nstr(expected.value, 20)
    return {"function": target.name, "kind": kind, "region": expected.region,
            "args": [float.hex(float(v)) if isinstance(v, float) else v for v in args],
            "args_repr": [repr(v) for v in args], "value": repr(value), "reference": reference,
            "rel_error": rel, "bound": expected.bound}


def _ufunc_values(target: Target, cases: list) -> list[float]:
    """The ufunc on arrays of all the cases at once (so that blocks of lanes see arguments of
    every kind side by side), element by element."""
    arrays = [np.array(column, dtype=np.float64 if isinstance(column[0], float) else np.int64)
              for column in zip(*cases)]
    return np.asarray(target.ufunc(*arrays), dtype=np.float64).ravel().tolist()


def _same_bits(u: float, v: float) -> bool:
    return np.float64(u).view(np.uint64) == np.float64(v).view(np.uint64)


def check_case(target: Target, args, run: Run, ufunc_value: float | None = None) -> None:
    expected = target.expect(*args)
    run.evaluations += 1
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            value = target.function(*args)
        except ValueError:
            value = None
        except Exception as error:  # noqa: BLE001  (any other exception is a finding)
            run.record(_case(target, args, repr(error), expected, "unexpected exception", INF))
            return
        if ufunc_value is None:
            [ufunc_value] = _ufunc_values(target, [args])
    for warning in caught:
        run.record(_case(target, args, f"{warning.category.__name__}: {warning.message}", expected, "a warning", INF))
    if expected.special == "domain":
        if value is not None:
            run.record(_case(target, args, value, expected, "no ValueError outside the domain", INF))
        if not math.isnan(ufunc_value):
            run.record(_case(target, args, ufunc_value, expected, "ufunc not NaN outside the domain", INF))
        return
    if value is None:
        run.record(_case(target, args, "ValueError", expected, "ValueError inside the domain", INF))
        return
    if not (_same_bits(value, ufunc_value) or (not target.nan_bits and math.isnan(value) and math.isnan(ufunc_value))):
        run.record(_case(target, args, f"{value!r} (ufunc {ufunc_value!r})", expected, "ufunc bits differ", INF))
    kind, rel, ratio = judge(value, expected)
    if kind:
        run.record(_case(target, args, value, expected, kind, rel))
        return
    if expected.value is not None and (expected.bound > 0 or expected.floor > 0) and math.isfinite(expected.bound):
        worst = run.worst.setdefault((target.name, expected.region), Worst())
        if ratio > worst.ratio:
            worst.ratio = ratio
            worst.case = _case(target, args, value, expected, "", rel)


def fuzz(seconds: float | None = None, cases_per_target: int | None = None, seed: int | None = None,
         out: Path | None = None, targets=TARGETS, batch: int = 8) -> Run:
    """Round-robin over the targets, `batch` cases times the target's weight each in turn,
    until the time is up or every target had `cases_per_target` cases per unit of weight."""
    run = Run(out=out)
    draw = Draw(np.random.default_rng(seed))
    deadline = None if seconds is None else time.monotonic() + seconds
    done = 0
    while True:
        for target in targets:
            cases = [target.draw(draw) for _ in range(batch * target.weight)]
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                values = _ufunc_values(target, cases)
            if caught:  # the cases one at a time tell which
                values = [None] * len(cases)
            for args, ufunc_value in zip(cases, values):
                check_case(target, args, run, ufunc_value)
        done += batch
        if deadline is not None and time.monotonic() >= deadline:
            break
        if cases_per_target is not None and done >= cases_per_target:
            break
    return run


def report(run: Run, seconds: float) -> str:
    lines = [f"differential fuzzing: {run.evaluations} evaluations in {seconds:.0f} s"]
    lines.append("worst case per function and region (relative error / bound):")
    for (name, region), worst in sorted(run.worst.items()):
        c = worst.case
        lines.append(f"  {name:22s} {region:36s} {worst.ratio:9.3g}  f({', '.join(c['args_repr'])}) = "
                     f"{c['value']}, reference {c['reference']}, rel. error {c['rel_error']:.3g}, "
                     f"bound {c['bound']:.3g}")
    if run.first:
        lines.append("findings (first of each kind: seconds, evaluations before it, case):")
        for key, (at, count, c) in sorted(run.first.items(), key=lambda item: item[1][0]):
            lines.append(f"  {key[0]:22s} {key[1]:36s} x{run.counts[key]:<6d} at {at:6.1f} s, "
                         f"{count:7d}: f({', '.join(c['args_repr'])}) = {c['value']}, reference "
                         f"{c['reference']} [{key[2]}]")
    else:
        lines.append("no finding")
    return "\n".join(lines)


def replay(path: Path) -> Run:
    run = Run()
    by_name = {t.name: t for t in TARGETS}
    for line in path.read_text().splitlines():
        case = json.loads(line)
        args = tuple(float.fromhex(v) if isinstance(v, str) else v for v in case["args"])
        check_case(by_name[case["function"]], args, run)
    return run


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--out", type=Path, default=ROOT / "build")
    parser.add_argument("--replay", type=Path, default=None)
    options = parser.parse_args(argv)
    started = time.monotonic()
    if options.replay is not None:
        run = replay(options.replay)
    else:
        seed = options.seed if options.seed is not None else int(np.random.SeedSequence().entropy % 2 ** 32)
        print(f"differential fuzzing for {options.seconds:g} s, seed {seed}", flush=True)
        (options.out / "differential-findings.jsonl").unlink(missing_ok=True)
        run = fuzz(seconds=options.seconds, seed=seed, out=options.out)
    print(report(run, time.monotonic() - started))
    if run.findings and options.replay is None:
        print(f"findings written to {options.out / 'differential-findings.jsonl'}")
    return 1 if run.findings else 0


if __name__ == "__main__":
    sys.exit(main())
