#!/bin/bash
# The packaging stage of CI.
#
# Linux: builds the Debian packages (build-deb/, Debian's hardening flags):
# scanmon, and the scanner library split as Debian splits one, libscanmon1
# (the shared library) and libscanmon-dev (headers, the .so link, the CMake
# package, pkg-config, examples); checks each with lintian (no errors),
# installs them with dpkg -i, builds the C and C++ examples against the
# installed -dev package (CMake package and pkg-config) and runs one, runs every
# installed program's --version and --help, completes an option of each with
# the installed bash completion, runs the installed demo against the
# installed stand-in for a few seconds, checks that the installed monitor by
# itself does not load the stand-in, opens every manual page with man -l and
# checks that each has a SYNOPSIS and a SEE ALSO naming every program, checks
# that no control field holds an XML entity, then
# removes the packages with dpkg -r and checks that nothing they installed is left.
#
# Windows: makes the zip and the installer for x86 and x64 in the cross build
# folders of scripts/ci-windows.sh (build-mingw32/, build-mingw64/) when that
# stage has made them, else in build-pkg-mingw32/ and build-pkg-mingw64/
# without tests; checks what the zips hold; installs the x64 installer
# silently under Wine into a fresh prefix, runs the installed scanmon.exe
# --version and the monitor end to end against the installed stand-in to a
# scripted failed fetch, then uninstalls silently.
#
#   scripts/ci-package.sh [--linux-only | --windows-only]
#
# Runs as root (dpkg), or with sudo. Packages and reports land in each build
# folder's packages/. Exits non-zero at the first failed check.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${SCANMON_JOBS:-$(nproc)}
do_linux=1
do_windows=1
case ${1:-} in
  --linux-only) do_windows=0 ;;
  --windows-only) do_linux=0 ;;
  "") ;;
  *) echo "usage: scripts/ci-package.sh [--linux-only | --windows-only]" >&2; exit 2 ;;
esac

# shellcheck source=scripts/stage-timer.sh
. "$root/scripts/stage-timer.sh"
fail() { echo "ci-package: $*" >&2; exit 1; }
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

