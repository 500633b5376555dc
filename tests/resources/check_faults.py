#!/usr/bin/env python3
"""Shows that check_resources.py catches broken resources.

Usage: check_faults.py FILE.exe

Each case copies the executable, changes a few bytes of one resource in place and expects
the checker to fail with a line naming the fault, without a traceback. The untouched copy
must pass.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "check_resources.py")
sys.path.insert(0, HERE)
import check_resources as cr  # noqa: E402


def u16(text):
    return text.encode("utf-16-le") + b"\0\0"


def find_once(data, pattern):
    at = data.find(pattern)
    if at < 0 or data.find(pattern, at + 1) >= 0:
        raise AssertionError("pattern %r not found exactly once" % pattern[:24])
    return at


def set_u32(data, at, fn):
    struct.pack_into("<I", data, at, fn(struct.unpack_from("<I", data, at)[0]))


def control_style_at(data, control_id, cls):
    # An extended dialog item is: help id, ex style, style, x, y, cx, cy, id, class, text.
    return find_once(data, struct.pack("<i", control_id) + u16(cls)) - 12


def clear_style(control_id, cls, bits):
    def mutate(d):
        set_u32(d, control_style_at(d, control_id, cls), lambda v: v & ~bits)
    return mutate


def move_control(control_id, cls):
    def mutate(d):
        at = control_style_at(d, control_id, cls) + 4
        struct.pack_into("<h", d, at, struct.unpack_from("<h", d, at)[0] + 1)
    return mutate


def replace_text(old, new):
    assert len(old) == len(new)

    def mutate(d):
        at = find_once(d, old.encode("utf-16-le"))
        d[at:at + 2 * len(new)] = new.encode("utf-16-le")
    return mutate


def menu_id(old, new, text):
    def mutate(d):
        at = find_once(d, struct.pack("<H", old) + u16(text))
        struct.pack_into("<H", d, at, new)
    return mutate


def menu_flags(item, text, flags):
    def mutate(d):
        at = find_once(d, struct.pack("<H", item) + u16(text)) - 2
        struct.pack_into("<H", d, at, struct.unpack_from("<H", d, at)[0] | flags)
    return mutate


def group_field(index, offset, fmt, value):
    def mutate(d):
        struct.pack_into("<" + fmt, d, 6 + 14 * index + offset, value)
    return mutate


def dialog_field(offset, fmt, fn):
    def mutate(d):
        struct.pack_into("<" + fmt, d, offset, fn(struct.unpack_from("<" + fmt, d, offset)[0]))
    return mutate


def fixed_version_field(index, value):
    def mutate(d):
        at = find_once(d, struct.pack("<I", 0xFEEF04BD))
        struct.pack_into("<I", d, at + 4 * index, value)
    return mutate


def alpha_hard(d):
    # 48x48 32-bpp: every partly transparent pixel becomes opaque.
    for at in range(40 + 3, 40 + 48 * 48 * 4, 4):
        if d[at]:
            d[at] = 255


def mask_cleared(d):
    start = 40 + 48 * 48 * 4
    d[start:] = bytes(len(d) - start)


def corner_pixel_coloured(d):
    d[40 + 256 * 4] = 5  # 48x48 8-bpp: the bottom-left pixel, which the mask hides


class Icons:
    """Resolves icon image ids through the groups of the original executable."""

    def __init__(self, exe):
        self.check = cr.Check(exe)

    def image_id(self, group, size, bpp):
        data = self.check.raw(cr.RT_GROUP_ICON, group)
        count = struct.unpack_from("<H", data, 4)[0]
        for i in range(count):
            w, _, _, _, _, bits, _, nid = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
            if (w or 256, bits) == (size, bpp):
                return nid
        raise AssertionError("group %d has no %d px %d-bpp image" % (group, size, bpp))


def cases(icons):
    connected_32 = icons.image_id(300, 48, 32)
    connected_8 = icons.image_id(300, 48, 8)
    grey_ball = icons.image_id(306, 32, 24)
    dialog = cr.RT_DIALOG
    return [
        # name, resource type, resource name, change, a text the checker must print
        ("logon window not centred", dialog, 104, dialog_field(12, "I", lambda v: v & ~0x800),
         "dialog 104 style"),
        ("logon window resizable", dialog, 104, dialog_field(12, "I", lambda v: v | 0x40000),
         "WS_THICKFRAME"),
        ("Connect is no longer the default button", dialog, 104, clear_style(108, "BUTTON", 1),
         "dialog 104 control 6 (id 108) style"),
        ("password field not masked", dialog, 104, clear_style(106, "EDIT", 0x20),
         "(id 106) style"),
        ("login field moved one unit", dialog, 104, move_control(105, "EDIT"),
         "(id 105) rectangle"),
        ("caption misspelt", dialog, 200, replace_text("Текущее", "Текушее"),
         "dialog 200 caption"),
        ("mnemonic in a button text", dialog, 104, replace_text("Отмена", "&тмена"),
         "has no mnemonic"),
        ("control count beyond the data", dialog, 200, dialog_field(16, "H", lambda v: 60),
         "dialog 200: ends at byte"),
        ("start-at-logon item renumbered", cr.RT_MENU, 4000,
         menu_id(4014, 4016, "Запускаться при входе в систему"), "menu items"),
        ("About item checked in the template", cr.RT_MENU, 4000,
         menu_flags(4017, "О программе", 0x8), "menu item 7 (4017) flags"),
        ("blocked icon claims 32 bpp", cr.RT_GROUP_ICON, 304, group_field(0, 6, "H", 32),
         "icon group 304 images"),
        ("blocked icon shows the grey ball", cr.RT_GROUP_ICON, 304,
         group_field(0, 12, "H", grey_ball), "icon group 304 picture colour"),
        ("icon group count beyond the data", cr.RT_GROUP_ICON, 301,
         dialog_field(4, "H", lambda v: 0xFFFF), "icon group 301: ends at byte"),
        ("alpha channel without soft edges", cr.RT_ICON, connected_32, alpha_hard,
         "alpha has soft edges"),
        ("mask disagrees with alpha", cr.RT_ICON, connected_32, mask_cleared,
         "mask is set exactly where alpha is below half"),
        ("masked pixel drawn in colour", cr.RT_ICON, connected_8, corner_pixel_coloured,
         "masked pixels are black"),
        ("original file name changed", cr.RT_VERSION, 1, replace_text("VornaAgent", "VornaAgenT"),
         "version strings"),
        ("operating system field changed", cr.RT_VERSION, 1, fixed_version_field(8, 0x40004),
         "version fixed fields"),
    ]


def run_checker(path):
    result = subprocess.run([sys.executable, CHECKER, path], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=120)
    return result.returncode, result.stdout.decode(errors="replace")


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    exe = argv[1]
    original = open(exe, "rb").read()
    icons = Icons(exe)
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, "agent.exe")
        shutil.copyfile(exe, copy)
        code, out = run_checker(copy)
        if code != 0:
            failures.append("untouched copy: checker exit %d\n%s" % (code, out))
        for name, rtype, rname, mutate, expected in cases(icons):
            raw = icons.check.raw(rtype, rname)
            at = find_once(original, raw)
            changed = bytearray(raw)
            mutate(changed)
            assert len(changed) == len(raw) and changed != raw, name
            with open(copy, "wb") as f:
                f.write(original[:at] + bytes(changed) + original[at + len(raw):])
            code, out = run_checker(copy)
            if code != 1 or expected not in out or "Traceback" in out:
                failures.append("%s: exit %d, wanted a line with %r\n%s"
                                % (name, code, expected, out))
        with open(copy, "wb") as f:
            f.write(b"MZ" + bytes(510))
        code, out = run_checker(copy)
        if code != 1 or "cannot read resources" not in out or "Traceback" in out:
            failures.append("not an executable: exit %d\n%s" % (code, out))
    for line in failures:
        print("FAIL " + line)
    total = len(cases(icons)) + 2
    print("%d of %d fault cases caught" % (total - len(failures), total))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
