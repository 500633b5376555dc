#!/usr/bin/env python3
"""build_installer.sh without Wine: what it refuses, and that a refusal or a failed step leaves
no installer behind (neither a new one, nor a damaged old one, nor scratch files); and on the
real agent, the config tool's PE handling (checksum, signatures) and the signing round trip.

Environment: VORNA_AGENT_EXE (an agent to pack), VORNA_UNINSTALLER_EXE (the uninstall.exe to
pack), VORNA_CONFIG (the site configuration tool), MAKENSIS (optional).
"""

import os
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
SCRIPT = ROOT / "installer" / "build_installer.sh"
OLD_CONTENT = b"the installer of the previous release"
SITE = ["--address", "10.20.30.40", "--port", "8123", "--key", "{site_key}"]

# Writes part of the installer it was asked for, then fails, as a full disk would.
BROKEN_MAKENSIS = """#!/bin/sh
for a in "$@"; do case "$a" in -DOUTFILE=*) printf 'MZ partial' >"${a#-DOUTFILE=}" ;; esac; done
echo "Error: disk full" >&2
exit 1
"""


@dataclass
class Case:
    name: str
    # Run in a scratch directory holding the old VornaAgentSetup.exe; "{exe}" (the agent, as a
    # relative path), "{tool}", "{broken_makensis}" are filled in.
    args: list
    exit_code: int
    message: str  # part of what the script must say


CASES = [
    Case("no output named", ["--exe", "{exe}"], 2, "--out is required"),
    Case("an option without its value", ["--exe", "{exe}", "--out"], 2, "--out needs a value"),
    Case("an unknown argument", ["--exe", "{exe}", "--out", "setup.exe", "--site", "x"], 2,
         'unexpected argument "--site"'),
    Case("a version that is not four numbers",
         ["--exe", "{exe}", "--out", "VornaAgentSetup.exe", "--version", "2.5.3"], 2, "--version"),
    Case("the agent does not exist", ["--exe", "missing.exe", "--out", "VornaAgentSetup.exe"], 1,
         "cannot read the agent"),
    Case("uninstall.exe does not exist",
         ["--exe", "{exe}", "--uninstaller", "missing.exe", "--out", "VornaAgentSetup.exe"], 1,
         "cannot read the uninstaller"),
    Case("the output directory does not exist", ["--exe", "{exe}", "--out", "no/setup.exe"], 1,
         "cannot write into"),
    Case("the output is a directory", ["--exe", "{exe}", "--out", "."], 1, "is a directory"),
    Case("a site setting the config tool refuses",
         ["--exe", "{exe}", "--port", "70000", "--config-tool", "{tool}", "--out",
          "VornaAgentSetup.exe"], 1, "stamping the site's settings"),
    Case("a site's settings without a config tool",
         ["--exe", "{exe}", "--port", "800", "--config-tool", "nope", "--out",
          "VornaAgentSetup.exe"], 1, "config tool"),
    Case("makensis fails half-way through writing",
         ["--exe", "{exe}", "--makensis", "{broken_makensis}", "--out", "VornaAgentSetup.exe",
          "--allow-test-key"], 1, "makensis failed"),
    Case("the built-in test key", ["--exe", "{exe}", "--config-tool", "{tool}", "--out",
                                   "VornaAgentSetup.exe"], 1, "TEST KEY"),
    Case("a site's address, but still the test key",
         ["--exe", "{exe}", "--address", "10.1.1.1", "--config-tool", "{tool}", "--out",
          "VornaAgentSetup.exe"], 1, "--allow-test-key"),
    Case("a test installer from relative paths",
         ["--exe", "{exe}", "--out", "VornaAgentSetup.exe", "--allow-test-key"], 0,
         "WARNING: packing a TEST KEY"),
    Case("a site's installer", ["--exe", "{exe}", *SITE, "--config-tool", "{tool}", "--out",
                                "VornaAgentSetup.exe"], 0, "packed address: 10.20.30.40"),
    Case("a site's installer says what it packed",
         ["--exe", "{exe}", *SITE, "--config-tool", "{tool}", "--out", "VornaAgentSetup.exe"], 0,
         "packed key: 1024-bit RSA"),
    Case("signing half asked for",
         ["--exe", "{exe}", *SITE, "--sign-cert", "{site_key}", "--out", "VornaAgentSetup.exe"],
         2, "--sign-cert and --sign-key go together"),
]


