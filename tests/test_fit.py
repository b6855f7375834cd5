"""veltra.stats.fit_truncnorm and truncnorm.fit, nnlf, expect: recovery of known parameters
within their standard errors, the moment equations at the maximum against mpmath, the
family's boundary, SciPy's signature and likelihood, expectations against mpmath far in the
tails and on narrow intervals, dask input."""

import math
import warnings

import mpmath
import numpy as np
import pytest
import truncnorm_reference as reference

from veltra.stats import FitError, fit_truncnorm, truncnorm

scipy_stats = pytest.importorskip("scipy.stats")

INF = math.inf
#: At the maximum the model's mean and variance equal the sample's, relative to its spread.
MOMENT_REL = 1e-12
#: Relative error of expect against mpmath.
EXPECT_REL = 2e-14

# lower, upper, loc, scale, n: the mode inside, the interval across and beyond the mode
# (SciPy's failing case, with 1e6 points), one-sided N(0, 1) seen only beyond 4.
RECOVERY = [(-1.0, 3.0, 0.5, 1.0, 5000),
            (0.4, 1.0, 0.4, 0.2, 1_000_000),
            (1.0, 3.0, 0.0, 1.0, 5000),
            (4.0, INF, 0.0, 1.0, 20000)]


def sample(lower, upper, loc, scale, n, seed=1):
    a, b = (lower - loc) / scale, (upper - loc) / scale
    return truncnorm.rvs(a, b, loc, scale, size=n, random_state=np.random.default_rng(seed))


@pytest.mark.parametrize("lower, upper, loc, scale, n", RECOVERY)
def test_recovery_within_four_standard_errors(lower, upper, loc, scale, n):
    data = sample(lower, upper, loc, scale, n)
    fit = fit_truncnorm(data, lower, upper)
    assert fit.success, fit.message
    errors = np.sqrt(np.diag(fit.cov))
    assert abs(fit.loc - loc) <= 4 * errors[0]
    assert abs(fit.scale - scale) <= 4 * errors[1]
    # free bounds: the sample's extremes, and the same recovery
    a, b, free_loc, free_scale = truncnorm.fit(data)
    assert free_loc + a * free_scale == pytest.approx(data.min(), rel=1e-14, abs=1e-14)
    assert abs(free_loc - loc) <= 4 * errors[0] and abs(free_scale - scale) <= 4 * errors[1]


def quantiles(lower, upper, n):
    """n points at the quantiles (k + 1/2)/n of N(0, 1) on [lower, upper]: a sample far in a
    tail that has a maximum (a random one that far out lies beyond the exponential limit)."""
    return truncnorm.ppf((np.arange(n) + 0.5) / n, lower, upper)


# random samples of the recovery cases, and quantile samples far in the tails, where the mean
# of the model is mu + sigma E[X] with |mu| up to 1e4 times the spread
@pytest.mark.parametrize("lower, upper, loc, scale, n", [case[:4] + (3000,) for case in RECOVERY]
                         + [(30.0, INF, None, None, 2000), (-INF, -300.0, None, None, 2000), (8.0, 9.0, None, None, 2000)])
def test_fitted_moments_are_the_samples(lower, upper, loc, scale, n):
    data = quantiles(lower, upper, n) if loc is None else sample(lower, upper, loc, scale, n, seed=7)
    fit = fit_truncnorm(data, lower, upper)
    with mpmath.workdps(50):
        _, m, v = reference.moments_mp(fit.a, fit.b, 50)
        mean = fit.loc + fit.scale * m
        sample_mean = mpmath.fsum(data) / n
        sample_var = mpmath.fsum((x - sample_mean) ** 2 for x in data) / n
        # the second moment about the sample's mean
        second = fit.scale ** 2 * v + (mean - sample_mean) ** 2
        # (loc itself is a double: with data at 300 spread over 3e-3 its rounding is 1e-11 of the spread)
        assert abs(mean - sample_mean) <= MOMENT_REL * mpmath.sqrt(sample_var) + 2.0 ** -53 * abs(fit.loc)
        assert abs(second - sample_var) <= MOMENT_REL * sample_var
    assert fit.nllf == pytest.approx(truncnorm.nnlf((fit.a, fit.b, fit.loc, fit.scale), data), rel=1e-12)
    # At the maximum of an exponential family the observed information is the expected one:
    # the inverse of cov is the Hessian of the nnlf in (loc, scale), by central differences
    # (far in a tail, loc and scale are nearly confounded and the differences lose digits)
    if loc is None:
        return
    def nnlf(loc, scale):
        return truncnorm.nnlf(((lower - loc) / scale, (upper - loc) / scale, loc, scale), data)
    h = 1e-4 * fit.scale
    hessian = np.empty((2, 2))
    for i, j in ((0, 0), (0, 1), (1, 1)):
        e_i, e_j = h * np.eye(2)[i], h * np.eye(2)[j]
        p = np.array([fit.loc, fit.scale])
        hessian[i, j] = hessian[j, i] = (nnlf(*(p + e_i + e_j)) - nnlf(*(p + e_i - e_j))
                                         - nnlf(*(p - e_i + e_j)) + nnlf(*(p - e_i - e_j))) / (4 * h * h)
    np.testing.assert_allclose(np.linalg.inv(fit.cov), hessian, rtol=1e-6)


