"""Fuzz harness: every public function of veltra with arbitrary objects and arrays.

Each input is decoded into a function and its arguments: numbers, None, strings, bytes,
complex values, nested lists, and NumPy arrays of every kind a caller might hold (object,
complex, string, bool, integer and float dtypes, byte-swapped, unaligned, reversed and
Fortran-ordered views, zero-size and many-dimensional shapes, subclasses, memoryviews, NaNs
with arbitrary payloads), passed positionally or by keyword, sometimes with extra or
misspelled keywords.  The only acceptable outcomes are a result or one of the documented
exceptions; anything else (another exception type, a crash, a sanitizer report) is a finding.

    python fuzz/fuzz_veltra.py -max_total_time=60          # libFuzzer options via atheris
    python fuzz/fuzz_veltra.py --random SECONDS [DIR]       # uniformly random inputs
    python fuzz/fuzz_veltra.py --replay FILE...             # re-run saved inputs

atheris cannot instrument Python 3.13 bytecode for coverage, so libFuzzer's mutations get no
guidance here; the --random mode complements them with inputs of every length from the
start.  It keeps the input being run in DIR/current, so a crash leaves it behind.
"""

import sys
import warnings

import atheris
import numpy as np

with atheris.instrument_imports():
    import veltra.intmean as intmean
    import veltra.mills as mills
    import veltra.ratiodiff as ratiodiff
    import veltra.truncnorm as truncnorm
    import veltra.ufuncs as ufuncs

FUNCTIONS = [
    (mills.millsratio, ("x",)), (mills.millsratio_d1, ("x",)), (mills.millsratio_d3, ("x",)),
    (mills.millsratio_rel_below1, ("x",)), (ratiodiff.millsratio_dd, ("x", "dx", "theta")),
    (ratiodiff.millsratio_dd_cf, ("x", "dx", "n_terms")), (intmean.logrel, ("x",)), (intmean.powrel, ("x", "a")),
    (ufuncs.millsratio, ("out", "where")), (ufuncs.millsratio_rel_below1, ("out", "where")),
    (ufuncs.millsratio_dd, ("out", "where", "dtype")), (ufuncs.millsratio_dd_cf, ("out", "where")),
    (ufuncs.logrel, ("out", "where")), (ufuncs.powrel, ("out", "where", "dtype")),
] + [(getattr(truncnorm, name), ("out", "where", "dtype"))
     for name in ("log_prob", "mean", "var", "moments", "logpdf", "logcdf", "logsf", "pdf", "cdf", "sf", "ppf", "isf")]

# What a caller may get: argument and conversion errors, domain and broadcasting errors,
# integer overflow, and NumPy's own refusals (MemoryError for absurd sizes; the ufuncs' type
# and casting errors are TypeError and ValueError subclasses).
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError)

DTYPES = ["f8", ">f8", "f4", "f2", "i1", "u2", "i8", ">i4", "?", "c16", "O", "U3", "S2", "M8[s]", "m8[s]", "V8"]


class Subclass(np.ndarray):
    pass


@atheris.instrument_func
def make_array(fdp: atheris.FuzzedDataProvider):
    ndim = fdp.ConsumeIntInRange(0, 4)
    shape = tuple(fdp.ConsumeIntInRange(0, 5) for _ in range(ndim))
    size = int(np.prod(shape)) if shape else 1
    raw = fdp.ConsumeBytes(8 * size)
    base = np.frombuffer(raw.ljust(8 * size, b"\0"), dtype="<f8").copy().reshape(shape)  # any bit pattern: NaN payloads
    kind = fdp.ConsumeIntInRange(0, 9)
    dtype = DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)]
    if kind == 0:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                return base.astype(dtype)
            except (TypeError, ValueError, OverflowError):
                return base
    if kind == 1:  # unaligned float64
        buf = bytearray(8 * size + 1)
        view = np.frombuffer(buf, dtype="f8", count=size, offset=1).reshape(shape)
        view[...] = base
        return view
    if kind == 2:
        return base[::-1] if base.ndim else base
    if kind == 3:
        return np.asfortranarray(base)
    if kind == 4:
        base.setflags(write=False)
        return base
    if kind == 5:
        return base.view(Subclass)
    if kind == 6:
        return memoryview(np.ascontiguousarray(base))
    if kind == 7:
        return np.broadcast_to(base, (2,) + base.shape)
    if kind == 8:
        return np.ma.masked_invalid(base)
    return np.empty((0,) * fdp.ConsumeIntInRange(1, 3) + (fdp.ConsumeIntInRange(0, 1 << 20),))


