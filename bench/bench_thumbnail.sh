#!/bin/bash
# Thumbnails: times `gallivox --thumbnail 256` against the plain conversion
# of the large icon (-l), interleaved, for a bare ICN file, a sparse 5 GiB
# CIA and a 5 GiB Z3DS file, and prints the medians and ratios; then, where
# GNOME's thumbnail factory and the installed package are there, the
# factory's time for 100 files (it runs the thumbnailer under bubblewrap).
# Usage: bench/bench_thumbnail.sh [RUNS]  (default 101)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-101}
build=${BUILD:-build}
cmake --build "$build" -j2 --target gallivox make_z3ds_set > /dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tool=$(realpath "$build/gallivox")
"$build/bench/make_z3ds_set" "$scratch" samples/sample.icn > /dev/null
cp samples/sample.icn "$scratch/bare.icn"

. bench/timing.sh
inputs=(bare.icn late.cia late.zcci)
for input in "${inputs[@]}"; do : > "$scratch/$input.plain"; : > "$scratch/$input.thumbnail"; done
for ((i = 0; i < runs; i++)); do
    for input in "${inputs[@]}"; do
        start=$(now_us)
        "$tool" -i "$scratch/$input" -l "$scratch/l.png"
        middle=$(now_us)
        "$tool" --thumbnail 256 "$scratch/$input" "$scratch/t.png"
        end=$(now_us)
        echo $((middle - start)) >> "$scratch/$input.plain"
        echo $((end - middle)) >> "$scratch/$input.thumbnail"
    done
done
echo "runs: $runs each, interleaved; medians:"
for input in "${inputs[@]}"; do
    awk -v n="$input" -v p="$(median "$scratch/$input.plain")" -v t="$(median "$scratch/$input.thumbnail")" \
        'BEGIN {printf "%-10s -l %6.2f ms   --thumbnail 256 %6.2f ms   (%.2f x)\n", n, p / 1000, t / 1000, t / p}'
done

if [ -f /usr/share/thumbnailers/gallivox.thumbnailer ] && /usr/bin/python3 -c 'import gi; gi.require_version("GnomeDesktop", "3.0")' 2> /dev/null; then
    mkdir "$scratch/many" "$scratch/home"
    for ((i = 0; i < 100; i++)); do cp samples/sample.icn "$scratch/many/icon-$i.smdh"; done
    HOME="$scratch/home" XDG_CACHE_HOME="$scratch/home/cache" /usr/bin/python3 - "$scratch/many" <<'PYTHON'
import os, sys, time
import gi
gi.require_version("GnomeDesktop", "3.0")
from gi.repository import GnomeDesktop, Gio
factory = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.LARGE)
paths = sorted(os.path.join(sys.argv[1], name) for name in os.listdir(sys.argv[1]))
start = time.monotonic()
for path in paths:
    uri = Gio.File.new_for_path(path).get_uri()
    factory.generate_thumbnail(uri, "application/x-ctr-smdh", None)
seconds = time.monotonic() - start
print("GNOME's thumbnail factory, %d files: %.2f s (%.1f ms a file)" % (len(paths), seconds, 1000 * seconds / len(paths)))
PYTHON
else
    echo "GNOME's thumbnail factory: skipped (install the package and gir1.2-gnomedesktop-3.0 first)"
fi
