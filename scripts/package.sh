#!/usr/bin/env bash
# Builds a Release tree (no tests) and writes the Debian package into DIR:
#   bash scripts/package.sh DIR
# The build folder is build-package/ (PARCELWISE_PACKAGE_BUILD overrides it).
# Prints the path of the .deb on its last line.
set -euo pipefail
if [[ $# -ne 1 ]]; then
  echo "Usage: bash scripts/package.sh DIR" >&2
  exit 2
fi
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --package
dir=${PARCELWISE_PACKAGE_BUILD:-build-package}
launchers=()
if command -v ccache >/dev/null; then
  launchers=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Debian's compiler and linker flags (hardening: fortified functions, stack
# protector, full RELRO with immediate binding), as a Debian build uses them.
# CMake reads CFLAGS, CXXFLAGS and LDFLAGS when a build folder is first
# configured; the preprocessor's go in with them.
if [[ ! -f $dir/CMakeCache.txt ]]; then
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  # Without -g: the programs are stripped anyway, and it halves the build.
  nodebug() { sed -e 's/\(^\| \)-g\( \|$\)/ /g'; }
  CFLAGS="$(dpkg-buildflags --get CFLAGS | nodebug) $(dpkg-buildflags --get CPPFLAGS)"
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS | nodebug) $(dpkg-buildflags --get CPPFLAGS)"
  LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
  export CFLAGS CXXFLAGS LDFLAGS
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPARCELWISE_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DPARCELWISE_DEBIAN_CHANGELOG=ON \
  -DPARCELWISE_WERROR="${PARCELWISE_WERROR:-OFF}" "${launchers[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
(cd "$dir" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
deb=$(ls -t "$out"/parcelwise_*.deb | head -n 1)
echo "$deb"
