# orvex.tcl: set-up, build, demo, tests and benchmarks.
#
#   make demo    set up, build, then run the tour (examples/tour.py)
#   make test    set up, build, run the suite; again on a build with
#                AddressSanitizer + UndefinedBehaviorSanitizer; and on
#                Python 3.13 when it is installed
#   make bench   the benchmarks under bench/ (BENCH=kelvor: only those;
#                BENCH_QUICK=1: shorter rounds); figures to bench/results/
#   make bench-compare  run them, then set the run beside the saved baseline
#                bench/results/baseline-before.json (or BASE=file.json,
#                e.g. BASE=bench/results/previous.json: the run before)
#
# Works as root on a bare machine: installs TclX from Debian's packages and
# builds virtual environments with Python 3.12 (found on PATH or in pyenv).

SHELL := /bin/sh
PYTHON ?= $(shell tools/find-python 3.12 2>/dev/null || tools/find-python any)
PYTHON313 ?= $(shell tools/find-python 3.13 2>/dev/null)

VENV := .venv
VENV_SAN := .venv-san
VENV_313 := .venv-313
SOURCES := $(shell find src -type f -not -name '*.pyc' -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml

# The sanitizer runtime goes first into the (uninstrumented) Python process,
# with libstdc++ beside it so that ASan's C++ throw interceptor finds the real
# one; PYTHONMALLOC=malloc lets ASan see every object allocation.
SAN_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all setup demo test test-main test-san test-313 bench bench-compare clean system

all: setup

# --- system packages ---------------------------------------------------------

system: .system-stamp
.system-stamp:
	@if [ ! -e /usr/lib/tclx8.4/pkgIndex.tcl ] || ! command -v Xvfb >/dev/null; then \
	    echo "Installing TclX (tclx8.4) and Xvfb (xvfb, for the Tk tests) from Debian's packages"; \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq tclx8.4 xvfb >/dev/null) \
	    || { echo "could not install tclx8.4 and xvfb (run as root, or install them by hand)" >&2; exit 1; }; \
	fi
	@touch $@

# --- virtual environments -------------------------------------------------------
#
# $(call venv,DIR,PYTHON,PIP-BUILD-OPTIONS): a virtual environment with the
# build and test tools, and the package built and installed into it again
# whenever a source changes (the CMake build directory is kept, so a rebuild
# compiles only what changed).

define venv
$(1)/bin/python:
	@test -n "$(2)" || { echo "No Python 3.12 or newer found (PATH, then pyenv)" >&2; exit 1; }
	$(2) -m venv $(1)
	$(1)/bin/pip install -q --upgrade pip
	$(1)/bin/pip install -q "scikit-build-core>=0.10,<2" "pytest>=8" "hypothesis>=6.100"

$(1)/.installed: $(1)/bin/python $(SOURCES)
	$(1)/bin/pip install -q --no-build-isolation --no-deps $(3) .
	@touch $$@
endef

$(eval $(call venv,$(VENV),$(PYTHON),))
$(eval $(call venv,$(VENV_SAN),$(PYTHON),-C cmake.define.ORVEX_SANITIZE=ON -C build-dir=build/sanitize))
$(eval $(call venv,$(VENV_313),$(PYTHON313),))

setup: system $(VENV)/.installed

# --- the two commands of the README -------------------------------------------

demo: setup
	cd examples && ../$(VENV)/bin/python tour.py

test: test-main test-san test-313

test-main: setup
	$(VENV)/bin/python -m pytest -q

test-san: system $(VENV_SAN)/.installed
	$(SAN_ENV) $(VENV_SAN)/bin/python -m pytest -q -p no:cacheprovider -m "not slow"

test-313: system
	@if [ -n "$(PYTHON313)" ]; then \
	    $(MAKE) --no-print-directory $(VENV_313)/.installed && \
	    $(VENV_313)/bin/python -m pytest -q -p no:cacheprovider; \
	else echo "Python 3.13 not installed: skipping the 3.13 run"; fi

bench: setup
	$(VENV)/bin/python bench/run.py $(BENCH)

bench-compare: bench
	$(VENV)/bin/python bench/compare.py $(BASE)

clean:
	rm -rf build $(VENV) $(VENV_SAN) $(VENV_313) .system-stamp
