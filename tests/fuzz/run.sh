#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) into build-fuzz if needed and runs
# each for SECONDS seconds on its seed corpus, one after another, failing on the first crash, leak, sanitizer
# report or timeout. Prints each target's executions.
#   tests/fuzz/run.sh 60            every target for 60 s
#   tests/fuzz/run.sh 60 pages      one target
# New inputs found during a run go to build-fuzz/corpus/<target>, never into the repo.
# The random seed is fixed (TRBROWSER_FUZZ_SEED, default 1), so that a run from a clean
# checkout explores the same inputs on every machine, only more or fewer of them, and a
# failure in CI can be replayed; TRBROWSER_FUZZ_SEED=0 draws a new seed for exploring.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:?usage: tests/fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(pipe origins pages)

# The largest input of each target: reads of up to 2047 bytes for the pipe, long URLs for the
# allow-list, long page inputs for the pages.
declare -A max_len=([pipe]=8192 [origins]=16384 [pages]=65536)

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -q
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -q clang libclang-rt-14-dev
fi

build=build-fuzz
if [ ! -f "$build/build.ninja" ]; then
  CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRBROWSER_FUZZ=ON -DTRBROWSER_SANITIZE=ON -DTRBROWSER_WITH_BROWSER=OFF \
    -DTRBROWSER_BENCH=OFF >/dev/null
fi
ninja -C "$build" "${targets[@]/%/_fuzzer}" >/dev/null

# The targets run one after another, each on a core of its own, so that each one's rate is its
# own and not a share of a busy machine.
run_one() {
  local t=$1 work="$build/corpus/$1" log="$build/$1.log"
  mkdir -p "$work" "$build/artifacts/$t"
  # -timeout: no single input may take long (a hang is a finding); -rss_limit_mb: nor much
  # memory. Crash inputs land in build-fuzz/artifacts/<target>/. The allow-list's budget
  # bounds a check to about 10 ms in a release build; the slowest origins inputs are lists
  # that std::regex judges slowly (counted repeats it expands to 100,000 states), which the
  # instrumentation and sanitizers make take seconds: the limit leaves room for that on a
  # slow machine while still catching anything unbounded.
  if "$build/${t}_fuzzer" "$work" "tests/fuzz/corpus/$t" -max_total_time="$seconds" \
      -max_len="${max_len[$t]}" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -seed="${TRBROWSER_FUZZ_SEED:-1}" \
      -artifact_prefix="$build/artifacts/$t/" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz $t: ok, ${execs:-?} executions in ${seconds} s (${rate:-?} per second)"
  else
    echo "fuzz $t: FAILED (log $log, input in $build/artifacts/$t/)"
    grep -m 20 -E 'ERROR|SUMMARY|pipe_fuzzer|origins_fuzzer|pages_fuzzer|Test unit written' "$log" || true
    return 1
  fi
}

status=0
for t in "${targets[@]}"; do run_one "$t" || status=1; done
exit $status
