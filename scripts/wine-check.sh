#!/usr/bin/env bash
# Runs the Windows check host (wincheck.exe) against MRIM.dll under Wine on a virtual display,
# prints its verdicts and returns its exit code.
#
#   scripts/wine-check.sh BUILD_WIN_DIR
#
# BUILD_WIN_DIR is a mingw build folder holding MRIM.dll and apps/wincheck/wincheck.exe, of either
# architecture: a 32-bit DLL runs in a 32-bit prefix through wine (only where the machine executes
# 32-bit programs), a 64-bit one in a 64-bit prefix through Debian's wine64 (on any x86-64
# machine). The Wine prefix lives in BUILD_WIN_DIR/wine-prefix (made on first use, kept for
# re-runs); the plug-in's log goes to BUILD_WIN_DIR/wine-check and the screenshots of its dialogs
# to BUILD_WIN_DIR/dialog-*.png. Needs Wine, xvfb, xauth and ImageMagick.
#
# With MRIM_SERVER set to a Linux build of apps/mrim-server, that server stand-in is started on
# loopback with the check's account, and the check also takes the account online and offline
# against it (Wine's sockets are the machine's own, so 127.0.0.1 reaches it). It may then ask for
# the stand-in to be restarted, to see how the DLL meets a server that goes away: it writes one
# word to the file server-request in its work folder ("same": the same certificate again, "new":
# another certificate, "clear": no TLS offered), and this script answers in server-ready with the
# word and the new certificate's SHA-256 once the stand-in listens again on the same ports.
set -eu

build=${1:?usage: wine-check.sh BUILD_WIN_DIR}
build=$(cd "$build" && pwd)
dll=$build/MRIM.dll
exe=$build/apps/wincheck/wincheck.exe
for f in "$dll" "$exe"; do
  [ -f "$f" ] || { echo "wine-check: $f is missing (build the mingw tree first)" >&2; exit 2; }
done

# The DLL's machine word, after the PE signature the DOS header points at.
pe_at=$(od -An -tu4 -j 60 -N 4 "$dll" | tr -d ' ')
machine=$(od -An -tx2 -j $((pe_at + 4)) -N 2 "$dll" | tr -d ' ')
case $machine in
  014c)
    # Wine runs a 32-bit DLL only where the machine executes 32-bit programs.
    if ! why=$(bash "$(dirname "$0")/can-run-32bit.sh"); then
      echo "wine-check: $why" >&2
      exit 2
    fi
    export WINEARCH=win32
    wine=wine
    wineserver=wineserver
    ;;
  8664)
    export WINEARCH=win64
    wine=/usr/lib/wine/wine64
    wineserver=/usr/lib/wine/wineserver64
    ;;
  *)
    echo "wine-check: $dll is no i386 or x86-64 image (machine 0x$machine)" >&2
    exit 2
    ;;
esac
for tool in "$wine" "$wineserver"; do
  command -v "$tool" >/dev/null || { echo "wine-check: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done
export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
# No prompts for the .NET and HTML engines the check does not need.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINESERVER=$wineserver
unset DISPLAY WAYLAND_DISPLAY

# A prefix left half-made by an interrupted first run has no system.reg; start it afresh.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  rm -rf "$WINEPREFIX"
  echo "wine-check: creating the Wine prefix $WINEPREFIX"
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || { echo "wine-check: wineboot failed" >&2; exit 2; }
  timeout 120 "$wineserver" -w || true
fi

work=$build/wine-check
mkdir -p "$work"
rm -f "$work/server-request" "$work/server-ready"
if [ -d /usr/share/wine/fonts ]; then
  cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi
# A server of this prefix still running from an earlier call may have no display; let it end.
timeout 60 "$wineserver" -w || true
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

# start_server CERTIFICATE ADDRESS MRIM AVATAR_PORT: the stand-in with the certificate of that name
# (or none: no TLS offered) listening on the two HOST:PORT, its picture service on 127.0.0.1 at
# AVATAR_PORT (0: any); returns once it listens, its output in mrim-server.out and its process id
# in mrim-server.pid.
start_server() {
  local tls=() try
  [ "$1" != none ] && tls=(--tls --tls-cert "$work/$1.pem" --tls-key "$work/$1.key")
  # A port left by the stand-in just ended may take a moment to be free again.
  for try in 1 2 3 4 5; do
    "$MRIM_SERVER" --config "$work/accounts.conf" --reply wincheck.test:443 --address "$2" --mrim "$3" \
      --avatar-port "$4" "${tls[@]}" >"$work/mrim-server.out" 2>&1 &
    echo $! >"$work/mrim-server.pid"
    # Killed on purpose later: no job notice for it.
    disown $!
    local tries=0
    until grep -q '^avatar service on port' "$work/mrim-server.out" 2>/dev/null; do
      tries=$((tries + 1))
      if [ "$tries" -gt 100 ] || ! kill -0 "$(cat "$work/mrim-server.pid")" 2>/dev/null; then
        break
      fi
      sleep 0.1
    done
    cat "$work/mrim-server.out" >>"$work/mrim-server.log"
    grep -q '^avatar service on port' "$work/mrim-server.out" && return 0
    kill "$(cat "$work/mrim-server.pid")" 2>/dev/null || true
    sleep "$try"
  done
  return 1
}

# Answers the check's restart requests until it is ended: the stand-in is killed, as a crash
# would end it (its clients see the connection drop, with no log-out), and started afresh.
serve_restarts() {
  local word certificate
  while :; do
    if [ -f "$work/server-request" ]; then
      word=$(tr -d '\r\n ' <"$work/server-request")
      rm -f "$work/server-request"
      kill -KILL "$(cat "$work/mrim-server.pid")" 2>/dev/null || true
      sleep 0.2
      case $word in
        same) certificate=first ;;
        new) certificate=second ;;
        clear) certificate=none ;;
        *) certificate= ;;
      esac
      if [ -n "$certificate" ] && start_server "$certificate" "127.0.0.1:$address_port" "127.0.0.1:$mrim_port" "$avatar_port"; then
        printf '%s %s\n' "$word" "$(sed -n 's/^TLS offered, certificate SHA-256 //p' "$work/mrim-server.out")" \
          >"$work/server-ready.tmp"
      else
        printf 'failed %s\n' "$word" >"$work/server-ready.tmp"
      fi
      mv "$work/server-ready.tmp" "$work/server-ready"
    fi
    sleep 0.1
  done
}

