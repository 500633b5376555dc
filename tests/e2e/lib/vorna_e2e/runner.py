"""A tiny test runner: each test is a function taking a Context. Every test starts with a clean
registry and no agent running, and leaves no process behind. A failure prints its message, the
agents' output tails, the server log tail and the windows on screen."""
import os
import shutil
import signal
import subprocess
import sys
import time
import traceback

from . import ui
from .agent import Agent, stamp
from .driver import Driver
from .registry import Registry
from .server import AccessServer
from .wine import Wine, required_file, required_path


class Context:
    def __init__(self, env, name):
        self.env = env
        self.name = name
        self.wine = env.wine
        self.driver = env.driver
        self.registry = env.registry
        self.dir = os.path.join(env.dir, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.agents = []
        self.servers = []
        self.cleanups = []

    # ---- things a test starts; all of them are stopped by cleanup ----

    def server(self, *args):
        """The test access server on an ephemeral port with the fixture key."""
        exe = os.path.join(self.env.tools_dir, "vorna_access_server")
        log = os.path.join(self.dir, f"server{len(self.servers)}.log")
        s = AccessServer(exe, os.path.join(self.env.fixtures, "test_key_1024.pem"), log, args)
        self.servers.append(s)
        return s

    def agent_exe(self, server=None, port=None, address="127.0.0.1",
                  key="test_key_1024.pub.pem", name="VornaAgent.exe"):
        """A copy of the agent stamped for `server` (or the given port) in this test's folder."""
        if server is not None:
            address, port = server.address, server.port
        out = os.path.join(self.dir, name)
        tool = os.path.join(self.env.tools_dir, "vorna_config")
        return stamp(tool, self.env.agent_source, out, address=address, port=port,
                     key=os.path.join(self.env.fixtures, key) if key else None)

    def start_agent(self, *args, exe=None):
        agent = Agent(self.wine, self.driver, exe or self.agent_exe(port=9), self.dir,
                      name=f"agent{len(self.agents)}")
        self.agents.append(agent)
        return agent.start(*args)

    def connected(self, user, password, tip, *server_args):
        """A server with the account, and an agent (--debug) logged on to it through its window
        until the tooltip shows `tip`."""
        server = self.server("--account", f"{user}:{password}", *server_args)
        agent = self.start_agent("--debug", exe=self.agent_exe(server))
        agent.logon(user, password)
        agent.wait_tray(tip)
        return server, agent

    def on_cleanup(self, action):
        self.cleanups.append(action)

    def cleanup(self):
        for action in reversed(self.cleanups):
            action()
        for agent in self.agents:
            agent.kill()
        for server in self.servers:
            server.stop()

    def diagnostics(self):
        parts = []
        for i, agent in enumerate(self.agents):
            state = "running" if agent.running() else f"exit {agent.proc.returncode}"
            parts.append(f"--- agent{i} ({state}) output tail:\n{agent.tail()}")
        for i, server in enumerate(self.servers):
            with open(server.log_path, encoding="utf-8", errors="replace") as f:
                tail = f.read().splitlines()[-10:]
            parts.append(f"--- server{i} log tail:\n" + "\n".join(tail))
        try:
            shown = [f"{w.get('class')} {w.get('caption')!r} pid {w.get('pid')}"
                     for w in self.driver.windows(visible=1)]
            parts.append("--- visible windows:\n" + "\n".join(shown))
            shot = os.path.join(self.dir, "failure.png")
            subprocess.run(["import", "-window", "root", shot], timeout=20,
                           stdin=subprocess.DEVNULL, capture_output=True)
            parts.append(f"--- screenshot: {shot}")
        except Exception as e:  # diagnostics must not hide the failure itself
            parts.append(f"--- (diagnostics failed: {e})")
        return "\n".join(parts)


class Environment:
    """What every test of a script shares: Wine, the driver, the paths."""

    def __init__(self, script_name, need_agent=True):
        self.wine = Wine()
        self.driver = Driver(self.wine, required_path("VORNA_DRIVER_EXE"))
        self.registry = Registry(self.wine)
        self.fixtures = required_path("VORNA_FIXTURES_DIR")
        if need_agent:
            self.agent_source = required_path("VORNA_AGENT_EXE")
            self.tools_dir = required_path("VORNA_HOST_TOOLS_DIR")
            for tool in ("vorna_access_server", "vorna_config"):
                required_file(os.path.join(self.tools_dir, tool))
        self.dir = os.path.join(self.wine.run_dir, "tests", script_name)
        os.makedirs(self.dir, exist_ok=True)

    def reset_registry(self):
        self.registry.delete_key(ui.VENDOR_KEY)
        self.registry.delete_value(ui.RUN_KEY, ui.RUN_VALUE)


def _interrupt(signum, frame):
    raise KeyboardInterrupt(f"signal {signum}")


def run(tests, need_agent=True):
    """Runs the test functions (or those named on the command line) and exits 0 only if all
    of them passed."""
    script = os.path.splitext(os.path.basename(sys.argv[0]))[0]
    wanted = sys.argv[1:]
    env = Environment(script, need_agent=need_agent)
    # CTest ends a test that runs out of time with SIGTERM: clean up as after a failure.
    signal.signal(signal.SIGTERM, _interrupt)
    passed = failed = 0
    for test in tests:
        if wanted and test.__name__ not in wanted:
            continue
        if need_agent:
            env.reset_registry()
        ctx = Context(env, test.__name__)
        started = time.monotonic()
        error = None
        try:
            test(ctx)
        except Exception:
            error = traceback.format_exc(limit=-3)
            error += ctx.diagnostics()
        finally:
            try:
                ctx.cleanup()
            except Exception:
                error = (error or "") + "\n--- cleanup failed:\n" + traceback.format_exc(limit=-2)
        took = time.monotonic() - started
        if error is None:
            passed += 1
            print(f"PASS {test.__name__} ({took:.1f} s)", flush=True)
        else:
            failed += 1
            print(f"FAIL {test.__name__} ({took:.1f} s)\n{error}", flush=True)
    print(f"{passed} passed, {failed} failed", flush=True)
    sys.exit(0 if failed == 0 and passed > 0 else 1)
