"""scripts/demo as a user runs it, headless: it must log on through the agent's window, show the
session working, and end with a logoff whether it stops by itself or by Ctrl-C; a failure must
name its step and leave nothing running. Judged from what the agent and the server recorded,
not from the demo's own words alone."""
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEMO = os.path.join(ROOT, "scripts", "demo")
CONNECTED_TIP = "Подключен\nБаланс: 150.25\nЗа сессию: 3.10"
SCREEN_SIZE = (1024, 768)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e", "lib"))
from vorna_e2e.poll import poll  # noqa: E402
from vorna_e2e.ui import from_debug  # noqa: E402


class Case:
    def __init__(self, name, args, interrupt=False, exit_code=0, logged_off=True,
                 stderr_has=()):
        self.name, self.args, self.interrupt = name, args, interrupt
        self.exit_code, self.logged_off, self.stderr_has = exit_code, logged_off, stderr_has


CASES = [
    Case("stops_by_itself_once_connected", ["--until-connected"]),
    # As a terminal's Ctrl-C: SIGINT to the whole foreground process group of scripts/demo.
    Case("ctrl_c_logs_off_before_stopping", ["--duration", "150"], interrupt=True),
    Case("refused_logon_names_the_step", ["--until-connected", "--password", "wrong"],
         exit_code=1, logged_off=False,
         stderr_has=("failed at the step: waiting until connected",
                     "Авторизации не выполнена: Неверное имя пользователя или пароль",
                     "logs in ")),
]


def read(path, encoding="utf-8"):
    try:
        with open(path, "rb") as f:
            return f.read().decode(encoding, "replace")
    except FileNotFoundError:
        return ""


def processes_mentioning(text):
    """Pids of processes whose command line contains `text` (the run's own output folder)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def tray_texts(agent_out):
    """The tooltips in the agent's debug output, in order, with their line feeds back."""
    return [from_debug(line[len("Трей: "):])
            for line in read(agent_out, "cp866").replace("\r\n", "\n").split("\n")
            if line.startswith("Трей: ")]


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError(f"{path} is not a PNG")
    return struct.unpack(">II", head[16:24])


def run_demo(case, out):
    stdout_path, stderr_path = out + ".stdout", out + ".stderr"
    env = dict(os.environ)
    # The Wine environment of the run (CTest's fixture or scripts/test), as the e2e tests use.
    env.setdefault("VORNA_RUN_DIR", "/tmp/vorna-run")
    env.pop("CI", None)
    cmd = [DEMO, "--no-build", "--headless", "--out", out, *case.args]
    with open(stdout_path, "wb") as o, open(stderr_path, "wb") as e:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=o, stderr=e, env=env,
                                start_new_session=True)
    try:
        if case.interrupt:
            poll(lambda: "== running" in read(stdout_path), 120, "the demo to be running", 0.1)
            os.killpg(proc.pid, signal.SIGINT)
        code = proc.wait(timeout=150)
    except BaseException:
        stop_everything(proc, out)
        raise
    return code, read(stdout_path), read(stderr_path)


def stop_everything(proc, out):
    """After a test failure: the demo's Ctrl-C first, then whatever is left of the run."""
    with_suppressed(os.killpg, proc.pid, signal.SIGINT)
    try:
        proc.wait(timeout=40)
    except subprocess.TimeoutExpired:
        with_suppressed(os.killpg, proc.pid, signal.SIGKILL)
        proc.wait(timeout=10)
    for pid in processes_mentioning(out):
        with_suppressed(os.kill, pid, signal.SIGKILL)


def with_suppressed(action, *args):
    try:
        action(*args)
    except OSError:
        pass


