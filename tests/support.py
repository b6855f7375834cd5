"""Independent references for the tests: mpmath values and the written kernel steps."""

from __future__ import annotations

import contextlib
import importlib.util
import math
import re
import shutil
import subprocess
import sys
from pathlib import Path

import mpmath

ROOT = Path(__file__).resolve().parent.parent
KERNELS = ROOT / "src" / "veltra" / "_kernels"
TABLES_HEADER = KERNELS / "mills_tables.hpp"

@contextlib.contextmanager
def script_module(path: Path, name: str):
    """The Python script at `path` imported as module `name`, registered in sys.modules while
    in use (dataclasses look their module up there)."""
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        del sys.modules[name]


def compile_with_kernels(work: Path, source: str) -> Path | None:
    """`source` compiled as a C++17 program against the installed kernel headers, warnings as
    errors; None when there is no C++ compiler."""
    import veltra
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        return None
    (work / "main.cpp").write_text(source)
    exe = work / "main"
    subprocess.run([compiler, "-std=c++17", "-O2", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror",
                    "-I", veltra.get_include(), str(work / "main.cpp"), "-o", str(exe)], check=True)
    return exe


#: Relative error bound of R(x) for x >= 0.
R_REL_BOUND = 7e-16

SQRT_2PI = 2.5066282746310007
SQRT_PI_2 = 1.2533141373155003


def reflection_bound(x: float) -> float:
    """Relative error bound of R(x) for x < 0: the argument x^2/2 of exp is rounded, so the
    error grows like half an ulp of x^2/2 on top of the few roundings of the formula."""
    return 1e-15 + (x * x / 2) * 2.0 ** -53 * 1.05


def mills_exact(x: float) -> mpmath.mpf:
    """R(x) = N(-x)/n(x) at 50 digits, or at mpmath's working precision if that is higher (a
    caller that subtracts R from sqrt(pi/2), or two values of R, raises it around the call).
    mpmath's erfc covers |x| <= 1e4; beyond, the asymptotic series 1/x * sum (-1)^k (2k-1)!! /
    x^(2k), whose terms fall faster than 1e-8 per step, is summed until they are below the
    working precision, and x < -1e4 reflects through R(x) = sqrt(2 pi) e^(x^2/2) - R(-x)."""
    with mpmath.workdps(max(50, mpmath.mp.dps)):
        x = mpmath.mpf(x)
        if x < -10_000:
            return mpmath.sqrt(2 * mpmath.pi) * mpmath.exp(x * x / 2) - mills_exact(-x)
        if x <= 10_000:
            return mpmath.sqrt(mpmath.pi / 2) * mpmath.exp(x * x / 2) * mpmath.erfc(x / mpmath.sqrt(2))
        total, term, k = mpmath.mpf(0), mpmath.mpf(1), 0
        while abs(term) > mpmath.eps:
            total += term
            term *= -(2 * k + 1) / (x * x)
            k += 1
        return total / x


def rel_below1_exact(x: float) -> mpmath.mpf:
    """(sqrt(pi/2) - R(x))/x, 1 at x = 0, with the digits that the difference (about x) takes."""
    if x == 0:
        return mpmath.mpf(1)
    with mpmath.workdps(50 + max(0, -math.floor(math.log10(abs(x))))):
        return (mpmath.sqrt(mpmath.pi / 2) - mills_exact(x)) / x


def rel_error(value: float, exact) -> float:
    if exact == 0:
        return abs(value)
    with mpmath.workdps(50):
        return float(abs((mpmath.mpf(value) - exact) / exact))


# ---------------------------------------------------------------------------------------
# The written steps of the kernels, transcribed to Python floats (binary64, each operation
# rounded once), reading the committed tables.  The compiled kernels must agree to the bit.

def parse_tables(text: str) -> dict[str, list[list[float]]]:
    tables = {}
    for name, body in re.findall(r"constexpr double (\w+)\[\d+\]\[\d+\] = \{(.*?)\n\};", text, re.S):
        rows = re.findall(r"\{([^{}]*)\}", body)
        tables[name] = [[float(v) for v in row.split(",")] for row in rows]
    return tables


