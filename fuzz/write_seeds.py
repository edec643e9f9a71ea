"""Writes the seeds made from the layouts rather than by a tool: damaged
copies of the files that make_kinds wrote, one fault each, into the walk and
z3ds corpora; the walk target's DS picks; the info target's DS banners and
SMDH metadata of every field. Run by make_corpus.sh:
write_seeds.py KINDS ICN CORPUS."""
import io
import os
import struct
import sys
import tarfile

kinds, icn_path, corpus = sys.argv[1:4]


def read(name):
    with open(os.path.join(kinds, name), "rb") as f:
        return bytearray(f.read())


def save(target, name, data):
    with open(os.path.join(corpus, target, name), "wb") as f:
        f.write(bytes(data))


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def patched(data, *patches):
    """`data` with each (offset, little-endian bytes) written over it."""
    data = bytearray(data)
    for at, value in patches:
        data[at:at + len(value)] = value
    return data


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def with_ds_crc(data, at):
    """The DS ROM header at `at` in `data` with its CRC made to hold again."""
    return patched(data, (at + 0x15E, u16(crc16(data[at:at + 0x15E]))))


cxi = read("game.cxi")
ncsd = read("game.3ds")
tdsx = read("game.3dsx")
cia = read("seeds/walk-sig-4.cia")
meta = read("seeds/walk-meta.cia")
nds = read("seeds/walk-dsi.nds")
ds_cia = read("seeds/walk-dsi.cia")
tmd, content, icon_entry = 0x2DC0, 0x3900, 0x200 + 2 * 16
chunk = tmd + 0x140 + 0x9C4
walk = {
    # NCCH: its media unit, ExeFS and icon entry; cut inside each header.
    "cxi-shift": patched(cxi, (0x18E, b"\x40")),
    "cxi-far-exefs": patched(cxi, (0x1A0, u32(0x100000))),
    "cxi-outside": patched(cxi, (icon_entry + 12, u32(0xFFFF0000))),
    "cxi-code": patched(cxi, (icon_entry + 8, u32(0))),
    "cxi-cut-head": cxi[:0x1F0],
    "cxi-cut-exefs": cxi[:0x300],
    "cxi-cut-icon": cxi[:0x900],
    # NCSD: its partition 0.
    "ncsd-far": patched(ncsd, (0x120, u32(0x100000))),
    "ncsd-self": patched(ncsd, (0x120, u32(0))),
    "ncsd-shift": patched(ncsd, (0x18E, b"\x40")),
    "ncsd-cut-head": ncsd[:0x180],
    "ncsd-cut-part": ncsd[:0x4100],
    # CIA: its section sizes, TMD and chunk record; cut inside each.
    "cia-signature": patched(cia, (tmd, b"\x00\x01\x00\x07")),
    "cia-far-tmd": patched(cia, (0x08, u32(0x7FFFFFF0))),
    "cia-huge": patched(cia, (0x18, u64(0xFFFFFFFFFFFFFFFF))),
    "cia-meta-overflow": patched(meta, (0x18, u64(0xFFFFFFFFFFFFC6C0))),
    "cia-back": patched(cia, (0x10, u32(0x40))),
    "cia-index": patched(cia, (chunk + 4, b"\x01\x00")),
    "cia-cut-head": cia[:0x10],
    "cia-cut-tmd": cia[:tmd + 2],
    "cia-cut-fields": cia[:tmd + 0x150],
    "cia-cut-chunk": cia[:chunk + 0x10],
    "cia-cut-content": cia[:content + 0x100],
    "cia-cut-exefs": cia[:content + 0x300],
    "meta-cut": meta[:len(meta) - 0x3000],
    # 3DSX: its header and extended header.
    "3dsx-cut-head": tdsx[:0x10],
    "3dsx-cut-ext": tdsx[:0x24],
    "3dsx-old": patched(tdsx, (4, u16(0x20))),
    "3dsx-far": patched(tdsx, (0x20, u32(0x10000000))),
    "3dsx-self": patched(tdsx, (0x20, u32(0))),
    # DS: the banner's place, CRCs and version; a DS CIA's banner behind
    # the header read.
    "nds-far": with_ds_crc(patched(nds, (0x68, u32(0x10000000))), 0),
    "nds-zero": with_ds_crc(patched(nds, (0x68, u32(0))), 0),
    "nds-banner-crc": patched(nds, (0x1030, b"\x77")),
    "nds-version": patched(nds, (0x1000, u16(4))),
    "nds-cut-banner": nds[:0x1100],
    "nds-cut-animation": nds[:0x1000 + 0x1000],
    "nds-header-crc": patched(nds, (0x15E, u16(0))),
    "ds-cia-back": with_ds_crc(patched(ds_cia, (content + 0x68, u32(0x100))), content),
}
for name, data in walk.items():
    save("walk", "damaged-" + name, b"\x00" + data)


