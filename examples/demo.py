"""veltra demo: the normal distribution truncated to intervals far in a tail.

For X ~ N(0, 1) restricted to [a, b] a statistician needs log P(a <= X <= b), the mean, the
variance, and the distribution functions up to the ends of the interval.  scipy.stats.truncnorm
keeps P in logarithms, but takes the mean and the variance from the truncated density f at the
ends,

    mean = f(a) - f(b),   variance = 1 + (a - mean) f(a) - (b - mean) f(b),

which far in a tail or on a narrow interval are small differences of large terms: on
[1e4, 1e4 + 0.001], f(a) = 1e4 is exp of a difference of two numbers near -5e7 and keeps 8
digits, so does the mean, and the variance, 1e-8, is what is left of terms of size 1: SciPy's
comes out negative.  veltra.stats.truncnorm, a drop-in for it, takes every number from
veltra's kernels (the ufuncs of veltra.truncnorm), which write these quantities through the
Mills ratio R = (1 - Phi)/phi in forms that do not cancel.  The textbook column is
P = Phi(b) - Phi(a), mean = (phi(a) - phi(b))/P and variance = 1 + (a phi(a) - b phi(b))/P -
mean^2 through SciPy's norm: Phi rounds to 1 from x = 8.3 on, phi to 0 from |x| = 38.6.
Exact values: the defining integrals in mpmath, with 40 digits more than they cancel
(tests/truncnorm_reference.py).
"""

import math
import sys
import warnings
from pathlib import Path

import numpy as np
import scipy.stats

import veltra.truncnorm
from veltra.stats import truncnorm

# The mpmath references of the tests, shared with them.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import truncnorm_reference as reference  # noqa: E402

INF = math.inf
INTERVALS = [(-1.0, 1.0), (2.0, 3.0), (8.0, 9.0), (30.0, 31.0), (30.0, 30.001), (-40.0, -39.0),
             (1e4, 1e4 + 1e-3), (1e8, 1e8 + 1.0), (40.0, INF), (-INF, -35.0)]
# (method, x or q, a, b): a distribution function next to an end of the interval.
NEAR_ENDS = [("logcdf", 30.0 + 1e-9, 30.0, 30.001), ("logcdf", 1e4 + 1e-9, 1e4, 1e4 + 1e-3),
             ("logsf", -39.0 - 1e-9, -40.0, -39.0), ("isf", 1e-20, 30.0, 31.0),
             ("isf", 1e-20, 40.0, INF)]
QUANTITIES = ("log P", "mean", "variance")


def scipy_moments(a: float, b: float) -> tuple[float, float, float]:
    """log P, mean and variance from scipy.stats.truncnorm.  It has no method for log P; the
    logpdf at a finite end is log phi there minus log P."""
    end = a if math.isfinite(a) else b
    log_p = scipy.stats.norm.logpdf(end) - scipy.stats.truncnorm.logpdf(end, a, b)
    mean, variance = scipy.stats.truncnorm.stats(a, b, moments="mv")
    return float(log_p), float(mean), float(variance)


def textbook(a: float, b: float) -> tuple[float, float, float]:
    norm = scipy.stats.norm
    p = norm.cdf(b) - norm.cdf(a)
    mean = (norm.pdf(a) - norm.pdf(b)) / p
    b_pdf_b = b * norm.pdf(b) if math.isfinite(b) else 0.0
    a_pdf_a = a * norm.pdf(a) if math.isfinite(a) else 0.0
    return float(np.log(p)), float(mean), float(1.0 + (a_pdf_a - b_pdf_b) / p - mean * mean)


def relative_error(value: float, exact: float) -> str:
    if not math.isfinite(value):
        return "fails"
    if value == exact:
        return "0"
    return f"{abs(value - exact) / max(abs(exact), 1e-300):.0e}"


def interval_name(a: float, b: float) -> str:
    return f"[{a:.10g}, {b:.10g}]"


def print_table(title: str, rows: list[tuple[str, float, float, list[str]]], error_names: list[str]) -> None:
    """rows: (label, veltra's value, SciPy's value, relative errors of each named column)."""
    width = max(len(title), *(len(row[0]) for row in rows))
    value = 24                                       # the longest repr of a double
    errors = "".join(f"  {name:>8}" for name in error_names)
    print(f"{title:<{width}}  {'veltra':>{value}}  {'SciPy':>{value}}  {'rel. error vs mpmath':>{len(errors) - 2}}")
    print(f"{'':<{width}}  {'':>{value}}  {'':>{value}}{errors}")
    for label, ours, theirs, errs in rows:
        print(f"{label:<{width}}  {ours!r:>{value}}  {theirs!r:>{value}}" + "".join(f"  {e:>8}" for e in errs))
    print()


def main() -> None:
    print(__doc__)
    a = np.array([lo for lo, _ in INTERVALS])
    b = np.array([hi for _, hi in INTERVALS])
    ours = np.stack(veltra.truncnorm.moments(a, b), axis=1).tolist()   # one ufunc call
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        theirs = [scipy_moments(lo, hi) for lo, hi in INTERVALS]
        naive = [textbook(lo, hi) for lo, hi in INTERVALS]
        near_ends = [(float(getattr(truncnorm, f)(x, lo, hi)), float(getattr(scipy.stats.truncnorm, f)(x, lo, hi)))
                     for f, x, lo, hi in NEAR_ENDS]
    exact = [reference.moments(lo, hi) for lo, hi in INTERVALS]
    for k, quantity in enumerate(QUANTITIES):
        rows = [(interval_name(lo, hi), ours[i][k], theirs[i][k],
                 [relative_error(v[k], exact[i][k]) for v in (ours[i], theirs[i], naive[i])])
                for i, (lo, hi) in enumerate(INTERVALS)]
        print_table(quantity, rows, ["veltra", "SciPy", "textbook"])

    rows = []
    for (f, x, lo, hi), (value, scipy_value) in zip(NEAR_ENDS, near_ends):
        if f == "isf":
            want = float(reference.quantile(x, lo, hi, value, upper=True))
        else:
            want = (reference.log_cdf if f == "logcdf" else reference.log_sf)(x, lo, hi)
        rows.append((f"{f}({x!r}, {lo:.10g}, {hi:.10g})", value, scipy_value,
                     [relative_error(value, want), relative_error(scipy_value, want)]))
    print_table("next to an end", rows, ["veltra", "SciPy"])

    digits = [reference.digits_for(lo, hi) for lo, hi in INTERVALS]
    print(f"veltra: the ufunc veltra.truncnorm.moments(a, b), and veltra.stats.truncnorm next to an end; "
          f"SciPy {scipy.__version__}:\nscipy.stats.truncnorm.  mpmath at {min(digits)} to {max(digits)} "
          "digits for the moments.  'fails' = inf or nan.")


if __name__ == "__main__":
    main()
