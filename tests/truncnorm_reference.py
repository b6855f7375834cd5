"""The truncated standard normal on [a, b] in mpmath, from the defining integrals.

An independent reference for veltra's truncated-normal kernels (and for anything built on
them): nothing here uses the Mills ratio or any of veltra's formulas.  Probabilities are
differences of erf (around the mode) or erfc (in a tail, on the interval's own side), and
the moments are the closed forms of the integrals of x phi(x) and x^2 phi(x):

    P = Phi(b) - Phi(a),   int x phi = phi(a) - phi(b),   int x^2 phi = P + a phi(a) - b phi(b).

These cancel for narrow or far intervals: the variance of (1e8, 1e8 + 1) is 1e-16 while the
second moment is 1e16, and P of a one-ulp interval at 1 cancels 16 digits of erf.  The
working precision is chosen per interval from the width and the distance from the mode so
that at least 30 digits survive (`digits_for`); `check_digits` confirms it by repeating the
evaluation with more.
"""

from __future__ import annotations

import math

import mpmath

mp = mpmath.mp

# The kernels' error bounds, relative unless said otherwise (the tests' and the differential
# fuzzer's).
LOG_PROB_RTOL = 4e-15
MEAN_RTOL = 4e-15         # of |mean|, plus MEAN_SD_TOL of the standard deviation
MEAN_SD_TOL = 4e-16
VAR_RTOL = 1e-14
LOGPDF_TOL = 1e-14        # times max(1, |logpdf|)
LOGCDF_RTOL = 1e-14
PPF_ULPS = 8              # plus PPF_ABS * min(1, b - a) absolute, for quantiles near 0
PPF_ABS = 1e-15
ENTROPY_TOL = 1e-15       # absolute, relative where |H| > 1 (the documented bound)


def _digits_lost(a: float, b: float, per_scale: int, per_narrowness: int) -> tuple[float, float, list[float]]:
    """Digits lost on [a, b] at `per_scale` a decade of its scale max(|a|, |b|, 1) and
    `per_narrowness` a decade of the scale over the width; with the scale and the finite
    ends' magnitudes."""
    finite = [abs(v) for v in (a, b) if math.isfinite(v)]
    scale = max(finite + [1.0])
    width = b - a if math.isfinite(b - a) else math.inf
    lost = per_scale * math.log10(scale)
    if width > 0 and math.isfinite(width):
        lost += per_narrowness * max(0.0, math.log10(scale) - math.log10(width))
    return lost, scale, finite


def digits_for(a: float, b: float, x: float | None = None) -> int:
    """Working digits for [a, b] (and a point x in it): 40 kept, plus what the moments
    cancel: the second moment, about a^2, against a variance as small as w^2/12 for a
    narrow interval or 1/a^2 for a wide one in the tail, P against erf of an end (1/w of it
    for a narrow interval next to 0, where erf differs from 1/2 by the end itself); for an
    interval next to 0, the second moment against 1; plus what a point near an end cancels
    in the cdf."""
    lost, scale, finite = _digits_lost(a, b, 4, 2)
    width = b - a
    if width > 0 and math.isfinite(width):
        lost += max(0.0, -math.log10(width))
    if len(finite) == 2 and max(finite) < 1 and b > a:
        # next to 0 the second moment, about width * max^2, is what is left of P (about
        # width) against a phi(a) - b phi(b), each known to the working digits of 1
        lost -= 2 * math.log10(max(finite))
    if x is not None and math.isfinite(x):
        for end in finite:
            gap = abs(abs(x) - end)
            if gap > 0:
                lost = max(lost, 2 * max(0.0, math.log10(scale) - math.log10(gap)) + 4 * math.log10(scale))
    return 40 + int(math.ceil(lost))


def _mpf(v: float):
    return mpmath.mpf(v) if math.isfinite(v) else (mpmath.inf if v > 0 else -mpmath.inf)


def _pdf(t):
    return mpmath.npdf(t) if mpmath.isfinite(t) else mpmath.mpf(0)


def _t_pdf(t):
    return t * mpmath.npdf(t) if mpmath.isfinite(t) else mpmath.mpf(0)


