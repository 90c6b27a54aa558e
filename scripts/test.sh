#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the plain build with
# Qt 5, the plain build with Qt 6, then AddressSanitizer with
# UndefinedBehaviorSanitizer, then ThreadSanitizer for every test again (Qt 5).
# KORVANE_SANITIZERS=0 leaves the sanitizer builds out, KORVANE_QT6=0 the Qt 6 one.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${KORVANE_QT6:-1}" != 0 ]; then
    scripts/setup-debian.sh build qt6 socketcand report
else
    scripts/setup-debian.sh build socketcand report
fi

run_build() {
    local dir=$1; shift
    local label=$1; shift
    echo "== $label"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVANE_WERROR=ON "$@" >/dev/null
    cmake --build "$dir"
}

run_build build "plain build, Qt 5"
ctest --test-dir build --output-on-failure -j2

if [ "${KORVANE_QT6:-1}" != 0 ]; then
    run_build build-qt6 "plain build, Qt 6" -DKORVANE_QT=6
    ctest --test-dir build-qt6 --output-on-failure -j2
fi

if [ "${KORVANE_SANITIZERS:-1}" != 0 ]; then
    run_build build-asan "AddressSanitizer + UndefinedBehaviorSanitizer" -DKORVANE_ASAN=ON -DKORVANE_QUICK_TESTS=ON
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
        ctest --test-dir build-asan --output-on-failure -j2
    run_build build-tsan "ThreadSanitizer" -DKORVANE_TSAN=ON -DKORVANE_QUICK_TESTS=ON
    # Qt itself is not instrumented: its own accesses and locks are left out.
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1 suppressions=$PWD/tests/tsan.supp" \
        ctest --test-dir build-tsan --output-on-failure -j2
fi
