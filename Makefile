# One-command entry points. `make demo` runs the main job, `make test` the
# whole test suite; both set themselves up (virtual environment, build,
# dependencies) on a fresh machine.

PYTHON ?= python3
VENV := .venv
VENV_NUMPY1 := .venv-numpy1
PY := $(VENV)/bin/python
PIP_QUIET := --quiet --disable-pip-version-check
CPP_BUILD := build/cpp

.PHONY: demo test venv module cpp-test py-test numpy1-test tsan asan clean

demo: module
	$(PY) examples/grid_demo.py

test: cpp-test py-test numpy1-test

$(VENV)/.ready: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install $(PIP_QUIET) --upgrade pip
	$(PY) -m pip install $(PIP_QUIET) -r requirements-dev.txt
	touch $@

venv: $(VENV)/.ready

# Rebuilt on every run: the install is quick and never stale.
module: venv
	$(PY) -m pip install $(PIP_QUIET) --no-build-isolation --no-deps --force-reinstall .

cpp-test: venv
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DTARNEL_BUILD_MODULE=OFF -DTARNEL_WERROR=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) > /dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

py-test: module
	$(PY) -m pytest -q

# The oldest NumPy the module supports, in a second environment.
$(VENV_NUMPY1)/.ready: requirements-dev.txt
	$(PYTHON) -m venv $(VENV_NUMPY1)
	$(VENV_NUMPY1)/bin/python -m pip install $(PIP_QUIET) --upgrade pip
	$(VENV_NUMPY1)/bin/python -m pip install $(PIP_QUIET) -r requirements-dev.txt "numpy==1.26.*"
	touch $@

numpy1-test: $(VENV_NUMPY1)/.ready
	$(VENV_NUMPY1)/bin/python -m pip install $(PIP_QUIET) --no-build-isolation --no-deps --force-reinstall .
	$(VENV_NUMPY1)/bin/python -m pytest -q -p no:cacheprovider

# ThreadSanitizer over the C++ tests of the parallel drivers.
tsan: venv
	$(VENV)/bin/cmake -S . -B build/tsan -G Ninja -DTARNEL_BUILD_MODULE=OFF -DTARNEL_SANITIZE=thread \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	$(VENV)/bin/cmake --build build/tsan --target test_parallel
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/cpp/test_parallel

clean:
	rm -rf build $(VENV) $(VENV_NUMPY1)
