#!/usr/bin/env bash
# Builds everything and runs every test: the check that the tree names only reserved example
# hosts and addresses, the check of the plug-in's layers (scripts/check-layers.sh), the Linux
# tests in three configurations (plain, ASan+UBSan, TSan; each loads both builds of the plug-in,
# the release and the diagnostic one), the 32-bit and 64-bit Windows DLLs' own checks, the
# package made from them, each DLL under Wine, and a bounded run of every fuzz target.
# Ends with one summary line "N passed, M failed, K skipped". The 32-bit Wine check is the one
# that may be skipped: on a machine that does not execute 32-bit programs it cannot run at all,
# and it says why. The 64-bit one runs on every x86-64 machine.
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
  if [ $code -ne 0 ]; then
    grep -E -A 30 "\*\*\*Failed|Exception|Timeout|Subprocess aborted|SEGFAULT" "$logs/$name-test.log" | head -n 80
    # A crash's own report comes at the end of the test's output, past what the lines above show.
    grep -E -A 30 "ERROR: [A-Za-z]+Sanitizer|WARNING: ThreadSanitizer|runtime error|terminate called" \
      "$logs/$name-test.log" | head -n 80
  fi
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
run_linux asan -DMRIM_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug -DMRIM_BENCHMARKS=OFF
run_linux tsan -DMRIM_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DMRIM_BENCHMARKS=OFF

# A Windows tree as scripts/package.sh makes it (Release, the release build): the package step
# below then builds nothing more.
build_win() {  # name, toolchain architecture, build arguments...
  local name=$1 arch=$2
  shift 2
  echo "== building $name"
  cmake -S . -B "build/$name" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DMRIM_DIAGNOSTIC=OFF >"$logs/$name-configure.log" 2>&1 &&
    cmake --build "build/$name" -j"$jobs" "$@" >"$logs/$name-build.log" 2>&1 && return 0
  tail -n 40 "$logs/$name-build.log" "$logs/$name-configure.log" 2>/dev/null
  return 1
}

# Read from the file on the Linux side: runs on every machine.
check_dll() {  # name, toolchain architecture
  bash scripts/check-dll.sh --arch "$2" "build/$1/MRIM.dll" build/linux/apps/dll-check/dll-check >"$logs/$1-dll.log" 2>&1
  local code=$?
  cat "$logs/$1-dll.log"
  record "$1 dll format, entry points, imports and resources" $code
}

# With the Linux server stand-in the check also takes the DLL online and offline on loopback,
# and restarts the stand-in under it.
wine_check() {  # name, build folder
  echo "== $1"
  local server="$root/build/linux/apps/mrim-server/mrim-server"
  [ -x "$server" ] || server=
  MRIM_SERVER=$server bash scripts/wine-check.sh "$2" >"$logs/$1.log" 2>&1
  local code=$?
  cat "$logs/$1.log"
  record "$1" $code
}

# The 32-bit check host is built only where it can run; the DLL is built and checked everywhere.
runs_32bit=yes
why_not_32bit=$(bash scripts/can-run-32bit.sh) || runs_32bit=no
win_targets=()
[ "$runs_32bit" = yes ] || win_targets=(--target MRIM)
win_built=no
if build_win win i686 "${win_targets[@]}"; then
  win_built=yes
  record "win build" 0
  check_dll win i686
else
  record "win build" 1
fi
win64_built=no
if build_win win64 x86_64; then
  win64_built=yes
  record "win64 build" 0
  check_dll win64 x86_64
else
  record "win64 build" 1
fi

if [ "$win_built" = yes ] && [ "$win64_built" = yes ]; then
  echo "== package"
  if JOBS=$jobs bash scripts/package.sh >"$logs/package.log" 2>&1; then
    bash scripts/check-package.sh "$(tail -n 1 "$logs/package.log")" 2>&1 | tee -a "$logs/package.log"
    code=${PIPESTATUS[0]}
  else
    tail -n 20 "$logs/package.log"
    code=1
  fi
  record "package: both stripped DLLs, their symbols, README and licence" $code
fi

[ "$win64_built" = yes ] && wine_check "wine check (64-bit)" build/win64
if [ "$runs_32bit" = no ]; then
  echo "wine check (32-bit) skipped: $why_not_32bit"
  skipped=$((skipped + 1))
elif ! dpkg -s wine32 >/dev/null 2>&1 || ! command -v wine >/dev/null; then
  echo "wine check (32-bit) skipped: the 32-bit Wine (wine, wine32) could not be installed on this machine"
  skipped=$((skipped + 1))
elif [ "$win_built" = yes ]; then
  wine_check "wine check (32-bit)" build/win
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
