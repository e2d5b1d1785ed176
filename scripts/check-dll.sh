#!/usr/bin/env bash
# Checks the Windows DLL from its file, with no 32-bit code run: its format, entry points and
# imports, its dialog templates against resources/dialogs.rc, its icons and its version record
# (apps/dll-check, a Linux program; see there).
#
#   scripts/check-dll.sh MRIM.dll [DLL_CHECK]
#
# DLL_CHECK is the built checker, by default build/linux/apps/dll-check/dll-check.
set -uo pipefail
dll=${1:?usage: check-dll.sh MRIM.dll [DLL_CHECK]}
checker=${2:-$(dirname "$0")/../build/linux/apps/dll-check/dll-check}
[ -x "$checker" ] || { echo "FAIL the checker $checker is not built (build the Linux tree first)"; exit 1; }
"$checker" "$dll"
