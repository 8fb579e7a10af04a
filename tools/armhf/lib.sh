# Shared by the scripts that make and use a Debian root (the emulated board
# here, the newest interpreter's root in tools/newest): where the root lives,
# how to enter it, and how to get rid of one safely.  Sourced, not run.  A
# script for another root sets ROOT_TAG, ROOT_CACHE and ROOT before sourcing.

XALO_ARMHF_CACHE=${XALO_ARMHF_CACHE:-/var/cache/xalo-armhf}
ROOT_TAG=${ROOT_TAG:-armhf}
ROOT_CACHE=${ROOT_CACHE:-$XALO_ARMHF_CACHE}
ROOT=${ROOT:-$ROOT_CACHE/bullseye-root}
MIRROR=${XALO_ARMHF_MIRROR:-http://deb.debian.org/debian}
HOST_CA=/etc/ssl/certs/ca-certificates.crt

say() { printf '[%s] %s\n' "$ROOT_TAG" "$*" >&2; }
die() { say "error: $*"; exit 1; }

[ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot and mounts)"

# Host tools: the emulator, the root builder and the cross compiler.
host_prepare() {
    local need=()
    command -v debootstrap >/dev/null || need+=(debootstrap)
    [ -x /usr/bin/qemu-arm-static ] || need+=(qemu-user-static)
    command -v update-binfmts >/dev/null || need+=(binfmt-support)
    command -v arm-linux-gnueabihf-g++ >/dev/null || need+=(g++-arm-linux-gnueabihf)
    command -v cmake >/dev/null || need+=(cmake)
    command -v ninja >/dev/null || need+=(ninja-build)
    python3 -c 'import venv, ensurepip' 2>/dev/null || need+=(python3-venv)
    command -v unshare >/dev/null || need+=(util-linux)
    if [ ${#need[@]} -gt 0 ]; then
        say "installing host packages: ${need[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
    fi
    # A container or a fresh boot may not have binfmt_misc mounted; without
    # it the kernel cannot hand ARM binaries to qemu.
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    if ! grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-arm 2>/dev/null; then
        update-binfmts --enable qemu-arm >/dev/null 2>&1 || update-binfmts --import qemu-arm
    fi
    grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-arm || die "qemu-arm is not registered with binfmt_misc"
}

# The interpreter path the kernel uses for ARM binaries.  Without the F flag
# it is looked up inside the chroot, so every root gets a copy there.
qemu_interpreter() {
    sed -n 's/^interpreter //p' /proc/sys/fs/binfmt_misc/qemu-arm
}

install_qemu() {
    local root=$1 interp
    interp=$(qemu_interpreter)
    install -D -m 755 /usr/bin/qemu-arm-static "$root/usr/bin/qemu-arm-static"
    [ -n "$interp" ] && install -D -m 755 /usr/bin/qemu-arm-static "$root$interp"
}

# Run a command inside a root.  The /proc and /dev mounts live in a private
# mount namespace, so they vanish with the command, whatever way it ends, and
# never outlive it on the host.
in_root() {
    local root=$1; shift
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    unshare --mount --propagation private -- /bin/sh -euc '
        root=$1; shift
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            PIP_CERT=/etc/ssl/certs/xalo-host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
            PIP_NO_CACHE_DIR=1 DEBIAN_FRONTEND=noninteractive PYTHONDONTWRITEBYTECODE=1 "$@"
    ' in_root "$root" "$@"
}

# Mount points at or below a directory, deepest first.
mounts_under() {
    local dir
    dir=$(realpath -m "$1")
    awk -v d="$dir" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

# Delete a root.  Anything still mounted below it (a root made by hand, or
# by an older script) is unmounted first; if that fails nothing is deleted,
# and rm never crosses into another file system.
remove_root() {
    local dir=$1 m
    [ -e "$dir" ] || return 0
    for m in $(mounts_under "$dir"); do
        umount -R "$m" 2>/dev/null || umount -l "$m" || true
    done
    if [ -n "$(mounts_under "$dir")" ]; then
        die "still mounted below $dir, not deleting it: $(mounts_under "$dir" | tr '\n' ' ')"
    fi
    rm -rf --one-file-system "$dir"
}

# One run at a time per cache: two would build or delete the same root.
# The lock is taken once per cache, by the outermost script.
take_lock() {
    case ":${XALO_ROOT_LOCKED:-}:" in *":$ROOT_CACHE:"*) return 0 ;; esac
    mkdir -p "$ROOT_CACHE"
    exec 9>"$ROOT_CACHE/lock"
    flock 9
    export XALO_ROOT_LOCKED=${XALO_ROOT_LOCKED:+$XALO_ROOT_LOCKED:}$ROOT_CACHE
}
