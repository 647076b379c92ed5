#!/usr/bin/env bash
# Runs a test program in a private network namespace whose only interface is the loopback, up, with
# multicast switched on and the multicast range routed to it, so that the program can send and
# receive multicast without reaching any network.
#
#   lo-netns.sh PROGRAM [ARGS...]
#
# Exit codes: the program's, or 77 (skipped) when not run as root, 1 when the set-up fails.
set -uo pipefail

if [ "${1:-}" != "--inside" ]; then
    if [ $# -lt 1 ]; then
        echo "usage: $0 PROGRAM [ARGS...]" >&2
        exit 2
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIPPED: the test needs root (private network namespace)"
        exit 77
    fi
    for tool in unshare ip; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "lo-netns: $tool is missing" >&2
            exit 1
        fi
    done
    program=$(readlink -f "$1")
    shift
    exec unshare --net bash "$(readlink -f "$0")" --inside "$program" "$@"
fi

shift
program=$1
shift
ip link set lo up || { echo "lo-netns: cannot bring up the loopback" >&2; exit 1; }
ip link set lo multicast on || { echo "lo-netns: cannot switch on multicast" >&2; exit 1; }
ip route add 224.0.0.0/4 dev lo || { echo "lo-netns: cannot route multicast to the loopback" >&2; exit 1; }
exec "$program" "$@"
