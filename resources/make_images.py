#!/usr/bin/env python3
"""Draws the program's images: the tool bar icons, the window icon, the About logo and the
desktop icons in the hicolor sizes (plus a scalable SVG of the same drawing).

Only the Python standard library is used, so the images can be regenerated anywhere:

    python3 resources/make_images.py

Every image is a list of simple shapes in a design grid; the shapes are rasterised with a
small fixed supersampling so the round edges do not look ragged.
"""

import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

APP_ID = "org.nuv.OstrelRecorder"
HICOLOR_SIZES = (16, 32, 48, 64, 128, 256)


def rgba(hex_colour, alpha=255):
    hex_colour = hex_colour.lstrip("#")
    return (int(hex_colour[0:2], 16), int(hex_colour[2:4], 16), int(hex_colour[4:6], 16), alpha)


# --- shapes -----------------------------------------------------------------------------------
# Each shape is (kind, colour, geometry...) in the coordinates of its image's design grid.


def rect(x0, y0, x1, y1, colour, radius=0.0):
    return ("rect", colour, x0, y0, x1, y1, radius)


def circle(cx, cy, r, colour):
    return ("circle", colour, cx, cy, r)


def ring(cx, cy, r_out, r_in, colour):
    return ("ring", colour, cx, cy, r_out, r_in)


def poly(points, colour):
    return ("poly", colour, tuple(points))


def inside(shape, x, y):
    kind = shape[0]
    if kind == "rect":
        _, _, x0, y0, x1, y1, r = shape
        if x < x0 or x >= x1 or y < y0 or y >= y1:
            return False
        if r <= 0:
            return True
        # rounded corners: distance to the nearest corner centre
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    if kind == "circle":
        _, _, cx, cy, r = shape
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    if kind == "ring":
        _, _, cx, cy, r_out, r_in = shape
        d = (x - cx) ** 2 + (y - cy) ** 2
        return r_in * r_in <= d <= r_out * r_out
    if kind == "poly":
        pts = shape[2]
        hit = False
        j = len(pts) - 1
        for i in range(len(pts)):
            xi, yi = pts[i]
            xj, yj = pts[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                hit = not hit
            j = i
        return hit
    raise ValueError(kind)


def rasterise(shapes, grid, size, samples=4):
    """Renders shapes drawn on a grid x grid design area into size x size RGBA rows."""
    scale = grid / size
    offsets = [(i + 0.5) / samples for i in range(samples)]
    rows = []
    for py in range(size):
        row = bytearray(size * 4)
        for px in range(size):
            r = g = b = a = 0.0
            for oy in offsets:
                for ox in offsets:
                    x = (px + ox) * scale
                    y = (py + oy) * scale
                    colour = None
                    for shape in reversed(shapes):  # topmost shape wins
                        if inside(shape, x, y):
                            colour = shape[1]
                            break
                    if colour is None:
                        continue
                    # premultiplied accumulation keeps edges against transparency clean
                    ca = colour[3] / 255.0
                    r += colour[0] * ca
                    g += colour[1] * ca
                    b += colour[2] * ca
                    a += ca
            n = samples * samples
            if a > 0:
                row[px * 4 : px * 4 + 4] = bytes(
                    (round(r / a), round(g / a), round(b / a), round(255 * a / n))
                )
        rows.append(bytes(row))
    return rows


# --- PNG ----------------------------------------------------------------------------------------


def png_bytes(width, rows):
    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    height = len(rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    raw = b"".join(b"\x00" + row for row in rows)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(raw, 9))
        + chunk(b"IEND", b"")
    )


def write_png(path, width, rows):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(png_bytes(width, rows))


# --- the drawings -----------------------------------------------------------------------------

