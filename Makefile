# make demo: build, install into .venv, run the demo against the simulated camera.
# make test: build, install, run every test.

PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
PIP := $(BIN)/python -m pip
BUILD_ARGS := -Ccmake.define.QEL_WERROR=ON

.PHONY: all venv install demo test bench clean

all: install

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)

$(VENV)/.deps: pyproject.toml | $(BIN)/python
	$(PIP) install --quiet "scikit-build-core>=0.10" "pytest>=7" "mypy>=1.8"
	touch $@

venv: $(VENV)/.deps

install: venv
	$(PIP) install --quiet --no-build-isolation --no-deps $(BUILD_ARGS) .

demo: install
	$(BIN)/python -m brevalo.vra_qel_python_bindings.demo

test: install
	$(BIN)/python -m pytest -q tests

bench: install
	@for b in bench/*.py; do echo "== $$b"; $(BIN)/python $$b || exit 1; done

clean:
	rm -rf build dist $(VENV)
