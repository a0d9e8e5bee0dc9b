#!/usr/bin/env python3
"""Draws the desktop program's pictures: every bitmap in res/bitmaps/ and res/vexpurge.ico.

    python3 tools/gen_resources.py                  rewrites all the pictures
    python3 tools/gen_resources.py --check          exits 1 if a picture on disk differs from what
                                                    it would write
    python3 tools/gen_resources.py --sheet OUT.png  also writes a contact sheet (every picture at
                                                    twice its size, labelled) for looking at

Needs Python 3 and ImageMagick 6 (`convert`, with the DejaVu fonts). ImageMagick only draws:
shapes are drawn eight times over size and box-filtered down, text is drawn at size; the layers
are mixed, reduced to their palettes and written out as BMP/ICO by this script, so the same
ImageMagick and fonts give the same bytes on every run.

Things the program relies on, and which are checked before anything is written:
  * skin.bmp: every pixel outside the rounded outline is exactly magenta (the program cuts those
    out of the window), and nothing inside comes near magenta; the cells behind the family line,
    the button band, the body and the footer controls are exactly the colours the program and
    the buttons' corners assume.
  * Every button face sits on its band: the corners are exactly the band's colour.
  * The bitmaps are loaded with LR_LOADMAP3DCOLORS, which swaps three exact greys for the
    system's 3-D colours, so none of those greys may appear.
"""

import argparse
import collections
import math
import os
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BITMAP_DIR = os.path.join(ROOT, "res", "bitmaps")
ICON_PATH = os.path.join(ROOT, "res", "vexpurge.ico")

SS = 8  # shapes are drawn at this multiple of their size, then averaged down

# The colours the program itself paints with or keys on.
MAGENTA = (255, 0, 255)        # cut out of the window's shape
HEADER = (2, 77, 246)          # behind the family line (ex_static paints its cells in it)
LIGHT = (207, 233, 254)        # button band, footer, message dialog background
WHITE = (255, 255, 255)        # body: labels and the list are drawn on white

NAVY = (16, 36, 86)
OUTLINE = (1, 46, 160)
LINK_BLUE = (8, 78, 210)
ACCENT = (250, 140, 20)
ACCENT_TEXT = (222, 104, 0)     # the accent dark enough to read as text on white or light blue

# LR_LOADMAP3DCOLORS replaces these in a bitmap's colour table.
SYSTEM_GREYS = {(128, 128, 128), (192, 192, 192), (223, 223, 223)}

FONT = "DejaVu-Sans"
FONT_BOLD = "DejaVu-Sans-Bold"


class Failure(Exception):
    pass


# --- ImageMagick ---------------------------------------------------------------------------------

def convert(args):
    try:
        done = subprocess.run(["convert", *args], check=True, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    except FileNotFoundError:
        raise Failure("ImageMagick's convert is not installed")
    except subprocess.CalledProcessError as error:
        raise Failure("convert %s failed: %s" % (" ".join(args), error.stderr.decode(errors="replace")))
    return done.stdout


def parse_pgm(data):
    """Width, height and the grey bytes of a binary PGM (P5, maxval 255) as convert writes it."""
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1
    if fields[0] != b"P5" or fields[3] != b"255":
        raise Failure("unexpected PGM header %r" % fields)
    width, height = int(fields[1]), int(fields[2])
    grey = data[pos:pos + width * height]
    if len(grey) != width * height:
        raise Failure("short PGM from convert")
    return width, height, grey


class Mask:
    """Coverage 0..1 per pixel."""

    def __init__(self, width, height, grey):
        self.width = width
        self.height = height
        self.a = [g / 255.0 for g in grey]

    def ink_box(self, threshold=0.2):
        """Columns and rows that carry ink: (left, top, right, bottom), right/bottom exclusive."""
        cols = [x for x in range(self.width)
                if any(self.a[y * self.width + x] > threshold for y in range(self.height))]
        rows = [y for y in range(self.height)
                if any(self.a[y * self.width + x] > threshold for x in range(self.width))]
        if not cols:
            return (0, 0, 0, 0)
        return (cols[0], rows[0], cols[-1] + 1, rows[-1] + 1)


def shape(width, height, mvg):
    """Coverage of an MVG drawing in pixel coordinates: pixel (x, y) is the square [x, x+1) x
    [y, y+1). Fills are white by default; set `stroke white` etc. in the MVG for outlines."""
    data = convert([
        "-size", "%dx%d" % (width * SS, height * SS), "xc:black",
        "-fill", "white", "-stroke", "none",
        # ImageMagick centres a pixel on integer coordinates; shift by half a fine pixel so that
        # the drawing's coordinates are the pixel edges.
        "-draw", "affine %d,0,0,%d,-0.5,-0.5 %s" % (SS, SS, mvg),
        "-scale", "%dx%d!" % (width, height),
        "-depth", "8", "pgm:-"])
    return Mask(*parse_pgm(data))


_cap_cache = {}


def cap_band(font, size):
    """Top of the capitals and the baseline, in the coordinates of a `label:` of this font."""
    key = (font, size)
    if key not in _cap_cache:
        box = convert(["-background", "black", "-fill", "white", "-font", font,
                       "-pointsize", str(size), "label:H", "-format", "%@", "info:"]).decode()
        size_part, x, y = box.split("+")
        w, h = size_part.split("x")
        _cap_cache[key] = (int(y), int(y) + int(h))
    return _cap_cache[key]


class Text:
    def __init__(self, text, font, size):
        data = convert(["-background", "black", "-fill", "white", "-font", font,
                        "-pointsize", str(size), "label:" + text, "-depth", "8", "pgm:-"])
        self.mask = Mask(*parse_pgm(data))
        self.cap_top, self.baseline = cap_band(font, size)
        self.left, _, self.right, _ = self.mask.ink_box(0.05)

    @property
    def ink_width(self):
        return self.right - self.left

    def origin_for(self, ink_left, cap_middle):
        """Where to put the label so its ink starts at ink_left and its capitals are centred on
        cap_middle (so "Yes" and "No" sit at the same height whatever their descenders)."""
        top = cap_middle - (self.cap_top + self.baseline) / 2.0
        return int(round(ink_left - self.left)), int(round(top))


# --- pictures in full colour ---------------------------------------------------------------------

def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def vgrad(stops):
    """Vertical gradient through (y, colour) stops, as a paint."""
    def paint(x, y):
        yc = y + 0.5
        if yc <= stops[0][0]:
            return stops[0][1]
        for (y0, c0), (y1, c1) in zip(stops, stops[1:]):
            if yc <= y1:
                return mix(c0, c1, (yc - y0) / float(y1 - y0))
        return stops[-1][1]
    return paint


class Canvas:
    """Premultiplied RGBA in floats 0..255 / 0..1."""

    def __init__(self, width, height, colour=None):
        self.width = width
        self.height = height
        if colour is None:
            self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]
        else:
            self.px = [[float(colour[0]), float(colour[1]), float(colour[2]), 1.0]
                       for _ in range(width * height)]

    def fill(self, x0, y0, x1, y1, colour):
        """Exact fill of pixels x0 <= x < x1, y0 <= y < y1."""
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                self.px[y * self.width + x] = [float(colour[0]), float(colour[1]),
                                               float(colour[2]), 1.0]

    def paint(self, mask, paint, ox=0, oy=0, opacity=1.0):
        """Lays paint (a colour or a function of (x, y)) through mask placed at (ox, oy)."""
        constant = not callable(paint)
        for my in range(mask.height):
            y = my + oy
            if not 0 <= y < self.height:
                continue
            row = my * mask.width
            for mx in range(mask.width):
                a = mask.a[row + mx] * opacity
                if a <= 0.0:
                    continue
                x = mx + ox
                if not 0 <= x < self.width:
                    continue
                c = paint if constant else paint(x, y)
                p = self.px[y * self.width + x]
                keep = 1.0 - a
                p[0] = c[0] * a + p[0] * keep
                p[1] = c[1] * a + p[1] * keep
                p[2] = c[2] * a + p[2] * keep
                p[3] = a + p[3] * keep

    def text(self, text, paint, ink_left=None, centre_x=None, cap_middle=0, shadow=None,
             underline=None):
        """Draws a Text (or makes one from (string, font, size)); returns its ink's left and right
        edges and the baseline's y."""
        if not isinstance(text, Text):
            text = Text(*text)
        if ink_left is None:
            ink_left = int(round(centre_x - text.ink_width / 2.0))
        ox, oy = text.origin_for(ink_left, cap_middle)
        if shadow is not None:
            colour, dx, dy, opacity = shadow
            self.paint(text.mask, colour, ox + dx, oy + dy, opacity)
        self.paint(text.mask, paint, ox, oy)
        baseline = oy + text.baseline
        if underline is not None:
            offset, thickness = underline
            self.fill(ox + text.left, baseline + offset, ox + text.right,
                      baseline + offset + thickness, paint)
        return ox + text.left, ox + text.right, baseline

    def rgb(self):
        """Opaque pixels as (r, g, b) tuples of 0..255."""
        out = []
        for p in self.px:
            if p[3] < 0.999:
                raise Failure("a picture meant to be opaque has see-through pixels")
            out.append((int(p[0] + 0.5), int(p[1] + 0.5), int(p[2] + 0.5)))
        return out

    def rgba(self):
        out = []
        for p in self.px:
            a = p[3]
            if a <= 0.5 / 255:
                out.append((0, 0, 0, 0))
            else:
                out.append((min(255, int(p[0] / a + 0.5)), min(255, int(p[1] / a + 0.5)),
                            min(255, int(p[2] / a + 0.5)), int(a * 255 + 0.5)))
        return out


