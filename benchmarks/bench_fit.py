"""Speed of veltra's truncated-normal fits next to scipy.stats.truncnorm.fit.

Run from the repository root in an environment with veltra, NumPy and SciPy::

    python benchmarks/bench_fit.py            # 1e5 and 1e6 points
    python benchmarks/bench_fit.py --quick    # 1e4 and 1e5 points

The data are SciPy's failing case, truncnorm(a=0, b=3, loc=0.4, scale=0.2), drawn with a fixed
seed.  Timed: veltra.stats.truncnorm.fit (free bounds, SciPy's signature), fit_truncnorm with
the bounds known in data units ([0.4, 1.0]), and scipy.stats.truncnorm.fit (free bounds).
veltra's times are the minimum over repeats; SciPy's fit takes seconds to minutes and is run
once per size.  The table gives each fit's estimates, its negative log-likelihood on the data
and the ratio of SciPy's time to veltra's.  On a shared machine the ratios move by 10% or so.
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np
from scipy import stats

from veltra.stats import fit_truncnorm, truncnorm

A, B, LOC, SCALE = 0.0, 3.0, 0.4, 0.2
LOWER, UPPER = LOC + A * SCALE, LOC + B * SCALE


def best_time(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def main(sizes, repeats):
    print("| points | fit | time | loc | scale | nnlf | SciPy's time / this |")
    print("|---:|---|---:|---:|---:|---:|---:|")
    for n in sizes:
        data = truncnorm.rvs(A, B, LOC, SCALE, size=n, random_state=np.random.default_rng(2026))
        free_time, free = best_time(lambda: truncnorm.fit(data), repeats)
        known_time, known = best_time(lambda: fit_truncnorm(data, LOWER, UPPER), repeats)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            scipy_time, theirs = best_time(lambda: stats.truncnorm.fit(data), 1)
        rows = [("veltra `truncnorm.fit`", free_time, free),
                ("veltra `fit_truncnorm`, bounds known", known_time, (known.a, known.b, known.loc, known.scale)),
                ("SciPy `truncnorm.fit`", scipy_time, theirs)]
        for name, seconds, theta in rows:
            print(f"| {n:.0e} | {name} | {seconds * 1e3:.1f} ms | {theta[2]:.6f} | {theta[3]:.6f} | "
                  f"{truncnorm.nnlf(theta, data):.2f} | {scipy_time / seconds:.0f}x |")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    main([10_000, 100_000] if args.quick else [100_000, 1_000_000], 3 if args.quick else 7)
