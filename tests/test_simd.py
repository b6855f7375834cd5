"""The vector kernels (src/veltra/_vec): the scalar kernels' bits on every lane set, and code
that stays within the instruction set it was compiled for.

The bit-identity gate (simd_gate.cpp) and the lane units are meson.build's own targets, built
on request by meson (tools/meson_targets.py) with warnings as errors: the gate once as the
wheel's units are compiled and once per injected fault, each of which it must catch.
"""

import os
import platform
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from veltra import mills, ufuncs

from support import ROOT, script_module

KERNELS = ("R", "R1", "R3")
POINT_FUNCTIONS = ("logpdf", "pdf", "logcdf", "logsf", "cdf", "sf", "ppf", "isf")
FAMILY_UNITS = ("mills", "truncnorm", "quantile")
FAULTS = ("threshold", "dropped_lane", "contracted_multiply_add")

pytestmark = pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"),
                                reason="the lane sets are x86-64's")

with script_module(ROOT / "tools" / "meson_targets.py", "veltra_meson_targets") as meson_targets:
    ISAS = meson_targets.ISAS


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """The gate, its faulty variants and every lane unit, in one meson build (in parallel)."""
    if shutil.which("c++") is None and shutil.which("g++") is None:
        pytest.skip("no C++ compiler")
    pytest.importorskip("mesonbuild", reason="meson builds the gate (the test extra)")
    names = (["simd_gate"] + [f"simd_gate_{fault}" for fault in FAULTS]
             + [f"veltra_vec_{unit}_{isa}" for unit in FAMILY_UNITS for isa in ISAS])
    return meson_targets.build_targets(tmp_path_factory.mktemp("meson") / "build", names, ["-Dwerror=true"])


def run_gate(exe: Path, env_simd: str | None = None, args: tuple[str, ...] = ISAS) -> tuple[int, dict[tuple[str, str], int], str]:
    """Exit status, differing results per (lane set, kernel), and the report; `args` name the
    lane sets to compare (besides the dispatched one) and may set random=N."""
    env = {k: v for k, v in os.environ.items() if k != "VELTRA_SIMD"}
    if env_simd is not None:
        env["VELTRA_SIMD"] = env_simd
    done = subprocess.run([str(exe), *args], capture_output=True, text=True, env=env, timeout=600)
    differing = {(isa, kernel): int(n) for isa, kernel, n in
                 re.findall(r"^(\w+) (R\d?): \d+ compared, (\d+) differ$", done.stdout, re.M)}
    return done.returncode, differing, done.stdout + done.stderr


def cpu_flags() -> set[str]:
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    return set(re.search(r"^flags\s*:(.*)$", text, re.M).group(1).split())


def runnable_isas() -> list[str]:
    flags = cpu_flags()
    return [isa for isa, needs in (("avx2", {"avx2"}), ("avx512", {"avx512f", "avx512dq"})) if needs <= flags]


# ---------------------------------------------------------------------------------------
# The gate


def test_every_lane_set_gives_the_scalar_bits(built):
    status, differing, report = run_gate(built["simd_gate"])
    assert status == 0, report
    assert "identical" in report
    ran = {isa for isa, _ in differing}
    assert set(runnable_isas()) <= ran | {"dispatched"}, report
    assert all(n == 0 for n in differing.values()), report
    # millions of arguments per kernel and lane set
    counts = [int(n) for n in re.findall(r"(\d+) compared", report)]
    assert counts and min(counts) > 6_000_000, report


@pytest.mark.parametrize("request_isa, chosen", [("scalar", "scalar"), ("avx2", "avx2"), (None, None)])
def test_dispatch_honours_the_environment(built, request_isa, chosen):
    if chosen in ISAS and chosen not in runnable_isas():
        pytest.skip(f"the CPU lacks {chosen}")
    # the dispatched kernels alone, on the thresholds' neighbourhoods and a few random arguments
    status, differing, report = run_gate(built["simd_gate"], request_isa, ("random=1000",))
    assert status == 0, report
    best = runnable_isas()[-1] if runnable_isas() else "scalar"
    assert f"dispatched ({chosen or best}) R:" in report


@pytest.mark.parametrize("fault, kernels", [
    ("threshold", {"R"}),                          # -DVELTRA_FAULT_THRESHOLD
    ("dropped_lane", {"R"}),                       # -DVELTRA_FAULT_DROP_LANE
    ("contracted_multiply_add", set(KERNELS)),     # -ffp-contract=fast -mfma
])
def test_gate_catches_injected_faults(built, fault, kernels):
    # every fault shows on the thresholds' neighbourhoods and a few random arguments
    status, differing, report = run_gate(built[f"simd_gate_{fault}"], None, (*ISAS, "random=20000"))
    assert status == 1, report
    assert "DIFFERENT" in report
    for isa in runnable_isas():
        caught = {kernel for (i, kernel), n in differing.items() if i == isa and n > 0}
        assert caught == kernels, (isa, report)


