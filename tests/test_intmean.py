"""veltra.intmean: the interval means, their domain check, the repaired overflow of powrel, and
the C-level export table used by compiled consumers (ctypes, SciPy, numba)."""

import ctypes
import inspect
import math
import traceback

import mpmath
import numpy as np
import pytest

import veltra.intmean as intmean
from veltra.intmean import logrel, powrel

from support import logrel_exact, powrel_exact, rel_error

INF, NAN = math.inf, math.nan
DOMAIN = "x must be greater than -1."


def logrel_steps(x: float) -> float:
    return 1.0 if x == 0 else math.log1p(x) / x


def powrel_steps(x: float, a: float) -> float:
    """The written steps of the kernel in Python floats (expm1 overflow as +inf)."""
    if x == 0:
        return 1.0
    l = math.log1p(x) if x > -1 else (-INF if x == -1 else NAN)
    if a == 0:
        return l / x
    t = l * a
    try:
        e = math.expm1(t)
    except OverflowError:
        e = INF
    d = x * a
    try:
        return e / d
    except ZeroDivisionError:
        return NAN if e == 0 or math.isnan(e) else math.copysign(INF, e) * math.copysign(1.0, d)


# ---------------------------------------------------------------------------------------
# Kernel values

@pytest.mark.parametrize("x", [0, 0.0, -0.0])
def test_logrel_at_zero(x):
    assert logrel(x) == 1.0 and type(logrel(x)) is float


@pytest.mark.parametrize("a", [0.0, 1.0, -3.5, 1e300, NAN, INF, -INF])
def test_powrel_at_zero(a):
    assert powrel(0.0, a) == 1.0 and powrel(-0.0, a) == 1.0


def test_special_values():
    assert logrel(1.0) == math.log1p(1.0) == math.log(2)
    assert powrel(1.0, 2.0) == pytest.approx(1.5, rel=2.3e-16)
    assert math.isnan(logrel(NAN)) and math.isnan(logrel(INF))
    assert math.isnan(powrel(NAN, 2.0)) and math.isnan(powrel(2.0, NAN))
    assert math.isfinite(logrel(-0.999))
    for x in (1e-300, 1e-20):
        assert logrel(x) == 1.0 and powrel(x, 3.0) == pytest.approx(1.0, abs=1e-15)


def test_a_zero_is_logrel_bit_for_bit():
    x = np.concatenate([np.logspace(-300, 300, 601), -np.logspace(-300, -1e-16, 300)])
    assert np.array_equal(powrel(x, 0.0), logrel(x))
    assert np.array_equal(powrel(x, -0.0), logrel(x))


def test_powrel_one_is_one():
    x = np.logspace(-10, 10, 201)
    t = np.log1p(x)   # the rounding of log1p(x) reaches expm1 amplified by t
    assert (np.abs(powrel(x, 1.0) - 1.0) <= 2.5e-16 * (4 + t)).all()


def test_logrel_accuracy():
    x = np.concatenate([np.logspace(-300, 300, 1201), -np.logspace(-300, math.log10(0.999999), 400)])
    for xi, v in zip(x.tolist(), logrel(x).tolist()):
        assert rel_error(v, logrel_exact(xi)) <= 4e-16, xi


def test_powrel_accuracy():
    rng = np.random.default_rng(21)
    x = np.concatenate([np.exp(rng.uniform(np.log(1e-12), np.log(1e12), 700)), -np.exp(rng.uniform(np.log(1e-12), np.log(0.99), 300))])
    a = rng.choice([-1, 1], x.size) * np.exp(rng.uniform(np.log(1e-6), np.log(50), x.size))
    for xi, ai, v in zip(x.tolist(), a.tolist(), powrel(x, a).tolist()):
        exact = powrel_exact(xi, ai)
        if exact > 1.7976931348623157e308:
            assert v == INF
            continue
        t = abs(ai * math.log1p(xi))
        # the rounding of t = a log1p(x) enters e^t: the bound grows with |t|
        assert rel_error(v, exact) <= 2.5e-16 * (4 + t), (xi, ai)


def test_matches_the_written_steps_where_finite():
    rng = np.random.default_rng(22)
    x = np.concatenate([np.exp(rng.uniform(-700, 700, 3000)), -np.exp(rng.uniform(-700, -1e-9, 1000))])
    a = rng.choice([-1, 1], x.size) * np.exp(rng.uniform(-700, 10, x.size))
    expected = np.array([powrel_steps(xi, ai) for xi, ai in zip(x.tolist(), a.tolist())])
    normal = (np.abs(x * a) >= SMALLEST_NORMAL) & (np.abs(a * np.log1p(x)) >= SMALLEST_NORMAL)
    kept = np.isfinite(expected) & normal
    assert kept.sum() > 2500
    assert np.array_equal(powrel(x[kept], a[kept]), expected[kept])


