#!/usr/bin/env bash
# The test suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
BUILD_DIR=build-asan \
CMAKE_ARGS="-DSCANMON_SANITIZE=ON -DSCANMON_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug ${CMAKE_ARGS:-}" \
  scripts/test.sh
