#!/usr/bin/env bash
# The console messenger: builds the plug-in and mrim-console if needed, then starts it signed
# in to its embedded server as the demo account you@mrim.example, in the human view. Further
# arguments go to mrim-console (e.g. --profile FILE to keep contacts and history, --json).
set -euo pipefail
here=$(pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh linux
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j"$(nproc)" --target mrim-console >/dev/null
# Run where the user is: the plug-in's log (MRIM.dbg) and relative --profile paths land there.
cd "$here"
exec "$root/build/linux/apps/mrim-console/mrim-console" --account you@mrim.example --password demo "$@"
