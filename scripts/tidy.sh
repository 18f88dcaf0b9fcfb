#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over every source file of
# src/, using the compile commands of the test build (build/). Every finding
# is printed, with its file and line; any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ! -f build/compile_commands.json ]]; then
  cmake -S . -B build -DPARCELWISE_TESTS=ON >/dev/null
  cmake --build build -j"$(nproc)"
fi
tidy=$(command -v clang-tidy || command -v clang-tidy-14)
# Each file's report goes to a file of its own, so the reports of parallel
# runs never mix; clang-tidy's own chatter ("N warnings generated") is left
# out, its findings and errors are kept.
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export tidy reports
status=0
find src -name '*.cpp' -print0 | xargs -0 -n 1 -P "$(nproc)" sh -c '
  out="$reports/$(printf %s "$1" | tr / _)"
  "$tidy" -p build --quiet "$1" >"$out" 2>"$out.err" || echo "$1" >"$out.failed"
  grep -v -e "^[0-9]* warnings\? generated\.$" -e "^Suppressed [0-9]* warnings" \
       -e "^Use -header-filter" -e "^Error while processing" "$out.err" >>"$out" || true
' sh || status=$?
found=0
for report in "$reports"/*; do
  [[ $report == *.err || $report == *.failed ]] && continue
  if [[ -s $report ]]; then
    cat "$report"
    found=1
  fi
done
failed=$(cat "$reports"/*.failed 2>/dev/null || true)
if [[ -n $failed || $found == 1 || $status != 0 ]]; then
  echo "clang-tidy found problems${failed:+ in: $(echo $failed)}" >&2
  exit 1
fi
