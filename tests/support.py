"""Independent references for the tests: mpmath values and the written kernel steps."""

from __future__ import annotations

import math
import re
from pathlib import Path

import mpmath

ROOT = Path(__file__).resolve().parent.parent
KERNELS = ROOT / "src" / "veltra" / "_kernels"
TABLES_HEADER = KERNELS / "mills_tables.hpp"

#: Relative error bound of R(x) for x >= 0.
R_REL_BOUND = 7e-16

SQRT_2PI = 2.5066282746310007
SQRT_PI_2 = 1.2533141373155003


def reflection_bound(x: float) -> float:
    """Relative error bound of R(x) for x < 0: the argument x^2/2 of exp is rounded, so the
    error grows like half an ulp of x^2/2 on top of the few roundings of the formula."""
    return 1e-15 + (x * x / 2) * 2.0 ** -53 * 1.05


def mills_exact(x: float) -> mpmath.mpf:
    """R(x) = N(-x)/n(x) at 50 digits.  mpmath's erfc covers |x| <= 1e4; beyond, the
    asymptotic series 1/x * sum (-1)^k (2k-1)!! / x^(2k) has terms that fall faster than
    1e-8 per step, so twelve terms settle every digit that matters."""
    with mpmath.workdps(50):
        x = mpmath.mpf(x)
        if x <= 10_000:
            return mpmath.sqrt(mpmath.pi / 2) * mpmath.exp(x * x / 2) * mpmath.erfc(x / mpmath.sqrt(2))
        total, term = mpmath.mpf(0), mpmath.mpf(1)
        for k in range(12):
            total += term
            term *= -(2 * k + 1) / (x * x)
        return total / x


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
