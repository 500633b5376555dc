#!/usr/bin/env python3
"""Checks the resources compiled into an executable against the agent's templates.

Usage: check_resources.py FILE.exe

Reads the resources with wrestool (icoutils) and decodes the binary templates itself: both
dialogs control by control, the tray menu, every icon group and image, the version block,
and the language of every resource. Prints one line per difference and exits 1 if there is
any, 0 otherwise.
"""
import re
import struct
import subprocess
import sys

LANG_RUSSIAN = 0x0419

RT_CURSOR, RT_BITMAP, RT_ICON, RT_MENU, RT_DIALOG, RT_STRING = 1, 2, 3, 4, 5, 6
RT_ACCELERATOR, RT_GROUP_CURSOR, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 9, 12, 14, 16, 24
TYPE_NAMES = {RT_CURSOR: "cursor", RT_BITMAP: "bitmap", RT_ICON: "icon", RT_MENU: "menu",
              RT_DIALOG: "dialog", RT_STRING: "string table", RT_ACCELERATOR: "accelerators",
              RT_GROUP_CURSOR: "cursor group", RT_GROUP_ICON: "icon group",
              RT_VERSION: "version", RT_MANIFEST: "manifest"}

STYLES = {
    "WS_POPUP": 0x80000000, "WS_CHILD": 0x40000000, "WS_VISIBLE": 0x10000000,
    "WS_CAPTION": 0x00C00000, "WS_BORDER": 0x00800000, "WS_SYSMENU": 0x00080000,
    "WS_THICKFRAME": 0x00040000, "WS_GROUP": 0x00020000, "WS_TABSTOP": 0x00010000,
    "DS_MODALFRAME": 0x80, "DS_CENTER": 0x800, "DS_SETFONT": 0x40, "DS_FIXEDSYS": 0x8,
    "SS_LEFT": 0x0, "SS_ICON": 0x3, "ES_LEFT": 0x0, "ES_PASSWORD": 0x20,
    "ES_AUTOHSCROLL": 0x80, "BS_PUSHBUTTON": 0x0, "BS_DEFPUSHBUTTON": 0x1,
    "BS_AUTOCHECKBOX": 0x3, "BS_GROUPBOX": 0x7,
}
CONTROL_CLASSES = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC", 0x83: "LISTBOX",
                   0x84: "SCROLLBAR", 0x85: "COMBOBOX"}

DIALOG_STYLE = ("WS_POPUP", "WS_CAPTION", "WS_SYSMENU", "DS_MODALFRAME", "DS_CENTER",
                "DS_SETFONT", "DS_FIXEDSYS")
DIALOG_FONT = (8, 400, 0, 1, "MS Shell Dlg")  # points, weight, italic, charset, face
CHILD = ("WS_CHILD", "WS_VISIBLE")

# id, class, text (an int is an icon resource), styles, (x, y, width, height)
DIALOGS = {
    104: ("Подключение к Интернет", (207, 94), [
        (-1, "STATIC", "Пользователь:", CHILD + ("WS_GROUP", "SS_LEFT"), (14, 14, 52, 8)),
        (105, "EDIT", "", CHILD + ("WS_BORDER", "WS_TABSTOP", "ES_LEFT", "ES_AUTOHSCROLL"),
         (67, 12, 121, 14)),
        (-1, "STATIC", "Пароль:", CHILD + ("WS_GROUP", "SS_LEFT"), (14, 32, 28, 8)),
        (106, "EDIT", "", CHILD + ("WS_BORDER", "WS_TABSTOP", "ES_LEFT", "ES_PASSWORD",
                                   "ES_AUTOHSCROLL"), (67, 30, 121, 14)),
        (107, "BUTTON", "Сохранить имя и пароль", CHILD + ("WS_TABSTOP", "BS_AUTOCHECKBOX"),
         (67, 51, 99, 10)),
        (108, "BUTTON", "Подключить", CHILD + ("WS_TABSTOP", "BS_DEFPUSHBUTTON"),
         (84, 74, 53, 14)),
        (109, "BUTTON", "Отмена", CHILD + ("WS_TABSTOP", "BS_PUSHBUTTON"), (148, 74, 50, 14)),
        (-1, "BUTTON", "", CHILD + ("WS_TABSTOP", "BS_GROUPBOX"), (7, 1, 191, 66)),
    ]),
    200: ("Текущее состояние пользователя", (222, 133), [
        (203, "BUTTON", "OK", CHILD + ("WS_TABSTOP", "BS_DEFPUSHBUTTON"), (87, 112, 50, 14)),
        (201, "STATIC", 300, CHILD + ("SS_ICON",), (7, 6, 21, 20)),
        (904, "STATIC", "Static", CHILD + ("SS_LEFT",), (35, 9, 178, 101)),
    ]),
}

