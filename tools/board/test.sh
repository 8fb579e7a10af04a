#!/bin/bash
# Run the test suite on one emulated board kind: its root (made or reused)
# and pytest inside it under qemu, with the root's own redis-server (the
# tests start it).
#
#   tools/board/test.sh KIND           the modules cross-built now, from the checkout
#   tools/board/test.sh KIND --wheel   dist/KIND/ installed by its board-install.sh
#
# Extra arguments go to pytest.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$here/lib.sh"
. "$here/boards.sh"
board_select "${1:?usage: test.sh KIND [--wheel] [PYTEST ARGS]}"
shift
wheel=
if [ "${1:-}" = --wheel ]; then
    wheel=1
    shift
fi

take_lock
"$here/make-root.sh" "$KIND"
host_prepare

work=/opt/xalo-test
venv=/opt/xalo-test-venv
dest=$ROOT$work
rm -rf "$dest" "$ROOT$venv"
mkdir -p "$dest"
cp -a "$repo/tests" "$repo/pyproject.toml" "$repo/README.md" "$repo/docs" "$dest/"
find "$dest" -name __pycache__ -prune -exec rm -rf {} +

if [ -z "$wheel" ]; then
    "$here/cross-build.sh" "$KIND"
    cp -a "$repo/build/board/$KIND/stage" "$dest/src"
    python=python3 pythonpath=$work/src
else
    [ -f "$repo/dist/$KIND/BOARD" ] || die "no dist/$KIND; make board-wheel BOARD=$KIND first"
    cp -a "$repo/dist/$KIND" "$dest/wheels"
    # As on a board: the install script, from the directory of wheels, into
    # a virtual environment that sees Debian's packages; the root's own pip
    # installs (the test tools, and what the checkout's modules use) are out
    # of its sight, so the directory alone must do.  The suite then sees the
    # test tools too, behind what the environment has of its own.
    ROOT_HIDE=/usr/local/lib in_root "$ROOT" /bin/sh "$work/wheels/board-install.sh" --venv "$venv"
    python=$venv/bin/python pythonpath=
fi

run_pytest() {
    in_root "$ROOT" /bin/sh -c '
        cd "$1"; python=$2; PYTHONPATH=$3; export PYTHONPATH; shift 3
        exec "$python" -m pytest -p no:cacheprovider "$@"
    ' sh "$work" "$python" "$pythonpath" "$@"
}

in_root "$ROOT" /bin/sh -c 'PYTHONPATH=$2 "$1" -c "import xalo_sdk, platform, sys; print(\"['"$KIND"'] xalo_sdk from\", xalo_sdk.__path__[0], \"on\", platform.machine(), sys.version.split()[0])"' sh "$python" "$pythonpath"
log=$(mktemp)
status=0
start=$SECONDS
run_pytest -rf "$@" 2>&1 | tee "$log" || status=$?  # pipefail: pytest's status
# Emulation runs some ten times slower than the host, which stretches the
# timing of a few tests past their waits. Tests that failed are run once more
# on their own, and named; a failure that repeats fails the run.
if [ "$status" = 1 ]; then
    mapfile -t failed < <(sed -n 's/^FAILED \([^ ]*\).*/\1/p' "$log")
    if [ "${#failed[@]}" -gt 0 ] && [ "${#failed[@]}" -le 5 ]; then
        say "running again, alone: ${failed[*]}"
        status=0
        run_pytest "$@" "${failed[@]}" || status=$?
        [ "$status" != 0 ] || say "passed when run again (timing under emulation): ${failed[*]}"
    fi
fi
rm -f "$log"
say "suite $([ "$status" = 0 ] && echo passed || echo FAILED) in $(((SECONDS - start) / 60)) min"
rm -rf "$ROOT$venv"
exit $status
