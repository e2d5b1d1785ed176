#!/bin/sh
# Runs the Windows check host (wincheck.exe) against MRIM.dll under Wine on a virtual display,
# prints its verdicts and returns its exit code.
#
#   scripts/wine-check.sh BUILD_WIN_DIR
#
# BUILD_WIN_DIR is the mingw build folder holding MRIM.dll and apps/wincheck/wincheck.exe. The
# Wine prefix lives in BUILD_WIN_DIR/wine-prefix (made on first use, kept for re-runs); the
# plug-in's log goes to BUILD_WIN_DIR/wine-check and the screenshots of its dialogs to
# BUILD_WIN_DIR/dialog-*.png. Needs wine, wine32 (i386), xvfb, xauth and ImageMagick.
#
# With MRIM_SERVER set to a Linux build of apps/mrim-server, that server stand-in is started on
# loopback with the check's account, and the check also takes the account online and offline
# against it (Wine's sockets are the machine's own, so 127.0.0.1 reaches it).
set -eu

build=${1:?usage: wine-check.sh BUILD_WIN_DIR}
build=$(cd "$build" && pwd)
dll=$build/MRIM.dll
exe=$build/apps/wincheck/wincheck.exe
for f in "$dll" "$exe"; do
  [ -f "$f" ] || { echo "wine-check: $f is missing (build the mingw tree first)" >&2; exit 2; }
done

# Wine runs a 32-bit DLL only where the machine executes 32-bit programs.
if ! why=$(bash "$(dirname "$0")/can-run-32bit.sh"); then
  echo "wine-check: $why" >&2
  exit 2
fi

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
if [ -d /usr/share/wine/fonts ]; then
  cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi
# A server of this prefix still running from an earlier call may have no display; let it end.
timeout 60 wineserver -w || true
# Without a display Wine's message boxes return at once; the check wants the notice really shown.
# Every Wine call runs inside xvfb-run: a Wine server started without the display (even by
# winepath) would keep a desktop without one for the check. winepath turns the Unix paths into
# Windows ones (drive Z:); wineserver -w lets the prefix's processes end while the display exists.
# The virtual display has no window manager: Wine is told to draw the window frames and title
# bars itself (Decorated=N), so that the screenshots show the dialogs as Windows does. Dialog
# fonts as on the Windows the plug-in was laid out for: Wine's own fonts (Debian's fonts-wine,
# with Marlett for the title-bar buttons) in the prefix, and "MS Shell Dlg" standing for the
# MS Sans Serif face, as Windows maps it (Wine's default, Tahoma, is wider and wraps labels).
out=$build/wine-check.out

server_pid=
server_ports=
if [ -n "${MRIM_SERVER:-}" ]; then
  # The account wincheck seeds its profile with; the address service names wincheck.test,
  # which wincheck routes to the MRIM service.
  printf 'account wincheck@mrim.example wincheck-secret\nnickname wincheck\n' >"$work/accounts.conf"
  "$MRIM_SERVER" --config "$work/accounts.conf" --reply wincheck.test:443 --tls >"$work/mrim-server.out" 2>&1 &
  server_pid=$!
  trap 'kill "$server_pid" 2>/dev/null || true' EXIT
  tries=0
  until grep -q '^MRIM service on port' "$work/mrim-server.out"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$server_pid" 2>/dev/null; then
      echo "wine-check: the server stand-in did not start" >&2
      cat "$work/mrim-server.out" >&2
      exit 2
    fi
    sleep 0.1
  done
  server_ports="$(sed -n 's/^address service on port //p' "$work/mrim-server.out") $(sed -n 's/^MRIM service on port //p' "$work/mrim-server.out")"
fi

set +e
# shellcheck disable=SC2016,SC2086 # the inner shell expands its own arguments; the ports (two
# numbers, or nothing) are split on purpose
timeout 240 xvfb-run -a -s "-screen 0 1024x768x24" \
  sh -c 'exe=$1 dll=$2 work=$3; shift 3
         wine reg add "HKCU\\Software\\Wine\\X11 Driver" /v Decorated /d N /f >/dev/null 2>&1
         wine reg add "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes" \
           /v "MS Shell Dlg" /d "MS Sans Serif" /f >/dev/null 2>&1
         wine "$exe" "$(winepath -w "$dll")" "$(winepath -w "$work")" "$@"; rc=$?
         timeout 60 wineserver -w; exit $rc' \
  sh "$exe" "$dll" "$work" $server_ports \
  >"$out" 2>&1
rc=$?
set -e
# The program writes CR LF line ends (text mode of the Windows C library).
tr -d '\r' <"$out"
# The screenshots the check took of the plug-in's dialogs, as PNG files beside the build.
for shot in "$work"/dialog-*.bmp; do
  [ -f "$shot" ] || continue
  png=$build/$(basename "$shot" .bmp).png
  if convert "$shot" "$png" 2>/dev/null; then echo "wine-check: screenshot $png"; else echo "wine-check: cannot convert $shot"; fi
  rm -f "$shot"
done
if [ "$rc" -eq 124 ]; then
  echo "wine-check: timed out"
  wineserver -k 2>/dev/null || true  # only this prefix's server and its processes
fi
exit "$rc"