def u_shaped(rng):
    return rng.beta(0.5, 0.5, 500)


def heavy_right(rng):
    return 2.0 + rng.standard_exponential(500) ** 2


def heavy_left(rng):
    return -heavy_right(rng)


@pytest.mark.parametrize("draw, lower, upper, reason", [
    (u_shaped, 0.0, 1.0, "sample variance"),
    (heavy_right, 2.0, INF, "standard deviation"),
    (heavy_left, -INF, -2.0, "standard deviation"),
])
def test_no_maximum_is_reported(draw, lower, upper, reason):
    data = draw(np.random.default_rng(3))
    fit = fit_truncnorm(data, lower, upper)
    assert not fit.success and reason in fit.message and math.isnan(fit.loc)
    with pytest.raises(FitError, match=reason):
        truncnorm.fit(data, lower=lower, upper=upper)


@pytest.mark.parametrize("middle, success", [(40_001, True), (40_000, False), (39_999, False)])
def test_boundary_is_sharp(middle, success):
    # k points at each end of [0, 1] and m at 1/2: variance k/(2 (2k + m)), the uniform law's
    # 1/12 exactly at m = 4k; just inside, a maximum far out (scale ~ 100 widths).
    k = 10_000
    data = np.repeat([0.0, 1.0, 0.5], [k, k, middle])
    fit = fit_truncnorm(data, 0.0, 1.0)
    assert fit.success is success, fit.message
    assert success or "sample variance" in fit.message


@pytest.mark.parametrize("near", [0.5, 0.49999, 0.4, 0.1, 1e-5, 1e-9])
def test_exponential_limit_against_mpmath(near):
    # the variance of the exponential law on [0, 1] with its mean `near` from an end: with
    # rate 2s, 1 - L(s) = 2 near and variance L'(s)/4, L(s) = coth s - 1/s
    from veltra._fit import _exponential_limit_variance
    with mpmath.workdps(40):
        if near == 0.5:
            want = mpmath.mpf(1) / 12
        else:
            s = mpmath.findroot(lambda s: 1 / s - 2 / mpmath.expm1(2 * s) - 2 * mpmath.mpf(near),
                                1 / (2 * near) if near < 0.3 else 0.6)
            want = (1 / s ** 2 - 1 / mpmath.sinh(s) ** 2) / 4
    assert _exponential_limit_variance(near) == pytest.approx(float(want), rel=1e-14)


@pytest.mark.parametrize("data, lower, upper, match", [
    ([0.1, np.nan, 0.3], -INF, INF, "NaN or infinite"),
    ([0.1, np.inf, 0.3], -INF, INF, "NaN or infinite"),
    ([0.1, 0.2, 1.5], 0.0, 1.0, "outside"),
    ([0.1, 0.2, 0.1, 0.2], 0.0, 1.0, "3 distinct"),
    ([], 0.0, 1.0, "3 distinct"),
    ([0.1, 0.2, 0.3], 1.0, 1.0, "lower < upper"),
])
def test_bad_input(data, lower, upper, match):
    with pytest.raises(ValueError, match=match):
        fit_truncnorm(np.array(data), lower, upper)
    with pytest.raises(ValueError, match=match):
        truncnorm.fit(np.array(data), lower=lower, upper=upper)


@pytest.mark.parametrize("unit", [1e-300, 1e-160, 1e155, 1e300])
def test_fit_at_every_magnitude_of_the_data(unit):
    # an exact power of two scales the sums: the fit of the data in any unit is the fit in
    # units of 1, scaled (but for the data's own rounding in that unit)
    data = np.array([1.0, 2.0, 4.0, 3.5, 2.2])
    ref, fit = fit_truncnorm(data), fit_truncnorm(data * unit)
    assert fit.success, fit.message
    assert fit.loc == pytest.approx(ref.loc * unit, rel=1e-14)
    assert fit.scale == pytest.approx(ref.scale * unit, rel=1e-14)
    with pytest.raises(TypeError, match="real data"):
        fit_truncnorm(data.astype(complex))


