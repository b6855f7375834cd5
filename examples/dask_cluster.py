"""veltra's ufuncs on an array larger than memory, evaluated chunk by chunk by dask.distributed.

The array is never materialised: dask builds a graph of per-chunk tasks, and the workers of
a local cluster (separate processes here; the same code runs on a real cluster) evaluate
veltra.ufuncs.millsratio chunk by chunk.  E[X | X > a] = 1/R(a) for a standard normal X is
averaged over uniformly drawn cut-offs a.

    python examples/dask_cluster.py [--size 200000000] [--chunk 5000000] [--workers 2]
"""

import argparse

import dask.array as da
from dask.distributed import Client, LocalCluster

from veltra import ufuncs


def mean_tail_mean(size: int, chunk: int, workers: int) -> float:
    with LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
        cutoffs = da.random.default_rng(0).uniform(0.0, 50.0, size=size, chunks=chunk)   # lazy
        tail_means = 1.0 / ufuncs.millsratio(cutoffs)                                    # still lazy
        return float(tail_means.mean().compute())                                        # chunk by chunk


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=200_000_000)
    parser.add_argument("--chunk", type=int, default=5_000_000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    print(f"mean of E[X | X > a] over {args.size} cut-offs a ~ U(0, 50):",
          mean_tail_mean(args.size, args.chunk, args.workers))
