#!/usr/bin/env bash
# Builds every libFuzzer target (clang, ASan+UBSan, in build/fuzz) and runs each for SECONDS
# (default 60), one after another, over its seed corpus. The targets are the ctest entries whose
# names end in "_fuzz" (declared in tests/fuzz/CMakeLists.txt). Prints each run's closing
# figures; exits non-zero when any target fails to build or finds a fault (logs in
# build/logs/fuzz-*.log).
set -uo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-$(nproc)}
logs="$root/build/logs"
mkdir -p "$logs"

if ! CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMRIM_FUZZ=ON \
       -DMRIM_SANITIZE=address,undefined -DMRIM_FUZZ_SECONDS="$seconds" >"$logs/fuzz-configure.log" 2>&1 ||
   ! cmake --build build/fuzz -j"$jobs" --target fuzz_targets >"$logs/fuzz-build.log" 2>&1; then
  tail -n 40 "$logs/fuzz-build.log" "$logs/fuzz-configure.log" 2>/dev/null
  echo "fuzz build failed"
  exit 1
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
targets=$(cd build/fuzz && ctest -N | sed -nE 's/^ *Test +#[0-9]+: +([A-Za-z0-9_]+_fuzz)$/\1/p')
if [ -z "$targets" ]; then
  echo "no fuzz targets found"
  exit 1
fi

failed=0
for target in $targets; do
  log="$logs/fuzz-$target.log"
  # ctest also runs the target's seed writers first (its fixtures).
  (cd build/fuzz && ctest -R "^${target}\$" -V) >"$log" 2>&1
  code=$?
  runs=$(grep -oE 'stat::number_of_executed_units: +[0-9]+' "$log" | tail -n 1 | awk '{print $2}')
  rate=$(grep -oE 'stat::average_exec_per_sec: +[0-9]+' "$log" | tail -n 1 | awk '{print $2}')
  coverage=$(grep -oE 'DONE[[:space:]]+cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 | sed -E 's/.*(cov: .*)/\1/')
  if [ $code -eq 0 ]; then
    echo "$target: ok, ${runs:-?} runs in $seconds s (${rate:-?}/s), ${coverage:-no coverage figure}"
  else
    failed=$((failed + 1))
    echo "$target: FAILED (log $log)"
    grep -E -A 20 "ERROR: |runtime error|==[0-9]+==" "$log" | head -n 40
  fi
done
[ $failed -eq 0 ]
