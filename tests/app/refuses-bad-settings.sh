#!/bin/sh
# The application on the emulated board refuses a bad KORVANE_EMU_* setting
# before it starts: one line naming it, exit status 2.
# Usage: refuses-bad-settings.sh path/to/KorvaneSoft
app=$1
status=0
expect() { # expected line, then the assignment
    out=$(env "$2" QT_QPA_PLATFORM=offscreen "$app" 2>&1)
    rc=$?
    if [ "$rc" -ne 2 ] || [ "$out" != "$1" ]; then
        echo "with $2: exit $rc, output:"
        echo "$out"
        status=1
    fi
}
expect 'KORVANE_EMU_LATENCY_US=-1 is not accepted: expected a whole number of microseconds from 1 to 1000000' \
    KORVANE_EMU_LATENCY_US=-1
expect 'KORVANE_EMU_NO_BOARD=false is not accepted: expected 0 or 1' KORVANE_EMU_NO_BOARD=false
expect 'KORVANE_EMU_BUSLOG=/nonexistent/bus.log is not accepted: the file cannot be opened for appending' \
    KORVANE_EMU_BUSLOG=/nonexistent/bus.log
exit $status
