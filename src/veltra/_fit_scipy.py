"""truncnorm.fit with SciPy's signature: fixed parameters in any combination, free bounds.

Free bounds.  For fixed mu and sigma the likelihood grows as the interval shrinks about the
data, so the bounds of the maximum are the sample's minimum and maximum, and the rest is the
concave fit with known bounds of veltra._fit (fit_truncnorm).  A bound fixed in standard units (SciPy's fa, fb) ties the interval to mu and
sigma and leaves no exponential family; that fit takes each set of active constraints
mu + a sigma = min, mu + b sigma = max in turn, maximises over the rest with Nelder and Mead's
simplex (on n, mean, variance, min and max: a few hundred kernel calls whatever the size of
the data) and keeps the best point that holds every point of the data.
"""

from __future__ import annotations

import math
from itertools import combinations

import numpy as np

from veltra import truncnorm as _kernel
from veltra._fit import FitError, _F64, _fit_known, _sample, _Sample

_FIXED_NAMES = {"a": ("fa", "f0", "fix_a"), "b": ("fb", "f1", "fix_b"),
                "loc": ("floc",), "scale": ("fscale",)}


def _fixed(kwds: dict) -> dict:
    fixed = {}
    for name, aliases in _FIXED_NAMES.items():
        given = [alias for alias in aliases if alias in kwds]
        if len(given) > 1:
            raise ValueError(f"fix only one of {', '.join(given)}")
        if given:
            fixed[name] = float(kwds.pop(given[0]))
    return fixed


def fit_scipy(data, args: tuple, kwds: dict) -> tuple[float, float, float, float]:
    """truncnorm.fit: (a, b, loc, scale) of the maximum of the likelihood; see stats.py."""
    kwds = dict(kwds)
    method = str(kwds.pop("method", "MLE")).upper()
    lower, upper = kwds.pop("lower", None), kwds.pop("upper", None)
    fixed = _fixed(kwds)
    # initial guesses (positional a, b; loc=, scale=) and an optimizer: the fits need none
    for unused in ("optimizer", "loc", "scale"):
        kwds.pop(unused, None)
    if kwds:
        raise TypeError(f"Unknown arguments: {sorted(kwds)}.")
    if len(args) > 2:
        raise TypeError("Too many positional arguments.")
    if len(fixed) == 4:
        raise ValueError("All parameters fixed. There is nothing to optimize.")
    if method not in ("MLE", "MM"):
        raise ValueError("method must be 'MLE' or 'MM'")
    if (lower is not None and "a" in fixed) or (upper is not None and "b" in fixed):
        raise ValueError("a bound is given twice: in data units (lower/upper) and standard units (fa/fb)")
    if "a" in fixed and "b" in fixed and not fixed["a"] < fixed["b"]:
        raise ValueError(f"truncnorm needs a < b; got fa={fixed['a']}, fb={fixed['b']}")
    if "scale" in fixed and not fixed["scale"] > 0:
        raise ValueError(f"truncnorm needs scale > 0; got fscale={fixed['scale']}")
    if method == "MLE":
        # an infinite end is the same in standard and in data units: the concave fit takes it
        if fixed.get("a") == -math.inf:
            lower = fixed.pop("a")
        if fixed.get("b") == math.inf:
            upper = fixed.pop("b")
    # A bound neither known in data units nor fixed in standard units is free: the maximum
    # puts it at the sample's extreme.
    sample = _sample(data, -math.inf if lower is None else float(lower),
                     math.inf if upper is None else float(upper))
    if method == "MM":
        return _moment_match(sample, fixed)
    loc, scale = fixed.get("loc"), fixed.get("scale")
    data_lower = sample.lo if lower is None else float(lower)
    data_upper = sample.hi if upper is None else float(upper)
    if "a" not in fixed and "b" not in fixed:
        if loc is not None and scale is not None:
            return (data_lower - loc) / scale, (data_upper - loc) / scale, loc, scale
        result = _fit_known(sample, data_lower, data_upper, loc, scale)
        if not result.success:
            raise FitError(result.message)
        return result.a, result.b, result.loc, result.scale
    return _fit_standard_bounds(sample, fixed, data_lower, data_upper)


