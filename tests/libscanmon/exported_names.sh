#!/bin/sh
# The shared library exports the C interface's names (scanmon_*) and nothing
# else: no C++ runtime, no internal symbol an integrator could bind to by
# mistake; and every name the header declares.
#   exported_names.sh LIBRARY            an ELF shared library (nm -D)
#   exported_names.sh DLL OBJDUMP        a Windows DLL (its export table)
set -eu
library=$1
if [ $# -ge 2 ]; then
  names=$("$2" -p "$library" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p')
else
  names=$(nm -D --defined-only "$library" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }')
fi
others=$(printf '%s\n' "$names" | grep -v '^scanmon_' || true)
if [ -n "$others" ]; then
  echo "$library exports names outside the interface:" >&2
  printf '%s\n' "$others" >&2
  exit 1
fi
count=$(printf '%s\n' "$names" | grep -c '^scanmon_' || true)
header=$(dirname "$0")/../../include/scanmon/scanmon.h
declared=$(grep -c '^SCANMON_API' "$header")
if [ "$count" -ne "$declared" ]; then
  echo "$library exports $count scanmon_ names; the header declares $declared" >&2
  exit 1
fi
echo "$library: $count names, all of the interface"
