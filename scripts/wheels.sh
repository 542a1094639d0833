#!/usr/bin/env bash
# Builds portable wheels, one per row of the interpreter matrix
# (scripts/interpreters.txt), from an sdist, with Zig's clang as the
# compiler, targeting glibc 2.17 and linking the C++ runtime statically, so
# the wheels run on any manylinux2014 system; then tests each on its own
# interpreter. The Python-free core is compiled once per platform and linked
# into each wheel of it. Interpreters that this machine lacks come from
# Debian roots (scripts/debian-root.sh); those of another architecture run
# there under qemu-user. The steps are here, their parts in scripts/wheels/.
set -euo pipefail

# Per platform: auditwheel's tag, Zig's target, Debian's name.
declare -A PLATFORM=([x86_64]=manylinux2014_x86_64 [aarch64]=manylinux2014_aarch64)
declare -A ZIG_TARGET=([x86_64]=x86_64-linux-gnu.2.17 [aarch64]=aarch64-linux-gnu.2.17)
declare -A DEBIAN_ARCH=([x86_64]=amd64 [aarch64]=arm64)
# The smoke test of a wheel: every command's wire text and every client
# method's line on a connection (so every command, argument conversion and
# the sending path), the reader, and the module's import and metadata.
SMOKE_TESTS=(test_commands.py test_client_methods.py test_sending.py test_reader.py test_module.py
             test_metadata.py test_interpreter_matrix.py)

usage() {
    cat <<'USAGE'
Usage: bash scripts/wheels.sh [--arch x86_64|aarch64]... [--only INTERPRETER]... [--test] [--jobs N] [--roots]

One wheel: bash scripts/wheels.sh --only cpython-3.14 (of this machine's
platform; --arch aarch64 --only cpython-3.14 for that one).

Builds an sdist and, from it, one wheel per row (platform and interpreter)
of the interpreter matrix, scripts/interpreters.txt, into dist/, each tagged
manylinux2014 by auditwheel, whose `auditwheel show` it prints, after
checking that every extension module in it needs the C library only. The
core is compiled once per platform (build/wheels/ARCH/core, kept) and linked
into each wheel. Makes the Debian roots it needs (scripts/debian-root.sh:
root needed, kept in /var/cache/sonvex/roots). Work files go to
build/wheels/, Zig's cache to /var/cache/sonvex/zig-cache (SONVEX_ZIG_CACHE;
build/wheels/zig-cache where that cannot be written), kept, with the one
copy of each Zig version that every clone runs (the runtime Zig keeps is
tied to its place): the first build for a platform also builds Zig's C++
runtime, which takes minutes. Installs what it needs (Zig, build,
auditwheel, CMake and Ninja from PyPI into build/wheels/tools). An unchanged
source tree reuses the sdist of an earlier run.

  --arch ARCH  only the wheels of this platform (repeatable; default: all,
               or with --only this machine's)
  --only NAME  only the wheels of this interpreter of the matrix, say
               cpython-3.15 or pypy-3.11-pp80 (repeatable; default: all)
  --test       then test each wheel on its interpreter: the whole Python
               suite or the smoke test, as the matrix says (short modes);
               the whole suite becomes the smoke test on the interpreters
               given in SONVEX_SUITE_RAN_ON (paths of interpreters of this
               machine, separated by spaces), where the caller already ran it
  --jobs N     test N wheels at a time (default: the number of
               processors), beside the builds of the next ones, each one's
               output printed whole at the end: a suite keeps one core busy
  --roots      only make the Debian roots that the wheels of the platforms
               need, and exit
  -h, --help   print this help and exit
USAGE
}
refuse() { printf 'wheels.sh: %s\n\n' "$1" >&2; usage >&2; exit 2; }

