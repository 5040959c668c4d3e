#!/usr/bin/env python3
"""Draws every picture of Quayside and Gearwise and writes the resource files.

Run from anywhere (Python 3, standard library only):

    python3 tools/art/make_art.py            # writes into the repository
    python3 tools/art/make_art.py --out DIR  # writes console/ and devwizard/ under DIR

Output (relative to the repository root), all written anew on every run and
byte-for-byte the same each time:

    console/ui/res/Quayside.ico          icon 128: SAN (two servers, switch, disk array)
                                         32x32 and 16x16, 16 colours
    console/ui/res/ServerList.bmp        bitmap 131: 48x16 strip, computers with
                                         cyan / red / cyan screens
    console/ui/res/ServerTree.bmp        bitmap 144: 48x16 strip, server with one
                                         green bar / two green bars / dimmed, red bar
    console/ui/res/ServerList32.bmp      bitmap 231: the same computers, 96x32 (high DPI)
    console/ui/res/ServerTree32.bmp      bitmap 244: the same servers, 96x32 (high DPI)
    devwizard/res/Gearwise.ico           icon 101: two stacked drives and a wrench,
                                         32x32 and 16x16, 16 colours
    devwizard/res/Notice.ico             icon 120: warning triangle, 32x32, 16 colours
    devwizard/res/Background.bmp         bitmap 138: 555x327, faded tape library
    devwizard/res/BackgroundHeader.bmp   bitmap 139: the same with a header band

The strips use RGB(128, 0, 0) as the transparent (mask) colour of the image
lists; the 32x32 strips are drawn anew at that size, not scaled. The page backgrounds are 8 bits per pixel with a full 256-entry colour
table and no compression (pattern brushes cannot be made from RLE bitmaps).
"""

import argparse
import os
import struct

MASK = (128, 0, 0)  # image-list mask colour of bitmaps 131 and 144
DARK_RED = (160, 0, 0)  # the shaded red of the strips: never the mask colour

# The 16 colours of the standard Windows palette, in their usual order.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = VGA16[:8]
GREY, RED, LIME, YELLOW, BLUE, MAGENTA, CYAN, WHITE = VGA16[8:]


# ---------------------------------------------------------------------------
# A small raster canvas. Pixels are (r, g, b) tuples, or None for transparent.

class Canvas:
    def __init__(self, width, height, fill=None):
        self.w = width
        self.h = height
        self.px = [fill] * (width * height)

    def get(self, x, y):
        return self.px[y * self.w + x]

    def set(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y * self.w + x] = c

    def blend(self, x, y, c, a):
        """Mixes colour c over the pixel with opacity a (0..1)."""
        if 0 <= x < self.w and 0 <= y < self.h:
            old = self.px[y * self.w + x] or (255, 255, 255)
            self.px[y * self.w + x] = mix(old, c, a)

    def rect(self, x0, y0, x1, y1, c):
        """Fills the rectangle with corners (x0, y0) and (x1, y1), both included."""
        for y in range(max(y0, 0), min(y1, self.h - 1) + 1):
            row = y * self.w
            for x in range(max(x0, 0), min(x1, self.w - 1) + 1):
                self.px[row + x] = c

    def frame(self, x0, y0, x1, y1, c):
        self.hline(x0, x1, y0, c)
        self.hline(x0, x1, y1, c)
        self.vline(x0, y0, y1, c)
        self.vline(x1, y0, y1, c)

    def hline(self, x0, x1, y, c):
        self.rect(min(x0, x1), y, max(x0, x1), y, c)

    def vline(self, x, y0, y1, c):
        self.rect(x, min(y0, y1), x, max(y0, y1), c)

    def line(self, x0, y0, x1, y1, c):
        dx, dy = abs(x1 - x0), -abs(y1 - y0)
        sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
        err = dx + dy
        while True:
            self.set(x0, y0, c)
            if x0 == x1 and y0 == y1:
                return
            e2 = 2 * err
            if e2 >= dy:
                err += dy
                x0 += sx
            if e2 <= dx:
                err += dx
                y0 += sy

    def poly(self, pts, c, alpha=None, only_opaque=False):
        """Fills a polygon (even-odd rule, pixel centres); only_opaque keeps
        transparent pixels transparent."""
        ys = [p[1] for p in pts]
        for y in range(max(int(min(ys)), 0), min(int(max(ys)) + 1, self.h)):
            yc = y + 0.5
            xs = []
            n = len(pts)
            for i in range(n):
                (xa, ya), (xb, yb) = pts[i], pts[(i + 1) % n]
                if (ya <= yc < yb) or (yb <= yc < ya):
                    xs.append(xa + (yc - ya) * (xb - xa) / (yb - ya))
            xs.sort()
            for k in range(0, len(xs) - 1, 2):
                for x in range(max(int(xs[k] + 0.5), 0), min(int(xs[k + 1] + 0.5), self.w)):
                    if only_opaque and self.px[y * self.w + x] is None:
                        continue
                    if alpha is None:
                        self.px[y * self.w + x] = c
                    else:
                        self.blend(x, y, c, alpha)

    def ellipse(self, cx, cy, rx, ry, c, alpha=None):
        for y in range(max(int(cy - ry), 0), min(int(cy + ry) + 2, self.h)):
            for x in range(max(int(cx - rx), 0), min(int(cx + rx) + 2, self.w)):
                dx = (x + 0.5 - cx) / rx
                dy = (y + 0.5 - cy) / ry
                if dx * dx + dy * dy <= 1.0:
                    if alpha is None:
                        self.set(x, y, c)
                    else:
                        self.blend(x, y, c, alpha)

    def vgradient(self, x0, y0, x1, y1, stops):
        """Fills a rectangle with a vertical gradient through (t, colour) stops."""
        for y in range(y0, y1 + 1):
            t = (y - y0) / max(y1 - y0, 1)
            c = gradient_at(stops, t)
            self.rect(x0, y, x1, y, c)

    def hgradient(self, x0, y0, x1, y1, stops):
        for x in range(x0, x1 + 1):
            t = (x - x0) / max(x1 - x0, 1)
            self.rect(x, y0, x, y1, gradient_at(stops, t))

    def paste(self, other, ox, oy):
        for y in range(other.h):
            for x in range(other.w):
                c = other.get(x, y)
                if c is not None:
                    self.set(ox + x, oy + y, c)


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def gradient_at(stops, t):
    for (t0, c0), (t1, c1) in zip(stops, stops[1:]):
        if t <= t1:
            return mix(c0, c1, (t - t0) / max(t1 - t0, 1e-9))
    return stops[-1][1]


