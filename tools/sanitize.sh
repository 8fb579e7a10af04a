#!/usr/bin/env bash
# Build the extension modules with AddressSanitizer and UndefinedBehavior-
# Sanitizer (gcc) and run the whole test suite against that build.
#
# The sanitized build lives in build/sanitize/ and is imported from a package
# tree assembled there (build/sanitize/pkg), so the normal build, in place or
# installed, is left alone. Any sanitizer report fails the run.
#
#   PY=.venv/bin/python tools/sanitize.sh [pytest arguments]
#
# PY must have the kit's runtime and test dependencies (make install gives
# them); pybind11, and cmake and ninja when the machine lacks them, are
# installed into it on first use.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PY:-.venv/bin/python}
BUILD=build/sanitize
PKG=$BUILD/pkg
VENV_BIN=$(dirname "$PY")

"$PY" -m pybind11 --cmakedir >/dev/null 2>&1 || "$PY" -m pip install --quiet pybind11
command -v cmake >/dev/null 2>&1 || [ -x "$VENV_BIN/cmake" ] || "$PY" -m pip install --quiet cmake
command -v ninja >/dev/null 2>&1 || [ -x "$VENV_BIN/ninja" ] || "$PY" -m pip install --quiet ninja
PATH="$PATH:$(cd "$VENV_BIN" && pwd)"

# Debug keeps asserts and keeps pybind11 from adding LTO and stripping;
# -O1 keeps the run time of the suite reasonable. UB is made fatal at compile
# time too, so a report can never scroll past unnoticed.
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
cmake -S . -B "$BUILD" -G Ninja \
    -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_CXX_FLAGS="-O1 -fno-omit-frame-pointer $SAN" \
    -DCMAKE_SHARED_LINKER_FLAGS="$SAN" \
    -DCMAKE_MODULE_LINKER_FLAGS="$SAN" \
    -DPython_EXECUTABLE="$("$PY" -c 'import sys; print(sys.executable)')" \
    -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$BUILD" -j2

# The package as the tests import it: Python sources from src/, the
# sanitized extension modules beside them.
rm -rf "$PKG"
mkdir -p "$PKG"
cp -r src/xalo_sdk "$PKG/"
find "$PKG" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
for so in "$BUILD"/*.so; do
    name=$(basename "$so")
    case "$name" in
        store_client.*|frame_packet.*|utils.*) cp "$so" "$PKG/xalo_sdk/redis/" ;;
        zone_filter.*) cp "$so" "$PKG/xalo_sdk/roi/" ;;
        leak_probe.*) cp "$so" "$PKG/xalo_sdk/debug/" ;;
        *) echo "sanitize.sh: no package for $name" >&2; exit 1 ;;
    esac
done

# Python itself is not instrumented, so the sanitizer runtime must be loaded
# first, and libstdc++ with it so that C++ exceptions thrown across the
# modules are intercepted. Python's own allocator would hide heap errors in
# its arenas; leak checking is off because the interpreter never frees
# everything at exit.
ASAN_LIB=$(readlink -f "$(g++ -print-file-name=libasan.so)")
STDCXX_LIB=$(readlink -f "$(g++ -print-file-name=libstdc++.so)")
export LD_PRELOAD="$ASAN_LIB:$STDCXX_LIB"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONPATH="$PKG"

# Make sure the sanitizer runtime is loaded and the sanitized modules are
# the ones imported.
"$PY" - <<'PYEOF'
import sys
assert "libasan" in open("/proc/self/maps").read(), "sanitizer runtime not loaded"
import xalo_sdk.redis.store_client, xalo_sdk.redis.frame_packet, xalo_sdk.redis.utils
import xalo_sdk.roi.zone_filter, xalo_sdk.debug.leak_probe
for name, mod in sorted(sys.modules.items()):
    if name.startswith("xalo_sdk.") and getattr(mod, "__file__", "").endswith(".so"):
        assert "/build/sanitize/pkg/" in mod.__file__, mod.__file__
PYEOF

# Exit tests end threads inside GEOS and OpenCV, which a sanitized process
# reports as their own faults; they run in the ordinary suite.
exec "$PY" -m pytest -q -p no:cacheprovider --ignore=tests/test_exit.py "$@"
