#!/usr/bin/env bash
# Keeps the plug-in's layers honest. The order lives in scripts/layers.txt (floor first). Fails
# when a plug-in file includes a header from a higher layer, when the plug-in's folders include
# each other in a cycle, or when two files' modules (a header and its .cpp count as one) do.
# Includes without a folder ("resource.h" in the resource script, generated tables) and
# system headers are not looked at. Prints every offence and exits 1 when there is one.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

declare -A rank=()
level=0
while read -r line; do
  line=${line%%#*}
  [ -z "${line// /}" ] && continue
  level=$((level + 1))
  for folder in $line; do rank[$folder]=$level; done
done <scripts/layers.txt

status=0
folder_edges=$(mktemp)
module_edges=$(mktemp)
trap 'rm -f "$folder_edges" "$module_edges"' EXIT

for folder in "${!rank[@]}"; do
  [ -d "$folder" ] || continue
  while IFS= read -r file; do
    module=${file%.*}
    while IFS=: read -r number target; do
      top=${target%%/*}
      [ "$top" = "$target" ] && continue      # no folder: not one of ours
      [ -n "${rank[$top]:-}" ] || continue    # a stand-in's or a system header
      if [ "${rank[$top]}" -gt "${rank[$folder]}" ]; then
        echo "$file:$number: includes $target, from layer $top above $folder"
        status=1
      fi
      [ "$top" != "$folder" ] && echo "$folder $top" >>"$folder_edges"
      target_module=${target%.*}
      [ "$target_module" != "$module" ] && echo "$module $target_module" >>"$module_edges"
    done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' "$file" |
      sed -E 's/^([0-9]+):[^"]*"([^"]*)".*/\1:\2/')
  done < <(find "$folder" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.rc' \) | sort)
done

# tsort reports a loop on standard error; every node of each loop is named.
for kind in folder module; do
  edges=${kind}_edges
  if ! loops=$(sort -u "${!edges}" | tsort 2>&1 >/dev/null) || [ -n "$loops" ]; then
    echo "$kind cycle:"
    sed 's/^/  /' <<<"$loops"
    status=1
  fi
done

[ "$status" -eq 0 ] && echo "layers: every include points down, no cycles"
exit "$status"
