"""veltra.truncnorm: the standard normal truncated to [a, b], checked against the defining
integrals in mpmath at high precision (tests/truncnorm_reference.py) on the intervals where
textbook formulas fail, on random intervals of every kind and across the kernels' regime
boundaries; then its special values, symmetries and ufunc behaviour."""

from __future__ import annotations

import doctest
from fractions import Fraction
import math
import random
import shutil
import subprocess

import numpy as np
import pytest

mpmath = pytest.importorskip("mpmath")

import veltra  # noqa: E402
import veltra.truncnorm as tn  # noqa: E402
from veltra import stats  # noqa: E402

import truncnorm_reference as ref  # noqa: E402
from truncnorm_reference import (LOG_PROB_RTOL, LOGCDF_RTOL, LOGPDF_TOL, MEAN_RTOL, MEAN_SD_TOL,  # noqa: E402
                                  PPF_ABS, PPF_ULPS, VAR_RTOL, quantile_is_bracketed)

INF = math.inf
NAN = math.nan
LARGEST = 1.7976931348623157e308
FUNCTIONS = ("log_prob", "mean", "var", "moments", "skew", "kurtosis", "logpdf", "logcdf", "logsf", "pdf", "cdf", "sf", "ppf", "isf")


def mirrored(intervals):
    return list(intervals) + [(-b, -a) for a, b in intervals]


def same_bits(x, y):
    x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
    return x.shape == y.shape and np.array_equal(x.view(np.int64), y.view(np.int64))


def rel(got, want):
    """Relative error; below the normal range (2^-1022), where a double has fewer digits,
    relative to 2^-1022."""
    if got == want:
        return 0.0
    return abs(got - want) / max(abs(want), 2.0 ** -1022)


def check_moments(intervals):
    """log P, mean and variance of every interval within their bounds; returns the worst
    error of each relative to its bound (the accuracy tool prints them)."""
    a = np.array([i[0] for i in intervals])
    b = np.array([i[1] for i in intervals])
    lp, m, v = tn.moments(a, b)
    failures = []
    for k, (lo, hi) in enumerate(intervals):
        want_lp, want_m, want_v = ref.moments(lo, hi)
        sd = math.sqrt(want_v)
        if not rel(lp[k], want_lp) <= LOG_PROB_RTOL:
            failures.append(("log_prob", lo, hi, lp[k], want_lp))
        if not abs(m[k] - want_m) <= MEAN_RTOL * abs(want_m) + MEAN_SD_TOL * sd:
            failures.append(("mean", lo, hi, m[k], want_m))
        if not rel(v[k], want_v) <= VAR_RTOL:
            failures.append(("var", lo, hi, v[k], want_v))
    assert not failures, failures[:10]


# ---------------------------------------------------------------------------------------
# log P, mean, variance

@pytest.mark.parametrize("a, b", mirrored(ref.HARD_INTERVALS))
def test_moments_where_textbook_formulas_fail(a, b):
    check_moments([(a, b)])


@pytest.mark.parametrize("a, b", mirrored([(-30.1, 30.3), (-25.123, 40.7), (-37.9, 37.1), (-8.3, 9.1), (-31.7, INF)]))
def test_moments_around_the_mode_with_tiny_log_p(a, b):
    # log P = log1p(-(Q(-a) + Q(b))) and the mean e^(-a^2/2) u/D hang on e^(-a^2/2) for a
    # square that is not a double: its rounding (a^2 2^-53 relative) must be carried.
    check_moments([(a, b)])


@pytest.mark.parametrize("kind", ref.KINDS)
def test_moments_of_random_intervals(kind):
    rng = random.Random(f"moments {kind}")
    check_moments([ref.random_interval(rng, kind) for _ in range(25)])


def boundary_intervals():
    """Intervals on both sides of each place where a kernel changes method: z = (b^2 - a^2)/2
    of the flat series for the mass (1) and for the variance (4), the width of the series
    around the mode (2), the one-sided moments' switch to R''' (0.5) and to the closed form
    of the tail convergent (17300), and the tail intervals whose density falls by e^38."""
    out = []
    for lo in (0.0, 0.3, 0.9, 2.0, 7.0, 40.0):
        for z in (0.999, 1.0, 1.001, 3.99, 4.0, 4.01, 37.9, 38.1):
            out.append((lo, math.sqrt(lo * lo + 2 * z)))
    for w in (1.999, 2.0, 2.001):
        out += [(-w / 2, w / 2), (-0.3, w - 0.3), (-1e-9, w - 1e-9)]
    out += [(x, INF) for x in (0.0, 0.499, 0.5, 0.501, 1.0, 17299.0, 17300.0, 17301.0)]
    out += [(17299.0, 17300.5), (17300.0, 17300.0001)]
    return mirrored(out)


