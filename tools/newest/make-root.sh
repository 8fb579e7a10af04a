#!/bin/bash
# Make (or reuse) a Debian sid x86-64 root: Debian's default python3 and
# every other python3.X sid supports (the newest CPython is often not yet
# the default), with Debian's own NumPy, OpenCV, Shapely,
# orjson, redis-py, Redis, the test tools and the build tools (pybind11,
# scikit-build-core, CMake, Ninja, g++), so that the kit is built and tested
# there exactly as a sid user would have it.  No emulation: it runs at the
# host's speed.
#
# The root is kept in $XALO_NEWEST_CACHE between runs.  It is built under a
# scratch name and renamed only when complete, with a stamp naming the
# recipe (this file), so a half-made root or one from an older recipe is
# never used: it is deleted and made again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

PACKAGES="python3 python3-dev python3-venv python3-pip python3-all-dev python3-all-venv
  python3-numpy python3-opencv python3-shapely python3-orjson python3-redis
  redis-server redis-tools openssl python3-pytest python3-hypothesis python3-mypy
  pybind11-dev python3-pybind11 python3-scikit-build-core cmake ninja-build g++ make"
# What sid lacks (pip install --break-system-packages): the shapely stubs
# the type-checking test wants, of the series pyproject.toml's test extra names.
PYPI="types-shapely<2.1"

recipe=$(sha256sum <"$0" | cut -c1-16)
stamp=$ROOT/.xalo-root-ready

take_lock
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then
    say "reusing $ROOT"
    exit 0
fi

command -v debootstrap >/dev/null || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
}
command -v unshare >/dev/null || die "unshare (util-linux) is missing"

new=$ROOT.new
if [ -e "$ROOT" ]; then
    say "$ROOT is incomplete or from another recipe; making it again"
fi
remove_root "$new"
remove_root "$ROOT"

say "debootstrap sid amd64 (a minute or two)"
debootstrap --arch=amd64 --variant=minbase sid "$new" "$MIRROR" >"$ROOT_CACHE/debootstrap.log" 2>&1 \
    || die "debootstrap failed, see $ROOT_CACHE/debootstrap.log"

printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$new/etc/hosts"
echo "deb $MIRROR sid main" >"$new/etc/apt/sources.list"
# A mirror's copy of sid may be older than its Release file's short
# validity (a week); the signature is still checked.
printf 'APT::Install-Recommends "false";\nAPT::Install-Suggests "false";\nAcquire::Check-Valid-Until "false";\n' \
    >"$new/etc/apt/apt.conf.d/90xalo"
# Packages must not start their services (redis-server) in the root; the
# tests start their own.
printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d"
chmod 755 "$new/usr/sbin/policy-rc.d"
install -D -m 644 "$HOST_CA" "$new/etc/ssl/certs/xalo-host-ca.crt"

say "apt-get install (a few minutes)"
in_root "$new" apt-get update -qq
# shellcheck disable=SC2086
in_root "$new" apt-get install -y -qq $PACKAGES >"$ROOT_CACHE/apt.log" 2>&1 \
    || die "apt-get install failed, see $ROOT_CACHE/apt.log"
in_root "$new" apt-get clean
# Debian builds OpenCV for its default python3 only; test.sh gives the
# others pip's.
for py in $(in_root "$new" py3versions -s); do
    if [ -n "$PYPI" ]; then
        # shellcheck disable=SC2086
        in_root "$new" "$py" -m pip install -q --break-system-packages $PYPI
    fi
    in_root "$new" "$py" -c 'import sys, numpy, shapely, orjson, redis, pytest, hypothesis, pybind11
try:
    import cv2; cv = cv2.__version__
except ImportError:
    cv = "none"
print("root: python", sys.version.split()[0], "numpy", numpy.__version__, "cv2", cv,
      "shapely", shapely.__version__, "redis-py", redis.__version__, "pybind11", pybind11.__version__)'
done
in_root "$new" redis-server --version

echo "$recipe" >"$new/.xalo-root-ready"
mv "$new" "$ROOT"
say "root ready: $ROOT ($(du -sh --one-file-system "$ROOT" | cut -f1))"