def check(case, out, code, stdout, stderr):
    """The list of what is wrong with one run."""
    problems = []

    def expect(ok, message):
        if not ok:
            problems.append(message)

    expect(code == case.exit_code, f"exit code {code}, expected {case.exit_code}")
    try:
        poll(lambda: not processes_mentioning(out), 10, "the run's processes to end", 0.1)
    except AssertionError:
        problems.append(f"processes left running: {processes_mentioning(out)}")
    requests = [json.loads(line) for line in read(os.path.join(out, "server.log")).splitlines()
                if line.strip()]
    requests = [r for r in requests if "verb" in r]
    verbs = [r["verb"] for r in requests]
    tips = tray_texts(os.path.join(out, "agent.out"))
    for text in case.stderr_has:
        expect(text in stderr, f"stderr lacks {text!r}: {stderr!r}")
    expect(verbs[:1] == ["LOGON"], f"first request {verbs[:1]}")
    if not case.logged_off:
        expect("LOGOUT" not in verbs and CONNECTED_TIP not in tips,
               f"a refused logon went on: {verbs}, {tips}")
        return problems
    logon = requests[0]
    expect(logon["fields"] == ["LOGON", "demo", "demo", "253702"], f"LOGON {logon['fields']}")
    session = logon["reply"].split()[1] if logon["reply"][:1] in "13" else None
    pings = [r["reply"] for r in requests if r["verb"] == "PING"]
    expect(pings[:2] == ["2", "2"] and pings[2:3] and pings[2].startswith("1 150.25 3.10 0 "),
           f"PING replies {pings}")
    expect("GETINFO" in verbs, f"no GETINFO: {verbs}")
    expect(verbs[-1:] == ["LOGOUT"] and requests[-1]["fields"][2] == session
           and requests[-1]["reply"] == "1", f"last request {requests[-1]}")
    expect(CONNECTED_TIP in tips and tips[-1] == "Отключен"
           and tips.index(CONNECTED_TIP) < len(tips) - 1, f"tooltips {tips}")
    # The live transcript showed the connected tooltip and then the logoff, as they came.
    shown = stdout.find("Трей: Подключен / Баланс: 150.25 / За сессию: 3.10")
    logoff = stdout.find('LOGOUT  ["demo", ')
    expect(0 <= shown < logoff, "transcript lacks the connected tooltip before the LOGOUT")
    if case.interrupt:
        expect(logoff < 0 or stdout.find("Ctrl-C") < logoff,
               "the LOGOUT came before the Ctrl-C")
    listed = stdout.split("screenshots:\n", 1)[-1].split("\n==", 1)[0].split()
    names = sorted(os.path.basename(p) for p in listed)
    expect(names == sorted(["demo-desktop.png", "demo-logon.png", "demo-menu.png",
                            "demo-stats.png", "demo-stats-message.png"]),
           f"screenshots listed: {names}")
    for path in listed:
        if not os.path.exists(path):
            problems.append(f"listed screenshot {path} is missing")
            continue
        w, h = png_size(path)
        if os.path.basename(path) == "demo-desktop.png":
            expect((w, h) == SCREEN_SIZE, f"{path}: {w}x{h}, not the whole screen")
        else:
            expect(100 <= w < SCREEN_SIZE[0] // 2 and 60 <= h < SCREEN_SIZE[1] // 2,
                   f"{path}: {w}x{h} is no crop of one window")
    return problems


def main():
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(f"terminated ({signum})"))
    base = os.environ.get("VORNA_DEMO_OUT") or os.path.join(ROOT, "build", "demo-test")
    wanted = sys.argv[1:]
    failed = passed = 0
    for case in CASES:
        if wanted and case.name not in wanted:
            continue
        out = os.path.join(base, case.name)
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        started = time.monotonic()
        code, stdout, stderr = run_demo(case, out)
        problems = check(case, out, code, stdout, stderr)
        took = time.monotonic() - started
        if problems:
            failed += 1
            print(f"FAIL {case.name} ({took:.1f} s)\n  " + "\n  ".join(problems)
                  + f"\n--- demo output:\n{stdout}\n--- stderr:\n{stderr}\n--- files: {out}",
                  flush=True)
        else:
            passed += 1
            print(f"PASS {case.name} ({took:.1f} s)", flush=True)
    print(f"{passed} passed, {failed} failed", flush=True)
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
