#!/usr/bin/env bash
# Checks the Windows DLL's headers: PE32 for i386, exactly the three entry points under their
# plain names, and imports from system DLLs only.
set -uo pipefail
dll=${1:?usage: check-dll.sh MRIM.dll}
dump=$(i686-w64-mingw32-objdump -p "$dll") || exit 1
status=0
check() {  # description, condition exit code
  if [ "$2" -eq 0 ]; then echo "PASS $1"; else echo "FAIL $1"; status=1; fi
}
grep -q "file format pei-i386" <<<"$dump"
check "PE32 i386 image" $?
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{table=1; next} table && /\[ *[0-9]+\]/{print $NF} table && /^$/{table=0}' <<<"$dump" | sort | tr '\n' ' ')
[ "$exports" = "Load MirandaPluginInfo Unload " ]
check "exports exactly Load MirandaPluginInfo Unload (found: $exports)" $?
imports=$(grep -E "^\s+DLL Name:" <<<"$dump" | awk '{print tolower($3)}' | sort -u | tr '\n' ' ')
bad=$(tr ' ' '\n' <<<"$imports" | grep -v -E '^(kernel32|user32|msvcrt|ws2_32|advapi32|gdi32|comctl32)\.dll$' | grep -v '^$' || true)
[ -z "$bad" ]
check "imports only system DLLs (found: $imports)" $?
exit $status
