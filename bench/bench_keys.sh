#!/bin/bash
# Encrypted files: times the two-icon conversion of an encrypted .cci and of
# a sparse 5 GiB CIA whose content is encrypted, opened with a made-up key
# file, against the bare ICN file's, in interleaved runs, and prints the
# medians and ratios; then --batch over FILES encrypted NCCH files against
# the same files unencrypted.
# Usage: bench/bench_keys.sh [RUNS] [FILES]  (default 101 runs, 1000 files)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-101}
files=${2:-1000}
build=${BUILD:-build}
cmake --build "$build" -j2 --target gallivox make_icn_set make_z3ds_set > /dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tool=$(realpath "$build/gallivox")
"$build/bench/make_z3ds_set" "$scratch" samples/sample.icn > /dev/null
cp samples/sample.icn "$scratch/bare.icn"
export GALLIVOX_KEYS="$scratch/keys.conf"

. bench/timing.sh
inputs=(bare.icn enc.cci enc.cia)
for input in "${inputs[@]}"; do : > "$scratch/$input.times"; done
for ((i = 0; i < runs; i++)); do
    for input in "${inputs[@]}"; do
        start=$(now_us)
        "$tool" -i "$scratch/$input" -s "$scratch/s.png" -l "$scratch/l.png"
        end=$(now_us)
        echo $((end - start)) >> "$scratch/$input.times"
    done
done
bare=$(median "$scratch/bare.icn.times")
echo "runs: $runs each, interleaved; medians of a two-icon conversion:"
for input in "${inputs[@]}"; do
    m=$(median "$scratch/$input.times")
    awk -v n="$input" -v m="$m" -v b="$bare" 'BEGIN {printf "%-10s %8.2f ms  %.2f x the bare file\n", n, m / 1000, m / b}'
done

mkdir "$scratch/set"
"$build/bench/make_icn_set" "$scratch/set" "$files"
"$build/bench/make_z3ds_set" wrap "$scratch"/set/*.icn
batch_times() {
    local kind=$1 log=$scratch/batch.$1 start end
    rm -f "$scratch"/set/*.png
    start=$(now_us)
    "$tool" --batch "$scratch"/set/*."$kind"
    end=$(now_us)
    echo $((end - start)) >> "$log"
}
for ((round = 0; round < 5; round++)); do
    batch_times cxi
    batch_times ecxi
done
cxi=$(median "$scratch/batch.cxi")
ecxi=$(median "$scratch/batch.ecxi")
awk -v c="$cxi" -v e="$ecxi" -v n="$files" 'BEGIN {
    printf "--batch over %d files, 5 rounds, medians: NCCH %.0f ms, encrypted %.0f ms (%.2f x)\n", n, c / 1000, e / 1000, e / c }'
