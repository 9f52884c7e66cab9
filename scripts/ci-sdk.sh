#!/bin/bash
# The SDK stage of CI: installs the Linux build (build/, made by the Linux
# stage) into a scratch prefix, then builds the C and C++ examples against the
# INSTALLED package, once through its CMake package (find_package) and once
# through pkg-config, with warnings as errors (the headers as C99 and C++17),
# checks the installed library's exported names, and runs each example for two
# seconds against the installed stand-in driver; then runs the two Python
# examples as installed with Debian's Python (/usr/bin/python3, its numpy and
# matplotlib) on the installed package and library: the live reader against
# the installed stand-in, the plot on a capture the installed capture-record
# takes from it.
#
#   scripts/ci-sdk.sh [BUILD_DIR]
#
# Exits non-zero at the first failed step.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
[ -f "$build/CMakeCache.txt" ] || { echo "ci-sdk: no build in $build (run scripts/test.sh first)" >&2; exit 1; }
"$root/scripts/install-deps.sh" pkg-config python3-numpy python3-matplotlib

work=$(mktemp -d "${TMPDIR:-/tmp}/scanmon-sdk.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
start=$(date +%s)
stage() { printf '== %s (%ds)\n' "$1" $(( $(date +%s) - start )); }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
libdir=${libdir:-lib}
for f in include/scanmon/scanmon.h include/scanmon/scanmon.hpp "$libdir/libscanmon.so.1" \
         "$libdir/cmake/scanmon/scanmonConfig.cmake" "$libdir/cmake/scanmon/scanmonConfigVersion.cmake" \
         "$libdir/pkgconfig/scanmon.pc"; do
  [ -e "$prefix/$f" ] || { echo "ci-sdk: the install lacks $f" >&2; exit 1; }
done
"$root/tests/libscanmon/exported_names.sh" "$prefix/$libdir/libscanmon.so.1"
stage "installed into a scratch prefix"

# The examples as an integrator has them: copied out of the source tree.
cp "$root"/examples/health_c.c "$root"/examples/health_cpp.cpp "$root"/examples/CMakeLists.txt \
   "$root"/examples/Makefile.pkg-config "$work/"
cmake -S "$work" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" ||
  { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/with-cmake" >"$work/cmake-build.log" || { cat "$work/cmake-build.log"; exit 1; }
stage "examples built through the CMake package"

mkdir -p "$work/with-pkg-config"
(cd "$work" && PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" \
   make -s -f Makefile.pkg-config -C "$work" \
   health_c health_cpp && mv health_c health_cpp with-pkg-config/)
stage "examples built through pkg-config"

standin=$prefix/$libdir/scanmon/standin
cal=$prefix/share/scanmon/demo/ar4000_demo.cal
for dir in with-cmake with-pkg-config; do
  for example in health_c health_cpp; do
    out=$(cd "$work" && LD_LIBRARY_PATH="$prefix/$libdir:$standin" timeout 60 \
            "$work/$dir/$example" "$cal" 2)
    printf '%s\n' "$out" | sed "s/^/$dir\/$example: /"
    [ "$(printf '%s\n' "$out" | grep -c '^mirror [0-9.]* rev/s')" -eq 2 ] ||
      { echo "ci-sdk: $dir/$example did not print its two health lines" >&2; exit 1; }
  done
done
stage "examples ran against the installed stand-in"

# The Python examples as installed, with Debian's Python: the package from the
# prefix's dist-packages, the library found on the loader's path as an
# integrator's would be after ldconfig.
python=/usr/bin/python3
pydir=$(find "$prefix" -type d -path '*/dist-packages/scanmon' | head -n1)
pyexamples=$(find "$prefix" -type d -path '*/examples/python' | head -n1)
[ -n "$pydir" ] && [ -f "$pyexamples/read_live.py" ] && [ -f "$pyexamples/plot_mirror_rate.py" ] ||
  { echo "ci-sdk: the install lacks the Python package or its examples" >&2; exit 1; }
run_python() {
  (cd "$work" && env -u SCANMON_LIBRARY PYTHONPATH="$(dirname "$pydir")" \
     LD_LIBRARY_PATH="$prefix/$libdir:$standin" timeout 120 "$python" "$@")
}
out=$(run_python "$pyexamples/read_live.py" "$cal" 2)
printf '%s\n' "$out" | sed 's/^/read_live.py: /'
printf '%s\n' "$out" | grep -q '^read [1-9][0-9]* samples in [1-9][0-9]* blocks' ||
  { echo "ci-sdk: read_live.py read no samples from the installed stand-in" >&2; exit 1; }
stage "read_live.py ran against the installed library and stand-in"

# A capture of 2 s at 20 us from the installed recorder, then its plot.
printf '%s\n' 3 1 0 20 1200 1000 100000 200 100 4096 200 "$cal" "$work/plotcap" 0 0 0 \
  >"$work/plot.cfg"
(cd "$work" && LD_LIBRARY_PATH="$standin" timeout 60 "$prefix/bin/capture-record" "$work/plot.cfg" \
   </dev/null >"$work/record.log" 2>&1) || { cat "$work/record.log"; exit 1; }
run_python "$pyexamples/plot_mirror_rate.py" "$work/plotcap.prc" "$work/mirror.png" |
  sed 's/^/plot_mirror_rate.py: /'
[ "$(head -c 4 "$work/mirror.png" | od -An -c | tr -d ' ')" = '211PNG' ] ||
  { echo "ci-sdk: plot_mirror_rate.py wrote no PNG" >&2; exit 1; }
stage "plot_mirror_rate.py plotted a capture of the installed recorder"