TABLES = parse_tables(TABLES_HEADER.read_text())


def _index(v: float, last: int) -> int:
    if not v >= 1.0:
        return 0
    return last if v >= last else int(v)


def _horner(c: list[float], v: float) -> float:
    p = c[-1] * v + c[-2]
    for k in range(len(c) - 3, -1, -1):
        p = p * v + c[k]
    return p


def poly_low(x: float) -> float:
    y = x * 12.0
    i = _index(y, 11)
    return _horner(TABLES["RTABLE_LOW"][i], y - i)


def poly_mid(x: float) -> float:
    q = x + 2.5
    i = _index(((x - 1.0) * 32.0) / q, 25)
    return _horner(TABLES["RTABLE_MID"][i], ((32 - i) * x - (i * 2.5 + 32.0)) / q)


def tail_fg(a: float, order: int) -> tuple[float, float]:
    if order == 0:
        return a + 4.0, 6.0
    if order == 1:
        return (a + 12.0) * a + 12.0, a * 6.0 + 48.0
    if order == 2:
        return ((a + 24.0) * a + 114.0) * a - 24.0, (a * 6.0 + 120.0) * a + 324.0
    if order == 3:
        return ((((a + 40.0) * a + 426.0) * a + 936.0) * a - 1248.0,
                ((a * 6.0 + 216.0) * a + 1812.0) * a + 1728.0)
    return (((((a + 60.0) * a + 1116.0) * a + 6816.0) * a + 4932.0) * a - 22320.0,
            (((a * 6.0 + 336.0) * a + 5472.0) * a + 24768.0) * a - 1080.0)


NEG_OVERFLOW = -math.sqrt(math.log(1.7976931348623157e308) + math.log(1.7976931348623157e308))


def R_steps(x: float) -> float:
    if x < 0:
        if x < NEG_OVERFLOW:
            return math.inf
        h = x * 0.5
        h = h * x
        try:
            e = math.exp(h)
        except OverflowError:
            e = math.inf
        return e * SQRT_2PI - R_steps(-x)
    if x <= 1.0:
        return SQRT_PI_2 - poly_low(x) * x
    if x >= 9.5:
        if x >= 67000000.0:
            return 1.0 / x
        a = x * x + 3.0
        if x >= 548.0:
            return (a - 1.0) / (a * x)
        order = next((k for k, t in enumerate((59.3, 24.1, 15.1, 11.4)) if x >= t), 4)
        F, G = tail_fg(a, order)
        D = F * a - G
        return (D - F) / (D * x)
    return (1.0 - poly_mid(x)) / x


def poly_d3(x: float) -> float:
    q = x + 3.5
    i = _index((x / q) * 50.0, 44)
    return _horner(TABLES["RTABLE_D3"][i], ((50 - i) * x - i * 3.5) / q)


SQRT_MAX = math.sqrt(1.7976931348623157e308)


def _exp_half_square(x: float) -> float:
    h = x * 0.5
    h = h * x
    try:
        return math.exp(h)
    except OverflowError:
        return math.inf


def _tail_order(x: float, thresholds) -> int:
    return next((k for k, t in enumerate(thresholds) if x >= t), 4)


def R1_steps(x: float) -> float:
    if x < 0:
        if x < NEG_OVERFLOW:
            return math.inf
        r = R1_steps(-x)
        return r - _exp_half_square(x) * (x * SQRT_2PI)
    if x <= 1.0:
        q = SQRT_PI_2 - poly_low(x) * x
        return 1.0 - q * x
    if x >= 11.5:
        a = x * x + 3.0
        if a > SQRT_MAX:
            return 0.0
        if x >= 12800.0:
            return 1.0 / a
        F, G = tail_fg(a, _tail_order(x, (165.0, 41.0, 21.2, 14.5)))
        return F / (F * a - G)
    return poly_mid(x)


