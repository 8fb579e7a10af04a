#!/usr/bin/env bash
# release-venv.sh VERSION: a virtual environment with the earlier release
# VERSION of the kit built from its commit (tools/compat/releases), for the
# cross-release payload tests. Kept in $XALO_COMPAT_CACHE/VERSION and made
# again only when missing. Prints the environment's python on stdout.
set -euo pipefail
cd "$(dirname "$0")/../.."
version=$1
commit=$(awk -v v="$version" '$1 == v { print $2 }' tools/compat/releases)
[ -n "$commit" ] || { echo "release-venv.sh: no release $version in tools/compat/releases" >&2; exit 2; }
cache=${XALO_COMPAT_CACHE:-build/compat}
venv=$cache/$version
if [ "$(cat "$venv/.ready" 2>/dev/null)" != "$commit" ]; then
  git cat-file -e "$commit^{commit}" 2>/dev/null || {
    echo "release-venv.sh: commit $commit of release $version is not in this clone (a shallow clone?)" >&2
    exit 3
  }
  echo "== Building release $version ($commit) into $venv" >&2
  rm -rf "$venv" "$venv.src"
  mkdir -p "$venv.src"
  git archive "$commit" | tar -x -C "$venv.src"
  "${PYTHON:-python3}" -m venv "$venv"
  # The earlier releases name no OpenCV extra: the package is asked for beside them.
  "$venv/bin/python" -m pip install --quiet --progress-bar off "$venv.src" opencv-python-headless >&2
  rm -rf "$venv.src"
  echo "$commit" >"$venv/.ready"
fi
echo "$(cd "$venv" && pwd)/bin/python"
