#!/bin/sh
# Install the kit on a board: Debian bullseye, bookworm or trixie, on armhf
# or arm64.  Run as root, from the board's directory of wheels (this script
# lies among them):
#
#   sudo sh board-install.sh [--venv DIR]
#
# Nothing is compiled and nothing is fetched from a package index.  NumPy and
# OpenCV always come from Debian, so that OpenCV runs on the NumPy it was
# built for; so does Shapely where Debian's is 2.x (trixie).  Elsewhere
# Shapely, like the kit, redis-py and orjson, comes from the wheels beside
# this script.  The kit goes into a virtual environment (default /opt/xalo/venv)
# that sees the system's packages, as Debian asks: its python runs the
# modules.
#
#   sh board-install.sh --print-debs    the Debian packages it would install
set -eu

here=$(cd "$(dirname "$0")" && pwd)
venv=/opt/xalo/venv
print_debs=
while [ $# -gt 0 ]; do
    case $1 in
        --venv) venv=$2; shift 2 ;;
        --print-debs) print_debs=1; shift ;;
        *) echo "usage: sh board-install.sh [--venv DIR] [--print-debs]" >&2; exit 2 ;;
    esac
done

say() { echo "[board-install] $*"; }
die() { echo "[board-install] error: $*" >&2; exit 1; }

. /etc/os-release
release=${VERSION_CODENAME:-unknown}
arch=$(dpkg --print-architecture)
# libturbojpeg0: the kit decodes JPEG through it when it is there.
debs="python3 python3-venv python3-numpy python3-opencv libturbojpeg0"
case $release-$arch in
    trixie-armhf | trixie-arm64)
        debs="$debs python3-shapely"
        ;;
    bullseye-armhf | bookworm-armhf)
        # The Shapely wheel here was built against Debian's GEOS.
        debs="$debs libgeos-c1v5"
        ;;
    bullseye-arm64 | bookworm-arm64) ;;  # the Shapely wheel here has GEOS inside
    *) die "this board runs $release on $arch; the kit has wheels for bullseye, bookworm and trixie on armhf and arm64" ;;
esac
if [ -n "$print_debs" ]; then
    echo "$debs"
    exit 0
fi
[ "$(id -u)" = 0 ] || die "run as root (apt-get and $venv)"

# The wheels must be this board's: the kit's for its Python and architecture.
py=$(python3 -c 'import sys; print("%d%d" % sys.version_info[:2])' 2>/dev/null || true)
case $arch in armhf) machine=armv7l ;; *) machine=aarch64 ;; esac
kit=
for w in "$here"/xalo_sdk-*.whl; do
    case $w in *"-cp$py-cp$py-"*"_$machine.whl") kit=$w ;; esac
done
if [ -z "$kit" ]; then
    built=$(cat "$here/BOARD" 2>/dev/null || echo "no board")
    die "$here holds no kit wheel for this board ($release $arch, Python ${py:-?}); its wheels are for $built"
fi

missing=
for p in $debs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
    say "apt-get install$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

[ -x "$venv/bin/python" ] || python3 -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --find-links "$here" --upgrade "$kit"
"$venv/bin/python" - <<'PY'
import os, sys
import cv2, numpy, shapely, redis, orjson
import xalo_sdk, xalo_sdk.redis.store_client, xalo_sdk.redis.frame_packet, xalo_sdk.redis.utils
import xalo_sdk.roi.zone_filter, xalo_sdk.debug.leak_probe

for name, mod in (("xalo_sdk", xalo_sdk), ("NumPy", numpy), ("OpenCV", cv2), ("Shapely", shapely),
                  ("redis-py", redis), ("orjson", orjson)):
    path = os.path.realpath(mod.__file__)
    origin = ("the wheels" if path.startswith(os.path.realpath(sys.prefix) + "/")
              else "Debian" if path.startswith("/usr/lib/python3/") else os.path.dirname(path))
    print(f"[board-install] {name} {mod.__version__} from {origin}")
print(f"[board-install] Python {sys.version.split()[0]}, GEOS {shapely.geos_version_string}")
PY
say "installed into $venv, a virtual environment that sees the system's packages: run modules with $venv/bin/python"
