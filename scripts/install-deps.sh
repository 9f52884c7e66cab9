#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing on Linux needs,
# when it is missing (help2man: the manual pages; doxygen: the library's API
# reference, which every build makes; Debian's python3 with numpy, pytest and
# matplotlib: the Python package, its tests and its examples; libboost-dev:
# Boost.Beast and Asio, headers only, scanmon-serve's HTTP side). Extra
# package names may be given as arguments, also of another architecture
# (wine32:i386).
#
# - A package of the i386 architecture adds that architecture to dpkg first
#   when it lacks it.
# - "apt-get update" that cannot fetch some index (a mirror in the middle of a
#   sync) is warned about, and the install goes on with the lists at hand; the
#   install fails with its own message when a package is really missing.
# - When the resolver refuses with "held broken packages" (during a mirror
#   sync the i386 and amd64 indexes of a suite can hold different versions of
#   a library that both architectures need at one version), the install is
#   tried again with the versions of the release's main suite for both
#   (apt-get install -t <codename>), and says so.
set -euo pipefail

packages=(g++ cmake make libgtest-dev libgmock-dev googletest libbenchmark-dev help2man doxygen
  python3 python3-numpy python3-pytest python3-matplotlib libboost-dev "$@")
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

for package in "${missing[@]}"; do
  case $package in
    *:i386)
      if [ "$(dpkg --print-architecture)" != i386 ] &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "install-deps: adding the i386 architecture for $package (dpkg --add-architecture i386)"
        "${sudo_cmd[@]}" dpkg --add-architecture i386
      fi
      ;;
  esac
done

if ! "${sudo_cmd[@]}" apt-get update -qq; then
  echo "install-deps: WARNING: apt-get update could not fetch every index (see above);" \
    "going on with the package lists at hand" >&2
fi

log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
trap 'rm -f "$log"' EXIT
apt_install() {
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "$@" >"$log" 2>&1
}
if ! apt_install "${missing[@]}"; then
  codename=$( (. /etc/os-release && echo "${VERSION_CODENAME:-}") 2>/dev/null || true)
  if grep -q "held broken packages" "$log" && [ -n "$codename" ]; then
    cat "$log" >&2
    echo "install-deps: the resolver found no set of versions (\"held broken packages\"): the" \
      "architectures' indexes disagree, as during a mirror sync; trying again with the" \
      "versions of the $codename suite for all (apt-get install -t $codename)" >&2
    if ! apt_install -t "$codename" "${missing[@]}"; then
      cat "$log" >&2
      echo "install-deps: could not install ${missing[*]}, also with -t $codename" >&2
      exit 1
    fi
    echo "install-deps: installed with -t $codename: ${missing[*]}"
  else
    cat "$log" >&2
    echo "install-deps: could not install ${missing[*]}" >&2
    exit 1
  fi
fi
