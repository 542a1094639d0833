#!/usr/bin/env bash
# Sets everything up, then runs the tests: all of them (the full gate, what CI
# runs), the quick loop for after each edit, or the long modes. Exits non-zero
# if anything fails.
set -uo pipefail

usage() {
    cat <<'USAGE'
Usage: bash scripts/test.sh [--quick | --long]

With no option, the full gate (what CI runs through .ci/run): starts making
the Debian roots that the wheels need in the background (scripts/wheels.sh
--roots; its log in build/roots.log), sets everything up (scripts/setup.sh
cpython pypy debug asan), then runs
  - the C++ unit tests of the protocol core (GoogleTest through ctest);
  - the Python suite on this Debian release's CPython (with the type
    checkers, stubtest, mypy --strict and pyright, and every Python block of
    the README) and on its PyPy;
  - reference counting: the suite on Debian's debug build of CPython, whose
    reference-count test fails on any leaked reference or descriptor;
  - the suite on CPython with the module built with AddressSanitizer,
    LeakSanitizer and UndefinedBehaviorSanitizer;
  - the scripts' command lines and an install from a read-only copy of the
    source tree as an unprivileged user (tests/packaging);
  - the portable wheels (scripts/wheels.sh --test): built for every supported
    interpreter, checked by auditwheel, tested on it (the whole suite on the
    newest CPython and on each PyPy but the one already run above, the smoke
    test on the others; on aarch64 in emulated arm64 Debian roots,
    scripts/debian-root.sh). The aarch64 ones run beside the other stages
    from the set-up on (one emulated process keeps one core busy), their
    output in build/aarch64-wheels.log, printed whole at the end.
The fuzz, fault and process tests run in their short modes.

  --quick     the loop to run after each edit: builds what changed into
              .venv-cpython only, runs the C++ core tests and the Python suite
              on CPython without the tests marked slow (type checkers, README
              blocks, child processes, long fuzz); about half a minute idle
  --long      the long modes of the fuzz, fault and process tests, on CPython
              and on PyPy: at least 100,000 fuzz cases, 10,000
              connect/disconnect cycles, 1,000,000 commands on one
              connection, 100,000 server lines of up to 1 MiB, 400 forks
              while readers print; the libFuzzer targets 10 minutes each
  -h, --help  print this help and exit

Each step prints its time. Every process the gate starts carries
SONVEX_GATE_ID=<this run's id> in its environment: the gate fails, naming
them, if any of them still runs at its end, and kills them.
USAGE
}

mode=full
for arg in "$@"; do
    case $arg in
        -h|--help) usage; exit 0 ;;
        --quick) mode=quick ;;
        --long) mode=long ;;
        *) printf 'test.sh: unknown argument: %s\n\n' "$arg" >&2; usage >&2; exit 2 ;;
    esac
done
(($# <= 1)) || { printf 'test.sh: one option at most\n\n' >&2; usage >&2; exit 2; }
cd "$(dirname "$0")/.."
source scripts/outliving.sh
mark_gate_processes

status=0
failed=()
started=$SECONDS
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
finish() {
    wait   # the background stages, when the gate stops early
    if ! end_outliving_processes; then
        status=1
        failed+=("processes that outlived the gate (named above)")
    fi
    printf '\n(%s: %ds in all)\n' "$1" $((SECONDS - started))
    if ((status)); then
        printf 'FAILED: %s\n' "${failed[@]}"
    else
        echo "ALL TESTS PASSED"
    fi
    exit $status
}
pytest_in() {  # venv [pytest arguments]
    local venv=$1
    shift
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
}
setup() {  # setup.sh arguments; the run stops if the set-up fails
    run "Set-up (scripts/setup.sh $*)" bash scripts/setup.sh "$@"
    ((status == 0)) || finish "set-up failed"
}

export PATH="$PWD/.venv-cpython/bin:$PATH"

case $mode in
quick)
    setup cpython
    run "C++ core: ctest" ctest --test-dir build/venv-cpython --output-on-failure -j2
    run "Python suite on CPython, without the slow tests" pytest_in .venv-cpython -m "not slow" \
        tests/python
    finish "quick loop"
    ;;
long)
    setup cpython pypy
    for venv in .venv-cpython .venv-pypy; do
        run "Long fuzz, fault and process tests on $venv" pytest_in "$venv" --long \
            tests/python/test_fuzz.py tests/python/test_faults.py tests/python/test_process.py
    done
    run "Long fuzzing of the protocol core (libFuzzer)" bash scripts/fuzz.sh --long
    finish "long modes"
    ;;
esac

# The roots wait on the network and on emulated package set-ups: they are
# made while the other stages run (a lock orders them with the wheel stages).
mkdir -p build
bash scripts/wheels.sh --roots > build/roots.log 2>&1 &
roots_pid=$!
setup cpython pypy debug asan
# Emulated, each test process keeps one core busy for minutes, while most of
# the stages below use one core: the aarch64 wheels go on beside them.
aarch64_title="aarch64 wheels: build, auditwheel, the suite on each (emulated, beside the stages above)"
aarch64_start=$SECONDS
bash scripts/wheels.sh --test --jobs 2 --arch aarch64 > build/aarch64-wheels.log 2>&1 &
aarch64_pid=$!
run "C++ core: ctest" ctest --test-dir build/venv-cpython --output-on-failure -j2
run "Python suite on CPython" pytest_in .venv-cpython tests/python
run "API reference: Sphinx, warnings as errors (scripts/docs.sh)" bash scripts/docs.sh
run "Python suite on PyPy" pytest_in .venv-pypy tests/python
run "Python suite on debug CPython (reference counts)" .venv-dbg/bin/python -X dev -W ignore \
    -m pytest -q -p no:cacheprovider tests/python
run "Python suite on CPython with ASan/LSan/UBSan" env \
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
    LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    .venv-asan/bin/python -m pytest -q -p no:cacheprovider tests/python
run "ThreadSanitizer: reader, sending, process and fault tests" bash scripts/tsan.sh
run "Fuzzing the protocol core (libFuzzer, short runs)" bash scripts/fuzz.sh
run "Scripts and installing (tests/packaging)" pytest_in .venv-cpython tests/packaging
wait "$roots_pid" || { cat build/roots.log; status=1; failed+=("Debian roots (build/roots.log)"); }
# The whole suite ran on these interpreters above: their wheels get the smoke test.
export SONVEX_SUITE_RAN_ON="$PWD/.venv-cpython/bin/python $PWD/.venv-pypy/bin/python"
run "Wheels: build, auditwheel, the suite on each" bash scripts/wheels.sh --test --arch x86_64
wheels_end=$SECONDS
printf '\n=== %s ===\n' "$aarch64_title"
wait "$aarch64_pid" || { status=1; failed+=("$aarch64_title"); }
aarch64_end=$SECONDS
cat build/aarch64-wheels.log
printf '(%s: %ds, of which %ds after the stages above)\n' "$aarch64_title" $((aarch64_end - aarch64_start)) \
    $((aarch64_end - wheels_end))
finish "full gate"
