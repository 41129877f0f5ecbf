#!/usr/bin/env python3
"""Writes the PNG samples of this folder: gradient.png, mosaic.png and rings16.png.

Only the standard library is used (zlib and struct write the PNG chunks), so the files can be
made again on any machine with Python 3: `python3 examples/make_pngs.py`. The pixels come out the
same every time (the compressed bytes may differ with the zlib version).
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def write_png(name, width, height, bit_depth, colour_type, rows, extra_chunks=()):
    header = struct.pack(">IIBBBBB", width, height, bit_depth, colour_type, 0, 0, 0)
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
    for kind, payload in extra_chunks:
        data += chunk(kind, payload)
    data += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(os.path.join(HERE, name), "wb") as out:
        out.write(data)


def gradient():
    """RGBA, 8 bits: a colour wheel that fades out towards its rim."""
    size = 256
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            dx, dy = x - size / 2 + 0.5, y - size / 2 + 0.5
            radius = math.hypot(dx, dy) / (size / 2)
            hue = (math.atan2(dy, dx) / (2 * math.pi)) % 1.0
            r, g, b = (int(255 * (0.5 + 0.5 * math.cos(2 * math.pi * (hue - shift))))
                       for shift in (0.0, 1 / 3, 2 / 3))
            alpha = 0 if radius >= 1 else int(255 * (1 - radius ** 3))
            row += bytes((r, g, b, alpha))
        rows.append(bytes(row))
    write_png("gradient.png", size, size, 8, 6, rows)


def mosaic():
    """Palette, 8 bits, with a tRNS chunk: coloured tiles, every seventh one see-through."""
    palette = bytearray()
    alphas = bytearray()
    for index in range(64):
        hue = index / 64
        palette += bytes(int(255 * (0.5 + 0.5 * math.cos(2 * math.pi * (hue - s))))
                         for s in (0.0, 1 / 3, 2 / 3))
        alphas.append(64 if index % 7 == 0 else 255)
    tile, tiles = 12, 16
    rows = []
    for y in range(tile * tiles):
        row = bytearray()
        for x in range(tile * tiles):
            tx, ty = x // tile, y // tile
            edge = x % tile == 0 or y % tile == 0
            row.append(0 if edge else (tx * 5 + ty * 3) % 63 + 1)
        rows.append(bytes(row))
    write_png("mosaic.png", tile * tiles, tile * tiles, 8, 3, rows,
              [(b"PLTE", bytes(palette)), (b"tRNS", bytes(alphas))])


def rings16():
    """Grey, 16 bits: concentric rings with smooth shading."""
    width, height = 320, 200
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            d = math.hypot(x - width / 2, y - height / 2)
            value = int(65535 * (0.5 + 0.5 * math.cos(d / 6.0)) * max(0.0, 1 - d / 200))
            row += struct.pack(">H", value)
        rows.append(bytes(row))
    write_png("rings16.png", width, height, 16, 0, rows)


if __name__ == "__main__":
    gradient()
    mosaic()
    rings16()
