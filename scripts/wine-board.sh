#!/usr/bin/env bash
# Runs a Windows program against the emulated board as a Windows driver under
# Wine: it installs and starts korvane-board.sys (which serves \\.\CAN0),
# runs the program, stops the driver and the Wine server it started, and
# returns the program's exit status.
#
# Usage: scripts/wine-board.sh PROGRAM.exe [ARGS...]
#        scripts/wine-board.sh SCRIPT.sh [ARGS...]
# (a script of bash runs in the session instead of one program, with
# WINEPREFIX set: it may run several Windows programs against the driver.)
# Settings: every KORVANE_EMU_* variable of this script's environment goes
# into the driver's Parameters, named and parsed as on Linux (a file name for
# KORVANE_EMU_BUSLOG may be a Linux path). KORVANE_BOARD_SYS names the driver
# (default build-windows/BoardEmulator/windows/korvane-board.sys), WINEPREFIX a prefix
# to use (default: a new one, removed at the end), KORVANE_WINE_TIMEOUT the
# seconds the program may run (default 600). KORVANE_WINE_DEBUG_LOG=FILE
# collects the debug lines of the session's programs (OutputDebugString, where
# Qt's debug output goes on Windows) into FILE with the debug viewer that
# KORVANE_WINE_DEBUG_CAPTURE names (default: build-windows's debugcapture.exe).
# KORVANE_WINE_KEEP_LOG=FILE keeps Wine's log of the session in FILE.
# Status 2: the driver did not start (a bad setting: see the line before) or
# a step before the program failed; 124: the program timed out.
#
# The program runs in a Wine server session of this script's own, which ends
# with it, unless a server already runs for WINEPREFIX: then it runs in that
# one, which is left running (scripts/lib/wine.sh). A SIGINT (Ctrl+C) that
# reaches this script while the program runs is passed on to the program
# once, where Wine makes it the console's Ctrl+C; SIGTERM ends the program
# and the script.
set -euEo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib/wine.sh"
[ $# -ge 1 ] || { echo "usage: $0 PROGRAM.exe [ARGS...]" >&2; exit 2; }
driver=${KORVANE_BOARD_SYS:-$here/build-windows/BoardEmulator/windows/korvane-board.sys}
[ -f "$driver" ] || { echo "wine-board: no driver at $driver (build it with scripts/test-windows.sh)" >&2; exit 2; }
limit=${KORVANE_WINE_TIMEOUT:-600}

# A failed step before the program ends the script with status 2, saying
# which, so that it is not taken for the program's status.
step_failed() {
    local status=$?
    [ "$BASH_SUBSHELL" -eq 0 ] || return "$status" # said once, by the script
    echo "wine-board: failed (status $status): $BASH_COMMAND" >&2
    [ -n "${log:-}" ] && grep -v '^$' "$log" | tail -n 5 >&2
    exit 2
}
trap step_failed ERR

log=$(mktemp)
at_exit 'wine_board_log_done'
wine_board_log_done() {
    [ -n "${KORVANE_WINE_KEEP_LOG:-}" ] && cp "$log" "$KORVANE_WINE_KEEP_LOG"
    rm -f "$log"
}
wine_use_prefix
# The driver says why it refused its settings through DbgPrint.
export WINEDEBUG="${WINEDEBUG},warn+debugstr"
service='HKLM\System\CurrentControlSet\Services\korvane-board'

# Every Wine command is bounded and its output goes to a file (a pipe would
# be held open by the services it starts); the server is kept up between
# them, or the driver host would go away with the last program.
wine_make_prefix "$log"
wine_server_start
driver_created=false
at_exit 'wine_board_stop_driver'
wine_board_stop_driver() {
    # A driver that is not running (it did not start, or went with a
    # failure) makes sc say so; that is no failure of the ending.
    $driver_created && timeout 30 wine sc stop korvane-board >>"$log" 2>&1
    return 0
}
cp "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/korvane-board.sys"
# The settings of a previous run in this prefix go; a prefix that never had
# any has none to delete.
if ! timeout 60 wine reg delete "$service\\Parameters" /f >>"$log" 2>&1; then
    if timeout 60 wine reg query "$service\\Parameters" >>"$log" 2>&1; then
        echo "wine-board: the previous settings cannot be deleted" >&2
        exit 2
    fi
fi
timeout 60 wine reg add "$service\\Parameters" /f >>"$log" 2>&1
while IFS='=' read -r name value; do
    if [ "$name" = KORVANE_EMU_BUSLOG ] && [ "${value#/}" != "$value" ]; then
        value=$(wine_path "$value")
    fi
    timeout 60 wine reg add "$service\\Parameters" /v "$name" /t REG_SZ /d "$value" /f >>"$log" 2>&1 ||
        { echo "wine-board: cannot set $name" >&2; exit 2; }
done < <(env | grep '^KORVANE_EMU_' || true)
# For tests of the driver's refusals: a value of another type, as
# KORVANE_WINE_EXTRA_PARAMETER="NAME TYPE DATA" (e.g. "KORVANE_EMU_PENDING REG_DWORD 1").
if [ -n "${KORVANE_WINE_EXTRA_PARAMETER:-}" ]; then
    read -r name type data <<<"$KORVANE_WINE_EXTRA_PARAMETER"
    timeout 60 wine reg add "$service\\Parameters" /v "$name" /t "$type" /d "$data" /f >>"$log" 2>&1 ||
        { echo "wine-board: cannot set $name" >&2; exit 2; }
fi
# The service is made once per prefix; a run in a prefix that has it keeps it.
# On a loaded host a query can fail although the service exists, and the
# create is then refused for it: a service that exists is success.
service_exists() { timeout 60 wine sc query korvane-board >>"$log" 2>&1; }
if ! service_exists; then
    if ! timeout 60 wine sc create korvane-board type= kernel start= demand \
        binPath= 'C:\windows\system32\drivers\korvane-board.sys' >>"$log" 2>&1; then
        create_deadline=$((SECONDS + 60))
        until service_exists; do
            if [ "$SECONDS" -ge "$create_deadline" ]; then
                echo "wine-board: the driver's service could not be created (see $log)" >&2
                exit 2
            fi
            sleep 1
        done
    fi
fi
driver_created=true
# Right after a prefix is made its service manager may still be starting:
# a start that fails without the driver's own word is tried again, for up to
# a minute.
driver_started() {
    timeout 60 wine sc start korvane-board >>"$log" 2>&1 && return 0
    grep -q 'korvane-board: ' "$log" && return 2
    return 1
}
start_deadline=$((SECONDS + 60))
started=false
while :; do
    status=0
    driver_started || status=$?
    if [ "$status" -eq 0 ]; then
        started=true
        break
    fi
    if [ "$status" -eq 2 ] || [ "$SECONDS" -ge "$start_deadline" ]; then
        break
    fi
    sleep 1
done
if ! $started; then
    echo "wine-board: the driver did not start" >&2
    if grep -q 'korvane-board: ' "$log"; then
        grep -o 'korvane-board: .*' "$log" | sed 's/^/wine-board: /' >&2
    else
        grep -v '^$' "$log" | tail -n 5 >&2
    fi
    exit 2
fi

# The debug viewer and the program run in sessions of their own (setsid), so
# that a Ctrl+C at a terminal reaches neither directly, and under a time
# limit that passes a signal on to the program alone (--foreground); each is
# ended by the process id kept here, which exec makes the time limit's own.
capture=
at_exit 'stop_child "$capture"'
if [ -n "${KORVANE_WINE_DEBUG_LOG:-}" ]; then
    viewer=${KORVANE_WINE_DEBUG_CAPTURE:-$here/build-windows/tests/windows/debugcapture.exe}
    rm -f "$KORVANE_WINE_DEBUG_LOG"
    (exec setsid timeout --foreground "$limit" wine "$viewer" "$(wine_path "$KORVANE_WINE_DEBUG_LOG")") \
        </dev/null >>"$log" 2>&1 &
    capture=$!
    debug_log_made() { [ -e "$KORVANE_WINE_DEBUG_LOG" ] || ! kill -0 "$capture" 2>/dev/null; }
    wait_for 60 debug_log_made || true
    [ -e "$KORVANE_WINE_DEBUG_LOG" ] || { echo "wine-board: the debug viewer did not start" >&2; exit 2; }
fi
trap - ERR

runner=(wine)
[[ $1 == *.sh ]] && runner=(bash)
export WINEPREFIX
(exec setsid timeout --foreground "$limit" "${runner[@]}" "$@") <&0 &
program=$!
at_exit 'stop_child "$program"'
trap 'interrupted=true; kill -INT "$program" 2>/dev/null || true' INT
# A handled signal cuts `wait` short: it is waited for again (bash keeps the
# status of a program that has ended, for as many waits as are asked).
while :; do
    interrupted=false status=0
    wait "$program" || status=$?
    $interrupted || break
done
program=
trap 'exit 130' INT
exit "$status"
