"""millsratio_rel_below1: (sqrt(pi/2) - R(x))/x on [0, 1], and its range check."""

import math

import numpy as np
import pytest

from support import SQRT_PI_2, TABLES, rel_below1_exact, rel_error

from veltra.mills import millsratio, millsratio_d1, millsratio_rel_below1

MESSAGE = "millsratio_rel_below1 requires 0 <= x <= 1."


def test_accuracy():
    xs = np.concatenate([np.random.default_rng(2).uniform(0, 1, 2000), [5e-324, 1e-300, 1e-9, 1.0]])
    for x, v in zip(xs.tolist(), millsratio_rel_below1(xs).tolist()):
        assert rel_error(v, rel_below1_exact(x)) <= 4e-16, x


def test_low_range_identities_hold_bit_for_bit():
    xs = np.concatenate([np.linspace(0, 1, 4097), np.random.default_rng(4).uniform(0, 1, 4000)])
    rel = millsratio_rel_below1(xs)
    assert np.array_equal(millsratio(xs), SQRT_PI_2 - rel * xs)
    assert np.array_equal(millsratio_d1(xs), 1.0 - (SQRT_PI_2 - rel * xs) * xs)


@pytest.mark.parametrize("x, record", [(0.25, 3), (0.5, 6), (0.75, 9), (1.0 / 12, 1)])
def test_segment_starts_give_the_constant_term(x, record):
    assert millsratio_rel_below1(x) == TABLES["RTABLE_LOW"][record][0]


@pytest.mark.parametrize("x", [0.0, -0.0, 5e-324])
def test_limit_at_zero(x):
    assert millsratio_rel_below1(x) == 1.0


def test_right_end():
    at_one, below = millsratio_rel_below1(1.0), millsratio_rel_below1(math.nextafter(1.0, 0))
    assert abs(at_one - below) <= math.ulp(at_one)


def test_nan_passes_the_check():
    assert math.isnan(millsratio_rel_below1(math.nan))
    result = millsratio_rel_below1([0.0, math.nan, 1.0])
    assert result[0] == 1.0 and math.isnan(result[1]) and result[2] == millsratio_rel_below1(1.0)


def test_empty_array_passes_the_check():
    result = millsratio_rel_below1(np.empty((0, 3)))
    assert result.shape == (0, 3) and result.dtype == np.float64


@pytest.mark.parametrize("x", [math.nextafter(1.0, 2.0), -1e-300, math.inf, -math.inf, [0.5, 2.0], [[0.1], [-0.1]], np.array([3])])
def test_range_check(x):
    with pytest.raises(ValueError) as info:
        millsratio_rel_below1(x)
    assert str(info.value) == MESSAGE
    assert "veltra.mills.millsratio_rel_below1" in [e.name for e in __import__("traceback").extract_tb(info.value.__traceback__)]


def test_range_check_uses_the_module_np(monkeypatch):
    import veltra.mills as mills

    class Broken:
        def __getattr__(self, name):
            if name == "any":
                raise RuntimeError("no any today")
            return getattr(np, name)

    monkeypatch.setattr(mills, "np", Broken())
    with pytest.raises(RuntimeError, match="no any today"):
        millsratio_rel_below1(0.5)
