#!/bin/bash
# Can this machine execute a 32-bit x86 program? Some of our machines' kernels
# run them, others do not (then every i386 program, Wine's 32-bit loader
# among them, fails with "Exec format error", though wine32:i386 installs).
#
#   scripts/x86-32-probe.sh
#
# Writes a 93-byte i386 Linux program (no C library: it only ends with status
# 42 through the kernel's 32-bit system call) into a scratch folder and runs
# it by its name, scanmon-x86-32-probe, with that folder last on PATH: a
# program of that name earlier on PATH is run instead (how the tests fake
# either answer). Exit status 0: it ran. 1: it did not; stdout then says
# "this machine cannot execute 32-bit x86 programs" (the words the CI banners
# and wine-run.sh use) and stderr what running it gave.
set -u

dir=$(mktemp -d "${TMPDIR:-/tmp}/x86-32-probe.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
# ELF header (32-bit, little-endian, executable, i386, entry 0x08048054), one
# loadable segment of the whole file at 0x08048000, then the code:
# xor eax,eax; inc eax (exit); xor ebx,ebx; mov bl,42; int 0x80.
printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'\
'\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'\
'\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'\
'\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00'\
'\x00\x10\x00\x00\x31\xc0\x40\x31\xdb\xb3\x2a\xcd\x80' >"$dir/scanmon-x86-32-probe"
chmod +x "$dir/scanmon-x86-32-probe"

output=$(PATH="$PATH:$dir" scanmon-x86-32-probe 2>&1 </dev/null)
status=$?
[ "$status" = 42 ] && exit 0
echo "this machine cannot execute 32-bit x86 programs"
echo "x86-32-probe: a 32-bit x86 program ended with status $status, not 42${output:+: $output}" >&2
exit 1
