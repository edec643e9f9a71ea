#!/bin/bash
# The PNG encoder's cost, ours against LodePNG's own (the same tree built
# with GALLIVOX_OWN_PNG_ENCODER=OFF, in build-lodepng): callgrind's
# instructions per picture of a `--batch` on one worker, for 48×48 and 24×24
# icons (--size 24), 32×32 DS icons and 240×240 thumbnails (--size 256) of
# 200 generated files each; then the CPU time (user and system apart) of a
# --batch over FILES generated ICN files on every core, in ROUNDS interleaved
# rounds, with the medians and their ratios. Usage: bench/bench_encoder.sh [FILES] [ROUNDS]
# (default 1000, 11)
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-1000}
rounds=${2:-11}
counted=200
sh tools/setup.sh bench
cmake -S . -B build > /dev/null
cmake --build build -j2 --target gallivox make_icn_set > /dev/null
cmake -S . -B build-lodepng -DGALLIVOX_OWN_PNG_ENCODER=OFF -DBUILD_TESTING=OFF > /dev/null
cmake --build build-lodepng -j2 --target gallivox > /dev/null
scratch=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/gallivox-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/icns" "$scratch/ds" "$scratch/many"
build/bench/make_icn_set "$scratch/icns" "$counted"
build/bench/make_icn_set "$scratch/ds" "$counted" ds
build/bench/make_icn_set "$scratch/many" "$files"
. bench/timing.sh

# instructions TOOL ARGUMENT...: callgrind's count for one batch run, per file.
instructions() {
    local tool=$1
    shift
    rm -f "$scratch"/*/*.png
    GALLIVOX_JOBS=1 valgrind --tool=callgrind --callgrind-out-file="$scratch/callgrind.out" "$tool" --batch "$@" \
        2>&1 | sed -n 's/.*Collected : //p' | awk -v n="$counted" '{printf "%.3f", $1 / n / 1e6}'
}

echo "== instructions per picture, M (a --batch of $counted files on one worker)"
printf "%-22s %8s %8s %6s\n" picture ours lodepng ratio
while IFS='|' read -r name arguments; do
    # shellcheck disable=SC2086 # the arguments are words and globs
    ours=$(instructions build/gallivox $arguments)
    # shellcheck disable=SC2086
    theirs=$(instructions build-lodepng/gallivox $arguments)
    awk -v n="$name" -v a="$ours" -v b="$theirs" 'BEGIN {printf "%-22s %8.3f %8.3f %6.2f\n", n, a, b, a / b}'
done <<LIST
48x48 icon|$scratch/icns/*.icn
24x24 icon|--size 24 $scratch/icns/*.icn
32x32 DS icon|$scratch/ds/*.nds
240x240 thumbnail|--size 256 $scratch/icns/*.icn
LIST

echo "== CPU time of a --batch of $files files on $(nproc) cores, $rounds interleaved rounds (medians)"
for name in ours lodepng; do : > "$scratch/$name.user"; : > "$scratch/$name.system"; done
for ((i = 0; i < rounds; i++)); do
    for build in build:ours build-lodepng:lodepng; do
        rm -f "$scratch"/many/*.png
        /usr/bin/time -f "%U %S" -o "$scratch/time" "${build%%:*}/gallivox" --batch "$scratch"/many/*.icn
        awk '{printf "%d\n", $1 * 1000}' "$scratch/time" >> "$scratch/${build##*:}.user"
        awk '{printf "%d\n", $2 * 1000}' "$scratch/time" >> "$scratch/${build##*:}.system"
    done
done
# The encoder is user time; the system's (creating and renaming the files)
# is the same for both and varies with the disk.
for part in user system; do
    ours=$(median "$scratch/ours.$part")
    theirs=$(median "$scratch/lodepng.$part")
    awk -v p="$part" -v a="$ours" -v b="$theirs" 'BEGIN {printf "%-6s ours %d ms, LodePNG %d ms: %.2f x\n", p, a, b, a / b}'
done
