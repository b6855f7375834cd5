"""millsratio_d1 and millsratio_d3: -R' and -R''' where 1 - xR and x^2 + 2 - (x^3 + 3x)R cancel."""

import math

import numpy as np
import pytest

from support import R1_steps, R3_steps, SQRT_2PI, derivatives_exact, reflection_bound, rel_error

from veltra.mills import millsratio_d1, millsratio_d3

INF, NAN = math.inf, math.nan
REL_BOUND = 1e-15
TWO_256 = 2.0 ** 256

# Polynomial | tail boundary, the tail orders 4|3|2|1|0, and (for d1) order 0 | 1/a.
D1_THRESHOLDS = [1.0, 11.5, 14.5, 21.2, 41.0, 165.0, 12800.0]
D3_THRESHOLDS = [17.1, 25.4, 50.5, 210.0, 17300.0]
KERNELS = {"d1": (millsratio_d1, R1_steps, 0, D1_THRESHOLDS), "d3": (millsratio_d3, R3_steps, 1, D3_THRESHOLDS)}


def neighbours(t):
    return [math.nextafter(t, -INF), t, math.nextafter(t, INF)]


def nonnegative_grid(thresholds):
    rng = np.random.default_rng(3)
    return np.concatenate([
        rng.uniform(0, 30, 3000),
        np.logspace(np.log10(30), 70, 600),
        [x for t in thresholds for x in neighbours(t)],
        [0.0, 5e-324, 1e-300, 1e-8, 0.5, 1.0 / 12, 2.0, 31.4],
    ])


@pytest.mark.parametrize("name", KERNELS)
def test_accuracy_nonnegative(name):
    f, _, which, thresholds = KERNELS[name]
    xs = nonnegative_grid(thresholds)
    errors = [rel_error(v, derivatives_exact(x)[which]) for x, v in zip(xs.tolist(), f(xs).tolist())]
    worst = int(np.argmax(errors))
    assert errors[worst] <= REL_BOUND, (xs[worst], errors[worst])


@pytest.mark.parametrize("name", KERNELS)
def test_accuracy_reflection(name):
    f, _, which, _ = KERNELS[name]
    xs = -np.concatenate([np.random.default_rng(11).uniform(0, 37.3, 600), [1e-300, 0.5, 1.0, 17.1, 37.3]])
    for x, v in zip(xs.tolist(), f(xs).tolist()):
        assert rel_error(v, derivatives_exact(x)[which]) <= reflection_bound(x), x


@pytest.mark.parametrize("name", KERNELS)
def test_matches_the_written_steps_bit_for_bit(name):
    f, steps, _, thresholds = KERNELS[name]
    rng = np.random.default_rng(5)
    xs = np.concatenate([
        nonnegative_grid(thresholds), rng.uniform(-37.8, 0, 2000), np.logspace(-300, 300, 601),
        neighbours(TWO_256), [INF, -INF, 0.0, -0.0],
    ])
    expected = np.array([steps(x) for x in xs.tolist()])
    mismatch = np.flatnonzero(f(xs).view(np.int64) != expected.view(np.int64))
    assert mismatch.size == 0, xs[mismatch[:5]]


@pytest.mark.parametrize("name, t", [(n, t) for n in KERNELS for t in KERNELS[n][3]])
def test_threshold_sides_agree(name, t):
    f, _, which, _ = KERNELS[name]
    lo, at, hi = neighbours(t)
    for x in (lo, at, hi):
        assert rel_error(f(x), derivatives_exact(x)[which]) <= REL_BOUND, x
    # Across the boundary the result moves as the function does, give or take a few ulps.
    jump = (f(hi) - f(lo)) - float(derivatives_exact(hi)[which] - derivatives_exact(lo)[which])
    assert abs(jump) <= 4 * math.ulp(f(at))


@pytest.mark.parametrize("f, x, expected", [
    (millsratio_d1, 0.0, 1.0), (millsratio_d1, -0.0, 1.0), (millsratio_d1, INF, 0.0), (millsratio_d1, -38.0, INF),
    (millsratio_d1, -INF, INF), (millsratio_d3, 0.0, 2.0), (millsratio_d3, -0.0, 2.0), (millsratio_d3, INF, 0.0),
    (millsratio_d3, -38.0, INF), (millsratio_d3, -INF, INF),
])
def test_special_values(f, x, expected):
    assert f(x) == expected


def test_nan_and_mixed_array():
    assert math.isnan(millsratio_d1(NAN)) and math.isnan(millsratio_d3(NAN))
    assert millsratio_d3([0.0, 1e300]).tolist() == [2.0, 0.0]


def test_reflection_at_minus_one():
    e = math.exp(0.5)
    assert millsratio_d1(-1.0) == millsratio_d1(1.0) - e * (-1.0 * SQRT_2PI)
    assert millsratio_d1(-1.0) == pytest.approx(4.477051811703695, rel=1e-15)
    assert millsratio_d3(-1.0) == pytest.approx(16.90820724681478, rel=1e-15)


@pytest.mark.parametrize("f, tail", [
    (millsratio_d1, lambda a: 1.0 / a),
    (millsratio_d3, lambda a: 6.0 / ((a + 4.0) * a - 6.0)),
])
def test_guard_at_two_to_the_256(f, tail):
    """Both derivative kernels keep their tail value just below 2^256 (7.5e-155 and 3.3e-308,
    normal doubles) and flush to 0 from the double where x^2 + 3 exceeds sqrt(max) on."""
    below = math.nextafter(TWO_256, 0)
    assert f(below) == tail(below * below + 3.0) >= 3e-308
    assert rel_error(f(below), derivatives_exact(below)[0 if f is millsratio_d1 else 1]) <= REL_BOUND
    for x in [TWO_256, math.nextafter(TWO_256, INF), 1e100, 1e154, 1e300, INF]:
        assert f(x) == 0.0
