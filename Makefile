# Set-up, build and checks. Every target creates or reuses .venv and rebuilds what changed.
PYTHON ?= python3.12
VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed
BUILD_DEPS := scikit-build-core cmake ninja
RUN_DEPS := 'numpy>=1.26,<2' scipy pandas nsepython
TEST_DEPS := pytest hypothesis

.PHONY: build test demo bench asan clean

$(PY):
	$(PYTHON) -m venv $(VENV)

$(DEPS): pyproject.toml | $(PY)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS) $(RUN_DEPS) $(TEST_DEPS)
	touch $@

build: $(DEPS)
	$(PY) -m pip install -q --no-build-isolation --no-deps .

test: build
	$(VENV)/bin/pytest -q tests

demo: build
	$(PY) examples/demo.py

bench: build
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV)
