#!/usr/bin/env bash
# How korvane-check's memory behaves over a long run: full load at 1 Mbit/s
# on the emulated board for MINUTES (default 10), with a record a second,
# its resident memory read from /proc after the first minute and at the end,
# and what that growth would come to in a day.
#
# Usage: scripts/soak.sh [MINUTES] [KORVANE_CHECK]
# (a Release build by default: build-release/Check/korvane-check, built or
# brought up to date). A measurement, not a test: it prints and exits 0 unless the run
# could not be made.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
check=${2:-build-release/Check/korvane-check}
if [ "$check" = build-release/Check/korvane-check ]; then
    # Built, or brought up to date with the sources: never an old binary.
    [ -f build-release/CMakeCache.txt ] ||
        cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build-release --target korvane-check >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

seconds=$((minutes * 60))
"$check" --rate 1000 --load full --direction 1to2 --seconds "$seconds" --min-load 0 \
    --every 1 --records "$work/records.jsonl" --json --quiet >"$work/summary.json" 2>"$work/stderr" &
pid=$!
start=$(date +%s)
# Samples at the first minute and every minute after, while it runs.
samples=()
for ((minute = 1; minute <= minutes; ++minute)); do
    target=$((minute * 60 - (minute == minutes ? 5 : 0)))
    while [ "$(($(date +%s) - start))" -lt "$target" ]; do
        kill -0 "$pid" 2>/dev/null || break 2
        sleep 1
    done
    kb=$(rss_kb "$pid" 2>/dev/null) || break
    samples+=("$kb")
    echo "minute $minute: resident $kb kB"
done
status=0
wait "$pid" || status=$?
echo "korvane-check ended with status $status; $(wc -l <"$work/records.jsonl") records"
if [ "$status" -ne 0 ]; then
    # What made it so: the summary's last lines (the verdict, the diagnosis).
    tail -n 5 "$work/stderr" >&2
fi
if [ "${#samples[@]}" -lt 2 ]; then
    echo "too few samples" >&2
    exit 1
fi
first=${samples[0]}
last=${samples[${#samples[@]} - 1]}
growth=$((last - first))
span=$((${#samples[@]} - 1))
echo "after minute 1: $first kB; after minute $minutes: $last kB; growth $growth kB over $span minutes"
# The pace of the second half, where start-up's allocations are done,
# carried on for a day. A step in it (the allocator's high-water mark after
# the host did not schedule the runner for a while) makes this a pessimistic
# figure: look at the minutes.
half=$((${#samples[@]} / 2))
awk -v a="${samples[$half]}" -v b="$last" -v m="$((${#samples[@]} - 1 - half))" -v now="$last" 'BEGIN {
    pace = m > 0 ? (b - a) / m : 0
    printf "second half: %.1f kB a minute; at that pace for 24 hours: %.0f kB (%.1f MB) in all\n", pace,
           now + pace * (24 * 60 - 10), (now + pace * (24 * 60 - 10)) / 1024 }'
