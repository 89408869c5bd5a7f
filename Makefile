# Set-up, build and checks. Every target creates or reuses .venv and rebuilds what changed.
# `make demo` installs what the package needs to run; `make test` adds the test tools. Every later
# install repeats the numpy pin, so that no extra ever lifts numpy to 2, which the module refuses.
PYTHON ?= python3.12
VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed
TEST_STAMP := $(VENV)/.test-deps-installed
NUMPY := 'numpy>=1.26,<2'
BUILD_DEPS := scikit-build-core cmake ninja
RUN_DEPS := $(NUMPY) scipy pandas 'nsepython>=2.101'
# The extras, installed by both commands: plots, the history store (pyarrow 21 needs numpy 2) and
# the dashboard's server.
EXTRA_DEPS := matplotlib duckdb 'pyarrow>=14,<21' starlette uvicorn
TEST_DEPS := $(NUMPY) pytest hypothesis mpmath mypy pyright 'clang-format==21.*' selenium
BENCH_DEPS := $(NUMPY) QuantLib vollib

.PHONY: build test demo bench asan format-check screenshot clean

$(PY):
	$(PYTHON) -m venv $(VENV)

$(DEPS): pyproject.toml Makefile | $(PY)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS) $(RUN_DEPS) $(EXTRA_DEPS)
	touch $@

$(TEST_STAMP): $(DEPS)
	$(PY) -m pip install -q $(TEST_DEPS)
	touch $@

build: $(DEPS)
	$(PY) -m pip install -q --no-build-isolation --no-deps .

test: build $(TEST_STAMP)
	@command -v chromedriver >/dev/null || echo "The dashboard's browser tests are skipped: Chromium is missing (apt-get install chromium chromium-driver)."
	$(VENV)/bin/pytest -q tests

# A screenshot of the dashboard on the recorded NIFTY chain, with a position and a store.
screenshot: build $(TEST_STAMP)
	GREEKS_SCREENSHOT=$(abspath build/dashboard.png) GREEKS_REQUIRE_BROWSER=1 $(VENV)/bin/pytest -q \
		tests/test_dashboard_browser.py -k what_the_server_sent
	@echo "wrote build/dashboard.png"

demo: build
	$(PY) examples/demo.py

bench: build
	$(PY) -m pip install -q $(BENCH_DEPS)
	$(PY) bench/run.py

# The suite against a build with AddressSanitizer and UBSan. Python allocates through malloc so
# that the sanitizer sees every object; leaks are not checked (the interpreter keeps memory on exit).
ASAN_BUILD := build/asan
asan: $(DEPS) $(TEST_STAMP)
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
		-DCMAKE_BUILD_TYPE=Debug -DGREEKS_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	rm -rf $(ASAN_BUILD)/stage $(ASAN_BUILD)/reports && mkdir -p $(ASAN_BUILD)/stage/greeks $(ASAN_BUILD)/reports
	cd src && find greeks \( -name '*.py' -o -name '*.pyi' -o -name py.typed -o -path '*/page/*' \) -type f \
		-exec cp --parents {} $(abspath $(ASAN_BUILD))/stage \;
	cp $(ASAN_BUILD)/*.so $(ASAN_BUILD)/stage/greeks/
	@# Reports go to files: a sanitizer stops the process while pytest holds its standard error.
	PYTHONPATH=$(abspath $(ASAN_BUILD))/stage LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:log_path=$(abspath $(ASAN_BUILD))/reports/asan \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(abspath $(ASAN_BUILD))/reports/ubsan \
		PYTHONMALLOC=malloc GREEKS_EXPECT_SANITIZED=1 $(VENV)/bin/pytest -q -p no:cacheprovider tests \
		|| { cat $(ASAN_BUILD)/reports/* 2>/dev/null; exit 1; }
	@if ls $(ASAN_BUILD)/reports/* >/dev/null 2>&1; then cat $(ASAN_BUILD)/reports/*; exit 1; fi

# The C++ as .clang-format lays it out; the pinned clang-format keeps the layout from drifting.
format-check: $(TEST_STAMP)
	$(VENV)/bin/clang-format --dry-run -Werror $$(git ls-files 'src/*.cpp' 'src/*.hpp')

clean:
	rm -rf build $(VENV)
