#!/usr/bin/env bash
# korvane-check.exe under Wine against the emulated board as a Windows driver:
# both directions at 125 kbit/s and 1 Mbit/s with both sequences pass (full
# load with --min-load 0: Wine's requests cannot load the bus), and the
# groups sent are the whole groups in the driver's bus log; full load below
# its default minimum load gives 3, a rate mismatch 1, a failed request 3,
# four runners on four boards of one driver pass each against its own bus
# log while a fault on one fails it alone, a board held by one runner refuses
# a second, the qualification passes on the healthy board and fails on a
# fault, and a console Ctrl+C ends the run with its summary and 1.
#
# Usage: scripts/windows-runner-tests.sh [PROGRAM_FOLDER] [RESULT_FOLDER]
# (defaults: build-windows/bin, build-windows/runner-tests). WINEPREFIX may
# name the prefix to use (default: a new one, removed at the end); the Wine
# servers started for it are stopped, any other is left running
# (scripts/lib/wine.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib/wine.sh"
. "$here/scripts/lib/buslog.sh"
programs=$(cd "${1:-$here/build-windows/bin}" && pwd)
results=${2:-$here/build-windows/runner-tests}
mkdir -p "$results"
results=$(cd "$results" && pwd)
check=$programs/korvane-check.exe
[ -f "$check" ] || { echo "windows-runner-tests: no $check" >&2; exit 2; }
wine_use_prefix
failed=0

