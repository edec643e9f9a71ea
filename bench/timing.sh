# Helpers of the timing scripts, sourced by them (bash).
# shellcheck shell=bash

# The wall clock in microseconds.
now_us() { local t=$EPOCHREALTIME; echo "${t/./}"; }

# The median of the numbers in FILE, one a line.
median() { sort -n "$1" | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# compare_conversions TOOL DIR RUNS INPUT...: times a two-icon conversion of
# each INPUT of DIR (the first the bare file), RUNS times, interleaved, and
# prints each median, its ratio to the first's and the file's size on disk.
compare_conversions() {
    local tool=$1 dir=$2 runs=$3 input start end bare m i
    shift 3
    for input in "$@"; do : > "$dir/$input.times"; done
    for ((i = 0; i < runs; i++)); do
        for input in "$@"; do
            start=$(now_us)
            "$tool" -i "$dir/$input" -s "$dir/s.png" -l "$dir/l.png"
            end=$(now_us)
            echo $((end - start)) >> "$dir/$input.times"
        done
    done
    bare=$(median "$dir/$1.times")
    echo "runs: $runs each, interleaved; medians of a two-icon conversion:"
    for input in "$@"; do
        m=$(median "$dir/$input.times")
        awk -v n="$input" -v m="$m" -v b="$bare" -v s="$(stat -c %s "$dir/$input")" \
            'BEGIN {printf "%-12s %8.2f ms  %.2f x the bare file  (%.0f bytes on disk)\n", n, m / 1000, m / b, s}'
    done
}

# compare_batches TOOL DIR PLAIN OTHER LABEL: times --batch over DIR's files
# of extension PLAIN and of OTHER, in 5 interleaved rounds, and prints the
# medians, OTHER's called LABEL.
compare_batches() {
    local tool=$1 dir=$2 plain=$3 other=$4 label=$5 kind start end round plain_files
    plain_files=("$dir"/*."$plain")
    for kind in "$plain" "$other"; do : > "$dir.batch.$kind"; done
    for ((round = 0; round < 5; round++)); do
        for kind in "$plain" "$other"; do
            rm -f "$dir"/*.png
            start=$(now_us)
            "$tool" --batch "$dir"/*."$kind"
            end=$(now_us)
            echo $((end - start)) >> "$dir.batch.$kind"
        done
    done
    awk -v c="$(median "$dir.batch.$plain")" -v o="$(median "$dir.batch.$other")" -v n="${#plain_files[@]}" \
        -v label="$label" 'BEGIN {
        printf "--batch over %d files, 5 rounds, medians: NCCH %.0f ms, %s %.0f ms (%.2f x)\n", n, c / 1000, label, o / 1000, o / c }'
}
