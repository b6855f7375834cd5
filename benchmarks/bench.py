"""Speed of veltra's functions, side by side with what a user would otherwise run.

Run from the repository root, in an environment where veltra, NumPy and SciPy are installed::

    python benchmarks/bench.py            # full run: 1e3, 1e5 and 1e6 elements
    python benchmarks/bench.py --quick    # smoke run: small arrays, few repeats, seconds

What is measured
----------------
For every public function, on inputs spread over the regimes a user meets (each regime of a
kernel costs differently, and a realistic mix also pays for the branches it mispredicts):

* **veltra**: the Python call on a float64 array, in ns per element.  It includes everything
  the binding does per call: conversion, the allocation of the output array, the loop.
* **bare C++**: the same scalar kernel in a plain C++ loop over the same values
  (``bare_loop.cpp``, compiled here at run time with the flags the project mandates,
  ``-O2 -ffp-contract=off``).  Two variants: *prealloc* writes into a buffer allocated once,
  the pure cost of kernel and memory traffic; *fresh* allocates a new output for every loop,
  as the binding does for every call.  The C++ outputs are compared bit for bit with the
  binding's, so both sides are known to compute the same thing.
* **bare C++ vector**: for millsratio, millsratio_d1 and millsratio_d3, the vector kernels of
  the lane set that veltra runs on this machine (``veltra.ufuncs._simd``: AVX-512 or AVX2) in
  the same bare loop, built from ``src/veltra/_vec`` with meson.build's flags; their outputs
  too are compared bit for bit.  The binding's ratios to the bare loop are taken against the
  kernel it runs: the vector one where there is one.
* **SciPy formula**: the textbook NumPy/SciPy expression a user would write instead, e.g.
  ``sqrt(pi/2) * scipy.special.erfcx(x / sqrt(2))`` for R(x).  It is faster to write and
  inaccurate where veltra is not, but it is the alternative.
* **NumPy floor**: ``np.multiply(x, 1.0000001, out=preallocated)``, one read and one write
  per element and no computing: the memory-bandwidth floor of any element-wise function.
* **Scalar calls**: one call with a Python float in and a float out, in µs, next to
  ``scipy.special.erfcx(x)`` alone (one ufunc call on a scalar), the SciPy formula on a
  scalar, and ``math.erfc(x)``, the cost of calling any C function with a float.

How it is timed
---------------
As ``timeit`` does: a sample calls the function ``number`` times, with ``number`` grown
1, 2, 5, 10, 20, ... until one sample lasts at least ``--min-time`` seconds; then
``--repeats`` samples are taken and the **minimum** is reported.  The minimum is the run least
disturbed by other processes; the median is also kept in the JSON, and their ratio tells how
noisy the run was.  The samples of the columns of one row are taken in turns, in three rounds
with the C++ loop run between them, so that a burst of load from elsewhere disturbs a few
samples of every column instead of all samples of one.  The garbage collector is off while
timing.  Inputs come from fixed seeds, so every run times the same values.

Two effects to keep in mind when reading the table:

* Small arrays look cheaper per element than large ones, beyond the fixed cost of a call:
  a timing loop feeds the same 1000 values again and again, and the CPU's branch predictor
  learns the sequence of regimes, which it cannot do over 1e6 values.  The 1e6 rows are the
  realistic per-element costs; the 1e3 rows show the fixed cost of a call.
* On a machine shared with other work, differences below about 10% between two columns are
  within the noise of a single run.

Results go to stdout and to ``benchmarks/results/latest.md`` and ``latest.json`` (a ``--quick``
run writes ``quick.md`` and ``quick.json`` instead).  The targets are evaluated at the end.
When one is missed (or with ``--breakdown``) the script looks at where the time goes: the
Python-level equivalents of the binding's steps, timed one after another; the binding itself,
sampled with py-spy when it is installed (``profile_call.py``); the domain checks; and
millsratio's kernel region by region next to the SciPy formula.
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import shlex
import statistics
import subprocess
import sys
import tempfile
import timeit
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

# No benchmark here uses BLAS; OpenBLAS's worker threads, spinning after NumPy's import, would
# only compete for the CPUs.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import scipy  # noqa: E402
import scipy.special as sc  # noqa: E402

import veltra  # noqa: E402
from veltra import intmean, mills, ratiodiff, ufuncs  # noqa: E402

import profile_call  # noqa: E402  (beside this script)

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
import meson_targets  # noqa: E402
RESULTS = HERE / "results"
CXX_FLAGS = ["-std=c++17", "-O2", "-ffp-contract=off"]
ROUNDS = 3  # measurements are taken in turns, in this many rounds (see measure_together)
VECTOR_FUNCTIONS = ("millsratio", "millsratio_d1", "millsratio_d3")  # those with vector kernels


def vector_isa() -> str | None:
    """The lane set veltra's functions run on here, when it has vector kernels for it."""
    isa = getattr(ufuncs, "_simd", None)
    return isa if isa in meson_targets.ISAS and platform.machine() in ("x86_64", "AMD64") else None

SQRT2 = math.sqrt(2.0)
SQRT_PI_2 = math.sqrt(math.pi / 2.0)

# ---------------------------------------------------------------------------------------
# The formulas a user would write with NumPy and SciPy.


def scipy_R(x):
    return SQRT_PI_2 * sc.erfcx(x / SQRT2)


def scipy_R1(x):
    return 1.0 - x * scipy_R(x)


def scipy_R3(x):
    return x**2 + 2.0 - (x**3 + 3.0 * x) * scipy_R(x)


