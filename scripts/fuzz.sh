#!/usr/bin/env bash
# Coverage-guided fuzzing of the protocol core, without Python: address
# parsing, the line splitter with UTF-8 repair and trimming, the wire text
# of every command and the sorting of printed lines into replies, each
# against a plain reference (tests/fuzz/).
set -uo pipefail

usage() {
    cat <<'USAGE'
Usage: bash scripts/fuzz.sh [--long]

Installs clang and libFuzzer (scripts/setup.sh fuzz), builds the fuzz
targets of tests/fuzz/ with AddressSanitizer and UndefinedBehaviorSanitizer
into build/fuzz/, and runs each from its seeds in tests/fuzz/seeds/ (the
inputs it finds go to build/fuzz/corpus-<target>, the repository's seeds stay
as they are): 30 seconds per target, or 10 minutes with --long. A failing
input is kept as build/fuzz/<target>-crash-...; rerun it with
build/fuzz/<target>_fuzz <file>.

  --long      the long runs
  -h, --help  print this help and exit
USAGE
}

seconds=30
for arg in "$@"; do
    case $arg in
        -h|--help) usage; exit 0 ;;
        --long) seconds=600 ;;
        *) printf 'fuzz.sh: unknown argument: %s\n\n' "$arg" >&2; usage >&2; exit 2 ;;
    esac
done
cd "$(dirname "$0")/.."
bash scripts/setup.sh fuzz >/dev/null || exit 1

out=build/fuzz
mkdir -p "$out"
status=0
for target in address lines render replies; do
    binary="$out/${target}_fuzz"
    if ! clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined \
            -fno-sanitize-recover=undefined -pthread -Isrc \
            "tests/fuzz/${target}_fuzz.cpp" src/core/*.cpp -o "$binary"; then
        echo "fuzz.sh: building $target failed" >&2
        status=1
        continue
    fi
    mkdir -p "$out/corpus-$target"
    log="$out/$target.log"
    if "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
            -artifact_prefix="$out/$target-" "$out/corpus-$target" "tests/fuzz/seeds/$target" \
            >"$log" 2>&1; then
        printf '%-8s %s\n' "$target" "$(grep -m1 '^Done' "$log")"
    else
        printf '%-8s FAILED; the end of %s:\n' "$target" "$log"
        tail -n 40 "$log"
        status=1
    fi
done
exit $status