def _moment_match(sample: _Sample, fixed: dict):
    """Method of moments with a and b fixed: mean = loc + scale E[X], var = scale^2 Var X."""
    if set(fixed) != {"a", "b"}:
        raise NotImplementedError("method='MM' is provided with fa and fb fixed and loc and "
                                  "scale free (two moments for two parameters)")
    a, b = fixed["a"], fixed["b"]
    _, m, v = _kernel.moments(a, b, dtype=_F64)
    scale = sample.sd / math.sqrt(v)
    return a, b, sample.mean - scale * float(m), scale


def _fit_standard_bounds(sample: _Sample, fixed: dict, lower: float, upper: float):
    """The fit with a bound fixed in standard units (an end at loc + a scale): the best of
    the maxima over each set of active constraints loc + a scale = min, loc + b scale = max."""
    s = sample.sd
    z_lo, z_hi = (sample.lo - sample.mean) / s, (sample.hi - sample.mean) / s
    l, u = (lower - sample.mean) / s, (upper - sample.mean) / s
    fixed_mu = (fixed["loc"] - sample.mean) / s if "loc" in fixed else None
    fixed_sigma = fixed["scale"] / s if "scale" in fixed else None
    a_std, b_std = fixed.get("a"), fixed.get("b")

    def bounds(mu, sigma):
        a = a_std if a_std is not None else (l - mu) / sigma
        b = b_std if b_std is not None else (u - mu) / sigma
        return a, b

    def objective(mu, sigma, slack=0.0):
        if not (sigma > 0 and math.isfinite(mu) and math.isfinite(sigma)):
            return math.inf
        a, b = bounds(mu, sigma)
        tolerance = slack * (1 + abs(z_lo) + abs(z_hi) + abs(mu)) / sigma
        if not (a < b and (z_lo - mu) / sigma >= a - tolerance and (z_hi - mu) / sigma <= b + tolerance):
            return math.inf
        return math.log(sigma) + (1.0 + mu * mu) / (2 * sigma * sigma) + float(_kernel.log_prob(a, b, dtype=_F64))

    # Constraints that may be active: the end fixed in standard units against the data's extreme.
    constraints = [(c, z) for c, z in ((a_std, z_lo), (b_std, z_hi)) if c is not None]
    free = (fixed_mu is None) + (fixed_sigma is None)
    best = (math.inf, None)
    for count in range(min(free, len(constraints)) + 1):
        for active in combinations(constraints, count):
            for mu, sigma in _on_constraints(active, fixed_mu, fixed_sigma, objective):
                value = objective(mu, sigma, 1e-14)
                if value < best[0]:
                    best = (value, (mu, sigma))
    if best[1] is None:
        raise FitError("no parameters with the fixed values hold all the data in their support")
    mu, sigma = best[1]
    loc = fixed["loc"] if "loc" in fixed else sample.mean + s * mu
    scale = fixed["scale"] if "scale" in fixed else s * sigma
    loc, scale = _inside(sample, loc, scale, a_std, b_std, "loc" not in fixed, "scale" not in fixed)
    a = a_std if a_std is not None else (lower - loc) / scale
    b = b_std if b_std is not None else (upper - loc) / scale
    return a, b, loc, scale


def _inside(sample, loc, scale, a, b, loc_free, scale_free):
    """(loc, scale) moved by the least relative step 2^-52 2^k, among the free ones, that
    maps min and max into [a, b] as SciPy's support check computes them ((x - loc)/scale),
    after the rounding of the map back from the standardised data."""
    def holds(loc, scale):
        return (a is None or (sample.lo - loc) / scale >= a) and (b is None or (sample.hi - loc) / scale <= b)

    moves = [(dl, ds) for dl in ((-1, 0, 1) if loc_free else (0,)) for ds in ((-1, 0, 1) if scale_free else (0,))]
    spread = max(abs(loc), scale, abs(sample.lo), abs(sample.hi))
    for k in range(40):
        step = 2.0 ** (k - 52)
        for dl, ds in moves:
            trial = (loc + dl * step * spread, scale * (1 + ds * step))
            if holds(*trial):
                return float(trial[0]), float(trial[1])
    return float(loc), float(scale)