# A 3x5 pixel font for the version mark.
FONT3X5 = {
    'v': ["...", "...", "x.x", "x.x", ".x."],
    '.': ["...", "...", "...", "...", ".x."],
    '0': ["xxx", "x.x", "x.x", "x.x", "xxx"],
    '1': [".x.", "xx.", ".x.", ".x.", "xxx"],
    '2': ["xxx", "..x", "xxx", "x..", "xxx"],
    '3': ["xxx", "..x", ".xx", "..x", "xxx"],
}


def draw_text3x5(cv, x, y, text, c):
    for ch in text:
        glyph = FONT3X5[ch]
        for gy, row in enumerate(glyph):
            for gx, bit in enumerate(row):
                if bit == 'x':
                    cv.set(x + gx, y + gy, c)
        x += 4


# ---------------------------------------------------------------------------
# File writers

def palette_exact(colours):
    pal = sorted(set(colours))
    if len(pal) > 256:
        raise ValueError("more than 256 colours")
    return pal


def palette_median_cut(pixels, size=256):
    """Reduces the colours of pixels to at most size by median cut."""
    counts = {}
    for p in pixels:
        counts[p] = counts.get(p, 0) + 1
    if len(counts) <= size:
        return sorted(counts)
    boxes = [list(counts.items())]
    while len(boxes) < size:
        best, best_score, best_ch = None, -1, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            total = sum(n for _, n in box)
            for ch in range(3):
                lo = min(c[ch] for c, _ in box)
                hi = max(c[ch] for c, _ in box)
                score = (hi - lo) * total ** 0.5
                if score > best_score:
                    best, best_score, best_ch = i, score, ch
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda e: e[0][best_ch])
        half = sum(n for _, n in box) / 2
        acc, cut = 0, 1
        for k, (_, n) in enumerate(box):
            acc += n
            if acc >= half:
                cut = min(max(k + 1, 1), len(box) - 1)
                break
        boxes.append(box[:cut])
        boxes.append(box[cut:])
    pal = []
    for box in boxes:
        total = sum(n for _, n in box)
        pal.append(tuple(int(round(sum(c[i] * n for c, n in box) / total)) for i in range(3)))
    return sorted(set(pal))


