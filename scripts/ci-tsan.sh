#!/usr/bin/env bash
# The platform layer's tests built with ThreadSanitizer: the Linux layer is
# safe for concurrent callers (two threads on one serial line), and this keeps
# it so; and the scanner library's (its fetch thread, ring and reader). Only
# those tests (ctest labels "platform" and "library") and the recorder's end
# to end tests are built and run.
# TSAN_REPEAT=n runs each test until it fails, at most n times.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build_dir=${BUILD_DIR:-build-tsan}
jobs=$(nproc)
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
flags="-fsanitize=thread -fno-omit-frame-pointer"
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -DSCANMON_BUILD_TESTS=ON -DSCANMON_BUILD_BENCHMARKS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
  ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j"$jobs" --target platform_shared_line_test \
  platform_files_comm_test platform_overlapped_test platform_terminal_test platform_library_test \
  library_test hsif capture-record capture-info capture_record_e2e_test
# StopRequest.* is left out here: it checks how single-threaded children end
# on their stop signals, which ThreadSanitizer's runtime delivers deferred, at
# its own points, in a forked child (once a child there did not end within
# 30 s on a loaded machine); it involves no second thread and runs in the
# plain and the ASan+UBSan stages.
ctest --test-dir "$build_dir" -L '^platform$' -E '^StopRequest\.' --output-on-failure -j"$jobs" \
  --repeat until-fail:"${TSAN_REPEAT:-1}"
# Apart from the platform tests, whose signal timing a busy machine can upset.
ctest --test-dir "$build_dir" -L '^library$' --output-on-failure -j"$jobs" \
  --repeat until-fail:"${TSAN_REPEAT:-1}"
# The recorder end to end: its fetch thread hands each fetch to the recorder,
# whose writer thread writes the files, while the main thread watches.
ctest --test-dir "$build_dir" -R '^RecordRun\.' --output-on-failure -j"$jobs" \
  --repeat until-fail:"${TSAN_REPEAT:-1}"
