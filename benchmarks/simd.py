"""The vector kernels against the scalar ones: ns per element in the bare C++ loop, per lane set.

Run from the repository root, in an environment where veltra, NumPy and SciPy are installed::

    python benchmarks/simd.py            # 1e6 elements per input set
    python benchmarks/simd.py --quick    # smoke run

For millsratio, millsratio_d1 and millsratio_d3, on 1e6 arguments from each input set (in
random order), the bare loop of bench.py (``bare_loop.cpp``) runs the scalar kernel and the
vector kernel of every lane set up to the one veltra runs on this machine, in turns over three
rounds; the best sample of each counts, and the outputs are compared bit for bit with the
scalar loop's.  Then one scalar call of the ufunc ``veltra.ufuncs.millsratio(1.5)`` and of
the module function, next to ``scipy.special.erfcx(1.5)``.

Writes ``benchmarks/results/simd.md`` (``simd_quick.md`` for a quick run).
"""

from __future__ import annotations

import argparse
import math
import sys
import tempfile
from pathlib import Path

import numpy as np

import bench  # noqa: E402  (beside this script)

INPUTS = [
    ("x in [0,40], 5% log-uniform to 1e10", lambda rng, n: bench.positive_axis(rng, n)[0]),
    ("x in [0,1]", lambda rng, n: rng.uniform(0.0, 1.0, n)),
    ("x in [1,9.5]", lambda rng, n: rng.uniform(1.0, 9.5, n)),
    ("x in [9.5,100]", lambda rng, n: rng.uniform(9.5, 100.0, n)),
    ("x in [-30,0]", lambda rng, n: rng.uniform(-30.0, 0.0, n)),
]


def lane_sets() -> list[str]:
    """The lane sets up to the one veltra runs here (VELTRA_SIMD may narrow it)."""
    chosen = bench.vector_isa()
    return [] if chosen is None else list(bench.meson_targets.ISAS[: bench.meson_targets.ISAS.index(chosen) + 1])


def time_kernels(bare: bench.BareLoop, function: str, x: np.ndarray, isas: list[str], args) -> dict:
    best: dict = {}
    outputs: dict = {}
    repeats = max(1, math.ceil(args.repeats / bench.ROUNDS))
    for _ in range(bench.ROUNDS):
        for isa in [None, *isas]:
            timing, out = bare.run(function, (x,), None, repeats, args.min_time, isa)
            best[isa] = min(best.get(isa, math.inf), timing["prealloc_ns"])
            outputs[isa] = out
    same = all(np.array_equal(outputs[None].view(np.int64), outputs[isa].view(np.int64)) for isa in isas)
    return {"ns": best, "same_bits": same}


def scalar_calls(args) -> list[tuple[str, float]]:
    namespace = {**bench.SCALAR_NAMESPACE, "x": 1.5}
    calls = {"veltra.ufuncs.millsratio(1.5)": "ufuncs.millsratio(x)",
             "veltra.mills.millsratio(1.5)": "mills.millsratio(x)",
             "scipy.special.erfcx(1.5)": "sc.erfcx(x)"}
    t = bench.measure_together(dict(zip(calls, calls.values())), max(args.min_time, 0.01), args.repeats, namespace)
    return [(name, t[name].best * 1e9) for name in calls]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--n", type=int, default=None)
    parser.add_argument("--repeats", type=int, default=None)
    parser.add_argument("--cxx", default="c++")
    args = parser.parse_args(argv)
    n = args.n or (10**5 if args.quick else 10**6)
    args.repeats = args.repeats or (3 if args.quick else 7)
    args.min_time = 0.002 if args.quick else 0.02
    isas = lane_sets()
    info = bench.machine_info(args.cxx)
    print(f"{info['cpu']}; {info['compiler']}; lane sets {', '.join(isas) or 'none'}; n = {n}", flush=True)

    lines = ["| function | inputs | scalar ns | " + " | ".join(f"{isa} ns (speed-up)" for isa in isas)
             + " | same bits |", "|---|---|---:|" + "---:|" * len(isas) + "---|"]
    mismatches = 0
    with tempfile.TemporaryDirectory(prefix="veltra-simd-") as tmp:
        bare = bench.BareLoop(Path(tmp), args.cxx, isas[-1] if isas else None)
        for function in bench.VECTOR_FUNCTIONS:
            for k, (label, make) in enumerate(INPUTS):
                x = make(np.random.default_rng([11, k]), n)
                r = time_kernels(bare, function, x, isas, args)
                scalar = r["ns"][None]
                cells = [f"{r['ns'][isa]:.2f} ({scalar / r['ns'][isa]:.2f}x)" for isa in isas]
                lines.append(f"| {function} | {label} | {scalar:.2f} | " + " | ".join(cells)
                             + f" | {'yes' if r['same_bits'] else 'NO'} |")
                mismatches += not r["same_bits"]
                print(lines[-1], flush=True)
    calls = scalar_calls(args)
    erfcx = calls[-1][1]
    call_lines = ["| call | ns | / erfcx |", "|---|---:|---:|"]
    call_lines += [f"| `{name}` | {ns:.0f} | {ns / erfcx:.2f} |" for name, ns in calls]
    text = "\n".join([
        "# Vector kernels against the scalar ones",
        "",
        f"{info['date_utc']}; {info['cpu']}, {info['usable_cpus']} usable CPUs; {info['compiler']} with "
        f"`{info['compile_flags']}`; lane set in use: {info['simd']}; load average "
        f"{info['load_average_at_start'][0]:.2f} at start.",
        "",
        f"Bare C++ loop over {n} arguments in random order (preallocated output), best of "
        f"{args.repeats} samples of at least {args.min_time} s, ns per element:",
        "",
        *lines,
        "",
        "One scalar call (Python float in), ns:",
        "",
        *call_lines,
    ]) + "\n"
    print()
    print(text)
    out = Path(bench.RESULTS) / ("simd_quick.md" if args.quick else "simd.md")
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(text, encoding="utf-8")
    print(f"written: {out}")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
