"""Targets of meson.build built on request only (the SIMD gate and its injected faults, the
lane units, the benchmarks' bare loop), by meson itself in a build directory of their own:
their flags are the wheel's, since meson.build is the one place that states them.

    build_targets(builddir, ["simd_gate", "bare_loop"])   # -> {name: path of the built file}

The directory is configured once (with `options`, e.g. -Dwerror=true) and reused: meson
rebuilds what changed.  Meson and ninja come from the running interpreter's environment (the
`test` extra), and meson.build reads NumPy's headers from that interpreter.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ISAS = ("avx2", "avx512")


def _environment() -> dict[str, str]:
    env = dict(os.environ)
    ninja = shutil.which("ninja", path=str(Path(sys.executable).parent)) or shutil.which("ninja")
    if ninja is not None:
        env["NINJA"] = ninja
    return env


def _meson(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "mesonbuild.mesonmain", *args], env=_environment(),
                          capture_output=True, text=True)


def _check(done: subprocess.CompletedProcess) -> None:
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(done.args)} failed:\n{done.stdout}\n{done.stderr}")


def build_targets(builddir: Path, names: list[str], options: list[str] = ()) -> dict[str, Path]:
    """The targets `names` of meson.build built in `builddir`: {name: path}.  A static library
    `lib` is found as liblib.a."""
    if not (builddir / "build.ninja").exists():
        _check(_meson("setup", str(builddir), str(ROOT), *options))
    _check(_meson("compile", "-C", str(builddir), *names))
    found = {}
    for name in names:
        for candidate in (builddir / name, builddir / f"lib{name}.a"):
            if candidate.exists():
                found[name] = candidate
                break
        else:
            raise FileNotFoundError(f"{name} was not built in {builddir}")
    return found
