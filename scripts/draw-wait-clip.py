#!/usr/bin/env python3
"""Draws the progress box's animation: a disc spinning, 32 x 32, twelve frames at 10 frames
a second, written as an uncompressed 24-bit RIFF AVI (what the animation control decodes).

The background is magenta; the control shows it transparent (its key is the first frame's
top-left pixel). Usage: scripts/draw-wait-clip.py [OUT]  (default resources/art/wait-30103.avi)
"""
import math
import os
import struct
import sys

W = H = 32
FRAMES = 12
KEY = (255, 0, 255)


def frame(n):
    rot = 2 * math.pi * n / FRAMES
    rows = []
    for y in range(H):
        row = []
        for x in range(W):
            dx, dy = x + 0.5 - W / 2, y + 0.5 - H / 2
            r = math.hypot(dx, dy)
            if r > 14.5 or r < 2.5:
                row.append(KEY)
                continue
            if r > 13.5 or (r < 3.5):
                row.append((96, 96, 104))  # the rim and the edge of the hole
                continue
            if r < 6.0:
                row.append((200, 200, 206))  # the clear hub
                continue
            theta = math.atan2(dy, dx)
            sheen = 0.5 + 0.5 * math.cos(2 * (theta - rot))
            # A rainbow in the sheen, as the tracks of a pressed disc show it.
            hue = (theta - rot) / (2 * math.pi)
            tint = [0.5 + 0.5 * math.cos(2 * math.pi * (hue + k / 3)) for k in range(3)]
            base = 150 + 90 * sheen
            c = tuple(max(0, min(255, int(base * (0.8 + 0.2 * t)))) for t in tint)
            if c == KEY:
                c = (254, 0, 254)
            row.append(c)
        rows.append(row)
    stride = (W * 3 + 3) // 4 * 4
    out = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        for (r, g, b) in row:
            line += bytes((b, g, r))
        line += b"\0" * (stride - len(line))
        out += line
    return bytes(out)


def chunk(fourcc, data):
    pad = b"\0" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", len(data)) + data + pad


def lst(kind, data):
    return b"LIST" + struct.pack("<I", len(data) + 4) + kind + data


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "resources", "art", "wait-30103.avi")
    frames = [frame(n) for n in range(FRAMES)]
    size = len(frames[0])
    avih = struct.pack("<IIIIIIIIII16x", 100000, size * 10, 0, 0x10, FRAMES, 0, 1, size, W, H)
    strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"DIB ", 0, 0, 0, 0, 1, 10, 0, FRAMES, size, 0xFFFFFFFF, 0, 0, 0, W, H)
    strf = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, size, 0, 0, 0, 0)
    hdrl = lst(b"hdrl", chunk(b"avih", avih) + lst(b"strl", chunk(b"strh", strh) + chunk(b"strf", strf)))
    movi_body = b""
    index = b""
    for f in frames:
        offset = 4 + len(movi_body)  # from the 'movi' identifier
        index += b"00db" + struct.pack("<III", 0x10, offset, len(f))
        movi_body += chunk(b"00db", f)
    riff = b"AVI " + hdrl + lst(b"movi", movi_body) + chunk(b"idx1", index)
    with open(out, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(riff)) + riff)


if __name__ == "__main__":
    main()
