"""Speed of veltra.truncnorm next to scipy.stats.truncnorm and veltra.ratiodiff.millsratio_dd.

Run from the repository root in an environment with veltra, NumPy and SciPy::

    python benchmarks/bench_truncnorm.py            # 1e6 intervals
    python benchmarks/bench_truncnorm.py --quick    # 1e5 intervals, fewer repeats

The inputs are random intervals of every kind, in equal shares: tail intervals of any width,
far ones (|a| up to 1e8) narrow relative to their distance, intervals around the mode, one to
four ulps wide, one end infinite, near the origin with widths of order one, and around
z = (b^2 - a^2)/2 of order one where the kernels change method; half of them mirrored.  Points
x are uniform inside (within 40 of a finite end for an infinite interval), probabilities q
uniform in (0, 1).  A fixed seed makes every run time the same values.

Each ufunc is timed on the whole array (minimum over repeats, ns per element), and so is
SciPy's method of the same name where one call takes about a second (logpdf, pdf, ppf, isf,
rvs): SciPy's cost per element grows with the array, as its temporaries leave the caches, so
the same size is the fair comparison.  SciPy's logcdf, logsf, cdf and sf recurse without end
where both log F and log S of its first step exceed -0.1 (points inside intervals a few ulps
wide): those inputs, found from that first step (SciPy's own _log_gauss_mass) for the whole
array, are left out of both timings.  The slow ones (stats, mean, var at up to 100 us per
element) are timed on a subsample of the same inputs, which favours SciPy.  skew,kurt is
skew and kurtosis, two ufunc calls, against one call of SciPy's stats(moments='sk').
millsratio_dd is timed on the intervals' centres and half-widths, an array of the same size.
rvs draws one variate per interval through veltra.stats.truncnorm and scipy.stats.truncnorm,
each from a Generator with the same seed.
log_prob has no SciPy method; it is set against the textbook log(ndtr(b) - ndtr(a)).  The
ratios printed come from this one run; on a shared machine they move by 10% or so.
"""

from __future__ import annotations

import argparse
import math
import time
import warnings

import numpy as np
from scipy import special, stats

import veltra.truncnorm as tn
from veltra.stats import truncnorm as veltra_truncnorm
from veltra.ratiodiff import millsratio_dd
from veltra.ufuncs import millsratio_dd as millsratio_dd_ufunc

KINDS = 7


