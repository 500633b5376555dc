"""The Wine side of the installer tests: the environment, programs, registry and paths.

Every Wine program runs with its output in a file (a pipe can stay open after the program ends)
and under a timeout, so a hung program fails the test instead of hanging it.
"""

import os
import re
import subprocess
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent


class Failure(Exception):
    pass


def check(condition, what, context=""):
    if not condition:
        raise Failure(what + ("\n    " + str(context) if context else ""))


def check_eq(actual, expected, what):
    if actual != expected:
        raise Failure(f"{what}\n    expected: {expected!r}\n    actual:   {actual!r}")


def _read_env_file(path):
    out = subprocess.run(["bash", "-c", '. "$1" && env -0', "bash", str(path)],
                         stdout=subprocess.PIPE, check=True, timeout=10).stdout
    return dict(item.split("=", 1) for item in out.decode().split("\0") if "=" in item)


def _pid_alive(pid_file):
    try:
        os.kill(int(Path(pid_file).read_text().strip()), 0)
        return True
    except (OSError, ValueError):
        return False


class WineSession:
    """Uses the Wine environment of the test run, or brings one up and later takes it down."""

    def __init__(self):
        self.harness = Path(os.environ.get("VORNA_HARNESS_DIR", ROOT / "tests" / "harness"))
        self.started_here = False
        self.processes = []
        if os.environ.get("WINEPREFIX"):
            self.env = dict(os.environ)
            self.run_dir = Path(tempfile.mkdtemp(prefix="vorna-installer-"))
            return
        base = dict(os.environ)
        base.setdefault("VORNA_RUN_DIR", "/tmp/vorna-installer-run")
        run_dir = Path(base["VORNA_RUN_DIR"])
        shared = (run_dir / "wine.env").exists() and _pid_alive(run_dir / "xvfb.pid")
        subprocess.run(["bash", str(self.harness / "wine_env.sh"), "up"], env=base, check=True,
                       timeout=180)
        self.started_here = not shared
        self.env = dict(base)
        self.env.update(_read_env_file(run_dir / "wine.env"))
        self.run_dir = run_dir / "installer-test"
        self.run_dir.mkdir(parents=True, exist_ok=True)

    def close(self):
        for p in self.processes:
            if p.poll() is None:
                p.kill()
                p.wait(timeout=10)
        if self.started_here:
            subprocess.run(["bash", str(self.harness / "wine_env.sh"), "down"], env=self.env,
                           timeout=60)

    # ---- programs ----

    def run(self, args, timeout=60, encoding="utf-8", retry_unstarted=False):
        """Runs `wine args...` to the end; returns (exit code, output). Under load Wine has,
        rarely, failed to start a program: exit 1 and no output at all. With `retry_unstarted`,
        for a program that never ends so on its own, that is retried once."""
        for _ in range(2 if retry_unstarted else 1):
            with tempfile.TemporaryFile(dir=self.run_dir) as out:
                try:
                    rc = subprocess.run(["wine", *map(str, args)], env=self.env, stdout=out,
                                        stderr=subprocess.STDOUT, timeout=timeout).returncode
                except subprocess.TimeoutExpired:
                    raise Failure(f"wine {' '.join(map(str, args))} did not end in {timeout} s")
                out.seek(0)
                output = out.read().decode(encoding, "replace")
            if rc != 1 or output.strip():
                break
        return rc, output

    def start(self, args, log_path):
        """Starts `wine args...` in the background with its output in log_path."""
        with open(log_path, "wb") as log:
            p = subprocess.Popen(["wine", *map(str, args)], env=self.env, stdout=log,
                                 stderr=subprocess.STDOUT)
        self.processes.append(p)
        return p

    def prefix_processes(self, needle):
        """Linux pids of this prefix's processes whose command line contains needle."""
        mark = ("WINEPREFIX=" + self.env["WINEPREFIX"]).encode()
        found = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                if mark not in (entry / "environ").read_bytes().split(b"\0"):
                    continue
                if needle.encode() in (entry / "cmdline").read_bytes():
                    found.append(int(entry.name))
            except OSError:
                continue
        return found

    # ---- paths ----

    def expand(self, text):
        """A Windows environment string as cmd expands it, e.g. %LOCALAPPDATA%."""
        rc, out = self.run(["cmd", "/c", "echo", text], timeout=20)
        check(rc == 0, f"cmd /c echo {text} failed", out)
        return out.strip().splitlines()[-1].strip()

    def unix_path(self, windows_path):
        rc, out = self.run(["winepath", "-u", windows_path], timeout=20)
        check(rc == 0, f"winepath -u {windows_path} failed", out)
        return Path(out.strip().splitlines()[-1])

    def windows_path(self, unix_path):
        return "Z:" + str(unix_path).replace("/", "\\")

    # ---- registry ----

    def reg_values(self, key, root="HKCU"):
        """The values of one key (of HKCU, or of `root`) as {name: str | int}, or None when it
        is absent."""
        rc, out = self.run(["reg", "query", root + "\\" + key], timeout=20, encoding="cp866")
        if rc != 0:
            return None
        values = {}
        for line in out.splitlines():
            # "    NAME    REG_SZ    DATA"; lines without the indent name the subkeys.
            m = re.match(r"    (.*?)    (REG_\w+)    ?(.*)$", line)
            if m:
                name, kind, data = m.groups()
                values[name] = int(data, 16) if kind == "REG_DWORD" else data
        return values

    def reg_import(self, sections, root="HKEY_CURRENT_USER"):
        """Applies {key: {name: value}} in one regedit run: str and int values are written,
        None deletes a value; a key mapped to None is deleted with its subkeys."""
        def quote(text):
            return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

        lines = ["Windows Registry Editor Version 5.00", ""]
        for key, values in sections.items():
            full = root + "\\" + key
            if values is None:
                lines += [f"[-{full}]", ""]
                continue
            lines.append(f"[{full}]")
            for name, value in values.items():
                if value is None:
                    lines.append(f"{quote(name)}=-")
                elif isinstance(value, int):
                    lines.append(f"{quote(name)}=dword:{value:08x}")
                else:
                    lines.append(f"{quote(name)}={quote(value)}")
            lines.append("")
        fd, name = tempfile.mkstemp(suffix=".reg", dir=self.run_dir)
        with os.fdopen(fd, "wb") as f:
            f.write("\r\n".join(lines).encode("utf-16"))
        try:
            rc, out = self.run(["regedit", "/S", self.windows_path(name)], timeout=20)
            check(rc == 0, "regedit import failed", out)
        finally:
            os.unlink(name)
