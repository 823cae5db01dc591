# The README's commands: `make run` (the example trigger session), `make test`
# (build everything and run the test suite but its slow tests) and `make test-all`.
PYTHON ?= python3
VENV   ?= .venv
BIN    := $(VENV)/bin
# Requirements come from pyproject.toml only: build-system, runtime and test.
REQS   := $(BIN)/python -c "import tomllib; p = tomllib.load(open('pyproject.toml', 'rb')); \
            print(' '.join(p['build-system']['requires'] + p['project']['dependencies'] + p['project']['optional-dependencies']['test']))"
FRAMEWORK_FILES := $(shell find framework -type f \( -name '*.py' -o -name '*.yaml' -o -name '*.toml' \) -not -path '*/build/*' 2>/dev/null)
NATIVE_FILES    := $(shell find src -type f 2>/dev/null) CMakeLists.txt pyproject.toml
# The extension modules, as CMake builds them (comments and blank lines skipped).
MODULES         := $(shell grep -E '^[a-z_][a-z0-9_]*$$' src/korrin/utils/MODULES)

.PHONY: all build run test test-all bench bench-ab fuzz sanitize package-check wheels clean

all: build

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install --quiet --upgrade pip

$(VENV)/.deps: $(BIN)/python pyproject.toml
	$(BIN)/python -m pip install --quiet $$($(REQS))
	touch $@

$(VENV)/.framework: $(VENV)/.deps $(FRAMEWORK_FILES)
	flock $(VENV)/.lock $(BIN)/python -m pip install --quiet --no-deps ./framework
	touch $@

# The CMake build directory persists under build/, so a C++ change rebuilds
# only what it touches.
$(VENV)/.native: $(VENV)/.deps $(NATIVE_FILES)
	flock $(VENV)/.lock $(BIN)/python -m pip install --quiet --no-deps --no-build-isolation \
	  --config-settings=build-dir='build/{wheel_tag}' .
	touch $@

build: $(VENV)/.native $(VENV)/.framework

run: build
	$(BIN)/python examples/trigger_session.py

# `make test` leaves out the tests marked slow (the long endurance runs and
# the megabyte inputs); `make test-all` runs them too, and CI calls it.
# Neither runs the tests marked repeated or long_sweep (pytest -m repeated, -m long_sweep).
ALL_TESTS := -m "not repeated and not long_sweep"
test: build
	$(BIN)/python -m pytest

test-all: build
	$(BIN)/python -m pytest $(ALL_TESTS)

# The benchmarks' plain-Python baselines are also compiled with Cython (the
# bench extra pins it), so every ratio is given against both.
BENCH_REQS := $(BIN)/python -c "import tomllib; p = tomllib.load(open('pyproject.toml', 'rb')); \
            print(' '.join(p['project']['optional-dependencies']['bench']))"
$(VENV)/.bench: $(VENV)/.deps pyproject.toml
	$(BIN)/python -m pip install --quiet $$($(BENCH_REQS))
	touch $@

bench: build $(VENV)/.bench
	$(BIN)/python benchmarks/cythonize.py
	$(BIN)/python benchmarks/run.py

