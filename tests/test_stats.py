"""veltra.stats.truncnorm: SciPy's truncnorm on central intervals (same values, shapes, types
and special values), mpmath far in the tails, Kolmogorov-Smirnov tests of the sampler."""

import doctest
import math
import re
from pathlib import Path

import mpmath
import numpy as np
import pytest
import truncnorm_reference as reference

from veltra.stats import truncnorm

scipy_stats = pytest.importorskip("scipy.stats")
S = scipy_stats.truncnorm

#: Agreement with SciPy where its formulas do not cancel.
SCIPY_REL = 1e-12
#: Relative error far in the tails, against mpmath (the kernels' bound, with room).
TAIL_REL = 1e-13

INF = math.inf
CENTRAL = [(-1.0, 2.0), (0.0, 1.0), (-2.5, -0.5), (-INF, 1.5), (0.5, INF), (-3.0, 3.0), (-INF, INF)]
LOC_SCALE = [(0, 1), (2.5, 0.5), (-1.0, 3.0)]
X_METHODS = ["logpdf", "pdf", "logcdf", "cdf", "logsf", "sf"]
Q_METHODS = ["ppf", "isf"]
PARAM_METHODS = ["mean", "var", "std", "median", "entropy", "stats", "support"]
# SciPy's entropy is NaN for an infinite bound (it multiplies b by phi(b)).
FINITE = [(a, b) for a, b in CENTRAL if math.isfinite(a) and math.isfinite(b)]


def standard_points(a, b):
    """Points across the support, at both ends and beyond."""
    inner = np.linspace(max(a, -4.0), min(b, 4.0), 9)
    return np.concatenate([inner, [a, b, -5.0, 5.0, np.nan]])


@pytest.mark.parametrize("a, b", CENTRAL)
@pytest.mark.parametrize("loc, scale", LOC_SCALE)
@pytest.mark.parametrize("method", X_METHODS + Q_METHODS)
def test_functions_match_scipy(method, a, b, loc, scale):
    grid = standard_points(a, b) * scale + loc if method in X_METHODS else \
        np.array([0.0, 1e-3, 0.1, 0.5, 0.9, 0.999, 1.0, -0.5, 1.5, np.nan])
    got = getattr(truncnorm, method)(grid, a, b, loc, scale)
    want = getattr(S, method)(grid, a, b, loc, scale)
    np.testing.assert_allclose(got, want, rtol=SCIPY_REL, atol=1e-14)  # a median of 0 (SciPy: 1e-16)


@pytest.mark.parametrize("method", PARAM_METHODS + ["interval"])
def test_summaries_match_scipy_with_broadcasting(method):
    # bounds along one axis, loc along another, scale scalar: the result is 2-d
    a, b = np.array(FINITE).T
    loc = np.array([[0.0], [2.5], [-1.0]])
    args = (0.9, a, b, loc, 3.0) if method == "interval" else (a, b, loc, 3.0)
    got, want = getattr(truncnorm, method)(*args), getattr(S, method)(*args)
    np.testing.assert_allclose(got, want, rtol=SCIPY_REL, atol=1e-15)
    assert np.shape(got) == np.shape(want)


def test_x_broadcasts_against_the_parameters():
    x = np.linspace(-1.0, 2.0, 5)
    a = np.array([[-1.0], [0.0]])
    scale = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
    got = truncnorm.logsf(x, a, 2.0, 0.5, scale)
    np.testing.assert_allclose(got, S.logsf(x, a, 2.0, 0.5, scale), rtol=SCIPY_REL)
    assert got.shape == (2, 5)


def test_float32_x_is_mapped_and_evaluated_in_float64():
    x = np.linspace(-2.0, 6.0, 7, dtype=np.float32)
    got = truncnorm.logcdf(x, -1.0, 2.0, 0.1, 3.0)
    assert got.dtype == np.float64
    np.testing.assert_allclose(got, S.logcdf(x, -1.0, 2.0, 0.1, 3.0), rtol=SCIPY_REL)