# ---------------------------------------------------------------------------------------
# What the compiled code may contain

FMA = re.compile(r"\bv?f(n?m(add|sub)|maddsub|msubadd)\w*", re.I)


def disassembly(path: Path) -> dict[str, list[str]]:
    """Instructions per function, with the relocations that name call targets in an object
    file: {demangled name: [mnemonic and operands, or relocation, ...]}."""
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("no objdump")
    text = subprocess.run([objdump, "-dr", "-C", "--no-show-raw-insn", str(path)], capture_output=True, text=True,
                          check=True).stdout
    functions: dict[str, list[str]] = {}
    current = None
    for line in text.splitlines():
        header = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if header:
            current = header.group(1)
            functions.setdefault(current, [])
        elif current is not None and re.match(r"^\s+[0-9a-f]+:\s", line):
            functions[current].append(line.split(":", 1)[1].strip())
    return functions


def defined_symbols(path: Path) -> list[tuple[str, str]]:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("no nm")
    out = subprocess.run([nm, "-C", "--defined-only", str(path)], capture_output=True, text=True, check=True).stdout
    return [(m.group(1), m.group(2)) for m in re.finditer(r"^\S*\s+(\w)\s+(.*)$", out, re.M)]


AVX512 = re.compile(r"%zmm|%k[0-7]\b|%[xy]mm(1[6-9]|2\d|3[01])\b")


@pytest.mark.parametrize("isa", ISAS)
def test_lane_set_objects_keep_to_their_instruction_set(built, isa):
    code = []
    exported = []
    for unit in FAMILY_UNITS:
        library = built[f"veltra_vec_{unit}_{isa}"]
        code += [insn for body in disassembly(library).values() for insn in body]
        exported += [name for kind, name in defined_symbols(library) if kind not in "bdrtn"]
        # Nothing that runs at load time (that would run on every CPU)
        sections = subprocess.run([shutil.which("objdump"), "-h", str(library)], capture_output=True, text=True).stdout
        assert ".init_array" not in sections and ".ctors" not in sections
    assert code
    # -ffp-contract=off holds although -mavx512f brings FMA: every product is rounded
    assert not [insn for insn in code if FMA.match(insn)]
    # exp is the C library's, never a vector variant from libmvec
    assert not [insn for insn in code if "_ZGV" in insn]
    assert [insn for insn in code if re.match(r"R_X86_64_PLT32\s+exp\b", insn)]
    if isa == "avx2":
        assert not [insn for insn in code if AVX512.search(insn)]
    # nothing the linker could merge with a baseline copy: the only symbols other objects see
    # are the entry points, each defined by one family's unit
    assert sorted(exported) == sorted([f"veltra::vec::{isa}::{k}(double const*, double*, unsigned long)" for k in KERNELS]
                              + [f"veltra::vec::{isa}::truncnorm_{k}(double const*, double const*, double const*, "
                                 "double*, unsigned long)" for k in POINT_FUNCTIONS]
                              + [f"veltra::vec::{isa}::truncnorm_{k}_prepared(double const*, double, double, "
                                 "veltra::truncnorm::Prepared<double> const&, double*, unsigned long)"
                                 for k in POINT_FUNCTIONS[2:]])


def installed_extensions() -> list[Path]:
    import veltra
    package = Path(veltra.__file__).parent
    return sorted(package.glob("*.so")) + sorted(package.glob("*.pyd"))


@pytest.mark.parametrize("extension", [p.name.split(".")[0] for p in installed_extensions()])
def test_installed_extension_runs_vector_code_only_behind_the_dispatch(extension):
    [path] = [p for p in installed_extensions() if p.name.split(".")[0] == extension]
    functions = disassembly(path)
    code = {name: body for name, body in functions.items() if body}
    assert not [(name, insn) for name, body in code.items() for insn in body if FMA.match(insn)]
    # AVX (VEX- or EVEX-encoded) instructions only in the lane sets' code: functions of their
    # namespaces, and templates instantiated for their types (elementary.hpp's, which an
    # unoptimized build leaves out of line), which have internal linkage as those types do
    outside = {name for name, body in code.items()
               if any(insn.split()[0].startswith("v") for insn in body)
               and not re.search(r"veltra::vec::avx(2|512)::", name)}
    assert not outside
    # each extension carries the lane code of the families it calls, on every lane set, and no
    # other: the Mills ratio's in mills and ufuncs, the truncated normal's in truncnorm
    entries = {"R": "R(", "truncnorm": "truncnorm_logpdf(", "quantile": "truncnorm_ppf("}
    expected = {"mills": {"R"}, "ufuncs": {"R"}, "truncnorm": {"truncnorm", "quantile"}}.get(extension, set())
    for isa in ISAS:
        carried = {family for family, entry in entries.items() if f"veltra::vec::{isa}::{entry}" in " ".join(code)}
        assert carried == expected, isa


# ---------------------------------------------------------------------------------------
# The module functions and ufuncs on every lane set

