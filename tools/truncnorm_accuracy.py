"""Accuracy sweep of veltra.truncnorm against mpmath: the largest error of every function,
by kind of interval, next to its bound.

    python tools/truncnorm_accuracy.py [--count N] [--seed S] [--huge]

N random intervals of every kind (tests/truncnorm_reference.py; default 300 each) plus the
hard intervals, mirrored; for the distribution functions two points in each interval, for
the quantiles the probabilities 1e-300, 1e-12, 0.3, 0.5, 0.9 and 1 - 2^-40.  --huge adds
intervals with ends up to 1e300 (their references take seconds each).  The errors are those
the tests bound: relative for log_prob, var, logcdf and logsf; relative to |mean| plus a
tenth of the standard deviation for the mean (the bound is 4e-15 |mean| + 4e-16 sd); relative
to max(1, |logpdf|); absolute, of max(1, |value|), for the skewness and the excess kurtosis;
for ppf and isf the error over 8 ulps + 1e-15 min(1, b - a), so that 1 is the bound.  A few minutes for the default count.
"""

from __future__ import annotations

import argparse
import math
import random
import sys
from collections import defaultdict
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import truncnorm_reference as ref  # noqa: E402

import veltra.truncnorm as tn  # noqa: E402

BOUNDS = {"log_prob": 4e-15, "mean": 4e-15, "var": 1e-14, "skew": 1e-13, "kurtosis": 4e-13, "logpdf": 1e-14,
          "logcdf": 1e-14, "logsf": 1e-14, "ppf": 1.0, "isf": 1.0}
PROBABILITIES = [1e-300, 1e-12, 0.3, 0.5, 0.9, 1 - 2.0 ** -40]
HUGE = [(1e10, 1e10 + 1e-5), (1e20, math.inf), (1e50, 2e50), (-1e150, -1e150 * (1 - 1e-12)), (1e300, math.inf)]


def rel(got, want):
    """Relative error; below the normal range (2^-1022), where a double has fewer digits,
    relative to 2^-1022."""
    if got == want:
        return 0.0
    return abs(got - want) / max(abs(want), 2.0 ** -1022)


def sweep(intervals, worst, kind, rng):
    a = np.array([i[0] for i in intervals])
    b = np.array([i[1] for i in intervals])
    lp, m, v = tn.moments(a, b)
    skew, kurtosis = tn.skew(a, b), tn.kurtosis(a, b)
    for k, (lo, hi) in enumerate(intervals):
        want = ref.moments(lo, hi)
        sd = math.sqrt(want[2])
        shape = ref.shape(lo, hi)
        errors = {
            "log_prob": rel(lp[k], want[0]),
            "mean": abs(m[k] - want[1]) / (abs(want[1]) + 0.1 * sd) if m[k] != want[1] else 0.0,
            "var": rel(v[k], want[2]),
            "skew": abs(skew[k] - shape[0]) / max(1.0, abs(shape[0])),
            "kurtosis": abs(kurtosis[k] - shape[1]) / max(1.0, abs(shape[1])),
        }
        for x in ref.points_in(lo, hi, rng, 2):
            got = tn.logpdf(x, lo, hi)
            exact = ref.log_pdf(x, lo, hi)
            errors["logpdf"] = max(errors.get("logpdf", 0.0), abs(got - exact) / max(1.0, abs(exact)) if got != exact else 0.0)
            errors["logcdf"] = max(errors.get("logcdf", 0.0), rel(tn.logcdf(x, lo, hi), ref.log_cdf(x, lo, hi)))
            errors["logsf"] = max(errors.get("logsf", 0.0), rel(tn.logsf(x, lo, hi), ref.log_sf(x, lo, hi)))
        for name, upper in (("ppf", False), ("isf", True)):
            got = getattr(tn, name)(np.array(PROBABILITIES), lo, hi)
            for q, x in zip(PROBABILITIES, got):
                exact = ref.quantile(q, lo, hi, float(x), upper=upper)
                e = float(exact)
                spacing = math.ulp(e) if e != 0 else 5e-324
                score = float(abs(exact - x)) / (8 * spacing + 1e-15 * min(1.0, hi - lo))
                errors[name] = max(errors.get(name, 0.0), score)
        for name, error in errors.items():
            if error > worst[kind][name][0]:
                worst[kind][name] = (error, lo, hi)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--huge", action="store_true")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    worst = defaultdict(lambda: defaultdict(lambda: (0.0, None, None)))
    groups = {"hard": [(a, b) for a, b in ref.HARD_INTERVALS] + [(-b, -a) for a, b in ref.HARD_INTERVALS]}
    for kind in ref.KINDS:
        groups[kind] = [ref.random_interval(rng, kind) for _ in range(args.count)]
    if args.huge:
        groups["huge"] = HUGE + [(-b, -a) for a, b in HUGE]
    for kind, intervals in groups.items():
        sweep(intervals, worst, kind, rng)
        print(f"{kind:>10}: {len(intervals)} intervals", file=sys.stderr)
    names = list(BOUNDS)
    print("| kind | " + " | ".join(names) + " |")
    print("|---|" + "---:|" * len(names))
    for kind in groups:
        print(f"| {kind} | " + " | ".join(f"{worst[kind][n][0]:.1e}" for n in names) + " |")
    overall = {n: max(worst[k][n] for k in groups) for n in names}
    print("| **all** | " + " | ".join(f"**{overall[n][0]:.1e}**" for n in names) + " |")
    print("| bound | " + " | ".join(f"{BOUNDS[n]:.0e}" for n in names) + " |")
    print("\nworst intervals:")
    for n in names:
        e, lo, hi = overall[n]
        print(f"  {n:<8} {e:.2e} on [{lo!r}, {hi!r}]")


if __name__ == "__main__":
    main()
