#!/usr/bin/env python3
"""The installer under Wine: silent install and uninstall per user and per machine, upgrades
and downgrades, start at logon, stored settings, and stopping a running agent (one that exits,
one that hangs, and a stranger's window with the agent's caption), and restarting it after a
silent upgrade with nothing but its own options. `uninstall.exe /S` must return only when it
has finished, with an exit code that says whether everything is gone, and leave nothing in
Temp; it runs the uninstaller from a private folder of its own.

Environment: VORNA_INSTALLER (the built setup), VORNA_AGENT_EXE (the agent it packs),
VORNA_LOOKALIKE_EXE, VORNA_CONFIG (the site configuration tool), VORNA_FIXTURES_DIR; the Wine
environment of the run (WINEPREFIX...) or VORNA_RUN_DIR for one of its own.
"""

import ntpath
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
from wine_session import ROOT, Failure, WineSession, check, check_eq  # noqa: E402
sys.path.insert(0, str(ROOT / "tests" / "e2e" / "lib"))
from vorna_e2e.poll import poll  # noqa: E402

UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VornaAgent"
RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
RUN_VALUE = "VORNA Auth Utility"
SETTINGS_KEY = "Software\\Vorna\\AuthUtility"
SETTINGS_PARENT_KEY = "Software\\Vorna"
AGENT_EXIT_COMMAND = "command 4015"
SYSTEM_SID = "S-1-5-18"
ADMINISTRATORS_SID = "S-1-5-32-544"
ACCESS_ALLOWED_ACE = 0
# uninstall.exe's own temporary folder: a name nobody can guess in advance.
PRIVATE_FOLDER = re.compile(r"VornaUninstall-[0-9a-f]{32}")
# The exit code the look-alike gives as uninstall-core.exe ("cancelled": nothing is removed).
PROBE_EXIT_CODE = 1
# Bounds every installer run; well above the installer's own 5 s wait for an agent to exit.
PROGRAM_TIMEOUT_S = 30
WINDOW_TIMEOUT_MS = 15000


def env_path(name, default=None):
    value = os.environ.get(name) or default
    if not value or not Path(value).exists():
        raise Failure(f"{name} must name an existing file (got {value!r})")
    return Path(value)


