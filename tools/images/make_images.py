#!/usr/bin/env python3
"""Draws the program's icon and the three dialog pictures into res/.

    tools/images/make_images.py [OUTPUT_DIR]     (default: res/ of this repository)

Writes UpdateFirmware.ico (one 48x48 32-bit image with its 1-bit AND mask)
and logo1.bmp, logo2.bmp, logo3.bmp (uncompressed 24-bit). The output is
byte-for-byte the same on every run; the files are committed, so neither
build needs this script.
"""

import os
import struct
import sys

SAMPLES = 4  # sub-samples per pixel side, for smooth edges


# ---------------------------------------------------------------- shapes
# A shape is (inside(x, y) -> bool, (r, g, b)); later shapes cover earlier ones.

def circle(cx, cy, r, colour):
    return (lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r, colour)


def rect(x0, y0, x1, y1, colour):
    return (lambda x, y: x0 <= x < x1 and y0 <= y < y1, colour)


def rounded_rect(x0, y0, x1, y1, radius, colour):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius
    return (inside, colour)


def ellipse(cx, cy, rx, ry, colour):
    return (lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0, colour)


# 5x7 capitals, enough for the names on the pictures.
FONT = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "B": ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    "C": ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    " ": ["00000"] * 7,
}


def text(left, top, scale, string, colour):
    """Block letters, each cell scale x scale pixels, one blank column between letters."""
    cells = set()
    for index, letter in enumerate(string):
        for row, bits in enumerate(FONT[letter]):
            for col, bit in enumerate(bits):
                if bit == "1":
                    cells.add((index * 6 + col, row))

    def inside(x, y):
        col = int((x - left) // scale)
        row = int((y - top) // scale)
        return x >= left and y >= top and (col, row) in cells
    return (inside, colour)


def text_width(scale, string):
    return (len(string) * 6 - 1) * scale


# ---------------------------------------------------------------- raster

def render(width, height, shapes, background=None):
    """Returns rows top-down of (r, g, b, a) with a in 0..255.

    Colour is the average over the covered sub-samples; alpha is the covered
    share (255 everywhere when there is a background colour).
    """
    n = SAMPLES * SAMPLES
    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            sr = sg = sb = covered = 0
            for sy in range(SAMPLES):
                y = py + (sy + 0.5) / SAMPLES
                for sx in range(SAMPLES):
                    x = px + (sx + 0.5) / SAMPLES
                    colour = background
                    for inside, shape_colour in reversed(shapes):
                        if inside(x, y):
                            colour = shape_colour
                            break
                    if colour is not None:
                        sr += colour[0]
                        sg += colour[1]
                        sb += colour[2]
                        covered += 1
            if covered == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(sr / covered), round(sg / covered), round(sb / covered),
                            round(255 * covered / n)))
        rows.append(row)
    return rows


def bmp_file(rows):
    """An uncompressed 24-bit BMP (bottom-up rows, each padded to 4 bytes)."""
    height = len(rows)
    width = len(rows[0])
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b, _ in row:
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        pixels += line
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def ico_file(rows):
    """An icon file with one 32-bit image and its AND mask (set where fully transparent)."""
    height = len(rows)
    width = len(rows[0])
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((width + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    info = struct.pack("<IiiHHIIiiII", 40, width, 2 * height, 1, 32, 0, len(xor) + len(mask),
                       0, 0, 0, 0)
    image = info + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


# ---------------------------------------------------------------- pictures

RED = (208, 32, 36)
RED_LIGHT = (250, 140, 130)
STEEL = (150, 156, 166)
STEEL_LIGHT = (210, 214, 222)
BASE = (44, 52, 70)
BASE_EDGE = (86, 98, 124)
YELLOW = (246, 200, 30)
BLUE = (40, 110, 220)
GREEN = (40, 170, 80)
WHITE = (240, 240, 240)
PURPLE = (140, 70, 190)
NAVY = (22, 30, 58)
BLACK = (16, 16, 20)


def joystick(scale, ox, oy):
    """A ball-top arcade stick on its base, drawn in a 48x48 box scaled and moved."""
    def s(v):
        return v * scale
    return [
        rounded_rect(ox + s(4), oy + s(31), ox + s(44), oy + s(45), s(4), BASE_EDGE),
        rounded_rect(ox + s(5), oy + s(33), ox + s(43), oy + s(45), s(3.5), BASE),
        ellipse(ox + s(24), oy + s(33), s(7), s(2.5), BLACK),
        rect(ox + s(22), oy + s(13), ox + s(26), oy + s(33), STEEL),
        rect(ox + s(22.5), oy + s(13), ox + s(23.5), oy + s(33), STEEL_LIGHT),
        circle(ox + s(24), oy + s(11), s(9), RED),
        circle(ox + s(21), oy + s(8), s(3), RED_LIGHT),
        circle(ox + s(11), oy + s(39), s(2.6), YELLOW),
        circle(ox + s(37), oy + s(39), s(2.6), BLUE),
    ]


def icon():
    return render(48, 48, joystick(1.0, 0, 0))


def logo1():
    # The stick on a navy tile.
    shapes = [rounded_rect(0, 0, 76, 94, 8, NAVY)]
    shapes += joystick(1.4, 4.4, 12)
    shapes += [rect(8, 84, 68, 86, RED)]
    return render(76, 94, shapes, background=WHITE)


def logo2():
    # A panel of six arcade buttons.
    shapes = [rounded_rect(0, 0, 95, 69, 8, BLACK), rounded_rect(3, 3, 92, 66, 6, BASE)]
    colours = [RED, YELLOW, GREEN, BLUE, WHITE, PURPLE]
    for index, colour in enumerate(colours):
        cx = 20 + (index % 3) * 27.5
        cy = 22 + (index // 3) * 25
        shapes.append(circle(cx, cy + 1.5, 10, BLACK))
        shapes.append(circle(cx, cy, 10, colour))
        shapes.append(circle(cx - 3, cy - 3, 3, tuple(min(255, c + 70) for c in colour)))
    return render(95, 69, shapes, background=WHITE)


def logo3():
    # The maker's name in block letters over a red stripe.
    shapes = [rounded_rect(0, 0, 147, 94, 8, NAVY)]
    big = "BRELT"
    small = "KESTRUNE"
    shapes.append(text((147 - text_width(4, big)) // 2, 14, 4, big, WHITE))
    shapes.append(rect(12, 50, 135, 54, RED))
    shapes.append(text((147 - text_width(2, small)) // 2, 64, 2, small, YELLOW))
    return render(147, 94, shapes, background=WHITE)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[1] if len(argv) > 1 else os.path.join(here, "..", "..", "res")
    if not os.path.isdir(out):
        sys.exit(f"make_images: output folder {out} does not exist")
    outputs = {
        "UpdateFirmware.ico": ico_file(icon()),
        "logo1.bmp": bmp_file(logo1()),
        "logo2.bmp": bmp_file(logo2()),
        "logo3.bmp": bmp_file(logo3()),
    }
    for name, data in outputs.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        print(f"wrote {os.path.join(out, name)} ({len(data)} bytes)")


if __name__ == "__main__":
    main(sys.argv)
