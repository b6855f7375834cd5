"""The kernels' own exp, log, log1p and expm1 (elementary.hpp), compiled from the installed
header, against mpmath: within one ulp (log1p: 1.5, expm1: 1.2) everywhere, subnormals included,
and the IEEE special values.
The lane sets evaluate the same text; tests/test_truncnorm_lanes.py holds them to its bits."""

import math
import subprocess

import mpmath
import numpy as np
import pytest

from support import compile_with_kernels

PROGRAM = r"""
#include <cstdio>
#include "elementary.hpp"

int main() {
    double x;
    while (std::scanf("%la", &x) == 1)
        std::printf("%a %a %a %a\n", veltra::elementary::exp(x), veltra::elementary::log(x),
                    veltra::elementary::log1p(x), veltra::elementary::expm1(x));
}
"""

SMALLEST_NORMAL = 2.2250738585072014e-308
# Measured within 1.15 ulp over the whole range (the worst at k = 0 next to x = log(2)/2).
EXPM1_ULPS = 1.2


@pytest.fixture(scope="module")
def elementary(tmp_path_factory):
    exe = compile_with_kernels(tmp_path_factory.mktemp("elementary"), PROGRAM)
    if exe is None:
        pytest.skip("no C++ compiler")

    def run(xs: np.ndarray) -> np.ndarray:
        out = subprocess.run([str(exe)], input="\n".join(float(v).hex() for v in xs), capture_output=True,
                             text=True, check=True).stdout.split()
        return np.array([float.fromhex(v) for v in out]).reshape(-1, 4).T

    return run


@pytest.fixture(scope="module")
def exp(elementary):
    return lambda xs: elementary(xs)[0]


def ulp_error(x: float, got: float, f=mpmath.exp) -> float:
    """|got - f(x)| in units of the last place of f(x) (the subnormal spacing below the normals)."""
    with mpmath.workprec(120):
        true = f(mpmath.mpf(x))
        t = float(true)
        unit = 5e-324 if abs(t) < SMALLEST_NORMAL else math.ulp(t)
        return float(abs(mpmath.mpf(got) - true) / unit)


@pytest.mark.parametrize("lo, hi", [(-745.2, 709.8), (-1.0, 1.0), (-1e-6, 1e-6), (-745.2, -700.0), (700.0, 709.8),
                                    (-0.36, -0.34), (0.34, 0.36)])
def test_within_one_ulp(exp, lo, hi):
    rng = np.random.default_rng(int(abs(lo * 1000 + hi)))
    xs = rng.uniform(lo, hi, 4000)
    got = exp(xs)
    worst = max(ulp_error(x, g) for x, g in zip(xs, got))
    assert worst < 0.8


def test_boundaries_and_special_values(exp):
    overflow = 709.782712893384     # log(DBL_MAX) rounded down
    underflow = -745.1332191019412  # log(2^-1075) to the nearest double, below it
    xs = np.array([0.0, -0.0, overflow, np.nextafter(overflow, np.inf), np.nextafter(underflow, np.inf), underflow,
                   np.inf, -np.inf, np.nan, 5e-324, -5e-324, 1.0, math.log(2.0), -708.3964185322641])
    got = exp(xs)
    assert got[0] == 1.0 and got[1] == 1.0
    assert got[2] == 1.7976931348622732e308 and got[3] == math.inf
    assert got[4] == 5e-324 and got[5] == 0.0
    assert got[6] == math.inf and got[7] == 0.0 and math.isnan(got[8])
    assert got[9] == 1.0 and got[10] == 1.0
    assert got[11] == math.e and got[12] == 2.0
    assert ulp_error(xs[13], got[13]) < 0.8  # next to the smallest normal


def test_monotone_across_the_reduction_steps(exp):
    """Next to the points k log(2) + log(2)/2 where the reduction switches k, e^x must not step
    back: neighbouring doubles give non-decreasing results."""
    centres = (np.arange(-1070, 1020, 37) + 0.5) * math.log(2.0)
    xs = np.concatenate([[float(np.nextafter(c, -np.inf)), float(c), float(np.nextafter(c, np.inf))] for c in centres])
    got = exp(xs).reshape(-1, 3)
    assert np.all(np.diff(got, axis=1) >= 0)


# Arguments where rounding the reduced argument r, the square f^2/2 of the logarithm, or e^r
# before scaling it into the subnormals cost 0.81 to 0.88 ulp; each with a narrow window
# around it.
HARD_ARGUMENTS = {
    "exp, |r| next to log(2)/2": (0, -float.fromhex("0x1.638d3a4e6582p-2")),
    "exp, large k": (0, float.fromhex("0x1.61ae58160ea68p+9")),
    "exp, negative k": (0, -float.fromhex("0x1.a6d0bc91592f8p+6")),
    "exp, subnormal result": (0, -float.fromhex("0x1.62612ee6bbe89p+9")),
    "exp, subnormal result near the normals": (0, -float.fromhex("0x1.62608a739b32ep+9")),
    "log, below sqrt(1/2)": (1, float.fromhex("0x1.6a095b59f18dbp-1")),
    "log, below sqrt(2)": (1, float.fromhex("0x1.6a09345484a3bp+0")),
    "log, between": (1, float.fromhex("0x1.684e6c9733e0fp-1")),
}


