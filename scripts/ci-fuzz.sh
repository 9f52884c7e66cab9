#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for a bounded time on a
# copy of its seed corpus. A target is a folder fuzz/<name>/ whose CMakeLists.txt
# defines the executable fuzz_<name>; its seeds are in fuzz/<name>/corpus/, and
# an optional fuzz/<name>/options file holds extra libFuzzer flags, one a line.
#
# Settings (environment):
#   FUZZ_SECONDS    run time of each target, in seconds (default 60)
#   FUZZ_BUILD_DIR  build folder (default build-fuzz)
#   FUZZ_JOBS       parallel compile jobs (default: number of CPUs)
#   FUZZ_TARGETS    names to run, blank-separated (default: every fuzz/<name>/)
#   FUZZ_ARGS       extra libFuzzer flags for every target
# Exit status: 0 when every target built and ran without a finding, 1 otherwise.
# Findings (crash-*, leak-*, timeout-* ...) are kept in <build dir>/fuzz-findings/<name>/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${FUZZ_SECONDS:-60}
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-$(nproc)}

scripts/install-deps.sh clang libclang-rt-14-dev

names=()
if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a names <<<"$FUZZ_TARGETS"
else
  for list in fuzz/*/CMakeLists.txt; do
    [ -e "$list" ] || continue
    names+=("$(basename "$(dirname "$list")")")
  done
fi
if [ "${#names[@]}" -eq 0 ]; then
  echo "ci-fuzz: no fuzz targets under fuzz/" >&2
  exit 1
fi

# Everything the targets link is instrumented for coverage and checked by the
# sanitizers, not only the targets' own files.
instrument="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B "$build_dir" \
  -DSCANMON_FUZZ=ON -DSCANMON_BUILD_TESTS=OFF -DSCANMON_BUILD_BENCHMARKS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$instrument" -DCMAKE_CXX_FLAGS="$instrument" >/dev/null
targets=()
for name in "${names[@]}"; do targets+=("fuzz_$name"); done
cmake --build "$build_dir" -j"$jobs" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
summary=()
for name in "${names[@]}"; do
  exe=$(find "$build_dir" -type f -name "fuzz_$name" -perm -u+x | head -n 1)
  if [ -z "$exe" ]; then
    echo "ci-fuzz: fuzz_$name was not built" >&2
    summary+=("fuzz_$name: NOT BUILT")
    failed=1
    continue
  fi
  corpus="$work/$name/corpus"
  findings="$root/$build_dir/fuzz-findings/$name"
  mkdir -p "$corpus" "$findings"
  if [ -d "fuzz/$name/corpus" ]; then cp -R "fuzz/$name/corpus/." "$corpus/"; fi
  extra=()
  if [ -f "fuzz/$name/options" ]; then
    while IFS= read -r flag; do
      [ -n "$flag" ] && [ "${flag:0:1}" != "#" ] && extra+=("$flag")
    done <"fuzz/$name/options"
  fi
  # shellcheck disable=SC2206
  extra+=(${FUZZ_ARGS:-})
  log="$work/$name.log"
  echo "== fuzz_$name: ${seconds}s on $(find "$corpus" -type f | wc -l) seeds"
  status=0
  "$exe" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/" \
    ${extra[@]+"${extra[@]}"} "$corpus" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | sed 's/cov: //')
  if [ "$status" -ne 0 ]; then
    failed=1
    tail -n 60 "$log" >&2
    summary+=("fuzz_$name: FAILED (status $status) after ${execs:-?} runs; findings in $findings")
  else
    summary+=("fuzz_$name: ok, ${execs:-?} runs in ${seconds}s (${rate:-?}/s), coverage ${coverage:-?} edges")
  fi
done

echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