# a == b, a > b, NaN bounds, a point at infinity; scale zero, negative, NaN; loc NaN
INVALID = [(1.0, 1.0, 0.0, 1.0), (2.0, 1.0, 0.0, 1.0), (np.nan, 1.0, 0.0, 1.0),
           (0.0, np.nan, 0.0, 1.0), (INF, INF, 0.0, 1.0), (-INF, -INF, 0.0, 1.0),
           (0.0, 1.0, 0.0, 0.0), (0.0, 1.0, 0.0, -1.0), (0.0, 1.0, 0.0, np.nan),
           (0.0, 1.0, np.nan, 1.0)]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("a, b, loc, scale", INVALID)
@pytest.mark.parametrize("method", X_METHODS + Q_METHODS + PARAM_METHODS + ["interval"])
def test_invalid_parameters_as_scipy(method, a, b, loc, scale):
    args = {"interval": (0.5,)}.get(method, (0.5,) if method in X_METHODS + Q_METHODS else ())
    got = getattr(truncnorm, method)(*args, a, b, loc, scale)
    want = getattr(S, method)(*args, a, b, loc, scale)
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("call", [
    lambda d, x: d.logpdf(x, 0, 1), lambda d, x: d.sf(x, -1, 2, 1, 2), lambda d, x: d.ppf(x, 0, 1),
    lambda d, x: d(-1, 1, loc=2).cdf(x), lambda d, x: d.mean(x, 3), lambda d, x: d.entropy(x, 3),
])
def test_scalars_in_give_numpy_scalars_out(call):
    for x in (0.5, np.float32(0.5), np.array(0.5), 0):
        assert type(call(truncnorm, x)) is np.float64
    assert isinstance(call(truncnorm, [0.5]), np.ndarray)


def test_stats_letters():
    mean, var = truncnorm.stats(0.0, 1.0, moments="vm")  # SciPy's order: m before v
    assert (mean, var) == (truncnorm.mean(0.0, 1.0), truncnorm.var(0.0, 1.0))
    assert truncnorm.stats(0.0, 1.0, moments="v") == var
    assert truncnorm.stats(0.0, 1.0, moments="") == ()
    with pytest.raises(ValueError, match="between 0 and 1"):
        truncnorm.interval(1.5, 0.0, 1.0)


def test_frozen_is_the_distribution_with_fixed_parameters():
    frozen = truncnorm(-1.0, np.array([1.0, 2.0]), loc=3.0, scale=2.0)
    assert frozen.args == (-1.0, frozen.b) and frozen.kwds == {"loc": 3.0, "scale": 2.0}
    assert frozen.a == -1.0 and frozen.dist is truncnorm
    params = (-1.0, np.array([1.0, 2.0]), 3.0, 2.0)
    for method in X_METHODS + Q_METHODS:
        np.testing.assert_array_equal(getattr(frozen, method)(0.25), getattr(truncnorm, method)(0.25, *params))
    for method in PARAM_METHODS:
        np.testing.assert_array_equal(getattr(frozen, method)(), getattr(truncnorm, method)(*params))
    np.testing.assert_array_equal(frozen.interval(0.5), truncnorm.interval(0.5, *params))
    np.testing.assert_array_equal(frozen.rvs(size=(3, 2), random_state=5),
                                  truncnorm.rvs(*params, size=(3, 2), random_state=5))
    with pytest.raises(TypeError):
        truncnorm(0.0)


# ----- far tails, against mpmath -----

TAILS = [(8.0, 9.0), (30.0, 30.001), (-40.0, -39.0), (40.0, INF), (-INF, -35.0),
         (1e4, 1e4 + 1e-3), (-1e-8, 1e-8)]
LOC, SCALE = -3.0, 4.0


def assert_close(got, want, rel=TAIL_REL):
    assert abs(got - want) <= rel * abs(want), (got, want, abs(got - want) / abs(want))


