# Set-up and checks. `make demo` and `make test` install whatever is missing (Debian
# packages with apt-get, Python packages into .venv) and are cheap to re-run.
SHELL := /bin/bash
PYTHON ?= $(shell scripts/find-python)
VENV ?= .venv
VPY := $(VENV)/bin/python
CPP_BUILD ?= build/cpp
APT_PACKAGES := libgtest-dev libbenchmark-dev ccache
# The C++ tests' build and each interpreter's extension build compile the same core objects:
# where ccache is present (make test installs it) they are compiled once. Looked up when a
# recipe runs, after the packages are in. Every build names the same compiler ($(CXX), g++
# unless set): ccache tells c++ from g++ even where they are one program.
CCACHE = $(shell command -v ccache 2>/dev/null)
LAUNCHER = -DCMAKE_CXX_COMPILER=$(CXX) $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))
PIP_LAUNCHER = --config-settings=cmake.define.CMAKE_CXX_COMPILER=$(CXX) \
	$(if $(CCACHE),--config-settings=cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))
PY_TOOLS := scikit-build-core ninja pytest pytest-xdist hypothesis numpy mypy
# pip compiles the bytecode of what it installs one file at a time: most of a minute for SciPy,
# SymPy, pandas and Dask (52 s of 63 s). One pass over the venv on every core does it once all
# is in. It must be done: where PYTHONDONTWRITEBYTECODE is set nothing else writes it, and each
# test worker and each interpreter a test starts would compile what it imports anew.
PIP_INSTALL := -m pip install -q --no-compile
compile-venv = $(1) -m compileall -q -j 0 "$$($(1) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')" >/dev/null
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f 2>/dev/null)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Every supported interpreter present on the machine is tested, each in its own venv;
# .venv (the newest) also serves `make demo`.
PY313 := $(shell scripts/find-python 3.13)
PY312 := $(shell scripts/find-python 3.12)

.PHONY: demo test deps build-deps install cpp-test py-test py-tests wheel-test sanitize sanitize-cpp sanitize-py sanitize-thread bench clean

demo: install
	$(VPY) -m zan_math

test: cpp-test py-tests wheel-test

py-tests:
	@if [ -z "$(PY313)$(PY312)" ]; then echo "No Python >= 3.12 found"; exit 1; fi
	@set -e; \
	if [ -n "$(PY313)" ]; then $(MAKE) --no-print-directory py-test PYTHON=$(PY313) VENV=.venv; fi; \
	if [ -n "$(PY312)" ]; then \
	  venv=.venv; args=; extras=$(EXTRAS); \
	  if [ -n "$(PY313)" ]; then venv=.venv-3.12; args='-m "not slow and not whole_search"'; extras=test; fi; \
	  $(MAKE) --no-print-directory py-test PYTHON=$(PY312) VENV=$$venv PYTEST_ARGS="$$args" EXTRAS=$$extras; \
	fi

# The package itself builds with a C++ compiler and CMake alone (build-deps); GoogleTest and
# Google Benchmark are for the C++ tests and benchmarks only.
build-deps:
	@$(MAKE) --no-print-directory deps APT_PACKAGES=

deps:
	@missing=""; \
	for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	command -v cmake >/dev/null 2>&1 || missing="$$missing cmake"; \
	command -v g++ >/dev/null 2>&1 || missing="$$missing g++"; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VPY):
	@if [ -z "$(PYTHON)" ]; then echo "No Python >= 3.12 found (python3.13, python3.12, pyenv or /usr/bin)"; exit 1; fi
	$(PYTHON) -m venv $(VENV)

$(VENV)/.tools: $(VPY) Makefile
	$(VPY) $(PIP_INSTALL) --upgrade pip
	$(VPY) $(PIP_INSTALL) $(PY_TOOLS)
	touch $@

# Every optional extra too: the suite tests each feature, and the core and the command line
# once more with the extras hidden (tests/python/test_extras.py). A second interpreter's venv
# takes none: what it checks is our extension built for that interpreter, and the extras' tests,
# Python over other packages, skip there.
EXTRAS ?= test,all
$(VENV)/.installed: $(VENV)/.tools $(SOURCES) | build-deps
	$(VPY) $(PIP_INSTALL) --no-build-isolation $(PIP_LAUNCHER) '.[$(EXTRAS)]'
	$(call compile-venv,$(VPY))
	touch $@

install: build-deps $(VENV)/.installed

cpp-test: deps
	cmake -S . -B $(CPP_BUILD) -DZAN_BUILD_MODULE=OFF -DZAN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release $(LAUNCHER) >/dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)
	ctest --test-dir $(CPP_BUILD) -j $(JOBS) --output-on-failure

# The whole suite runs on the newest interpreter; a second one skips the slow checks (leak
# hunts, stress, clusters, estimator checks), the laws searched end to end and the extras,
# which test our code rather than the interpreter.
# Tests run in one worker process per core: most of them are Python between short native calls
# and would leave the other cores idle.
PYTEST_ARGS ?=
PYTEST_WORKERS := -n $(JOBS)
py-test: install
	@echo "== pytest on $$($(VPY) -c 'import sys; print(sys.version.split()[0])') ($(VENV)) $(PYTEST_ARGS)"
	$(VPY) -m pytest -q $(PYTEST_WORKERS) $(PYTEST_ARGS)
	@echo "== stubtest of zan_core.pyi and arrays.pyi against the built modules"
	$(VPY) -m mypy.stubtest zan_math.zan_core zan_math.arrays

