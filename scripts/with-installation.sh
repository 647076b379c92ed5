#!/usr/bin/env bash
# Runs a program beside the simulated installation; scripts/run starts it inside the private
# network namespace of tests/integration/avahi-netns.sh, where an avahi-daemon of our own runs.
# It runs nowhere else (the namespace names itself in its /run): it adds and deletes network links
# and would take a PC's own for the simulated adapters.
#
#   with-installation.sh QZ_TESTNET DUMP_FILE [QZ_TESTNET_OPTIONS...] -- PROGRAM [ARGS...]
#
# - The installation follows the program's settings (the INI file of "Tormel"/"DIDodiviVidi" of
#   the user the program runs as): its units are those of the saved counts (the program's defaults
#   when none are saved; options given here win), and the configuration service starts on the
#   saved interface when it lists it, as the PC's real service keeps the interface a program set.
# - qz_testnet starts and is waited for until every unit is published.
# - The PC's simulated adapters: one veth pair per interface of the configuration service, the
#   PC's end (eth0, eth1, ...) with the interface's MAC address and 192.168.<n + 1>.10/24, so that
#   the program shows an IP address per interface. The devices answer on the loopback, where the
#   namespace's avahi-daemon publishes them, whichever interface is in use.
# - The program runs on the display, or on a virtual X display of the session's own when there
#   is none: its socket and lock files are in a /tmp of its own, so that the PC's displays and
#   their files are left alone during and after the session; the session's programs reach it
#   through its socket in the session's network namespace, where X clients look first, and only
#   with the session's cookie (XAUTHORITY), which every copy of the program inherits.
# - The program and its copies see a /tmp/.X11-unix of their own that holds only the socket of
#   the display they use (the virtual one, or the user's), so that a client that falls back on
#   socket files never finds one of the PC's other displays. A display reached by TCP (ssh -X:
#   localhost:10.0) is out of the session's network namespace: the socket of a relay on the PC's
#   network (QZ_DISPLAY_RELAY, which scripts/run starts) is that display's socket there, and the
#   program takes it with that display's cookie. Nothing in the session holds the PC's network
#   namespace.
# - The session lasts as long as the program does, its restarts included: when its process ends,
#   a copy it started (a process of the program's file; the namespace holds no others) carries
#   on, and the session ends once none is left. A program that restarts more than 3 times within
#   a minute is told about, with the way out.
# - At the end, or on Ctrl+C, SIGTERM or a closed terminal (at once, whatever the program is
#   doing), every copy is ended, then qz_testnet (which writes every unit's subscriptions to
#   DUMP_FILE, which belongs to the owner of its directory; one left by an earlier session is
#   removed at the start), the adapters and the virtual display. A further Ctrl+C or SIGTERM does
#   not cut that short. qz_testnet and the virtual display run in sessions of their own, so that
#   Ctrl+C and a closed terminal reach only the program and this script, and the program's copies
#   end while they still run.
#
# The exit code is the program's, or 130/143/129 after Ctrl+C, SIGTERM or SIGHUP, 1 when the
# session cannot start; a program that restarted has ended with 0.
set -uo pipefail

if [ "$(cat /run/qz-netns 2>/dev/null)" != "$(readlink /proc/self/ns/net)" ]; then
    echo "$0: runs only inside the private network namespace of tests/integration/avahi-netns.sh" >&2
    echo "  (sudo bash scripts/run starts it there)" >&2
    exit 1
fi

testnet=$1
dump=$2
shift 2
testnet_options=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    testnet_options+=("$1")
    shift
