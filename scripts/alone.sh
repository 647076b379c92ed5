#!/usr/bin/env bash
# Runs a program alone, on this PC's own network; scripts/run --alone starts it.
#
#   alone.sh PROGRAM [ARGS...]
#
# - The program runs on the display, or on a virtual X display of its own when there is none (no
#   DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM): the first free display number, for this run's
#   cookie alone; it does not reset when its last client leaves. The cookie and the display's
#   number are in a directory of the run's own (mktemp -d), which goes with the run.
# - The run lasts as long as its own copies of the program: the one it starts, and those that
#   their restarts start. They carry the run's mark in their environment, which a restarted copy
#   inherits, and are found by it alone (a rebuild that replaces the program's file meanwhile
#   leaves them the run's); a copy of the program started otherwise on this PC keeps nothing
#   waiting.
# - Ctrl+C, SIGTERM or a closed terminal end every own copy (a restarted one runs in a session of
#   its own, which Ctrl+C does not reach), then the virtual display.
#
# The exit code is the first copy's, or 130/143/129 after Ctrl+C, SIGTERM or SIGHUP.
set -uo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 PROGRAM [ARGS...]" >&2
  exit 2
fi
program=$(readlink -f "$1")
shift
mark="QZ_RUN_ALONE=$$.$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"

# The processes that carry the mark.
own_copies() {
  local entry
  for entry in /proc/[0-9]*; do
    # Other users' processes are not to be read: quietly passed over.
    { tr '\0' '\n' <"$entry/environ"; } 2>/dev/null | grep -qxF "$mark" && echo "${entry#/proc/}"
  done
  return 0
}

xvfb_pid=""
files=""
finish() {
  # Once begun, the clean-up runs to its end.
  trap '' INT TERM HUP
  local pids
  pids=$(own_copies)
  if [ -n "$pids" ]; then
    echo "run: ending QZ Config Tool (process $(echo $pids))"
    kill -TERM $pids 2>/dev/null
    for _ in $(seq 50); do
      pids=$(own_copies)
      [ -n "$pids" ] || break
      sleep 0.1
    done
    [ -z "$pids" ] || kill -KILL $pids 2>/dev/null
  fi
  if [ -n "$xvfb_pid" ]; then
    kill -TERM "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  [ -z "$files" ] || rm -rf "$files"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  # In a session of its own, so that Ctrl+C does not reach it: the copies end while it still runs.
  files=$(mktemp -d "${TMPDIR:-/tmp}/qz-alone.XXXXXX") || exit 1
  auth=$files/auth
  : >"$auth"
  cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
  xauth -q -f "$auth" add :0 . "$cookie"
  setsid Xvfb -displayfd 3 -auth "$auth" -noreset -screen 0 1024x768x24 -nolisten tcp \
    3>"$files/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$files/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$files/display" ]; then
    echo "run: the virtual X display did not start (Xvfb)" >&2
    exit 1
  fi
  export DISPLAY=":$(head -n 1 "$files/display")"
  xauth -q -f "$auth" add "$DISPLAY" . "$cookie"
  export XAUTHORITY=$auth
  echo "run: no display; QZ Config Tool runs on the virtual X display $DISPLAY (stop it with Ctrl+C)."
fi

# In the background, so that a signal to this script alone ends the run at once; with Ctrl+C
# and Ctrl+\ as they would be in the foreground.
env --default-signal=INT,QUIT "$mark" "$program" "$@" <&0 &
wait $!
rc=$?
while [ -n "$(own_copies)" ]; do
  sleep 0.5
done
exit $rc
