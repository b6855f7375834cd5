"""veltra demo: the mean of a normal distribution truncated to a far tail.

For X ~ N(0, 1) conditioned on X > a, the mean is E[X | X > a] = n(a)/N(-a) = 1/R(a), the
reciprocal of the Mills ratio R(a) = N(-a)/n(a).  The textbook route divides two tail
quantities that underflow: their errors grow with a, and past a = 38.5 both are zero in
double precision, so the quotient is 0/0.  veltra evaluates R itself, which stays near 1/a.
"""

import math

import numpy as np

from veltra.mills import millsratio

try:
    import mpmath
except ImportError:  # the reference column is optional
    mpmath = None


def textbook_mean(a: float) -> float:
    """n(a) / N(-a) through erfc and exp, as usually written."""
    tail = 0.5 * math.erfc(a / math.sqrt(2.0))
    density = math.exp(-0.5 * a * a) / math.sqrt(2.0 * math.pi)
    return density / tail if tail > 0 else math.nan


def reference_mean(a: float) -> float:
    with mpmath.workdps(40):
        a = mpmath.mpf(a)
        r = mpmath.sqrt(mpmath.pi / 2) * mpmath.exp(a * a / 2) * mpmath.erfc(a / mpmath.sqrt(2))
        return float(1 / r)


def main() -> None:
    cutoffs = np.array([-3.0, 0.0, 2.0, 8.0, 27.0, 37.5, 40.0, 1e3, 1e6])
    veltra_means = 1.0 / millsratio(cutoffs)
    print(__doc__)
    header = f"{'a':>10}  {'veltra 1/R(a)':>24}  {'textbook n/N':>24}"
    if mpmath is not None:
        header += f"  {'mpmath':>24}  {'veltra err':>10}  {'textbook err':>12}"
    print(header)
    for a, mean in zip(cutoffs.tolist(), veltra_means.tolist()):
        naive = textbook_mean(a)
        line = f"{a:>10g}  {mean:>24.17g}  {naive:>24.17g}"
        if mpmath is not None:
            exact = reference_mean(a)
            line += f"  {exact:>24.17g}  {abs(mean - exact) / exact:>10.1e}"
            line += f"  {abs(naive - exact) / exact:>12.1e}" if math.isfinite(naive) else f"  {'fails':>12}"
        print(line)


if __name__ == "__main__":
    main()
