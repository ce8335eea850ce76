#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Runs as root, or through sudo otherwise.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev      # libFuzzer targets
  srecord binutils              # outside HEX tools the tests and benchmarks compare against
  qt6-base-dev qt6-base-dev-tools libqt6test6   # the window (Qt 6 Widgets) and its tests
  fontconfig fonts-dejavu-core  # a sans-serif face for the window where MS Sans Serif is missing
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
