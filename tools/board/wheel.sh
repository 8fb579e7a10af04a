#!/bin/bash
# One board kind's directory of wheels, dist/KIND/: the kit's wheel from the
# cross build, the wheels of the dependencies the board does not take from
# Debian (redis-py, orjson and, before trixie, Shapely), the install script
# and a BOARD file naming the kind.  It is all a board needs: copied there,
# `sudo sh board-install.sh` installs from it without an index.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$here/lib.sh"
. "$here/boards.sh"
board_select "${1:?usage: wheel.sh KIND}"

take_lock
"$here/make-root.sh" "$KIND"
"$here/cross-build.sh" "$KIND"
out=$repo/dist/$KIND
rm -rf "$out"
mkdir -p "$out"
python3 "$here/pack_wheel.py" "$repo/pyproject.toml" "$repo/build/board/$KIND/stage" "$out" "$WHEEL_TAG"

# The cross build's own environment has a pip, whatever the host's Python
# lacks.  pip takes a wheel for an older glibc too; the platform list says so.
pip=$repo/build/board/$KIND/host-venv/bin/pip
platforms=(--platform "manylinux2014_$MACHINE")
for minor in $(seq 17 "${GLIBC#2.}"); do platforms+=(--platform "manylinux_2_${minor}_$MACHINE"); done
target=(--only-binary=:all: "${platforms[@]}" --python-version "$PY" --implementation cp --abi "cp${PY/./}" --abi abi3 --abi none)
# The kit's requirements but NumPy and Shapely, which are the board's own
# or chosen below.
mapfile -t deps < <(python3 -c '
import re, sys, tomllib
for d in tomllib.load(open(sys.argv[1], "rb"))["project"]["dependencies"]:
    if re.split(r"[ <>=!~;\[]", d)[0].lower() not in ("numpy", "shapely"):
        print(d)' "$repo/pyproject.toml")
say "dependency wheels: ${deps[*]}"
"$pip" download -q --disable-pip-version-check -d "$out" "${target[@]}" "${deps[@]}"
if [ -n "$SHAPELY" ] && [ "$ARCH" = armhf ]; then
    cp "$ROOT"/opt/xalo-wheels/shapely-*.whl "$out/"
elif [ -n "$SHAPELY" ]; then
    "$pip" download -q --disable-pip-version-check --no-deps -d "$out" "${target[@]}" "$SHAPELY"
fi
install -m 755 "$here/board-install.sh" "$out/board-install.sh"
echo "$KIND (Debian $RELEASE on $ARCH, Python $PY)" >"$out/BOARD"
say "$out: $(cd "$out" && echo *.whl)"