def test_moments_across_regime_boundaries():
    check_moments(boundary_intervals())


@pytest.mark.parametrize("a, b", [(1e10, 1e10 + 1e-5), (3e9, INF), (1e20, 1e20 * (1 + 1e-10)), (1e50, 2e50),
                                  (-1e150, -1e150 * (1 - 1e-12))])
def test_moments_of_huge_intervals(a, b):
    check_moments([(a, b)])


@pytest.mark.parametrize("a, b, log_p, mean, var", [
    (1e155, INF, -INF, 1e155, 1e-310),   # log P below -1.8e308; the variance 1/a^2 is subnormal
    (1e300, 1e300 * (1 + 1e-15), -INF, 1e300, 0.0),
    (-INF, -1e200, -INF, -1e200, 0.0),
    (-1e300, 1e300, 0.0, 0.0, 1.0),
    (-LARGEST, LARGEST, 0.0, 0.0, 1.0),  # the width overflows, the interval is symmetric
])
def test_moments_at_the_ends_of_the_double_range(a, b, log_p, mean, var):
    got = tn.moments(a, b)
    assert got[0] == log_p and got[1] == pytest.approx(mean, rel=1e-15)
    assert got[2] == pytest.approx(var, rel=1e-6, abs=0)


@pytest.mark.parametrize("a, b, mean", [
    (-1e-300, 3e-300, 1e-300), (-2e-300, 1e-300, -5e-301), (-1e-300, 5e-324, -5e-301), (-1e-160, 3e-160, 1e-160),
    (3 * ref.TINY, 7 * ref.TINY, 5 * ref.TINY),   # the centre, exact
    (3 * ref.TINY, 4 * ref.TINY, 3 * ref.TINY),   # a tie; the mean lies below it
])
def test_mean_next_to_zero_is_the_centre(a, b, mean):
    # b^2 - a^2 underflows: the mean is (a + b)/2 (1 - (b - a)^2/12 + ...), rounded once
    assert tn.mean(a, b) == mean and tn.moments(a, b)[1] == mean and tn.mean(-b, -a) == -mean
    assert stats.truncnorm.mean(a, b) == mean and stats.truncnorm.stats(a, b)[0] == mean


def test_moments_next_to_zero():
    check_moments(mirrored(ref.next_to_zero_intervals()))


def test_moments_are_the_single_functions_bit_for_bit():
    intervals = ref.random_intervals(3000, 7) + boundary_intervals() + [(1.0, 1.0), (-INF, INF), (2.0, 1.0)]
    a = np.array([i[0] for i in intervals])
    b = np.array([i[1] for i in intervals])
    lp, m, v = tn.moments(a, b)
    assert same_bits(lp, tn.log_prob(a, b)) and same_bits(m, tn.mean(a, b)) and same_bits(v, tn.var(a, b))


@pytest.mark.parametrize("a, b, expected", [
    (1.5, 1.5, (-INF, 1.5, 0.0)), (-2.0, -2.0, (-INF, -2.0, 0.0)),    # a point
    (-INF, INF, (0.0, 0.0, 1.0)),                                     # the whole line
    (2.0, 1.0, (NAN,) * 3), (NAN, 1.0, (NAN,) * 3), (0.0, NAN, (NAN,) * 3),
    (INF, INF, (NAN,) * 3), (-INF, -INF, (NAN,) * 3),
])
def test_special_intervals(a, b, expected):
    got = tn.moments(a, b)
    assert np.array_equal(got, expected, equal_nan=True)
    assert np.array_equal([tn.log_prob(a, b), tn.mean(a, b), tn.var(a, b)], expected, equal_nan=True)


def test_one_sided_and_whole_line_limits():
    # [0, inf): the half-normal; (-inf, b) mirrors (-b, inf)
    assert tn.log_prob(0.0, INF) == math.log(0.5)
    assert tn.mean(0.0, INF) == pytest.approx(math.sqrt(2 / math.pi), rel=2e-16)
    assert tn.var(0.0, INF) == pytest.approx(1 - 2 / math.pi, rel=4e-16)
    assert same_bits(tn.moments(-INF, -3.0), [tn.log_prob(3.0, INF), -tn.mean(3.0, INF), tn.var(3.0, INF)])


def test_mirror_image_gives_the_same_bits():
    intervals = ref.random_intervals(500, 3)
    a = np.array([i[0] for i in intervals])
    b = np.array([i[1] for i in intervals])
    lp, m, v = tn.moments(a, b)
    lp2, m2, v2 = tn.moments(-b, -a)
    assert same_bits(lp, lp2) and same_bits(m, -m2) and same_bits(v, v2)
    rng = np.random.default_rng(3)
    lower = np.where(np.isfinite(a), a, b - 40)
    x = lower + (np.minimum(b, lower + 40) - lower) * rng.random(a.size)
    assert same_bits(tn.cdf(x, a, b), tn.sf(-x, -b, -a))
    assert same_bits(tn.logcdf(x, a, b), tn.logsf(-x, -b, -a))
    assert same_bits(tn.logpdf(x, a, b), tn.logpdf(-x, -b, -a))
    q = rng.random(a.size)
    assert same_bits(tn.ppf(q, a, b), -tn.isf(q, -b, -a))


