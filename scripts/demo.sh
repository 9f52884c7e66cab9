#!/usr/bin/env bash
# Builds the monitor and the stand-in driver and starts the monitor in a fresh
# copy of the demo folder. Press x to end it. The monitor's arguments may be
# given (scripts/demo.sh --status run1.out); the output file is capture.out
# unless one is named.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target scanmon hsif
run_dir="$build_dir/demo-run"
rm -rf "$run_dir"
cp -r demo "$run_dir"
cd "$run_dir"
named=
for arg in "$@"; do [ "$arg" = --status ] || named=1; done
[ -n "$named" ] || set -- "$@" capture.out
exec ../monitor/scanmon "$@"