def upper_tail(t):
    """Q(t) = P(X >= t) for mpf t >= 0.  mpmath's erfc serves up to 1e4; beyond, the
    asymptotic series Q(t) = phi(t)/t sum_k (-1)^k (2k-1)!!/t^(2k), whose terms fall by
    1e-8 or more per step, summed to the working precision."""
    if not mpmath.isfinite(t):
        return mpmath.mpf(0)
    if t <= 10_000:
        return mpmath.erfc(t / mpmath.sqrt(2)) / 2
    total, term, k = mpmath.mpf(0), mpmath.mpf(1), 0
    eps = mpmath.mpf(10) ** (-mp.dps - 5)
    while abs(term) > eps:
        total += term
        term *= -(2 * k + 1) / (t * t)
        k += 1
    return mpmath.npdf(t) / t * total


def prob(u, v):
    """P(u <= X <= v) for mpf u < v, as a difference on the side that does not cancel:
    upper tails in a tail, erf around the mode."""
    if u + v < 0:
        return prob(-v, -u)
    if u >= 0:
        return upper_tail(u) - upper_tail(v)
    s = mpmath.sqrt(2)
    return (mpmath.erf(v / s) - mpmath.erf(u / s)) / 2


def to_double(v) -> float:
    """An mpf rounded once to the nearest double.  mpmath's float() rounds to 53 bits and
    then, below 2^-1022, to the subnormal spacing: a mean just short of a tie between two
    subnormals would round to the tie and on to even.  There the exact binary value is
    divided out by Python's integer division, which rounds once."""
    if mpmath.isfinite(v) and v != 0 and abs(v) < mpmath.mpf(2) ** -1022:
        man, exp = v.man_exp
        return math.copysign(abs(man) / (1 << -exp), v)
    return float(v)


def moments(a: float, b: float, dps: int | None = None) -> tuple[float, float, float]:
    """log P, mean and variance of N(0, 1) restricted to [a, b], a < b."""
    return tuple(to_double(v) for v in moments_mp(a, b, dps))


def moments_mp(a: float, b: float, dps: int | None = None):
    """The same as mpf numbers, with the digits kept (for errors measured in ulps)."""
    with mpmath.workdps(dps or digits_for(a, b)):
        lo, hi, sign = _mpf(a), _mpf(b), 1
        if lo + hi < 0 or (lo == -mpmath.inf and hi != mpmath.inf):
            lo, hi, sign = -hi, -lo, -1
        if lo == -mpmath.inf:
            return mpmath.mpf(0), mpmath.mpf(0), mpmath.mpf(1)
        p = prob(lo, hi)
        m1 = _pdf(lo) - _pdf(hi)
        m2 = p + _t_pdf(lo) - _t_pdf(hi)
        mean = m1 / p
        return log_prob_mp(lo, hi, p), sign * mean, m2 / p - mean * mean


def shape_digits_for(a: float, b: float) -> int:
    """Working digits for the third and fourth central moments of [a, b]: 40 kept, plus what
    E[X^4] (about a^4) cancels against a fourth central moment as small as w^4/80 for a
    narrow interval or 9/a^4 for a wide one in the tail, and what the integral of x^4 phi
    (about a^4 w P) cancels against the terms of its recurrence, each of order one."""
    return 40 + int(math.ceil(_digits_lost(a, b, 8, 5)[0]))


def _power_pdf(t, k: int):
    return t**k * mpmath.npdf(t) if mpmath.isfinite(t) else mpmath.mpf(0)


