# Set-up and everyday commands. `make demo` and `make test` each do the whole set-up on a
# fresh machine (Debian packages, .venv with CPython 3.10, pinned PyPI packages, the build)
# and skip every step that is already done: stamps in .venv/.stamps remember them.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := $(VENV)/.stamps
SYSTEM_PACKAGES := libsimdjson-dev
MODULE_INPUTS := $(shell find src cmake -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test bench build system-packages clean

demo: build
	$(PY) demo/ndjson_demo.py $(if $(FILE),--file "$(FILE)")

test: build
	$(PY) -m pytest -q

# The benchmark suite; QUICK=1 runs the smaller development sizes.
bench: build build/scan-ceiling/scan_ceiling
	$(PY) benchmarks/suite.py $(if $(QUICK),--quick)

build/scan-ceiling/scan_ceiling: benchmarks/scan_ceiling/scan_ceiling.cpp benchmarks/scan_ceiling/CMakeLists.txt | system-packages
	cmake -S benchmarks/scan_ceiling -B build/scan-ceiling -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=Release >/dev/null
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

clean:
	rm -rf build $(STAMPS)/module
