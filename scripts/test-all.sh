#!/usr/bin/env bash
# Builds everything and runs every test: the check that the tree names only reserved example
# hosts and addresses, the check of the plug-in's layers (scripts/check-layers.sh), the Linux
# tests in three configurations (plain, ASan+UBSan, TSan; each loads both builds of the plug-in,
# the release and the diagnostic one), the Windows DLL's own checks, the package made from it,
# the DLL under Wine, and a bounded run of every fuzz target.
# Ends with one summary line "N passed, M failed, K skipped". The Wine check is the one that may
# be skipped: on a machine that does not execute 32-bit programs it cannot run at all, and it
# says why.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-$(nproc)}
logs="$root/build/logs"

bash scripts/setup.sh all || { echo "setup failed"; echo "0 passed, 1 failed, 0 skipped"; exit 1; }
mkdir -p "$logs"

passed=0
failed=0
skipped=0
failures=()

record() {  # name, exit code
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$1")
  fi
}

# Adds the counts from a ctest run's closing line; a run that never got there counts as one failure.
record_ctest() {  # name, log file, exit code
  local line total failed_here
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$2" | tail -n 1)
  if [ -z "$line" ]; then
    record "$1 (no test run)" 1
    return
  fi
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  failed_here=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - failed_here))
  failed=$((failed + failed_here))
  if [ "$failed_here" -ne 0 ] || [ "$3" -ne 0 ]; then
    failures+=("$1: $(grep -E '^\s+[0-9]+ - ' "$2" | head -n 20 | tr -s ' ' | tr '\n' ';')")
    [ "$failed_here" -eq 0 ] && failed=$((failed + 1))
  fi
  echo "$1: $line"
}

build_linux() {  # name, extra cmake arguments...
  local name=$1
  shift
  echo "== building $name"
  cmake -S . -B "build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$logs/$name-configure.log" 2>&1 &&
    cmake --build "build/$name" -j"$jobs" >"$logs/$name-build.log" 2>&1
}

run_linux() {  # name, extra cmake arguments...
  local name=$1
  if ! build_linux "$@"; then
    tail -n 40 "$logs/$name-build.log" "$logs/$name-configure.log" 2>/dev/null
    record "$name build" 1
    return
  fi
  echo "== testing $name"
  (cd "build/$name" && ctest -j"$jobs" --timeout 600 --output-on-failure) >"$logs/$name-test.log" 2>&1
  local code=$?
  record_ctest "$name" "$logs/$name-test.log" $code
  [ $code -ne 0 ] && grep -E -A 30 "\*\*\*Failed|Exception|Timeout" "$logs/$name-test.log" | head -n 80
}

echo "== checking names"
bash scripts/check-names.sh >"$logs/names.log" 2>&1
code=$?
tail -n 20 "$logs/names.log"
record "names reserved for examples" $code

echo "== checking layers"
bash scripts/check-layers.sh >"$logs/layers.log" 2>&1
code=$?
tail -n 20 "$logs/layers.log"
record "plug-in layers include only downwards" $code

echo "== checking the C++ formatting"
bash scripts/format.sh --check >"$logs/format.log" 2>&1
code=$?
tail -n 20 "$logs/format.log"
record "C++ sources formatted" $code

run_linux linux
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# The sanitizer builds are unoptimised: GCC 12's flow warnings (array bounds, string
# overflow, maybe-uninitialized) misfire inside libstdc++ when instrumentation meets -O2.
run_linux asan -DMRIM_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
run_linux tsan -DMRIM_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug

echo "== building win"
# The release build, as scripts/package.sh makes it: the package step below then builds nothing.
if cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
     -DMRIM_DIAGNOSTIC=OFF >"$logs/win-configure.log" 2>&1 && cmake --build build/win -j"$jobs" >"$logs/win-build.log" 2>&1; then
  record "win build" 0
  # Read from the file on the Linux side: runs on every machine, 32-bit or not.
  bash scripts/check-dll.sh build/win/MRIM.dll build/linux/apps/dll-check/dll-check >"$logs/win-dll.log" 2>&1
  code=$?
  cat "$logs/win-dll.log"
  record "win dll format, entry points, imports and resources" $code
  echo "== package"
  if JOBS=$jobs bash scripts/package.sh >"$logs/package.log" 2>&1; then
    bash scripts/check-package.sh "$(tail -n 1 "$logs/package.log")" 2>&1 | tee -a "$logs/package.log"
    code=${PIPESTATUS[0]}
  else
    tail -n 20 "$logs/package.log"
    code=1
  fi
  record "package: stripped DLL, its symbols, README and licence" $code
  echo "== wine check"
  if why=$(bash scripts/can-run-32bit.sh); then
    # With the Linux server stand-in the check also takes the DLL online and offline on loopback.
    server="$root/build/linux/apps/mrim-server/mrim-server"
    if [ -x "$server" ]; then export MRIM_SERVER="$server"; fi
    bash scripts/wine-check.sh build/win >"$logs/wine.log" 2>&1
    code=$?
    cat "$logs/wine.log"
    record "wine check" $code
  else
    echo "wine check skipped: $why"
    skipped=$((skipped + 1))
  fi
else
  tail -n 40 "$logs/win-build.log" "$logs/win-configure.log" 2>/dev/null
  record "win build" 1
fi

# Every fuzz target for a short bounded time each (the figures are in the log).
if [ -f scripts/fuzz.sh ]; then
  echo "== fuzzing every target for ${FUZZ_SECONDS:-20} s each"
  JOBS=$jobs bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}" >"$logs/fuzz.log" 2>&1
  code=$?
  tail -n 20 "$logs/fuzz.log"
  record "fuzz" $code
fi

echo
for failure in "${failures[@]}"; do echo "FAILED: $failure"; done
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