class Installation:
    """Where this prefix puts the agent, and the operations on it."""
    root = "HKCU"

    def __init__(self, wine):
        self.wine = wine
        self.dir_win = wine.expand("%LOCALAPPDATA%") + "\\VornaAgent"
        self.exe_win = self.dir_win + "\\VornaAgent.exe"
        self.dir = wine.unix_path(self.dir_win)
        self.exe = self.dir / "VornaAgent.exe"
        self.uninstaller = self.dir / "uninstall.exe"
        programs = wine.expand("%APPDATA%") + "\\Microsoft\\Windows\\Start Menu\\Programs"
        self.shortcut = wine.unix_path(programs) / "VornaAgent.lnk"
        self.temp = wine.unix_path(wine.expand("%TEMP%"))
        self.temp_before = set()

    def agent_processes(self):
        """Agents running from the installation, whoever started them."""
        return sorted(set(self.wine.prefix_processes(self.dir_win + "\\VornaAgent.exe") +
                          self.wine.prefix_processes(str(self.exe))))

    def reset(self):
        self.wine.reg_import({UNINSTALL_KEY: None, SETTINGS_PARENT_KEY: None,
                              RUN_KEY: {RUN_VALUE: None}})
        shutil.rmtree(self.dir, ignore_errors=True)
        self.shortcut.unlink(missing_ok=True)

    def run_silent(self, args):
        """Runs an installer or uninstaller with /S; neither ever exits with 1 in silent mode."""
        return self.wine.run(args, timeout=PROGRAM_TIMEOUT_S, retry_unstarted=True)

    def install(self, setup, *args):
        return self.run_silent([setup, "/S", *args])

    def temp_entries(self):
        return set(os.listdir(self.temp)) if self.temp.exists() else set()

    def uninstall(self, *args):
        """Runs `uninstall.exe /S` as an admin's script would (through the Windows path its entry
        names); it must return only when it has finished."""
        check(self.uninstaller.exists(), "no uninstaller to run", self.uninstaller)
        self.temp_before = self.temp_entries()
        return self.run_silent([self.dir_win + "\\uninstall.exe", "/S", *args])

    def expect_temp_clean(self):
        # The uninstaller's own temporary folder goes as soon as it has exited (a running program
        # cannot delete its own file); anything else must be gone when it returns.
        try:
            poll(lambda: not (self.temp_entries() - self.temp_before), 10,
                 "the uninstaller's temporary files to go", error=Failure)
        except Failure:
            raise Failure("left in Temp by the uninstaller: "
                          f"{sorted(self.temp_entries() - self.temp_before)}")

    def expect_nothing_left(self):
        """After an uninstall that returned 0: the folder, the uninstaller included, is gone
        already, and nothing stays in Temp."""
        left = sorted(p.name for p in self.dir.iterdir()) if self.dir.exists() else None
        check_eq(left, None, "the installation folder after the uninstaller returned 0")
        self.expect_temp_clean()

    def uninstall_from_entry(self, *args):
        """Runs the entry's QuietUninstallString as the system's program list would."""
        quiet = self.wine.reg_values(UNINSTALL_KEY, self.root)["QuietUninstallString"]
        exe, _, rest = quiet[1:].partition('" ')
        self.temp_before = self.temp_entries()
        rc, out = self.run_silent([exe, *rest.split(), *args])
        check_eq(rc, 0, f"exit code of {quiet}\n{out}")

    def expect_installed(self, agent_bytes, autorun):
        check(self.exe.exists(), "the agent was not installed", self.exe)
        if agent_bytes is not None:
            check(self.exe.read_bytes() == agent_bytes, "the installed agent differs from the "
                  "packed one", self.exe)
        check(self.uninstaller.exists(), "no uninstaller", self.uninstaller)
        check(self.shortcut.exists(), "no Start-menu shortcut", self.shortcut)
        entry = self.wine.reg_values(UNINSTALL_KEY, self.root) or {}
        expected = {
            "DisplayName": "Vorna Tray Agent",
            "DisplayVersion": "2.5.3.702",
            "Publisher": "Vorna Networks",
            "InstallLocation": self.dir_win,
            "UninstallString": f'"{self.dir_win}\\uninstall.exe"',
            "NoModify": 1,
            "NoRepair": 1,
        }
        check_eq({k: entry.get(k) for k in expected}, expected, "the uninstaller entry")
        run = (self.wine.reg_values(RUN_KEY) or {}).get(RUN_VALUE)
        flag = (self.wine.reg_values(SETTINGS_KEY) or {}).get("runonwinlogon")
        if autorun:
            check_eq((run, flag), (self.exe_win, 1), "start at logon (Run value, runonwinlogon)")
        else:
            check_eq((run, flag), (None, None), "start at logon was turned on unasked")

    def expect_removed(self, run_value=None):
        check(not self.exe.exists(), "the agent is still there", self.exe)
        check(not self.shortcut.exists(), "the shortcut is still there", self.shortcut)
        check_eq(self.wine.reg_values(UNINSTALL_KEY, self.root), None, "the uninstaller entry")
        check_eq((self.wine.reg_values(RUN_KEY) or {}).get(RUN_VALUE), run_value,
                 "the Run value after uninstall")


class MachineInstallation(Installation):
    """The same, installed per machine with /ALLUSERS."""
    root = "HKLM"

    def __init__(self, wine):
        super().__init__(wine)
        self.dir_win = wine.expand("%ProgramFiles%") + "\\VornaAgent"
        self.exe_win = self.dir_win + "\\VornaAgent.exe"
        self.dir = wine.unix_path(self.dir_win)
        self.exe = self.dir / "VornaAgent.exe"
        self.uninstaller = self.dir / "uninstall.exe"
        programs = wine.expand("%ProgramData%") + "\\Microsoft\\Windows\\Start Menu\\Programs"
        self.shortcut = wine.unix_path(programs) / "VornaAgent.lnk"

    def reset(self):
        super().reset()
        self.wine.reg_import({UNINSTALL_KEY: None, RUN_KEY: {RUN_VALUE: None}},
                             root="HKEY_LOCAL_MACHINE")

    def machine_run_value(self):
        return (self.wine.reg_values(RUN_KEY, "HKLM") or {}).get(RUN_VALUE)


