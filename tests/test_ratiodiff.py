"""veltra.ratiodiff: divided differences of the Mills ratio, their regimes, the integer
argument, broadcasting, and the two repaired limits (overflow in the tail, dx = 0 on the left)."""

import inspect
import math
import subprocess
import traceback
import warnings

import mpmath
import numpy as np
import pytest

import veltra.ratiodiff as ratiodiff
from veltra import ufuncs
from veltra.mills import millsratio_d1
from veltra.ratiodiff import millsratio_dd, millsratio_dd_cf

from support import (R1_steps, compile_with_kernels, convergent_dd_exact, dd_cf_steps, dd_exact, dd_large_exact,
                     dd_steps, derivatives_exact, mills_exact, rel_error)

DD_BOUND = 2e-14
INF, NAN = math.inf, math.nan


def tb_names(exc):
    return [e.name for e in traceback.extract_tb(exc.__traceback__)]


# ---------------------------------------------------------------------------------------
# Values

@pytest.mark.parametrize("x, dx, theta", [
    (0, 0.01, 1),      # Taylor series
    (10, 0.4, 1),      # Taylor series next to the direct boundary
    (1, 0.5, 1),       # direct difference
    (22, 0.5, 1),      # continued fraction, depth 8
    (50, 1, 1),        # depth 6
    (200, 2, 1),       # depth 4
    (20000, 100, 1),   # depth 2
    (-2, 0.5, -1),     # sum branch
    (-3, 1e-3, -1),
    (3, 1e-9, 1),
])
def test_regime_examples(x, dx, theta):
    assert rel_error(millsratio_dd(x, dx, theta), dd_exact(x, dx, theta)) <= DD_BOUND


def test_accuracy_sweep_for_x_above_minus_one():
    rng = np.random.default_rng(12)
    x = np.concatenate([rng.uniform(-1, 60, 1500), np.exp(rng.uniform(0, np.log(1e4), 300))])
    dx = (x + 1.25) * 0.0392 * np.exp(rng.uniform(-25, 1.5, x.size))
    got = millsratio_dd(x, dx)
    errors = [rel_error(v, dd_exact(a, b)) for a, b, v in zip(x.tolist(), dx.tolist(), got.tolist())]
    worst = int(np.argmax(errors))
    assert errors[worst] <= DD_BOUND, (x[worst], dx[worst], errors[worst])


def test_matches_the_written_steps_bit_for_bit():
    rng = np.random.default_rng(13)
    x = np.concatenate([rng.uniform(-40, 60, 3000), np.exp(rng.uniform(0, np.log(1e40), 500))])
    dx = np.abs(x + 1.25) * 0.0392 * np.exp(rng.uniform(-20, 2, x.size)) * rng.choice([-1, 1], x.size)
    theta = rng.choice([-1, 1], x.size)
    got = np.array([millsratio_dd(a, b, int(t)) for a, b, t in zip(x, dx, theta)])
    expected = np.array([dd_steps(a, b, int(t)) for a, b, t in zip(x.tolist(), dx.tolist(), theta.tolist())])
    finite = np.isfinite(expected)
    assert np.array_equal(got[finite], expected[finite])
    assert finite.sum() > 2800


@pytest.mark.parametrize("x", [0.0, 3.0, 10.0, 21.0, 30.0, 100.0, 1000.0, 5e4])
def test_direct_boundary(x):
    """dx exactly at (x + 1.25) * 0.0392 takes the direct difference; the double below does not.
    Both sides stay accurate: this is where the error is largest."""
    edge = (x + 1.25) * 0.0392
    assert millsratio_dd(x, edge) == (R_steps_dd := dd_steps(x, edge, 1))
    from support import R_steps
    assert R_steps_dd == (R_steps(x - edge) - R_steps(x + edge)) / (edge + edge)
    below = math.nextafter(edge, 0)
    assert millsratio_dd(x, below) == dd_steps(x, below, 1)
    for dx in (edge, below):
        assert rel_error(millsratio_dd(x, dx), dd_exact(x, dx)) <= DD_BOUND


