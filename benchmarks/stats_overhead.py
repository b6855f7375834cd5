"""Cost of veltra.stats.truncnorm next to scipy.stats.truncnorm, per scalar call and on 1e6
elements, and what the layer adds to the bare ufunc call.

    python benchmarks/stats_overhead.py              # writes results/stats.md too
    python benchmarks/stats_overhead.py --quick

Timing as timeit does: the minimum over repeats of a sample of `number` calls.  The intervals
are central ([-1, 2]) so that SciPy is timed on inputs it handles; the 1e6 arrays are x (or q)
against scalar bounds, loc = 0.5 and scale = 2, as a likelihood or a sampler would call.

The second table is the layer's own cost on 1e7 elements (1e5 with --quick): its time over the
bare ufunc's on the same standardized points, and the memory it allocates beyond its inputs
(tracemalloc's peak, which NumPy's allocations report to) next to the ufunc's, whose only
allocation is its result.  Times are CPU times (process_time), which load from other processes
disturbs less than wall-clock times.
"""

from __future__ import annotations

import argparse
import os
import time
import timeit
import tracemalloc
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy.stats import truncnorm as scipy_truncnorm  # noqa: E402

from veltra import truncnorm as kernel  # noqa: E402
from veltra.stats import truncnorm  # noqa: E402

A, B, LOC, SCALE = -1.0, 2.0, 0.5, 2.0


def best(stmt, number, repeats):
    return min(timeit.repeat(stmt, number=number, repeat=repeats)) / number


def cases(n):
    """(name, scalar call, call on n elements, bare ufunc on a scalar, bare ufunc on n
    standardized elements); each call takes the distribution object."""
    rng = np.random.default_rng(1)
    x = LOC + SCALE * rng.uniform(A, B, n)
    z = (x - LOC) / SCALE
    q = rng.uniform(0.0, 1.0, n)
    x0, q0 = float(x[0]), float(q[0])
    return [
        ("logpdf", lambda d: d.logpdf(x0, A, B, LOC, SCALE), lambda d: d.logpdf(x, A, B, LOC, SCALE),
         lambda: kernel.logpdf(x0, A, B), lambda: kernel.logpdf(z, A, B)),
        ("logcdf", lambda d: d.logcdf(x0, A, B, LOC, SCALE), lambda d: d.logcdf(x, A, B, LOC, SCALE),
         lambda: kernel.logcdf(x0, A, B), lambda: kernel.logcdf(z, A, B)),
        ("ppf", lambda d: d.ppf(q0, A, B, LOC, SCALE), lambda d: d.ppf(q, A, B, LOC, SCALE),
         lambda: kernel.ppf(q0, A, B), lambda: kernel.ppf(q, A, B)),
        ("rvs", lambda d: d.rvs(A, B, LOC, SCALE, random_state=rng),
         lambda d: d.rvs(A, B, LOC, SCALE, size=n, random_state=rng), None, None),
        ("stats", lambda d: d.stats(A, B, LOC, SCALE), None, lambda: kernel.moments(A, B), None),
        # SciPy evaluates its moments with np.vectorize: about 90 s for 1e6 bounds
        ("stats, bounds arrays", None, lambda d: d.stats(z, z + 1.0, LOC, SCALE), None,
         lambda: kernel.moments(z, z + 1.0)),
        ("frozen logpdf", lambda d: d(A, B, LOC, SCALE).logpdf(x0), None, None, None),
    ]


def peak_mib(call):
    tracemalloc.start()
    call()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak / 2**20


def cpu_best(call, repeats):
    return min(timeit.Timer(call, timer=time.process_time).repeat(number=1, repeat=repeats))


