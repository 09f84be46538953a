#!/usr/bin/env python3
"""Writes data/HAND-M.CUR: the hand pointer shown over push buttons.

A 32 x 32 Windows cursor (32-bit colour with an AND mask) drawn from the picture
below; X is the outline, . the fill, anything else is transparent. The hot spot is
the tip of the pointing finger.
"""
import struct
import sys

HAND = """
      XX
     X..X
     X..X
     X..X
     X..X
     X..XXX
     X..X..XXX
     X..X..X..XX
  XX X..X..X..X.X
 X..XX........X..X
 X...X...........X
  X..............X
  X..............X
   X.............X
   X............X
    X...........X
    X..........X
     X.........X
     X.........X
     XXXXXXXXXXX
""".strip("\n").split("\n")
HOT_SPOT = (6, 0)
SIZE = 32


def pixel(x, y):
    row = HAND[y] if y < len(HAND) else ""
    c = row[x] if x < len(row) else " "
    if c == "X":
        return (0, 0, 0, 255)
    if c == ".":
        return (255, 255, 255, 255)
    return (0, 0, 0, 0)


def main(path):
    xor = bytearray()
    and_mask = bytearray()
    for y in reversed(range(SIZE)):  # bitmaps are stored bottom-up
        bits = 0
        for x in range(SIZE):
            r, g, b, a = pixel(x, y)
            xor += bytes((b, g, r, a))
            bits = (bits << 1) | (0 if a else 1)
        and_mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    directory = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, HOT_SPOT[0], HOT_SPOT[1], len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(directory + entry + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "data/HAND-M.CUR")
