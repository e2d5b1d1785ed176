#!/usr/bin/env bash
# The main job: builds the plug-in and the programs if needed, then runs the main program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh linux
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j"$(nproc)" --target mrim-inspect >/dev/null
exec build/linux/apps/mrim-inspect/mrim-inspect "$@"