# ---------------------------------------------------------------------------------------
# Density and distribution functions

def distribution_cases():
    rng = random.Random(11)
    intervals = mirrored(ref.HARD_INTERVALS) + ref.random_intervals(56, 12)
    return [(x, a, b) for a, b in intervals for x in ref.points_in(a, b, rng, 2)]


@pytest.fixture(scope="module")
def distribution_table():
    cases = distribution_cases()
    x, a, b = (np.array(c) for c in zip(*cases))
    want = np.array([(ref.log_pdf(*c), ref.log_cdf(*c), ref.log_sf(*c)) for c in cases])
    return x, a, b, want


def test_logpdf_against_mpmath(distribution_table):
    x, a, b, want = distribution_table
    got = tn.logpdf(x, a, b)
    err = np.abs(got - want[:, 0]) / np.maximum(1.0, np.abs(want[:, 0]))
    assert err.max() <= LOGPDF_TOL, (x[err.argmax()], a[err.argmax()], b[err.argmax()])


@pytest.mark.parametrize("name, column", [("logcdf", 1), ("logsf", 2)])
def test_log_distribution_functions_against_mpmath(distribution_table, name, column):
    x, a, b, want = distribution_table
    got = getattr(tn, name)(x, a, b)
    err = np.array([rel(g, w) for g, w in zip(got, want[:, column])])
    k = err.argmax()
    assert err[k] <= LOGCDF_RTOL, (x[k], a[k], b[k], got[k], want[k, column])


@pytest.mark.parametrize("name, column", [("pdf", 0), ("cdf", 1), ("sf", 2)])
def test_distribution_functions_against_mpmath(distribution_table, name, column):
    # exp of the reference's logarithm, itself rounded: that rounding, |log| 2^-53, is allowed
    x, a, b, want = distribution_table
    got = getattr(tn, name)(x, a, b)
    expected = np.exp(want[:, column])
    bound = 1e-14 + np.abs(want[:, column]) * 2.0 ** -52
    ok = np.abs(got - expected) <= bound * expected
    assert ok.all(), (x[~ok], a[~ok], b[~ok])


@pytest.mark.parametrize("a, b", [(8.0, 9.0), (30.0, 31.0), (-1e-10, 1e-10), (1e4, 1e4 + 1e-3), (-30.0, 30.0),
                                  (-INF, -35.0), (2.0, INF), (1e8, 1e8 + 1.0),
                                  # ends among the subnormals: the share of a piece one ulp wide is subnormal
                                  (0.0, 1.0), (5e-324, 1e8), (-5e-324, INF), (1e-300, 30.0), (-1.0, -1e-300)])
def test_tiny_values_next_to_the_ends(a, b):
    # One ulp inside an end, logcdf or logsf is a tiny negative number, or a large one.
    for x in (math.nextafter(b, -INF), math.nextafter(a, INF)):
        if not a < x < b:
            continue
        assert rel(tn.logcdf(x, a, b), ref.log_cdf(x, a, b)) <= LOGCDF_RTOL
        assert rel(tn.logsf(x, a, b), ref.log_sf(x, a, b)) <= LOGCDF_RTOL


@pytest.mark.parametrize("x, expected", [
    (0.5, (-INF, -INF, 0.0, 0.0, 0.0, 1.0)), (1.0, None), (3.0, None),
    (4.0, (-INF, 0.0, -INF, 0.0, 1.0, 0.0)), (-INF, (-INF, -INF, 0.0, 0.0, 0.0, 1.0)),
    (INF, (-INF, 0.0, -INF, 0.0, 1.0, 0.0)), (NAN, (NAN,) * 6),
])
def test_outside_and_at_the_ends(x, expected):
    got = [f(x, 1.0, 3.0) for f in (tn.logpdf, tn.logcdf, tn.logsf, tn.pdf, tn.cdf, tn.sf)]
    if expected is None:   # at an end: the density is positive, the cdf 0 or 1
        at_a = x == 1.0
        assert math.isfinite(got[0]) and got[3] > 0
        assert got[1:3] == ([-INF, 0.0] if at_a else [0.0, -INF])
        assert got[4:] == ([0.0, 1.0] if at_a else [1.0, 0.0])
    else:
        assert np.array_equal(got, expected, equal_nan=True)


