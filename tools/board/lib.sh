# Shared by the scripts that make and use a Debian root (the emulated boards
# here, the newest interpreter's root in tools/newest): where a root's
# packages come from, how to enter it, and how to get rid of one safely.
# Sourced, not run.  A script sets ROOT_TAG, ROOT_CACHE and ROOT (for a
# board: board_select in boards.sh) before it calls these.

HOST_CA=/etc/ssl/certs/ca-certificates.crt

say() { printf '[%s] %s\n' "${ROOT_TAG:-root}" "$*" >&2; }
die() { say "error: $*"; exit 1; }

[ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot and mounts)"

# The Debian mirror this machine's apt uses (one-line or deb822 sources), so
# that the roots come from wherever the host is allowed to fetch packages.
host_mirror() {
    local uri
    uri=$({
        sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
        sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    } | grep -E '/debian/?$' | head -n1)
    [ -n "$uri" ] || die "no Debian mirror in this machine's apt sources; set XALO_DEBIAN_MIRROR"
    echo "${uri%/}"
}
MIRROR=${XALO_DEBIAN_MIRROR:-$(host_mirror)}

apt_host() {
    say "installing host packages: $*"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# Host tools for a foreign root: the emulator for QEMU_ARCH (arm, aarch64)
# registered with the kernel, the root builder and, for TRIPLE, Debian's
# cross compiler.
host_prepare() {
    local need=()
    command -v debootstrap >/dev/null || need+=(debootstrap)
    [ -x "/usr/bin/qemu-$QEMU_ARCH-static" ] || need+=(qemu-user-static)
    command -v update-binfmts >/dev/null || need+=(binfmt-support)
    command -v "$TRIPLE-g++" >/dev/null || need+=("g++-$TRIPLE")
    command -v cmake >/dev/null || need+=(cmake)
    command -v ninja >/dev/null || need+=(ninja-build)
    python3 -c 'import venv, ensurepip' 2>/dev/null || need+=(python3-venv)
    command -v unshare >/dev/null || need+=(util-linux)
    [ ${#need[@]} = 0 ] || apt_host "${need[@]}"
    # A container or a fresh boot may not have binfmt_misc mounted; without
    # it the kernel cannot hand ARM binaries to qemu.
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    local fmt=/proc/sys/fs/binfmt_misc/qemu-$QEMU_ARCH
    if ! grep -qx enabled "$fmt" 2>/dev/null; then
        update-binfmts --enable "qemu-$QEMU_ARCH" >/dev/null 2>&1 || update-binfmts --import "qemu-$QEMU_ARCH"
    fi
    grep -qx enabled "$fmt" || die "qemu-$QEMU_ARCH is not registered with binfmt_misc"
}

# Without the F flag the kernel looks the emulator up inside the chroot, at
# the path binfmt_misc names, so every root gets a copy there.
install_qemu() {
    local root=$1 interp
    interp=$(sed -n 's/^interpreter //p' "/proc/sys/fs/binfmt_misc/qemu-$QEMU_ARCH")
    install -D -m 755 "/usr/bin/qemu-$QEMU_ARCH-static" "$root/usr/bin/qemu-$QEMU_ARCH-static"
    [ -z "$interp" ] || install -D -m 755 "/usr/bin/qemu-$QEMU_ARCH-static" "$root$interp"
}

# Run a command inside a root.  The /proc and /dev mounts live in a private
# mount namespace, so they vanish with the command, whatever way it ends, and
# never outlive it on the host.  pip may install into the root's own Python
# (a test root, never a board) although newer Debian marks it externally
# managed.  With ROOT_HIDE set to a directory of the root, the command sees
# it empty (a test root's pip installs, hidden from what a board would not
# have).  The emulated CPU (QEMU_CPU) reaches every process of the root,
# since qemu reads it anew at each exec.
in_root() {
    local root=$1; shift
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    unshare --mount --propagation private -- /bin/sh -euc '
        root=$1; hide=$2; shift 2
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        [ -z "$hide" ] || mount -t tmpfs -o size=1m tmpfs "$root$hide"
        exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            PIP_CERT=/etc/ssl/certs/xalo-host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
            PIP_NO_CACHE_DIR=1 PIP_BREAK_SYSTEM_PACKAGES=1 DEBIAN_FRONTEND=noninteractive \
            PYTHONDONTWRITEBYTECODE=1 ${QEMU_CPU:+"QEMU_CPU=$QEMU_CPU"} "$@"
    ' in_root "$root" "${ROOT_HIDE:-}" "$@"
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

# One run at a time per root: two would build or delete the same one.  Roots
# of different boards may be made and used side by side.  The lock is taken
# once per root, by the outermost script.
take_lock() {
    case ":${XALO_ROOT_LOCKED:-}:" in *":$ROOT:"*) return 0 ;; esac
    mkdir -p "$ROOT_CACHE"
    exec 9>"$ROOT.lock"
    flock 9
    export XALO_ROOT_LOCKED=${XALO_ROOT_LOCKED:+$XALO_ROOT_LOCKED:}$ROOT
}
