#!/usr/bin/env bash
# Runs a command with an X display that has a window manager: the caller's own display when
# DISPLAY is set, otherwise a private Xvfb with openbox that is torn down afterwards.
# Usage: scripts/with-display.sh COMMAND [ARGS...]
set -euo pipefail

if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
  exec "$@"
fi

# Xvfb picks a free display number itself and writes it to the file descriptor it is given,
# so two of these started side by side cannot take the same number.
number_file=$(mktemp)
exec 3>"$number_file"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 3>&3 &
xvfb_pid=$!
exec 3>&-
cleanup() {
  [[ -n "${wm_pid:-}" ]] && kill "$wm_pid" 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -f "$number_file"
}
trap cleanup EXIT
for _ in $(seq 1 100); do [[ -s "$number_file" ]] && break; sleep 0.1; done
number=$(head -n 1 "$number_file" | tr -d '[:space:]')
[[ -n "$number" ]] || { echo "with-display: Xvfb did not start; is the xvfb package installed?" >&2; exit 1; }
export DISPLAY=":$number"
xdpyinfo >/dev/null 2>&1 || { echo "with-display: Xvfb on $DISPLAY does not answer" >&2; exit 1; }
# openbox announces itself through _NET_SUPPORTING_WM_CHECK on the root window once it
# manages the screen; tests that close windows through it need it up. Now and then openbox
# exits at start-up with status 1 and no message, so a dead one is started again.
start_wm() {
  openbox --sm-disable >/dev/null 2>&1 &
  wm_pid=$!
  for _ in $(seq 1 150); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
    kill -0 "$wm_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
for attempt in 1 2 3 4 5; do
  start_wm && break
  kill "$wm_pid" 2>/dev/null || true
  wait "$wm_pid" 2>/dev/null || true
  wm_pid=
  [[ $attempt -lt 5 ]] || { echo "with-display: openbox did not start on $DISPLAY" >&2; exit 1; }
done
"$@"
