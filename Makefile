# make demo | make test | make bench — each sets up .venv itself.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
# CPU build of torch; an unpinned torch pulls several GB of CUDA wheels.
TORCH  := torch==2.13.0
# WERROR=ON makes compiler warnings in our own sources errors (CI builds that way).
WERROR ?= OFF

.PHONY: install test demo bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# Non-editable install; build/<wheel tag> keeps the CMake tree so rebuilds are incremental.
install: $(PY)
	$(PIP) install --quiet $(TORCH) "scikit-build-core>=0.10" "nanobind>=2.4" "scipy-openblas32>=0.3.27"
	$(PIP) install --quiet --no-build-isolation --config-settings=cmake.define.VZ_WERROR=$(WERROR) ".[test]"

test: install
	$(PY) -m pytest -q tests

demo: install
	$(VENV)/bin/velkor-zuma demo

bench: install
	@set -e; for f in benchmarks/bench_*.py; do echo "== $$f"; $(PY) $$f; done

clean:
	rm -rf build
