#!/bin/bash
# One recording end to end with the Windows capture-record and the stand-in
# hsif.dll under Wine, checked with the Windows capture-info:
#
#   record_wine_test.sh WINE_RUN CAPTURE_RECORD_EXE CAPTURE_INFO_EXE STANDIN_DIR DEMO_DIR [BITS]
#
# BITS 32 (a 32-bit build): first, a ring of 4096 MB, which a 32-bit process
# cannot hold, is refused as a usage error (status 2) before anything starts.
# Exit status 0 passes, anything else fails.
set -u
wine_run=$1 recorder=$2 info=$3 standin=$4 demo=$5 bits=${6:-64}

folder=$(mktemp -d "${TMPDIR:-/tmp}/scanmon-wine-record-XXXXXX")
trap 'rm -rf "$folder"' EXIT
fail() {
  echo "FAILED: $*"
  for f in out err info; do echo "--- $f"; cat "$folder/$f.txt" 2>/dev/null; done
  exit 1
}

cp "$demo/ar4000_demo.cal" "$folder/"
cp "$recorder" "$folder/capture-record.exe"
cp "$info" "$folder/capture-info.exe"
# 100000 samples at 20 us (two seconds of a 50 kHz card), 2000 per fetch,
# both files.
printf '3\n1\n0\n20\n1200\n2000\n100000\n200\n100\n4096\n200\nar4000_demo.cal\nscan01\n100\n0\n1\n' \
  >"$folder/scan.cfg"
export WINEPATH=Z:$standin

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$PWD
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  export WINEPREFIX=$dir/wineprefix
fi
cd "$folder" || exit 1
if [ "$bits" = 32 ]; then
  "$wine_run" ./capture-record.exe --ring-mb 4096 scan.cfg </dev/null >out.txt 2>err.txt
  status=$?
  [ "$status" = 2 ] || fail "--ring-mb 4096 on 32 bits: status $status, not 2"
  grep -qF -- "--ring-mb 4096: this 32-bit build can hold a ring of at most 2047 MB" err.txt ||
    fail "--ring-mb 4096 on 32 bits: no message saying why"
  [ ! -e scan01.prc ] || fail "--ring-mb 4096 on 32 bits: a file was made"
fi
"$wine_run" ./capture-record.exe --calibration-value 7 scan.cfg </dev/null >out.txt 2>err.txt
status=$?
"$wine_run" ./capture-info.exe scan01.prc scan01.raw </dev/null >info.txt 2>>err.txt
info_status=$?
for stream in out err info; do tr -d '\r' <$stream.txt >$stream.lf && mv $stream.lf $stream.txt; done

[ "$status" = 0 ] || fail "capture-record status $status, not 0"
[ "$info_status" = 0 ] || fail "capture-info status $info_status, not 0"
grep -qF "Samples recorded: 100000 of 100000" out.txt || fail "no complete recording"
[ "$(stat -c %s scan01.prc)" = $((293 + 100000 * 64)) ] || fail "scan01.prc size"
[ "$(stat -c %s scan01.raw)" = $((293 + 100000 * 16)) ] || fail "scan01.raw size"
[ "$(grep -cF 'Records present: 100000; header count 100000: match' info.txt)" = 2 ] ||
  fail "capture-info does not find both files whole"
grep -qF " Calibration value: 7" info.txt || fail "calibration value not in the header"
echo "recorded and checked under Wine"