def run_case(case, values, env):
    """Returns what is wrong, or an empty list, and the script's output."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "VornaAgentSetup.exe"
        out.write_bytes(OLD_CONTENT)
        filled = dict(values, exe=os.path.relpath(values["exe"], tmp))
        args = [a.format(**filled) for a in case.args]
        done = subprocess.run(["bash", str(SCRIPT), *args], env=env, cwd=tmp,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        text = done.stdout.decode(errors="replace")
        problems = []
        if done.returncode != case.exit_code:
            problems.append(f"exit code {done.returncode}, expected {case.exit_code}")
        if case.message not in text:
            problems.append(f"output lacks {case.message!r}")
        data = out.read_bytes()
        if case.exit_code != 0 and data != OLD_CONTENT:
            problems.append("the existing installer was changed")
        if case.exit_code == 0 and (data[:2] != b"MZ" or len(data) < 100000):
            problems.append(f"no installer written ({len(data)} bytes)")
        left = sorted(p.name for p in Path(tmp).iterdir() if p != out)
        if left:
            problems.append(f"files left behind: {left}")
        return problems, text


def pe_checksum(data):
    """The stored and the computed PE checksum, computed here independently of the tool."""
    pe = struct.unpack_from("<I", data, 0x3c)[0]
    at = pe + 24 + 64
    stored = struct.unpack_from("<I", data, at)[0]
    body = bytearray(data)
    body[at:at + 4] = bytes(4)
    if len(body) % 2:
        body += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", bytes(body)):
        total = (total + word) & 0xffffffff
        total = (total & 0xffff) + (total >> 16)
    total = (total & 0xffff) + (total >> 16)
    return stored, total + len(data)


def run(*command, cwd=None):
    done = subprocess.run([str(c) for c in command], cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120)
    return done.returncode, done.stdout.decode(errors="replace")


def verify(path, certificate):
    code, text = run("osslsigncode", "verify", "-CAfile", certificate, "-in", path)
    return code == 0 and "Succeeded" in text


def check_stamping_and_signing(agent, tool, site_key, tmp):
    """Returns a list of (name, problem or "")."""
    tmp = Path(tmp)
    certificate, key = tmp / "cert.pem", tmp / "key.pem"
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
        certificate, "-subj", "/CN=Vorna throwaway signing", "-days", "2")
    results = []

    stamped = tmp / "stamped.exe"
    code, text = run(tool, "stamp", agent, "--out", stamped, "--address", "10.7.7.7")
    stored, computed = pe_checksum(stamped.read_bytes())
    results.append(("stamping leaves a valid PE checksum",
                    "" if code == 0 and stored == computed and stored != pe_checksum(
                        agent.read_bytes())[0] else f"exit {code}, {stored:#x} vs {computed:#x}"))

    signed = tmp / "signed.exe"
    run("osslsigncode", "sign", "-certs", certificate, "-key", key, "-in", stamped, "-out", signed)
    out = tmp / "restamped.exe"
    code, text = run(tool, "stamp", signed, "--out", out, "--port", "801")
    results.append(("a signed agent is refused",
                    "" if code == 2 and "--strip-signature" in text and not out.exists()
                    else f"exit {code}: {text.strip()}"))
    code, text = run(tool, "stamp", signed, "--out", out, "--port", "801", "--strip-signature")
    problem = ""
    if code != 0 or "signature: none" not in text:
        problem = f"exit {code}: {text.strip()}"
    else:
        stored, computed = pe_checksum(out.read_bytes())
        resigned = tmp / "resigned.exe"
        run("osslsigncode", "sign", "-certs", certificate, "-key", key, "-in", out, "-out",
            resigned)
        if stored != computed:
            problem = "stale checksum after stripping"
        elif not verify(resigned, certificate):
            problem = "the stripped and re-signed agent does not verify"
    results.append(("a signature is stripped on request", problem))

    # Signing through the script: a pass-through osslsigncode records what it signed, a
    # pass-through makensis keeps the agent it packs.
    logs = tmp / "signed.log"
    wrapper = tmp / "osslsigncode"
    wrapper.write_text(f"""#!/bin/sh
