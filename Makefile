# make demo  — set up, build, and run an acquisition on the virtual detector
# make test  — set up, build, and run the tests
PYTHON ?= $(shell command -v python3.13 2>/dev/null || ls -d $$HOME/.pyenv/versions/3.13.*/bin/python3.13 2>/dev/null | tail -n 1)
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find sdk vexasdk -type f) CMakeLists.txt pyproject.toml

.PHONY: setup install demo test bench clean

setup: $(VENV)/.deps

$(VENV)/.deps:
	@test -n "$(PYTHON)" || { echo "CPython 3.13 is needed (python3.13 not found)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "numpy>=2" "awkward>=2" "pytest>=8" cmake ninja
	touch $@

install: $(VENV)/.installed

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

demo: install
	$(PY) examples/acquire.py

test: install
	$(PY) -P -m pytest -q  # -P: the source tree must not shadow the installed package

bench: install
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV)
