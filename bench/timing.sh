# Helpers of the timing scripts, sourced by them (bash).
# shellcheck shell=bash

# The wall clock in microseconds.
now_us() { local t=$EPOCHREALTIME; echo "${t/./}"; }

# The median of the numbers in FILE, one a line.
median() { sort -n "$1" | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
