#!/usr/bin/env bash
# The reader, sending, process, fault and reply-tap tests on CPython with the module
# built with ThreadSanitizer.
set -uo pipefail

usage() {
    cat <<'USAGE'
Usage: bash scripts/tsan.sh

Builds the module with ThreadSanitizer into .venv-tsan (scripts/setup.sh
tsan) and runs the reader, sending, process, fault and reply-tap tests there on CPython
3.11, in their short modes. Any report of ThreadSanitizer fails the run; the
one known report, a lock made anew in a forked child, is suppressed in
tests/sanitizers/tsan.supp, which says why.

  -h, --help  print this help and exit
USAGE
}
source "$(dirname "$0")/help_only.sh"
help_only tsan.sh "$@"
cd "$(dirname "$0")/.."
bash scripts/setup.sh tsan >/dev/null || exit 1

# The interpreter is not built with ThreadSanitizer: its runtime is preloaded,
# and every report ends the process with status 66 once pytest is done.
# Children forked by a process with threads go on (die_after_fork=0), as the
# fork tests need.
exec env LD_PRELOAD="$(gcc -print-file-name=libtsan.so) $(gcc -print-file-name=libstdc++.so)" \
    TSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/tsan.supp:die_after_fork=0:exitcode=66:halt_on_error=0" \
    .venv-tsan/bin/python -m pytest -q -p no:cacheprovider tests/python/test_reader.py \
    tests/python/test_sending.py tests/python/test_process.py tests/python/test_faults.py \
    tests/python/test_replies.py