def random_intervals(n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    kind = np.arange(n) % KINDS
    u = rng.random((4, n))
    a = np.empty(n)
    b = np.empty(n)
    # tail, width 1e-12 .. 30
    k = kind == 0
    a[k] = 60 * u[0, k]
    b[k] = a[k] + 10 ** (-12 + 13.5 * u[1, k])
    # far, width relative to the distance
    k = kind == 1
    a[k] = 10 ** (-3 + 11 * u[0, k])
    b[k] = a[k] + a[k] * 10 ** (-15 + 15.5 * u[1, k])
    # around the mode
    k = kind == 2
    a[k] = -(10 ** (-12 + 13.5 * u[0, k]))
    b[k] = 10 ** (-12 + 13.5 * u[1, k])
    # one to four ulps wide
    k = kind == 3
    a[k] = np.where(u[2, k] < 0.5, -1.0, 1.0) * 10 ** (-5 + 13 * u[0, k])
    steps = 1 + (4 * u[1, k]).astype(int)
    bk = a[k].copy()
    for s in range(4):
        bk = np.where(steps > s, np.nextafter(bk, np.inf), bk)
    b[k] = bk
    # one end infinite
    k = kind == 4
    a[k] = np.where(u[2, k] < 0.7, -40 + 100 * u[0, k], 10 ** (-5 + 13 * u[0, k]))
    b[k] = np.inf
    # near the origin, widths of order one
    k = kind == 5
    a[k] = -3 + 6 * u[0, k]
    b[k] = a[k] + 10 ** (-3 + 4 * u[1, k])
    # around z of order one
    k = kind == 6
    a[k] = 10 ** (-1 + 3 * u[0, k])
    b[k] = a[k] + 10 ** (-1 + 1.8 * u[1, k]) / a[k]
    flip = u[3] < 0.5
    a, b = np.where(flip, -b, a), np.where(flip, -a, b)
    order = rng.permutation(n)
    return a[order], b[order]


def points_inside(a, b, rng):
    lo = np.where(np.isfinite(a), a, b - 40)
    hi = np.where(np.isfinite(b), b, lo + 40)
    return np.clip(lo + (hi - lo) * rng.random(a.size), a, b)


def scipy_time(call, subsample: np.ndarray, repeats: int, refused: dict) -> tuple[float, str]:
    """Seconds per element of SciPy's call on the subsample, in one call.  Where SciPy raises
    (truncnorm.logcdf and the functions built on it recurse without end on some narrow
    intervals), the inputs it raises on are found one by one, once, and left out."""
    try:
        return best(lambda: call(subsample), repeats) / subsample.size, ""
    except RecursionError:
        pass
    if "kept" in refused:
        try:
            kept = refused["kept"]
            return best(lambda: call(kept), repeats) / kept.size, refused["note"]
        except RecursionError:
            pass
    kept = []
    for i in subsample:
        try:
            call(slice(i, i + 1))
            kept.append(i)
        except RecursionError:
            pass
    refused["kept"] = kept = np.array(kept)
    refused["note"] = f" ({subsample.size - kept.size} of {subsample.size} inputs left out: SciPy raised RecursionError)"
    return best(lambda: call(kept), repeats) / kept.size, refused["note"]


def scipy_terminates(x: np.ndarray, a: np.ndarray, b: np.ndarray) -> np.ndarray | None:
    """Where truncnorm.logcdf (and logsf, cdf, sf) of SciPy returns: its first step takes
    log F = m(a, x) - m(a, b) and log S = m(x, b) - m(a, b), and each side above -0.1 is
    recomputed from the other, which never ends where both are.  None if SciPy's helper m
    is not where it was (then the inputs are screened one by one on a subsample)."""
    try:
        from scipy.stats._continuous_distns import _log_gauss_mass
    except ImportError:
        return None
    inside = (a < x) & (x < b)
    whole = _log_gauss_mass(a, b)
    loops = inside & (_log_gauss_mass(a, x) - whole > -0.1) & (_log_gauss_mass(x, b) - whole > -0.1)
    return ~loops


def best(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


# SciPy's methods that are timed on the whole array (about a second each on 1e6 elements), and
# those timed on the whole array less the inputs they recurse on.
WHOLE_ARRAY = {"log_prob", "logpdf", "pdf", "ppf", "isf", "rvs"}
SCREENED = {"logcdf", "logsf", "cdf", "sf"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="1e5 intervals, fewer repeats")
    args = parser.parse_args()
    n = 100_000 if args.quick else 1_000_000
    repeats = 3 if args.quick else 5
    rng = np.random.default_rng(20260101)
    a, b = random_intervals(n, rng)
    x = points_inside(a, b, rng)
    q = rng.random(n)
    m = 2_000 if args.quick else 10_000        # SciPy's subsample
    subsample = np.arange(m)
    centre = np.where(np.isfinite(b), 0.5 * a + 0.5 * b, a + 1.0)
    half = np.where(np.isfinite(b), 0.5 * (b - a), 1.0)

    ns = lambda seconds, count: seconds / count * 1e9
    dd = ns(best(lambda: millsratio_dd_ufunc(centre, half, 1), repeats), n)
    dd_module = ns(best(lambda: millsratio_dd(centre, half), repeats), n)

    scipy_calls = {
        "log_prob": ("log(ndtr(b) - ndtr(a))", lambda s: np.log(special.ndtr(b[s]) - special.ndtr(a[s]))),
        "moments": ("truncnorm.stats(mv)", lambda s: stats.truncnorm.stats(a[s], b[s], moments="mv")),
        "mean": ("truncnorm.mean", lambda s: stats.truncnorm.mean(a[s], b[s])),
        "var": ("truncnorm.var", lambda s: stats.truncnorm.var(a[s], b[s])),
        "skew,kurt": ("truncnorm.stats(sk)", lambda s: stats.truncnorm.stats(a[s], b[s], moments="sk")),
    }
    for name in ("logpdf", "logcdf", "logsf", "pdf", "cdf", "sf"):
        scipy_calls[name] = (f"truncnorm.{name}", lambda s, f=getattr(stats.truncnorm, name): f(x[s], a[s], b[s]))
    for name in ("ppf", "isf"):
        scipy_calls[name] = (f"truncnorm.{name}", lambda s, f=getattr(stats.truncnorm, name): f(q[s], a[s], b[s]))
    scipy_calls["rvs"] = ("truncnorm.rvs", lambda s: stats.truncnorm.rvs(
        a[s], b[s], random_state=np.random.default_rng(1)))
    everything = slice(None)
    ours = {
        "log_prob": lambda: tn.log_prob(a, b), "moments": lambda: tn.moments(a, b),
        "mean": lambda: tn.mean(a, b), "var": lambda: tn.var(a, b),
        "skew,kurt": lambda: (tn.skew(a, b), tn.kurtosis(a, b)),
    }
    for name in ("logpdf", "logcdf", "logsf", "pdf", "cdf", "sf"):
        ours[name] = lambda f=getattr(tn, name): f(x, a, b)
    for name in ("ppf", "isf"):
        ours[name] = lambda f=getattr(tn, name): f(q, a, b)
    ours["rvs"] = lambda: veltra_truncnorm.rvs(a, b, random_state=np.random.default_rng(1))

    print(f"{n:.0e} random intervals of {KINDS} kinds; ns per element, best of {repeats}; SciPy on all of them,")
    print(f"or (*) on the first {m:.0e}")
    print(f"millsratio_dd on the centres and half-widths: ufunc {dd:.1f} ns, module function {dd_module:.1f} ns\n")
    print(f"{'ufunc':<10} {'veltra':>9} {'SciPy':>10}  {'SciPy / veltra':>14}  {'veltra / millsratio_dd':>22}  SciPy method")
    results = {}
    refused: dict = {}
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        kept = scipy_terminates(x, a, b)
        for name, call in ours.items():
            label, scipy_call = scipy_calls[name]
            if name in SCREENED and kept is not None:
                f = getattr(tn, name)
                xk, ak, bk = x[kept], a[kept], b[kept]
                count = int(kept.sum())
                t_ours = ns(best(lambda: f(xk, ak, bk), repeats), count)
                t_scipy = ns(best(lambda: scipy_call(kept), 1), count)
                results[name] = (t_ours, t_scipy)
                note = f" ({n - count} of {n} inputs left out of both: SciPy recurses on them)"
                print(f"{name:<10} {t_ours:9.1f} {t_scipy:10.1f}  {t_scipy / t_ours:14.1f}  {t_ours / dd:22.2f}  {label}{note}")
                continue
            t_ours = ns(best(call, repeats), n)
            if name in WHOLE_ARRAY:
                per_element, note = best(lambda: scipy_call(everything), 1) / n, ""
            else:
                per_element, note = scipy_time(scipy_call, subsample, max(1, repeats // 2), refused)
                note = " (*)" + note
            t_scipy = per_element * 1e9
            results[name] = (t_ours, t_scipy)
            print(f"{name:<10} {t_ours:9.1f} {t_scipy:10.1f}  {t_scipy / t_ours:14.1f}  {t_ours / dd:22.2f}  {label}{note}")
    t_three = sum(results[k][0] for k in ("log_prob", "mean", "var"))
    print(f"\nmoments: {results['moments'][0]:.1f} ns against {t_three:.1f} ns for log_prob, mean and var called apart")
    print("targets: moments and skew,kurt >= 200x SciPy's stats and moments <= 10x millsratio_dd; logpdf, logcdf,")
    print("ppf, rvs >= 10x SciPy")
    checks = [
        ("moments vs SciPy stats", results["moments"][1] / results["moments"][0], 200),
        ("skew,kurt vs SciPy stats(sk)", results["skew,kurt"][1] / results["skew,kurt"][0], 200),
        ("moments vs millsratio_dd (at most)", 10 / (results["moments"][0] / dd), 1),
        ("logpdf vs SciPy", results["logpdf"][1] / results["logpdf"][0], 10),
        ("logcdf vs SciPy", results["logcdf"][1] / results["logcdf"][0], 10),
        ("ppf vs SciPy", results["ppf"][1] / results["ppf"][0], 10),
        ("rvs vs SciPy", results["rvs"][1] / results["rvs"][0], 10),
    ]
    for label, value, target in checks:
        print(f"  {label:<36} {'met' if value >= target else 'MISSED'}")
    scalar_bounds(n, m, repeats, rng)


SCALAR_BOUNDS = [(-1.0, 2.0), (8.0, 9.0), (30.0, 30.001), (40.0, math.inf)]


def scalar_bounds(n: int, m: int, repeats: int, rng: np.random.Generator) -> None:
    """The common call: many points or probabilities against one interval, whose mass the
    ufunc loop prepares once.  rvs through the drop-in, with a Generator, against SciPy's."""
    print(f"\nscalar bounds: {n:.0e} points (SciPy {m:.0e}); ns per element, best of {repeats}")
    print(f"{'interval':<16} {'function':<8} {'veltra':>8} {'SciPy':>9}  {'SciPy / veltra':>14}")
    ns = lambda seconds, count: seconds / count * 1e9
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for a, b in SCALAR_BOUNDS:
            lo, hi = a, (b if math.isfinite(b) else a + 1.0)
            x = lo + (hi - lo) * rng.random(n)
            q = rng.random(n)
            cases = {
                "logpdf": (lambda: tn.logpdf(x, a, b), lambda: stats.truncnorm.logpdf(x[:m], a, b)),
                "logcdf": (lambda: tn.logcdf(x, a, b), lambda: stats.truncnorm.logcdf(x[:m], a, b)),
                "ppf": (lambda: tn.ppf(q, a, b), lambda: stats.truncnorm.ppf(q[:m], a, b)),
                "rvs": (lambda: veltra_truncnorm.rvs(a, b, size=n, random_state=np.random.default_rng(1)),
                        lambda: stats.truncnorm.rvs(a, b, size=m, random_state=np.random.default_rng(1))),
            }
            for name, (ours, theirs) in cases.items():
                t_ours = ns(best(ours, repeats), n)
                t_scipy = ns(best(theirs, max(1, repeats // 2)), m)
                print(f"[{a:g}, {b:g}]{'':<{14 - len(f'{a:g}, {b:g}')}} {name:<8} {t_ours:8.1f} {t_scipy:9.1f}  {t_scipy / t_ours:14.1f}")


if __name__ == "__main__":
    main()
