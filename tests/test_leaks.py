"""Repeated calls, on every success and error path, leave memory and reference counts flat."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import veltra.intmean as intmean
import veltra.mills as mills
import veltra.ratiodiff as ratiodiff

X = np.linspace(0.0, 30.0, 257)
XT = np.linspace(0.0, 30.0, 256).reshape(16, 16).T       # non-contiguous: a copy per call
UNIT = np.linspace(0.0, 1.0, 64)
DX = np.full((4, 1), 0.125)
RO = np.linspace(0.0, 1.0, 32)
RO.setflags(write=False)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


SUCCESS = [
    (mills.millsratio, (0.5,), {}), (mills.millsratio, (X,), {}), (mills.millsratio, (XT,), {}),
    (mills.millsratio, (), {"x": RO}), (mills.millsratio_d1, (-3.0,), {}), (mills.millsratio_d3, (X,), {}),
    (mills.millsratio_rel_below1, (UNIT,), {}), (mills.millsratio_rel_below1, (0.25,), {}),
    (ratiodiff.millsratio_dd, (X[:8], DX), {}), (ratiodiff.millsratio_dd, (1.0, 0.5, -1), {}),
    (ratiodiff.millsratio_dd, (1.0,), {"dx": 0.5, "theta": 2.7}), (ratiodiff.millsratio_dd_cf, (X, 0.5, 200), {}),
    (ratiodiff.millsratio_dd_cf, (2.0, 0.5, IntLike(3)), {}), (ratiodiff.millsratio_dd, (1e100, 1.0), {}),
    (intmean.logrel, (X,), {}), (intmean.logrel, (0.0,), {}), (intmean.powrel, (UNIT, DX), {}),
    (intmean.powrel, (1e300, 2.0), {}), (intmean.powrel, (), {"x": 0.5, "a": RO}),
]

ERRORS = [
    (mills.millsratio, (), {}, TypeError), (mills.millsratio, (1, 2), {}, TypeError),
    (mills.millsratio, (1,), {"x": 1}, TypeError), (mills.millsratio, (), {"y": 1}, TypeError),
    (mills.millsratio, ("abc",), {}, ValueError), (mills.millsratio, (1j,), {}, TypeError),
    (mills.millsratio, ([[1.0], [2.0, 3.0]],), {}, ValueError),
    (mills.millsratio_rel_below1, ([0.5, 2.0],), {}, ValueError),
    (ratiodiff.millsratio_dd, (1.0,), {}, TypeError), (ratiodiff.millsratio_dd, (1, 2, 3, 4), {}, TypeError),
    (ratiodiff.millsratio_dd, (1.0, 0.5, None), {}, TypeError), (ratiodiff.millsratio_dd, (1.0, 0.5, 2 ** 40), {}, OverflowError),
    (ratiodiff.millsratio_dd, (1.0, 0.5, float("nan")), {}, ValueError),
    (ratiodiff.millsratio_dd_cf, (1.0, 0.5, IntLike(1.5)), {}, TypeError),
    (ratiodiff.millsratio_dd, ([1.0, 2.0], [1.0, 2.0, 3.0]), {}, ValueError),
    (ratiodiff.millsratio_dd, ("x", 0.5), {}, ValueError), (ratiodiff.millsratio_dd, (1.0, "x"), {}, ValueError),
    (intmean.logrel, (-2.0,), {}, ValueError), (intmean.powrel, ([-2.0, 1.0], 1.0), {}, ValueError),
    (intmean.powrel, ([1.0, 2.0], [1.0, 2.0, 3.0]), {}, ValueError), (intmean.powrel, (1.0,), {}, TypeError),
    (intmean.powrel, (1.0, "a"), {}, ValueError),
]


def watched_objects(f, args, kwargs):
    """Objects whose reference counts a leak in the call path would raise (NumPy's static
    types, np.float64 among them, are immortal: their counts never move)."""
    module = sys.modules[f.__module__]
    objects = [f, np, np.asarray, np.ascontiguousarray, np.empty_like, np.any,
               np.broadcast_shapes, np.broadcast_to, np.broadcast_arrays, f.__code__, vars(module)]
    return objects + [a for a in args if not isinstance(a, (int, float))] + list(kwargs.values())


def run(f, args, kwargs, error, times):
    for _ in range(times):
        if error is None:
            f(*args, **kwargs)
        else:
            try:
                f(*args, **kwargs)
            except error:
                pass
            else:
                raise AssertionError("expected an error")


def check_flat(f, args, kwargs, error):
    run(f, args, kwargs, error, 200)  # warm caches (NumPy's, the interpreter's)
    gc.collect()
    watched = watched_objects(f, args, kwargs)
    refs = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(f, args, kwargs, error, 3000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs
    assert grown < 32 * 1024, f"{grown} bytes after 3000 calls"


@pytest.mark.parametrize("f, args, kwargs", SUCCESS, ids=lambda v: getattr(v, "__name__", None))
def test_success_paths_do_not_leak(f, args, kwargs):
    check_flat(f, args, kwargs, None)


@pytest.mark.parametrize("f, args, kwargs, error", ERRORS, ids=lambda v: getattr(v, "__name__", None))
def test_error_paths_do_not_leak(f, args, kwargs, error):
    check_flat(f, args, kwargs, error)


def test_name_error_path_does_not_leak(monkeypatch):
    monkeypatch.delattr(mills, "np")
    check_flat(mills.millsratio, (X,), {}, NameError)


@pytest.mark.skipif(bool(os.environ.get("VELTRA_SANITIZE")),
                    reason="AddressSanitizer holds freed memory in quarantine: resident size grows by design")
def test_resident_memory_stays_flat():
    """Large arrays through every module: a leaked output or copy would add 8 MB per call."""
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    big = np.linspace(0, 40, 1_000_000)
    for _ in range(3):
        mills.millsratio(big), ratiodiff.millsratio_dd(big, 0.01), intmean.powrel(big, 1.5)
    start = rss()
    for _ in range(40):
        mills.millsratio(big[::-1]), ratiodiff.millsratio_dd(big, 0.01), intmean.powrel(big, 1.5)
    assert rss() - start < 40 * 1024 * 1024


@pytest.mark.parametrize("call, copies", [
    (lambda x: mills.millsratio(x), 0),                    # C-contiguous float64: used in place
    (lambda x: ratiodiff.millsratio_dd(x, x), 0),          # both of the full shape: no copy
    (lambda x: ratiodiff.millsratio_dd(x, 0.5), 1),        # the broadcast scalar is materialised
    (lambda x: intmean.powrel(x, x), 0),
    (lambda x: mills.millsratio(x.reshape(1000, 1000).T), 1),  # not C-contiguous: one flat copy
])
def test_only_the_output_is_allocated(call, copies):
    """Besides its output, a call allocates at most the flattened copies it needs."""
    x = np.linspace(0.0, 30.0, 1_000_000)
    call(x)
    tracemalloc.start()
    try:
        result = call(x)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert result.nbytes == x.nbytes
    assert peak < (1 + copies) * x.nbytes + 256 * 1024
