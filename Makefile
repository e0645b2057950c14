# One-command entry points. `make demo` runs the main job, `make test` the
# whole test suite; both set themselves up (virtual environment, build,
# dependencies) on a fresh machine. `make check` is the quick loop while
# changing the code: the local build's C++ tests and pytest suite.
#
# Two builds of the module, never mixed: the local one (g++, build/cpp) is
# used in place, through PYTHONPATH, by `make check`, `make demo`, `make
# bench` and `make fuzz`, and is never installed; the portable wheel (Zig's
# clang, dist/) is what .venv has installed, for the suite and stubtest
# against the wheel.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP_QUIET := --quiet --disable-pip-version-check
# Every install into the development environment takes one lock, so targets
# that run side by side under `make -j` never run pip in it at once.
PIP := flock $(VENV)/.pip-lock $(PY) -m pip
CPP_BUILD := build/cpp

.PHONY: demo test check venv module wheel wheel-installed cpp-test py-test stubtest matrix tsan asan \
  asan-module fuzz clean bench scale mutation format format-check

# A recipe that fails leaves no target behind: a half-written wheel or stamp
# is not taken for a finished one by the next run.
.DELETE_ON_ERROR:

demo: module $(VENV)/.demo-ready
	$(LOCAL_ENV) $(PY) examples/demo

test: format-check cpp-test tsan wheel py-test stubtest matrix asan

# The module's build needs only the base environment; the demonstration
# adds its own packages to it, the tests theirs and the examples'.
$(VENV)/.base: requirements-build.txt
	$(PYTHON) -m venv $(VENV)
	$(PIP) install $(PIP_QUIET) --upgrade pip
	$(PIP) install $(PIP_QUIET) -r requirements-build.txt
	touch $@

# The test environment also holds the examples' packages, so their smoke
# tests run rather than skip.
$(VENV)/.ready: $(VENV)/.base requirements-dev.txt requirements-test.txt requirements-examples.txt \
  requirements-demo.txt
	$(PIP) install $(PIP_QUIET) -r requirements-dev.txt -r requirements-examples.txt
	touch $@

$(VENV)/.demo-ready: $(VENV)/.base requirements-demo.txt
	$(PIP) install $(PIP_QUIET) -r requirements-demo.txt
	touch $@

venv: $(VENV)/.ready

# The local build: the `cpp` preset (warnings as errors) in build/cpp, the
# module and the C++ tests side by side, rebuilt incrementally by Ninja (which
# also reruns CMake when a CMake file changes). Builds in it take a lock, so
# targets sharing it never run Ninja there at once under `make -j`.
CPP_CONFIGURED := $(CPP_BUILD)/.configured
CPP_NINJA := flock $(CPP_BUILD)/.build-lock $(VENV)/bin/cmake --build $(CPP_BUILD)
LOCAL_ENV := PYTHONPATH=$(abspath $(CPP_BUILD))
# The local build is not an installed distribution, so the test of the
# installed licence runs against the wheel only (py-test).
LOCAL_PYTEST := -p no:cacheprovider --deselect tests/python/test_build.py::test_license_is_installed

$(CPP_CONFIGURED): CMakePresets.json $(VENV)/.base
	$(VENV)/bin/cmake --preset cpp > /dev/null
	touch $@

module: $(CPP_CONFIGURED)
	$(CPP_NINJA) --target tarnel

# The engineer's loop: what changed rebuilt, CTest, then the pytest suite
# against the local build, stopping at the first failure.
check: cpp-test
	$(LOCAL_ENV) $(PY) -c "import tarnel; assert tarnel.__file__.startswith('$(abspath $(CPP_BUILD))/')"
	$(LOCAL_ENV) $(PY) -m pytest -x -q $(LOCAL_PYTEST)