@pytest.mark.parametrize("m, depth", [(21.2, 8), (41.0, 6), (165.0, 4), (12800.0, 2)])
def test_depth_boundaries(m, depth):
    """x - dx exactly at a threshold takes that depth; a little below it, the next."""
    dx = 0.25
    x = m + dx
    assert x - dx == m
    assert millsratio_dd(x, dx) == dd_cf_steps(x, dx, depth) == millsratio_dd_cf(x, dx, depth)
    for xx in (x, math.nextafter(x, 0)):
        assert rel_error(millsratio_dd(xx, dx), dd_exact(xx, dx)) <= DD_BOUND


def test_theta_selects_the_branch():
    for theta in (0, 2, 1000, True):
        assert millsratio_dd(1.0, 0.5, theta) == millsratio_dd(1.0, 0.5, 1)
    for theta in (-5, -(2 ** 31)):
        assert millsratio_dd(-2.0, 0.5, theta) == millsratio_dd(-2.0, 0.5, -1)


@pytest.mark.parametrize("x, dx", [(0.0, 0.01), (5.0, 0.1), (30.0, 0.5), (300.0, 3.0), (2e4, 10.0)])
def test_even_in_dx_away_from_the_direct_difference(x, dx):
    assert millsratio_dd(x, -dx) == millsratio_dd(x, dx)


# ---------------------------------------------------------------------------------------
# The convergents

@pytest.mark.parametrize("x, dx, n", [
    (2, 0.5, 0), (2, 0.5, 1), (2, 0, 2), (2, 0.5, 2), (2, 0.5, 4), (2, 0.5, -3), (3, 1, 6), (0.5, 0.25, 8),
    (-2, 0.5, 3), (7, 0, 5),
])
def test_convergents_against_exact_rationals(x, dx, n):
    exact = convergent_dd_exact(x, dx, n)
    got = millsratio_dd_cf(x, dx, n)
    assert abs(got - float(exact)) <= 4 * math.ulp(float(exact))


def test_printed_rationals():
    assert millsratio_dd_cf(2, 0.5, 0) == 4 / 15
    assert millsratio_dd_cf(2, 0.5, 1) == millsratio_dd_cf(2, 0.5, -3) == 44 / 377
    assert millsratio_dd_cf(2, 0, 2) == pytest.approx(17 / 98, rel=4e-16)
    assert millsratio_dd_cf(2.0, 0.5) == millsratio_dd_cf(2, 0.5, 4)


def test_convergents_are_even_in_dx():
    rng = np.random.default_rng(14)
    x, dx = rng.uniform(-50, 50, 500), rng.uniform(0, 10, 500)
    for n in (0, 1, 2, 5, 9):
        assert np.array_equal(millsratio_dd_cf(x, dx, n), millsratio_dd_cf(x, -dx, n))


def test_depth_zero_at_a_pole():
    assert millsratio_dd_cf(1.0, 1.0, 0) == INF


def test_deep_convergents_approach_the_mills_ratio():
    assert millsratio_dd_cf(2.0, 0.5, 400) == pytest.approx(float(dd_exact(2.0, 0.5)), rel=1e-14)


# ---------------------------------------------------------------------------------------
# Repaired: overflow of the unscaled sequences

@pytest.mark.parametrize("x", [2.3e51, 2.5e51, 1e60, 1.1e77, 1.3e77, 1e100, 1e120, 1e150])
@pytest.mark.parametrize("ratio", [1e-12, 1e-3, 0.03])
def test_far_tail_stays_accurate(x, ratio):
    dx = x * ratio
    assert rel_error(millsratio_dd(x, dx), dd_large_exact(x, dx)) <= 1e-14
    assert rel_error(millsratio_dd_cf(x, dx, 2), dd_large_exact(x, dx)) <= 1e-14


def test_far_tail_underflows_only_with_its_value():
    assert millsratio_dd(1e153, 1.0) == pytest.approx(1e-306, rel=1e-14)
    assert 0 < millsratio_dd(1e155, 1.0) < 2e-310        # subnormal, as is 1/x^2
    assert millsratio_dd(1e200, 1.0) == 0.0
    assert millsratio_dd(INF, 1.0) == 0.0


def test_literal_steps_kept_where_they_stay_finite():
    rng = np.random.default_rng(15)
    x = np.exp(rng.uniform(np.log(12800), np.log(2e51), 400))
    dx = x * rng.uniform(0, 0.03, x.size)
    assert np.array_equal(millsratio_dd(x, dx), [dd_cf_steps(a, b, 2) for a, b in zip(x.tolist(), dx.tolist())])