def R3_steps(x: float) -> float:
    if x < 0:
        if x < NEG_OVERFLOW:
            return math.inf
        r = R3_steps(-x)
        m = x * x + 3.0
        m = m * (x * SQRT_2PI)
        return r - _exp_half_square(x) * m
    if x >= 17.1:
        a = x * x + 3.0
        if a > SQRT_MAX:
            return 0.0
        F, G = tail_fg(a, _tail_order(x, (17300.0, 210.0, 50.5, 25.4)))
        return G / (F * a - G)
    return poly_d3(x)


def derivatives_exact(x: float) -> tuple[mpmath.mpf, mpmath.mpf]:
    """-R'(x) = 1 - x R(x) and -R'''(x) = x^2 + 2 - (x^3 + 3x) R(x) at 50 digits.  Up to
    |x| = 1e4 from mpmath's erfc at 100 digits, which absorbs the cancellation (at most 25
    digits); beyond, for x > 0 from the asymptotic series of R differentiated term by term,
    for x < 0 from R itself (every term is positive there: nothing cancels)."""
    with mpmath.workdps(100):
        x = mpmath.mpf(x)
        if x < -10_000:
            r = mills_exact(x)
            return 1 - x * r, x * x + 2 - (x ** 3 + 3 * x) * r
        if abs(x) <= 10_000:
            r = mpmath.sqrt(mpmath.pi / 2) * mpmath.exp(x * x / 2) * mpmath.erfc(x / mpmath.sqrt(2))
            return 1 - x * r, x * x + 2 - (x ** 3 + 3 * x) * r
        d1 = d3 = mpmath.mpf(0)
        c = mpmath.mpf(1)  # (-1)^k (2k-1)!!
        for k in range(12):
            d1 += c * (2 * k + 1) / x ** (2 * k + 2)
            d3 += c * (2 * k + 1) * (2 * k + 2) * (2 * k + 3) / x ** (2 * k + 4)
            c *= -(2 * k + 1)
        return d1, d3


# ---------------------------------------------------------------------------------------
# Divided differences

def exact_points(x: float, dx: float, theta: int = 1) -> tuple[mpmath.mpf, mpmath.mpf]:
    """The two points of a divided difference, x - dx and x + dx (dx - x and x + dx for
    theta < 0), exactly as the real numbers that the binary64 inputs define: no rounding."""
    x, dx = mpmath.mpf(x), mpmath.mpf(dx)
    first = mpmath.fsub(dx, x, exact=True) if theta < 0 else mpmath.fsub(x, dx, exact=True)
    return first, mpmath.fadd(x, dx, exact=True)


def dd_exact(x: float, dx: float, theta: int = 1) -> mpmath.mpf:
    """(R(x-dx) - R(x+dx))/(2dx), or (R(dx-x) + R(x+dx))/(2dx) for theta < 0, at the exact
    points, with enough digits to absorb the cancellation of the difference (about
    log10(max(|x|, 1)/|dx|) digits)."""
    extra = 0 if dx == 0 else max(0, int(math.log10(max(abs(x), 1.0)) - math.log10(abs(dx))) + 1)
    with mpmath.workdps(60 + extra):
        first, second = exact_points(x, dx, theta)
        if theta < 0:
            return (mills_exact(first) + mills_exact(second)) / (2 * mpmath.mpf(dx))
        return (mills_exact(first) - mills_exact(second)) / (2 * mpmath.mpf(dx))


def dd_large_exact(x: float, dx: float) -> mpmath.mpf:
    """The divided difference for x - dx >= 1e4 from the asymptotic series of R, each term
    c_k y^-(2k+1) contributing c_k times the divided difference of y^-(2k+1), which is
    sum_j a^-(j+1) b^-(2k+1-j) over j = 0..2k: no cancellation at all."""
    with mpmath.workdps(60):
        a, b = mpmath.mpf(x) - mpmath.mpf(dx), mpmath.mpf(x) + mpmath.mpf(dx)
        total, c = mpmath.mpf(0), mpmath.mpf(1)
        for k in range(10):
            n = 2 * k + 1
            total += c * sum(a ** -(j + 1) * b ** -(n - j) for j in range(n))
            c *= -(2 * k + 1)
        return total


