"""veltra demo: a normal distribution truncated to intervals far in a tail.

For X ~ N(0, 1) restricted to [a, b] a statistician needs the probability of the interval,
the mean and the variance there.  The textbook formulas

    P = Phi(b) - Phi(a),   mean = (phi(a) - phi(b)) / P,
    variance = 1 + (a phi(a) - b phi(b)) / P - mean^2

evaluated with SciPy's norm.cdf and norm.pdf cancel far in a tail (Phi(b) - Phi(a) of two
numbers near 1; a variance of about 1/a^2 or (b - a)^2/12 left over from terms of size a^2),
and past |x| = 38 every term underflows to 0.  With the Mills ratio R = (1 - Phi)/phi, for
0 <= a < b, nothing cancels:

    P = phi(a) D,   D = R(a) - e^(-(b^2 - a^2)/2) R(b) = (b - a) DD + u R(b),   mean = u / D,

with u = -expm1(-(b^2 - a^2)/2) and DD = (R(a) - R(b))/(b - a), veltra's millsratio_dd at
the midpoint and half the width; log P = log phi(a) + log D stays finite however far out.
The variance comes from the moments of X - a on [a, inf), which are ratios of R, -R' and
-R''' (veltra.mills): the interval [a, b] is [a, inf) less [b, inf), and once the density has
fallen by e^4 across the interval the second piece is a small correction.  Over a narrower
interval the density is nearly flat: X is a slightly tilted uniform variable, whose moments a
short Gauss-Legendre rule gets to the last digit.  Intervals in the left tail follow by symmetry.
"""

import math

import numpy as np
from scipy.stats import norm

from veltra.mills import millsratio, millsratio_d1, millsratio_d3
from veltra.ratiodiff import millsratio_dd

try:
    import mpmath
except ImportError:  # the reference column is optional
    mpmath = None

LOG_SQRT_2PI = 0.5 * math.log(2.0 * math.pi)
INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)
INTERVALS = [(-1.0, 1.0), (2.0, 3.0), (8.0, 9.0), (30.0, 30.001), (-40.0, -39.0), (1e4, 1e4 + 1e-3), (40.0, math.inf)]

# Below this spread of the log-density over the interval, (b^2 - a^2)/2 + (b - a)^2/4, the
# density is treated as a tilted uniform one; above it, [b, inf) holds at most e^-4 of [a, inf).
FLAT_SPREAD = 8.0

# Composite 10-point Gauss-Legendre rule on [0, 1/2] (4 panels), the positive half of a rule on
# [-1/2, 1/2] that is symmetric about 0.  It integrates exp(-z s - e s^2) s^k to double
# precision for z + e/4 up to FLAT_SPREAD; NumPy's 10-point nodes are accurate to the last bit,
# its high-order ones are not.
_NODES, _WEIGHTS = np.polynomial.legendre.leggauss(10)
_PANELS = 4
HALF_NODES = ((np.arange(_PANELS)[:, None] + 0.5 + 0.5 * _NODES) / (2 * _PANELS)).ravel()
HALF_WEIGHTS = np.tile(_WEIGHTS / (4 * _PANELS), _PANELS)


def phi(x: float) -> float:
    """Standard normal density; the rounding error of x*x is carried into the result."""
    if math.isinf(x):
        return 0.0
    square = x * x
    return math.exp(-0.5 * square) * INV_SQRT_2PI * (1.0 - 0.5 * math.fma(x, x, -square))


def one_sided_moments(x: float) -> tuple[float, float]:
    """Mean and variance of X - x for X restricted to [x, inf), x >= 0.

    With R1 = -R' = 1 - x R and R'' = R - x R1, the density of X - x is proportional to
    exp(-x t - t^2/2), so E[X - x] = R1/R and E[(X - x)^2] = R''/R.  For x > 1, R - x R1
    cancels and R'' = (2 R1 - R3)/x (from R''' = 2 R' + x R'', R3 = -R''') is used instead.
    """
    r, r1 = millsratio(x), millsratio_d1(x)
    r2 = r - x * r1 if x <= 1.0 else (2.0 * r1 - millsratio_d3(x)) / x
    mean = r1 / r
    return mean, r2 / r - mean * mean


def tilted_uniform(centre: float, width: float) -> tuple[float, float, float]:
    """Moments of S on [-1/2, 1/2] with density proportional to exp(-z S - e S^2).

    z = centre*width and e = width^2/2, so that X = centre + width*S.  Returns the mean and
    variance of S and the integral of the density.  The mean is summed over pairs of nodes +s
    and -s as s e^{f(-s)} expm1(-2 z s), which has one sign, instead of as a difference, and
    the variance about that mean, so nothing cancels.
    """
    z, e = centre * width, 0.5 * width * width
    s = HALF_NODES
    at_minus = np.exp(z * s - e * s * s)
    at_plus = np.exp(-z * s - e * s * s)
    mass = float(np.sum(HALF_WEIGHTS * (at_minus + at_plus)))
    mean = float(np.sum(HALF_WEIGHTS * s * at_minus * np.expm1(-2.0 * z * s))) / mass
    d_plus, d_minus = s - mean, -s - mean
    variance = float(np.sum(HALF_WEIGHTS * (d_plus * d_plus * at_plus + d_minus * d_minus * at_minus))) / mass
    return mean, variance, mass


