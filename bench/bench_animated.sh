#!/bin/bash
# The cost of a DSi animated icon against the still one: callgrind's
# instructions for `-a` and for `-l` on the bundled DSi banner
# (samples/sample_dsi.bnr, shaped as real ones: eight bitmaps, palette 0, a
# first frame of 160 ticks, then 8 a frame), each one process, its start
# included, and the same without the picture (`-s`, which a DS file lacks).
# Usage: bench/bench_animated.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build > /dev/null
cmake --build build -j2 --target gallivox > /dev/null
scratch=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/gallivox-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# instructions OPTION: callgrind's count for one run that writes OPTION's output.
instructions() {
    valgrind --tool=callgrind --callgrind-out-file="$scratch/out" build/gallivox \
        -i samples/sample_dsi.bnr "$1" "$scratch/x.png" > /dev/null 2>&1 || true
    callgrind_annotate "$scratch/out" | sed -n 's/^\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p' | tr -d ,
}
still=$(instructions -l)
animated=$(instructions -a)
none=$(instructions -s)
echo "-l (the still icon):            $still instructions"
echo "-a (9 pictures, 8 frames):      $animated instructions"
echo "-s (no picture, the run alone): $none instructions"
awk -v s="$still" -v a="$animated" -v n="$none" \
    'BEGIN { printf "-a / -l: %.2f; past the run alone: %.2f (%.0f a picture against %.0f)\n", a / s, (a - n) / (s - n), (a - n) / 9, s - n }'
