#!/usr/bin/env bash
# Checks a package made by scripts/package.sh: it holds exactly 32-bit/MRIM.dll,
# 32-bit/MRIM.dll.debug, 64-bit/MRIM.dll, 64-bit/MRIM.dll.debug, README.txt and LICENSE.txt;
# the package is named after the version in resources/version.h; each DLL carries no debugging
# information but the link to the MRIM.dll.debug beside it, which does carry it, and passes
# scripts/check-dll.sh for its architecture; the README names the version. Prints one line per
# fault, exits 1 on any.
#
#   scripts/check-package.sh ZIP
set -uo pipefail
zip=${1:?usage: check-package.sh ZIP}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
fail() {
  echo "FAIL $*"
  status=1
}

version=$(sed -n 's/^#define MRIM_VERSION_TEXT "\([0-9.]*\)"$/\1/p' "$root/resources/version.h")
[ "$(basename "$zip")" = "mrim-plugin-$version.zip" ] || fail "the package is not named mrim-plugin-$version.zip"
listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
expected="32-bit/MRIM.dll 32-bit/MRIM.dll.debug 64-bit/MRIM.dll 64-bit/MRIM.dll.debug LICENSE.txt README.txt "
[ "$listed" = "$expected" ] || fail "the package holds: $listed"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work" || fail "the package does not unpack"
for pair in 32-bit:i686 64-bit:x86_64; do
  folder=${pair%%:*}
  arch=${pair#*:}
  objdump=$arch-w64-mingw32-objdump
  sections=$("$objdump" -h "$work/$folder/MRIM.dll" 2>&1)
  grep -q ' \.debug_' <<<"$sections" && fail "$folder/MRIM.dll still carries debugging information"
  grep -q ' \.gnu_debuglink' <<<"$sections" || fail "$folder/MRIM.dll has no link to its symbol file"
  "$objdump" -h "$work/$folder/MRIM.dll.debug" 2>&1 | grep -q ' \.debug_info' ||
    fail "$folder/MRIM.dll.debug holds no debugging information"
  bash "$root/scripts/check-dll.sh" --arch "$arch" "$work/$folder/MRIM.dll" >"$work/check.log" 2>&1 || {
    grep -v '^PASS' "$work/check.log"
    fail "$folder/MRIM.dll fails scripts/check-dll.sh --arch $arch"
  }
done
grep -q "MRIM protocol plug-in $version" "$work/README.txt" || fail "README.txt does not name version $version"

[ "$status" -eq 0 ] && echo "package $zip: the stripped 32-bit and 64-bit DLLs, their symbols, the README and the licence"
exit "$status"
