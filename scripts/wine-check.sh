#!/bin/sh
# Runs the Windows check host (wincheck.exe) against MRIM.dll under Wine on a virtual display,
# prints its verdicts and returns its exit code.
#
#   scripts/wine-check.sh BUILD_WIN_DIR
#
# BUILD_WIN_DIR is the mingw build folder holding MRIM.dll and apps/wincheck/wincheck.exe. The
# Wine prefix lives in BUILD_WIN_DIR/wine-prefix (made on first use, kept for re-runs); the
# plug-in's log goes to BUILD_WIN_DIR/wine-check. Needs wine, wine32 (i386), xvfb and xauth.
set -eu

build=${1:?usage: wine-check.sh BUILD_WIN_DIR}
build=$(cd "$build" && pwd)
dll=$build/MRIM.dll
exe=$build/apps/wincheck/wincheck.exe
for f in "$dll" "$exe"; do
  [ -f "$f" ] || { echo "wine-check: $f is missing (build the mingw tree first)" >&2; exit 2; }
done

export WINEPREFIX="$build/wine-prefix"
export WINEARCH=win32
export WINEDEBUG=-all
# No prompts for the .NET and HTML engines the check does not need.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# A prefix left half-made by an interrupted first run has no system.reg; start it afresh.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  rm -rf "$WINEPREFIX"
  echo "wine-check: creating the Wine prefix $WINEPREFIX"
  timeout 300 wineboot -i >/dev/null 2>&1 || { echo "wine-check: wineboot failed" >&2; exit 2; }
  timeout 120 wineserver -w || true
fi

work=$build/wine-check
mkdir -p "$work"
# A server of this prefix still running from an earlier call may have no display; let it end.
timeout 60 wineserver -w || true
# Without a display Wine's message boxes return at once; the check wants the notice really shown.
# Every Wine call runs inside xvfb-run: a Wine server started without the display (even by
# winepath) would keep a desktop without one for the check. winepath turns the Unix paths into
# Windows ones (drive Z:); wineserver -w lets the prefix's processes end while the display exists.
out=$build/wine-check.out
set +e
# shellcheck disable=SC2016 # the inner shell expands its own arguments
timeout 240 xvfb-run -a -s "-screen 0 1024x768x24" \
  sh -c 'wine "$1" "$(winepath -w "$2")" "$(winepath -w "$3")"; rc=$?; timeout 60 wineserver -w; exit $rc' \
  sh "$exe" "$dll" "$work" \
  >"$out" 2>&1
rc=$?
set -e
# The program writes CR LF line ends (text mode of the Windows C library).
tr -d '\r' <"$out"
if [ "$rc" -eq 124 ]; then
  echo "wine-check: timed out"
  wineserver -k 2>/dev/null || true  # only this prefix's server and its processes
fi
exit "$rc"