MENU_ID = 4000
MF_POPUP, MF_END, MF_SEPARATOR = 0x10, 0x80, 0x800
SEPARATOR = None
MENU_ITEMS = [  # the one popup, "menu"
    (4011, "Подключить"), (4012, "Отключить"), SEPARATOR, (4013, "Информация"), SEPARATOR,
    (4014, "Запускаться при входе в систему"), SEPARATOR, (4017, "О программе"), SEPARATOR,
    (4015, "Выход"),
]

# Images of each group in directory order, (size, bits per pixel), and the colour its
# 32-pixel picture is mostly drawn in.
_NINE = [(48, 4), (48, 8), (48, 32), (32, 4), (32, 8), (32, 32), (16, 4), (16, 8), (16, 32)]
_SIGN = [(48, 8), (48, 32), (32, 1), (32, 4), (32, 8), (32, 32), (16, 4), (16, 8), (16, 32)]
ICON_GROUPS = {
    300: (_NINE, "blue-green"),
    301: (_SIGN, "red"),
    302: (_NINE[:6] + [(24, 8), (24, 32)] + _NINE[6:], "blue-green"),
    304: ([(32, 24)], "red"),
    305: (_SIGN, "yellow"),
    306: ([(32, 24)], "grey"),
}

VERSION = (2, 5, 3, 702)
VERSION_FIXED = {"FileFlagsMask": 0x17, "FileFlags": 0, "FileOS": 4, "FileType": 1,
                 "FileSubtype": 0, "FileDateMS": 0, "FileDateLS": 0}
VERSION_TABLE = "041904b0"
VERSION_STRINGS = [
    ("CompanyName", "Vorna Networks"),
    ("FileDescription", "Vorna Tray Agent"),
    ("FileVersion", "2.5.3 (build 702)"),
    ("InternalName", "Vorna Tray Agent"),
    ("LegalCopyright", "© 2026 Vorna Networks. Все права защищены."),
    ("OriginalFilename", "VornaAgent.exe"),
    ("ProductName", "Vorna Tray Agent"),
    ("ProductVersion", "2.5.3 (build 702)"),
]
VERSION_TRANSLATION = (0x0419, 1200)


class Malformed(Exception):
    """A resource whose bytes end early or do not follow its format."""


class Reader:
    """Little-endian reads over one resource that fail cleanly at the end of the data."""

    def __init__(self, data, pos=0):
        self.data, self.pos = data, pos

    def take(self, fmt):
        size = struct.calcsize(fmt)
        if self.pos + size > len(self.data):
            raise Malformed("ends at byte %d, inside a field" % len(self.data))
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += size
        return values if len(values) > 1 else values[0]

    def align(self, n=4):
        self.pos = (self.pos + n - 1) // n * n

    def text(self):
        out = []
        while True:
            ch = self.take("H")
            if ch == 0:
                return "".join(out)
            out.append(chr(ch))

    def text_or_ordinal(self):
        first = self.take("H")
        if first == 0xFFFF:
            return self.take("H")
        if first == 0:
            return ""
        self.pos -= 2
        return self.text()


def style_names(value):
    names = [n for n, bit in STYLES.items() if bit and value & bit == bit]
    # WS_CAPTION is WS_BORDER plus WS_DLGFRAME: name the pair once.
    if "WS_CAPTION" in names and "WS_BORDER" in names:
        names.remove("WS_BORDER")
    known = 0
    for n in names:
        known |= STYLES[n]
    if value & ~known:
        names.append("0x%X" % (value & ~known))
    return "|".join(names) or "0"