done
[ "${1:-}" = "--" ] && shift
if [ $# -lt 1 ]; then
    echo "usage: $0 QZ_TESTNET DUMP_FILE [OPTIONS...] -- PROGRAM [ARGS...]" >&2
    exit 2
fi
program_file=$(readlink -f "$1")
# A program that is this script's own shell has no copies to tell from the script's processes.
[ "$program_file" -ef /proc/$$/exe ] && program_file=""

log=/run/qz-testnet.log
testnet_pid=""
xvfb_pid=""
auth=/run/qz-display.auth
# The session's /tmp/.X11-unix.
x11=/run/qz-x11-unix
adapters=()

# The program runs as the user who asked for it when started through sudo, so that its settings
# stay that user's. Wayland sockets live under the user's /run, which the namespace hides: X only.
run_as=()
home=${HOME:-/root}
if [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] && command -v runuser >/dev/null 2>&1; then
    run_as=(runuser -u "$SUDO_USER" --)
    home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
    if [ -n "${DISPLAY:-}" ] && [ -z "${XAUTHORITY:-}" ]; then
        [ -r "$home/.Xauthority" ] && export XAUTHORITY="$home/.Xauthority"
    fi
fi
settings=${XDG_CONFIG_HOME:-$home/.config}/Tormel/DIDodiviVidi.ini

# The processes of the program's file: the first copy and every copy it started. A process of
# that file whose parent is one too is a child of a copy that has not yet exec'd what it runs
# (the first fork of the program's restart among them), not a copy. Compared as files (-ef), with
# no process started per entry: a look stays quick on a loaded machine, and sees a copy that
# lives a moment.
copies() {
    local entry stat parent
    [ -n "$program_file" ] || return 0
    for entry in /proc/[0-9]*; do
        [ "$entry/exe" -ef "$program_file" ] || continue
        # The parent is the field after the state that follows the command's name in parentheses.
        read -r stat <"$entry/stat" 2>/dev/null || continue
        stat=${stat##*) }
        stat=${stat#* }
        parent=${stat%% *}
        [ "/proc/$parent/exe" -ef "$program_file" ] || printf '%s\n' "${entry#/proc/}"
    done
}

# Ends every copy, a copy that one of them starts meanwhile too: each is sent one SIGTERM, and
# what is left after 5 s is killed.
end_copies() {
    local pids pid ended=" "
    pids=$(copies)
    [ -n "$pids" ] || return 0
    echo "run: ending QZ Config Tool (process $(echo $pids))"
    for _ in $(seq 50); do
        for pid in $pids; do
            case $ended in *" $pid "*) continue ;; esac
            ended="$ended$pid "
            kill -TERM "$pid" 2>/dev/null
        done
        sleep 0.1
        pids=$(copies)
        [ -n "$pids" ] || return 0
    done
    kill -KILL $pids 2>/dev/null
}

# Ends the process PID with SIGTERM and waits until it is gone, at most 10 s, then kills it.
# Not by `wait`: a child that ended while the script was taking a signal can be reaped unseen,
# and `wait` then waits for nothing.
end_process() {
    kill -TERM "$1" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$1" 2>/dev/null
}

stop_installation() {
    if [ -n "$testnet_pid" ]; then
        end_process "$testnet_pid"
        if [ -f "$dump" ]; then
            chown --reference="$(dirname "$dump")" "$dump"
            echo "run: the subscriptions of every unit are in $dump"
        else
            echo "run: the simulated installation wrote no subscriptions (no $dump)"
        fi
    fi
    testnet_pid=""
}

finish() {
    # Once begun, the clean-up runs to its end.
    trap '' INT TERM HUP
    end_copies
    stop_installation
    local link
    for link in "${adapters[@]}"; do
        ip link del "$link" 2>/dev/null
    done
    if [ -n "$xvfb_pid" ]; then
        end_process "$xvfb_pid"
    fi
    rm -f "$auth"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# ---- the installation of the program's settings ----

# The value of KEY in [SECTION] of the INI file FILE; nothing when there is none.
ini_value() {
    [ -r "$1" ] || return 0
    awk -v section="[$2]" -v key="$3" '
        { sub(/\r$/, "") }
        /^\[.*\]$/ { inside = ($0 == section); next }
        inside && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }' "$1"
}

# A saved count as the program reads it: LOW..HIGH, else FALLBACK.
saved_count() {
    local text=$1 low=$2 high=$3 fallback=$4
    if [[ $text =~ ^[0-9]{1,9}$ ]] && ((10#$text >= low && 10#$text <= high)); then
        echo $((10#$text))
    else
        echo "$fallback"
    fi
}

ktv4s=$(saved_count "$(ini_value "$settings" DEVICE KTV4S)" 1 4 1)
for ((i = 0; i < ${#testnet_options[@]}; i++)); do
    # A count given here decides which areas are counted, as the program's KTV4-S count does.
    if [ "${testnet_options[i]}" = --ktv4s ] && [[ ${testnet_options[i + 1]:-} =~ ^[0-4]$ ]]; then
        ktv4s=${testnet_options[i + 1]}
    fi
done
from_settings=(--ktv4s "$ktv4s" --area1 "$(saved_count "$(ini_value "$settings" DEVICE Area1)" 2 25 9)")
for area in 2 3 4; do
    units=0
    # Area n counts only with at least n KTV4-S units.
    [ "$ktv4s" -ge "$area" ] && units=$(saved_count "$(ini_value "$settings" DEVICE "Area$area")" 1 24 8)
    from_settings+=("--area$area" "$units")
done
saved_mac=$(ini_value "$settings" NIC MAC_Address)
if [[ $saved_mac =~ ^([0-9A-F]{2}:){5}[0-9A-F]{2}$ ]]; then
    from_settings+=(--current "$saved_mac")
fi

# The subscriptions named at the end are those of this session.
rm -f "$dump"
setsid "$testnet" "${from_settings[@]}" "${testnet_options[@]}" --dump "$dump" >"$log" 2>&1 &
testnet_pid=$!
for _ in $(seq 600); do
    grep -qx ready "$log" && break
    if ! kill -0 "$testnet_pid" 2>/dev/null; then
        echo "run: the simulated installation did not start:" >&2
        cat "$log" >&2
        testnet_pid=""
        exit 1
    fi
    sleep 0.1
done
if ! grep -qx ready "$log"; then
    echo "run: the simulated installation was not published within 60 s:" >&2
    cat "$log" >&2
    exit 1
fi
units=$(grep -c -E ' (KTV4-S|RQA-310) 127\.0\.0\.1:' "$log")
echo "run: simulated installation ready: $units units (log: $log inside the namespace)"
grep '^qz_testnet: --current' "$log"

# ---- the PC's adapters ----

n=0
for mac in $(awk '$1 == "interface" && NF >= 3 { print $2 }' "$log"); do
    link=eth$n
    ip link del "$link" 2>/dev/null
    if ip link add "$link" address "$mac" type veth peer name "$link-peer" 2>/dev/null; then
        adapters+=("$link")
        ip addr add "192.168.$((n + 1)).10/24" dev "$link" && ip link set "$link-peer" up && ip link set "$link" up
    else
        echo "run: no adapter for the interface $mac: the program shows no IP address for it" >&2
    fi
    n=$((n + 1))
    [ $n -ge 250 ] && break
done

# ---- the program ----

unset WAYLAND_DISPLAY
# The namespace's /run is its own: give the program a runtime directory there.
runtime_user=${SUDO_USER:-root}
[ ${#run_as[@]} -eq 0 ] && runtime_user=root
runtime_uid=$(id -u "$runtime_user")
mkdir -p "/run/user/$runtime_uid" && chown "$runtime_user" "/run/user/$runtime_uid" && chmod 0700 "/run/user/$runtime_uid" &&
    export XDG_RUNTIME_DIR="/run/user/$runtime_uid"
export AVAHI_COMPAT_NOWARN=1
# The program writes a debug line (to standard error, as its warnings) for every key of every
# device of the patch plan that Apply reads: the session's output leaves them out and keeps the
# warnings. QT_LOGGING_RULES=default.debug=true shows them.
export QT_LOGGING_RULES=${QT_LOGGING_RULES:-default.debug=false}
# The session's cookie file, XAUTHORITY of the program and its copies: COOKIE for the display NAME.
add_cookie() {
    (umask 077 && touch "$auth" && xauth -q -f "$auth" add "$1" . "$2") || {
        echo "run: no cookie for the X display $1 (xauth)" >&2
        exit 1
    }
    [ ${#run_as[@]} -gt 0 ] && chown "$SUDO_USER" "$auth"
    export XAUTHORITY=$auth
}

mkdir -p "$x11" && chmod 1777 "$x11"
display_socket=""
if [ -z "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    # A display of our own rather than xvfb-run's, which would go with the first copy. The /tmp
    # the session shares with the PC holds the PC's displays: the virtual display gets a /tmp of
    # its own (a mount namespace of its own) for its lock file, puts its socket file in the
    # session's /tmp/.X11-unix, and takes the first display whose socket in the session's network
    # namespace is free. The server reads its cookie whatever display the entry names; clients
    # look it up by the display's name. It does not reset when its last client leaves: a server
    # that resets drops a client that connects meanwhile, the program's new copy after a restart.
    # The keymap it compiles at its start goes to a /var/lib/xkb of its own: the server names it
    # by the display's number, which a server of the PC's or of another session may share.
    cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
    rm -f "$auth"
    add_cookie :0 "$cookie"
    : >/run/qz-xvfb.display
    setsid unshare --mount --propagation private sh -c \
        'mount -t tmpfs -o mode=1777 tmpfs /tmp && mkdir /tmp/.X11-unix && mount --bind "$1" /tmp/.X11-unix &&
         { [ ! -d /var/lib/xkb ] || mount -t tmpfs -o mode=0755 tmpfs /var/lib/xkb; } && shift && exec "$@"' sh "$x11" \
        Xvfb -displayfd 3 -auth "$auth" -noreset -screen 0 1024x768x24 -nolisten tcp \
        3>/run/qz-xvfb.display 2>/run/qz-xvfb.log &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s /run/qz-xvfb.display ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s /run/qz-xvfb.display ]; then
        echo "run: the virtual X display did not start:" >&2
        cat /run/qz-xvfb.log >&2
        exit 1
    fi
    export DISPLAY=":$(head -n 1 /run/qz-xvfb.display)"
    add_cookie "$DISPLAY" "$cookie"
    echo "run: no X display; QZ Config Tool runs on the virtual X display $DISPLAY (stop it with Ctrl+C)."
elif [ -n "${DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-xcb}" = xcb ]; then
    if [[ $DISPLAY =~ ^(unix)?:([0-9]+)(\.[0-9]+)?$ ]]; then
        # A display of this PC's, reached through its socket file.
        number=${BASH_REMATCH[2]}
        display_socket=/tmp/.X11-unix/X$number
        if [ ! -S "$display_socket" ]; then
            echo "run: the X display $DISPLAY has no socket $display_socket that the session could reach" >&2
            exit 1
        fi
        : >"$x11/X$number"
    elif [[ $DISPLAY =~ ^([^:/]+):([0-9]+)(\.[0-9]+)?$ ]] && [ -S "${QZ_DISPLAY_RELAY:-}" ]; then
        # A display reached by TCP, out of the session's network namespace: the relay scripts/run
        # started on the PC's network takes the program's connections to its socket on to the
        # display. Here it is that display's socket file, and the program takes it with that
        # display's cookie.
        number=${BASH_REMATCH[2]}
        cookie=$(xauth list "$DISPLAY" 2>/dev/null | awk '$2 == "MIT-MAGIC-COOKIE-1" { print $3; exit }')
        display_socket=$QZ_DISPLAY_RELAY
        : >"$x11/X$number"
        echo "run: QZ Config Tool runs on the X display $DISPLAY, through a relay (:$number in the session)."
        export DISPLAY=":$number${BASH_REMATCH[3]}"
        [ -n "$cookie" ] && add_cookie "$DISPLAY" "$cookie"
    else
        echo "run: the session cannot reach the X display $DISPLAY" >&2
        exit 1
    fi
fi
unset QZ_DISPLAY_RELAY
program_ns=()
if [ -n "${DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-xcb}" = xcb ]; then
    export QT_QPA_PLATFORM=xcb
    # The program's mount namespace, with the session's /tmp/.X11-unix over the PC's (made when
    # the PC has none, as an X server would).
    [ -d /tmp/.X11-unix ] || mkdir -m 1777 /tmp/.X11-unix
    program_ns=(unshare --mount --propagation private sh -c
        '{ [ -z "$1" ] || mount --bind "$1" "$3/X$2"; } && mount --rbind "$3" /tmp/.X11-unix && shift 3 && exec "$@"'
        sh "$display_socket" "${number:-}" "$x11")
fi

# In the background, so that a signal to this script alone ends the session at once; with
# Ctrl+C and Ctrl+\ as they would be in the foreground.
env --default-signal=INT,QUIT "${program_ns[@]}" "${run_as[@]}" "$@" <&0 &
wait $!
rc=$?

# ---- its restarts ----

seen=" "
restarts=()
warned=0
while :; do
    pids=$(copies)
    # A copy that started its successor and ended while it was looked for leaves the successor to
    # the next look.
    [ -n "$pids" ] || pids=$(copies)
    [ -n "$pids" ] || break
    for pid in $pids; do
        case $seen in *" $pid "*) continue ;; esac
        seen="$seen$pid "
        echo "run: QZ Config Tool restarted itself (process $pid)"
        restarts+=("$SECONDS")
        recent=()
        for t in "${restarts[@]}"; do
            ((SECONDS - t < 60)) && recent+=("$t")
        done
        restarts=("${recent[@]}")
        if [ ${#restarts[@]} -le 3 ]; then
            warned=0
        elif [ $warned -eq 0 ]; then
            warned=1
            saved_mac=$(ini_value "$settings" NIC MAC_Address)
            cat >&2 <<EOF
run: QZ Config Tool has restarted ${#restarts[@]} times within a minute. It restarts whenever the
     configuration service reports another interface in use than the one its settings name
     ("NIC/MAC_Address": ${saved_mac:-none} in $settings), and the service does not stay on it.
     To reset the saved interface, end the program (close its window or press Ctrl+C) and
     delete the MAC_Address line from the [NIC] section of that file.
EOF
        fi
    done
    sleep 0.5
done
exit $rc
