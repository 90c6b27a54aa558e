#!/usr/bin/env bash
# The window's Qt tests (tst_mainwindow.exe) under Wine, drawn by the Windows
# style in Xvfb, against the emulated board as a Windows driver: each test
# function runs alone against a freshly started driver, with the settings it
# needs (the driver takes them only as it starts). Functions that steer the
# board inside the test process skip themselves, saying why.
#
# Usage: scripts/windows-window-tests.sh [TEST.exe] [RESULT_FOLDER]
# (defaults: build-windows/bin/tst_mainwindow.exe, build-windows/window-tests).
# WINEPREFIX may name the prefix to use (default: a new one, removed at the
# end); the Wine servers started for it are stopped, any other is left
# running (scripts/lib/wine.sh). The window's screenshots, as the layout test
# takes them, go to RESULT_FOLDER.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib/wine.sh"
. "$here/scripts/lib/xvfb.sh"
test_exe=$(realpath "${1:-$here/build-windows/bin/tst_mainwindow.exe}")
[ -f "$test_exe" ] || { echo "windows-window-tests: no $test_exe" >&2; exit 2; }
results=${2:-$here/build-windows/window-tests}
mkdir -p "$results"
results=$(cd "$results" && pwd)

need_display
wine_use_prefix

# The driver settings a function needs.
settings_for() {
    case "$1" in
        missingBoardShowsTheMessageBox) echo KORVANE_EMU_NO_BOARD=1 ;;
        controllerRefusingConfigurationEndsStartUp) echo KORVANE_EMU_IGNORE_MODE=1 ;;
    esac
}

# The functions, listed by the program itself (in a prefix made first, so
# that making it prints nothing into the list), in a session that then ends:
# each function's run has a session of its own (scripts/wine-board.sh).
wine_make_prefix
wine_server_start
functions=$(timeout 120 wine "$test_exe" -functions 2>/dev/null </dev/null | tr -d '\r' | sed -n 's/()$//p')
wine_server_stop
[ -n "$functions" ] || { echo "windows-window-tests: $test_exe lists no test function" >&2; exit 1; }
export KORVANE_TEST_SCREENSHOTS
KORVANE_TEST_SCREENSHOTS=$(wine_path "$results")
failed=0
passed=0
skipped=0
for function in $functions; do
    result=$results/$function.txt
    rm -f "$result"
    status=0
    # shellcheck disable=SC2046
    run_child env $(settings_for "$function") KORVANE_WINE_TIMEOUT=600 \
        "$here/scripts/wine-board.sh" "$test_exe" -o "$(wine_path "$result"),txt" "$function" \
        </dev/null >"$results/$function.wine.log" 2>&1 || status=$?
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
