#!/bin/bash
# The board's wheel (CPython 3.9, 32-bit ARM) from the cross build, in dist/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$here/lib.sh"

take_lock
"$here/make-root.sh"
"$here/cross-build.sh"
python3 "$here/pack_wheel.py" "$repo/pyproject.toml" "$repo/build/armhf/stage" "$repo/dist"
