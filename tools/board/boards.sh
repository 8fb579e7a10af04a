# The boards the kit is built for: Debian bullseye, bookworm and trixie, each
# on 32-bit (armhf) and 64-bit (arm64) ARM.  Sourced after lib.sh;
# board_select KIND sets what the scripts need to know of one of them.

BOARD_KINDS="bullseye-armhf bullseye-arm64 bookworm-armhf bookworm-arm64 trixie-armhf trixie-arm64"
XALO_BOARD_CACHE=${XALO_BOARD_CACHE:-/var/cache/xalo-board}

board_select() {
    KIND=$1
    RELEASE=${KIND%-*}
    ARCH=${KIND#*-}
    case $ARCH in
        armhf) TRIPLE=arm-linux-gnueabihf QEMU_ARCH=arm MACHINE=armv7l ;;
        arm64) TRIPLE=aarch64-linux-gnu QEMU_ARCH=aarch64 MACHINE=aarch64 ;;
        *) die "unknown board $KIND (one of: $BOARD_KINDS)" ;;
    esac
    # qemu's default 64-bit CPU has pointer authentication, which it computes
    # the slow architected way for every signed return; trixie's binaries sign
    # theirs, and its suite ran five times slower.  A Cortex-A72 (a Pi 4's
    # core) has none, as most boards, so the hints are no-ops.  QEMU_CPU set
    # beforehand picks another.
    if [ "$ARCH" = arm64 ]; then
        export QEMU_CPU=${QEMU_CPU:-cortex-a72}
    fi
    # The Python, GCC and glibc each release ships.
    case $RELEASE in
        bullseye) PY=3.9 GCC=10 GLIBC=2.31 ;;
        bookworm) PY=3.11 GCC=12 GLIBC=2.36 ;;
        trixie) PY=3.13 GCC=14 GLIBC=2.41 ;;
        *) die "unknown board $KIND (one of: $BOARD_KINDS)" ;;
    esac
    # Shapely 2 where Debian's is older (1.7 on bullseye, 1.8 on bookworm;
    # trixie's 2.1 is taken as it is): on arm64 the package index's wheel
    # (GEOS inside), of the last series that runs on the release's NumPy
    # (bookworm's 1.24; bullseye's 1.19 and Python 3.9); on armhf, which has
    # no such wheels, the same series built once in the root against the
    # release's NumPy and GEOS.
    SHAPELY= CYTHON=
    case $RELEASE in
        bullseye) SHAPELY=shapely==2.0.7 CYTHON="cython>=3.0,<3.1" ;;
        bookworm) SHAPELY=shapely==2.1.2 CYTHON="cython>=3.0.10,<3.2" ;;
    esac
    WHEEL_TAG=cp${PY/./}-cp${PY/./}-manylinux_${GLIBC/./_}_$MACHINE
    ROOT_TAG=$KIND
    ROOT_CACHE=$XALO_BOARD_CACHE
    ROOT=$ROOT_CACHE/$KIND-root
}
