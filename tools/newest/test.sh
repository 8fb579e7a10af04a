#!/bin/bash
# The test suite on Debian sid's default python3 and on the newest python3.X
# sid has (the newest CPython, often not yet the default): the root made or
# reused, the kit built inside it against each interpreter with Debian's
# pybind11 and scikit-build-core, and pytest run there with Debian's NumPy,
# OpenCV (pip's for an interpreter Debian has not built it for), Shapely and
# Redis.  Each interpreter keeps its venv and build tree in the root, so a
# second run compiles only what changed.  Arguments go to pytest.
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
(cd "$repo" && cp -a CMakeLists.txt pyproject.toml README.md LICENSE docs native src tests "$src/")
find "$src" \( -name __pycache__ -o -name '*.so' \) -prune -exec rm -rf {} +

# The default python3 and the newest of the versions Debian supports.
pythons=$(in_root "$ROOT" /bin/sh -c '
    newest=$(py3versions -s | tr " " "\n" | sort -V | tail -n1)
    echo python3
    [ "$newest" = "$(py3versions -d)" ] || echo "$newest"')
failed=0
for py in $pythons; do
    in_root "$ROOT" /bin/sh -euc '
        cd "$1"; py=$2
        [ "$py" = python3 ] && name=venv || name=venv-$py
        # The venv sees Debian'\''s packages: pip finds every dependency met and
        # fetches nothing.
        [ -x $name/bin/python ] || $py -m venv --system-site-packages $name
        # Debian builds OpenCV for its default python3 only; elsewhere the
        # venv takes the pip build (one wheel for every CPython 3).
        $name/bin/python -c "import cv2" 2>/dev/null || $name/bin/python -m pip install -q opencv-python-headless
        $name/bin/python -m pip install -q --no-build-isolation --no-deps -Cbuild-dir="$1/build-$name" ./src
        $name/bin/python -c "import xalo_sdk, sys; print(\"[newest] xalo_sdk on Python\", sys.version.split()[0])"
    ' sh "$work" "$py"
    in_root "$ROOT" /bin/sh -c '
        work=$1; py=$2; shift 2
        [ "$py" = python3 ] && name=venv || name=venv-$py
        cd "$work/src"
        exec "$work/$name/bin/python" -m pytest -p no:cacheprovider -m "not long" "$@"
    ' sh "$work" "$py" "$@" || failed=1
done
exit $failed
