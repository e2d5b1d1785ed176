#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine (run as root). Skips the
# package manager when everything is already there. With "linux" only the Linux build's
# packages are installed (enough for the main job).
set -euo pipefail

linux_packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
                libsqlite3-dev libedit-dev nlohmann-json3-dev libcli11-dev tmux)
windows_packages=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32 fonts-wine xvfb xauth imagemagick)

packages=("${linux_packages[@]}")
if [ "${1:-all}" != "linux" ]; then
  packages+=("${windows_packages[@]}")
fi

missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [ "${1:-all}" != "linux" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
