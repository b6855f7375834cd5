"""veltra.ufuncs: true NumPy ufuncs over the same kernels, with the ufunc machinery around them."""

import math
import pickle
import threading

import numpy as np
import pytest

import veltra.intmean as intmean
import veltra.mills as mills
import veltra.ratiodiff as ratiodiff
import veltra.ufuncs as ufuncs

RNG = np.random.default_rng(41)
X = np.concatenate([RNG.uniform(-38, 60, 3000), np.logspace(-300, 300, 301), [0.0, -0.0, np.inf, -np.inf, np.nan]])
DX = RNG.uniform(-1, 1, X.size) * np.abs(X) * 0.05
UNIT = np.concatenate([RNG.uniform(0, 1, 1000), [0.0, 1.0]])
ABOVE = np.concatenate([RNG.uniform(-0.999, 50, 2000), [0.0, 1e-300, 1e300]])
EXPONENT = RNG.uniform(-5, 5, ABOVE.size)


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.int64), np.asarray(b).view(np.int64))


@pytest.mark.parametrize("name, module, args", [
    ("millsratio", mills, (X,)), ("millsratio_d1", mills, (X,)), ("millsratio_d3", mills, (X,)),
    ("millsratio_rel_below1", mills, (UNIT,)), ("millsratio_dd", ratiodiff, (X, DX, 1)),
    ("millsratio_dd", ratiodiff, (X, DX, -1)), ("millsratio_dd_cf", ratiodiff, (X, DX, 7)),
    ("logrel", intmean, (ABOVE,)), ("powrel", intmean, (ABOVE, EXPONENT)),
])
def test_same_bits_as_the_module_functions(name, module, args):
    u = getattr(ufuncs, name)
    assert isinstance(u, np.ufunc)
    assert same_bits(u(*args), getattr(module, name)(*args))


def test_out_where_dtype_and_float32():
    x = np.linspace(-3, 30, 12)
    out = np.full(12, -7.0)
    result = ufuncs.millsratio(x, out=out, where=x > 0)
    assert result is out
    assert (out[x <= 0] == -7.0).all() and same_bits(out[x > 0], mills.millsratio(x[x > 0]))
    assert same_bits(ufuncs.millsratio(x, dtype=np.float64), mills.millsratio(x))
    assert same_bits(ufuncs.logrel(np.arange(5)), intmean.logrel(np.arange(5)))


# float32 arguments over every regime: the reflection region down to where R leaves the
# float32 range (x < -13.3), the tails up to the largest float32, float32 subnormals, zeros,
# infinities and NaN.
X32 = np.concatenate([
    RNG.uniform(-16, 60, 4000), np.logspace(-45, 38.5, 400), -np.logspace(-45, 1.6, 200),
    [0.0, -0.0, np.inf, -np.inf, np.nan, 3.4028234663852886e38, 1.401298464324817e-45],
]).astype(np.float32)
DX32 = np.concatenate([RNG.uniform(-1, 1, 4000) * np.abs(X32[:4000]) * 0.05,
                       RNG.choice([-1.0, 1.0], X32.size - 4000) * np.logspace(-40, 30, X32.size - 4000)]).astype(np.float32)
UNIT32 = np.concatenate([RNG.uniform(0, 1, 2000), [0.0, 1.0, 1e-45]]).astype(np.float32)
ABOVE32 = np.concatenate([RNG.uniform(-0.999, 50, 3000), np.logspace(-45, 38.5, 300), [0.0, -0.0]]).astype(np.float32)
EXPONENT32 = RNG.uniform(-5, 5, ABOVE32.size).astype(np.float32)


def rounded_to_float32(values):
    """NumPy's own rounding of float64 values to float32 (to nearest, ties to even; inf beyond)."""
    with np.errstate(over="ignore"):
        return np.asarray(values, dtype=np.float64).astype(np.float32)


