#!/usr/bin/env python3
"""Draws the six status icons side by side as the tray shows them at 16 px: the 32-px image
shrunk to 16 px, enlarged 6 times without smoothing so that single pixels can be compared,
and the same at its real size.

Usage: icon_sheet.py ICON_DIR OUT.png   (ICON_DIR holds the built *.ico files)
"""
import os
import subprocess
import sys
import tempfile

# In tray order: resource id, file, role.
ICONS = [(306, "disconnected"), (302, "progress"), (300, "connected"), (305, "limit"),
         (304, "blocked"), (301, "error")]
CONVERT = "/usr/bin/convert"
MONTAGE = "/usr/bin/montage"
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"


def frame_32(ico):
    """Index of the deepest 32x32 image (make_icon writes depths in rising order)."""
    out = subprocess.run(["identify", "-format", "%w %[scene]\n", ico], capture_output=True,
                         text=True, check=True).stdout.split("\n")
    return [int(line.split()[1]) for line in out if line.startswith("32 ")][-1]


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    icon_dir, out = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        tiles = []
        for rid, name in ICONS:
            ico = os.path.join(icon_dir, name + ".ico")
            small = os.path.join(tmp, f"{rid}_16.png")
            subprocess.run([CONVERT, f"{ico}[{frame_32(ico)}]", "-background", "#d8dde4",
                            "-flatten", "-filter", "Box", "-resize", "16x16", small], check=True)
            big = os.path.join(tmp, f"{rid}_x6.png")
            subprocess.run([CONVERT, small, "-filter", "Point", "-resize", "96x96", big],
                           check=True)
            tiles += ["-label", f"{rid} {name}", big]
        for rid, name in ICONS:
            real = os.path.join(tmp, f"{rid}_real.png")
            subprocess.run([CONVERT, os.path.join(tmp, f"{rid}_16.png"), "-background", "#d8dde4",
                            "-gravity", "center", "-extent", "96x24", real], check=True)
            tiles += ["-label", "", real]
        subprocess.run([MONTAGE, *tiles, "-tile", f"{len(ICONS)}x2", "-geometry", "+8+8",
                        "-gravity", "center", "-font", FONT, "-pointsize", "11", "-background", "#d8dde4", out], check=True)


if __name__ == "__main__":
    main()
