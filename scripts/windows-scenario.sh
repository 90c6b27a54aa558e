#!/usr/bin/env bash
# The window of the Windows build, run under Wine against the emulated board
# as a Windows driver and worked like a person at the keyboard: channel 1
# "Transmit mode", channel 2 "Receive mode", both start buttons, "Stop
# transmit", "Read registers", both rates to 1 Mbps, "Start transmit" again,
# "Stop transmit", "Start transmit", then the window closed while the traffic
# runs (Alt+F4). Screenshots of each
# step go to the screenshot folder, with the driver's bus log and the
# program's debug lines. Then the window without its board (the driver serves
# no device) and with the driver not started: each time the message box, and
# the program ends.
#
# Checked on the way: the window's counts, read from its debug lines, against
# the bus log: at 125 kbit/s and at 1 Mbit/s, once "Stop transmit" has let
# the receiver catch up, total transmitted and received without errors equal
# the whole test groups on the bus and with errors is 0. After the close the
# counts are at most the bus's (the window drops the reports it had not yet
# counted when it closes), with errors is still 0, and the program ends with
# status 0 within 30 s.
#
# Usage: scripts/windows-scenario.sh PROGRAM_FOLDER [SCREENSHOT_FOLDER]
# PROGRAM_FOLDER holds KorvaneSoft.exe with its DLLs (build-windows/bin, or
# an installed package). Needs a display: DISPLAY, or Xvfb is started.
# WINEPREFIX may name the prefix to use (default: a new one, removed at the
# end); the Wine servers started for it are stopped, any other is left
# running (scripts/lib/wine.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib/wine.sh"
. "$here/scripts/lib/xvfb.sh"
. "$here/scripts/lib/buslog.sh"
[ $# -ge 1 ] || { echo "usage: $0 PROGRAM_FOLDER [SCREENSHOT_FOLDER]" >&2; exit 2; }
programs=$(cd "$1" && pwd)
shots=${2:-$here/screenshots/windows}
mkdir -p "$shots"
shots=$(cd "$shots" && pwd)
rm -f "$shots"/*.png "$shots"/bus.log "$shots"/debug.log "$shots"/no-board-debug.log

say() { echo "windows-scenario: $*"; }
fail() { echo "windows-scenario: FAILED: $*" >&2; exit 1; }

need_display || fail "no display"
wine_use_prefix
# The program under test, started in the background (exec makes the id kept
# its own): ended by this id if the script ends first.
board=
at_exit 'stop_child "$board"'

shot() { import -window root "$shots/$1.png"; say "screenshot $shots/$1.png"; }
key() {
    for k in "$@"; do
        xdotool key "$k"
        sleep 0.25
    done
}
main_window() { xdotool search --name '^Korvane soft v1.0$' 2>/dev/null | head -n 1; }
lines() { # count of a debug line
    grep -c -F -x -- "$1" "$shots/$2" 2>/dev/null || true
}
sent() { lines "void MainWindow::SetLabelSendedCh1() was called" debug.log; }
clean() { lines "void MainWindow::SetLabelNoErrorCh2() was called" debug.log; }
dirty() { lines "void MainWindow::SetLabelWithErrorCh2() was called" debug.log; }
at_least_clean() { [ "$(clean)" -ge "$1" ]; }
# The debug viewer writes "pid: line"; the lines alone are compared.
strip_pids() { sed -i 's/^[0-9]*: //' "$1"; }

# --- The window on the board ------------------------------------------------
say "starting KorvaneSoft.exe on korvane-board.sys"
(exec env KORVANE_EMU_BUSLOG="$shots/bus.log" KORVANE_WINE_DEBUG_LOG="$shots/debug.raw" \
    "$here/scripts/wine-board.sh" "$programs/KorvaneSoft.exe") >"$shots/wine.log" 2>&1 &
board=$!
wait_for 120 main_window >/dev/null || fail "the window did not appear (see $shots/wine.log)"
window=$(main_window)
eval "$(xdotool getwindowgeometry --shell "$window")"
say "window $WIDTH x $HEIGHT"
xdotool windowfocus --sync "$window"
sleep 1
shot 1-started
cp "$shots/debug.raw" "$shots/debug.log"

# Focus starts on "Start transmit"; disabled buttons are passed over.
key Tab Tab Tab Down          # channel 1 mode: Transmit mode
key Tab Tab Down Down         # channel 2 mode: Receive mode
key shift+Tab shift+Tab shift+Tab shift+Tab space   # Start receive (focus: Stop receive)
key shift+Tab space           # Start transmit (focus: Stop transmit)
snapshot() { cp "$shots/debug.raw" "$shots/debug.log"; strip_pids "$shots/debug.log"; }
clean_reaches() { snapshot; at_least_clean "$1"; }
wait_for 120 clean_reaches 20 || fail "channel 2 counted $(clean) clean groups in 120 s"
shot 2-traffic
stops() { lines "void MainWindow::on_pushButton_Stop_clicked() was called" debug.log; }
# Stopped, the receiver catches up: the counts then equal the bus log's. It
# is waited for as that condition (once the stop has been made): the counts
# and the whole groups on the bus the same, and no group on the bus cut
# short. What they are when it does not come within 60 s is the failure.
caught_up() { # the number of stops made before
    snapshot
    read -r whole frames < <(bus_groups "$shots/bus.log" can0) || return 1
    [ "$(stops)" -gt "$1" ] && [ "$(sent)" = "$whole" ] && [ "$(clean)" = "$whole" ] &&
        [ "$frames" = $((whole * 5)) ]
}
check_counts() {
    local stopped
    snapshot
    stopped=$(stops)
    key space                 # Stop transmit (focus: Stop receive)
    wait_for 60 caught_up "$stopped" || true
    snapshot
    read -r whole frames < <(bus_groups "$shots/bus.log" can0)
    say "after Stop transmit at $1: transmitted $(sent), received without errors $(clean)," \
        "with errors $(dirty); bus: $frames frames, $whole whole groups"
    [ "$(stops)" -gt "$stopped" ] || fail "Stop transmit was not pressed"
    [ "$(sent)" = "$whole" ] || fail "total transmitted $(sent), but $whole groups on the bus"
    [ "$(clean)" = "$whole" ] || fail "received without errors $(clean), but $whole whole groups on the bus"
    [ "$(dirty)" = 0 ] || fail "with errors $(dirty)"
    [ "$frames" = $((whole * 5)) ] || fail "$frames test frames on the bus for $whole whole groups"
}
check_counts "125 kbit/s"

key Tab Tab Tab Tab Tab Tab space   # Read registers
sleep 2
shot 3-registers
key Escape                    # the dialog hides
xdotool windowfocus --sync "$window"
sleep 0.5
# Focus is back on "Read registers".
key shift+Tab shift+Tab shift+Tab shift+Tab shift+Tab End   # channel 1 speed: 1 Mbps
key Tab Tab End                                             # channel 2 speed: 1 Mbps
key shift+Tab shift+Tab shift+Tab shift+Tab space           # Start transmit
before=$(clean)
wait_for 120 clean_reaches $((before + 20)) || fail "no traffic at 1 Mbps: clean $(clean)"
shot 4-one-megabit
snapshot
grep -q -x 'bool MainWindow::SetSpeed(unsigned int, unsigned int) was called' "$shots/debug.log" ||
    fail "no rate change was made"
check_counts "1 Mbit/s"
key shift+Tab space           # Start transmit again
before=$(clean)
wait_for 120 clean_reaches $((before + 10)) || fail "no traffic after the restart: clean $(clean)"

say "closing the window while the traffic runs"
closed_at=$(date +%s)
xdotool windowfocus --sync "$window"
key alt+F4
ended() { ! kill -0 "$board" 2>/dev/null; }
wait_for 30 ended || fail "the program did not end within 30 s of the close"
status=0
wait "$board" || status=$?
board=
say "the program ended $(( $(date +%s) - closed_at )) s after the close, status $status"
[ "$status" = 0 ] || fail "exit status $status (see $shots/wine.log)"
snapshot
read -r whole frames < <(bus_groups "$shots/bus.log" can0)
say "at the end: transmitted $(sent), received without errors $(clean), with errors $(dirty);" \
    "bus: $frames frames, $whole whole groups"
[ "$(dirty)" = 0 ] || fail "with errors $(dirty)"
[ "$(sent)" -le "$whole" ] || fail "total transmitted $(sent), but only $whole groups on the bus"
[ "$(clean)" -le "$whole" ] || fail "received without errors $(clean), but only $whole whole groups on the bus"
rm -f "$shots/debug.raw"

# --- Without its board --------------------------------------------------------
# The message box of the program started as $board, on screenshot $1.
message_box() {
    wait_for 120 main_window >/dev/null || fail "no message box appeared $2"
    box=$(main_window)
    sleep 1
    shot "$1"
}
# Its OK pressed: the program ends, with status 0.
close_box_and_end() {
    xdotool windowfocus --sync "$box"
    key Return
    wait_for 30 ended || fail "the program did not end after the message box"
    local status=0
    wait "$board" || status=$?
    board=
    [ "$status" = 0 ] || fail "exit status $status $1"
}

say "starting KorvaneSoft.exe without its board"
(exec env KORVANE_EMU_NO_BOARD=1 KORVANE_WINE_DEBUG_LOG="$shots/no-board-debug.log" \
    "$here/scripts/wine-board.sh" "$programs/KorvaneSoft.exe") >"$shots/wine-no-board.log" 2>&1 &
board=$!
message_box 5-no-board "(see $shots/wine-no-board.log)"
grep -q "Can't open device" "$shots/no-board-debug.log" || fail "no \"Can't open device\" line"
close_box_and_end "without the board"
say "without the board: the message box, then the program ended (status 0)"

# --- Without its driver -------------------------------------------------------
# The driver installed but not started, as on a station whose board is out:
# no device at all.
say "starting KorvaneSoft.exe with the driver not started"
wine_server_start
(cd "$programs" && exec timeout 120 wine KorvaneSoft.exe) >"$shots/wine-no-driver.log" 2>&1 &
board=$!
message_box 6-no-driver "without the driver"
close_box_and_end "without the driver"
wine_server_stop
say "without the driver: the message box, then the program ended (status 0)"
say "passed; screenshots in $shots"
