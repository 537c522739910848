# make demo  — set up, build, and run an acquisition on the virtual detector
# make test  — set up, build, and run the tests
# The first CPython 3.13 that actually runs (a pyenv shim may exist and fail).
PYTHON ?= $(shell for p in python3.13 $$(ls -d $$HOME/.pyenv/versions/3.13.*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13 2>/dev/null); do \
	$$p -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo $$p; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find sdk vexasdk -type f) CMakeLists.txt pyproject.toml

.PHONY: setup install demo test bench clean

setup: $(VENV)/.deps

# Made again when this file changes: it lists the packages.
$(VENV)/.deps: Makefile
	@test -n "$(PYTHON)" || { echo "CPython 3.13 is needed (python3.13 not found)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "numpy>=2" "awkward>=2" "pytest>=8" "hypothesis>=6.100" cmake ninja
	touch $@

install: $(VENV)/.installed

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

demo: install
	$(PY) examples/acquire.py

test: install
	$(VENV)/bin/pytest -q

bench: install
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV)