def _on_constraints(active, fixed_mu, fixed_sigma, objective):
    """Candidate maxima with the constraints mu + c sigma = z in `active` holding."""
    if len(active) == 2:
        (ca, za), (cb, zb) = active
        sigma = (zb - za) / (cb - ca)
        return [(za - ca * sigma, sigma)]
    if len(active) == 1:
        (c, z), = active
        if fixed_mu is not None and fixed_sigma is not None:
            return []
        if fixed_mu is not None:
            return [(fixed_mu, (z - fixed_mu) / c)] if c != 0 else []
        if fixed_sigma is not None:
            return [(z - c * fixed_sigma, fixed_sigma)]
        log_sigma = _nelder_mead(lambda x: objective(z - c * math.exp(x[0]), math.exp(x[0]), 1e-14),
                                 [_feasible_log_sigma(c, z, objective)])
        sigma = math.exp(log_sigma[0])
        return [(z - c * sigma, sigma)]
    if fixed_mu is not None and fixed_sigma is not None:
        return [(fixed_mu, fixed_sigma)]
    if fixed_sigma is not None:
        start = _feasible_start(objective, [(m, fixed_sigma) for m in _grid()])
        x = _nelder_mead(lambda x: objective(x[0], fixed_sigma), [start[0]])
        return [(x[0], fixed_sigma)]
    if fixed_mu is not None:
        start = _feasible_start(objective, [(fixed_mu, math.exp(t)) for t in _grid()])
        x = _nelder_mead(lambda x: objective(fixed_mu, math.exp(x[0])), [math.log(start[1])])
        return [(fixed_mu, math.exp(x[0]))]
    start = _feasible_start(objective, [(m, math.exp(t)) for m in _grid() for t in _grid()])
    x = _nelder_mead(lambda x: objective(x[0], math.exp(x[1])), [start[0], math.log(start[1])])
    return [(x[0], math.exp(x[1]))]


def _grid():
    return [0.0] + [sign * 2.0 ** k for k in range(-4, 8) for sign in (1, -1)]


def _feasible_start(objective, points):
    """The best of a coarse grid of (mu, sigma), with a finite objective."""
    values = [objective(mu, sigma) for mu, sigma in points]
    best = int(np.argmin(values))
    return points[best] if math.isfinite(values[best]) else points[0]


def _feasible_log_sigma(c, z, objective):
    grid = [float(t) for t in _grid()]
    values = [objective(z - c * math.exp(t), math.exp(t), 1e-14) for t in grid]
    return grid[int(np.argmin(values))]


def _nelder_mead(f, x0, steps: int = 2000, xtol: float = 1e-13, ftol: float = 1e-15):
    """Minimise f from x0 by Nelder and Mead's simplex (reflection 1, expansion 2, contraction
    and shrink 1/2), restarted once from its result; inf outside the feasible set."""
    x = np.asarray(x0, dtype=_F64)
    for _ in range(2):
        dim = len(x)
        simplex = [x] + [x + 0.1 * np.eye(dim)[i] for i in range(dim)]
        values = [f(p) for p in simplex]
        for _ in range(steps):
            order = np.argsort(values)
            simplex = [simplex[i] for i in order]
            values = [values[i] for i in order]
            spread = max(np.max(np.abs(p - simplex[0])) for p in simplex[1:])
            if spread <= xtol * (1 + np.max(np.abs(simplex[0]))) and \
                    abs(values[-1] - values[0]) <= ftol * (1 + abs(values[0])):
                break
            centroid = np.mean(simplex[:-1], axis=0)
            reflected = centroid + (centroid - simplex[-1])
            fr = f(reflected)
            if fr < values[0]:
                expanded = centroid + 2 * (centroid - simplex[-1])
                fe = f(expanded)
                simplex[-1], values[-1] = (expanded, fe) if fe < fr else (reflected, fr)
            elif fr < values[-2]:
                simplex[-1], values[-1] = reflected, fr
            else:
                contracted = centroid + 0.5 * (simplex[-1] - centroid)
                fc = f(contracted)
                if fc < values[-1]:
                    simplex[-1], values[-1] = contracted, fc
                else:
                    simplex = [simplex[0]] + [simplex[0] + 0.5 * (p - simplex[0]) for p in simplex[1:]]
                    values = [values[0]] + [f(p) for p in simplex[1:]]
        x = simplex[int(np.argmin(values))]
    return x
