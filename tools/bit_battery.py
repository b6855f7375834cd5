"""The bits of every public function on a fixed battery of arguments, recorded and compared.

    python tools/bit_battery.py record FILE     write the outputs to FILE (.npz)
    python tools/bit_battery.py check FILE      recompute and compare with FILE, bit for bit

A change that rewrites how a kernel is expressed (one generic text for several lane sets, a
header split into rooms) must leave every result's bits as they were: record before the first
change, check after each.  `check` under VELTRA_SIMD=scalar, avx2 and the default compares the
lane sets with the same record.

The battery is deterministic: every floating-point constant of the kernel headers (each a
threshold or a coefficient that a branch may compare against) and the square root of twice it
(a threshold on z = x^2/2 seen as a point), at offsets of 0, 1, 2, 4, ..., 128 ulps on either
side, both signs; special values; a logarithmic sweep of magnitudes from the subnormals to the
largest doubles.  Intervals pair those points with widths from one ulp to infinite, and with each
other; points x sit at, next to and between the ends; probabilities run from the subnormals to
1 - 2^-53.  Every ufunc of the Python modules is found by introspection, so a function added
later is in the battery without an edit here (its record then starts with it).
"""

from __future__ import annotations

import argparse
import math
import re
import sys
from pathlib import Path

import numpy as np

import veltra.intmean
import veltra.mills
import veltra.ratiodiff
import veltra.truncnorm
import veltra.ufuncs

KERNELS = Path(__file__).resolve().parent.parent / "src" / "veltra" / "_kernels"
POINTS = "battery points"
OFFSETS = [0] + [s * 2 ** k for k in range(8) for s in (1, -1)]
LITERAL = re.compile(r"(?<![\w.])(0x[0-9a-fA-F.]+p[-+]?\d+|\d+\.\d*(?:[eE][-+]?\d+)?|\d+[eE][-+]?\d+)")


def header_constants() -> list[float]:
    """Every floating-point literal of the kernel headers that is not a table entry."""
    values = set()
    for header in sorted(KERNELS.rglob("*.hpp")):
        if header.name.endswith("_tables.hpp"):
            continue
        for token in LITERAL.findall(header.read_text()):
            value = float.fromhex(token) if token.startswith("0x") else float(token)
            if 0 < value < math.inf:
                values.add(value)
    return sorted(values | {math.sqrt(2 * v) for v in values if v < 1e300})


def around(values, offsets=OFFSETS) -> np.ndarray:
    """Each value at the given offsets in ulps, and its negative."""
    out = []
    for v in values:
        bits = np.float64(v).view(np.int64)
        out.extend(np.array(bits + np.array(offsets, np.int64)).view(np.float64))
    out = np.array(out)
    return np.concatenate([out, -out])


SPECIALS = np.array([0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 2.2250738585072014e-308,
                     1.7976931348623157e308, -1.7976931348623157e308, 1.0, -1.0, 0.5])


def points() -> np.ndarray:
    sweep = 2.0 ** np.arange(-1074, 1024, 7.25)
    return np.concatenate([around(header_constants()), SPECIALS, sweep, -sweep, np.linspace(-60, 60, 961)])


