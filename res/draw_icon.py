#!/usr/bin/env python3
"""Draws the application icon (a receiver with a download arrow) as PNG files
at 16, 32 and 48 pixels. Plain Python: shapes in unit coordinates, sampled
4 x 4 times per pixel for smooth edges.

    python3 res/draw_icon.py res/icons
"""
import os
import struct
import sys
import zlib


def hexrgb(h):
    return tuple(int(h[i:i + 2], 16) / 255.0 for i in (1, 3, 5))


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def triangle(a, b, c):
    def side(p, q, x, y):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    def inside(x, y):
        s1, s2, s3 = side(a, b, x, y), side(b, c, x, y), side(c, a, x, y)
        return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)
    return inside


def gradient(top, bottom, y0, y1):
    t, b = hexrgb(top), hexrgb(bottom)

    def colour(x, y):
        k = min(max((y - y0) / (y1 - y0), 0.0), 1.0)
        return tuple(t[i] + (b[i] - t[i]) * k for i in range(3))
    return colour


def flat(h):
    c = hexrgb(h)
    return lambda x, y: c


# Painted in order, each over the ones before.
SHAPES = [
    (rounded_rect(0.03, 0.03, 0.97, 0.97, 0.18), gradient("#3479c2", "#153463", 0.03, 0.97)),
    (rounded_rect(0.10, 0.58, 0.90, 0.86, 0.06), flat("#0d1a2c")),           # shadow edge
    (rounded_rect(0.12, 0.58, 0.88, 0.84, 0.05), gradient("#f4f6f9", "#c9d2de", 0.58, 0.84)),
    (rounded_rect(0.20, 0.63, 0.50, 0.71, 0.015), flat("#1b2a3b")),          # display
    (rounded_rect(0.16, 0.76, 0.84, 0.785, 0.0), flat("#9aa7b8")),           # front seam
    (circle(0.74, 0.67, 0.045), flat("#35d45a")),                           # power lamp
    (rounded_rect(0.41, 0.10, 0.59, 0.38, 0.03), flat("#ff9d1e")),           # arrow shaft
    (triangle((0.24, 0.34), (0.76, 0.34), (0.50, 0.56)), flat("#ff9d1e")),   # arrow head
]


def render(size, samples=4):
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / size
                    y = (py + (sy + 0.5) / samples) / size
                    rgb, a = (0.0, 0.0, 0.0), 0.0
                    for inside, colour in SHAPES:
                        if inside(x, y):
                            rgb, a = colour(x, y), 1.0
                    for i in range(3):
                        acc[i] += rgb[i] * a
                    acc[3] += a
            n = samples * samples
            alpha = acc[3] / n
            if alpha > 0:
                rgb = [acc[i] / acc[3] for i in range(3)]
            else:
                rgb = [0.0, 0.0, 0.0]
            row += bytes(int(round(c * 255)) for c in rgb) + bytes([int(round(alpha * 255))])
        rows.append(bytes(row))
    return rows


def png(rows, size):
    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)
    raw = b"".join(b"\x00" + r for r in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "icons")
    os.makedirs(out, exist_ok=True)
    for size in (16, 32, 48):
        with open(os.path.join(out, "kelvane-%d.png" % size), "wb") as f:
            f.write(png(render(size), size))


if __name__ == "__main__":
    main()