GREEN = rgba("#2e9e44")
GREEN_DARK = rgba("#1d6b2d")
RED = rgba("#d9342b")
RED_DARK = rgba("#8f1c16")
SLATE = rgba("#1f3b5a")
SLATE_LIGHT = rgba("#5b7ea3")
GREY = rgba("#3c4650")
GREY_LIGHT = rgba("#9aa5b1")
WHITE = rgba("#ffffff")
FOLDER = rgba("#e2b13c")
FOLDER_DARK = rgba("#a97b16")
LENS = rgba("#cfe6fa")
BLUE = rgba("#2f6db5")
BLUE_DARK = rgba("#1c4677")

# 16 x 16 tool bar icons, designed on a 16-unit grid
TOOL_ICONS = {
    "play.png": [
        poly([(3, 1.5), (14, 8), (3, 14.5)], GREEN_DARK),
        poly([(4.2, 3.6), (11.8, 8), (4.2, 12.4)], GREEN),
    ],
    "record.png": [
        circle(8, 8, 6.5, RED_DARK),
        circle(8, 8, 5.3, RED),
    ],
    "stop.png": [
        rect(2.5, 2.5, 13.5, 13.5, GREY, 1.5),
        rect(4, 4, 12, 12, GREY_LIGHT, 0.5),
    ],
    "pause.png": [
        rect(3, 2, 7, 14, GREY, 1),
        rect(9, 2, 13, 14, GREY, 1),
    ],
    "preview.png": [  # magnifier
        circle(6.5, 6.5, 4, LENS),
        ring(6.5, 6.5, 5.5, 3.8, BLUE_DARK),
        poly([(9.2, 10.6), (10.6, 9.2), (15, 13.6), (13.6, 15)], GREY),
    ],
    "fileopen.png": [  # folder
        rect(1, 3, 7, 6, FOLDER_DARK, 1),
        rect(1, 4.5, 15, 13.5, FOLDER_DARK, 1),
        rect(2, 5.5, 14, 12.5, FOLDER),
    ],
    "filesave.png": [  # floppy disk
        rect(1.5, 1.5, 14.5, 14.5, BLUE_DARK, 1.5),
        rect(2.5, 2.5, 13.5, 13.5, BLUE),
        rect(4, 2.5, 12, 7, WHITE),
        rect(5, 9.5, 11, 14.5, GREY_LIGHT),
        rect(8.5, 10.5, 10, 13.5, GREY),
    ],
}

# The application icon, on a 64-unit grid: a record dot with a play triangle over a slate
# tile, and a strip of frames below.
APP_GRID = 64
APP_ICON = [
    rect(2, 2, 62, 62, SLATE, 11),
    circle(32, 27, 17, RED),
    poly([(26.5, 18), (42, 27), (26.5, 36)], WHITE),
    rect(12, 50, 20, 56, SLATE_LIGHT, 1.5),
    rect(24, 50, 32, 56, SLATE_LIGHT, 1.5),
    rect(36, 50, 44, 56, SLATE_LIGHT, 1.5),
    rect(48, 50, 52, 56, SLATE_LIGHT, 1.5),
]


def svg_of(shapes, grid):
    def fill(colour):
        f = "#%02x%02x%02x" % colour[:3]
        return f if colour[3] == 255 else '%s" fill-opacity="%.3f' % (f, colour[3] / 255)

    out = [
        '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d">'
        % (grid * 4, grid * 4, grid, grid)
    ]
    for s in shapes:
        kind, colour = s[0], s[1]
        if kind == "rect":
            _, _, x0, y0, x1, y1, r = s
            out.append(
                '  <rect x="%g" y="%g" width="%g" height="%g" rx="%g" fill="%s"/>'
                % (x0, y0, x1 - x0, y1 - y0, r, fill(colour))
            )
        elif kind == "circle":
            _, _, cx, cy, r = s
            out.append('  <circle cx="%g" cy="%g" r="%g" fill="%s"/>' % (cx, cy, r, fill(colour)))
        elif kind == "ring":
            _, _, cx, cy, r_out, r_in = s
            out.append(
                '  <circle cx="%g" cy="%g" r="%g" fill="none" stroke="%s" stroke-width="%g"/>'
                % (cx, cy, (r_out + r_in) / 2, fill(colour), r_out - r_in)
            )
        elif kind == "poly":
            pts = " ".join("%g,%g" % p for p in s[2])
            out.append('  <polygon points="%s" fill="%s"/>' % (pts, fill(colour)))
    out.append("</svg>")
    return "\n".join(out) + "\n"


