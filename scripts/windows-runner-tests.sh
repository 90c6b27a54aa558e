#!/usr/bin/env bash
# korvane-check.exe under Wine against the emulated board as a Windows driver:
# both directions at 125 kbit/s and 1 Mbit/s with both sequences pass (full
# load with --min-load 0: Wine's requests cannot load the bus), and the
# groups sent are the whole groups in the driver's bus log; full load below
# its default minimum load gives 3, a rate mismatch 1, a failed request 3,
# and a console Ctrl+C ends the run with its summary and 1.
#
# Usage: scripts/windows-runner-tests.sh [PROGRAM_FOLDER] [RESULT_FOLDER]
# (defaults: build-windows/bin, build-windows/runner-tests). WINEPREFIX may
# name the prefix to use.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
programs=$(cd "${1:-$here/build-windows/bin}" && pwd)
results=${2:-$here/build-windows/runner-tests}
mkdir -p "$results"
results=$(cd "$results" && pwd)
check=$programs/korvane-check.exe
failed=0

say() { echo "windows-runner-tests: $*"; }
bad() { say "FAILED: $*"; failed=1; }
run() { # name, expected status, then settings and arguments
    local name=$1 expected=$2; shift 2
    local settings=()
    while [ $# -gt 0 ] && [[ $1 == KORVANE_EMU_* ]]; do settings+=("$1"); shift; done
    local status=0
    env "${settings[@]}" KORVANE_WINE_TIMEOUT=600 "$here/scripts/wine-board.sh" "$check" "$@" \
        >"$results/$name.out" 2>"$results/$name.err" || status=$?
    if [ "$status" -ne "$expected" ]; then
        bad "$name: status $status, expected $expected"
        tail -n 8 "$results/$name.out" "$results/$name.err" | sed 's/^/    /'
        return 1
    fi
    say "$name: status $status, as expected"
}
# Whole test groups per bus in a bus log: "can0 N can1 M".
bus_groups() {
    python3 - "$1" <<'EOF'
import sys
frames = {'can0': [], 'can1': []}
for line in open(sys.argv[1]):
    parts = line.split()
    if len(parts) == 3 and parts[1] in frames and parts[2].startswith('02AC00BA#'):
        frames[parts[1]].append(int.from_bytes(bytes.fromhex(parts[2].split('#')[1]), 'little'))
out = []
for bus, values in sorted(frames.items()):
    whole, i = 0, 0
    while i + 5 <= len(values):
        if sorted(values[i:i + 4]) == [41, 1930, 6334, 18467] and values[i + 4] == 26772:
            whole, i = whole + 1, i + 5
        else:
            i += 1
    out += [bus, str(whole)]
print(' '.join(out))
EOF
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
        read -r _ whole1 _ whole2 < <(bus_groups "$log")
        sent=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(" ".join(str(x["sent"]) for x in d["directions"]))' \
               "$results/$name.out")
        if [ "$sent" != "$whole1 $whole2" ]; then
            bad "$name: sent $sent, the bus log holds $whole1 and $whole2 whole groups"
        else
            say "$name: sent $sent groups, the bus log holds as many whole groups"
        fi
    done
done

# Without --min-load, full load asks for 90 % of the bus, which Wine's
# requests cannot give: the test could not be carried out, and says so.
run full-load-below-minimum 3 --load full --direction 1to2 --seconds 2
grep -q 'full load reached' "$results/full-load-below-minimum.out" ||
    bad "full-load-below-minimum: the load reached is not said"

run rate-mismatch 1 --rate1 125 --rate2 250 --direction 1to2 --seconds 2
grep -q '^FAIL' "$results/rate-mismatch.out" || bad "rate-mismatch: no FAIL line"

run failed-request 3 KORVANE_EMU_FAIL_CODE=0xA4602420 --direction 1to2 --seconds 2
grep -q 'could not be carried out' "$results/failed-request.out" "$results/failed-request.err" ||
    bad "failed-request: no reason given"

# A console Ctrl+C: SIGINT to the Linux process that runs the program reaches
# it as a console control event.
say "ctrl-c: interrupting a 60 s run"
env KORVANE_WINE_TIMEOUT=600 "$here/scripts/wine-board.sh" "$check" --direction 1to2 --seconds 60 \
    >"$results/ctrl-c.out" 2>"$results/ctrl-c.err" &
runner=$!
for _ in $(seq 600); do
    grep -q '^1->2 1 s:' "$results/ctrl-c.out" 2>/dev/null && break
    sleep 0.2
done
pid=$(pgrep -f "^$check" | head -n 1)
if [ -z "$pid" ]; then
    bad "ctrl-c: the runner is not running"
    kill "$runner" 2>/dev/null
else
    started=$(date +%s)
    kill -INT "$pid"
    status=0
    wait "$runner" || status=$?
    say "ctrl-c: ended $(( $(date +%s) - started )) s after Ctrl+C, status $status"
    [ "$status" -eq 1 ] || bad "ctrl-c: status $status, expected 1"
    grep -q '^1->2 at 125 kbit/s' "$results/ctrl-c.out" || bad "ctrl-c: no summary"
    grep -q 'FAIL: interrupted' "$results/ctrl-c.out" || bad "ctrl-c: no \"FAIL: interrupted\""
fi

[ "$failed" -eq 0 ] && say "passed" || say "failed; outputs in $results"
exit "$failed"
