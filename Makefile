# veltra: build, demo and test in a local virtual environment.
#
#   make demo    find Python 3.13, create .venv, build and install veltra with what the example
#                needs (the `demo` extra: SciPy, mpmath), run the example
#   make test    the same set-up with the test tools (the `test` extra), then the whole suite
#   make tables  regenerate src/veltra/_kernels/mills_tables.hpp (needs mpmath)
#   make sanitize  build with AddressSanitizer and UndefinedBehaviorSanitizer into
#                .venv-sanitize and run the whole test suite against that build
#   make fuzz    fuzz every public function against the sanitized build, then check their
#                values against mpmath (FUZZ_SECONDS=60 each)
#   make bench   benchmarks against the SciPy/NumPy formulas and a bare C++ loop, the vector
#                kernels against the scalar ones, and the truncated normal against
#                scipy.stats.truncnorm
#   make fit-example  veltra's fit of the truncated normal beside SciPy's on four cases (the
#                histograms to docs/fit.png), then a fit of 2e7 points on a dask LocalCluster
#   make compat  the wheel built here (NumPy 2 headers, NumPy 1.23 C API) tested on the oldest
#                NumPy that supports Python 3.13
#
# PYTHON=/path/to/python3.13 chooses the interpreter; .venv is reused when it exists.

VENV := .venv
PY := $(VENV)/bin/python
PIP_FLAGS := --disable-pip-version-check --quiet

.PHONY: all demo test install install-demo tables sanitize sanitize-install fuzz bench fit-example compat clean

all: test

$(PY):
	@python="$$(tools/find_python.sh)" || exit 1; \
	echo "Creating $(VENV) with $$python"; \
	"$$python" -m venv $(VENV)

install: $(PY)
	$(PY) -m pip install $(PIP_FLAGS) '.[test]'

install-demo: $(PY)
	$(PY) -m pip install $(PIP_FLAGS) '.[demo]'

demo: install-demo
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest

bench: install
	$(PY) benchmarks/bench.py
	$(PY) benchmarks/simd.py
	$(PY) benchmarks/thread_scaling.py | tee benchmarks/results/threads.md
	$(PY) benchmarks/bench_truncnorm.py | tee benchmarks/results/truncnorm.md
	$(PY) benchmarks/bench_fit.py | tee benchmarks/results/fit.md

fit-example: install
	$(PY) examples/fit.py
	$(PY) examples/fit.py --dask --size 20000000 --chunk 2000000

# The extensions are compiled against the newest NumPy's headers but target an old C API, so
# the same binary must load on older NumPy releases: install the wheel next to the oldest
# NumPy for this Python (and the SciPy of its time, which the truncated normal's tests
# compare with) and run the tests of every module, the sampler's included: it reads NumPy's
# bit generator through the C API.
OLD_VENV := .venv-numpy-oldest
OLDEST_NUMPY ?= 2.1.3
OLDEST_SCIPY ?= 1.14.1
compat: install
	rm -rf build/wheel
	$(PY) -m pip wheel $(PIP_FLAGS) --no-deps -w build/wheel .
	@test -x $(OLD_VENV)/bin/python || "$$(tools/find_python.sh)" -m venv $(OLD_VENV)
	$(OLD_VENV)/bin/python -m pip install $(PIP_FLAGS) "numpy==$(OLDEST_NUMPY)" "scipy==$(OLDEST_SCIPY)" \
		pytest mpmath hypothesis
	$(OLD_VENV)/bin/python -m pip install $(PIP_FLAGS) --force-reinstall --no-deps build/wheel/veltra-*.whl
	$(OLD_VENV)/bin/python -c "import numpy, scipy; print('NumPy', numpy.__version__, 'SciPy', scipy.__version__)"
	$(OLD_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/test_frame.py tests/test_mills.py \
		tests/test_derivatives.py tests/test_rel_below1.py tests/test_ratiodiff.py tests/test_intmean.py \
		tests/test_ufuncs.py tests/test_properties.py tests/test_truncnorm.py tests/test_truncnorm_lanes.py \
		tests/test_truncnorm_sample.py tests/test_stats.py

tables: $(PY)
	$(PY) -m pip install $(PIP_FLAGS) mpmath
	$(PY) tools/gen_tables.py

# The sanitized extensions need the ASan runtime loaded before the (uninstrumented)
# interpreter; UBSan stops at the first report.  Leak detection is off for this run: the
# interpreter and NumPy keep objects alive until exit by design, and LeakSanitizer cannot tell
# those from ours.  Leaks of ours are what tests/test_leaks.py measures instead.
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_FLAGS := -Csetup-args=-Db_sanitize=address,undefined -Csetup-args=-Db_lundef=false \
	"-Csetup-args=-Dcpp_args=['-fno-sanitize-recover=all','-fsanitize=float-cast-overflow']" \
	-Csetup-args=-Dcpp_link_args=-fsanitize=float-cast-overflow \
	-Csetup-args=-Dbuildtype=debugoptimized

SAN_ENV := LD_PRELOAD="$$(c++ -print-file-name=libasan.so)" \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 VELTRA_SANITIZE=1

$(SAN_PY):
	@python="$$(tools/find_python.sh)" || exit 1; \
	"$$python" -m venv $(SAN_VENV)

# One sanitized build, as a wheel: installed over any earlier one, then with the test tools.
sanitize-install: $(SAN_PY)
	rm -rf build/sanitize-wheel
	$(SAN_PY) -m pip wheel $(PIP_FLAGS) --no-deps -w build/sanitize-wheel $(SAN_FLAGS) .
	$(SAN_PY) -m pip install $(PIP_FLAGS) --force-reinstall --no-deps build/sanitize-wheel/veltra-*.whl
	$(SAN_PY) -m pip install $(PIP_FLAGS) "$$(ls build/sanitize-wheel/veltra-*.whl)[test]"

sanitize: sanitize-install
	$(SAN_ENV) $(SAN_PY) -m pytest -p no:cacheprovider

# Inputs of every kind through every public function, against the sanitized build: libFuzzer
# (through atheris) for FUZZ_SECONDS, then uniformly random inputs as long again.  Findings
# are left in build/fuzz-crash-* or build/current; replay them with
# `python fuzz/fuzz_veltra.py --replay FILE`.
# Then the differential fuzzer for FUZZ_SECONDS more: values against mpmath and exact
# rationals within the README's bounds, on the .venv build (the sanitizers add nothing to a
# check of values, and slow the mpmath references); findings in
# build/differential-findings.jsonl, replayed with `python fuzz/differential.py --replay FILE`.
FUZZ_SECONDS ?= 60
fuzz: sanitize-install install
	$(SAN_PY) -m pip install $(PIP_FLAGS) atheris
	mkdir -p build/fuzz-corpus
	$(SAN_PY) -c "import os; [open(f'build/fuzz-corpus/seed{i}', 'wb').write(os.urandom(16 + 8 * i)) for i in range(64)]"
	$(SAN_ENV) $(SAN_PY) fuzz/fuzz_veltra.py build/fuzz-corpus -max_total_time=$(FUZZ_SECONDS) \
		-timeout=30 -rss_limit_mb=8000 -len_control=0 -artifact_prefix=build/fuzz-
	$(SAN_ENV) $(SAN_PY) fuzz/fuzz_veltra.py --random $(FUZZ_SECONDS) build
	$(PY) fuzz/differential.py --seconds $(FUZZ_SECONDS) --out build

clean:
	rm -rf $(VENV) $(SAN_VENV) $(OLD_VENV) build dist .pytest_cache .hypothesis
