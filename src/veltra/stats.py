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
- ``fit`` never returns a point that is not the maximum: where none exists it raises
  ``FitError``; ``fit_truncnorm`` fits with the bounds known in data units.
- Everything is computed in float64 (SciPy keeps a longdouble ``x`` in longdouble).
- ``interval`` takes its upper end from ``isf`` of the tail probability rather than ``ppf``
  of its complement, so that the upper tail keeps its resolution.
- A complex argument raises TypeError in every method (SciPy raises it in most, and gives
  complex values in a few, such as ``pdf`` of a complex x).

Arguments may also be dask arrays or xarray objects: the methods then reach them through
NumPy's dispatch to the ufuncs (``__array_ufunc__``), so a dask result stays lazy and an
xarray result broadcasts by dimension names and keeps its coordinates.
"""

from __future__ import annotations

import functools
import itertools
import math
import numbers
import textwrap

import numpy as np

from veltra import truncnorm as _kernel
from veltra._fit import _is_dask

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


def _checked_scale(a, b, scale, loc):
    """`scale` where the parameters are valid, NaN elsewhere, broadcast over all four.

    SciPy's rule: a < b (a == b, a > b and a NaN bound are invalid), scale > 0, loc not
    NaN.  A NaN scale makes every result NaN through the map between x and z, so the kernels'
    values for invalid bounds (finite ones for a == b) never reach the caller.  Arrays are
    combined by ufuncs alone, so that dask and xarray arguments keep their type: heaviside(v, h)
    is h exactly where v == 0, and 1 where v == 1, so the product is scale or NaN, bit for bit.
    """
    t = _NUMBER_TYPES
    if type(a) in t and type(b) in t and type(scale) in t and type(loc) in t:
        return scale if (a < b and scale > 0 and loc == loc) else _NAN
    for value in (a, b, scale, loc):
        _reject_complex(value.dtype if hasattr(value, "dtype") else np.asarray(value).dtype)
    valid = np.less(a, b) & np.greater(scale, 0) & np.equal(loc, loc)
    return np.multiply(scale, np.heaviside(valid, _NAN))


def _is_unit(loc, scale) -> bool:
    """loc == 0 and scale == 1 as plain numbers: z = x and the map back is the identity,
    bit for bit ((x - 0)/1 == x for every double, -0.0 and NaN included)."""
    t = _NUMBER_TYPES
    return type(loc) in t and type(scale) in t and loc == 0 and scale == 1


def _array_path(*args) -> bool:
    """Whether the call goes the array path: an argument is neither a number (the scalar path)
    nor a duck array (plain ufunc calls, which keep its type)."""
    t = _NUMBER_TYPES
    for value in args:
        if type(value) not in t:
            return not _lazy(*args)
    return False


def _is_duck(value) -> bool:
    """An array type of its own that NumPy's ufuncs dispatch to (dask, xarray, an ndarray
    subclass): such arguments go through plain ufunc calls, which keep their type."""
    if isinstance(value, np.ndarray):
        return type(value) is not np.ndarray
    return hasattr(type(value), "__array_ufunc__") and not isinstance(value, np.generic)


def _reject_complex(dtype):
    if dtype.kind == "c":
        raise TypeError(f"Cannot cast array data from {dtype!r} to dtype('float64') according "
                        "to the rule 'safe'")


def _real(value):
    """A number as it is, a zero-dimensional array as its number, anything else as an ndarray;
    TypeError for complex values, which the distribution is not defined for (as SciPy)."""
    if type(value) in _NUMBER_TYPES:
        return value
    array = np.asarray(value)
    _reject_complex(array.dtype)
    return array[()] if array.ndim == 0 else array


# Argument types that are never duck arrays, passed over without a look at their attributes.
_PLAIN_TYPES = _NUMBER_TYPES | {np.ndarray, list, tuple}


def _lazy(*args) -> bool:
    """Whether a duck array is among the arguments (TypeError for a complex one)."""
    lazy = False
    for value in args:
        if type(value) not in _PLAIN_TYPES and _is_duck(value):
            _reject_complex(np.dtype(getattr(value, "dtype", _F64)))
            lazy = True
    return lazy


# Elements per block of the array path: three double operands of a block (x, z and the result)
# take 384 KiB, so that z and the result stay in the core's L2 cache between the map from x,
# the kernel and the map back, which then cost no pass over memory of their own.
_BLOCK = 16384


def _evaluate(step, args, nout=1, in_blocks=True):
    """The array path: `step(outs, args, scratch)` fills float64 arrays `outs` of the
    broadcast shape of `args` (numbers or ndarrays, the parameters a, b, loc, scale last).

    A step that makes intermediates (`in_blocks`) goes in blocks of _BLOCK elements where
    every array is C-contiguous with the full shape (or a number), `scratch` a block of
    doubles; otherwise in one step over the whole shape, `scratch` None.  An invalid number
    among the parameters has made the scale NaN before; invalid array elements are set to NaN
    here, block by block.  Floating-point flags are not reported: invalid parameters and NaN
    give NaN quietly.
    """
    shapes = {v.shape for v in args if type(v) is np.ndarray}
    shape = shapes.pop() if len(shapes) == 1 else np.broadcast_shapes(*shapes)
    outs = [np.empty(shape) for _ in range(nout)]
    size = outs[0].size
    arrays = [i for i, v in enumerate(args) if type(v) is np.ndarray]
    checked = any(type(v) not in _NUMBER_TYPES for v in args[-4:])
    with np.errstate(all="ignore"):
        if in_blocks and size > _BLOCK and all(args[i].shape == shape and args[i].flags.c_contiguous
                                               for i in arrays):
            blocks = list(args)
            flat = [(i, args[i].reshape(-1)) for i in arrays]
            flat_outs = [out.reshape(-1) for out in outs]
            scratch = np.empty(_BLOCK)
            for start in range(0, size, _BLOCK):
                end = min(start + _BLOCK, size)
                for i, v in flat:
                    blocks[i] = v[start:end]
                block_outs = [out[start:end] for out in flat_outs]
                step(block_outs, blocks, scratch[:end - start])
                if checked:
                    _nan_where_invalid(block_outs, *blocks[-4:])
        else:
            step(outs, args, None)
            if checked:
                _nan_where_invalid(outs, *args[-4:])
    outs = [out[()] if out.ndim == 0 else out for out in outs]
    return outs[0] if nout == 1 else tuple(outs)


def _nan_where_invalid(outs, a, b, loc, scale):
    """NaN in `outs` where an array among the parameters is invalid (a < b, scale > 0 or
    loc == loc fails); numbers among them are checked before, by `_number_scale`."""
    t = _NUMBER_TYPES
    checks = []
    if type(a) not in t or type(b) not in t:
        checks.append(np.less(a, b))
    if type(scale) not in t:
        checks.append(np.greater(scale, 0))
    if type(loc) not in t:
        checks.append(np.equal(loc, loc))
    if not checks:
        return
    valid = functools.reduce(np.logical_and, checks)
    if not valid.all():
        invalid = np.logical_not(valid)
        for out in outs:
            np.copyto(out, _NAN, where=invalid)


def _number_scale(a, b, loc, scale):
    """`scale`, or NaN where a number among the parameters is invalid (it makes every result
    NaN, as for the scalar path); arrays are checked by `_nan_where_invalid`."""
    t = _NUMBER_TYPES
    if type(a) in t and type(b) in t and not a < b:
        return _NAN
    if type(scale) in t and not scale > 0:
        return _NAN
    if type(loc) in t and loc != loc:
        return _NAN
    return scale


def _kernel_into(out, kernel, a, b):
    """kernel(a, b), written into `out` where the bounds have its shape; else the kernel's
    own smaller result, which the map back then broadcasts into `out`."""
    if np.broadcast_shapes(np.shape(a), np.shape(b)) == out.shape:
        return kernel(a, b, out=out, dtype=_F64)
    return kernel(a, b, dtype=_F64)


def _minus_log(value, scale, out=None):
    """The log-density of x from that of z = (x - loc)/scale."""
    if out is None:
        return value - np.log(scale)
    return np.subtract(value, np.log(scale), out=out)


def _valid_unit(a, b, loc, scale) -> bool:
    """Valid numbers for every parameter, with loc 0 and scale 1: the kernel's own value at x
    (or q) is the result, whatever x is, with no pass of the layer's own (the common call
    with an array x and the bounds as numbers)."""
    t = _NUMBER_TYPES
    return (type(a) in t and type(b) in t and type(loc) in t and type(scale) in t
            and loc == 0 and scale == 1 and a < b)


def _at_x(kernel, x, a, b, loc, scale, map_back=None):
    """kernel((x - loc)/scale, a, b), then map_back(value, scale) for a density."""
    t = _NUMBER_TYPES
    if not (type(x) in t and type(a) in t and type(b) in t and type(loc) in t and type(scale) in t) \
            and not _valid_unit(a, b, loc, scale) and _array_path(x, a, b, loc, scale):
        return _at_x_arrays(kernel, x, a, b, loc, scale, map_back)
    scale = _checked_scale(a, b, scale, loc)
    if _is_unit(loc, scale):
        return kernel(x, a, b, dtype=_F64)
    value = kernel(np.subtract(x, loc, dtype=_F64) / scale, a, b, dtype=_F64)
    return value if map_back is None else map_back(value, scale)


def _at_x_arrays(kernel, x, a, b, loc, scale, map_back):
    x, a, b, loc, scale = map(_real, (x, a, b, loc, scale))
    scale = _number_scale(a, b, loc, scale)
    unit = _is_unit(loc, scale)

    def step(outs, args, scratch):
        (out,), (x, a, b, loc, scale) = outs, args
        if unit:
            kernel(x, a, b, out=out, dtype=_F64)
            return
        z = np.empty(out.shape) if scratch is None else scratch
        np.subtract(x, loc, out=z, dtype=_F64)
        np.divide(z, scale, out=z)
        kernel(z, a, b, out=out, dtype=_F64)
        if map_back is not None:
            map_back(out, scale, out=out)

    return _evaluate(step, (x, a, b, loc, scale), in_blocks=not unit)


def _quantile(kernel, q, a, b, loc, scale):
    """loc + scale * kernel(q, a, b)."""
    t = _NUMBER_TYPES
    if not (type(q) in t and type(a) in t and type(b) in t and type(loc) in t and type(scale) in t) \
            and not _valid_unit(a, b, loc, scale) and _array_path(q, a, b, loc, scale):
        q, a, b, loc, scale = map(_real, (q, a, b, loc, scale))
        scale = _number_scale(a, b, loc, scale)
        unit = _is_unit(loc, scale)

        def step(outs, args, scratch):
            (out,), (q, a, b, loc, scale) = outs, args
            kernel(q, a, b, out=out, dtype=_F64)
            if not unit:
                np.multiply(out, scale, out=out)
                np.add(out, loc, out=out)

        return _evaluate(step, (q, a, b, loc, scale), in_blocks=not unit)
    scale = _checked_scale(a, b, scale, loc)
    z = kernel(q, a, b, dtype=_F64)
    return z if _is_unit(loc, scale) else z * scale + loc


def _summary(step, a, b, loc, scale, nout=1):
    """The array path of a summary of the parameters: `step(outs, a, b, loc, scale, scratch)`."""
    a, b, loc, scale = map(_real, (a, b, loc, scale))
    scale = _number_scale(a, b, loc, scale)
    return _evaluate(lambda outs, args, scratch: step(outs, *args, scratch), (a, b, loc, scale),
                     nout)


def _mean_step(outs, a, b, loc, scale, scratch):
    (out,) = outs
    np.multiply(_kernel_into(out, _kernel.mean, a, b), scale, out=out)
    np.add(out, loc, out=out)


def _var_step(outs, a, b, loc, scale, scratch):
    (out,) = outs
    np.multiply(_kernel_into(out, _kernel.var, a, b), scale, out=out)
    np.multiply(out, scale, out=out)


def _std_step(outs, a, b, loc, scale, scratch):
    (out,) = outs
    np.sqrt(_kernel_into(out, _kernel.var, a, b), out=out)
    np.multiply(out, scale, out=out)


def _moments_step(outs, a, b, loc, scale, scratch):
    mean, var = outs
    if np.broadcast_shapes(np.shape(a), np.shape(b)) == mean.shape:
        log_prob = np.empty(mean.shape) if scratch is None else scratch
        _kernel.moments(a, b, out=(log_prob, mean, var), dtype=_F64)
        standard_mean, standard_var = mean, var
    else:
        _, standard_mean, standard_var = _kernel.moments(a, b, dtype=_F64)
    np.multiply(standard_mean, scale, out=mean)
    np.add(mean, loc, out=mean)
    np.multiply(standard_var, scale, out=var)
    np.multiply(var, scale, out=var)


def _support_step(outs, a, b, loc, scale, scratch):
    for out, end in zip(outs, (a, b)):
        np.multiply(end, scale, out=out)
        np.add(out, loc, out=out)


def _standard_entropy(a, b):
    """Differential entropy of N(0, 1) restricted to [a, b].

    For any point e, log f(x) = log f(e) - (x^2 - e^2)/2, so
        H = -log f(e) + (var + (m - e)(m + e))/2,
    taken at the point e of the interval nearest the mode (the interval is first mirrored so
    that a + b >= 0, which leaves H unchanged).  Around the mode e = 0 and nothing cancels.
    In a tail e = a, and -log f(a) = log D is the kernel's logpdf at the end (not log P plus
    a^2/2, which is off by an ulp of a^2/2).

    The offset d = m - a enters H as d (d/2 + a), whose derivative in d is m: an error in
    the offset moves H by m times it.  The subtraction m - a is off by a few ulps of m,
    which moves H by a few ulps of m^2: the better form up to m = 1, and the one that keeps
    every digit of H next to 0, where the mean is tiny.  From m = 1 on (far out, m - a
    cancels) the offset comes from `_tail_offset`, off by a few ulps of 1 over m, which
    moves H by a few ulps of 1.
    """
    t = _NUMBER_TYPES
    if type(a) in t and type(b) in t:
        a, b = float(a), float(b)
        if not a < b:
            return _NAN
        lo, hi = (-b, -a) if a + b < 0 else (a, b)
        _, mean, var = _kernel.moments(lo, hi, dtype=_F64)
        near = max(lo, 0.0)
        offset = _tail_offset(lo, hi, mean, var) if lo > 0 and mean >= _OFFSET_BY_MOMENTS else mean - near
    elif _is_dask(a) or _is_dask(b):
        # dask computes later, outside any errstate: each block takes the NumPy path below
        from dask.array.core import elemwise

        return elemwise(_standard_entropy, a, b, dtype=_F64)
    else:
        # ufunc calls only, so that xarray arguments keep their dimensions; the mirror image
        # with a + b >= 0 is [max(a, -b), max(b, -a)]
        with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
            if not _lazy(a, b):
                a, b = np.asarray(a, dtype=_F64), np.asarray(b, dtype=_F64)
            lo, hi = np.maximum(a, np.negative(b)), np.maximum(b, np.negative(a))
            _, mean, var = _kernel.moments(lo, hi, dtype=_F64)
            near = np.maximum(lo, 0.0)
            by_moments = (lo > 0) & (mean >= _OFFSET_BY_MOMENTS)
            offset = _select(by_moments, _tail_offset(lo, hi, mean, var), mean - near)
    return var / 2 + offset * (offset / 2 + near) - _kernel.logpdf(near, lo, hi, dtype=_F64)


def _select(condition, if_true, if_false):
    """np.where(condition, if_true, if_false), also for array types that NumPy's ufuncs
    dispatch to but np.where does not (xarray): each side is multiplied by c/c, 1 where it is
    chosen and NaN where not (an exact factor), and fmax takes the side that is not NaN."""
    if hasattr(type(condition), "__array_function__"):    # NumPy's, dask's
        return np.where(condition, if_true, if_false)
    with np.errstate(invalid="ignore"):
        chosen = np.multiply(condition, 1.0)
        other = np.subtract(1.0, chosen)
        return np.fmax(if_true * (chosen / chosen), if_false * (other / other))


# The mean from which the entropy's tail offset m - a comes from `_tail_offset` rather than
# from the subtraction (their errors in H, a few ulps of m^2 and of 1, cross at about m = 1).
_OFFSET_BY_MOMENTS = 1.0


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
    """`value` where the checked scale is a number, NaN where the parameters are invalid
    (times 1 or NaN, by ufuncs alone as in `_checked_scale`)."""
    if type(scale) in _NUMBER_TYPES:
        return value if scale == scale else _F64(_NAN)
    value = np.multiply(value, np.heaviside(np.equal(scale, scale), _NAN))
    return value[()] if type(value) is np.ndarray else value


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
    """[mu_0, ..., mu_n], mu_k = E[(X - m)^k] for N(0, 1) on [a, b], and the skewness and
    kurtosis (float64 arrays, invalid
    intervals give what they give: the caller's scale is NaN there).  See truncnorm_gen.moment
    for the recurrence beyond mu_4 and the direction it is taken in."""
    skew = _kernel.skew(a, b, dtype=_F64)
    kurtosis = _kernel.kurtosis(a, b, dtype=_F64)
    central = [np.ones_like(mean), np.zeros_like(mean), var, skew * var * np.sqrt(var), (kurtosis + 3.0) * var * var]
    if n <= 4:
        return central, skew, kurtosis
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
    return central, skew, kurtosis


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


# The parameters every method takes, described once: `_documented` fills them in.
_PARAMETERS = """a, b : array_like
    The ends of the interval in standard units: X lies in [loc + a scale, loc + b scale].
    a < b is required; an infinite end is allowed.
loc : array_like, optional
    The mean of the normal distribution before truncation (default 0).
scale : array_like, optional
    Its standard deviation, > 0 (default 1)."""


_SHARED_PARAMETERS = {
    "{parameters}": _PARAMETERS,
    "{x}": "x : array_like\n    The points, in the units of X.\n" + _PARAMETERS,
    "{q}": "q : array_like\n    Probabilities; NaN outside [0, 1].\n" + _PARAMETERS,
}


def _documented(method):
    """`method` with the line {parameters} of its docstring replaced by _PARAMETERS ({x} and
    {q}: preceded by the points or the probabilities), at the indentation of that line."""
    line = next(line for line in method.__doc__.splitlines() if line.strip() in _SHARED_PARAMETERS)
    indent = line[:len(line) - len(line.lstrip())]
    method.__doc__ = method.__doc__.replace(line, textwrap.indent(_SHARED_PARAMETERS[line.strip()], indent))
    return method


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
        """Freeze the parameters: ``truncnorm(a, b, loc=0, scale=1)`` is the distribution with
        those parameters, whose methods take no parameters.

        >>> from veltra.stats import truncnorm
        >>> rv = truncnorm(8.0, 9.0, loc=1.0, scale=2.0)
        >>> rv
        truncnorm(a=8.0, b=9.0, loc=1.0, scale=2.0)
        >>> rv.mean(), rv.cdf(18.0)
        (np.float64(17.242377985959596), np.float64(0.9849406286168291))
        """
        return truncnorm_frozen(self, *args, **kwds)

    freeze = __call__

    # ----- functions of x or q -----

    @_documented
    def logpdf(self, x, a, b, loc=0, scale=1):
        """Logarithm of the probability density function at x.

        The density of X is phi(z)/(scale P) on its support, z = (x - loc)/scale, where phi is the
        standard normal density and P = Phi(b) - Phi(a) the mass of [a, b]; its logarithm keeps its
        digits where the density underflows, far in a tail.

        Parameters
        ----------
        {x}

        Returns
        -------
        logpdf : numpy.float64 or ndarray
            log f(x): -inf outside [loc + a scale, loc + b scale]; NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.logpdf(0.5, -1.0, 2.0)
        np.float64(-0.8437722388802101)
        >>> truncnorm.logpdf([40.0, 40.5, 39.0], 40.0, 41.0)
        array([  3.68950348, -16.43549652,         -inf])
        >>> truncnorm.logpdf(3.0, -1.0, 2.0, loc=1.0, scale=2.0)
        np.float64(-1.9119194194401556)
        """
        return _at_x(_kernel.logpdf, x, a, b, loc, scale, _minus_log)

    @_documented
    def pdf(self, x, a, b, loc=0, scale=1):
        """Probability density function at x.

        The density of X is phi(z)/(scale P) on its support, z = (x - loc)/scale, phi the standard
        normal density and P = Phi(b) - Phi(a) the mass of [a, b].

        Parameters
        ----------
        {x}

        Returns
        -------
        pdf : numpy.float64 or ndarray
            f(x): 0 outside [loc + a scale, loc + b scale]; NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.pdf(0.5, -1.0, 2.0)
        np.float64(0.43008507592322476)
        >>> truncnorm.pdf([30.0, 30.0005, 31.0], 30.0, 30.001)
        array([1015.07516679,  999.9625414 ,    0.        ])
        """
        return _at_x(_kernel.pdf, x, a, b, loc, scale, np.divide)

    @_documented
    def logcdf(self, x, a, b, loc=0, scale=1):
        """Logarithm of the cumulative distribution function, log P(X <= x).

        Computed from the mass of [a, z] itself, not as the logarithm of a rounded probability, so
        that it keeps its digits where P(X <= x) underflows, next to the lower end of a far tail.

        Parameters
        ----------
        {x}

        Returns
        -------
        logcdf : numpy.float64 or ndarray
            -inf below the support, 0 above it; NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.logcdf(0.5, -1.0, 2.0)
        np.float64(-0.42942933822840107)
        >>> truncnorm.logcdf(8.000001, 8.0, 9.0)
        np.float64(-11.720834498477696)
        """
        return _at_x(_kernel.logcdf, x, a, b, loc, scale)

    @_documented
    def cdf(self, x, a, b, loc=0, scale=1):
        """Cumulative distribution function, P(X <= x).

        Parameters
        ----------
        {x}

        Returns
        -------
        cdf : numpy.float64 or ndarray
            0 below the support, 1 above it; NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.cdf([-1.0, 0.5, 2.0], -1.0, 2.0)
        array([0.        , 0.65088042, 1.        ])
        >>> truncnorm.cdf(40.001, 40.0, 50.0)
        np.float64(0.03923503043628603)
        """
        return _at_x(_kernel.cdf, x, a, b, loc, scale)

    @_documented
    def logsf(self, x, a, b, loc=0, scale=1):
        """Logarithm of the survival function, log P(X > x).

        Computed from the mass of [z, b] itself, not as log(1 - cdf), so that it keeps its digits
        where P(X > x) is tiny, next to the upper end of the support.

        Parameters
        ----------
        {x}

        Returns
        -------
        logsf : numpy.float64 or ndarray
            0 below the support, -inf above it; NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.logsf(0.5, -1.0, 2.0)
        np.float64(-1.0523407831914677)
        >>> truncnorm.logsf(2.0 - 1e-12, -1.0, 2.0)
        np.float64(-30.34970445817684)
        """
        return _at_x(_kernel.logsf, x, a, b, loc, scale)

    @_documented
    def sf(self, x, a, b, loc=0, scale=1):
        """Survival function, P(X > x), not computed as 1 - cdf.

        Parameters
        ----------
        {x}

        Returns
        -------
        sf : numpy.float64 or ndarray
            1 below the support, 0 above it; NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.sf([-1.0, 0.5, 2.0], -1.0, 2.0)
        array([1.        , 0.34911958, 0.        ])
        >>> truncnorm.sf(2.0 - 1e-12, -1.0, 2.0)
        np.float64(6.596154605735879e-14)
        """
        return _at_x(_kernel.sf, x, a, b, loc, scale)

    @_documented
    def ppf(self, q, a, b, loc=0, scale=1):
        """Percent point function, the quantile: x with P(X <= x) = q.

        The inverse of `cdf`, non-decreasing in q, with ppf(0) the lower end of the support and
        ppf(1) the upper end.

        Parameters
        ----------
        {q}

        Returns
        -------
        ppf : numpy.float64 or ndarray
            The quantile, in [loc + a scale, loc + b scale]; NaN for q outside [0, 1] and for
            invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.ppf([0.0, 0.5, 1.0], -1.0, 2.0)
        array([-1.        ,  0.17116392,  2.        ])
        >>> truncnorm.ppf(0.5, 40.0, float("inf"), loc=1.0, scale=2.0)
        np.float64(81.0346282535293)
        """
        return _quantile(_kernel.ppf, q, a, b, loc, scale)

    @_documented
    def isf(self, q, a, b, loc=0, scale=1):
        """Inverse survival function, the upper quantile: x with P(X > x) = q.

        The inverse of `sf`; resolved to the tiniest q, where ppf(1 - q) would only see 1.

        Parameters
        ----------
        {q}

        Returns
        -------
        isf : numpy.float64 or ndarray
            The upper quantile, in [loc + a scale, loc + b scale]; NaN for q outside [0, 1] and for
            invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.isf(1e-20, 8.0, float("inf"))
        np.float64(12.459325012375604)
        >>> truncnorm.ppf(1 - 1e-20, 8.0, float("inf"))      # 1 - 1e-20 rounds to 1
        np.float64(inf)
        """
        return _quantile(_kernel.isf, q, a, b, loc, scale)

    # ----- summaries -----

    @_documented
    def stats(self, a, b, loc=0, scale=1, moments="mv"):
        """Mean ('m'), variance ('v'), skewness ('s') and excess kurtosis ('k') of X, for the
        letters in `moments`.

        The skewness and kurtosis come from kernels of their own, which do not cancel far in
        a tail (the third central moment of [a, inf) is about 2/a^3, the difference of terms
        of about 1/a in the textbook form) nor on narrow intervals; they do not depend on loc
        and scale.

        Parameters
        ----------
        {parameters}
        moments : str, optional
            Any of 'm', 'v', 's', 'k' (default 'mv'); the results come in that order whatever
            the order of the letters.  'm' and 'v' together cost one kernel call.

        Returns
        -------
        stats : numpy.float64, ndarray or tuple of them
            One value for one letter, a tuple for several; NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.stats(-1.0, 2.0)
        (np.float64(0.229637179091329), np.float64(0.5197625392115339))
        >>> truncnorm.stats(30.0, 30.001, loc=1.0, scale=2.0, moments="v")
        np.float64(3.3331832226019457e-07)
        >>> truncnorm.stats(40.0, float("inf"), moments="sk")    # the exponential law: 2 and 6
        (np.float64(1.9962767079432848), np.float64(5.970273558536826))
        """
        output = []
        if "m" in moments and "v" in moments:
            if _array_path(a, b, loc, scale):
                output += _summary(_moments_step, a, b, loc, scale, nout=2)
            elif not _lazy(a, b):  # dask has no path for a ufunc with three outputs
                _, mean, var = _kernel.moments(a, b, dtype=_F64)
                checked = _checked_scale(a, b, scale, loc)
                output += [mean * checked + loc, var * checked * checked]
            else:
                output += [self.mean(a, b, loc, scale), self.var(a, b, loc, scale)]
        else:
            if "m" in moments:
                output.append(self.mean(a, b, loc, scale))
            if "v" in moments:
                output.append(self.var(a, b, loc, scale))
        if "s" in moments or "k" in moments:
            checked = _checked_scale(a, b, scale, loc)
            if "s" in moments:
                output.append(_where_valid(_kernel.skew(a, b, dtype=_F64), checked))
            if "k" in moments:
                output.append(_where_valid(_kernel.kurtosis(a, b, dtype=_F64), checked))
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
            central, skew, kurtosis = _central_moments(n, a, b, mean, var)
            centre = loc + scale * mean
            # up to the fourth order the terms take the standardized moments (1, skew,
            # kurtosis + 3) times (scale sd)^k: scale^k alone may overflow where the term
            # does not; a term with an exact 0 among its factors (the centre's power, a
            # symmetric interval's skewness) is 0, whatever the other factor
            spread = scale * np.sqrt(var)
            standardized = {2: 1.0, 3: skew, 4: kurtosis + 3.0}
            total = 0.0
            coefficient = 1.0  # C(n, k)
            for k in range(n + 1):
                if k != 1:
                    power = centre ** (n - k)
                    moment = standardized[k] if k in standardized else central[k]
                    rest = spread ** k * moment if k in standardized else scale ** k * moment
                    total = total + np.where((power == 0) | (moment == 0), 0.0, coefficient * power * rest)
                coefficient = coefficient * (n - k) / (k + 1)
        return total[()]

    @_documented
    def mean(self, a, b, loc=0, scale=1):
        """Mean of X, E[X] = loc + scale m, m the mean of N(0, 1) on [a, b].

        Parameters
        ----------
        {parameters}

        Returns
        -------
        mean : numpy.float64 or ndarray
            NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.mean(-1.0, 2.0)
        np.float64(0.229637179091329)
        >>> truncnorm.mean(1e4, 1e4 + 1e-3, loc=5.0, scale=0.5)
        np.float64(5005.000049977298)
        """
        if _array_path(a, b, loc, scale):
            return _summary(_mean_step, a, b, loc, scale)
        return _kernel.mean(a, b, dtype=_F64) * _checked_scale(a, b, scale, loc) + loc

    @_documented
    def var(self, a, b, loc=0, scale=1):
        """Variance of X, Var[X] = scale^2 v, v the variance of N(0, 1) on [a, b].

        Parameters
        ----------
        {parameters}

        Returns
        -------
        var : numpy.float64 or ndarray
            NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.var(-1.0, 2.0)
        np.float64(0.5197625392115339)
        >>> truncnorm.var(1e4, 1e4 + 1e-3)
        np.float64(9.954595375967365e-09)
        """
        if _array_path(a, b, loc, scale):
            return _summary(_var_step, a, b, loc, scale)
        scale = _checked_scale(a, b, scale, loc)
        return _kernel.var(a, b, dtype=_F64) * scale * scale

    @_documented
    def std(self, a, b, loc=0, scale=1):
        """Standard deviation of X, scale sqrt(v), v the variance of N(0, 1) on [a, b].

        The product with the scale is taken after the square root, so that it overflows only
        where the standard deviation does.

        Parameters
        ----------
        {parameters}

        Returns
        -------
        std : numpy.float64 or ndarray
            NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.std(-1.0, 2.0)
        np.float64(0.7209455868590458)
        >>> truncnorm.std(0.0, 1.0, scale=1e200)
        np.float64(2.822265488016875e+199)
        """
        if _array_path(a, b, loc, scale):
            return _summary(_std_step, a, b, loc, scale)
        return np.sqrt(_kernel.var(a, b, dtype=_F64)) * _checked_scale(a, b, scale, loc)

    @_documented
    def median(self, a, b, loc=0, scale=1):
        """Median of X, ppf(1/2).

        Parameters
        ----------
        {parameters}

        Returns
        -------
        median : numpy.float64 or ndarray
            NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.median(-1.0, 2.0)
        np.float64(0.17116391801782496)
        >>> truncnorm.median(8.0, 9.0, loc=1.0, scale=2.0)
        np.float64(17.169777798036332)
        """
        return self.ppf(0.5, a, b, loc, scale)

    @_documented
    def interval(self, confidence, a, b, loc=0, scale=1):
        """Interval holding probability `confidence`, with equal tails outside it.

        (ppf(p), isf(p)) with p = (1 - confidence)/2: the upper end comes from `isf` of the tail
        probability, not from `ppf` of its complement, so that it keeps its resolution.

        Parameters
        ----------
        confidence : array_like
            The probability inside the interval, in [0, 1].
        {parameters}

        Returns
        -------
        lower, upper : numpy.float64 or ndarray
            The ends of the interval.

        Raises
        ------
        ValueError
            If a confidence lies outside [0, 1].

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.interval(0.9, -1.0, 2.0)
        (np.float64(-0.8431045589489479), np.float64(1.5245966827759778))
        >>> truncnorm.interval(0.99, 1e4, float("inf"))
        (np.float64(10000.000000501253), np.float64(10000.000529831717))
        """
        confidence = confidence if _is_duck(confidence) else np.asarray(confidence)
        if np.any((confidence > 1) | (confidence < 0)):
            raise ValueError("alpha must be between 0 and 1 inclusive")
        tail = (1.0 - confidence) / 2
        return self.ppf(tail, a, b, loc, scale), self.isf(tail, a, b, loc, scale)

    @_documented
    def support(self, a, b, loc=0, scale=1):
        """Support of X, the ends (loc + a scale, loc + b scale).

        Parameters
        ----------
        {parameters}

        Returns
        -------
        lower, upper : numpy.float64 or ndarray
            The ends; NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.support(-1.0, 2.0, loc=1.0, scale=2.0)
        (np.float64(-1.0), np.float64(5.0))
        >>> truncnorm.support(2.0, 1.0)
        (np.float64(nan), np.float64(nan))
        """
        if _array_path(a, b, loc, scale):
            return _summary(_support_step, a, b, loc, scale, nout=2)
        scale = _checked_scale(a, b, scale, loc)
        return np.multiply(a, scale) + loc, np.multiply(b, scale) + loc

    @_documented
    def entropy(self, a, b, loc=0, scale=1):
        """Differential entropy of X, in nats: H(a, b) + log(scale).

        The one result assembled in Python from kernel values (the moments, the density at
        an end), by a form that does not cancel (``_standard_entropy``): the error is at most
        1e-15 absolute (8.3e-16 measured), relative where |H| > 1, for tails out to 1e8, narrow intervals at every
        distance from 0 down to the subnormals and intervals around the mode alike (measured
        against mpmath).

        Parameters
        ----------
        {parameters}

        Returns
        -------
        entropy : numpy.float64 or ndarray
            NaN for invalid parameters.

        Examples
        --------
        >>> from veltra.stats import truncnorm
        >>> truncnorm.entropy(-1.0, 2.0)
        np.float64(1.0050201254964888)
        >>> truncnorm.entropy(30.0, 30.001, scale=2.0)
        np.float64(-6.214645598824695)
        """
        scale = _checked_scale(a, b, scale, loc)
        return _standard_entropy(a, b) + np.log(scale)

    # ----- sampling -----

    @_documented
    def rvs(self, a, b, loc=0, scale=1, size=None, random_state=None):
        """Random variates of X.

        Exact rejection sampling from the standard normal on [a, b], mapped by loc + scale z: per
        interval the proposal that costs least (uniform on narrow intervals, exponential at
        Robert's rate in the tails, normal or half-normal around the mode), drawn from the bit
        generator of `random_state` without the GIL, under the generator's lock.  Exact far in the
        tails and on intervals one ulp wide.  The same seed gives the same samples; they are not
        SciPy's samples for that seed (SciPy inverts its cdf).

        Parameters
        ----------
        {parameters}
        size : int or tuple of ints, optional
            The shape of the sample; by default the broadcast shape of the parameters (a scalar
            for scalar parameters).  The parameters must broadcast to it without enlarging it.
        random_state : None, int, numpy.random.Generator or numpy.random.RandomState, optional
            None draws from the distribution's own source (`random_state` of the object, NumPy's
            global RandomState unless set), an int seeds a new RandomState (as SciPy), a Generator
            or RandomState is used as it is.

        Returns
        -------
        rvs : numpy.float64 or ndarray
            The variates, of shape `size`.

        Raises
        ------
        ValueError
            For a >= b, a NaN bound or scale < 0 (scale == 0 gives loc), or a `size` the
            parameters do not broadcast to.

        Examples
        --------
        >>> import numpy as np
        >>> from veltra.stats import truncnorm
        >>> truncnorm.rvs(40.0, np.inf, size=3, random_state=np.random.default_rng(1))
        array([40.01791567, 40.00388936, 40.00933721])
        >>> truncnorm.rvs([0.0, 5.0], [1.0, 6.0], loc=2.0, random_state=7)
        array([2.07630829, 7.11028282])
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
        _reject_complex(np.result_type(a, b, loc, scale))
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
        """``truncnorm.logpdf`` with the frozen parameters."""
        return self.dist.logpdf(x, *self._params)

    def pdf(self, x):
        """``truncnorm.pdf`` with the frozen parameters."""
        return self.dist.pdf(x, *self._params)

    def logcdf(self, x):
        """``truncnorm.logcdf`` with the frozen parameters."""
        return self.dist.logcdf(x, *self._params)

    def cdf(self, x):
        """``truncnorm.cdf`` with the frozen parameters."""
        return self.dist.cdf(x, *self._params)

    def logsf(self, x):
        """``truncnorm.logsf`` with the frozen parameters."""
        return self.dist.logsf(x, *self._params)

    def sf(self, x):
        """``truncnorm.sf`` with the frozen parameters."""
        return self.dist.sf(x, *self._params)

    def ppf(self, q):
        """``truncnorm.ppf`` with the frozen parameters."""
        return self.dist.ppf(q, *self._params)

    def isf(self, q):
        """``truncnorm.isf`` with the frozen parameters."""
        return self.dist.isf(q, *self._params)

    def stats(self, moments="mv"):
        """``truncnorm.stats`` with the frozen parameters."""
        return self.dist.stats(*self._params, moments=moments)

    def moment(self, order):
        return self.dist.moment(order, *self._params)

    def mean(self):
        """``truncnorm.mean`` with the frozen parameters."""
        return self.dist.mean(*self._params)

    def var(self):
        """``truncnorm.var`` with the frozen parameters."""
        return self.dist.var(*self._params)

    def std(self):
        """``truncnorm.std`` with the frozen parameters."""
        return self.dist.std(*self._params)

    def median(self):
        """``truncnorm.median`` with the frozen parameters."""
        return self.dist.median(*self._params)

    def interval(self, confidence):
        """``truncnorm.interval`` with the frozen parameters."""
        return self.dist.interval(confidence, *self._params)

    def support(self):
        """``truncnorm.support`` with the frozen parameters."""
        return self.dist.support(*self._params)

    def entropy(self):
        """``truncnorm.entropy`` with the frozen parameters."""
        return self.dist.entropy(*self._params)

    def rvs(self, size=None, random_state=None):
        """``truncnorm.rvs`` with the frozen parameters."""
        return _sample(*self._params, size, _random_source(random_state, self._random_state))

    def expect(self, func=None, lb=None, ub=None, conditional=False, **kwds):
        a, b, loc, scale = self._params
        return self.dist.expect(func, (a, b), loc, scale, lb, ub, conditional)


truncnorm = truncnorm_gen()

from veltra import _expect, _fit_scipy  # noqa: E402  (they use this module's helpers at run time)
from veltra._fit import FitError, TruncnormFit, fit_truncnorm  # noqa: E402
