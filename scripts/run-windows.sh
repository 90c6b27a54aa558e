#!/usr/bin/env bash
# The Windows counterpart of scripts/run.sh: builds Qt 5 for MinGW-w64 when
# it is not cached yet (about 25-45 minutes the first time), links the
# application, the runner and the emulated board's Windows driver, then works
# the window under Wine against the driver like a person (scripts/
# windows-scenario.sh, in Xvfb) and says where the screenshots are.
# With --interactive it starts the window on your display instead, on the
# driver, for you to use (the driver's settings: KORVANE_EMU_* variables).
# Wine runs in a prefix of the scripts' own, removed at the end, unless
# WINEPREFIX names one; your own Wine (~/.wine) and any Wine server that was
# running are left alone (scripts/lib/wine.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
scripts/setup-debian.sh cross qtsource winedesktop
scripts/check-windows-app.sh build-windows Debug >/dev/null
if [ "${1:-}" = --interactive ]; then
    [ -n "${DISPLAY:-}" ] || { echo "run-windows: --interactive needs a display" >&2; exit 2; }
    exec scripts/wine-board.sh build-windows/bin/KorvaneSoft.exe
fi
shots=$PWD/screenshots/windows
run_child env -u DISPLAY scripts/windows-scenario.sh build-windows/bin "$shots"
echo "Screenshots of the window under Wine: $shots"
ls "$shots"/*.png
