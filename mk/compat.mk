# Payloads across releases: each earlier release of tools/compat/releases is
# built from its commit into its own environment (kept in XALO_COMPAT_CACHE),
# and tests/test_compat.py exchanges payloads between it and this kit in both
# directions. `make compat-releases` builds them and names their interpreters
# in $(COMPAT_PYTHONS), which `make test` then passes on, so that the suite
# covers them; `make compat` builds them and runs that test alone. A clone
# without a release's commit (a shallow one) skips that release, and says so.

XALO_COMPAT_CACHE ?= build/compat
export XALO_COMPAT_CACHE
COMPAT_PYTHONS := $(XALO_COMPAT_CACHE)/pythons

.PHONY: compat compat-releases

compat-releases: system-deps
	@pythons=""; for v in $$(awk '!/^#/ && NF { print $$1 }' tools/compat/releases); do \
	  rc=0; py=$$(PYTHON=$(PYTHON) tools/compat/release-venv.sh $$v) || rc=$$?; \
	  if [ $$rc = 3 ]; then echo "== compat: release $$v SKIPPED, its commit is not in this clone"; continue; fi; \
	  [ $$rc = 0 ] || exit $$rc; \
	  pythons="$$pythons$${pythons:+,}$$v=$$py"; \
	done; \
	mkdir -p $(XALO_COMPAT_CACHE) && echo "$$pythons" >$(COMPAT_PYTHONS); \
	echo "== compat: $${pythons:-no earlier release to test against}"

compat: install compat-releases
	@echo "XALO_COMPAT_PYTHONS=$$(cat $(COMPAT_PYTHONS)) $(PY) -m pytest -q tests/test_compat.py $(PYTEST_ARGS)"; \
	XALO_COMPAT_PYTHONS=$$(cat $(COMPAT_PYTHONS)) $(PY) -m pytest -q tests/test_compat.py $(PYTEST_ARGS)
