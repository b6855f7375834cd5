"""veltra.stats: the truncated normal distribution, a drop-in for ``scipy.stats.truncnorm``.

    from veltra.stats import truncnorm      # in place of: from scipy.stats import truncnorm

The same parametrization (the bounds ``a`` and ``b`` in standard units, then ``loc`` and
``scale``), the same methods, broadcasting, special values and return types (a NumPy float64
scalar for scalar arguments), and freezing by calling: ``truncnorm(a, b, loc, scale).mean()``.
The numbers come from veltra's truncated-normal kernels (the ufuncs of ``veltra.truncnorm``),
which keep nearly full double precision far in the tails and on narrow intervals, where the
textbook formulas lose every digit: this layer only checks the parameters, maps x to
(x - loc)/scale and results back by loc + scale*z, and calls a kernel.

Where it departs from SciPy:

- ``stats`` gives the mean ('m') and variance ('v'); skewness ('s') and kurtosis ('k') raise
  NotImplementedError (their central moments cancel in the tails, see ``stats``).
- ``moment`` and the other generic methods of SciPy's ``rv_continuous`` are not provided.
- ``fit`` never returns a point that is not the maximum: where none exists it raises
  ``FitError``; ``fit_truncnorm`` fits with the bounds known in data units.
- Everything is computed in float64 (SciPy keeps a longdouble ``x`` in longdouble).
- ``interval`` takes its upper end from ``isf`` of the tail probability rather than ``ppf``
  of its complement, so that the upper tail keeps its resolution.
"""

from __future__ import annotations

import numbers

import numpy as np

from veltra import truncnorm as _kernel

__all__ = ["FitError", "TruncnormFit", "fit_truncnorm", "truncnorm", "truncnorm_frozen", "truncnorm_gen"]

_NAN = float("nan")
# The kernels' ufuncs also have a float32 loop, which NumPy would choose for float32 input;
# SciPy computes and returns float64 whatever the input, and so does every call here.
_F64 = np.float64
_DBL_MAX = float(np.finfo(np.float64).max)

# Argument types that are certainly one number: compared in Python, with no array built.
_NUMBER_TYPES = frozenset({
    int, float, bool, np.bool_, np.float64, np.float32, np.float16,
    np.int64, np.int32, np.int16, np.int8, np.uint64, np.uint32, np.uint16, np.uint8,
})

_MOMENTS_UNAVAILABLE = (
    "truncnorm.stats: skewness ('s') and kurtosis ('k') are not provided. Their central "
    "moments cancel far in a tail (the third central moment of [a, inf) is about 2/a^3, the "
    "difference of two terms of about 1/a) and veltra has no kernel for them; "
    "moments may contain 'm' and 'v'."
)


def _checked_scale(a, b, scale, loc):
    """`scale` where the parameters are valid, NaN elsewhere, broadcast over all four.

    SciPy's rule: a < b (a == b, a > b and a NaN bound are invalid), scale > 0, loc not
    NaN.  A NaN scale makes every result NaN through the map between x and z, so the kernels'
    values for invalid bounds (finite ones for a == b) never reach the caller.
    """
    t = _NUMBER_TYPES
    if type(a) in t and type(b) in t and type(scale) in t and type(loc) in t:
        return scale if (a < b and scale > 0 and loc == loc) else _NAN
    valid = np.less(a, b) & np.greater(scale, 0) & np.equal(loc, loc)
    return np.where(valid, scale, np.nan)


def _is_unit(loc, scale) -> bool:
    """loc == 0 and scale == 1 as plain numbers: z = x and the map back is the identity,
    bit for bit ((x - 0)/1 == x for every double, -0.0 and NaN included)."""
    t = _NUMBER_TYPES
    return type(loc) in t and type(scale) in t and loc == 0 and scale == 1


def _at_x(kernel, x, a, b, loc, scale):
    """kernel((x - loc)/scale, a, b) and the checked scale."""
    scale = _checked_scale(a, b, scale, loc)
    if _is_unit(loc, scale):
        return kernel(x, a, b, dtype=_F64), scale
    return kernel(np.subtract(x, loc, dtype=_F64) / scale, a, b, dtype=_F64), scale