# ---- install and uninstall, no agent running ----

@dataclass
class Case:
    name: str
    install_args: list
    uninstall_args: list = field(default_factory=list)
    # What the agent would have stored by the time the user uninstalls it.
    agent_settings: dict = field(default_factory=dict)
    # A Run value another copy of the agent wrote after the install; it must survive.
    other_run_value: str = None
    settings_survive: bool = True
    from_entry: bool = False
    per_machine: bool = False


CASES = [
    Case("plain install, uninstall from the program list keeps the stored login",
         [], agent_settings={"savedata": 1, "login": "ivanov"}, from_entry=True),
    Case("/AUTORUN turns start at logon on, uninstall removes the Run value and keeps the flag",
         ["/AUTORUN"]),
    Case("/REMOVESETTINGS deletes the stored settings", ["/AUTORUN"], ["/REMOVESETTINGS"],
         agent_settings={"savedata": 1, "login": "ivanov"}, settings_survive=False),
    Case("a Run value of another copy of the agent is left alone", ["/AUTORUN"],
         other_run_value="C:\\Other\\VornaAgent.exe"),
    Case("per machine: uninstall keeps the stored login", ["/ALLUSERS"],
         agent_settings={"savedata": 1, "login": "ivanov"}, per_machine=True),
    Case("per machine, from the program list, /REMOVESETTINGS deletes the stored settings",
         ["/ALLUSERS"], ["/REMOVESETTINGS"], agent_settings={"savedata": 1, "login": "ivanov"},
         settings_survive=False, from_entry=True, per_machine=True),
]


def run_case(inst, setup, agent_bytes, case):
    rc, out = inst.install(setup, *case.install_args)
    check_eq(rc, 0, f"installer exit code\n{out}")
    autorun = "/AUTORUN" in case.install_args
    inst.expect_installed(agent_bytes, autorun)
    changes = {SETTINGS_KEY: case.agent_settings} if case.agent_settings else {}
    if case.other_run_value:
        changes[RUN_KEY] = {RUN_VALUE: case.other_run_value}
    if changes:
        inst.wine.reg_import(changes)
    settings_before = inst.wine.reg_values(SETTINGS_KEY)

    # Whichever way it is run, the uninstaller has finished when it returns 0.
    if case.from_entry:
        inst.uninstall_from_entry(*case.uninstall_args)
    else:
        rc, out = inst.uninstall(*case.uninstall_args)
        check_eq(rc, 0, f"uninstaller exit code\n{out}")
    inst.expect_removed(run_value=case.other_run_value)
    inst.expect_nothing_left()
    if case.settings_survive:
        check_eq(inst.wine.reg_values(SETTINGS_KEY), settings_before, "the stored settings")
    else:
        check_eq(inst.wine.reg_values(SETTINGS_KEY), None, "the settings key")
        check_eq(inst.wine.reg_values(SETTINGS_PARENT_KEY), None, "the empty parent key")


# ---- a running agent ----

def start_agent_like(inst, exe, args, name):
    """Starts a program whose window the installer takes for the agent's; returns (process,
    log) once the window exists."""
    log = inst.wine.run_dir / f"{name}.log"
    process = inst.wine.start([exe, *args], log)
    poll(lambda: process.poll() is not None or b"ready" in log.read_bytes(), 20,
         f"{name} to show its window", error=Failure)
    check(process.poll() is None, f"{name} ended at start", log.read_text(errors="replace"))
    return process, log


