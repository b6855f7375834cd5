"""veltra.stats.truncnorm on arrays: the blocked array path gives the scalar path's bits, block
boundaries and invalid elements included, and allocates only its result; dask and xarray
arguments keep their type; complex arguments raise; no overflow through scale^2; the
docstring examples print what they show."""

import doctest
import math
import tracemalloc

import numpy as np
import pytest

import veltra.stats
from veltra import truncnorm as tn
from veltra.stats import truncnorm

INF = math.inf
X_METHODS = ["logpdf", "pdf", "logcdf", "cdf", "logsf", "sf", "ppf", "isf"]
PARAM_METHODS = ["mean", "var", "std", "median", "stats", "support"]
N = 2 * veltra.stats._BLOCK + 123  # three blocks, the last one short


def battery(n, seed=3):
    """x (or q), a, b, loc, scale with every kind of invalid element sprinkled in."""
    rng = np.random.default_rng(seed)
    a = rng.uniform(-3.0, 2.0, n)
    b = a + rng.exponential(1.5, n)
    a[::97], b[::89], b[::103], a[::101] = -INF, INF, a[::103], np.nan
    b[::107] -= 5.0
    loc, scale = rng.standard_normal(n), rng.exponential(2.0, n)
    loc[::211], scale[::113], scale[::127], scale[::131] = np.nan, 0.0, -1.0, np.nan
    x = rng.uniform(0.0, 1.0, n)
    x[::7], x[::11], x[::13] = 0.0, 1.0, 1.5
    return x, a, b, loc, scale


def call(method, args):
    x, a, b, loc, scale = args
    return getattr(truncnorm, method)(*((x,) if method in X_METHODS else ()), a, b, loc, scale)


def same_bits(got, want):
    got, want = np.atleast_1d(got), np.atleast_1d(want)
    return got.shape == want.shape and got.tobytes() == want.tobytes()


# which of (x, a, b, loc, scale) are arrays; the others are taken from element 0 as numbers
LAYOUTS = [(1, 0, 0, 0, 0), (1, 1, 1, 0, 0), (1, 1, 1, 1, 1), (1, 0, 0, 1, 1), (0, 1, 1, 0, 0)]


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("method", X_METHODS + PARAM_METHODS)
def test_array_path_has_the_bits_of_the_scalar_path(method, layout):
    full = battery(N)
    args = [v if is_array else float(v[5]) for v, is_array in zip(full, layout)]
    if method in PARAM_METHODS and not any(layout[1:]):
        args[3] = full[3]
    got = call(method, args)
    pick = np.r_[0:40, veltra.stats._BLOCK - 20:veltra.stats._BLOCK + 20, N - 40:N, 97:N:997]
    for i in pick:
        one = call(method, [v[i] if isinstance(v, np.ndarray) else v for v in args])
        for g, w in zip(got if isinstance(got, tuple) else (got,), one if isinstance(one, tuple) else (one,)):
            assert type(w) is np.float64 and same_bits(g[i], w), (i, g[i], w)
    # the same elements strided and broadcast take the path without blocks
    strided = [np.repeat(v, 2)[::2] if isinstance(v, np.ndarray) else v for v in args]
    column = [v.reshape(-1, 1) if isinstance(v, np.ndarray) else v for v in args]
    for other in (call(method, strided), call(method, column)):
        for g, w in zip(got if isinstance(got, tuple) else (got,), other if isinstance(other, tuple) else (other,)):
            assert same_bits(g, np.reshape(w, g.shape))


@pytest.mark.parametrize("method, kwargs", [
    ("logpdf", {}), ("logpdf", {"loc": 0.5, "scale": 2.0}), ("cdf", {"loc": "array", "scale": "array"}),
    ("ppf", {"loc": 0.5, "scale": 2.0}), ("mean", {"loc": 0.5, "scale": 2.0}), ("stats", {"scale": "array"}),
])
def test_array_path_allocates_its_result_and_a_mask_at_most(method, kwargs):
    n = 400_000
    x, a, b, loc, scale = battery(n)
    kwargs = {k: {"loc": loc, "scale": scale}[k] if v == "array" else v for k, v in kwargs.items()}
    args = (x, a, b) if method in X_METHODS else (a, b)
    tracemalloc.start()
    result = getattr(truncnorm, method)(*args, **kwargs)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    outputs = sum(r.nbytes for r in (result if isinstance(result, tuple) else (result,)))
    assert peak <= outputs + n + 4 * 8 * veltra.stats._BLOCK, (peak, outputs)


COMPLEX_CALLS = [(m, (0.5, 0.0, 1.0)) for m in ["logpdf", "cdf", "ppf", "isf"]] + \
    [(m, (0.0, 1.0)) for m in PARAM_METHODS + ["entropy", "rvs"]] + [("interval", (0.5, 0.0, 1.0))]


