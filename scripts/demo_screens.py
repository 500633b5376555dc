"""Screenshots of the X server the demo's Wine desktop runs on: captures that wait until the
screen has stopped changing, where the taskbar and the agent's tray icon are, and crops of the
agent's windows and of the notification area written as PNG files."""
import os
import re
import subprocess
import time

PPM_HEADER = re.compile(rb"P6\s+(\d+)\s+(\d+)\s+255\s")


class Shot:
    """One capture of the whole screen: a binary PPM file and its pixels."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            data = f.read()
        m = PPM_HEADER.match(data)
        if not m:
            raise ValueError(f"{path}: not an 8-bit binary PPM")
        self.width, self.height = int(m.group(1)), int(m.group(2))
        self.pixels = data[m.end():]
        if len(self.pixels) < self.width * self.height * 3:
            raise ValueError(f"{path}: truncated ({len(self.pixels)} bytes of pixels)")

    def pixel(self, x, y):
        at = (y * self.width + x) * 3
        return self.pixels[at:at + 3]

    def row(self, y, x0=0, x1=None):
        x1 = self.width if x1 is None else x1
        at = y * self.width * 3
        return self.pixels[at + x0 * 3:at + x1 * 3]

    def same(self, other):
        return self.pixels == other.pixels


def _first_difference(a, b):
    """Index of the first pixel in which two different rows of equal length differ: a binary
    search over prefixes, so the comparing is done by bytes objects, not byte by byte."""
    low, high = 0, len(a)  # a[:low] == b[:low], a[:high] != b[:high]
    while high - low > 1:
        mid = (low + high) // 2
        if a[:mid] == b[:mid]:
            low = mid
        else:
            high = mid
    return low // 3


def box_of_differences(rows_a, rows_b, x0, y0):
    """The bounding box (x, y, w, h) of the pixels that differ between two lists of rows that
    start at (x0, y0); None when they are equal."""
    left = right = top = bottom = None
    for i, (a, b) in enumerate(zip(rows_a, rows_b)):
        if a == b:
            continue
        first = _first_difference(a, b)
        last = len(a) // 3 - 1 - _first_difference(a[::-1], b[::-1])
        left = first if left is None else min(left, first)
        right = last if right is None else max(right, last)
        top = i if top is None else top
        bottom = i
    if top is None:
        return None
    return (x0 + left, y0 + top, right - left + 1, bottom - top + 1)


def diff_box(a, b, region=None):
    """Where two shots of the same size differ, within region (x, y, w, h) if given."""
    x, y, w, h = region or (0, 0, a.width, a.height)
    return box_of_differences([a.row(r, x, x + w) for r in range(y, y + h)],
                              [b.row(r, x, x + w) for r in range(y, y + h)], x, y)


def box_unlike(shot, colour, region):
    """The bounding box of the pixels in region that are not `colour` (3 bytes)."""
    x, y, w, h = region
    return box_of_differences([shot.row(r, x, x + w) for r in range(y, y + h)],
                              [colour * w] * h, x, y)


class Layout:
    """Where things are on the Wine desktop: the desktop colour, the taskbar along the bottom
    and the agent's icon, the only one in the notification area at its right end."""

    def __init__(self, shot):
        self.width, self.height = shot.width, shot.height
        probe = shot.width - 3
        self.desktop = shot.pixel(probe, 0)
        top = next((y + 1 for y in range(shot.height - 1, -1, -1)
                    if shot.pixel(probe, y) == self.desktop), None)
        if top is None or not 10 <= shot.height - top <= shot.height // 4:
            raise ValueError("no taskbar along the bottom of the screen")
        self.taskbar_top = top
        background = shot.pixel(shot.width - 1, (top + shot.height) // 2)
        search = (shot.width - 120, top + 1, 120, shot.height - top - 1)
        icon = box_unlike(shot, background, search)
        if icon is None:
            raise ValueError("no icon in the notification area")
        x, y, w, h = icon
        self.icon_centre = (x + w // 2, y + h // 2)
        # A fixed slot around the icon, so every state's crop lines up with the others.
        slot_x = max(0, self.icon_centre[0] - 20)
        self.tray_slot = (slot_x, top, shot.width - slot_x, shot.height - top)

    def above_taskbar(self):
        return (0, 0, self.width, self.taskbar_top)

    def window_box(self, shot):
        """The box of whatever is drawn on the desktop above the taskbar (one window)."""
        return box_unlike(shot, self.desktop, self.above_taskbar())

    def near_tray(self):
        """The corner above the notification area where tooltips and the tray menu open."""
        w, h = min(300, self.width), min(260, self.taskbar_top)
        return (self.width - w, self.taskbar_top - h, w, h)


class Screen:
    """Captures of the X server in DISPLAY (taken with ImageMagick's import)."""

    def __init__(self, workdir):
        self.workdir = workdir
        os.makedirs(workdir, exist_ok=True)
        self.count = 0

    def capture(self):
        self.count += 1
        path = os.path.join(self.workdir, f"capture{self.count:03d}.ppm")
        proc = subprocess.run(["import", "-window", "root", "-depth", "8", f"ppm:{path}"],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        if proc.returncode != 0:
            raise AssertionError(f"screen capture failed: {proc.stderr.decode(errors='replace')}")
        return Shot(path)

    def settled(self, condition=None, timeout=10, what="the screen to settle"):
        """A capture equal to the one before it (windows have finished painting) for which
        `condition(shot)` holds, if given; polls until `timeout` seconds have passed."""
        deadline = time.monotonic() + timeout
        previous = self.capture()
        while True:
            time.sleep(0.1)
            shot = self.capture()
            if shot.same(previous) and (condition is None or condition(shot)):
                os.unlink(previous.path)
                return shot
            if time.monotonic() >= deadline:
                raise AssertionError(f"timed out after {timeout:g} s waiting for {what}")
            os.unlink(previous.path)
            previous = shot


def write_png(shot, dest, box=None, scale=1, margin=0):
    """Writes the shot, or the box (grown by margin and kept on screen) of it, as a PNG;
    scale enlarges it without smoothing, pixel for pixel."""
    cmd = ["convert", shot.path]
    if box is not None:
        x, y, w, h = box
        x0, y0 = max(0, x - margin), max(0, y - margin)
        x1 = min(shot.width, x + w + margin)
        y1 = min(shot.height, y + h + margin)
        cmd += ["-crop", f"{x1 - x0}x{y1 - y0}+{x0}+{y0}", "+repage"]
    if scale != 1:
        cmd += ["-filter", "point", "-resize", f"{int(scale * 100)}%"]
    cmd += ["-strip", f"png:{dest}"]
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    if proc.returncode != 0:
        raise AssertionError(f"writing {dest} failed: {proc.stderr.decode(errors='replace')}")
    return dest


def write_strip(images, dest):
    """The labelled pictures [(label, png path)] side by side in one PNG."""
    cmd = ["montage", "-font", "DejaVu-Sans", "-pointsize", "13", "-background", "#e4e4e4"]
    for label, path in images:
        cmd += ["-label", label, path]
    cmd += ["-tile", f"{len(images)}x1", "-geometry", "+12+8", f"png:{dest}"]
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    if proc.returncode != 0:
        raise AssertionError(f"writing {dest} failed: {proc.stderr.decode(errors='replace')}")
    return dest


def pointer_to(x, y):
    """Moves the X pointer, as the user's mouse would (the shell then sends the icon's owner
    mouse messages and shows the tooltip)."""
    subprocess.run(["xdotool", "mousemove", str(x), str(y)], stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=10, check=True)