# ---------------------------------------------------------------------------------------
# Repaired: powrel where x a or a log1p(x) is subnormal

SMALLEST_NORMAL = 2.2250738585072014e-308


@pytest.mark.parametrize("x, a", [
    (1.0, 5e-324), (100.0, 1e-322), (1e-8, 2.3e-308), (1e300, 5e-324), (-0.5, 3e-308), (0.5, -1e-310),
    (-0.999999, 1e-310), (1e-300, 1e-10), (5e-324, 3.0), (-5e-324, -7.0), (1e-310, 1e-310), (1.5, 1.5e-308),
])
def test_subnormal_product_or_exponent(x, a):
    """The quotient of two subnormals keeps few bits: there the mean is formed as
    (expm1(t)/t) (log1p(x)/x), within the same bound as everywhere."""
    t = abs(a * math.log1p(x))
    assert abs(x * a) < SMALLEST_NORMAL or t < SMALLEST_NORMAL
    assert rel_error(powrel(x, a), powrel_exact(x, a)) <= 2.5e-16 * (4 + t)


def test_subnormal_sweep():
    rng = np.random.default_rng(24)
    x = np.concatenate([np.exp(rng.uniform(-745, 700, 1500)), -np.exp(rng.uniform(-745, -1e-9, 500))])
    a = rng.choice([-1, 1], x.size) * np.exp(rng.uniform(-745, -700, x.size))
    a[::3] = rng.choice([-1, 1], a[::3].size) * np.exp(rng.uniform(-10, 10, a[::3].size))
    tiny = (np.abs(x * a) < SMALLEST_NORMAL) | (np.abs(a * np.log1p(x)) < SMALLEST_NORMAL)
    assert tiny.sum() > 1000
    for xi, ai, v in zip(x.tolist(), a.tolist(), powrel(x, a).tolist()):
        exact = powrel_exact(xi, ai)
        if exact > mpmath.mpf(1.7976931348623157e308):
            assert v == INF
        else:
            assert rel_error(v, exact) <= 2.5e-16 * (4 + abs(ai * math.log1p(xi))), (xi, ai)


@pytest.mark.parametrize("a, expected", [(2.0, 0.5), (0.5, 2.0), (-2.0, INF)])
def test_powrel_at_minus_one_through_the_kernel(a, expected):
    """x = -1 is outside the domain of the Python function; the kernel (via the capsule) gives
    1/a for a > 0 and +inf for a < 0."""
    fn = capsule_function("_powrel", ctypes.c_double, ctypes.c_double, ctypes.c_double)
    assert fn(-1.0, a) == expected
    assert math.isnan(fn(-2.0, 2.0))


# ---------------------------------------------------------------------------------------
# Repaired: expm1 overflow in powrel

@pytest.mark.parametrize("x, a", [
    (1e300, 2.0), (1e300, 1.0000001), (1e10, 40.0), (1e5, 100.0), (3.0, 600.0), (2.0, 1100.0),
    (-0.5, -1100.0), (-0.999999, -60.0), (1e300, 2.3), (1e200, 3.5), (1e300, 2.36),
    (1e308, 2.0), (1.7e308, 1.5),
])
def test_overflow_of_expm1_is_repaired(x, a):
    exact = powrel_exact(x, a)
    got = powrel(x, a)
    if exact > 1.7976931348623157e308:
        assert got == INF
    else:
        assert math.isfinite(got) and rel_error(got, exact) <= 1e-12


def test_repair_grid_is_within_1e_12_and_infinite_only_when_the_mean_overflows():
    rng = np.random.default_rng(23)
    x = np.exp(rng.uniform(np.log(2.0), np.log(1e308), 400))
    a = (709.79 + rng.uniform(0, 1400, x.size)) / np.log1p(x)     # expm1 overflows for all
    for xi, ai, v in zip(x.tolist(), a.tolist(), powrel(x, a).tolist()):
        exact = powrel_exact(xi, ai)
        if exact > 1.7976931348623157e308 * (1 + 1e-12):
            assert v == INF
        elif exact < 1.7976931348623157e308 * (1 - 1e-12):
            assert rel_error(v, exact) <= 1e-12, (xi, ai)


def test_underflow_of_x_times_a_is_repaired():
    assert powrel(1e-200, 1e-200) == 1.0
    assert powrel(3e-170, -2e-160) == pytest.approx(float(powrel_exact(3e-170, -2e-160)), rel=1e-15)