say() { echo "windows-runner-tests: $*"; }
bad() { say "FAILED: $*"; failed=1; }
# Runs the runner once against a freshly started driver; a status other than
# the one expected is counted as a failure, and the runs go on.
run() { # name, expected status, then settings and arguments
    local name=$1 expected=$2; shift 2
    local settings=()
    while [ $# -gt 0 ] && [[ $1 == KORVANE_EMU_* ]]; do settings+=("$1"); shift; done
    local status=0
    run_child env "${settings[@]}" KORVANE_WINE_TIMEOUT=600 "$here/scripts/wine-board.sh" "$check" "$@" \
        </dev/null >"$results/$name.out" 2>"$results/$name.err" || status=$?
    if [ "$status" -ne "$expected" ]; then
        bad "$name: status $status, expected $expected"
        tail -n 8 "$results/$name.out" "$results/$name.err" | sed 's/^/    /'
        return 1
    fi
    say "$name: status $status, as expected"
}

for load in window full; do
    for rate in 125 1000; do
        name=pass-$load-$rate
        log=$results/$name.bus.log
        rm -f "$log"
        # Under Wine a request costs about 0.2 ms, so full load fills only a
        # few percent of the bus: no minimum is asked of it here.
        extra=()
        [ "$load" = full ] && extra=(--min-load 0)
        run "$name" 0 KORVANE_EMU_BUSLOG="$log" --rate "$rate" --direction both --seconds 3 \
            --load "$load" "${extra[@]}" --json || continue
        whole1=none whole2=none sent=unreadable
        read -r whole1 _ < <(bus_groups "$log" can0) || true
        read -r whole2 _ < <(bus_groups "$log" can1) || true
        sent=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(" ".join(str(x["sent"]) for x in d["directions"]))' \
               "$results/$name.out") || true
        if [ "$sent" != "$whole1 $whole2" ]; then
            bad "$name: sent $sent, the bus log holds $whole1 and $whole2 whole groups"
        else
            say "$name: sent $sent groups, the bus log holds as many whole groups"
        fi
    done
done

# Without --min-load, full load asks for 90 % of the bus, which Wine's
# requests cannot give: the test could not be carried out, and says so.
run full-load-below-minimum 3 --load full --direction 1to2 --seconds 2 || true
grep -q 'full load reached' "$results/full-load-below-minimum.out" ||
    bad "full-load-below-minimum: the load reached is not said"

run rate-mismatch 1 --rate1 125 --rate2 250 --direction 1to2 --seconds 2 || true
grep -q '^FAIL' "$results/rate-mismatch.out" || bad "rate-mismatch: no FAIL line"

run failed-request 3 KORVANE_EMU_FAIL_CODE=0xA4602420 --direction 1to2 --seconds 2 || true
grep -q 'could not be carried out' "$results/failed-request.out" "$results/failed-request.err" ||
    bad "failed-request: no reason given"

# The board qualified through the driver: every case passes on a healthy
# board; a fault fails the cases that see it, and no others.
run qualify 0 --qualify --json || true
run qualify-fault 1 KORVANE_EMU_FAULT=filter-dead --cases filters,identifiers.standard --json || true
failing=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(" ".join(c["case"] for c in d["qualification"] if c["result"] != "pass"))' \
          "$results/qualify-fault.out" 2>/dev/null) || failing=unreadable
[ "$failing" = "filters.standard filters.extended" ] || bad "qualify-fault: the cases that failed: $failing"

# Interval records and the HTML report from the Windows build: a record a
# second, each a whole line that parses, adding up to the summary; the page
# says what the exit status says.
run records 0 --direction 1to2 --seconds 3 --every 1 --records "$(wine_path "$results/records.jsonl")" \
    --html "$(wine_path "$results/report.html")" --json || true
python3 - "$results/records.jsonl" "$results/records.out" <<'EOF' || bad "records: the records are not whole lines adding up to the summary"
import json, sys
lines = open(sys.argv[1], 'rb').read().split(b'\n')
assert lines[-1] == b'', 'the file does not end with a whole line'
records = [json.loads(line) for line in lines[:-1]]
summary = json.load(open(sys.argv[2]))
assert len(records) == 3, f'{len(records)} records'
assert sum(r['sent'] for r in records) == summary['directions'][0]['sent'], 'the records do not add up'
assert records[-1]['last'] and records[-1]['controllers'][0]['read']
EOF
grep -q '<h1>Passed: board 0' "$results/report.html" 2>/dev/null || bad "records: the HTML report does not say it passed"

# Four boards through one driver, a runner each at the same time: every
# board passes, its groups sent the whole groups in its own bus log, but
# board 2, which a foreign node is put on, fails alone, and says so.
say "four boards: four runners at once"
rm -f "$results"/four.bus-*.log "$results"/four-board-*
cat >"$results/four-boards.sh" <<'EOF'
# Run by wine-board.sh in its session: a runner per board, each waited for
# by the process id kept here.
check=$1 results=$2
pids=()
for board in 0 1 2 3; do
    wine "$check" --board "$board" --direction 1to2 --seconds 3 --json \
        >"$results/four-board-$board.json" 2>"$results/four-board-$board.err" &
    pids+=($!)
done
for board in 0 1 2 3; do
    status=0
    wait "${pids[$board]}" || status=$?
    echo "$status" >"$results/four-board-$board.status"
done
EOF
status=0
run_child env KORVANE_EMU_BOARDS=4 KORVANE_EMU_FAULT_BOARD=2 KORVANE_EMU_FOREIGN=2:0x10:50 \
    KORVANE_EMU_BUSLOG="$results/four.bus.log" KORVANE_WINE_TIMEOUT=600 "$here/scripts/wine-board.sh" \
    "$results/four-boards.sh" "$check" "$results" </dev/null >"$results/four-boards.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || { bad "four boards: the driver's session ended with $status"; sed 's/^/    /' "$results/four-boards.out"; }
for board in 0 1 2 3; do
    status=$(cat "$results/four-board-$board.status" 2>/dev/null || echo none)
    named=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["board"], d["directions"][0]["sent"], " | ".join(x["seen"] for x in d["diagnosis"]))' \
            "$results/four-board-$board.json" 2>/dev/null) || named="unreadable"
    read -r said sent seen <<<"$named"
    whole=none
    read -r whole _ < <(bus_groups "$results/four.bus-$board.log" can0) || true
    if [ "$said" != "$board" ]; then
        bad "four boards: board $board's summary names board $said"
    elif [ "$board" = 2 ]; then
        if [ "$status" = 1 ] && [[ $seen == "another node is sending on this bus"* ]]; then
            say "four boards: board 2 failed alone: $seen"
        else
            bad "four boards: board 2: status $status, diagnosis \"$seen\""
        fi
    elif [ "$status" != 0 ] || [ "$sent" != "$whole" ]; then
        bad "four boards: board $board: status $status, sent $sent, its bus log holds $whole whole groups"
    else
        say "four boards: board $board passed, sent $sent groups, as many whole in its own bus log"
    fi
done