def style_value(names):
    value = 0
    for n in names:
        value |= STYLES[n]
    return value


class Check:
    def __init__(self, exe):
        self.exe = exe
        self.failures = []
        self.count = 0

    def expect(self, what, got, want):
        self.count += 1
        if got != want:
            self.failures.append("%s: got %r, want %r" % (what, got, want))
            return False
        return True

    def fail(self, what):
        self.failures.append(what)

    def wrestool(self, *args):
        result = subprocess.run(["wrestool"] + list(args) + [self.exe],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
        # wrestool exits 0 even for a file it cannot read; it says so on stderr.
        if result.returncode != 0 or result.stderr.strip():
            raise Malformed("wrestool %s: %s" % (" ".join(args),
                                                 result.stderr.decode(errors="replace").strip()))
        return result.stdout

    def raw(self, rtype, name):
        return self.wrestool("-x", "--raw", "--type=%d" % rtype, "--name=%s" % name,
                             "--language=%d" % LANG_RUSSIAN)


def list_resources(check):
    """Returns {(type, name): [languages]} from `wrestool -l`."""
    out = check.wrestool("-l").decode(errors="replace")
    found = {}
    for line in out.splitlines():
        m = re.match(r"--type=(\S+) --name=(\S+)(?: --language=(\d+))?", line)
        if not m:
            raise Malformed("unexpected wrestool line: %s" % line)
        rtype, name, lang = m.groups()
        rtype = int(rtype) if rtype.isdigit() else rtype.strip("'")
        name = int(name) if name.isdigit() else name.strip("'")
        found.setdefault((rtype, name), []).append(int(lang) if lang else None)
    return found


def check_inventory(check, found):
    for (rtype, name), langs in sorted(found.items(), key=str):
        label = "%s %s" % (TYPE_NAMES.get(rtype, "type %s" % rtype), name)
        check.expect("%s languages" % label, langs, [LANG_RUSSIAN])
    expected = {RT_DIALOG: set(DIALOGS), RT_MENU: {MENU_ID}, RT_GROUP_ICON: set(ICON_GROUPS),
                RT_VERSION: {1}}
    # Icon images are matched against the groups that use them instead.
    for rtype in sorted(({t for t, _ in found} | set(expected)) - {RT_ICON}, key=str):
        names = {n for t, n in found if t == rtype}
        label = TYPE_NAMES.get(rtype, "type %s" % rtype)
        check.expect("%s resources" % label, sorted(names, key=str),
                     sorted(expected.get(rtype, set()), key=str))


def parse_dialog(data):
    r = Reader(data)
    version, signature = r.take("HH")
    if (version, signature) != (1, 0xFFFF):
        raise Malformed("not an extended dialog template")
    head = {}
    head["helpId"], head["exStyle"], head["style"], count = r.take("IIIH")
    head["rect"] = r.take("hhhh")
    head["menu"] = r.text_or_ordinal()
    head["class"] = r.text_or_ordinal()
    head["caption"] = r.text()
    if head["style"] & STYLES["DS_SETFONT"]:
        points, weight, italic, charset = r.take("HHBB")
        head["font"] = (points, weight, italic, charset, r.text())
    controls = []
    for _ in range(count):
        r.align()
        c = {}
        c["helpId"], c["exStyle"], c["style"] = r.take("III")
        c["rect"] = r.take("hhhh")
        c["id"] = r.take("i")
        cls = r.text_or_ordinal()
        c["class"] = CONTROL_CLASSES.get(cls, cls) if isinstance(cls, int) else cls.upper()
        c["text"] = r.text_or_ordinal()
        extra = r.take("H")
        r.pos += extra
        controls.append(c)
    if r.pos > len(data):
        raise Malformed("creation data runs past the end")
    return head, controls


def check_dialog(check, dialog_id, data):
    caption, size, want_controls = DIALOGS[dialog_id]
    head, controls = parse_dialog(data)
    d = "dialog %d" % dialog_id
    check.expect(d + " caption", head["caption"], caption)
    check.expect(d + " position and size", head["rect"], (0, 0) + size)
    check.expect(d + " style", style_names(head["style"]), style_names(style_value(DIALOG_STYLE)))
    check.expect(d + " extended style, help id", (head["exStyle"], head["helpId"]), (0, 0))
    check.expect(d + " menu and class", (head["menu"], head["class"]), ("", ""))
    check.expect(d + " font", head.get("font"), DIALOG_FONT)
    check.expect(d + " control ids in order", [c["id"] for c in controls],
                 [w[0] for w in want_controls])
    for i, (cid, cls, text, styles, rect) in enumerate(want_controls):
        if i >= len(controls):
            break
        c = controls[i]
        what = "%s control %d (id %d)" % (d, i + 1, cid)
        check.expect(what + " class", c["class"], cls)
        check.expect(what + " text", c["text"], text)
        check.expect(what + " style", style_names(c["style"]), style_names(style_value(styles)))
        check.expect(what + " rectangle", c["rect"], rect)
        check.expect(what + " extended style, help id", (c["exStyle"], c["helpId"]), (0, 0))
        if isinstance(c["text"], str):
            check.expect(what + " has no mnemonic", "&" in c["text"], False)


def parse_menu_items(r, depth=0):
    items = []
    while True:
        flags = r.take("H")
        if flags & MF_POPUP:
            items.append((flags, None, r.text(), parse_menu_items(r, depth + 1)))
        else:
            items.append((flags, r.take("H"), r.text(), None))
        if flags & MF_END:
            return items
        if depth > 4 or len(items) > 100:
            raise Malformed("menu has no end marker")


def check_menu(check, data):
    r = Reader(data)
    check.expect("menu header (standard template)", r.take("HH"), (0, 0))
    top = parse_menu_items(r)
    check.expect("menu top level", [(f, t) for f, _, t, _ in top], [(MF_POPUP | MF_END, "menu")])
    if not top or top[0][3] is None:
        return
    items = top[0][3]
    got = []
    for i, (flags, item_id, text, sub) in enumerate(items):
        own = flags & ~MF_END
        last = i == len(items) - 1
        check.expect("menu item %d end marker" % i, bool(flags & MF_END), last)
        if item_id == 0 and text == "" and own in (0, MF_SEPARATOR):
            got.append(SEPARATOR)
            continue
        check.expect("menu item %d (%s) flags" % (i, item_id), own, 0)
        check.expect("menu item %d (%s) has no accelerator or mnemonic" % (i, item_id),
                     "\t" in text or "&" in text, False)
        got.append((item_id, text) if sub is None else ("popup", text))
    check.expect("menu items", got, MENU_ITEMS)


def colour_class(rgb):
    r, g, b = rgb
    if max(rgb) - min(rgb) < 24:
        return "grey"
    if r > 1.5 * b and g > 1.5 * b and min(r, g) > 0.6 * max(r, g):
        return "yellow"
    if r > 1.5 * g and r > 1.5 * b:
        return "red"
    if b > r and g > r:
        return "blue-green"
    return "other (mean %d, %d, %d)" % rgb


def decode_icon(data, size, bpp):
    """Decodes one RT_ICON image into rows of (r, g, b, alpha or None) and the mask bits."""
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        raise Malformed("PNG image, not a bitmap")
    r = Reader(data)
    hsize, width, height, planes, bits, compression = r.take("IiiHHI")
    r.pos = 40
    if (hsize, width, height, planes, bits, compression) != (40, size, 2 * size, 1, bpp, 0):
        raise Malformed("header %r, want (40, %d, %d, 1, %d, 0)"
                        % ((hsize, width, height, planes, bits, compression), size, 2 * size, bpp))
    colours = 1 << bpp if bpp <= 8 else 0
    palette = [r.take("BBBB")[2::-1] for _ in range(colours)]
    xor_stride = (size * bpp + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    want_len = 40 + 4 * colours + (xor_stride + and_stride) * size
    if len(data) != want_len:
        raise Malformed("%d bytes, want %d for header, palette, image and mask"
                        % (len(data), want_len))
    xor_at, and_at = r.pos, r.pos + xor_stride * size
    pixels, mask = [], []
    for y in range(size):
        row = size - 1 - y  # bottom-up
        xr = data[xor_at + row * xor_stride: xor_at + (row + 1) * xor_stride]
        ar = data[and_at + row * and_stride: and_at + (row + 1) * and_stride]
        prow, mrow = [], []
        for x in range(size):
            mrow.append((ar[x // 8] >> (7 - x % 8)) & 1)
            if bpp <= 8:
                per = 8 // bpp
                index = (xr[x // per] >> (8 - bpp * (x % per + 1))) & ((1 << bpp) - 1)
                prow.append(palette[index] + (None, index))
            elif bpp == 24:
                b, g, rd = xr[3 * x:3 * x + 3]
                prow.append((rd, g, b, None, None))
            else:
                b, g, rd, a = xr[4 * x:4 * x + 4]
                prow.append((rd, g, b, a, None))
        pixels.append(prow)
        mask.append(mrow)
    return pixels, mask


def check_image(check, what, pixels, mask, size, bpp):
    flat = [p for row in pixels for p in row]
    bits = [m for row in mask for m in row]
    transparent = sum(bits)
    check.expect(what + " mask leaves a picture and a transparent surround",
                 0 < transparent < size * size, True)
    if bpp == 32:
        alphas = [p[3] for p in flat]
        soft = sum(1 for a in alphas if 0 < a < 255)
        check.expect(what + " alpha has soft edges", soft >= size, True)
        agree = all(m == (a < 128) for m, a in zip(bits, alphas))
        check.expect(what + " mask is set exactly where alpha is below half", agree, True)
        # The shadow falls to the lower right: the faint pixels sit lower right of the solid.
        faint = centroid(pixels, lambda a: a if 0 < a < 128 else 0)
        solid = centroid(pixels, lambda a: 1 if a >= 128 else 0)
        shift = (round(faint[0] - solid[0], 2), round(faint[1] - solid[1], 2))
        check.expect(what + " shadow toward the lower right (faint pixels shifted %r)" % (shift,),
                     min(shift) > size / 32, True)
    else:
        # Drawn through the mask, a masked pixel must leave the background as it is.
        dirty = sum(1 for p, m in zip(flat, bits) if m and p[:3] != (0, 0, 0))
        check.expect(what + " masked pixels are black", dirty, 0)


def centroid(pixels, weight):
    total = sx = sy = 0
    for y, row in enumerate(pixels):
        for x, p in enumerate(row):
            w = weight(p[3])
            total, sx, sy = total + w, sx + w * x, sy + w * y
    return (sx / total, sy / total) if total else (0.0, 0.0)


def mean_colour(pixels, mask):
    opaque = [p for row, mrow in zip(pixels, mask) for p, m in zip(row, mrow) if not m]
    if not opaque:
        return (0, 0, 0)
    return tuple(sum(p[i] for p in opaque) // len(opaque) for i in range(3))


def check_icon_group(check, group_id, data, icon_ids):
    images, colour = ICON_GROUPS[group_id]
    g = "icon group %d" % group_id
    r = Reader(data)
    check.expect(g + " header", r.take("HH"), (0, 1))
    count = r.take("H")
    entries = [r.take("BBBBHHIH") for _ in range(count)]
    got = [(w or 256, bits) for w, h, cc, res, planes, bits, nbytes, nid in entries]
    check.expect(g + " images (size, bpp)", got, images)
    picture = None
    for w, h, cc, res, planes, bits, nbytes, nid in entries:
        size = w or 256
        what = "%s image %dx%d %d-bpp (icon %d)" % (g, size, h or 256, bits, nid)
        check.expect(what + " square", w, h)
        check.expect(what + " colour count, planes",
                     (cc, planes), (1 << bits if bits < 8 else 0, 1))
        if nid not in icon_ids:
            check.fail(what + ": no icon resource %d" % nid)
            continue
        icon_ids[nid] += 1
        try:
            image = check.raw(RT_ICON, nid)
            check.expect(what + " size in the directory", nbytes, len(image))
            pixels, mask = decode_icon(image, size, bits)
        except Malformed as e:
            check.fail("%s: %s" % (what, e))
            continue
        check_image(check, what, pixels, mask, size, bits)
        if size == 32 and (picture is None or bits > picture[0]):
            picture = (bits, mean_colour(pixels, mask))
    if picture:
        check.expect(g + " picture colour", colour_class(picture[1]), colour)


def parse_version_node(r, end):
    start = r.pos
    length, value_length, vtype = r.take("HHH")
    stop = start + length
    if length < 6 or stop > end:
        raise Malformed("version node of %d bytes overruns its parent" % length)
    key = r.text()
    r.align()
    value_bytes = value_length * 2 if vtype == 1 else value_length
    value = r.data[r.pos:r.pos + value_bytes]
    if r.pos + value_bytes > stop:
        raise Malformed("value of %s overruns its node" % key)
    r.pos += value_bytes
    r.align()
    children = []
    while r.pos < stop:
        children.append(parse_version_node(r, stop))
        r.align()
    r.pos = stop
    return key, vtype, value, children


def utf16z(value):
    text = value.decode("utf-16-le", errors="replace")
    return text.split("\0", 1)[0] if "\0" in text else text


def check_version(check, data):
    key, _, fixed, children = parse_version_node(Reader(data), len(data))
    check.expect("version root key", key, "VS_VERSION_INFO")
    if len(fixed) != 52:
        check.fail("version fixed part is %d bytes, want 52" % len(fixed))
        return
    f = struct.unpack("<13I", fixed)
    check.expect("version fixed signature", f[0], 0xFEEF04BD)
    ms, ls = VERSION[0] << 16 | VERSION[1], VERSION[2] << 16 | VERSION[3]
    check.expect("version file version", (f[2], f[3]), (ms, ls))
    check.expect("version product version", (f[4], f[5]), (ms, ls))
    names = ["FileFlagsMask", "FileFlags", "FileOS", "FileType", "FileSubtype", "FileDateMS",
             "FileDateLS"]
    check.expect("version fixed fields", dict(zip(names, f[6:13])), VERSION_FIXED)
    blocks = {k: c for k, _, _, c in children}
    check.expect("version blocks", [k for k, _, _, _ in children],
                 ["StringFileInfo", "VarFileInfo"])
    tables = blocks.get("StringFileInfo", [])
    check.expect("version string tables", [k for k, _, _, _ in tables], [VERSION_TABLE])
    for table_key, _, _, strings in tables[:1]:
        got = [(k, utf16z(v)) for k, _, v, _ in strings]
        check.expect("version strings", got, VERSION_STRINGS)
        for k, vtype, v, _ in strings:
            check.expect("version string %s is text ending in NUL" % k,
                         (vtype, v[-2:]), (1, b"\0\0"))
    var = blocks.get("VarFileInfo", [])
    translation = [struct.unpack("<HH", v[:4]) for k, _, v, _ in var
                   if k == "Translation" and len(v) >= 4]
    check.expect("version translation", translation, [VERSION_TRANSLATION])


def run_checks(check):
    found = list_resources(check)
    check_inventory(check, found)
    icon_ids = {n: 0 for t, n in found if t == RT_ICON}
    sections = [(RT_DIALOG, d, lambda data, d=d: check_dialog(check, d, data)) for d in DIALOGS]
    sections.append((RT_MENU, MENU_ID, lambda data: check_menu(check, data)))
    sections += [(RT_GROUP_ICON, g, lambda data, g=g: check_icon_group(check, g, data, icon_ids))
                 for g in ICON_GROUPS]
    sections.append((RT_VERSION, 1, lambda data: check_version(check, data)))
    for rtype, name, checker in sections:
        if (rtype, name) not in found:
            continue  # reported by the inventory
        try:
            checker(check.raw(rtype, name))
        except Malformed as e:
            check.fail("%s %s: %s" % (TYPE_NAMES[rtype], name, e))
    unused = sorted(n for n, uses in icon_ids.items() if uses != 1)
    check.expect("icon images not used by exactly one group", unused, [])


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    check = Check(argv[1])
    try:
        run_checks(check)
    except (Malformed, OSError, subprocess.TimeoutExpired) as e:
        check.fail("cannot read resources of %s: %s" % (argv[1], e))
    for line in check.failures:
        print("FAIL " + line)
    if check.failures:
        print("%d of %d checks failed" % (len(check.failures), max(check.count, 1)))
        return 1
    print("ok: %d checks on %s" % (check.count, argv[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
