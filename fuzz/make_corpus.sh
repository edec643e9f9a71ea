#!/bin/sh
# Writes the seed corpus from the bundled sample: the whole file, the file
# cut at each block boundary and just inside each block, a wrong magic, and
# a few texts for the text target. Run from the repository's top.
set -eu
icn=fuzz/corpus/icn
text=fuzz/corpus/text
rm -rf "$icn" "$text"
mkdir -p "$icn" "$text"
cp samples/sample.icn "$icn/whole"
for size in 0 3 4 8256 8257 9408 9409 14015; do   # 0x2040 = 8256, 0x24C0 = 9408
    head -c "$size" samples/sample.icn > "$icn/cut-$size"
done
{ printf 'SMDX'; tail -c +5 samples/sample.icn; } > "$icn/wrong-magic"
{ cat samples/sample.icn; printf 'trailing bytes'; } > "$icn/longer"
printf '\144\001\020\003icon.icn' > "$text/name"
printf '\377\000\020\0030aFF10' > "$text/hex"
printf '\001\001\012\002-1 7zz' > "$text/signs"
printf '\310\002\000\005my.dir/icon.' > "$text/dots"
