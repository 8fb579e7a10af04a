#!/bin/bash
# The test suite on Debian sid's python3 (the newest CPython): the root made
# or reused, the kit built inside it against that interpreter with Debian's
# pybind11 and scikit-build-core, and pytest run there with Debian's NumPy,
# OpenCV, Shapely and Redis.  The build tree stays in the root, so a second
# run compiles only what changed.  Arguments go to pytest.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$here/lib.sh"

take_lock
"$here/make-root.sh"

work=/opt/xalo-newest
src=$ROOT$work/src
# cp -a keeps the files' times, so the build tree sees only real changes.
rm -rf "$src"
mkdir -p "$src"
(cd "$repo" && cp -a CMakeLists.txt pyproject.toml README.md LICENSE native src tests "$src/")
find "$src" \( -name __pycache__ -o -name '*.so' \) -prune -exec rm -rf {} +

in_root "$ROOT" /bin/sh -euc '
    cd "$1"
    # The venv sees Debian'\''s packages: pip finds every dependency met and
    # fetches nothing.
    [ -x venv/bin/python ] || python3 -m venv --system-site-packages venv
    venv/bin/python -m pip install -q --no-build-isolation --no-deps -Cbuild-dir="$1/build" ./src
    venv/bin/python -c "import xalo_sdk, sys; print(\"[newest] xalo_sdk on Python\", sys.version.split()[0])"
' sh "$work"

in_root "$ROOT" /bin/sh -c '
    work=$1; shift
    cd "$work/src"
    exec "$work/venv/bin/python" -m pytest -p no:cacheprovider -m "not long" "$@"
' sh "$work" "$@"
