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

- ``stats`` gives any of 'mvsk' as SciPy, the skewness and kurtosis from kernels that do not
  cancel in the tails; ``moment`` of any order expands about the mean (see ``moment`` for its
  bound).
- ``expect``, ``fit``, ``nnlf`` and the other generic methods of SciPy's ``rv_continuous``
  are not provided.
- Everything is computed in float64 (SciPy keeps a longdouble ``x`` in longdouble).
- ``interval`` takes its upper end from ``isf`` of the tail probability rather than ``ppf``
  of its complement, so that the upper tail keeps its resolution.
"""

from __future__ import annotations

import itertools
import math
import numbers

import numpy as np

from veltra import truncnorm as _kernel

__all__ = ["truncnorm", "truncnorm_frozen", "truncnorm_gen"]

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


def _where_valid(value, scale):
    """`value` where the checked scale is a number, NaN where the parameters are invalid."""
    if type(scale) in _NUMBER_TYPES:
        return value if scale == scale else _F64(_NAN)
    return np.where(np.isnan(scale), _NAN, value)[()]


def _moment_order(order):
    """The order of a moment as an int, by SciPy's rule: a whole number (2.0 is 2), >= 0."""
    if np.ndim(order) != 0:
        raise ValueError("Moment order must be a single integer.")
    if np.floor(order) != order:
        raise ValueError("Moment must be an integer.")
    if order < 0:
        raise ValueError("Moment must be positive.")
    return int(order)


# The central moments beyond the fourth are taken downwards on intervals within
# [-_DOWNWARD_REACH, _DOWNWARD_REACH], from _DOWNWARD_START + 4 R^2 orders above the one
# asked for, R the largest |end| among them (see truncnorm_gen.moment), in blocks of
# _DOWNWARD_BLOCK intervals, whose boundary terms of every order are kept at once.
_DOWNWARD_REACH = 4.0
_DOWNWARD_START = 40
_DOWNWARD_BLOCK = 4096


def _central_moments(n, a, b, mean, var):
    """[mu_0, ..., mu_n], mu_k = E[(X - m)^k] for N(0, 1) on [a, b] (float64 arrays, invalid
    intervals give what they give: the caller's scale is NaN there).  See truncnorm_gen.moment
    for the recurrence beyond mu_4 and the direction it is taken in."""
    skew = _kernel.skew(a, b, dtype=_F64)
    kurtosis = _kernel.kurtosis(a, b, dtype=_F64)
    central = [np.ones_like(mean), np.zeros_like(mean), var, skew * var * np.sqrt(var), (kurtosis + 3.0) * var * var]
    if n <= 4:
        return central
    a, b = np.broadcast_to(a, mean.shape), np.broadcast_to(b, mean.shape)
    lower, upper = _kernel.log_prob_grad(a, b, dtype=_F64)
    boundary = itertools.islice(_boundary_terms(a, b, mean, lower, upper), 3, None)  # orders 5, 6, ...
    for k in range(5, n + 1):
        central.append(np.asarray((k - 1) * central[k - 2] - mean * central[k - 1] + next(boundary)))
    reach = np.maximum(np.abs(a), np.abs(b))
    within = np.flatnonzero(reach <= _DOWNWARD_REACH)
    for start in range(0, within.size, _DOWNWARD_BLOCK):
        block = within[start:start + _DOWNWARD_BLOCK]
        top = n + _DOWNWARD_START + math.ceil(4.0 * np.max(reach.flat[block]) ** 2)
        parts = (v.flat[block] for v in (a, b, mean, lower, upper))
        terms = list(itertools.islice(_boundary_terms(*parts), top))  # orders 2 .. top + 1
        above, here = np.zeros(block.size), np.zeros(block.size)  # mu_(k+1), mu_k
        for k in range(top, 4, -1):
            # mu_(k-1) from mu_(k+1) = k mu_(k-1) - m mu_k + boundary(k + 1)
            if k <= n:
                central[k].flat[block] = here
            above, here = here, (above + mean.flat[block] * here - terms[k - 1]) / k
    return central