@pytest.mark.parametrize("n", [150, 171, 500, 5000])
def test_deep_convergents_do_not_overflow(n):
    value = millsratio_dd_cf(2.0, 0.5, n)
    assert value == pytest.approx(float(dd_exact(2.0, 0.5)), rel=1e-13)
    assert millsratio_dd_cf(-3.0, 0.25, n) == pytest.approx(float(convergent_dd_exact(-3.0, 0.25, min(n, 300))), rel=1e-12)


# ---------------------------------------------------------------------------------------
# Repaired: dx = 0 where the direct difference would be 0/0

@pytest.mark.parametrize("x", [-1.25, -1.5, -2.0, -10.0, -37.0])
def test_zero_step_on_the_left_gives_minus_r_prime(x):
    assert millsratio_dd(x, 0.0) == millsratio_d1(x) == R1_steps(x)
    assert millsratio_dd(x, -0.0) == millsratio_d1(x)
    assert rel_error(millsratio_dd(x, 0.0), derivatives_exact(x)[0]) <= 1e-14


@pytest.mark.parametrize("x", [-1.0, 0.0, 3.0, 25.0, 500.0, 2e4])
def test_zero_step_elsewhere(x):
    assert rel_error(millsratio_dd(x, 0.0), derivatives_exact(x)[0]) <= 1e-15


def test_zero_step_sum_branch_is_infinite():
    assert millsratio_dd(1.0, 0.0, -1) == INF


def test_nonzero_step_on_the_left_keeps_the_direct_difference():
    assert millsratio_dd(-2.0, 1e-3) == dd_steps(-2.0, 1e-3, 1)


def test_nan():
    assert math.isnan(millsratio_dd(NAN, 0.5)) and math.isnan(millsratio_dd(1.0, NAN))
    assert math.isnan(millsratio_dd_cf(NAN, 0.5)) and math.isnan(millsratio_dd_cf(1.0, NAN, 200))


# ---------------------------------------------------------------------------------------
# The integer argument

class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class MyInt(int):
    pass


@pytest.mark.parametrize("theta, branch", [
    (-1, -1), (-7, -1), (-1.0, -1), (-1.9, -1), (np.int64(-1), -1), (np.float32(-3.5), -1), (IntLike(-2), -1),
    (0, 1), (2, 1), (0.5, 1), (-0.5, 1), (True, 1), (False, 1), (np.int8(1), 1), (MyInt(-1), -1),
])
def test_theta_conversion(theta, branch):
    assert millsratio_dd(-2.0, 0.5, theta) == millsratio_dd(-2.0, 0.5, branch)


@pytest.mark.parametrize("n_terms, depth", [(2.9, 2), (np.float64(3.99), 3), (np.uint16(5), 5), (IntLike(6), 6), (True, 1)])
def test_n_terms_conversion(n_terms, depth):
    assert millsratio_dd_cf(2.0, 0.5, n_terms) == millsratio_dd_cf(2.0, 0.5, depth)


@pytest.mark.parametrize("value, error, message", [
    (None, TypeError, "an integer is required"),
    ("1", TypeError, "an integer is required"),
    ([1], TypeError, "an integer is required"),
    (IntLike(1.5), TypeError, "__int__ returned non-int (type float)"),
    (2 ** 40, OverflowError, "Python int too large to convert to C int"),
    (-(2 ** 31) - 1, OverflowError, "Python int too large to convert to C int"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (1e10, OverflowError, "Python int too large to convert to C int"),
])
@pytest.mark.parametrize("f", [millsratio_dd, millsratio_dd_cf])
def test_integer_argument_errors(f, value, error, message):
    with pytest.raises(error) as info:
        f(1.0, 0.5, value)
    assert str(info.value) == message
    assert tb_names(info.value)[-1] == f"veltra.ratiodiff.{f.__name__}"


def test_invalid_integer_is_reported_before_invalid_x():
    with pytest.raises(TypeError, match="an integer is required"):
        millsratio_dd("not a number", 0.5, None)


def test_int_subclass_from_int_warns_and_is_used():
    class Sub(int):
        pass

    class ReturnsSub:
        def __int__(self):
            return Sub(-1)

    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type Sub\)\.  The ability"):
        assert millsratio_dd(-2.0, 0.5, ReturnsSub()) == millsratio_dd(-2.0, 0.5, -1)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            millsratio_dd(-2.0, 0.5, ReturnsSub())


