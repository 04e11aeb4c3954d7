#!/usr/bin/env bash
# The Windows layer without Windows: installs what is missing, cross-builds the preset "windows"
# (mingw-w64), runs its tests under Wine; ends with "N passed, N failed", non-zero on a failure.
# Usage: tests/windows/run.sh [build|test]   (only that half; both by default)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD mode=${1:-all}
export WINEPREFIX="$root/build-windows/wineprefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="  # a crash ends, with no debugger

build() {
  missing=()
  for p in cmake ninja-build googletest g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64-posix dpkg-dev \
    perl python3 unicode-data wine wine64 xvfb xauth openbox x11-utils; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if [[ ${#missing[@]} -gt 0 ]]; then
    sudo=$([[ $(id -u) -eq 0 ]] || echo sudo)
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
      --no-install-recommends "${missing[@]}"
  fi

  # No mingw builds of RE2 and PCRE2 in Debian: bookworm's source packages, through deb-src
  # entries.
  deps="$root/build-windows/deps" apt_dir="$root/build-windows/apt"
  if [[ ! -f "$deps/re2/CMakeLists.txt" || ! -f "$deps/pcre2/CMakeLists.txt" ]]; then
    rm -rf "$apt_dir" "$deps"
    mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$deps/src"
    [[ ! -f /etc/apt/sources.list.d/debian.sources ]] || sed 's/^Types:.*/Types: deb-src/' \
      /etc/apt/sources.list.d/debian.sources >"$apt_dir/parts/debian.sources"
    [[ ! -f /etc/apt/sources.list ]] || sed -n 's/^deb /deb-src /p' /etc/apt/sources.list \
      >"$apt_dir/parts/debian.list"
    apt=(apt-get -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/parts"
      -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
    "${apt[@]}" update -qq
    (cd "$deps/src" && "${apt[@]}" source -qq re2/bookworm pcre2/bookworm >/dev/null 2>&1)
    mv "$deps"/src/re2-*/ "$deps/re2" && mv "$deps"/src/pcre2-*/ "$deps/pcre2"
    rm -rf "$deps/src" "$apt_dir"
    # Debian's RE2 sources leave out the generated tables; make them as its build does.
    (cd "$deps/re2" && perl re2/make_perl_groups.pl >re2/perl_groups.cc &&
      python3 re2/make_unicode_casefold.py >re2/unicode_casefold.cc &&
      python3 re2/make_unicode_groups.py >re2/unicode_groups.cc)
  fi

  cmake --preset windows >/dev/null
  cmake --build --preset windows -j "$(nproc)"
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    env -u DISPLAY wineboot -i >/dev/null 2>&1 && wineserver -w
  fi
}
if [[ $mode != test ]]; then build; fi
[[ $mode != build ]] || exit 0

# A Windows pipe reply is one blocking WriteFile, so a controller that stops reading can hold
# up the stop (docs/windows.md): that Linux case is left out here.
skipped="PipeFraming.ControllerThatStopsReadingCannotHoldUpTheStop"
passed=0 failed=0 logs="$root/build-windows/test-logs"
mkdir -p "$logs"
# run NAME COMMAND...: NAME.exe under COMMAND, counted from gtest's lines (the exit status from
# inside Wine's desktop does not come back); a run without gtest's closing line failed.
run() {
  local log="$logs/$1.log" status=0 bad
  (cd build-windows && timeout 600 "${@:2}" "./$1.exe" --gtest_filter="-$skipped" >"$log" 2>&1) ||
    status=$?
  grep -E '^\[  (PASSED|FAILED)  \]|: Failure$' "$log" >&2 || true
  passed=$((passed + $(grep -cE '^\[       OK \]' "$log" || true)))
  bad=$(grep -cE '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$log" || true)
  if [[ $bad -eq 0 ]] && { [[ $status -ne 0 ]] || ! grep -qE '^\[=+\] [0-9]+ tests? from .* ran\.' "$log"; }; then
    echo "$1: ended (status $status) without finishing its tests; see $log" >&2
    bad=1
  fi
  failed=$((failed + bad))
}
for name in policy_tests pipe_unit_tests pipe_integration_tests; do run "$name" wine; done
# In Wine's desktop window, managed as Windows would; Wine's processes end before the display.
run win32_window_tests "$root/scripts/with-display.sh" bash -c '"$@"; s=$?; wineserver -k; exit $s' - \
  wine explorer /desktop=trbtest,1280x1024
wineserver -k 2>/dev/null || true
echo "$passed passed, $failed failed (skipped under Wine: $skipped)"
[[ $failed -eq 0 ]]
