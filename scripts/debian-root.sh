#!/usr/bin/env bash
# A Debian system of any suite and architecture, made with debootstrap, with
# the interpreters that suite ships and their headers: where the wheels of
# interpreters that this machine lacks are built and tested. Roots are kept
# in a cache outside the source tree (SONVEX_ROOTS, default
# /var/cache/sonvex/roots), so that later runs and other clones on this
# machine reuse them; a lock keeps concurrent runs from making or changing
# the same root at once. Programs of another architecture run under
# qemu-user, which the kernel calls through binfmt_misc.
set -euo pipefail

# What each suite's root holds: the interpreters that the interpreter matrix
# (scripts/interpreters.txt) takes from that suite, their headers and venv.
source "$(dirname "$0")/matrix.sh"
declare -A SUITE_PACKAGES=()
for suite in $(matrix_suites); do SUITE_PACKAGES[$suite]=$(matrix_suite_packages "$suite"); done
COMMON_PACKAGES="ca-certificates"

usage() {
    cat <<'USAGE'
Usage: bash scripts/debian-root.sh SUITE ARCH [run COMMAND [ARGUMENT...]]

Makes, idempotently and as root, a root of a Debian SUITE that the
interpreter matrix names (scripts/interpreters.txt) for ARCH (amd64, arm64)
with the interpreters it takes from that suite and their headers, and
prints its path. The first time takes minutes (longer for
another architecture, configured under emulation); later runs reuse it.
For another architecture it also installs qemu-user-static and registers
its binfmt_misc handler.

  run COMMAND...  then runs COMMAND in the root, as root, with /proc, /sys
                  (read-only: PyPy sizes its nursery from the processor's
                  caches that it describes) and /dev mounted in a mount
                  namespace of its own (nothing stays mounted), this
                  machine's /etc/resolv.conf, its pip and certificate
                  settings (PIP_*, SSL_CERT_FILE and the files they name),
                  and the directories named in SONVEX_ROOT_BINDS (separated
                  by spaces) bound at the same paths
  -h, --help      print this help and exit

Environment: SONVEX_ROOTS, the cache of roots (default /var/cache/sonvex/roots).
USAGE
}

die() { printf 'debian-root.sh: %s\n' "$*" >&2; exit 1; }
log() { printf '[debian-root %s] %s\n' "$name" "$*" >&2; }
case ${1:-} in
    -h|--help) usage; exit 0 ;;
    -*) printf 'debian-root.sh: unknown argument: %s\n\n' "$1" >&2; usage >&2; exit 2 ;;
