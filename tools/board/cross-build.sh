#!/bin/bash
# Cross-compile the extension modules for one board kind with the host's
# cross compiler, against the board's root as sysroot, and stage an installed
# tree:
#   build/board/KIND/stage/xalo_sdk/...  (Python sources and the ARM modules)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$here/lib.sh"
. "$here/boards.sh"
board_select "${1:?usage: cross-build.sh KIND}"

build=$repo/build/board/$KIND
hostenv=$build/host-venv
stage=$build/stage

[ -f "$ROOT/.xalo-root-ready" ] || die "no root for $KIND; run tools/board/make-root.sh $KIND first"
host_prepare

# Debian's development links (libm.so and the like) point at absolute paths,
# which would lead the linker out of the sysroot; point them inside it.
find "$ROOT/usr/lib/$TRIPLE" -maxdepth 1 -name 'lib*.so' -type l -lname '/*' | while read -r link; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$ROOT$(readlink "$link")")" "$link"
done

# Only pybind11's headers and CMake files are needed from PyPI on the host.
if [ ! -x "$hostenv/bin/python" ]; then
    python3 -m venv "$hostenv"
fi
"$hostenv/bin/python" -m pip install -q --disable-pip-version-check "pybind11>=2.10"

# shellcheck disable=SC2086
cmake -S "$repo" -B "$build/cmake" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" \
    -DXALO_BOARD_SYSROOT="$ROOT" -DXALO_BOARD_TRIPLE="$TRIPLE" \
    -DXALO_BOARD_GCC="$GCC" -DXALO_BOARD_PY="$PY" \
    -Dpybind11_DIR="$("$hostenv/bin/python" -m pybind11 --cmakedir)" ${XALO_CMAKE_ARGS:-} >/dev/null
cmake --build "$build/cmake" -j"$(nproc)"

rm -rf "$stage"
mkdir -p "$stage"
# The package's Python files as a wheel would hold them (no host build
# products), then the ARM modules.
(cd "$repo/src" && find xalo_sdk -type f ! -name '*.so' ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 |
    xargs -0 cp --parents -t "$stage")
cmake --install "$build/cmake" --prefix "$stage" >/dev/null

mods=$(find "$stage" -name '*.so' | sort)
[ "$(echo "$mods" | wc -l)" = 5 ] || die "expected 5 modules in $stage, found: $mods"
want=$([ "$ARCH" = armhf ] && echo 'ARM$' || echo 'AArch64')
for m in $mods; do
    readelf -h "$m" | grep -q "Machine:.*$want" || die "$m is not an $ARCH object"
done
python3 "$here/check_abi.py" "$ROOT" "$TRIPLE" "$GLIBC" $mods
say "modules staged in $stage"
