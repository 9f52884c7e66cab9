#!/usr/bin/env bash
# Builds everything and runs every test. Extra CMake options may be passed in
# CMAKE_ARGS, another build folder in BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian's chromium: the status page's test in a headless browser.
scripts/install-deps.sh chromium
build_dir=${BUILD_DIR:-build}
jobs=$(nproc)
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -DSCANMON_BUILD_TESTS=ON ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j"$jobs"
ctest --test-dir "$build_dir" --output-on-failure -j"$jobs"