def _standard_entropy(a, b):
    """Differential entropy of N(0, 1) restricted to [a, b].

    For any point e, log f(x) = log f(e) - (x^2 - e^2)/2, so
        H = -log f(e) + (var + (m - e)(m + e))/2,
    taken at the point e of the interval nearest the mode (the interval is first mirrored so
    that a + b >= 0, which leaves H unchanged).  Around the mode e = 0 and nothing cancels.
    In a tail e = a, and -log f(a) = log D is the kernel's logpdf at the end (not log P plus
    a^2/2, which is off by an ulp of a^2/2); the offset m - a comes from `_tail_offset`.
    """
    t = _NUMBER_TYPES
    if type(a) in t and type(b) in t:
        a, b = float(a), float(b)
        if not a < b:
            return _NAN
        lo, hi = (-b, -a) if a + b < 0 else (a, b)
        _, mean, var = _kernel.moments(lo, hi, dtype=_F64)
        near = max(lo, 0.0)
        offset = _tail_offset(lo, hi, mean, var) if lo > 0 else mean
    else:
        with np.errstate(invalid="ignore", divide="ignore"):
            a, b = np.asarray(a, dtype=_F64), np.asarray(b, dtype=_F64)
            mirrored = a + b < 0
            lo, hi = np.where(mirrored, -b, a), np.where(mirrored, -a, b)
            _, mean, var = _kernel.moments(lo, hi, dtype=_F64)
            near = np.maximum(lo, 0.0)
            offset = np.where(lo > 0, _tail_offset(lo, hi, mean, var), mean)
    return var / 2 + offset * (offset / 2 + near) - _kernel.logpdf(near, lo, hi, dtype=_F64)


def _tail_offset(lo, hi, mean, var):
    """m - lo for 0 <= lo < hi, from
        (m - lo) m = 1 - var - (hi - lo) f(hi),
    f the truncated density, which follows from m = f(lo) - f(hi) and
    var = 1 - (m - lo) f(lo) - (hi - m) f(hi) (x phi(x) = -phi'(x), integrated against x - m
    by parts).  The subtraction of the rounded mean would give m - lo only to a relative
    lo^2 2^-53 for [lo, inf); here the three terms are kernel results of size at most 1, so
    the product of the offset with m + lo in the entropy carries an absolute error of a few
    of the kernels' relative errors, whatever lo and the width.  f(hi) is 0 for hi = inf: the
    width is capped so that inf * 0 does not make a NaN.
    """
    width = np.minimum(hi - lo, _DBL_MAX)
    return (1.0 - var - width * _kernel.pdf(hi, lo, hi, dtype=_F64)) / mean


def _parse(a, b, loc=0, scale=1):
    return a, b, loc, scale


def _random_source(seed, default):
    """SciPy's rule for `random_state`: None is the distribution's own source (NumPy's global
    RandomState unless set), an int seeds a new RandomState, a Generator or RandomState is
    used as it is."""
    if seed is None:
        return default
    if seed is np.random:
        return np.random.mtrand._rand
    if isinstance(seed, (numbers.Integral, np.integer)):
        return np.random.RandomState(seed)
    if isinstance(seed, (np.random.RandomState, np.random.Generator)):
        return seed
    raise ValueError(f"'{seed}' cannot be used to seed a numpy.random.RandomState instance")


def _squeeze_left(p):
    while p.ndim > 0 and p.shape[0] == 1:
        p = p[0]
    return p


def _rvs_shape(a, b, loc, scale, size):
    """The parameters broadcast, with leading unit dimensions dropped, and the shape of the
    sample, by NumPy's rule for random variates (and SciPy's): `size`, when given, is the
    shape of the result, and the parameters must broadcast to it without enlarging it."""
    params = [_squeeze_left(p) for p in np.broadcast_arrays(a, b, loc, scale)]
    shape = params[0].shape
    sample = shape if size is None else tuple(np.atleast_1d(size))
    missing = len(shape) - len(sample)
    if missing < 0:
        shape = (1,) * -missing + shape
    elif missing > 0:
        sample = (1,) * missing + sample
    if not all(p == 1 or p == s for p, s in zip(shape, sample)):
        raise ValueError(f"size does not match the broadcast shape of the parameters. "
                         f"{size}, {sample}, {shape}")
    return params, sample


