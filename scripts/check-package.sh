#!/usr/bin/env bash
# Checks a package made by scripts/package.sh: it holds exactly MRIM.dll, MRIM.dll.debug,
# README.txt and LICENSE.txt; the DLL is named after the version in resources/version.h, carries
# no debugging information but the link to MRIM.dll.debug, which does carry it, and passes
# scripts/check-dll.sh; the README names the version. Prints one line per fault, exits 1 on any.
#
#   scripts/check-package.sh ZIP
set -uo pipefail
zip=${1:?usage: check-package.sh ZIP}
root=$(cd "$(dirname "$0")/.." && pwd)
objdump=i686-w64-mingw32-objdump
status=0
fail() {
  echo "FAIL $*"
  status=1
}

version=$(sed -n 's/^#define MRIM_VERSION_TEXT "\([0-9.]*\)"$/\1/p' "$root/resources/version.h")
[ "$(basename "$zip")" = "mrim-plugin-$version.zip" ] || fail "the package is not named mrim-plugin-$version.zip"
listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
[ "$listed" = "LICENSE.txt MRIM.dll MRIM.dll.debug README.txt " ] || fail "the package holds: $listed"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work" || fail "the package does not unpack"
sections=$("$objdump" -h "$work/MRIM.dll" 2>&1)
grep -q ' \.debug_' <<<"$sections" && fail "MRIM.dll still carries debugging information"
grep -q ' \.gnu_debuglink' <<<"$sections" || fail "MRIM.dll has no link to its symbol file"
"$objdump" -h "$work/MRIM.dll.debug" 2>&1 | grep -q ' \.debug_info' || fail "MRIM.dll.debug holds no debugging information"
bash "$root/scripts/check-dll.sh" "$work/MRIM.dll" >"$work/check.log" 2>&1 || {
  grep -v '^PASS' "$work/check.log"
  fail "MRIM.dll fails scripts/check-dll.sh"
}
grep -q "MRIM protocol plug-in $version" "$work/README.txt" || fail "README.txt does not name version $version"

[ "$status" -eq 0 ] && echo "package $zip: the stripped DLL, its symbols, the README and the licence"
exit "$status"
