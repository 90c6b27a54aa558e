#!/usr/bin/env bash
# The window's Qt tests (tst_mainwindow.exe) under Wine, drawn by the Windows
# style in Xvfb, against the emulated board as a Windows driver: each test
# function runs alone against a freshly started driver, with the settings it
# needs (the driver takes them only as it starts). Functions that steer the
# board inside the test process skip themselves, saying why.
#
# Usage: scripts/windows-window-tests.sh [TEST.exe] [RESULT_FOLDER]
# (defaults: build-windows/bin/tst_mainwindow.exe, build-windows/window-tests).
# WINEPREFIX may name the prefix to use. The window's screenshots, as the
# layout test takes them, go to RESULT_FOLDER.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
test_exe=$(realpath "${1:-$here/build-windows/bin/tst_mainwindow.exe}")
results=${2:-$here/build-windows/window-tests}
mkdir -p "$results"
results=$(cd "$results" && pwd)

. "$here/scripts/lib/xvfb.sh"
[ -n "${DISPLAY:-}" ] || start_xvfb
trap stop_xvfb EXIT

# The driver settings a function needs.
settings_for() {
    case "$1" in
        missingBoardShowsTheMessageBox) echo KORVANE_EMU_NO_BOARD=1 ;;
        controllerRefusingConfigurationEndsStartUp) echo KORVANE_EMU_IGNORE_MODE=1 ;;
    esac
}

# The functions, listed by the program itself (in a prefix made first, so
# that making it prints nothing into the list).
if [ -n "${WINEPREFIX:-}" ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
    WINEDEBUG=-all timeout 300 wineboot -i >/dev/null 2>&1
    timeout 120 wineserver -w
fi
functions=$(WINEDEBUG=-all timeout 120 wine "$test_exe" -functions 2>/dev/null | tr -d '\r' | sed -n 's/()$//p')
[ -n "$functions" ] || { echo "windows-window-tests: $test_exe lists no test function" >&2; exit 1; }
export KORVANE_TEST_SCREENSHOTS
KORVANE_TEST_SCREENSHOTS=$(winepath -w "$results" 2>/dev/null)
failed=0
passed=0
skipped=0
for function in $functions; do
    result=$results/$function.txt
    rm -f "$result"
    # shellcheck disable=SC2046
    env $(settings_for "$function") KORVANE_WINE_TIMEOUT=600 \
        "$here/scripts/wine-board.sh" "$test_exe" -o "$(winepath -w "$result" 2>/dev/null),txt" "$function" \
        >"$results/$function.wine.log" 2>&1
    status=$?
    if [ "$status" -ne 0 ] || ! grep -q '^Totals: .* 0 failed' "$result" 2>/dev/null; then
        echo "FAIL   $function (status $status)"
        [ -f "$result" ] && grep -E '^(FAIL|   |QWARN|QDEBUG)' "$result" | head -n 30
        tail -n 5 "$results/$function.wine.log"
        failed=$((failed + 1))
    elif grep -q '^SKIP' "$result"; then
        echo "SKIP   $function: $(grep -m 1 '^SKIP' "$result" | sed 's/^SKIP *: *[^ (]*\(([^)]*)\)\{0,1\} *//')"
        skipped=$((skipped + 1))
    else
        echo "PASS   $function"
        passed=$((passed + 1))
    fi
done
echo "windows-window-tests: $passed passed, $skipped skipped, $failed failed"
[ "$failed" -eq 0 ]