class truncnorm_gen:
    """The normal distribution N(loc, scale^2) truncated to [loc + a scale, loc + b scale].

    Methods take the bounds a, b in standard units, then loc=0 and scale=1, all broadcast
    against each other and against x or q like NumPy arguments; a scalar in gives a NumPy
    float64 scalar out.  Invalid parameters (a >= b, a NaN bound, scale <= 0, a NaN loc)
    give NaN, as in SciPy.  ``truncnorm(a, b, loc, scale)`` freezes them.
    """

    name = "truncnorm"
    shapes = "a, b"
    numargs = 2
    badvalue = _NAN

    def __init__(self, seed=None):
        self._random_state = _random_source(seed, np.random.mtrand._rand)

    @property
    def random_state(self):
        """The source of `rvs` when it is given no random_state: NumPy's global RandomState
        unless set to a seed, a RandomState or a Generator."""
        return self._random_state

    @random_state.setter
    def random_state(self, seed):
        self._random_state = _random_source(seed, np.random.mtrand._rand)

    def __call__(self, *args, **kwds) -> truncnorm_frozen:
        """Freeze the parameters: ``truncnorm(a, b, loc=0, scale=1)``."""
        return truncnorm_frozen(self, *args, **kwds)

    freeze = __call__

    # ----- functions of x or q -----

    def logpdf(self, x, a, b, loc=0, scale=1):
        """log of the density at x; -inf outside [loc + a scale, loc + b scale]."""
        value, scale = _at_x(_kernel.logpdf, x, a, b, loc, scale)
        return value if _is_unit(loc, scale) else value - np.log(scale)

    def pdf(self, x, a, b, loc=0, scale=1):
        """Density at x; 0 outside the support."""
        value, scale = _at_x(_kernel.pdf, x, a, b, loc, scale)
        return value if _is_unit(loc, scale) else value / scale

    def logcdf(self, x, a, b, loc=0, scale=1):
        """log P(X <= x); -inf below the support, 0 above."""
        return _at_x(_kernel.logcdf, x, a, b, loc, scale)[0]

    def cdf(self, x, a, b, loc=0, scale=1):
        """P(X <= x)."""
        return _at_x(_kernel.cdf, x, a, b, loc, scale)[0]

    def logsf(self, x, a, b, loc=0, scale=1):
        """log P(X > x); 0 below the support, -inf above."""
        return _at_x(_kernel.logsf, x, a, b, loc, scale)[0]

    def sf(self, x, a, b, loc=0, scale=1):
        """P(X > x)."""
        return _at_x(_kernel.sf, x, a, b, loc, scale)[0]

    def ppf(self, q, a, b, loc=0, scale=1):
        """The quantile: x with P(X <= x) = q; the lower end at q = 0, the upper at q = 1,
        NaN for q outside [0, 1]."""
        scale = _checked_scale(a, b, scale, loc)
        z = _kernel.ppf(q, a, b, dtype=_F64)
        return z if _is_unit(loc, scale) else z * scale + loc

    def isf(self, q, a, b, loc=0, scale=1):
        """The upper quantile: x with P(X > x) = q, resolved to the tiniest q."""
        scale = _checked_scale(a, b, scale, loc)
        z = _kernel.isf(q, a, b, dtype=_F64)
        return z if _is_unit(loc, scale) else z * scale + loc

    # ----- summaries -----

    def stats(self, a, b, loc=0, scale=1, moments="mv"):
        """Mean ('m') and variance ('v'), in that order, for the letters in `moments`; one
        value alone, several as a tuple.  'm' and 'v' together cost one kernel call."""
        if "s" in moments or "k" in moments:
            raise NotImplementedError(_MOMENTS_UNAVAILABLE)
        scale = _checked_scale(a, b, scale, loc)
        if "m" in moments and "v" in moments:
            _, mean, var = _kernel.moments(a, b, dtype=_F64)
        else:
            mean = _kernel.mean(a, b, dtype=_F64) if "m" in moments else None
            var = _kernel.var(a, b, dtype=_F64) if "v" in moments else None
        output = []
        if mean is not None:
            output.append(mean * scale + loc)
        if var is not None:
            output.append(var * scale * scale)
        return output[0] if len(output) == 1 else tuple(output)

    def mean(self, a, b, loc=0, scale=1):
        """E[X]."""
        return _kernel.mean(a, b, dtype=_F64) * _checked_scale(a, b, scale, loc) + loc

    def var(self, a, b, loc=0, scale=1):
        """Var[X]."""
        scale = _checked_scale(a, b, scale, loc)
        return _kernel.var(a, b, dtype=_F64) * scale * scale

    def std(self, a, b, loc=0, scale=1):
        """The standard deviation, sqrt(Var[X])."""
        return np.sqrt(self.var(a, b, loc, scale))

    def median(self, a, b, loc=0, scale=1):
        """ppf(1/2)."""
        return self.ppf(0.5, a, b, loc, scale)

    def interval(self, confidence, a, b, loc=0, scale=1):
        """The interval holding a probability `confidence` with equal tails outside it:
        (ppf(p), isf(p)) with p = (1 - confidence)/2."""
        confidence = np.asarray(confidence)
        if np.any((confidence > 1) | (confidence < 0)):
            raise ValueError("alpha must be between 0 and 1 inclusive")
        tail = (1.0 - confidence) / 2
        return self.ppf(tail, a, b, loc, scale), self.isf(tail, a, b, loc, scale)

    def support(self, a, b, loc=0, scale=1):
        """The ends (loc + a scale, loc + b scale); NaN for invalid parameters."""
        scale = _checked_scale(a, b, scale, loc)
        return np.multiply(a, scale) + loc, np.multiply(b, scale) + loc

    def entropy(self, a, b, loc=0, scale=1):
        """Differential entropy, in nats: H(a, b) + log(scale).

        The one result assembled in Python from kernel values (the moments, the density at
        an end), by a form that does not cancel (``_standard_entropy``): the error is at most
        6e-16 absolute, relative where |H| > 1, for tails out to 1e8, narrow intervals and
        intervals around the mode alike (measured against mpmath).
        """
        scale = _checked_scale(a, b, scale, loc)
        return _standard_entropy(a, b) + np.log(scale)

    # ----- sampling -----

    def rvs(self, a, b, loc=0, scale=1, size=None, random_state=None):
        """Random variates: an array of shape `size`, or of the parameters' broadcast shape
        when `size` is None (a scalar for scalar parameters).

        Exact rejection sampling from the standard normal on [a, b], mapped by loc + scale*z:
        per interval the proposal that costs least (uniform on narrow intervals, exponential
        at Robert's rate in the tails, normal or half-normal around the mode), drawn from the
        bit generator of `random_state` without the GIL, under the generator's lock.  Exact
        far in the tails and on intervals one ulp wide.  `random_state`: None (the
        distribution's source), an int seed (a new RandomState, as SciPy), a
        numpy.random.Generator or RandomState.  The same seed gives the same samples; they
        are not SciPy's samples for that seed (SciPy inverts its cdf).
        """
        return _sample(a, b, loc, scale, size, _random_source(random_state, self._random_state))

    # ----- fitting and expectations -----

    def fit(self, data, *args, **kwds):
        """Maximum-likelihood (a, b, loc, scale) for `data`, with SciPy's signature.

        Fixed parameters in any combination: fa (or f0, fix_a), fb (f1, fix_b), floc, fscale.
        Free bounds go to the sample's minimum and maximum (where the likelihood is largest),
        and loc and scale are then the concave fit of `fit_truncnorm`.  ``lower=`` and
        ``upper=`` give bounds known in data units instead.  method='MLE', or 'MM' with fa
        and fb fixed.  Initial guesses (positional a, b; loc=, scale=) and `optimizer` are
        accepted and not needed.  Raises FitError where no maximum exists (data flatter than
        every truncated normal on the bounds) and ValueError for bad data.
        """
        return _fit_scipy.fit_scipy(data, args, kwds)

    def nnlf(self, theta, x):
        """The negative log-likelihood -sum(logpdf(x)) at theta = (a, b, loc, scale); inf
        where a parameter is invalid or a point lies outside the support."""
        a, b, loc, scale = theta
        if not (a < b and scale > 0):
            return np.inf
        z = (np.asarray(x, dtype=_F64) - loc) / scale
        if np.any((z < a) | (z > b)):
            return np.inf
        return -np.sum(_kernel.logpdf(z, a, b, dtype=_F64)) + z.size * np.log(scale)

    def expect(self, func=None, args=(), loc=0, scale=1, lb=None, ub=None, conditional=False,
               **kwds):
        """E[func(X)] over lb <= X <= ub (the integral of func times the density), or with
        `conditional` given lb <= X <= ub, for X ~ truncnorm(*args, loc, scale); func=None is
        the identity.  Gauss-Legendre in the probability from each end through ppf and isf:
        accurate far in a tail and on narrow intervals.  Options for SciPy's quad in `kwds`
        are accepted and not needed."""
        return _expect.expect(func, *args, loc, scale, lb, ub, conditional)


