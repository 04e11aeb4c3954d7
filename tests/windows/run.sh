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
  cmake ninja-build googletest g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64-posix dpkg-dev perl python3 unicode-data
  wine wine64
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

# --- RE2 and PCRE2 sources ------------------------------------------------------------------
# Debian has no mingw builds of them, so the build compiles Debian's source packages (the
# versions bookworm ships). apt-get source fetches them through a private copy of the
# machine's Debian sources, turned into deb-src entries, so the machine's apt configuration
# stays as it is.
deps="$root/build-windows/deps"
if [[ ! -f "$deps/re2/CMakeLists.txt" || ! -f "$deps/pcre2/CMakeLists.txt" ]]; then
  apt_dir="$root/build-windows/apt"
  rm -rf "$apt_dir" "$deps"
  mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$deps/src"
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      >"$apt_dir/parts/debian.sources"
  fi
  if [[ -f /etc/apt/sources.list ]]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$apt_dir/parts/debian.list"
  fi
  apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
  echo "windows tests: fetching the RE2 and PCRE2 sources" >&2
  apt-get "${apt_opts[@]}" update -qq
  (cd "$deps/src" && apt-get "${apt_opts[@]}" source -qq re2/bookworm pcre2/bookworm >/dev/null 2>&1)
  mv "$deps"/src/re2-*/ "$deps/re2"
  mv "$deps"/src/pcre2-*/ "$deps/pcre2"
  rm -rf "$deps/src" "$apt_dir"
  # Debian's RE2 sources leave out its generated tables and make them from unicode-data,
  # as its own build does.
  (cd "$deps/re2" && perl re2/make_perl_groups.pl >re2/perl_groups.cc &&
    python3 re2/make_unicode_casefold.py >re2/unicode_casefold.cc &&
    python3 re2/make_unicode_groups.py >re2/unicode_groups.cc)
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

# run NAME COMMAND...: runs COMMAND (which starts build-windows/NAME.exe) in build-windows
# and counts the results from its output; the exit status of a program started inside
# Wine's desktop does not come back, so a run without gtest's closing summary is a failure.
run() {
  local name=$1
  shift
  local log="$logs/$name.log" status=0
  echo "== $name" >&2
  (cd "$root/build-windows" &&
    timeout 600 "$@" "./$name.exe" --gtest_filter="-$skipped" >"$log" 2>&1) || status=$?
  local ok bad
  ok=$(grep -cE '^\[       OK \]' "$log" || true)
  bad=$(grep -cE '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$log" || true)
  passed=$((passed + ok))
  failed=$((failed + bad))
  grep -E '^\[  (PASSED|FAILED)  \]|: Failure$' "$log" >&2 || true
  if [[ $bad -eq 0 ]] && { [[ $status -ne 0 ]] || ! grep -qE '^\[=+\] [0-9]+ tests? from .* ran\.' "$log"; }; then
    echo "$name: ended (status $status) without finishing its tests (crash or time-out); see $log" >&2
    failed=$((failed + 1))
  fi
}

run policy_tests wine
run pipe_unit_tests wine
run pipe_integration_tests wine
# Wine's own desktop window manages the test window as Windows would; an X window manager
# answers late and can undo a state the test has just set. The display's window manager is
# still there, as on any desktop. Wine's processes end while the display exists.
run win32_window_tests "$root/scripts/with-display.sh" bash -c \
  '"$@"; s=$?; wineserver -k; exit $s' - wine explorer /desktop=trbtest,1280x1024
echo "skipped under Wine: $skipped (blocking pipe writes; see docs/windows.md)" >&2

wineserver -k 2>/dev/null || true
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