@pytest.mark.parametrize("x, expected", [
    (2.0, (INF, 0.0, 0.0, INF, 1.0, 1.0)), (1.0, (-INF, -INF, 0.0, 0.0, 0.0, 1.0)),
    (3.0, (-INF, 0.0, -INF, 0.0, 1.0, 0.0)),
])
def test_point_interval_is_a_point_mass(x, expected):
    got = [f(x, 2.0, 2.0) for f in (tn.logpdf, tn.logcdf, tn.logsf, tn.pdf, tn.cdf, tn.sf)]
    assert np.array_equal(got, expected)


@pytest.mark.parametrize("a, b", [(2.0, 1.0), (NAN, 1.0), (0.0, NAN), (INF, INF)])
def test_invalid_intervals_give_nan(a, b):
    for name in ("logpdf", "logcdf", "logsf", "pdf", "cdf", "sf", "ppf", "isf"):
        assert math.isnan(getattr(tn, name)(0.5, a, b)), name


def test_whole_line_is_the_standard_normal():
    # (SciPy's log_ndtr is off by up to 3e-14 on these points: the reference is mpmath's.)
    x = np.linspace(-30, 30, 41)
    logcdf = tn.logcdf(x, -INF, INF)
    assert max(rel(g, ref.log_cdf(v, -INF, INF)) for g, v in zip(logcdf, x)) <= LOGCDF_RTOL
    assert same_bits(tn.logsf(x, -INF, INF), logcdf[::-1])
    assert np.allclose(tn.logpdf(x, -INF, INF), -x * x / 2 - 0.5 * math.log(2 * math.pi), rtol=1e-15, atol=1e-15)


# ---------------------------------------------------------------------------------------
# Quantiles

QUANTILE_PROBABILITIES = [1e-300, 1e-12, 0.3, 0.5, 0.9, 1 - 2.0 ** -40]


def check_quantiles(intervals, probabilities):
    failures = []
    for name, upper in (("ppf", False), ("isf", True)):
        for a, b in intervals:
            got = getattr(tn, name)(np.array(probabilities), a, b)
            for q, x in zip(probabilities, got):
                exact = ref.quantile(q, a, b, float(x), upper=upper)
                e = float(exact)
                spacing = math.ulp(e) if e != 0 else 5e-324
                if not abs(exact - x) <= PPF_ULPS * spacing + PPF_ABS * min(1.0, b - a):
                    failures.append((name, q, a, b, float(x), e))
    assert not failures, failures[:10]


@pytest.mark.parametrize("a, b", mirrored(ref.HARD_INTERVALS))
def test_quantiles_where_textbook_formulas_fail(a, b):
    check_quantiles([(a, b)], QUANTILE_PROBABILITIES)


@pytest.mark.parametrize("kind", ref.KINDS)
def test_quantiles_of_random_intervals(kind):
    rng = random.Random(f"quantiles {kind}")
    check_quantiles([ref.random_interval(rng, kind) for _ in range(8)], QUANTILE_PROBABILITIES)


@pytest.mark.parametrize("a, b", [(1e12, 1e12 + 1e-3), (3e9, INF), (-1e30, -1e30 + 1e15), (1e15, 1e15 + 0.125)])
def test_quantiles_within_an_ulp_of_a_far_end(a, b):
    # The offsets from the end are far below the spacing of the doubles there.
    check_quantiles([(a, b)], [1e-300, 0.3, 0.9])


@pytest.mark.parametrize("a, b", [
    (-0.002195558519622523, -0.0015130133458950122),  # narrow: the offset from the far end is 1e-3 of the width
    (57.916092209390776, 69.34790471741661),          # wide, far out: tiny q lies next to the upper end
    (40.0, 45.0), (38.0, 300.0),
])
def test_quantiles_next_to_either_end_of_a_wide_or_narrow_interval(a, b):
    check_quantiles(mirrored([(a, b)]), [1e-300, 1e-100, 1e-12, 0.1, 0.9, 1 - 1e-12])