def shape_mp(a: float, b: float, dps: int | None = None):
    """Skewness and excess kurtosis of N(0, 1) restricted to [a, b], a < b, as mpf: the raw
    moments I_k = int_a^b x^k phi from I_k = (k - 1) I_(k-2) + a^(k-1) phi(a) - b^(k-1) phi(b)
    (integration by parts), then the central moments by the binomial sums."""
    with mpmath.workdps(dps or shape_digits_for(a, b)):
        lo, hi, sign = _mpf(a), _mpf(b), 1
        if lo + hi < 0 or (lo == -mpmath.inf and hi != mpmath.inf):
            lo, hi, sign = -hi, -lo, -1
        if lo == -mpmath.inf:
            return mpmath.mpf(0), mpmath.mpf(0)
        raw = [prob(lo, hi), _pdf(lo) - _pdf(hi)]
        for k in range(2, 5):
            raw.append((k - 1) * raw[k - 2] + _power_pdf(lo, k - 1) - _power_pdf(hi, k - 1))
        e = [r / raw[0] for r in raw]
        m = e[1]
        mu2 = e[2] - m * m
        mu3 = e[3] - 3 * m * e[2] + 2 * m**3
        mu4 = e[4] - 4 * m * e[3] + 6 * m * m * e[2] - 3 * m**4
        return sign * mu3 / mu2**1.5, mu4 / mu2**2 - 3


def shape(a: float, b: float, dps: int | None = None) -> tuple[float, float]:
    """Skewness and excess kurtosis as doubles."""
    skew, kurtosis = shape_mp(a, b, dps)
    return float(skew), float(kurtosis)


def log_prob_mp(lo, hi, p):
    """log P; around the mode, where P may round to 1 at any fixed precision ((-30, 30):
    log P = -9.8e-198), as log1p of minus the two tails, each an erfc."""
    if lo >= 0 or p < 0.5:
        return mpmath.log(p)
    return mpmath.log1p(-(upper_tail(-lo) + upper_tail(hi)))


def log_prob_grad(a: float, b: float) -> tuple[float, float]:
    """(d log P/da, d log P/db) = (-phi(a)/P, phi(b)/P) for a < b: the density at each end
    over P, a difference of tails on the interval's own side.  The digits are those of
    `digits_for` less the second moment's: e^(-a^2/2) needs a^2/2 to 1e-40 absolute, and P
    what the difference of its tails cancels."""
    finite = [abs(v) for v in (a, b) if math.isfinite(v)]
    scale = max(finite + [1.0])
    with mpmath.workdps(digits_for(a, b) - 2 * int(math.log10(scale))):
        lo, hi = _mpf(a), _mpf(b)
        p = prob(lo, hi)
        return float(-_pdf(lo) / p), float(_pdf(hi) / p)


def raw_moment(n: int, a: float, b: float, loc: float = 0.0, scale: float = 1.0):
    """E[(loc + scale X)^n] for X ~ N(0, 1) on [a, b], a < b, as an mpf: the integral of
    (loc + scale x)^n phi(x) over [a, b] by mpmath's quadrature, over P, nothing else.

    The interval is first turned so that a + b >= 0 (X -> -X turns scale's sign).  A tail
    interval is integrated in the offset t = x - a, against exp(-a t - t^2/2), which keeps
    its digits however far out a lies; its breakpoints at t = 2^k/max(a, 1) (k = -1, 1, .., 9)
    follow the exponential fall of the density at rate a, and end at the interval's width or
    at the last one, beyond which the weight is below e^-500 of its mass.  An interval holding the
    mode is integrated in x with breakpoints at 0, +-sqrt(n), +-2 sqrt(n) + 10 and its ends.
    The integrand is evaluated from the given doubles at the working precision, so that
    loc + scale x loses nothing where its terms nearly cancel; the result is then good to
    about 10^-30 of (|loc| + |scale| max |x|)^n over the region that carries the mass, the
    scale of every bound that the moments are held to."""
    lo, hi, s = _mpf(a), _mpf(b), mpmath.mpf(scale)
    if lo + hi < 0 or (lo == -mpmath.inf and hi != mpmath.inf):
        lo, hi, s = -hi, -lo, -s
    with mpmath.workdps(35 + n):
        c = mpmath.mpf(loc)
        if lo >= 0:
            w = hi - lo
            marks = [mpmath.mpf(0)] + [mpmath.mpf(2) ** k / max(lo, 1) for k in range(-1, 10, 2)]
            marks = [t for t in marks if t < w] + [w] if w < marks[-1] else marks
            origin = lo

            def weight(t):
                return mpmath.exp(-lo * t - t * t / 2)

        else:
            r = mpmath.sqrt(n)
            marks = sorted({lo, hi} | {v for v in (0, r, -r, 2 * r + 10, -2 * r - 10) if lo < v < hi})
            origin = 0

            def weight(t):
                return mpmath.exp(-t * t / 2)

        # mpmath's quadrature stops at an absolute error: the variable and the power are
        # scaled to order one, and the scales cancel in the quotient.
        span = max(abs(t) for t in marks if mpmath.isfinite(t))
        size = abs(c) + abs(s) * (abs(origin) + span)
        units = [t / span for t in marks]
        mass = mpmath.quad(lambda u: weight(span * u), units)
        power = mpmath.quad(lambda u: ((c + s * (origin + span * u)) / size) ** n * weight(span * u), units)
        return power / mass * size ** n


