#!/bin/sh
# Install the kit on a board running Debian bullseye (armhf, Python 3.9):
#
#   sudo sh board-install.sh [KIT]
#
# KIT is the board's wheel (xalo_sdk-*-cp39-cp39-linux_armv7l.whl) or a source
# checkout; without it only the dependencies are installed.
#
# NumPy, OpenCV and GEOS come from Debian, so neither NumPy nor OpenCV is
# compiled.  PyPI has no 32-bit ARM wheels of Shapely 2 and Debian has only
# Shapely 1.7, so Shapely 2.0.7 (the last for Python 3.9) is built here from
# source against Debian's GEOS and NumPy.  That build needs Cython 3.0.x and
# setuptools 61 or later; they go into a throw-away environment, so the
# system's own setuptools is left alone, and build isolation is off so that
# the build uses Debian's NumPy instead of compiling a new one.
set -eu

SHAPELY=shapely==2.0.7
kit=${1:-}

packages="python3 python3-pip python3-venv python3-dev gcc python3-numpy python3-opencv libgeos-dev"
# A source checkout compiles the kit's C++ modules on the board.
if [ -n "$kit" ] && [ -d "$kit" ]; then
    packages="$packages g++ cmake"
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $packages >/dev/null

if ! python3 -c 'import shapely, sys; sys.exit(shapely.__version__ < "2")' 2>/dev/null; then
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    python3 -m venv --system-site-packages "$tmp/env"
    "$tmp/env/bin/python" -m pip install -q --disable-pip-version-check "setuptools>=61" "cython>=3.0,<3.1" wheel
    "$tmp/env/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
        -w "$tmp/wheels" "$SHAPELY"
    python3 -m pip install -q --disable-pip-version-check "$tmp"/wheels/shapely-*.whl
fi

if [ -n "$kit" ]; then
    # numpy and shapely are met by what is installed above; redis and orjson
    # (which has 32-bit ARM wheels) come from PyPI.
    python3 -m pip install -q --disable-pip-version-check "$kit"
    python3 -c 'import xalo_sdk.redis.store_client, xalo_sdk.redis.frame_packet, xalo_sdk.redis.utils, xalo_sdk.roi.zone_filter, xalo_sdk.debug.leak_probe'
    echo "xalo_sdk installed"
fi
