"""Where one call of a veltra function spends its time, from native stack samples.

bench.py times the Python-level equivalents of the binding's steps one by one; this script
looks at the binding itself.  It runs a statement in a loop under py-spy (sampling native
frames as well as Python ones), then attributes every sample inside the call to the innermost
function of veltra's module frame on its stack (``as_float64``, ``flatten``,
``allocate_and_acquire``, ``Float64Buffer::acquire``, ...), and within each of those to the
function it was calling (``array_asarray``, ``dispatcher_vectorcall``, ...).  Samples outside
the call (the interpreter's loop around it, the import and the set-up) are set apart.

    python benchmarks/profile_call.py                                   # millsratio(2.5)
    python benchmarks/profile_call.py --seconds 8 --setup "import numpy as np; \\
        from veltra.mills import millsratio as f; x = np.random.default_rng(1).uniform(0, 40, 10**6)"

py-spy must be installed in the environment (``pip install py-spy``) or on PATH; it needs
permission to trace its child process (root, or ptrace allowed).
"""

from __future__ import annotations

import argparse
import collections
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

# The profiled process: the statement in batches of about 10 ms, so that the clock is read
# rarely next to a fast call, until the time is up.
LOOP = """\
import time
{setup}
_start = time.perf_counter()
{stmt}
_batch = max(1, int(0.01 / max(time.perf_counter() - _start, 1e-9)))
_end = time.perf_counter() + {seconds}
while time.perf_counter() < _end:
    for _ in range(_batch):
        {stmt}
"""

FRAME_NAMESPACE = "veltra::frame::"


def find_py_spy() -> str | None:
    beside = Path(sys.executable).with_name("py-spy")
    return str(beside) if beside.exists() else shutil.which("py-spy")


def short_name(frame: str) -> str:
    """'veltra::frame::elementwise<&veltra::_R<double>(double), ...> (mills.so)' -> 'elementwise'."""
    name = re.sub(r" \([^()]*\)$", "", frame)          # the library or file:line suffix
    name = name.replace(FRAME_NAMESPACE, "").replace("(anonymous namespace)::", "")
    return re.sub(r"<.*", "", name)


def attribute(folded: Path) -> tuple[collections.Counter, dict, int]:
    """Samples per binding step, the callees within each step, and the total sample count."""
    steps: collections.Counter = collections.Counter()
    callees: dict = collections.defaultdict(collections.Counter)
    total = 0
    for line in folded.read_text().splitlines():
        stack, _, count = line.rpartition(" ")
        if not stack or not count.isdigit():
            continue
        frames = stack.split(";")
        total += int(count)
        inner = [i for i, f in enumerate(frames) if FRAME_NAMESPACE in f]
        if not any(FRAME_NAMESPACE in f and "function_vectorcall" in f for f in frames):
            # The interpreter's loop around the call, the import and the set-up.
            steps["(outside the call)"] += int(count)
            continue
        i = inner[-1]
        step = short_name(frames[i])
        # py-spy leaves out the interpreter's own native frames: samples in CPython's C API
        # (attribute look-ups, reference counting, the allocator) count as the step's own.
        callee = short_name(frames[i + 1]) if i + 1 < len(frames) else "(itself and CPython's C API)"
        if callee.startswith("0x"):
            callee = "(unresolved address)"
        steps[step] += int(count)
        callees[step][callee] += int(count)
    return steps, callees, total


def profile(setup: str, stmt: str, seconds: float = 6.0, rate: int = 1000) -> dict | None:
    """Samples `stmt` in a loop; None when py-spy is not available or cannot trace."""
    py_spy = find_py_spy()
    if py_spy is None:
        return None
    with tempfile.TemporaryDirectory(prefix="veltra-profile-") as tmp:
        script = Path(tmp) / "loop.py"
        script.write_text(LOOP.format(setup=setup, stmt=stmt, seconds=seconds))
        folded = Path(tmp) / "stacks.txt"
        done = subprocess.run([py_spy, "record", "--native", "--format", "raw", "--rate", str(rate),
                               "--output", str(folded), "--", sys.executable, str(script)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if done.returncode != 0 or not folded.exists():
            return None
        steps, callees, total = attribute(folded)
    inside = sum(v for k, v in steps.items() if not k.startswith("(outside"))
    return {"setup": setup, "stmt": stmt, "samples": total, "inside": inside,
            "steps": [{"step": step, "samples": count,
                       "callees": dict(callees[step].most_common())}
                      for step, count in steps.most_common()]}


def markdown(result: dict, top: int = 3, call_us: float | None = None) -> str:
    """The steps with their shares of the call and the main callees of each; with the time of
    one call, `call_us`, also each step's share of it in µs."""
    inside = max(result["inside"], 1)
    lines = [f"{result['samples']} samples, {result['inside']} inside the call.", ""]
    if call_us is None:
        lines += ["| step (innermost function of the module frame) | share of the call | what it was calling |",
                  "|---|---:|---|"]
    else:
        lines += [f"| step (innermost function of the module frame) | share of the call | "
                  f"≈ µs of {call_us:.3f} | what it was calling |", "|---|---:|---:|---|"]
    for s in result["steps"]:
        if s["step"].startswith("(outside"):
            continue
        share = s["samples"] / inside
        calls = ", ".join(f"{name} {100 * c / inside:.1f}%"
                          for name, c in list(s["callees"].items())[:top])
        us = "" if call_us is None else f" {share * call_us:.3f} |"
        lines.append(f"| `{s['step']}` | {100 * share:.1f}% |{us} {calls} |")
    return "\n".join(lines)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--setup", default="from veltra.mills import millsratio as f; x = 2.5")
    p.add_argument("--stmt", default="f(x)")
    p.add_argument("--seconds", type=float, default=6.0, help="how long the loop runs")
    p.add_argument("--rate", type=int, default=1000, help="samples per second")
    p.add_argument("--top", type=int, default=4, help="callees shown per step")
    args = p.parse_args(argv)

    result = profile(args.setup, args.stmt, args.seconds, args.rate)
    if result is None:
        print("py-spy not found or not permitted to trace: pip install py-spy; run as root",
              file=sys.stderr)
        return 2
    print(f"{args.stmt}   [setup: {args.setup}]\n")
    print(markdown(result, args.top))
    return 0


if __name__ == "__main__":
    sys.exit(main())