@pytest.mark.parametrize("a, b", TAILS)
def test_tail_functions_of_x_against_mpmath(a, b):
    lo, hi = (a if math.isfinite(a) else b - 10.0), (b if math.isfinite(b) else a + 10.0)
    for z in (lo + (hi - lo) / 8, lo + (hi - lo) / 2, lo + (hi - lo) * 0.875):
        x = LOC + SCALE * z
        z = (x - LOC) / SCALE  # the point evaluated (the map back may round)
        assert_close(truncnorm.logpdf(x, a, b, LOC, SCALE), reference.log_pdf(z, a, b) - math.log(SCALE))
        log_cdf, log_sf = reference.log_cdf(z, a, b), reference.log_sf(z, a, b)
        assert_close(truncnorm.logcdf(x, a, b, LOC, SCALE), log_cdf)
        assert_close(truncnorm.logsf(x, a, b, LOC, SCALE), log_sf)
        assert_close(truncnorm.cdf(x, a, b, LOC, SCALE), math.exp(log_cdf))
        assert_close(truncnorm.sf(x, a, b, LOC, SCALE), math.exp(log_sf))


@pytest.mark.parametrize("a, b", TAILS)
@pytest.mark.parametrize("q", [1e-300, 1e-9, 0.3, 0.5, 0.9, 1 - 2.0 ** -53])
def test_tail_quantiles_against_mpmath(a, b, q):
    for method, upper in (("ppf", False), ("isf", True)):
        z = getattr(truncnorm, method)(q, a, b)
        want = reference.quantile(q, a, b, z, upper=upper)
        assert_close(getattr(truncnorm, method)(q, a, b, LOC, SCALE), float(LOC + SCALE * want), rel=4 * TAIL_REL)


@pytest.mark.parametrize("a, b", TAILS + [(1e8, INF), (-2.0, 1e-3), (0.0, 1e-12), (5.0, 5.0 + 2.0 ** -40)])
def test_tail_summaries_against_mpmath(a, b):
    _, mean, var = reference.moments(a, b)
    assert_close(truncnorm.mean(a, b, LOC, SCALE), LOC + SCALE * mean)
    assert_close(truncnorm.var(a, b, LOC, SCALE), SCALE * SCALE * var)
    entropy = float(reference.entropy_mp(a, b)) + math.log(SCALE)
    assert abs(truncnorm.entropy(a, b, LOC, SCALE) - entropy) <= reference.ENTROPY_TOL * max(1.0, abs(entropy))


#: Entropies next to 0, where H = log w + O(w^2 + c^2) (rounding noise over a tiny mean must
#: not reach the tail offset m - a), and tail intervals whose mean is about 1, where the
#: offset's form changes.
ENTROPY_NEXT_TO_ZERO = reference.next_to_zero_intervals() + [
    (5.088100339790543e-25, 1.941007157350438e-12), (-1.0422039375990067e-107, -4.516011997197506e-108),
    (1e-300, 2e-300), (1e-307, 1e-307 * (1 + 2.0 ** -40)), (1e-310, 2e-310),
    (0.1, 1.0), (2.511916905359696e-20, 0.36305587167754694), (0.7710045364885684, 1.2710045364885684),
    (0.585941318013916, 1.585941318013916), (0.30720538861271457, INF), (0.30263084071157287, INF),
]


@pytest.mark.filterwarnings("error")
def test_entropy_next_to_zero_and_where_the_offset_changes_form():
    intervals = ENTROPY_NEXT_TO_ZERO + [(-b, -a) for a, b in ENTROPY_NEXT_TO_ZERO]
    a, b = np.array(intervals).T
    array = truncnorm.entropy(a, b)
    for k, (lo, hi) in enumerate(intervals):
        want = float(reference.entropy_mp(lo, hi))
        for got in (truncnorm.entropy(lo, hi), array[k]):
            assert abs(got - want) <= reference.ENTROPY_TOL * max(1.0, abs(want)), (lo, hi, got, want)


# ----- sampling -----

@pytest.mark.parametrize("params, size", [
    ((0.0, 1.0), None), ((-1.0, 2.0, 0.5, 2.0), 5), (([-1.0, 0.0], 2.0), None),
    (([[-1.0, 0.0]], 2.0), (3, 2)), (([[[0.0]]], 1.0), None), (([0.0], 1.0), (4, 1)),
])
@pytest.mark.parametrize("seed", [
    lambda: 12345, lambda: np.random.default_rng(7), lambda: np.random.RandomState(9)])