def seek_table(z3ds):
    """Where a Z3DS file's seek table entries start, and their size."""
    frames = struct.unpack_from("<I", z3ds, len(z3ds) - 9)[0]
    entry_size = 12 if z3ds[-5] & 0x80 else 8
    return len(z3ds) - 9 - frames * entry_size, entry_size


zcci = read("game.zcci")
items = read("seeds/z3ds-items.zcia")
entries, entry_size = seek_table(zcci)
first_compressed, first_uncompressed = struct.unpack_from("<II", zcci, entries)
metadata_end = 0x20 + struct.unpack_from("<I", items, 0x0C)[0]
smdh_item = items.index(b"smdh", 0x20) + 4
z3ds = {
    "version": patched(zcci, (8, b"\x02")),
    "header-size": patched(zcci, (0x0A, u16(0x10))),
    "cut-header": zcci[:0x10],
    "longer": zcci + b"\x00",
    "overflow": patched(zcci, (0x10, u64(0xFFFFFFFFFFFFFFFF))),
    "table-magic": patched(zcci, (len(zcci) - 4, b"\x00")),
    "reserved-bit": patched(zcci, (len(zcci) - 5, b"\x04")),
    "many-frames": patched(zcci, (len(zcci) - 9, u32(0x08000001))),
    "too-many-frames": patched(zcci, (len(zcci) - 9, u32(0x1000))),
    "table-size": patched(zcci, (entries - 4, u32(0x1000))),
    "compressed-sizes": patched(zcci, (entries, u32(first_compressed + 1))),
    "uncompressed-sizes": patched(zcci, (entries + 4, u32(first_uncompressed + 1))),
    "huge-frame": patched(zcci, (entries + 4, u32(0x40000001))),
    "garbled": patched(zcci, (0x30, b"\xFF" * 64)),
    "item-past": patched(items, (smdh_item - 6, u16(0xFFFF))),
    "item-not-smdh": patched(items, (smdh_item, b"X")),
    "cut-metadata": items[:metadata_end - 8],
}
for name, data in z3ds.items():
    save("z3ds", "damaged-" + name, b"\x00" + data)

with open(icn_path, "rb") as f:
    icn = bytearray(f.read())

# Bundles: one fault each in the archive's headers (the second header of
# game.bcci lies past its CIA, whose size the first header gives in octal).
bundle = read("game.bcci")
second = 512 + (int(bytes(bundle[124:135]), 8) + 511) // 512 * 512
for name, data in {
    "checksum.bcci": patched(bundle, (second + 148, b"7")),
    "size.bcci": patched(bundle, (second + 124, b"x")),
    "past.bcci": bundle[:second - 100],
    "header.bcci": bundle[:second + 100],
}.items():
    save("walk", "damaged-" + name, b"\x00" + data)
# Bundles whose members end where a header begins, past the head: empty
# ones, a folder, a link, files of whole blocks read to their last byte, a
# pax header and a GNU long name whose data fill one block; and one that ends
# in a large member and a folder. A pipe, which cannot go back, must answer
# as the file does (the target walks both).
game = bytes(read("game.3ds"))


