#!/usr/bin/env python3
"""Draws the program's artwork (menu icons, the menu sidebar, the program icon) as PNG files
into resources/art/. The pictures are ours, drawn from simple shapes at four times their size
and scaled down for smooth edges. Run it again after changing a drawing; the PNG files are
kept in the repository so that the build does not need this script."""
import math
import os
import struct
import sys
import zlib

SS = 4  # supersampling factor


class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w * SS, h * SS
        self.ow, self.oh = w, h
        self.px = [[(0, 0, 0, 0)] * self.w for _ in range(self.h)]

    def blend(self, x, y, rgba):
        if 0 <= x < self.w and 0 <= y < self.h:
            r, g, b, a = rgba
            dr, dg, db, da = self.px[y][x]
            fa = a / 255.0
            na = a + da * (1 - fa)
            if na == 0:
                return
            mix = lambda s, d: (s * a + d * da * (1 - fa)) / na
            self.px[y][x] = (mix(r, dr), mix(g, dg), mix(b, db), na)

    def shape(self, inside, rgba, box=None):
        x0, y0, x1, y1 = box or (0, 0, self.ow, self.oh)
        for y in range(int(y0 * SS), int(math.ceil(y1 * SS))):
            for x in range(int(x0 * SS), int(math.ceil(x1 * SS))):
                if inside((x + 0.5) / SS, (y + 0.5) / SS):
                    self.blend(x, y, rgba)

    def rect(self, x0, y0, x1, y1, rgba):
        self.shape(lambda x, y: x0 <= x < x1 and y0 <= y < y1, rgba, (x0, y0, x1, y1))

    def circle(self, cx, cy, r, rgba, inner=0.0):
        self.shape(lambda x, y: inner * inner <= (x - cx) ** 2 + (y - cy) ** 2 <= r * r, rgba,
                   (cx - r - 1, cy - r - 1, cx + r + 1, cy + r + 1))

    def polygon(self, pts, rgba):
        def inside(x, y):
            c = False
            for i in range(len(pts)):
                (ax, ay), (bx, by) = pts[i], pts[i - 1]
                if (ay > y) != (by > y) and x < (bx - ax) * (y - ay) / (by - ay) + ax:
                    c = not c
            return c
        xs, ys = [p[0] for p in pts], [p[1] for p in pts]
        self.shape(inside, rgba, (min(xs), min(ys), max(xs) + 1, max(ys) + 1))

    def line(self, x0, y0, x1, y1, width, rgba):
        def inside(x, y):
            dx, dy = x1 - x0, y1 - y0
            t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / float(dx * dx + dy * dy or 1)))
            return (x - x0 - t * dx) ** 2 + (y - y0 - t * dy) ** 2 <= (width / 2.0) ** 2
        self.shape(inside, rgba, (min(x0, x1) - width, min(y0, y1) - width, max(x0, x1) + width, max(y0, y1) + width))

    def png(self, path):
        rows = []
        for oy in range(self.oh):
            row = bytearray([0])
            for ox in range(self.ow):
                acc = [0.0] * 4
                for sy in range(SS):
                    for sx in range(SS):
                        r, g, b, a = self.px[oy * SS + sy][ox * SS + sx]
                        acc[0] += r * a
                        acc[1] += g * a
                        acc[2] += b * a
                        acc[3] += a
                a = acc[3] / (SS * SS)
                if acc[3] > 0:
                    row += bytes([int(acc[0] / acc[3] + 0.5), int(acc[1] / acc[3] + 0.5), int(acc[2] / acc[3] + 0.5), int(a + 0.5)])
                else:
                    row += bytes([0, 0, 0, 0])
            rows.append(bytes(row))
        raw = zlib.compress(b"".join(rows), 9)
        chunk = lambda t, d: struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)
        data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", self.ow, self.oh, 8, 6, 0, 0, 0)) + \
            chunk(b"IDAT", raw) + chunk(b"IEND", b"")
        with open(path, "wb") as f:
            f.write(data)


DARK = (40, 40, 40, 255)
WHITE = (255, 255, 255, 255)
GREEN = (40, 160, 60, 255)
RED = (200, 40, 40, 255)
BLUE = (40, 90, 190, 255)


def disc(c, cx=8, cy=8, r=6.5):
    c.circle(cx, cy, r, (110, 110, 120, 255))
    c.circle(cx, cy, r - 0.8, (205, 210, 220, 255))
    c.shape(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= (r - 1) ** 2 and -0.5 < (x - cx) - (y - cy) * 0.6 < 1.8,
            (150, 200, 255, 200))
    c.circle(cx, cy, 2.0, (110, 110, 120, 255))
    c.circle(cx, cy, 1.2, (0, 0, 0, 0))
    c.shape(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= 1.2 ** 2, (255, 255, 255, 0))


