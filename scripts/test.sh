#!/usr/bin/env bash
# Sets everything up, then runs every test: the C++ unit tests of the
# protocol core (GoogleTest through ctest) and the Python suite on CPython
# and on PyPy. Exits non-zero if any of them fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

status=0
run() {  # title command...
    printf '\n=== %s ===\n' "$1"
    shift
    "$@" || status=1
}

export PATH="$PWD/.venv-cpython/bin:$PATH"
run "C++ core: build" bash -c 'cmake -S . -B build/core -G Ninja -DSONVEX_BUILD_MODULE=OFF \
        -DSONVEX_BUILD_TESTS=ON >/dev/null && cmake --build build/core'
run "C++ core: ctest" ctest --test-dir build/core --output-on-failure
run "Python suite on CPython" .venv-cpython/bin/python -m pytest -q -p no:cacheprovider tests/python
run "Python suite on PyPy" .venv-pypy/bin/python -m pytest -q -p no:cacheprovider tests/python

if ((status)); then echo "SOME TESTS FAILED"; else echo "ALL TESTS PASSED"; fi
exit $status
