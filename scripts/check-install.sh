#!/usr/bin/env bash
# Installs a configured build tree with install dirs other than the usual
# ones and checks that the installed parcelwise finds the installed unfurl:
#   bash scripts/check-install.sh BUILD_DIR
# Two layouts: everything under libexec/pw (unfurl beside parcelwise), and
# unfurl in libexec/parcelwise with parcelwise in bin and nothing on PATH.
# Only the converter lookup is rebuilt for each; the tree is set back to
# the usual dirs at the end.
set -euo pipefail
build=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail() {
  echo "check-install: $*" >&2
  exit 1
}

layout() {
  local name=$1 bindir=$2 unfurl_dir=$3
  shift 3
  cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/opt/pw -DCMAKE_INSTALL_BINDIR="$bindir" "$@" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target parcelwise unfurl parcelwise-cli >/dev/null
  rm -rf "${dest:?}/$name"
  DESTDIR="$dest/$name" cmake --install "$build" >/dev/null
  local prefix=$dest/$name/opt/pw
  [[ -x $prefix/$bindir/parcelwise ]] || fail "$name: no parcelwise in $bindir"
  [[ -x $prefix/$unfurl_dir/unfurl ]] || fail "$name: no unfurl in $unfurl_dir"
  local help
  help=$(env PATH=/nonexistent "$prefix/$bindir/parcelwise" --help)
  grep -qF "This copy uses $prefix/$unfurl_dir/unfurl." <<<"$help" ||
    fail "$name: the installed parcelwise does not find $unfurl_dir/unfurl: $(tail -n 3 <<<"$help")"
  echo "$name: $bindir/parcelwise finds $unfurl_dir/unfurl"
}

layout beside libexec/pw libexec/pw -DPARCELWISE_UNFURL_IN_LIBEXEC=OFF
layout libexec bin libexec/parcelwise -DPARCELWISE_UNFURL_IN_LIBEXEC=ON
# Moved away from both places, it is reported, not taken for "no messages".
rm "$dest/libexec/opt/pw/libexec/parcelwise/unfurl"
env PATH=/nonexistent "$dest/libexec/opt/pw/bin/parcelwise" --help | grep -q 'was not found' ||
  fail "a missing unfurl is not reported"
echo "missing: reported as not found"

cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_BINDIR=bin -DPARCELWISE_UNFURL_IN_LIBEXEC=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target parcelwise >/dev/null
