#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the plain build, then
# AddressSanitizer with UndefinedBehaviorSanitizer, then ThreadSanitizer for
# every test again. KORVANE_SANITIZERS=0 runs the plain build only.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh build

run_build() {
    local dir=$1; shift
    local label=$1; shift
    echo "== $label"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVANE_WERROR=ON "$@" >/dev/null
    cmake --build "$dir"
}

run_build build "plain build" 
ctest --test-dir build --output-on-failure -j2

if [ "${KORVANE_SANITIZERS:-1}" != 0 ]; then
    run_build build-asan "AddressSanitizer + UndefinedBehaviorSanitizer" -DKORVANE_ASAN=ON -DKORVANE_QUICK_TESTS=ON
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:fast_unwind_on_malloc=0" \
        ctest --test-dir build-asan --output-on-failure -j2
    run_build build-tsan "ThreadSanitizer" -DKORVANE_TSAN=ON -DKORVANE_QUICK_TESTS=ON
    # Qt itself is not instrumented: its own accesses and locks are left out.
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1 suppressions=$PWD/tests/tsan.supp" \
        ctest --test-dir build-tsan --output-on-failure -j2
fi
