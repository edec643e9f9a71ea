#!/bin/sh
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for the given number of seconds
# (default 30), starting from the seed corpus under fuzz/corpus. A finding
# stops the run with a nonzero status and leaves the input in build-fuzz/.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-30}
sh tools/setup.sh fuzz
CXX=clang++ cmake -S . -B build-fuzz -DGALLIVOX_FUZZ=ON -DGALLIVOX_WERROR=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
targets="icn text walk info z3ds keys folders"
# The encoder's own target, where it is built (the LodePNG it reproduces).
if grep -q '^GALLIVOX_PNG_ENCODER:INTERNAL=ON' build-fuzz/CMakeCache.txt; then targets="$targets png"; fi
for target in $targets; do cmake --build build-fuzz -j2 --target "fuzz_$target"; done
for target in $targets; do
    mkdir -p "build-fuzz/corpus-$target"
    log=build-fuzz/fuzz_$target.log
    echo "fuzz_$target: $seconds s"
    # The walk's targets get the dictionary of its magics; every target a
    # timeout, so that a slow input is reported as a finding.
    dict=""
    case "$target" in walk | z3ds) dict="-dict=../fuzz/walk.dict" ;; esac
    if (cd build-fuzz && ./fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 $dict -close_fd_mask=3 \
            -print_final_stats=1 "corpus-$target" "../fuzz/corpus/$target") > "$log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$log"
    else
        tail -n 60 "$log"
        echo "fuzz_$target found a failing input (saved in build-fuzz/)" >&2
        exit 1
    fi
done
