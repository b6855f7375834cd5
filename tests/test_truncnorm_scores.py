"""veltra.truncnorm.log_prob_grad, the derivatives of log P in the ends of [a, b]: against the
mpmath reference (tests/truncnorm_reference.py) where P is tiny, near 1, far in a tail and
where phi(a) and P leave the doubles' range; its special values and its ufunc behaviour."""

from __future__ import annotations

import doctest
import math
import random
import subprocess

import numpy as np
import pytest

pytest.importorskip("mpmath")

import veltra.truncnorm as tn  # noqa: E402

import truncnorm_reference as ref  # noqa: E402
from support import compile_with_kernels  # noqa: E402

SCORE_RTOL = 1e-14
INF = math.inf
NAN = math.nan
LARGEST = 1.7976931348623157e308


def rel(got, want):
    """Relative error, below the normal range relative to 2^-1022."""
    if got == want:
        return 0.0
    return abs(got - want) / max(abs(want), 2.0 ** -1022)


def check_scores(intervals):
    a = np.array([i[0] for i in intervals])
    b = np.array([i[1] for i in intervals])
    lower, upper = tn.log_prob_grad(a, b)
    failures = []
    for k, (lo, hi) in enumerate(intervals):
        want = ref.log_prob_grad(lo, hi)
        for got, exact in zip((lower[k], upper[k]), want):
            if not rel(got, exact) <= SCORE_RTOL:
                failures.append((lo, hi, got, exact))
    assert not failures, failures[:10]


SCORE_INTERVALS = [
    *ref.HARD_INTERVALS,
    (0.0, INF), (-1.0, 1.0), (-30.0, 30.0), (-37.0, 38.5), (-INF, -40.0), (-INF, 3.0),
    (0.0, 5e-300), (1e-300, 2e-300), (-1e-300, 1e-300), (1.0, math.nextafter(1.0, 2.0)),
    (1e9, 1e9 + 6 * 2.0 ** -23),      # e^-z at b subnormal (z = 715), f(b) a normal number
    (1e9, 1e9 + 6.3 * 2.0 ** -23),    # the same, f(b) subnormal
    (30.0, 70.0), (0.0, 38.6),        # f(b) below the subnormals: 0
    (2.0 ** 1000, INF), (-2.0 ** 1000 * 1.001, -2.0 ** 1000 * 0.999),
    (4.6e307, INF), (LARGEST / 2, LARGEST), (LARGEST, INF),  # 1/R(a) with R(a) subnormal
]


@pytest.mark.parametrize("kind", ("hard",) + ref.KINDS)
def test_scores_against_mpmath(kind):
    # The hard intervals' mirror images: test_mirror_swaps_and_negates.
    rng = random.Random(f"scores {kind}")
    check_scores(SCORE_INTERVALS if kind == "hard" else [ref.random_interval(rng, kind) for _ in range(20)])


def test_scores_are_minus_the_density_and_the_density_at_the_ends():
    # Identities with the pdf ufunc: the same bits wherever its product stays in range.
    a, b = np.array(ref.random_intervals(400, 5)).T
    lower, upper = tn.log_prob_grad(a, b)
    finite_a, finite_b = np.isfinite(a), np.isfinite(b)
    assert np.array_equal(lower[finite_a], -tn.pdf(a, a, b)[finite_a])
    assert np.array_equal(upper[finite_b], tn.pdf(b, a, b)[finite_b])
    assert (lower[~finite_a] == 0).all() and (upper[~finite_b] == 0).all()


@pytest.mark.parametrize("a, b, expected", [
    (2.0, 2.0, (-INF, INF)), (-INF, INF, (-0.0, 0.0)), (40.0, INF, (None, 0.0)), (-INF, -40.0, (-0.0, None)),
    (3.0, 1.0, (NAN, NAN)), (NAN, 1.0, (NAN, NAN)), (0.0, NAN, (NAN, NAN)), (INF, INF, (NAN, NAN)),
    (-INF, -INF, (NAN, NAN)), (0.0, 5e-324, (-INF, INF)),  # 1/(b - a) beyond the largest double
])
def test_special_intervals(a, b, expected):
    got = tn.log_prob_grad(a, b)
    for g, e in zip(got, expected):
        if e is not None:
            assert np.array_equal(g, e, equal_nan=True) and np.signbit(g) == np.signbit(e)


def test_mirror_swaps_and_negates():
    a, b = np.array(ref.random_intervals(200, 6)).T
    lower, upper = tn.log_prob_grad(a, b)
    m_lower, m_upper = tn.log_prob_grad(-b, -a)
    assert np.array_equal(lower, -m_upper) and np.array_equal(upper, -m_lower)


def test_ufunc_loops_broadcasting_out_and_where():
    u = tn.log_prob_grad
    assert isinstance(u, np.ufunc) and (u.nin, u.nout) == (2, 2) and u.types == ["ff->ff", "dd->dd"]
    a = np.array([[-1.0], [2.0], [30.0]])
    b = np.array([30.5, 32.0, INF, 40.0])
    lower, upper = u(a, b)
    assert lower.shape == upper.shape == (3, 4)
    outs = (np.full((3, 4), 7.0), np.full((3, 4), 7.0))
    mask = b < 35
    got = u(a, b, out=outs, where=mask)
    assert got[0] is outs[0] and got[1] is outs[1]
    assert (outs[0][:, ~mask] == 7.0).all() and np.array_equal(outs[1][:, mask], upper[:, mask])
    a32, b32 = a.astype(np.float32), b.astype(np.float32)
    for got32, want in zip(u(a32, b32), u(a32.astype(float), b32.astype(float))):
        assert got32.dtype == np.float32 and np.array_equal(got32, want.astype(np.float32))
    with np.errstate(all="raise"):
        u([1e9, 0.0, LARGEST, -1e-300], [1e9 + 6 * 2.0 ** -23, 5e-324, INF, 1e-300])


def test_docstring_example_runs():
    doc = tn.log_prob_grad.__doc__
    test = doctest.DocTestParser().get_doctest(doc, {"truncnorm": tn, "np": np}, "log_prob_grad", None, 0)
    assert test.examples and doctest.DocTestRunner().run(test, out=lambda s: None).failed == 0


PROGRAM = r"""
#include <cstdio>
#include "truncnorm/scores.hpp"

int main() {
    double a, b;
    while (std::scanf("%la %la", &a, &b) == 2) {
        const auto s = veltra::truncnorm::log_prob_grad(a, b);
        std::printf("%a %a\n", s.lower, s.upper);
    }
    return 0;
}
"""


def test_installed_header_gives_the_ufuncs_bits(tmp_path):
    exe = compile_with_kernels(tmp_path, PROGRAM)
    if exe is None:
        pytest.skip("no C++ compiler")
    a, b = np.array(ref.random_intervals(100, 7) + [(2.0, 2.0), (LARGEST, INF), (1e9, 1e9 + 6 * 2.0 ** -23)]).T
    stdin = "".join(f"{x.hex()} {y.hex()}\n" for x, y in zip(a.tolist(), b.tolist()))
    out = subprocess.run([str(exe)], input=stdin, capture_output=True, text=True, check=True).stdout.split()
    got = np.array([float.fromhex(v) for v in out]).reshape(-1, 2)
    assert np.array_equal(got, np.column_stack(tn.log_prob_grad(a, b)))
