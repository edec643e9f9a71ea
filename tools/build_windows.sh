#!/bin/sh
# Builds the self-contained Windows executable build-windows/gallivox.exe
# (and its test programs) with MinGW-w64. LodePNG, zstd and nettle's AES are built from
# Debian's own source packages, fetched into the build tree from the Debian archive that
# this machine's apt sources already name. Run as root on Debian 12; when
# apt has no deb-src entry yet, one is added beside each Debian entry, in
# /etc/apt/sources.list.d/gallivox-deb-src.*.
# With --release, also makes build-windows/gallivox-VERSION-windows-x64.zip
# and build-windows/gallivox-VERSION-windows-x64.msi, the installer of the
# same files (windows/make_msi.py). The zip holds the stripped gallivox.exe
# and gallivox_thumbnail.dll (Explorer's thumbnail provider and property
# handler), README.md and docs/ (the guide and its reference), LICENSE.txt
# and README-Windows.txt.
set -eu
cd "$(dirname "$0")/.."
build="build-windows"
release=no
case "${1:-}" in
    --release) release=yes ;;
    "") ;;
    *) echo "usage: build_windows.sh [--release]" >&2; exit 2 ;;
esac
sh tools/setup.sh windows
mkdir -p "$build"

# A deb-src twin of each Debian source entry, so apt-get source can fetch.
add_source_entries() {
    list=/etc/apt/sources.list.d/gallivox-deb-src
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types:.*deb\b.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$list.sources"
    elif [ -f /etc/apt/sources.list ]; then
        grep -E '^deb[[:space:]]' /etc/apt/sources.list | sed 's/^deb\([[:space:]]\)/deb-src\1/' > "$list.list"
    else
        echo "build_windows.sh: no Debian apt sources found to take the archive from" >&2
        exit 1
    fi
    apt-get update
}

# The unpacked sources of source package $1 in the build tree, told by the
# file $2 inside them, or nothing.
find_source() {
    for candidate in "$build/$1"-*/; do
        if [ -f "$candidate/$2" ]; then
            (cd "$candidate" && pwd)
            return
        fi
    done
}

# Fetches source package $1 into the build tree: its newest version, or else
# any other version the archive lists (a mirror may lack a security update's
# sources).
get_source() {
    (cd "$build" && apt-get source --only-source "$1") && return
    for version in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p'); do
        (cd "$build" && apt-get source --only-source "$1=$version") && return
    done
    return 1
}

# The unpacked sources of source package $1, fetched when not there yet.
fetch_source() {
    if [ -z "$(find_source "$1" "$2")" ]; then
        if ! get_source "$1" >&2; then
            add_source_entries >&2
            get_source "$1" >&2
        fi
    fi
    find_source "$1" "$2"
}

lodepng_dir=$(fetch_source lodepng lodepng.cpp)
zstd_dir=$(fetch_source libzstd lib/zstd.h)
nettle_dir=$(fetch_source nettle aes128-encrypt.c)

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGALLIVOX_LODEPNG_SOURCE="$lodepng_dir" -DGALLIVOX_ZSTD_SOURCE="$zstd_dir" -DGALLIVOX_NETTLE_SOURCE="$nettle_dir" \
    -DGALLIVOX_WERROR=ON
cmake --build "$build" -j2
echo "gallivox.exe: $build/gallivox.exe"

if [ "$release" = yes ]; then
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    zip="gallivox-$version-windows-x64.zip"
    stage="$build/release"
    rm -rf "${stage:?}" "${build:?}/$zip"
    mkdir -p "$stage"
    x86_64-w64-mingw32-strip -o "$stage/gallivox.exe" "$build/gallivox.exe"
    x86_64-w64-mingw32-strip -o "$stage/gallivox_thumbnail.dll" "$build/gallivox_thumbnail.dll"
    cp README.md "$stage/README.md"
    mkdir "$stage/docs"
    cp docs/*.md "$stage/docs/"
    # Text files with CR LF, as Windows' own editors expect.
    sed 's/$/\r/' LICENSE > "$stage/LICENSE.txt"
    sed 's/$/\r/' windows/README-Windows.txt > "$stage/README-Windows.txt"
    cp windows/gallivox.propdesc "$stage/gallivox.propdesc"
    (cd "$stage" && cmake -E tar cf "../$zip" --format=zip gallivox.exe gallivox_thumbnail.dll README.md docs \
        LICENSE.txt README-Windows.txt)
    echo "release: $build/$zip"
    # The installer, of the same files, for the whole machine.
    python3 windows/make_msi.py "$version.0" "$stage" . "$build/gallivox-$version-windows-x64.msi"
fi