def tar_of(members, tar_format):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tar_format) as archive:
        for name, data, kind in members:
            info = tarfile.TarInfo(name)
            info.type = kind
            info.size = len(data) if kind == tarfile.REGTYPE else 0
            info.mtime = 0
            if kind == tarfile.SYMTYPE:
                info.linkname = "game.3ds"
            archive.addfile(info, io.BytesIO(data) if kind == tarfile.REGTYPE else None)
    return out.getvalue()


late = [("a.txt", b"a" * 1024, tarfile.REGTYPE), ("b.txt", b"b" * 512, tarfile.REGTYPE),
        ("extras", b"", tarfile.DIRTYPE), ("empty.txt", b"", tarfile.REGTYPE), ("link", b"", tarfile.SYMTYPE)]
# A pax `path` record of 512 bytes ("512 path=" + 502 + newline), a long name of 511 and its zero.
save("walk", "bundle-late-pax", b"\x00" + tar_of(late + [("p" * 502, b"c" * 1536, tarfile.REGTYPE),
                                                         ("game.3ds", game, tarfile.REGTYPE)], tarfile.PAX_FORMAT))
save("walk", "bundle-late-gnu", b"\x00" + tar_of(late + [("l" * 511, b"c" * 1536, tarfile.REGTYPE),
                                                         ("game.3ds", game, tarfile.REGTYPE)], tarfile.GNU_FORMAT))
save("walk", "bundle-folder-last", b"\x00" + tar_of([("big.txt", b"x" * 8192, tarfile.REGTYPE),
                                                     ("extras", b"", tarfile.DIRTYPE)], tarfile.GNU_FORMAT))

# The walk target's tar pick: 8 makes the first block's checksum hold.
save("walk", "tar", b"\x08" + patched(bundle[:second + 512], (0, b"renamed.cia\x00")))

# The walk target's DS picks: 6 makes the header's CRC hold, 7 a raw
# banner's version and first CRC; here a ROM whose version-1 banner at 0x200
# holds the sample's first bytes, with its CRC, and the same banner raw.
first_bytes = bytearray(0x840)
first_bytes[0:2] = u16(1)
first_bytes[0x20:0x840] = icn[0x40:0x860]
first_bytes[2:4] = u16(crc16(first_bytes[0x20:0x840]))
save("walk", "nds", b"\x06" + patched(bytearray(0x200), (0x68, u32(0x200))) + first_bytes)
save("walk", "banner", b"\x07" + first_bytes)

# The info target: a name, the bytes after the magic, a byte of flags, the
# identity's numbers and codes, then (for a banner) the banner past 0x2040.
banner = read("seeds/walk-banner.bin")
identity = u64(0x00048004ABCD0000) + u16(3) + b"ABCD".ljust(16, b"\x00") + b"01"


def info(name, body, flags, rest=b""):
    return bytes([len(name)]) + name + body[4:0x2040] + bytes([flags]) + identity + rest


for version_bits, label in [(0, "v1"), (1, "v2"), (2, "v3"), (3, "dsi")]:
    flags = 0x10 | version_bits << 5 | 3
    save("info", "banner-" + label, info(b"g.nds", banner, flags, banner[0x2040:]))
save("info", "banner-crc", info(b"g.nds", banner, 0x10 | 0x60 | 0x80 | 3, banner[0x2040:]))
titles = "\u00a9 \u0440 \U00020BB7".encode("utf-16-le") + b"\x00\xd8\xff\xdb"
settings = patched(icn, (0x2008, bytes([0x80 | 12, 0xC0, 0xA0, 0x80] * 4)), (0x2018, u32(0x7FFFFFFF)),
                   (0x2028, u32(0xFFFFFFFF)), (8, titles), (8 + 0x82, titles))
save("info", "settings", info(b"s.icn", settings, 0x0F))
