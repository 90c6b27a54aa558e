#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time, starting from the seed corpus and regression inputs in
# tests/fuzz/corpus/. Usage: scripts/fuzz.sh [seconds per target]   (default 60)
# New inputs that raise coverage go to build-fuzz/corpus/, never into the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/setup-debian.sh build fuzz

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DKORVANE_FUZZ=ON -DKORVANE_BUILD_APP=OFF -DKORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1
for target in rxrecord driver settings socketcand; do
    echo "== fuzz_$target for ${seconds} s"
    corpus=$build/corpus/$target
    mkdir -p "$corpus"
    log=$build/fuzz_$target.log
    if ! "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 80 "$log"
        echo "fuzz_$target found a fault; the input that shows it is named in the lines above" >&2
        exit 1
    fi
    grep -E '^stat::number_of_executed_units|^stat::new_units_added|Done [0-9]+ runs' "$log" || true
done
