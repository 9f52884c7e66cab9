#!/bin/bash
# install_tree_test.sh BUILD_DIR WORK_DIR: installs BUILD_DIR into WORK_DIR/a,
# moves the tree to WORK_DIR/b (an installed tree may be moved), then checks it.
set -euo pipefail
build=$1
work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/a" >"$work/install.log"
mv "$work/a" "$work/b"
prefix=$work/b
unset LD_LIBRARY_PATH

standin=$(cd "$prefix" && find . -path '*/scanmon/standin/libhsif.so' | sed 's|^\./||')
[ -n "$standin" ] || fail "no stand-in under lib*/scanmon/standin"
for path in share/scanmon/demo/properties.txt share/scanmon/demo/standin.fields \
            share/doc/scanmon/copyright share/doc/scanmon/README.md \
            share/doc/scanmon/api/index.html; do
  [ -f "$prefix/$path" ] || fail "$path not installed"
done
while read -r name help _; do
  [ -x "$prefix/bin/$name" ] || fail "bin/$name not installed"
  [ -f "$prefix/share/bash-completion/completions/$name" ] || fail "no completion for $name"
  if [ "$help" = help ] && grep -q '^SCANMON_MANPAGES:BOOL=ON' "$build/CMakeCache.txt"; then
    [ -f "$prefix/share/man/man1/$name.1.gz" ] || fail "no manual page for $name"
  fi
  # A program built here must not find its driver through the build folder.
  if readelf -d "$prefix/bin/$name" 2>/dev/null | grep -qE 'RPATH|RUNPATH'; then
    fail "bin/$name keeps a RUNPATH: $(readelf -d "$prefix/bin/$name" | grep -E 'RPATH|RUNPATH')"
  fi
done <"$build/scanmon-programs.txt"
if grep -q '^SCANMON_MANPAGES:BOOL=ON' "$build/CMakeCache.txt"; then
  "$(dirname "$0")/../../scripts/check-man-pages.sh" "$prefix/share/man/man1" \
    "$build/scanmon-programs.txt" >/dev/null
fi

# The scanner library, its headers and packages; no RUNPATH into the build.
library=$(cd "$prefix" && find . -name 'libscanmon.so.1' | sed 's|^\./||')
[ -n "$library" ] || fail "no libscanmon.so.1 installed"
for path in include/scanmon/scanmon.h include/scanmon/scanmon.hpp \
            "$(dirname "$library")/cmake/scanmon/scanmonConfig.cmake" \
            "$(dirname "$library")/pkgconfig/scanmon.pc"; do
  [ -f "$prefix/$path" ] || fail "$path not installed"
done
if readelf -d "$prefix/$library" | grep -qE 'RPATH|RUNPATH'; then
  fail "$library keeps a RUNPATH"
fi

# The demo command runs the monitor against the installed stand-in; the
# stand-in fails the third fetch, which ends the run with status 3 (line
# released, card closed).
status=0
HSIF_SIM_FAIL_FETCH_AFTER=2 timeout 60 "$prefix/bin/scanmon-demo" --dir "$work/run" \
  </dev/null >"$work/demo.out" 2>"$work/demo.err" || status=$?
[ "$status" = 3 ] || { cat "$work/demo.out" "$work/demo.err"; fail "scanmon-demo ended with $status, not 3"; }
grep -qx "Using DLL: $prefix/$standin" "$work/demo.out" || { cat "$work/demo.out"; fail "demo did not use $prefix/$standin"; }
grep -qx "ERROR: Buffer overflow flag not getting set." "$work/demo.out" || fail "demo did not end by the failed fetch"
cmp -s "$work/run/properties.txt" "$prefix/share/scanmon/demo/properties.txt" || fail "demo folder not copied"

# The monitor's options pass through, with the default output file.
status=0
HSIF_SIM_FAIL_FETCH_AFTER=2 timeout 60 "$prefix/bin/scanmon-demo" --dir "$work/run" --status \
  </dev/null >"$work/demo.out" 2>"$work/demo.err" || status=$?
[ "$status" = 3 ] || { cat "$work/demo.out" "$work/demo.err"; fail "scanmon-demo --status ended with $status, not 3"; }
grep -q "^Summary: run time" "$work/demo.err" || { cat "$work/demo.err"; fail "scanmon-demo --status showed no summary"; }
[ -f "$work/run/capture.out" ] || fail "scanmon-demo --status did not use capture.out"

# A second run in the same folder keeps the folder's own properties.txt.
echo "; edited" >>"$work/run/properties.txt"
HSIF_SIM_FAIL=open timeout 60 "$prefix/bin/scanmon-demo" --dir "$work/run" \
  </dev/null >/dev/null 2>&1 || true
grep -q '^; edited' "$work/run/properties.txt" || fail "scanmon-demo replaced the folder's properties.txt"

# The installed monitor by itself does not load the stand-in.
status=0
(cd "$work/run" && timeout 60 "$prefix/bin/scanmon" alone.out </dev/null >"$work/alone.out" 2>&1) || status=$?
if grep -q "Using DLL: $prefix/$standin" "$work/alone.out"; then fail "scanmon alone loaded the stand-in"; fi
[ "$status" = 1 ] || { cat "$work/alone.out"; fail "scanmon alone ended with $status, not 1"; }
rm -rf "$work"
echo "installed tree good"