FIXED = {"fa": -0.7, "fb": 1.6, "floc": 1.2, "fscale": 1.9}
COMBOS = [{}, {"fa": -0.7}, {"fb": 1.6}, {"floc": 1.2}, {"fscale": 1.9}, {"fa": -0.7, "fb": 1.6},
          {"fa": -0.7, "floc": 1.2}, {"fa": -0.7, "fscale": 1.9}, {"fb": 1.6, "floc": 1.2},
          {"fb": 1.6, "fscale": 1.9}, {"floc": 1.2, "fscale": 1.9}, {"fa": -0.7, "fb": 1.6, "floc": 1.2},
          {"fa": -0.7, "fb": 1.6, "fscale": 1.9}, {"fa": -0.7, "floc": 1.2, "fscale": 1.9},
          {"fb": 1.6, "floc": 1.2, "fscale": 1.9}]
POSITION = {"fa": 0, "fb": 1, "floc": 2, "fscale": 3}


@pytest.fixture(scope="module")
def data300():
    return sample(-0.5 * 2 + 1, 1.5 * 2 + 1, 1.0, 2.0, 300, seed=5)


@pytest.mark.parametrize("fixed", COMBOS)
def test_fixed_parameters_give_a_local_maximum(fixed, data300):
    theta = truncnorm.fit(data300, **fixed)
    for name, value in fixed.items():
        assert theta[POSITION[name]] == value
    best = truncnorm.nnlf(theta, data300)
    assert math.isfinite(best)
    # no small move of a free loc or scale (the free bounds following the data) does better
    for i in (2, 3):
        if [k for k, v in POSITION.items() if v == i][0] in fixed:
            continue
        for step in (-1e-6, 1e-6):
            moved = list(theta)
            moved[i] = theta[i] + step * abs(theta[i])
            if "fa" not in fixed:
                moved[0] = (data300.min() - moved[2]) / moved[3]
            if "fb" not in fixed:
                moved[1] = (data300.max() - moved[2]) / moved[3]
            assert truncnorm.nnlf(moved, data300) >= best - 1e-9 * abs(best)


@pytest.mark.parametrize("fixed", [{}, {"floc": 1.2}, {"fscale": 1.9}, {"fa": -0.7, "fb": 1.6}, {"fb": 1.6, "floc": 1.2}])
def test_likelihood_never_worse_than_scipys(fixed, data300):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = truncnorm.nnlf(scipy_stats.truncnorm.fit(data300, **fixed), data300)
    assert truncnorm.nnlf(truncnorm.fit(data300, **fixed), data300) <= theirs + 1e-10 * abs(theirs)


def test_signature(data300):
    assert truncnorm.fit(data300, f0=-0.7, fix_b=1.6) == truncnorm.fit(data300, fa=-0.7, fb=1.6)
    fit = fit_truncnorm(data300, -2.0, 5.0)
    assert truncnorm.fit(data300, lower=-2.0, upper=5.0) == (fit.a, fit.b, fit.loc, fit.scale)
    # infinite bounds: the normal's maximum, the sample's mean and standard deviation
    assert truncnorm.fit(data300, fa=-INF, fb=INF)[2:] == pytest.approx((data300.mean(), data300.std()), rel=1e-14)
    a, b, loc, scale = truncnorm.fit(data300, fa=-0.7, fb=1.6, method="MM")
    assert truncnorm.mean(a, b, loc, scale) == pytest.approx(data300.mean(), rel=1e-14)
    assert truncnorm.var(a, b, loc, scale) == pytest.approx(data300.var(), rel=1e-14)
    for kwds, error in (({"fa": 0, "fb": 1, "floc": 0, "fscale": 1}, ValueError), ({"fa": 0, "lower": 0}, ValueError),
                        ({"shape": 1}, TypeError), ({"method": "MM"}, NotImplementedError)):
        with pytest.raises(error):
            truncnorm.fit(data300, **kwds)


@pytest.mark.parametrize("theta", [(-1.0, 2.0, 1.0, 2.0), (0.0, INF, 0.5, 0.3), (-0.9, 2.0, 1.0, 2.0),
                                   (1.0, 0.0, 1.0, 2.0), (-1.0, 2.0, 1.0, -1.0)])
def test_nnlf_is_scipys(theta, data300):
    x = data300[:50]
    ours, theirs = truncnorm.nnlf(theta, x), scipy_stats.truncnorm.nnlf(theta, x)
    assert ours == pytest.approx(theirs, rel=1e-13) or (ours == theirs == INF)


