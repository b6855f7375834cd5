"""millsratio: accuracy against mpmath, regime boundaries, special values, the written steps."""

import math

import numpy as np
import pytest

from support import R_REL_BOUND, R_steps, SQRT_2PI, SQRT_PI_2, TABLES, mills_exact, reflection_bound, rel_error

from veltra.mills import millsratio

INF, NAN = math.inf, math.nan

# Every threshold of the kernel: low/middle range, middle/tail, tail orders 4|3|2|1|0,
# order 0 | (a - 1)/(a x), and (a - 1)/(a x) | 1/x.
THRESHOLDS = [1.0, 9.5, 11.4, 15.1, 24.1, 59.3, 548.0, 67000000.0]


def neighbours(t):
    return [math.nextafter(t, -INF), t, math.nextafter(t, INF)]


def accuracy_grid():
    rng = np.random.default_rng(20261207)
    parts = [
        rng.uniform(0, 1, 600),
        rng.uniform(1, 9.5, 900),
        rng.uniform(9.5, 60, 600),
        rng.uniform(60, 548, 200),
        np.exp(rng.uniform(np.log(548), np.log(6.7e7), 300)),
        np.exp(rng.uniform(np.log(6.7e7), np.log(1e300), 200)),
        [x for t in THRESHOLDS for x in neighbours(t)],
        [0.0, 5e-324, 1e-300, 1e-8, 1.0 / 12, 0.5, 2.0, 1e10],
    ]
    return np.concatenate([np.asarray(p, dtype=float) for p in parts])


def test_accuracy_nonnegative():
    xs = accuracy_grid()
    values = millsratio(xs)
    errors = [rel_error(v, mills_exact(x)) for x, v in zip(xs.tolist(), values.tolist())]
    worst = int(np.argmax(errors))
    assert errors[worst] <= R_REL_BOUND, (xs[worst], errors[worst])


def test_accuracy_reflection():
    xs = -np.concatenate([np.random.default_rng(7).uniform(0, 37.6, 800), [1e-300, 0.5, 1.0, 9.5, 37.6]])
    values = millsratio(xs)
    for x, v in zip(xs.tolist(), values.tolist()):
        assert rel_error(v, mills_exact(x)) <= reflection_bound(x), x


def test_matches_the_written_steps_bit_for_bit():
    """Every value is exactly what the steps give in binary64 arithmetic (no contraction into
    fused multiply-add, no reordering), across all regimes and boundaries."""
    rng = np.random.default_rng(1)
    xs = np.concatenate([
        accuracy_grid(),
        -accuracy_grid()[:1500],
        rng.uniform(-37.7, 40.0, 3000),
        [x for t in THRESHOLDS for x in neighbours(t)],
    ])
    got = millsratio(xs)
    expected = np.array([R_steps(x) for x in xs.tolist()])
    mismatch = np.flatnonzero(got.view(np.int64) != expected.view(np.int64))
    assert mismatch.size == 0, xs[mismatch[:5]]


@pytest.mark.parametrize("t", THRESHOLDS)
def test_threshold_sides_agree(t):
    lo, at, hi = neighbours(t)
    for x in (lo, at, hi):
        assert rel_error(millsratio(x), mills_exact(x)) <= R_REL_BOUND, x
    # Across the boundary the result moves as R does, give or take a couple of ulps.
    jump = (millsratio(hi) - millsratio(lo)) - float(mills_exact(hi) - mills_exact(lo))
    assert abs(jump) <= 2.5 * math.ulp(at)


@pytest.mark.parametrize("x, expected", [
    (0.0, SQRT_PI_2),
    (-0.0, SQRT_PI_2),
    (1e300, 1e-300),
    (INF, 0.0),
    (-38.0, INF),
    (-37.67712072049519, INF),   # the reflection limit itself: exp overflows
    (-INF, INF),
])
def test_special_values(x, expected):
    assert millsratio(x) == expected


def test_nan():
    assert math.isnan(millsratio(NAN))
    assert np.isnan(millsratio([NAN, -NAN])).all()


def test_reflection_formula_as_written():
    assert millsratio(-1.0) == math.exp(0.5) * SQRT_2PI - millsratio(1.0)
    assert math.isfinite(millsratio(-37.6)) and millsratio(-37.6) > 1e307


def test_table_boundaries():
    # 12x rounds to 1.0 at the double nearest 1/12: record 1 at u = 0, its constant term.
    x = 1.0 / 12
    assert millsratio(x) == SQRT_PI_2 - TABLES["RTABLE_LOW"][1][0] * x
    # x = 1 uses the last record at u = 1, the sum of its coefficients by Horner.
    c = TABLES["RTABLE_LOW"][11]
    p = c[7]
    for k in range(6, -1, -1):
        p = p * 1.0 + c[k]
    assert millsratio(1.0) == SQRT_PI_2 - p


def test_decreasing_and_below_one_over_x():
    xs = np.linspace(-30, 200, 20001)
    r = millsratio(xs)
    assert (np.diff(r) < 0).all()
    pos = xs > 0
    assert (r[pos] < 1 / xs[pos]).all()


def test_reflection_identity():
    xs = np.linspace(0, 30, 3001)
    lhs = millsratio(xs) + millsratio(-xs)
    rhs = SQRT_2PI * np.exp(xs * xs / 2)
    assert np.allclose(lhs, rhs, rtol=4e-14, atol=0)
