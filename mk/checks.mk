# Robustness checks beyond the test suite:
#   make sanitize   the test suite against an ASan+UBSan build (tools/sanitize.sh)
#   make fuzz       a short run of every fuzz target (fuzz/README.md); FUZZ_SECONDS in all
#   make soak       a million small calls and 5,000 frame roads, memory growth printed
# (SOAK_ARGS=--small for a quick one)

FUZZ_SECONDS ?= 60
FUZZ_VENV ?= .venv-fuzz
FUZZ_PY := $(FUZZ_VENV)/bin/python
SOAK_ARGS ?=

.PHONY: sanitize fuzz soak sanitize-deps

sanitize: install sanitize-deps
	PY=$(PY) tools/sanitize.sh

# gcc's sanitizer runtimes come with g++ on Debian; cmake and ninja are
# fetched into the venv by the script when missing.
sanitize-deps:
	@command -v g++ >/dev/null 2>&1 && [ -e "$$(g++ -print-file-name=libasan.so)" ] && \
	  [ -e "$$(g++ -print-file-name=libubsan.so)" ] || \
	  { $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq g++ libasan8 libubsan1 || \
	    $(SUDO) apt-get install -y -qq g++; }

fuzz: $(FUZZ_VENV)/.installed
	FUZZ_PY=$(FUZZ_PY) FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

soak: install
	$(PY) bench/soak.py $(SOAK_ARGS)

$(FUZZ_PY):
	$(PYTHON) -m venv $(FUZZ_VENV)

# atheris ships wheels for the common interpreters on x86-64; elsewhere it
# builds from source and needs clang with its libFuzzer runtime.
$(FUZZ_VENV)/.installed: $(FUZZ_PY) pyproject.toml CMakeLists.txt mk/checks.mk \
    $(wildcard native/*.cpp native/core/* native/roi/* native/shm/* native/codec/* native/image/*) $(shell find src -name '*.py' 2>/dev/null)
	$(FUZZ_PY) -m pip install --quiet atheris || \
	  { $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq clang libclang-rt-dev && \
	    CLANG_BIN=$$(command -v clang) $(FUZZ_PY) -m pip install --quiet atheris; }
	$(FUZZ_PY) -m pip install --quiet ".[opencv]"
	touch $@