prev=""; for a in "$@"; do [ "$prev" = "-in" ] && echo "$a" >>"{logs}"; prev=$a; done
exec osslsigncode "$@"
""")
    packer = tmp / "makensis"
    packer.write_text(f"""#!/bin/sh
for a in "$@"; do case "$a" in
    -DAGENT_EXE=*) cp "${{a#-DAGENT_EXE=}}" "{tmp}/packed.exe" ;;
    -DUNINSTALL_LAUNCHER=*) cp "${{a#-DUNINSTALL_LAUNCHER=}}" "{tmp}/packed-uninstall.exe" ;;
esac; done
exec makensis "$@"
""")
    wrapper.chmod(0o755)
    packer.chmod(0o755)
    setup = tmp / "SignedSetup.exe"
    code, text = run("bash", SCRIPT, "--exe", agent, "--address", "10.20.30.40", "--key",
                     site_key, "--config-tool", tool, "--osslsigncode", wrapper, "--makensis",
                     packer, "--sign-cert", certificate, "--sign-key", key, "--out", setup)
    signed_files = logs.read_text().split() if logs.exists() else []
    problem = ""
    if code != 0:
        problem = f"exit {code}: {text.strip()}"
    elif not verify(setup, certificate):
        problem = "the installer does not verify"
    elif not verify(tmp / "packed.exe", certificate):
        problem = "the packed agent does not verify"
    elif not verify(tmp / "packed-uninstall.exe", certificate):
        problem = "the packed uninstall.exe does not verify"
    elif len(signed_files) != 4 or not signed_files[-1].endswith("output.exe"):
        problem = ("expected agent, uninstall.exe, NSIS's uninstaller, installer to be signed in "
                   f"turn: {signed_files}")
    results.append(("signing round trip: agent, uninstall.exe and uninstaller, installer",
                    problem))
    return results


def main():
    agent = Path(os.environ.get("VORNA_AGENT_EXE", "")).resolve()
    tool = Path(os.environ.get("VORNA_CONFIG") or ROOT / "build/host/tools/vorna_config")
    tool = tool.resolve()
    for name, path in (("VORNA_AGENT_EXE", agent), ("VORNA_CONFIG", tool)):
        if not path.is_file():
            print(f"FAIL  {name} must name an existing file (got {str(path)!r})")
            return 1
    # Only what a case passes may reach the script.
    env = {k: v for k, v in os.environ.items() if k != "VORNA_CONFIG"}
    failures = 0
    with tempfile.TemporaryDirectory() as tools:
        broken = Path(tools) / "makensis"
        broken.write_text(BROKEN_MAKENSIS)
        broken.chmod(0o755)
        site_key = Path(tools) / "site_key.pem"
        subprocess.run(["openssl", "genrsa", "-out", str(site_key), "1024"], check=True,
                       capture_output=True)
        values = {"exe": agent, "tool": tool, "broken_makensis": broken, "site_key": site_key}
        for case in CASES:
            problems, text = run_case(case, values, env)
            if problems:
                failures += 1
                print(f"FAIL  {case.name}: {'; '.join(problems)}\n    output: {text.strip()}")
            else:
                print(f"ok    {case.name}")
        for name, problem in check_stamping_and_signing(agent, tool, site_key, tools):
            if problem:
                failures += 1
                print(f"FAIL  {name}: {problem}")
            else:
                print(f"ok    {name}")
    print(f"{failures} failed" if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
