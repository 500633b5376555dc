#!/usr/bin/env python3
"""The MSI package under Wine, as one journey (each msiexec run costs seconds): the previous
version installed silently with every property, then the current one over it with only LOGFILE
given again (that one changed, the other properties' effects kept, the running agent stopped,
the new one started), the previous one
again (refused), and `msiexec /x {ProductCode} /qn` with an agent running, which must return
only when everything is gone.

The running agent is logged on to the test access server, which it finds through the server
policies (address, port) the test sets as an administrator would: so the LOGOUT the server sees
proves that the agent the upgrade stopped logged off first, and that the policies reach the
agent. The package must remove its own policy values and leave the administrator's.

Environment: VORNA_MSI (the package built here), VORNA_MSI_ARCH, VORNA_AGENT_EXE,
VORNA_CLOSE_AGENT_EXE, VORNA_CONFIG, WIXL, VORNA_DRIVER_EXE, VORNA_HOST_TOOLS_DIR,
VORNA_FIXTURES_DIR; the Wine environment of the run (WINEPREFIX...) or VORNA_RUN_DIR for one
of its own.
"""

import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
from wine_session import ROOT, Failure, WineSession, check, check_eq  # noqa: E402
sys.path.insert(0, str(ROOT / "tests" / "e2e" / "lib"))
from vorna_e2e.driver import Driver  # noqa: E402
from vorna_e2e.poll import poll  # noqa: E402
from vorna_e2e.server import AccessServer  # noqa: E402

UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
RUN_VALUE = "VORNA Auth Utility"
POLICY_KEY = "Software\\Policies\\Vorna\\AuthUtility"
REMEMBER_KEY = "Software\\Vorna\\AgentSetup"
PREVIOUS_VERSION = "2.5.2.1"
LOG_POLICY = "%LOCALAPPDATA%\\VornaAgent\\agent.log"
# Given again to the upgrade: a property on the command line wins over the remembered one.
LOG_POLICY_NEW = "%TEMP%\\vorna-agent.log"
# Windows Installer's "fatal error": a launch condition (here: a newer version) failed.
ERROR_INSTALL_FAILURE = 1603
MSIEXEC_TIMEOUT_S = 60
LOGON_CAPTION = "Подключение к Интернет"
IDC_LOGIN, IDC_PASSWORD, IDC_CONNECT = 105, 106, 108
USER, PASSWORD = "ivanov", "secret"


class DriverWine:
    """What the end-to-end driver needs of Wine, on this test's session."""
    last_errors = b""

    def __init__(self, session):
        self.session = session

    def run(self, args, timeout=30, retry_unstarted=False):
        rc, out = self.session.run(args, timeout=timeout, encoding="latin-1",
                                   retry_unstarted=retry_unstarted)
        return rc, out.encode("latin-1")


def env_path(name):
    value = os.environ.get(name)
    if not value or not Path(value).exists():
        raise Failure(f"{name} must name an existing file (got {value!r})")
    return Path(value)


def msi_property(msi, name):
    out = subprocess.run(["msiinfo", "export", str(msi), "Property"], stdout=subprocess.PIPE,
                         check=True, timeout=20).stdout.decode("cp1251")
    for line in out.splitlines():
        key, _, value = line.partition("\t")
        if key == name:
            return value.strip()
    raise Failure(f"{msi} has no property {name}")


def windows_exit_code(code):
    # Wine hands a Windows exit code to Linux as its low byte: 1603 arrives as 67.
    return code & 0xFF


