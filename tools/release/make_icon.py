#!/usr/bin/python3
"""Writes res/selftest.ico: one 32x32 image with 16 colours (4 bits per pixel).

The picture is a cable plug in front of a green tick on a dark blue tile. Run it again
only to change the picture; the icon file is kept in the repository.
"""
import struct
import sys

PALETTE = [  # the 16 colours of the standard VGA palette, as (r, g, b)
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLUE, GREY, LIGHT, GREEN, WHITE, YELLOW = 4, 8, 7, 10, 15, 11


def picture():
    px = [[None] * 32 for _ in range(32)]  # None: transparent
    for y in range(2, 30):
        for x in range(2, 30):
            corner = min(x - 2, 29 - x) + min(y - 2, 29 - y)
            if corner >= 2:
                px[y][x] = BLUE
    for y in range(8, 20):          # plug body
        for x in range(6, 16):
            px[y][x] = LIGHT if 7 <= x <= 14 and 9 <= y <= 18 else GREY
    for y in (11, 16):              # pins
        for x in range(16, 21):
            px[y][x] = YELLOW
            px[y + 1][x] = YELLOW
    for y in range(20, 26):         # cable
        for x in range(9, 13):
            px[y][x] = GREY
    tick = [(17, 21), (18, 22), (19, 23), (20, 24), (21, 23), (22, 22), (23, 21), (24, 20), (25, 19), (26, 18)]
    for x, y in tick:
        for dy in range(-1, 2):
            px[y + dy][x] = GREEN
    return px


def ico(px):
    xor = bytearray()
    andmask = bytearray()
    for y in range(31, -1, -1):     # bottom-up rows
        row = px[y]
        for x in range(0, 32, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            xor.append((hi << 4) | lo)
        bits = 0
        for x in range(32):
            bits = (bits << 1) | (1 if row[x] is None else 0)
        andmask += struct.pack('>I', bits)
    header = struct.pack('<IiiHHIIiiII', 40, 32, 64, 1, 4, 0, len(xor) + len(andmask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + bytes(xor) + bytes(andmask)
    directory = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', 32, 32, 16, 0, 1, 4, len(image), 22)
    return directory + image


if __name__ == '__main__':
    out = sys.argv[1] if len(sys.argv) > 1 else 'res/selftest.ico'
    with open(out, 'wb') as f:
        f.write(ico(picture()))
