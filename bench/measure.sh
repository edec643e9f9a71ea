#!/bin/bash
# Every performance figure of the README in one command: the micro-benchmarks,
# the process timing against cp, the decoding passes' share of the process's
# instructions (callgrind), the peak resident memory of a two-icon run, and
# --batch over 1,000 generated files against a shell loop and the least run,
# the compressed files against the bare one, and the PNG encoder against
# LodePNG's.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
sh tools/setup.sh bench
cmake -S . -B build >/dev/null
cmake --build build -j2 --target gallivox gallivox_bench make_icn_set least_run make_z3ds_set >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
run=(build/gallivox -i samples/sample.icn -s "$scratch/s.png" -l "$scratch/l.png")

echo "== machine"
echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"

echo "== micro-benchmarks"
build/bench/gallivox_bench --benchmark_min_time=0.2 2>/dev/null | grep '^BM_'

echo "== whole process against cp"
bench/time_process.sh "$runs"

echo "== instructions (callgrind)"
valgrind --tool=callgrind --callgrind-out-file="$scratch/callgrind.out" "${run[@]}" 2>/dev/null
callgrind_annotate --inclusive=yes "$scratch/callgrind.out" 2>/dev/null |
    awk '/PROGRAM TOTALS/ {gsub(",", "", $1); total = $1}
         /=> .*(CTPKtoBMP|DecodeBMPData)\(/ {gsub(",", "", $1); decode += $1}
         /rtld.c:_dl_start / {gsub(",", "", $1); loading = $1}
         END {printf "total %d; decoding passes %d (%.2f%%); dynamic loading %d (%.1f%%)\n",
                     total, decode, 100 * decode / total, loading, 100 * loading / total}'

echo "== peak memory"
/usr/bin/time -v "${run[@]}" 2>&1 | grep 'Maximum resident'

echo "== many files in one run"
bench/bench_batch.sh 1000 5

echo "== the PNG encoder against LodePNG's"
bench/bench_encoder.sh 1000 11

echo "== compressed files"
bench/bench_z3ds.sh 101 1000

echo "== encrypted files"
bench/bench_keys.sh 101 1000

echo "== thumbnails"
bench/bench_thumbnail.sh 101
