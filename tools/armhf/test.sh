#!/bin/bash
# Run the test suite on an emulated board: the board root (made or reused),
# the modules cross-built against it, and pytest inside it under qemu, with
# the root's own redis-server (the tests start it).
#
#   tools/armhf/test.sh               the staged tree, from the source checkout
#   tools/armhf/test.sh --wheel WHL   WHL installed into the root with pip
#
# Extra arguments after the options go to pytest.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$here/lib.sh"

wheel=
if [ "${1:-}" = --wheel ]; then
    wheel=$(realpath "$2")
    shift 2
fi

take_lock
"$here/make-root.sh"
host_prepare

work=/opt/xalo-test
dest=$ROOT$work
rm -rf "$dest"
mkdir -p "$dest"
cp -a "$repo/tests" "$repo/pyproject.toml" "$repo/README.md" "$repo/docs" "$dest/"
find "$dest" -name __pycache__ -prune -exec rm -rf {} +

# A wheel left installed by an interrupted run must not stand in for this one.
in_root "$ROOT" python3 -m pip uninstall -q -y xalo_sdk >/dev/null 2>&1 || true

if [ -z "$wheel" ]; then
    "$here/cross-build.sh"
    cp -a "$repo/build/armhf/stage" "$dest/src"
    pythonpath=$work/src
else
    cp "$wheel" "$dest/"
    # --no-index: every dependency must already be met by what a board has
    # (Debian's packages and the root's pip installs); nothing is fetched or
    # compiled here.
    in_root "$ROOT" python3 -m pip install -q --no-index "$work/$(basename "$wheel")"
    pythonpath=
fi

run_pytest() {
    in_root "$ROOT" /bin/sh -c '
        cd "$1"; shift
        PYTHONPATH=$1; shift; export PYTHONPATH
        exec python3 -m pytest -p no:cacheprovider "$@"
    ' sh "$work" "$pythonpath" "$@"
}

in_root "$ROOT" /bin/sh -c 'PYTHONPATH=$1 python3 -c "import xalo_sdk, platform, sys; print(\"[armhf] xalo_sdk from\", xalo_sdk.__path__[0], \"on\", platform.machine(), sys.version.split()[0])"' sh "$pythonpath"
log=$(mktemp)
status=0
run_pytest -rf "$@" 2>&1 | tee "$log" || status=$?  # pipefail: pytest's status
# Emulation runs some ten times slower than the host, which stretches the
# timing of a few tests past their waits. Tests that failed are run once more
# on their own, and named; a failure that repeats fails the run.
if [ "$status" = 1 ]; then
    mapfile -t failed < <(sed -n 's/^FAILED \([^ ]*\).*/\1/p' "$log")
    if [ "${#failed[@]}" -gt 0 ] && [ "${#failed[@]}" -le 5 ]; then
        echo "[armhf] running again, alone: ${failed[*]}"
        status=0
        run_pytest "$@" "${failed[@]}" || status=$?
        [ "$status" != 0 ] || echo "[armhf] passed when run again (timing under emulation): ${failed[*]}"
    fi
fi
rm -f "$log"

if [ -n "$wheel" ]; then
    in_root "$ROOT" python3 -m pip uninstall -q -y xalo_sdk || true
fi
exit $status