@pytest.mark.parametrize("a, b, probabilities", [
    (5e-324, 38.0, [1e-10, 1e-3]),     # an end in the subnormals: q P / phi(a) times a underflows
    (1e-300, 1e4, [1e-300, 1e-10]),
    (-5e-324, LARGEST, [1e-10]),
    (40.0, LARGEST, [5e-324, 1e-320]),  # a quantile within the smallest offsets of a 1e308-wide interval's end
    (30.0, 1e10, [5e-324, 1e-322]),     # q P below the smallest double, from the upper end
    (-38.0, 30.0, [5e-324, 1e-320]),    # phi(-38) far below P, and a subnormal q
    (-38.0, 1e300, [5e-324]),
    # far out and wide, from the upper end: the guess from lo lands some spacings of hi above lo,
    # where the mass up to hi underflows to 0 and the residual is -inf
    (9.457394225566723e241, 2.268910254573235e254, [1e-310]),
    (1.3620624883741812e278, 5.6284479046286193e287, [0.5]),
    (2.1516031251633108e225, 2.4040658592466054e230, [0.3]),
    (2.9214060259727267e193, 7.5700717517574553e203, [1e-12]),
])
def test_quantiles_of_subnormal_probabilities_and_ends(a, b, probabilities):
    failures = []
    for lo, hi in mirrored([(a, b)]):
        for q in probabilities:
            x, y = float(tn.ppf(q, lo, hi)), float(tn.isf(q, lo, hi))
            if not quantile_is_bracketed(q, lo, hi, x):
                failures.append(("ppf", q, lo, hi, x))
            if not quantile_is_bracketed(q, -hi, -lo, -y):  # isf(q) on [a, b] is -ppf(q) on [-b, -a]
                failures.append(("isf", q, lo, hi, y))
    assert not failures, failures


@pytest.mark.parametrize("a, b", [
    (-4.951380648315552e-162, 3.9818628664436874e-162),  # c w = 4e-324: one subnormal step
    (-5.070987615606143e-160, 6.18458516585774e-160),
    (-4.0392443707292577e-156, 4.634729845598633e-156),  # c w = 2.6e-312
    (3.322761926394687e-159, 3.620846718429649e-159),    # a tail interval, c w = 1e-318
    (1e-160, 3e-160),
])
def test_quantiles_of_narrow_intervals_whose_chord_slope_times_width_underflows(a, b):
    # The nearly uniform law on [a, b]: its exponential tilt c w lies in the subnormals.  The
    # quantiles are checked one at a time (the scalar kernel), for one interval and many
    # probabilities (the prepared lanes) and element by element (the lanes).
    probabilities = np.array([1e-12, 0.3, 0.5, 0.6733015320934825, 0.9955079729332872, 1 - 1e-12])
    failures = []
    for lo, hi in mirrored([(a, b)]):
        bounds = np.full(probabilities.size, lo), np.full(probabilities.size, hi)
        for name, one, prepared, lanes in (("ppf", tn.ppf, tn.ppf(probabilities, lo, hi), tn.ppf(probabilities, *bounds)),
                                           ("isf", tn.isf, tn.isf(probabilities, lo, hi), tn.isf(probabilities, *bounds))):
            for k, q in enumerate(probabilities):
                for x in {float(one(q, lo, hi)), float(prepared[k]), float(lanes[k])}:
                    ok = (quantile_is_bracketed(q, lo, hi, x) if name == "ppf"
                          else quantile_is_bracketed(q, -hi, -lo, -x))  # isf(q) on [a, b] is -ppf(q) on [-b, -a]
                    if not ok:
                        failures.append((name, q, lo, hi, x))
    assert not failures, failures[:6]


# Intervals whose quantile is a closed form's point with no iteration: tail intervals narrower
# than 2^-40 of their distance from 0 (and than 2^-12.5), by the exponential law; narrower
# than 2^-17 of it (and than 4e-4), by the law's second order; from the lower end of one
# from 1024 on, by the hazard's quadratic law; and intervals just outside those regions,
# which iterate.  All give the quantile rounded, to within a hair of half an ulp.  Regions
# drawn wider take in (360, 360 + 1.7e-4) with no second order, where the exponential law is
# 20 ulps off, or (31, inf), where the hazard's is 1000.
@pytest.mark.parametrize("a, b", mirrored([
    (1.0, 1.0 + 2.0 ** -52), (0.7, 0.7 + 4 * math.ulp(0.7)), (1e-3, 1e-3 * (1 + 2.0 ** -41)),
    (37.5, 37.5 * (1 + 2.0 ** -41)), (1e8, 1e8 + 8e-5), (1e15, 1e15 * (1 + 2.0 ** -45)),
    (1.0, 1.0 + 2.0 ** -20), (0.01, 0.01 + 5e-8), (5.0, 5.0 + 3e-5), (30.0, 30.0 + 1e-5),
    (100.0, 100.0 + 4e-4), (1e6, 1e6 + 4e-4), (360.0, 360.0 + 1.7e-4),
    (1024.0, INF), (1500.0, 1600.0), (5e4, 5e4 + 0.5), (1e8, INF), (1e30, 2e30),
    (1.0, 1.0 + 2.0 ** -16), (10.0, 10.0 + 5e-4), (2e6, 2e6 + 4e-4), (1e8, 1e8 + 2e-4), (30.5, 30.5 + 1e-9),
    (31.0, INF), (40.0, 41.0), (1000.0, INF),
]))
def test_quantiles_settled_by_a_closed_form_are_rounded(a, b):
    probabilities = np.array([1e-300, 1e-12, 0.3, 0.5, 0.7, 1 - 2.0 ** -40])
    failures = []
    for name, upper in (("ppf", False), ("isf", True)):
        f = getattr(tn, name)
        lanes = f(probabilities, np.full(probabilities.size, a), np.full(probabilities.size, b))
        for q, x, one in zip(probabilities, lanes, f(probabilities, a, b)):
            exact = ref.quantile(q, a, b, float(x), upper=upper)
            if not (abs(exact - x) <= (0.5 + 2.0 ** -10) * math.ulp(float(exact)) and one == x):
                failures.append((name, q, a, b, float(x), float(exact)))
    assert not failures, failures[:6]


