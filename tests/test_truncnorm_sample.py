"""The rejection sampler behind veltra.stats.truncnorm.rvs (_kernels/truncnorm_sample.hpp,
through veltra.truncnorm._sample): the law of its variates in every regime and on both sides
of every switch between methods, against veltra.truncnorm.cdf (itself held to mpmath) and
against exact cell probabilities in mpmath where the variates take few values; moments of
large samples; special intervals; the prepared form; threads sharing a generator."""

import math
import subprocess
import threading
from concurrent.futures import ThreadPoolExecutor

import mpmath
import numpy as np
import pytest
from scipy import stats

import veltra.truncnorm as tn
from veltra.stats import truncnorm

from support import compile_with_kernels

INF = math.inf
DBL_MAX = float(np.finfo(float).max)
#: The seeds are fixed, so every p-value below is a fixed number; a correct sampler gives
#: p-values spread over (0, 1), one with an error of a few percent p below 1e-20 at 20000.
P_MIN = 1e-4
#: Bound on |z| of a sample mean or variance against the exact moments (1e6 variates).
Z_MAX = 5.0


def draw(a, b, n, seed=2024):
    """n variates of one interval, through the prepared form (one-element bounds)."""
    out = np.empty(n)
    tn._sample(np.array([a], float), np.array([b], float), np.random.default_rng(seed).bit_generator, out)
    return out


# Both sides of every switch between methods (the comment names the switch), every regime, far
# tails, infinite ends, and intervals mirrored onto a + b >= 0.
KS_INTERVALS = [
    (0.0, 1.40), (0.0, 1.45),                    # flat | exponential, w (lo + w/4) = 1/2
    (3.0, 3.16), (3.0, 3.17), (1e4, 1e4 + 4.9e-5), (1e4, 1e4 + 5.1e-5),
    (0.2, 2.28), (0.2, 2.32), (0.249, INF), (0.251, INF), (0.0, INF),  # exponential | half-normal
    (1.0, 1.47), (1.0, 1.65),                    # exponential: peak at w | at 1/lambda
    (10.0, 13.6), (10.0, 13.7),                  # exponential truncated | not, lambda w = 37
    (-0.5, 1.59), (-0.5, 1.61), (-1.5, 1.59), (-1.5, 1.61),  # flat mode | split, | normal
    (-0.99, 2.0), (-1.01, 2.0), (-0.01, 3.0),    # split | normal
    (-INF, INF), (-3.0, INF), (-2.32, -0.2), (-1.61, 0.5), (-9.0, -8.0),
    (8.0, 9.0), (30.0, 30.001), (40.0, INF), (-INF, -35.0), (5e-324, 38.0), (-1e-8, 1e-8),
    (1e4, 1e4 + 1e-3), (-DBL_MAX, DBL_MAX),
]


@pytest.mark.parametrize("a, b", KS_INTERVALS)
def test_variates_follow_the_cdf(a, b):
    x = draw(a, b, 20_000)
    assert np.all((x >= a) & (x <= b))
    assert stats.kstest(x, lambda v: tn.cdf(v, a, b)).pvalue > P_MIN


def cell_masses(atoms, hi):
    """Masses of N(0, 1) on [atoms[0], hi] rounded to the nearest of the doubles `atoms`
    (consecutive, the last cell taking the rest up to hi), in mpmath: differences of erfc at
    the cells' ends, with the digits that a cell 5e-324 wide next to 0 needs."""
    with mpmath.workdps(400):
        ends = [mpmath.mpf(atoms[0])] + [(mpmath.mpf(u) + mpmath.mpf(v)) / 2 for u, v in zip(atoms, atoms[1:])]
        upper = [mpmath.erfc(e / mpmath.sqrt(2)) for e in ends + [mpmath.mpf(hi)]]
        masses = [u - v for u, v in zip(upper, upper[1:])]
        return np.array([float(m / sum(masses)) for m in masses])


@pytest.mark.parametrize("lo, hi", [
    (1e8, 1e8 + 1.0), (1e8, np.nextafter(1e8, INF)), (1.0, np.nextafter(1.0, 2.0)), (30.0, np.nextafter(30.0, 31.0)),
    (2.0 ** 26, 2.0 ** 26 + 2.0 ** -24), (0.0, 5e-324), (1e12, np.nextafter(1e12, INF)),
    (2.0 ** 25, np.nextafter(2.0 ** 25, INF)),   # flat, the density falling by e^-0.25 across
])
@pytest.mark.parametrize("mirrored", [False, True])
def test_variates_on_few_doubles_follow_the_exact_cell_masses(lo, hi, mirrored):
    """Where the density falls by a large factor within an ulp the variates take a handful of
    values: each must come with the mass of the points of the continuous law that round to it."""
    atoms = [lo]
    while atoms[-1] < hi and len(atoms) < 12:
        atoms.append(float(np.nextafter(atoms[-1], INF)))
    expected = cell_masses(atoms, hi) * 200_000
    x = -draw(-hi, -lo, 200_000) if mirrored else draw(lo, hi, 200_000)
    counts = np.array([np.sum(x == v) for v in atoms[:-1]] + [np.sum(x >= atoms[-1])])
    assert counts.sum() == x.size
    # cells expected to hold fewer than 5 variates are tested together, by a Poisson bound
    big = expected >= 5
    assert counts[~big].sum() <= 20 + 3 * expected[~big].sum()
    if big.sum() > 1:
        observed = counts[big]
        assert stats.chisquare(observed, expected[big] * observed.sum() / expected[big].sum()).pvalue > P_MIN