class Machine:
    """Where the package puts things in this prefix, and what is there now."""

    def __init__(self, wine):
        self.wine = wine
        self.dir_win = wine.expand("%ProgramFiles%") + "\\VornaAgent"
        self.exe_win = self.dir_win + "\\VornaAgent.exe"
        self.dir = wine.unix_path(self.dir_win)
        # Wine resolves ProgramMenuFolder to the user's Start menu even per machine; Windows to
        # the all-users one. Either counts, never both.
        # Policy values set by someone else than the package.
        self.admin_policy = {}
        self.shortcuts = [
            wine.unix_path(wine.expand(folder) + "\\Microsoft\\Windows\\Start Menu\\Programs")
            / "VornaAgent.lnk" for folder in ("%ProgramData%", "%APPDATA%")]

    def msiexec(self, *args):
        rc, out = self.wine.run(["msiexec", *args], timeout=MSIEXEC_TIMEOUT_S,
                                retry_unstarted=True)
        return rc, out

    def agents(self):
        return self.wine.prefix_processes(self.exe_win)

    def entry(self, product_code):
        return self.wine.reg_values(f"{UNINSTALL_KEY}\\{product_code}", "HKLM")

    def state(self, product_code):
        """Everything the package may have left behind, as one comparable record."""
        files = sorted(p.name for p in self.dir.iterdir()) if self.dir.exists() else None
        entry = self.entry(product_code) or {}
        return {
            "files": files,
            "shortcuts": [s.exists() for s in self.shortcuts].count(True),
            "entry": {k: entry.get(k) for k in ("DisplayName", "DisplayVersion", "Publisher")}
            if entry else None,
            "run": (self.wine.reg_values(RUN_KEY, "HKLM") or {}).get(RUN_VALUE),
            "policy": self.wine.reg_values(POLICY_KEY, "HKLM"),
            "remembered": self.wine.reg_values(REMEMBER_KEY, "HKLM"),
        }

    def expect_installed(self, product_code, version, log_policy):
        state = self.state(product_code)
        expected = {
            "files": ["VornaAgent.exe", "close-agent.exe"],
            "shortcuts": 1,
            "entry": {"DisplayName": "Vorna Tray Agent", "DisplayVersion": version,
                      "Publisher": "Vorna Networks"},
            "run": f'"{self.exe_win}" --domain',
            "policy": {"nosavedata": 1, "logfile": log_policy, **self.admin_policy},
        }
        check_eq({k: state[k] for k in expected}, expected,
                 f"the machine after installing {version}")


