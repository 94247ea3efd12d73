# make demo: build, install into .venv, run the demo against the simulated camera, then qel-capture:
#   an exposure series to FITS and a preview PNG under build/demo.
# make test: build, install, run every test.
# Another interpreter: make test PYTHON=python3.12 builds and tests in .venv-3.12 (a name that the
#   shell cannot run, such as an inactive pyenv version, is looked up among pyenv's versions).
# make sanitize: the simulated Camera SDK under a multi-threaded stress driver, with AddressSanitizer
#   and UndefinedBehaviorSanitizer, then with ThreadSanitizer.

PYTHON ?= python3
PYTHON_EXE := $(or $(shell $(PYTHON) -c 'import sys; print(sys.executable)' 2>/dev/null),\
                   $(lastword $(wildcard $(shell pyenv root 2>/dev/null)/versions/*/bin/$(PYTHON))),$(PYTHON))
PYTHON_VERSION := $(shell $(PYTHON_EXE) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
VENV ?= $(if $(filter python3,$(PYTHON)),.venv,.venv-$(PYTHON_VERSION))
BIN := $(VENV)/bin
PIP := $(BIN)/python -m pip
BUILD_ARGS := -Ccmake.define.QEL_WERROR=ON

.PHONY: all venv install demo test bench sanitize clean

all: install

$(BIN)/python:
	$(PYTHON_EXE) -m venv $(VENV)

$(VENV)/.deps: pyproject.toml | $(BIN)/python
	$(PIP) install --quiet "scikit-build-core>=0.10" "pytest>=7" "mypy==2.4.1"
	$(PIP) install --quiet "numpy>=1.24" "astropy>=5.3" "rich>=13" "Pillow>=10"  # dependencies and the capture extra
	$(PIP) install --quiet "ephem>=4.1"  # the sky extra: real bright stars for the simulator
	touch $@

venv: $(VENV)/.deps

install: venv
	$(PIP) install --quiet --no-build-isolation --no-deps $(BUILD_ARGS) .

DEMO_OUTPUT := build/demo

demo: install
	$(BIN)/python -m brevalo.vra_qel_python_bindings.demo
	@echo
	$(BIN)/qel-capture list
	$(BIN)/qel-capture expose --camera 0 --exposure 0.5 --count 3 --bin 2 --output $(DEMO_OUTPUT)/lights
	$(BIN)/qel-capture preview --camera 1 --exposure 0.2 --format RGB24 --output $(DEMO_OUTPUT)/preview.png

test: install
	$(BIN)/python -m pytest -q tests

bench: install
	@for b in bench/*.py; do echo "== $$b"; $(BIN)/python $$b || exit 1; done

SANITIZE_CONFIG := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON -DQEL_SIM_STRESS=ON

sanitize:
	cmake -S . -B build/asan $(SANITIZE_CONFIG) -DQEL_SANITIZE=address,undefined
	cmake --build build/asan --target qelsim_stress
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 build/asan/qelsim_stress 3
	cmake -S . -B build/tsan $(SANITIZE_CONFIG) -DQEL_SANITIZE=thread
	cmake --build build/tsan --target qelsim_stress
	TSAN_OPTIONS=halt_on_error=1 build/tsan/qelsim_stress 3

clean:
	rm -rf build dist .venv .venv-*