source "$(dirname "$0")/matrix.sh"
WHEELS=$(matrix_rows)
run_tests=0 roots_only=0 jobs=$(nproc 2>/dev/null || echo 1) arches=() only=()
while (($#)); do
    case $1 in
        -h|--help) usage; exit 0 ;;
        --test) run_tests=1 ;;
        --roots) roots_only=1 ;;
        --jobs)
            [[ $# -ge 2 && $2 =~ ^[1-9][0-9]*$ ]] || refuse "--jobs needs a number of wheels to test at a time"
            jobs=$2; shift ;;
        --arch)
            [[ $# -ge 2 && -n ${PLATFORM[$2]:-} ]] || refuse "--arch needs one of: x86_64 aarch64"
            arches+=("$2"); shift ;;
        --only)
            [[ $# -ge 2 ]] && awk '{print $2}' <<<"$WHEELS" | grep -qxF -- "$2" ||
                refuse "--only needs an interpreter of the matrix (say cpython-3.15)"
            only+=("$2"); shift ;;
        *) refuse "unknown argument: $1" ;;
    esac
    shift
done
cd "$(dirname "$0")/.."
root=$PWD work=$PWD/build/wheels native=$(uname -m) started=$SECONDS status=0 failed=()
source scripts/wheels/places.sh
source scripts/wheels/toolchain.sh
source scripts/wheels/build.sh
source scripts/wheels/test.sh
log() { printf '[wheels %s] %s\n' "$(elapsed $((SECONDS - started)))" "$*"; }
elapsed() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
fail() { log "FAILED: $*"; failed+=("$*"); status=1; }
column() {  # arch name column-number
    awk -v a="$1" -v n="$2" -v c="$3" '$1 == a && $2 == n {print $c}' <<<"$WHEELS"
}
listed() { local x; for x in "${@:2}"; do [[ $x == "$1" ]] && return 0; done; return 1; }
((${#arches[@]} || ! ${#only[@]})) || arches=("$native")
rows=()  # "arch name" of the selected rows
while read -r arch name _; do
    { ((${#arches[@]} == 0)) || listed "$arch" "${arches[@]}"; } &&
        { ((${#only[@]} == 0)) || listed "$name" "${only[@]}"; } && rows+=("$arch $name")
done <<<"$WHEELS"
platforms=($(printf '%s\n' "${rows[@]}" | cut -d' ' -f1 | sort -u))

# --- The interpreters, first: finding them makes the Debian roots needed ------
step_start=$SECONDS
for row in "${rows[@]}"; do
    read -r arch name <<<"$row"
    # A wheel of another platform is built by this platform's interpreter.
    for platform in $(printf '%s\n' "$native" "$arch" | sort -u); do
        where=$(locate "$platform" "$name" </dev/null) && log "$platform $name: $where" ||
            fail "no $platform $name interpreter"
        [[ -z $where ]] || found[$platform/$name]=$where
    done
done
log "interpreters found ($(elapsed $((SECONDS - step_start))))"
((roots_only)) && exit $status

# --- Tools and the sdist ------------------------------------------------------
step_start=$SECONDS
bash scripts/setup.sh cpython >&2
mkdir -p "$work"
# Runs for different platforms may go on at once (the full gate tests the
# emulated ones beside its other stages): what they share here (the tools,
# the toolchain wrappers, the sdist) is prepared under a lock.
exec 8>"$work/prepare.lock"
flock 8
prepare_tools
log "tools ready ($(elapsed $((SECONDS - step_start))))"
step_start=$SECONDS
make_sdist
flock -u 8
log "sdist: dist/$(basename "$sdist") ($(elapsed $((SECONDS - step_start))))"

# --- The core of each platform, then one wheel per row ------------------------
# With --test, each wheel is tested as soon as it is built, beside the next
# builds, in up to --jobs lanes; each one's output is printed whole at the end.
declare -A core_of=() wheel_of=()
ran_on=$(for python in ${SONVEX_SUITE_RAN_ON:-}; do "$python" -c "$IDENTIFY" 2>/dev/null || true; done)
ran_on=$(echo $ran_on)
# The whole suite takes minutes, the smoke test seconds: with --test the
# wheels that get the whole suite are built first, so that their suites run
# beside the other builds rather than one after another at the end.
build_order=()
if ((run_tests)); then
    for row in "${rows[@]}"; do [[ $(tests_of $row) == full ]] && build_order+=("$row"); done
fi
for row in "${rows[@]}"; do listed "$row" "${build_order[@]}" || build_order+=("$row"); done
queue=() tested=()
start_tests() {  # [drain]: starts queued tests while a lane is free (drain: until none is queued)
    local row output
    while ((${#queue[@]})); do
        if (($(jobs -rp | wc -l) >= jobs)); then
            [[ ${1:-} == drain ]] || return 0
            wait -n || true; continue
        fi
        row=${queue[0]} queue=("${queue[@]:1}")
        output=$work/${row/ //}/test.log
        rm -f "$output.status"  # an earlier run's must not stand for this one
        log "testing the ${row/ / } wheel beside the builds (output: $output)"
        (status=0; test_wheel $row || true; echo "$status" > "$output.status") </dev/null > "$output" 2>&1 &
        tested+=("$row")
    done
}
for arch in "${platforms[@]}"; do
    step_start=$SECONDS
    find dist -maxdepth 1 -name "sonvex_rs-*_$arch.whl" -delete
    build_core "$arch" </dev/null && log "the $arch core: ${core_of[$arch]} ($(elapsed $((SECONDS - step_start))))"
done
for row in "${build_order[@]}"; do
    [[ -n ${core_of[${row%% *}]:-} ]] && build_wheel $row </dev/null || true
    ((run_tests)) && [[ -n ${wheel_of[${row/ //}]:-} ]] && queue+=("$row")
    start_tests
done
start_tests drain
echo
for row in "${rows[@]}"; do
    [[ -n ${wheel_of[${row/ //}]:-} ]] || continue
    printf '=== auditwheel show %s ===\n' "${wheel_of[${row/ //}]}"
    "$tools/bin/auditwheel" show "${wheel_of[${row/ //}]}" 2>/dev/null
done
wait
for row in "${rows[@]}"; do
    listed "$row" "${tested[@]}" || continue
    output=$work/${row/ //}/test.log
    cat "$output"
    [[ $(cat "$output.status" 2>/dev/null) == 0 ]] ||
        { status=1; failed+=("the tests on the ${row/ / } wheel (see above)"); }
done

echo
((status == 0)) || printf '[wheels] FAILED: %s\n' "${failed[@]}"
log "done"
exit $status