# --- MVG helpers (coordinates are pixel edges) ---------------------------------------------------

def fmt(v):
    return ("%.3f" % v).rstrip("0").rstrip(".")


def rrect_path(x0, y0, x1, y1, r):
    r = min(r, (x1 - x0) / 2.0, (y1 - y0) / 2.0)
    p = [("M", x0 + r, y0), ("L", x1 - r, y0), ("A", r, x1, y0 + r), ("L", x1, y1 - r),
         ("A", r, x1 - r, y1), ("L", x0 + r, y1), ("A", r, x0, y1 - r), ("L", x0, y0 + r),
         ("A", r, x0 + r, y0)]
    parts = []
    for item in p:
        if item[0] == "A":
            _, rad, x, y = item
            parts.append("A %s,%s 0 0,1 %s,%s" % (fmt(rad), fmt(rad), fmt(x), fmt(y)))
        else:
            parts.append("%s %s,%s" % (item[0], fmt(item[1]), fmt(item[2])))
    return "path '%s Z'" % " ".join(parts)


def poly_path(points, closed=True):
    d = "M " + " L ".join("%s,%s" % (fmt(x), fmt(y)) for x, y in points)
    return "path '%s%s'" % (d, " Z" if closed else "")


def stroke(width, body, cap="round", join="round"):
    return ("fill none stroke white stroke-width %s stroke-linecap %s stroke-linejoin %s %s"
            % (fmt(width), cap, join, body))


def ellipse(cx, cy, rx, ry):
    return "ellipse %s,%s %s,%s 0,360" % (fmt(cx), fmt(cy), fmt(rx), fmt(ry))


def shield_path(x, y, w, h):
    """A heater shield in the box (x, y, w, h): a dipped top, straight flanks, a pointed foot."""
    cx = x + w / 2.0
    pts = [
        "M %s,%s" % (fmt(cx), fmt(y)),
        "C %s,%s %s,%s %s,%s" % (fmt(cx - 0.22 * w), fmt(y + 0.10 * h), fmt(x + 0.16 * w),
                                 fmt(y + 0.14 * h), fmt(x), fmt(y + 0.14 * h)),
        "L %s,%s" % (fmt(x), fmt(y + 0.48 * h)),
        "C %s,%s %s,%s %s,%s" % (fmt(x), fmt(y + 0.76 * h), fmt(cx - 0.26 * w), fmt(y + 0.92 * h),
                                 fmt(cx), fmt(y + h)),
        "C %s,%s %s,%s %s,%s" % (fmt(cx + 0.26 * w), fmt(y + 0.92 * h), fmt(x + w),
                                 fmt(y + 0.76 * h), fmt(x + w), fmt(y + 0.48 * h)),
        "L %s,%s" % (fmt(x + w), fmt(y + 0.14 * h)),
        "C %s,%s %s,%s %s,%s" % (fmt(x + 0.84 * w), fmt(y + 0.14 * h), fmt(cx + 0.22 * w),
                                 fmt(y + 0.10 * h), fmt(cx), fmt(y)),
    ]
    return "path '%s Z'" % " ".join(pts)