def _boundary_terms(a, b, mean, lower, upper):
    """f(a) (a - m)^(k-1) - f(b) (b - m)^(k-1) for k = 2, 3, ..., f(a) = -lower and
    f(b) = upper; 0 at an infinite end.  The powers are repeated products, which keep the
    two terms of a symmetric interval equal."""
    off_a = np.where(lower == 0, 0.0, a - mean)
    off_b = np.where(upper == 0, 0.0, b - mean)
    at_a, at_b = -lower * off_a, upper * off_b
    while True:
        yield at_a - at_b
        at_a, at_b = at_a * off_a, at_b * off_b


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
        """Mean ('m'), variance ('v'), skewness ('s') and excess kurtosis ('k'), in that order
        whatever the order of the letters in `moments`; one value alone, several as a tuple.
        The skewness and kurtosis do not depend on loc and scale (NaN where the parameters
        are invalid).  'm' and 'v' together cost one kernel call."""
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
        if "s" in moments:
            output.append(_where_valid(_kernel.skew(a, b, dtype=_F64), scale))
        if "k" in moments:
            output.append(_where_valid(_kernel.kurtosis(a, b, dtype=_F64), scale))
        return output[0] if len(output) == 1 else tuple(output)

    def moment(self, order, a, b, loc=0, scale=1):
        """The raw moment E[Y^n] of order n = `order` (an integer >= 0) of Y = loc + scale X.

        Expanded about the mean c = loc + scale m of Y, with X's central moments mu_k:
            E[Y^n] = sum_k C(n, k) c^(n-k) scale^k mu_k,
        each term with the relative error of its mu_k and a few roundings, so that the error
        is on the scale of (|c| + scale E|X - m|)^n, never a cancellation of (|loc| + scale
        |m|)^n against itself; where E[Y^n] is near 0 only because loc cancels the mean it is
        an absolute error on that scale, which (|loc| + scale (|m| + sd))^n bounds.  The
        central moments up to the fourth are the kernels' (var, skew, kurtosis); beyond, they
        follow from integrating (x - m)^(k-1) x phi(x) by parts,
            mu_k = (k - 1) mu_(k-2) - m mu_(k-1) + f(a) (a - m)^(k-1) - f(b) (b - m)^(k-1),
        f(a), f(b) the density at the ends (``veltra.truncnorm.log_prob_grad``).  Its other
        solutions grow upwards like (k - 1)!! or |m|^k.  So do the moments where the interval
        reaches beyond |x| = 4 (as a Gaussian's, or as |m|^k in a tail: within the bound), and
        there it is taken upwards from mu_3 and mu_4.  Within [-4, 4] the moments grow only
        like R^k (R the largest |end|; a narrow interval near 0 would lose every digit
        upwards), and the recurrence is taken downwards, from order n + 40 + 4 R^2 started
        at 0, where the start's error shrinks by about R^2/k every two orders.
        Measured against mpmath quadrature on intervals of every kind, loc = 0 and loc = -m:
        within 1e-15 (|loc| + scale (|m| + sd))^n for n <= 4, and within 2e-17 n! of it for
        5 <= n <= 20 (the standardized moments themselves grow like n!/e far in a tail, where
        the law is nearly exponential, and like (n - 1)!! around the mode).  The bound held:
        1e-12 (|loc| + scale (|m| + sd))^n up to n = 4, 1e-15 n! of it beyond.

        Order 0 is 1 wherever a < b and scale > 0 (as SciPy, whatever loc; NaN elsewhere);
        a non-integral or negative order raises ValueError, as SciPy.
        """
        n = _moment_order(order)
        with np.errstate(all="ignore"):
            a, b, loc, scale = (np.asarray(v, dtype=_F64) for v in (a, b, loc, scale))
            if n == 0:  # 1 wherever a < b and scale > 0, as SciPy (whatever loc)
                return _where_valid(np.ones(np.broadcast(a, b, loc, scale).shape), _checked_scale(a, b, scale, 0.0))
            scale = _checked_scale(a, b, scale, loc)
            _, mean, var = _kernel.moments(a, b, dtype=_F64)
            central = _central_moments(n, a, b, mean, var)
            centre = loc + scale * mean
            total = 0.0
            coefficient = 1.0  # C(n, k)
            for k in range(n + 1):
                if k != 1:
                    total = total + coefficient * centre ** (n - k) * scale ** k * central[k]
                coefficient = coefficient * (n - k) / (k + 1)
        return total[()]

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

    def moment(self, order):
        return self.dist.moment(order, *self._params)

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


truncnorm = truncnorm_gen()
