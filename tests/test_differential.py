"""The differential fuzzer of `make fuzz` (fuzz/differential.py): its references and its
judgement of values, and a short fixed-seed run over every public function."""

from __future__ import annotations

import dataclasses
import functools
import math

import mpmath
import numpy as np
import pytest

from support import ROOT, convergent_dd_exact, convergent_dd_mp, script_module

INF, NAN = math.inf, math.nan


@pytest.fixture(scope="module")
def fz():
    with script_module(ROOT / "fuzz" / "differential.py", "veltra_differential") as module:
        yield module


def target(fz, name):
    return next(t for t in fz.TARGETS if t.name == name)


# ---------------------------------------------------------------------------------------
# The references at the arguments where the kernels' faults were first seen

@pytest.mark.parametrize("args, expected", [
    ((14.933801359545738, -14.934058719253576, 1), 0.04085),
    ((0.0, -1.0, 1), 1.41069),
    ((0.0, 37.7, 1), 1.4155352229603305e307),
])
def test_dd_references(fz, args, expected):
    assert float(fz.expect_dd(*args).value) == pytest.approx(expected, rel=1e-4)


def test_dd_reference_beyond_the_double_range(fz):
    assert fz.expect_dd(-40.0, 1.0, 1).value > fz.OVERFLOW_AT


@pytest.mark.parametrize("args, special", [
    ((0.0, -1e6, 1), "+inf"), ((0.0, INF, 1), "+inf"), ((-INF, 3.0, 1), "+inf"),
    ((INF, INF, 1), "nan"), ((2.0, 0.0, -1), "+inf"), ((2.0, -0.0, -1), "-inf"), ((INF, -INF, -1), "-inf"),
    ((INF, INF, -1), "nan"), ((NAN, 1.0, 1), "nan"),
])
def test_dd_special_expectations(fz, args, special):
    assert fz.expect_dd(*args).special == special


@pytest.mark.parametrize("x, a, expected", [
    (1.0, 5e-324, math.log(2)), (100.0, 1e-322, 0.0461512), (0.0, NAN, 1.0), (-0.5, INF, 0.0), (INF, -1.0, 0.0),
])
def test_powrel_references(fz, x, a, expected):
    assert float(fz.expect_powrel(x, a).value) == pytest.approx(expected, rel=1e-5)


@pytest.mark.parametrize("x, a, special", [
    (1e300, 3.0, "+inf"), (-1.0, 2.0, "domain"), (NAN, 0.0, "nan"), (2.0, NAN, "nan"),
    # the closed form is inf/inf at these infinite arguments: NaN, as documented
    (INF, 2.0, "nan"), (INF, 0.5, "nan"), (INF, 1.0, "nan"), (0.5, INF, "nan"), (-0.5, -INF, "nan"),
])
def test_powrel_special_expectations(fz, x, a, special):
    assert fz.expect_powrel(x, a).special == special


@pytest.mark.parametrize("x, dx, n", [
    (2.0, 0.5, 3), (-2.0, 0.5, 8), (0.3, 0.0, 5), (1.25, 0.75, 1), (-7.5, 11.0, 12), (1e20, 3e19, 4),
    (3.0, 1e-30, 6), (5e-324, 1.0, 2), (0.25, 0.25, 3),
])
def test_floating_convergent_matches_exact_rationals(x, dx, n):
    exact = convergent_dd_exact(x, dx, n)
    floating = convergent_dd_mp(x, dx, n)
    with mpmath.workprec(200):
        assert abs(floating - mpmath.mpf(exact.numerator) / exact.denominator) <= abs(floating) * 2.0 ** -75


def test_convergent_pole_and_vanishing_difference(fz):
    assert fz.expect_dd_cf(1.0, 1.0, 2).special == "inf"          # a = 0 at an even depth
    assert fz.expect_dd_cf(-0.0, 0.0, 0).special == "inf"
    # K_1(y) = y/(y^2 + 1) takes one value at 1/2 and 2: no relative bound at all there
    assert fz.expect_dd_cf(1.25, 0.75, 1).bound == INF


# ---------------------------------------------------------------------------------------
# Judging values

