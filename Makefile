# The two set-up commands of README.md are `make demo` and `make test`. Both
# work on a fresh Debian machine: redis-server and the compiler come from
# apt-get when they are missing, Python packages go into a virtual environment.
#
# PYTHON picks the interpreter (a command name or a path; `python3.9` is also
# found among pyenv's versions). Each interpreter gets its own environment
# (.venv for the default one, .venv-X.Y for any other) and its own persistent
# CMake build tree (build/venv-X.Y), so switching interpreters rebuilds
# nothing, and the native modules are rebuilt only when a source changed.

SHELL := /bin/bash
DEFAULT_PYTHON := $(filter undefined,$(origin PYTHON))
PYTHON ?= python3

# A command that does not run (pyenv's shim for a version it does not have
# selected, say) is looked up among pyenv's installed versions.
PYENV_VERSIONS := $(or $(PYENV_ROOT),$(HOME)/.pyenv)/versions
PYTHON_EXE := $(shell \
  if $(PYTHON) -c '' >/dev/null 2>&1; then command -v $(PYTHON); \
  else v=$$(echo '$(notdir $(PYTHON))' | sed -n 's/^python\([0-9.]*\)$$/\1/p'); \
       [ -n "$$v" ] && ls -d $(PYENV_VERSIONS)/$$v.*/bin/python$$v 2>/dev/null | sort -V | tail -n1; fi)
ifeq ($(PYTHON_EXE),)
  $(error PYTHON=$(PYTHON) does not run and is not among $(PYENV_VERSIONS))
endif
# From here on PYTHON is the interpreter's path, also for the make files below.
override PYTHON := $(PYTHON_EXE)
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')

ifneq ($(DEFAULT_PYTHON),)
  VENV ?= .venv
else
  VENV ?= .venv-$(PYVER)
endif
PY := $(VENV)/bin/python
BUILD_DIR := build/$(patsubst .%,%,$(notdir $(VENV)))
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Compile jobs: one per core, never more (ninja's own default is cores + 2).
CMAKE_BUILD_PARALLEL_LEVEL ?= $(shell nproc 2>/dev/null || echo 2)
export CMAKE_BUILD_PARALLEL_LEVEL

# Extra CMake definitions for the kit's build, e.g. XALO_CMAKE_ARGS=-DXALO_WERROR=ON
XALO_CMAKE_ARGS ?=
# Same requirements as [build-system] in pyproject.toml: the kit is built
# without build isolation so that its build tree can be reused.
BUILD_REQUIRES := "scikit-build-core>=0.8" "pybind11>=2.10"

# Everything whose change must rebuild and reinstall the kit.
KIT_SOURCES := CMakeLists.txt pyproject.toml $(shell find native src -type f \
  ! -name '*.so' ! -name '*.pyc' ! -path '*/__pycache__/*' 2>/dev/null)
# The kit with its opencv extra (all the demo needs), and then the test extra.
INSTALLED := $(VENV)/.xalo-installed
TEST_EXTRA := $(VENV)/.xalo-test-extra

PYTEST_ARGS ?=

.PHONY: demo test test-long install stubtest system-deps clean

demo: system-deps $(INSTALLED)
	$(PY) -m xalo_sdk.demo

# pytest's exit status 5 (no test collected) fails like any other.
PYTEST_RUN = echo "$(strip $(1) $(PY) -m pytest $(2) $(PYTEST_ARGS))"; rc=0; $(1) $(PY) -m pytest $(2) $(PYTEST_ARGS) || rc=$$?; \
  [ $$rc != 5 ] || echo "pytest collected no test"; exit $$rc

# The earlier releases that `make compat-releases` built, if any, for the
# cross-release payload tests.
test: install
	@$(call PYTEST_RUN,XALO_COMPAT_PYTHONS=$$(cat $(XALO_COMPAT_CACHE)/pythons 2>/dev/null),-m 'not long')

# Tests marked `long` and the full example counts of the property tests.
test-long: install
	@$(call PYTEST_RUN,XALO_LONG=1)

# The type stubs beside the native modules, checked against the modules.
stubtest: install
	$(PY) -m mypy.stubtest --concise xalo_sdk

# The kit and everything the tests and checks use.
install: system-deps $(INSTALLED) $(TEST_EXTRA)

# Native build from a persistent tree: only what changed is compiled again.
$(INSTALLED): $(KIT_SOURCES) | $(PY)
	@echo "== Building the native modules for Python $(PYVER) in $(BUILD_DIR) (installing into $(VENV))"
	$(PY) -m pip install --quiet $(BUILD_REQUIRES)
	$(PY) -m pip install --no-build-isolation --progress-bar off \
	  -Cbuild-dir=$(BUILD_DIR) \
	  $(foreach a,$(XALO_CMAKE_ARGS),-Ccmake.define.$(patsubst -D%,%,$(a))) \
	  -v ".[opencv]" 2>&1 | grep --line-buffered -v -e '^ *Requirement already satisfied' -e '^ *Link requires' ; \
	  test $${PIPESTATUS[0]} -eq 0
	@touch $@
	@echo "== Installed into $(VENV)"

# The test extra of the installed kit: pip takes the installed kit as it
# is and adds the extra's requirements, without building it again.
$(TEST_EXTRA): pyproject.toml | $(INSTALLED)
	$(PY) -m pip install --quiet "xalo_sdk[test]==$$($(PY) -c 'import importlib.metadata as m; print(m.version("xalo_sdk"))')"
	@touch $@

$(PY):
	@echo "== Creating the virtual environment $(VENV) for $(PYTHON)"
	$(PYTHON) -m venv $(VENV) || { rm -rf $(VENV); \
	  echo "python venv is missing: apt-get install python3-venv"; exit 1; }
	$(PY) -m pip install --quiet --upgrade pip

# redis-server for the tests and the demo (redis-cli joins the tests'
# Cluster, openssl makes their TLS certificates); a C++ compiler, CMake and
# the Python headers for the build; libjpeg-turbo's TurboJPEG header, without
# which the build decodes JPEG through OpenCV only.
system-deps:
	@missing=""; \
	command -v redis-server >/dev/null 2>&1 || missing="$$missing redis-server"; \
	command -v redis-cli >/dev/null 2>&1 || missing="$$missing redis-tools"; \
	command -v openssl >/dev/null 2>&1 || missing="$$missing openssl"; \
	command -v g++ >/dev/null 2>&1 || missing="$$missing g++"; \
	command -v cmake >/dev/null 2>&1 || missing="$$missing cmake"; \
	command -v ninja >/dev/null 2>&1 || missing="$$missing ninja-build"; \
	[ -e /usr/include/turbojpeg.h ] || missing="$$missing libturbojpeg0-dev"; \
	$(PYTHON) -c 'import ensurepip' >/dev/null 2>&1 || missing="$$missing python$(PYVER)-venv"; \
	$(PYTHON) -c 'import os, sysconfig; assert os.path.exists(sysconfig.get_path("include") + "/Python.h")' \
	  >/dev/null 2>&1 || missing="$$missing python$(PYVER)-dev"; \
	if [ -n "$$missing" ]; then \
	  echo "== Installing$$missing with apt-get"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

clean:
	rm -rf build .venv .venv-*

-include mk/*.mk