def intervals(p: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Intervals [p, p + w] at widths relative to max(|p|, 1) and absolute, one ulp wide,
    infinite on either side, straddling 0, and pairs of battery points."""
    rng = np.random.default_rng(20261208)
    base = p[np.isfinite(p)][::3]
    scale = np.maximum(np.abs(base), 1.0)
    lo, hi = [], []
    for k in range(0, 60, 4):
        lo.append(base)
        hi.append(base + scale * 2.0 ** -k)
    for w in (1e-300, 1e-30, 1e-8, 0.25, 1.0, 3.0, 40.0):
        lo.append(base)
        hi.append(base + w)
    lo += [base, base, -np.abs(base), np.full(base.size, -math.inf)]
    hi += [np.nextafter(base, math.inf), np.full(base.size, math.inf), np.abs(base) * 0.75, base]
    pairs = rng.choice(p, (2, 40_000))
    lo.append(pairs.min(axis=0))
    hi.append(pairs.max(axis=0))
    lo.append(pairs[0])   # either order, NaN and equal ends included
    hi.append(pairs[1])
    return np.concatenate(lo), np.concatenate(hi)


def probabilities() -> np.ndarray:
    tiny = 10.0 ** np.arange(-323, 0, 3.5)
    return np.concatenate([tiny, 1 - tiny, [0.0, 0.5, 1.0, 1 - 2.0 ** -53, 2.0 ** -53, -0.0, math.nan, 1.5]])


def ufuncs(module) -> list[tuple[str, object]]:
    return [(f"{module.__name__}.{name}", getattr(module, name)) for name in sorted(dir(module))
            if not name.startswith("_") and isinstance(getattr(module, name), np.ufunc)]


def mills_family(p: np.ndarray, rng) -> dict[str, np.ndarray]:
    """The Mills ratio's functions, through the modules' own functions and through the ufuncs;
    the divided differences at every branch selector and at convergent depths up to 40."""
    dx = rng.choice(p, p.size)
    above = np.abs(p) - 0.5                      # log(1 + x) needs x > -1
    exponent = rng.choice(np.linspace(-4, 4, 33), p.size)
    calls = [("mills", "millsratio", (p,)), ("mills", "millsratio_d1", (p,)), ("mills", "millsratio_d3", (p,)),
             ("mills", "millsratio_rel_below1", (np.abs(p) % 1.0,)),
             ("intmean", "logrel", (above,)), ("intmean", "powrel", (above, exponent))]
    calls += [("ratiodiff", "millsratio_dd", (p, dx, theta)) for theta in (-1, 0, 1, 2)]
    calls += [("ratiodiff", "millsratio_dd_cf", (p, dx, depth)) for depth in (0, 1, 2, 4, 8, 40)]
    out: dict[str, list] = {}
    for module, name, args in calls:
        for home in (getattr(veltra, module), veltra.ufuncs):
            out.setdefault(f"{home.__name__}.{name}", []).append(np.ravel(getattr(home, name)(*args)))
    return {k: np.concatenate(v) for k, v in out.items()}


def battery(p: np.ndarray) -> dict[str, np.ndarray]:
    """Every function's results on the battery built from the points `p`."""
    rng = np.random.default_rng(1208)
    with np.errstate(all="ignore"):
        a, b = intervals(p)
        # points of each interval: the ends, an ulp inside and outside, the middle and a quarter
        span = np.where(np.isfinite(b - a), b - a, 40.0)
        start = np.where(np.isfinite(a), a, b - 40.0)
        where = [a, b, np.nextafter(a, math.inf), np.nextafter(b, -math.inf), np.nextafter(a, -math.inf),
                 start + span / 2, start + span / 4]
        x = np.concatenate(where)
        xa, xb = np.tile(a, len(where)), np.tile(b, len(where))
        q = probabilities()
        pick = rng.integers(0, a.size, 6000)
        qa, qb = np.repeat(a[pick], q.size), np.repeat(b[pick], q.size)
        qq = np.tile(q, pick.size)
        out = mills_family(p, rng)
        for name, f in ufuncs(veltra.truncnorm):
            if f.nin == 2:
                results = f(a, b)
            elif name.endswith(("ppf", "isf")):
                # elementwise bounds, then one interval for many probabilities (the prepared path)
                results = (f(qq, qa, qb),) + tuple(f(q, a[i], b[i]) for i in pick[:200])
            else:
                results = (f(x, xa, xb),) + tuple(f(x[i::a.size], a[i], b[i]) for i in pick[:200])
            results = results if isinstance(results, tuple) else (results,)
            out[name] = np.concatenate([np.ravel(r) for r in results])
    return {k: np.ascontiguousarray(v, np.float64).view(np.uint64) for k, v in out.items()}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("action", choices=["record", "check"])
    parser.add_argument("file")
    args = parser.parse_args(argv)
    if args.action == "record":
        # the points go with the record: constants added to the headers later do not move
        # the battery that a check recomputes
        now = battery(points())
        np.savez_compressed(args.file, **now, **{POINTS: points().view(np.uint64)})
        print(f"recorded {sum(v.size for v in now.values())} results of {len(now)} functions in {args.file}")
        return 0
    before = np.load(args.file)
    now = battery(before[POINTS].view(np.float64))
    failed = 0
    for name in sorted((set(before.files) - {POINTS}) | set(now)):
        if name not in now or name not in before.files:
            print(f"{name}: only in {'the record' if name in before.files else 'this build'}")
            continue
        old, new = before[name], now[name]
        if old.shape != new.shape:
            print(f"{name}: {old.size} results recorded, {new.size} now")
            failed += 1
            continue
        differ = np.flatnonzero(old != new)
        if differ.size:
            failed += 1
            print(f"{name}: {differ.size} of {old.size} results differ, e.g. at {differ[:5].tolist()}: "
                  f"{old[differ[:3]].view(np.float64).tolist()} -> {new[differ[:3]].view(np.float64).tolist()}")
    total = sum(v.size for v in now.values())
    print(f"{total} results of {len(now)} functions: " + ("identical" if not failed else f"{failed} functions differ"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
