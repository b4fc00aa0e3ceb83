# Set-up and everyday commands. `make demo` and `make test` each do the whole set-up on a
# fresh machine (a compiler and CMake from Debian where missing, .venv with CPython 3.10, pinned
# PyPI packages, the build with its pinned CRoaring and simdjson) and skip every step that is
# already done: stamps in .venv/.stamps remember them.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := $(VENV)/.stamps
# What the build needs from Debian, as COMMAND=PACKAGE: apt runs only when COMMAND is missing.
SYSTEM_PACKAGES := c++=g++ cmake=cmake
MODULE_INPUTS := $(shell find src cmake -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test bench build system-packages clean wheel-check sanitize fuzz sanitize-packages fuzz-packages

demo: build
	$(PY) demo/ndjson_demo.py $(if $(FILE),--file "$(FILE)")

test: build
	$(PY) -m pytest -q

# The benchmark suite; QUICK=1 runs the smaller development sizes.
bench: build build/scan-ceiling/scan_ceiling
	$(PY) benchmarks/suite.py $(if $(QUICK),--quick)

# Built against the same simdjson as the module (cmake/simdjson.cmake).
build/scan-ceiling/scan_ceiling: $(wildcard benchmarks/scan_ceiling/* cmake/*) $(STAMPS)/requirements | system-packages
	cmake -S benchmarks/scan_ceiling -B build/scan-ceiling -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build build/scan-ceiling

build: $(STAMPS)/module

system-packages:
	@scripts/install-system-packages.sh $(SYSTEM_PACKAGES)

$(PY):
	@python310=$$(scripts/find-python310.sh) && "$$python310" -m venv $(VENV)

$(STAMPS)/requirements: requirements.txt | $(PY)
	$(PY) -m pip install -q --disable-pip-version-check -r requirements.txt
	@mkdir -p $(STAMPS) && touch $@

$(STAMPS)/module: $(STAMPS)/requirements $(MODULE_INPUTS) | system-packages
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
	@touch $@

# A manylinux wheel built from an sdist of a clean clone of HEAD, checked with auditwheel, installed
# into a fresh venv with pip alone and tested there, all where no installed simdjson can be seen.
wheel-check: $(STAMPS)/requirements | system-packages
	@scripts/without-system-simdjson.sh scripts/wheel-check.sh

clean:
	rm -rf build $(STAMPS)/module

# `make sanitize`: the C++ core tests, then the whole pytest suite against an extension built
# into build/sanitize-module (first on PYTHONPATH; .venv keeps its normal build), both under
# AddressSanitizer and UndefinedBehaviorSanitizer (GCC). The interpreter's own leaks are not
# reported; QUORVEL_SANITIZED tells the tests that cannot run under ASan to skip.
# `make fuzz FUZZ_SECONDS=N`: each libFuzzer harness (clang) for N seconds, and the atheris
# harness of the Python surface against the extension built in the same tree (clang, ASan/UBSan,
# coverage for libFuzzer); see fuzz/. That module runs under the ASan runtime with libFuzzer that
# atheris ships: GCC's libasan would take over libFuzzer's coverage hooks, and its separate UBSan
# runtime would die without writing the crashing input.
SANITIZERS := address,undefined
FUZZ_SECONDS ?= 60
CHECKED_CMAKE = cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_SANITIZERS=$(SANITIZERS) -DQUORVEL_WERROR=ON \
	-DPython_EXECUTABLE=$(abspath $(PY))
GCC_CMAKE = $(CHECKED_CMAKE) -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
SANITIZED_MODULE := $(abspath build/sanitize-module)
SANITIZED_PYTHON = PYTHONPATH=$(SANITIZED_MODULE) QUORVEL_SANITIZED=1 PYTHONMALLOC=malloc \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 $(PY)

FUZZ_PYTHON = PYTHONPATH=$(abspath build/fuzz) QUORVEL_SANITIZED=1 PYTHONMALLOC=malloc \
	LD_PRELOAD="$$($(PY) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 $(abspath $(PY))

sanitize-packages:
	@scripts/install-system-packages.sh $(SYSTEM_PACKAGES) libgtest-dev

fuzz-packages:
	@scripts/install-system-packages.sh $(SYSTEM_PACKAGES) clang
	@scripts/install-system-packages.sh libclang-rt-$$(clang -dumpversion | cut -d. -f1)-dev

sanitize: $(STAMPS)/requirements | sanitize-packages
	$(GCC_CMAKE) -S . -B build/sanitize-core -DQUORVEL_BUILD_MODULE=OFF -DQUORVEL_BUILD_TESTS=ON
	cmake --build build/sanitize-core -j 2
	build/sanitize-core/tests/cpp/quorvel_core_tests
	$(GCC_CMAKE) -S . -B build/sanitize-module -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"
	cmake --build build/sanitize-module -j 2
	$(SANITIZED_PYTHON) -c 'import _quorvel_rec_extension as m; assert m.__file__.startswith("$(SANITIZED_MODULE)/"), m.__file__'
	$(SANITIZED_PYTHON) -m pytest -q -p no:cacheprovider

$(STAMPS)/fuzz-requirements: fuzz/requirements.txt | $(STAMPS)/requirements
	$(PY) -m pip install -q --disable-pip-version-check -r fuzz/requirements.txt
	@touch $@

fuzz: $(STAMPS)/fuzz-requirements | fuzz-packages
	$(CHECKED_CMAKE) -S . -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DQUORVEL_BUILD_FUZZERS=ON -DQUORVEL_BUILD_MODULE=ON -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"
	cmake --build build/fuzz -j 2
	$(FUZZ_PYTHON) -c 'import _quorvel_rec_extension as m; assert m.__file__.startswith("$(abspath build/fuzz)/"), m.__file__'
	$(PY) scripts/fuzz-seeds.py build/fuzz/seeds
	scripts/run-fuzzers.sh build/fuzz $(FUZZ_SECONDS) $(FUZZ_PYTHON)
