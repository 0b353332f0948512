#!/usr/bin/env python3
"""Small sample images of the single-file and descriptor formats, made from one data
track's user sectors, for `skellmere-sim read --expect`: every sample must serve exactly
the sectors of sample.iso, which is written beside them.

    sim/make-format-samples.py OUTDIR
"""
import os
import random
import struct
import sys

SECTORS = 300


def user_data():
    rng = random.Random(12)
    data = bytearray(rng.randbytes(SECTORS * 2048))
    # A volume descriptor where converters and file-system probes look for one.
    data[16 * 2048:16 * 2048 + 7] = b"\x01CD001\x01"
    return bytes(data)


def cdi_track_block(pregap, length, mode, start, size_code):
    b = struct.pack("<I", 0)
    b += bytes([0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF]) * 2
    b += bytes(4) + bytes([10]) + b"sample.cdi" + bytes(19)
    b += struct.pack("<I", 0) + bytes(2)
    b += struct.pack("<II", pregap, length) + bytes(6) + struct.pack("<I", mode) + bytes(12)
    b += struct.pack("<II", start, pregap + length) + bytes(16) + struct.pack("<I", size_code)
    b += bytes(29) + bytes(5) + struct.pack("<I", 0)
    return b


def cdi(user, stored_before=True):
    """Version 3.5: one session, one mode 1 track of user data with its 150-sector pregap
    stored before it. `stored_before` False gives only the descriptor and footer (the fuzz
    seed, whose first four bytes say how much data lies before)."""
    pregap = 150
    length = len(user) // 2048
    data = bytes(pregap * 2048) + user
    header = struct.pack("<HH", 1, 1) + cdi_track_block(pregap, length, 1, 0, 0) + bytes(13)
    header += bytes(64)
    tail = header + struct.pack("<II", 0x80000006, len(header) + 8)
    if stored_before:
        return data + tail
    return struct.pack(">I", len(data)) + tail


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    user = user_data()
    with open(os.path.join(out, "sample.iso"), "wb") as f:
        f.write(user)
    with open(os.path.join(out, "sample.cdi"), "wb") as f:
        f.write(cdi(user))


if __name__ == "__main__" and len(sys.argv) == 3 and sys.argv[1] == "--seed":
    fmt = sys.argv[2]
    seeds = {"cdi": lambda: cdi(user_data()[: 20 * 2048], stored_before=False)}
    sys.stdout.buffer.write(seeds[fmt]())
elif __name__ == "__main__":
    main()
