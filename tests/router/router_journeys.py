#!/usr/bin/env python3
"""The router agents, one per OpenWrt target, each run under its qemu-user emulator (x86_64
natively) against the test access server: logon, PINGs answered '2' then '1', status --json
with the balance, info, logout, and SIGTERM logging off. Every wait polls a condition.

    router_journeys.py --router-dir build/router --server vorna_access_server --fixtures DIR
                       [--targets T,...]

Exits 77 (skipped) when no router agent was built, unless VORNA_ROUTER_REQUIRED=1.
"""
import argparse
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "lib"))
from vorna_e2e.poll import expect, expect_eq, poll  # noqa: E402
from vorna_e2e.server import AccessServer  # noqa: E402

SKIPPED = 77
# The targets and their emulators, as scripts/lib/router.sh has them.
TARGETS = {
    "mipsel_24kc": "qemu-mipsel-static",
    "mips_24kc": "qemu-mips-static",
    "arm_cortex-a7_neon-vfpv4": "qemu-arm-static",
    "aarch64_cortex-a53": "qemu-aarch64-static",
    "x86_64": None,
}
# qemu-user starts a program in tens of milliseconds, but the emulated agent is slower: the
# bounds are generous, and every wait still ends as soon as its condition holds.
WAIT = 30


class Target:
    def __init__(self, options, name):
        self.name = name
        self.binary = os.path.join(options.router_dir, name, "vornaagent")
        self.emulator = TARGETS[name]
        self.dir = tempfile.mkdtemp(prefix=f"vorna-router-{name}-")
        self.runtime = os.path.join(self.dir, "run")
        os.makedirs(self.runtime, mode=0o700)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime,
                        XDG_CONFIG_HOME=os.path.join(self.dir, "config"), LANG="C.UTF-8")
        for name_ in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
            self.env.pop(name_, None)
        self.options = options
        self.server = None
        self.agent = None

    def command(self, *args):
        """The agent's command line: the one place the journeys build it."""
        prefix = [self.emulator] if self.emulator else []
        return [*prefix, self.binary, *args]

    def run_command(self, server):
        site = os.path.join(self.dir, "site.conf")
        with open(site, "w") as f:
            f.write(f"address={server.address}\nport={server.port}\n"
                    f"key={os.path.join(self.options.fixtures, 'test_key_1024.pub.pem')}\n")
        return self.command("run", "--debug", "--config", site)

    def cli(self, *args, password=None):
        r = subprocess.run(self.command(*args), input=(password or "").encode(),
                           capture_output=True, env=self.env, timeout=WAIT)
        return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")

    def status(self):
        code, out, err = self.cli("status", "--json")
        expect_eq(code, 0, f"status --json exit code ({err})")
        return json.loads(out)

    def wait_state(self, state):
        return poll(lambda: (lambda s: s if s["state"] == state else None)(self.status()),
                    WAIT, f"state {state}")

    def output(self):
        with open(self.out, encoding="utf-8", errors="replace") as f:
            return f.read()

    def cleanup(self):
        if self.agent is not None and self.agent.poll() is None:
            self.agent.kill()
            self.agent.wait()
        if self.server is not None:
            self.server.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def journey(t):
    t.server = AccessServer(t.options.server, os.path.join(t.options.fixtures, "test_key_1024.pem"),
                            os.path.join(t.dir, "server.log"),
                            ("--account", "ivanov:secret", "--pending-pings", "1",
                             "--balance", "42.50", "--cost", "1.25", "--info", "Тариф: дневной"))
    t.out = os.path.join(t.dir, "agent.out")
    with open(t.out, "wb") as f:
        t.agent = subprocess.Popen(t.run_command(t.server), stdout=f, stderr=subprocess.STDOUT,
                                   env=t.env, stdin=subprocess.DEVNULL)
    poll(lambda: os.path.exists(os.path.join(t.runtime, "vornaagent.sock")) or
         t.agent.poll() is not None, WAIT, "the control socket")
    expect(t.agent.poll() is None, f"the agent ended at once:\n{t.output()}")
    expect_eq(t.status()["state"], "disconnected", "state before the logon")

    code, out, err = t.cli("login", "ivanov", password="secret\n")
    expect_eq(code, 0, f"login exit code (stdout {out!r}, stderr {err!r})")
    status = t.wait_state("connected")
    expect_eq((status["balance"], status["session_cost"]), ("42.50", "1.25"), "figures")
    pings = t.server.wait_requests("PING", 2, timeout=WAIT)
    expect_eq([p["reply"][0] for p in pings[:2]], ["2", "1"], "PING replies")
    expect_eq([p["fields"][3] for p in pings[:2]], ["1", "2"], "PING counters")
    # The key's fingerprint as the OpenSSL agents print it.
    expect("Ключ сервера: RSA 1024 бит, SHA-256 "
           "2b20c57149fc0776e2330628966eb57766fe39f963b0310053621d4a3bab9ba6" in t.output(),
           "the start lines name the key")

    code, out, err = t.cli("info")
    expect_eq((code, out.strip()), (0, "Тариф: дневной"), f"info ({err})")
    address_change_is_seen(t)

    code, out, err = t.cli("logout")
    expect_eq((code, out.strip()), (0, "Отключен"), f"logout ({err})")
    expect_eq(len(t.server.requests("LOGOUT")), 1, "LOGOUT requests")
    expect_eq(t.status()["state"], "disconnected", "state after logout")

    # Logged on again, then stopped as procd stops it: the session is closed before the exit.
    code, _, err = t.cli("login", "ivanov", password="secret\n")
    expect_eq(code, 0, f"second login ({err})")
    t.wait_state("connected")
    t.agent.send_signal(signal.SIGTERM)
    poll(lambda: t.agent.poll() is not None, WAIT, "the agent's exit after SIGTERM")
    expect_eq(t.agent.returncode, 0, "exit code after SIGTERM")
    expect_eq(len(t.server.requests("LOGOUT")), 2, "LOGOUT before the exit")


