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
# Packaging: dpkg-shlibdeps computes the .deb's dependencies (dpkg-dev,
# file); the checks validate what the package holds.
package_tools=(dpkg-dev file)
check_tools=(lintian appstream desktop-file-utils bash-completion)
for option in "$@"; do
  case "$option" in
    --test)
      # libpst and libpff: independent PST readers that the tests and
      # benchmarks check ours against (the programs link neither); tnef: a
      # second winmail.dat reader; the package's tools for the checks of the
      # data files and the .deb.
      packages+=(libpst-dev libpff-dev libbfio-dev clang-tidy tnef "${package_tools[@]}" "${check_tools[@]}")
      ;;
    --package)
      packages+=("${package_tools[@]}")
      ;;
    --fuzz)
      # The libFuzzer targets (fuzz/) need clang and its sanitizer runtimes.
      packages+=(clang libclang-rt-14-dev libpst-dev libpff-dev libbfio-dev)
      ;;
    *)
      echo "install-deps.sh: unknown option '$option' (--test, --package, --fuzz)" >&2
      exit 2
      ;;
  esac
done

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
