#!/usr/bin/env bash
# Sets everything up, then runs every test. Exits non-zero if anything fails.
set -uo pipefail

usage() {
    cat <<'USAGE'
Usage: bash scripts/test.sh

Sets everything up (scripts/setup.sh debug asan), then runs every test:
  - the C++ unit tests of the protocol core (GoogleTest through ctest);
  - the Python suite on CPython 3.11 and on PyPy 3.9 (with the stub checks,
    stubtest, mypy --strict and pyright, on CPython);
  - reference counting: the suite on Debian's debug build of CPython, whose
    reference-count test fails on any leaked reference or descriptor;
  - the suite on CPython with the module built with AddressSanitizer,
    LeakSanitizer and UndefinedBehaviorSanitizer;
  - the scripts' command lines and an install from a read-only copy of the
    source tree as an unprivileged user (tests/packaging);
  - the portable wheels (scripts/wheels.sh --test): built for every supported
    interpreter, checked by auditwheel, the suite run on each (on aarch64 in
    an emulated arm64 Debian system, scripts/aarch64-root.sh).
The fuzz and fault tests run in their short modes; for the long modes see
scripts/test-long.sh.

  -h, --help  print this help and exit
USAGE
}
source "$(dirname "$0")/help_only.sh"
help_only test.sh "$@"
cd "$(dirname "$0")/.."
bash scripts/setup.sh debug asan || exit 1

status=0
failed=()
run() {  # title command...
    local title=$1
    printf '\n=== %s ===\n' "$title"
    shift
    local start=$SECONDS
    if ! "$@"; then
        status=1
        failed+=("$title")
    fi
    printf '(%s: %ds)\n' "$title" $((SECONDS - start))
}

export PATH="$PWD/.venv-cpython/bin:$PATH"
pytest_args=(-q -p no:cacheprovider tests/python)
run "C++ core: build" bash -c 'cmake -S . -B build/core-tests -G Ninja -DSONVEX_BUILD_MODULE=OFF \
        -DSONVEX_BUILD_TESTS=ON >/dev/null && cmake --build build/core-tests'
run "C++ core: ctest" ctest --test-dir build/core-tests --output-on-failure
run "Python suite on CPython" .venv-cpython/bin/python -m pytest "${pytest_args[@]}"
run "Python suite on PyPy" .venv-pypy/bin/python -m pytest "${pytest_args[@]}"
run "Python suite on debug CPython (reference counts)" .venv-dbg/bin/python -X dev -W ignore \
    -m pytest "${pytest_args[@]}"
run "Python suite on CPython with ASan/LSan/UBSan" env \
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
    LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    .venv-asan/bin/python -m pytest "${pytest_args[@]}"
run "Scripts and installing (tests/packaging)" .venv-cpython/bin/python -m pytest -q \
    -p no:cacheprovider tests/packaging
run "Wheels: build, auditwheel, the suite on each" bash scripts/wheels.sh --test --arch x86_64
run "aarch64 wheels: build, auditwheel, the suite on each (emulated)" bash scripts/wheels.sh --test --arch aarch64

echo
if ((status)); then
    printf 'FAILED: %s\n' "${failed[@]}"
else
    echo "ALL TESTS PASSED"
fi
exit $status