def drive(c, y0=4):
    c.rect(1, y0, 15, y0 + 8, (90, 90, 100, 255))
    c.rect(2, y0 + 1, 14, y0 + 7, (200, 200, 208, 255))
    c.rect(3, y0 + 3, 11, y0 + 4, DARK)
    c.rect(12, y0 + 5, 13, y0 + 6, (60, 200, 60, 255))


def plus(c, x, y, color):
    c.circle(x, y, 3.6, WHITE)
    c.circle(x, y, 3.0, color)
    c.rect(x - 2, y - 0.6, x + 2, y + 0.6, WHITE)
    c.rect(x - 0.6, y - 2, x + 0.6, y + 2, WHITE)


def minus(c, x, y, color):
    c.circle(x, y, 3.6, WHITE)
    c.circle(x, y, 3.0, color)
    c.rect(x - 2, y - 0.6, x + 2, y + 0.6, WHITE)


def cross(c, x, y, color):
    c.circle(x, y, 3.6, WHITE)
    c.circle(x, y, 3.0, color)
    c.line(x - 1.5, y - 1.5, x + 1.5, y + 1.5, 1.2, WHITE)
    c.line(x - 1.5, y + 1.5, x + 1.5, y - 1.5, 1.2, WHITE)


def gear(c, cx, cy, r, color):
    for k in range(8):
        a = k * math.pi / 4
        c.line(cx, cy, cx + math.cos(a) * r, cy + math.sin(a) * r, 2.2, color)
    c.circle(cx, cy, r * 0.72, color)
    c.circle(cx, cy, r * 0.3, WHITE)


def icon_exit(c):
    c.circle(8, 8, 6.5, RED, inner=4.8)
    c.rect(6, 0.5, 10, 5, (0, 0, 0, 0))
    c.shape(lambda x, y: 6 <= x < 10 and 0.5 <= y < 5, (255, 255, 255, 0))
    for y in range(0, 6 * SS):
        for x in range(6 * SS, 10 * SS):
            c.px[y][x] = (0, 0, 0, 0)
    c.rect(7.2, 1, 8.8, 8.5, RED)


def icon_preferences(c):
    gear(c, 8, 8, 7, (100, 105, 115, 255))


def icon_devices(c):
    drive(c, 2)
    drive(c, 8)


def icon_device(c):
    disc(c)


def icon_unmount(c):
    c.polygon([(2, 9), (8, 2), (14, 9)], BLUE)
    c.rect(2, 11, 14, 14, BLUE)


def icon_mount_image(c):
    disc(c, 7, 7, 6)
    plus(c, 12, 12, GREEN)


def icon_unmount_image(c):
    disc(c, 7, 7, 6)
    minus(c, 12, 12, RED)


def icon_about(c):
    c.circle(8, 8, 7, BLUE)
    c.circle(8, 4.5, 1.3, WHITE)
    c.rect(7, 6.8, 9, 12.5, WHITE)


def icon_create(c):
    drive(c, 2)
    plus(c, 12, 12, GREEN)


def icon_remove(c):
    drive(c, 2)
    cross(c, 12, 12, RED)


def icon_parameters(c):
    drive(c, 2)
    gear(c, 12, 12, 3.6, (90, 95, 105, 255))


def sidebar(path):
    c = Canvas(20, 300)
    for y in range(c.h):
        t = y / float(c.h)
        col = (int(20 + 20 * t), int(40 + 80 * t), int(110 + 60 * t), 255)
        for x in range(c.w):
            c.px[y][x] = col
    for k in range(5):  # a column of discs fading upwards
        a = int(60 + 40 * k)
        c.circle(10, 290 - 22 * k, 7, (230, 235, 245, a), inner=2)
    c.png(path)


def program_icon(path, size):
    c = Canvas(size, size)
    s = size / 16.0
    c.circle(8 * s, 8 * s, 7.5 * s, BLUE)
    c.circle(8 * s, 8 * s, 6.2 * s, (205, 210, 220, 255))
    c.circle(8 * s, 8 * s, 2.2 * s, BLUE)
    c.circle(8 * s, 8 * s, 1.0 * s, WHITE)
    c.png(path)


ICONS = [
    (110, "exit", icon_exit),
    (111, "preferences", icon_preferences),
    (112, "virtual-devices", icon_devices),
    (113, "device", icon_device),
    (114, "unmount", icon_unmount),
    (115, "mount-image", icon_mount_image),
    (116, "unmount-image", icon_unmount_image),
    (131, "about", icon_about),
    (134, "create-device", icon_create),
    (135, "remove-device", icon_remove),
    (137, "device-parameters", icon_parameters),
]


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "art")
    os.makedirs(out, exist_ok=True)
    for rid, name, draw in ICONS:
        c = Canvas(16, 16)
        draw(c)
        c.png(os.path.join(out, "menu-%d-%s.png" % (rid, name)))
    sidebar(os.path.join(out, "sidebar.png"))
    program_icon(os.path.join(out, "program-16.png"), 16)
    program_icon(os.path.join(out, "program-32.png"), 32)


if __name__ == "__main__":
    sys.exit(main())
