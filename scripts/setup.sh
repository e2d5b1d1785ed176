#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine (run as root). Skips the
# package manager when everything is already there. With "linux" only the Linux build's
# packages are installed (enough for the main job). The 64-bit Wine (Debian's wine64, no i386
# packages), its virtual display and ImageMagick are installed everywhere: the 64-bit DLL runs
# under it on any x86-64 machine. The 32-bit Wine is installed only on a machine that executes
# 32-bit programs (scripts/can-run-32bit.sh): elsewhere it could never run, and its i386
# packages may not even install.
set -euo pipefail

# libssl-dev is for the server stand-in's TLS and libturbojpeg0-dev for its pictures; the plug-in
# itself links neither.
linux_packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
                libsqlite3-dev libedit-dev nlohmann-json3-dev libcli11-dev libssl-dev libturbojpeg0-dev
                tmux clang-format)
# zip and unzip make and check the package (scripts/package.sh); openssl makes the Wine check's
# certificates.
windows_packages=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix
                  binutils-mingw-w64-x86-64 zip unzip wine64 fonts-wine xvfb xauth imagemagick openssl)
wine32_packages=(wine wine32)

packages=("${linux_packages[@]}")
# The 32-bit Wine is wanted, not needed: its i386 packages must match the machine's own
# versions exactly, which a mirror part-way through a sync cannot always give. When they cannot
# be installed, the 32-bit Wine check is skipped and says so; nothing else depends on them.
optional=()
if [ "${1:-all}" != "linux" ]; then
  packages+=("${windows_packages[@]}")
  if bash "$(dirname "$0")/can-run-32bit.sh" >/dev/null; then
    optional=("${wine32_packages[@]}")
  fi
fi

missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
missing_optional=()
for package in "${optional[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing_optional+=("$package")
done
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]} ${missing_optional[*]}"
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing_optional[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails an index now and then; another try a little later usually
# finds it whole, and the install below says so if it still cannot go on.
update_log=$(mktemp)
for try in 1 2 3; do
  apt-get update -q >"$update_log" 2>&1 || true
  grep -q '^E: ' "$update_log" || break
  grep '^E: ' "$update_log"
  echo "apt-get update was not clean (try $try of 3)"
  [ "$try" -lt 3 ] && sleep $((try * 10))
done
rm -f "$update_log"
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if [ ${#missing_optional[@]} -gt 0 ]; then
  apt-get install -y -q --no-install-recommends "${missing_optional[@]}" >/tmp/mrim-setup-wine32.log 2>&1 ||
    echo "setup: the 32-bit Wine (${missing_optional[*]}) cannot be installed now; its check is skipped (see /tmp/mrim-setup-wine32.log)"
fi
