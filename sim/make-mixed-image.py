#!/usr/bin/env python3
"""Makes a small mixed-mode CD image as CUE/BIN: a mode 1 data track, then two audio
tracks, the first with a two-second pregap stored in the file (index 00), the second with
none. Sector contents are deterministic, so every run makes the same image.

    sim/make-mixed-image.py OUTPUT.cue     (OUTPUT.bin is written beside it)
"""
import os
import sys

DATA, PREGAP, AUDIO2, AUDIO3 = 300, 150, 300, 200  # sectors


def bcd(v):
    return (v // 10) << 4 | (v % 10)


def msf(lba):
    return "%02d:%02d:%02d" % (lba // 4500, lba // 75 % 60, lba % 75)


def main():
    cue = sys.argv[1]
    base = os.path.splitext(cue)[0]
    os.makedirs(os.path.dirname(os.path.abspath(cue)), exist_ok=True)
    with open(base + ".bin", "wb") as f:
        for lba in range(DATA):
            a = lba + 150  # the header carries the absolute address, LBA 0 = 00:02:00
            header = bytes([0] + [0xFF] * 10 + [0, bcd(a // 4500), bcd(a // 75 % 60), bcd(a % 75), 1])
            user = bytes(((lba * 7 + i) * 13) & 0xFF for i in range(2048))
            f.write(header + user + bytes(288))  # EDC and ECC left zero: nothing checks them
        for n in range(PREGAP + AUDIO2 + AUDIO3):
            f.write(bytes(((n * 5 + i) * 3 + 1) & 0xFF for i in range(2352)))
    with open(cue, "w") as f:
        f.write('FILE "%s" BINARY\n' % os.path.basename(base + ".bin"))
        f.write("  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n")
        f.write("  TRACK 02 AUDIO\n    INDEX 00 %s\n    INDEX 01 %s\n" % (msf(DATA), msf(DATA + PREGAP)))
        f.write("  TRACK 03 AUDIO\n    INDEX 01 %s\n" % msf(DATA + PREGAP + AUDIO2))


if __name__ == "__main__":
    main()
