# Sourced by the scripts that need a display of their own.
#
# start_xvfb starts Xvfb on a display it picks itself (-displayfd: the
# server takes the first free number and writes it once it accepts
# connections), exports DISPLAY and sets xvfb_pid. A fixed number would
# collide with a server still going away after the previous script, whose
# lock file makes the new one fail while clients reach the old one until it
# is gone. stop_xvfb ends it and waits until it has.
xvfb_pid=
start_xvfb() {
    local numfile display=
    numfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$numfile" >/dev/null 2>&1 &
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
        xvfb_pid=
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