# The portable wheel, the one file users install: built with Zig's clang
# driver against glibc 2.17 with libc++ linked in, in a build directory of its
# own, then tagged by auditwheel (which refuses a tag the file does not meet)
# and checked for the stable ABI. dist/ holds only this wheel afterwards. It
# is rebuilt only when something it is built from has changed: a file under
# src/, CMakeLists.txt, pyproject.toml, the README and licence it carries, the
# compiler driver, or the packages it is built with (their stamps).
PORTABLE_BUILD := build/portable
WHEEL_PLATFORM := manylinux_2_17_x86_64
VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
WHEEL := dist/tarnel-$(VERSION)-cp310-abi3-manylinux2014_x86_64.$(WHEEL_PLATFORM).whl
WHEEL_INPUTS := $(shell find src -type f) CMakeLists.txt pyproject.toml README.md LICENSE packaging/zig-c++

$(VENV)/.wheel-tools: $(VENV)/.base requirements-wheel.txt
	$(PIP) install $(PIP_QUIET) -r requirements-wheel.txt
	touch $@

wheel: $(WHEEL)

$(WHEEL): $(VENV)/.wheel-tools $(WHEEL_INPUTS)
	rm -rf build/wheel-unrepaired dist/tarnel-*.whl
	ZIG_PYTHON=$(abspath $(PY)) $(PY) -m pip wheel $(PIP_QUIET) --no-build-isolation --no-deps \
	  -w build/wheel-unrepaired -C build-dir=$(PORTABLE_BUILD) \
	  -C cmake.define.CMAKE_CXX_COMPILER=$(abspath packaging/zig-c++) .
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLATFORM) \
	  -w dist build/wheel-unrepaired/tarnel-*.whl
	@test -f $@ || { echo "expected $@, found: $$(ls dist)" >&2; exit 1; }
	$(VENV)/bin/auditwheel show $@
	$(VENV)/bin/abi3audit --strict --summary $@

# The portable wheel installed in the development environment, for the suite
# and stubtest against it; reinstalled only when the wheel is rebuilt.
wheel-installed: $(VENV)/.wheel-installed

$(VENV)/.wheel-installed: $(WHEEL) $(VENV)/.ready
	$(PIP) install $(PIP_QUIET) --no-deps --force-reinstall $(WHEEL)
	touch $@

cpp-test: venv $(CPP_CONFIGURED)
	$(CPP_NINJA)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure --parallel $(shell nproc)

# The suite against the installed wheel, checked to be what loads.
py-test: wheel-installed
	$(PY) -c "import sys, tarnel; assert tarnel.__file__.startswith(sys.prefix + '/'), tarnel.__file__"
	$(PY) -m pytest -q

# The installed stubs against the built module.
stubtest: wheel-installed
	MYPY_CACHE_DIR=build/mypy-cache $(PY) -m mypy.stubtest tarnel

# The same wheel under every CPython from 3.10 on that this machine has, each
# in a fresh environment with the newest NumPy it resolves to, and the oldest
# CPython once more with NumPy 1.26 (packaging/matrix.py says which).
matrix: $(WHEEL)
	$(PY) packaging/matrix.py $(WHEEL)

# ThreadSanitizer over the C++ tests of the parallel drivers.
tsan: venv
	$(VENV)/bin/cmake --preset tsan > /dev/null
	$(VENV)/bin/cmake --build build/tsan --target test_parallel
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/cpp/test_parallel

# AddressSanitizer and UndefinedBehaviorSanitizer, no recovery, over the whole
# pytest suite against an instrumented build of the module (GCC runtimes). The
# interpreter is not instrumented, so the runtimes are preloaded into it; leak
# detection is off because the interpreter keeps its own allocations to the
# end (the leak tests watch this module's memory instead).
ASAN_BUILD := build/asan
ASAN_ENV = PYTHONPATH=$(abspath $(ASAN_BUILD)) \
  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1

asan-module: $(VENV)/.base
	$(VENV)/bin/cmake --preset asan -DCMAKE_CXX_COMPILER=$(CXX) > /dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD) --target tarnel

asan: asan-module venv
	$(ASAN_ENV) $(PY) -c "import tarnel; assert tarnel.__file__.startswith('$(abspath $(ASAN_BUILD))/')"
	$(ASAN_ENV) $(PY) -m pytest -q $(LOCAL_PYTEST)

