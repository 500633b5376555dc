#!/usr/bin/env python3
"""scripts/setup against an archive that misbehaves: a stand-in apt-get and dpkg-query first on
PATH fail the way the real ones did (an index served stale mid-sync, amd64 and i386 versions
out of step, a missing package, no network), and set-up must carry on, resolve, or stop with a
message naming the step and the package, never looping."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
STANDIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "standin_apt.py")

STALE_INDEX = (
    "Get:1 http://archive.example/debian bookworm InRelease [151 kB]\n"
    "Get:5 http://archive.example/debian bookworm/main i386 Packages [8682 kB]\n"
    "Err:8 http://archive.example/debian-security bookworm-security/main i386 Packages\n"
    "  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]\n"
    "E: Some index files failed to download. They have been ignored, or old ones used instead.\n")
NO_NETWORK = ("Err:1 http://archive.example/debian bookworm InRelease\n"
              "  Temporary failure resolving 'archive.example'\n"
              "W: Some index files failed to download.\n")
HELD_BROKEN = (" libxml2:i386 : Depends: zlib1g:i386 (>= 1:1.2.3.3) but it is not going to be "
               "installed\nE: Unable to correct problems, you have held broken packages.\n")
NO_SUCH = "E: Unable to locate package wine99\n"
NO_DEB_SRC = ("E: You must put some 'deb-src' URIs in your sources.list\n")

OK = {"rc": 0, "out": "Hit:1 http://archive.example/debian bookworm InRelease\n"}


def fail(out):
    return {"rc": 100, "out": out}


class SetupAgainstABrokenArchive(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vorna-setup-test-")
        self.bin = os.path.join(self.dir, "bin")
        os.mkdir(self.bin)
        for tool in ("apt-get", "dpkg-query"):
            os.symlink(STANDIN, os.path.join(self.bin, tool))
        self.log = os.path.join(self.dir, "calls.jsonl")
        self.installed = os.path.join(self.dir, "installed")
        open(self.installed, "w").close()

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def env(self, plan):
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"],
                   STANDIN_PLAN=json.dumps(plan), STANDIN_LOG=self.log,
                   STANDIN_INSTALLED=self.installed, VORNA_APT_PAUSE="0")
        return env

    def calls(self, verb):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [c["args"] for c in map(json.loads, f) if verb in c["args"]]

    def lib(self, plan, script):
        """Runs `script` in bash with scripts/lib/apt.sh sourced; returns the process."""
        body = f'set -euo pipefail\nsudo_cmd=""\n. "{ROOT}/scripts/lib/apt.sh"\n{script}\n'
        return subprocess.run(["bash", "-c", body], env=self.env(plan), capture_output=True,
                              text=True, timeout=60, cwd=self.dir)

    def test_update_and_install_outcomes(self):
        # name, plan, script, exit code, update calls, install calls, words in stderr
        cases = [
            ("a stale index is named once and set-up carries on without it",
             {"update": [fail(STALE_INDEX)], "install": [OK]},
             "apt_update_tolerant && apt_install_resolving cmake", 0, 3, 1,
             ["bookworm-security/main i386 Packages (File has unexpected size "
              "(374820 != 376004). Mirror sync in progress?)", "carrying on"]),
            ("an index that loads on the second try needs no word",
             {"update": [fail(STALE_INDEX), OK]}, "apt_update_tolerant", 0, 2, 0, []),
            ("no network: no index loaded at all stops the step and says so",
             {"update": [fail(NO_NETWORK)]}, "apt_update_tolerant", 1, 3, 0,
             ['"apt-get update" failed', "no package index could be loaded"]),
            ("versions out of step are resolved once at the base suite's versions",
             {"install": [fail(HELD_BROKEN), OK]}, "apt_install_resolving wine wine32:i386",
             0, 0, 2, ["bookworm suite's version"]),
            ("a package that does not exist is named, without the base-suite retry",
             {"install": [fail(NO_SUCH)]}, "apt_install_resolving wine99", 1, 0, 1,
             ['"apt-get install" failed', "no such package: wine99"]),
            ("still unresolvable at the base suite's versions: stop, never loop",
             {"install": [fail(HELD_BROKEN)]}, "apt_install_resolving wine32:i386", 1, 0, 2,
             ['"apt-get install" failed for: wine32:i386']),
        ]
        for name, plan, script, code, updates, installs, words in cases:
            with self.subTest(name):
                if os.path.exists(self.log):
                    os.remove(self.log)
                run = self.lib(plan, script)
                self.assertEqual(run.returncode, code, run.stderr)
                self.assertEqual(len(self.calls("update")), updates, run.stderr)
                self.assertEqual(len(self.calls("install")), installs, run.stderr)
                for word in words:
                    self.assertIn(word, run.stderr)
                if not words:
                    self.assertEqual(run.stderr, "")
        held = self.calls("install")[-1]
        self.assertIn("APT::Default-Release=bookworm", " ".join(held))

    def test_missing_lists_only_what_is_not_installed(self):
        with open(self.installed, "w") as f:
            f.write("cmake:amd64\nwine32:i386\nlibc6:amd64\n")
        run = self.lib({}, "apt_missing cmake wine32:i386 wine libc6:i386 nsis")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.split(), ["wine", "libc6:i386", "nsis"])

    def test_source_fetch_names_a_missing_source_index(self):
        work = os.path.join(self.dir, "work")
        os.mkdir(work)
        run = self.lib({"source": [fail(NO_DEB_SRC)]}, f'apt_fetch_source openssl "{work}"')
        self.assertEqual(run.returncode, 1)
        self.assertIn("source index is missing or partial", run.stderr)
        # The tarball alone is enough, even when apt-get then fails on a .dsc.
        got = {"rc": 100, "out": "E: Failed to fetch openssl.dsc 404\n",
               "files": ["openssl_3.0.15.orig.tar.gz"]}
        run = self.lib({"source": [got]}, f'apt_fetch_source openssl "{work}"')
        self.assertEqual(run.returncode, 0, run.stderr)

    def test_a_finished_machine_is_left_alone_quickly(self):
        packages = subprocess.run(
            ["bash", "-c", f'sed -n "/^host_packages=(/,/^)/p" "{ROOT}/scripts/setup"'],
            capture_output=True, text=True, check=True).stdout
        names = [w for w in packages.replace("host_packages=(", "").replace(")", "").split()]
        with open(self.installed, "w") as f:
            f.write("".join(f"{n}:amd64\n" for n in names))
        started = time.monotonic()
        run = subprocess.run([os.path.join(ROOT, "scripts", "setup"), "--host-only"],
                             env=self.env({"update": [fail(NO_NETWORK)]}),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(self.calls("update") + self.calls("install"), [])
        self.assertLess(time.monotonic() - started, 10)

    def test_an_unknown_option_is_refused(self):
        run = subprocess.run([os.path.join(ROOT, "scripts", "setup"), "--bogus"],
                             env=self.env({}), capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 1)
        self.assertIn("unknown option: --bogus", run.stderr)
        self.assertEqual(self.calls("update"), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