def scipy_rel_below1(x):
    return (SQRT_PI_2 - scipy_R(x)) / x


def scipy_dd(x, dx):
    return (scipy_R(x - dx) - scipy_R(x + dx)) / (2.0 * dx)


def scipy_dd_sum(x, dx):
    return (scipy_R(dx - x) + scipy_R(x + dx)) / (2.0 * dx)


def scipy_logrel(x):
    return np.log1p(x) / x


def scipy_powrel(x, a):
    return np.expm1(a * np.log1p(x)) / (a * x)


# ---------------------------------------------------------------------------------------
# Inputs: the regimes a user meets, in random order (as real data come), from fixed seeds.


def log_uniform(rng, lo, hi, n):
    return np.exp(rng.uniform(math.log(lo), math.log(hi), n))


def mix(rng, parts):
    """Concatenates the parts and shuffles them, so that regimes alternate at random."""
    return rng.permutation(np.concatenate(parts))


def positive_axis(rng, n):
    """Mostly x in [0, 40], where R goes from its polynomial to its tail forms; 5% far out."""
    far = n // 20
    return (mix(rng, [rng.uniform(0.0, 40.0, n - far), log_uniform(rng, 40.0, 1e10, far)]),)


def negative_axis(rng, n):
    return (rng.uniform(-30.0, 0.0, n),)


def unit_interval(rng, n):
    return (rng.uniform(0.0, 1.0, n),)


def dd_ladder(rng, n):
    """Midpoints on [0, 50] with the step a finite-difference user picks, 1e-3 (x + 1.25)."""
    x = rng.uniform(0.0, 50.0, n)
    return x, 1e-3 * (x + 1.25)


def dd_mixed(rng, n):
    """Every branch: negative x, the Taylor range, the convergents far out, large and tiny steps."""
    k = n // 5
    x = mix(rng, [rng.uniform(-5.0, 0.0, k), rng.uniform(0.0, 50.0, n - 3 * k),
                  log_uniform(rng, 50.0, 1e5, 2 * k)])
    dx = log_uniform(rng, 1e-8, 1.0, n) * (np.abs(x) + 1.25)
    return x, dx


def dd_negative(rng, n):
    x = rng.uniform(-30.0, 0.0, n)
    return x, 1e-3 * (np.abs(x) + 1.25)


def above_minus_one(rng, n):
    """x in (-0.9, 100): half near the origin, half spread logarithmically up to 100."""
    half = n // 2
    return (mix(rng, [rng.uniform(-0.9, 1.0, half), log_uniform(rng, 1.0, 100.0, n - half)]),)


def above_minus_one_with_power(rng, n):
    (x,) = above_minus_one(rng, n)
    return x, rng.uniform(-3.0, 3.0, n)


# ---------------------------------------------------------------------------------------
# The cases.


@dataclass(frozen=True)
class Case:
    function: str                   # veltra's name, also bare_loop's
    inputs: str                     # short description of the input set
    veltra: Callable                # called with the arrays of make()
    scipy: Callable
    make: Callable                  # (rng, n) -> tuple of float64 arrays
    int_arg: int | None = None      # theta or n_terms, as passed to the kernel in C++
    seed: int = 0


CASES = [
    Case("millsratio", "x in [0,40] + 5% to 1e10", mills.millsratio, scipy_R, positive_axis, seed=1),
    Case("millsratio", "x in [-30,0]", mills.millsratio, scipy_R, negative_axis, seed=2),
    Case("millsratio_d1", "x in [0,40] + 5% to 1e10", mills.millsratio_d1, scipy_R1, positive_axis, seed=1),
    Case("millsratio_d1", "x in [-30,0]", mills.millsratio_d1, scipy_R1, negative_axis, seed=2),
    Case("millsratio_d3", "x in [0,40] + 5% to 1e10", mills.millsratio_d3, scipy_R3, positive_axis, seed=1),
    Case("millsratio_d3", "x in [-30,0]", mills.millsratio_d3, scipy_R3, negative_axis, seed=2),
    Case("millsratio_rel_below1", "x in [0,1]", mills.millsratio_rel_below1, scipy_rel_below1,
         unit_interval, seed=3),
    Case("millsratio_dd", "x in [0,50], dx=1e-3(x+1.25)", ratiodiff.millsratio_dd, scipy_dd,
         dd_ladder, int_arg=1, seed=4),
    Case("millsratio_dd", "mixed x in [-5,1e5], dx 1e-8..1 rel", ratiodiff.millsratio_dd, scipy_dd,
         dd_mixed, int_arg=1, seed=5),
    Case("millsratio_dd", "theta=-1, x in [-30,0]",
         lambda x, dx: ratiodiff.millsratio_dd(x, dx, -1), scipy_dd_sum, dd_negative, int_arg=-1,
         seed=6),
    Case("millsratio_dd_cf", "x in [0,50], dx=1e-3(x+1.25)", ratiodiff.millsratio_dd_cf, scipy_dd,
         dd_ladder, int_arg=4, seed=4),
    Case("logrel", "x in (-0.9,100)", intmean.logrel, scipy_logrel, above_minus_one, seed=7),
    Case("powrel", "x in (-0.9,100), a in [-3,3]", intmean.powrel, scipy_powrel,
         above_minus_one_with_power, seed=8),
]


@dataclass(frozen=True)
class ScalarCase:
    function: str
    call: str                # the statement timed, in the namespace below
    scipy_call: str


