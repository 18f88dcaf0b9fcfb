#!/usr/bin/env bash
# Runs one fuzz target with the settings used on a shared machine.
#
#   fuzz/run.sh <fuzz build folder> <target> [seconds] [extra libFuzzer flags...]
#
# New inputs go to <build>/corpus/<target>, crashes, leaks and timeouts to
# <build>/artifacts/<target>/, the log to <build>/logs/<target>/fuzz-0.log.
set -euo pipefail

build=$(cd "${1:?usage: run.sh <fuzz build folder> <target> [seconds] [flags...]}" && pwd)
target=${2:?target name without the fuzz_ prefix, e.g. dbxreader}
seconds=${3:-1200}
shift $(($# < 3 ? $# : 3))

mkdir -p "$build/corpus/$target" "$build/artifacts/$target" "$build/logs/$target" "$build/seeds/$target"
cd "$build/logs/$target"
exec nice -n 10 "$build/bin/fuzz_$target" \
    -jobs=1 -workers=1 -rss_limit_mb=2048 -timeout=10 -max_total_time="$seconds" \
    -artifact_prefix="$build/artifacts/$target/" -print_final_stats=1 "$@" \
    "$build/corpus/$target" "$build/seeds/$target"