def convergent_dd_ratio(x: float, dx: float, n: int) -> tuple[int, int]:
    """Divided difference of the depth-n convergent A_n/P_n of R (A_-1 = 0, A_0 = 1,
    P_-1 = 1, P_0 = y, A_k = y A_(k-1) + k A_(k-2), P_k likewise; a negative n counts as
    depth 1) at the exact points a = x - dx, b = x + dx, as a fraction of two integers
    (numerator, denominator), not reduced; at dx = 0 the limit, minus the derivative of
    A_n/P_n.  The denominator is 0 at a pole (a or b = 0 at an even depth).

    The points are dyadic, a = alpha/D and b = beta/D with D a power of two, and with
    Ah_k = D^k A_k(a) and Ph_k = D^(k+1) P_k(a) both recurrences run in integers,
    Ah_k = alpha Ah_(k-1) + k D^2 Ah_(k-2): no fraction is reduced on the way, which keeps
    thousands of terms of thousands of bits cheap."""
    from fractions import Fraction
    n = 1 if n < 0 else n
    a, b = Fraction(x) - Fraction(dx), Fraction(x) + Fraction(dx)
    D = max(a.denominator, b.denominator)  # both powers of two: the larger is a multiple
    alpha, beta = a.numerator * (D // a.denominator), b.numerator * (D // b.denominator)
    D2 = D * D

    def convergent(y):
        # (Ah, dAh/dalpha) and (Ph, dPh/dalpha)
        A_prev, A, P_prev, P = (0, 0), (1, 0), (1, 0), (y, 1)
        for k in range(1, n + 1):
            kD2 = k * D2
            A_prev, A = A, (y * A[0] + kD2 * A_prev[0], A[0] + y * A[1] + kD2 * A_prev[1])
            P_prev, P = P, (y * P[0] + kD2 * P_prev[0], P[0] + y * P[1] + kD2 * P_prev[1])
        return A, P

    # A_n/P_n = D Ah_n/Ph_n, and d/da = D d/dalpha
    if alpha == beta:
        (A, dA), (P, dP) = convergent(alpha)
        return D2 * (A * dP - dA * P), P * P
    (Aa, _), (Pa, _) = convergent(alpha)
    (Ab, _), (Pb, _) = convergent(beta)
    return D2 * (Aa * Pb - Ab * Pa), Pa * Pb * (beta - alpha)


def convergent_dd_mp(x: float, dx: float, n: int, bits: int = 80) -> mpmath.mpf | None:
    """convergent_dd_ratio to `bits` correct bits in floating point, for depths and points
    whose exact integers would run to millions of bits; None at a pole.  A_k and P_k at one
    point never cancel (for y > 0 every term is positive, for y < 0 the two terms of each
    step share the sign (-1)^k), nor do their derivatives, so each is good to about
    3k ulps of the working precision; the one cancellation is in A(a) P(b) - A(b) P(a) (or
    A P' - A' P at dx = 0), whose loss is measured, and the evaluation is repeated with as
    many more bits whenever it exceeds the margin."""
    return convergent_dd_at(*exact_points(x, dx), n, bits)


def convergent_dd_at(a: mpmath.mpf, b: mpmath.mpf, n: int, bits: int = 80) -> mpmath.mpf | None:
    """convergent_dd_mp at the points a and b themselves (exact mpf values)."""
    n = 1 if n < 0 else n
    prec = bits + 2 * n.bit_length() + 20
    while True:
        with mpmath.workprec(prec):
            def convergent(y):
                A_prev, A, P_prev, P = (0, 0), (1, 0), (1, 0), (y, 1)
                for k in range(1, n + 1):
                    A_prev, A = A, (y * A[0] + k * A_prev[0], A[0] + y * A[1] + k * A_prev[1])
                    P_prev, P = P, (y * P[0] + k * P_prev[0], P[0] + y * P[1] + k * P_prev[1])
                return A, P

            if a == b:
                (A, dA), (P, dP) = convergent(a)
                first, second, den = A * dP, dA * P, P * P
            else:
                (Aa, _), (Pa, _) = convergent(a)
                (Ab, _), (Pb, _) = convergent(b)
                first, second, den = Aa * Pb, Ab * Pa, Pa * Pb * (b - a)
            if den == 0:
                return None
            num = first - second
            if num == 0:
                if first == 0 or prec > 20_000:   # zero to 2^-20000: the difference vanishes
                    return mpmath.mpf(0)
                prec *= 2
                continue
            lost = int(mpmath.log(max(abs(first), abs(second)) / abs(num), 2)) + 1
            if prec - lost >= bits + 2 * n.bit_length() + 10:
                return num / den
            prec += lost + 32


def convergent_dd_exact(x, dx, n):
    """convergent_dd_ratio as a Fraction (ZeroDivisionError at a pole)."""
    from fractions import Fraction
    return Fraction(*convergent_dd_ratio(x, dx, n))


def dd_cf_steps(x: float, dx: float, n: int) -> float:
    b = x + dx
    a = x - dx
    d = b * a
    if n == 0:
        return 1 / d if d != 0 else math.copysign(math.inf, d)
    V0, T0, Pb0, Pa0 = 1.0, -1.0, b, a
    V1 = d - 1.0
    Pb1 = b * b + 1.0
    Pa1 = a * a + 1.0
    r = b * b + a * a
    T1 = r + 1.0
    if n >= 2:
        u = d + d
        for k in range(2, n + 1):
            i = float(k)
            V2 = (i * V0 + T1) * i + V1 * d
            T2 = ((i - 1.0) * T0 + u * V0) * i + V1 * r
            Pa2 = i * Pa0 + Pa1 * a
            Pb2 = i * Pb0 + Pb1 * b
            V0, V1, T0, T1, Pa0, Pa1, Pb0, Pb1 = V1, V2, T1, T2, Pa1, Pa2, Pb1, Pb2
    return V1 / (Pb1 * Pa1)


def dd_steps(x: float, dx: float, theta: int) -> float:
    """The written steps of the divided difference, the difference branch on |dx| (it is even
    in dx).  Where a value of R overflows these give inf or nan; the kernel does better there."""
    if theta < 0:
        return (R_steps(dx - x) + R_steps(x + dx)) / (dx + dx)
    dx = abs(dx)
    if not dx < (x + 1.25) * 0.0392:
        if dx == 0:
            return R1_steps(x)
        return (R_steps(x - dx) - R_steps(x + dx)) / (dx + dx)
    m = x - dx
    for limit, depth in ((12800.0, 2), (165.0, 4), (41.0, 6), (21.2, 8)):
        if m >= limit:
            return dd_cf_steps(x, dx, depth)
    e = x * x + 3
    f = R3_steps(x)
    g = (f + 1) / e
    s = dx * dx
    h = (e + 4) * f - g * 6
    l = (e + 8) * h - f * 20
    q = (e + 12) * l - h * 42
    return ((((q * (s / 72) + l) * (s / 42) + h) * (s / 20) + f) * (s / 6)) + g


# ---------------------------------------------------------------------------------------
# Interval means

def logrel_exact(x: float) -> mpmath.mpf:
    """log(1 + x)/x, 1 at x = 0, at 60 digits (log1p keeps the small logarithm near 0)."""
    if x == 0:
        return mpmath.mpf(1)
    with mpmath.workdps(60):
        x = mpmath.mpf(x)
        return mpmath.log1p(x) / x


def powrel_exact(x: float, a: float) -> mpmath.mpf:
    """((1 + x)^a - 1)/(a x), 1 at x = 0 and log(1 + x)/x at a = 0, at 80 digits (expm1 of
    t = a log1p(x) keeps every digit of a tiny t, down to the subnormal range)."""
    if x == 0:
        return mpmath.mpf(1)
    if a == 0:
        return logrel_exact(x)
    with mpmath.workdps(80):
        x, a = mpmath.mpf(x), mpmath.mpf(a)
        t = a * mpmath.log1p(x)
        if abs(t) > 10_000:  # e^t - 1 is e^t or -1 to far beyond 80 digits: no huge exp
            return mpmath.exp(t - mpmath.log(a * x)) if t > 0 else -1 / (a * x)
        return mpmath.expm1(t) / (a * x)
