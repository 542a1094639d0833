#!/usr/bin/env bash
# An emulated arm64 Debian system, where the aarch64 wheels are tested and
# whose interpreters' headers they are built against: a root made with
# debootstrap under build/aarch64-root (kept, so later runs reuse it), whose
# programs the kernel hands to qemu-user through binfmt_misc.
set -euo pipefail

# Debian 12 has the interpreters that the aarch64 wheels are built for:
# CPython 3.11 and PyPy 3.9, both with their headers.
SUITE=bookworm
PACKAGES=(python3.11 libpython3.11-dev pypy3 pypy3-dev)

usage() {
    cat <<'USAGE'
Usage: bash scripts/aarch64-root.sh [run COMMAND [ARGUMENT...]]

Sets up, idempotently and as root, what running arm64 programs on this
machine needs: the Debian packages qemu-user-static and debootstrap,
binfmt_misc mounted with qemu's aarch64 handler registered, and an arm64
Debian root in build/aarch64-root with CPython 3.11, PyPy 3.9 and their
headers (made once, in several minutes; later runs reuse it). Says what is
missing when it cannot (not root, no binfmt_misc).

  run COMMAND...  then runs COMMAND in the root, as root, with /proc and /dev
                  mounted in a mount namespace of its own (nothing stays
                  mounted) and an environment of PATH, HOME and LANG only
  -h, --help      print this help and exit
USAGE
}

case ${1:-} in
    -h|--help) usage; exit 0 ;;
    run) [[ $# -ge 2 ]] || { printf 'aarch64-root.sh: run needs a command\n\n' >&2; usage >&2; exit 2; } ;;
    "") ;;
    *) printf 'aarch64-root.sh: unknown argument: %s\n\n' "$1" >&2; usage >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
root=$PWD/build/aarch64-root
log() { printf '[aarch64-root] %s\n' "$*" >&2; }
die() { printf 'aarch64-root.sh: %s\n' "$*" >&2; exit 1; }

as_root() {  # what needs root
    ((EUID == 0)) || die "$1 needs root: run this script as root (or with sudo)."
}

# --- Debian packages ----------------------------------------------------------
missing=()
for pkg in qemu-user-static debootstrap; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
    ((EUID == 0)) || die "these Debian packages are missing: ${missing[*]}
Install them as root, then run this script again:
    apt-get install -y ${missing[*]}"
    log "installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- binfmt_misc and qemu's aarch64 handler -----------------------------------
binfmt=/proc/sys/fs/binfmt_misc
if [[ ! -e $binfmt/register ]]; then
    as_root "Mounting binfmt_misc on $binfmt"
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || [[ -e $binfmt/register ]] ||
        die "binfmt_misc cannot be mounted on $binfmt: this kernel lacks it (CONFIG_BINFMT_MISC), or a
container hides it; arm64 programs cannot run here without it."
fi
[[ $(cat "$binfmt/status") == enabled ]] || { as_root "Enabling binfmt_misc"; echo 1 > "$binfmt/status"; }
handler=$binfmt/qemu-aarch64
if [[ ! -e $handler ]]; then
    as_root "Registering qemu's aarch64 handler with binfmt_misc"
    conf=/usr/lib/binfmt.d/qemu-aarch64.conf
    [[ -r $conf ]] || die "$conf is missing: qemu-user-static should have installed it."
    log "registering qemu's aarch64 handler with binfmt_misc"
    # Another process may register it at the same moment.
    grep -v '^#' "$conf" > "$binfmt/register" 2>/dev/null || [[ -e $handler ]] ||
        die "binfmt_misc refused the aarch64 handler of $conf"
fi
if [[ $(head -n1 "$handler") != enabled ]]; then
    as_root "Enabling the aarch64 handler of binfmt_misc"
    echo 1 > "$handler"
fi
interpreter=$(sed -n 's/^interpreter //p' "$handler")
fix_binary=$(sed -n 's/^flags: .*F.*/yes/p' "$handler")

# --- The arm64 root -------------------------------------------------------------
stamp="$SUITE ${PACKAGES[*]}"
if [[ "$(cat "$root/.sonvex-root" 2>/dev/null)" != "$stamp" ]]; then
    as_root "Making the arm64 root"
    # The Debian mirror that this machine's apt uses.
    mirror=$(apt-get indextargets --format '$(REPO_URI) $(COMPONENT)' 'Identifier: Packages' 2>/dev/null |
             awk '$2 == "main" && $1 !~ /security/ {print $1; exit}')
    [[ -n $mirror ]] || die "apt knows no Debian mirror with a main component (see /etc/apt/sources.list*)."
    log "making the arm64 root $root: Debian $SUITE from $mirror with ${PACKAGES[*]}"
    log "(once: several minutes, most of them configuring packages under emulation)"
    start=$SECONDS
    rm -rf "$root.new" "$root"
    mkdir -p "$(dirname "$root")"
    # In a mount namespace of its own: debootstrap mounts /proc and /sys in
    # the root, and nothing must stay mounted there if it is interrupted.
    if ! unshare --mount --propagation private -- debootstrap --arch=arm64 --variant=minbase \
            --include="$(IFS=,; echo "${PACKAGES[*]}")" "$SUITE" "$root.new" "$mirror" \
            > "$root.log" 2>&1; then
        tail -n 30 "$root.log" >&2
        die "debootstrap failed (its log: $root.log)"
    fi
    rm -f "$root.new"/var/cache/apt/archives/*.deb
    echo "$stamp" > "$root.new/.sonvex-root"
    mv "$root.new" "$root"
    log "the arm64 root is ready ($((SECONDS - start))s)"
fi
# Without binfmt_misc's F flag, the kernel looks for qemu inside the root.
if [[ -z $fix_binary && ! -x $root$interpreter ]]; then
    as_root "Copying qemu into the arm64 root"
    mkdir -p "$(dirname "$root$interpreter")"
    cp "$(command -v qemu-aarch64-static)" "$root$interpreter"
fi

[[ ${1:-} == run ]] || { echo "$root"; exit 0; }
shift
as_root "Running a command in the arm64 root"
exec unshare --mount --propagation private -- /bin/sh -c '
    root=$1
    shift
    mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" || exit 1
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"
' sh "$root" "$@"
