"""The demo's truncated-normal moments: log P, mean and variance of N(0, 1) on [a, b], checked
against the defining integrals in mpmath, in every regime the demo distinguishes."""

from __future__ import annotations

import math
import random

import pytest

pytest.importorskip("scipy")
mpmath = pytest.importorskip("mpmath")

from support import ROOT, script_module  # noqa: E402  (after the skips: it needs mpmath)

DEMO = ROOT / "examples" / "demo.py"


@pytest.fixture(scope="module")
def demo():
    with script_module(DEMO, "veltra_demo") as module:
        yield module


def reference(a: float, b: float) -> tuple[float, float, float]:
    """log P, mean, variance at 150 digits, from the moments of phi over [a, b] written
    through the upper tail integral on the interval's own side (no cancellation in P)."""
    with mpmath.workdps(150):
        lo, hi = mpmath.mpf(a), mpmath.mpf(b) if math.isfinite(b) else mpmath.inf
        sign = 1
        if lo + hi < 0:
            lo, hi, sign = -hi, -lo, -1
        tail = lambda t: mpmath.erfc(t / mpmath.sqrt(2)) / 2 if t != mpmath.inf else mpmath.mpf(0)
        pdf = lambda t: mpmath.npdf(t) if t != mpmath.inf else mpmath.mpf(0)
        p = tail(lo) - tail(hi)
        m1 = pdf(lo) - pdf(hi)                                       # integral of t phi(t)
        m2 = p + (lo * pdf(lo) - (hi * pdf(hi) if hi != mpmath.inf else 0))  # of t^2 phi(t)
        mean = m1 / p
        return float(mpmath.log(p)), sign * float(mean), float(m2 / p - mean * mean)


def assert_close(got, want, rtol):
    for g, w in zip(got, want):
        assert abs(g - w) <= rtol * abs(w) + 1e-300, (got, want)


INTERVALS = [
    (-1.0, 1.0), (2.0, 3.0), (8.0, 9.0), (30.0, 30.001), (-40.0, -39.0),
    (1e4, 1e4 + 1e-3), (40.0, math.inf),                      # the demo's own rows
    (-1e-3, 2e-3), (0.0, 1e-9), (5.0, 5.0 + 1e-12),            # nearly flat, tiny widths
    (-0.5, 7.0), (-3.0, math.inf), (-math.inf, 0.25),          # wide, around the mode
    (0.0, math.inf), (0.3, 3.5), (1.5, 2.6), (12.0, 12.34),    # mixture of one-sided pieces
    (-1e6, -1e6 + 1e-5), (1e150, math.inf), (-9.5, -2.0),
]


@pytest.mark.parametrize("a, b", INTERVALS)
def test_truncated_normal_against_mpmath(demo, a, b):
    assert_close(demo.truncated_normal(a, b), reference(a, b), 4e-15)


def test_truncated_normal_random_intervals(demo):
    rng = random.Random(20261207)
    for _ in range(300):
        a = rng.choice([rng.uniform(-60.0, 60.0), rng.choice([-1, 1]) * 10 ** rng.uniform(-3, 5)])
        b = a + 10 ** rng.uniform(-10, 1.5)
        assert_close(demo.truncated_normal(a, b), reference(a, b), 8e-15)


@pytest.mark.parametrize("a, b", [(8.0, 9.0), (30.0, 30.001), (1e4, 1e4 + 1e-3)])
def test_textbook_formula_fails_where_veltra_holds(demo, a, b):
    # The point of the demo: the SciPy formula's variance is wrong by orders of magnitude or
    # not a number at all on these rows.
    want = reference(a, b)[2]
    naive = demo.textbook(a, b)[2]
    assert not (abs(naive - want) <= 1e-3 * want)
    assert demo.truncated_normal(a, b)[2] == pytest.approx(want, rel=4e-15)


def test_main_prints_three_tables(demo, capsys):
    demo.main()
    out = capsys.readouterr().out
    for quantity in ("log P", "mean", "variance"):
        assert f"{quantity}, veltra" in out
    rows = [line for line in out.splitlines() if line.lstrip().startswith("[")]
    assert len(rows) == 3 * len(demo.INTERVALS)
    # The veltra error column never fails; the textbook column does.
    assert all(line.split()[-2] != "fails" for line in rows)
    assert any(line.split()[-1] == "fails" for line in rows)