# The wheel a user gets from `pip wheel .` installs and works in a fresh virtual environment
# with only its declared dependencies. The build reuses the directory `make install` compiled
# in, so only the wheel is packed again.
WHEEL_CHECK := build/wheel-check
wheel-test: install
	@echo "== pip wheel . into a fresh venv"
	rm -rf $(WHEEL_CHECK)
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps $(PIP_LAUNCHER) -w $(WHEEL_CHECK)/dist .
	$(PYTHON) -m venv $(WHEEL_CHECK)/venv
	$(WHEEL_CHECK)/venv/bin/python -m pip install -q $(WHEEL_CHECK)/dist/zan_math-*.whl
	cd $(WHEEL_CHECK) && venv/bin/python $(CURDIR)/scripts/check-wheel.py && venv/bin/zan-discover >/dev/null

# AddressSanitizer + UndefinedBehaviorSanitizer: the C++ tests and the Python suite (but for
# the laws searched end to end, whose entry points the shorter tests run) against an
# instrumented extension, in its own build directory and venv (never .venv).
# The interpreter is not instrumented, so the runtimes are preloaded into it.
# Line tables (-g1) are all a sanitizer's stacks need, and cost less to compile than -g. The
# instrumented extension keeps -O2: at -O1 it compiles in half the time but runs the suite 1.2x
# slower, which costs more than it saves. ThreadSanitizer runs the C++ tests alone: -O1 there.
SAN_VENV := .venv-asan
SAN_PY := $(SAN_VENV)/bin/python
SAN_BUILD := build/asan
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g1
SAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SAN_ENV = ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2:allocator_may_return_null=1:strict_init_order=1:check_initialization_order=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
SAN_PYTEST_ARGS ?=

$(SAN_VENV)/bin/python:
	@if [ -z "$(PYTHON)" ]; then echo "No Python >= 3.12 found"; exit 1; fi
	$(PYTHON) -m venv $(SAN_VENV)

$(SAN_VENV)/.tools: $(SAN_VENV)/bin/python Makefile
	$(SAN_PY) $(PIP_INSTALL) --upgrade pip
	$(SAN_PY) $(PIP_INSTALL) $(filter-out mypy,$(PY_TOOLS))
	touch $@

# The C++ tests are built in the same directory as the instrumented extension, so the
# instrumented core is compiled once for both.
$(SAN_VENV)/.installed: $(SAN_VENV)/.tools $(SOURCES) | deps
	$(SAN_PY) $(PIP_INSTALL) --no-build-isolation $(PIP_LAUNCHER) \
	  --config-settings=build-dir=$(SAN_BUILD)/py \
	  --config-settings=cmake.build-type=Release \
	  --config-settings=cmake.define.ZAN_BUILD_TESTS=ON \
	  "--config-settings=cmake.define.CMAKE_CXX_FLAGS=$(SAN_FLAGS)" .
	$(call compile-venv,$(SAN_PY))
	touch $@

sanitize: sanitize-cpp sanitize-thread sanitize-py

sanitize-cpp: $(SAN_VENV)/.installed
	$(SAN_ENV) ctest --test-dir $(SAN_BUILD)/py -j $(JOBS) --output-on-failure

# ThreadSanitizer on the C++ tests (the pool and the parallel search), in a build type of its
# own so that its flags are all in CMAKE_CXX_FLAGS (Release's -O2 would come after them).
# die_after_fork=0: the fork test starts threads in a child, which is what it checks.
sanitize-thread: deps
	cmake -S . -B $(SAN_BUILD)/tsan -DZAN_BUILD_MODULE=OFF -DZAN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Tsan $(LAUNCHER) \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=thread -O1 -g1" >/dev/null
	cmake --build $(SAN_BUILD)/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:die_after_fork=0 ctest --test-dir $(SAN_BUILD)/tsan -j $(JOBS) --output-on-failure

sanitize-py: $(SAN_VENV)/.installed
	@echo "== pytest under ASan/UBSan ($(SAN_VENV))"
	$(SAN_ENV) ZAN_SANITIZED=1 LD_PRELOAD="$(SAN_PRELOAD)" $(SAN_PY) -m pytest -q -p no:cacheprovider $(PYTEST_WORKERS) \
	  -m "not whole_search" $(SAN_PYTEST_ARGS)

# Benchmarks print ratios measured side by side; run them on an otherwise idle machine.
BENCH_BUILD := build/cpp-bench
bench: install
	$(VPY) -m pip install -q --no-build-isolation '.[bench]'
	cmake -S . -B $(BENCH_BUILD) -DZAN_BUILD_MODULE=OFF -DZAN_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(VPY) bench/batch.py
	ZAN_BOOST_BENCH=$(BENCH_BUILD)/bench/cpp/zan_core_bench $(VPY) bench/boost.py
	$(VPY) bench/algebra.py
	$(VPY) bench/search.py
	$(VPY) bench/discover.py
	ZAN_CPP_BENCH=$(BENCH_BUILD)/bench/cpp/zan_core_bench $(VPY) bench/arrays.py
	$(VPY) bench/distributed.py
	$(BENCH_BUILD)/bench/cpp/zan_core_bench

clean:
	rm -rf build .venv .venv-3.12 .venv-asan
