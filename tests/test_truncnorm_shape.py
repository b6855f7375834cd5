"""Skewness and excess kurtosis of N(0, 1) on [a, b] (veltra.truncnorm.skew, .kurtosis)
against the suite's mpmath reference, in every region of the kernel and across its borders."""

from __future__ import annotations

import math

import numpy as np
import pytest

import truncnorm_reference as ref
import veltra.truncnorm as tn

SKEW_TOL = 1e-13      # absolute, of max(1, |skewness|)
KURTOSIS_TOL = 4e-13  # absolute, of max(1, |kurtosis|)

INF = math.inf
NAN = math.nan
LARGEST = 1.7976931348623157e308


def mirrored(pairs):
    return pairs + [(-b, -a) for a, b in pairs]


def flat_edge(lo: float, z: float) -> tuple[float, float]:
    """The tail interval [lo, hi] with (hi^2 - lo^2)/2 = z."""
    return lo, lo + 2 * z / (lo + math.sqrt(lo * lo + 2 * z))


def assert_shape(a: float, b: float) -> None:
    skew, kurtosis = ref.shape(a, b)
    got_skew, got_kurtosis = tn.skew(a, b), tn.kurtosis(a, b)
    assert abs(got_skew - skew) <= SKEW_TOL * max(1.0, abs(skew)), (a, b, got_skew, skew)
    assert abs(got_kurtosis - kurtosis) <= KURTOSIS_TOL * max(1.0, abs(kurtosis)), (a, b, got_kurtosis, kurtosis)


REGIONS = {
    # one-sided tails: the raw moments, the continued fraction for m4/m3 from x = 4, the
    # asymptotic series from x = 25
    "one-sided": [(0.0, INF), (5e-324, INF), (0.5, INF), (1.0, INF), (3.99, INF), (4.0, INF), (10.0, INF),
                  (24.99, INF), (25.0, INF), (40.0, INF), (1e4, INF), (17300.0, INF), (1e8, INF)],
    # the tilted uniform law: narrow intervals anywhere, down to subnormal widths
    "narrow": [(30.0, 30.001), (1e4, 1e4 + 1e-3), (1e8, 1e8 + 1.0), (5.0, 5.0 + 1e-12), (0.5, 0.5 + 2**-52),
               (5e-324, 1e-323), (0.0, 5e-324), (1e-310, 2e-310), (-0.15, 0.35), (-1e-10, 3e-10)],
    # tail intervals on either side of the change from the series to the mixture at z = 6
    "flat edge": [flat_edge(lo, z) for lo in (0.0, 0.7, 3.0, 30.0, 1e5) for z in (5.9, 6.1)],
    # wide tail intervals: [lo, inf) less [hi, inf)
    "wide tail": [(8.0, 9.0), (30.0, 31.0), (1.0, 5.0), (0.0, 3.0), (3.0, 5.0), (10.0, 10.5), (1e4, 1e4 + 1e-3),
                  (0.2, 40.0)],
    # around the mode: the series up to width 2, the boundary recurrence beyond
    "mode": [(-0.001, 1.999), (-0.006, 2.004), (-1.0, 2.0), (-0.5, INF), (-3.0, INF), (-8.3, 9.1), (-30.0, 30.3),
             (-1e-300, INF), (-2.9, 3.1)],
}


@pytest.mark.parametrize("a, b", mirrored([pair for pairs in REGIONS.values() for pair in pairs]))
def test_shape_against_mpmath(a, b):
    assert_shape(a, b)


@pytest.mark.parametrize("kind", ref.KINDS)
def test_shape_of_random_intervals(kind):
    import random
    rng = random.Random(23)
    for _ in range(12):
        a, b = ref.random_interval(rng, kind)
        if a < b:
            assert_shape(a, b)


@pytest.mark.parametrize("a, b, skew, kurtosis, decimals", [
    (40.0, INF, 1.99628, 5.97027, 5),            # towards the exponential law
    (30.0, 30.001, 0.0103924, -1.1998508, 7),    # towards the uniform law
])
def test_values_quoted_to_their_last_digit(a, b, skew, kurtosis, decimals):
    assert (round(tn.skew(a, b), decimals), round(tn.kurtosis(a, b), decimals)) == (skew, kurtosis)


@pytest.mark.parametrize("a, b, skew, kurtosis", [
    (1e300, INF, 2.0, 6.0), (1e300, 2e300, 2.0, 6.0), (LARGEST / 2, LARGEST, 2.0, 6.0), (LARGEST, INF, 2.0, 6.0),
    (-INF, -1e300, -2.0, 6.0), (-INF, INF, 0.0, 0.0), (-LARGEST, LARGEST, 0.0, 0.0),
])
def test_limits_at_the_ends_of_the_double_range(a, b, skew, kurtosis):
    assert (tn.skew(a, b), tn.kurtosis(a, b)) == (skew, kurtosis)


@pytest.mark.parametrize("x", [5e-324, 1e-10, 0.5, 1.0, 2.0, 2.5, 10.0, 40.0, 1e300, INF])
def test_symmetric_intervals_have_skewness_zero(x):
    assert tn.skew(-x, x) == 0.0


@pytest.mark.parametrize("a, b", [(1.0, 1.0), (2.0, 1.0), (NAN, 1.0), (0.0, NAN), (INF, INF), (-INF, -INF)])
def test_points_and_invalid_intervals_give_nan(a, b):
    assert math.isnan(tn.skew(a, b)) and math.isnan(tn.kurtosis(a, b))


def test_ufunc_conventions():
    rng = np.random.default_rng(5)
    a = rng.uniform(-10, 40, 400)
    b = a + 10 ** rng.uniform(-8, 1.5, 400)
    skew, kurtosis = tn.skew(a, b), tn.kurtosis(a, b)
    # the mirror image changes the sign of the skewness only
    assert np.array_equal(tn.skew(-b, -a), -skew) and np.array_equal(tn.kurtosis(-b, -a), kurtosis)
    # float32: the double kernel, rounded once
    a32, b32 = a.astype(np.float32), b.astype(np.float32)
    for f in (tn.skew, tn.kurtosis):
        got = f(a32, b32)
        assert got.dtype == np.float32 and np.array_equal(got, f(a32.astype(float), b32.astype(float)).astype(np.float32), equal_nan=True)
    out = np.full((2, 400), -7.0)
    mask = np.arange(400) % 3 == 0
    assert tn.kurtosis(a, b[None, :], out=out, where=mask) is out
    assert (out[:, ~mask] == -7.0).all() and np.array_equal(out[1, mask], kurtosis[mask])
    with np.errstate(all="raise"):
        tn.skew([1e300, -1e300, 40.0, 0.0, 5e-324, 1.0], [INF, 1e300, 1e300, 5e-324, 1e-323, 1.0])
        tn.kurtosis([1e300, -1e300, 40.0, 0.0, -LARGEST, NAN], [INF, 1e300, 1e300, 5e-324, LARGEST, 1.0])