@pytest.mark.parametrize("method, args", COMPLEX_CALLS)
@pytest.mark.parametrize("where", ["first", "a", "b", "loc", "scale"])
@pytest.mark.parametrize("complex_value", [lambda v: complex(v, 1.0), lambda v: np.array([v + 0j])])
def test_complex_arguments_raise_type_error(method, args, where, complex_value):
    args, kwargs = list(args), {"loc": 0.0, "scale": 1.0}
    if where in kwargs:
        kwargs[where] = complex_value(kwargs[where])
    else:
        i = {"first": 0, "a": len(args) - 2, "b": len(args) - 1}[where]
        args[i] = complex_value(args[i])
    with pytest.raises(TypeError, match="complex128"):
        getattr(truncnorm, method)(*args, **kwargs)


@pytest.mark.filterwarnings("error")
def test_standard_deviation_and_other_summaries_do_not_overflow_with_the_scale():
    sd = truncnorm.std(0.0, 1.0)
    assert truncnorm.std(0.0, 1.0, scale=1e200) == sd * 1e200
    assert np.array_equal(truncnorm.std([0.0, -1.0], 1.0, scale=1e300),
                          truncnorm.std([0.0, -1.0], 1.0) * 1e300)
    huge = {"loc": 1e300, "scale": 1e300}
    for value in (truncnorm.mean(0.0, 1.0, **huge), truncnorm.ppf(0.5, 0.0, 1.0, **huge),
                  truncnorm.entropy(0.0, 1.0, **huge), truncnorm.support(0.0, 1.0, **huge)[1],
                  truncnorm.interval(0.5, 0.0, 1.0, **huge)[1], truncnorm.pdf(1.5e300, 0.0, 1.0, **huge)):
        assert np.isfinite(value) and value > 0


def test_dask_arguments_stay_lazy_with_the_bits_of_ndarrays():
    da = pytest.importorskip("dask.array")
    x, a, b, loc, scale = battery(4000)
    lazy = [da.from_array(v, chunks=1000) for v in (x, a, b, loc, scale)]
    for method in X_METHODS + PARAM_METHODS + ["interval", "entropy"]:
        for args, plain in ((lazy, (x, a, b, loc, scale)), ((x, lazy[1], b, 0.5, 2.0), (x, a, b, 0.5, 2.0))):
            extra = {"interval": (0.9,)}.get(method, ())
            got = call(method, args) if method != "interval" else truncnorm.interval(0.9, *args[1:])
            want = call(method, plain) if method != "interval" else truncnorm.interval(*extra, *plain[1:])
            for g, w in zip(got if isinstance(got, tuple) else (got,), want if isinstance(want, tuple) else (want,)):
                assert isinstance(g, da.Array), method
                assert same_bits(g.compute(scheduler="sync"), w), method


def test_xarray_arguments_broadcast_by_dimension():
    xr = pytest.importorskip("xarray")
    lo = xr.DataArray([-1.0, 0.0, 0.5], dims="site")
    hi = xr.DataArray([[1.0, 2.0], [1.0, 0.0], [3.0, INF]], dims=("site", "width"))
    x = xr.DataArray([0.2, 0.7], dims="width")
    plain = (x.values[:, None], lo.values[None, :], hi.values.T)
    for method in X_METHODS + PARAM_METHODS + ["entropy"]:
        args = (x, lo, hi) if method in X_METHODS else (lo, hi)
        plain_args = plain if method in X_METHODS else (lo.values[:, None], hi.values)
        got = getattr(truncnorm, method)(*args, 0.5, 2.0)
        want = getattr(truncnorm, method)(*plain_args, 0.5, 2.0)
        for g, w in zip(got if isinstance(got, tuple) else (got,), want if isinstance(want, tuple) else (want,)):
            assert isinstance(g, xr.DataArray) and set(g.dims) == {"site", "width"}, method
            assert same_bits(g.transpose(*(("width", "site") if method in X_METHODS else ("site", "width"))).values,
                             w), method


def test_moments_on_dask_and_xarray_through_their_generalised_ufunc_routes():
    """A ufunc with three outputs has no path through dask's __array_ufunc__; the routes the
    README gives keep it lazy, with the same bits."""
    da = pytest.importorskip("dask.array")
    xr = pytest.importorskip("xarray")
    a = np.linspace(-5.0, 50.0, 3000)
    lazy = da.from_array(a, chunks=1000)
    got = da.apply_gufunc(tn.moments, "(),()->(),(),()", lazy, np.inf, output_dtypes=(float,) * 3)
    want = tn.moments(a, np.inf)
    assert all(isinstance(g, da.Array) and same_bits(g.compute(), w) for g, w in zip(got, want))
    lower = xr.DataArray(lazy, dims="cut")
    got = xr.apply_ufunc(tn.moments, lower, np.inf, output_core_dims=[[], [], []], dask="parallelized",
                         output_dtypes=[float] * 3)
    assert all(isinstance(g.data, da.Array) and same_bits(g.values, w) for g, w in zip(got, want))


def test_docstring_examples_print_what_they_show():
    finder, runner = doctest.DocTestFinder(), doctest.DocTestRunner()
    tests = [t for t in finder.find(veltra.stats) if t.examples]
    assert len(tests) >= 18
    for test in tests:
        assert runner.run(test, out=lambda s: None).failed == 0, test.name
