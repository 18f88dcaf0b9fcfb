#!/usr/bin/env bash
# Checks a built Parcelwise .deb without installing it:
#   bash scripts/check-package.sh parcelwise_X_amd64.deb
# its file list, its computed Depends, stripped programs, lintian's tags
# against the ones accepted in the README, and the programs run from the
# package's files extracted into a temporary root.
set -euo pipefail
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
cd "$(dirname "$0")/.."
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() {
  echo "check-package: $*" >&2
  exit 1
}

# Every file the package holds, and nothing else.
expected=(
  ./usr/bin/parcelwise
  ./usr/bin/parcelwise-cli
  ./usr/bin/unfurl
  ./usr/share/applications/org.example.parcelwise.desktop
  ./usr/share/bash-completion/completions/parcelwise-cli
  ./usr/share/doc/parcelwise/LICENSE
  ./usr/share/doc/parcelwise/README.md
  ./usr/share/doc/parcelwise/changelog.Debian.gz
  ./usr/share/doc/parcelwise/copyright
  ./usr/share/icons/hicolor/scalable/apps/parcelwise.svg
  ./usr/share/man/man1/parcelwise-cli.1.gz
  ./usr/share/man/man1/parcelwise.1.gz
  ./usr/share/man/man1/unfurl.1.gz
  ./usr/share/metainfo/org.example.parcelwise.metainfo.xml
  ./usr/share/mime/packages/parcelwise.xml
)
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [[ "$actual" != "$wanted" ]]; then
  diff <(echo "$wanted") <(echo "$actual") >&2 || true
  fail "the package's file list differs from the expected one (< expected, > in the package)"
fi
echo "file list: ${#expected[@]} files as expected"

[[ $(dpkg-deb -f "$deb" Section) == mail ]] || fail "section is not mail"
[[ -z $(dpkg-deb -e "$deb" "$root/control" && ls "$root/control" | grep -vx -e control -e md5sums) ]] ||
  fail "the package has maintainer scripts: $(ls "$root/control")"

# Depends are computed from the libraries the programs link: they name the
# runtime libraries, never a test-only reader.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for needed in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6 libgmime-3.0-0; do
  grep -qxF "$needed" <<<"$names" || fail "Depends does not name $needed"
done
# Readers that only tests use: the programs read stores themselves.
forbidden=(libpst4 libpff1)
for banned in "${forbidden[@]}"; do
  if grep -qxF "$banned" <<<"$names"; then
    fail "Depends names $banned"
  fi
done

dpkg-deb -x "$deb" "$root/tree"
for program in parcelwise parcelwise-cli unfurl; do
  file -b "$root/tree/usr/bin/$program" | grep -q ', stripped' || fail "$program is not stripped"
done

# The programs, run from the extracted files.
"$root/tree/usr/bin/parcelwise-cli" --version | head -n 1
"$root/tree/usr/bin/parcelwise" --version | head -n 1
"$root/tree/usr/bin/parcelwise" --help | grep -qF "This copy uses $root/tree/usr/bin/unfurl." ||
  fail "parcelwise does not find the unfurl beside it"
store=../shared/corpus/pst/sample1.pst
if [[ -f $store ]]; then
  lines=$("$root/tree/usr/bin/parcelwise-cli" list "$store" | wc -l)
  ((lines > 0)) || fail "parcelwise-cli listed nothing in $store"
  echo "parcelwise-cli list $(basename "$store"): $lines messages"
else
  echo "no sample store at $store: the list check is skipped"
fi

# lintian: every tag it gives must be one the README lists as accepted.
if command -v lintian >/dev/null; then
  # lintian's status is non-zero for any error tag; the tags decide here.
  tags=$( (lintian --tag-display-limit 0 "$deb" 2>&1 || true) | sed -n 's/^[EWIXP]: parcelwise[^:]*: \([^ ]*\).*/\1/p' | sort -u)
  accepted=$(sed -n 's/^- lintian tag `\([a-z0-9-]*\)`.*/\1/p' README.md | sort -u)
  unexpected=$(comm -23 <(echo "$tags") <(echo "$accepted") | sed '/^$/d')
  echo "lintian tags: $(echo $tags)"
  [[ -z $unexpected ]] || fail "lintian tags the README does not list: $(echo $unexpected)"
else
  echo "lintian is not installed: skipped"
fi
echo "package checks passed: $(basename "$deb")"
