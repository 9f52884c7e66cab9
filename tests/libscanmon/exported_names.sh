#!/bin/sh
# The shared library exports the C interface's names (scanmon_*) and nothing
# else: no C++ runtime, no internal symbol an integrator could bind to by
# mistake. Usage: exported_names.sh LIBRARY
set -eu
library=$1
names=$(nm -D --defined-only "$library" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }')
others=$(printf '%s\n' "$names" | grep -v '^scanmon_' || true)
if [ -n "$others" ]; then
  echo "$library exports names outside the interface:" >&2
  printf '%s\n' "$others" >&2
  exit 1
fi
count=$(printf '%s\n' "$names" | grep -c '^scanmon_')
header=$(dirname "$0")/../../include/scanmon/scanmon.h
declared=$(grep -c '^SCANMON_API' "$header")
if [ "$count" -ne "$declared" ]; then
  echo "$library exports $count scanmon_ names; the header declares $declared" >&2
  exit 1
fi
echo "$library: $count names, all of the interface"
