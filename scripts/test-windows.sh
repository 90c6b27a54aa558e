#!/usr/bin/env bash
# The Windows build under Wine: Qt 5 for MinGW-w64 from Debian's source
# (built once, then cached), the application, the runner, the library and
# their Windows tests linked with MinGW-w64; the library's tests through
# ctest; the library against the emulated board built as a Windows driver
# (korvane-board.sys); the window's tests, the window worked like a person,
# and the runner, all against that driver in Xvfb; then the package a test
# station installs, installed, used and uninstalled. Each stage says how long
# it took.
#
# Every stage works in Wine prefixes of its own in the build folders, not in
# a WINEPREFIX of the caller's; each script stops the Wine servers and the
# Xvfb it started, and nothing else (scripts/lib/wine.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/wine.sh
unset WINEPREFIX
scripts/setup-debian.sh cross qtsource package winedesktop

stage_started=$(date +%s)
stage() {
    local now; now=$(date +%s)
    [ -n "${stage_name:-}" ] && echo "== $stage_name: $((now - stage_started)) s"
    stage_name=$1
    stage_started=$now
    [ -n "$stage_name" ] && echo "== $stage_name"
    return 0
}

build=build-windows
stage "Qt for MinGW-w64, the programs and the tests linked for Windows"
run_child scripts/check-windows-app.sh "$build" Debug

# The library's tests in a prefix and a session of their own, which lasts
# for all of them; its services are started first, away from ctest's pipes,
# which they would keep open.
wine_use_prefix "$PWD/$build/wineprefix"
wine_make_prefix
wine_server_start
wine_session_services
stage "the library's Windows tests (ctest)"
run_child ctest --test-dir "$build" --output-on-failure --timeout 300
wine_server_stop
unset WINEPREFIX

# The Windows build of the library against the emulated board as a Windows
# driver, through Wine's I/O manager: one suite per driver setting.
# A prefix of their own, which the first run makes and lets settle (a
# driver started right after wineboot in a running session fails to start).
stage "the library against korvane-board.sys"
board_test=$build/tests/windows/tst_board_driver.exe
board_prefix=$PWD/$build/boardprefix
wine_prefix_remove "$board_prefix"
export KORVANE_WINE_TIMEOUT=300
suite() {
    local name=$1; shift
    echo "== korvane-board.sys under Wine: $name${*:+ ($*)}"
    run_child env WINEPREFIX="$board_prefix" "$@" scripts/wine-board.sh "$board_test" --gtest_filter="$name.*"
}
buslog=$PWD/$build/driver-bus.log
rm -f "$buslog"
suite Driver KORVANE_EMU_BUSLOG="$buslog" KORVANE_TEST_BUSLOG="$(wine_path "$buslog")"
suite Pending KORVANE_EMU_PENDING=1
suite NoAnswer KORVANE_EMU_NO_ANSWER=1
suite StuckBusy KORVANE_EMU_STUCK_BUSY=1

# The driver as a hostile client meets it. A fault of the driver host shows
# only in Wine's log: it is looked for there.
hardening=$build/tests/windows/tst_driver_hardening.exe
hardened() {
    local name=$1; shift
    echo "== korvane-board.sys under Wine: $name${*:+ ($*)}"
    rm -f "$build/hardening.log"
    run_child env WINEPREFIX="$board_prefix" KORVANE_WINE_KEEP_LOG="$build/hardening.log" "$@" \
        scripts/wine-board.sh "$hardening" --gtest_filter="$name.*"
    if grep -a -i -E 'unhandled (page fault|exception)|unimplemented function' "$build/hardening.log"; then
        echo "the driver host faulted (see above)" >&2
        exit 1
    fi
}
hardened Driver
hardened NoBoard KORVANE_EMU_NO_BOARD=1
hardened Pending KORVANE_EMU_PENDING=1 KORVANE_EMU_LATENCY_US=20000
for round in 1 2; do
    hardened Unload
    hardened Unload KORVANE_EMU_PENDING=1
done

# A bad setting keeps the driver from starting, with its own reason, as on
# Linux; nothing is narrowed or guessed at.
refused() { # the reason expected, then the settings
    local reason=$1; shift
    if run_child env WINEPREFIX="$board_prefix" LC_ALL=C.UTF-8 "$@" scripts/wine-board.sh "$board_test" \
        --gtest_filter=None 2>"$build/refused.txt" >/dev/null; then
        echo "the driver started with $*" >&2; exit 1
    fi
    grep -q -F -- "$reason" "$build/refused.txt" || { echo "with $*:" >&2; cat "$build/refused.txt" >&2; exit 1; }
    echo "== korvane-board.sys refuses $*: ok"
}
refused 'KORVANE_EMU_DMA_QUEUE=0 is not accepted' KORVANE_EMU_DMA_QUEUE=0
refused 'KORVANE_EMU_PENDING is not accepted: its text has a character that is not printable ASCII' \
    KORVANE_EMU_PENDING=ı
refused 'KORVANE_EMU_PENDING is not accepted: its text has a character that is not printable ASCII' \
    KORVANE_EMU_PENDING=1Āxyz
refused 'KORVANE_EMU_PENDIN\u0147 is not accepted: its name has a character that is not printable ASCII' \
    KORVANE_EMU_PENDINŇ=1
refused 'is not accepted: the file cannot be opened for appending' KORVANE_EMU_BUSLOG=/nonexistent/folder/bus.log
refused 'KORVANE_EMU_PENDING is not accepted: the settings are strings (REG_SZ)' \
    KORVANE_WINE_EXTRA_PARAMETER="KORVANE_EMU_PENDING REG_DWORD 1"
refused 'is not accepted: the name is longer than any setting' \
    KORVANE_EMU_"$(printf 'X%.0s' $(seq 70))"=1
many=()
for i in $(seq 33); do many+=("KORVANE_EMU_Z$i=1"); done
refused 'is not accepted: there are more settings than the driver has' "${many[@]}"

# The application's programs against the driver, in a prefix of their own.
wine_prefix_remove "$PWD/$build/appprefix"
export WINEPREFIX=$PWD/$build/appprefix
stage "the window's tests against korvane-board.sys"
run_child scripts/windows-window-tests.sh "$build/bin/tst_mainwindow.exe" "$build/window-tests"
stage "the window worked like a person against korvane-board.sys"
run_child scripts/windows-scenario.sh "$build/bin" screenshots/windows
stage "korvane-check.exe against korvane-board.sys"
run_child scripts/windows-runner-tests.sh "$build/bin" "$build/runner-tests"
stage "the package: made, installed, used and uninstalled"
run_child env -u WINEPREFIX scripts/windows-package-test.sh
stage ""