@atheris.instrument_func
def make_value(fdp: atheris.FuzzedDataProvider, depth: int = 0):
    choice = fdp.ConsumeIntInRange(0, 11)
    if choice == 0:
        return fdp.ConsumeRegularFloat()
    if choice == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))
    if choice == 2:
        return None
    if choice == 3:
        return fdp.ConsumeUnicodeNoSurrogates(4)
    if choice == 4:
        return fdp.ConsumeBytes(3)
    if choice == 5:
        return complex(fdp.ConsumeRegularFloat(), fdp.ConsumeRegularFloat())
    if choice == 6 and depth < 3:
        return [make_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if choice == 7:
        return fdp.ConsumeBool()
    if choice == 8:
        return np.float64(fdp.ConsumeFloat())
    if choice == 9:
        return fdp.ConsumeFloat()  # includes inf and NaN
    return make_array(fdp)


@atheris.instrument_func
def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    function, names = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
    count = fdp.ConsumeIntInRange(0, len(names) + 1)
    values = [make_value(fdp) for _ in range(count)]
    by_keyword = fdp.ConsumeIntInRange(0, count)
    args = values[: count - by_keyword]
    kwargs = {}
    for value in values[count - by_keyword:]:
        pool = names + ("y", "theta", "n_terms")
        kwargs[pool[fdp.ConsumeIntInRange(0, len(pool) - 1)]] = value
    if function in (ratiodiff.millsratio_dd_cf, ufuncs.millsratio_dd_cf):
        # The recurrence costs n_terms steps by design; keep the depth where a run stays fast.
        args = [v % 4096 if type(v) is int and i == 2 else v for i, v in enumerate(args)]
        if type(kwargs.get("n_terms")) is int:
            kwargs["n_terms"] %= 4096
        if function is ufuncs.millsratio_dd_cf:  # the same bound on integer arrays
            args = [np.clip(v, -4096, 4096) if isinstance(v, np.ndarray) and v.dtype.kind in "iub" else v
                    for v in args]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = function(*args, **kwargs)
        except DOCUMENTED:
            return
    if isinstance(function, np.ufunc):
        return  # NumPy's ufunc machinery decides result types (out=, dtype=, object arrays)
    if not isinstance(result, (float, np.ndarray)):
        raise AssertionError(f"unexpected result type {type(result)}")
    if isinstance(result, np.ndarray) and result.dtype != np.float64:
        raise AssertionError(f"unexpected dtype {result.dtype}")


def run_random(seconds: float, directory: str) -> None:
    import os
    import time

    os.makedirs(directory, exist_ok=True)
    current = os.path.join(directory, "current")
    rng = np.random.default_rng()
    deadline, runs = time.monotonic() + seconds, 0
    while time.monotonic() < deadline:
        data = rng.bytes(int(rng.integers(1, 4096)))
        with open(current, "wb") as f:
            f.write(data)
        test_one_input(data)
        runs += 1
    os.remove(current)
    print(f"random: {runs} inputs, no finding")


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--random":
        run_random(float(sys.argv[2]), sys.argv[3] if len(sys.argv) > 3 else "build")
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--replay":
        for path in sys.argv[2:]:
            with open(path, "rb") as f:
                test_one_input(f.read())
        return
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
