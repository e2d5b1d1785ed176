#!/usr/bin/env bash
# Makes the package users install, build/dist/mrim-plugin-<version>.zip (the version is
# MRIM_VERSION_TEXT of resources/version.h), holding:
#   32-bit/MRIM.dll        the release build (MRIM_DIAGNOSTIC=OFF, Release, cross-built in
#                          build/win) for the 32-bit messenger, stripped of its debugging
#                          information, with a link to the file below;
#   32-bit/MRIM.dll.debug  that debugging information, kept apart for reading crash addresses;
#   64-bit/MRIM.dll        the same for the 64-bit messenger (cross-built in build/win64);
#   64-bit/MRIM.dll.debug  its debugging information;
#   README.txt             for users: installing, the options page, choosing a server
#                          (package/README.txt with the version and the build's server filled
#                          in, in CR LF lines);
#   LICENSE.txt            the licence (LICENSE).
# Each stripped DLL must pass scripts/check-dll.sh for its architecture (the checker built in
# build/linux) first. Prints the zip's path last. Uses the build folders scripts/test-all.sh
# uses, so after it little is built.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-$(nproc)}

bash scripts/setup.sh all

version=$(sed -n 's/^#define MRIM_VERSION_TEXT "\([0-9.]*\)"$/\1/p' resources/version.h)
[ -n "$version" ] || { echo "package: no MRIM_VERSION_TEXT in resources/version.h" >&2; exit 1; }

cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j"$jobs" --target dll-check >/dev/null

name=mrim-plugin-$version
stage=build/dist/$name
zip=build/dist/$name.zip
rm -rf "$stage" "$zip"
mkdir -p "$stage"

# pack FOLDER TOOLCHAIN_ARCH BUILD: builds the release DLL in BUILD and puts it, stripped, with its
# symbol file in the stage's FOLDER.
pack() {
  local folder=$1 arch=$2 build=$3
  local objcopy=$arch-w64-mingw32-objcopy
  echo "== building the $folder release DLL"
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DMRIM_DIAGNOSTIC=OFF >/dev/null
  cmake --build "$build" -j"$jobs" --target MRIM >/dev/null
  mkdir -p "$stage/$folder"
  # The link names the symbol file without a folder: a debugger looks for it beside the DLL.
  "$objcopy" --only-keep-debug "$build/MRIM.dll" "$stage/$folder/MRIM.dll.debug"
  (cd "$stage/$folder" && "$objcopy" --strip-debug --add-gnu-debuglink=MRIM.dll.debug "$root/$build/MRIM.dll" MRIM.dll)
  echo "== checking the stripped $folder DLL"
  bash scripts/check-dll.sh --arch "$arch" "$stage/$folder/MRIM.dll" >"$stage.$folder.check.log" 2>&1 || {
    grep -v '^PASS' "$stage.$folder.check.log" >&2
    echo "package: the stripped $folder DLL fails scripts/check-dll.sh (all of it in $stage.$folder.check.log)" >&2
    exit 1
  }
}
pack 32-bit i686 build/win
pack 64-bit x86_64 build/win64

server=$(sed -n 's/^MRIM_DEFAULT_SERVER:STRING=//p' build/win/CMakeCache.txt):$(sed -n 's/^MRIM_DEFAULT_PORT:STRING=//p' build/win/CMakeCache.txt)
sed -e "s/@VERSION@/$version/g" -e "s/@SERVER@/$server/g" -e 's/$/\r/' package/README.txt >"$stage/README.txt"
sed -e 's/$/\r/' LICENSE >"$stage/LICENSE.txt"

(cd "$stage" && zip -q -X -D "$root/$zip" 32-bit/MRIM.dll 32-bit/MRIM.dll.debug 64-bit/MRIM.dll 64-bit/MRIM.dll.debug \
  README.txt LICENSE.txt)
echo "$zip"
