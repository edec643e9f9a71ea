#!/bin/bash
# Compressed files: times the two-icon conversion of Z3DS files against the
# bare ICN file's, in interleaved runs, and prints the medians and ratios: a
# .zcci of about 5 GiB whose SMDH lies in a late 256 KiB frame, a .zcia
# whose metadata holds the SMDH, a .zcia without it (32 MiB frames), and a
# .bcci of about 5 GiB whose application, that .zcci, follows two CIAs.
# Then a 1 GiB .zcci through a pipe (time and peak memory), and --batch over
# FILES compressed NCCH files against the same files uncompressed.
# Usage: bench/bench_z3ds.sh [RUNS] [FILES]  (default 101 runs, 1000 files)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-101}
files=${2:-1000}
build=${BUILD:-build}
cmake --build "$build" -j2 --target gallivox make_icn_set make_z3ds_set > /dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tool=$(realpath "$build/gallivox")
"$build/bench/make_z3ds_set" "$scratch" samples/sample.icn
cp samples/sample.icn "$scratch/bare.icn"

. bench/timing.sh
inputs=(bare.icn late.zcci item.zcia noitem.zcia late.bcci)
compare_conversions "$tool" "$scratch" "$runs" "${inputs[@]}"

echo "1 GiB .zcci through a pipe:"
start=$(now_us)
/usr/bin/time -v -o "$scratch/pipe.time" "$tool" -i /dev/stdin -l "$scratch/l.png" < <(cat "$scratch/pipe.zcci")
end=$(now_us)
awk -v t=$((end - start)) '/Maximum resident/ {printf "  %.2f s, peak resident memory %.1f MiB\n", t / 1e6, $NF / 1024}' \
    "$scratch/pipe.time"

mkdir "$scratch/set"
"$build/bench/make_icn_set" "$scratch/set" "$files"
"$build/bench/make_z3ds_set" wrap "$scratch"/set/*.icn
compare_batches "$tool" "$scratch/set" cxi zcxi compressed
