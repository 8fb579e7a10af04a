# The two set-up commands of README.md. Both work on a fresh Debian machine:
# redis-server comes from apt-get when it is missing, Python packages go into
# a virtual environment.
VENV ?= .venv
PYTHON ?= python3
PY := $(VENV)/bin/python
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: demo test install redis-server

demo: install
	$(PY) -m xalo_sdk.demo

test: install
	$(PY) -m pytest

install: redis-server $(PY)
	$(PY) -m pip install --quiet ".[test]"

redis-server:
	@command -v redis-server >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq redis-server; }

$(PY):
	$(PYTHON) -m venv $(VENV)
