#!/usr/bin/env bash
# Makes the package users install, build/dist/mrim-plugin-<version>.zip (the version is
# MRIM_VERSION_TEXT of resources/version.h), holding:
#   MRIM.dll        the release build (MRIM_DIAGNOSTIC=OFF, Release, cross-built in build/win),
#                   stripped of its debugging information, with a link to the file below;
#   MRIM.dll.debug  that debugging information, kept apart for reading crash addresses;
#   README.txt      for users: installing, the options page, choosing a server (package/README.txt
#                   with the version and the build's server filled in, in CR LF lines);
#   LICENSE.txt     the licence (LICENSE).
# The stripped DLL must pass scripts/check-dll.sh (built in build/linux) first. Prints the
# zip's path last. Uses the build folders scripts/test-all.sh uses, so after it little is built.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-$(nproc)}
objcopy=i686-w64-mingw32-objcopy

bash scripts/setup.sh all

version=$(sed -n 's/^#define MRIM_VERSION_TEXT "\([0-9.]*\)"$/\1/p' resources/version.h)
[ -n "$version" ] || { echo "package: no MRIM_VERSION_TEXT in resources/version.h" >&2; exit 1; }

echo "== building the release DLL"
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DMRIM_DIAGNOSTIC=OFF >/dev/null
cmake --build build/win -j"$jobs" --target MRIM >/dev/null
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j"$jobs" --target dll-check >/dev/null

name=mrim-plugin-$version
stage=build/dist/$name
zip=build/dist/$name.zip
rm -rf "$stage" "$zip"
mkdir -p "$stage"

# The link names the symbol file without a folder: a debugger looks for it beside the DLL.
"$objcopy" --only-keep-debug build/win/MRIM.dll "$stage/MRIM.dll.debug"
(cd "$stage" && "$objcopy" --strip-debug --add-gnu-debuglink=MRIM.dll.debug "$root/build/win/MRIM.dll" MRIM.dll)

echo "== checking the stripped DLL"
bash scripts/check-dll.sh "$stage/MRIM.dll" >"$stage.check.log" 2>&1 || {
  grep -v '^PASS' "$stage.check.log" >&2
  echo "package: the stripped DLL fails scripts/check-dll.sh (all of it in $stage.check.log)" >&2
  exit 1
}

server=$(sed -n 's/^MRIM_DEFAULT_SERVER:STRING=//p' build/win/CMakeCache.txt):$(sed -n 's/^MRIM_DEFAULT_PORT:STRING=//p' build/win/CMakeCache.txt)
sed -e "s/@VERSION@/$version/g" -e "s/@SERVER@/$server/g" -e 's/$/\r/' package/README.txt >"$stage/README.txt"
sed -e 's/$/\r/' LICENSE >"$stage/LICENSE.txt"

(cd "$stage" && zip -q -X -D "$root/$zip" MRIM.dll MRIM.dll.debug README.txt LICENSE.txt)
echo "$zip"