@pytest.mark.parametrize("x, a, b", [(LARGEST, LARGEST, INF), (-LARGEST, -INF, -LARGEST)])
def test_density_at_the_largest_double(x, a, b):
    # x^2 - a^2 at x == a == the largest double: x + a overflows, the difference is 0
    assert tn.logpdf(x, a, b) == pytest.approx(ref.log_pdf(x, a, b), rel=LOGPDF_TOL)


@pytest.mark.parametrize("a", [1e300, 4e307, 1e308, LARGEST])
def test_far_out_the_mean_stays_in_the_interval_and_quantiles_exist(a):
    # There the mean is a + 1/a and every quantile below q = 1 is a + O(1/a): a itself, rounded.
    # 1/R(a) rounds below a, or overflows where R(a) is subnormal (a beyond 4.5e307).
    for lo, hi in mirrored([(a, INF)]):
        inner = lo if lo == a else hi
        assert tn.mean(lo, hi) == inner and tn.moments(lo, hi)[1] == inner
        for q in (5e-324, 0.5, 1 - 2.0 ** -53):
            assert tn.ppf(q, lo, hi) == inner and tn.isf(q, lo, hi) == inner


def test_quantile_ends_and_invalid_probabilities():
    a, b = -1.0, 2.0
    assert tn.ppf(0.0, a, b) == a and tn.ppf(1.0, a, b) == b
    assert tn.isf(0.0, a, b) == b and tn.isf(1.0, a, b) == a
    for q in (-1e-300, 1.0000000000000002, NAN, INF, -INF):
        assert math.isnan(tn.ppf(q, a, b)) and math.isnan(tn.isf(q, a, b))
    assert tn.ppf(0.5, 2.0, 2.0) == 2.0 and math.isnan(tn.ppf(0.5, INF, INF))
    assert tn.ppf(0.0, -INF, INF) == -INF and tn.isf(0.0, -INF, INF) == INF
    assert tn.ppf(0.3, -INF, INF) == pytest.approx(-0.5244005127080407, rel=2e-16)


def test_ppf_inverts_cdf():
    # Each point is recovered from the smaller of its two probabilities (the other may round
    # to 1): ppf(cdf(x)) where cdf(x) <= 1/2, isf(sf(x)) elsewhere.
    rng = random.Random(5)
    intervals = ref.random_intervals(300, 9)
    cases = [(x, a, b) for a, b in intervals for x in ref.points_in(a, b, rng, 2)]
    x, a, b = (np.array(c) for c in zip(*cases))
    lower = tn.cdf(x, a, b)
    upper = tn.sf(x, a, b)
    use_lower = lower <= 0.5
    q = np.where(use_lower, lower, upper)
    back = np.where(use_lower, tn.ppf(lower, a, b), tn.isf(upper, a, b))
    # the probability is rounded: its half-ulp moves the quantile by ulp(q)/2 / pdf (unbounded
    # where the density underflows)
    with np.errstate(divide="ignore"):
        allowed = 8 * np.spacing(np.abs(x)) + np.spacing(q) / tn.pdf(x, a, b) + PPF_ABS * np.minimum(1.0, b - a)
    bad = np.abs(back - x) > allowed
    assert not bad.any(), list(zip(x[bad], a[bad], b[bad]))[:5]


@pytest.mark.parametrize("q, a, b", [
    (0.06998784587900453, -2.12765447665837e-310, -6.6870991967e-314),   # subnormal width
    (0.29822078159133125, -1.552682712365e-312, 3.13281467e-315),
    (0.5398997857348482, -2.848591972537714e-302, -2.8485913945423337e-302),
    (1e-20, 0.0, 1e-290),                                                # a subnormal quantile
    (1e-10, 1e-300, 3e-300), (1e-5, 5e-324, 2e-323),
])
def test_quantiles_of_intervals_too_narrow_for_a_slope(q, a, b):
    # the law is uniform to every bit of a double here: the quantiles are a + q w and b - q w
    # as exact rationals; the slope of G overflows, so no step can move off a coarse anchor
    for name, exact in (("ppf", Fraction(a) + Fraction(q) * (Fraction(b) - Fraction(a))),
                        ("isf", Fraction(b) - Fraction(q) * (Fraction(b) - Fraction(a)))):
        for f in (getattr(tn, name)(q, a, b), getattr(tn, name)(np.array([q, q]), a, np.array([b, b]))[0]):
            assert abs(Fraction(float(f)) - exact) <= Fraction(np.spacing(abs(float(exact)))), (name, f)