def cdf_parts(x: float, a: float, b: float, dps: int | None = None):
    """(F, S, P) = (P(a <= X <= x), P(x <= X <= b), P(a <= X <= b)) for a < x < b, mpf."""
    lo, hi, xm = _mpf(a), _mpf(b), _mpf(x)
    return prob(lo, xm), prob(xm, hi), prob(lo, hi)


def log_cdf(x: float, a: float, b: float) -> float:
    """log of P(X <= x | a <= X <= b); -inf below a, 0 above b."""
    if x <= a:
        return -math.inf
    if x >= b:
        return 0.0
    with mpmath.workdps(digits_for(a, b, x)):
        lower, upper, p = cdf_parts(x, a, b)
        return float(mpmath.log(lower / p) if lower <= upper else mpmath.log1p(-upper / p))


def log_sf(x: float, a: float, b: float) -> float:
    """log of P(X >= x | a <= X <= b); 0 below a, -inf above b."""
    return log_cdf(-x, -b, -a)


def log_pdf(x: float, a: float, b: float) -> float:
    return float(log_pdf_mp(x, a, b))


def quantile(q: float, a: float, b: float, x0: float, upper: bool = False):
    """The x in [a, b] with P(X <= x | [a, b]) = q (upper: P(X >= x | [a, b]) = q), as an mpf.
    Newton's method at high precision from a nearby double x0 (a candidate being tested),
    inside a bracket that every evaluation narrows; a step that leaves the bracket, or is not
    half the one before (Newton crawls on a tail), gives way to bisection.  So the result does
    not depend on x0 being good, and 400 steps reach 1e-40 of any bracket."""
    with mpmath.workdps(digits_for(a, b, x0) + 20):
        lo, hi = _mpf(a), _mpf(b)
        p = prob(lo, hi)
        qm = mpmath.mpf(q)
        left, right = lo, hi
        x = _mpf(x0)
        if not (lo < x < hi):
            x = _middle(lo, hi)
        tiny = mpmath.mpf(10) ** (-40)
        previous_step = mpmath.inf
        for _ in range(400):
            lower = prob(lo, x) if x > lo else mpmath.mpf(0)
            above = prob(x, hi) if x < hi else mpmath.mpf(0)
            # h(x) increases with x and vanishes at the root; each side's mass is taken where
            # it is the smaller one, so that h does not cancel
            if upper:
                h = qm - above / p if qm <= 0.5 else lower / p - (1 - qm)
            else:
                h = lower / p - qm if qm <= 0.5 else (1 - qm) - above / p
            if h == 0:
                return x
            if h < 0:
                left = x
            else:
                right = x
            if right - left <= tiny * (abs(x) + tiny):
                return x
            density = mpmath.npdf(x) / p
            x_new = x - h / density if density > 0 else x
            if not (left < x_new < right) or abs(x_new - x) > previous_step / 2:
                x_new = _middle(left, right)
            previous_step = abs(x_new - x)
            if previous_step <= tiny * (abs(x) + tiny):
                return x_new
            x = x_new
        return x


def _middle(left, right):
    """A point strictly inside (left, right), either end possibly infinite."""
    if not mpmath.isfinite(left):
        return right - (abs(right) + 1) if mpmath.isfinite(right) else mpmath.mpf(0)
    if not mpmath.isfinite(right):
        return left + (abs(left) + 1)
    return (left + right) / 2


