#!/usr/bin/env python3
"""Draws the bundled sample pictures (samples/): small pictures the project makes itself, in
the formats the first plug-ins read. Run it again only to change them; the outputs are kept
in the repository so that a fresh clone converts them without running anything first."""

import math
import pathlib
import struct
import zlib

OUT = pathlib.Path(__file__).resolve().parent.parent / "samples"


def sunset(w, h):
    """A sky gradient with a sun and hills: smooth areas and edges, like a photo."""
    rows = []
    for y in range(h):
        row = []
        for x in range(w):
            t = y / (h - 1)
            r, g, b = 255 - int(90 * t), 150 - int(100 * t) + int(60 * t * t), 60 + int(120 * t)
            if (x - w * 0.68) ** 2 + (y - h * 0.45) ** 2 < (h * 0.16) ** 2:
                r, g, b = 255, 220, 120
            hill = h * (0.72 + 0.08 * math.sin(x / w * 7.0))
            if y > hill:
                r, g, b = 40 + (x * 7 + y * 3) % 23, 90 + (x * 5) % 31, 50
            row.append((max(0, min(255, r)), max(0, min(255, g)), max(0, min(255, b))))
        rows.append(row)
    return rows


def checker_alpha(w, h):
    """A checkerboard whose transparency grows from left to right."""
    rows = []
    for y in range(h):
        row = []
        for x in range(w):
            c = 220 if ((x // 8) + (y // 8)) % 2 else 40
            row.append((c, 80, 255 - c, int(255 * x / (w - 1))))
        rows.append(row)
    return rows


def png(path, rows, alpha):
    h, w = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    ihdr = struct.pack(">IIBBBBB", w, h, 8, 6 if alpha else 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9))
                     + chunk(b"IEND", b""))


def bmp(path, rows):
    h, w = len(rows), len(rows[0])
    stride = (w * 3 + 3) & ~3
    pixels = b"".join(bytes(v for px in row for v in (px[2], px[1], px[0])).ljust(stride, b"\0")
                      for row in reversed(rows))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    path.write_bytes(header + info + pixels)


def ppm(path, rows):
    h, w = len(rows), len(rows[0])
    path.write_bytes(b"P6\n%d %d\n255\n" % (w, h) + bytes(v for row in rows for px in row for v in px))


def main():
    OUT.mkdir(exist_ok=True)
    png(OUT / "sunset.png", sunset(160, 100), False)
    png(OUT / "checker-alpha.png", checker_alpha(64, 48), True)
    bmp(OUT / "sunset-small.bmp", sunset(80, 50))
    ppm(OUT / "hills.ppm", sunset(120, 80))
    (OUT / "nested").mkdir(exist_ok=True)
    png(OUT / "nested" / "tall.png", [list(r) for r in zip(*sunset(90, 60))], False)


if __name__ == "__main__":
    main()
