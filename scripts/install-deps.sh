#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing on Linux needs,
# when it is missing (help2man: the manual pages; Debian's python3 with numpy,
# pytest and matplotlib: the Python package, its tests and its examples). Extra
# package names may be given as arguments.
set -euo pipefail

packages=(g++ cmake make libgtest-dev libgmock-dev googletest libbenchmark-dev help2man
  python3 python3-numpy python3-pytest python3-matplotlib "$@")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$package")
  fi
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
