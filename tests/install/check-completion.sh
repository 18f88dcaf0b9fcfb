#!/usr/bin/env bash
# parcelwise-cli's bash completion, driven the way bash drives it: the
# command first, then its options, folders only after --to, sources after.
set -uo pipefail
completion=$1
framework=/usr/share/bash-completion/bash_completion
if [[ ! -f $framework ]]; then
  echo "bash-completion is not installed: skipped"
  exit 0
fi
# shellcheck disable=SC1090
source "$framework"
source "$completion" || { echo "FAIL: the completion file does not load" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/out dir" "$work/mail"
touch "$work/mail/archive.pst" "$work/mail/Inbox.dbx"
cd "$work"
failures=0
# complete "words..." -> the sorted candidates for the last word
complete_line() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _parcelwise_cli parcelwise-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}
expect() {
  local want=$1
  shift
  local got
  got=$(complete_line "$@")
  if [[ $got != "$want" ]]; then
    echo "FAIL: '$*' completes to '$got', expected '$want'" >&2
    failures=$((failures + 1))
  fi
}
expect "list save" parcelwise-cli ""
expect "save" parcelwise-cli sa
expect "--skip-existing --skip-inline" parcelwise-cli save --skip
expect "--dedupe" parcelwise-cli list --ded
expect "--id --ids-from" parcelwise-cli save x.pst --id
expect "out dir" parcelwise-cli save --to o
expect "mail/archive.pst" parcelwise-cli list mail/a
expect "" parcelwise-cli save --since 20
((failures == 0)) || exit 1
echo "completion checked"
