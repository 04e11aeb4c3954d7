#!/usr/bin/env bash
# The Windows layer without a Windows machine: installs the cross compiler and Wine (apt-get,
# only what is missing), cross-builds the preset "windows" into build-windows, and runs the
# test executables under Wine in a private prefix, the window tests on an X display with a
# window manager. Ends with "N passed, N failed" and exits non-zero on any failure.
# Usage: tests/windows/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

# --- Packages -------------------------------------------------------------------------------
packages=(
  cmake ninja-build googletest g++-mingw-w64-x86-64 wine wine64
  xvfb xauth openbox x11-utils coreutils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo=""
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || {
      echo "windows tests: need root or sudo to install: ${missing[*]}" >&2
      exit 1
    }
    sudo=sudo
  fi
  echo "windows tests: installing ${missing[*]}" >&2
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}"
fi

# --- Cross build ----------------------------------------------------------------------------
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"

# --- Wine -----------------------------------------------------------------------------------
export WINEPREFIX="$root/build-windows/wineprefix"
export WINEDEBUG=-all
export WINEARCH=win64
# A crashing test ends its process at once instead of waiting in Wine's debugger.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "windows tests: setting up the Wine prefix $WINEPREFIX" >&2
  env -u DISPLAY wineboot -i >/dev/null 2>&1
  wineserver -w
fi

# --- Tests ----------------------------------------------------------------------------------
# A Windows pipe reply is one blocking WriteFile, so a controller that never reads its
# replies can hold up the pipe thread's end (see docs/windows.md); this Linux case needs the
# socket transport's bounded write and is left out here.
skipped="PipeFraming.ControllerThatStopsReadingCannotHoldUpTheStop"

passed=0
failed=0
logs="$root/build-windows/test-logs"
mkdir -p "$logs"

# run NAME [WRAPPER...]: runs build-windows/NAME.exe under Wine and counts its results.
run() {
  local name=$1
  shift
  local log="$logs/$name.log" status=0
  echo "== $name" >&2
  (cd "$root/build-windows" &&
    timeout 600 "$@" wine "./$name.exe" --gtest_filter="-$skipped" >"$log" 2>&1) || status=$?
  local ok bad
  ok=$(grep -cE '^\[       OK \]' "$log" || true)
  bad=$(grep -cE '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$log" || true)
  passed=$((passed + ok))
  failed=$((failed + bad))
  grep -E '^\[  (PASSED|FAILED)  \]|Failure$|^.*: Failure' "$log" >&2 || true
  if [[ $status -ne 0 && $bad -eq 0 ]]; then
    echo "$name: exited with status $status without a failed test (crash or time-out); see $log" >&2
    failed=$((failed + 1))
  fi
}

run policy_tests
run pipe_unit_tests
run pipe_integration_tests
# Ends Wine's processes of this prefix while the display still exists.
run win32_window_tests "$root/scripts/with-display.sh" bash -c '"$@"; s=$?; wineserver -k; exit $s' -
echo "skipped under Wine: $skipped (blocking pipe writes; see docs/windows.md)" >&2

wineserver -k 2>/dev/null || true
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
