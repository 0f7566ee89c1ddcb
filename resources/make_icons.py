#!/usr/bin/env python3
"""Draws Sentrel's icons and packs them as Windows .ico files.

The artwork is drawn here as SVG (a shield with a key), one drawing per pixel size so that the
small sizes stay sharp: below 32 pixels the key is simpler and bolder. Each size is rendered by
rsvg-convert (Debian package librsvg2-bin) and the sizes are packed into one .ico: 64 pixels and
up as PNG entries, the smaller sizes as 32-bit bitmaps with an AND mask.

    make_icons.py --out-dir DIR [--svg-dir DIR]

writes DIR/sentrel.ico (resource 1: white key, the product) and DIR/sentrel-dialog.ico (resource
200: gold key, the authentication dialog). Output is byte-for-byte reproducible."""

import argparse
import os
import struct
import subprocess
import sys
import tempfile
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 96, 128, 256)
png_min_size = 64  # from here on an entry is stored as PNG (smaller); below, as a bitmap

ICONS = {
    "sentrel.ico": {"key": "#ffffff", "key_shade": "#d5e3f7"},
    "sentrel-dialog.ico": {"key": "#ffc83d", "key_shade": "#e0a000"},
}

SHIELD = "M128 10 L226 46 V118 C226 184 186 226 128 248 C70 226 30 184 30 118 V46 Z"


def svg(size, key, key_shade):
    """The drawing for one pixel size (all coordinates in a 256-unit box)."""
    simple = size < 32
    parts = [
        '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 256 256">' % (size, size),
        '<defs><linearGradient id="g" x1="0" y1="0" x2="0" y2="1">'
        '<stop offset="0" stop-color="#2f7be6"/><stop offset="1" stop-color="#0b3d91"/></linearGradient></defs>',
        '<path d="%s" fill="url(#g)" stroke="#082c6b" stroke-width="%d" stroke-linejoin="round"/>'
        % (SHIELD, 14 if simple else 8),
    ]
    if simple:
        # A bold key: a ring, a shaft and one tooth, wide enough to survive 16 pixels.
        parts += [
            '<circle cx="128" cy="92" r="42" fill="none" stroke="%s" stroke-width="30"/>' % key,
            '<rect x="112" y="126" width="32" height="92" fill="%s"/>' % key,
            '<rect x="144" y="172" width="34" height="28" fill="%s"/>' % key,
        ]
    else:
        # A light inner rim, then the key with a bow, a shaft and two teeth.
        parts += [
            '<path d="%s" fill="none" stroke="#ffffff" stroke-opacity="0.35" stroke-width="6" '
            'transform="translate(128 129) scale(0.86) translate(-128 -129)"/>' % SHIELD,
            '<circle cx="128" cy="90" r="38" fill="none" stroke="%s" stroke-width="22"/>' % key,
            '<rect x="117" y="124" width="22" height="96" rx="3" fill="%s"/>' % key,
            '<rect x="139" y="170" width="26" height="14" fill="%s"/>' % key,
            '<rect x="139" y="196" width="18" height="14" fill="%s"/>' % key,
            '<rect x="117" y="124" width="6" height="96" fill="%s"/>' % key_shade,
        ]
    parts.append("</svg>\n")
    return "\n".join(parts)


# --- PNG reading (only what rsvg-convert writes: 8-bit RGBA, not interlaced) ----------------------

def png_rgba(data):
    """(width, height, rows of RGBA bytes) of a PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    width, height, depth, color, _, _, interlace = header
    if depth != 8 or color != 6 or interlace != 0:
        raise ValueError("only 8-bit RGBA non-interlaced PNGs are read (got depth %d colour %d)" % (depth, color))
    raw = zlib.decompress(idat)
    stride = width * 4
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            b = previous[x]
            c = previous[x - 4] if x >= 4 else 0
            if kind == 1:
                line[x] = (line[x] + a) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + b) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
            elif kind != 0:
                raise ValueError("bad PNG filter %d" % kind)
        rows.append(bytes(line))
        previous = line
    return width, height, rows


def bitmap_entry(width, height, rows):
    """An icon image as a 32-bit DIB: header, bottom-up BGRA pixels, then the 1-bit AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for x in range(width):
            r, g, b, a = row[4 * x:4 * x + 4]
            pixels += bytes((b, g, r, a))
    mask_stride = ((width + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x in range(width):
            if row[4 * x + 3] == 0:  # fully transparent: masked out
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + bytes(pixels) + bytes(mask)


def pack_ico(images):
    """images: [(size, bytes)] in ascending size; returns the .ico file."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset + len(body))
        body += data
    return out + body


def render(svg_text, size, workdir):
    source = os.path.join(workdir, "icon-%d.svg" % size)
    target = os.path.join(workdir, "icon-%d.png" % size)
    with open(source, "w", encoding="utf-8") as f:
        f.write(svg_text)
    subprocess.run(["rsvg-convert", "-w", str(size), "-h", str(size), "-o", target, source], check=True)
    with open(target, "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--svg-dir", help="also keep the SVG drawings and PNG renderings here")
    args = parser.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="sentrel-icons-") as tmp:
        for name, colours in ICONS.items():
            workdir = os.path.join(args.svg_dir or tmp, name[:-4])
            os.makedirs(workdir, exist_ok=True)
            images = []
            for size in SIZES:
                png = render(svg(size, **colours), size, workdir)
                width, height, rows = png_rgba(png)
                if (width, height) != (size, size):
                    raise ValueError("rsvg-convert made %dx%d for %d" % (width, height, size))
                images.append((size, png if size >= png_min_size else bitmap_entry(width, height, rows)))
            with open(os.path.join(args.out_dir, name), "wb") as f:
                f.write(pack_ico(images))
    return 0


if __name__ == "__main__":
    sys.exit(main())