def test_judge_overflow_and_underflow(fz):
    E = fz.Expected
    big = mpmath.mpf(2) ** 1024
    assert fz.judge(INF, E(big, bound=1e-15))[0] == ""
    assert fz.judge(-INF, E(big, bound=1e-15))[0] == "infinity of the wrong sign"
    assert fz.judge(fz.DBL_MAX, E(mpmath.mpf(fz.DBL_MAX) * (1 + mpmath.mpf(2) ** -60), bound=1e-15))[0] == ""
    assert fz.judge(INF, E(mpmath.mpf(1e308), bound=1e-15))[0] == "infinite where the value is finite"
    assert fz.judge(INF, E(mpmath.mpf(fz.DBL_MAX), bound=1e-15))[0] == ""    # within the bound of overflowing
    assert fz.judge(1e308, E(big * 2, bound=1e-15))[0] == "finite where the value overflows"
    assert fz.judge(0.0, E(mpmath.mpf(2) ** -1076, bound=1e-15))[0] == ""     # rounds to 0
    assert fz.judge(0.0, E(mpmath.mpf(1e-310), bound=1e-15))[0] == "error above the bound"
    assert fz.judge(NAN, E(mpmath.mpf(1), bound=1e-15))[0] == "NaN where the value is defined"
    assert fz.judge(NAN, E(special="nan"))[0] == "" and fz.judge(0.0, E(special="nan"))[0] != ""
    assert fz.judge(-INF, E(special="inf"))[0] == "" and fz.judge(1.0, E(special="inf"))[0] != ""


@pytest.mark.parametrize("name, cases", [
    ("millsratio", 40), ("millsratio_dd", 40), ("millsratio_dd_cf", 12), ("powrel", 40), ("logrel", 40),
    ("truncnorm.mean", 1), ("truncnorm.logcdf", 1), ("stats.truncnorm.entropy", 1),
])
def test_correctly_rounded_values_pass(fz, name, cases):
    """A function that returns the reference rounded to double, or the expected special value,
    is never reported: the bounds, the subnormal allowance and the special cases are
    consistent with the references."""
    @functools.cache
    def rounded(*args):
        expected = t.expect(*args)
        if expected.special == "domain":
            raise ValueError("outside the domain")
        if expected.special:
            return {"nan": NAN, "inf": INF, "any": NAN}.get(expected.special) or float(expected.special)
        return float(expected.value)

    def rounded_one(*args):
        try:
            return rounded(*args)
        except ValueError:
            return NAN

    def rounded_ufunc(*arrays):
        return [rounded_one(*args) for args in zip(*(a.tolist() for a in arrays))]

    t = dataclasses.replace(target(fz, name), function=rounded, ufunc=rounded_ufunc)
    run = fz.fuzz(cases_per_target=cases, seed=7, targets=[t])
    assert not run.findings, run.findings[:3]


def test_wrong_values_are_reported(fz):
    t = target(fz, "millsratio")
    shifted = dataclasses.replace(t, function=lambda x: t.function(x) * (1 + 1e-14))
    run = fz.Run()
    fz.check_case(shifted, (0.5,), run)
    assert {c["kind"] for c in run.findings} == {"error above the bound", "ufunc bits differ"}
    accepted = dataclasses.replace(t, function=lambda x: t.function(x) * (1 + 4e-16))
    run = fz.Run()
    fz.check_case(dataclasses.replace(accepted, ufunc=lambda a: [accepted.function(a.item())]), (0.5,), run)
    assert not run.findings


def test_domain_errors_are_required(fz):
    t = target(fz, "logrel")
    run = fz.Run()
    fz.check_case(dataclasses.replace(t, function=lambda x: NAN), (-2.0,), run)
    assert [c["kind"] for c in run.findings] == ["no ValueError outside the domain"]


# ---------------------------------------------------------------------------------------
# A short fixed-seed run: every function within its bounds, every special value right, the
# ufunc giving the same bits.  Seed and counts are fixed, so the cases are the same on every
# run (under a second per function; the deep convergents cost the most).

@pytest.mark.parametrize("name, cases", [
    ("millsratio", 128), ("millsratio_d1", 128), ("millsratio_d3", 128), ("millsratio_rel_below1", 128),
    ("millsratio_dd", 128), ("millsratio_dd_cf", 48), ("logrel", 128), ("powrel", 128),
])
def test_fixed_seed_run_finds_nothing(fz, name, cases):
    run = fz.fuzz(cases_per_target=cases, seed=20240, targets=[target(fz, name)])
    assert not run.findings, fz.report(run, 0)