def same_bits32(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype == np.float32 and np.array_equal(a.view(np.int32), b.view(np.int32))


@pytest.mark.parametrize("name, module, args", [
    ("millsratio", mills, (X32,)), ("millsratio_d1", mills, (X32,)), ("millsratio_d3", mills, (X32,)),
    ("millsratio_rel_below1", mills, (UNIT32,)), ("logrel", intmean, (ABOVE32,)),
    ("powrel", intmean, (ABOVE32, EXPONENT32)),
])
def test_float32_is_the_float64_result_rounded_once(name, module, args):
    got = getattr(ufuncs, name)(*args)
    want = getattr(module, name)(*(a.astype(np.float64) for a in args))
    assert same_bits32(got, rounded_to_float32(want))


@pytest.mark.parametrize("int_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("name, values", [
    ("millsratio_dd", [-7, -1, 0, 1, 5]), ("millsratio_dd_cf", [-3, 0, 1, 4, 40]),
])
def test_float32_with_integer_argument_is_the_float64_result_rounded_once(name, values, int_dtype):
    ints = np.array(values, dtype=int_dtype)[:, None]
    got = getattr(ufuncs, name)(X32, DX32, ints)
    assert got.shape == (len(values), X32.size)
    for row, c in zip(got, values):
        want = getattr(ratiodiff, name)(X32.astype(np.float64), DX32.astype(np.float64), c)
        assert same_bits32(row, rounded_to_float32(want))


# The input types a float32-and-float64 ufunc of scipy.special accepts, and the loop it takes.
@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64, np.bool_, np.int8, np.uint8, np.int16,
                                   np.uint16, np.int32, np.uint32, np.int64, np.uint64, np.longdouble])
def test_input_types_take_the_loop_scipy_special_takes(dtype):
    special = pytest.importorskip("scipy.special")
    x = np.array([0, 1, 3], dtype=dtype)
    try:
        expected = special.erfcx(x).dtype
    except TypeError:
        with pytest.raises(TypeError):
            ufuncs.millsratio(x)
        return
    got = ufuncs.millsratio(x)
    assert got.dtype == expected
    assert same_bits(got.astype(np.float64), mills.millsratio(x.astype(np.float64)).astype(expected).astype(np.float64))
    assert ufuncs.powrel(x, x).dtype == special.xlogy(x, x).dtype


def test_float32_scalars_and_out():
    assert type(ufuncs.millsratio(np.float32(2.0))) is np.float32
    assert ufuncs.millsratio_dd(np.float32(1.0), 0.5, 1).dtype == np.float32  # Python numbers are weak
    assert ufuncs.millsratio(2.0).dtype == np.float64
    out = np.empty(3, dtype=np.float64)
    x = np.array([1.0, 2.0, 30.0], dtype=np.float32)
    ufuncs.millsratio(x, out=out, dtype=np.float64)
    assert same_bits(out, mills.millsratio(x))


def test_scalars_give_numpy_scalars():
    assert ufuncs.millsratio(0.0) == mills.millsratio(0.0)
    assert isinstance(ufuncs.powrel(1.0, 2.0), np.float64)


def test_integer_argument_broadcasts():
    x = np.linspace(0, 40, 9)
    theta = np.array([[1], [-1], [0], [5]])
    got = ufuncs.millsratio_dd(x, 0.25, theta)
    assert got.shape == (4, 9)
    for row, t in zip(got, theta.ravel()):
        assert same_bits(row, ratiodiff.millsratio_dd(x, 0.25, int(t)))
    depths = np.arange(0, 12)
    assert same_bits(ufuncs.millsratio_dd_cf(2.0, 0.5, depths), [ratiodiff.millsratio_dd_cf(2.0, 0.5, int(n)) for n in depths])


def test_int64_depths_are_limited_to_int32():
    big = np.array([2 ** 40, -(2 ** 40)], dtype=np.int64)
    assert same_bits(ufuncs.millsratio_dd(-2.0, 0.5, big), [ratiodiff.millsratio_dd(-2.0, 0.5, 1), ratiodiff.millsratio_dd(-2.0, 0.5, -1)])
    assert ufuncs.millsratio_dd_cf(2.0, 0.5, np.int64(-(2 ** 40))) == ratiodiff.millsratio_dd_cf(2.0, 0.5, 1)