def check_points(x, y, w, h):
    return [(x + 0.27 * w, y + 0.50 * h), (x + 0.44 * w, y + 0.67 * h), (x + 0.75 * w, y + 0.33 * h)]


# --- the skin ------------------------------------------------------------------------------------

SKIN_W, SKIN_H = 527, 338
SKIN_RADIUS = 20
HEADER_END = 60         # header rows 0..59
BAND_END = 106          # button band rows 60..105
FOOTER_TOP = 274        # body rows 106..273, footer rows 274..337
FAMILY_CELLS = (50, 38, 477, 60)    # x0, y0, x1, y1 (exclusive): the family line's cells
CLOSE_AREA = (490, 0, 527, 31)      # only header colour here: the close button sits on it

# Where the program puts its controls (x0, y0, x1, y1, exclusive); the skin stays plain there.
SKIN_CONTROLS = {
    "scan": (18, 64, 198, 97),
    "download": (325, 64, 505, 97),
    "close": (498, 4, 519, 25),
    "utility link": (132, 285, 376, 313),
    "ok/cancel": (219, 285, 311, 309),
    "logo": (476, 280, 514, 316),
}


def inside_rounded(x, y, w, h, r):
    """Whether pixel (x, y)'s centre lies in the rounded rectangle [0, w] x [0, h]."""
    px, py = x + 0.5, y + 0.5
    cx = min(max(px, r), w - r)
    cy = min(max(py, r), h - r)
    return (px - cx) ** 2 + (py - cy) ** 2 <= r * r


def draw_skin():
    w, h = SKIN_W, SKIN_H
    content = Canvas(w, h, LIGHT)
    content.fill(0, 0, w, HEADER_END, HEADER)

    # A soft lighter sheen behind the wordmark, gone well before the family line and the close
    # button so both sit on the exact header blue.
    sheen_centre, sheen_rx, sheen_ry = (150.0, -12.0), 320.0, 46.0
    sheen_colour = (70, 140, 255)
    for y in range(HEADER_END):
        for x in range(w):
            d = ((x + 0.5 - sheen_centre[0]) / sheen_rx) ** 2 + \
                ((y + 0.5 - sheen_centre[1]) / sheen_ry) ** 2
            if d < 1.0:
                t = 0.7 * (1.0 - d) ** 2
                c = mix(HEADER, sheen_colour, t)
                content.px[y * w + x] = [c[0], c[1], c[2], 1.0]

    content.fill(0, BAND_END - 1, w, BAND_END, (170, 204, 240))      # band's lower edge
    content.fill(0, BAND_END, w, FOOTER_TOP, WHITE)
    content.fill(0, FOOTER_TOP, w, FOOTER_TOP + 1, (160, 198, 238))  # footer's top rule
    content.fill(0, FOOTER_TOP + 1, w, FOOTER_TOP + 2, (232, 244, 255))

    # The wordmark: a white shield with a blue check, then the name and what it is; the program
    # writes which family it is for on the line below.
    emblem = (16.0, 5.0, 24.0, 28.0)
    content.paint(shape(w, 40, shield_path(emblem[0] + 0.8, emblem[1] + 1.4, emblem[2], emblem[3])),
                  (0, 36, 140), opacity=0.45)
    content.paint(shape(w, 40, shield_path(*emblem)),
                  vgrad([(emblem[1], WHITE), (emblem[1] + emblem[3], (200, 222, 255))]))
    content.paint(shape(w, 40, stroke(3.2, poly_path(check_points(*emblem), closed=False))),
                  HEADER)
    _, right, _ = content.text(("Vexpurge", FONT_BOLD, 23), WHITE, ink_left=48, cap_middle=19,
                               shadow=((0, 36, 140), 1, 1, 0.45))
    content.text(("Removal Tool", FONT, 13), (210, 228, 255), ink_left=right + 12, cap_middle=23)

    content.text(("\u00a9 Velmora Software", FONT, 10), NAVY, ink_left=16, cap_middle=299)

    # The window's edge: a dark blue line inside the cut, drawn smooth on its inner side; the cut
    # itself is hard so the window's shape never takes a half-magenta pixel.
    skin = Canvas(w, h, OUTLINE)
    inner = shape(w, h, rrect_path(2, 2, w - 2, h - 2, SKIN_RADIUS - 2))
    for i, a in enumerate(inner.a):
        if a > 0.0:
            p, c = skin.px[i], content.px[i]
            for k in range(3):
                p[k] = c[k] * a + p[k] * (1.0 - a)
    for y in range(h):
        for x in range(w):
            if not inside_rounded(x, y, w, h, SKIN_RADIUS):
                skin.px[y * w + x] = [255.0, 0.0, 255.0, 1.0]
    return skin


# --- buttons -------------------------------------------------------------------------------------

BLUE_FACE = {"border": (0, 52, 168), "stops": [(86, 158, 255), (30, 110, 250), (4, 70, 218)],
             "shadow": (0, 34, 120)}
ORANGE_FACE = {"border": (190, 88, 0), "stops": [(255, 200, 96), (255, 150, 32), (232, 108, 6)],
               "shadow": (140, 56, 0)}


def button_face(w, h, radius, face, background=LIGHT):
    c = Canvas(w, h, background)
    c.paint(shape(w, h, rrect_path(0, 0, w, h, radius)), face["border"])
    top, mid, bottom = face["stops"]
    c.paint(shape(w, h, rrect_path(1, 1, w - 1, h - 1, radius - 1)),
            vgrad([(1, top), (h * 0.5, mid), (h - 1, bottom)]))
    # A glint along the top inner edge.
    edge = shape(w, h, rrect_path(1, 1, w - 1, h - 1, radius - 1))
    below = shape(w, h, rrect_path(1, 2.2, w - 1, h - 1, radius - 1))
    glint = Mask(w, h, b"")
    glint.a = [max(0.0, a - b) for a, b in zip(edge.a, below.a)]
    c.paint(glint, WHITE, opacity=0.45)
    return c


def caption_button(caption, focus):
    w, h = 92, 24
    face = ORANGE_FACE if focus else BLUE_FACE
    c = button_face(w, h, 6, face)
    c.text((caption, FONT_BOLD, 12), WHITE, centre_x=w / 2.0, cap_middle=h / 2.0,
           shadow=(face["shadow"], 0, 1, 0.55))
    return c


