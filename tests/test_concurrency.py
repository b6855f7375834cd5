"""Calls from many threads at once, and from worker processes, give the single-thread bits."""

import multiprocessing
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest

from veltra.intmean import logrel, powrel
from veltra.mills import millsratio, millsratio_d1, millsratio_d3
from veltra.ratiodiff import millsratio_dd, millsratio_dd_cf

RNG = np.random.default_rng(31)
X = RNG.uniform(-30, 60, 20_000)
DX = RNG.uniform(0, 0.5, 20_000)
CALLS = [
    (millsratio, (X,)), (millsratio_d1, (X,)), (millsratio_d3, (X,)), (millsratio_dd, (X, DX)),
    (millsratio_dd, (X, DX, -1)), (millsratio_dd_cf, (X, DX, 12)), (logrel, (np.abs(X),)), (powrel, (np.abs(X), DX)),
]


def test_threads_agree_with_one_thread():
    expected = [f(*args) for f, args in CALLS]
    jobs = CALLS * 12
    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(lambda job: job[0](*job[1]), jobs))
    for i, result in enumerate(results):
        assert np.array_equal(result, expected[i % len(CALLS)], equal_nan=True)


def test_spawned_processes_agree_with_this_one():
    if multiprocessing.get_start_method(allow_none=True) not in (None, "spawn", "fork", "forkserver"):
        pytest.skip("no process start method")
    chunks = np.array_split(X, 4)
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        results = list(pool.map(millsratio, chunks))          # the function travels by reference
        dd = list(pool.map(millsratio_dd, chunks, np.array_split(DX, 4)))
    assert np.array_equal(np.concatenate(results), millsratio(X))
    assert np.array_equal(np.concatenate(dd), millsratio_dd(X, DX), equal_nan=True)
