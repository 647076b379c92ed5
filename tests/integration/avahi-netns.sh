#!/usr/bin/env bash
# Runs a test program against a real avahi-daemon that cannot reach any network.
#
#   avahi-netns.sh PROGRAM [ARGS...]
#
# The program runs in private network, mount and PID namespaces: the only interface is the loopback
# (with multicast switched on), /run is a private tmpfs holding a D-Bus system bus and an
# avahi-daemon of our own (allow-interfaces=lo, use-ipv6=no, enable-wide-area=no), and
# /run/qz-netns names the namespace, so that scripts meant only for it can tell it from a PC's.
# Nothing is announced beyond the namespace, and nothing started here outlives it: the
# namespace's first process is this script, so the kernel ends every process in it when the script
# ends; the trap stops the daemons in order before that, once the program has ended. Should the
# script be killed from outside (kill -9), the namespace is sent a SIGTERM and ends the same way.
#
# A SIGTERM or SIGHUP sent to this script alone (as kill or a service manager sends it) goes on to
# the program at once; Ctrl+C reaches the program as the terminal's job, and not the daemons,
# which run in sessions of their own. Either way the script waits for the program to end before it
# stops the daemons.
#
# Exit codes: the program's, or 77 (skipped) when not run as root, 1 when the set-up fails.
set -uo pipefail

SKIP=77

if [ "${1:-}" != "--inside" ]; then
    if [ $# -lt 1 ]; then
        echo "usage: $0 PROGRAM [ARGS...]" >&2
        exit 2
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIPPED: the avahi integration test needs root (network namespace, private avahi-daemon)"
        exit $SKIP
    fi
    for tool in unshare setpriv setsid ip avahi-daemon dbus-daemon dbus-send; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "avahi-netns: $tool is missing (scripts/setup installs it)" >&2
            exit 1
        fi
    done
    program=$(readlink -f "$1")
    if [ -z "$program" ] || [ ! -x "$program" ]; then
        echo "avahi-netns: $1 is not an executable program" >&2
        exit 1
    fi
    shift
    # unshare passes no signal on to the namespace: this script does, to the namespace's first
    # process. Started in the background, with Ctrl+C and Ctrl+\ as they would be in the
    # foreground. unshare ends with this script, and the namespace is then sent a SIGTERM.
    env --default-signal=INT,QUIT setpriv --pdeathsig KILL \
        unshare --net --mount --pid --fork --kill-child=TERM --mount-proc --propagation private \
        bash "$(readlink -f "$0")" --inside "$(readlink /proc/self/ns/net)" "$program" "$@" <&0 &
    namespace=$!
    pass_on() {
        local first
        first=$(pgrep -P "$namespace")
        [ -n "$first" ] && kill -"$1" $first 2>/dev/null
    }
    trap 'pass_on TERM' TERM
    trap 'pass_on HUP' HUP
    trap : INT
    while :; do
        wait "$namespace"
        rc=$?
        kill -0 "$namespace" 2>/dev/null || exit $rc
    done
fi

# ---- inside the namespaces ----
shift
outside=$1
program=$2
shift 2

dbus_pid=""
avahi_pid=""
cleanup() {
    local rc=$?
    if [ -n "$avahi_pid" ] && kill -0 "$avahi_pid" 2>/dev/null; then
        kill "$avahi_pid" 2>/dev/null
        wait "$avahi_pid" 2>/dev/null
    fi
    if [ -n "$dbus_pid" ] && kill -0 "$dbus_pid" 2>/dev/null; then
        kill "$dbus_pid" 2>/dev/null
        wait "$dbus_pid" 2>/dev/null
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "avahi-netns: $*" >&2
    if [ -s /run/qz-avahi.log ]; then
        echo "--- avahi-daemon output ---" >&2
        cat /run/qz-avahi.log >&2
    fi
    exit 1
}

[ "$(readlink /proc/self/ns/net)" != "$outside" ] || fail "not in a network namespace of its own"
ip link set lo up || fail "cannot bring up the loopback"
ip link set lo multicast on || fail "cannot switch on multicast on the loopback"

mount -t tmpfs -o mode=0755 tmpfs /run || fail "cannot mount a private /run"
readlink /proc/self/ns/net >/run/qz-netns
mkdir -p /run/dbus /run/avahi-daemon
chmod 0755 /run/dbus

setsid dbus-daemon --system --nofork --nopidfile --nosyslog >/run/qz-dbus.log 2>&1 &
dbus_pid=$!
for _ in $(seq 100); do
    [ -S /run/dbus/system_bus_socket ] && break
    kill -0 "$dbus_pid" 2>/dev/null || fail "the D-Bus system bus did not start: $(cat /run/qz-dbus.log)"
    sleep 0.05
done
[ -S /run/dbus/system_bus_socket ] || fail "the D-Bus system bus did not start"

cat >/run/qz-avahi.conf <<'EOF'
[server]
host-name=qz-integration
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
EOF

setsid avahi-daemon -f /run/qz-avahi.conf --no-chroot --no-drop-root --no-rlimits --no-proc-title \
    >/run/qz-avahi.log 2>&1 &
avahi_pid=$!

# Wait until the daemon says it runs (server state 2) on the bus.
state=""
for _ in $(seq 200); do
    kill -0 "$avahi_pid" 2>/dev/null || fail "avahi-daemon exited"
    state=$(dbus-send --system --print-reply=literal --reply-timeout=500 --dest=org.freedesktop.Avahi / \
        org.freedesktop.Avahi.Server.GetState 2>/dev/null | tr -d ' ')
    [ "$state" = "int322" ] && break
    sleep 0.05
done
[ "$state" = "int322" ] || fail "avahi-daemon did not reach the running state (state: ${state:-none})"

export AVAHI_COMPAT_NOWARN=1
env --default-signal=INT,QUIT "$program" "$@" <&0 &
program_pid=$!
trap 'kill -TERM $program_pid 2>/dev/null' TERM
trap 'kill -HUP $program_pid 2>/dev/null' HUP
trap : INT
while :; do
    wait $program_pid
    rc=$?
    kill -0 $program_pid 2>/dev/null || exit $rc
done