def magnifier(cx, cy):
    lens = ellipse(cx - 1.5, cy - 1.5, 4.6, 4.6)
    handle = poly_path([(cx + 2.0, cy + 2.0), (cx + 6.0, cy + 6.0)], closed=False)
    return [stroke(2.2, lens), stroke(3.0, handle)]


def down_arrow(cx, cy):
    shaft = poly_path([(cx, cy - 7.5), (cx, cy + 2.5)], closed=False)
    head = poly_path([(cx - 4.5, cy - 1.5), (cx, cy + 3.0), (cx + 4.5, cy - 1.5)], closed=False)
    tray = poly_path([(cx - 6.5, cy + 4.0), (cx - 6.5, cy + 7.0), (cx + 6.5, cy + 7.0),
                      (cx + 6.5, cy + 4.0)], closed=False)
    return [stroke(2.4, shaft), stroke(2.4, head), stroke(1.8, tray)]


def action_button(caption, glyph, focus):
    w, h = 180, 33
    face = ORANGE_FACE if focus else BLUE_FACE
    c = button_face(w, h, 8, face)
    text = Text(caption, FONT_BOLD, 15)
    glyph_w, gap = 14, 9
    left = int(round((w - (glyph_w + gap + text.ink_width)) / 2.0))
    gcx, gcy = left + glyph_w / 2.0, h / 2.0
    parts = glyph(gcx, gcy)
    glyph_mask = shape(w, h, " ".join(parts))
    c.paint(glyph_mask, face["shadow"], 0, 1, 0.55)
    c.paint(glyph_mask, WHITE)
    c.text(text, WHITE, ink_left=left + glyph_w + gap, cap_middle=h / 2.0,
           shadow=(face["shadow"], 0, 1, 0.55))
    return c


def close_button(focus):
    w = h = 21
    c = Canvas(w, h, HEADER)
    if focus:
        c.paint(shape(w, h, rrect_path(1, 1, 20, 20, 5)), (150, 18, 18))
        c.paint(shape(w, h, rrect_path(2, 2, 19, 19, 4)),
                vgrad([(2, (246, 92, 80)), (19, (206, 28, 28))]))
    cross = poly_path([(6.5, 6.5), (14.5, 14.5)], closed=False) + " " + \
        poly_path([(14.5, 6.5), (6.5, 14.5)], closed=False)
    c.paint(shape(w, h, stroke(2.2, cross)), WHITE)
    return c


def solid(w, h, colour):
    return Canvas(w, h, colour)


def shield_badge(c, x, y, w, h, fill, check_width):
    c.paint(shape(c.width, c.height, shield_path(x, y, w, h)), fill)
    c.paint(shape(c.width, c.height, stroke(check_width, poly_path(check_points(x, y, w, h),
                                                                    closed=False))), WHITE)


def download_link(focus):
    w, h = 313, 43
    c = Canvas(w, h, WHITE)
    first = Text("Get complete protection \u2014", FONT_BOLD, 14)
    second = Text("download Bastion Keeper \u00bb", FONT, 13)
    badge_w, gap = 26, 12
    block = max(first.ink_width, second.ink_width)
    left = int(round((w - (badge_w + gap + block)) / 2.0))
    shield_badge(c, left, 6, badge_w, 31, HEADER, 3.4)
    ink = ACCENT_TEXT if focus else NAVY
    link = ACCENT_TEXT if focus else LINK_BLUE
    text_left = left + badge_w + gap
    c.text(first, ink, ink_left=text_left, cap_middle=12)
    c.text(second, link, ink_left=text_left, cap_middle=30, underline=(2, 1) if focus else None)
    return c


def utility_link(focus):
    w, h = 244, 28
    c = Canvas(w, h, LIGHT)
    c.text(("More free removal utilities \u00bb", FONT, 12), ACCENT_TEXT if focus else LINK_BLUE,
           centre_x=w / 2.0, cap_middle=13, underline=(2, 1) if focus else None)
    return c


def maker_logo(focus):
    w, h = 38, 36
    c = Canvas(w, h, LIGHT)
    box = (3, 2, 35, 34)
    if focus:
        c.paint(shape(w, h, rrect_path(1, 0, 37, 36, 9)), (120, 190, 255), opacity=0.6)
        stops = [(2, (60, 140, 255)), (34, (10, 64, 200))]
    else:
        stops = [(2, (34, 100, 220)), (34, (14, 38, 110))]
    c.paint(shape(w, h, rrect_path(*box, 7)), (8, 28, 90))
    c.paint(shape(w, h, rrect_path(box[0] + 1, box[1] + 1, box[2] - 1, box[3] - 1, 6)),
            vgrad(stops))
    # A V of two strokes: the left one white, the right one the accent.
    c.paint(shape(w, h, stroke(4.4, poly_path([(11.0, 10.0), (19.0, 26.0)], closed=False),
                               cap="round")), WHITE)
    c.paint(shape(w, h, stroke(4.4, poly_path([(19.0, 26.0), (27.0, 10.0)], closed=False),
                               cap="round")), ACCENT)
    return c


# --- message dialog icons ------------------------------------------------------------------------

ICON_W, ICON_H = 42, 40


def speech_bubble(c):
    w, h = c.width, c.height
    cx, cy, rx, ry = 21.0, 17.5, 18.5, 15.0
    tail = [(9.0, 25.0), (6.5, 37.5), (19.0, 30.5)]
    tail_in = [(10.5, 25.5), (8.6, 34.8), (18.0, 29.3)]
    c.paint(shape(w, h, ellipse(cx + 0.8, cy + 1.2, rx, ry) + " " + poly_path(
        [(x + 0.8, y + 1.2) for x, y in tail])), (60, 110, 170), opacity=0.25)
    c.paint(shape(w, h, ellipse(cx, cy, rx, ry) + " " + poly_path(tail)), (66, 118, 196))
    c.paint(shape(w, h, ellipse(cx, cy, rx - 1.2, ry - 1.2) + " " + poly_path(tail_in)),
            vgrad([(3, WHITE), (32, (226, 238, 252))]))
    return cx, cy


def icon_information():
    c = Canvas(ICON_W, ICON_H, LIGHT)
    cx, cy = speech_bubble(c)
    c.paint(shape(ICON_W, ICON_H, ellipse(cx, 9.6, 2.3, 2.3)), LINK_BLUE)
    c.paint(shape(ICON_W, ICON_H,
                  poly_path([(18.3, 14.0), (22.9, 14.0), (22.9, 24.6), (24.6, 24.6), (24.6, 26.6),
                             (17.6, 26.6), (17.6, 24.6), (19.3, 24.6), (19.3, 16.0),
                             (18.3, 16.0)])), LINK_BLUE)
    return c


