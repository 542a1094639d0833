#!/usr/bin/env bash
# Prepares a fresh Debian machine of this kind for building and testing
# sonvex_rs, and builds the module into one virtual environment per
# interpreter: .venv-cpython (CPython 3.11) and .venv-pypy (PyPy 3.9).
# Idempotent, and quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf '[setup] %s\n' "$*"; }

# --- Debian packages -------------------------------------------------------
packages=(pypy3 pypy3-dev pypy3-venv googletest libgtest-dev python3.11 python3.11-dev python3.11-venv)
missing=()
for pkg in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
    log "installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# --- Interpreters ----------------------------------------------------------
cpython=""
for candidate in python3.11 python3 /usr/bin/python3.11; do
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' 2>/dev/null; then
        cpython="$(command -v "$candidate")"
        break
    fi
done
[[ -n "$cpython" ]] || { echo "CPython 3.11 not found" >&2; exit 1; }

# --- Virtual environments with the build and test tools --------------------
tools=(pytest hypothesis "scikit-build-core>=0.10" cmake ninja)
make_venv() {  # name interpreter
    local venv=$1 python=$2
    if [[ ! -x "$venv/bin/python" ]]; then
        log "creating $venv with $python"
        "$python" -m venv "$venv"
    fi
    if ! "$venv/bin/python" -c 'import pytest, hypothesis, scikit_build_core' 2>/dev/null ||
       [[ ! -x "$venv/bin/cmake" || ! -x "$venv/bin/ninja" ]]; then
        log "installing build and test tools into $venv"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check "${tools[@]}"
    fi
}
make_venv .venv-cpython "$cpython"
make_venv .venv-pypy "$(command -v pypy3)"

# --- The module, built for each interpreter --------------------------------
# Rebuilt only when the sources changed since the last build into that venv.
stamp=$(cat CMakeLists.txt pyproject.toml $(find src -type f | sort) | sha256sum | cut -d' ' -f1)
for venv in .venv-cpython .venv-pypy; do
    if [[ "$(cat "$venv/.sonvex-build" 2>/dev/null)" == "$stamp" ]] &&
       "$venv/bin/python" -c 'import sonvex_rs' 2>/dev/null; then
        continue
    fi
    log "building sonvex_rs for $venv"
    PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        --no-build-isolation --force-reinstall --no-deps .
    echo "$stamp" > "$venv/.sonvex-build"
done
log "ready"