@pytest.mark.parametrize("lo, hi", [(2.089457530376441e127, 4.980258899833648e130), (6.4895861693980135e87, 9.395803499053216e94),
                                    (2.0 ** 32, 1e300), (8.249891860159542e96, INF), (1e300, 1.7e308)])
def test_far_quantiles_round_to_the_lower_end(lo, hi):
    # the hazard exceeds lo: every quantile lies within 744.5/lo of lo, below half its ulp
    q = np.array([1e-300, 0.3, 0.5, 0.7, 1 - 2.0 ** -53])
    for name, x in (("ppf", tn.ppf(q, lo, hi)), ("isf", tn.isf(q, lo, hi)), ("mirrored", -tn.ppf(q, -hi, -lo))):
        assert (x == lo).all(), (name, x)


@pytest.mark.parametrize("a, b", [(-1.0, 2.0), (8.0, 9.0), (30.0, 30.001), (-INF, INF), (5.0, INF), (1e8, 1e8 + 1.0)])
def test_quantiles_are_monotone_in_q(a, b):
    q = np.concatenate([[1e-300, 1e-100, 1e-20], np.sort(np.random.default_rng(0).random(2000)), [1 - 1e-12, 1 - 2.0 ** -53]])
    x = tn.ppf(q, a, b)
    assert (np.diff(x) >= 0).all() and (x >= a).all() and (x <= b).all()
    y = tn.isf(q, a, b)
    assert (np.diff(y) <= 0).all()


# ---------------------------------------------------------------------------------------
# The ufuncs

def test_every_function_is_a_ufunc_with_float32_and_float64_loops():
    for name in FUNCTIONS:
        u = getattr(tn, name)
        assert isinstance(u, np.ufunc), name
        assert [t.split("->")[0] for t in u.types] == ["f" * u.nin, "d" * u.nin]
    assert tn.moments.nout == 3 and tn.ppf.nin == 3 and tn.log_prob.nin == 2


def test_float32_is_the_double_kernel_rounded_once():
    rng = np.random.default_rng(2)
    a = rng.uniform(-10, 10, 1000).astype(np.float32)
    b = (a + rng.uniform(0, 3, 1000)).astype(np.float32)
    x = (a + (b - a) * rng.random(1000)).astype(np.float32)
    a64, b64, x64 = a.astype(float), b.astype(float), x.astype(float)
    for name in ("log_prob", "mean", "var"):
        got = getattr(tn, name)(a, b)
        assert got.dtype == np.float32 and same_bits(got.astype(float), getattr(tn, name)(a64, b64).astype(np.float32).astype(float))
    for name in ("logpdf", "logcdf", "sf", "ppf"):
        got = getattr(tn, name)(x, a, b) if name != "ppf" else tn.ppf(np.float32(0.25), a, b)
        want = getattr(tn, name)(x64, a64, b64) if name != "ppf" else tn.ppf(0.25, a64, b64)
        assert got.dtype == np.float32 and same_bits(got.astype(float), want.astype(np.float32).astype(float))
    assert tn.mean(np.arange(3), 5).dtype == np.float64   # integers take the float64 loop


def test_broadcasting_out_and_where():
    a = np.array([[-1.0], [2.0], [30.0]])
    b = np.array([[0.5, 3.0, INF, 31.0]]) + 1.0
    x = np.array([-0.5, 1.5])[:, None, None]
    assert tn.logcdf(x, a, b).shape == (2, 3, 4)
    full = tn.logpdf(x, a, b)
    assert same_bits(full[1, 2], [tn.logpdf(1.5, 30.0, bb) for bb in b[0]])
    out = np.full((3, 4), -7.0)
    mask = np.isfinite(b) & (a < 10)
    assert tn.var(a, b, out=out, where=mask) is out
    assert (out[~mask] == -7.0).all() and same_bits(out[mask], tn.var(np.broadcast_to(a, (3, 4))[mask], np.broadcast_to(b, (3, 4))[mask]))
    outs = (np.empty((3, 4)), np.empty((3, 4)), np.empty((3, 4)))
    result = tn.moments(a, b, out=outs)
    assert all(r is o for r, o in zip(result, outs))
    assert isinstance(tn.mean(1.0, 2.0), np.float64)