def start_installed_agent(inst, lookalike):
    agent = inst.wine.start([inst.exe], inst.wine.run_dir / "agent.log")
    rc, _ = inst.wine.run([lookalike, "wait-window", "1", WINDOW_TIMEOUT_MS])
    check(rc == 0 and agent.poll() is None, "the installed agent did not show its logon window",
          f"exit code {agent.poll()}")
    return agent


def stop(process):
    process.kill()
    process.wait(timeout=10)


def test_uninstall_stops_the_agent(inst, setup, lookalike):
    rc, out = inst.install(setup)
    check_eq(rc, 0, f"installer exit code\n{out}")
    agent = start_installed_agent(inst, lookalike)
    rc, out = inst.uninstall()
    check_eq(rc, 0, f"uninstaller exit code\n{out}")
    try:
        agent.wait(timeout=5)
    except subprocess.TimeoutExpired:
        raise Failure("the uninstaller left the agent running")
    inst.expect_nothing_left()
    inst.expect_removed()


def test_upgrade_stops_the_agent(inst, setup, site_setup, config_tool, lookalike):
    rc, out = inst.install(setup)
    check_eq(rc, 0, f"installer exit code\n{out}")
    agent = start_installed_agent(inst, lookalike)
    rc, out = inst.install(site_setup)
    check_eq(rc, 0, f"exit code of the upgrade over a running agent\n{out}")
    try:
        agent.wait(timeout=5)
    except subprocess.TimeoutExpired:
        raise Failure("the upgrade left the old agent running")
    rc, _ = inst.wine.run([lookalike, "wait-window", "1", WINDOW_TIMEOUT_MS])
    check_eq(rc, 0, "the silent upgrade did not start the new agent again (its window)")
    inst.expect_installed(None, autorun=False)
    shown = subprocess.run([config_tool, "show", inst.exe], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=20).stdout.decode()
    for line in ("address: 10.20.30.40", "port: 8123", "key: 2048-bit RSA"):
        check(line in shown, f"the upgrade did not install the site's agent: no {line!r}", shown)
    rc, out = inst.uninstall()
    check_eq(rc, 0, f"uninstaller exit code\n{out}")
    check_eq(inst.agent_processes(), [], "agents left running by the uninstaller")
    inst.expect_nothing_left()


def test_hung_agent(inst, setup, lookalike):
    """An agent that ignores Exit keeps its exe locked: the upgrade stops with an error instead
    of half-replacing it; the uninstaller gives up waiting, says so (2) and removes nothing, so
    that the removal can be run again later."""
    rc, out = inst.install(setup)
    check_eq(rc, 0, f"installer exit code\n{out}")
    hung = lookalike.read_bytes()
    inst.exe.write_bytes(hung)
    process, log = start_agent_like(inst, inst.exe, ["agent"], "hung-agent")
    try:
        rc, out = inst.install(setup)
        check_eq(rc, 2, f"exit code of an upgrade over an agent that will not exit\n{out}")
        check(AGENT_EXIT_COMMAND in log.read_text(), "the upgrade did not ask the agent to exit")
        check(inst.exe.read_bytes() == hung, "the upgrade replaced the running agent's file")

        rc, out = inst.uninstall()
        check_eq(rc, 2, f"exit code of an uninstall whose agent would not exit\n{out}")
        left = sorted(p.name for p in inst.dir.iterdir())
        check_eq(left, ["VornaAgent.exe", "uninstall-core.exe", "uninstall.exe"],
                 "the installation after an uninstall whose agent would not exit")
        check(inst.wine.reg_values(UNINSTALL_KEY) is not None,
              "the uninstaller entry went though the agent stayed")
        inst.expect_temp_clean()
    finally:
        stop(process)
    rc, out = inst.uninstall()
    check_eq(rc, 0, f"exit code of the second uninstall, agent gone\n{out}")
    inst.expect_nothing_left()
    inst.expect_removed()