# One board, one test: while a runner holds board 0, a second one on it is
# refused at once (2, "in use by another test"), a runner on board 1 passes,
# and once the first is killed outright its board is free again (the
# system releases its named mutex with the process).
say "one board, one test: two runners on board 0"
rm -f "$results"/hold-*
cat >"$results/hold.sh" <<'EOF'
# Run by wine-board.sh in its session; each runner waited for by the
# process id kept here.
check=$1 results=$2
wine "$check" --direction 1to2 --seconds 60 --json >"$results/hold-first.json" 2>"$results/hold-first.err" &
first=$!
for _ in $(seq 1200); do
    grep -q '^1->2 1 s:' "$results/hold-first.err" 2>/dev/null && break
    kill -0 "$first" 2>/dev/null || break
    sleep 0.1
done
status=0
wine "$check" --direction 1to2 --groups 1 --json >"$results/hold-second.json" 2>"$results/hold-second.err" || status=$?
echo "$status" >"$results/hold-second.status"
status=0
wine "$check" --board 1 --direction 1to2 --groups 1 >"$results/hold-other.out" 2>&1 || status=$?
echo "$status" >"$results/hold-other.status"
kill -KILL "$first"
wait "$first" 2>/dev/null
status=0
wine "$check" --direction 1to2 --groups 1 >"$results/hold-after.out" 2>&1 || status=$?
echo "$status" >"$results/hold-after.status"
EOF
status=0
run_child env KORVANE_EMU_BOARDS=2 KORVANE_WINE_TIMEOUT=600 "$here/scripts/wine-board.sh" \
    "$results/hold.sh" "$check" "$results" </dev/null >"$results/hold.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || { bad "one board: the driver's session ended with $status"; sed 's/^/    /' "$results/hold.out"; }
second=$(cat "$results/hold-second.status" 2>/dev/null || echo none)
if [ "$second" = 2 ] && grep -qF 'board 0 (\\.\CAN0) is in use by another test' "$results/hold-second.err" &&
    grep -q 'in use by another test' "$results/hold-second.json"; then
    say "one board: the second runner on board 0 was refused"
else
    bad "one board: the second runner on board 0: status $second"
    tail -n 4 "$results/hold-second.err" | sed 's/^/    /'
fi
grep -q '^1->2 1 s:' "$results/hold-first.err" 2>/dev/null ||
    bad "one board: the first runner never reported its first second"
[ "$(cat "$results/hold-other.status" 2>/dev/null)" = 0 ] || bad "one board: a runner on board 1 did not pass"
[ "$(cat "$results/hold-after.status" 2>/dev/null)" = 0 ] ||
    bad "one board: board 0 was not free once its holder was killed"

# A console Ctrl+C: SIGINT to the script that runs the program, as a
# terminal's Ctrl+C would send it, is passed on by scripts/wine-board.sh to
# the program's own process, where Wine makes it a console control event.
# The script is the one started here, signalled by the process id kept; it
# is started with SIGINT at its default (a script's background commands
# start with it ignored, which the script they run could not undo).
say "ctrl-c: interrupting a 60 s run"
# The output of a previous run goes first: its first second is not this one's.
rm -f "$results/ctrl-c.out" "$results/ctrl-c.err"
(exec env --default-signal=INT KORVANE_WINE_TIMEOUT=600 "$here/scripts/wine-board.sh" "$check" --direction 1to2 \
    --seconds 60) </dev/null >"$results/ctrl-c.out" 2>"$results/ctrl-c.err" &
runner=$!
at_exit 'stop_child "$runner"'
first_second() { grep -q '^1->2 1 s:' "$results/ctrl-c.out" 2>/dev/null || ! kill -0 "$runner" 2>/dev/null; }
wait_for 120 first_second || true
if ! grep -q '^1->2 1 s:' "$results/ctrl-c.out" 2>/dev/null; then
    bad "ctrl-c: the runner did not report its first second"
    tail -n 8 "$results/ctrl-c.out" "$results/ctrl-c.err" | sed 's/^/    /'
    stop_child "$runner"
    runner=
else
    started=$SECONDS
    kill -INT "$runner"
    status=0
    wait "$runner" || status=$?
    runner=
    say "ctrl-c: ended $((SECONDS - started)) s after Ctrl+C, status $status"
    [ "$status" -eq 1 ] || bad "ctrl-c: status $status, expected 1"
    grep -q '^1->2 at 125 kbit/s' "$results/ctrl-c.out" || bad "ctrl-c: no summary"
    grep -q 'FAIL: interrupted' "$results/ctrl-c.out" || bad "ctrl-c: no \"FAIL: interrupted\""
fi

[ "$failed" -eq 0 ] && say "passed" || say "failed; outputs in $results"
exit "$failed"