def test_infinite_and_nan_arguments_keep_the_written_steps():
    for x, a in [(INF, 2.0), (2.0, INF), (2.0, -INF), (INF, -1.0), (NAN, 3.0), (3.0, NAN), (1e300, INF)]:
        expected = powrel_steps(x, a)
        got = powrel(x, a)
        assert got == expected or (math.isnan(got) and math.isnan(expected)), (x, a)


# ---------------------------------------------------------------------------------------
# Python functions

@pytest.mark.parametrize("x", [-1, -1.0, -2.5, [0.5, -1.0], -INF, np.array([[0.0], [-3.0]])])
@pytest.mark.parametrize("f", [logrel, lambda x: powrel(x, 2.0)])
def test_domain_error(f, x):
    with pytest.raises(ValueError) as info:
        f(x)
    assert str(info.value) == DOMAIN


def test_domain_error_traceback_names():
    for f, args in ((logrel, (-2.0,)), (powrel, (-2.0, 1.0))):
        with pytest.raises(ValueError) as info:
            f(*args)
        assert [e.name for e in traceback.extract_tb(info.value.__traceback__)][-1] == f"veltra.intmean.{f.__name__}"


def test_domain_error_before_broadcasting_and_after_conversion():
    with pytest.raises(ValueError, match="shape mismatch|broadcast"):
        powrel([1.0, 2.0, 3.0], [1.0, 2.0])
    with pytest.raises(ValueError, match="^x must be greater than -1.$"):
        powrel([-2.0, 2.0, 3.0], [1.0, 2.0])
    with pytest.raises(ValueError, match="could not convert"):
        powrel("nope", [1.0, "nope"])
    assert powrel(-1.0 + 1e-15, -1.0) > 0      # a is not restricted, only x
    assert powrel(-0.9, [-5.0, 0.0, 7.0]).shape == (3,)
    assert math.isnan(powrel(NAN, -1.0))


@pytest.mark.parametrize("x, a, shape", [
    (0.5, [1.0, 2.0, 3.0], (3,)),
    ([[0.1], [0.2]], [1.0, 2.0, 3.0], (2, 3)),
    (np.array(2.0), np.array([3.0]), (1,)),
    ([], 2.0, (0,)),
    (np.empty((2, 0)), [1.0], (2, 0)),
])
def test_powrel_broadcasting(x, a, shape):
    got = powrel(x, a)
    assert isinstance(got, np.ndarray) and got.dtype == np.float64 and got.shape == shape
    bx, ba = np.broadcast_arrays(np.asarray(x, float), np.asarray(a, float))
    assert got.tolist() == np.vectorize(powrel_steps)(bx, ba).tolist() if got.size else True


def test_scalars_and_integers():
    assert type(powrel(2.0, 3.0)) is float
    assert logrel(1) == logrel(1.0) and powrel(1, 2) == powrel(1.0, 2.0)
    assert logrel(np.float32(0.5)) == logrel(float(np.float32(0.5)))
    assert logrel([]).shape == (0,)


def test_read_only_inputs():
    x = np.linspace(-0.5, 3, 8)
    a = np.full(8, 2.5)
    x.setflags(write=False)
    a.setflags(write=False)
    assert logrel(x).tolist() == [logrel_steps(v) for v in x.tolist()]
    assert powrel(x, a).tolist() == [powrel_steps(v, 2.5) for v in x.tolist()]


