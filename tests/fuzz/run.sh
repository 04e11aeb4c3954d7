#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan: the asan preset) and runs each for
# SECONDS on its seed corpus, one after another, failing on a crash, leak, sanitizer report or
# slow input; prints each one's rate. New inputs go to build-asan/corpus/<target>, crashes to
# build-asan/artifacts/<target>/. The seed is fixed (TRBROWSER_FUZZ_SEED, default 1); 0 draws one.
# Usage: tests/fuzz/run.sh SECONDS [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:?usage: tests/fuzz/run.sh SECONDS [TARGET...]}
shift
read -ra targets <<<"${*:-pipe origins pages}"
declare -A max_len=([pipe]=8192 [origins]=16384 [pages]=65536)
if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  sudo=$([[ $(id -u) -eq 0 ]] || echo sudo)
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -q
  $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q clang libclang-rt-14-dev
fi
build=build-asan
[[ -f $build/build.ninja ]] || cmake --preset asan >/dev/null
ninja -C $build "${targets[@]/%/_fuzzer}" >/dev/null
# Two-frame allocation stacks in heap reports: recording whole ones costs the origins target 20%.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=2}
status=0
for t in "${targets[@]}"; do
  log=$build/$t.log
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  # -timeout: a check takes ~10 ms at most; the sanitized std::regex references, seconds.
  if "$build/${t}_fuzzer" "$build/corpus/$t" "tests/fuzz/corpus/$t" \
    -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -seed="${TRBROWSER_FUZZ_SEED:-1}" \
    -artifact_prefix="$build/artifacts/$t/" >"$log" 2>&1; then
    echo "fuzz $t: ok, $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") executions in" \
      "$seconds s ($(sed -n 's/^stat::average_exec_per_sec: *//p' "$log") per second)"
  else
    echo "fuzz $t: FAILED (log $log)"
    grep -m 20 -E 'ERROR|SUMMARY|_fuzzer|Test unit written' "$log" || true
    status=1
  fi
done
exit $status
