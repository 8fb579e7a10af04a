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

# The kit's requirements but NumPy and Shapely, which are the board's own
# or chosen below.
mapfile -t deps < <(python3 -c '
import re, sys, tomllib
for d in tomllib.load(open(sys.argv[1], "rb"))["project"]["dependencies"]:
    if re.split(r"[ <>=!~;\[]", d)[0].lower() not in ("numpy", "shapely"):
        print(d)' "$repo/pyproject.toml")
say "dependency wheels: ${deps[*]}"
# Fetched by the board's own pip and Python, so that markers on its exact
# version (redis-py's async-timeout below 3.11.3, say) and its platform tags
# choose what the board will need; binary wheels only.
fetch=/opt/xalo-fetch
rm -rf "${ROOT:?}$fetch"
in_root "$ROOT" /bin/sh -euc 'd=$1; shift; python3 -m pip download -q --only-binary=:all: -d "$d" "$@"' \
    sh "$fetch" "${deps[@]}" >/dev/null
if [ -n "$SHAPELY" ] && [ "$ARCH" = armhf ]; then
    cp "$ROOT"/opt/xalo-wheels/shapely-*.whl "$out/"
elif [ -n "$SHAPELY" ]; then
    in_root "$ROOT" python3 -m pip download -q --only-binary=:all: --no-deps -d "$fetch" "$SHAPELY" >/dev/null
fi
cp "$ROOT$fetch"/*.whl "$out/"
rm -rf "${ROOT:?}$fetch"
install -m 755 "$here/board-install.sh" "$out/board-install.sh"
echo "$KIND (Debian $RELEASE on $ARCH, Python $PY)" >"$out/BOARD"
say "$out: $(cd "$out" && echo *.whl)"