def address_change_is_seen(t):
    """The address watcher's netlink socket through the emulator: qemu-user translates
    NETLINK_ROUTE messages, byte order included on big-endian MIPS."""
    address = "127.42.4.24/32"
    added = subprocess.run(["ip", "addr", "add", address, "dev", "lo"], capture_output=True)
    if added.returncode != 0:
        print(f"  {t.name}: address change not checked: cannot add an address here: "
              f"{added.stderr.decode().strip()}")
        return
    try:
        poll(lambda: "Изменение адресов IPv4" in t.output(), WAIT, "the address change seen")
    finally:
        subprocess.run(["ip", "addr", "del", address, "dev", "lo"], capture_output=True)


# The unattended rows of the native router journeys, on this target's agent: the UCI file's
# logon at start with its PINGs, status, info, logout and SIGTERM, and bad files named by line.
UCI_ROWS = ("logs_on_at_start_and_answers", "bad_files_name_file_and_line")


def uci_rows(options, t):
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "journeys.py")
    env = dict(t.env, VORNA_AGENT_CMD=" ".join(shlex.quote(w) for w in t.command()))
    r = subprocess.run([sys.executable, script, "--server", options.server, "--fixtures",
                        options.fixtures, *UCI_ROWS], env=env, capture_output=True, text=True,
                       timeout=240)
    expect(r.returncode == 0, f"the UCI rows on {t.name}:\n{r.stdout[-4000:]}{r.stderr[-2000:]}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--router-dir", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--targets", default=",".join(TARGETS))
    options = parser.parse_args()
    names = [n for n in options.targets.split(",") if n]
    unknown = [n for n in names if n not in TARGETS]
    if unknown:
        print(f"unknown targets: {', '.join(unknown)}", file=sys.stderr)
        return 2
    built = [n for n in names if os.path.exists(os.path.join(options.router_dir, n, "vornaagent"))]
    if not built and os.environ.get("VORNA_ROUTER_REQUIRED") != "1":
        print(f"SKIPPED: no router agent in {options.router_dir} (scripts/setup and scripts/build "
              "build them; --host-only does not)")
        return SKIPPED
    failures = []
    for name in names:
        if name not in built:
            failures.append(f"{name}: not built")
            continue
        emulator = TARGETS[name]
        if emulator and shutil.which(emulator) is None:
            failures.append(f"{name}: {emulator} is missing (package qemu-user-static)")
            continue
        t = Target(options, name)
        try:
            journey(t)
            uci_rows(options, t)
            print(f"PASS {name}")
        except Exception:  # noqa: BLE001 - every failure is reported, then the next target runs
            failures.append(name)
            print(f"FAIL {name}\n{traceback.format_exc()}")
            try:
                print(f"--- agent output ---\n{t.output()}")
            except OSError:
                pass
        finally:
            t.cleanup()
    for f in failures:
        print(f"FAILED: {f}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
