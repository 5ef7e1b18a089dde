#!/usr/bin/env python3
"""Measures a picture of the plot subcommand, with the standard library only.

  plot_pixels.py png FILE R,G,B ...
      size W H
      frame K LEFT TOP RIGHT BOTTOM      one per plotting area found: a black
                                         rectangle, from left to right
      colour K R,G,B COUNT MINX MINY MAXX MAXY
                                         pixels of exactly that colour strictly
                                         inside frame K, and their bounding box;
                                         R,G,B@A: that colour at alpha A over
                                         any grey, to the rounding
      outside R,G,B COUNT                pixels of that colour outside every frame
      ink K COUNT                        grey pixels darker than 160 inside frame K
  plot_pixels.py svg FILE R,G,B ...
      paths R,G,B COUNT SHAPES           path elements filled with that colour,
                                         and the closed shapes they hold
      images COUNT                       embedded images
"""
import struct
import sys
import xml.etree.ElementTree as ET
import zlib


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit("not a PNG file")
    pos, idat = 8, b""
    width = height = channels = None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or interlace != 0 or colour_type not in (2, 6):
                sys.exit("unexpected PNG format: depth %d, colour type %d" % (depth, colour_type))
            channels = 3 if colour_type == 2 else 4
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind = raw[at]
        line = bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = previous[i]
            c = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return width, height, rows


def find_frames(width, height, rows):
    black = (0, 0, 0)
    runs = {}
    for y in range(height):
        x = 0
        while x < width:
            if rows[y][x] == black:
                start = x
                while x < width and rows[y][x] == black:
                    x += 1
                if x - start >= 100:
                    runs.setdefault((start, x - 1), []).append(y)
            else:
                x += 1
    frames = []
    for (left, right), ys in runs.items():
        top, bottom = min(ys), max(ys)
        if bottom - top < 50:
            continue
        if all(rows[y][left] == black and rows[y][right] == black for y in range(top, bottom + 1)):
            frames.append((left, top, right, bottom))
    return sorted(frames)


def colour(text):
    rgb, _, alpha = text.partition("@")
    return tuple(int(v) for v in rgb.split(",")), float(alpha) if alpha else None


def matcher(wanted):
    rgb, alpha = wanted
    if alpha is None:
        return lambda pixel: pixel == rgb

    def over_grey(pixel):
        grey = (pixel[0] - alpha * rgb[0]) / (1 - alpha)
        return -1 <= grey <= 256 and all(
            abs((1 - alpha) * grey + alpha * c - p) <= 1.01 for c, p in zip(rgb[1:], pixel[1:]))
    return over_grey


def name(wanted):
    rgb, alpha = wanted
    return "%d,%d,%d" % rgb + ("" if alpha is None else "@%g" % alpha)


def png(path, colours):
    width, height, rows = read_png(path)
    print("size", width, height)
    frames = find_frames(width, height, rows)
    inside = set()
    for k, (left, top, right, bottom) in enumerate(frames):
        print("frame", k, left, top, right, bottom)
        ink = 0
        for y in range(top + 1, bottom):
            for x in range(left + 1, right):
                r, g, b = rows[y][x]
                if r == g == b and r < 160:
                    ink += 1
        for c in colours:
            xs, ys = [], []
            match = matcher(c)
            for y in range(top + 1, bottom):
                for x in range(left + 1, right):
                    if match(rows[y][x]):
                        xs.append(x)
                        ys.append(y)
                        inside.add((x, y))
            box = (min(xs), min(ys), max(xs), max(ys)) if xs else (-1, -1, -1, -1)
            print("colour", k, name(c), len(xs), *box)
        print("ink", k, ink)
    for c in colours:
        match = matcher(c)
        outside = sum(1 for y in range(height) for x in range(width)
                      if (x, y) not in inside and match(rows[y][x]))
        print("outside", name(c), outside)


def svg(path, colours):
    tree = ET.parse(path)  # fails on a document that is not well-formed
    colours = [c for c, _ in colours]
    counts = dict.fromkeys(colours, 0)
    shapes = dict.fromkeys(colours, 0)
    for element in tree.iter("{http://www.w3.org/2000/svg}path"):
        style = element.get("style", "")
        at = style.find("fill:rgb(")
        if at < 0:
            continue
        parts = style[at + 9:style.index(")", at)].split(",")
        c = tuple(round(float(p.rstrip("%")) * 255 / 100) for p in parts)
        if c in counts:
            counts[c] += 1
            shapes[c] += element.get("d", "").upper().count("Z")
    for c in colours:
        print("paths", "%d,%d,%d" % c, counts[c], shapes[c])
    print("images", sum(1 for _ in tree.iter("{http://www.w3.org/2000/svg}image")))


if __name__ == "__main__":
    kind, path, *wanted = sys.argv[1:]
    (png if kind == "png" else svg)(path, [colour(w) for w in wanted])
