# The boards: Debian bullseye, bookworm and trixie on armhf and arm64, each an
# emulated root (qemu-user) kept in XALO_BOARD_CACHE, the modules
# cross-compiled against it, the test suite inside it.  Needs root and apt.
# BOARD names the kind (default the oldest); arguments for pytest go in
# BOARD_PYTEST (default: quiet, without the tests marked long).
#
#   make board-test BOARD=K     the suite on K, modules built from the checkout
#   make board-wheel BOARD=K    dist/K/ (wheels and install script), then the
#                               suite against it installed as on a board
#   make board-wheels           dist/ for all six kinds
#   make board-wheels-test      the same, each tested on its own root

XALO_BOARD_CACHE ?= /var/cache/xalo-board
export XALO_BOARD_CACHE
BOARD ?= bullseye-armhf
BOARD_PYTEST ?= -q -m 'not long'
BOARD_KINDS := bullseye-armhf bullseye-arm64 bookworm-armhf bookworm-arm64 trixie-armhf trixie-arm64

.PHONY: board-root board-test board-wheel board-wheels board-wheels-test armhf-test

board-root:
	tools/board/make-root.sh $(BOARD)

board-test:
	tools/board/test.sh $(BOARD) $(BOARD_PYTEST)

board-wheel:
	tools/board/wheel.sh $(BOARD)
	tools/board/test.sh $(BOARD) --wheel $(BOARD_PYTEST)

board-wheels:
	for k in $(BOARD_KINDS); do tools/board/wheel.sh $$k || exit 1; done

board-wheels-test:
	for k in $(BOARD_KINDS); do $(MAKE) board-wheel BOARD=$$k || exit 1; done

# The oldest board, as before there were six.
armhf-test:
	tools/board/test.sh bullseye-armhf $(BOARD_PYTEST)