# --- the About logo: 2660 x 1105, drawn from rectangles and slanted bars ------------------------

LOGO_W, LOGO_H = 2660, 1105


def logo_rows():
    """The letters N, U, V in slate blue with a red underline. Spans are filled row by row,
    which keeps a 2.9 megapixel image fast in pure Python."""
    ink = bytes(SLATE)
    accent = bytes(RED)
    spans = [[] for _ in range(LOGO_H)]  # per row: (x0, x1, colour)

    def box(x0, y0, x1, y1, colour):
        for y in range(y0, y1):
            spans[y].append((x0, x1, colour))

    def slant(xa0, xb0, y0, y1, width, colour, clip=(0, LOGO_W)):
        """A bar of constant horizontal width whose left edge runs from xa0 at y0 to xb0 at y1."""
        for y in range(y0, y1):
            t = (y - y0) / (y1 - y0)
            x = round(xa0 + (xb0 - xa0) * t)
            spans[y].append((max(x, clip[0]), min(x + width, clip[1]), colour))

    top, bottom = 150, 850
    stroke = 170
    letter = 730  # width of each letter
    gap = 120
    nx = 130
    ux = nx + letter + gap
    vx = ux + letter + gap
    # N: two stems and a diagonal kept between them
    box(nx, top, nx + stroke, bottom, ink)
    box(nx + letter - stroke, top, nx + letter, bottom, ink)
    slant(nx, nx + letter - stroke - 20, top, bottom, stroke + 20, ink, (nx, nx + letter))
    # U: squared off, two stems on a base bar
    box(ux, top, ux + stroke, bottom, ink)
    box(ux + letter - stroke, top, ux + letter, bottom, ink)
    box(ux, bottom - stroke, ux + letter, bottom, ink)
    # V: two slanted arms meeting at the base
    arm = stroke + 30
    tip = vx + (letter - arm) // 2
    slant(vx, tip, top, bottom, arm, ink)
    slant(vx + letter - arm, tip, top, bottom, arm, ink)
    # underline
    box(nx, 920, vx + letter, 975, accent)

    rows = []
    for y in range(LOGO_H):
        row = bytearray(LOGO_W * 4)
        for x0, x1, colour in spans[y]:
            x0 = max(0, x0)
            x1 = min(LOGO_W, x1)
            if x1 > x0:
                row[x0 * 4 : x1 * 4] = colour * (x1 - x0)
        rows.append(bytes(row))
    return rows


def main():
    for name, shapes in TOOL_ICONS.items():
        write_png(os.path.join(HERE, name), 16, rasterise(shapes, 16, 16))

    write_png(os.path.join(HERE, "ostrel_recorder.png"), 32, rasterise(APP_ICON, APP_GRID, 32))

    for size in HICOLOR_SIZES:
        path = os.path.join(HERE, "icons", "hicolor", "%dx%d" % (size, size), "apps", APP_ID + ".png")
        # large sizes need fewer subsamples per pixel to look smooth
        write_png(path, size, rasterise(APP_ICON, APP_GRID, size, 4 if size <= 64 else 2))

    svg_path = os.path.join(HERE, "icons", "hicolor", "scalable", "apps", APP_ID + ".svg")
    os.makedirs(os.path.dirname(svg_path), exist_ok=True)
    with open(svg_path, "w", encoding="utf-8", newline="\n") as f:
        f.write(svg_of(APP_ICON, APP_GRID))

    write_png(os.path.join(HERE, "nuv-logo.png"), LOGO_W, logo_rows())


if __name__ == "__main__":
    main()