def build_previous(run_dir, arch):
    """The same package at an older version: what a site has installed before this one."""
    out = run_dir / f"VornaAgent-{PREVIOUS_VERSION}-{arch}.msi"
    done = subprocess.run(
        ["bash", ROOT / "installer" / "build_msi.sh", "--exe", env_path("VORNA_AGENT_EXE"),
         "--arch", arch, "--version", PREVIOUS_VERSION, "--allow-test-key", "--out", out],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    check_eq(done.returncode, 0, f"build_msi.sh --version {PREVIOUS_VERSION}\n"
             f"{done.stdout.decode()}")
    return out


def logon(driver, exe):
    """Types the account into the agent's logon window and presses Connect."""
    for control, text in ((IDC_LOGIN, USER), (IDC_PASSWORD, PASSWORD)):
        r = driver("type", caption=LOGON_CAPTION, id=control, text=text, exe=exe)
        check(r.ok, f"typing into control {control}", r)
    r = driver("click", caption=LOGON_CAPTION, id=IDC_CONNECT, exe=exe)
    check(r.ok, "pressing Connect", r)


def journey(machine, previous, current, version, server, driver):
    wine = machine.wine
    old_code = msi_property(previous, "ProductCode")
    new_code = msi_property(current, "ProductCode")
    steps = []

    def step(name):
        steps.append((name, time.monotonic()))

    step("install the previous version with every property")
    rc, out = machine.msiexec("/i", wine.windows_path(previous), "/qn", "AUTORUN=1",
                              "NOSAVEDATA=1", f"LOGFILE={LOG_POLICY}", "DO_NOT_LAUNCH=1")
    check_eq(rc, 0, f"msiexec /i previous /qn exit code\n{out}")
    machine.expect_installed(old_code, PREVIOUS_VERSION, LOG_POLICY)
    check_eq(machine.agents(), [], "agents started although DO_NOT_LAUNCH=1")

    step("an agent logged on through the server policies, then the current version")
    machine.admin_policy = {"address": "127.0.0.1", "port": server.port}
    wine.reg_import({POLICY_KEY: machine.admin_policy}, root="HKEY_LOCAL_MACHINE")
    log = wine.run_dir / "msi-agent.log"
    log.unlink(missing_ok=True)
    agent = wine.start([machine.exe_win, "--log", wine.windows_path(log)],
                       wine.run_dir / "msi-agent.out")
    for line in ("Политика nosavedata = 1 (HKLM)", "Политика address = 127.0.0.1 (HKLM)",
                 f"Политика port = {server.port} (HKLM)", "Трей: Отключен"):
        poll(lambda: log.exists() and line.encode() in log.read_bytes(), 20,
             f"the agent's line {line!r}", error=Failure)
    logon(driver, machine.exe_win)
    server.wait_requests("LOGON", 1, timeout=20)
    poll(lambda: "Трей: Подключен".encode() in log.read_bytes(), 20, "the agent to connect",
         error=Failure)
    check_eq(server.requests("LOGOUT"), [], "a LOGOUT before the upgrade")
    rc, out = machine.msiexec("/i", wine.windows_path(current), "/qn",
                              f"LOGFILE={LOG_POLICY_NEW}")
    check_eq(rc, 0, f"msiexec /i current /qn (upgrade) exit code\n{out}")
    try:
        agent.wait(timeout=5)
    except subprocess.TimeoutExpired:
        raise Failure("the upgrade left the old agent running")
    check_eq(len(server.requests("LOGOUT")), 1, "the stopped agent's LOGOUT")
    # AUTORUN and NOSAVEDATA as the previous package was given them, LOGFILE as given now.
    machine.expect_installed(new_code, version, LOG_POLICY_NEW)
    check_eq(machine.entry(old_code), None, "the previous version's entry after the upgrade")
    # AUTORUN was remembered: the agent started for the user runs as the Run entry starts it.
    poll(lambda: machine.agents(), 20, "the upgrade to start the new agent", error=Failure)
    cmdline = [Path(f"/proc/{pid}/cmdline").read_bytes() for pid in machine.agents()]
    check(all(b"--domain" in c for c in cmdline), "the agent was started without --domain",
          cmdline)

    step("the previous version again: refused")
    installed = (machine.dir / "VornaAgent.exe").read_bytes()
    rc, out = machine.msiexec("/i", wine.windows_path(previous), "/qn")
    check_eq(rc, windows_exit_code(ERROR_INSTALL_FAILURE), f"exit code of a downgrade\n{out}")
    check_eq((machine.entry(new_code) or {}).get("DisplayVersion"), version,
             "the installed version after a refused downgrade")
    check((machine.dir / "VornaAgent.exe").read_bytes() == installed,
          "a refused downgrade changed the agent")

    step("msiexec /x with the agent running")
    rc, out = machine.msiexec("/x", new_code, "/qn")
    check_eq(rc, 0, f"msiexec /x {new_code} /qn exit code\n{out}")
    # It returned: everything must be gone already, the running agent too.
    check_eq(machine.agents(), [], "agents left running by the uninstall")
    check_eq(machine.state(new_code),
             {"files": None, "shortcuts": 0, "entry": None, "run": None,
              "policy": machine.admin_policy, "remembered": None},
             "what the uninstall left (only the administrator's own policy values)")
    step("end")
    for (name, start), (_, end) in zip(steps, steps[1:]):
        print(f"ok    {name} ({end - start:.1f} s)")


def fresh_prefix():
    """A prefix of its own starts from the template each run: a journey cut short leaves an
    installed product behind that the next run's first install would refuse to downgrade."""
    if os.environ.get("WINEPREFIX") or not os.environ.get("VORNA_RUN_DIR"):
        return
    run_dir = Path(os.environ["VORNA_RUN_DIR"])
    if not (run_dir / "wine.env").exists():
        shutil.rmtree(run_dir / "prefix", ignore_errors=True)


def main():
    current = env_path("VORNA_MSI")
    arch = os.environ.get("VORNA_MSI_ARCH", "x86")
    fresh_prefix()
    wine = WineSession()
    machine = None
    server = None
    try:
        previous = build_previous(wine.run_dir, arch)
        machine = Machine(wine)
        tools = Path(os.environ["VORNA_HOST_TOOLS_DIR"])
        key = Path(os.environ["VORNA_FIXTURES_DIR"]) / "test_key_1024.pem"
        server = AccessServer(str(tools / "vorna_access_server"), str(key),
                              str(wine.run_dir / "msi-server.log"),
                              ("--account", f"{USER}:{PASSWORD}"))
        driver = Driver(DriverWine(wine), env_path("VORNA_DRIVER_EXE"))
        journey(machine, previous, current, os.environ.get("VORNA_PROJECT_VERSION", ""),
                server, driver)
    finally:
        if machine is not None:
            for pid in machine.agents():
                os.kill(pid, 9)
        if server is not None:
            server.stop()
        wine.close()
    return 0


if __name__ == "__main__":
    # A run stopped from outside (a CTest timeout) still takes down what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        sys.exit(main())
    except Failure as e:
        print(f"FAIL  {e}")
        sys.exit(1)