# The atheris target, against the local build, for FUZZ_TIME seconds (not
# part of `make test`), keeping
# what it finds in build/fuzz/corpus (an input running over 30 s counts as a
# hang), then every input found once more against the sanitized build. The
# module's failure reports are left out of the log.
FUZZ_TIME ?= 60
FUZZ_DIR := build/fuzz

fuzz: module asan-module
	$(PIP) install $(PIP_QUIET) atheris
	mkdir -p $(FUZZ_DIR)/corpus
	( $(LOCAL_ENV) $(PY) fuzz/fuzz_arguments.py -max_total_time=$(FUZZ_TIME) -timeout=30 -close_fd_mask=1 \
	    -artifact_prefix=$(abspath $(FUZZ_DIR))/ $(FUZZ_DIR)/corpus 2>&1; echo "exit status $$?" ) \
	  | grep -v '^tarnel: ' > $(FUZZ_DIR)/log
	( $(ASAN_ENV) $(PY) fuzz/fuzz_arguments.py -runs=0 -close_fd_mask=1 $(FUZZ_DIR)/corpus 2>&1; \
	    echo "exit status $$?" ) | grep -v '^tarnel: ' > $(FUZZ_DIR)/replay.log
	tail -n 3 $(FUZZ_DIR)/log $(FUZZ_DIR)/replay.log
	grep -qx 'exit status 0' $(FUZZ_DIR)/log && grep -qx 'exit status 0' $(FUZZ_DIR)/replay.log

# tarnel (the portable wheel, and the local build beside it) against Numba,
# plain Python and a bare C++ floor on the same work; writes bench/RESULTS.md
# and the README's results.
bench: module wheel
	$(PIP) install $(PIP_QUIET) -r bench/requirements.txt
	$(LOCAL_ENV) $(PY) bench/run.py

# A billion transitions in one call (not part of `make test` or `make bench`):
# writes the columns once into build/scale-data or $TARNEL_SCALE_DATA (about
# 14 GB; reused while their shapes fit), then times the table's construction,
# one read of every column (which leaves them in the kernel's cache), and
# fast_learn at 10^6 and at 10^8 iterations on them, each with its peak
# anonymous memory, and writes the figures into bench/RESULTS.md and the
# README's sentence on them.
# SCALE_FLAGS: e.g. "--transitions 1e7 --data build/scale-small --iterations 1e5".
SCALE_FLAGS ?=
scale: module
	$(LOCAL_ENV) $(PY) bench/scale.py $(SCALE_FLAGS)

# Mutation check of src/ (not part of `make test`): MUTANTS mutants drawn
# with SEED (0: every one) from the files under MUTATE, each rebuilt
# incrementally and put to the fast tests; prints the killed share per area
# and the survivors, leaving out the equivalent mutants recorded in
# tools/mutation-equivalent.txt. Results are kept in build/mutation, so a
# rerun tries only what changed (MUTATION_FLAGS=--retry-survivors: and the
# survivors, after tests were added). It runs niced, beside other work.
MUTANTS ?= 150
SEED ?= 1
MUTATE ?= src/
MUTATION_FLAGS ?=
mutation: venv
	PATH="$(abspath $(VENV))/bin:$$PATH" nice -n 10 $(PY) tools/mutation.py --sample $(MUTANTS) --seed $(SEED) \
	  $(addprefix --only ,$(MUTATE)) $(MUTATION_FLAGS)

# clang-format (pinned in requirements-dev.txt) with .clang-format over every
# C++ file: `format` rewrites them, `format-check` fails on any it would.
FORMAT_FILES := $(shell find $(wildcard src tests/cpp bench fuzz) -type f \
  \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) | sort)

format: venv
	$(VENV)/bin/clang-format -i $(FORMAT_FILES)

format-check: venv
	$(VENV)/bin/clang-format --dry-run -Werror $(FORMAT_FILES)

clean:
	rm -rf build dist $(VENV)
