# The board route: a Debian bullseye armhf root run through qemu-user, the
# modules cross-compiled against it, the test suite inside it.  Needs root
# and apt; the root is kept in XALO_ARMHF_CACHE between runs (see
# tools/armhf/make-root.sh).  Arguments for pytest go in ARMHF_PYTEST.

XALO_ARMHF_CACHE ?= /var/cache/xalo-armhf
export XALO_ARMHF_CACHE
ARMHF_PYTEST ?= -q

.PHONY: armhf-root armhf-test wheel-armhf

armhf-root:
	tools/armhf/make-root.sh

armhf-test:
	tools/armhf/test.sh $(ARMHF_PYTEST)

# The cp39 linux_armv7l wheel in dist/, then the suite against it installed
# in the emulated board.
wheel-armhf:
	tools/armhf/wheel.sh
	tools/armhf/test.sh --wheel "$$(ls -t dist/*-cp39-cp39-linux_armv7l.whl | head -n1)" $(ARMHF_PYTEST)