server_ports=
controller_pid=
stop_servers() {
  [ -n "$controller_pid" ] && kill "$controller_pid" 2>/dev/null
  [ -f "$work/mrim-server.pid" ] && kill "$(cat "$work/mrim-server.pid")" 2>/dev/null
  return 0
}
if [ -n "${MRIM_SERVER:-}" ]; then
  # The account wincheck seeds its profile with, and its picture; the address service names
  # wincheck.test, which wincheck routes to the MRIM service.
  printf 'account wincheck@mrim.example wincheck-secret\nnickname wincheck\navatar wincheck@mrim.example picture\n' \
    >"$work/accounts.conf"
  # Two self-signed certificates: the one the account pins on first use, and the one a
  # restart with a new certificate shows.
  for name in first second; do
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 7 -subj /CN=wincheck.test \
      -keyout "$work/$name.key" -out "$work/$name.pem" >/dev/null 2>&1 ||
      { echo "wine-check: openssl cannot make a certificate" >&2; exit 2; }
  done
  : >"$work/mrim-server.log"
  trap stop_servers EXIT
  if ! start_server first 127.0.0.1:0 127.0.0.1:0 0; then
    echo "wine-check: the server stand-in did not start" >&2
    cat "$work/mrim-server.log" >&2
    exit 2
  fi
  address_port=$(sed -n 's/^address service on port //p' "$work/mrim-server.out")
  mrim_port=$(sed -n 's/^MRIM service on port //p' "$work/mrim-server.out")
  avatar_port=$(sed -n 's/^avatar service on port //p' "$work/mrim-server.out")
  server_ports="$address_port $mrim_port $avatar_port"
  serve_restarts &
  controller_pid=$!
fi

set +e
# shellcheck disable=SC2016,SC2086 # the inner shell expands its own arguments; the ports (two
# numbers, or nothing) are split on purpose
export WINE=$wine
timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" \
  sh -c 'exe=$1 dll=$2 work=$3; shift 3
         "$WINE" reg add "HKCU\\Software\\Wine\\X11 Driver" /v Decorated /d N /f >/dev/null 2>&1
         "$WINE" reg add "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes" \
           /v "MS Shell Dlg" /d "MS Sans Serif" /f >/dev/null 2>&1
         "$WINE" "$exe" "$("$WINE" winepath -w "$dll")" "$("$WINE" winepath -w "$work")" "$@"; rc=$?
         timeout 60 "$WINESERVER" -w; exit $rc' \
  sh "$exe" "$dll" "$work" $server_ports \
  >"$out" 2>&1
rc=$?
set -e
# The program writes CR LF line ends (text mode of the Windows C library).
tr -d '\r' <"$out"
# What the plug-in logged of its encryption and its session's ups and downs.
if [ -f "$work/MRIM.dbg" ]; then
  echo "wine-check: the plug-in's log, its TLS and session lines:"
  grep -aE "TLS: |session: (connection lost|reconnecting)|log-in refused" "$work/MRIM.dbg" | tr -d '\r' | sed 's/^/  /'
fi
# The screenshots the check took of the plug-in's dialogs, as PNG files beside the build.
for shot in "$work"/dialog-*.bmp; do
  [ -f "$shot" ] || continue
  png=$build/$(basename "$shot" .bmp).png
  if convert "$shot" "$png" 2>/dev/null; then echo "wine-check: screenshot $png"; else echo "wine-check: cannot convert $shot"; fi
  rm -f "$shot"
done
if [ "$rc" -eq 124 ]; then
  echo "wine-check: timed out"
  "$wineserver" -k 2>/dev/null || true  # only this prefix's server and its processes
fi
exit "$rc"