def test_float_integer_argument_is_refused():
    with pytest.raises(TypeError):
        ufuncs.millsratio_dd(1.0, 0.5, np.array([1.5]))


@pytest.mark.parametrize("name, bad, good", [
    ("millsratio_rel_below1", [-1e-300, 1.0000000000000002, np.inf, -np.inf], [0.0, 0.5, 1.0]),
    ("logrel", [-1.0, -2.0, -np.inf], [-0.5, 0.0, np.inf]),
])
def test_outside_the_domain_is_nan(name, bad, good):
    u = getattr(ufuncs, name)
    assert np.isnan(u(bad)).all()
    module = mills if name.startswith("mills") else intmean
    assert same_bits(u(good), getattr(module, name)(good))


def test_powrel_outside_the_domain_is_nan():
    assert np.isnan(ufuncs.powrel([-1.0, -3.0], 2.0)).all()
    assert ufuncs.powrel(-0.5, 2.0) == intmean.powrel(-0.5, 2.0)


def test_docstrings_name_the_domain_behaviour():
    assert "NaN outside [0, 1]" in ufuncs.millsratio_rel_below1.__doc__
    assert "NaN for x <= -1" in ufuncs.logrel.__doc__ and "NaN for x <= -1" in ufuncs.powrel.__doc__


def test_ufuncs_pickle_by_reference():
    assert pickle.loads(pickle.dumps(ufuncs.millsratio)) is ufuncs.millsratio


def test_threads_agree():
    x = RNG.uniform(-30, 60, 200_000)
    expected = ufuncs.millsratio(x)
    results = [None] * 4

    def work(k):
        results[k] = ufuncs.millsratio(x)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(same_bits(r, expected) for r in results)


def test_dask_arrays_stay_lazy():
    da = pytest.importorskip("dask.array")
    x = np.linspace(-5, 60, 10_000)
    lazy = ufuncs.millsratio_dd(da.from_array(x, chunks=1000), 0.125, 1)
    assert isinstance(lazy, da.Array) and lazy.chunks == ((1000,) * 10,)
    assert same_bits(lazy.compute(scheduler="threads"), ratiodiff.millsratio_dd(x, 0.125))
    assert same_bits(ufuncs.powrel(da.from_array(np.abs(x), chunks=2500), 1.5).compute(), intmean.powrel(np.abs(x), 1.5))


def test_xarray_keeps_coordinates():
    xr = pytest.importorskip("xarray")
    values = np.linspace(0, 20, 6).reshape(2, 3)
    data = xr.DataArray(values, dims=("trial", "cut"), coords={"trial": [1, 2], "cut": ["a", "b", "c"]})
    result = ufuncs.millsratio(data)
    assert isinstance(result, xr.DataArray) and result.dims == ("trial", "cut")
    assert list(result.coords["cut"].values) == ["a", "b", "c"]
    assert same_bits(result.values, mills.millsratio(values))


def test_no_floating_point_warnings_for_special_values():
    with np.errstate(all="raise"):
        assert ufuncs.millsratio_dd(1e100, 1.0, 1) == ratiodiff.millsratio_dd(1e100, 1.0)
        assert ufuncs.powrel(1e300, 2.0) == intmean.powrel(1e300, 2.0)
        assert ufuncs.millsratio(-40.0) == np.inf and np.isnan(ufuncs.logrel(np.inf))
        assert ufuncs.millsratio_dd_cf(2.0, 0.5, 500) == ratiodiff.millsratio_dd_cf(2.0, 0.5, 500)


def test_dask_distributed_example_runs():
    pytest.importorskip("dask.distributed")
    import subprocess
    import sys
    from pathlib import Path

    script = Path(__file__).resolve().parent.parent / "examples" / "dask_cluster.py"
    result = subprocess.run([sys.executable, str(script), "--size", "400000", "--chunk", "100000"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    value = float(result.stdout.rsplit(":", 1)[1])
    assert 24.5 < value < 25.6   # 1/R(a) is a + 1/a - ... : its mean over U(0, 50) is about 25.09
