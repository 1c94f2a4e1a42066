#!/usr/bin/env bash
# Installs what building, testing and running Torvane needs on Debian 12.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git binutils python3
  dpkg-dev file
  libopencv-dev libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686-posix
  clang libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
run_as_root=()
[ "$(id -u)" -eq 0 ] || run_as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${run_as_root[@]}" apt-get update -qq
"${run_as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
