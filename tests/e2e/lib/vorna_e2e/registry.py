"""Reading and clearing the prefix's registry from the tests, through Wine's own tools."""
import os
import re
import tempfile


def parse_reg_export(text):
    """Parses a regedit export into {key path: {value name: (type, value)}}. Types are "sz"
    (str), "dword" (int) and "hex" / "hex(N)" (bytes); "@" names the default value."""
    keys = {}
    current = None
    # Values continue on the next line after a trailing backslash.
    joined = re.sub(r"\\\r?\n\s*", "", text)
    for line in joined.splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
            continue
        if current is None or "=" not in line:
            continue
        m = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)
        if not m:
            continue
        name = "@" if m.group(1) == "@" else _unescape(m.group(2))
        current[name] = _parse_data(m.group(3))
    return keys


def _unescape(s):
    return re.sub(r"\\(.)", r"\1", s)


def _parse_data(data):
    if data.startswith('"'):
        return "sz", _unescape(data[1:-1])
    if data.startswith("dword:"):
        return "dword", int(data[6:], 16)
    m = re.match(r"^(hex(?:\([0-9a-f]+\))?):(.*)$", data)
    if m:
        raw = bytes(int(b, 16) for b in m.group(2).split(",") if b.strip())
        return m.group(1), raw
    return "other", data


class Registry:
    def __init__(self, wine):
        self.wine = wine

    def export(self, key):
        """The values of `key` (and its subkeys), or None when the key does not exist."""
        fd, path = tempfile.mkstemp(suffix=".reg", dir=self.wine.run_dir)
        os.close(fd)
        try:
            os.unlink(path)
            self.wine.run(["regedit", "/E", self.wine.windows_path(path), key])
            if not os.path.exists(path):
                return None
            with open(path, "rb") as f:
                raw = f.read()
        finally:
            if os.path.exists(path):
                os.unlink(path)
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode()
        return parse_reg_export(text)

    def values(self, key):
        """{name: (type, value)} of `key` itself; None when the key does not exist."""
        exported = self.export(key)
        if exported is None:
            return None
        for path, values in exported.items():
            if path.lower() == key.lower():
                return values
        return None

    def delete_key(self, key):
        self.wine.run(["reg", "delete", key, "/f"])

    def delete_value(self, key, name):
        self.wine.run(["reg", "delete", key, "/v", name, "/f"])

    def set_value(self, key, name, kind, data):
        """kind: REG_SZ, REG_DWORD or REG_BINARY (data as bytes)."""
        if kind == "REG_BINARY":
            data = bytes(data).hex()
        # reg prints a line when it has added the value.
        code, _ = self.wine.run(["reg", "add", key, "/v", name, "/t", kind, "/d", str(data), "/f"],
                                retry_unstarted=True)
        if code != 0:
            raise AssertionError(f"reg add {key} {name} failed: {self.wine.last_errors!r}")
