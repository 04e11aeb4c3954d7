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
cmake --preset default >/dev/null
phase "default build" cmake --build --preset default -j "$jobs"
cmake --preset asan >/dev/null
phase "asan build" cmake --build --preset asan -j "$jobs"

status=0
phase "tests" scripts/with-display.sh ctest --preset default -j 2 || status=1
phase "asan tests" ctest --preset asan -j "$jobs" || status=1
phase fuzzing tests/fuzz/run.sh "${TRBROWSER_FUZZ_SECONDS:-20}" || status=1
phase "windows layer" bash tests/windows/run.sh || status=1
exit $status