work=$(mktemp -d "${TMPDIR:-/tmp}/ci-package.XXXXXX")
cleanup() {
  if [ -n "${wine_prefix:-}" ]; then
    WINEPREFIX=$wine_prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    rm -rf "$wine_prefix"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

extra=(help2man)
[ "$do_linux" = 1 ] && extra+=(dpkg-dev lintian man-db groff-base bash-completion)
[ "$do_windows" = 1 ] && extra+=(g++-mingw-w64 nsis wine64 python3)
"$root/scripts/install-deps.sh" "${extra[@]}"
stage "tools installed"

version=$(sed -nE 's/^project\(scanmon VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || fail "no version in CMakeLists.txt"

# Runs "<program> --version" and "--help" as the program list says it
# answers: $1 the name, $2 help|no-help, $3 version|no-version, then the
# command that runs the program.
check_program_answers() {
  local name=$1 help=$2 ver=$3 out
  shift 3
  local cmd=("$@")
  if [ "$ver" = version ]; then
    out=$(cd "$work" && "${cmd[@]}" --version </dev/null) || fail "$name --version failed"
    [ "$(printf '%s\n' "$out" | head -n1 | tr -d '\r')" = "$name (scanmon) $version" ] ||
      fail "$name --version printed '$out', not '$name (scanmon) $version'"
  fi
  if [ "$help" = help ]; then
    out=$(cd "$work" && "${cmd[@]}" --help </dev/null) || fail "$name --help failed"
    printf '%s\n' "$out" | grep -qi "usage: $name" || fail "$name --help has no 'Usage: $name' line"
  fi
}

# ---------------------------------------------------------------- Linux ----
if [ "$do_linux" = 1 ]; then
  deb_dir=$root/build-deb
  # Debian's compiler and linker flags (hardening), as a Debian build would.
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cppflags=$(dpkg-buildflags --get CPPFLAGS)
  cmake -S "$root" -B "$deb_dir" -DCMAKE_BUILD_TYPE=Release \
    -DSCANMON_BUILD_TESTS=OFF -DSCANMON_BUILD_BENCHMARKS=OFF -DSCANMON_WERROR=ON \
    -DSCANMON_MANPAGES=ON \
    "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CFLAGS) $cppflags" \
    "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
    "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" \
    "-DCMAKE_SHARED_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" >"$work/deb-configure.log" 2>&1 ||
    { cat "$work/deb-configure.log"; exit 1; }
  cmake --build "$deb_dir" -j "$jobs"
  stage "Linux build for the package"

  rm -rf "$deb_dir/packages"
  (cd "$deb_dir" && cpack -G DEB -B "$deb_dir/packages" >"$work/cpack-deb.log" 2>&1) ||
    { cat "$work/cpack-deb.log"; exit 1; }
  packages=(scanmon libscanmon1 libscanmon-dev)
  debs=()
  for name in "${packages[@]}"; do
    deb=$(ls "$deb_dir"/packages/"${name}"_*.deb 2>/dev/null) || fail "no package $name made"
    debs+=("$deb")
    echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes; Depends: $(dpkg-deb --field "$deb" Depends)"
    # Control fields are plain text: an XML entity there (&apos;) is what a
    # generator's escaping left, and dpkg -s would show it as it stands.
    if entities=$(dpkg-deb --field "$deb" | grep -nE '&(#[0-9]+|#[xX][0-9a-fA-F]+|[A-Za-z][A-Za-z0-9]*);'); then
      printf '%s\n' "$entities"
      fail "the control fields of $name hold XML entities"
    fi
    lintian --tag-display-limit 0 "$deb" >"$deb_dir/packages/lintian-$name.txt" 2>&1 || true
    grep -v 'running with root privileges' "$deb_dir/packages/lintian-$name.txt" | sed 's/^/lintian: /' || true
    if grep -q '^E: ' "$deb_dir/packages/lintian-$name.txt"; then fail "lintian reports errors in $name"; fi
  done
  deb=${debs[0]}
  stage "Debian packages made and checked"

  # Install on this machine, remembering which of its folders were there.
  for name in libscanmon-dev scanmon libscanmon1; do
    if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "ok installed"; then
      "${sudo_cmd[@]}" dpkg -r "$name" >/dev/null
    fi
  done
  for one in "${debs[@]}"; do
    dpkg-deb --fsys-tarfile "$one" | tar -t
  done | sed 's|^\./|/|; s|/$||' | grep -v '^$' | grep -v '^/$' | sort -u >"$work/deb-paths"
  while read -r path; do
    if [ -d "$path" ]; then echo "$path"; fi
  done <"$work/deb-paths" >"$work/dirs-before"
  "${sudo_cmd[@]}" dpkg -i "${debs[@]}" >/dev/null

  # The examples built against the installed -dev package, as an integrator
  # would: through the CMake package and through pkg-config, then run.
  examples=$(grep -m1 '/examples/health_c\.c$' "$work/deb-paths") || fail "no examples in the -dev package"
  examples=$(dirname "$examples")
  cp "$examples"/health_c.c "$examples"/health_cpp.cpp "$examples"/CMakeLists.txt \
     "$examples"/Makefile.pkg-config "$work/"
  cmake -S "$work" -B "$work/examples-cmake" >"$work/examples.log" 2>&1 &&
    cmake --build "$work/examples-cmake" >>"$work/examples.log" 2>&1 ||
    { cat "$work/examples.log"; fail "the examples do not build against the installed -dev package"; }
  make -s -C "$work" -f Makefile.pkg-config health_c health_cpp >>"$work/examples.log" 2>&1 ||
    { cat "$work/examples.log"; fail "the examples do not build through the installed pkg-config file"; }
  standin_dir=$(dirname "$(grep -m1 '/scanmon/standin/libhsif\.so$' "$work/deb-paths")")
  out=$(cd "$work" && LD_LIBRARY_PATH="$standin_dir" timeout 60 "$work/examples-cmake/health_c" \
          /usr/share/scanmon/demo/ar4000_demo.cal 2) || { printf '%s\n' "$out"; fail "the installed example failed"; }
  printf '%s\n' "$out" | grep -q '^mirror [0-9.]* rev/s' || { printf '%s\n' "$out"; fail "the example printed no health line"; }
  echo "examples built against the installed libscanmon-dev (CMake package, pkg-config); health_c ran"

  # Every installed program answers --version and --help.
  while read -r name help ver; do
    [ -x "/usr/bin/$name" ] || fail "/usr/bin/$name not installed"
    cmd=("/usr/bin/$name")
    check_program_answers "$name" "$help" "$ver" "${cmd[@]}"
    # Its completion offers the options its --help lists.
    if [ "$help" = help ]; then
      completed=$(bash -c '. "$1"; COMP_WORDS=("$2" --he); COMP_CWORD=1
        _scanmon_complete "$2" --he "$2"; printf "%s\n" "${COMPREPLY[@]}"' _ \
        "/usr/share/bash-completion/completions/$name" "$name")
      [ "$completed" = --help ] || fail "completion of '$name --he' gave '$completed'"
    fi
  done <"$deb_dir/scanmon-programs.txt"
  echo "installed programs answer --version/--help: $(cut -d' ' -f1 "$deb_dir/scanmon-programs.txt" | tr '\n' ' ')"
  # The Python package, for Debian's Python (-B: no byte code left behind).
  /usr/bin/python3 -B -c "import scanmon.export, scanmon.live" ||
    fail "the installed Python package scanmon does not import"

  # The installed demo against the installed stand-in, for a few seconds
  # (with --status where the monitor has it), stopped by SIGTERM.
  demo_args=(capture.out)
  if grep -q '^scanmon help ' "$deb_dir/scanmon-programs.txt" &&
    (cd "$work" && /usr/bin/scanmon --help 2>/dev/null </dev/null | grep -q -- --status); then
    demo_args=(--status capture.out)
  fi
  status=0
  timeout --preserve-status -s TERM 8 /usr/bin/scanmon-demo --dir "$work/demo" "${demo_args[@]}" \
    </dev/null >"$work/demo.out" 2>"$work/demo.err" || status=$?
  # After its orderly shutdown the monitor ends by the signal that stopped it
  # (128 + 15 as the shell counts it).
  [ "$status" = 143 ] || { cat "$work/demo.out" "$work/demo.err"; fail "demo ended with status $status, not 143 (SIGTERM)"; }
  standin=$(grep -m1 '/scanmon/standin/libhsif\.so$' "$work/deb-paths") || fail "no stand-in in the package"
  grep -qx "Using DLL: $standin" "$work/demo.out" || { cat "$work/demo.out"; fail "demo did not use $standin"; }
  if [ "${demo_args[0]}" = --status ]; then
    # The status line (a plain line every 5 s into a file) and the summary.
    grep -q '^mirror ' "$work/demo.err" || { head -20 "$work/demo.err"; fail "demo printed no status line"; }
    grep -q '^Summary: run time ' "$work/demo.err" || { tail -5 "$work/demo.err"; fail "demo printed no summary"; }
    angles=$(grep -c '^mirror ' "$work/demo.err" || true)
  else
    angles=$(grep -cE '^ *-?[0-9]+\s' "$work/demo.err" || true)
    grep -q '^>>>>' "$work/demo.err" || { head -20 "$work/demo.err"; fail "demo printed no index line"; }
    [ "$angles" -ge 10 ] || { head -20 "$work/demo.err"; fail "demo printed $angles angle lines"; }
  fi
  [ -f "$work/demo/capture.out" ] || fail "demo wrote no capture.out"
  what="angle lines"
  [ "${demo_args[0]}" = --status ] && what="status lines and a summary"
  echo "demo: $angles $what from $standin in 8 s, ended by SIGTERM after its orderly shutdown"

  # The installed monitor by itself never loads the stand-in.
  status=0
  (cd "$work/demo" && timeout 20 /usr/bin/scanmon alone.out </dev/null >"$work/alone.out" 2>&1) || status=$?
  if grep -q "Using DLL: $standin" "$work/alone.out"; then fail "scanmon alone loaded the stand-in"; fi
  [ "$status" = 1 ] || { cat "$work/alone.out"; fail "scanmon without a driver ended with $status, not 1"; }
  echo "scanmon without the demo command finds no driver (exit 1), as on a machine without the card's"

  # Every manual page reads as plain text, without groff warnings.
  pages=0
  while read -r page; do
    MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" >"$work/page.txt" 2>"$work/page.err" ||
      fail "man -l $page failed"
    [ ! -s "$work/page.err" ] || { cat "$work/page.err"; fail "man -l $page warned"; }
    name=$(basename "$page" .1.gz)
    grep -q "^NAME" "$work/page.txt" && grep -q "$name" "$work/page.txt" ||
      fail "$page has no NAME section for $name"
    pages=$((pages + 1))
  done < <(grep '^/usr/share/man/man1/.*\.1\.gz$' "$work/deb-paths")
  while read -r name help _; do
    if [ "$help" = help ] && ! grep -qx "/usr/share/man/man1/$name.1.gz" "$work/deb-paths"; then
      fail "no manual page for $name"
    fi
  done <"$deb_dir/scanmon-programs.txt"
  echo "manual pages read with man -l: $pages"
  # The stream server beside the card, and the protocol its readers are written
  # from; the library's API reference.
  for path in /usr/bin/scanmon-serve /usr/share/doc/scanmon/stream.md \
    /usr/lib/python3/dist-packages/scanmon/remote.py /usr/share/doc/scanmon/api/index.html; do
    grep -qx "$path" "$work/deb-paths" || fail "no $path in the package"
  done
  "$root/scripts/check-man-pages.sh" /usr/share/man/man1 "$deb_dir/scanmon-programs.txt"

  "${sudo_cmd[@]}" dpkg -r libscanmon-dev scanmon libscanmon1 >/dev/null
  left=()
  while read -r path; do
    if [ -e "$path" ] && ! grep -qx "$path" "$work/dirs-before"; then left+=("$path"); fi
  done <"$work/deb-paths"
  [ "${#left[@]}" = 0 ] || fail "left after dpkg -r: ${left[*]}"
  echo "dpkg -r libscanmon-dev scanmon libscanmon1 left nothing behind"
  stage "Debian packages installed, run and removed"
fi

# -------------------------------------------------------------- Windows ----
if [ "$do_windows" = 1 ]; then
  for arch in i686 x86_64; do
    case $arch in
      i686) ci_dir=$root/build-mingw32 pkg_dir=$root/build-pkg-mingw32 win=win32 ;;
      *) ci_dir=$root/build-mingw64 pkg_dir=$root/build-pkg-mingw64 win=win64 ;;
    esac
    # The Windows stage's build folder when it has one: packing it builds
    # nothing new. Else a folder of our own, without the tests.
    if [ -f "$ci_dir/CMakeCache.txt" ]; then
      dir=$ci_dir
      cmake "$dir" >/dev/null
    else
      dir=$pkg_dir
      cmake -S "$root" -B "$dir" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSCANMON_WERROR=ON -DSCANMON_BUILD_TESTS=OFF \
        >"$work/$arch-configure.log" 2>&1 || { cat "$work/$arch-configure.log"; exit 1; }
    fi
    cmake --build "$dir" -j "$jobs"
    rm -rf "$dir/packages"
    (cd "$dir" && cpack -G "ZIP;NSIS" -B "$dir/packages" >"$work/cpack-$arch.log" 2>&1) ||
      { cat "$work/cpack-$arch.log"; exit 1; }
    zip=$dir/packages/scanmon-$version-$win.zip
    installer=$dir/packages/scanmon-$version-$win.exe
    [ -f "$zip" ] && [ -f "$installer" ] || fail "no $win zip or installer"
    echo "$win: $(basename "$zip") $(stat -c %s "$zip") bytes, $(basename "$installer") $(stat -c %s "$installer") bytes"
    # What the zip holds: the programs, the stand-in in a folder of its own
    # (never beside the programs, where Windows would load it first), docs.
    python3 - "$zip" "scanmon-$version-$win" "$dir/scanmon-programs.txt" <<'PY'
import sys, zipfile
zip_path, top, programs = sys.argv[1:]
names = set(zipfile.ZipFile(zip_path).namelist())
need = [f"{top}/bin/{line.split()[0]}.exe" for line in open(programs) if line.strip()]
need += [f"{top}/standin/hsif.dll", f"{top}/bin/scanmon-demo.cmd", f"{top}/demo/properties.txt",
         f"{top}/demo/standin.fields",
         f"{top}/doc/README.md.txt", f"{top}/doc/copyright.txt",
         # The scanner library for developers: headers, DLL, import library, CMake package.
         f"{top}/include/scanmon/scanmon.h", f"{top}/include/scanmon/scanmon.hpp",
         f"{top}/bin/scanmon.dll", f"{top}/lib/libscanmon.dll.a",
         f"{top}/lib/cmake/scanmon/scanmonConfig.cmake", f"{top}/doc/api/index.html"]
need += [f"{top}/python/scanmon/__init__.py", f"{top}/python/scanmon/live.py",
         f"{top}/python/scanmon/remote.py", f"{top}/doc/stream.md.txt"]
missing = [n for n in need if n not in names]
stray = [n for n in names if n.lower().endswith("hsif.dll") and n != f"{top}/standin/hsif.dll"]
if missing or stray:
    sys.exit(f"{zip_path}: missing {missing}, stand-in outside standin/: {stray}")
PY
    stage "$win zip and installer"
  done

  # The x64 installer, silently, into a fresh Wine prefix: the default
  # folder, C:\Program Files\scanmon (a path with a space). Wine 8 with its
  # 32-bit part beside (a WoW64 prefix) gives the installer's 64-bit
  # program-files folder as C:\Program Files (x86), though the prefix's own
  # ProgramFiles is C:\Program Files; either is taken, and the one used said.
  wine=/usr/lib/wine/wine64
  wine_prefix=$work/wineprefix
  export WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  "$wine" wineboot -i >/dev/null 2>&1
  "$wine" "$installer" /S </dev/null >/dev/null 2>&1 || fail "silent install failed"
  installed=
  for folder in "Program Files" "Program Files (x86)"; do
    if [ -d "$wine_prefix/drive_c/$folder/scanmon" ]; then
      installed="$wine_prefix/drive_c/$folder/scanmon"
      installed_windows="C:\\$folder\\scanmon"
      echo "installed into C:\\$folder\\scanmon"
      break
    fi
  done
  [ -n "$installed" ] || fail "the installer made no scanmon folder in C:\\Program Files or C:\\Program Files (x86)"
  [ -f "$installed/bin/scanmon.exe" ] && [ -f "$installed/standin/hsif.dll" ] &&
    [ -f "$installed/Uninstall.exe" ] || fail "the installer left no scanmon.exe, stand-in or uninstaller"
  stage "x64 installer run silently under Wine"

  while read -r name help ver; do
    cmd=("$wine" "$installed/bin/$name.exe")
    check_program_answers "$name" "$help" "$ver" "${cmd[@]}"
  done <"$dir/scanmon-programs.txt"

  # The monitor end to end, through the installed demo command, against the
  # installed stand-in; the stand-in fails the fifth fetch, which ends the run
  # with status 3.
  status=0
  (cd "$installed/bin" && HSIF_SIM_FAIL_FETCH_AFTER=4 timeout 120 "$wine" cmd /c scanmon-demo.cmd 'C:\demo run' \
    </dev/null >"$work/wine-demo.out" 2>"$work/wine-demo.err") || status=$?
  [ "$status" = 3 ] || { cat "$work/wine-demo.out" "$work/wine-demo.err"; fail "Windows demo ended with $status, not 3"; }
  tr -d '\r' <"$work/wine-demo.out" >"$work/wine-demo.txt"
  grep -qxF "Using DLL: $installed_windows\\standin\\hsif.dll" "$work/wine-demo.txt" ||
    { cat "$work/wine-demo.txt"; fail "the Windows demo did not use the installed stand-in"; }
  grep -qx 'ERROR: Buffer overflow flag not getting set.' "$work/wine-demo.txt" ||
    { cat "$work/wine-demo.txt"; fail "the Windows demo did not end by the failed fetch"; }
  echo "Windows demo: installed scanmon.exe ran against the installed stand-in to the failed fetch"

  # The uninstaller copies itself away and runs from there: wait for the
  # prefix's last program to end.
  (cd "$installed" && "$wine" Uninstall.exe /S </dev/null >/dev/null 2>&1) || fail "silent uninstall failed"
  timeout 60 /usr/lib/wine/wineserver -w || true
  [ ! -e "$installed/bin" ] && [ ! -e "$installed/standin" ] || fail "the uninstaller left programs behind"
  echo "silent uninstall removed the programs and the stand-in"
  stage "installed scanmon run under Wine, and uninstalled"
fi
stage "done"
