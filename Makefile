# The two commands of the README: `make demo` and `make test`.
# Also: `make test-asan` (the suite under AddressSanitizer + UBSan) and `make bench`.

SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
ASAN_VENV := .venv-asan
BRIDGE_TESTS_DIR ?= build/bridge-tests
BUILD_DIR ?= build/{wheel_tag}
BUILD_DEPS := "scikit-build-core>=0.10" "pybind11>=2.13" ninja cmake

# The tests of the local E2B and OpenSandbox services and of their backends,
# which CI also runs with each service forced through a user namespace (the
# path a normal user gets) and with no isolation at all.
SERVICE_TESTS := tests/stand_ins/test_e2b_local_*.py tests/stand_ins/test_opensandbox_local*.py \
	tests/code_interpreter/test_e2b*.py tests/code_interpreter/test_opensandbox*.py \
	tests/primitives/test_e2b_end_to_end.py tests/providers tests/template/test_e2b_template*.py \
	tests/template/test_opensandbox_builder.py

.PHONY: all demo test test-isolation-modes test-asan bench build bridge-tests venv clean

all: test

venv: $(VENV)/.ready
$(VENV)/.ready: pyproject.toml stand-ins/*/pyproject.toml
	test -x $(PY) || { python="$$(scripts/find-python)" && "$$python" -m venv $(VENV); }
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS)
	$(PY) -m pip install -q $(addprefix -e ,$(wildcard stand-ins/*/))
	touch $@

# Installs the package (an incremental CMake build under build/) with the test and e2b extras.
build: venv
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir="$(BUILD_DIR)" ".[test,e2b]"

bridge-tests: venv
	$(VENV)/bin/cmake -S . -B $(BRIDGE_TESTS_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DVORN_BRIDGE_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
		-DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" >/dev/null
	$(VENV)/bin/cmake --build $(BRIDGE_TESTS_DIR)

test: build bridge-tests
	PYX_TESTMOD_DIR=$(abspath $(BRIDGE_TESTS_DIR)) $(PY) -m pytest -q

# SIGINT and SIGQUIT are ignored here, as in a run started with nohup from a
# script: the services must not pass that on to their sandboxes.
test-isolation-modes: build
	trap '' INT QUIT; for mode in userns none; do \
		echo "== local services with isolation: $$mode"; \
		E2B_LOCAL_ISOLATION=$$mode OPENSANDBOX_LOCAL_ISOLATION=$$mode $(PY) -m pytest -q $(SERVICE_TESTS) || exit 1; \
	done

# Starts the local E2B service (stand-ins/e2b_local, installed with the venv) and runs the demo against it.
demo: build
	$(PY) examples/demo.py

# Benchmarks use a release build of the bridge's test module.
bench: build
	$(VENV)/bin/cmake -S . -B build/bridge-bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
		-DVORN_BRIDGE_TESTS=ON -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) \
		-Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" >/dev/null
	$(VENV)/bin/cmake --build build/bridge-bench
	PYX_BENCHMOD_DIR=$(abspath build/bridge-bench) $(PY) bench/run.py

# Python itself is not instrumented, so the runtime is preloaded and leak
# detection (which would report the interpreter's own allocations) is off.
test-asan:
	$(MAKE) venv VENV=$(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/asan \
		-Ccmake.define.VORN_SANITIZE=ON -Ccmake.build-type=Debug ".[test]"
	$(ASAN_VENV)/bin/cmake -S . -B build/bridge-tests-asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(ASAN_VENV))/bin/ninja -DVORN_BRIDGE_TESTS=ON \
		-DVORN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE=$(abspath $(ASAN_VENV))/bin/python \
		-Dpybind11_DIR="$$($(ASAN_VENV)/bin/python -m pybind11 --cmakedir)" >/dev/null
	$(ASAN_VENV)/bin/cmake --build build/bridge-tests-asan
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		PYX_TESTMOD_DIR=$(abspath build/bridge-tests-asan) $(ASAN_VENV)/bin/python -m pytest -q -p no:faulthandler

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