def test_file_left_in_the_folder(inst, setup):
    """A file of someone else's keeps the folder: the uninstaller removes all of its own and
    says that not everything is gone."""
    rc, out = inst.install(setup)
    check_eq(rc, 0, f"installer exit code\n{out}")
    (inst.dir / "notes.txt").write_text("the user's own")
    rc, out = inst.uninstall()
    check_eq(rc, 5, f"exit code of an uninstall that could not remove the folder\n{out}")
    check_eq(sorted(p.name for p in inst.dir.iterdir()), ["notes.txt"],
             "the folder after the uninstall")
    inst.expect_removed()
    inst.expect_temp_clean()


def test_foreign_window(inst, setup, lookalike):
    process, log = start_agent_like(inst, lookalike, ["foreign"], "foreign")
    try:
        rc, out = inst.install(setup)
        check_eq(rc, 0, f"installer exit code beside a foreign window\n{out}")
        rc, out = inst.uninstall()
        check_eq(rc, 0, f"uninstaller exit code beside a foreign window\n{out}")
        check(AGENT_EXIT_COMMAND not in log.read_text(),
              "the installer sent Exit to a window that is not the agent's", log.read_text())
        check(process.poll() is None, "the foreign program ended")
    finally:
        stop(process)
    inst.expect_nothing_left()


# ---- how uninstall.exe runs the uninstaller ----

def probe_uninstall(inst, report):
    """Runs uninstall.exe with the look-alike's probe as its uninstaller; returns what the probe
    saw: {name: value} and its "ace" lines as (type, mask, sid)."""
    report.unlink(missing_ok=True)
    rc, out = inst.run_silent([inst.dir_win + "\\uninstall.exe", "uninstaller-probe",
                               inst.wine.windows_path(report)])
    check_eq(rc, PROBE_EXIT_CODE, f"exit code of uninstall.exe over the probe\n{out}")
    seen = {"aces": []}
    for line in report.read_text(encoding="utf-8").splitlines():
        name, _, value = line.partition(" ")
        if name == "ace":
            kind, mask, sid = value.split(" ")
            seen["aces"].append((int(kind), int(mask, 16), sid))
        else:
            seen[name] = value
    return seen


def test_uninstaller_runs_in_a_private_folder(inst, setup, lookalike):
    """The copy of the uninstaller runs from a new folder with a name nobody can guess, that
    only the user, administrators and SYSTEM may write; its current folder is System32, its TEMP
    that private folder; the copy cannot be moved away while it runs."""
    rc, out = inst.install(setup)
    check_eq(rc, 0, f"installer exit code\n{out}")
    (inst.dir / "uninstall-core.exe").write_bytes(lookalike.read_bytes())
    inst.temp_before = inst.temp_entries()
    temp = inst.wine.expand("%TEMP%").rstrip("\\").lower()
    report = inst.wine.run_dir / "uninstaller-probe.txt"
    runs = [probe_uninstall(inst, report) for _ in range(2)]
    for seen in runs:
        folder = ntpath.dirname(seen["image"])
        check_eq(ntpath.dirname(folder).lower(), temp, "the folder the copy ran from is not in Temp")
        check(PRIVATE_FOLDER.fullmatch(ntpath.basename(folder)),
              "the copy's folder has a name that can be guessed", folder)
        check_eq(seen["cwd"].rstrip("\\").lower(), seen["system"].lower(),
                 "the uninstaller's current folder")
        check(seen["temp"].lower().startswith(folder.lower()),
              "the uninstaller's TEMP is not its private folder", seen["temp"])
        check_eq(seen["rename"], "refused", "moving the running copy away")
        allowed = {seen["user"], SYSTEM_SID, ADMINISTRATORS_SID}
        strangers = [ace for ace in seen["aces"]
                     if ace[0] != ACCESS_ALLOWED_ACE or ace[2] not in allowed]
        check(seen["aces"] and not strangers,
              "the copy's folder lets others in (ACEs: type, mask, SID)", seen["aces"])
    check(runs[0]["image"] != runs[1]["image"], "two runs used the same folder",
          runs[0]["image"])
    inst.expect_temp_clean()


# ---- per machine, upgrades and downgrades ----

