# Sourced by the scripts that run Windows programs under Wine: the prefix,
# its making and fonts, and the Wine server's lifetime.
#
# The rule for prefixes and servers
# ---------------------------------
# 1. A script works in the prefix its caller names with WINEPREFIX, or else in
#    one of its own (wine_use_prefix): a new temporary folder, removed when
#    the script exits, or a folder of the script's own build or result
#    folder. It never falls back on Wine's default (~/.wine), which is a
#    person's own.
# 2. A script stops only a Wine server that it started itself.
#    wine_server_start starts one for $WINEPREFIX unless one runs there
#    already: wineserver ends with status 0 when it started one, and with 2
#    when one was running. Only in the first case is the prefix noted as
#    this script's; wine_server_stop, and the script's exit, then stop that
#    server with `WINEPREFIX=PREFIX wineserver -k`, which reaches that
#    prefix's server only. A server that was running (a caller's, or a
#    person's own Wine) is used as it is and left running: nothing runs
#    `wineserver -k` for it, nor `wineserver -w`, which would wait for a
#    persistent one for ever.
#    Two cases follow from who can have started a server. A prefix that a
#    script made in a temporary folder is known to nothing else: a server
#    still running for it when the script ends was started by the script's
#    own programs (Wine starts one by itself for a program that finds none),
#    and it is stopped before the folder is removed. And when a script makes
#    a prefix in a session it started, no other server was running there: one
#    that runs once that session has ended was started by the making's own
#    programs, and is stopped too, so that the next session is the script's.
# 3. Every Wine command of a script runs while such a server is up. A server
#    that Wine starts by itself for a command ends a few seconds after it, so
#    it is nobody's to stop: a script that came after it would find it
#    running, take it for its caller's and lose it (with the driver host)
#    between two commands. A script that calls another which needs sessions
#    of its own stops its server first; if it keeps it up, the other one
#    works in it as in its caller's and leaves it running.
#    Nor does Wine write into the person's home folder for a script: its
#    menu builder, which would, is turned off (WINEDLLOVERRIDES below).
# 4. A server is started with its standard streams on /dev/null, away from
#    the script's: the server outlives the programs it serves, and would keep
#    a pipe of the caller's (ctest's, say) open.
[ -n "${korvane_wine_sourced:-}" ] && return 0
korvane_wine_sourced=1
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

export WINEDEBUG=${WINEDEBUG:--all}
# Without Mono and Gecko (a new prefix would offer to install them), and
# without the menu builder, which would put the prefix's menu entries and
# icons (the installer's shortcuts, say) into the person's home folder.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=};winemenubuilder.exe=d"

# The prefixes whose server this script started and has not stopped.
wine_servers_started=()

# wine_use_prefix [FOLDER]: the caller's WINEPREFIX if it names one; else
# FOLDER (made if missing, kept); else a new temporary folder, removed when
# the script exits. Exports WINEPREFIX as an absolute path.
wine_use_prefix() {
    if [ -n "${WINEPREFIX:-}" ]; then
        WINEPREFIX=$(realpath -m -- "$WINEPREFIX")
    elif [ -n "${1:-}" ]; then
        mkdir -p "$1"
        WINEPREFIX=$(cd "$1" && pwd)
    else
        WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/korvane-wine.XXXXXX")
        at_exit "wine_prefix_remove $(printf %q "$WINEPREFIX")"
    fi
    export WINEPREFIX
}

