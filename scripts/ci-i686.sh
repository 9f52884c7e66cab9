#!/bin/bash
# The Linux i686 stage of CI: the 32-bit x86 code that is not Windows' own,
# tested on every machine, also where the kernel cannot execute 32-bit x86
# programs (and so the i686 suite under Wine cannot run).
#
#   scripts/ci-i686.sh
#
# Cross-compiles a part of the tree for 32-bit x86 Linux with Debian's
# g++-i686-linux-gnu (cmake/toolchains/linux-i686.cmake; GoogleTest from its
# sources, as for MinGW) into build-i686/, warnings as errors, and runs its
# tests through ctest: natively where the kernel runs 32-bit programs
# (scripts/x86-32-probe.sh), else under qemu-i386 (Debian's qemu-user),
# ctest's emulator being scripts/x86-32-run.sh. SCANMON_X86_32_EMULATE=1
# forces qemu-i386. What runs (tests/ folders):
# - hsif: the driver-call routine against functions of both conventions and
#   its observation table, the convention's report;
# - libscanmon: the library end to end against the stand-in of each calling
#   convention (library_test, library_test.__stdcall), its examples, its
#   exported names;
# - record: the recorder's ring (sizes and counts in 32 bits), the block index
#   (offsets); the recorder end to end natively only (it starts programs,
#   which qemu-i386 cannot follow);
# - stream: the stream protocol's parsers against their limits, sockets.
# Exits non-zero when the build or a test fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${SCANMON_JOBS:-$(nproc)}
dir=$root/build-i686
start=$(date +%s)
summary() {
  echo "$1"
  if [ -n "${SCANMON_CI_SUMMARY:-}" ]; then echo "$1" >>"$SCANMON_CI_SUMMARY"; fi
}

emulate=${SCANMON_X86_32_EMULATE:-}
if [ -z "$emulate" ]; then
  if reason=$("$root/scripts/x86-32-probe.sh"); then emulate=0; else emulate=1; fi
else
  reason="SCANMON_X86_32_EMULATE=$emulate"
fi
# The cross compiler brings its own C library; gcc-multilib would remove it.
extra=(g++-i686-linux-gnu googletest)
[ "$emulate" = 1 ] && extra+=(qemu-user)
"$root/scripts/install-deps.sh" "${extra[@]}"
export SCANMON_X86_32_EMULATE=$emulate
if [ "$emulate" = 1 ]; then
  how="under qemu"
  echo "ci-i686: the tests run under qemu-i386 ($reason)"
else
  how="natively"
fi

folders="support;hsif;libscanmon;record;stream"
targets=(fake_platform_test hsif_binding_test hsif_driver_call_test library_test hsif hsif_other_callconv header_c99_test health_c
  health_cpp health_cpp_static record_ring_test block_index_test stream_test sample_clock_test
  revolution_reader_test)
if [ "$emulate" = 0 ]; then targets+=(capture_record_e2e_test); fi
cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/linux-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSCANMON_WERROR=ON -DSCANMON_BUILD_BENCHMARKS=OFF \
  -DSCANMON_API_DOCS=OFF "-DSCANMON_TEST_FOLDERS=$folders" ${CMAKE_ARGS:-} \
  >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
built=$(date +%s)
echo "== i686 build ($((built - start))s)"

exclude=()
# Under qemu-i386 the tests that start programs are left out (a stale test
# program of a native run included); the one not built would count as failed.
if [ "$emulate" = 1 ]; then exclude=(-LE starts_programs -E '^capture_record_e2e_test_NOT_BUILT$'); fi
log=$dir/ctest.log
(cd "$dir" && ctest -j "$jobs" --timeout 180 --output-on-failure "${exclude[@]}") | tee "$log"
n=$(sed -nE 's/^[0-9]+% tests passed, [0-9]+ tests? failed out of ([0-9]+).*/\1/p' "$log" | tail -n 1)
[ "${n:-0}" -gt 0 ] || { echo "ci-i686: no test ran"; exit 1; }
summary "i686 $how: $n tests"
echo "== i686 tests $how ($(( $(date +%s) - built ))s)"
