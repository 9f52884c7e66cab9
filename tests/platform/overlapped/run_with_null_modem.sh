#!/bin/bash
# Runs a test program on Linux with a null-modem pair of serial ports, as the
# Wine runs give one (scripts/wine-run.sh): two pseudo-terminals joined by
# scripts/wine-null-modem.py, bound to COM1 and COM2 through SCANMON_COMPORTS
# and named in SCANMON_WINE_PORTS. Exits 77 (skipped) when no pair can be made.
#
#   run_with_null_modem.sh PROGRAM [ARGUMENTS...]
set -u
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v python3 >/dev/null; then
  echo "SKIPPED: python3 is needed for the null-modem relay"
  exit 77
fi
folder=$(mktemp -d "${TMPDIR:-/tmp}/scanmon-null-modem-XXXXXX")
python3 "$here/../../../scripts/wine-null-modem.py" "$folder/com1" "$folder/com2" &
relay=$!
trap 'kill $relay 2>/dev/null; wait $relay 2>/dev/null; rm -rf "$folder"' EXIT
for _ in $(seq 500); do
  [ -L "$folder/com1" ] && [ -L "$folder/com2" ] && break
  sleep 0.01
done
if [ ! -L "$folder/com1" ] || [ ! -L "$folder/com2" ]; then
  echo "SKIPPED: the null-modem relay made no ports"
  exit 77
fi
export SCANMON_COMPORTS="COM1=$folder/com1;COM2=$folder/com2"
export SCANMON_WINE_PORTS="COM1 COM2"
"$@"