def test_per_machine_install_and_uninstall(machine, user, setup, agent_bytes):
    """/ALLUSERS /AUTORUN: Program Files, the all-users menu, HKLM entry and an HKLM Run entry
    with --domain; nothing per user; a later plain run keeps the mode; the uninstaller removes
    all of it."""
    rc, out = machine.install(setup, "/ALLUSERS", "/AUTORUN")
    check_eq(rc, 0, f"per-machine installer exit code\n{out}")
    check(machine.exe.read_bytes() == agent_bytes, "no agent in Program Files", machine.exe)
    check(machine.shortcut.exists(), "no all-users shortcut", machine.shortcut)
    check_eq((machine.wine.reg_values(UNINSTALL_KEY, "HKLM") or {}).get("InstallLocation"),
             machine.dir_win, "the HKLM uninstaller entry")
    check_eq(machine.machine_run_value(), f'"{machine.exe_win}" --domain', "the HKLM Run value")
    check_eq(user.wine.reg_values(UNINSTALL_KEY), None, "a per-user entry")
    check_eq((user.wine.reg_values(RUN_KEY) or {}).get(RUN_VALUE), None, "a per-user Run value")
    check_eq((user.wine.reg_values(SETTINGS_KEY) or {}).get("runonwinlogon"), None,
             "runonwinlogon written per machine")
    check(not user.exe.exists(), "an agent in the user's profile too", user.exe)

    rc, out = machine.install(setup)
    check_eq(rc, 0, f"exit code of a plain run over a per-machine install\n{out}")
    check(not user.exe.exists(), "the upgrade switched to per user", user.exe)
    check_eq(user.wine.reg_values(UNINSTALL_KEY), None, "a per-user entry after the upgrade")

    rc, out = machine.uninstall()
    check_eq(rc, 0, f"per-machine uninstaller exit code\n{out}")
    machine.expect_nothing_left()
    machine.expect_removed()
    check_eq(machine.machine_run_value(), None, "the HKLM Run value after uninstall")


def test_downgrade_is_refused_unless_forced(inst, setup, newer_setup):
    rc, out = inst.install(newer_setup)
    check_eq(rc, 0, f"exit code of the newer installer\n{out}")
    rc, out = inst.install(setup)
    check_eq(rc, 3, f"exit code of an older installer over a newer one\n{out}")
    check_eq(inst.wine.reg_values(UNINSTALL_KEY).get("DisplayVersion"), "9.0.0.0",
             "the installed version after a refused downgrade")
    rc, out = inst.install(setup, "/FORCE")
    check_eq(rc, 0, f"exit code of a forced downgrade\n{out}")
    check_eq(inst.wine.reg_values(UNINSTALL_KEY).get("DisplayVersion"), "2.5.3.702",
             "the installed version after a forced downgrade")
    rc, out = inst.uninstall()
    check_eq(rc, 0, f"uninstaller exit code\n{out}")
    inst.expect_nothing_left()


def test_upgrade_keeps_the_agents_options(inst, setup):
    """The restarted agent gets the arguments the stopped one ran with: its log (appended by
    both) shows the --address it was given."""
    rc, out = inst.install(setup)
    check_eq(rc, 0, f"installer exit code\n{out}")
    log = inst.wine.run_dir / "upgrade-agent.log"
    log.unlink(missing_ok=True)
    server_line = "Сервер: 10.9.9.9, порт 800".encode()
    agent = inst.wine.start([inst.exe, "--log", inst.wine.windows_path(log), "--address",
                             "10.9.9.9", "--domain"], inst.wine.run_dir / "agent.log")
    poll(lambda: log.exists() and server_line in log.read_bytes(), 20, "the agent's start lines",
         error=Failure)
    rc, out = inst.install(setup)
    check_eq(rc, 0, f"exit code of the upgrade\n{out}")
    try:
        agent.wait(timeout=5)
    except subprocess.TimeoutExpired:
        raise Failure("the upgrade left the old agent running")
    poll(lambda: log.read_bytes().count(server_line) >= 2, 20,
         "the restarted agent with the same --address", error=Failure)
    for pid in inst.agent_processes():
        os.kill(pid, 9)
    rc, out = inst.uninstall()
    check_eq(rc, 0, f"uninstaller exit code\n{out}")
    inst.expect_nothing_left()


