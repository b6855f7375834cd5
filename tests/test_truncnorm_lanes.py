"""The truncated normal's functions of a point, and its quantiles, on the vector lane sets: the
ufuncs run them for bounds that change from element to element, and the distribution functions
and the quantiles also for the points of one prepared interval.  They must give the scalar
kernels' bits on every kind of interval, point, probability and special value, whichever lane
set the CPU offers."""
import os
import subprocess
import sys

import numpy as np
import pytest

from test_simd import runnable_isas

FUNCTIONS = ("logpdf", "pdf", "logcdf", "logsf", "cdf", "sf")
QUANTILES = ("ppf", "isf")

# Intervals of every kind the kernels tell apart (tails, around the mode, flat, far, one ulp,
# infinite ends, mirrored), points inside, at and beyond the ends, and special values
# scattered over every lane position.
CASES = """
import sys
import numpy as np
from veltra import truncnorm as tn, ufuncs

rng = np.random.default_rng(int(sys.argv[3]))
n = 40_000
u = rng.random((3, n))
lo = np.concatenate([
    60 * u[0],                                     # tails
    10 ** (-3 + 11 * u[0]),                        # far out
    -(10 ** (-12 + 13.5 * u[0])),                  # around the mode
    np.where(u[2] < 0.5, -1, 1) * 10 ** (-5 + 13 * u[0]),  # one ulp wide
    -40 + 100 * u[0],                              # one end infinite
    -3 + 6 * u[0],                                 # near the origin
    30 + 70 * u[0],                                # far, where quantiles often take two steps
])
width = np.concatenate([
    10 ** (-12 + 13.5 * u[1]),
    lo[n:2 * n] * 10 ** (-15 + 15.5 * u[1]),
    10 ** (-12 + 13.5 * u[1]) + 10 ** (-12 + 13.5 * u[2]),
    np.zeros(n),
    np.full(n, np.inf),
    10 ** (-3 + 4 * u[1]),
    10 ** (-1.5 + 2 * u[1]),
])
hi = lo + width
hi[3 * n:4 * n] = np.nextafter(lo[3 * n:4 * n], np.inf)
flip = rng.random(lo.size) < 0.5
a, b = np.where(flip, -hi, lo), np.where(flip, -lo, hi)
span = np.where(np.isfinite(b - a), b - a, 40.0)
start = np.where(np.isfinite(a), a, b - 40.0)
x = start + span * rng.uniform(-0.05, 1.05, a.size)
x = np.where(rng.random(a.size) < 0.05, np.where(rng.random(a.size) < 0.5, a, b), x)
specials = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 5e-324, -5e-324, 1.7e308, -1.7e308, 1.0, 38.5])
if sys.argv[5] == "q":
    # probabilities: uniform, near 0 and 1 down to the subnormals, and exactly 1/2
    x = np.where(rng.random(a.size) < 0.5, rng.random(a.size), 10 ** rng.uniform(-320, -1, a.size))
    x = np.where(rng.random(a.size) < 0.3, 1.0 - x, x)
    x = np.where(rng.random(a.size) < 0.01, 0.5, x)
for v, values in ((x, specials), (a, specials), (b, specials)):
    pick = rng.random(v.size) < 0.01
    v[pick] = rng.choice(values, pick.sum())
if sys.argv[5] == "q":
    pick = rng.random(x.size) < 0.01
    x[pick] = rng.choice([0.0, 1.0, -0.0, 1.5, -1e-300, np.nan, np.inf, 5e-324, 1 - 2.0**-53, 0.5], pick.sum())
def unaligned(v):
    u = np.empty(8 * v.size + 1, np.uint8)[1:].view(np.float64)
    u[:] = v
    return u

results = [np.array([float(ufuncs._simd == sys.argv[2] or sys.argv[2] == "best")])]
with np.errstate(all="ignore"):
    for name in sys.argv[4].split(","):
        f = getattr(tn, name)
        # contiguous (handed to the lanes as they are), strided, short, float32, and doubles
        # off the 8-byte grid (copied first)
        results += [f(x, a, b), f(x[::-3], a[::-3], b[::-3]), f(x[:5], a[:5], b[:5]),
                    f(x.astype(np.float32), a.astype(np.float32), b.astype(np.float32)).astype(float),
                    f(unaligned(x), unaligned(a), unaligned(b))]
        # one interval, prepared once, for many points (the common call)
        for k in range(0, a.size, 997):
            results.append(f(x[k:k + 2000] if np.isfinite(a[k] + b[k]) else x[:50], a[k], b[k]))
np.save(sys.argv[1], np.concatenate([r.ravel().view(np.int64) for r in results]))
"""