def test_no_floating_point_warnings():
    with np.errstate(all="raise"):
        tn.moments([1e300, -1e300, 40.0, 0.0], [INF, 1e300, 1e300, 5e-324])
        tn.logcdf([1e300, 0.0], [1e299, -INF], [INF, INF])
        tn.ppf([1e-300, 0.5], [1e300, -40.0], [INF, 40.0])


def test_dask_and_xarray():
    da = pytest.importorskip("dask.array")
    a = np.linspace(-5, 50, 4000)
    lazy = tn.log_prob(da.from_array(a, chunks=1000), da.from_array(a + 0.5, chunks=1000))
    assert isinstance(lazy, da.Array)
    assert same_bits(lazy.compute(scheduler="threads"), tn.log_prob(a, a + 0.5))
    xr = pytest.importorskip("xarray")
    lower = xr.DataArray(a.reshape(40, 100), dims=("trial", "cut"), coords={"trial": np.arange(40)})
    result = tn.mean(lower, lower + 1.0)
    assert isinstance(result, xr.DataArray) and result.dims == ("trial", "cut")
    assert same_bits(result.values, tn.mean(lower.values, lower.values + 1.0))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_examples_run(name):
    doc = getattr(tn, name).__doc__
    test = doctest.DocTestParser().get_doctest(doc, {"truncnorm": tn, "np": np}, name, None, 0)
    assert test.examples, name
    result = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS).run(test, out=lambda s: None)
    assert result.failed == 0, doc


PROGRAM = r"""
#include <cstdio>
#include "truncnorm.hpp"

int main() {
    double q, x, a, b;
    while (std::scanf("%la %la %la %la", &q, &x, &a, &b) == 4) {
        namespace tn = veltra::truncnorm;
        const auto m = tn::moments(a, b);
        std::printf("%a %a %a %a %a %a %a\n", m.log_prob, m.mean, m.var, tn::logpdf(x, a, b),
                    tn::logcdf(x, a, b), tn::sf(x, a, b), tn::ppf(q, a, b));
    }
}
"""


def test_cpp_header_gives_the_ufuncs_bits(tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    (tmp_path / "main.cpp").write_text(PROGRAM)
    exe = tmp_path / "main"
    subprocess.run([compiler, "-std=c++17", "-O2", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror",
                    "-I", veltra.get_include(), str(tmp_path / "main.cpp"), "-o", str(exe)], check=True)
    intervals = ref.random_intervals(300, 4)
    rng = random.Random(4)
    rows = [(rng.random(), (ref.points_in(a, b, rng, 1) or [a])[0], a, b) for a, b in intervals]
    stdin = "".join(" ".join(float(v).hex() for v in row) + "\n" for row in rows)
    out = subprocess.run([str(exe)], input=stdin, capture_output=True, text=True, check=True).stdout.splitlines()
    got = np.array([[float.fromhex(v) for v in line.split()] for line in out])
    q, x, a, b = (np.array(c) for c in zip(*rows))
    expected = np.column_stack([*tn.moments(a, b), tn.logpdf(x, a, b), tn.logcdf(x, a, b), tn.sf(x, a, b), tn.ppf(q, a, b)])
    assert same_bits(got, expected)


@pytest.mark.parametrize("name", ["logpdf", "pdf", "logcdf", "logsf", "cdf", "sf", "ppf", "isf"])
@pytest.mark.parametrize("a, b", [(8.0, 9.0), (30.0, 30.001), (-1.0, 1.0), (-40.0, -39.0), (1e4, 1e4 + 1e-3),
                                  (40.0, np.inf), (-np.inf, -35.0), (-30.0, 30.0), (2.0, 2.0), (3.0, 1.0)])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_scalar_bounds_prepare_the_interval_once_with_the_same_bits(name, a, b, dtype):
    """Bounds that stay the same over a loop are prepared once; the values are those of bounds
    given element by element."""
    rng = np.random.default_rng(31)
    if name in ("ppf", "isf"):
        points = np.concatenate([rng.uniform(0, 1, 300), [0.0, 1.0, 1e-300, 0.5, -0.1, np.nan]])
    else:
        lo, hi = (min(a, b), max(a, b)) if np.isfinite(a) and np.isfinite(b) else \
            ((b - 10, b) if np.isfinite(b) else (a, a + 10))
        points = np.concatenate([rng.uniform(lo - 0.1 * abs(hi - lo), hi + 0.1 * abs(hi - lo), 300), [a, b, np.nan]])
    points = points.astype(dtype)
    f = getattr(tn, name)
    prepared = f(points, dtype(a), dtype(b))
    elementwise = f(points, np.full(points.shape, a, dtype), np.full(points.shape, b, dtype))
    assert prepared.dtype == dtype
    assert np.array_equal(prepared, elementwise, equal_nan=True)
