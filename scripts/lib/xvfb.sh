# Sourced by the scripts that need a display of their own.
#
# start_xvfb starts Xvfb on a display it picks itself (-displayfd: the
# server takes the first free number and writes it once it accepts
# connections), exports DISPLAY and sets xvfb_pid. A fixed number would
# collide with a server still going away after the previous script, whose
# lock file makes the new one fail while clients reach the old one until it
# is gone. stop_xvfb ends it (by the process id it kept) and waits until it
# has. need_display starts one unless DISPLAY names a display, and has it
# ended when the script exits (scripts/lib/common.sh).
[ -n "${korvane_xvfb_sourced:-}" ] && return 0
korvane_xvfb_sourced=1
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
xvfb_pid=
start_xvfb() {
    local numfile display=
    numfile=$(mktemp)
    (exec Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp) 3>"$numfile" >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 300); do
        display=$(head -n 1 "$numfile")
        [ -n "$display" ] && [ "$(wc -l <"$numfile")" -ge 1 ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$numfile"
    if [ -z "$display" ] || ! kill -0 "$xvfb_pid" 2>/dev/null; then
        echo "Xvfb did not start" >&2
        stop_xvfb
        return 1
    fi
    export DISPLAY=:$display
}
stop_xvfb() {
    [ -n "$xvfb_pid" ] || return 0
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
}
need_display() {
    [ -z "${DISPLAY:-}" ] || return 0
    at_exit stop_xvfb
    start_xvfb
}