esac
if [[ $# -lt 2 || -z ${SUITE_PACKAGES[$1]:-} || ! $2 =~ ^(amd64|arm64)$ ]]; then
    printf 'debian-root.sh: needs a suite (%s) and an architecture (amd64, arm64)\n\n' \
        "$(printf '%s\n' "${!SUITE_PACKAGES[@]}" | sort | paste -sd' ')" >&2
    usage >&2; exit 2
fi
suite=$1 arch=$2
shift 2
case ${1:-} in
    run) [[ $# -ge 2 ]] || { printf 'debian-root.sh: run needs a command\n\n' >&2; usage >&2; exit 2; } ;;
    "") ;;
    *) printf 'debian-root.sh: unknown argument: %s\n\n' "$1" >&2; usage >&2; exit 2 ;;
esac
name=$suite-$arch
cache=${SONVEX_ROOTS:-/var/cache/sonvex/roots}
root=$cache/$name
((EUID == 0)) || die "making and entering a Debian root needs root: run this script as root (or with sudo)."
mkdir -p "$cache"

# --- Debian packages ----------------------------------------------------------
native=$(dpkg --print-architecture)
needed=(debootstrap)
[[ $arch == "$native" ]] || needed+=(qemu-user-static)
missing=()
for pkg in "${needed[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
    log "installing Debian packages: ${missing[*]}"
    # Other runs may use apt at the same time: installing waits on apt's
    # lock; updating its lists does not, so it is tried again for a while.
    export DEBIAN_FRONTEND=noninteractive
    for try in $(seq 60); do
        apt-get -o DPkg::Lock::Timeout=900 update -qq 2>/dev/null && break
        ((try < 60)) || die "apt-get update failed"
        sleep 5
    done
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- binfmt_misc and qemu's handler, for another architecture -----------------
qemu=""
if [[ $arch != "$native" ]]; then
    declare -A QEMU_NAME=([arm64]=aarch64 [amd64]=x86_64)
    # The emulated processor. An arm64 Debian since 13 is built with pointer
    # authentication, which qemu computes by default with the architecture's
    # cipher, costly in software (Python runs 3 to 5 times slower); the
    # implementation-defined algorithm that qemu offers instead signs and
    # checks the same instructions at a fraction of the cost, as the
    # algorithm of a real processor may.
    declare -A QEMU_PROCESSOR=([arm64]=max,pauth-impdef=on)
    [[ -z ${QEMU_PROCESSOR[$arch]:-} ]] || export QEMU_CPU=${QEMU_PROCESSOR[$arch]}
    binfmt=/proc/sys/fs/binfmt_misc
    if [[ ! -e $binfmt/register ]]; then
        mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || [[ -e $binfmt/register ]] ||
            die "binfmt_misc cannot be mounted on $binfmt: this kernel lacks it (CONFIG_BINFMT_MISC), or a
container hides it; $arch programs cannot run here without it."
    fi
    [[ $(cat "$binfmt/status") == enabled ]] || echo 1 > "$binfmt/status"
    handler=$binfmt/qemu-${QEMU_NAME[$arch]}
    if [[ ! -e $handler ]]; then
        conf=/usr/lib/binfmt.d/qemu-${QEMU_NAME[$arch]}.conf
        [[ -r $conf ]] || die "$conf is missing: qemu-user-static should have installed it."
        log "registering qemu's ${QEMU_NAME[$arch]} handler with binfmt_misc"
        # Another process may register it at the same moment.
        grep -v '^#' "$conf" > "$binfmt/register" 2>/dev/null || [[ -e $handler ]] ||
            die "binfmt_misc refused the handler of $conf"
    fi
    [[ $(head -n1 "$handler") == enabled ]] || echo 1 > "$handler"
    # Without binfmt_misc's F flag, the kernel looks for qemu inside the root.
    [[ -n $(sed -n 's/^flags: .*F.*/yes/p' "$handler") ]] || qemu=$(sed -n 's/^interpreter //p' "$handler")
fi

# --- The root -------------------------------------------------------------------
# Made under an exclusive lock; runs hold a shared one, so a root is never
# remade under a running command.
exec 9>"$root.lock"
stamp="$suite $arch $COMMON_PACKAGES ${SUITE_PACKAGES[$suite]}"
flock -s 9
if [[ "$(cat "$root/.sonvex-root" 2>/dev/null)" != "$stamp" ]]; then
    flock -u 9
    flock -x 9
    if [[ "$(cat "$root/.sonvex-root" 2>/dev/null)" != "$stamp" ]]; then
        # The Debian mirror that this machine's apt uses.
        mirror=$(apt-get indextargets --format '$(REPO_URI) $(COMPONENT)' 'Identifier: Packages' 2>/dev/null |
                 awk '$2 == "main" && $1 ~ /debian\/?$/ && $1 !~ /security/ {print $1; exit}')
        [[ -n $mirror ]] || die "apt knows no Debian mirror with a main component (see /etc/apt/sources.list*)."
        packages="$COMMON_PACKAGES ${SUITE_PACKAGES[$suite]}"
        log "making $root: Debian $suite for $arch from $mirror with $packages (once: minutes)"
        start=$SECONDS
        rm -rf "$root.new" "$root"
        # PyPy's configuration byte-compiles its whole library with PyPy,
        # whose JIT takes most of an hour under qemu: for another architecture
        # a stand-in pypy3compile, first on the configuration's PATH (/sbin,
        # /usr/sbin), skips that, and PyPy compiles the modules imported when
        # they are first imported instead. No package owns /usr/sbin/pypy3compile.
        stub=""
        if [[ $arch != "$native" ]]; then
            stub=$root.new/usr/sbin/pypy3compile
            mkdir -p "$(dirname "$stub")"
            printf '#!/bin/sh\n# Skipped while this root was configured under emulation.\nexit 0\n' > "$stub"
            chmod 755 "$stub"
        fi
        # In a mount namespace of its own: debootstrap mounts /proc and /sys
        # in the root, and nothing may stay mounted there if it is stopped.
        if ! unshare --mount --propagation private -- debootstrap --arch="$arch" --variant=minbase \
                --include="${packages// /,}" "$suite" "$root.new" "$mirror" > "$root.log" 2>&1; then
            tail -n 30 "$root.log" >&2
            die "debootstrap failed (its log: $root.log)"
        fi
        [[ -z $stub ]] || rm "$stub"
        rm -f "$root.new"/var/cache/apt/archives/*.deb
        echo "$stamp" > "$root.new/.sonvex-root"
        mv "$root.new" "$root"
        log "ready ($((SECONDS - start)) s)"
    fi
    flock -s 9
fi
# Puts a copy of a file into the root, whole or not at all: commands in the
# same root run side by side (the wheel stages), and one of them must never
# read a file that another is still writing (a CA bundle cut short fails
# pip's TLS set-up; a half-written emulator fails to start).
place_file() {  # source destination
    cmp -s "$1" "$2" && return 0
    mkdir -p "$(dirname "$2")" &&
        cp "$1" "$2.tmp.$$" && mv -f "$2.tmp.$$" "$2" || { rm -f "$2.tmp.$$"; return 1; }
}
if [[ -n $qemu && ! -x $root$qemu ]]; then
    place_file "$(command -v "$(basename "$qemu")" || command -v "qemu-${QEMU_NAME[$arch]}-static")" "$root$qemu"
fi
[[ ${1:-} == run ]] || { echo "$root"; exit 0; }
shift

# --- A command in the root ------------------------------------------------------
# pip's and the certificates' settings go in (its configuration files and
# variables), with the files they name copied and the directories they name
# (local wheels and indexes) bound at the same paths.
place_file /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
environment=(PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 ${QEMU_CPU:+QEMU_CPU=$QEMU_CPU})
binds=(${SONVEX_ROOT_BINDS:-})
named=()
while IFS='=' read -r var value; do
    environment+=("$var=$value")
    named+=($value)
done < <(env | grep -E '^(PIP_[A-Z_]+|SSL_CERT_FILE|SSL_CERT_DIR|REQUESTS_CA_BUNDLE)=' || true)
for config in /etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf"; do
    [[ -f $config ]] || continue
    place_file "$config" "$root$config"
    # Values, also those continued on indented lines (find-links = a list).
    named+=($(sed -n -e 's/^[^#=[:space:]][^#=]*=//p;t' -e 's/^[[:space:]]\+\([^#[:space:]]\)/\1/p' "$config"))
done
for path in "${named[@]}"; do
    path=${path#file://}
    # A local index's pages point into the directory above them.
    [[ $path == */simple || $path == */simple/ ]] && path=$(dirname "$path")
    if [[ -f $path && $path == /* ]]; then
        place_file "$path" "$root$path"
    elif [[ -d $path && $path == /* ]]; then
        binds+=("$path")
    fi
done
# Certificate directories are the root's own (ca-certificates).
binds=($(printf '%s\n' "${binds[@]}" | grep -vx /etc/ssl/certs | sort -u))
exec unshare --mount --propagation private -- /bin/sh -c '
    root=$1 binds=$2
    shift 2
    mount -t proc proc "$root/proc" && mount -t sysfs -o ro sysfs "$root/sys" &&
        mount --rbind /dev "$root/dev" || exit 1
    for dir in $binds; do
        mkdir -p "$root$dir" && mount --rbind "$dir" "$root$dir" || exit 1
    done
    exec chroot "$root" /usr/bin/env -i "$@"
' sh "$root" "${binds[*]}" "${environment[@]}" "$@"
