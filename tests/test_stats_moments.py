"""veltra.stats.truncnorm's moments: stats(moments='mvsk') and moment(order) as SciPy's on
central intervals (values, letters, shapes, types, invalid parameters), and moment against
raw moments by mpmath quadrature (tests/truncnorm_reference.py) in every region."""

import math

import numpy as np
import pytest
import truncnorm_reference as reference
from test_stats import CENTRAL, INF, SCIPY_REL, S

import veltra.truncnorm as tn
from veltra.stats import truncnorm

#: Error of moment of order n, in units of (|loc| + scale (|mean| + sd))^n: up to n = 4, and
#: times n! beyond.
MOMENT_TOL = 1e-12
HIGHER_MOMENT_TOL = 1e-15

# (a, b, loc, scale): around the mode, tails, far tails, narrow, one-sided; loc and scale
# large, and loc = -scale mean (a centred Y, whose raw moments are near 0).
MOMENT_CASES = [
    (-1.0, 2.0, 0.0, 1.0), (-0.2, 0.5, 0.0, 1.0), (-1.5, 1.5, 0.0, 1.0), (-30.0, 30.0, 0.0, 1.0),
    (0.0, INF, 0.0, 1.0), (-INF, 0.3, 2.0, 5.0), (1.0, 1.5, 0.0, 1.0), (-3.0, -1.0, -2.0, 0.5),
    (8.0, 9.0, 0.0, 1.0), (30.0, 31.0, 0.0, 1.0), (40.0, INF, 0.0, 1.0), (-INF, -35.0, 3.0, 2.0),
    (1e4, 1e4 + 1e-3, 0.0, 1.0), (1e8, 1e8 + 1.0, 0.0, 1.0), (3e9, INF, -3e9, 1.0),
    (-1e-3, 1e-3, 0.0, 1.0), (1e-5, 2e-5, 0.0, 1.0), (5.0, 5.001, 0.0, 1.0), (30.0, 30.001, 0.0, 1.0),
    (0.5, 0.6, 100.0, 1e-3), (-2.0, 3.0, 1e6, 1e3), (2.0, 3.0, -2.3, 1.0),
]


def moment_scale(a, b, loc, scale):
    return abs(loc) + scale * (abs(tn.mean(a, b)) + math.sqrt(tn.var(a, b)))


@pytest.mark.parametrize("a, b, loc, scale", MOMENT_CASES)
def test_moment_against_mpmath(a, b, loc, scale):
    unit = moment_scale(a, b, loc, scale)
    for n in (3, 4, 7):
        tolerance = MOMENT_TOL if n <= 4 else HIGHER_MOMENT_TOL * math.factorial(n)
        got = truncnorm.moment(n, a, b, loc, scale)
        want = reference.raw_moment(n, a, b, loc, scale)
        assert float(abs(got - want)) <= tolerance * unit**n, (n, got, float(want))


@pytest.mark.parametrize("a, b", [(-1e-3, 1e-3), (5.0, 5.001), (1e-5, 2e-5), (-INF, -1e5), (-0.5, 0.7),
                                  (-4.0, 4.0), (-3.0, 3.5), (-4.1, 3.0)])
def test_moment_of_order_twelve(a, b):
    # Intervals within [-4, 4] take the recurrence downwards, which upwards would cancel (all
    # of it for a narrow one near 0), from far enough above to forget its start.
    want = reference.raw_moment(12, a, b)
    got = truncnorm.moment(12, a, b)
    assert float(abs(got - want)) <= HIGHER_MOMENT_TOL * math.factorial(12) * moment_scale(a, b, 0.0, 1.0) ** 12


@pytest.mark.parametrize("a, b", CENTRAL)
def test_stats_and_moments_match_scipy(a, b):
    for loc, scale in [(0.0, 1.0), (2.5, 0.5), (-1.0, 3.0)]:
        np.testing.assert_allclose(truncnorm.stats(a, b, loc, scale, moments="mvsk"),
                                   S.stats(a, b, loc, scale, moments="mvsk"), rtol=SCIPY_REL, atol=1e-14)
        for n in range(7):
            np.testing.assert_allclose(truncnorm.moment(n, a, b, loc, scale), S.moment(n, a, b, loc, scale),
                                       rtol=SCIPY_REL)


