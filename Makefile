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
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: demo test sysdeps venv build fixtures cpptest asan pytest suites install-check bench clean

demo: build fixtures
	mkdir -p build/demo && cd build/demo && $(CURDIR)/$(PY) $(CURDIR)/tools/demo.py  # profiling traces land here

test: build fixtures cpptest asan pytest suites

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
	$(PIP) install -q --disable-pip-version-check --no-build-isolation --no-deps .
	@ln -sf build/cp311-cp311-linux_x86_64/compile_commands.json compile_commands.json

fixtures: build
	$(PY) -m tools.samples --out $(SAMPLES)

# GoogleTest suite of the pure C++ core, plain and under ASan+UBSan.
cpptest: sysdeps venv
	$(VENV)/bin/cmake -S . -B build/native -G Ninja -DOSTREL_PYTHON=OFF -DOSTREL_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build build/native -j $(JOBS)
	build/native/native_tests --gtest_brief=1

asan: sysdeps venv
	$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DOSTREL_PYTHON=OFF -DOSTREL_TESTS=ON -DOSTREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(VENV)/bin/cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 build/asan/native_tests --gtest_brief=1

pytest: build fixtures
	$(PY) -m pytest -q test

# The unit and end-to-end suites through the full runner, from a scratch folder (the checks leave
# files in the working directory) with HOME on a scratch folder too.
suites: build fixtures
	rm -rf build/suites && mkdir -p build/suites/home
	cd build/suites && HOME=$(CURDIR)/build/suites/home $(CURDIR)/$(PY) -m tests.ostrel_test_suite

# The installation suite: fresh virtual environments get the wheel, built once here, and the
# requirement files of verification/installation_tests; packages come from pip's cache and indexes,
# every pip call has a time limit.
WHEEL_DIR := build/wheel
install-check: build
	rm -rf $(WHEEL_DIR) build/install-check && mkdir -p build/install-check/home
	$(PIP) wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w $(WHEEL_DIR) .
	cd verification/installation_tests && PIP_CACHE_DIR=$$($(PIP) cache dir 2>/dev/null || echo $(CURDIR)/build/pip-cache) \
	  HOME=$(CURDIR)/build/install-check/home OSTREL_WHEEL_DIR=$(CURDIR)/$(WHEEL_DIR) OSTREL_PIP_TIME_LIMIT=600 \
	  TMPDIR=$(CURDIR)/build/install-check timeout 1800 $(CURDIR)/$(PY) -m tests.ostrel_installation_test_suite

bench: build fixtures
	@for b in bench/*; do [ -x "$$b" ] || continue; echo "== $$b"; PATH=$(CURDIR)/$(VENV)/bin:$$PATH "$$b"; done

clean:
	rm -rf build compile_commands.json
