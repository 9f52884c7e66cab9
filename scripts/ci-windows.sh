#!/bin/bash
# The Windows stage of CI: cross-compiles and links the whole tree (monitor,
# stand-in hsif.dll, tools, tests) with MinGW-w64 for 32-bit and 64-bit Windows,
# with warnings as errors, then runs both test suites under Wine through
# ctest: the 64-bit one with wine64, the 32-bit one (the build that meets the
# card's 32-bit driver) with Debian's 32-bit Wine, wine32:i386, in the same
# prefix.
#
#   scripts/ci-windows.sh [--no-tests]
#
# Build folders: build-mingw32/ and build-mingw64/ at the top of the tree.
# Installs g++-mingw-w64, wine64, wine32:i386 (adding the i386 architecture)
# and googletest with apt-get when missing (scripts/install-deps.sh).
# When the 32-bit Wine cannot be installed, when this machine cannot execute
# 32-bit x86 programs at all (scripts/x86-32-probe.sh: on some of our machines
# the kernel runs none, Wine's 32-bit loader included), or when the 32-bit
# Wine does not start the build's scanmon.exe, the 32-bit tree is still built
# and linked, and the stage says loudly that its tests did not run, and why
# (also in the summary of .ci/run, through the file SCANMON_CI_SUMMARY names).
# The 32-bit code that is not Windows' own is tested on every machine by
# scripts/ci-i686.sh.
# Exits non-zero when a build or a test fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${SCANMON_JOBS:-$(nproc)}
run_tests=1
[ "${1:-}" = --no-tests ] && run_tests=0

# shellcheck source=scripts/stage-timer.sh
. "$root/scripts/stage-timer.sh"

# Debian's MinGW-w64 compilers (i686 and x86_64, both thread models), Wine
# for the 64-bit tests, GoogleTest's sources to cross-compile; then the 32-bit
# Wine apart, so that the builds go on without it.
extra=(g++-mingw-w64 googletest)
[ "$run_tests" = 1 ] && extra+=(wine64 python3)
"$root/scripts/install-deps.sh" "${extra[@]}"
# A line for the closing summary of .ci/run (and this stage's output).
summary() {
  echo "$1"
  if [ -n "${SCANMON_CI_SUMMARY:-}" ]; then echo "$1" >>"$SCANMON_CI_SUMMARY"; fi
}
not_run_banner() {
  echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
  echo "!! ci-windows: i686 tests under Wine NOT RUN: $1"
  echo "!! (the 32-bit tree is built and linked all the same)"
  echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
}
# The number of tests of a ctest log ("... failed out of N"), and how many of
# them were skipped.
ctest_count() {
  local n skipped
  n=$(sed -nE 's/^[0-9]+% tests passed, [0-9]+ tests? failed out of ([0-9]+).*/\1/p' "$1" | tail -n 1)
  skipped=$(grep -c '(Skipped)$' "$1" || true)
  echo "${n:-0} tests${skipped:+, $skipped skipped}" | sed 's/, 0 skipped//'
}

wine32=0
wine32_reason=
if [ "$run_tests" = 1 ]; then
  # Probed first: where nothing 32-bit runs, the 32-bit Wine (some 240 i386
  # packages) is not worth installing.
  if ! wine32_reason=$("$root/scripts/x86-32-probe.sh"); then
    :
  elif ! "$root/scripts/install-deps.sh" wine32:i386 || [ ! -x /usr/lib/wine/wine ]; then
    wine32_reason="the 32-bit Wine (wine32:i386) could not be installed"
  else
    wine32=1
    wine32_reason=
  fi
  [ "$wine32" = 1 ] || not_run_banner "$wine32_reason"
fi
stage "tools installed"

for arch in i686 x86_64; do
  case $arch in i686) dir=$root/build-mingw32 ;; *) dir=$root/build-mingw64 ;; esac
  cmake -S "$root" -B "$dir" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSCANMON_WERROR=ON >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j "$jobs"
  stage "$arch build"
done

