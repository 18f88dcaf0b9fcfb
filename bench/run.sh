#!/usr/bin/env bash
# Builds the benchmarks and their inputs (written stores, generated .eml
# sets, a large .dbx: all made on demand in build-bench/, never committed)
# and runs every one, printing our time, the baseline measured in the same
# run and their ratio. Needs about 8 GB of free disk and 10-20 minutes.
#   bash bench/run.sh [work folder]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test
work="${1:-$PWD/build-bench/work}"
mkdir -p "$work"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPARCELWISE_TESTS=ON -DPARCELWISE_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target \
  bench_engine bare_libpst_walk bench_outlookroad bench_store_500mb bench_emlsave bench_unfurl bench_registry \
  bench_samename bench_cli bench_progress bench_store_5k
export QT_QPA_PLATFORM=offscreen
bin=build-bench/bin
echo "== machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GB, $(uname -sr)"
data=build-bench/bench/data
onefolder=$data/bench_store_100k_onefolder.pst
echo "== scan and search of 100,000 messages, in one folder and in 100 (engine and bare libpst walk)"
"$bin/bench_engine" "$onefolder" 3
"$bin/bench_engine" "$data/bench_store_100k.pst" 3
echo "== open and scan into the list as whole processes, against the bare libpst walk in C"
for round in 1 2 3; do
  /usr/bin/time -f "scan into the list: %e s elapsed, %U s user, %S s system, %M KB peak" \
    "$bin/bench_engine" scan "$onefolder"
  /usr/bin/time -f "bare libpst walk:   %e s elapsed, %U s user, %S s system, %M KB peak" \
    "$bin/bare_libpst_walk" "$onefolder"
done
echo "== GetItemFromID for every mail of the one-folder store"
"$bin/bench_engine" reopen "$onefolder"
echo "== download All (20 x 50 MB; 2,000 x 1 MB; one of 500 MB) against cp, one process each"
for store in 20x50mb 2000x1mb 500mb; do
  /usr/bin/time -f "whole process: %e s elapsed, %M KB peak" \
    "$bin/bench_outlookroad" "$work" "$data/bench_store_$store.pst"
done
echo "== what the status line costs a 100,000-message scan and a 2,000-attachment download"
"$bin/bench_progress" 3 "$data/bench_store_100k.pst" "$data/bench_store_2000x1mb.pst" "$work"
echo "== listing and saving 10,000 .eml files against cat"
"$bin/bench_emlsave" "$work/eml"
echo "== 10,000 attachments of one name against 10,000 distinct names, both roads"
"$bin/bench_samename" "$work"
echo "== unfurl on a 500 MB .dbx against one sequential read"
"$bin/bench_unfurl" "$work/dbx"
echo "== parcelwise-cli save against the window's download; 8 stores by 2 processes against 1"
"$bin/bench_cli" "$work/cli" 3
echo "== parcelwise-cli save --dedupe and --skip-existing (first run, rerun) against a plain save, whole processes"
bash bench/cli/bench_cli_keep.sh "$bin/parcelwise-cli" "$data/bench_store_5k.pst" "$work/cli-keep" 5
echo "== registry file parsing"
"$bin/bench_registry"
