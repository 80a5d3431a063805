#!/usr/bin/env python3
"""Draws the legacy window's pictures (tab icons, list buttons, tree branch
marks) and writes them as PNG files beside this script.

Standard library only: every picture is a union of filled shapes (polygons,
circles, rounded rectangles) sampled 4 x 4 times per pixel for smooth edges.
Run it again after changing a shape; the output is the same on every machine.
"""

import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SS = 4  # samples per pixel side


def png(path, w, h, rgba_rows):
    raw = b"".join(b"\x00" + bytes(row) for row in rgba_rows)

    def chunk(kind, data):
        c = kind + data
        return struct.pack(">I", len(data)) + c + struct.pack(">I", zlib.crc32(c) & 0xFFFFFFFF)

    data = (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def poly(points):
    def inside(x, y):
        n = len(points)
        c = False
        j = n - 1
        for i in range(n):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                c = not c
            j = i
        return c
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def rrect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def draw(name, size, layers):
    """`layers`: (colour (r, g, b), include shapes, exclude shapes), painted in order."""
    w = h = size
    rows = []
    for py in range(h):
        row = []
        for px in range(w):
            r = g = b = a = 0.0
            for colour, shapes, holes in layers:
                hits = 0
                for sy in range(SS):
                    for sx in range(SS):
                        x = px + (sx + 0.5) / SS
                        y = py + (sy + 0.5) / SS
                        if any(s(x, y) for s in shapes) and not any(s(x, y) for s in holes):
                            hits += 1
                cov = hits / (SS * SS)
                if cov == 0:
                    continue
                # "over" compositing of the layer on what is below
                na = cov + a * (1 - cov)
                r = (colour[0] * cov + r * a * (1 - cov)) / na
                g = (colour[1] * cov + g * a * (1 - cov)) / na
                b = (colour[2] * cov + b * a * (1 - cov)) / na
                a = na
            row += [int(round(r)), int(round(g)), int(round(b)), int(round(a * 255))]
        rows.append(row)
    png(os.path.join(HERE, name), w, h, rows)


WHITE = (255, 255, 255)
LIGHT = (226, 226, 226)
RED = (183, 28, 28)
AMBER = (255, 193, 7)
GREEN = (67, 160, 71)


def main():
    s = 48
    # Recording tree: a folder.
    draw("directory.png", s, [
        (LIGHT, [rrect(4, 10, 22, 20, 2), rrect(4, 14, 44, 40, 3)], []),
        (WHITE, [rrect(6, 18, 42, 38, 2)], []),
    ])
    # Playback: a play triangle in a ring.
    draw("playback.png", s, [
        (LIGHT, [ring(24, 24, 21, 17)], []),
        (RED, [poly([(18, 13), (36, 24), (18, 35)])], []),
    ])
    # Alarms: a bell.
    draw("alarms.png", s, [
        (AMBER, [poly([(12, 34), (15, 28), (15, 19), (20, 11), (28, 11), (33, 19), (33, 28), (36, 34)]),
                 circle(24, 10, 3), rrect(10, 33, 38, 37, 2), circle(24, 40, 4)], []),
    ])
    # Tags: a label with its hole.
    draw("tag.png", s, [
        (GREEN, [poly([(6, 8), (26, 8), (42, 24), (26, 40), (6, 40)])], [circle(14, 24, 4)]),
    ])
    # Download square of the list rows: an arrow onto a tray.
    draw("download_white.png", 30, [
        (WHITE, [rrect(12, 3, 18, 17, 1), poly([(6, 14), (24, 14), (15, 23)]),
                 rrect(4, 24, 26, 27, 1)], []),
    ])
    # Tree branches.
    draw("branch-closed.png", 12, [(WHITE, [poly([(3, 2), (9, 6), (3, 10)])], [])])
    draw("branch-open.png", 12, [(WHITE, [poly([(2, 3), (10, 3), (6, 9)])], [])])


if __name__ == "__main__":
    main()