# ---------------------------------------------------------------------------------------
# Arrays

@pytest.mark.parametrize("x, dx, shape", [
    ([1.0, 2.0], 0.5, (2,)),
    ([[1.0], [2.0], [3.0]], [0.1, 0.2, 0.3, 0.4], (3, 4)),
    (np.ones((2, 1, 3)), np.full((4, 1), 0.25), (2, 4, 3)),
    ([], 0.5, (0,)),
    (np.ones((0, 3)), [0.1, 0.2, 0.3], (0, 3)),
    (np.array([2.0]), np.array(0.5), (1,)),
    ([1, 2], [True, False], (2,)),
])
def test_broadcasting(x, dx, shape):
    got = millsratio_dd(x, dx)
    assert isinstance(got, np.ndarray) and got.dtype == np.float64 and got.shape == shape and got.flags.c_contiguous
    bx, bdx = np.broadcast_arrays(np.asarray(x, float), np.asarray(dx, float))
    for index in np.ndindex(shape):
        assert got[index] == dd_steps(float(bx[index]), float(bdx[index]), 1)


@pytest.mark.parametrize("x, dx", [(1.0, 0.5), (np.float64(1.0), np.array(0.5)), (np.array(1.0), 0.5), (2, 1)])
def test_zero_dimensional_gives_float(x, dx):
    got = millsratio_dd(x, dx)
    assert type(got) is float and got == dd_steps(float(x), float(dx), 1)


def test_broadcast_error_is_numpys():
    with pytest.raises(ValueError, match="shape mismatch|broadcast") as info:
        millsratio_dd([1.0, 2.0], [0.1, 0.2, 0.3])
    assert "veltra.ratiodiff.millsratio_dd" in tb_names(info.value)


def test_read_only_and_non_contiguous_inputs():
    x = np.linspace(0, 30, 12).reshape(3, 4)
    dx = np.full((3, 4), 0.2)
    x.setflags(write=False)
    dx.setflags(write=False)
    expected = millsratio_dd(x.copy(), dx.copy())
    assert np.array_equal(millsratio_dd(x, dx), expected)
    assert np.array_equal(millsratio_dd(np.asfortranarray(x), dx[::1]), expected)
    assert np.array_equal(millsratio_dd(x.T.copy().T, dx), expected)
    assert not x.flags.writeable and x[0, 0] == 0.0


# ---------------------------------------------------------------------------------------
# Module and function objects

def test_signatures_and_defaults():
    assert str(inspect.signature(millsratio_dd)) == "(x, dx, theta=1)"
    assert str(inspect.signature(millsratio_dd_cf)) == "(x, dx, n_terms=4)"
    assert millsratio_dd.__defaults__ == (1,) and millsratio_dd_cf.__defaults__ == (4,)
    assert millsratio_dd.__code__.co_varnames == (
        "x", "dx", "theta", "fx", "fdx", "o", "i", "n", "th", "x_arr", "dx_arr", "bshape", "scalar", "flat_x", "flat_dx", "out")
    assert millsratio_dd_cf.__code__.co_varnames[5:9] == ("o", "i", "n", "nt") and "nt" in millsratio_dd_cf.__code__.co_varnames
    assert millsratio_dd.__module__ == "veltra.ratiodiff"


