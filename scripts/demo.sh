#!/usr/bin/env bash
# Runs the real application under Xvfb, drives it with xdotool like a person
# at the keyboard (channel 1 "Transmit mode", channel 2 "Receive mode", both
# start buttons, then "Read registers") and saves screenshots.
# Usage: scripts/demo.sh [path/to/KorvaneSoft] [screenshot folder]
set -euo pipefail
cd "$(dirname "$0")/.."
app=${1:-build-app/Main/KorvaneSoft}
shots=${2:-$PWD/screenshots}
mkdir -p "$shots"

. scripts/lib/xvfb.sh
at_exit stop_xvfb
start_xvfb
(exec "$app") >"$shots/debug.log" 2>&1 &
app_pid=$!
at_exit 'stop_child "$app_pid"'
main_window() { xdotool search --name '^Korvane soft v1.0$' 2>/dev/null | head -n 1; }
window_shown() { [ -n "$(main_window)" ]; }
wait_for 30 window_shown || { echo "the window did not appear; see $shots/debug.log" >&2; exit 1; }
window=$(main_window)
xdotool windowmove --sync "$window" 0 0
sleep 0.5
shot() { import -window root "$shots/$1.png"; echo "  $shots/$1.png"; }

# Worked from the keyboard, as the form's own tab order leads (its areas grow
# to the platform's font, so no coordinate of the design can be trusted).
# Focus starts on "Start transmit"; disabled buttons are passed over.
key() {
    for k in "$@"; do
        xdotool key "$k"
        sleep 0.25
    done
}
xdotool windowfocus --sync "$window"
sleep 0.3

echo "Screenshots:"
shot 1-started
key Tab Tab Tab Down          # channel 1 mode: Transmit mode
key Tab Tab Down Down         # channel 2 mode: Receive mode
key shift+Tab shift+Tab shift+Tab shift+Tab space   # Start receive
key shift+Tab space           # Start transmit
sleep 3
shot 2-traffic
key Tab Tab Tab Tab Tab Tab Tab space   # Read registers
sleep 1
shot 3-registers