SCALAR_CASES = [
    ScalarCase("millsratio", "mills.millsratio(x)", "scipy_R(x)"),
    ScalarCase("millsratio (ufunc)", "ufuncs.millsratio(x)", "scipy_R(x)"),
    ScalarCase("millsratio_d1", "mills.millsratio_d1(x)", "scipy_R1(x)"),
    ScalarCase("millsratio_d3", "mills.millsratio_d3(x)", "scipy_R3(x)"),
    ScalarCase("millsratio_rel_below1", "mills.millsratio_rel_below1(u)", "scipy_rel_below1(u)"),
    ScalarCase("millsratio_dd", "ratiodiff.millsratio_dd(x, dx)", "scipy_dd(x, dx)"),
    ScalarCase("millsratio_dd_cf", "ratiodiff.millsratio_dd_cf(x, dx)", "scipy_dd(x, dx)"),
    ScalarCase("logrel", "intmean.logrel(u)", "scipy_logrel(u)"),
    ScalarCase("powrel", "intmean.powrel(u, a)", "scipy_powrel(u, a)"),
]

# Python floats, as a user passes them.
SCALAR_NAMESPACE = {
    "mills": mills, "ratiodiff": ratiodiff, "intmean": intmean, "ufuncs": ufuncs, "sc": sc, "math": math,
    "np": np,
    "scipy_R": scipy_R, "scipy_R1": scipy_R1, "scipy_R3": scipy_R3,
    "scipy_rel_below1": scipy_rel_below1, "scipy_dd": scipy_dd, "scipy_logrel": scipy_logrel,
    "scipy_powrel": scipy_powrel,
    "x": 2.5, "u": 0.5, "dx": 0.00375, "a": 1.5,
}
SCALAR_ERFCX = "sc.erfcx(x)"
SCALAR_C_FLOOR = "math.erfc(x)"

# ---------------------------------------------------------------------------------------
# Timing.


@dataclass
class Timing:
    best: float      # seconds per call, the minimum over the repeats
    median: float    # seconds per call, the median over the repeats
    number: int      # calls per sample


def _autorange_number(timer: timeit.Timer, min_time: float) -> int:
    """The smallest of 1, 2, 5, 10, 20, 50, ... whose sample lasts at least min_time."""
    base = 1
    while True:
        for m in (1, 2, 5):
            number = base * m
            if timer.timeit(number) >= min_time:
                return number
        base *= 10


def measure_together(stmts: dict, min_time: float, repeats: int, namespace: dict | None = None,
                     rounds: int = ROUNDS, between: Callable | None = None) -> dict[str, Timing]:
    """Times several callables or statements (in `namespace`) in turns.

    Each of `rounds` rounds takes its share of the `repeats` samples of every statement, one
    statement after the other, then calls `between()` (which runs the C++ loop): a burst of
    load from another process then disturbs some samples of each, not all samples of one,
    and the minima stay comparable."""
    timers = {name: timeit.Timer(stmt, globals=namespace) for name, stmt in stmts.items()}
    numbers = {name: _autorange_number(t, min_time) for name, t in timers.items()}
    per_round = max(1, math.ceil(repeats / rounds))
    samples: dict = {name: [] for name in stmts}
    for _ in range(rounds):
        for name, timer in timers.items():
            samples[name] += [t / numbers[name] for t in timer.repeat(repeat=per_round, number=numbers[name])]
        if between is not None:
            between()
    return {name: Timing(min(v), statistics.median(v), numbers[name]) for name, v in samples.items()}


def measure(stmt, min_time: float, repeats: int, namespace: dict | None = None) -> Timing:
    """Times one callable or statement: best and median of the repeats."""
    return measure_together({"stmt": stmt}, min_time, repeats, namespace, rounds=1)["stmt"]


# ---------------------------------------------------------------------------------------
# The bare C++ loop.


class BareLoop:
    """bare_loop.cpp compiled into a temporary directory, run once per measurement; with the
    vector kernels of every lane set linked in when `isa` names one (x86-64)."""

    def __init__(self, workdir: Path, compiler: str, isa: str | None):
        self.workdir = workdir
        self.isa = isa
        if isa is None:
            self.exe = workdir / "bare_loop"
            self.command = [compiler, *CXX_FLAGS, "-I", veltra.get_include(), str(HERE / "bare_loop.cpp"),
                            "-o", str(self.exe)]
            subprocess.run(self.command, check=True)
        else:
            # with the lane units, meson.build's target of that name: the wheel's flags
            self.exe = meson_targets.build_targets(workdir / "build", ["bare_loop"])["bare_loop"]
            self.command = ["meson", "compile", "bare_loop"]

    def run(self, function: str, arrays, int_arg, repeats: int, min_time: float,
            isa: str | None = None) -> tuple[dict, np.ndarray]:
        """Times the kernel over `arrays` (the vector kernel of lane set `isa`, if given);
        returns bare_loop's JSON and its outputs."""
        args = [str(self.exe), function]
        for k, arr in enumerate(arrays):
            path = self.workdir / f"in{k}.bin"
            np.ascontiguousarray(arr, dtype=np.float64).tofile(path)
            args.append(str(path))
        dump = self.workdir / "out.bin"
        if int_arg is not None:
            args.append(f"int={int_arg}")
        if isa is not None:
            args.append(f"isa={isa}")
        args += [f"repeats={repeats}", f"min_time={min_time}", f"dump={dump}"]
        done = subprocess.run(args, check=True, capture_output=True, text=True)
        return json.loads(done.stdout), np.fromfile(dump, dtype=np.float64)


# ---------------------------------------------------------------------------------------
# One row of the array table.