@dataclass
class RestartCase:
    name: str
    # The arguments of the program the upgrade stops ("{log}": a log file's Windows path).
    args: list
    # What the restarted agent must get after its path.
    kept: str
    # True: that program runs as the installed VornaAgent.exe; False: from a path of its own.
    installed: bool = True


RESTART_CASES = [
    RestartCase("unknown options, words and program paths are dropped, the agent's own kept",
                ["--evil", "--debug", "--address", "10.9.9.9", "C:\\Windows\\system32\\cmd.exe",
                 "/c", "--domain", "CORP", "--log", "{log}", "--run", "calc.exe", "--LOG",
                 "C:\\other.log"],
                '--debug --address 10.9.9.9 --domain CORP --log "{log}"'),
    RestartCase("an option with a bad value goes with its value",
                ["--address", "10.9.9.256", "--address", "1.2.3", "--address", "1.2.3.4.5",
                 "--domain", "a&b", "--address", "--debug", "--log"],
                "--domain"),
    RestartCase("quotes cannot smuggle in another argument",
                ["--domain", 'CORP" --evil "x', "--log", "{log} --evil"],
                '--domain --log "{log} --evil"'),
    RestartCase("a look-alike's command line is not taken",
                ["--address", "10.6.6.6", "--log", "{log}", "--evil"], "", installed=False),
]


def test_restart_keeps_only_the_agents_options(inst, setup, lookalike, case):
    """A silent upgrade stops a program with the agent's window and restarts the installed agent
    with that program's command line, filtered: the look-alike (which exits on Exit) stands in
    for it, installed as the agent or run from its own path."""
    rc, out = inst.install(setup)
    check_eq(rc, 0, f"installer exit code\n{out}")
    log = inst.wine.windows_path(inst.wine.run_dir / "restart-agent.log")
    program = lookalike
    if case.installed:
        inst.exe.write_bytes(lookalike.read_bytes())
        program = inst.exe
    args = [arg.replace("{log}", log) for arg in case.args]
    process, _ = start_agent_like(inst, program, ["exiting-agent", *args], "restart-agent")
    rc, out = inst.install(setup)
    check_eq(rc, 0, f"exit code of the upgrade\n{out}")
    check(process.poll() is not None or process.wait(timeout=5) is not None,
          "the upgrade left the stopped program running")
    rc, out = inst.wine.run([lookalike, "agent-command-line", WINDOW_TIMEOUT_MS])
    check_eq(rc, 0, f"the silent upgrade did not start the agent again\n{out}")
    seen = dict(line.split(" ", 1) for line in out.splitlines() if " " in line)
    check_eq(seen.get("image", "").lower(), inst.exe_win.lower(), "the restarted program")
    kept = case.kept.replace("{log}", log)
    check_eq(seen.get("command-line"), f'"{inst.exe_win}"' + (f" {kept}" if kept else ""),
             "the restarted agent's command line")
    for pid in inst.agent_processes():
        os.kill(pid, 9)
    rc, out = inst.uninstall()
    check_eq(rc, 0, f"uninstaller exit code\n{out}")
    inst.expect_nothing_left()