def distribution_mp(kind: str, x: float, a: float, b: float):
    """logpdf, pdf, logcdf, logsf, cdf or sf (`kind`) of x on [a, b], a < b, as an mpf (or a
    float for the values outside the interval and at infinite x)."""
    if kind in ("logpdf", "pdf"):
        log_density = log_pdf_mp(x, a, b)
        return log_density if kind == "logpdf" else (mpmath.exp(log_density) if log_density != -math.inf else 0.0)
    upper = kind in ("logsf", "sf")
    if upper:
        x, a, b = -x, -b, -a
    if x <= a or x >= b:
        below = x <= a
        return (-math.inf if below else 0.0) if kind.startswith("log") else (0.0 if below else 1.0)
    with mpmath.workdps(digits_for(a, b, x)):
        lower, above, p = cdf_parts(x, a, b)
        if kind.startswith("log"):
            return mpmath.log(lower / p) if lower <= above else mpmath.log1p(-above / p)
        return lower / p


def log_pdf_mp(x: float, a: float, b: float):
    """log_pdf as an mpf where x is inside [a, b] and finite."""
    if not a <= x <= b or not math.isfinite(x):
        return -math.inf
    with mpmath.workdps(digits_for(a, b)):
        xm = _mpf(x)
        return -xm * xm / 2 - mpmath.log(mpmath.sqrt(2 * mpmath.pi)) - mpmath.log(prob(_mpf(a), _mpf(b)))


def entropy_mp(a: float, b: float):
    """H = log P + log sqrt(2 pi) + E[X^2]/2, E[X^2] = 1 + (a phi(a) - b phi(b))/P, with the
    digits that log P against E[X^2]/2 cancels (about a^2/2 each)."""
    with mpmath.workdps(digits_for(a, b) + 20):
        lo, hi = _mpf(a), _mpf(b)
        p = prob(lo, hi)
        second = 1 + (_t_pdf(lo) - _t_pdf(hi)) / p
        return mpmath.log(p) + mpmath.log(mpmath.sqrt(2 * mpmath.pi)) + second / 2


def quantile_is_bracketed(q: float, a: float, b: float, x: float, upper: bool = False) -> bool:
    """Whether the exact ppf (isf where `upper`) of q on [a, b] lies within PPF_ULPS ulps of x
    (plus PPF_ABS min(1, b - a)): the mass below x - d is at most q P and the mass below x + d
    at least q P, from the defining integrals.  No root is sought, so intervals 1e308 wide,
    which `quantile`'s iteration cannot cross, are checked as well.  A NaN, or a point outside
    [a, b], is never the quantile (max and min with a NaN would pass it on as an end)."""
    if upper:  # isf(q) on [a, b] is -ppf(q) on [-b, -a]
        q, a, b, x = q, -b, -a, -x
    if not a <= x <= b:
        return False
    d = PPF_ULPS * math.ulp(x) + PPF_ABS * min(1.0, b - a)
    with mpmath.workdps(digits_for(a, b) + 20):
        lo, hi, xm = _mpf(a), _mpf(b), mpmath.mpf(x)
        left, right = max(lo, xm - d), min(hi, xm + d)
        whole = prob(lo, hi)
        below_left = prob(lo, left) if left > lo else 0
        below_right = prob(lo, right) if right > lo else 0
        return below_left <= q * whole <= below_right


def check_digits(a: float, b: float, extra: int = 40) -> bool:
    """The moments agree as doubles at the chosen precision and with `extra` more digits."""
    return moments(a, b) == moments(a, b, digits_for(a, b) + extra)


# ---------------------------------------------------------------------------------------
# Intervals of every kind, and points and probabilities inside them

#: Intervals where textbook formulas fail, each in the orientation given (tests mirror them).
HARD_INTERVALS = [
    (8.0, 9.0), (30.0, 31.0), (40.0, math.inf), (30.0, 30.001), (1e4, 1e4 + 1e-3),
    (-1e-10, 1e-10), (5.0, 5.0 + 1e-12), (-math.inf, -35.0), (-30.0, 30.0), (1e8, 1e8 + 1.0),
]

KINDS = ("tail", "far", "mode", "ulps", "infinite", "centre", "flat edge")

#: The smallest subnormal, 2^-1074.
TINY = 5e-324