@pytest.mark.parametrize("call, message", [
    (lambda: millsratio_dd(1.0), "millsratio_dd() takes at least 2 positional arguments (1 given)"),
    (lambda: millsratio_dd(), "millsratio_dd() takes at least 2 positional arguments (0 given)"),
    (lambda: millsratio_dd(1, 2, 3, 4), "millsratio_dd() takes at most 3 positional arguments (4 given)"),
    (lambda: millsratio_dd(1, 2, 3, 4, theta=1), "millsratio_dd() takes at most 3 positional arguments (4 given)"),
    (lambda: millsratio_dd_cf(dx=0.5), "millsratio_dd_cf() takes at least 2 positional arguments (0 given)"),
    (lambda: millsratio_dd_cf(1.0, n_terms=3), "millsratio_dd_cf() takes at least 2 positional arguments (1 given)"),
    (lambda: millsratio_dd(1.0, 2.0, x=1.0), "millsratio_dd() got multiple values for keyword argument 'x'"),
    (lambda: millsratio_dd(1.0, 2.0, n_terms=1), "millsratio_dd() got an unexpected keyword argument 'n_terms'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_calls():
    assert millsratio_dd(dx=0.5, x=1.0) == millsratio_dd(1.0, 0.5)
    assert millsratio_dd(1.0, 0.5, theta=-1) == millsratio_dd(1.0, 0.5, -1)
    assert millsratio_dd_cf(x=2.0, dx=0.5, n_terms=0) == 4 / 15


def test_module_docstring_and_namespace():
    assert ratiodiff.__doc__.startswith(
        "Symmetric divided differences of the Mills ratio R(x) = N(-x)/n(x).\n\nFor a midpoint x and half-step dx")
    assert "avoiding cancellation when x < 0.\n\n" in ratiodiff.__doc__
    assert millsratio_dd.__doc__.startswith("Mills-ratio symmetric divided difference:\n        theta = +1:")
    assert millsratio_dd.__doc__.endswith("Mills ratios (no cancellation).\n    ")
    assert millsratio_dd_cf.__doc__ == (
        "Deep-asymptotic cancellation-free divided difference via the (V, T, P^a, P^b) CF\n"
        "    recurrence (table-free, algorithmic loop).  n_terms >= 0 supported.  Scalars or\n"
        "    broadcastable ndarrays for x, dx; n_terms scalar.\n    ")
    names = [n for n in vars(ratiodiff) if not n.startswith("__") or n in ("__builtins__", "__test__")]
    assert names == ["__builtins__", "np", "millsratio_dd", "millsratio_dd_cf", "__test__"]


@pytest.mark.parametrize("x, dx, n", [(1e100, 1e94, 1), (-1e100, 1e90, 1), (1e100, 1e94, -2), (1e100, 0.0, 1),
                                      (1.0430487517374743e107, 1.0430487517374743e101, 1), (1e120, 1e118, 0)])
def test_shallow_convergents_in_the_far_tail(x, dx, n):
    """Depth 0 and 1 divided differences stay ~1/(x^2 - dx^2) where the products a*a, b*b overflow
    their squares' squares."""
    assert rel_error(millsratio_dd_cf(x, dx, n), 1 / (mpmath_mpf(x) ** 2 - mpmath_mpf(dx) ** 2)) <= 1e-14


def mpmath_mpf(v):
    import mpmath
    return mpmath.mpf(v)


# ---------------------------------------------------------------------------------------
# The difference branch is even in dx: a negative step gives the bits of its magnitude

@pytest.mark.parametrize("x, dx, value", [
    (14.933801359545738, 14.934058719253576, 0.04085052033470168),
    (0.0, 1e6, INF),                     # R(-1e6) overflows: so does the quotient
    (1e10, 1e10, 6.2665706863275e-11),
    (-30.0, 5.0, 2.5378158176690e265),
    (0.0, 1.0, 1.4106861346424484),
    (1.0, INF, INF),
])
def test_negative_step_examples(x, dx, value):
    for step in (dx, -dx):
        got = millsratio_dd(x, step)
        assert got == pytest.approx(value, rel=1e-13) if math.isfinite(value) else got == value
        if math.isfinite(value):
            assert rel_error(got, dd_exact(x, dx)) <= DD_BOUND


def mixed_steps(seed, size):
    """Midpoints in [-1, 30] and log-uniform up to 1e10, steps up to twice their magnitude, and
    every regime boundary of the step."""
    rng = np.random.default_rng(seed)
    x = np.concatenate([rng.uniform(-1, 30, size), np.exp(rng.uniform(0, np.log(1e10), size))])
    dx = np.abs(x) * 2 * rng.uniform(0, 1, x.size) ** 4
    edge = (x + 1.25) * 0.0392
    return np.concatenate([x, x, x, [0.0, 1.0, -2.0]]), np.concatenate([dx, edge, np.nextafter(edge, 0), [0.0, -0.0, 5.0]])


@pytest.mark.parametrize("theta", [0, 1, 7])
def test_negative_step_is_bit_identical(theta):
    x, dx = mixed_steps(21, 20_000)
    assert np.array_equal(millsratio_dd(x, -dx, theta), millsratio_dd(x, dx, theta), equal_nan=True)
    assert np.array_equal(ufuncs.millsratio_dd(x, -dx, theta), ufuncs.millsratio_dd(x, dx, theta), equal_nan=True)


def test_sum_branch_is_unchanged_for_either_sign_of_the_step():
    """The sum branch keeps the written steps wherever they give a finite value; where one of
    its terms overflows, the value comes from the exponent."""
    x, dx = mixed_steps(22, 2_000)
    x, dx = x[dx != 0], dx[dx != 0]
    for step in (dx, -dx):
        expected = np.array([dd_steps(a, b, -1) for a, b in zip(x.tolist(), step.tolist())])
        got = millsratio_dd(x, step, -1)
        finite = np.isfinite(expected)
        assert np.array_equal(got[finite], expected[finite])
        for a, b, v in zip(x[~finite].tolist(), step[~finite].tolist(), got[~finite].tolist()):
            exact = dd_exact(a, b, -1)
            assert abs(v) == INF if overflows(exact) else rel_error(v, exact) <= 2e-15


# ---------------------------------------------------------------------------------------
# Where R overflows but the quotient need not: combined in the exponent

def overflows(exact) -> bool:
    """True when the exact value lies beyond the largest double (compared as mpf: mpmath's
    comparison of a huge mpf with a float is not reliable)."""
    return abs(exact) > mpmath.mpf(1.7976931348623157e308)


@pytest.mark.parametrize("x, dx, theta", [
    (0.0, 37.7, 1), (1.0, 38.7, 1), (1e3, 1037.7, 1), (1e5, 1e5 + 37.7, 1), (-20.0, 17.7, 1),
    (-30.0, 7.7, 1), (-37.0, 0.66, 1),                  # the last just below the largest double
    (1e10, 1e10 - 37.8, -1), (0.5, -37.2, -1),          # one term overflows
    (0.01, -37.68, -1), (-0.005, -37.7, -1),            # one overflows, the other is near the limit
])
def test_overflowing_terms_give_the_representable_value(x, dx, theta):
    exact = dd_exact(x, dx, theta)
    assert not overflows(exact)
    assert rel_error(millsratio_dd(x, dx, theta), exact) <= 2e-15


@pytest.mark.parametrize("x, dx, theta, value", [
    (-40.0, 1.0, 1, INF), (-38.0, 0.1, 1, INF), (0.0, INF, 1, INF), (-INF, 1.0, 1, INF), (-38.0, 1e-300, 1, INF),
    (0.0, 40.0, 1, INF), (-40.0, 0.0, 1, INF), (0.0, -40.0, -1, -INF), (-38.0, 0.0, -1, INF), (-38.0, -0.0, -1, -INF),
    (NAN, 1.0, 1, NAN), (1.0, NAN, 1, NAN), (NAN, 1.0, -1, NAN),
])
def test_overflowing_values_are_infinite_not_nan(x, dx, theta, value):
    got = millsratio_dd(x, dx, theta)
    assert got == value or (math.isnan(value) and math.isnan(got))


def test_overflow_sweep_against_mpmath():
    """Steps that carry x - dx past the overflow limit of R (-37.68), for midpoints on both
    sides of 0: wherever the divided difference is representable it comes out to a few ulps,
    elsewhere it is +inf."""
    rng = np.random.default_rng(23)
    a = -rng.uniform(37.68, 39.0, 400)
    x = np.concatenate([rng.uniform(-37.5, 40, 300), -np.exp(rng.uniform(np.log(1e-3), np.log(37), 100))])
    dx = x - a
    got = millsratio_dd(x, dx)
    finite = 0
    for xi, di, v in zip(x.tolist(), dx.tolist(), got.tolist()):
        exact = dd_exact(xi, di)
        if overflows(exact):
            assert v == INF
        else:
            finite += 1
            assert rel_error(v, exact) <= 2e-15, (xi, di)
    assert finite > 20


DEEPEST_PROGRAM = r"""
#include <cstdint>
#include <cstdio>
#include <limits>
#include "ratiodiff.hpp"

// The recurrences at the largest depth of a 16-bit type, whose counter would wrap there (and
// loop for ever) if it ever passed the depth, and at the same depth as an int.
int main() {
    const double a = 0.5, b = 1.5;
    const std::int16_t deepest = std::numeric_limits<std::int16_t>::max();
    using veltra::detail::convergent;
    using veltra::detail::dd_cf_recurrence;
    std::printf("%a %a %a %a\n", dd_cf_recurrence<true>(a, b, b * a, deepest),
                dd_cf_recurrence<true>(a, b, b * a, int(deepest)), convergent(a, deepest), convergent(a, int(deepest)));
}
"""


def test_deepest_convergent_terminates_with_the_limit(tmp_path):
    """The depth loops count in the depth's own type and stop at the depth, never past it: at
    the largest depth of a 16-bit type they end (a counter passing it would wrap and loop for
    ever), with the bits of the same depth as an int, which the ufunc runs for every depth up
    to INT_MAX; and the convergent of that depth is R's own divided difference to rounding."""
    exe = compile_with_kernels(tmp_path, DEEPEST_PROGRAM)
    if exe is None:
        pytest.skip("no C++ compiler")
    out = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60, check=True).stdout
    dd_short, dd_int, k_short, k_int = (float.fromhex(v) for v in out.split())
    assert dd_short == dd_int and k_short == k_int
    assert dd_int == ufuncs.millsratio_dd_cf(1.0, 0.5, np.int32(2**15 - 1))
    assert rel_error(dd_int, dd_exact(1.0, 0.5)) <= 1e-12
    assert rel_error(k_int, mills_exact(0.5)) <= 1e-12


@pytest.mark.parametrize("x, dx, theta, expected", [
    # 2 dx beyond the double range: the numerator is halved instead (R(0)/(2 * 1.7e308))
    (1.7e308, 1.7e308, 1, mpmath.sqrt(mpmath.pi / 2) / (2 * mpmath.mpf(1.7e308))),
    (-1.7e308, -1.7e308, -1, -INF),        # R(-inf) = inf over a negative step
    (-INF, -INF, -1, -INF),                # R(dx - x) is undefined but R >= 0: the sum is +inf
])
def test_extreme_steps(x, dx, theta, expected):
    got = millsratio_dd(x, dx, theta)
    assert got == expected if isinstance(expected, float) else rel_error(got, expected) <= 1e-15


@pytest.mark.parametrize("n", [-1, 1, 2, 3, 4, 7, 40])
@pytest.mark.parametrize("x, dx", [(1e155, 1e155), (1e155, -1e155), (3e154, 3e154 - 0.75), (1.7e308, 1.7e308)])
def test_convergent_with_one_point_beyond_the_square_root_of_max(x, dx, n):
    """One point near the origin, the other so far out that its square overflows: the divided
    difference is K(near)/far - 1/far^2, a pole at 0 for even depths."""
    near = mpmath.mpf(x) - mpmath.mpf(dx) if abs(x - dx) < abs(x + dx) else mpmath.mpf(x) + mpmath.mpf(dx)
    far = 2 * mpmath.mpf(x) - near
    depth = max(n, 1)
    got = millsratio_dd_cf(x, dx, n)
    if near == 0 and depth % 2 == 0:
        assert math.isinf(got)
        return
    with mpmath.workdps(60):
        a_prev, a, p_prev, p = mpmath.mpf(0), mpmath.mpf(1), mpmath.mpf(1), near
        for k in range(1, depth + 1):
            a_prev, a, p_prev, p = a, near * a + k * a_prev, p, near * p + k * p_prev
        exact = (a / p - 1 / far) / (far - near)
    assert abs(got - exact) <= 1e-15 * abs(exact) + 5e-324


@pytest.mark.parametrize("x, dx, n", [
    (6.179742738572398e-284, -1.0541095673033615e-154, 524),  # even depth next to its pole at 0
    (5.013716041871052e153, 5.013716041871052e153, 11),      # one point at 0, the other far
    (4.0, 5.6469886895598584e16, 9),                          # both beyond 2^27: 1/(ab)
    (1e20, 3e19, 300),
    (-1e160, 3e159, 0), (1e160, 3e159, 0),                    # depth 0 where ab overflows
])
def test_convergent_where_the_recurrence_leaves_the_double_range(x, dx, n):
    exact = convergent_dd_exact(x, dx, n)
    assert millsratio_dd_cf(x, dx, n) == millsratio_dd_cf(x, -dx, n)
    for step in (dx, -dx):
        assert abs(millsratio_dd_cf(x, step, n) - exact) <= 1e-14 * abs(exact) + 5e-324


def test_depth_zero_pole_where_the_product_overflows():
    assert millsratio_dd_cf(1.7976931348623157e308, 1.7976931348623157e308, 0) == INF