# The same benchmarks for two builds in one run: the modules of AB_REF (built
# from that commit into build/ab-<ref>) against the current ones, process by
# process in turns, so a change's effect is told apart from machine noise.
AB_REF ?= main
AB_SRC  = build/ab-$(subst /,_,$(AB_REF))-src
AB_DIR  = build/ab-$(subst /,_,$(AB_REF))-$$($(BIN)/python -c "import sys; print(sys.implementation.cache_tag)")
bench-ab: build $(VENV)/.bench
	# Where git cannot run (a chroot without the repository), the sources
	# taken out by an earlier run are used.
	rm -rf $(AB_SRC).new && mkdir -p $(AB_SRC).new $(AB_DIR)/site/korrin/utils
	if git archive $(AB_REF) | tar -x -C $(AB_SRC).new; then rm -rf $(AB_SRC) && mv $(AB_SRC).new $(AB_SRC); \
	  else rm -rf $(AB_SRC).new && test -d $(AB_SRC); fi
	$(BIN)/cmake -S $(AB_SRC) -B $(AB_DIR)/cmake -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) -DPython_EXECUTABLE=$(abspath $(BIN)/python) > /dev/null
	$(BIN)/cmake --build $(AB_DIR)/cmake
	cp $(AB_DIR)/cmake/*$(EXT_SUFFIX) $(AB_DIR)/site/korrin/utils/
	$(BIN)/python benchmarks/cythonize.py
	$(BIN)/python benchmarks/ab.py --old $(AB_DIR)/site $(AB_ARGS)

# Differential fuzzing of the native modules against their plain-Python models
# (long, so not part of `make test`). FUZZ_SECONDS is the whole budget, split
# evenly across the four targets: wrap (tools/fuzz_wrap.py), then summary,
# config and symfind (tools/fuzz.py).
# Every target runs; any divergence fails.
FUZZ_SECONDS ?= 600
fuzz: build
	@status=0; \
	$(BIN)/python tools/fuzz_wrap.py --seconds $$(( $(FUZZ_SECONDS) / 4 )) || status=1; \
	$(BIN)/python tools/fuzz.py --seconds $$(( $(FUZZ_SECONDS) * 3 / 4 )) || status=1; \
	exit $$status

# Quick rebuild of one module (e.g. `make dev-config`) into the venv, in its
# own build directory so several can be rebuilt at once.
EXT_SUFFIX = $$($(BIN)/python -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
SITE_DIR   = $$($(BIN)/python -c "import sysconfig; print(sysconfig.get_path('platlib'))")
dev-%: $(VENV)/.deps
	mkdir -p $(SITE_DIR)/korrin/utils
	$(BIN)/cmake -S . -B build/dev-$* -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(BIN)/python) > /dev/null
	$(BIN)/cmake --build build/dev-$* --target $*
	# A new file renamed into place: a process still running the old one keeps it.
	cp build/dev-$*/$*$(EXT_SUFFIX) $(SITE_DIR)/korrin/utils/.$*.new
	mv -f $(SITE_DIR)/korrin/utils/.$*.new $(SITE_DIR)/korrin/utils/$*$(EXT_SUFFIX)

# The extensions built with AddressSanitizer and UndefinedBehaviorSanitizer,
# placed ahead of the regular ones on the path, and the whole suite run on them.
# One per venv (VENV=.venv-3.14 builds into build/sanitize-3.14).
SANITIZE_DIR := build/sanitize$(subst .venv,,$(notdir $(VENV)))
SANITIZE_ENV := PYTHONPATH=$(abspath $(SANITIZE_DIR)/site) PYTHONMALLOC=malloc \
  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$(abspath tools/lsan.supp):print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitize: build
	$(BIN)/cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORRIN_SANITIZE=ON \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) -DPython_EXECUTABLE=$(abspath $(BIN)/python) > /dev/null
	$(BIN)/cmake --build $(SANITIZE_DIR)
	mkdir -p $(SANITIZE_DIR)/site/korrin/utils
	cp $(SANITIZE_DIR)/*$(EXT_SUFFIX) $(SANITIZE_DIR)/site/korrin/utils/
	$(SANITIZE_ENV) $(BIN)/python -m pytest -p no:cacheprovider $(ALL_TESTS)

# The wheel on its own: built from scratch (its own CMake build directory) by
# a clean virtual environment's pip, installed there with the stand-in
# framework the modules import, every module imported and its stubs present.
# The venv comes first because an interpreter may have no pip of its own or
# refuse installs outside a venv (Debian's).
PACKAGE_DIR := build/package
package-check:
	rm -rf $(PACKAGE_DIR) && mkdir -p $(PACKAGE_DIR)
	$(PYTHON) -m venv $(PACKAGE_DIR)/venv
	$(PACKAGE_DIR)/venv/bin/python -m pip wheel --quiet --no-deps -w $(PACKAGE_DIR)/dist \
	  --config-settings=build-dir=$(PACKAGE_DIR)/cmake .
	$(PACKAGE_DIR)/venv/bin/python -m pip install --quiet $(PACKAGE_DIR)/dist/*.whl ./framework
	cd $(PACKAGE_DIR) && venv/bin/python -c "import importlib, pathlib; \
	  mods = [importlib.import_module('korrin.utils.' + m) for m in '$(MODULES)'.split()]; \
	  folder = pathlib.Path(mods[0].__file__).parent; \
	  assert all((folder / (m.__name__.rsplit('.', 1)[1] + '.pyi')).exists() for m in mods) and (folder / 'py.typed').exists(); \
	  print('wheel ok:', ', '.join(m.__name__ for m in mods))"

# One manylinux wheel per CPython 3.11+ found here (tools/pythons), built with
# the old-toolchain root's GCC (tools/build-root) and repaired by auditwheel,
# and the sdist, all into dist/.
wheels:
	tools/wheels

clean:
	rm -rf $(VENV) build framework/build dist