def _sample(a, b, loc, scale, size, source):
    t = _NUMBER_TYPES
    if type(a) in t and type(b) in t and type(loc) in t and type(scale) in t:
        valid, degenerate = a < b and scale >= 0, scale == 0
        shape = () if size is None else tuple(np.atleast_1d(size))
    else:
        (a, b, loc, scale), shape = _rvs_shape(a, b, loc, scale, size)
        valid, degenerate = np.all((a < b) & (scale >= 0)), np.all(scale == 0)
    if not valid:
        raise ValueError("Domain error in arguments. truncnorm needs a < b and scale >= 0; "
                         "see the veltra.stats.truncnorm documentation.")
    if degenerate:
        return loc * np.ones(shape, "d")
    # A Generator's bit generator, or a RandomState's (NumPy's own legacy methods draw from it
    # too); its lock keeps other threads' draws from the same source out of the loop.
    bit_generator = source.bit_generator if isinstance(source, np.random.Generator) else source._bit_generator
    z = np.empty(shape)
    with bit_generator.lock:
        _kernel._sample(_flat_bounds(a, shape), _flat_bounds(b, shape), bit_generator, z.reshape(-1))
    if shape == ():
        return z[()] * scale + loc
    if not _is_unit(loc, scale):
        z *= scale
        z += loc
    return z