def next_to_zero_intervals() -> list[tuple[float, float]]:
    """Intervals next to 0 at magnitudes x from 1e-8 down to the subnormals, where squares,
    (b^2 - a^2)/2 and the products c w leave the normal range: beside 0 with relative widths
    2^-k down to an ulp, and across 0 with ends in ratios from 0 to 1; ends a few subnormals
    apart; each in the orientation given (tests mirror them)."""
    out = []
    for x in (1e-8, 1e-150, 1e-155, 1e-160, 1e-200, 1e-300, 2.0 ** -1022, 1e-310, 1e-320):
        out += [(x, x * (1 + 2.0 ** -k)) for k in (0, 20, 40) if x * (1 + 2.0 ** -k) > x]
        out += [(x, math.nextafter(x, math.inf)), (0.0, x), (x, 1e3 * x)]
        out += [(-r * x, x) for r in (1e-9, 0.3, 0.9, 1 - 2.0 ** -30)]
    out += [(i * TINY, j * TINY) for i, j in ((-5, 6), (-2, 3), (-3, 1), (3, 4), (3, 7), (0, 1))]
    return out


def random_interval(rng, kind: str) -> tuple[float, float]:
    """One interval of a kind, ends below 1e8 in magnitude (far larger ones make the reference
    slow; tests list a few of those by hand).  `rng` is a random.Random."""
    if kind == "tail":          # anywhere in a tail, width 1e-12 .. 30
        a = rng.uniform(0.0, 60.0)
        b = a + 10 ** rng.uniform(-12, 1.5)
    elif kind == "far":         # far out, width relative to the distance
        a = 10 ** rng.uniform(-3, 8)
        b = a + a * 10 ** rng.uniform(-15, 0.5)
    elif kind == "mode":        # around the mode, each end 1e-12 .. 30 from it
        a, b = -10 ** rng.uniform(-12, 1.5), 10 ** rng.uniform(-12, 1.5)
    elif kind == "ulps":        # one to four ulps wide
        a = rng.choice([-1.0, 1.0]) * 10 ** rng.uniform(-5, 8)
        b = a
        for _ in range(rng.randint(1, 4)):
            b = math.nextafter(b, math.inf)
    elif kind == "infinite":    # one end infinite
        a = rng.uniform(-40.0, 60.0) if rng.random() < 0.7 else 10 ** rng.uniform(-5, 8)
        b = math.inf
    elif kind == "centre":      # near the origin, widths of order one
        a = rng.uniform(-3.0, 3.0)
        b = a + 10 ** rng.uniform(-3, 1)
    else:                       # around z = (b^2 - a^2)/2 of order one, where methods change
        a = 10 ** rng.uniform(-1, 2)
        b = a + 10 ** rng.uniform(-1, 0.8) / a
    if rng.random() < 0.5:
        a, b = -b, -a
    return a, b


def random_intervals(count: int, seed: int) -> list[tuple[float, float]]:
    import random
    rng = random.Random(seed)
    return [random_interval(rng, KINDS[i % len(KINDS)]) for i in range(count)]


def points_in(a: float, b: float, rng, count: int = 3) -> list[float]:
    """Points strictly inside (a, b): uniform, next to either end (down to one ulp), and
    skewed towards the lower end; for an infinite end, within 40 of the finite one."""
    lo = a if math.isfinite(a) else (b - 40.0 if math.isfinite(b) else -40.0)
    hi = b if math.isfinite(b) else lo + 40.0 / max(1.0, abs(lo)) + 40.0 * (abs(lo) < 1)
    out = []
    for _ in range(count):
        kind = rng.randrange(5)
        if kind == 0:
            x = lo + (hi - lo) * rng.random()
        elif kind == 1 and math.isfinite(a):
            x = a + (hi - lo) * 10 ** rng.uniform(-16, -1)
        elif kind == 2 and math.isfinite(b):
            x = b - (hi - lo) * 10 ** rng.uniform(-16, -1)
        elif kind == 3:
            x = math.nextafter(a, math.inf) if math.isfinite(a) else math.nextafter(b, -math.inf)
        else:
            x = lo + (hi - lo) * rng.random() ** 6
        if a < x < b:
            out.append(x)
    return out