# ---------------------------------------------------------------------------------------
# The truncated normal: intervals of every width and magnitude, and the faults they expose

def test_intervals_reach_every_width_and_magnitude(fz):
    """The draws reach the intervals where the kernels' forms change or fail: next to 0 with
    ends down to the subnormals, straddling it or not; widths far below the ends; ends up to
    1.8e308; ulps wide; infinite, special and misordered ends."""
    draw = fz.Draw(np.random.default_rng(3))
    intervals = [fz.draw_interval(draw) for _ in range(4000)]
    kinds = {
        "straddling 0, ends below 1e-300": lambda a, b: a < 0 < b and max(-a, b) < 1e-300,
        "an end subnormal": lambda a, b: 0 < min(abs(a), abs(b)) < 2.2250738585072014e-308,
        "width below 1e-300, off 0": lambda a, b: 0 < b - a < 1e-300 and 0 < a,
        "width below 2^-40 of the ends": lambda a, b: 0 < b - a < 2.0 ** -40 * abs(b) and abs(b) > 1,
        "ends beyond 1e300": lambda a, b: math.isfinite(b) and abs(a) > 1e300,
        "a few ulps wide beyond 1e100": lambda a, b: a > 1e100 and b - a <= 4 * math.ulp(b),
        "an infinite end": lambda a, b: math.isinf(a) != math.isinf(b),
        "misordered or NaN": lambda a, b: not a <= b,
    }
    rare = {kind: n for kind, holds in kinds.items() if (n := sum(holds(a, b) for a, b in intervals)) < 20}
    assert not rare


ENTROPY, MEAN = "stats.truncnorm.entropy", "truncnorm.mean"


@pytest.mark.parametrize("name, args, wrong, right", [
    (ENTROPY, (1e-300, 2e-300, 1.0), INF, -690.7755278982137),
    (ENTROPY, (1e-310, 2e-310, 1.0), INF, None),
    (ENTROPY, (-1.0422039375990067e-107, -4.516011997197506e-108, 1.0), 1.1e182, -246.90321662428696),
    (ENTROPY, (5.088100339790543e-25, 1.941007157350438e-12, 1.0), -26.9678141177503, -26.96781412429359),
    (MEAN, (-1e-300, 3e-300), 0.0, 1e-300),
    (MEAN, (-1e-300, 5e-324), -0.0, -5e-301),
    (MEAN, (-1e-160, 3e-160), 9.99988867e-161, 1e-160),
])
def test_faults_on_narrow_intervals_next_to_zero_are_found(fz, name, args, wrong, right):
    """The values a fault gave on such intervals are findings; the true values are not."""
    expected = target(fz, name).expect(*args)
    assert fz.judge(wrong, expected)[0]
    if right is not None:
        assert fz.judge(right, expected)[0] == ""


@pytest.mark.parametrize("upper, q, a, b, x, found", [
    (False, 0.5, -1.0, 1.0, 0.0, False), (False, 0.5, -1.0, 1.0, 1e-14, True), (True, 0.5, 0.0, INF, 0.6744897501960817, False),
    (True, 0.5, 0.0, INF, NAN, True), (False, 0.0, 2.0, 3.0, 2.0, False), (False, 1.5, 2.0, 3.0, 2.5, True),
])
def test_quantiles_are_judged_by_their_bracket(fz, upper, q, a, b, x, found):
    assert bool(fz.judge(x, fz.expect_quantile(upper, q, a, b))[0]) == found


def test_truncated_normal_targets_run(fz):
    """One round of every truncated-normal target: references for every kind of draw, scalar
    and array calls with the same bits, nothing unexpected raised."""
    run = fz.fuzz(cases_per_target=1, seed=11, targets=fz.TRUNCNORM_TARGETS, batch=1)
    assert run.evaluations == sum(t.weight for t in fz.TRUNCNORM_TARGETS)
    assert not [c for c in run.findings if c["kind"] in ("unexpected exception", "ufunc bits differ")]