def icon_question():
    c = Canvas(ICON_W, ICON_H, LIGHT)
    cx, cy = speech_bubble(c)
    c.text(("?", FONT_BOLD, 22), LINK_BLUE, centre_x=cx, cap_middle=cy)
    return c


def inset_triangle(points, d):
    """The triangle whose sides lie d inside those of the given one."""
    (ax, ay), (bx, by), (cx, cy) = points
    a = math.hypot(bx - cx, by - cy)
    b = math.hypot(ax - cx, ay - cy)
    cc = math.hypot(ax - bx, ay - by)
    p = a + b + cc
    ix, iy = (a * ax + b * bx + cc * cx) / p, (a * ay + b * by + cc * cy) / p
    s = p / 2.0
    r = math.sqrt(s * (s - a) * (s - b) * (s - cc)) / s
    k = (r - d) / r
    return [(ix + (x - ix) * k, iy + (y - iy) * k) for x, y in points]


def icon_warning():
    w, h = ICON_W, ICON_H
    c = Canvas(w, h, LIGHT)
    tri = [(21.0, 4.5), (38.0, 35.0), (4.0, 35.0)]
    c.paint(shape(w, h, "stroke white stroke-width 3 stroke-linejoin round " +
                  poly_path([(x + 0.8, y + 1.2) for x, y in tri])), (90, 110, 140), opacity=0.25)
    c.paint(shape(w, h, "stroke white stroke-width 3 stroke-linejoin round " + poly_path(tri)),
            (176, 120, 0))
    c.paint(shape(w, h, poly_path(inset_triangle(tri, 0.4))),
            vgrad([(4, (255, 232, 90)), (36, (250, 186, 8))]))
    c.paint(shape(w, h, poly_path([(19.4, 13.0), (22.6, 13.0), (21.9, 26.5), (20.1, 26.5)]) + " " +
                  ellipse(21.0, 13.2, 1.6, 1.0) + " " + ellipse(21.0, 31.0, 2.0, 2.0)),
            (0, 0, 0))
    return c


def icon_error():
    w, h = ICON_W, ICON_H
    c = Canvas(w, h, LIGHT)
    cx, cy, r = 21.0, 19.5, 17.5
    c.paint(shape(w, h, ellipse(cx + 0.8, cy + 1.0, r, r)), (90, 60, 80), opacity=0.25)
    c.paint(shape(w, h, ellipse(cx, cy, r, r)), (150, 14, 14))
    c.paint(shape(w, h, ellipse(cx, cy, r - 1.2, r - 1.2)),
            vgrad([(2, (250, 100, 86)), (38, (198, 22, 22))]))
    d = 6.6
    cross = poly_path([(cx - d, cy - d), (cx + d, cy + d)], closed=False) + " " + \
        poly_path([(cx + d, cy - d), (cx - d, cy + d)], closed=False)
    c.paint(shape(w, h, stroke(4.0, cross, cap="round")), WHITE)
    return c


# --- the program icon ----------------------------------------------------------------------------

def program_icon(size):
    c = Canvas(size, size)
    s = size / 32.0
    x, y, w, h = 3.0 * s, 1.0 * s, 26.0 * s, 30.0 * s
    border = max(1.0, 1.4 * s)
    c.paint(shape(size, size, shield_path(x, y, w, h)), (0, 38, 140))
    ix, iy = x + border, y + border * 1.15
    iw, ih = w - 2 * border, h - 2.3 * border
    c.paint(shape(size, size, shield_path(ix, iy, iw, ih)),
            vgrad([(iy, (84, 156, 255)), (iy + ih * 0.55, (14, 92, 246)), (iy + ih, (4, 58, 196))]))
    check_w = 4.2 * s if size <= 16 else 3.6 * s
    c.paint(shape(size, size, stroke(check_w, poly_path(check_points(x, y, w, h), closed=False))),
            WHITE)
    return c


# --- palettes ------------------------------------------------------------------------------------

def median_cut(weighted, boxes_wanted):
    """Splits {colour: count} into at most boxes_wanted boxes, always the one with the largest
    weighted spread, along its widest channel at the weighted median; returns the mean colour
    of each box."""
    boxes = [sorted(weighted.items())]

    def spread(box):
        total = sum(n for _, n in box)
        best = (0.0, 0)
        for k in range(3):
            mean = sum(c[k] * n for c, n in box) / total
            var = sum((c[k] - mean) ** 2 * n for c, n in box)
            best = max(best, (var, k))
        return best

    while len(boxes) < boxes_wanted:
        scored = [(spread(b), i) for i, b in enumerate(boxes) if len(b) > 1]
        if not scored:
            break
        (var, channel), index = max(scored)
        if var <= 0:
            break
        box = sorted(boxes.pop(index), key=lambda item: (item[0][channel], item[0]))
        total = sum(n for _, n in box)
        run = 0
        cut = 1
        for i, (_, n) in enumerate(box):
            run += n
            if run * 2 >= total:
                cut = min(max(i + 1, 1), len(box) - 1)
                break
        boxes.insert(index, box[cut:])
        boxes.insert(index, box[:cut])
    means = []
    for box in boxes:
        total = sum(n for _, n in box)
        means.append(tuple(int(sum(c[k] * n for c, n in box) / total + 0.5) for k in range(3)))
    return means


def avoid_system_greys(colour):
    if colour in SYSTEM_GREYS:
        return (colour[0] + 1, colour[1] + 1, colour[2] + 2)
    return colour


