#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test: the full build under a
# display with a window manager (unit, integration, end-to-end with a Wayland session, the
# Debian package, stress), the unit and integration tests again under ASan + UBSan, each
# fuzz target for 20 seconds, and the Windows layer cross-built with mingw-w64 and tested
# under Wine.
# Exits non-zero on any failure. TRBROWSER_FUZZ_SECONDS changes the fuzzing time.
set -euo pipefail
cd "$(dirname "$0")/.."

# phase NAME COMMAND...: runs COMMAND and says how long it took.
phase() {
  local start=$SECONDS rc=0
  "${@:2}" || rc=$?
  echo "test.sh: $1 took $((SECONDS - start)) s" >&2
  return $rc
}
jobs=$(nproc)
phase dependencies scripts/deps.sh
# The portable core's unit and integration tests run once, under the sanitizers below.
cmake --preset default -DTRBROWSER_CORE_TESTS=OFF >/dev/null
phase "default build" cmake --build --preset default -j "$jobs"
cmake --preset asan >/dev/null

# The sanitizer and Windows builds run behind the tests at the lowest priority: the display
# tests mostly wait for the browser and the window manager, and leave a core idle that the
# builds take without slowing them.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# background NAME COMMAND...: runs COMMAND at the lowest priority into NAME.log, says there how
# long it took, and writes its exit status to NAME.status when it ends.
background() {
  local start=$SECONDS rc=0
  nice -n 19 "${@:2}" >"$logs/$1.log" 2>&1 || rc=$?
  echo "(took $((SECONDS - start)) s)" >>"$logs/$1.log"
  echo $rc >"$logs/$1.status"
}
(background asan cmake --build --preset asan -j "$jobs"
  background windows bash tests/windows/run.sh build) &
# finished NAME: waits for that build in the background and returns its status; shows the end
# of its log, or all of it when it failed.
finished() {
  while [[ ! -f "$logs/$1.status" ]]; do sleep 1; done
  local rc
  rc=$(cat "$logs/$1.status")
  echo "test.sh: the $1 build, in the background, ended with status $rc:" >&2
  if [[ $rc -eq 0 ]]; then tail -n 3 "$logs/$1.log"; else cat "$logs/$1.log"; fi
  return "$rc"
}

status=0
# A test that fails here is printed and run once more; only a second failure fails the run. The
# display tests wait on a real engine and window manager beside the two background builds, and
# one retry keeps a slow moment on a loaded machine from failing the run; a fault that shows
# every time still fails.
phase "tests" scripts/with-display.sh ctest --preset default -j 2 --repeat until-pass:2 || status=1
if phase "waiting for the asan build" finished asan; then
  phase "asan tests" ctest --preset asan -j "$jobs" || status=1
  phase fuzzing tests/fuzz/run.sh "${TRBROWSER_FUZZ_SECONDS:-20}" || status=1
else
  status=1
fi
if phase "waiting for the windows build" finished windows; then
  phase "windows tests" bash tests/windows/run.sh test || status=1
else
  status=1
fi
exit $status
