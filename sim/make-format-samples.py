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


def utf16(name):
    return name.encode("utf-16-le")


def b6t(user, data_name):
    """One session, one mode 1 track of 2,048-byte sectors in `data_name`, its pregap
    before the disc only declared."""
    sectors = len(user) // 2048
    block1 = bytearray(112)
    struct.pack_into("<III", block1, 0, 2, 2, 6)
    struct.pack_into("<HH", block1, 32, 0x08, 1)
    struct.pack_into("<H", block1, 86, 56)
    name = "C:\\images\\" + data_name
    blocks = struct.pack("<II", 1, 0)
    blocks += struct.pack("<II", 2, sectors * 2048) + bytes(16) + struct.pack("<I", 0) + bytes(12)
    blocks += struct.pack("<iiI", 0, sectors, len(utf16(name))) + utf16(name) + bytes(4)
    sessions = struct.pack("<HBBiiHH", 1, 4, 3, -150, sectors, 1, 1)
    for point in (0xA0, 0xA1, 0xA2):
        entry = bytearray(64)
        entry[12] = point
        sessions += bytes(entry)
    entry = bytearray(64)
    entry[0], entry[10], entry[11], entry[12] = 2, 4, 1, 1
    struct.pack_into("<I", entry, 22, 150)
    struct.pack_into("<ii", entry, 42, -150, sectors + 150)
    sessions += bytes(entry) + bytes(8)
    d = b"BWT5 STREAM SIGN" + bytes(block1) + bytes(32 + 48) + b"SAMPLE".ljust(32)
    d += struct.pack("<IIIII", 28, 4, len(blocks), len(sessions), 0)
    d += bytes(28 + 4 + 56) + blocks + sessions
    d += struct.pack("<I", len(d) + 20) + b"BWT5 STREAM FOOT"
    return d


def bcd(v):
    return (v // 10) << 4 | (v % 10)


def raw_mode1(user):
    """Raw mode 1 sectors of the user data from LBA 0; EDC and ECC are left zero, as
    nothing on the read path checks them."""
    out = bytearray()
    for lba in range(len(user) // 2048):
        a = lba + 150
        out += bytes([0] + [0xFF] * 10 + [0, bcd(a // 4500), bcd(a // 75 % 60), bcd(a % 75), 1])
        out += user[lba * 2048:(lba + 1) * 2048] + bytes(288)
    return bytes(out)


def counted(text):
    return struct.pack("<I", len(text)) + text


def bwt(user, data_name):
    """One session, one mode 1 track from LBA 0 in `data_name`, raw sectors synthesized
    from the user data."""
    sectors = len(user) // 2048
    d = b"BLINDWRITE TOC FILE" + struct.pack("<I", 2) + bytes(8)
    d += counted(b"SAMPLE") + counted(b"") + counted(b"")
    d += struct.pack("<I", 1) + counted(b"C:\\images\\" + data_name.encode()) + counted(b"")
    d += struct.pack("<I", 0) + bytes([0])
    d += counted(b"") + struct.pack("<I", 0) + bytes(9) + bytes([1, 0, 0x14, 0, 1, 0, 1])
    d += bytes(18) + struct.pack("<I", sectors - 1) + bytes(1) + struct.pack("<ii", 0, 0) + bytes(8)
    d += counted(b"") * 15
    return d


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    user = user_data()
    with open(os.path.join(out, "sample.iso"), "wb") as f:
        f.write(user)
    with open(os.path.join(out, "sample.cdi"), "wb") as f:
        f.write(cdi(user))
    with open(os.path.join(out, "sample.bwi"), "wb") as f:
        f.write(raw_mode1(user))
    with open(os.path.join(out, "sample.bwt"), "wb") as f:
        f.write(bwt(user, "sample.bwi"))
    for ext, data in (("b5t", "sample.b5i"), ("b6t", "sample.b6i")):
        with open(os.path.join(out, data), "wb") as f:
            f.write(user)
        with open(os.path.join(out, "sample." + ext), "wb") as f:
            f.write(b6t(user, data))


if __name__ == "__main__" and len(sys.argv) == 3 and sys.argv[1] == "--seed":
    fmt = sys.argv[2]
    seeds = {"cdi": lambda: cdi(user_data()[: 20 * 2048], stored_before=False),
             "b6t": lambda: b6t(user_data()[: 20 * 2048], "a.b00"),
             "bwt": lambda: bwt(user_data()[: 20 * 2048], "a.bwi")}
    sys.stdout.buffer.write(seeds[fmt]())
elif __name__ == "__main__":
    main()
