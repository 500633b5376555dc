#!/usr/bin/env python3
"""Renders SVG sources into one .ico of uncompressed BMP images, each with a 1-bit AND mask.

Usage: make_icon.py OUT.ico SIZE:BPP:SOURCE [SIZE:BPP:SOURCE ...]

SOURCE is an SVG file, or several joined by "+" that are drawn over each other.

BPP is 1, 4, 8, 24 or 32. Only 32-bpp images keep the alpha channel (soft edges and the
shadow); every other depth hides elements of class "shadow" and cuts transparency at 50%.
4-bit images use the standard 16-colour palette, 8-bit images an adaptive one, 1-bit images
black and white. A masked pixel always carries colour 0, so drawing through the mask leaves
the background untouched.
"""
import os
import struct
import subprocess
import sys
import tempfile

RSVG = "rsvg-convert"
# ImageMagick itself, not any wrapper earlier on PATH.
CONVERT = "/usr/bin/convert"
HERE = os.path.dirname(os.path.abspath(__file__))
FLAT_CSS = os.path.join(HERE, "icons", "flat.css")

VGA16 = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
ALPHA_CUT = 128  # alpha below this is transparent in the mask


def run(cmd, data=None):
    result = subprocess.run(cmd, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        sys.exit("make_icon: %s failed: %s" % (cmd[0], result.stderr.decode(errors="replace")))
    return result.stdout


def render_png(source, size, flat):
    """Renders SOURCE, or layers "a.svg+b.svg" drawn in that order, at SIZE pixels."""
    layers = []
    for svg in source.split("+"):
        cmd = [RSVG, "-w", str(size), "-h", str(size)]
        if flat:
            cmd += ["-s", FLAT_CSS]
        layers.append(run(cmd + [svg]))
    png = layers[0]
    for layer in layers[1:]:
        # convert reads one image from stdin, so the upper layer goes through a file.
        with tempfile.NamedTemporaryFile(suffix=".png") as upper:
            upper.write(layer)
            upper.flush()
            png = run([CONVERT, "png:-", upper.name, "-composite", "png:-"], png)
    return png


def pixels(cmd_args, png, size):
    """Runs convert on the PNG and returns size*size RGBA tuples, top row first."""
    raw = run([CONVERT, "png:-"] + cmd_args + ["-depth", "8", "rgba:-"], png)
    if len(raw) != size * size * 4:
        sys.exit("make_icon: unexpected pixel data size %d for %d px" % (len(raw), size))
    return [tuple(raw[i:i + 4]) for i in range(0, len(raw), 4)]


def hard_alpha_args():
    return ["-channel", "A", "-threshold", "50%", "+channel",
            "-background", "black", "-alpha", "background"]


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], rgb)))


def indexed(px, palette):
    lookup = {c: i for i, c in enumerate(palette)}
    out = []
    for r, g, b, a in px:
        if a < ALPHA_CUT:
            out.append(0)
        else:
            i = lookup.get((r, g, b))
            out.append(i if i is not None else nearest(palette, (r, g, b)))
    return out


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def pack_bits(values, bpp, size):
    """Packs palette indexes of one row at 1, 4 or 8 bpp, padded to 4 bytes."""
    out = bytearray(row_bytes(size * bpp))
    per_byte = 8 // bpp
    for x, v in enumerate(values):
        shift = 8 - bpp * (x % per_byte + 1)
        out[x // per_byte] |= v << shift
    return bytes(out)


def image_entry(px, size, bpp):
    """Returns (colour count for the directory, BMP bytes) for one image."""
    mask_rows = []
    xor_rows = []
    palette = []
    for y in range(size - 1, -1, -1):  # BMP rows run bottom-up
        row = px[y * size:(y + 1) * size]
        mask_rows.append(pack_bits([1 if p[3] < ALPHA_CUT else 0 for p in row], 1, size))
    if bpp in (1, 4, 8):
        if bpp == 1:
            palette = [(0, 0, 0), (255, 255, 255)]
        elif bpp == 4:
            palette = list(VGA16)
        else:
            colours = sorted({p[:3] for p in px if p[3] >= ALPHA_CUT} - {(0, 0, 0)})
            if len(colours) > 255:
                sys.exit("make_icon: %d colours left after quantising to 8 bpp" % len(colours))
            palette = [(0, 0, 0)] + colours
            palette += [(0, 0, 0)] * (256 - len(palette))
        idx = indexed(px, palette)
        for y in range(size - 1, -1, -1):
            xor_rows.append(pack_bits(idx[y * size:(y + 1) * size], bpp, size))
    else:
        for y in range(size - 1, -1, -1):
            row = bytearray()
            for r, g, b, a in px[y * size:(y + 1) * size]:
                if bpp == 32:
                    row += bytes((b, g, r, a)) if a else bytes(4)
                else:
                    row += bytes((b, g, r)) if a >= ALPHA_CUT else bytes(3)
            row += bytes(row_bytes(size * bpp) - len(row))
            xor_rows.append(bytes(row))
    xor = b"".join(xor_rows)
    mask = b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    colour_count = 1 << bpp if bpp < 8 else 0
    return colour_count, header + pal + xor + mask


def render(size, bpp, svg):
    png = render_png(svg, size, flat=(bpp != 32))
    if bpp == 32:
        return pixels([], png, size)
    if bpp == 24:
        return pixels(hard_alpha_args(), png, size)
    if bpp == 8:
        return pixels(hard_alpha_args() + ["+dither", "-colors", "255"], png, size)
    if bpp == 4:
        # Each pixel takes the nearest standard colour later; -remap would drop the alpha.
        return pixels(hard_alpha_args(), png, size)
    if bpp == 1:
        return pixels(hard_alpha_args() + ["-colorspace", "gray", "-threshold", "50%",
                                           "-colorspace", "sRGB"], png, size)
    sys.exit("make_icon: unsupported depth %d" % bpp)


def parse_image(arg):
    try:
        size, bpp, svg = arg.split(":", 2)
        size, bpp = int(size), int(bpp)
    except ValueError:
        sys.exit("make_icon: bad image '%s', expected SIZE:BPP:FILE.svg" % arg)
    if not 1 <= size <= 256 or bpp not in (1, 4, 8, 24, 32):
        sys.exit("make_icon: bad size or depth in '%s'" % arg)
    return size, bpp, svg


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    out, images = argv[1], [parse_image(a) for a in argv[2:]]
    entries = []
    for size, bpp, svg in images:
        colours, data = image_entry(render(size, bpp, svg), size, bpp)
        entries.append((size, bpp, colours, data))
    offset = 6 + 16 * len(entries)
    head = struct.pack("<HHH", 0, 1, len(entries))
    for size, bpp, colours, data in entries:
        head += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp,
                            len(data), offset)
        offset += len(data)
    tmp = out + ".tmp"
    with open(tmp, "wb") as f:
        f.write(head + b"".join(e[3] for e in entries))
    os.replace(tmp, out)


if __name__ == "__main__":
    main(sys.argv)