# wine_prefix_remove PREFIX: the end of a prefix of the script's own (a
# temporary one, or one it makes anew in its build folder): any server still
# running for it is stopped (it is the script's, see above), its server
# folder goes, then the prefix. This system's Wine keeps each prefix's
# server folder apart, as ${TMPDIR:-/tmp}/wine-XXXXXX/server-DEV-INODE, and
# names the first part in the prefix's file "wineserver"; left alone, every
# prefix removed would leave one behind.
wine_prefix_remove() {
    local prefix=$1 folder=
    [ -e "$prefix" ] || return 0
    WINEPREFIX=$prefix timeout 60 wineserver -k >/dev/null 2>&1 || true # none running: nothing to stop
    if [ -f "$prefix/wineserver" ]; then
        folder=$(head -n 1 "$prefix/wineserver")
    fi
    if [[ $folder == wine-?* && $folder != */* ]]; then
        rm -rf "${TMPDIR:-/tmp}/$folder/server-$(stat -c %D "$prefix")-$(printf %x "$(stat -c %i "$prefix")")"
        rmdir "${TMPDIR:-/tmp}/$folder" 2>/dev/null || true # another prefix's server may share it
    fi
    rm -rf "$prefix"
}

# wine_server_start [transient]: a server for $WINEPREFIX, unless one runs
# there. It is persistent (it stays up between commands, and so does the
# driver host) unless "transient" is asked for: such a one ends by itself
# once the last program of its session has (see wine_server_wait).
wine_server_start() {
    local status=0 options=(-p)
    [ "${1:-}" = transient ] && options=()
    wine_server_ours && return 0
    mkdir -p "$WINEPREFIX"
    setsid -w wineserver "${options[@]}" </dev/null >/dev/null 2>&1 || status=$?
    case $status in
        0)
            wine_servers_started+=("$WINEPREFIX")
            at_exit "wine_server_stop $(printf %q "$WINEPREFIX")"
            ;;
        2) ;; # one was running: not this script's
        *)
            echo "wine: no Wine server for $WINEPREFIX (wineserver ended with status $status)" >&2
            return 1
            ;;
    esac
}

# wine_server_ours [PREFIX]: whether this script started the server of
# PREFIX (default $WINEPREFIX) and has not stopped it.
wine_server_ours() {
    local prefix=${1:-$WINEPREFIX} started
    for started in "${wine_servers_started[@]}"; do
        [ "$started" = "$prefix" ] && return 0
    done
    return 1
}

wine_server_forget() {
    local prefix=$1 i
    for i in "${!wine_servers_started[@]}"; do
        [ "${wine_servers_started[i]}" = "$prefix" ] && unset 'wine_servers_started[i]'
    done
    return 0
}

# wine_server_stop [PREFIX]: stops the server of PREFIX (default
# $WINEPREFIX), with every program of its session, if this script started
# it; any other is left as it is.
wine_server_stop() {
    local prefix=${1:-$WINEPREFIX}
    wine_server_ours "$prefix" || return 0
    wine_server_forget "$prefix"
    if ! WINEPREFIX=$prefix timeout 60 wineserver -k >/dev/null 2>&1; then
        echo "wine: the Wine server of $prefix did not stop" >&2
        return 1
    fi
}

# wine_server_wait: waits until a transient server of this script's for
# $WINEPREFIX has ended by itself (its last program has ended); a server
# that is not this script's is not waited for.
wine_server_wait() {
    wine_server_ours || return 0
    timeout "${1:-120}" wineserver -w || {
        echo "wine: the Wine session of $WINEPREFIX did not end" >&2
        return 1
    }
    wine_server_forget "$WINEPREFIX"
}

# wine_session_services [LOG]: starts the services of the session (the
# service manager, the driver hosts) with a first program whose error stream
# is LOG (default /dev/null): they keep that stream for the session's life,
# and would keep a pipe of the caller's open. Nothing is started when a
# running session has them already.
wine_session_services() {
    timeout 120 wine cmd /c exit </dev/null >/dev/null 2>>"${1:-/dev/null}"
}

# wine_make_prefix [LOG]: makes $WINEPREFIX a prefix if it is not one yet
# (what wineboot prints goes to LOG, default /dev/null), then puts Wine's
# fonts into it. A prefix is made in a transient session that then ends, so
# that the next session starts on the prefix as made: a driver started in
# the session that made the prefix does not start. That next session, a
# persistent one of the script's, is then up. In a caller's running session
# the prefix is made there, and nothing is waited for.
wine_make_prefix() {
    local log=${1:-/dev/null} status=0 made_here=false
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wine_server_start transient
        wine_server_ours && made_here=true
        timeout 300 wineboot -i </dev/null >>"$log" 2>&1 || status=$?
        [ "$status" -eq 0 ] || { echo "wine: wineboot -i ended with status $status in $WINEPREFIX" >&2; return 1; }
        wine_server_wait
        [ -d "$WINEPREFIX/drive_c/windows" ] || { echo "wine: no prefix was made in $WINEPREFIX" >&2; return 1; }
        if $made_here; then
            wine_server_start
            if ! wine_server_ours; then
                # Started by a program of the making as its session ended.
                timeout 60 wineserver -k >/dev/null 2>&1 || true # it may have ended meanwhile
                wine_server_start
                wine_server_ours || { echo "wine: a Wine server that is not this script's runs for $WINEPREFIX" >&2; return 1; }
            fi
        fi
    fi
    wine_install_fonts
}

# Wine's own fonts (Debian's fonts-wine: Tahoma for "MS Shell Dlg 2", the
# dialog font) are not put into a new prefix: without them every window is
# drawn in whatever font the system has, with other metrics than Windows'.
wine_install_fonts() {
    local fonts=$WINEPREFIX/drive_c/windows/Fonts font
    mkdir -p "$fonts"
    for font in /usr/share/wine/fonts/*.ttf; do
        [ -e "$font" ] || continue # no fonts-wine: nothing to copy
        [ -e "$fonts/${font##*/}" ] || cp "$font" "$fonts/"
    done
}

# wine_path PATH: PATH as Windows programs name it, through drive Z:, which
# every prefix maps to / (no Wine program, so no server, is needed).
wine_path() {
    local path
    path=$(realpath -m -- "$1")
    printf 'Z:%s\n' "${path//\//\\}"
}
