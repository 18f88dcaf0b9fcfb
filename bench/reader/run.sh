#!/usr/bin/env bash
# Whole-process figures of the store reader, each beside a baseline measured
# in the same run, the two sides alternating round by round (medians):
#   - parcelwise-cli list of 100,000 mail in one folder vs the bare libpst walk
#     in C (goal: at most 0.6 x);
#   - parcelwise-cli save of 40,000 mail of one folder (one 6 KB attachment
#     each) vs the bare libpst walk-and-save in C (goal: at most 1.2 x);
#   - parcelwise-cli save of 20 x 50 MB vs cp of the same store file
#     (goal: at most 1.15 x);
#   - the window's scan of the 100,000-item store (bench_engine scan), when
#     the benchmark build has made it;
#   - peak resident memory of each (goal: under 60 MB).
# The load average is printed beside every pair: the machine is shared.
#
#   bench/reader/run.sh <build folder> <work folder> [rounds] [label]
#
# Ratios are given for CPU time (user + system; steadier on a loaded
# machine) and for elapsed time.
#
# The build folder needs parcelwise-cli and mkpst (a -DPARCELWISE_TESTS=ON
# build); the two C baselines are compiled here with the build's -O2 when it
# has not made them. The work folder needs about 3 GB.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: run.sh <build folder> <work folder> [rounds]}" && pwd)
work=${2:?usage: run.sh <build folder> <work folder> [rounds]}
rounds=${3:-3}
label=${4:-}
mkdir -p "$work/stores"
work=$(cd "$work" && pwd)
bin=$build/bin
cli=$bin/parcelwise-cli
export QT_QPA_PLATFORM=offscreen

for store in 100k_onefolder 40k_onefolder 20x50mb; do
    if [[ ! -f $work/stores/$store.pst ]]; then
        nice -n 10 "$bin/mkpst" "$here/bench/data/bench_store_$store.json" "$work/stores/$store.pst" >/dev/null
    fi
done
for tool in bare_libpst_walk bare_libpst_save; do
    if [[ -x $bin/$tool ]]; then
        ln -sf "$bin/$tool" "$work/$tool"
    elif [[ ! -x $work/$tool ]]; then
        # shellcheck disable=SC2046
        cc -O2 -g -DBARE_WALK_MAIN=1 -o "$work/$tool" "$here/bench/engine/$tool.c" \
            $(pkg-config --cflags --libs libpst)
    fi
done

# Runs a command once, quietly; prints "elapsed cpu peak-KB".
timed() {
    /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" nice -n 10 "$@" >/dev/null 2>"$work/stderr.txt" || {
        echo "failed ($?): $* -- $(tail -n 3 "$work/stderr.txt")" >&2
    }
    tail -n 1 "$work/time.txt" | awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# compare <label> <ours...> -- <baseline...>; a "prepare" function, when set,
# runs before each side (untimed).
compare() {
    local label=$1
    shift
    local ours=() base=()
    while [[ $1 != -- ]]; do ours+=("$1"); shift; done
    shift
    base=("$@")
    : >"$work/ours.txt"
    : >"$work/base.txt"
    for ((r = 1; r <= rounds; ++r)); do
        prepare
        timed "${ours[@]}" >>"$work/ours.txt"
        prepare
        timed "${base[@]}" >>"$work/base.txt"
    done
    local oe oc om be bc bm
    oe=$(cut -d' ' -f1 "$work/ours.txt" | median)
    oc=$(cut -d' ' -f2 "$work/ours.txt" | median)
    om=$(cut -d' ' -f3 "$work/ours.txt" | sort -n | tail -n 1)
    be=$(cut -d' ' -f1 "$work/base.txt" | median)
    bc=$(cut -d' ' -f2 "$work/base.txt" | median)
    bm=$(cut -d' ' -f3 "$work/base.txt" | sort -n | tail -n 1)
    printf '%s: ours %.2f s elapsed, %.2f s CPU, peak %d KB; baseline %.2f s, %.2f s CPU, peak %d KB; ratio %.2f x CPU, %.2f x elapsed; load %s\n' \
        "$label" "$oe" "$oc" "$om" "$be" "$bc" "$bm" \
        "$(awk "BEGIN { print $oc / ($bc > 0 ? $bc : 0.01) }")" "$(awk "BEGIN { print $oe / ($be > 0 ? $be : 0.01) }")" \
        "$(cut -d' ' -f1-3 /proc/loadavg)"
}

out=$work/out
# Before each side: an empty output folder, the last run's writes on disk,
# and the store being read in the page cache (reading it untimed), so that
# neither side pays for what the other left behind.
input=
prepare() {
    rm -rf "$out"
    mkdir -p "$out"
    sync
    [[ -z $input ]] || cat "$input" >/dev/null
}

echo "== ${label:+$label: }$(nproc) cores, $(uname -sr), load $(cut -d' ' -f1-3 /proc/loadavg), $rounds rounds"
input=$work/stores/100k_onefolder.pst
compare "list, 100,000 mail in one folder vs bare libpst walk" \
    "$cli" list "$work/stores/100k_onefolder.pst" -- "$work/bare_libpst_walk" "$work/stores/100k_onefolder.pst"
input=$work/stores/40k_onefolder.pst
compare "save, 40,000 mail of one folder vs bare libpst walk-and-save" \
    "$cli" save "$work/stores/40k_onefolder.pst" --to "$out" -- \
    "$work/bare_libpst_save" "$work/stores/40k_onefolder.pst" "$out"
input=$work/stores/20x50mb.pst
compare "save, 20 x 50 MB vs cp of the store" \
    "$cli" save "$work/stores/20x50mb.pst" --to "$out" -- cp "$work/stores/20x50mb.pst" "$out/copy.pst"
if [[ -x $bin/bench_engine ]]; then
    input=$work/stores/100k_onefolder.pst
    compare "window's scan, 100,000 mail in one folder vs bare libpst walk" \
        "$bin/bench_engine" scan "$work/stores/100k_onefolder.pst" -- \
        "$work/bare_libpst_walk" "$work/stores/100k_onefolder.pst"
else
    echo "window's scan: bench_engine not built (configure with -DPARCELWISE_BENCH=ON)"
fi
rm -rf "$out"