@pytest.mark.parametrize("which, x", HARD_ARGUMENTS.values(), ids=HARD_ARGUMENTS.keys())
def test_hard_arguments_within_three_quarters_of_an_ulp(elementary, which, x):
    xs = np.concatenate([[x], x * (1 + np.random.default_rng(10).uniform(-1e-6, 1e-6, 3000))])
    got = elementary(xs)[which]
    f = (mpmath.exp, mpmath.log)[which]
    assert max(ulp_error(v, g, f) for v, g in zip(xs, got)) < 0.75


@pytest.mark.parametrize("xs", [
    np.exp(np.random.default_rng(4).uniform(-744, 709, 6000)),  # every binade, subnormals
    np.random.default_rng(5).uniform(0.7, 1.5, 4000),           # around 1, both reductions
    1 + np.random.default_rng(6).uniform(-1e-6, 1e-6, 2000),
], ids=["range", "near one", "next to one"])
def test_log_within_one_ulp(elementary, xs):
    got = elementary(xs)[1]
    assert max(ulp_error(x, g, mpmath.log) for x, g in zip(xs, got) if x != 1.0) < 0.8


@pytest.mark.parametrize("ys", [
    np.random.default_rng(7).uniform(-0.5, 0.5, 4000),
    -np.exp(np.random.default_rng(8).uniform(-700, np.log(0.999), 3000)),  # -1 < y < 0 down to subnormal
    np.exp(np.random.default_rng(9).uniform(-700, 700, 3000)),
], ids=["central", "negative", "positive"])
def test_log1p_within_one_and_a_half_ulp(elementary, ys):
    got = elementary(ys)[2]
    assert max(ulp_error(y, g, mpmath.log1p) for y, g in zip(ys, got)) < 1.5


def test_log_special_values(elementary):
    xs = np.array([0.0, -0.0, -1.0, np.inf, -np.inf, np.nan, 5e-324, 1.0, 2.0, -1e-300])
    _, log, log1p, _ = elementary(xs)
    assert log[0] == -math.inf and log[1] == -math.inf and math.isnan(log[2]) and log[3] == math.inf
    assert math.isnan(log[4]) and math.isnan(log[5]) and log[6] == -744.4400719213812
    assert log[7] == 0.0 and log[8] == math.log(2.0) and math.isnan(log[9])
    assert log1p[0] == 0.0 and math.copysign(1, log1p[1]) == -1 and log1p[2] == -math.inf
    assert log1p[3] == math.inf and math.isnan(log1p[4]) and math.isnan(log1p[5])
    assert log1p[6] == 5e-324 and log1p[7] == math.log(2.0) and log1p[9] == -1e-300


@pytest.mark.parametrize("xs", [
    np.random.default_rng(11).uniform(-0.36, 0.36, 4000),   # k = 0: x + x^2 p(x)
    np.random.default_rng(12).uniform(-3.0, 3.0, 4000),     # small k, where 2^k - 1 and the rest meet
    np.random.default_rng(13).uniform(-45.0, 709.7, 3000),  # to -1 and to the overflow
    np.exp(np.random.default_rng(14).uniform(-740, -1, 2000)) * np.random.default_rng(15).choice([-1, 1], 2000),
    # k = 1, where 1 + 2 (e^r - 1) would round twice (up to 1.63 ulp), and k = 54 to 56, where
    # 2^k - 1 itself rounds (up to 1.28 ulp)
    np.array([0.3474740190957773, 0.35025883547044057, 0.3581232762727044, 0.39233601086152547,
              0.36035527148984592, 0.37141146794514157]),
    np.random.default_rng(16).uniform(36.7, 39.0, 3000),
], ids=["central", "small k", "range", "tiny", "k = 1", "k = 54"])
def test_expm1_within_1_2_ulp(elementary, xs):
    got = elementary(xs)[3]
    assert max(ulp_error(x, g, mpmath.expm1) for x, g in zip(xs, got)) < EXPM1_ULPS


def test_expm1_special_values(elementary):
    xs = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 5e-324, -5e-324, 709.79, -41.0, 1e-300])
    got = elementary(xs)[3]
    assert got[0] == 0.0 and math.copysign(1, got[1]) == -1 and got[2] == math.inf and got[3] == -1.0
    assert math.isnan(got[4]) and got[5] == 5e-324 and got[6] == -5e-324 and got[7] == math.inf
    assert got[8] == -1.0 and got[9] == 1e-300
