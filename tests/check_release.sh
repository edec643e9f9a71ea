#!/bin/sh
# Unpacks the Windows release zip and runs the gallivox.exe in it under Wine
# on the bundled sample: both PNGs must be its golden ones, beside it; the
# thumbnail provider's DLL must register and unregister with regsvr32.
# Usage: check_release.sh ZIP WINE SOURCE_DIR. Exits 77 when there is no zip.
set -eu
zip=$1
wine=$2
source_dir=$3
[ -f "$zip" ] || { echo "SKIP: no $zip (made by tools/build_windows.sh --release)"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && cmake -E tar xf "$zip")
# Exactly these five files and the reference's folder, no more and no fewer;
# every page of the reference that README links to.
# shellcheck disable=SC2012 # the names are the zip's, plain and known
held=$(cd "$scratch" && ls -A | LC_ALL=C sort | tr '\n' ' ')
[ "$held" = "LICENSE.txt README-Windows.txt README.md docs gallivox.exe gallivox_thumbnail.dll " ] || { echo "FAIL: the zip holds $held"; exit 1; }
grep -o '](docs/[a-z]*\.md' "$scratch/README.md" | sed 's/^](//' | sort -u | while read -r page; do
    [ -f "$scratch/$page" ] || { echo "FAIL: the zip lacks $page"; exit 1; }
done
cp "$source_dir/samples/sample.icn" "$scratch/sample.icn"
(cd "$scratch" && "$wine" gallivox.exe -i sample.icn -s small.png -l large.png)
cmp "$scratch/small.png" "$source_dir/samples/sample_small.png"
cmp "$scratch/large.png" "$source_dir/samples/sample_large.png"
(cd "$scratch" && "$wine" regsvr32 /s gallivox_thumbnail.dll && "$wine" regsvr32 /s /u gallivox_thumbnail.dll)
echo "release zip: unpacked, ran, both PNGs as expected, the provider registered and unregistered"
