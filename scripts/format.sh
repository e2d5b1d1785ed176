#!/usr/bin/env bash
# Formats the C++ sources with the tree's one clang-format style (.clang-format), and nothing
# else: Markdown, scripts and resource scripts are not C++, and the formatter mangles them.
#
#   scripts/format.sh          rewrite the C++ files in place
#   scripts/format.sh --check  change nothing; list the files that are not formatted, exit 1 if any
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  unformatted=$(clang-format --dry-run "${files[@]}" 2>&1 | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: warning:.*/\1/p' | sort -u)
  [ -z "$unformatted" ] && exit 0
  echo "not formatted (run scripts/format.sh):"
  echo "$unformatted"
  exit 1
fi
clang-format -i "${files[@]}"
