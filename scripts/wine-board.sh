#!/usr/bin/env bash
# Runs a Windows program against the emulated board as a Windows driver under
# Wine: in a private Wine prefix it installs and starts korvane-board.sys
# (which serves \\.\CAN0), runs the program, stops the driver and the Wine
# server, and returns the program's exit status.
#
# Usage: scripts/wine-board.sh PROGRAM.exe [ARGS...]
# Settings: every KORVANE_EMU_* variable of this script's environment goes
# into the driver's Parameters, named and parsed as on Linux (a file name for
# KORVANE_EMU_BUSLOG may be a Linux path). KORVANE_BOARD_SYS names the driver
# (default build-windows/BoardEmulator/windows/korvane-board.sys), WINEPREFIX a prefix
# to use (default: a new one, removed at the end), KORVANE_WINE_TIMEOUT the
# seconds the program may run (default 600). KORVANE_WINE_DEBUG_LOG=FILE
# collects the debug lines of the session's programs (OutputDebugString, where
# Qt's debug output goes on Windows) into FILE with the debug viewer that
# KORVANE_WINE_DEBUG_CAPTURE names (default: build-windows's debugcapture.exe).
# Status 2: the driver did not
# start (a bad setting: see the line before); 124: the program timed out.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 PROGRAM.exe [ARGS...]" >&2; exit 2; }
driver=${KORVANE_BOARD_SYS:-$here/build-windows/BoardEmulator/windows/korvane-board.sys}
[ -f "$driver" ] || { echo "wine-board: no driver at $driver (build it with scripts/test-windows.sh)" >&2; exit 2; }

if [ -z "${WINEPREFIX:-}" ]; then
    scratch=$(mktemp -d)
    export WINEPREFIX=$scratch/prefix
else
    scratch=
fi
# The driver says why it refused its settings through DbgPrint.
export WINEDEBUG="${WINEDEBUG:--all},warn+debugstr"
export WINEDLLOVERRIDES="mscoree,mshtml="
log=$(mktemp)
service='HKLM\System\CurrentControlSet\Services\korvane-board'

cleanup() {
    timeout 30 wine sc stop korvane-board >>"$log" 2>&1 || true
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    [ -n "${KORVANE_WINE_KEEP_LOG:-}" ] && cp "$log" "$KORVANE_WINE_KEEP_LOG"
    rm -f "$log"
    [ -n "$scratch" ] && rm -rf "$scratch"
}
trap cleanup EXIT

# Every Wine command is bounded, its output goes to a file (a pipe would be
# held open by the services it starts), and the server is kept alive between
# them, or the driver host goes away with the last program.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 300 wineboot -i >>"$log" 2>&1
    timeout 120 wineserver -w >>"$log" 2>&1
fi
# Wine's own fonts (Debian's fonts-wine: Tahoma for "MS Shell Dlg 2", the
# dialog font) are not put into a new prefix: without them every window is
# drawn in whatever font the system has, with other metrics than Windows'.
fonts=$WINEPREFIX/drive_c/windows/Fonts
for font in /usr/share/wine/fonts/*.ttf; do
    [ -e "$font" ] && [ ! -e "$fonts/${font##*/}" ] && cp "$font" "$fonts/"
done
setsid wineserver -p </dev/null >/dev/null 2>&1 &
cp "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/korvane-board.sys"
timeout 60 wine reg delete "$service\\Parameters" /f >>"$log" 2>&1
timeout 60 wine reg add "$service\\Parameters" /f >>"$log" 2>&1
while IFS='=' read -r name value; do
    if [ "$name" = KORVANE_EMU_BUSLOG ] && [ "${value#/}" != "$value" ]; then
        value=$(timeout 60 winepath -w "$value" 2>>"$log")
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
timeout 60 wine sc create korvane-board type= kernel start= demand \
    binPath= 'C:\windows\system32\drivers\korvane-board.sys' >>"$log" 2>&1
# Right after a prefix is made its service manager may still be starting:
# a start that fails without the driver's own word is tried again.
started=false
for attempt in 1 2 3; do
    if timeout 60 wine sc start korvane-board >>"$log" 2>&1; then
        started=true
        break
    fi
    grep -q 'korvane-board: ' "$log" && break
    sleep 2
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
if [ -n "${KORVANE_WINE_DEBUG_LOG:-}" ]; then
    capture=${KORVANE_WINE_DEBUG_CAPTURE:-$here/build-windows/tests/windows/debugcapture.exe}
    rm -f "$KORVANE_WINE_DEBUG_LOG"
    timeout "${KORVANE_WINE_TIMEOUT:-600}" wine "$capture" "$(winepath -w "$KORVANE_WINE_DEBUG_LOG" 2>>"$log")" \
        </dev/null >>"$log" 2>&1 &
    for _ in $(seq 300); do [ -e "$KORVANE_WINE_DEBUG_LOG" ] && break; sleep 0.1; done
    [ -e "$KORVANE_WINE_DEBUG_LOG" ] || { echo "wine-board: the debug viewer did not start" >&2; exit 2; }
fi
timeout "${KORVANE_WINE_TIMEOUT:-600}" wine "$@"
