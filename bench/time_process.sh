#!/bin/bash
# Times the whole process: N runs (default 300) of a two-icon extraction of
# the bundled sample against N runs of cp of the same file, interleaved, and
# prints both medians and their ratio. cp stands for the floor: a process
# that reads one file and writes another.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
tool=${GALLIVOX:-build/gallivox}
input=samples/sample.icn
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
[ -x "$tool" ] || { echo "time_process.sh: build $tool first" >&2; exit 1; }

. bench/timing.sh

: > "$scratch/tool"
: > "$scratch/cp"
for ((i = 0; i < runs; i++)); do
    start=$(now_us)
    "$tool" -i "$input" -s "$scratch/s.png" -l "$scratch/l.png"
    end=$(now_us)
    echo $((end - start)) >> "$scratch/tool"
    start=$(now_us)
    cp "$input" "$scratch/copy.icn"
    end=$(now_us)
    echo $((end - start)) >> "$scratch/cp"
done

tool_median=$(median "$scratch/tool")
cp_median=$(median "$scratch/cp")
echo "runs: $runs each, interleaved"
echo "gallivox median: $tool_median us"
echo "cp median:       $cp_median us"
awk -v a="$tool_median" -v b="$cp_median" 'BEGIN {printf "ratio:           %.2f\n", a / b}'