def test_argument_errors():
    for call, message in [
        (lambda: powrel(1), "powrel() takes exactly 2 positional arguments (1 given)"),
        (lambda: powrel(a=2), "powrel() takes exactly 2 positional arguments (0 given)"),
        (lambda: powrel(1, 2, 3), "powrel() takes exactly 2 positional arguments (3 given)"),
        (lambda: powrel(1, x=2), "powrel() got multiple values for keyword argument 'x'"),
        (lambda: logrel(1, 2), "logrel() takes exactly 1 positional argument (2 given)"),
        (lambda: logrel(z=1), "logrel() got an unexpected keyword argument 'z'"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert powrel(a=2.0, x=1.0) == powrel(1.0, 2.0)


def test_docstrings_and_signatures():
    assert intmean.__doc__ == ("\nNumerically stable relative functions.\n\nAll functions handle the x=0 limit "
                               "analytically and use compensated\nprimitives (expm1, log1p) to avoid catastrophic "
                               "cancellation.\n")
    assert logrel.__doc__ == (
        "\n    Numerically stable computation of ``log(1 + x) / x``.\n\n"
        "    Average of ``1/t`` over the interval ``[1, 1+x]``:\n\n"
        "        (1/x) \u222b_1^{1+x}  (1/t) dt  =  log(1 + x) / x\n\n"
        "    Uses ``log1p`` to avoid cancellation for small ``x``.\n"
        "    Limit at ``x = 0`` is ``1``.  Requires ``x > -1``.\n\n"
        "    Args:\n        x: scalar or ndarray, any numeric dtype; must satisfy ``x > -1``\n\n"
        "    Returns:\n        ``log(1 + x) / x``, dtype float64, same shape as ``x``\n    ")
    assert powrel.__doc__ == (
        "\n    Numerically stable computation of ``((1+x)^a - 1) / (a * x)``.\n\n"
        "    Average of ``t^(a-1)`` over the interval ``[1, 1+x]``:\n\n"
        "        (1/x) \u222b_1^{1+x}  t^(a-1) dt  =  ((1+x)^a - 1) / (a x)\n\n"
        "    The case ``a = 0`` reduces to ``logrel``.\n"
        "    Uses ``expm1`` and ``log1p`` to avoid cancellation.\n"
        "    Limit at ``x = 0`` is ``1`` for all ``a``.  Requires ``x > -1``.\n\n"
        "    Args:\n        x: scalar or ndarray, any numeric dtype; must satisfy ``x > -1``\n"
        "        a: power exponent, scalar or ndarray broadcastable with ``x``\n\n"
        "    Returns:\n        ``((1+x)^a - 1) / (a * x)``, dtype float64,\n"
        "        shape is the broadcast shape of ``x`` and ``a``\n    ")
    assert str(inspect.signature(logrel)) == "(x)" and str(inspect.signature(powrel)) == "(x, a)"


def test_namespace_order():
    names = [n for n in vars(intmean) if n in ("__builtins__", "__pyx_capi__", "__test__") or not n.startswith("__")]
    assert names == ["__builtins__", "__pyx_capi__", "np", "logrel", "powrel", "__test__"]


# ---------------------------------------------------------------------------------------
# The export table and its consumers

def capsule_function(name, restype, *argtypes):
    api = ctypes.pythonapi
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    capsule = intmean.__pyx_capi__[name]
    signature = api.PyCapsule_GetName(capsule)
    address = api.PyCapsule_GetPointer(capsule, signature)
    return ctypes.CFUNCTYPE(restype, *argtypes)(address)


def test_export_table_layout():
    assert list(intmean.__pyx_capi__) == ["_logrel", "_powrel"]
    assert {type(c).__name__ for c in intmean.__pyx_capi__.values()} == {"PyCapsule"}
    assert "double (double)" in repr(intmean.__pyx_capi__["_logrel"])
    assert "double (double, double)" in repr(intmean.__pyx_capi__["_powrel"])


def test_ctypes_consumer():
    fl = capsule_function("_logrel", ctypes.c_double, ctypes.c_double)
    fp = capsule_function("_powrel", ctypes.c_double, ctypes.c_double, ctypes.c_double)
    for x in (0.0, 1e-10, 0.5, 3.0, 1e300):
        assert fl(x) == logrel(x)
        assert fp(x, 2.5) == powrel(x, 2.5)
    api = ctypes.pythonapi
    with pytest.raises(ValueError, match="PyCapsule_GetPointer called with incorrect name"):
        api.PyCapsule_GetPointer(intmean.__pyx_capi__["_logrel"], b"double (double, double)")


def test_scipy_low_level_callable():
    scipy_integrate = pytest.importorskip("scipy.integrate")
    from scipy import LowLevelCallable

    fn = LowLevelCallable.from_cython(intmean, "_logrel")
    value, error = scipy_integrate.quad(fn, 0.0, 1.0, epsabs=1e-14, epsrel=1e-14)
    assert abs(value - math.pi ** 2 / 12) <= 1e-13


def test_numba_consumer():
    numba = pytest.importorskip("numba")
    from numba.extending import get_cython_function_address

    address = get_cython_function_address("veltra.intmean", "_powrel")
    powrel_c = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_double, ctypes.c_double)(address)

    @numba.njit
    def mean_over(xs, a):
        total = 0.0
        for x in xs:
            total += powrel_c(x, a)
        return total / xs.size

    xs = np.linspace(0.0, 2.0, 101)
    assert mean_over(xs, 1.5) == pytest.approx(float(np.mean(powrel(xs, 1.5))), rel=1e-15)


@pytest.mark.parametrize("x, a", [(1.7976931348623157e308, -6.15995158028079), (1e300, -40.7), (1e200, -2.0)])
def test_product_overflows_where_the_mean_is_tiny(x, a):
    """x a beyond the double range while (1 + x)^a - 1 is near -1: the mean is (e/x)/a, to the
    last place of the subnormal grid where it is that small."""
    exact = powrel_exact(x, a)
    assert abs(powrel(x, a) - exact) <= 1e-15 * abs(exact) + 5e-324
