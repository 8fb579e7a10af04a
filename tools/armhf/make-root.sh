#!/bin/bash
# Make (or reuse) a Debian bullseye armhf root laid out like a board: Python
# 3.9 with Debian's NumPy and OpenCV, GEOS, Redis 6.0, and from PyPI what
# Debian lacks (Shapely 2, orjson, redis-py and the test tools).
#
# The root is kept in $XALO_ARMHF_CACHE between runs.  It is built under a
# scratch name and renamed only when complete, with a stamp naming the
# recipe (this file), so a half-made root or one from an older recipe is
# never used: it is deleted and made again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

# The board's own packages and Shapely 2 come from the board's install
# script, so the root is set up the way the README tells a board to be.
# Besides: Redis 6.0, the C and C++ headers and libraries the cross compiler
# builds against (GCC 10's), and the test tools (openssl makes the TLS tests'
# certificates).
PACKAGES="redis-server openssl libc6-dev libstdc++-10-dev"
PYPI="redis>=4.3 orjson pytest hypothesis"

recipe=$(cat "$0" "$here/board-install.sh" | sha256sum | cut -c1-16)
stamp=$ROOT/.xalo-root-ready

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

say "debootstrap bullseye armhf (a few minutes)"
debootstrap --arch=armhf --variant=minbase --foreign bullseye "$new" "$MIRROR" >"$XALO_ARMHF_CACHE/debootstrap.log" 2>&1 \
    || die "debootstrap failed, see $XALO_ARMHF_CACHE/debootstrap.log"
install_qemu "$new"
in_root "$new" /debootstrap/debootstrap --second-stage >>"$XALO_ARMHF_CACHE/debootstrap.log" 2>&1 \
    || die "debootstrap second stage failed, see $XALO_ARMHF_CACHE/debootstrap.log"

# A minbase root has no hosts file, and localhost must resolve for the
# Redis clients.
printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$new/etc/hosts"
cat >"$new/etc/apt/sources.list" <<EOF
deb $MIRROR bullseye main
deb $MIRROR bullseye-updates main
EOF
printf 'APT::Install-Recommends "false";\nAPT::Install-Suggests "false";\n' >"$new/etc/apt/apt.conf.d/90xalo"
# Packages must not start their services (redis-server) in the root; the
# tests start their own.
printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d"
chmod 755 "$new/usr/sbin/policy-rc.d"
# pip in the root trusts what the host trusts.
install -D -m 644 "$HOST_CA" "$new/etc/ssl/certs/xalo-host-ca.crt"

say "board packages and Shapely 2 (built from source) in the root"
install -m 755 "$here/board-install.sh" "$new/tmp/board-install.sh"
in_root "$new" /bin/sh /tmp/board-install.sh
rm "$new/tmp/board-install.sh"
say "apt-get install $PACKAGES; pip install $PYPI"
in_root "$new" apt-get install -y -qq $PACKAGES >/dev/null
in_root "$new" apt-get clean
in_root "$new" python3 -m pip install -q $PYPI
in_root "$new" python3 -c 'import numpy, cv2, shapely, orjson, redis, pytest, hypothesis
print("root:", "numpy", numpy.__version__, "cv2", cv2.__version__, "shapely", shapely.__version__,
      "geos", shapely.geos_version_string)'
in_root "$new" redis-server --version

echo "$recipe" >"$new/.xalo-root-ready"
mv "$new" "$ROOT"
say "root ready: $ROOT ($(du -sh --one-file-system "$ROOT" | cut -f1))"
