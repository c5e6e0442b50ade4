#!/usr/bin/env python3
"""Draws the drop-down arrow res/img/DirDown.png (and its @2x twin) with the standard library only.

The arrow is a chevron stroked with round ends, anti-aliased by 8x8 supersampling into the alpha
channel, so that it sits on any box colour. Run from the source tree: tools/render-controls/make_dirdown.py
"""
import math
import pathlib
import struct
import zlib

WIDTH, HEIGHT = 20, 12           # logical pixels: the arrow column of the box is 20 wide
COLOUR = (0x4A, 0x55, 0x63)      # the palette's muted slate, readable on light fills
# The chevron in logical pixels: left arm, tip, right arm, on pixel centres so that the 1x image
# steps cleanly instead of blurring its tip over two columns.
POINTS = [(6.5, 4.5), (10.5, 8.5), (14.5, 4.5)]
STROKE = 1.5                     # logical pixels
SAMPLES = 8


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def render(scale):
    width, height = WIDTH * scale, HEIGHT * scale
    points = [(x * scale, y * scale) for x, y in POINTS]
    half = STROKE * scale / 2.0
    rows = []
    for y in range(height):
        row = bytearray([0])  # filter type none
        for x in range(width):
            covered = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    px = x + (sx + 0.5) / SAMPLES
                    py = y + (sy + 0.5) / SAMPLES
                    d = min(distance_to_segment(px, py, *points[i], *points[i + 1]) for i in range(len(points) - 1))
                    covered += d <= half
            alpha = round(255 * covered / (SAMPLES * SAMPLES))
            row += bytes(COLOUR) + bytes([alpha])
        rows.append(bytes(row))
    return width, height, b"".join(rows)


def png(width, height, raw):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def main():
    folder = pathlib.Path(__file__).resolve().parents[2] / "res" / "img"
    folder.mkdir(parents=True, exist_ok=True)
    for scale, name in ((1, "DirDown.png"), (2, "DirDown@2x.png")):
        (folder / name).write_bytes(png(*render(scale)))
        print(folder / name)


if __name__ == "__main__":
    main()
