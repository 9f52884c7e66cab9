#!/bin/bash
# Runs a 32-bit x86 Linux program, as ctest does for every test program of the
# Linux i686 build (CMAKE_CROSSCOMPILING_EMULATOR of
# cmake/toolchains/linux-i686.cmake):
#
#   scripts/x86-32-run.sh program [arguments...]
#
# - Natively where the kernel runs 32-bit x86 programs
#   (scripts/x86-32-probe.sh), else under qemu-i386 user emulation (Debian's
#   qemu-user), which needs no help from the kernel.
# - SCANMON_X86_32_EMULATE=1 takes qemu-i386 whatever the kernel can (to test
#   that path on a machine that would run the program natively), 0 never;
#   unset or empty: probe.
# - Under qemu-i386 a program the test starts in its turn (a child process) is
#   started by the kernel, natively: the i686 suite leaves such tests out.
# - The exit status is the program's; 125 when it cannot be run here (no
#   qemu-i386), with a message saying what to install.
set -u
here=$(cd "$(dirname "$0")" && pwd)

emulate=${SCANMON_X86_32_EMULATE:-}
if [ -z "$emulate" ]; then
  if "$here/x86-32-probe.sh" >/dev/null 2>&1; then emulate=0; else emulate=1; fi
fi
if [ "$emulate" = 0 ]; then
  exec "$@"
fi
qemu=$(command -v qemu-i386) || {
  echo "x86-32-run.sh: this machine cannot execute 32-bit x86 programs and there is no" \
    "qemu-i386 to run $1 (scripts/install-deps.sh qemu-user)" >&2
  exit 125
}
exec "$qemu" "$@"