def nearest_index(pal, c, cache):
    idx = cache.get(c)
    if idx is None:
        idx = min(range(len(pal)),
                  key=lambda i: (pal[i][0] - c[0]) ** 2 * 3 + (pal[i][1] - c[1]) ** 2 * 4
                  + (pal[i][2] - c[2]) ** 2 * 2)
        cache[c] = idx
    return idx


def bmp8_bytes(cv, pal=None):
    """An uncompressed 8-bit BMP with a full 256-entry colour table."""
    if pal is None:
        pal = palette_median_cut(cv.px)
    pal = list(pal) + [(0, 0, 0)] * (256 - len(pal))
    cache = {}
    stride = (cv.w + 3) & ~3
    rows = []
    for y in range(cv.h - 1, -1, -1):  # bottom-up
        row = bytearray(nearest_index(pal, cv.get(x, y), cache) for x in range(cv.w))
        row += b"\0" * (stride - cv.w)
        rows.append(bytes(row))
    bits = b"".join(rows)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in pal)
    info = struct.pack("<IiiHHIIiiII", 40, cv.w, cv.h, 1, 8, 0, len(bits), 2835, 2835, 256, 0)
    offset = 14 + len(info) + len(table)
    head = struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset)
    return head + info + table + bits


def ico_image_4bpp(cv):
    """One icon image: 4-bit colour bitmap over the VGA palette plus the AND mask."""
    cache = {}
    stride = ((cv.w * 4 + 31) // 32) * 4
    mstride = ((cv.w + 31) // 32) * 4
    xor_rows, and_rows = [], []
    for y in range(cv.h - 1, -1, -1):
        row = bytearray(stride)
        mrow = bytearray(mstride)
        for x in range(cv.w):
            c = cv.get(x, y)
            if c is None:
                mrow[x // 8] |= 0x80 >> (x % 8)
                idx = 0
            else:
                idx = nearest_index(VGA16, c, cache)
            if x % 2 == 0:
                row[x // 2] |= idx << 4
            else:
                row[x // 2] |= idx
        xor_rows.append(bytes(row))
        and_rows.append(bytes(mrow))
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in VGA16)
    xor = b"".join(xor_rows)
    andm = b"".join(and_rows)
    info = struct.pack("<IiiHHIIiiII", 40, cv.w, cv.h * 2, 1, 4, 0, len(xor) + len(andm), 0, 0, 16, 0)
    return info + table + xor + andm


def ico_bytes(canvases):
    images = [ico_image_4bpp(cv) for cv in canvases]
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for cv, data in zip(canvases, images):
        entries += struct.pack("<BBBBHHII", cv.w % 256, cv.h % 256, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return head + entries + b"".join(images)


# ---------------------------------------------------------------------------
# Quayside: image strips

# The colours of the tower servers: outline, face, light, shade, slot; and of
# their status bars: (bright, dark).
def server_colours(dimmed):
    if dimmed:
        return (140, 140, 140), (214, 214, 214), (240, 240, 240), (184, 184, 184), (164, 164, 164)
    return (40, 40, 48), (192, 192, 192), (255, 255, 255), (128, 128, 128), (72, 72, 80)


BAR_COLOURS = {'green': ((0, 208, 0), (0, 112, 0)), 'red': ((236, 0, 0), DARK_RED)}


def server16(cv, ox, bars, dimmed=False):
    """A tower server seen from the front."""
    outline, face, light, shade, slot = server_colours(dimmed)
    cv.rect(ox + 3, 0, ox + 12, 15, face)
    cv.frame(ox + 3, 0, ox + 12, 15, outline)
    cv.set(ox + 3, 0, MASK)    # rounded corners
    cv.set(ox + 12, 0, MASK)
    cv.vline(ox + 4, 1, 14, light)
    cv.hline(ox + 4, ox + 11, 1, light)
    cv.vline(ox + 11, 2, 14, shade)
    cv.hline(ox + 5, ox + 11, 14, shade)
    # two drive bays
    for y in (3, 5):
        cv.hline(ox + 6, ox + 9, y, slot)
    # status bars
    for i, kind in enumerate(bars):
        hi, lo = BAR_COLOURS[kind]
        y = 8 + i * 3
        cv.hline(ox + 6, ox + 9, y, hi)
        cv.hline(ox + 6, ox + 9, y + 1, lo)


def computer16(cv, ox, screen, text_lines=False):
    """A monitor on its stand."""
    outline, body, light, shade = (48, 48, 56), (192, 192, 192), (255, 255, 255), (128, 128, 128)
    scr, scr_hi, scr_lo = screen
    cv.rect(ox + 1, 1, ox + 14, 11, body)
    cv.frame(ox + 1, 1, ox + 14, 11, outline)
    cv.hline(ox + 2, ox + 13, 2, light)
    cv.vline(ox + 2, 2, 10, light)
    cv.hline(ox + 2, ox + 13, 10, shade)
    cv.vline(ox + 13, 3, 10, shade)
    cv.rect(ox + 3, 3, ox + 12, 8, scr)
    cv.hline(ox + 3, ox + 12, 3, scr_lo)
    cv.vline(ox + 3, 3, 8, scr_lo)
    cv.set(ox + 11, 4, scr_hi)
    cv.set(ox + 10, 4, scr_hi)
    cv.set(ox + 11, 5, scr_hi)
    if text_lines:
        cv.hline(ox + 5, ox + 9, 5, scr_lo)
        cv.hline(ox + 5, ox + 8, 7, scr_lo)
    cv.set(ox + 12, 9, (0, 200, 0))  # power lamp
    # stand
    cv.rect(ox + 6, 12, ox + 9, 12, shade)
    cv.rect(ox + 3, 13, ox + 12, 14, body)
    cv.frame(ox + 3, 13, ox + 12, 14, outline)
    cv.hline(ox + 4, ox + 11, 13, light)


def server32(cv, ox, bars, dimmed=False):
    """The tower server of server16, drawn again for 32 x 32 (high DPI)."""
    outline, face, light, shade, slot = server_colours(dimmed)
    cv.rect(ox + 6, 0, ox + 25, 31, face)
    cv.frame(ox + 6, 0, ox + 25, 31, outline)
    cv.set(ox + 6, 0, MASK)    # rounded corners
    cv.set(ox + 25, 0, MASK)
    cv.vline(ox + 7, 1, 30, light)
    cv.hline(ox + 7, ox + 24, 1, light)
    cv.vline(ox + 24, 2, 30, shade)
    cv.hline(ox + 8, ox + 24, 30, shade)
    # two drive bays, each a slot with a lit lower edge
    for y in (5, 9):
        cv.rect(ox + 11, y, ox + 20, y + 1, slot)
        cv.hline(ox + 11, ox + 20, y + 2, light)
    # status bars
    for i, kind in enumerate(bars):
        hi, lo = BAR_COLOURS[kind]
        y = 15 + i * 6
        cv.rect(ox + 11, y, ox + 20, y + 1, hi)
        cv.rect(ox + 11, y + 2, ox + 20, y + 3, lo)


def computer32(cv, ox, screen, text_lines=False):
    """The monitor of computer16, drawn again for 32 x 32 (high DPI)."""
    outline, body, light, shade = (48, 48, 56), (192, 192, 192), (255, 255, 255), (128, 128, 128)
    scr, scr_hi, scr_lo = screen
    cv.rect(ox + 2, 2, ox + 29, 22, body)
    cv.frame(ox + 2, 2, ox + 29, 22, outline)
    cv.hline(ox + 3, ox + 28, 3, light)
    cv.vline(ox + 3, 3, 21, light)
    cv.hline(ox + 3, ox + 28, 21, shade)
    cv.vline(ox + 28, 4, 21, shade)
    cv.rect(ox + 6, 6, ox + 25, 17, scr)
    cv.hline(ox + 6, ox + 25, 6, scr_lo)
    cv.vline(ox + 6, 6, 17, scr_lo)
    cv.rect(ox + 20, 8, ox + 23, 9, scr_hi)
    cv.rect(ox + 22, 10, ox + 23, 11, scr_hi)
    if text_lines:
        cv.rect(ox + 10, 10, ox + 18, 11, scr_lo)
        cv.rect(ox + 10, 14, ox + 16, 15, scr_lo)
    cv.rect(ox + 24, 19, ox + 25, 19, (0, 200, 0))  # power lamp
    # stand
    cv.rect(ox + 12, 23, ox + 19, 25, shade)
    cv.rect(ox + 6, 26, ox + 25, 29, body)
    cv.frame(ox + 6, 26, ox + 25, 29, outline)
    cv.hline(ox + 7, ox + 24, 27, light)


def strip_tree(size=16):
    server = server16 if size == 16 else server32
    cv = Canvas(3 * size, size, MASK)
    server(cv, 0, ['green'])
    server(cv, size, ['green', 'green'])
    server(cv, 2 * size, ['red'], dimmed=True)
    return cv


def strip_list(size=16):
    computer = computer16 if size == 16 else computer32
    cv = Canvas(3 * size, size, MASK)
    cyan = ((0, 224, 224), (200, 255, 255), (0, 128, 128))
    red = ((232, 24, 24), (255, 160, 160), DARK_RED)
    computer(cv, 0, cyan)
    computer(cv, size, red)
    computer(cv, 2 * size, cyan, text_lines=True)
    return cv


# ---------------------------------------------------------------------------
# Quayside: icon 128 (two servers and a disk array joined by a SAN switch)

def tower(cv, x0, y0, x1, y1, led=True):
    cv.rect(x0, y0, x1, y1, SILVER)
    cv.frame(x0, y0, x1, y1, BLACK)
    cv.vline(x0 + 1, y0 + 1, y1 - 1, WHITE)
    cv.hline(x0 + 1, x1 - 1, y0 + 1, WHITE)
    cv.vline(x1 - 1, y0 + 2, y1 - 1, GREY)
    cv.hline(x0 + 2, x1 - 1, y1 - 1, GREY)
    for k in range(2):
        y = y0 + 3 + 2 * k
        if y < y1 - 2:
            cv.hline(x0 + 2, x1 - 2, y, GREY)
    if led:
        cv.set(x0 + 2, y1 - 3, LIME)
        cv.set(x0 + 3, y1 - 3, LIME)


def icon_console(size):
    cv = Canvas(size, size)
    if size == 32:
        # fabric: towers -> switch -> array
        cv.rect(10, 10, 21, 11, BLUE)
        cv.rect(15, 14, 16, 20, BLUE)
        # switch
        cv.rect(12, 7, 19, 14, NAVY)
        cv.frame(12, 7, 19, 14, BLACK)
        for x in (14, 16, 18):
            cv.set(x, 10, LIME)
        cv.hline(13, 18, 8, BLUE)
        # servers
        tower(cv, 1, 1, 10, 18)
        tower(cv, 21, 1, 30, 18)
        # disk array
        cv.rect(3, 20, 28, 30, SILVER)
        cv.frame(3, 20, 28, 30, BLACK)
        cv.hline(4, 27, 21, WHITE)
        cv.vline(4, 21, 29, WHITE)
        cv.hline(4, 27, 29, GREY)
        cv.vline(27, 22, 29, GREY)
        for y in (23, 26):
            cv.rect(6, y, 22, y + 1, GREY)
            cv.hline(6, 22, y, BLACK)
            cv.set(25, y, LIME)
            cv.set(25, y + 1, GREEN)
    else:
        cv.rect(5, 4, 10, 4, BLUE)
        cv.rect(7, 5, 8, 10, BLUE)
        tower(cv, 0, 0, 5, 9, led=False)
        cv.set(2, 7, LIME)
        tower(cv, 10, 0, 15, 9, led=False)
        cv.set(12, 7, LIME)
        cv.rect(1, 10, 14, 15, SILVER)
        cv.frame(1, 10, 14, 15, BLACK)
        cv.hline(2, 13, 11, WHITE)
        cv.hline(3, 10, 12, GREY)
        cv.hline(3, 10, 14, GREY)
        cv.set(12, 12, LIME)
        cv.set(12, 14, LIME)
    return cv


# ---------------------------------------------------------------------------
# Gearwise: icon 101 (two stacked drives and a wrench) and icon 120 (notice)

def drive(cv, x0, y0, x1, y1):
    """A flat drive box seen from the front: bevelled silver face, slot and lamp."""
    cv.rect(x0, y0, x1, y1, SILVER)
    cv.frame(x0, y0, x1, y1, BLACK)
    cv.hline(x0 + 1, x1 - 1, y0 + 1, WHITE)
    cv.vline(x0 + 1, y0 + 1, y1 - 1, WHITE)
    cv.hline(x0 + 1, x1 - 1, y1 - 1, GREY)
    cv.vline(x1 - 1, y0 + 2, y1 - 1, GREY)


def wrench(cv, end, head, hw, r, slot):
    """An open-ended wrench from end (handle) to head (jaw centre)."""
    ux, uy = head[0] - end[0], head[1] - end[1]
    n = (ux * ux + uy * uy) ** 0.5
    ux, uy = ux / n, uy / n
    vx, vy = -uy, ux

    def band(p, q, w):
        return [(p[0] + vx * w, p[1] + vy * w), (q[0] + vx * w, q[1] + vy * w),
                (q[0] - vx * w, q[1] - vy * w), (p[0] - vx * w, p[1] - vy * w)]
    cv.poly(band(end, head, hw + 1), BLACK)
    cv.ellipse(end[0], end[1], hw + 1, hw + 1, BLACK)
    cv.ellipse(head[0], head[1], r + 1, r + 1, BLACK)
    cv.poly(band(end, head, hw), SILVER)
    cv.ellipse(end[0], end[1], hw, hw, SILVER)
    cv.ellipse(head[0], head[1], r, r, SILVER)
    tip = (head[0] + ux * (r + 2), head[1] + uy * (r + 2))
    cv.poly(band(head, tip, slot + 1), BLACK, only_opaque=True)
    cv.poly(band(head, tip, slot), None)
    if hw >= 2:
        cv.line(int(end[0] - vx + ux * 2), int(end[1] - vy + uy * 2),
                int(head[0] - vx - ux * r), int(head[1] - vy - uy * r), WHITE)


def icon_wizard(size):
    cv = Canvas(size, size)
    if size == 32:
        for y0 in (5, 16):
            drive(cv, 0, y0, 24, y0 + 9)
            cv.hline(3, 15, y0 + 4, BLACK)
            cv.hline(3, 15, y0 + 5, GREY)
            cv.rect(19, y0 + 4, 20, y0 + 5, LIME)
        wrench(cv, (12.5, 28.5), (25.5, 7.0), 2.2, 5.0, 1.8)
    else:
        for y0 in (2, 8):
            drive(cv, 0, y0, 11, y0 + 5)
            cv.hline(2, 6, y0 + 2, BLACK)
            cv.set(9, y0 + 2, LIME)
        wrench(cv, (6.0, 14.0), (12.5, 3.5), 1.0, 2.6, 1.0)
    return cv


def icon_notice():
    cv = Canvas(32, 32)
    outer = [(15.5, 0.5), (31.5, 29.5), (-0.5, 29.5)]
    inner = [(15.5, 3.2), (29.2, 28.0), (1.8, 28.0)]
    cv.poly(outer, BLACK)
    cv.poly(inner, YELLOW)
    # exclamation mark
    cv.poly([(13.5, 9.5), (18.5, 9.5), (17.5, 21.5), (14.5, 21.5)], BLACK)
    cv.rect(14, 23, 17, 26, BLACK)
    return cv


# ---------------------------------------------------------------------------
# Gearwise: page backgrounds 138 and 139

W, H = 555, 327
BAND = 64           # header band rows 0..63 in bitmap 139, rule on rows 64..65
FADE = 0.40         # share of the hardware colours over the background

BG_STOPS = [(0.0, (248, 250, 253)), (0.55, (236, 241, 247)), (0.86, (232, 237, 244)),
            (1.0, (246, 248, 251))]


def background():
    cv = Canvas(W, H)
    cv.vgradient(0, 0, W - 1, H - 1, BG_STOPS)
    return cv


def hardware():
    """The tape library in full colour on a transparent canvas."""
    hw = Canvas(W, H)
    steel, steel_lo, steel_hi = (120, 134, 156), (82, 94, 114), (176, 188, 206)
    dark = (40, 48, 62)
    # floor shadow
    shadow = Canvas(W, H)
    shadow.ellipse(420, 301, 118, 9, (120, 130, 150))

    # -- the library cabinet: front face, side face, top face
    x0, x1, y0, y1, d = 326, 436, 92, 298, 26
    hw.poly([(x0, y0), (x0 + d, y0 - 14), (x1 + d, y0 - 14), (x1, y0)], steel_hi)
    hw.poly([(x1, y0), (x1 + d, y0 - 14), (x1 + d, y1 - 14), (x1, y1)], steel_lo)
    hw.rect(x0, y0, x1, y1, steel)
    hw.frame(x0, y0, x1, y1, dark)
    hw.line(x0, y0, x0 + d, y0 - 14, dark)
    hw.line(x1, y0, x1 + d, y0 - 14, dark)
    hw.hline(x0 + d, x1 + d, y0 - 14, dark)
    hw.vline(x1 + d, y0 - 14, y1 - 14, dark)
    hw.line(x1, y1, x1 + d, y1 - 14, dark)
    # side vents
    for k in range(6):
        y = y0 + 40 + 22 * k
        hw.line(x1 + 6, y, x1 + d - 6, y - 9, dark)

    # control panel: display and lamps
    hw.rect(x0 + 8, y0 + 8, x1 - 8, y0 + 30, (96, 110, 132))
    hw.frame(x0 + 8, y0 + 8, x1 - 8, y0 + 30, dark)
    hw.rect(x0 + 14, y0 + 13, x0 + 54, y0 + 25, (34, 92, 100))
    hw.hline(x0 + 17, x0 + 44, y0 + 17, (120, 230, 190))
    hw.hline(x0 + 17, x0 + 36, y0 + 21, (120, 230, 190))
    for k, col in enumerate([(40, 200, 80), (40, 200, 80), (240, 170, 30)]):
        hw.rect(x0 + 64 + 9 * k, y0 + 17, x0 + 68 + 9 * k, y0 + 20, col)

    # three tape drives
    for k in range(3):
        ty = y0 + 40 + 20 * k
        hw.rect(x0 + 8, ty, x1 - 8, ty + 15, (150, 162, 182))
        hw.frame(x0 + 8, ty, x1 - 8, ty + 15, dark)
        hw.hline(x0 + 9, x1 - 9, ty + 1, (200, 210, 224))
        hw.rect(x0 + 16, ty + 6, x0 + 70, ty + 9, dark)
        hw.rect(x1 - 22, ty + 6, x1 - 18, ty + 9, (40, 200, 80))
        hw.rect(x1 - 14, ty + 6, x1 - 12, ty + 9, (96, 110, 132))

    # glass door with the cartridge magazine and the robot
    gx0, gy0, gx1, gy1 = x0 + 8, y0 + 104, x1 - 8, y1 - 16
    hw.rect(gx0, gy0, gx1, gy1, (168, 196, 218))
    hw.frame(gx0, gy0, gx1, gy1, dark)
    label_colours = [(60, 110, 200), (230, 130, 40), (60, 170, 90), (200, 70, 70), (140, 90, 190)]
    for row in range(3):
        cy = gy0 + 7 + row * 24
        hw.hline(gx0 + 4, gx1 - 4, cy + 20, (110, 130, 152))  # shelf
        for col in range(10):
            cx = gx0 + 6 + col * 9
            hw.rect(cx, cy, cx + 6, cy + 19, (62, 68, 80))
            hw.rect(cx + 1, cy + 3, cx + 5, cy + 12, (246, 246, 240))
            hw.rect(cx + 1, cy + 3, cx + 5, cy + 5, label_colours[(row * 3 + col) % 5])
    # robot rail with its picker
    hw.rect(gx0 + 2, gy1 - 7, gx1 - 2, gy1 - 5, (90, 100, 118))
    hw.rect(gx0 + 56, gy1 - 11, gx0 + 68, gy1 - 3, (230, 160, 40))
    hw.frame(gx0 + 56, gy1 - 11, gx0 + 68, gy1 - 3, dark)
    # glass reflections
    for k in range(2):
        hw.poly([(gx0 + 10 + 30 * k, gy1), (gx0 + 30 + 30 * k, gy1), (gx0 + 60 + 30 * k, gy0),
                 (gx0 + 40 + 30 * k, gy0)], (255, 255, 255), alpha=0.25)
    # door handle and plinth
    hw.rect(x1 - 5, gy0 + 20, x1 - 3, gy0 + 50, dark)
    hw.rect(x0, y1 - 10, x1, y1, steel_lo)
    hw.frame(x0, y1 - 10, x1, y1, dark)
    for k in range(9):
        hw.vline(x0 + 10 + 11 * k, y1 - 7, y1 - 3, dark)

    # -- a desktop autoloader on the floor at the right
    a0, a1, b0, b1, e = 472, 514, 262, 298, 10
    hw.poly([(a0, b0), (a0 + e, b0 - 6), (a1 + e, b0 - 6), (a1, b0)], steel_hi)
    hw.poly([(a1, b0), (a1 + e, b0 - 6), (a1 + e, b1 - 6), (a1, b1)], steel_lo)
    hw.rect(a0, b0, a1, b1, steel)
    hw.frame(a0, b0, a1, b1, dark)
    hw.line(a0, b0, a0 + e, b0 - 6, dark)
    hw.hline(a0 + e, a1 + e, b0 - 6, dark)
    hw.line(a1, b0, a1 + e, b0 - 6, dark)
    hw.vline(a1 + e, b0 - 6, b1 - 6, dark)
    hw.line(a1, b1, a1 + e, b1 - 6, dark)
    hw.rect(a0 + 5, b0 + 8, a1 - 5, b0 + 11, dark)
    hw.rect(a0 + 5, b0 + 20, a0 + 18, b0 + 27, (34, 92, 100))
    hw.rect(a1 - 9, b0 + 22, a1 - 6, b0 + 25, (40, 200, 80))

    return shadow, hw


def compose(with_band):
    cv = background()
    # a soft light behind the hardware
    for y in range(H):
        for x in range(250, W):
            dx, dy = (x - 410) / 170.0, (y - 200) / 140.0
            d = dx * dx + dy * dy
            if d < 1.0:
                cv.blend(x, y, (255, 255, 255), 0.45 * (1.0 - d) ** 2)
    shadow, hw = hardware()
    for i, c in enumerate(shadow.px):
        if c is not None:
            cv.px[i] = mix(cv.px[i], c, 0.18)
    for i, c in enumerate(hw.px):
        if c is not None:
            cv.px[i] = mix(cv.px[i], c, FADE)
    # version mark at the lower right of the visible page
    draw_text3x5(cv, 510, 308, "v2.0", (128, 138, 156))
    if with_band:
        header_band(cv)
    return cv


def header_band(cv):
    # even across its width, so that the band runs on where the brush repeats.
    # Pages are taller than the picture (341 px at 96 dpi), so the brush
    # repeats the band's first rows under the picture's bottom: they start in
    # the background's bottom colour and hold nothing but the gradient.
    cv.vgradient(0, 0, W - 1, BAND - 1, [(0.0, BG_STOPS[-1][1]), (0.3, (255, 255, 255)),
                                          (0.6, (252, 253, 255)), (1.0, (236, 242, 250))])
    cv.hline(0, W - 1, BAND, (150, 162, 182))
    cv.hline(0, W - 1, BAND + 1, (255, 255, 255))
    emblem(cv, 472, 17)


def emblem(cv, ox, oy):
    """A tape cartridge on a rounded blue tile, 44 x 44 pixels."""
    size = 44
    tile = Canvas(size, size)
    r = 8
    for y in range(size):
        for x in range(size):
            dx = max(r - x, 0, x - (size - 1 - r))
            dy = max(r - y, 0, y - (size - 1 - r))
            if dx * dx + dy * dy <= r * r:
                tile.set(x, y, gradient_at([(0.0, (74, 128, 206)), (1.0, (28, 64, 140))], y / (size - 1)))
    cv.paste(tile, ox, oy)
    # cartridge body
    cx0, cy0, cx1, cy1 = ox + 8, oy + 11, ox + 35, oy + 32
    cv.rect(cx0, cy0, cx1, cy1, (238, 242, 248))
    cv.frame(cx0, cy0, cx1, cy1, (16, 36, 80))
    cv.rect(cx0 + 3, cy0 + 3, cx1 - 3, cy0 + 7, (250, 190, 60))  # label
    for rx in (cx0 + 8, cx1 - 8):
        cv.ellipse(rx + 0.5, cy0 + 14.5, 4.5, 4.5, (60, 72, 96))
        cv.ellipse(rx + 0.5, cy0 + 14.5, 1.6, 1.6, (238, 242, 248))
    cv.hline(cx0 + 8, cx1 - 8, cy1 - 2, (60, 72, 96))


# ---------------------------------------------------------------------------

def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print("wrote", path, len(data), "bytes")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.normpath(os.path.join(here, "..", "..")),
                        help="repository root to write into (default: this repository)")
    root = parser.parse_args().out
    console = os.path.join(root, "console", "ui", "res")
    wizard = os.path.join(root, "devwizard", "res")

    tree, lst = strip_tree(), strip_list()
    write(os.path.join(console, "ServerTree.bmp"), bmp8_bytes(tree, palette_exact(tree.px)))
    write(os.path.join(console, "ServerList.bmp"), bmp8_bytes(lst, palette_exact(lst.px)))
    tree32, lst32 = strip_tree(32), strip_list(32)
    write(os.path.join(console, "ServerTree32.bmp"), bmp8_bytes(tree32, palette_exact(tree32.px)))
    write(os.path.join(console, "ServerList32.bmp"), bmp8_bytes(lst32, palette_exact(lst32.px)))
    write(os.path.join(console, "Quayside.ico"), ico_bytes([icon_console(32), icon_console(16)]))

    write(os.path.join(wizard, "Gearwise.ico"), ico_bytes([icon_wizard(32), icon_wizard(16)]))
    write(os.path.join(wizard, "Notice.ico"), ico_bytes([icon_notice()]))
    write(os.path.join(wizard, "Background.bmp"), bmp8_bytes(compose(False)))
    write(os.path.join(wizard, "BackgroundHeader.bmp"), bmp8_bytes(compose(True)))


if __name__ == "__main__":
    main()
