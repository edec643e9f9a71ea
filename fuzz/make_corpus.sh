#!/bin/sh
# Writes the seed corpus from the bundled sample (the Z3DS file is made with
# the zstd command, the files of every kind by build/make_kinds): the whole file, the file
# cut at each block boundary and just inside each block, a wrong magic, and
# a few texts for the text target. Run from the repository's top.
set -eu
icn=fuzz/corpus/icn
text=fuzz/corpus/text
walk=fuzz/corpus/walk
info=fuzz/corpus/info
z3ds=fuzz/corpus/z3ds
keys=fuzz/corpus/keys
folders=fuzz/corpus/folders
rm -rf "$icn" "$text" "$walk" "$info" "$z3ds" "$keys" "$folders"
mkdir -p "$icn" "$text" "$walk" "$info" "$z3ds" "$keys" "$folders"
cp samples/sample.icn "$icn/whole"
for size in 0 3 4 8256 8257 9408 9409 14015; do   # 0x2040 = 8256, 0x24C0 = 9408
    head -c "$size" samples/sample.icn > "$icn/cut-$size"
done
{ printf 'SMDX'; tail -c +5 samples/sample.icn; } > "$icn/wrong-magic"
{ cat samples/sample.icn; printf 'trailing bytes'; } > "$icn/longer"
# The walk target's first byte picks the magic it places (1 SMDH, 2 3DSX,
# 3 NCSD, 4 NCCH, 5 CIA; 6 and 7 a DS CRC, 8 a tar checksum); the bytes
# after it are the file.
{ printf '\001'; cat samples/sample.icn; } > "$walk/smdh"
{ printf '\0023DSX\054\000'; head -c 26 /dev/zero; printf '\060\000\000\000\300\066\000\000\000\000\000\000';
  head -c 4 /dev/zero; cat samples/sample.icn; } > "$walk/3dsx"
{ printf '\004'; head -c 256 /dev/zero; printf 'NCCH'; head -c 139 /dev/zero; printf '\004';
  head -c 16 /dev/zero; printf '\001\000\000\000\040\000\000\000'; head -c 88 /dev/zero;
  printf 'icon\000\000\000\000\000\000\000\000\300\066\000\000'; head -c 496 /dev/zero;
  cat samples/sample.icn; } > "$walk/ncch"
{ printf '\005\040\040'; head -c 30 /dev/zero; } > "$walk/cia"
printf '\006DS' > "$walk/ds-short"   # a DS pick on bytes shorter than its header
# The info target's first byte is the length of the file name that follows;
# then the SMDH's bytes after its magic.
{ printf '\010n\377me.icn'; tail -c +5 samples/sample.icn; } > "$info/sample"
{ printf '\000\000\000\000\000G\000\000\330\042\000\012\000\001\000'; } > "$info/text"
printf '\144\001\020\003icon.icn' > "$text/name"
printf '\377\000\020\0030aFF10' > "$text/hex"
printf '\001\001\012\002-1 7zz' > "$text/signs"
printf '\310\002\000\005my.dir/icon.' > "$text/dots"
# Key files of both formats, with comments, sections and a bad line; a tree
# of byte pairs (what to make, and its name) for the folder walk.
printf 'generatorConstant = 00112233445566778899aabbccddeeff # mine\n:AES\nslot0x2CKeyX=0123\n' > "$keys/emulator"
printf '[Keys]\nctr-scrambler=00112233445566778899AABBCCDDEEFF\nctr-Slot0x3DKeyY-0=\n' > "$keys/ini"
printf 'common1=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\ncommon1=bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb\n' > "$keys/twice"
printf '\000\001\001\003\000\007\002\010\003\011\004\016\005\000\000\025' > "$folders/tree"
# The z3ds target's first byte: odd, the file to compress follows (frames of
# 0x100 << bits 1 to 3, checksums with 0x10), each kind the walk knows; even,
# a whole Z3DS file: here the sample, in one frame without a content size.
{ printf '\003'; cat samples/sample.icn; } > "$z3ds/smdh"
for kind in 3dsx ncch cia; do
    { printf '\025'; tail -c +2 "$walk/$kind"; } > "$z3ds/$kind"
done
le32() {
    printf '%b' "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24)))"
}
frame=$(zstd -q --no-content-size -c samples/sample.icn | od -An -v -tx1 | tr -d ' \n')
frame_size=$((${#frame} / 2))
{ printf '\000Z3DSNCSD\001\000\040\000'; le32 0; le32 $((frame_size + 25)); le32 0; le32 14016; le32 0;
  zstd -q --no-content-size -c samples/sample.icn
  le32 $((0x184D2A5E)); le32 17; le32 "$frame_size"; le32 14016; le32 1; printf '\001'; le32 $((0x8F92EAB1)); } > "$z3ds/whole"
# A file of every kind and layout that tools/make_kinds.cpp writes (build it
# first: cmake --build build --target make_kinds), as it is: the walk
# target's pick 0 places no magic; the Z3DS files go to the z3ds target whole
# (an even pick).
kinds=$(mktemp -d)
trap 'rm -rf "$kinds"' EXIT
mkdir "$kinds/seeds"
build/make_kinds "$kinds" samples/sample.icn "$kinds/seeds"
for kind in game.3dsx game.cia game.3ds game.cxi game.nds ds.cia game.bcci damaged.cia; do
    { printf '\000'; cat "$kinds/$kind"; } > "$walk/kind-$kind"
done
{ printf '\000'; cat "$kinds/game.zcci"; } > "$z3ds/kind-game.zcci"
for seed in "$kinds"/seeds/*; do
    name=$(basename "$seed")
    { printf '\000'; cat "$seed"; } > "fuzz/corpus/${name%%-*}/kind-${name#*-}"
done
# Damaged copies of them, one fault each, so that the seeds reach the
# messages of the damage they name; the DS picks and the info target's
# banners and metadata.
python3 fuzz/write_seeds.py "$kinds" samples/sample.icn fuzz/corpus
