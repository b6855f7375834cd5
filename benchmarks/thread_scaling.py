"""How veltra's ufuncs scale over threads.

The inner loops of veltra.ufuncs run without the GIL, so chunks of one array evaluated on
separate threads proceed in parallel.  This script times the same total work (one chunk per
thread, 1e6 elements each) on 1 thread and on N threads and prints the speed-up; on a machine
with N free cores it approaches N.  The module functions (veltra.mills and friends) hold the
GIL for the whole call, so they are timed the same way for contrast.

    python benchmarks/thread_scaling.py [--threads N] [--size 1000000] [--repeats 7]
"""

from __future__ import annotations

import argparse
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import veltra.mills as mills
import veltra.ratiodiff as ratiodiff
import veltra.ufuncs as ufuncs


def best_time(run, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def scaling(function, chunks, threads: int, repeats: int) -> tuple[float, float]:
    """Seconds for all chunks one after another, and spread over `threads` threads."""
    outs = [np.empty_like(c[0]) for c in chunks]

    def one(k):
        if isinstance(function, np.ufunc):
            function(*chunks[k], out=outs[k])
        else:
            function(*chunks[k])

    serial = best_time(lambda: [one(k) for k in range(len(chunks))], repeats)
    with ThreadPoolExecutor(max_workers=threads) as pool:
        parallel = best_time(lambda: list(pool.map(one, range(len(chunks)))), repeats)
    return serial, parallel


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--size", type=int, default=1_000_000, help="elements per chunk")
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    x = [rng.uniform(0, 40, args.size) for _ in range(args.threads)]
    dx = [np.full(args.size, 0.01) for _ in range(args.threads)]
    cases = [
        ("ufuncs.millsratio", ufuncs.millsratio, [(c,) for c in x]),
        ("ufuncs.millsratio_dd", ufuncs.millsratio_dd, [(c, d, 1) for c, d in zip(x, dx)]),
        ("mills.millsratio (holds the GIL)", mills.millsratio, [(c,) for c in x]),
        ("ratiodiff.millsratio_dd (holds the GIL)", ratiodiff.millsratio_dd, [(c, d) for c, d in zip(x, dx)]),
    ]
    print(f"{args.threads} chunks of {args.size} elements, {args.threads} threads, best of {args.repeats}")
    print(f"| function | 1 thread [ms] | {args.threads} threads [ms] | speed-up |")
    print("|---|---|---|---|")
    for name, function, chunks in cases:
        serial, parallel = scaling(function, chunks, args.threads, args.repeats)
        print(f"| {name} | {serial * 1e3:.1f} | {parallel * 1e3:.1f} | {serial / parallel:.2f}x |")


if __name__ == "__main__":
    main()
