#!/bin/bash
# Many files in one run: times `gallivox --batch` over a generated collection
# of ICN files, on every core and on one worker (GALLIVOX_JOBS=1), against a
# shell loop of the one-argument form and against the least single-core run
# the encoder allows (bench/least_run.cpp), in interleaved rounds, and prints
# the medians, the ratios and the batch's peak resident memory. The files
# live under BENCH_DIR (default: the system's temporary directory; give
# /dev/shm to measure on a tmpfs, where the encoder and not the disk is the
# cost). Usage: bench/bench_batch.sh [FILES] [ROUNDS]  (default 1000, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-1000}
rounds=${2:-5}
build=${BUILD:-build}
cmake --build "$build" -j2 --target gallivox make_icn_set least_run > /dev/null
scratch=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/gallivox-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/icns"
"$build/bench/make_icn_set" "$scratch/icns" "$files"
tool=$(realpath "$build/gallivox")
least=$(realpath "$build/bench/least_run")

. bench/timing.sh
# time_into FILE COMMAND...: appends the wall time of COMMAND in µs to FILE.
time_into() {
    local log=$1 start end
    shift
    rm -f "$scratch"/icns/*.png
    start=$(now_us)
    "$@"
    end=$(now_us)
    echo $((end - start)) >> "$scratch/$log"
}
shell_loop() { for f in "$scratch"/icns/*.icn; do "$tool" "$f"; done; }
# The least run split across the cores, one process each: what this machine
# gives when nothing at all is shared.
least_on_cores() {
    local icns=("$scratch"/icns/*.icn) cores part start
    cores=$(nproc)
    part=$(((${#icns[@]} + cores - 1) / cores))
    for ((start = 0; start < ${#icns[@]}; start += part)); do
        "$least" "${icns[@]:start:part}" &
    done
    wait
}

# cpu_into FILE COMMAND...: appends the CPU time (user and system) of COMMAND
# in µs to FILE.
cpu_into() {
    local log=$1 TIMEFORMAT='%3U %3S'
    shift
    { time "$@" > /dev/null 2>&1; } 2> "$scratch/cpu"
    awk '{ printf "%d\n", ($1 + $2) * 1000000 }' "$scratch/cpu" >> "$scratch/$log"
}

for ((round = 0; round < rounds; round++)); do
    # A first run on one worker, then the same command over its own PNGs.
    rm -f "$scratch"/icns/*.png
    cpu_into first env GALLIVOX_JOBS=1 "$tool" --batch "$scratch"/icns/*.icn
    cpu_into again env GALLIVOX_JOBS=1 "$tool" --batch "$scratch"/icns/*.icn
    time_into cores "$tool" --batch "$scratch"/icns/*.icn
    time_into batch env GALLIVOX_JOBS=1 "$tool" --batch "$scratch"/icns/*.icn
    time_into least "$least" "$scratch"/icns/*.icn
    time_into split least_on_cores
    time_into loop shell_loop
done
# The least run must write what the tool writes, or the floor is not one.
cp "$scratch/icns/icon-0009.png" "$scratch/least.png"
"$tool" --batch "$scratch/icns/icon-0009.icn"
cmp -s "$scratch/least.png" "$scratch/icns/icon-0009.png" || { echo "least run writes other PNGs" >&2; exit 1; }

cores=$(median "$scratch/cores")
batch=$(median "$scratch/batch")
least=$(median "$scratch/least")
split=$(median "$scratch/split")
loop=$(median "$scratch/loop")
first=$(median "$scratch/first")
again=$(median "$scratch/again")
echo "files: $files, rounds: $rounds, interleaved, in $(df --output=fstype "$scratch" | tail -1) on $(nproc) cores; medians:"
awk -v c="$cores" -v b="$batch" -v l="$least" -v s="$loop" -v p="$split" 'BEGIN {
    printf "--batch, all cores:%8.1f ms   (against the least run: %.2f, target at most 0.6 on a tmpfs)\n", c / 1000, c / l
    printf "--batch, 1 worker: %8.1f ms   (all cores against it: %.2f)\n", b / 1000, c / b
    printf "least run:         %8.1f ms   (1 worker / least run: %.2f, target at most 1.15)\n", l / 1000, b / l
    printf "least run split:   %8.1f ms   (one process a core; against the least run: %.2f)\n", p / 1000, p / l
    printf "shell loop:        %8.1f ms   (shell loop / --batch: %.1f, target at least 12)\n", s / 1000, s / b
}'
awk -v f="$first" -v a="$again" 'BEGIN {
    printf "CPU time, 1 worker: first run %.1f ms, again over its own PNGs %.1f ms (%.2f, target at most 0.5)\n",
        f / 1000, a / 1000, a / f
}'
if [ -x /usr/bin/time ]; then
    rm -f "$scratch"/icns/*.png
    /usr/bin/time -v "$tool" --batch "$scratch"/icns/*.icn 2>&1 | awk '/Maximum resident/ {
        printf "peak resident memory of --batch: %.1f MiB (target below 4)\n", $NF / 1024 }'
fi
