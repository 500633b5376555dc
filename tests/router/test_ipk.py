#!/usr/bin/env python3
"""The router package as opkg reads it: unpacked with tarfile, its layout, control fields,
conffiles, maintainer scripts and modes checked, and built again to the same bytes.

    test_ipk.py IPK BINARY TARGET VERSION
"""
import io
import os
import subprocess
import sys
import tarfile
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD_IPK = os.path.join(HERE, "..", "..", "installer", "openwrt", "build_ipk.sh")


def expect(ok, what):
    if not ok:
        raise AssertionError(what)


def members(data):
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as tar:
        return {m.name: (m, tar.extractfile(m).read() if m.isfile() else None)
                for m in tar.getmembers()}


def check(ipk, binary, target, version):
    with open(ipk, "rb") as f:
        raw = f.read()
    expect(raw[:2] == b"\x1f\x8b", "the package is a gzip'd tar")
    outer = members(raw)
    expect(sorted(outer) == ["./control.tar.gz", "./data.tar.gz", "./debian-binary"],
           f"outer members {sorted(outer)}")
    expect(outer["./debian-binary"][1] == b"2.0\n", "debian-binary")
    for name, (member, _) in outer.items():
        expect((member.uid, member.gid, member.uname, member.gname) in
               ((0, 0, "", ""), (0, 0, "root", "root")), f"{name} owned by root")

    data = members(outer["./data.tar.gz"][1])
    files = {name: (m.mode & 0o7777) for name, (m, _) in data.items() if m.isfile()}
    expect(files == {"./usr/bin/vornaagent": 0o755, "./etc/init.d/vornaagent": 0o755,
                     "./etc/config/vornaagent": 0o600},
           f"data files and modes {sorted((n, oct(m)) for n, m in files.items())}")
    for name, (m, _) in data.items():
        expect(m.uid == 0 and m.gid == 0, f"{name} owned 0:0")
        expect(name == "." or name.startswith("./"), f"{name} has the ./ prefix")
        expect(m.isfile() or m.isdir(), f"{name}: only files and folders")
    with open(binary, "rb") as f:
        expect(data["./usr/bin/vornaagent"][1] == f.read(), "the binary is the one given")
    init = data["./etc/init.d/vornaagent"][1].decode()
    expect(init.startswith("#!/bin/sh /etc/rc.common\n") and "USE_PROCD=1" in init,
           "the init script is a procd one")
    config = data["./etc/config/vornaagent"][1].decode()
    expect("option enabled '1'" not in config, "the example enables no account")

    control = members(outer["./control.tar.gz"][1])
    expect(sorted(n for n, (m, _) in control.items() if m.isfile()) ==
           ["./conffiles", "./control", "./postinst", "./prerm"], f"control {sorted(control)}")
    for name in ("./postinst", "./prerm"):
        expect(control[name][0].mode & 0o777 == 0o755, f"{name} executable")
        expect(control[name][1].startswith(b"#!/bin/sh\n"), f"{name} is a shell script")
    expect(b"/etc/init.d/vornaagent enable" in control["./postinst"][1], "postinst enables")
    expect(b"/etc/init.d/vornaagent disable" in control["./prerm"][1] and
           b"/etc/init.d/vornaagent stop" in control["./prerm"][1], "prerm stops and disables")
    expect(control["./conffiles"][1] == b"/etc/config/vornaagent\n", "conffiles")
    fields = {}
    for line in control["./control"][1].decode().splitlines():
        if line.startswith(" "):
            continue
        name, _, value = line.partition(":")
        fields[name] = value.strip()
    size = sum(len(c) for _, c in data.values() if c is not None)
    want = {"Package": "vornaagent", "Version": version, "Architecture": target,
            "Depends": "", "Installed-Size": str(size)}
    for name, value in want.items():
        expect(fields.get(name) == value, f"control field {name}: {fields.get(name)!r}")
    for name in ("Maintainer", "Description", "Section"):
        expect(fields.get(name), f"control field {name} is there")

    # The same inputs give the same bytes.
    with tempfile.TemporaryDirectory(prefix="vorna-ipk-test-") as tmp:
        again = os.path.join(tmp, "again.ipk")
        epoch = str(max(m.mtime for m, _ in outer.values()))
        subprocess.run(["sh", BUILD_IPK, binary, target, version, again], check=True,
                       env=dict(os.environ, SOURCE_DATE_EPOCH=epoch), timeout=60)
        with open(again, "rb") as f:
            expect(f.read() == raw, "a second build gives the same bytes")
        bad = subprocess.run(["sh", BUILD_IPK, binary, "x86 64", version, again],
                             capture_output=True, text=True, timeout=60)
        expect(bad.returncode != 0 and "bad target" in bad.stderr, "a bad target is refused")


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    check(*sys.argv[1:])
    print("ipk: layout, control fields, conffiles and modes as opkg needs them")
    return 0


if __name__ == "__main__":
    sys.exit(main())