WIRING = """
import sys
import numpy as np
from veltra import mills, ufuncs

rng = np.random.default_rng(5)
specials = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, -np.nan, 1.0, 9.5, 548.0, 2.0 ** 256,
                     -37.67712072049519, 5e-324, -5e-324, 1e300, -1e300])
x = np.concatenate([rng.uniform(-40, 40, 20_011), np.exp(rng.uniform(-700, 700, 5_003)), specials,
                    np.frombuffer(rng.bytes(8 * 4_001), dtype=np.float64)])
raw = bytearray(x.size * 8 + 1)
unaligned = np.frombuffer(raw, dtype=np.float64, count=x.size, offset=1)
unaligned[:] = x
results = [np.array([ufuncs._simd == (sys.argv[2] if sys.argv[2] != "best" else ufuncs._simd)], dtype=float)]
for name in ("millsratio", "millsratio_d1", "millsratio_d3"):
    module, ufunc = getattr(mills, name), getattr(ufuncs, name)
    results += [module(x), module(unaligned), module(x[:7]), module(x[::-3]), np.array([module(1.5)]),
                ufunc(x), ufunc(x[::3]), ufunc(x.reshape(-1, 1)[::2, 0]), ufunc(unaligned),
                ufunc(x.astype(np.float32)), ufunc(x[:5]), np.array([ufunc(-2.5)])]
    inplace = x.copy()
    ufunc(inplace, out=inplace)
    masked = np.full(x.size, 7.0)
    ufunc(x, out=masked, where=np.arange(x.size) % 5 != 0)
    results += [inplace, masked]
np.save(sys.argv[1], np.concatenate([r.ravel().view(np.int64) for r in results]))
"""


def results_on(lane_set: str, tmp_path) -> bytes:
    env = {k: v for k, v in os.environ.items() if k != "VELTRA_SIMD"}
    if lane_set != "best":
        env["VELTRA_SIMD"] = lane_set
    out = tmp_path / f"{lane_set}.npy"
    done = subprocess.run([sys.executable, "-c", WIRING, str(out), lane_set], env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return out.read_bytes()


def test_module_functions_and_ufuncs_give_the_scalar_bits_on_every_lane_set(tmp_path):
    scalar = results_on("scalar", tmp_path)
    for lane_set in [*runnable_isas(), "best"]:
        assert results_on(lane_set, tmp_path) == scalar, lane_set


def layouts():
    rng = np.random.default_rng(6)
    x = np.concatenate([rng.uniform(-40, 40, 3001), np.exp(rng.uniform(-700, 700, 1001)),
                        [0.0, -0.0, np.inf, -np.inf, np.nan, 548.0, 2.0 ** 256]])
    raw = bytearray(x.size * 8 + 3)
    unaligned = np.frombuffer(raw, dtype=np.float64, count=x.size, offset=3)
    unaligned[:] = x
    return {"contiguous": x, "every third": x[::3], "reversed": x[::-1], "column of a matrix": np.tile(x, (2, 1)).T[:, 1],
            "unaligned": unaligned, "float32": x[np.abs(x) < 1e38].astype(np.float32), "int64": np.arange(-40, 2000),
            "short": x[:3], "one longer than a block": np.resize(x, 513)[::-1]}


@pytest.mark.parametrize("name", ["millsratio", "millsratio_d1", "millsratio_d3"])
@pytest.mark.parametrize("layout", list(layouts()))
def test_ufunc_over_any_layout_gives_the_module_functions_bits(name, layout):
    ufunc, function = getattr(ufuncs, name), getattr(mills, name)
    data = layouts()[layout]
    exact = function(np.array(data, dtype=np.float64))
    result = ufunc(data)
    # float32 gives the float64 result rounded once
    bits = f"i{result.itemsize}"
    with np.errstate(over="ignore"):
        expected = exact.astype(result.dtype).view(bits)
    assert np.array_equal(result.view(bits), expected)
    inplace = np.array(data, dtype=np.float64)
    ufunc(inplace[::2], out=inplace[::2])
    assert np.array_equal(inplace[::2].view(np.int64), exact[::2].view(np.int64))
    masked = np.full(len(data), 7.0, dtype=result.dtype)
    keep = np.arange(len(data)) % 5 != 0
    ufunc(data, out=masked, where=keep)
    assert np.array_equal(masked[keep].view(bits), expected[keep]) and (masked[~keep] == 7.0).all()


@pytest.mark.parametrize("name", ["millsratio", "millsratio_d1", "millsratio_d3"])
def test_no_floating_point_warnings_from_vector_lanes(name):
    # overflowing squares and exponentials, subnormal results, infinities and NaN, in lanes
    # beside ordinary arguments
    x = np.tile([-40.0, -1e300, np.inf, -np.inf, np.nan, 1e300, 2.0 ** 300, 5e-324, 0.5, 3.0, 20.0], 3)
    with np.errstate(all="raise"):
        result = getattr(ufuncs, name)(x)
    assert np.array_equal(result.view(np.int64), getattr(mills, name)(x).view(np.int64))
