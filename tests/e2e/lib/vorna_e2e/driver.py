"""vorna_driver: one user's or Windows' action per run, results as key=value lines."""
import subprocess

from .poll import poll


class DriverResult:
    def __init__(self, code, raw, errors=b""):
        self.code = code
        self.raw = raw.decode("utf-8", "replace")
        self.errors = errors.decode("utf-8", "replace")
        self.values = {}
        for line in raw.decode("latin-1").splitlines():
            key, sep, value = line.partition("=")
            if not sep:
                continue
            if key.endswith("_hex"):
                # The CP1251 bytes are the truth; the _utf8 copy is for people.
                self.values[key[:-4]] = bytes.fromhex(value).decode("cp1251")
            elif not key.endswith("_utf8"):
                self.values[key] = value

    @property
    def ok(self):
        return self.code == 0

    def __getitem__(self, key):
        return self.values[key]

    def get(self, key, default=None):
        return self.values.get(key, default)

    def int(self, key):
        return int(self.values[key], 0)

    def menu_items(self):
        """The items of a `menu` result: dicts with id, text, separator, checked, grayed."""
        items = []
        for i in range(int(self.values.get("items", 0))):
            p = f"item{i}."
            items.append({"id": int(self.values[p + "id"]), "text": self.values[p + "text"],
                          "separator": self.values[p + "separator"] == "1",
                          "checked": self.values[p + "checked"] == "1",
                          "grayed": self.values[p + "grayed"] == "1"})
        return items

    def __repr__(self):
        tail = f", wine said {self.errors.strip()[-400:]!r}" if self.errors.strip() else ""
        return f"<driver exit {self.code}: {self.raw.strip()!r}{tail}>"


TEXT_OPTIONS = ("caption", "text", "exe")


class Driver:
    def __init__(self, wine, exe):
        self.wine = wine
        self.exe = exe

    def __call__(self, command, **options):
        """Runs one driver command. Texts (caption, text) are passed as CP1251 hex; other
        options as given, with underscores in names turned into dashes."""
        args = [self.exe, command]
        for name, value in options.items():
            if value is None:
                continue
            name = name.replace("_", "-")
            if name in TEXT_OPTIONS:
                args += [f"--{name}-hex", str(value).encode("cp1251").hex().upper()]
            else:
                args += [f"--{name}", str(int(value) if isinstance(value, bool) else value)]
        timeout_ms = int(options.get("timeout", 5000) or 0)
        # The driver prints at least one line on every path.
        code, out = self.wine.run(args, timeout=timeout_ms / 1000 + 30, retry_unstarted=True)
        if code == 2:
            raise AssertionError(f"driver usage error: {command} {options!r}")
        return DriverResult(code, out, self.wine.last_errors)

    # ---- a few compositions the tests use all the time ----

    def wait_window(self, caption, visible=None, timeout=10000, **selector):
        r = self("wait-window", caption=caption, visible=visible, timeout=timeout, **selector)
        if not r.ok:
            state = {None: "", 1: " (visible)", 0: " (hidden)"}[visible]
            raise AssertionError(f"window {caption!r}{state} did not appear: {r!r}")
        return r

    def wait_gone(self, caption, timeout=10000, **selector):
        r = self("wait-window", caption=caption, gone=1, timeout=timeout, **selector)
        if not r.ok:
            raise AssertionError(f"window {caption!r} is still there: {r!r}")
        return r

    def box(self, caption, timeout=10000, **selector):
        r = self("find-box", caption=caption, timeout=timeout, **selector)
        if not r.ok:
            raise AssertionError(f"no message box {caption!r}: {r!r}")
        return r

    def no_box(self, caption, **selector):
        return not self("find-box", caption=caption, timeout=0, **selector).ok

    def press_box(self, caption, timeout=10000, **selector):
        r = self("press-box", caption=caption, timeout=timeout, **selector)
        if not r.ok:
            raise AssertionError(f"could not press OK in {caption!r}: {r!r}")
        return r

    def text(self, caption, control_id, **selector):
        r = self("get-text", caption=caption, id=control_id, **selector)
        if not r.ok:
            raise AssertionError(f"no control {control_id} in {caption!r}: {r!r}")
        return r["text"]

    def wait_text(self, caption, control_id, expected, timeout=10, **selector):
        return poll(lambda: self.text(caption, control_id, **selector) == expected, timeout,
                    f"control {control_id} of {caption!r} to read {expected!r}")

    def visible(self, caption, **selector):
        r = self("window-visible", caption=caption, **selector)
        return r.ok and r["visible"] == "1"

    def windows(self, caption=None, **selector):
        r = self("list-windows", caption=caption, **selector)
        return [{k[len(f"w{i}."):]: v for k, v in r.values.items() if k.startswith(f"w{i}.")}
                for i in range(int(r.get("count", 0)))]
