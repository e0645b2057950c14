# One-command entry points. `make demo` runs the main job, `make test` the
# whole test suite; both set themselves up (virtual environment, build,
# dependencies) on a fresh machine.

PYTHON ?= python3
VENV := .venv
VENV_NUMPY1 := .venv-numpy1
PY := $(VENV)/bin/python
PIP_QUIET := --quiet --disable-pip-version-check
CPP_BUILD := build/cpp

.PHONY: demo test venv module cpp-test py-test stubtest numpy1-test tsan asan asan-module fuzz clean bench mutation

demo: module $(VENV)/.demo-ready
	$(PY) examples/demo

test: cpp-test tsan py-test stubtest numpy1-test asan

# The module's build needs only the base environment; the demonstration
# adds its own packages to it, the tests theirs and the examples'.
$(VENV)/.base: requirements-build.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install $(PIP_QUIET) --upgrade pip
	$(PY) -m pip install $(PIP_QUIET) -r requirements-build.txt
	touch $@

# The test environment also holds the examples' packages, so their smoke
# tests run rather than skip.
$(VENV)/.ready: $(VENV)/.base requirements-dev.txt requirements-examples.txt requirements-demo.txt
	$(PY) -m pip install $(PIP_QUIET) -r requirements-dev.txt -r requirements-examples.txt
	touch $@

$(VENV)/.demo-ready: $(VENV)/.base requirements-demo.txt
	$(PY) -m pip install $(PIP_QUIET) -r requirements-demo.txt
	touch $@

venv: $(VENV)/.ready

# Reinstalled only when something its build reads has changed since the last
# install: a file under src/, the CMake files or pyproject.toml.
MODULE_INPUTS := $(shell find src -type f) CMakeLists.txt $(wildcard CMakePresets.json) pyproject.toml

module: $(VENV)/.module

$(VENV)/.module: $(VENV)/.base $(MODULE_INPUTS)
	$(PY) -m pip install $(PIP_QUIET) --no-build-isolation --no-deps --force-reinstall .
	touch $@

cpp-test: venv
	$(VENV)/bin/cmake --preset cpp > /dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

py-test: module venv
	$(PY) -m pytest -q

# The installed stubs against the built module.
stubtest: module venv
	MYPY_CACHE_DIR=build/mypy-cache $(PY) -m mypy.stubtest tarnel

# The oldest NumPy the module supports, in a second environment.
$(VENV_NUMPY1)/.ready: requirements-dev.txt requirements-build.txt
	$(PYTHON) -m venv $(VENV_NUMPY1)
	$(VENV_NUMPY1)/bin/python -m pip install $(PIP_QUIET) --upgrade pip
	$(VENV_NUMPY1)/bin/python -m pip install $(PIP_QUIET) -r requirements-dev.txt "numpy==1.26.*"
	touch $@

numpy1-test: $(VENV_NUMPY1)/.ready
	$(VENV_NUMPY1)/bin/python -m pip install $(PIP_QUIET) --no-build-isolation --no-deps --force-reinstall .
	$(VENV_NUMPY1)/bin/python -m pytest -q -p no:cacheprovider

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
	$(PY) -m pip install $(PIP_QUIET) atheris
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
bench: module
	$(PY) -m pip install $(PIP_QUIET) -r bench/requirements.txt
	$(PY) bench/run.py

# Mutation check of src/ (not part of `make test`): MUTANTS mutants drawn
# with SEED (0: every one), each rebuilt incrementally and put to the fast
# tests; prints the killed share and the survivors. Results are kept in
# build/mutation, so a rerun tries only what changed.
MUTANTS ?= 200
SEED ?= 1
mutation: venv
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) tools/mutation.py --sample $(MUTANTS) --seed $(SEED)

clean:
	rm -rf build $(VENV) $(VENV_NUMPY1)
