#!/usr/bin/env bash
# Checks the Windows DLL from its file, with no Windows code run: its format (for the architecture
# given, i686 by default), entry points and imports, its dialog templates against
# resources/dialogs.rc, its icons and its version record (apps/dll-check, a Linux program; see
# there).
#
#   scripts/check-dll.sh [--arch i686|x86_64] MRIM.dll [DLL_CHECK]
#
# DLL_CHECK is the built checker, by default build/linux/apps/dll-check/dll-check.
set -uo pipefail
arch=i686
if [ "${1:-}" = --arch ]; then
  arch=${2:?usage: check-dll.sh [--arch i686|x86_64] MRIM.dll [DLL_CHECK]}
  shift 2
fi
dll=${1:?usage: check-dll.sh [--arch i686|x86_64] MRIM.dll [DLL_CHECK]}
checker=${2:-$(dirname "$0")/../build/linux/apps/dll-check/dll-check}
[ -x "$checker" ] || { echo "FAIL the checker $checker is not built (build the Linux tree first)"; exit 1; }
"$checker" --arch "$arch" "$dll"
