"""veltra demo: a normal distribution truncated to intervals far in a tail.

For X ~ N(0, 1) restricted to [a, b], the two quantities a statistician needs first are the
probability of the interval and the mean there:

    P = Phi(b) - Phi(a),        E[X | a <= X <= b] = (phi(a) - phi(b)) / P.

The textbook route evaluates them as written, with SciPy's norm.cdf and norm.pdf.  Far in a
tail both differences cancel (Phi(b) - Phi(a) of two numbers near 1), underflow (past x = 38
every term is 0) or both.  With the Mills ratio R = (1 - Phi)/phi, for 0 <= a < b:

    P = phi(a) * D,   D = R(a) - e^(-(b^2 - a^2)/2) R(b) = (b - a) * DD + u * R(b),
    E[X | a <= X <= b] = u / D,   u = 1 - e^(-(b^2 - a^2)/2) = -expm1(-(b^2 - a^2)/2),

where DD = (R(a) - R(b))/(b - a) is veltra.ratiodiff.millsratio_dd at the midpoint and half
the width: every term is positive, nothing cancels, and log P = log phi(a) + log D stays
finite however far out the interval lies.  Intervals in the left tail follow by symmetry.
"""

import math

import numpy as np
from scipy.stats import norm

from veltra.mills import millsratio
from veltra.ratiodiff import millsratio_dd

try:
    import mpmath
except ImportError:  # the reference column is optional
    mpmath = None

LOG_SQRT_2PI = 0.5 * math.log(2.0 * math.pi)
INTERVALS = [(-1.0, 1.0), (2.0, 3.0), (8.0, 9.0), (30.0, 30.001), (-40.0, -39.0), (1e4, 1e4 + 1e-3), (40.0, math.inf)]


def veltra_tail(a: float, b: float) -> tuple[float, float]:
    """log P and the mean for an interval in the right tail (0 <= a < b <= inf)."""
    if math.isinf(b):
        d, u = millsratio(a), 1.0
    else:
        x, h = 0.5 * (a + b), 0.5 * (b - a)
        u = -math.expm1(-2.0 * x * h)             # (b^2 - a^2)/2 = 2 x h
        d = 2.0 * h * millsratio_dd(x, h) + u * millsratio(b)
    return -0.5 * a * a - LOG_SQRT_2PI + math.log(d), u / d


def veltra_interval(a: float, b: float) -> tuple[float, float]:
    if a >= 0.0:
        return veltra_tail(a, b)
    if b <= 0.0:                                   # mirror image of [-b, -a]
        log_p, mean = veltra_tail(-b, -a)
        return log_p, -mean
    p = norm.cdf(b) - norm.cdf(a)                  # straddles 0: nothing to cancel
    return math.log(p), (norm.pdf(a) - norm.pdf(b)) / p


def textbook(a: float, b: float) -> tuple[float, float]:
    with np.errstate(all="ignore"):
        p = norm.cdf(b) - norm.cdf(a)
        return float(np.log(p)), float((norm.pdf(a) - norm.pdf(b)) / p)


def exact(a: float, b: float) -> tuple[float, float]:
    """mpmath at 80 digits, through the tail on the interval's side (erfc of the nearer end)."""
    if b <= 0.0:
        log_p, mean = exact(-b, -a)
        return log_p, -mean
    with mpmath.workdps(80):
        a_, b_ = mpmath.mpf(a), mpmath.mpf(b) if math.isfinite(b) else mpmath.inf
        p = (mpmath.erfc(a_ / mpmath.sqrt(2)) - mpmath.erfc(b_ / mpmath.sqrt(2))) / 2
        pdf = lambda t: mpmath.npdf(t) if t != mpmath.inf else mpmath.mpf(0)
        return float(mpmath.log(p)), float((pdf(a_) - pdf(b_)) / p)


def relative_error(value: float, reference: float) -> str:
    if not math.isfinite(value):
        return "fails"
    return f"{abs(value - reference) / max(abs(reference), 1e-300):.0e}"


def cell(value: float, reference) -> str:
    shown = f"{value:.15g}" if math.isfinite(value) else str(value)
    if reference is None:
        return f"{shown:>20}"
    return f"{shown:>20} ({relative_error(value, reference):>5})"


def main() -> None:
    print(__doc__)
    width = 28 if mpmath else 20
    print(f"{'interval':>20}  {'log P, veltra':>{width}}  {'log P, textbook':>{width}}  "
          f"{'mean, veltra':>{width}}  {'mean, textbook':>{width}}")
    for a, b in INTERVALS:
        log_p, mean = veltra_interval(a, b)
        naive_log_p, naive_mean = textbook(a, b)
        ref_log_p, ref_mean = exact(a, b) if mpmath else (None, None)
        print(f"{f'[{a:.10g}, {b:.10g}]':>20}  {cell(log_p, ref_log_p)}  {cell(naive_log_p, ref_log_p)}  "
              f"{cell(mean, ref_mean)}  {cell(naive_mean, ref_mean)}")
    if mpmath:
        print("\n(relative error against mpmath at 80 digits in parentheses; 'fails' = inf or nan)")


if __name__ == "__main__":
    main()
