#!/usr/bin/env bash
# The installed data files: the desktop entry and the AppStream metainfo
# pass their validators, every screenshot the metainfo shows is a picture in
# docs/, and the desktop entry, metainfo and MIME package name the same types.
set -euo pipefail
src=$1
data=$src/data
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
skipped=0
if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$data/org.example.parcelwise.desktop" 2>&1) || fail "desktop-file-validate: $out"
  [[ -z $out ]] || echo "desktop-file-validate: $out"
else
  echo "desktop-file-validate is not installed: skipped"; skipped=1
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$data/org.example.parcelwise.metainfo.xml" ||
    fail "appstreamcli rejects the metainfo"
else
  echo "appstreamcli is not installed: skipped"; skipped=1
fi

metainfo=$data/org.example.parcelwise.metainfo.xml
shots=$(sed -n 's|.*<image>[^<]*/\(docs/[^<]*\)</image>.*|\1|p' "$metainfo")
[[ -n $shots ]] || fail "the metainfo shows no screenshot from docs/"
for shot in $shots; do
  [[ -f $src/$shot ]] || fail "screenshot $shot is not in the source tree"
done
[[ $(grep -c '<image>' "$metainfo") == $(wc -w <<<"$shots") ]] ||
  fail "a screenshot of the metainfo is not one of docs/"

desktop_types=$(sed -n 's/^MimeType=//p' "$data/org.example.parcelwise.desktop" | tr ';' '\n' | sed '/^$/d' | sort)
meta_types=$(sed -n 's|.*<mediatype>\(.*\)</mediatype>.*|\1|p' "$metainfo" | sort)
[[ $desktop_types == "$meta_types" ]] || fail "the desktop entry and the metainfo name different MIME types"
grep -q '^Exec=parcelwise %F$' "$data/org.example.parcelwise.desktop" || fail "Exec does not take files"
for type in $(sed -n 's|.*<mime-type type="\([^"]*\)".*|\1|p' "$data/parcelwise-mime.xml"); do
  grep -qx "$type" <<<"$desktop_types" || fail "$type is defined but not opened by the desktop entry"
done
echo "data files checked"
exit 0
