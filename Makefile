# Every target sets itself up from a fresh clone: venv, packages, GoogleTest.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp
SAN_BUILD := build/sanitize
SAN_MODULE := build/sanitize-module

.PHONY: test install cpp-test pytest demo bench sanitize sanitize-pytest clean gtest

# The build requirements live in the venv, so rebuilds reuse the CMake build
# tree (an isolated build would see new include paths every time).
BUILD_REQUIREMENTS := "scikit-build-core>=0.10" "numpy>=2.0" "pyarrow==26.*"
PIP_INSTALL := $(PY) -m pip install --no-build-isolation

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --upgrade pip
	$(PY) -m pip install $(BUILD_REQUIREMENTS)

install: $(PY)
	$(PIP_INSTALL) ".[test]"

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  apt-get update && apt-get install -y libgtest-dev; \
	fi

cpp-test: install gtest
	cmake -S . -B $(CPP_BUILD) -DRAVLIN_MODULE=OFF -DRAVLIN_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build $(CPP_BUILD) -j2
	ctest --test-dir $(CPP_BUILD) --output-on-failure

pytest: install
	$(PY) -m pytest -q

test: cpp-test pytest

sanitize: install gtest
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DRAVLIN_MODULE=OFF \
	  -DRAVLIN_TESTS=ON -DRAVLIN_SANITIZE=address,undefined -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build $(SAN_BUILD) -j2
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --test-dir $(SAN_BUILD) --output-on-failure
	$(MAKE) sanitize-pytest

# The Python tests against a sanitized build of the module, found before the
# installed one. The interpreter itself is not sanitized, so the runtime is
# preloaded, and its own allocations (never freed at exit) are not reported
# as leaks.
SAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
sanitize-pytest: install
	cmake -S . -B $(SAN_MODULE) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVLIN_MODULE=ON \
	  -DRAVLIN_TESTS=OFF -DRAVLIN_SANITIZE=address,undefined -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build $(SAN_MODULE) -j2 --target _ravlin
	LD_PRELOAD="$(SAN_RUNTIME)" ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=$(abspath $(SAN_MODULE)) \
	  $(PY) -m pytest -q -p no:cacheprovider

demo: install
	$(PY) demo/demo.py

bench: $(PY)
	$(PIP_INSTALL) ".[test,bench]"
	for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

clean:
	rm -rf build $(VENV)
