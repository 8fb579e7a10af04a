#!/bin/bash
# Make (or reuse) the Debian root of one board kind, laid out like such a
# board, for the emulated runs (qemu-user):
#
#   tools/board/make-root.sh KIND      (KIND: bullseye-armhf ... trixie-arm64)
#
# It holds the Debian packages the board's install script takes, Redis, the
# headers and libraries the cross compiler builds against, and the test
# tools.  Where the board's Shapely is built from source (armhf before
# trixie), the wheel is built here once, kept in the root under
# /opt/xalo-wheels, and installed into the root's Python; on arm64 the
# package index's wheel is installed instead.
#
# Roots are kept in $XALO_BOARD_CACHE between runs.  A root is built under a
# scratch name and renamed only when complete, with a stamp naming the
# recipe (this file and the kind's settings), so a half-made root or one from
# an older recipe is never used: it is deleted and made again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
. "$here/boards.sh"
board_select "${1:?usage: make-root.sh KIND}"

# Besides the board's own packages: Redis, the C and C++ headers and the
# libraries the cross compiler links against (the release's GCC), the Python
# and TurboJPEG headers, and openssl for the TLS tests' certificates.
PACKAGES="redis-server openssl libc6-dev libstdc++-$GCC-dev python3-dev python3-pip libturbojpeg0-dev"
# What builds Shapely in the root.
[ "$ARCH" = armhf ] && [ -n "$SHAPELY" ] && PACKAGES="$PACKAGES gcc libgeos-dev"
PYPI="redis>=4.3 orjson pytest hypothesis"

recipe=$( (cat "$0"; echo "$KIND $PY $GCC $SHAPELY $CYTHON") | sha256sum | cut -c1-16)
stamp=$ROOT/.xalo-root-ready
log=$ROOT_CACHE/$KIND.log

take_lock
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then
    say "reusing $ROOT"
    exit 0
fi

host_prepare
new=$ROOT.new
if [ -e "$ROOT" ]; then
    say "$ROOT is incomplete or from another recipe; making it again"
fi
remove_root "$new"
remove_root "$ROOT"
mkdir -p "$ROOT_CACHE"
: >"$log"

say "debootstrap $RELEASE $ARCH (a few minutes)"
debootstrap --arch="$ARCH" --variant=minbase --foreign "$RELEASE" "$new" "$MIRROR" >>"$log" 2>&1 \
    || die "debootstrap failed, see $log"
install_qemu "$new"
in_root "$new" /debootstrap/debootstrap --second-stage >>"$log" 2>&1 \
    || die "debootstrap second stage failed, see $log"

# A minbase root has no hosts file, and localhost must resolve for the
# Redis clients.
printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$new/etc/hosts"
cat >"$new/etc/apt/sources.list" <<EOS
deb $MIRROR $RELEASE main
deb $MIRROR $RELEASE-updates main
EOS
printf 'APT::Install-Recommends "false";\nAPT::Install-Suggests "false";\n' >"$new/etc/apt/apt.conf.d/90xalo"
# Packages must not start their services (redis-server) in the root; the
# tests start their own.
printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d"
chmod 755 "$new/usr/sbin/policy-rc.d"
# pip in the root trusts what the host trusts.
install -D -m 644 "$HOST_CA" "$new/etc/ssl/certs/xalo-host-ca.crt"

install -m 755 "$here/board-install.sh" "$new/tmp/board-install.sh"
debs=$(in_root "$new" /bin/sh /tmp/board-install.sh --print-debs)
rm "$new/tmp/board-install.sh"
say "apt-get install $debs $PACKAGES (many minutes under emulation)"
in_root "$new" apt-get update -qq >>"$log" 2>&1
# shellcheck disable=SC2086
in_root "$new" apt-get install -y -qq $debs $PACKAGES >>"$log" 2>&1 || die "apt-get install failed, see $log"
in_root "$new" apt-get clean

if [ -n "$SHAPELY" ] && [ "$ARCH" = armhf ]; then
    # Cython and a recent setuptools go into a throw-away environment, so the
    # system's own are left alone; without build isolation the build uses
    # Debian's NumPy rather than compiling another.
    say "building $SHAPELY against Debian's NumPy and GEOS (long under emulation)"
    in_root "$new" /bin/sh -euc '
        python3 -m venv --system-site-packages /tmp/shapely-env
        /tmp/shapely-env/bin/python -m pip install -q "setuptools>=61" "$1" wheel
        /tmp/shapely-env/bin/python -m pip wheel -q --no-build-isolation --no-deps -w /opt/xalo-wheels "$2"
        rm -rf /tmp/shapely-env
        python3 -m pip install -q /opt/xalo-wheels/shapely-*.whl
    ' sh "$CYTHON" "$SHAPELY" >>"$log" 2>&1 || die "building Shapely failed, see $log"
elif [ -n "$SHAPELY" ]; then
    PYPI="$PYPI $SHAPELY"
fi
say "pip install $PYPI"
# shellcheck disable=SC2086
in_root "$new" python3 -m pip install -q $PYPI >>"$log" 2>&1 || die "pip install failed, see $log"
in_root "$new" python3 -c 'import numpy, cv2, shapely, orjson, redis, pytest, hypothesis
print("root:", "numpy", numpy.__version__, "cv2", cv2.__version__, "shapely", shapely.__version__,
      "geos", shapely.geos_version_string)'
in_root "$new" redis-server --version

echo "$recipe" >"$new/.xalo-root-ready"
mv "$new" "$ROOT"
say "root ready: $ROOT ($(du -sh --one-file-system "$ROOT" | cut -f1))"
