#!/bin/sh
# Installs what building and testing gallivox needs on Debian 12, as root;
# packages already present are not fetched again. Extra sets by name:
#   fuzz   clang and its runtime, for the libFuzzer targets
#   bench  Google Benchmark and GNU time, for tools/measure.sh
#   windows  MinGW-w64, Wine and dpkg-dev, for tools/build_windows.sh
set -eu
packages="cmake make g++ liblodepng-dev libgtest-dev valgrind man-db strace"
for extra in "$@"; do
    case "$extra" in
        fuzz) packages="$packages clang libclang-rt-14-dev" ;;
        bench) packages="$packages libbenchmark-dev time" ;;
        windows) packages="$packages g++-mingw-w64-x86-64-posix wine64 dpkg-dev googletest" ;;
        *) echo "setup.sh: unknown package set $extra" >&2; exit 2 ;;
    esac
done
missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $package"
    fi
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends $missing
fi
