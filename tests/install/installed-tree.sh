#!/usr/bin/env bash
# `cmake --install` of this build tree into a temporary root: each file in
# its GNUInstallDirs place, and the installed parcelwise finding the
# installed unfurl (with nothing on PATH to fall back on).
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
DESTDIR=$root cmake --install "$build" --prefix /opt/pw >/dev/null
cd "$root/opt/pw"
for f in bin/parcelwise bin/parcelwise-cli bin/unfurl \
  share/applications/org.example.parcelwise.desktop \
  share/icons/hicolor/scalable/apps/parcelwise.svg \
  share/metainfo/org.example.parcelwise.metainfo.xml \
  share/mime/packages/parcelwise.xml \
  share/bash-completion/completions/parcelwise-cli \
  share/man/man1/parcelwise.1.gz share/man/man1/parcelwise-cli.1.gz share/man/man1/unfurl.1.gz \
  share/doc/parcelwise/LICENSE share/doc/parcelwise/README.md share/doc/parcelwise/copyright; do
  [[ -f $f ]] || fail "$f is not installed"
done
for page in share/man/man1/*.1.gz; do
  gzip -t "$page" || fail "$page is not a whole gzip file"
done
help=$(env PATH=/nonexistent "$root/opt/pw/bin/parcelwise" --help)
grep -qF "This copy uses $root/opt/pw/bin/unfurl." <<<"$help" || fail "parcelwise does not find unfurl: $help"
"$root/opt/pw/bin/parcelwise" --version | grep -q '^parcelwise (Parcelwise) ' || fail "parcelwise --version"
# A bad option fails with the usage status and no window.
status=0
"$root/opt/pw/bin/parcelwise" --bogus 2>/dev/null || status=$?
[[ $status == 2 ]] || fail "parcelwise --bogus exits with $status"
echo "installed tree checked"
