# The newest CPython (Debian sid's python3, 3.14 and on) in a Debian sid
# x86-64 root made with debootstrap and kept in XALO_NEWEST_CACHE: the kit
# built there against Debian's packages and the suite run inside it.  Needs
# root and apt (see tools/newest/make-root.sh).  Arguments for pytest go in
# NEWEST_PYTEST.

XALO_NEWEST_CACHE ?= /var/cache/xalo-newest
export XALO_NEWEST_CACHE
NEWEST_PYTEST ?= -q

.PHONY: newest-root test-newest

newest-root:
	tools/newest/make-root.sh

test-newest:
	tools/newest/test.sh $(NEWEST_PYTEST)
