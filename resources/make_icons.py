#!/usr/bin/env python3
"""Draws the seven 32x32 tree icons as PNGs (no imaging library needed)."""
import math
import struct
import zlib
from pathlib import Path

SIZE = 32


def png(pixels):
    raw = b"".join(b"\x00" + bytes(sum(row, ())) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", len(pixels[0]), len(pixels), 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def canvas():
    return [[(0, 0, 0, 0) for _ in range(SIZE)] for _ in range(SIZE)]


def fill_rect(img, x0, y0, x1, y1, color):
    for y in range(y0, y1):
        for x in range(x0, x1):
            img[y][x] = color


def fill_circle(img, cx, cy, r, color):
    for y in range(SIZE):
        for x in range(SIZE):
            if math.hypot(x + 0.5 - cx, y + 0.5 - cy) <= r:
                img[y][x] = color


DARK = (60, 60, 70, 255)
GREEN = (0, 190, 60, 255)
GREY = (150, 150, 150, 255)
YELLOW = (235, 190, 0, 255)


def monitor(status):
    img = canvas()
    fill_rect(img, 3, 5, 29, 22, DARK)
    fill_rect(img, 5, 7, 27, 20, (200, 225, 250, 255))
    fill_rect(img, 13, 22, 19, 26, DARK)
    fill_rect(img, 8, 26, 24, 28, DARK)
    fill_circle(img, 25, 25, 6, status)
    return img


def server(status):
    img = canvas()
    for top in (3, 12, 21):
        fill_rect(img, 6, top, 26, top + 8, DARK)
        fill_rect(img, 9, top + 3, 18, top + 5, (200, 200, 210, 255))
        fill_circle(img, 22, top + 4, 2, status)
    return img


def serial(status):
    img = canvas()
    fill_rect(img, 4, 9, 28, 23, DARK)
    for i in range(5):
        fill_circle(img, 8 + i * 4, 14, 1.3, (220, 220, 220, 255))
    for i in range(4):
        fill_circle(img, 10 + i * 4, 18, 1.3, (220, 220, 220, 255))
    fill_circle(img, 26, 26, 5, status)
    return img


ICONS = {
    "net_run.png": monitor(GREEN),
    "net_stop.png": monitor(GREY),
    "net_connect.png": monitor(YELLOW),
    "server_run.png": server(GREEN),
    "server_stop.png": server(GREY),
    "serialport_run.png": serial(GREEN),
    "serialport_stop.png": serial(GREY),
}

if __name__ == "__main__":
    here = Path(__file__).resolve().parent
    for name, image in ICONS.items():
        (here / name).write_bytes(png(image))
