# Payloads across releases: each earlier release of tools/compat/releases is
# built from its commit into its own environment (kept in XALO_COMPAT_CACHE),
# and tests/test_compat.py exchanges payloads between it and this kit in both
# directions. A clone without a release's commit (a shallow one) skips that
# release, and says so.

XALO_COMPAT_CACHE ?= build/compat
export XALO_COMPAT_CACHE

.PHONY: compat

compat: install
	@pythons=""; for v in $$(awk '!/^#/ && NF { print $$1 }' tools/compat/releases); do \
	  rc=0; py=$$(PYTHON=$(PYTHON) tools/compat/release-venv.sh $$v) || rc=$$?; \
	  if [ $$rc = 3 ]; then echo "== compat: release $$v SKIPPED, its commit is not in this clone"; continue; fi; \
	  [ $$rc = 0 ] || exit $$rc; \
	  pythons="$$pythons$${pythons:+,}$$v=$$py"; \
	done; \
	[ -n "$$pythons" ] || { echo "== compat: no earlier release to test against"; exit 0; }; \
	echo "XALO_COMPAT_PYTHONS=$$pythons $(PY) -m pytest -q tests/test_compat.py $(PYTEST_ARGS)"; \
	XALO_COMPAT_PYTHONS=$$pythons $(PY) -m pytest -q tests/test_compat.py $(PYTEST_ARGS)
