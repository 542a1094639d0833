#!/usr/bin/env bash
# The long modes of the fuzz, fault and process tests, on CPython and on PyPy.
set -uo pipefail

usage() {
    cat <<'USAGE'
Usage: bash scripts/test-long.sh

Sets everything up (scripts/setup.sh), then runs the long modes of the fuzz,
fault and process tests on CPython and on PyPy: at least 100,000 fuzz cases,
10,000 connect/disconnect cycles, 1,000,000 commands on one connection,
100,000 server lines of up to 1 MiB, 400 forks while readers print.

  -h, --help  print this help and exit
USAGE
}
source "$(dirname "$0")/help_only.sh"
help_only test-long.sh "$@"
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
export SONVEX_FUZZ_LONG=1 SONVEX_FAULTS_LONG=1 SONVEX_PROCESS_LONG=1
status=0
for venv in .venv-cpython .venv-pypy; do
    printf '\n=== long fuzz, fault and process tests on %s ===\n' "$venv"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_fuzz.py \
        tests/python/test_faults.py tests/python/test_process.py || status=1
done
bash scripts/fuzz.sh --long || status=1
exit $status
