#!/usr/bin/env bash
# Fails when a file includes a header of a layer above its own (or of a sibling layer). A folder
# under src/ is a layer; includes only point down:
#   platform <- common <- host <- store <- devices, clients <- channels
#            <- carriers, dispatch, automation <- server <- ui
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A rank=([platform]=0 [common]=1 [host]=2 [store]=3 [devices]=4 [clients]=4
                 [channels]=5 [carriers]=6 [dispatch]=6 [automation]=6 [server]=7 [ui]=8)
bad=0
while IFS= read -r line; do
  file=${line%%:*}
  inc=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${line#*:}")
  # The program entry alone sits above every layer: it picks the headless run or the desktop.
  [ "$file" = src/server/StartUp.cpp ] && continue
  from=$(cut -d/ -f2 <<<"$file")
  to=${inc%%/*}
  [ "$to" = "$inc" ] && continue              # a header of the same folder, by bare name
  [ -z "${rank[$to]+x}" ] && continue         # not a layer (a system or library header)
  [ -z "${rank[$from]+x}" ] && { echo "unknown layer folder: src/$from"; bad=1; continue; }
  if [ "$from" != "$to" ] && [ "${rank[$to]}" -ge "${rank[$from]}" ]; then
    echo "$file includes $inc: $to is not below $from"
    bad=1
  fi
done < <(grep -rnE '^#include "' src | sed -E 's/^([^:]+):[0-9]+:/\1:/')
if [ "$bad" -ne 0 ]; then exit 1; fi
echo "check-layers: every include points down"
