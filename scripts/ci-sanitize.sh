#!/usr/bin/env bash
# The test suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
BUILD_DIR=build-asan \
CMAKE_ARGS="-DSCANMON_SANITIZE=ON -DSCANMON_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug ${CMAKE_ARGS:-}" \
  scripts/test.sh

# The library's error paths and capture readers under valgrind too, from the
# plain build (the test command's folder, reused as it is): it sees what the
# sanitizers let pass, such as an error text written over itself while it is
# read (an overlapping copy inside the C library). A few seconds.
scripts/install-deps.sh valgrind
plain_dir=${PLAIN_BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$plain_dir" -DSCANMON_BUILD_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$plain_dir" -j"$(nproc)" --target library_test
valgrind -q --error-exitcode=1 "$plain_dir/tests/libscanmon/library_test" \
  --gtest_filter='Library.*:Capture.*' --gtest_brief=1
