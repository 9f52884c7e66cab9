#!/bin/bash
# Runs a Windows program under Wine, as ctest does for every test program of
# the Windows builds (CMAKE_CROSSCOMPILING_EMULATOR of
# cmake/toolchains/mingw-w64-*.cmake):
#
#   scripts/wine-run.sh program.exe [arguments...]
#
# - The Wine loader fits the program: /usr/lib/wine/wine (Debian's wine32:i386)
#   for a 32-bit one (PE32), /usr/lib/wine/wine64 for a 64-bit one (PE32+), read
#   from the file's PE header; SCANMON_WINE names a loader instead. Both run in
#   the same 64-bit prefix. A command that is not a file (cmd, wineboot) runs
#   with wine64.
# - A 32-bit program on a machine that cannot execute 32-bit x86 programs
#   (scripts/x86-32-probe.sh; Wine's 32-bit loader is one) is not started:
#   status 125 and that reason, as without a 32-bit Wine.
# - The Wine prefix is $WINEPREFIX when set, else <build dir>/wineprefix (the
#   build dir: the nearest folder at or above the working directory that holds
#   CMakeCache.txt); it is made on first use.
# - The program gets a null-modem pair of serial ports of its own: two linked
#   pseudo-terminals (scripts/wine-null-modem.py) as COM<2k+1> and COM<2k+2>, k
#   the first of four pairs that no other run holds. Their names are in
#   SCANMON_WINE_PORTS ("COM1 COM2"); SCANMON_UNDER_WINE is 1.
# - The exit status is the program's; 125 when a 32-bit program cannot be
#   run here (above).
set -u

here=$(cd "$(dirname "$0")" && pwd)

# "32" or "64" for a PE program (its optional header's magic: 0x10b PE32,
# 0x20b PE32+), nothing for anything else.
pe_bits() {
  local offset magic
  [ -f "$1" ] || return 0
  [ "$(head -c 2 "$1")" = MZ ] || return 0
  offset=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
  [ -n "$offset" ] || return 0
  # od prints the 16-bit word as four hex digits (010b).
  magic=$(od -An -t x2 -j $((offset + 24)) -N 2 "$1" | tr -d ' ')
  case $magic in 010b) echo 32 ;; 020b) echo 64 ;; esac
}

wine=${SCANMON_WINE:-}
if [ -z "$wine" ]; then
  wine=/usr/lib/wine/wine64
  if [ "$(pe_bits "${1:-}")" = 32 ]; then
    wine=/usr/lib/wine/wine
    if ! reason=$("$here/x86-32-probe.sh"); then
      echo "wine-run.sh: $1 is a 32-bit program and $reason" \
        "(Wine's 32-bit loader is one); not started" >&2
      exit 125
    fi
    if [ ! -x "$wine" ]; then
      echo "wine-run.sh: $1 is a 32-bit program and there is no 32-bit Wine ($wine);" \
        "install wine32:i386 (scripts/install-deps.sh wine32:i386)" >&2
      exit 125
    fi
  fi
fi

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$PWD
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    echo "wine-run.sh: no build folder above $PWD; set WINEPREFIX" >&2
    exit 2
  fi
  WINEPREFIX=$dir/wineprefix
fi
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# No prompts to install Mono or Gecko: the programs need neither.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export SCANMON_UNDER_WINE=1

# Make the prefix once, whatever the number of runs started in parallel.
mkdir -p "$WINEPREFIX"
exec 8>"$WINEPREFIX.lock"
flock 8
ports=$WINEPREFIX/scanmon-ports
if [ ! -f "$ports/prefix-ready" ]; then
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 8>&-
  # Wine's mount manager gives COM numbers to the machine's own serial devices
  # (/dev/ttyS*) each time Wine starts; the Ports key takes COM1 to COM8 from
  # it for links of our own, which each run points at its pseudo-terminals.
  mkdir -p "$ports"
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    for n in 1 2 3 4 5 6 7 8; do printf '"COM%d"="%s/com%d"\n' "$n" "$ports" "$n"; done
  } >"$ports/ports.reg"
  /usr/lib/wine/wine64 regedit /S "Z:$ports/ports.reg" >/dev/null 2>&1 8>&-
  # Start Wine afresh so that the mount manager reads the key.
  /usr/lib/wine/wineserver -k >/dev/null 2>&1
  touch "$ports/prefix-ready"
fi
exec 8>&-
# One Wine server and its services for the runs that follow each other (they
# stay 30 s after the last program ends). They are started here, apart from the
# program, when none are running: started by the program, they would inherit
# its output streams and hold them open, and ctest would wait for them.
/usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1

# Take a free pair of port numbers (or wait for the first pair).
pair=
for k in 0 1 2 3; do
  exec 9>"$ports/pair$k.lock"
  if flock -n 9; then pair=$k; break; fi
done
if [ -z "$pair" ]; then
  exec 9>"$ports/pair0.lock"
  flock 9
  pair=0
fi
a=$((2 * pair + 1))
b=$((2 * pair + 2))
link_a=$ports/com$a
link_b=$ports/com$b
rm -f "$link_a" "$link_b"
/usr/bin/python3 "$here/wine-null-modem.py" "$link_a" "$link_b" 9>&- &
relay=$!
trap 'kill "$relay" 2>/dev/null; rm -f "$link_a" "$link_b"; exit 143' TERM INT
for _ in $(seq 500); do
  [ -L "$link_a" ] && [ -L "$link_b" ] && break
  if ! kill -0 "$relay" 2>/dev/null; then break; fi
  sleep 0.01
done
if [ -L "$link_a" ] && [ -L "$link_b" ]; then
  export SCANMON_WINE_PORTS="COM$a COM$b"
else
  echo "wine-run.sh: no serial port pair; tests that need one will skip" >&2
fi

"$wine" "$@" 9>&-
status=$?

kill "$relay" 2>/dev/null
wait "$relay" 2>/dev/null
rm -f "$link_a" "$link_b"
exit $status
