#!/usr/bin/env bash
# Runs the plain test suite with two CPU hogs beside it, as on a shared
# 2-core machine, and requires it to pass several times in a row.
# Usage: scripts/stress-tests.sh [runs]   (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
scripts/setup-debian.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVANE_WERROR=ON >/dev/null
cmake --build build

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
    echo "== run $run of $runs"
    ctest --test-dir build --output-on-failure -j2
done
echo "passed $runs runs in a row under load"
