#!/usr/bin/env python3
"""The .deb: its contents and control fields, the unit file, the man page, and an install and
removal in a throwaway dpkg root (dpkg --root, dependencies not installed there)."""
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

EXPECTED = {
    "./usr/bin/vornaagent",
    "./usr/lib/systemd/user/vornaagent.service",
    "./usr/share/man/man1/vornaagent.1.gz",
    "./usr/share/doc/vornaagent/examples/site.conf",
    "./usr/share/doc/vornaagent/copyright",
    "./usr/share/doc/vornaagent/changelog.gz",
    "./usr/share/applications/vornaagent.desktop",
}


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True, check=True).stdout


def main(deb):
    files = {line.split()[-1] for line in run("dpkg-deb", "-c", deb).splitlines()
             if not line.startswith("d")}
    check(files == EXPECTED, f"package files: {sorted(files)}")
    info = run("dpkg-deb", "-I", deb)
    for field in ("Package: vornaagent", "Depends:", "libc6", "Section: net"):
        check(field in info, f"control lacks {field!r}:\n{info}")
    # The tray's build asks for the password with a dialog program and needs no notify-send.
    if "libsystemd0" in info:
        check("Recommends: zenity | kdialog" in info, f"recommends:\n{info}")
    # Debian's own checks: no error and no warning.
    if shutil.which("lintian"):
        result = subprocess.run(["lintian", "--fail-on", "error,warning", deb],
                                capture_output=True, text=True)
        findings = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:")]
        check(result.returncode == 0 and not findings, f"lintian: {result.stdout}{result.stderr}")
    else:
        print("lintian not installed: its checks skipped (scripts/setup installs it)")

    root = tempfile.mkdtemp(prefix="vorna-deb-")
    try:
        run("dpkg-deb", "-x", deb, os.path.join(root, "x"))
        x = os.path.join(root, "x")
        # Every shared library the agent needs is a dependency (libcrypto only when the slim
        # static one was missing at build time).
        needed = re.findall(r"NEEDED\s+(\S+)", run("objdump", "-p",
                                                    os.path.join(x, "usr/bin/vornaagent")))
        check("libcrypto.so.3" not in needed or "libssl3" in info,
              f"the agent needs libcrypto.so.3 but the control lacks libssl3:\n{info}")
        with open(os.path.join(x, "usr/lib/systemd/user/vornaagent.service")) as f:
            unit = f.read()
        for line in ("ExecStart=/usr/bin/vornaagent run", "[Install]", "WantedBy=default.target",
                     "Type=simple"):
            check(line in unit.splitlines(), f"unit lacks {line!r}")
        with gzip.open(os.path.join(x, "usr/share/man/man1/vornaagent.1.gz"), "rt") as f:
            man = f.read()
        helptext = run(os.path.join(x, "usr/bin/vornaagent"), "--help")
        # The exit codes are the same in --help and the man page.
        codes = re.findall(r"^  ([0-9])  ", helptext, re.M)
        check(codes == ["0", "1", "2", "3"], f"--help exit codes: {codes}")
        man_codes = re.findall(r"^\.B ([0-9])$", man.split(".SH EXIT STATUS")[1], re.M)
        check(man_codes == codes, f"man page exit codes: {man_codes}")
        for command in ("login", "logout", "status", "info", "autostart", "quit", "run"):
            check(f".B vornaagent {command}" in man and f"  {command}" in helptext, command)
        with open(os.path.join(x, "usr/share/doc/vornaagent/examples/site.conf")) as f:
            names = {line.split("=")[0] for line in f if line.strip() and line[0] != "#"}
        check(names == {"address", "port", "key"}, f"sample site.conf names: {names}")

        # Install and remove in a throwaway root.
        target = os.path.join(root, "root")
        os.makedirs(os.path.join(target, "var/lib/dpkg/info"))
        os.makedirs(os.path.join(target, "var/lib/dpkg/updates"))
        open(os.path.join(target, "var/lib/dpkg/status"), "w").close()
        dpkg = ["dpkg", f"--root={target}", "--force-depends", "--force-not-root",
                "--log=/dev/null"]
        subprocess.run(dpkg + ["-i", deb], capture_output=True, check=True)
        for path in EXPECTED:
            check(os.path.isfile(os.path.join(target, path)), f"installed: {path}")
        status = run("dpkg", f"--root={target}", "-s", "vornaagent")
        check("Status: install ok installed" in status, status)
        subprocess.run(dpkg + ["-r", "vornaagent"], capture_output=True, check=True)
        left = [os.path.join(d, f) for d, _, fs in os.walk(os.path.join(target, "usr"))
                for f in fs]
        check(left == [], f"left after removal: {left}")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("package ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
