#!/bin/bash
# Cross-compile the extension modules for the board with the host's armhf
# compiler, against the board root as sysroot, and stage an installed tree:
#   build/armhf/stage/xalo_sdk/...  (Python sources and the ARM .so files)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$here/lib.sh"

build=$repo/build/armhf
hostenv=$build/host-venv
stage=$build/stage

[ -f "$ROOT/.xalo-root-ready" ] || die "no board root; run tools/armhf/make-root.sh first"
host_prepare

# Debian's development links (libm.so and the like) point at absolute paths,
# which would lead the linker out of the sysroot; point them inside it.
find "$ROOT/usr/lib/arm-linux-gnueabihf" -maxdepth 1 -name 'lib*.so' -type l -lname '/*' | while read -r link; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$ROOT$(readlink "$link")")" "$link"
done

# Only pybind11's headers and CMake files are needed from PyPI on the host.
if [ ! -x "$hostenv/bin/python" ]; then
    python3 -m venv "$hostenv"
fi
"$hostenv/bin/python" -m pip install -q --disable-pip-version-check "pybind11>=2.10"

cmake -S "$repo" -B "$build/cmake" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" \
    -DXALO_ARMHF_SYSROOT="$ROOT" \
    -Dpybind11_DIR="$("$hostenv/bin/python" -m pybind11 --cmakedir)" ${XALO_CMAKE_ARGS:-} >/dev/null
cmake --build "$build/cmake" -j2

rm -rf "$stage"
mkdir -p "$stage"
# The package's Python files as a wheel would hold them (no host build
# products), then the ARM modules.
(cd "$repo/src" && find xalo_sdk -type f ! -name '*.so' ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 |
    xargs -0 cp --parents -t "$stage")
cmake --install "$build/cmake" --prefix "$stage" >/dev/null

mods=$(find "$stage" -name '*.so' | sort)
[ "$(echo "$mods" | wc -l)" = 5 ] || die "expected 5 modules in $stage, found: $mods"
for m in $mods; do
    readelf -h "$m" | grep -q 'Machine:.*ARM' || die "$m is not an ARM object"
done
python3 "$here/check_abi.py" "$ROOT" $mods
say "modules staged in $stage"
