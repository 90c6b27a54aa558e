# Sourced by the scripts: ending what a script started on every way out, and
# waiting for a condition.
#
# at_exit CMD registers a command (a string, evaluated then); the commands
# run last registered first when the script exits: at its end, on a failed
# step (set -e), on exit, or on SIGINT, SIGTERM or SIGHUP, each of which makes
# the script exit so that they run. So a script registers the ending of each
# thing right after starting it (Xvfb, a Wine server, a background program),
# and what was started later is ended first. A command that fails there does
# not keep the others from running; the script's exit status stays what it
# was.
#
# Bash runs a trap only once the foreground command has returned, so a
# script runs its long commands with run_child: in the background, waited
# for with `wait` (which a signal cuts short), and ended by their process id
# when the script exits first. Background commands of a script start with
# SIGINT ignored, and a script cannot undo that; they are ended with SIGTERM.
# (`env --default-signal=INT SCRIPT &` starts one that can be interrupted.)
# A background command whose process id is kept is started as `(exec CMD) &`:
# bash may otherwise keep a subshell of its own between the id and CMD.
[ -n "${korvane_common_sourced:-}" ] && return 0
korvane_common_sourced=1

at_exit_commands=()
running_children=()
at_exit() {
    at_exit_commands+=("$1")
}
run_at_exit() {
    local status=$? i
    # A second Ctrl+C does not cut the ending short.
    trap - EXIT ERR
    trap '' INT TERM HUP
    set +e
    for ((i = ${#running_children[@]} - 1; i >= 0; i--)); do
        stop_child "${running_children[i]}"
    done
    for ((i = ${#at_exit_commands[@]} - 1; i >= 0; i--)); do
        eval "${at_exit_commands[i]}"
    done
    exit "$status"
}
trap run_at_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# wait_for SECONDS COMMAND [ARGS...]: runs COMMAND every 0.2 s until it
# succeeds (status 0) or SECONDS have passed since the first try (status 1).
# The bound is a deadline for a condition, not a time the caller relies on.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# stop_child PID: ends a background child of this script by its process id
# (SIGTERM) and waits until it has ended. Nothing else is looked up.
stop_child() {
    [ -n "${1:-}" ] || return 0
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# run_child COMMAND [ARGS...]: runs COMMAND with this script's standard
# streams (and the redirections of the call) and returns its status, as
# running it directly would; but a signal that ends this script meanwhile
# ends COMMAND too.
run_child() {
    local pid status=0
    (exec "$@") <&0 &
    pid=$!
    running_children+=("$pid")
    wait "$pid" || status=$?
    unset 'running_children[${#running_children[@]}-1]'
    return "$status"
}
