# veltra: build, demo and test in a local virtual environment.
#
#   make demo    find Python 3.13, create .venv, build and install veltra, run the example
#   make test    the same set-up, then the whole test suite
#   make tables  regenerate src/veltra/_kernels/mills_tables.hpp (needs mpmath)
#
# PYTHON=/path/to/python3.13 chooses the interpreter; .venv is reused when it exists.

VENV := .venv
PY := $(VENV)/bin/python
PIP_FLAGS := --disable-pip-version-check --quiet

.PHONY: all demo test install tables clean

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

clean:
	rm -rf $(VENV) build dist .pytest_cache .hypothesis
