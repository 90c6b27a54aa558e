#!/bin/sh
# A bad KORVANE_EMU_* setting keeps the emulated board from appearing, as a
# Windows driver that refuses its settings does not start: one line names
# the setting, and the runner refuses the run (exit status 2) through its own
# verdict, so that a report from an earlier run that passed is replaced by
# one that says why this one did not run.
# Usage: refuses-bad-settings.sh path/to/korvane-check
check=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
status=0
expect() { # expected line, then the assignment
    printf '<testsuites><testsuite name="earlier" tests="1" failures="0" errors="0"><testcase name="1-&gt;2"/></testsuite></testsuites>\n' >"$dir/r.xml"
    env "$2" "$check" -d 1to2 --groups 1 --quiet --junit "$dir/r.xml" >"$dir/out" 2>"$dir/err"
    rc=$?
    first=$(head -n 1 "$dir/err")
    if [ "$rc" -ne 2 ] || [ "$first" != "$1" ]; then
        echo "with $2: exit $rc, first line of stderr:"
        echo "$first"
        status=1
    fi
    if grep -q 'name="earlier"' "$dir/r.xml" || ! grep -q 'type="notCarriedOut"' "$dir/r.xml" ||
        ! grep -q 'cannot open' "$dir/r.xml"; then
        echo "with $2: the JUnit report was not made fresh:"
        cat "$dir/r.xml"
        status=1
    fi
}
expect 'KORVANE_EMU_LATENCY_US=-1 is not accepted: expected a whole number of microseconds from 1 to 1000000' \
    KORVANE_EMU_LATENCY_US=-1
expect 'KORVANE_EMU_NO_BOARD=false is not accepted: expected 0 or 1' KORVANE_EMU_NO_BOARD=false
expect 'KORVANE_EMU_BUSLOG=/nonexistent/bus.log is not accepted: the file cannot be opened for appending' \
    KORVANE_EMU_BUSLOG=/nonexistent/bus.log
exit $status
