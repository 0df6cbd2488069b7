# Two entry points: `make demo` and `make test`. Both set up everything a fresh machine needs
# (Debian packages, the virtual environment at .venv, Python packages, the build, the samples).
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
SAMPLES ?= $(CURDIR)/.samples
JOBS ?= $(shell nproc)
APT_PACKAGES := g++ make libssl-dev libarchive-dev libgtest-dev libgmock-dev binutils grep strace
export OSTREL_SAMPLES_DIR := $(SAMPLES)
# OpenVINO's import sends a usage event over the network from a forked child unless CI=true: tests and
# demos need no network, and a child forked from a threaded process can deadlock.
export CI := true
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: demo test test-stages ci sysdeps venv build fixtures cpptest asan pytest suites install-check bench clean

# Each stage prints its own wall time when it ends ("== stage NAME: N s").
STAGE_START = @mkdir -p build/stage-times && date +%s%N > build/stage-times/$@
STAGE_END = @echo "== stage $@: $$(( ($$(date +%s%N) - $$(cat build/stage-times/$@)) / 1000000000 )) s"

demo: build fixtures
	mkdir -p build/demo && cd build/demo && $(CURDIR)/$(PY) $(CURDIR)/tools/demo.py  # profiling traces land here

# The stages after the build and the samples are independent: they run in parallel processes, each
# stage's output kept together.
PARALLEL = $(MAKE) --no-print-directory -j$(JOBS) --output-sync=target

test:
	@$(PARALLEL) test-stages

test-stages: build fixtures cpptest asan pytest suites

# Everything CI runs: the whole test and the installation checks, side by side after one build.
ci:
	@$(PARALLEL) test-stages install-check

# Debian packages: installed only when one is missing.
sysdeps:
	@missing=$$(for p in $(APT_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing: $$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

# The virtual environment; pip runs again only when the requirement files change.
$(VENV)/.requirements: requirements.txt requirements-dev.txt | sysdeps
	test -x $(PY) || python3 -m venv $(VENV)
	$(PIP) install -q --disable-pip-version-check -r requirements-dev.txt
	touch $@

venv: sysdeps $(VENV)/.requirements

build: venv
	$(STAGE_START)
	$(PIP) install -q --disable-pip-version-check --no-build-isolation --no-deps .
	@ln -sf build/cp311-cp311-linux_x86_64/compile_commands.json compile_commands.json
	$(STAGE_END)

fixtures: build
	$(STAGE_START)
	$(PY) -m tools.samples --out $(SAMPLES)
	$(STAGE_END)

# GoogleTest suite of the pure C++ core, plain and under ASan+UBSan.
cpptest: sysdeps venv
	$(STAGE_START)
	$(VENV)/bin/cmake -S . -B build/native -G Ninja -DOSTREL_PYTHON=OFF -DOSTREL_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build build/native -j $(JOBS)
	build/native/native_tests --gtest_brief=1
	$(STAGE_END)

asan: sysdeps venv
	$(STAGE_START)
	$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DOSTREL_PYTHON=OFF -DOSTREL_TESTS=ON -DOSTREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(VENV)/bin/cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 build/asan/native_tests --gtest_brief=1
	$(STAGE_END)

# Stages run side by side, so each framework runtime gets STAGE_THREADS threads (OMP_NUM_THREADS) instead
# of one per core: torch's thread pool with more threads than free cores spends most of its time waiting.
STAGE_THREADS ?= 1

# The pytest modules in PYTEST_SHARDS processes, dealt round-robin.
PYTEST_SHARDS ?= 4
PYTEST_STAGES := $(addprefix pytest-,$(shell seq $(PYTEST_SHARDS)))
.PHONY: $(PYTEST_STAGES)
pytest: $(PYTEST_STAGES)
$(PYTEST_STAGES): pytest-%: build fixtures
	$(STAGE_START)
	OMP_NUM_THREADS=$(STAGE_THREADS) $(PY) -m pytest -q -p no:cacheprovider $$(ls test/test_*.py | awk 'NR % $(PYTEST_SHARDS) == $* % $(PYTEST_SHARDS)')
	$(STAGE_END)

# The check modules of the full runner's two suites, each in its own process with its own scratch working
# folder (the checks leave files there), HOME and temporary folder (where the samples are copied).
# `python -m tests.ostrel_test_suite` runs the same checks one after another.
SUITE_MODULES := unit_tests.test_model_benchmarks_print \
  $(addprefix unit_tests.test_inferencers.,test_onnx_inferencer test_openvino_inferencer test_keras_inferencer \
    test_tensorflow_inferencer test_torchscript_inferencer test_tflite_inferencer test_pytorch_inferencer) \
  e2e_tests.test_ostrel_manager
SUITE_STAGES := $(addprefix suite-,$(SUITE_MODULES))
.PHONY: $(SUITE_STAGES)
suites: $(SUITE_STAGES)
$(SUITE_STAGES): suite-%: build fixtures
	$(STAGE_START)
	rm -rf build/suites/$* && mkdir -p build/suites/$*/home build/suites/$*/tmp
	cd build/suites/$* && HOME=$(CURDIR)/build/suites/$*/home TMPDIR=$(CURDIR)/build/suites/$*/tmp OMP_NUM_THREADS=$(STAGE_THREADS) \
	  $(CURDIR)/$(PY) -m unittest -v tests.$*
	$(STAGE_END)

# The installation suite: fresh virtual environments get the wheel, built once here, and the
# requirement files of verification/installation_tests; packages come from pip's cache and indexes,
# every pip call has a time limit.
WHEEL_DIR := build/wheel
install-check: build
	$(STAGE_START)
	rm -rf $(WHEEL_DIR) build/install-check && mkdir -p build/install-check/home
	$(PIP) wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w $(WHEEL_DIR) .
	cd verification/installation_tests && PIP_CACHE_DIR=$$($(PIP) cache dir 2>/dev/null || echo $(CURDIR)/build/pip-cache) \
	  HOME=$(CURDIR)/build/install-check/home OSTREL_WHEEL_DIR=$(CURDIR)/$(WHEEL_DIR) OSTREL_PIP_TIME_LIMIT=600 \
	  TMPDIR=$(CURDIR)/build/install-check timeout 1800 $(CURDIR)/$(PY) -m tests.ostrel_installation_test_suite
	$(STAGE_END)

bench: build fixtures
	@for b in bench/*; do [ -x "$$b" ] || continue; echo "== $$b"; PATH=$(CURDIR)/$(VENV)/bin:$$PATH "$$b"; done

clean:
	rm -rf build compile_commands.json
