#!/bin/bash
# The Windows scanmon-preflight under Wine against a stand-in hsif.dll: ready,
# and on 32-bit x86 its driver line names the stand-in's calling convention.
#
#   preflight_wine_test.sh WINE_RUN PREFLIGHT_EXE STANDIN_DIR DEMO_DIR CONVENTION
#
# CONVENTION: __cdecl or __stdcall, the stand-in's; "one" for a 64-bit build,
# where there is one convention and no calls line.
# Exit status 0 passes, anything else fails.
set -u
wine_run=$1 preflight=$2 standin=$3 demo=$4 convention=$5

folder=$(mktemp -d "${TMPDIR:-/tmp}/scanmon-wine-preflight-XXXXXX")
trap 'rm -rf "$folder"' EXIT
fail() {
  echo "FAILED: $*"
  echo "--- stdout"; cat "$folder/out.txt"
  echo "--- stderr"; cat "$folder/err.txt"
  exit 1
}

cp "$demo/properties.txt" "$demo/ar4000_demo.cal" "$folder/"
cp "$preflight" "$folder/scanmon-preflight.exe"
export WINEPATH=Z:$standin
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$PWD
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  export WINEPREFIX=$dir/wineprefix
fi
cd "$folder" || exit 1
"$wine_run" ./scanmon-preflight.exe --no-port </dev/null >out.txt 2>err.txt
status=$?
for stream in out err; do tr -d '\r' <$stream.txt >$stream.lf && mv $stream.lf $stream.txt; done

[ "$status" = 0 ] || fail "status $status, not 0"
grep -q '^driver: hsif bound (all 50 entry points) from ' out.txt || fail "no driver line"
grep -q '^ready: ' out.txt || fail "not ready"
case $convention in
  __stdcall) line="driver: calls: __stdcall (the driver removes its arguments)" ;;
  __cdecl) line="driver: calls: __cdecl (the caller removes the arguments)" ;;
  one)
    grep -q '^driver: calls:' out.txt && fail "a calls line where there is one convention"
    echo "passed: no calls line"
    exit 0
    ;;
  *) echo "unknown convention $convention"; exit 2 ;;
esac
grep -qxF "$line" out.txt || fail "no line: $line"
echo "passed: $line"
