#!/usr/bin/env bash
# Runs the real application under Xvfb, drives it with xdotool like a person
# (channel 1 "Transmit mode", channel 2 "Receive mode", both start buttons,
# then "Read registers") and saves screenshots.
# Usage: scripts/demo.sh [path/to/KorvaneSoft] [screenshot folder]
set -euo pipefail
cd "$(dirname "$0")/.."
app=${1:-build-app/Main/KorvaneSoft}
shots=${2:-$PWD/screenshots}
mkdir -p "$shots"

display=:${KORVANE_DEMO_DISPLAY:-57}
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

"$app" >"$shots/debug.log" 2>&1 &
app_pid=$!
window=
for _ in $(seq 100); do
    window=$(xdotool search --name '^Korvane soft v1.0$' 2>/dev/null | head -1 || true)
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "the window did not appear; see $shots/debug.log" >&2; exit 1; }
xdotool windowmove --sync "$window" 0 0
sleep 0.5
shot() { import -window root "$shots/$1.png"; echo "  $shots/$1.png"; }

# Widget centres in the window as the form lays them out at its designed
# 541 x 281 (its central widget sits below the empty menu bar and tool bar);
# off Windows the window grows to fit its font, and the centres with it.
eval "$(xdotool getwindowgeometry --shell "$window")"
click() {
    xdotool mousemove --sync $((X + $1 * WIDTH / 541)) $((Y + $2 * HEIGHT / 281)) click 1
    sleep 0.3
}
choose() { # combo box at x y, item index
    click "$1" "$2"
    xdotool key Home
    for _ in $(seq "$3"); do xdotool key Down; done
    xdotool key Return
    sleep 0.5
}

echo "Screenshots:"
shot 1-started
choose 287 79 1   # channel 1 mode: Transmit mode
choose 467 79 2   # channel 2 mode: Receive mode
click 90 174      # Start receive
click 90 39       # Start transmit
sleep 3
shot 2-traffic
click 400 241     # Read registers
sleep 1
shot 3-registers
