"""Builds the vector kernels (src/veltra/_vec) outside meson, as meson.build builds them: one
object per lane set, compiled with that lane set's flags as meson.build lists them, and the
baseline dispatch.  tests/test_simd.py links them into its bit-identity gate and
benchmarks/bench.py into the bare C++ loop.
"""

from __future__ import annotations

import re
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src" / "veltra"
VEC = SRC / "_vec"
CXX_FLAGS = ["-std=c++17", "-O2", "-ffp-contract=off"]
ISAS = ("avx2", "avx512")


def isa_flags() -> dict[str, list[str]]:
    """The compiler flags of each lane set, read from meson.build's vec_isa_args."""
    text = (ROOT / "meson.build").read_text()
    block = re.search(r"vec_isa_args = \{(.*?)\n\}", text, re.S).group(1)
    return {isa: re.findall(r"'(-m[^']+)'", flags) for isa, flags in re.findall(r"'(\w+)': \[([^\]]*)\]", block)}


def compile_object(compiler: str, source: Path, obj: Path, flags: list[str]) -> Path:
    """source compiled to obj with the project's flags, `flags` and -I src/veltra; kept if
    obj exists already."""
    if not obj.exists():
        subprocess.run([compiler, *CXX_FLAGS, *flags, "-I", str(SRC), "-c", str(source), "-o", str(obj)],
                       check=True)
    return obj


def vector_objects(compiler: str, workdir: Path, variant: str = "clean", extra: list[str] = ()) -> list[Path]:
    """The dispatch and every lane set's kernels as objects in `workdir`; `extra` flags (and
    the name `variant`) for the lane sets only, as for a build with an injected fault."""
    flags = isa_flags()
    dispatch = compile_object(compiler, VEC / "dispatch.cpp", workdir / "dispatch.o", ["-DVELTRA_VEC_X86=1"])
    return [dispatch] + [compile_object(compiler, VEC / f"mills_{isa}.cpp", workdir / f"mills_{isa}_{variant}.o",
                                        [*flags[isa], *extra]) for isa in ISAS]
