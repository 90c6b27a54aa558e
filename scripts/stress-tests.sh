#!/usr/bin/env bash
# Runs a test suite with two CPU hogs beside it, as on a shared 2-core
# machine, and requires it to pass several times in a row.
# Usage: scripts/stress-tests.sh [runs] [suite]   (defaults: 3, plain)
# suite: plain (build/, Qt 5), qt6 (build-qt6/), asan (build-asan/) or tsan
# (build-tsan/), each configured as scripts/test.sh configures it.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
suite=${2:-plain}
scripts/setup-debian.sh build
environment=()
case "$suite" in
    plain) dir=build; options=() ;;
    qt6) dir=build-qt6; options=(-DKORVANE_QT=6) ;;
    asan)
        dir=build-asan; options=(-DKORVANE_ASAN=ON -DKORVANE_QUICK_TESTS=ON)
        environment=(ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
                     "LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp") ;;
    tsan)
        dir=build-tsan; options=(-DKORVANE_TSAN=ON -DKORVANE_QUICK_TESTS=ON)
        environment=("TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1 suppressions=$PWD/tests/tsan.supp") ;;
    *) echo "stress-tests: unknown suite $suite (plain, qt6, asan, tsan)" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVANE_WERROR=ON "${options[@]}" >/dev/null
cmake --build "$dir"

hogs=()
stop_hogs() {
    for pid in "${hogs[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${hogs[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    hogs=()
}
trap stop_hogs EXIT
for _ in 1 2; do
    sh -c 'while :; do :; done' &
    hogs+=("$!")
done
echo "CPU hogs: ${hogs[*]}"

for run in $(seq "$runs"); do
    echo "== $suite: run $run of $runs"
    env "${environment[@]}" ctest --test-dir "$dir" --output-on-failure -j2
done
echo "$suite: passed $runs runs in a row under load"