def test_stats_letters_in_any_order_and_shape_invariant_in_loc_and_scale():
    a, b = np.array(CENTRAL[:6]).T
    loc = np.array([[0.0], [2.5]])
    every = truncnorm.stats(a, b, loc, 3.0, moments="kvsm")
    assert len(every) == 4 and all(np.shape(v) == (2, 6) for v in every)
    mean, var, skew, kurtosis = every
    assert np.array_equal(skew[0], skew[1]) and np.array_equal(skew[0], tn.skew(a, b))
    assert np.array_equal(kurtosis[1], tn.kurtosis(a, b))
    assert np.array_equal(truncnorm.stats(a, b, loc, 3.0, moments="ks")[1], kurtosis)
    assert type(truncnorm.stats(0.0, 1.0, moments="s")) is np.float64
    assert truncnorm.stats(40.0, INF, 7.0, 0.1, moments="sk") == (tn.skew(40.0, INF), tn.kurtosis(40.0, INF))


INVALID = [(1.0, 1.0, 0.0, 1.0), (2.0, 1.0, 0.0, 1.0), (np.nan, 1.0, 0.0, 1.0), (-INF, -INF, 0.0, 1.0),
           (0.0, 1.0, 0.0, 0.0), (0.0, 1.0, 0.0, -1.0), (0.0, 1.0, np.nan, 1.0)]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # SciPy's, not veltra's
@pytest.mark.parametrize("a, b, loc, scale", INVALID)
def test_invalid_parameters_as_scipy(a, b, loc, scale):
    with np.errstate(all="raise"):
        got = [*truncnorm.stats(a, b, loc, scale, moments="mvsk"), *(truncnorm.moment(n, a, b, loc, scale)
                                                                     for n in (0, 1, 4, 7))]
    want = [*S.stats(a, b, loc, scale, moments="mvsk"), *(S.moment(n, a, b, loc, scale) for n in (0, 1, 4, 7))]
    np.testing.assert_array_equal(got, want)


def test_moment_order_broadcasting_and_types_as_scipy():
    a, b = np.array([-1.0, 0.0, 0.5]), np.array([[1.0], [2.0]])
    loc = np.array([[[0.0]], [[1.5]]])
    got = truncnorm.moment(3, a, b, loc, 2.0)
    assert got.shape == (2, 2, 3)
    np.testing.assert_allclose(got, S.moment(3, a, b, loc, 2.0), rtol=SCIPY_REL)
    for order in (2, 2.0, np.int64(2), np.float32(2.0)):
        assert type(truncnorm.moment(order, 0.0, 1.0)) is np.float64
        assert truncnorm.moment(order, 0.0, 1.0) == truncnorm.moment(2, 0.0, 1.0)
    assert truncnorm.moment(0, a, b).shape == (2, 3) and (truncnorm.moment(0, a, b) == 1.0).all()
    for order, message in [(2.5, "integer"), (-1, "positive"), ([1, 2], "single")]:
        with pytest.raises(ValueError, match=message):
            truncnorm.moment(order, 0.0, 1.0)


def test_frozen_stats_and_moment():
    frozen = truncnorm(-1.0, np.array([1.0, 2.0]), loc=3.0, scale=2.0)
    params = (-1.0, np.array([1.0, 2.0]), 3.0, 2.0)
    np.testing.assert_array_equal(frozen.stats("mvsk"), truncnorm.stats(*params, moments="mvsk"))
    for n in (0, 2, 5):
        np.testing.assert_array_equal(frozen.moment(n), truncnorm.moment(n, *params))


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("order, a, b, scale, want", [
    (2, 1e-160, 2e-160, 1e160, 7 / 3),   # scale^2 overflows, (scale sd)^2 does not
    (3, -1.0, 1.0, 1e300, 0.0),          # symmetric: the third moment is 0 at any scale
    (4, -1.0, 1.0, 1e300, math.inf),
    (5, -1.0, 1.0, 1e300, 0.0),
])
def test_moment_where_a_power_of_the_scale_overflows(order, a, b, scale, want):
    assert truncnorm.moment(order, a, b, 0.0, scale) == pytest.approx(want, rel=1e-3)
