#!/usr/bin/env bash
# What --dedupe and --skip-existing cost against a plain save of the same
# store, each a whole parcelwise-cli process timed by /usr/bin/time -v, the
# sides taken in turn round by round; medians printed.
#   bash bench/cli/bench_cli_keep.sh CLI STORE WORKDIR [ROUNDS]
set -euo pipefail
cli="$1"; store="$2"; work="$3"; rounds="${4:-5}"
mkdir -p "$work"
declare -A wall cpu rss
# Runs one side into a fresh (or the given prefilled) folder; notes elapsed
# seconds, user + system seconds and peak memory.
measure() {
  local side="$1"; shift
  local log="$work/time.log"
  /usr/bin/time -v -o "$log" "$cli" save "$store" -q "$@" >/dev/null
  local e u s m
  e=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); v=0; for(i=1;i<=n;i++) v=v*60+t[i]; print v}' "$log")
  u=$(awk -F': ' '/User time/ {print $2}' "$log")
  s=$(awk -F': ' '/System time/ {print $2}' "$log")
  m=$(awk -F': ' '/Maximum resident/ {print $2}' "$log")
  wall[$side]+="$e "
  cpu[$side]+="$(echo "$u + $s" | bc -l) "
  rss[$side]+="$m "
}
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
for ((round = 1; round <= rounds; round++)); do
  rm -rf "$work"/out-*
  measure plain --to "$work/out-plain"
  measure dedupe --to "$work/out-dedupe" --dedupe
  measure skip-first --to "$work/out-skip" --skip-existing
  # A rerun into the folder the plain save filled: nothing is added.
  measure skip-rerun --to "$work/out-plain" --skip-existing
  [ "$(find "$work/out-plain" -type f | wc -l)" = "$(find "$work/out-dedupe" -type f | wc -l)" ] && echo "note: nothing was deduplicated" >&2
done
files() { find "$1" -type f | wc -l; }
echo "files: plain $(files "$work/out-plain"), dedupe $(files "$work/out-dedupe"), skip-existing $(files "$work/out-skip")"
base_wall=$(echo "${wall[plain]}" | median); base_cpu=$(echo "${cpu[plain]}" | median)
printf "%-12s %10s %10s %8s %8s %10s\n" side wall_s cpu_s wall_x cpu_x peak_KB
for side in plain dedupe skip-first skip-rerun; do
  w=$(echo "${wall[$side]}" | median); c=$(echo "${cpu[$side]}" | median); m=$(echo "${rss[$side]}" | median)
  printf "%-12s %10.3f %10.3f %8.2f %8.2f %10d\n" "$side" "$w" "$c" "$(echo "$w / $base_wall" | bc -l)" \
    "$(echo "$c / $base_cpu" | bc -l)" "$m"
done
rm -rf "$work"/out-*
