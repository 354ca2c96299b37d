#!/usr/bin/env python3
"""Draws the icons of VESPREC.EXE into resources/icons/*.ico.

The .ico files are kept in the tree, so a build needs no Python; run this
again after changing a drawing. Each icon holds a 16x16 and a 32x32 image,
32-bit with alpha. The four tray states differ by shape as well as colour,
so that someone who does not tell red from green still reads them at 16x16:

  idle        a hollow grey ring
  receiving   a green disc with a white arrow pointing right (flowing)
  held        an amber disc with two dark bars (paused)
  line error  a red square with a white cross

The program's own icon (window and About box) is a white V on blue.
"""

import os
import struct
import sys

SAMPLES = 4  # per axis, for smooth edges


def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, outer, inner):
    return lambda x, y: inner * inner <= (x - cx) ** 2 + (y - cy) ** 2 <= outer * outer


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside


def stroke(x0, y0, x1, y1, width):
    """A thick line segment with round ends."""
    def inside(x, y):
        dx, dy = x1 - x0, y1 - y0
        t = ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)
        t = min(max(t, 0.0), 1.0)
        px, py = x0 + t * dx, y0 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


# Drawings on a unit square (0..1 both ways, y down): a list of
# (shape, (r, g, b)) painted in order.
DARK_OUTLINE = (40, 40, 40)

DRAWINGS = {
    "idle": [
        (ring(0.5, 0.5, 0.47, 0.27), (70, 70, 70)),
        (ring(0.5, 0.5, 0.41, 0.33), (175, 175, 175)),
    ],
    "receiving": [
        (disc(0.5, 0.5, 0.48), (20, 90, 30)),
        (disc(0.5, 0.5, 0.42), (40, 170, 60)),
        (polygon([(0.36, 0.24), (0.78, 0.5), (0.36, 0.76)]), (255, 255, 255)),
    ],
    "held": [
        (disc(0.5, 0.5, 0.48), (120, 80, 0)),
        (disc(0.5, 0.5, 0.42), (245, 180, 20)),
        (rect(0.30, 0.25, 0.43, 0.75), DARK_OUTLINE),
        (rect(0.57, 0.25, 0.70, 0.75), DARK_OUTLINE),
    ],
    "line_error": [
        (rounded_rect(0.03, 0.03, 0.97, 0.97, 0.12), (110, 0, 0)),
        (rounded_rect(0.09, 0.09, 0.91, 0.91, 0.08), (215, 30, 30)),
        (union(stroke(0.28, 0.28, 0.72, 0.72, 0.17), stroke(0.72, 0.28, 0.28, 0.72, 0.17)),
         (255, 255, 255)),
    ],
    "program": [
        (rounded_rect(0.02, 0.02, 0.98, 0.98, 0.18), (15, 50, 110)),
        (rounded_rect(0.07, 0.07, 0.93, 0.93, 0.14), (35, 95, 190)),
        (union(stroke(0.24, 0.24, 0.5, 0.78, 0.17), stroke(0.76, 0.24, 0.5, 0.78, 0.17)),
         (255, 255, 255)),
    ],
}

# Resource file name -> drawing.
ICONS = {
    "program.ico": "program",   # 5 (About) and 7 (window class)
    "receiving.ico": "receiving",  # 8
    "held.ico": "held",            # 9
    "line_error.ico": "line_error",  # 10
    "idle.ico": "idle",            # 11
}


def render(drawing, size):
    """Rows of (b, g, r, a), top row first."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied r, g, b and alpha
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    colour = None
                    for shape, rgb in drawing:
                        if shape(x, y):
                            colour = rgb
                    if colour is not None:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1.0
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            if alpha == 0:
                row.append((0, 0, 0, 0))
            else:
                r, g, b = (round(acc[i] / acc[3]) for i in range(3))
                row.append((b, g, r, round(alpha * 255)))
        rows.append(row)
    return rows


def bitmap(rows):
    """The image as an icon holds it: a BITMAPINFOHEADER of twice the
    height, the pixels bottom row first, then the AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes(p) for row in reversed(rows) for p in row)
    mask_row_bytes = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_row_bytes)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def ico(drawing):
    images = [bitmap(render(drawing, size)) for size in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip((16, 32), images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    folder = os.path.join(root, "resources", "icons")
    os.makedirs(folder, exist_ok=True)
    for name, drawing in ICONS.items():
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(ico(DRAWINGS[drawing]))
        print("wrote", os.path.relpath(path, root))
    return 0


if __name__ == "__main__":
    sys.exit(main())