@dataclass
class Row:
    function: str
    inputs: str
    n: int
    veltra_ns: float
    cpp_prealloc_ns: float
    cpp_fresh_ns: float
    scipy_ns: float
    floor_ns: float
    same_bits: bool
    medians: dict = field(default_factory=dict)   # the same quantities as medians, for noise
    cpp_vector_ns: float | None = None            # bare C++ loop over the vector kernel (prealloc)
    cpp_vector_fresh_ns: float | None = None      # the same with a fresh output per loop

    # The binding against the bare loop over the kernel it runs: the vector one where there is one.
    @property
    def veltra_over_cpp_prealloc(self) -> float:
        return self.veltra_ns / (self.cpp_vector_ns or self.cpp_prealloc_ns)

    @property
    def veltra_over_cpp_fresh(self) -> float:
        return self.veltra_ns / (self.cpp_vector_fresh_ns or self.cpp_fresh_ns)

    @property
    def scipy_over_veltra(self) -> float:
        return self.scipy_ns / self.veltra_ns


def bench_case(case: Case, n: int, bare: BareLoop, args) -> Row:
    arrays = case.make(np.random.default_rng([case.seed, n]), n)
    per_elem = 1e9 / n
    fn, formula = case.veltra, case.scipy
    result = fn(*arrays)
    x = arrays[0]
    floor_out = np.empty_like(x)
    cpp_runs: list[dict] = []
    cpp_out: list[np.ndarray] = []
    vector_isa = bare.isa if case.function in VECTOR_FUNCTIONS else None
    vector_runs: list[dict] = []

    def run_cpp():
        repeats = max(1, math.ceil(args.repeats / ROUNDS))
        timing, out = bare.run(case.function, arrays, case.int_arg, repeats, args.min_time)
        cpp_runs.append(timing)
        cpp_out[:] = [out]
        if vector_isa is not None:
            timing, out = bare.run(case.function, arrays, case.int_arg, repeats, args.min_time, vector_isa)
            vector_runs.append(timing)
            cpp_out.append(out)

    with np.errstate(all="ignore"):
        t = measure_together({"veltra": lambda: fn(*arrays), "scipy": lambda: formula(*arrays),
                              "floor": lambda: np.multiply(x, 1.0000001, out=floor_out)},
                             args.min_time, args.repeats, between=run_cpp)
    return Row(
        function=case.function, inputs=case.inputs, n=n,
        veltra_ns=t["veltra"].best * per_elem,
        cpp_prealloc_ns=min(r["prealloc_ns"] for r in cpp_runs),
        cpp_fresh_ns=min(r["fresh_ns"] for r in cpp_runs),
        scipy_ns=t["scipy"].best * per_elem, floor_ns=t["floor"].best * per_elem,
        same_bits=all(np.array_equal(result.view(np.int64), out.view(np.int64)) for out in cpp_out),
        cpp_vector_ns=min(r["prealloc_ns"] for r in vector_runs) if vector_runs else None,
        cpp_vector_fresh_ns=min(r["fresh_ns"] for r in vector_runs) if vector_runs else None,
        medians={"veltra_ns": t["veltra"].median * per_elem, "scipy_ns": t["scipy"].median * per_elem,
                 "floor_ns": t["floor"].median * per_elem,
                 "cpp_prealloc_ns": statistics.median(r["prealloc_median_ns"] for r in cpp_runs),
                 "cpp_fresh_ns": statistics.median(r["fresh_median_ns"] for r in cpp_runs)},
    )


@dataclass
class ScalarRow:
    function: str
    call: str
    veltra_us: float
    scipy_formula_us: float
    erfcx_us: float
    c_floor_us: float
    veltra_median_us: float

    @property
    def veltra_over_erfcx(self) -> float:
        return self.veltra_us / self.erfcx_us


def bench_scalars(args) -> list[ScalarRow]:
    """Each function's scalar call, timed in turns with its references."""
    ns = SCALAR_NAMESPACE
    rows = []
    for case in SCALAR_CASES:
        if args.only and args.only not in case.function:
            continue
        assert isinstance(eval(case.call, ns), float)  # a float comes back, not an array
        with np.errstate(all="ignore"):
            t = measure_together({"veltra": case.call, "scipy": case.scipy_call,
                                  "erfcx": SCALAR_ERFCX, "c_floor": SCALAR_C_FLOOR},
                                 max(args.min_time, 0.01), args.repeats, ns)
        rows.append(ScalarRow(case.function, case.call, t["veltra"].best * 1e6, t["scipy"].best * 1e6,
                              t["erfcx"].best * 1e6, t["c_floor"].best * 1e6, t["veltra"].median * 1e6))
    return rows


# ---------------------------------------------------------------------------------------
# Machine description.


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def compiler_version(compiler: str) -> str:
    try:
        out = subprocess.run([compiler, "--version"], capture_output=True, text=True, check=True)
        return out.stdout.splitlines()[0]
    except (OSError, subprocess.CalledProcessError, IndexError):
        return "unknown"


def machine_info(compiler: str) -> dict:
    thp = Path("/sys/kernel/mm/transparent_hugepage/enabled")
    return {
        "cpu": cpu_model(),
        "logical_cpus": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None,
        "platform": platform.platform(),
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "scipy": scipy.__version__,
        "veltra": veltra.__version__,
        "veltra_installed_at": str(Path(veltra.__file__).parent),
        "compiler": compiler_version(compiler),
        "compile_flags": " ".join(CXX_FLAGS),
        "simd": vector_isa() or "scalar",
        "transparent_hugepage": thp.read_text().strip() if thp.exists() else None,
        "load_average_at_start": list(os.getloadavg()),
        "date_utc": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
    }


