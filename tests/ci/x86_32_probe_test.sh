#!/bin/bash
# x86_32_probe_test.sh SCRIPTS_DIR WORK_DIR: both answers of the 32-bit probe,
# whatever this machine's kernel can, through a fake probe program first on
# PATH (the probe runs its program by name, its own last on PATH), and what
# wine-run.sh and x86-32-run.sh do with each answer.
set -uo pipefail
PATH_BEFORE=$PATH
scripts=$1
work=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work/bin"
# A file with the PE header of a 32-bit Windows program (PE32: optional
# header magic 0x10b at the header's offset, 0x40, plus 24).
{ printf 'MZ'; head -c 58 /dev/zero; printf '\x40\x00\x00\x00'; printf 'PE\0\0'; head -c 20 /dev/zero
  printf '\x0b\x01'; head -c 200 /dev/zero; } >"$work/prog32.exe"
# What "running" a program means on the faked machine: a fake qemu-i386 that
# says it was asked, and a 32-bit "program" (a script) that says it ran.
printf '#!/bin/sh\necho "qemu-i386 ran $*"\n' >"$work/bin/qemu-i386"
printf '#!/bin/sh\necho "ran natively $*"\n' >"$work/prog32"
chmod +x "$work/bin/qemu-i386" "$work/prog32"

# The fake probe programs: what the kernel of each kind of machine does.
cannot='echo "scanmon-x86-32-probe: cannot execute binary file: Exec format error" >&2; exit 126'
can='exit 42'

# fake probe | probe status | x86-32-run.sh with the probe | with SCANMON_X86_32_EMULATE=1
while IFS='|' read -r name body want_status want_run want_forced; do
  printf '#!/bin/sh\n%s\n' "$body" >"$work/bin/scanmon-x86-32-probe"
  chmod +x "$work/bin/scanmon-x86-32-probe"
  export PATH="$work/bin:$PATH_BEFORE"
  out=$("$scripts/x86-32-probe.sh" 2>"$work/probe.err")
  status=$?
  [ "$status" = "$want_status" ] || fail "$name: probe status $status, not $want_status"
  if [ "$want_status" = 1 ]; then
    [ "$out" = "this machine cannot execute 32-bit x86 programs" ] || fail "$name: probe said '$out'"
    grep -q "status 126.*Exec format error" "$work/probe.err" || fail "$name: probe's detail: $(cat "$work/probe.err")"
    # wine-run.sh does not start a 32-bit program, says why, and ends with 125.
    err=$(cd "$work" && WINEPREFIX=$work/wineprefix "$scripts/wine-run.sh" "$work/prog32.exe" 2>&1 >/dev/null)
    status=$?
    [ "$status" = 125 ] || fail "$name: wine-run.sh ended with $status, not 125"
    grep -q "prog32.exe is a 32-bit program and this machine cannot execute 32-bit x86 programs" <<<"$err" ||
      fail "$name: wine-run.sh said: $err"
    [ ! -e "$work/wineprefix" ] || fail "$name: wine-run.sh made a Wine prefix for a program it cannot start"
  else
    [ -z "$out" ] || fail "$name: probe said '$out'"
  fi
  out=$(SCANMON_X86_32_EMULATE= "$scripts/x86-32-run.sh" "$work/prog32" a 'b c' 2>&1)
  [ "$out" = "$want_run" ] || fail "$name: x86-32-run.sh gave '$out', not '$want_run'"
  out=$(SCANMON_X86_32_EMULATE=1 "$scripts/x86-32-run.sh" "$work/prog32" a 'b c' 2>&1)
  [ "$out" = "$want_forced" ] || fail "$name: forced emulation gave '$out', not '$want_forced'"
done <<EOF_CASES
cannot run|$cannot|1|qemu-i386 ran $work/prog32 a b c|qemu-i386 ran $work/prog32 a b c
can run|$can|0|ran natively a b c|qemu-i386 ran $work/prog32 a b c
EOF_CASES

# No qemu-i386 on a machine that cannot: status 125 and what to install.
printf '#!/bin/sh\n%s\n' "$cannot" >"$work/bin/scanmon-x86-32-probe"
rm "$work/bin/qemu-i386"
if ! command -v qemu-i386 >/dev/null; then
  err=$(PATH="$work/bin:$PATH_BEFORE" "$scripts/x86-32-run.sh" "$work/prog32" 2>&1)
  status=$?
  [ "$status" = 125 ] && grep -q "qemu-user" <<<"$err" || fail "no qemu-i386: status $status, '$err'"
else
  # The probe's own program is a sound i386 program: under qemu-i386 (a fake
  # first on PATH hands it over) it ends with the status the probe looks for.
  printf '#!/bin/sh\nexec qemu-i386 "$(which -a scanmon-x86-32-probe | sed -n 2p)"\n' \
    >"$work/bin/scanmon-x86-32-probe"
  PATH="$work/bin:$PATH_BEFORE" "$scripts/x86-32-probe.sh" ||
    fail "the probe's program did not end with status 42 under qemu-i386"
fi

rm -rf "$work"
[ "$failures" = 0 ] || exit 1
echo "probe: both answers, wine-run.sh and x86-32-run.sh with each"
