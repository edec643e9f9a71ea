#!/usr/bin/python3
"""Reads an animated PNG as a viewer would, with Pillow (Debian's
python3-pil), after checking its chunks from the bytes: the signature and
every CRC, IHDR first, one acTL before the first IDAT, fcTL and fdAT sharing
one sequence from 0 without gaps, a fdAT after each fcTL, as many fcTL as
acTL says. Prints the default image, each frame with its delay as
NUMERATOR/DENOMINATOR (from its fcTL) and its RGBA pixels as Pillow draws
them (hexadecimal, rows top down), then the number of plays:

    default 00000000...
    frame 160/60 00000000...
    plays 0

Exits 1 after naming the first fault. Usage: read_apng.py FILE.png"""
import struct
import sys
import zlib

from PIL import Image


def chunks(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("no PNG signature")
    at = 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if len(body) != length or zlib.crc32(kind + body) != crc:
            raise ValueError("chunk %r at %d: its length or CRC fails" % (kind, at))
        yield kind.decode("latin-1"), body
        at += 12 + length


def check_chunks(data):
    """The delays of the frames, in order, and the number of plays."""
    listed = list(chunks(data))
    kinds = [kind for kind, _ in listed]
    if kinds[0] != "IHDR" or kinds[-1] != "IEND":
        raise ValueError("IHDR must come first and IEND last: %s" % kinds)
    if kinds.count("acTL") != 1 or kinds.index("acTL") > kinds.index("IDAT"):
        raise ValueError("one acTL before the first IDAT: %s" % kinds)
    frames, plays = struct.unpack(">II", listed[kinds.index("acTL")][1])
    delays, sequence, previous = [], 0, None
    for kind, body in listed:
        if kind in ("fcTL", "fdAT"):
            (number,) = struct.unpack(">I", body[:4])
            if number != sequence:
                raise ValueError("%s has sequence number %d, not %d" % (kind, number, sequence))
            sequence += 1
        if kind == "fcTL":
            numerator, denominator = struct.unpack(">HH", body[20:24])
            delays.append("%d/%d" % (numerator, denominator))
        if kind == "fdAT" and previous not in ("fcTL", "fdAT"):
            raise ValueError("fdAT without its fcTL")
        previous = kind
    if len(delays) != frames:
        raise ValueError("acTL says %d frames, there are %d fcTL" % (frames, len(delays)))
    return delays, plays


def main():
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    try:
        delays, plays = check_chunks(data)
    except ValueError as fault:
        print("fault: %s" % fault)
        return 1
    image = Image.open(sys.argv[1])
    pictures = []
    for index in range(image.n_frames):
        image.seek(index)
        pictures.append(image.convert("RGBA").tobytes().hex())
    if not image.info.get("default_image") or len(pictures) != len(delays) + 1:
        print("fault: Pillow finds %d pictures for %d frames and a default image" % (len(pictures), len(delays)))
        return 1
    print("default " + pictures[0])
    for delay, picture in zip(delays, pictures[1:]):
        print("frame %s %s" % (delay, picture))
    print("plays %d" % plays)
    return 0


sys.exit(main())
