#!/usr/bin/env bash
# Installs the Debian packages Parcelwise needs to build, run and test,
# skipping the ones already present. Uses sudo when not run as root.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  qt6-base-dev qt6-svg-dev libqt6svg6 qt6-image-formats-plugins
  libgmime-3.0-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xz-utils
)
if [[ "${1:-}" == "--test" ]]; then
  # libpst and libpff: independent PST readers that the tests and
  # benchmarks check ours against; the programs link neither.
  packages+=(libpst-dev libpff-dev libbfio-dev clang-tidy)
  # tnef: a second, independent winmail.dat reader for tests.
  packages+=(tnef)
fi
# The libFuzzer targets (fuzz/) need clang and its sanitizer runtimes.
if [[ "${1:-}" == "--fuzz" ]]; then
  packages+=(clang libclang-rt-14-dev libpst-dev libpff-dev libbfio-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then
  SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