def build_newer_setup(run_dir, agent_exe, config_tool):
    out = run_dir / "VornaAgentSetup-9.exe"
    done = subprocess.run(
        ["bash", ROOT / "installer" / "build_installer.sh", "--exe", agent_exe, "--version",
         "9.0.0.0", "--config-tool", config_tool, "--out", out, "--allow-test-key"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    check_eq(done.returncode, 0, f"build_installer.sh --version 9.0.0.0\n{done.stdout.decode()}")
    return out


def build_site_setup(run_dir, agent_exe, config_tool):
    out = run_dir / "VornaAgentSiteSetup.exe"
    key = env_path("VORNA_FIXTURES_DIR", ROOT / "tests" / "fixtures") / "test_key_2048.pub.pem"
    done = subprocess.run(
        ["bash", ROOT / "installer" / "build_installer.sh", "--exe", agent_exe,
         "--address", "10.20.30.40", "--port", "8123", "--key", key,
         "--config-tool", config_tool, "--out", out, "--allow-test-key"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    check_eq(done.returncode, 0, f"build_installer.sh for a site\n{done.stdout.decode()}")
    return out


def main():
    setup = env_path("VORNA_INSTALLER")
    agent_exe = env_path("VORNA_AGENT_EXE")
    lookalike = env_path("VORNA_LOOKALIKE_EXE")
    config_tool = env_path("VORNA_CONFIG", ROOT / "build" / "host" / "tools" / "vorna_config")
    agent_bytes = agent_exe.read_bytes()

    # Wine shows a file's Unix mode as its DACL (others' bits as an Everyone entry): with this
    # mask a folder made without a DACL of its own is readable by all, as on Windows it would
    # inherit Temp's entries, and the private-folder test can tell the two apart.
    os.umask(0o022)
    wine = WineSession()
    failures = []
    try:
        inst = Installation(wine)
        site_setup = build_site_setup(wine.run_dir, agent_exe, config_tool)
        newer_setup = build_newer_setup(wine.run_dir, agent_exe, config_tool)
        machine = MachineInstallation(wine)
        tests = [(c.name, lambda c=c: run_case(machine if c.per_machine else inst, setup,
                                                 agent_bytes, c)) for c in CASES]
        tests += [
            ("uninstall stops the running agent",
             lambda: test_uninstall_stops_the_agent(inst, setup, lookalike)),
            ("upgrade to a site's installer stops the running agent",
             lambda: test_upgrade_stops_the_agent(inst, setup, site_setup, config_tool,
                                                  lookalike)),
            ("an agent that will not exit is waited for a bounded time",
             lambda: test_hung_agent(inst, setup, lookalike)),
            ("a file of someone else's in the folder: exit code 5",
             lambda: test_file_left_in_the_folder(inst, setup)),
            ("a foreign window with the agent's caption is left alone",
             lambda: test_foreign_window(inst, setup, lookalike)),
            ("uninstall.exe runs the uninstaller from a private folder, from System32",
             lambda: test_uninstaller_runs_in_a_private_folder(inst, setup, lookalike)),
            ("per machine with /AUTORUN: install, upgrade keeps the mode, uninstall",
             lambda: test_per_machine_install_and_uninstall(machine, inst, setup, agent_bytes)),
            ("an older installer refuses unless /FORCE",
             lambda: test_downgrade_is_refused_unless_forced(inst, setup, newer_setup)),
            ("an upgrade restarts the agent with its --address",
             lambda: test_upgrade_keeps_the_agents_options(inst, setup)),
        ]
        tests += [(f"restart after an upgrade: {c.name}",
                   lambda c=c: test_restart_keeps_only_the_agents_options(inst, setup, lookalike,
                                                                           c))
                  for c in RESTART_CASES]
        for name, test in tests:
            inst.reset()
            machine.reset()
            started = time.monotonic()
            try:
                test()
                print(f"ok    {name} ({time.monotonic() - started:.1f} s)")
            except Exception as e:  # noqa: BLE001 - one broken case must not stop the others
                failures.append(name)
                detail = e if isinstance(e, Failure) else repr(e)
                print(f"FAIL  {name}\n    {detail}")
            finally:
                for p in wine.processes:
                    if p.poll() is None:
                        stop(p)
                for pid in inst.agent_processes():
                    os.kill(pid, 9)
        inst.reset()
    finally:
        wine.close()
    if failures:
        print(f"{len(failures)} failed: {', '.join(failures)}")
        return 1
    return 0


if __name__ == "__main__":
    # A run stopped from outside (a CTest timeout) still takes down what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        sys.exit(main())
    except Failure as e:
        print(f"FAIL  {e}")
        sys.exit(1)
