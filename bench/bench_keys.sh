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
compare_conversions "$tool" "$scratch" "$runs" "${inputs[@]}"

mkdir "$scratch/set"
"$build/bench/make_icn_set" "$scratch/set" "$files"
"$build/bench/make_z3ds_set" wrap "$scratch"/set/*.icn
compare_batches "$tool" "$scratch/set" cxi ecxi encrypted
