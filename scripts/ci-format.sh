#!/usr/bin/env bash
# Checks every tracked C and C++ file against .clang-format and lists the files
# that drift; exits non-zero when any does. clang-format comes from Debian's
# packages (installed when missing). Fix a drifting file with `clang-format -i`.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null 2>&1; then
  scripts/install-deps.sh clang-format
fi
clang-format --version

drifting=()
checked=0
while IFS= read -r -d '' file; do
  checked=$((checked + 1))
  if ! clang-format --dry-run -Werror "$file" >/dev/null 2>&1; then
    drifting+=("$file")
  fi
done < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' '*.hpp' '*.inc')

if [ "${#drifting[@]}" -ne 0 ]; then
  echo "${#drifting[@]} of ${checked} C/C++ files drift from .clang-format:"
  printf '  %s\n' "${drifting[@]}"
  echo "fix with: clang-format -i <file>"
  exit 1
fi
echo "all ${checked} C/C++ files match .clang-format"