if [ "$run_tests" = 1 ]; then
  # Each test program runs under Wine through scripts/wine-run.sh (the
  # emulator set by both toolchain files; it takes the loader that fits the
  # program), with a null-modem pair of pseudo-terminal serial ports of its
  # own. Both suites share one 64-bit prefix.
  # ctest lists each program's tests through Wine within 5 s: make the Wine
  # prefix first (some 10 s the first time) and keep its server up meanwhile.
  export WINEPREFIX=$root/build-mingw64/wineprefix
  (cd "$root/build-mingw64" && "$root/scripts/wine-run.sh" cmd /c ver >/dev/null)
  /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true  # may run already
  trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
  stage "Wine prefix ready"
  log=$root/build-mingw64/ctest-wine.log
  (cd "$root/build-mingw64" && ctest -j "$jobs" --timeout 120 --output-on-failure) | tee "$log"
  summary "x86_64 under Wine: $(ctest_count "$log")"
  stage "x86_64 tests under Wine"
  # The Windows server of the build BITS under Wine, read by the Linux build
  # (python_test_remote_wine); LABEL names its summary line.
  across_the_wall() {
    local bits=$1 label=$2 wall
    if [ ! -f "$root/build/CTestTestfile.cmake" ]; then
      summary "$label: NOT RUN (no Linux build in $root/build)"
      return
    fi
    wall=$(SCANMON_WALL_BITS=$bits ctest --test-dir "$root/build" -R '^python_test_remote_wine$' -V \
      --timeout 300 2>&1) || { echo "$wall"; exit 1; }
    # pytest's closing line, behind ctest's "<test number>: ".
    grep -qE '^[0-9]+: [= ]*[0-9]+ passed' <<<"$wall" && ! grep -qE '[0-9]+ skipped' <<<"$wall" ||
      { echo "$wall"; echo "!! ci-windows: the across-the-wall test ($bits-bit) did not run"; exit 1; }
    summary "$label: $(grep -E '^[0-9]+: [= ]*[0-9]+ passed' <<<"$wall" |
      tail -n 1 | sed -E 's/^[0-9]+: [= ]*//; s/ in .*//')"
    stage "$label"
  }
  # The 32-bit Wine must also start a 32-bit program of the build: on a machine
  # whose kernel runs 32-bit programs it may still fail, and then every test
  # would fail to start rather than say why.
  if [ "$wine32" = 1 ]; then
    started=$(cd "$root/build-mingw32" && "$root/scripts/wine-run.sh" monitor/scanmon.exe --version 2>&1 </dev/null)
    if ! grep -q '^scanmon (scanmon) ' <<<"$started"; then
      wine32=0
      wine32_reason="the 32-bit Wine does not start a 32-bit program ($(tr '\n' ' ' <<<"$started" | cut -c1-200))"
      not_run_banner "$wine32_reason"
    fi
  fi
  if [ "$wine32" = 1 ]; then
    log=$root/build-mingw32/ctest-wine.log
    (cd "$root/build-mingw32" && ctest -j "$jobs" --timeout 120 --output-on-failure) | tee "$log"
    summary "i686 under Wine: $(ctest_count "$log")"
    stage "i686 tests under Wine"
    # Across the 32-bit wall: the 32-bit scanmon-serve.exe with the 32-bit
    # stand-in under Wine, read over the loopback by the native library and by
    # Python, its page in Chromium (a test of the Linux build, which finds
    # build-mingw32 here). It must run, not skip.
    across_the_wall 32 "32-bit server under Wine read by Linux"
  else
    summary "i686 under Wine: NOT RUN ($wine32_reason)"
    summary "32-bit server under Wine read by Linux: NOT RUN ($wine32_reason)"
    stage "i686 tests NOT RUN"
    # The 64-bit server in its place: the Windows server's wire and page are
    # still tried from Linux.
    across_the_wall 64 "64-bit server under Wine read by Linux (in the 32-bit one's place)"
  fi
else
  summary "x86_64 and i686 under Wine: NOT RUN (--no-tests)"
fi
