#!/usr/bin/env python3
"""Writes the small BMP files that seed the fuzzers (tests/fuzz/seeds/): one per header form, depth
and compression the readers know, each a few pixels in size so that mutations reach every field."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")


def bmp(name, width, height, bpp, pixels, palette=b"", compression=0, header_size=40, extra=b""):
    info = struct.pack("<IiiHHIIiiII", header_size, width, height, 1, bpp, compression, len(pixels), 2835, 2835,
                       len(palette) // 4, 0)
    info += extra + b"\0" * (header_size - 40 - len(extra)) if header_size > 40 else b""
    body = info + (extra if header_size == 40 else b"") + palette
    off = 14 + len(body)
    data = b"BM" + struct.pack("<IHHI", off + len(pixels), 0, 0, off) + body + pixels
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def rows(width, height, bpp, value):
    stride = (width * bpp + 31) // 32 * 4
    return bytes((value + i) % 256 for i in range(stride * height))


os.makedirs(HERE, exist_ok=True)
grey = b"".join(struct.pack("<BBBB", i, i, i, 0) for i in range(0, 256, 16))
bmp("rgb24.bmp", 5, 3, 24, rows(5, 3, 24, 7))
bmp("rgb24_topdown.bmp", 5, -3, 24, rows(5, 3, 24, 9))
bmp("rgb32.bmp", 4, 2, 32, rows(4, 2, 32, 3))
bmp("rgb16.bmp", 3, 2, 16, rows(3, 2, 16, 1))
bmp("pal1.bmp", 9, 2, 1, rows(9, 2, 1, 0x55), palette=grey[:8])
bmp("pal4.bmp", 5, 2, 4, bytes([0x01, 0x23, 0x40, 0, 0x56, 0x78, 0x90, 0]), palette=grey)
bmp("pal8.bmp", 4, 2, 8, bytes([0, 1, 2, 3, 4, 5, 6, 7]), palette=grey)
bmp("rle8.bmp", 4, 2, 8, bytes([2, 1, 0, 3, 3, 4, 5, 0, 0, 0, 0, 2, 1, 0, 0, 1]), palette=grey, compression=1)
bmp("rle4.bmp", 4, 2, 4, bytes([4, 0x12, 0, 0, 0, 3, 0x34, 0x50, 0, 1]), palette=grey, compression=2)
bmp("bitfields16.bmp", 3, 2, 16, rows(3, 2, 16, 2), compression=3, extra=struct.pack("<III", 0xF800, 0x07E0, 0x1F))
bmp("v5_32.bmp", 2, 2, 32, rows(2, 2, 32, 5), compression=3, header_size=124,
    extra=struct.pack("<IIII", 0xFF0000, 0xFF00, 0xFF, 0xFF000000))