def expect_reference(func, a, b, lo, hi, conditional):
    """E[func(Z)] for Z standard normal on [a, b], over [lo, hi], by mpmath at 40 digits; on
    an interval on one side of 0 as phi(end) times the integral of func(end + t) e^(-end t -
    t^2/2) over t, whose scale is 1/|end| (a quadrature of the density itself from a far end
    loses digits to its variable transformation)."""
    with mpmath.workdps(40):
        def integral(f, u, v):
            u, v = (mpmath.mpf(w) if math.isfinite(w) else w * mpmath.inf for w in (u, v))
            if u >= 0 or v <= 0:
                sign, end, far = (1, u, v) if u >= 0 else (-1, -v, -u)
                return mpmath.npdf(end) * mpmath.quad(
                    lambda t: f(sign * (end + t)) * mpmath.exp(-end * t - t * t / 2), [0, far - end])
            return mpmath.quad(lambda t: f(t) * mpmath.npdf(t), [u, 0, v])
        total = integral(func, lo, hi)
        mass = integral(lambda t: 1, lo, hi) if conditional else integral(lambda t: 1, a, b)
        return float(total / mass)


# func (in z), a, b, lb, ub in standard units, conditional
EXPECT_CASES = [
    (lambda z: z, 30.0, INF, None, None, False),
    (lambda z: z * z, 30.0, INF, None, None, False),
    (lambda z: mpmath.cos(z) if isinstance(z, mpmath.mpf) else np.cos(z), -INF, -8.0, None, None, False),
    (lambda z: z ** 3, -1.0, 2.0, 0.0, 1.0, False),
    (lambda z: z ** 3, -1.0, 2.0, 0.0, 1.0, True),
    (lambda z: 1.0, 0.0, INF, 10.0, 10.0 + 1e-9, False),
    (lambda z: z, 1e4, 1e4 + 1e-3, None, None, False),
    (lambda z: 1.0, 1e5, 1e5 + 1.0, 1e5 + 5e-6, None, False),    # the share of [lb, b] far out
    (lambda z: z, 1e3, INF, 1e3 + 5e-4, None, False),
    (lambda z: mpmath.exp(z) if isinstance(z, mpmath.mpf) else np.exp(z), -INF, INF, None, None, False),
]


@pytest.mark.parametrize("func, a, b, lb, ub, conditional", EXPECT_CASES)
@pytest.mark.parametrize("loc, scale", [(0.0, 1.0), (2.0, 3.0)])
def test_expect_against_mpmath(func, a, b, lb, ub, conditional, loc, scale):
    # func of z = (x - loc)/scale, so that the reference does not depend on loc and scale;
    # the ends lb, ub are given in data units, and their standard values are those rounded
    # (an interval 1e-9 wide at 10 has its width to 1e-6 only, in data units at 32)
    lb_x = None if lb is None else loc + scale * lb
    ub_x = None if ub is None else loc + scale * ub
    got = truncnorm.expect(lambda x: func((x - loc) / scale), (a, b), loc, scale, lb_x, ub_x, conditional)
    lo = a if lb is None else (lb_x - loc) / scale
    hi = b if ub is None else (ub_x - loc) / scale
    assert got == pytest.approx(expect_reference(func, a, b, lo, hi, conditional), rel=EXPECT_REL)


@pytest.mark.parametrize("kwds", [{}, {"lb": 0.0, "ub": 3.0}, {"lb": 0.0, "ub": 3.0, "conditional": True},
                                  {"lb": -5.0, "ub": 10.0, "func": np.square}, {"lb": 2.0, "ub": 1.0}])
def test_expect_semantics_are_scipys(kwds):
    # SciPy's quad loses digits where [lb, ub] reaches beyond the support: the semantics are
    # compared here, the accuracy against mpmath above
    ours = truncnorm.expect(args=(-1, 2), loc=1, scale=2, **kwds)
    assert ours == pytest.approx(scipy_stats.truncnorm.expect(args=(-1, 2), loc=1, scale=2, **kwds), rel=1e-9)
    assert truncnorm(-1, 2, 1, 2).expect(**kwds) == ours


def test_dask_input_fits_as_numpy():
    da = pytest.importorskip("dask.array")
    data = sample(0.4, 1.0, 0.4, 0.2, 5000, seed=11)
    ours = fit_truncnorm(da.from_array(data, chunks=700), 0.4, 1.0)
    numpy = fit_truncnorm(data, 0.4, 1.0)
    assert ours.loc == pytest.approx(numpy.loc, rel=1e-13) and ours.scale == pytest.approx(numpy.scale, rel=1e-13)
    assert truncnorm.fit(da.from_array(data, chunks=700)) == pytest.approx(truncnorm.fit(data), rel=1e-13)
