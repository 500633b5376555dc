#!/usr/bin/env python3
"""The router agent's journeys: vornaagent run --uci FILE --account NAME against the test access
server, driven through its command line with --account. Every wait polls a condition.

    journeys.py --server vorna_access_server --fixtures DIR [--agent vornaagent] [NAME...]

The agent command comes from $VORNA_AGENT_CMD when it is set, split like a shell line
("qemu-mipsel-static build/router/mipsel_24kc/vornaagent"), else from --agent; so the same rows
run every target's binary under its emulator. "multiwan" needs root and network namespaces; it
runs only when named (its own CTest entry) and skips with exit 77 where it cannot run.
"""
import argparse
import json
import os
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "lib"))
from vorna_e2e.poll import expect, expect_eq, poll  # noqa: E402
from vorna_e2e.process import AgentProcess  # noqa: E402
from vorna_e2e.server import AccessServer  # noqa: E402

SKIP = 77


class Skip(Exception):
    pass


class Context:
    def __init__(self, options, name):
        self.options = options
        self.dir = tempfile.mkdtemp(prefix=f"vorna-router-{name}-")
        os.chmod(self.dir, 0o700)
        self.runtime = os.path.join(self.dir, "run")  # made by the agent
        self.home = os.path.join(self.dir, "home")
        os.makedirs(self.home)
        self.env = dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, "c"),
                        LANG="C.UTF-8")
        for name in ("XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.servers = []
        self.agents = []
        self.wrap = []  # a prefix for the agent: ip netns exec NS
        self.cleanups = []

    def server(self, *args, exe=None):
        log = os.path.join(self.dir, f"server{len(self.servers)}.log")
        s = AccessServer(exe or self.options.server,
                         os.path.join(self.options.fixtures, "test_key_1024.pem"), log, args)
        self.servers.append(s)
        return s

    def uci(self, text, name="vornaagent", mode=0o600):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def main_section(self, server):
        key = os.path.join(self.options.fixtures, "test_key_1024.pub.pem")
        return (f"config agent 'main'\n\toption server '{server.address}'\n"
                f"\toption port '{server.port}'\n\toption key '{key}'\n\n")

    def run_cmd(self, uci, account, *args):
        return [*self.wrap, *self.options.agent_cmd, "run", "--uci", uci, "--account", account,
                "--debug", "--runtime-dir", self.runtime, *args]

    def start(self, uci, account):
        out = os.path.join(self.dir, f"agent-{account}-{len(self.agents)}.out")
        with open(out, "wb") as f:
            proc = subprocess.Popen(self.run_cmd(uci, account), stdout=f,
                                    stderr=subprocess.STDOUT, env=self.env,
                                    stdin=subprocess.DEVNULL)
        agent = Agent(proc, out, account)
        self.agents.append(agent)
        poll(lambda: os.path.exists(os.path.join(self.runtime, f"{account}.sock")) or
             proc.poll() is not None, 20, f"the control socket of {account}")
        expect(proc.poll() is None, f"the agent ended at once:\n{agent.output()}")
        return agent

    def cli(self, command, account, *args, password=None, timeout=60):
        cmd = [*self.options.agent_cmd, command, "--account", account, "--runtime-dir",
               self.runtime, *args]
        r = subprocess.run(cmd, input=(password or "").encode(), capture_output=True,
                           env=self.env, timeout=timeout)
        return r.returncode, r.stdout.decode(), r.stderr.decode()

    def status(self, account):
        code, out, err = self.cli("status", account, "--json")
        expect_eq(code, 0, f"status --json exit code ({err})")
        return json.loads(out)

    def wait_state(self, account, state, timeout=20):
        return poll(lambda: (lambda s: s if s["state"] == state else None)(self.status(account)),
                    timeout, f"{account} in state {state}")

    def cleanup(self):
        for agent in self.agents:
            agent.kill()
        for server in self.servers:
            server.stop()
        for step in reversed(self.cleanups):
            step()
        shutil.rmtree(self.dir, ignore_errors=True)


class Agent(AgentProcess):
    line_timeout = 15  # emulated agents start slower

    def __init__(self, proc, out, account):
        super().__init__(proc, out)
        self.account = account


def account(name, login="ivanov", password="secret", extra=""):
    return (f"config account '{name}'\n\toption enabled '1'\n\toption login '{login}'\n"
            f"\toption password '{password}'\n{extra}")


# ---- Journeys ----

def journey_logs_on_at_start_and_answers(ctx):
    server = ctx.server("--account", "ivanov:it's secret", "--pending-pings", "1",
                        "--balance", "42.50", "--cost", "1.25", "--info", "Тариф: дневной")
    uci = ctx.uci(ctx.main_section(server) + account("wan", password="it'\\''s secret"))
    agent = ctx.start(uci, "wan")
    status = ctx.wait_state("wan", "connected")
    expect_eq((status["balance"], status["session_cost"]), ("42.50", "1.25"), "figures")
    pings = server.wait_requests("PING", 2)
    expect_eq([p["reply"][0] for p in pings[:2]], ["2", "1"], "PING replies")
    logons = server.requests("LOGON")
    expect_eq([l["fields"][1:3] for l in logons], [["ivanov", "it's secret"]], "one logon")
    code, out, err = ctx.cli("info", "wan")
    expect_eq((code, out.strip()), (0, "Тариф: дневной"), f"info ({err})")
    code, out, _ = ctx.cli("status", "wan")
    expect(code == 0 and out.startswith("state: connected"), out)
    # The password is read from the file only: never in the arguments or the environment.
    if not ctx.options.emulated:
        for part in ("cmdline", "environ"):
            with open(f"/proc/{agent.proc.pid}/{part}", "rb") as f:
                expect(b"secret" not in f.read(), f"the password in /proc/PID/{part}")
    expect_eq(stat.S_IMODE(os.stat(ctx.runtime).st_mode), 0o700, "runtime folder mode")
    expect_eq(stat.S_IMODE(os.stat(os.path.join(ctx.runtime, "wan.sock")).st_mode), 0o600,
              "socket mode")
    code, out, err = ctx.cli("logout", "wan")
    expect_eq((code, out.strip()), (0, "Отключен"), f"logout ({err})")
    expect_eq(len(server.requests("LOGOUT")), 1, "LOGOUT requests")
    expect_eq(ctx.status("wan")["state"], "disconnected", "state after logout")
    code, out, err = ctx.cli("login", "wan", password="it's secret\n")
    expect_eq(code, 0, f"login again with the password on stdin ({err})")
    ctx.wait_state("wan", "connected")
    # Nothing was written besides the socket and the lock: the UCI file is the configuration.
    written = [os.path.join(d, f) for d, _, fs in os.walk(ctx.home) for f in fs]
    expect_eq(written, [], "files written under HOME")
    expect_eq(sorted(os.listdir(ctx.runtime)), ["wan.lock", "wan.sock"], "runtime folder")
    agent.proc.send_signal(signal.SIGTERM)
    started = time.monotonic()
    expect_eq(agent.wait_exit(), 0, "exit code after SIGTERM")
    expect(time.monotonic() - started < 5, "SIGTERM ended it within procd's 5 s")
    expect_eq(len(server.requests("LOGOUT")), 2, "SIGTERM logged off first")


def journey_account_server_over_main(ctx):
    # The account names its own server; main names one that is not there.
    server = ctx.server("--account", "petrov:pw")
    key = os.path.join(ctx.options.fixtures, "test_key_1024.pub.pem")
    uci = ctx.uci("config agent 'main'\n\toption server '127.0.0.1'\n\toption port '9'\n"
                  f"\toption key '{key}'\n" +
                  account("dsl", "petrov", "pw", f"\toption port '{server.port}'\n"))
    ctx.start(uci, "dsl")
    ctx.wait_state("dsl", "connected")
    code, _, err = ctx.cli("status", "wan")
    expect(code == 3 and "no agent is running for the account wan" in err, f"{code} {err}")


def journey_two_accounts_two_sockets(ctx):
    server = ctx.server("--account", "a1:p1", "--account", "a2:p2")
    uci = ctx.uci(ctx.main_section(server) + account("one", "a1", "p1") +
                  account("two", "a2", "p2"))
    ctx.start(uci, "one")
    ctx.start(uci, "two")
    ctx.wait_state("one", "connected")
    ctx.wait_state("two", "connected")
    logins = sorted(l["fields"][1] for l in server.requests("LOGON"))
    expect_eq(logins, ["a1", "a2"], "each account logged on once")


def journey_bad_device_is_a_failed_request(ctx):
    server = ctx.server("--account", "ivanov:secret")
    uci = ctx.uci(ctx.main_section(server) +
                  account("wan", extra="\toption device 'vornanodev0'\n"))
    agent = ctx.start(uci, "wan")
    agent.wait_line("cannot be bound to the device vornanodev0")
    ctx.wait_state("wan", "error")
    expect_eq(server.requests("LOGON"), [], "nothing reached the server")


def journey_bad_files_name_file_and_line(ctx):
    key = os.path.join(ctx.options.fixtures, "test_key_1024.pub.pem")
    rows = [
        ("unclosed quote", "config account 'wan\n", 0o600, "vornaagent:1: a quote is not closed"),
        ("unknown option", "config account 'wan'\n\toption pasword 'x'\n", 0o600,
         "vornaagent:2: pasword: unknown option"),
        ("bad port", "config agent 'main'\n\toption port '0'\nconfig account 'wan'\n", 0o600,
         "vornaagent:2: port: port must be 1 to 65535"),
        ("missing key file", "config account 'wan'\n\toption key '/nonexistent.pem'\n", 0o600,
         "vornaagent:2: the key file /nonexistent.pem cannot be used"),
        ("no such account", "config account 'lan'\n", 0o600, "no account section 'wan'"),
        ("disabled", "config account 'wan'\n\toption enabled '0'\n", 0o600,
         "the account 'wan' is not enabled"),
        ("readable by others", f"config account 'wan'\n\toption key '{key}'\n", 0o644,
         "mode 0644 lets others read the passwords"),
        ("too long a line", "config account 'wan'\n\toption login '" + "x" * 1100 + "'\n",
         0o600, "vornaagent:2: line longer than 1024 characters"),
    ]
    for name, text, mode, message in rows:
        path = ctx.uci(text, mode=mode)
        r = subprocess.run(ctx.run_cmd(path, "wan"), capture_output=True, env=ctx.env,
                           timeout=30)
        err = r.stderr.decode()
        expect(r.returncode == 1 and path in err and message in err,
               f"{name}: exit {r.returncode}, stderr {err!r}")
    r = subprocess.run([*ctx.options.agent_cmd, "status", "--account", "../x"],
                       capture_output=True, env=ctx.env, timeout=30)
    expect(r.returncode == 1 and "--account takes" in r.stderr.decode(), "a path as account")
    r = subprocess.run([*ctx.options.agent_cmd, "run", "--uci", path], capture_output=True,
                       env=ctx.env, timeout=30)
    expect(r.returncode == 1 and "--uci and --account go together" in r.stderr.decode(),
           "--uci without --account")


def journey_runtime_folder_of_another(ctx):
    # A folder others can enter is never used for the socket: fail closed.
    server = ctx.server("--account", "ivanov:secret")
    uci = ctx.uci(ctx.main_section(server) + account("wan"))
    os.mkdir(ctx.runtime, 0o755)
    os.chmod(ctx.runtime, 0o755)
    r = subprocess.run(ctx.run_cmd(uci, "wan"), capture_output=True, env=ctx.env, timeout=30)
    expect(r.returncode == 1 and "mode 0700" in r.stderr.decode(), f"{r}")


# ---- Multi-WAN in network namespaces ----

def sh(*cmd, check=True):
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    if check and r.returncode != 0:
        raise AssertionError(f"{' '.join(cmd)}: {r.stderr.strip()}")
    return r


def make_namespaces(ctx):
    """A "router" namespace with two WAN links to a "server" namespace that reaches the same
    server address through both (metrics 10 and 20), as a multi-WAN router does."""
    if os.geteuid() != 0:
        raise Skip("needs root for network namespaces")
    pid = os.getpid()
    router, server = f"vr{pid}r", f"vr{pid}s"
    r = sh("ip", "netns", "add", router, check=False)
    if r.returncode != 0:
        raise Skip(f"network namespaces not allowed here: {r.stderr.strip()}")
    ctx.cleanups.append(lambda: sh("ip", "netns", "del", router, check=False))
    sh("ip", "netns", "add", server)
    ctx.cleanups.append(lambda: sh("ip", "netns", "del", server, check=False))

    def inside(ns, *cmd, check=True):
        return sh("ip", "netns", "exec", ns, *cmd, check=check)
    for ns in (router, server):
        inside(ns, "ip", "link", "set", "lo", "up")
        inside(ns, "sysctl", "-qw", "net.ipv4.conf.all.rp_filter=0", check=False)
    for n in (1, 2):
        sh("ip", "link", "add", f"wan{n}", "netns", router, "type", "veth", "peer", "name",
           f"up{n}", "netns", server)
        inside(router, "ip", "addr", "add", f"10.201.{n}.2/24", "dev", f"wan{n}")
        inside(server, "ip", "addr", "add", f"10.201.{n}.1/24", "dev", f"up{n}")
        inside(router, "ip", "link", "set", f"wan{n}", "up")
        inside(server, "ip", "link", "set", f"up{n}", "up")
        inside(router, "sysctl", "-qw", f"net.ipv4.conf.wan{n}.rp_filter=0", check=False)
    inside(server, "ip", "addr", "add", "10.201.9.1/32", "dev", "lo")
    for n, metric in ((1, "10"), (2, "20")):
        inside(router, "ip", "route", "add", "10.201.9.1/32", "via", f"10.201.{n}.1", "dev",
               f"wan{n}", "metric", metric)
    return router, server


def journey_multiwan(ctx):
    router, server_ns = make_namespaces(ctx)
    wrapper = os.path.join(ctx.dir, "server-in-namespace")
    with open(wrapper, "w") as f:
        f.write(f"#!/bin/sh\nexec ip netns exec {server_ns} {shlex.quote(ctx.options.server)} "
                "\"$@\"\n")
    os.chmod(wrapper, 0o755)
    # Reached only inside the namespaces the test made.
    server = ctx.server("--bind", "10.201.9.1", "--allow-remote", "--account", "a1:p1", "--account", "a2:p2",
                        exe=wrapper)
    ctx.wrap = ["ip", "netns", "exec", router]
    uci = ctx.uci(ctx.main_section(server) +
                  account("wan", "a1", "p1", "\toption device 'wan1'\n") +
                  account("wanb", "a2", "p2", "\toption device 'wan2'\n"))
    one = ctx.start(uci, "wan")
    two = ctx.start(uci, "wanb")
    ctx.wait_state("wan", "connected")
    ctx.wait_state("wanb", "connected")
    peers = {l["fields"][1]: l["peer"].rsplit(":", 1)[0] for l in server.requests("LOGON")}
    expect_eq(peers, {"a1": "10.201.1.2", "a2": "10.201.2.2"},
              "each account seen from its own WAN address")
    pings = {p["fields"][1]: p["peer"].rsplit(":", 1)[0] for p in server.wait_requests("PING", 2)}
    expect_eq(pings, {"a1": "10.201.1.2", "a2": "10.201.2.2"}, "PINGs on their own lines too")
    # An address change on one line is that line's agent's business only.
    change = "Изменение адресов IPv4"
    sh("ip", "netns", "exec", router, "ip", "addr", "add", "10.201.2.7/24", "dev", "wan2")
    two.wait_line(change)
    sh("ip", "netns", "exec", router, "ip", "addr", "add", "10.201.1.7/24", "dev", "wan1")
    one.wait_line(change)
    expect_eq(one.output().count(change), 1, "the wan1 agent saw only wan1's change")
    expect_eq(two.output().count(change), 1, "the wan2 agent saw only wan2's change")


JOURNEYS = {name[len("journey_"):]: f for name, f in sorted(globals().items())
            if name.startswith("journey_")}
ON_REQUEST = {"multiwan"}  # run only when named


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent")
    parser.add_argument("--server", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("names", nargs="*")
    options = parser.parse_args()
    options.fixtures = os.path.abspath(options.fixtures)
    options.server = os.path.abspath(options.server)
    command = os.environ.get("VORNA_AGENT_CMD")
    options.agent_cmd = shlex.split(command) if command else [options.agent]
    if not options.agent_cmd or not options.agent_cmd[0]:
        parser.error("give --agent or set VORNA_AGENT_CMD")
    options.emulated = len(options.agent_cmd) > 1
    names = options.names or [n for n in JOURNEYS if n not in ON_REQUEST]
    failed, skipped = [], []
    for name in names:
        ctx = Context(options, name)
        started = time.monotonic()
        try:
            JOURNEYS[name](ctx)
            for agent in ctx.agents:  # under the sanitizers a finding is a failure
                text = agent.output()
                expect("Sanitizer" not in text and "runtime error:" not in text,
                       f"sanitizer report in {agent.out}")
            print(f"ok    {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Skip as why:
            skipped.append(name)
            print(f"skip  {name}: {why}", flush=True)
        except Exception:  # noqa: BLE001 - every failure is reported, then the next runs
            failed.append(name)
            print(f"FAIL  {name}\n{traceback.format_exc()}", flush=True)
            for agent in ctx.agents:
                print(f"--- {agent.out}\n{agent.output()[-3000:]}")
            for server in ctx.servers:
                print("--- server log\n" + "\n".join(str(e) for e in server.log()[-10:]))
                with open(server.log_path + ".stderr", errors="replace") as f:
                    print(f"--- server stderr\n{f.read()[-2000:]}")
        finally:
            ctx.cleanup()
    print(f"{len(names) - len(failed) - len(skipped)} passed, {len(failed)} failed, "
          f"{len(skipped)} skipped")
    if failed:
        return 1
    return SKIP if skipped and len(skipped) == len(names) else 0


if __name__ == "__main__":
    sys.exit(main())
