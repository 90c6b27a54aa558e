#!/usr/bin/env bash
# Cross-builds CanLib and its Windows tests with MinGW-w64 and runs them
# under Wine through ctest; then runs the library against the emulated board
# built as a Windows driver (korvane-board.sys) under Wine; then checks that
# the application's sources compile for Windows.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh cross

build=build-windows
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVANE_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DKORVANE_BUILD_APP=OFF >/dev/null
cmake --build "$build"

export WINEPREFIX=$PWD/$build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's server outlives the programs it serves and would keep ctest's output
# pipe open: start it detached from our pipes and stop it at the end.
setsid wineserver -p </dev/null >/dev/null 2>&1 &
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
timeout 300 wine wineboot --init </dev/null >/dev/null 2>&1 || true
ctest --test-dir "$build" --output-on-failure --timeout 300

# The Windows build of the library against the emulated board as a Windows
# driver, through Wine's I/O manager: one suite per driver setting.
# A prefix of their own, which the first run makes and lets settle (a
# driver started right after wineboot in a running session fails to start).
board_test=$build/tests/windows/tst_board_driver.exe
board_prefix=$PWD/$build/boardprefix
rm -rf "$board_prefix"
export KORVANE_WINE_TIMEOUT=300
suite() {
    local name=$1; shift
    echo "== korvane-board.sys under Wine: $name${*:+ ($*)}"
    env WINEPREFIX="$board_prefix" "$@" scripts/wine-board.sh "$board_test" --gtest_filter="$name.*"
}
buslog=$PWD/$build/driver-bus.log
rm -f "$buslog"
suite Driver KORVANE_EMU_BUSLOG="$buslog" KORVANE_TEST_BUSLOG="Z:${buslog//\//\\}"
suite Pending KORVANE_EMU_PENDING=1
suite NoAnswer KORVANE_EMU_NO_ANSWER=1
suite StuckBusy KORVANE_EMU_STUCK_BUSY=1
# A bad setting keeps the driver from starting, with the reason.
if WINEPREFIX="$board_prefix" KORVANE_EMU_DMA_QUEUE=0 scripts/wine-board.sh "$board_test" 2>"$build/refused.txt"; then
    echo "the driver started with KORVANE_EMU_DMA_QUEUE=0" >&2; exit 1
fi
grep -q 'KORVANE_EMU_DMA_QUEUE=0 is not accepted' "$build/refused.txt" ||
    { cat "$build/refused.txt" >&2; exit 1; }
echo "== korvane-board.sys refuses a bad setting: ok"

scripts/check-windows-app.sh
