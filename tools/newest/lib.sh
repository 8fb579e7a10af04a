# Where the newest interpreter's root lives; the rest is the board's
# helpers (tools/board/lib.sh).  Sourced, not run.

XALO_NEWEST_CACHE=${XALO_NEWEST_CACHE:-/var/cache/xalo-newest}
ROOT_TAG=newest
ROOT_CACHE=$XALO_NEWEST_CACHE
ROOT=$ROOT_CACHE/sid-root
. "$(dirname "${BASH_SOURCE[0]}")/../board/lib.sh"