def test_rvs_shapes_and_seeds(params, size, seed):
    """SciPy's shapes and types; the same seed gives the same samples, inside the support, and
    loc and scale map the standard ones (the stream is veltra's own, not SciPy's)."""
    got = truncnorm.rvs(*params, size=size, random_state=seed())
    want = S.rvs(*params, size=size, random_state=seed())
    assert np.shape(got) == np.shape(want) and type(got) is type(want)
    np.testing.assert_array_equal(got, truncnorm.rvs(*params, size=size, random_state=seed()))
    a, b, loc, scale = (params + (0, 1))[:4]
    assert np.all((got >= np.multiply(a, scale) + loc) & (got <= np.multiply(b, scale) + loc))
    standard = truncnorm.rvs(a, b, size=np.shape(got), random_state=seed())
    np.testing.assert_array_equal(got, standard * scale + loc)


def test_rvs_sources_and_errors():
    np.random.seed(3)
    first = truncnorm.rvs(0.0, 1.0, size=4)  # NumPy's global RandomState, as SciPy
    np.random.seed(3)
    np.testing.assert_array_equal(first, truncnorm.rvs(0.0, 1.0, size=4))
    assert not np.array_equal(first, truncnorm.rvs(0.0, 1.0, size=4))
    np.testing.assert_array_equal(truncnorm.rvs(0.0, 1.0, size=3, random_state=11),
                                  truncnorm.rvs(0.0, 1.0, size=3, random_state=np.random.RandomState(11)))
    frozen = truncnorm(0.0, 1.0)
    frozen.random_state = 11
    np.testing.assert_array_equal(frozen.rvs(3), truncnorm.rvs(0.0, 1.0, size=3, random_state=11))
    assert truncnorm.rvs(0.0, 1.0, loc=2.0, scale=0.0, size=2).tolist() == [2.0, 2.0]
    for bad in ({"a": 1.0, "b": 1.0}, {"a": 0.0, "b": 1.0, "scale": -1.0}, {"a": np.nan, "b": 1.0},
                {"a": 0.0, "b": 1.0, "random_state": "seed"}, {"a": [0.0, 0.0], "b": 1.0, "size": (3, 1)}):
        with pytest.raises(ValueError):
            truncnorm.rvs(**bad)


KS_TAILS = [(8.0, 9.0), (30.0, 30.001), (40.0, INF), (-INF, -35.0), (1e4, 1e4 + 1e-3)]
#: With a fixed seed the p-value is a fixed number; a correct sampler gives p well above this
#: (a sampler off by a few percent of the spread gives p below 1e-20 at 20000 samples).
KS_P_MIN = 1e-3


@pytest.mark.parametrize("a, b", KS_TAILS)
def test_rvs_follow_the_cdf_far_in_the_tails(a, b):
    sample = truncnorm.rvs(a, b, size=20_000, random_state=20260)
    assert np.all((sample >= a) & (sample <= b))
    result = scipy_stats.kstest(sample, lambda x: truncnorm.cdf(x, a, b))
    assert result.pvalue > KS_P_MIN, result


def test_rvs_follow_the_mpmath_cdf():
    sample = truncnorm.rvs(8.0, 9.0, loc=1.0, scale=0.5, size=2_000, random_state=4)
    z = (sample - 1.0) / 0.5
    result = scipy_stats.kstest(z, lambda x: np.array([math.exp(reference.log_cdf(v, 8.0, 9.0)) for v in x]))
    assert result.pvalue > KS_P_MIN, result


def test_readme_example_prints_what_it_shows():
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    section = readme.split("## The truncated normal")[1].split("\n## ")[0]
    section = re.sub(r"^```.*$", "", section, flags=re.MULTILINE)  # a fence ends an output
    example = doctest.DocTestParser().get_doctest(section, {}, "README", None, 0)
    assert example.examples and doctest.DocTestRunner().run(example).failed == 0
