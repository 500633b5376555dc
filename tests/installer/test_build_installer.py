#!/usr/bin/env python3
"""build_installer.sh without Wine: what it refuses, and that a refusal or a failed step leaves
no installer behind (neither a new one, nor a damaged old one, nor scratch files).

Environment: VORNA_AGENT_EXE (an agent to pack), VORNA_CONFIG (the site configuration tool),
MAKENSIS (optional).
"""

import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
SCRIPT = ROOT / "installer" / "build_installer.sh"
KEY = ROOT / "tests" / "fixtures" / "test_key_2048.pub.pem"
OLD_CONTENT = b"the installer of the previous release"
SITE = ["--address", "10.20.30.40", "--port", "8123", "--key", str(KEY)]

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
         ["--exe", "{exe}", "--makensis", "{broken_makensis}", "--out", "VornaAgentSetup.exe"], 1,
         "makensis failed"),
    Case("an installer from relative paths", ["--exe", "{exe}", "--out", "VornaAgentSetup.exe"],
         0, "wrote VornaAgentSetup.exe"),
    Case("a site's installer", ["--exe", "{exe}", *SITE, "--config-tool", "{tool}", "--out",
                                "VornaAgentSetup.exe"], 0, "address: 10.20.30.40"),
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
        values = {"exe": agent, "tool": tool, "broken_makensis": broken}
        for case in CASES:
            problems, text = run_case(case, values, env)
            if problems:
                failures += 1
                print(f"FAIL  {case.name}: {'; '.join(problems)}\n    output: {text.strip()}")
            else:
                print(f"ok    {case.name}")
    print(f"{failures} of {len(CASES)} failed" if failures else f"all {len(CASES)} passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