def _flat_bounds(bound, shape):
    """One bound for the sampler: a single float64 element where one interval holds for the
    whole sample (the sampler then prepares it once), else the bound broadcast to the sample's
    shape, flat and contiguous."""
    bound = np.asarray(bound, dtype=_F64)
    if bound.size == 1:
        return bound.reshape(1)
    return np.ascontiguousarray(np.broadcast_to(bound, shape)).reshape(-1)


class truncnorm_frozen:
    """A truncated normal with its parameters fixed, as ``truncnorm(a, b, loc, scale)``
    returns: the methods of `truncnorm` without the parameters.  ``args`` and ``kwds`` hold
    the parameters as given, ``a`` and ``b`` the bounds in standard units, ``dist`` the
    distribution; ``random_state`` is the frozen object's own source for `rvs`.
    """

    def __init__(self, dist, *args, **kwds):
        self.args = args
        self.kwds = kwds
        self.dist = dist
        self._params = _parse(*args, **kwds)
        self.a, self.b = self._params[:2]
        self._random_state = dist._random_state

    @property
    def random_state(self):
        return self._random_state

    @random_state.setter
    def random_state(self, seed):
        self._random_state = _random_source(seed, np.random.mtrand._rand)

    def __repr__(self):
        a, b, loc, scale = self._params
        return f"truncnorm(a={a!r}, b={b!r}, loc={loc!r}, scale={scale!r})"

    def logpdf(self, x):
        return self.dist.logpdf(x, *self._params)

    def pdf(self, x):
        return self.dist.pdf(x, *self._params)

    def logcdf(self, x):
        return self.dist.logcdf(x, *self._params)

    def cdf(self, x):
        return self.dist.cdf(x, *self._params)

    def logsf(self, x):
        return self.dist.logsf(x, *self._params)

    def sf(self, x):
        return self.dist.sf(x, *self._params)

    def ppf(self, q):
        return self.dist.ppf(q, *self._params)

    def isf(self, q):
        return self.dist.isf(q, *self._params)

    def stats(self, moments="mv"):
        return self.dist.stats(*self._params, moments=moments)

    def mean(self):
        return self.dist.mean(*self._params)

    def var(self):
        return self.dist.var(*self._params)

    def std(self):
        return self.dist.std(*self._params)

    def median(self):
        return self.dist.median(*self._params)

    def interval(self, confidence):
        return self.dist.interval(confidence, *self._params)

    def support(self):
        return self.dist.support(*self._params)

    def entropy(self):
        return self.dist.entropy(*self._params)

    def rvs(self, size=None, random_state=None):
        return _sample(*self._params, size, _random_source(random_state, self._random_state))

    def expect(self, func=None, lb=None, ub=None, conditional=False, **kwds):
        a, b, loc, scale = self._params
        return self.dist.expect(func, (a, b), loc, scale, lb, ub, conditional)


truncnorm = truncnorm_gen()

from veltra import _expect, _fit_scipy  # noqa: E402  (they use this module's helpers at run time)
from veltra._fit import FitError, TruncnormFit, fit_truncnorm  # noqa: E402
