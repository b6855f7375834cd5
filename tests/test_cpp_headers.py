"""The kernel headers, compiled into a plain C++ program, give the Python functions' bits."""

import math
import subprocess

import numpy as np
import pytest

import veltra
from veltra.intmean import logrel, powrel
from veltra.mills import millsratio, millsratio_d1, millsratio_d3, millsratio_rel_below1
from veltra.ratiodiff import millsratio_dd, millsratio_dd_cf

from support import compile_with_kernels, tail_fg

PROGRAM = r"""
#include <cstdio>
#include "intmean.hpp"
#include "mills.hpp"
#include "ratiodiff.hpp"

int main() {
    double x;
    int order;
    while (std::scanf("%la %d", &x, &order) == 2) {
        const auto t = veltra::_R013_CF(x, order);
        const double dx = 0.01 * x;
        std::printf("%a %a %a %a %a %a %a %a %a %a %a\n", veltra::_R(x), veltra::_R1(x), veltra::_R3(x),
                    veltra::_Rrel_below1(x), t.R, t.R1, t.R3, veltra::_R_DD(x, dx, 1),
                    veltra::_R_DD_CF(x, dx, order), veltra::_logrel(x), veltra::_powrel(x, 1.5));
    }
    // The single-precision instances compile from the same templates.
    return veltra::_R(1.5f) > 0.0f ? 0 : 1;
}
"""


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    exe = compile_with_kernels(tmp_path_factory.mktemp("cpp"), PROGRAM)
    if exe is None:
        pytest.skip("no C++ compiler")
    return exe


def test_headers_are_installed():
    import os
    assert {"elementary.hpp", "mills.hpp", "mills_tables.hpp", "ratiodiff.hpp", "intmean.hpp", "truncnorm.hpp",
            "truncnorm_sample.hpp", "truncnorm_anchor.hpp"} <= set(os.listdir(veltra.get_include()))


def test_same_bits_as_python(program):
    rng = np.random.default_rng(8)
    xs = np.concatenate([rng.uniform(-38, 40, 400), np.logspace(-5, 300, 100), [0.0, -0.0, math.inf, math.nan, 1.0, 11.5]])
    orders = rng.integers(0, 5, xs.size)
    stdin = "".join(f"{float(x).hex()} {int(k)}\n" for x, k in zip(xs, orders))
    out = subprocess.run([str(program)], input=stdin, capture_output=True, text=True, check=True).stdout.splitlines()
    assert len(out) == xs.size
    for x, k, line in zip(xs.tolist(), orders.tolist(), out):
        got = [float.fromhex(v) for v in line.split()]
        expected = [millsratio(x), millsratio_d1(x), millsratio_d3(x)]
        assert np.array_equal(got[:3], expected, equal_nan=True), x
        if 0 <= x <= 1:
            assert got[3] == millsratio_rel_below1(x)
        assert np.array_equal(got[7:9], [millsratio_dd(x, 0.01 * x), millsratio_dd_cf(x, 0.01 * x, k)], equal_nan=True)
        if x > -1:
            assert np.array_equal(got[9:], [logrel(x), powrel(x, 1.5)], equal_nan=True)
        a = x * x + 3.0
        F, G = tail_fg(a, k)
        D = F * a - G
        if math.isfinite(x) and x > 1:
            assert np.array_equal(got[4:7], [(D - F) / (D * x), F / D, G / D], equal_nan=True), (x, k)


@pytest.mark.parametrize("x", [17300.0, 1e5, 1e30])
def test_r013_cf_order_zero_is_accurate_in_the_far_tail(program, x):
    out = subprocess.run([str(program)], input=f"{x.hex()} 0\n", capture_output=True, text=True, check=True).stdout
    r, r1, r3 = (float.fromhex(v) for v in out.split()[4:7])
    assert r == pytest.approx(millsratio(x), rel=1e-15)
    assert r1 == pytest.approx(millsratio_d1(x), rel=1e-15)
    assert r3 == pytest.approx(millsratio_d3(x), rel=1e-15)
