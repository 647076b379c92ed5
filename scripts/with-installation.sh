#!/usr/bin/env bash
# Runs a program beside the simulated installation; scripts/run starts it inside the private
# network namespace of tests/integration/avahi-netns.sh, where an avahi-daemon of our own runs.
#
#   with-installation.sh QZ_TESTNET DUMP_FILE [QZ_TESTNET_OPTIONS...] -- PROGRAM [ARGS...]
#
# Starts qz_testnet, waits until every unit is published, runs the program on the display (or on
# a virtual one when there is none), then stops qz_testnet, which writes every unit's
# subscriptions to DUMP_FILE. The exit code is the program's.
set -uo pipefail

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

log=/run/qz-testnet.log
testnet_pid=""
stop_installation() {
    if [ -n "$testnet_pid" ]; then
        kill -TERM "$testnet_pid" 2>/dev/null
        wait "$testnet_pid" 2>/dev/null
        [ -f "$dump" ] && echo "run: the subscriptions of every unit are in $dump"
    fi
    testnet_pid=""
}
trap stop_installation EXIT
trap 'exit 130' INT TERM

"$testnet" "${testnet_options[@]}" --dump "$dump" >"$log" 2>&1 &
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

# The program runs as the user who asked for it when started through sudo, so that its settings
# stay that user's. Wayland sockets live under the user's /run, which the namespace hides: X only.
run_as=()
if [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] && command -v runuser >/dev/null 2>&1; then
    run_as=(runuser -u "$SUDO_USER" --)
    if [ -n "${DISPLAY:-}" ] && [ -z "${XAUTHORITY:-}" ]; then
        home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
        [ -r "$home/.Xauthority" ] && export XAUTHORITY="$home/.Xauthority"
    fi
fi
unset WAYLAND_DISPLAY
# The namespace's /run is its own: give the program a runtime directory there.
runtime_user=${SUDO_USER:-root}
[ ${#run_as[@]} -eq 0 ] && runtime_user=root
runtime_uid=$(id -u "$runtime_user")
mkdir -p "/run/user/$runtime_uid" && chown "$runtime_user" "/run/user/$runtime_uid" && chmod 0700 "/run/user/$runtime_uid" &&
    export XDG_RUNTIME_DIR="/run/user/$runtime_uid"
export AVAHI_COMPAT_NOWARN=1
if [ -z "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "run: no X display; starting QZ Config Tool on a virtual X display (stop it with Ctrl+C)."
    "${run_as[@]}" xvfb-run -a -s "-screen 0 1024x768x24" "$@"
else
    [ -n "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ] && export QT_QPA_PLATFORM=xcb
    "${run_as[@]}" "$@"
fi
rc=$?
stop_installation
exit $rc