def quantise(pixels, colours, keep):
    """A palette of at most `colours` entries and each pixel's index, no dithering. The colours
    in `keep`, and any colour that covers a sizeable patch, are kept exactly."""
    counts = collections.Counter(pixels)
    if len(counts) <= colours:
        palette = sorted(counts)
    else:
        reserved = [k for k in keep if k in counts]
        big = max(24, len(pixels) // 500)
        for colour, n in sorted(counts.items(), key=lambda item: (-item[1], item[0])):
            if len(reserved) >= colours // 4:
                break
            if n >= big and colour not in reserved:
                reserved.append(colour)
        rest = {c: n for c, n in counts.items() if c not in set(reserved)}
        palette = reserved + [c for c in median_cut(rest, colours - len(reserved))
                              if c not in reserved]
    palette = [avoid_system_greys(c) for c in palette]
    palette = list(dict.fromkeys(palette))
    nearest = {}
    for colour in counts:
        best = min(range(len(palette)), key=lambda i: (
            (palette[i][0] - colour[0]) ** 2 * 3 + (palette[i][1] - colour[1]) ** 2 * 4 +
            (palette[i][2] - colour[2]) ** 2 * 2, i))
        nearest[colour] = best
    return palette, [nearest[p] for p in pixels]


# --- file formats --------------------------------------------------------------------------------

def bmp_bytes(width, height, bits, pixels, colours=None, keep=()):
    """A bottom-up BITMAPINFOHEADER bitmap of 24, 8 or 4 bits per pixel."""
    rgb = pixels
    if bits == 24:
        rgb = [avoid_system_greys(p) for p in rgb]
        palette = []
        stride = (width * 3 + 3) & ~3
        rows = []
        for y in range(height - 1, -1, -1):
            row = bytearray()
            for x in range(width):
                r, g, b = rgb[y * width + x]
                row += bytes((b, g, r))
            row += b"\0" * (stride - len(row))
            rows.append(bytes(row))
    else:
        palette, index = quantise(rgb, colours or (1 << bits), keep)
        if len(palette) > (1 << bits):
            raise Failure("palette of %d entries for %d bits" % (len(palette), bits))
        stride = ((width * bits + 31) // 32) * 4
        rows = []
        for y in range(height - 1, -1, -1):
            line = index[y * width:(y + 1) * width]
            if bits == 8:
                row = bytearray(line)
            else:
                row = bytearray()
                for x in range(0, width, 2):
                    hi = line[x]
                    lo = line[x + 1] if x + 1 < width else 0
                    row.append((hi << 4) | lo)
            row += b"\0" * (stride - len(row))
            rows.append(bytes(row))
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    data = b"".join(rows)
    offset = 14 + 40 + len(table)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(data), 2835, 2835,
                       len(palette), 0)
    head = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    return head + info + table + data


def read_bmp(data, name):
    """Checks the headers and returns (width, height, bits, palette, pixel rows top-down)."""
    def fail(why):
        raise Failure("%s: %s" % (name, why))
    if len(data) < 54:
        fail("too short")
    magic, size, _, _, offset = struct.unpack("<2sIHHI", data[:14])
    (header, width, height, planes, bits, compression, image_size, _, _, used,
     _) = struct.unpack("<IiiHHIIiiII", data[14:54])
    if magic != b"BM" or size != len(data):
        fail("bad file header")
    if header != 40:
        fail("info header of %d bytes, not a BITMAPINFOHEADER" % header)
    if height <= 0:
        fail("not stored bottom-up")
    if planes != 1 or compression != 0:
        fail("planes %d, compression %d" % (planes, compression))
    entries = used or (1 << bits if bits <= 8 else 0)
    if bits <= 8 and not 0 < entries <= (1 << bits):
        fail("%d colour table entries for %d bits" % (entries, bits))
    if bits > 8:
        entries = 0
    palette = []
    for i in range(entries):
        b, g, r, _ = data[54 + 4 * i:58 + 4 * i]
        palette.append((r, g, b))
    stride = ((width * bits + 31) // 32) * 4
    if offset != 54 + 4 * entries or len(data) - offset != stride * height or \
            image_size not in (0, stride * height):
        fail("pixel data does not fit the headers")
    rows = []
    for y in range(height):
        raw = data[offset + (height - 1 - y) * stride:offset + (height - y) * stride]
        row = []
        for x in range(width):
            if bits == 24:
                b, g, r = raw[3 * x:3 * x + 3]
                row.append((r, g, b))
            else:
                i = raw[x] if bits == 8 else (raw[x // 2] >> (4 if x % 2 == 0 else 0)) & 15
                if i >= len(palette):
                    fail("pixel index %d past the colour table" % i)
                row.append(palette[i])
        rows.append(row)
    return width, height, bits, palette, rows


def ico_bytes(images):
    """A Windows icon of 32-bit images (with the AND mask derived from alpha)."""
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for size, rgba in images:
        rows = []
        for y in range(size - 1, -1, -1):
            rows.append(b"".join(bytes((b, g, r, a)) for r, g, b, a in rgba[y * size:(y + 1) * size]))
        xor = b"".join(rows)
        mask_stride = ((size + 31) // 32) * 4
        mask = bytearray()
        for y in range(size - 1, -1, -1):
            row = bytearray(mask_stride)
            for x in range(size):
                if rgba[y * size + x][3] == 0:
                    row[x // 8] |= 0x80 >> (x % 8)
            mask += row
        info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask),
                           0, 0, 0, 0)
        blob = info + xor + bytes(mask)
        entries.append(struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob),
                                   offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(blobs)


def read_ico(data):
    """Checks the icon's directory and images; returns {size: rgba rows top-down}."""
    def fail(why):
        raise Failure("vexpurge.ico: %s" % why)
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    if reserved != 0 or kind != 1 or count == 0:
        fail("bad directory")
    images = {}
    for i in range(count):
        w, h, _, _, planes, bits, length, offset = struct.unpack(
            "<BBBBHHII", data[6 + 16 * i:22 + 16 * i])
        size = w or 256
        blob = data[offset:offset + length]
        if len(blob) != length or h != w:
            fail("entry %d does not fit the file" % i)
        header, bw, bh, _, bbits, compression = struct.unpack("<IiiHHI", blob[:20])
        if header != 40 or bw != size or bh != 2 * size or bbits != bits or bits != 32 or \
                compression != 0:
            fail("image %d's header disagrees with its directory entry" % i)
        mask_stride = ((size + 31) // 32) * 4
        if length != 40 + size * size * 4 + mask_stride * size:
            fail("image %d has the wrong length" % i)
        rows = []
        for y in range(size):
            at = 40 + (size - 1 - y) * size * 4
            mat = 40 + size * size * 4 + (size - 1 - y) * mask_stride
            row = []
            for x in range(size):
                b, g, r, a = blob[at + 4 * x:at + 4 * x + 4]
                hidden = (blob[mat + x // 8] >> (7 - x % 8)) & 1
                if hidden != (a == 0):
                    fail("%d px image: mask and alpha disagree at (%d, %d)" % (size, x, y))
                row.append((r, g, b, a))
            rows.append(row)
        images[size] = rows
    return images


# --- what is written -----------------------------------------------------------------------------

def pictures():
    """(file name, width, height, bits, canvas, exact colours) for every bitmap."""
    out = [("skin.bmp", SKIN_W, SKIN_H, 8, draw_skin(), (MAGENTA, HEADER, LIGHT, WHITE))]
    for name, caption in (("ok", "OK"), ("cancel", "Cancel"), ("yes", "Yes"), ("no", "No")):
        for state in ("focus", "notfocus"):
            out.append(("%s_%s.bmp" % (name, state), 92, 24, 8,
                        caption_button(caption, state == "focus"), (LIGHT, WHITE)))
    for name, caption, glyph in (("scan", "Scan Now", magnifier),
                                 ("download", "Download", down_arrow)):
        for state in ("focus", "notfocus"):
            out.append(("%s_%s.bmp" % (name, state), 180, 33, 8,
                        action_button(caption, glyph, state == "focus"), (LIGHT, WHITE)))
        out.append(("%s_disable.bmp" % name, 180, 33, 4, solid(180, 33, LIGHT), (LIGHT,)))
    for state in ("focus", "notfocus"):
        focus = state == "focus"
        out.append(("x_%s.bmp" % state, 21, 21, 8, close_button(focus), (HEADER, WHITE)))
        out.append(("dlink_%s.bmp" % state, 313, 43, 4, download_link(focus), (WHITE,)))
        out.append(("ulink_%s.bmp" % state, 244, 28, 8, utility_link(focus), (LIGHT,)))
        out.append(("velmoralogo_%s.bmp" % state, 38, 36, 8, maker_logo(focus), (LIGHT, WHITE)))
    for name, draw in (("information", icon_information), ("question", icon_question),
                       ("warning", icon_warning), ("error", icon_error)):
        out.append(("icon_%s.bmp" % name, ICON_W, ICON_H, 24, draw(), ()))
    return out


ICON_SIZES = (16, 32, 48)


def build():
    """{path: bytes} for every file, or Failure."""
    files = {}
    for name, width, height, bits, canvas, keep in pictures():
        if (canvas.width, canvas.height) != (width, height):
            raise Failure("%s drawn at %dx%d" % (name, canvas.width, canvas.height))
        files[os.path.join(BITMAP_DIR, name)] = bmp_bytes(width, height, bits, canvas.rgb(),
                                                          keep=keep)
    files[ICON_PATH] = ico_bytes([(size, program_icon(size).rgba()) for size in ICON_SIZES])
    verify(files)
    return files


# --- checks on the bytes about to be written -----------------------------------------------------

EXPECTED = {
    "skin.bmp": (527, 338, 8),
    "scan_disable.bmp": (180, 33, 4), "download_disable.bmp": (180, 33, 4),
    "x_focus.bmp": (21, 21, 8), "x_notfocus.bmp": (21, 21, 8),
    "dlink_focus.bmp": (313, 43, 4), "dlink_notfocus.bmp": (313, 43, 4),
    "ulink_focus.bmp": (244, 28, 8), "ulink_notfocus.bmp": (244, 28, 8),
    "velmoralogo_focus.bmp": (38, 36, 8), "velmoralogo_notfocus.bmp": (38, 36, 8),
}
for _name in ("ok", "cancel", "yes", "no"):
    for _state in ("focus", "notfocus"):
        EXPECTED["%s_%s.bmp" % (_name, _state)] = (92, 24, 8)
for _name in ("scan", "download"):
    for _state in ("focus", "notfocus"):
        EXPECTED["%s_%s.bmp" % (_name, _state)] = (180, 33, 8)
for _name in ("information", "question", "warning", "error"):
    EXPECTED["icon_%s.bmp" % _name] = (42, 40, 24)


def verify(files):
    decoded = {}
    for name, (width, height, bits) in EXPECTED.items():
        path = os.path.join(BITMAP_DIR, name)
        if path not in files:
            raise Failure("%s is not drawn" % name)
        got = read_bmp(files[path], name)
        if got[:3] != (width, height, bits):
            raise Failure("%s is %dx%d at %d bits, wants %dx%d at %d" % ((name,) + got[:3] +
                                                                        (width, height, bits)))
        decoded[name] = got
    extra = set(os.path.basename(p) for p in files if p != ICON_PATH) - set(EXPECTED)
    if extra:
        raise Failure("unexpected files: %s" % sorted(extra))

    for name, (_, _, _, palette, rows) in decoded.items():
        greys = SYSTEM_GREYS.intersection(palette if palette else
                                          {p for row in rows for p in row})
        if greys:
            raise Failure("%s uses %s, which Windows swaps for a system colour" % (name, greys))

    def pixel(name, x, y):
        return decoded[name][4][y][x]

    def require_area(name, area, colour, what, skip=lambda x, y: False):
        x0, y0, x1, y1 = area
        for y in range(y0, y1):
            for x in range(x0, x1):
                if pixel(name, x, y) != colour and not skip(x, y):
                    raise Failure("%s: %s at (%d, %d) is %s, wants %s"
                                  % (name, what, x, y, pixel(name, x, y), colour))

    # The skin: a hard cut, one run of window per row, and the plain cells the program uses.
    rows = decoded["skin.bmp"][4]
    for y, row in enumerate(rows):
        inside = [x for x, p in enumerate(row) if p != MAGENTA]
        if not inside or inside[-1] - inside[0] + 1 != len(inside):
            raise Failure("skin.bmp: row %d has a hole in the window or no window at all" % y)
        if SKIN_RADIUS <= y < SKIN_H - SKIN_RADIUS and len(inside) != SKIN_W:
            raise Failure("skin.bmp: row %d does not span the width" % y)
        for x in inside:
            p = row[x]
            if (p[0] - 255) ** 2 + p[1] ** 2 + (p[2] - 255) ** 2 < 110 ** 2:
                raise Failure("skin.bmp: (%d, %d) is %s, too near the cut-out magenta" % (x, y, p))
    for corner in ((0, 0), (SKIN_W - 1, 0), (0, SKIN_H - 1), (SKIN_W - 1, SKIN_H - 1)):
        if pixel("skin.bmp", *corner) != MAGENTA:
            raise Failure("skin.bmp: corner %s is not cut out" % (corner,))
    require_area("skin.bmp", FAMILY_CELLS, HEADER, "the family line's cells")
    # The window's rounded corner (and its outline) runs under the close button's top right
    # pixels; everywhere else around the button is the header's plain blue.
    on_edge = lambda x, y: not inside_rounded(x + 3, y - 3, SKIN_W, SKIN_H, SKIN_RADIUS)
    require_area("skin.bmp", CLOSE_AREA, HEADER, "the close button's corner", on_edge)
    require_area("skin.bmp", (2, HEADER_END, SKIN_W - 2, BAND_END - 1), LIGHT, "the button band")
    require_area("skin.bmp", (2, BAND_END, SKIN_W - 2, FOOTER_TOP), WHITE, "the body")
    for what, area in SKIN_CONTROLS.items():
        band = HEADER if what == "close" else (LIGHT if area[1] < BAND_END or area[1] >= FOOTER_TOP
                                               else WHITE)
        require_area("skin.bmp", area, band, "the %s's place" % what, on_edge)

    # Button faces: corners exactly the colour they sit on; a highlight that differs; captions
    # centred on the face.
    for name, (width, height, bits, _, _) in decoded.items():
        if name == "skin.bmp" or name.startswith("icon_"):
            continue
        ground = HEADER if name.startswith("x_") else (WHITE if name.startswith("dlink") else LIGHT)
        for x, y in ((0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1)):
            if pixel(name, x, y) != ground:
                raise Failure("%s: corner (%d, %d) is %s, not the %s it sits on"
                              % (name, x, y, pixel(name, x, y), ground))
    for name in ("scan_disable.bmp", "download_disable.bmp"):
        require_area(name, (0, 0, 180, 33), LIGHT, "the disabled face")
    for base in ("ok", "cancel", "yes", "no", "scan", "download", "x", "dlink", "ulink",
                 "velmoralogo"):
        a, b = decoded[base + "_focus.bmp"][4], decoded[base + "_notfocus.bmp"][4]
        differ = sum(1 for ra, rb in zip(a, b) for pa, pb in zip(ra, rb) if pa != pb)
        if differ < 0.03 * len(a) * len(a[0]):
            raise Failure("%s: the highlight hardly differs from the normal face" % base)
    for base in ("ok", "cancel", "yes", "no", "scan", "download", "x"):
        for state in ("focus", "notfocus"):
            name = "%s_%s.bmp" % (base, state)
            rows = decoded[name][4]
            ink = [(x, y) for y, row in enumerate(rows) for x, p in enumerate(row)
                   if min(p) >= 235]
            if len(ink) < 20:
                raise Failure("%s: no caption" % name)
            mid_x = (min(x for x, _ in ink) + max(x for x, _ in ink) + 1) / 2.0
            mid_y = (min(y for _, y in ink) + max(y for _, y in ink) + 1) / 2.0
            if abs(mid_x - len(rows[0]) / 2.0) > 1.5 or abs(mid_y - len(rows) / 2.0) > 2.5:
                raise Failure("%s: the caption is off centre (%.1f, %.1f)" % (name, mid_x, mid_y))

    # Dialog icons: the picture is centred and everything around it is the dialog's colour.
    for name in ("icon_information.bmp", "icon_question.bmp", "icon_warning.bmp",
                 "icon_error.bmp"):
        rows = decoded[name][4]
        drawn = [(x, y) for y, row in enumerate(rows) for x, p in enumerate(row) if p != LIGHT]
        if not drawn:
            raise Failure("%s is blank" % name)
        x0, x1 = min(x for x, _ in drawn), max(x for x, _ in drawn) + 1
        y0, y1 = min(y for _, y in drawn), max(y for _, y in drawn) + 1
        if min(x0, y0, ICON_W - x1, ICON_H - y1) < 1 or abs((x0 + x1) - ICON_W) > 2 or \
                abs((y0 + y1) - ICON_H) > 2:
            raise Failure("%s: the picture (%d..%d, %d..%d) is not centred with a margin"
                          % (name, x0, x1, y0, y1))

    images = read_ico(files[ICON_PATH])
    if sorted(images) != list(ICON_SIZES):
        raise Failure("vexpurge.ico holds sizes %s" % sorted(images))
    for size, rows in images.items():
        if rows[0][0][3] != 0 or rows[size // 2][size // 2][3] != 255:
            raise Failure("vexpurge.ico: the %d px image is not a shape on a clear ground" % size)


# --- contact sheet -------------------------------------------------------------------------------

def write_sheet(files, out):
    """Every picture at twice its size (the icon at four times) with its name under it."""
    import tempfile
    ground = "#8a94a6"
    with tempfile.TemporaryDirectory() as tmp:
        tiles = []
        for path in sorted(files):
            name = os.path.basename(path)
            src = os.path.join(tmp, name)
            with open(src, "wb") as f:
                f.write(files[path])
            tile = os.path.join(tmp, name + ".png")
            if path == ICON_PATH:
                picture = ["(", "ico:" + src, "-scale", "400%", "+append", ")"]
                name += " (x4)"
            else:
                picture = [src, "-scale", "200%"]
            convert(["-background", ground] + picture +
                    ["-fill", "black", "-font", FONT, "-pointsize", "12", "label:" + name,
                     "-gravity", "center", "-append", "-bordercolor", ground, "-border", "6",
                     tile])
            tiles.append(tile)
        skin = [t for t in tiles if os.path.basename(t).startswith("skin")]
        rest = [t for t in tiles if t not in skin]
        rows = []
        for i in range(0, len(rest), 7):
            rows += ["("] + rest[i:i + 7] + ["-gravity", "south", "+append", ")"]
        convert(["-background", ground] + skin + rows +
                ["-gravity", "northwest", "-append", "-strip", out])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="exit 1 if the files on disk differ from what would be written")
    parser.add_argument("--sheet", metavar="PNG", help="also write a contact sheet")
    args = parser.parse_args()
    try:
        files = build()
    except Failure as error:
        print("gen_resources: %s" % error, file=sys.stderr)
        return 2
    if args.sheet:
        write_sheet(files, args.sheet)
    if args.check:
        stale = []
        for path, data in sorted(files.items()):
            try:
                with open(path, "rb") as f:
                    current = f.read()
            except OSError:
                current = None
            if current != data:
                stale.append(os.path.relpath(path, ROOT))
        if stale:
            print("out of date (run tools/gen_resources.py): %s" % ", ".join(stale),
                  file=sys.stderr)
            return 1
        return 0
    for path, data in sorted(files.items()):
        with open(path, "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
