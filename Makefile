# veltra: build, demo and test in a local virtual environment.
#
#   make demo    find Python 3.13, create .venv, build and install veltra, run the example
#   make test    the same set-up, then the whole test suite
#   make tables  regenerate src/veltra/_kernels/mills_tables.hpp (needs mpmath)
#   make sanitize  build with AddressSanitizer and UndefinedBehaviorSanitizer into
#                .venv-sanitize and run the whole test suite against that build
#
# PYTHON=/path/to/python3.13 chooses the interpreter; .venv is reused when it exists.

VENV := .venv
PY := $(VENV)/bin/python
PIP_FLAGS := --disable-pip-version-check --quiet

.PHONY: all demo test install tables sanitize clean

all: test

$(PY):
	@python="$$(tools/find_python.sh)" || exit 1; \
	echo "Creating $(VENV) with $$python"; \
	"$$python" -m venv $(VENV)

install: $(PY)
	$(PY) -m pip install $(PIP_FLAGS) '.[test]'

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest

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
	-Csetup-args=-Dcpp_args=-fno-sanitize-recover=all,-fsanitize=float-cast-overflow \
	-Csetup-args=-Dbuildtype=debugoptimized

$(SAN_PY):
	@python="$$(tools/find_python.sh)" || exit 1; \
	"$$python" -m venv $(SAN_VENV)

sanitize: $(SAN_PY)
	$(SAN_PY) -m pip install $(PIP_FLAGS) --force-reinstall --no-deps $(SAN_FLAGS) .
	$(SAN_PY) -m pip install $(PIP_FLAGS) '.[test]' $(SAN_FLAGS)
	LD_PRELOAD="$$(c++ -print-file-name=libasan.so)" \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	VELTRA_SANITIZE=1 $(SAN_PY) -m pytest -p no:cacheprovider

clean:
	rm -rf $(VENV) $(SAN_VENV) build dist .pytest_cache .hypothesis