# ---------------------------------------------------------------------------------------
# Tables.


def fmt(v: float, digits: int = 3) -> str:
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.{digits - 1}f}"


def n_label(n: int) -> str:
    exp = round(math.log10(n))
    return f"1e{exp}" if 10**exp == n else str(n)


def array_table(rows: list[Row], isa: str) -> str:
    lines = [
        "| function | inputs | n | veltra ns/elem | bare C++ ns/elem (prealloc / fresh) | "
        f"bare C++ vector ({isa}) ns/elem | "
        "SciPy formula ns/elem | NumPy floor ns/elem | veltra/C++ of the kernel it runs (prealloc / fresh) | "
        "SciPy/veltra |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        vector = "" if r.cpp_vector_ns is None else fmt(r.cpp_vector_ns)
        lines.append(
            f"| {r.function} | {r.inputs} | {n_label(r.n)} | {fmt(r.veltra_ns)} | "
            f"{fmt(r.cpp_prealloc_ns)} / {fmt(r.cpp_fresh_ns)} | {vector} | {fmt(r.scipy_ns)} | "
            f"{fmt(r.floor_ns)} | {r.veltra_over_cpp_prealloc:.2f} / {r.veltra_over_cpp_fresh:.2f} | "
            f"{r.scipy_over_veltra:.2f} |")
    return "\n".join(lines)


def scalar_table(rows: list[ScalarRow]) -> str:
    lines = [
        "| function | call | veltra µs/call | SciPy formula µs/call | "
        "scipy.special.erfcx(x) µs/call | math.erfc(x) µs/call | veltra/erfcx |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        lines.append(
            f"| {r.function} | `{r.call}` | {r.veltra_us:.3f} | {r.scipy_formula_us:.3f} | "
            f"{r.erfcx_us:.3f} | {r.c_floor_us:.3f} | {r.veltra_over_erfcx:.2f} |")
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------
# Targets.


@dataclass
class Target:
    name: str
    value: float
    limit: float
    passed: bool
    detail: str

    def line(self) -> str:
        return f"{'PASS' if self.passed else 'MISS'}  {self.name}: {self.detail}"


def evaluate_targets(rows: list[Row], scalars: list[ScalarRow]) -> list[Target]:
    targets = []
    main = [r for r in rows if r.function == "millsratio" and r.inputs.startswith("x in [0,40]")]
    if main:
        r = max(main, key=lambda r: r.n)
        at = f"n={n_label(r.n)}, x in [0,40] + tail"
        ratio = r.veltra_over_cpp_fresh
        targets.append(Target(
            "millsratio within 1.15x of the bare C++ loop over the kernel it runs (fresh output per loop, "
            "as the binding)", ratio, 1.15, ratio <= 1.15,
            f"{ratio:.2f}x ({fmt(r.veltra_ns)} vs {fmt(r.veltra_ns / ratio)} ns/elem, {at})"))
        ratio = r.veltra_over_cpp_prealloc
        targets.append(Target(
            "millsratio within 1.15x of the bare C++ loop over the kernel it runs (preallocated output)",
            ratio, 1.15, ratio <= 1.15,
            f"{ratio:.2f}x ({fmt(r.veltra_ns)} vs {fmt(r.veltra_ns / ratio)} ns/elem, {at})"))
        ratio = r.scipy_over_veltra
        targets.append(Target(
            "millsratio at least 4x faster than the SciPy formula", ratio, 4.0, ratio >= 4.0,
            f"{ratio:.2f}x ({fmt(r.scipy_ns)} vs {fmt(r.veltra_ns)} ns/elem, {at})"))
    vector = [r for r in rows if r.function == "millsratio" and r.cpp_vector_ns is not None]
    for inputs, faster in (("x in [0,40]", {"avx512": 2.2, "avx2": 1.3}), ("x in [-30,0]", {"avx512": 1.0, "avx2": 1.0})):
        chosen = [r for r in vector if r.inputs.startswith(inputs)]
        if not chosen:
            continue
        r = max(chosen, key=lambda r: r.n)
        isa = vector_isa()
        ratio = r.cpp_prealloc_ns / r.cpp_vector_ns
        targets.append(Target(
            f"millsratio's {isa} kernel at least {faster[isa]}x as fast as the scalar one in the bare loop "
            f"({inputs})", ratio, faster[isa], ratio >= faster[isa],
            f"{ratio:.2f}x ({fmt(r.cpp_prealloc_ns)} vs {fmt(r.cpp_vector_ns)} ns/elem, n={n_label(r.n)})"))
    main_scalar = [s for s in scalars if s.function == "millsratio"]
    if main_scalar:
        s = main_scalar[0]
        ratio = s.veltra_over_erfcx
        targets.append(Target(
            "scalar millsratio at most 1.5x a scalar scipy.special.erfcx", ratio, 1.5, ratio <= 1.5,
            f"{ratio:.2f}x ({s.veltra_us:.3f} vs {s.erfcx_us:.3f} µs/call)"))
    ufunc_scalar = [s for s in scalars if s.function == "millsratio (ufunc)"]
    if ufunc_scalar:
        s = ufunc_scalar[0]
        ratio = s.veltra_over_erfcx
        targets.append(Target(
            "scalar call of the ufunc millsratio at most 1.2x a scalar scipy.special.erfcx", ratio, 1.2,
            ratio <= 1.2, f"{ratio:.2f}x ({s.veltra_us:.3f} vs {s.erfcx_us:.3f} µs/call)"))
    return targets


# ---------------------------------------------------------------------------------------
# Where the time goes.
#
# The binding performs, in C, the same steps as the Python statements below (see
# src/veltra/_frame/elements.cpp).  They are timed cumulatively: the first step alone, the first
# two, and so on, each step's cost being the increase.  So every step works on fresh objects,
# as in a real call (a fresh array has no cached buffer description, for instance).  The
# Python statements pay for interpretation, and for whole memoryview objects where the C only
# fills a Py_buffer, so on a scalar their sum exceeds the call and the remainder is negative:
# they show the order of each step's cost.  The py-spy samples of the binding itself
# (profile_call.py) give the shares of the real call.

UNARY_STEPS = [
    ("convert", "x_arr = np.asarray(x, dtype=np.float64)"),
    ("0-d test", "scalar = x_arr.ndim == 0"),
    ("flatten", "raveled = x_arr.ravel()"),
    ("make contiguous", "flat = np.ascontiguousarray(raveled)"),
    ("allocate the output", "out = np.empty_like(flat)"),
    ("buffer views of input and output", "views = memoryview(flat), memoryview(out)"),
    ("shape", "shape = x_arr.shape"),
]
PAIR_STEPS = [
    ("convert x", "x_arr = np.asarray(x, dtype=np.float64)"),
    ("convert dx", "dx_arr = np.asarray(dx, dtype=np.float64)"),
    ("broadcast shape", "shape = np.broadcast_shapes(x_arr.shape, dx_arr.shape)"),
    ("0-d test", "scalar = len(shape) == 0"),
    ("broadcast and flatten x", "fx = np.ascontiguousarray(np.broadcast_to(x_arr, shape).ravel())"),
    ("broadcast and flatten dx", "fdx = np.ascontiguousarray(np.broadcast_to(dx_arr, shape).ravel())"),
    ("allocate the output", "out = np.empty_like(fx)"),
    ("buffer views of inputs and output", "views = memoryview(fx), memoryview(fdx), memoryview(out)"),
]
SCALAR_FINISH = ("return a float", "result = views[-1][0]")
ARRAY_FINISH = ("reshape the output", "result = out.reshape(shape)")

# The domain checks of rel_below1, logrel and powrel, run on the converted input.
CHECK_STEPS = [
    ("logrel, powrel: np.any(x <= -1)", "np.any(x_arr <= -1.0)"),
    ("rel_below1: np.any((x < 0) | (x > 1))", "np.any((x_arr < 0.0) | (x_arr > 1.0))"),
]


def breakdown_of_call(call: str, steps, namespace: dict, label: str, kernel, bare: BareLoop,
                      args, with_first_touch: bool) -> dict:
    """Times `call` and its steps (the last one of `steps` returns the result), in
    nanoseconds per call.

    `kernel` is (function, arrays, int_arg) for bare_loop, run between the rounds of the
    Python timings: its preallocated loop is the kernel's share of the call and, when
    `with_first_touch`, what a fresh output adds to it is the cost of the new memory."""
    stmts = {"baseline": "pass", "call": call}  # "pass": timeit's own loop
    for k in range(len(steps)):
        stmts[k] = "\n".join(stmt for _, stmt in steps[: k + 1])
    function, arrays, int_arg = kernel
    n = len(arrays[0])
    cpp_runs: list[dict] = []

    def run_cpp():
        cpp_runs.append(bare.run(function, arrays, int_arg, max(1, math.ceil(args.repeats / ROUNDS)),
                                 max(args.min_time, 0.01))[0])

    t = {name: v.best * 1e9 for name, v in measure_together(
        stmts, max(args.min_time, 0.01), args.repeats, namespace, between=run_cpp).items()}
    total = t["call"] - t["baseline"]
    timed = []
    previous = t["baseline"]
    for k, (name, stmt) in enumerate(steps):
        timed.append({"step": name, "python": stmt, "ns": t[k] - previous})
        previous = t[k]
    prealloc = min(r["prealloc_ns"] for r in cpp_runs) * n
    fresh = min(r["fresh_ns"] for r in cpp_runs) * n
    timed.append({"step": "kernel loop (bare C++, preallocated output)", "python": "", "ns": prealloc})
    if with_first_touch:
        timed.append({"step": "new output memory (bare C++ fresh - prealloc)", "python": "",
                      "ns": fresh - prealloc})
    accounted = sum(s["ns"] for s in timed)
    return {"label": label, "call": call, "total_ns": total, "steps": timed,
            "remainder_ns": total - accounted}


def check_costs(x, args) -> list[dict]:
    namespace = {"np": np, "x_arr": np.asarray(x, dtype=np.float64)}
    t_min = max(args.min_time, 0.01)
    baseline = measure("pass", t_min, args.repeats, namespace).best
    return [{"check": name, "python": stmt,
             "ns": (measure(stmt, t_min, args.repeats, namespace).best - baseline) * 1e9}
            for name, stmt in CHECK_STEPS]


def regime_costs(bare: BareLoop, n: int, args) -> list[dict]:
    """millsratio's kernel and the SciPy formula, region by region, in ns per element.

    Sorted inputs show the kernel's own cost per branch; the shuffled mix adds the
    mispredicted branches of data that alternate between regions."""
    rng = np.random.default_rng(11)
    regions = [
        ("x in [0,1] (polynomial)", rng.uniform(0.0, 1.0, n)),
        ("x in (1,9.5) (polynomial, divided)", rng.uniform(1.0, 9.5, n)),
        ("x in [9.5,40] (tail convergents)", rng.uniform(9.5, 40.0, n)),
        ("x in [40,1e10] (short tail forms)", log_uniform(rng, 40.0, 1e10, n)),
        ("x in [-30,0] (reflection, exp)", rng.uniform(-30.0, 0.0, n)),
    ]
    (mixed,) = positive_axis(np.random.default_rng([1, n]), n)
    regions += [("benchmark mix, shuffled", mixed), ("benchmark mix, sorted", np.sort(mixed))]
    out = []
    for name, x in regions:
        cpp, _ = bare.run("millsratio", (x,), None, args.repeats, args.min_time)
        t_scipy = measure(lambda: scipy_R(x), args.min_time, args.repeats)
        out.append({"region": name, "cpp_prealloc_ns": cpp["prealloc_ns"],
                    "scipy_ns": t_scipy.best * 1e9 / n})
    return out


def breakdown(rows: list[Row], bare: BareLoop, args) -> dict:
    """One millsratio call on a scalar and on the largest array, one millsratio_dd call on
    scalars, the domain checks, and the kernel's cost by region."""
    main = max((r for r in rows if r.function == "millsratio" and r.inputs.startswith("x in [0,40]")),
               key=lambda r: r.n)
    n = main.n
    (x,) = positive_axis(np.random.default_rng([1, n]), n)
    scalar_x, scalar_dx = SCALAR_NAMESPACE["x"], SCALAR_NAMESPACE["dx"]
    one_x, one_dx = np.array([scalar_x]), np.array([scalar_dx])
    unary_ns = {"np": np, "f": mills.millsratio}
    calls = [
        breakdown_of_call("f(x)", [*UNARY_STEPS, SCALAR_FINISH], {**unary_ns, "x": scalar_x},
                          f"scalar: millsratio({scalar_x})", ("millsratio", (one_x,), None), bare,
                          args, with_first_touch=False),
        breakdown_of_call("f(x)", [*UNARY_STEPS, ARRAY_FINISH], {**unary_ns, "x": x},
                          f"array: millsratio(x), n={n_label(n)}", ("millsratio", (x,), None), bare,
                          args, with_first_touch=True),
        breakdown_of_call("f(x, dx)", [*PAIR_STEPS, SCALAR_FINISH],
                          {"np": np, "f": ratiodiff.millsratio_dd, "x": scalar_x, "dx": scalar_dx},
                          f"scalar: millsratio_dd({scalar_x}, {scalar_dx})",
                          ("millsratio_dd", (one_x, one_dx), 1), bare, args, with_first_touch=False),
    ]
    # The binding itself, sampled by py-spy when it is installed.
    seconds = 1.0 if args.quick else 4.0
    setup = "import numpy as np; from veltra.mills import millsratio as f"
    profiles = [
        {"label": f"scalar: millsratio({scalar_x})", "call_ns": calls[0]["total_ns"],
         "result": profile_call.profile(f"{setup}; x = {scalar_x!r}", "f(x)", seconds)},
        {"label": f"array: millsratio(x), n={n_label(n)}, x uniform on [0,40]",
         "call_ns": calls[1]["total_ns"],
         "result": profile_call.profile(
             f"{setup}; x = np.random.default_rng(1).uniform(0, 40, {n})", "f(x)", seconds)},
    ]
    return {"calls": calls,
            "checks": {"scalar": check_costs(scalar_x, args), f"n={n_label(n)}": check_costs(x, args)},
            "regions": regime_costs(bare, min(n, 100_000), args),
            "profiles": [p for p in profiles if p["result"] is not None]}


def breakdown_tables(b: dict) -> str:
    parts = []
    for call in b["calls"]:
        total = call["total_ns"]
        lines = [f"#### {call['label']}: {total / 1000:.3f} µs per call", "",
                 "| step | as Python | µs | share |", "|---|---|---:|---:|"]
        for s in call["steps"]:
            py = f"`{s['python']}`" if s["python"] else ""
            lines.append(f"| {s['step']} | {py} | {s['ns'] / 1000:.3f} | {100 * s['ns'] / total:.0f}% |")
        lines.append(f"| remainder: the call minus the steps above (the frame's own C; negative where "
                     f"the Python statements cost more than the C they stand for) | | "
                     f"{call['remainder_ns'] / 1000:.3f} | "
                     f"{100 * call['remainder_ns'] / total:.0f}% |")
        parts.append("\n".join(lines))
    for p in b["profiles"]:
        parts.append(f"#### py-spy samples of the binding, {p['label']}\n\n"
                     + profile_call.markdown(p["result"], call_us=p["call_ns"] / 1000))
    lines = ["#### Domain checks (logrel, powrel, millsratio_rel_below1 run one before the loop)", "",
             "| input | check | µs |", "|---|---|---:|"]
    for where, checks in b["checks"].items():
        for c in checks:
            lines.append(f"| {where} | `{c['python']}` | {c['ns'] / 1000:.3f} |")
    parts.append("\n".join(lines))
    lines = ["#### millsratio kernel cost by region (ns/elem)", "",
             "| region | bare C++ | SciPy formula | SciPy/C++ |", "|---|---:|---:|---:|"]
    for r in b["regions"]:
        lines.append(f"| {r['region']} | {fmt(r['cpp_prealloc_ns'])} | {fmt(r['scipy_ns'])} | "
                     f"{r['scipy_ns'] / r['cpp_prealloc_ns']:.2f} |")
    parts.append("\n".join(lines))
    return "\n\n".join(parts)


# ---------------------------------------------------------------------------------------
# Main.


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true",
                   help="smoke run: n = 1e3 and 1e4, 3 repeats, short samples")
    p.add_argument("--sizes", type=lambda s: [int(float(v)) for v in s.split(",")],
                   help="comma-separated array sizes (default 1e3,1e5,1e6)")
    p.add_argument("--repeats", type=int, help="samples per measurement; the best is kept (default 9)")
    p.add_argument("--min-time", type=float, help="least seconds per sample (default 0.02)")
    p.add_argument("--only", help="only the functions whose name contains this text")
    p.add_argument("--breakdown", action="store_true",
                   help="time the pieces of a millsratio call even when every target passes")
    p.add_argument("--cxx", default=os.environ.get("CXX", "c++"), help="C++ compiler (default $CXX or c++)")
    p.add_argument("--output-dir", type=Path, default=RESULTS)
    args = p.parse_args(argv)
    if args.sizes is None:
        args.sizes = [1_000, 10_000] if args.quick else [1_000, 100_000, 1_000_000]
    if args.repeats is None:
        args.repeats = 3 if args.quick else 9
    if args.min_time is None:
        args.min_time = 0.002 if args.quick else 0.02
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    info = machine_info(args.cxx)
    print(f"veltra {info['veltra']} | Python {info['python']} | NumPy {info['numpy']} | "
          f"SciPy {info['scipy']} | {info['compiler']}")
    print(f"{info['cpu']}, {info['usable_cpus']} usable CPUs, load average "
          f"{' '.join(f'{v:.2f}' for v in info['load_average_at_start'])}")
    print(f"sizes {', '.join(n_label(n) for n in args.sizes)}; best of {args.repeats} samples "
          f"of at least {args.min_time} s each\n", flush=True)

    with tempfile.TemporaryDirectory(prefix="veltra-bench-") as tmp:
        bare = BareLoop(Path(tmp), args.cxx, vector_isa())
        rows = []
        for case in CASES:
            if args.only and args.only not in case.function:
                continue
            for n in args.sizes:
                row = bench_case(case, n, bare, args)
                rows.append(row)
                print(f"  {row.function:22s} {row.inputs:38s} n={n_label(n):5s} "
                      f"veltra {fmt(row.veltra_ns):>6s}  C++ {fmt(row.cpp_prealloc_ns):>6s} / "
                      f"{fmt(row.cpp_fresh_ns):>6s}  SciPy {fmt(row.scipy_ns):>6s}  "
                      f"floor {fmt(row.floor_ns):>5s} ns/elem", flush=True)
        print("  scalar calls ...", flush=True)
        scalars = bench_scalars(args)
        targets = evaluate_targets(rows, scalars)
        detail = None
        if (args.breakdown or any(not t.passed for t in targets)) and any(
                r.function == "millsratio" for r in rows):
            print("  breakdown of one millsratio call ...", flush=True)
            detail = breakdown(rows, bare, args)
        info["load_average_at_end"] = list(os.getloadavg())
        info["bare_loop_build"] = shlex.join(bare.command)

    mismatches = [r for r in rows if not r.same_bits]
    md = [
        "# veltra benchmarks",
        "",
        f"{info['date_utc']}; {info['cpu']}, {info['usable_cpus']} usable CPUs; "
        f"Python {info['python']}, NumPy {info['numpy']}, SciPy {info['scipy']}, "
        f"veltra {info['veltra']}; {info['compiler']} with `{info['compile_flags']}`; "
        f"lane set of the vector kernels: {info['simd']}. "
        f"Load average {info['load_average_at_start'][0]:.2f} at start, "
        f"{info['load_average_at_end'][0]:.2f} at end.",
        "",
        f"Best of {args.repeats} samples (each at least {args.min_time} s). "
        "ns/elem is per element of the array; the ratios compare the same row's columns.",
        "",
        "## Arrays",
        "",
        array_table(rows, info["simd"]),
        "",
        "bare C++ output identical to veltra's, bit for bit: "
        + ("all rows" if not mismatches else
           "NO for " + ", ".join(f"{r.function} ({r.inputs}, n={n_label(r.n)})" for r in mismatches)),
        "",
        "## Scalar calls (Python float in, float out)",
        "",
        scalar_table(scalars),
        "",
        "## Targets",
        "",
        *([f"- {t.line()}" for t in targets] or ["(none measured in this selection)"]),
    ]
    if detail is not None:
        md += ["", "## Where the time goes", "", breakdown_tables(detail)]
    text = "\n".join(md) + "\n"
    print()
    print(text)

    args.output_dir.mkdir(parents=True, exist_ok=True)
    stem = "quick" if args.quick else "latest"
    (args.output_dir / f"{stem}.md").write_text(text, encoding="utf-8")
    payload = {
        "machine": info,
        "settings": {"sizes": args.sizes, "repeats": args.repeats, "min_time_s": args.min_time,
                     "quick": args.quick, "only": args.only},
        "arrays": [{**r.__dict__, "veltra_over_cpp_prealloc": r.veltra_over_cpp_prealloc,
                    "veltra_over_cpp_fresh": r.veltra_over_cpp_fresh,
                    "scipy_over_veltra": r.scipy_over_veltra} for r in rows],
        "scalar_calls": [{**s.__dict__, "veltra_over_erfcx": s.veltra_over_erfcx} for s in scalars],
        "targets": [t.__dict__ for t in targets],
        "breakdown": detail,
    }
    (args.output_dir / f"{stem}.json").write_text(json.dumps(payload, indent=2) + "\n", encoding="utf-8")
    print(f"written: {args.output_dir / (stem + '.md')}, {args.output_dir / (stem + '.json')}")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
