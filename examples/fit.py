"""Fitting the truncated normal: veltra's maximum-likelihood fit beside SciPy's.

    python examples/fit.py                 # the four cases, a PNG of the fits, the timings
    python examples/fit.py --quick         # 1e5 points where the cases have 1e6 (SciPy: 1 min less)
    python examples/fit.py --dask [--size 100000000 --chunk 5000000 --workers 2]

Each case draws a sample from a known truncated normal and fits it three ways:
veltra.stats.truncnorm.fit (SciPy's signature, free bounds), veltra.stats.fit_truncnorm (the
bounds known in data units, with standard errors from the Fisher information), and
scipy.stats.truncnorm.fit.  The cases: SciPy's failing case truncnorm(a=0, b=3, loc=0.4,
scale=0.2) with 1e6 points, an interval around the mode, one beyond the mode (the mode outside,
the density rising across the interval), and N(0, 1) seen only beyond 4.  The histograms and
the fitted densities go to docs/fit.png.

--dask fits a sample of --size points that is never in one process's memory: each chunk is
drawn on a worker of a dask LocalCluster (the same code runs on a real cluster), and
fit_truncnorm reads it in one dask compute of the per-chunk sums.
"""

from __future__ import annotations

import argparse
import time
import warnings
from pathlib import Path

import numpy as np

from veltra.stats import fit_truncnorm, truncnorm

PNG = Path(__file__).resolve().parent.parent / "docs" / "fit.png"

# name, (a, b, loc, scale), points
CASES = [
    ("SciPy's failing case", (0.0, 3.0, 0.4, 0.2), 1_000_000),
    ("around the mode", (-1.5, 2.5, 0.5, 1.0), 100_000),
    ("beyond the mode", (1.0, 3.0, 0.0, 1.0), 100_000),
    ("N(0, 1) beyond 4", (4.0, np.inf, 0.0, 1.0), 100_000),
]


def timed(call, repeats=1):
    """call()'s result and its least time over `repeats` calls."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return result, best


def fit_case(name, params, n, seed):
    from scipy import stats

    a, b, loc, scale = params
    lower, upper = loc + a * scale, loc + b * scale
    data = truncnorm.rvs(a, b, loc, scale, size=n, random_state=np.random.default_rng(seed))
    free, free_time = timed(lambda: truncnorm.fit(data), 3)
    known, known_time = timed(lambda: fit_truncnorm(data, lower, upper), 3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs, scipy_time = timed(lambda: stats.truncnorm.fit(data))
    errors = np.sqrt(np.diag(known.cov))
    print(f"\n{name}: truncnorm(a={a}, b={b}, loc={loc}, scale={scale}), {n} points on [{lower}, {upper}]")
    print(f"  {'fit':<38} {'loc':>12} {'scale':>12} {'nnlf':>14} {'time':>10}")
    rows = [("veltra truncnorm.fit (free bounds)", free, free_time),
            ("veltra fit_truncnorm (bounds known)", (known.a, known.b, known.loc, known.scale), known_time),
            ("scipy.stats.truncnorm.fit", theirs, scipy_time)]
    for label, theta, seconds in rows:
        print(f"  {label:<38} {theta[2]:12.6f} {theta[3]:12.6f} {truncnorm.nnlf(theta, data):14.2f} "
              f"{seconds * 1e3:8.1f} ms")
    print(f"  standard errors (bounds known): loc {errors[0]:.2g}, scale {errors[1]:.2g}; "
          f"{(known.loc - loc) / errors[0]:+.2f} and {(known.scale - scale) / errors[1]:+.2f} of them "
          f"from the truth; {known.nit} Newton steps; SciPy {scipy_time / free_time:.0f}x slower")
    return data, params, [(label, theta) for label, theta, _ in rows]


def plot(results):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(2, 2, figsize=(11, 8))
    styles = ["-", "--", ":"]
    for axis, (name, (data, params, fits)) in zip(axes.flat, results.items()):
        axis.hist(data, bins=120, density=True, color="0.85", label="data")
        x = np.linspace(data.min(), data.max(), 600)
        axis.plot(x, truncnorm.pdf(x, *params), color="black", lw=3, alpha=0.3, label="truth")
        for (label, theta), style in zip(fits, styles):
            axis.plot(x, truncnorm.pdf(x, *theta), style, lw=1.5, label=label)
        axis.set_title(name)
        axis.set_yscale("log" if params[0] >= 4 else "linear")
    axes.flat[0].legend(fontsize=8)
    figure.suptitle("Fits of the truncated normal: veltra (free and known bounds) and SciPy")
    figure.tight_layout()
    figure.savefig(PNG, dpi=90)
    print(f"\nwrote {PNG}")


def dask_fit(size, chunk, workers):
    import dask.array as da
    from dask.distributed import Client, LocalCluster

    a, b, loc, scale = CASES[0][1]

    def draw(block, block_info=None):
        seed = block_info[0]["chunk-location"][0]
        return truncnorm.rvs(a, b, loc, scale, size=block.shape, random_state=np.random.default_rng(seed))

    with LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
        data = da.empty(size, chunks=chunk).map_blocks(draw, dtype=float)   # lazy: drawn on the workers
        fit, seconds = timed(lambda: fit_truncnorm(data, loc + a * scale, loc + b * scale))
    errors = np.sqrt(np.diag(fit.cov))
    print(f"{size} points in chunks of {chunk} on {workers} workers: loc {fit.loc:.7f} +- {errors[0]:.1g}, "
          f"scale {fit.scale:.7f} +- {errors[1]:.1g} (truth {loc}, {scale}); {seconds:.1f} s, "
          f"drawing included")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--dask", action="store_true")
    parser.add_argument("--size", type=int, default=100_000_000)
    parser.add_argument("--chunk", type=int, default=5_000_000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    if args.dask:
        dask_fit(args.size, args.chunk, args.workers)
    else:
        results = {name: fit_case(name, params, min(n, 100_000) if args.quick else n, seed)
                   for seed, (name, params, n) in enumerate(CASES)}
        plot(results)