@pytest.mark.parametrize("a, b", [
    (-1.0, 2.0), (-0.5, 1.5), (-3.0, 3.0), (0.0, 1.0), (0.0, INF), (0.2, 3.0), (1.0, INF), (1.0, 1.47),
    (40.0, INF), (30.0, 30.001), (-INF, -8.0),
])
def test_sample_moments(a, b):
    x = draw(a, b, 1_000_000, seed=7)
    _, mean, var = tn.moments(a, b)
    centred = x - mean
    assert abs(centred.mean()) <= Z_MAX * math.sqrt(var / x.size)
    squares = centred * centred
    assert abs(squares.mean() - var) <= Z_MAX * math.sqrt(squares.var() / x.size)


def test_special_intervals_bounds_and_argument_errors():
    a = np.array([np.nan, 1.0, 2.0, 1.5, INF, -INF, -INF, 0.0, DBL_MAX / 2, -DBL_MAX, 1e308])
    b = np.array([1.0, np.nan, 1.0, 1.5, INF, -INF, INF, 0.0, DBL_MAX, DBL_MAX, INF])
    out = np.empty(a.size)
    tn._sample(a, b, np.random.default_rng(1).bit_generator, out)
    assert np.array_equal(out[:6], [np.nan, np.nan, np.nan, 1.5, np.nan, np.nan], equal_nan=True)
    assert np.isfinite(out[6]) and out[7] == 0.0 and out[8] == DBL_MAX / 2 and out[10] == 1e308
    rng = np.random.default_rng(3)
    lo = np.concatenate([rng.uniform(-50, 50, 2000), -(10.0 ** rng.uniform(-320, 308, 2000)),
                         10.0 ** rng.uniform(-320, 308, 2000)])
    with np.errstate(over="ignore"):
        hi = lo + np.concatenate([10.0 ** rng.uniform(-15, 2, 4000), np.full(2000, INF)]) * np.maximum(1.0, np.abs(lo))
    out = np.empty(lo.size)
    tn._sample(lo, hi, rng.bit_generator, out)
    assert np.all((out >= lo) & (out <= hi))
    with pytest.raises(ValueError, match="one element or as many as out"):
        tn._sample(lo[:2], hi[:3], rng.bit_generator, out[:3])
    with pytest.raises(TypeError, match="float64"):
        tn._sample(lo, hi, rng.bit_generator, np.empty(lo.size, np.float32))


@pytest.mark.parametrize("a, b", [(0.0, 1.0), (1.0, INF), (1.0, 1.6), (0.0, INF), (-0.5, 1.5), (-1.0, 2.0),
                                  (-3.0, 3.0), (-9.0, -8.0), (1.5, 1.5), (2.0, 1.0)])
def test_prepared_bounds_give_the_per_element_variates(a, b):
    n = 5000
    full = np.empty(n)
    tn._sample(np.full(n, a), np.full(n, b), np.random.default_rng(5).bit_generator, full)
    assert np.array_equal(draw(a, b, n, seed=5), full, equal_nan=True)
    half = np.empty(n)
    tn._sample(np.full(n, a), np.array([b]), np.random.default_rng(5).bit_generator, half)
    assert np.array_equal(half, full, equal_nan=True)


def test_threads_sharing_a_generator_take_disjoint_uniforms():
    """The sampler runs without the GIL under the bit generator's lock: two threads drawing
    from one Generator never see the same state (without the lock they do)."""
    rng = np.random.default_rng(11)
    start = threading.Barrier(2)

    def work(_):
        start.wait()
        return np.concatenate([truncnorm.rvs(-1.0, 2.0, size=50_000, random_state=rng) for _ in range(20)])

    with ThreadPoolExecutor(max_workers=2) as pool:
        everything = np.concatenate(list(pool.map(work, range(2))))
    assert np.unique(everything).size == everything.size == 2_000_000


# A source that always returns the same number: every method still ends, inside [a, b].
DEGENERATE_SOURCES = r"""
#include <cstdio>
#include <initializer_list>
#include "truncnorm_sample.hpp"
struct Constant { double u; double operator()() { return u; } };
int main() {
    const double cases[][2] = {{0, 1}, {1, 1.6}, {1, 1e300}, {0, 3}, {-0.5, 1.5}, {-0.5, 3}, {-3, 3}, {40, 1e308}};
    for (double u : {0.0, 0.5, 1.0 - 0x1p-53}) {
        Constant constant{u};
        veltra::truncnorm::Source<Constant> source(constant);
        for (const auto& c : cases) {
            const double x = veltra::truncnorm::sample(c[0], c[1], source);
            if (!(x >= c[0] && x <= c[1])) return 1;
        }
    }
    std::puts("ok");
}
"""


def test_degenerate_source_ends_inside_the_interval(tmp_path):
    exe = compile_with_kernels(tmp_path, DEGENERATE_SOURCES)
    if exe is None:
        pytest.skip("no C++ compiler")
    assert subprocess.run([str(exe)], capture_output=True, text=True, timeout=60).stdout == "ok\n"