def results_on(lane_set: str, tmp_path, seed: int, functions=FUNCTIONS, points="x") -> bytes:
    env = {k: v for k, v in os.environ.items() if k != "VELTRA_SIMD"}
    if lane_set != "best":
        env["VELTRA_SIMD"] = lane_set
    out = tmp_path / f"{lane_set}-{seed}-{points}.npy"
    done = subprocess.run([sys.executable, "-c", CASES, str(out), lane_set, str(seed), ",".join(functions), points],
                          env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return out.read_bytes()


@pytest.mark.parametrize("seed", [1, 2])
def test_every_lane_set_gives_the_scalar_kernels_bits(tmp_path, seed):
    scalar = np.frombuffer(results_on("scalar", tmp_path, seed), dtype=np.int64)
    for lane_set in [*runnable_isas(), "best"]:
        lanes = np.frombuffer(results_on(lane_set, tmp_path, seed), dtype=np.int64)
        assert lanes.shape == scalar.shape
        differ = np.flatnonzero(lanes != scalar)
        assert differ.size == 0, (lane_set, differ[:10])


@pytest.mark.parametrize("seed", [1, 2])
def test_quantiles_on_every_lane_set_give_the_scalar_kernels_bits(tmp_path, seed):
    scalar = np.frombuffer(results_on("scalar", tmp_path, seed, QUANTILES, "q"), dtype=np.int64)
    for lane_set in [*runnable_isas(), "best"]:
        lanes = np.frombuffer(results_on(lane_set, tmp_path, seed, QUANTILES, "q"), dtype=np.int64)
        assert lanes.shape == scalar.shape
        differ = np.flatnonzero(lanes != scalar)
        assert differ.size == 0, (lane_set, differ[:10])


@pytest.mark.parametrize("name", FUNCTIONS)
def test_lanes_agree_with_one_interval_at_a_time(name):
    """The vector path (bounds as arrays) against the prepared scalar path (one interval per
    call, its bounds as scalars), on hard intervals."""
    from veltra import truncnorm as tn
    intervals = [(8.0, 9.0), (30.0, 30.001), (-1.0, 1.0), (-40.0, -39.0), (1e4, 1e4 + 1e-3), (40.0, np.inf),
                 (-np.inf, -35.0), (-30.0, 30.0), (1e8, 1e8 + 1.0), (-1e-10, 1e-10), (5.0, 5.0 + 1e-12),
                 (0.0, np.inf), (-np.inf, np.inf), (-0.5, 3.0), (5e-324, 38.0), (2.0, 2.0)]
    f = getattr(tn, name)
    rng = np.random.default_rng(3)
    for a, b in intervals:
        lo, hi = (a, b) if np.isfinite(b - a) else ((b - 10, b) if np.isfinite(b) else (a, a + 10))
        if not np.isfinite(lo):
            lo, hi = -10.0, 10.0
        x = np.concatenate([lo + (hi - lo) * rng.random(61), [a, b, np.nextafter(a, np.inf)]])
        one_at_a_time = np.array([f(v, a, b) for v in x])
        arrays = f(x, np.full(x.size, a), np.full(x.size, b))
        assert np.array_equal(arrays.view(np.int64), one_at_a_time.view(np.int64)), (a, b)


# Runs of 2 RUN + 1 consecutive doubles q around probabilities of every kind (1/2, where the
# solving end changes, and the edge 1/2 + 2^-30 of the band kept beside the quantile of 1/2;
# near 0 and 1, subnormal, random), on intervals of every kind: ppf must not decrease and isf
# not increase from one double to the next, through the lanes (bounds as arrays) and through
# one prepared interval (bounds as scalars).
MONOTONE = """
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import truncnorm_reference as ref
from veltra import truncnorm as tn

RUN = 64
rng = np.random.default_rng(7)
intervals = ref.random_intervals(140, 11) + ref.HARD_INTERVALS + [(-b, -a) for a, b in ref.HARD_INTERVALS]
intervals += [(-0.00023708983702568044, 6.143821950582647), (-0.07850300912711813, 1.2617122928517671e-11),
              (-1.0, 1.0), (0.0, np.inf), (-np.inf, np.inf), (1e-300, 3e-300), (-5e-324, 1e-320),
              (-2.12765447665837e-310, -6.6870991967e-314), (0.0, 1e-290)]
a, b = (np.array(v) for v in zip(*intervals))
centres = [0.5, 0.5 + 2.0**-30, 0.25, 0.75, 1e-3, 1 - 1e-3, 1e-12, 1e-300, 2.0**-1070, 1 - 2.0**-40, 1 - 2.0**-53,
           *rng.random(4), *10 ** rng.uniform(-300, -2, 3)]
failures = []
for name, sign in (("ppf", 1), ("isf", -1)):
    f = getattr(tn, name)
    for centre in centres:
        q = np.float64(centre) + np.zeros(2 * RUN + 1)
        q[RUN + 1:] = np.nextafter(q[RUN], 2.0)
        q[:RUN] = np.nextafter(q[RUN], -1.0)
        for k in range(1, RUN):
            q[RUN + 1 + k] = np.nextafter(q[RUN + k], 2.0)
            q[RUN - 1 - k] = np.nextafter(q[RUN - k], -1.0)
        q = q[(q > 0) & (q < 1)]
        lanes = f(q, a[:, None], b[:, None])
        prepared = np.array([f(q, lo, hi) for lo, hi in intervals])
        for how, x in (("lanes", lanes), ("prepared", prepared)):
            for row in np.flatnonzero((sign * np.diff(x, axis=1) < 0).any(axis=1)):
                failures.append((name, how, intervals[row], centre))
print(len(failures), failures[:5])
"""


@pytest.mark.parametrize("lane_set", ["scalar", *runnable_isas()])
def test_quantiles_are_monotone_over_runs_of_consecutive_probabilities(lane_set):
    env = {**os.environ, "VELTRA_SIMD": lane_set}
    done = subprocess.run([sys.executable, "-c", MONOTONE, os.path.dirname(__file__)], env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("0 "), done.stdout
