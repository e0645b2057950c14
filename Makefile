# One-command entry points. `make demo` runs the main job, `make test` the
# whole test suite; both set themselves up (virtual environment, build,
# dependencies) on a fresh machine.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP_QUIET := --quiet --disable-pip-version-check
# Every install into the development environment takes one lock, so targets
# that run side by side under `make -j` never run pip in it at once.
PIP := flock $(VENV)/.pip-lock $(PY) -m pip
CPP_BUILD := build/cpp

.PHONY: demo test venv module wheel wheel-installed cpp-test py-test stubtest matrix tsan asan asan-module fuzz \
  clean bench mutation

demo: module $(VENV)/.demo-ready
	$(PY) examples/demo

test: cpp-test tsan wheel py-test stubtest matrix asan

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

# Reinstalled only when something its build reads has changed since the last
# install: a file under src/, the CMake files or pyproject.toml.
MODULE_INPUTS := $(shell find src -type f) CMakeLists.txt $(wildcard CMakePresets.json) pyproject.toml

module: $(VENV)/.module

$(VENV)/.module: $(VENV)/.base $(MODULE_INPUTS)
	$(PIP) install $(PIP_QUIET) --no-build-isolation --no-deps --force-reinstall .
	touch $@

# The portable wheel, the one file users install: built with Zig's clang
# driver against glibc 2.17 with libc++ linked in, in a build directory of its
# own, then tagged by auditwheel (which refuses a tag the file does not meet)
# and checked for the stable ABI. dist/ holds only this wheel afterwards.
PORTABLE_BUILD := build/portable
WHEEL_PLATFORM := manylinux_2_17_x86_64

$(VENV)/.wheel-tools: $(VENV)/.base requirements-wheel.txt
	$(PIP) install $(PIP_QUIET) -r requirements-wheel.txt
	touch $@

wheel: $(VENV)/.wheel-tools
	rm -rf build/wheel-unrepaired dist/tarnel-*.whl
	ZIG_PYTHON=$(abspath $(PY)) $(PY) -m pip wheel $(PIP_QUIET) --no-build-isolation --no-deps \
	  -w build/wheel-unrepaired -C build-dir=$(PORTABLE_BUILD) \
	  -C cmake.define.CMAKE_CXX_COMPILER=$(abspath packaging/zig-c++) .
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLATFORM) \
	  -w dist build/wheel-unrepaired/tarnel-*.whl
	$(VENV)/bin/auditwheel show dist/tarnel-*.whl
	$(VENV)/bin/abi3audit --strict --summary dist/tarnel-*.whl

# The portable wheel in the development environment, for the full suite.
wheel-installed: wheel venv
	$(PIP) install $(PIP_QUIET) --no-deps --force-reinstall dist/tarnel-*.whl
	rm -f $(VENV)/.module  # the next `make module` installs the local build again

cpp-test: venv
	$(VENV)/bin/cmake --preset cpp > /dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

py-test: wheel-installed
	$(PY) -m pytest -q

# The installed stubs against the built module.
stubtest: wheel-installed
	MYPY_CACHE_DIR=build/mypy-cache $(PY) -m mypy.stubtest tarnel

# The same wheel under every CPython from 3.10 on that this machine has, each
# in a fresh environment with the newest NumPy it resolves to, and the oldest
# CPython once more with NumPy 1.26 (packaging/matrix.py says which).
matrix: wheel
	$(PY) packaging/matrix.py dist/tarnel-*.whl

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
	$(ASAN_ENV) $(PY) -m pytest -q -p no:cacheprovider

# The atheris target for FUZZ_TIME seconds (not part of `make test`), keeping
# what it finds in build/fuzz/corpus (an input running over 30 s counts as a
# hang), then every input found once more against the sanitized build. The
# module's failure reports are left out of the log.
FUZZ_TIME ?= 60
FUZZ_DIR := build/fuzz

fuzz: module asan-module
	$(PIP) install $(PIP_QUIET) atheris
	mkdir -p $(FUZZ_DIR)/corpus
	( $(PY) fuzz/fuzz_arguments.py -max_total_time=$(FUZZ_TIME) -timeout=30 -close_fd_mask=1 \
	    -artifact_prefix=$(abspath $(FUZZ_DIR))/ $(FUZZ_DIR)/corpus 2>&1; echo "exit status $$?" ) \
	  | grep -v '^tarnel: ' > $(FUZZ_DIR)/log
	( $(ASAN_ENV) $(PY) fuzz/fuzz_arguments.py -runs=0 -close_fd_mask=1 $(FUZZ_DIR)/corpus 2>&1; \
	    echo "exit status $$?" ) | grep -v '^tarnel: ' > $(FUZZ_DIR)/replay.log
	tail -n 3 $(FUZZ_DIR)/log $(FUZZ_DIR)/replay.log
	grep -qx 'exit status 0' $(FUZZ_DIR)/log && grep -qx 'exit status 0' $(FUZZ_DIR)/replay.log

# tarnel against Numba, plain Python and a bare C++ floor on the same work;
# writes bench/RESULTS.md.
bench: module wheel
	$(PIP) install $(PIP_QUIET) -r bench/requirements.txt
	$(PY) bench/run.py

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

clean:
	rm -rf build dist $(VENV)
