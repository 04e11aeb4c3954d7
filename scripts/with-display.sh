#!/usr/bin/env bash
# Runs a command with an X display that has a window manager: the caller's own display when
# DISPLAY is set, otherwise a private Xvfb with openbox that is torn down afterwards.
# Usage: scripts/with-display.sh COMMAND [ARGS...]
set -euo pipefail

if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
  exec "$@"
fi

for n in $(seq 90 140); do
  [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || { display=":$n"; break; }
done
[[ -n "${display:-}" ]] || { echo "with-display: no free X display number in :90-:140" >&2; exit 1; }

Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
cleanup() {
  [[ -n "${wm_pid:-}" ]] && kill "$wm_pid" 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || { echo "with-display: Xvfb did not start on $display" >&2; exit 1; }
openbox --sm-disable >/dev/null 2>&1 &
wm_pid=$!
# The window manager owns the WM_S0 selection once it manages the screen.
for _ in $(seq 1 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
"$@"
