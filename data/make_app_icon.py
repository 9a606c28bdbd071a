#!/usr/bin/env python3
"""Draws the application icon as an SVG and as PNGs at the hicolor sizes (no imaging
library needed): two arrows, the view's sent (=>) and received (<=) marks."""
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "resources"))
from make_icons import png  # noqa: E402

GRID = 256
SIZES = (48, 64, 128, 256)
SAMPLES = 4  # per pixel and axis, for smooth edges

# Shapes on a 256-unit grid, painted in order: (kind, geometry, colour).
SHAPES = [
    ("rect", (16, 16, 240, 240, 44), (30, 58, 95)),
    ("rect", (52, 72, 160, 104, 0), (240, 168, 48)),
    ("poly", ((150, 48), (206, 88), (150, 128)), (240, 168, 48)),
    ("rect", (96, 152, 204, 184, 0), (60, 200, 100)),
    ("poly", ((106, 128), (50, 168), (106, 208)), (60, 200, 100)),
]


def inside(kind, geometry, x, y):
    if kind == "rect":
        x0, y0, x1, y1, r = geometry
        dx = max(x0 + r - x, 0, x - (x1 - r))
        dy = max(y0 + r - y, 0, y - (y1 - r))
        return x0 <= x <= x1 and y0 <= y <= y1 and dx * dx + dy * dy <= r * r
    edges = zip(geometry, geometry[1:] + geometry[:1])
    sides = [(bx - ax) * (y - ay) - (by - ay) * (x - ax) for (ax, ay), (bx, by) in edges]
    return all(s >= 0 for s in sides) or all(s <= 0 for s in sides)


def bounds(kind, geometry):
    if kind == "rect":
        return geometry[:4]
    xs, ys = [p[0] for p in geometry], [p[1] for p in geometry]
    return min(xs), min(ys), max(xs), max(ys)


def raster(size):
    scale = GRID / size
    image = []
    for row in range(size):
        line = []
        for col in range(size):
            hits = [None] * (SAMPLES * SAMPLES)
            for kind, geometry, colour in SHAPES:
                x0, y0, x1, y1 = bounds(kind, geometry)
                if (col + 1) * scale < x0 or col * scale > x1 or (row + 1) * scale < y0 or row * scale > y1:
                    continue
                for i in range(SAMPLES * SAMPLES):
                    x = (col + (i % SAMPLES + 0.5) / SAMPLES) * scale
                    y = (row + (i // SAMPLES + 0.5) / SAMPLES) * scale
                    if inside(kind, geometry, x, y):
                        hits[i] = colour
            covered = [c for c in hits if c is not None]
            if not covered:
                line.append((0, 0, 0, 0))
                continue
            rgb = tuple(round(sum(c[k] for c in covered) / len(covered)) for k in range(3))
            line.append(rgb + (round(255 * len(covered) / len(hits)),))
        image.append(line)
    return image


def svg():
    body = []
    for kind, geometry, colour in SHAPES:
        fill = "#%02x%02x%02x" % colour
        if kind == "rect":
            x0, y0, x1, y1, r = geometry
            corner = f' rx="{r}"' if r else ""
            body.append(f'  <rect x="{x0}" y="{y0}" width="{x1 - x0}" height="{y1 - y0}"{corner} fill="{fill}"/>')
        else:
            points = " ".join(f"{x},{y}" for x, y in geometry)
            body.append(f'  <polygon points="{points}" fill="{fill}"/>')
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{GRID}" height="{GRID}" viewBox="0 0 {GRID} {GRID}">\n'
            + "\n".join(body) + "\n</svg>\n")


if __name__ == "__main__":
    (HERE / "icons" / "marovent.svg").write_text(svg())
    for size in SIZES:
        (HERE / "icons" / f"marovent_{size}.png").write_bytes(png(raster(size)))