def truncated_normal(a: float, b: float) -> tuple[float, float, float]:
    """log P, mean and variance of N(0, 1) restricted to [a, b] (a < b, b may be inf)."""
    if a + b < 0.0:                                  # mirror image of [-b, -a]
        log_p, mean, variance = truncated_normal(-b, -a)
        return log_p, -mean, variance
    centre, width = 0.5 * (a + b), b - a             # (b^2 - a^2)/2 = centre*width
    if math.isfinite(b) and centre * width + 0.25 * width * width <= FLAT_SPREAD:
        offset, spread, mass = tilted_uniform(centre, width)
        if a >= 0.0:
            log_p, mean = tail_probability_and_mean(a, b)
        else:                                        # straddles 0: P = phi(centre) * width * mass
            log_p = -0.5 * centre * centre - LOG_SQRT_2PI + math.log(width * mass)
            mean = centre + width * offset
        return log_p, mean, width * width * spread
    if a < 0.0:                                      # wide, around the mode: nothing is small
        tails = phi(a) * millsratio(-a) + phi(b) * millsratio(b)
        p = 1.0 - tails
        mean = phi(a) * -math.expm1(-centre * width) / p
        b_phi_b = b * phi(b) if math.isfinite(b) else 0.0
        return math.log1p(-tails), mean, 1.0 + (a * phi(a) - b_phi_b) / p - mean * mean
    log_p, mean = tail_probability_and_mean(a, b)
    mean_a, var_a = one_sided_moments(a)
    if math.isinf(b):
        return log_p, mean, var_a
    # [a, inf) is a mixture of [a, b] (weight 1 - q) and [b, inf) (weight q).
    mean_b, var_b = one_sided_moments(b)
    q = math.exp(-centre * width) * millsratio(b) / millsratio(a)
    mean_ab = (mean_a - q * (width + mean_b)) / (1.0 - q)
    gap = width + mean_b - mean_ab
    return log_p, mean, (var_a - q * var_b - q * (1.0 - q) * gap * gap) / (1.0 - q)


def tail_probability_and_mean(a: float, b: float) -> tuple[float, float]:
    """log P and the mean for 0 <= a < b <= inf, from R and its divided difference."""
    if math.isinf(b):
        d, u = millsratio(a), 1.0
    else:
        x, h = 0.5 * (a + b), 0.5 * (b - a)
        u = -math.expm1(-2.0 * x * h)
        d = 2.0 * h * millsratio_dd(x, h) + u * millsratio(b)
    return -0.5 * a * a - LOG_SQRT_2PI + math.log(d), u / d


def textbook(a: float, b: float) -> tuple[float, float, float]:
    with np.errstate(all="ignore"):
        p = norm.cdf(b) - norm.cdf(a)
        mean = (norm.pdf(a) - norm.pdf(b)) / p
        b_pdf_b = b * norm.pdf(b) if math.isfinite(b) else 0.0
        variance = 1.0 + (a * norm.pdf(a) - b_pdf_b) / p - mean * mean
        return float(np.log(p)), float(mean), float(variance)


def exact(a: float, b: float) -> tuple[float, float, float]:
    """The textbook formulas in mpmath at 120 digits, through the tail on the interval's side."""
    if a + b < 0.0:
        log_p, mean, variance = exact(-b, -a)
        return log_p, -mean, variance
    with mpmath.workdps(120):
        a_, b_ = mpmath.mpf(a), mpmath.mpf(b) if math.isfinite(b) else mpmath.inf
        p = (mpmath.erfc(a_ / mpmath.sqrt(2)) - mpmath.erfc(b_ / mpmath.sqrt(2))) / 2
        pdf = lambda t: mpmath.npdf(t) if t != mpmath.inf else mpmath.mpf(0)
        t_pdf = lambda t: t * mpmath.npdf(t) if t != mpmath.inf else mpmath.mpf(0)
        mean = (pdf(a_) - pdf(b_)) / p
        variance = 1 + (t_pdf(a_) - t_pdf(b_)) / p - mean * mean
        return float(mpmath.log(p)), float(mean), float(variance)


def relative_error(value: float, reference: float) -> str:
    if not math.isfinite(value):
        return "fails"
    if value == reference:
        return "0"
    return f"{abs(value - reference) / max(abs(reference), 1e-300):.0e}"


def main() -> None:
    print(__doc__)
    rows = []
    for a, b in INTERVALS:
        reference = exact(a, b) if mpmath else (None,) * 3
        rows.append((f"[{a:.10g}, {b:.10g}]", truncated_normal(a, b), textbook(a, b), reference))
    for k, quantity in enumerate(("log P", "mean", "variance")):
        head = f"{'interval':>20}  {quantity + ', veltra':>24}  {quantity + ', textbook':>24}"
        print(head + (f"  {'rel. error':>10}  {'rel. error':>10}" if mpmath else ""))
        print(f"{'':>20}  {'':>24}  {'(SciPy)':>24}" + (f"  {'veltra':>10}  {'textbook':>10}" if mpmath else ""))
        for name, ours, theirs, reference in rows:
            line = f"{name:>20}  {ours[k]:>24.16g}  {theirs[k]:>24.16g}"
            if mpmath:
                line += f"  {relative_error(ours[k], reference[k]):>10}  {relative_error(theirs[k], reference[k]):>10}"
            print(line)
        print()
    if mpmath:
        print("Relative errors against the same quantities in mpmath at 120 digits; 'fails' = inf or nan.")


if __name__ == "__main__":
    main()