def overhead_cases(n):
    """(name, drop-in call, bare ufunc on the standardized points): x, a, b arrays of n (b - a
    between 0.1 and 3), loc and scale numbers or arrays."""
    rng = np.random.default_rng(2)
    a = rng.uniform(-2.0, 0.0, n)
    b = a + rng.uniform(0.1, 3.0, n)
    z = rng.uniform(-1.0, 2.0, n)
    q = rng.uniform(0.0, 1.0, n)
    loc, scale = rng.uniform(-1.0, 1.0, n), rng.uniform(0.5, 2.0, n)
    x_arrays = z * scale + loc
    x = LOC + SCALE * z
    z_mapped = (x - LOC) / SCALE
    z_arrays = (x_arrays - loc) / scale
    return [
        ("logpdf, bounds arrays", lambda: truncnorm.logpdf(z, a, b), lambda: kernel.logpdf(z, a, b)),
        ("logpdf, bounds arrays, loc and scale numbers", lambda: truncnorm.logpdf(x, a, b, LOC, SCALE),
         lambda: kernel.logpdf(z_mapped, a, b)),
        ("logpdf, all parameters arrays", lambda: truncnorm.logpdf(x_arrays, a, b, loc, scale),
         lambda: kernel.logpdf(z_arrays, a, b)),
        ("logpdf, all parameters numbers", lambda: truncnorm.logpdf(x, A, B, LOC, SCALE),
         lambda: kernel.logpdf(z_mapped, A, B)),
        ("cdf, all parameters numbers", lambda: truncnorm.cdf(x, A, B, LOC, SCALE),
         lambda: kernel.cdf(z_mapped, A, B)),
        ("ppf, bounds arrays, loc and scale numbers", lambda: truncnorm.ppf(q, a, b, LOC, SCALE),
         lambda: kernel.ppf(q, a, b)),
        ("ppf, all parameters numbers", lambda: truncnorm.ppf(q, A, B, LOC, SCALE), lambda: kernel.ppf(q, A, B)),
        ("mean, bounds arrays", lambda: truncnorm.mean(a, b, LOC, SCALE), lambda: kernel.mean(a, b)),
        ("stats, bounds arrays", lambda: truncnorm.stats(a, b, LOC, SCALE), lambda: kernel.moments(a, b)),
    ]


def overhead(n, repeats):
    rows = [f"| {n:.0e} elements | drop-in ms | bare ufunc ms | ratio | drop-in MiB | ufunc MiB |",
            "|---|---:|---:|---:|---:|---:|"]
    for name, ours, bare in overhead_cases(n):
        ours_t, bare_t = cpu_best(ours, repeats), cpu_best(bare, repeats)
        rows.append(f"| {name} | {ours_t * 1e3:.1f} | {bare_t * 1e3:.1f} | {ours_t / bare_t:.2f} | "
                    f"{peak_mib(ours):.1f} | {peak_mib(bare):.1f} |")
        print(rows[-1], flush=True)
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n = 10_000 if args.quick else 1_000_000
    repeats = 3 if args.quick else 9
    rows = ["| method | scalar, veltra µs | bare ufunc µs | SciPy µs | "
            f"{n:.0e}, veltra ms | bare ufunc ms | SciPy ms |", "|---|---:|---:|---:|---:|---:|---:|"]
    fmt = lambda v, scale: "" if v is None else f"{v * scale:.3g}"  # noqa: E731
    for name, scalar, array, bare, bare_array in cases(n):
        ours_s = best(lambda: scalar(truncnorm), 2000, repeats) if scalar else None
        bare_s = best(bare, 2000, repeats) if bare else None
        theirs_s = best(lambda: scalar(scipy_truncnorm), 200, repeats) if scalar else None
        ours_a = best(lambda: array(truncnorm), 1, repeats) if array else None
        bare_a = best(bare_array, 1, repeats) if bare_array else None
        slow = name.startswith("stats,")
        theirs_a = best(lambda: array(scipy_truncnorm), 1, repeats) if array and (args.quick or not slow) else None
        rows.append(f"| {name} | {fmt(ours_s, 1e6)} | {fmt(bare_s, 1e6)} | {fmt(theirs_s, 1e6)} | "
                    f"{fmt(ours_a, 1e3)} | {fmt(bare_a, 1e3)} | {fmt(theirs_a, 1e3)} |")
        print(rows[-1], flush=True)
    rows.append("")
    rows += overhead(100_000 if args.quick else 10_000_000, 3 if args.quick else 7)
    if not args.quick:
        rows.append("\nSciPy's stats on 1e6 bounds (np.vectorize over its moment formulas) takes about 90 s "
                    "and is not timed here.")
        (Path(__file__).resolve().parent / "results" / "stats.md").write_text("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
