"""The agent's main job on a demo set-up: the test access server with a demo account on
loopback, a copy of the agent stamped for it, the agent under Wine logged on through its own
window, and a live transcript of what the agent shows and what the server sees.

Run it through scripts/demo, which builds first and passes Ctrl-C on to it."""
import argparse
import atexit
import contextlib
import datetime
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e", "lib"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from vorna_e2e import ui  # noqa: E402
from vorna_e2e.agent import Agent, stamp  # noqa: E402
from vorna_e2e.driver import Driver  # noqa: E402
from vorna_e2e.poll import poll  # noqa: E402
from vorna_e2e.registry import Registry  # noqa: E402
from vorna_e2e.wine import env_is_up  # noqa: E402
from vorna_e2e.server import AccessServer  # noqa: E402
from vorna_e2e.wine import Wine  # noqa: E402

import demo_screens as screens  # noqa: E402

LOGIN = PASSWORD = "demo"
BALANCE, COST = "150.25", "3.10"
MESSAGE = "Добро пожаловать! Остаток трафика: 2 ГБ"
INFO = f"Баланс: {BALANCE}\\nЗа сессию: {COST}\\n\\n{MESSAGE}"  # server escapes: \n
INFO_SHOWN = INFO.replace("\\n", "\n")
CONNECTED_TIP = f"Подключен\nБаланс: {BALANCE}\nЗа сессию: {COST}"
ACCEPTED_TIP = "Проверка пароля прошла успешно, идет подключение"
ENDED_TEXT = "Сессия завершена сервером"
STATE_TIPS = {"1": f"Скоро лимит\nБаланс: {BALANCE}\nЗа сессию: {COST}",
              "2": f"Платные сети блокированы\nБаланс: {BALANCE}\nЗа сессию: {COST}"}
# Tooltips that mean the logon has failed; the demo stops at once with the agent's own words.
FAILURE_TIPS = ("Авторизации не выполнена", "Подключение невозможно",
                "Невозможно соединиться с сервером", "Доступ запрещен",
                "Неизвестный ответ сервера", "Session id is 0")
TRAY_STATES = (("disconnected", "disconnected"), ("progress", "in progress"),
               ("connected", "connected"), ("limit", "limit near"),
               ("blocked", "paid networks blocked"), ("error", "error"))
DEFAULT_RUN_DIR = "/tmp/vorna-demo-run"


@contextlib.contextmanager
def deferred_interrupt():
    """Holds a Ctrl-C back while a process is being started, so that every process the demo
    starts is known to it and ended by it."""
    caught = []
    previous = {n: signal.signal(n, lambda signum, frame: caught.append(signum))
                for n in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for n, handler in previous.items():
            signal.signal(n, handler)
    if caught:
        raise KeyboardInterrupt


class DemoError(Exception):
    def __init__(self, step, message):
        super().__init__(message)
        self.step = step


def tool_paths():
    """The built pieces; CTest passes its own, a clone finds them in build/."""
    env = os.environ.get
    tools = env("VORNA_HOST_TOOLS_DIR") or os.path.join(ROOT, "build", "host", "tools")
    return {
        "agent": env("VORNA_AGENT_EXE") or os.path.join(
            ROOT, "build", "win32", "platform", "win32", "VornaAgent.exe"),
        "driver": env("VORNA_DRIVER_EXE") or os.path.join(
            ROOT, "build", "win32", "tests", "e2e", "vorna_driver.exe"),
        "server": os.path.join(tools, "vorna_access_server"),
        "config": os.path.join(tools, "vorna_config"),
        "harness": os.path.join(ROOT, "tests", "harness", "wine_env.sh"),
    }


def user_display():
    """The user's X display when there is one to show the agent on (not in CI)."""
    if not os.environ.get("DISPLAY") or os.environ.get("CI"):
        return False
    try:
        return subprocess.run(["xdpyinfo"], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


class DisplayWine(Wine):
    """Wine on the user's own display, in the demo's prefix: the agent, its windows and the
    Wine desktop with its taskbar and tray appear there."""

    def __init__(self, run_dir, harness):
        # Not Wine.__init__: that one brings up a private X server.
        self.run_dir = run_dir
        prefix = os.path.join(run_dir, "prefix")
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            # The harness makes the prefix from its cached template while bringing up its
            # private X server; that server is not needed here and goes down again.
            env = dict(os.environ, VORNA_RUN_DIR=run_dir)
            for action in ("up", "down"):
                subprocess.run(["bash", harness, action], env=env, check=True, timeout=180,
                               stdin=subprocess.DEVNULL)
        os.environ.update(VORNA_RUN_DIR=run_dir, WINEPREFIX=prefix,
                          WINEARCH=os.environ.get("VORNA_WINE_ARCH", "win32"),
                          WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                          LC_ALL="ru_RU.UTF-8")
        # A persistent server keeps every driver run short. No pipes: the server outlives
        # the command and would hold them open.
        subprocess.run(["wineserver", "-p"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)

    def stop(self):
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class Transcript(threading.Thread):
    """Prints, as they come, the tray texts from the agent's debug output (CP866) and the
    requests from the server's JSON log; a copy goes to transcript.txt."""

    def __init__(self, agent, server_log, out_dir, started):
        super().__init__(daemon=True)
        self.agent = agent
        self.server_log = server_log
        self.started = started
        self.lock = threading.Lock()
        self.reading = threading.Lock()  # the thread and the final drain read the same logs
        self.file = open(os.path.join(out_dir, "transcript.txt"), "w", encoding="utf-8")
        self.stopping = threading.Event()
        self.agent_lines = 0
        self.server_offset = 0

    def say(self, text, stream=None):
        with self.lock:
            print(text, file=stream or sys.stdout, flush=True)
            self.file.write(text + "\n")
            self.file.flush()

    def _line(self, source, text):
        stamp_ = f"[{time.monotonic() - self.started:6.1f}]"
        self.say(f"{stamp_} {source:<6} {text}")

    def _agent(self, final):
        if self.agent is None:
            return
        lines = self.agent.output_bytes().decode("cp866").replace("\r\n", "\n").split("\n")
        # The last piece is a line still being written, unless the agent has ended.
        done = lines if final else lines[:-1]
        for line in done[self.agent_lines:]:
            if line.startswith((ui.DEBUG_TRAY, ui.DEBUG_NETWORK_ERROR)):
                # Line feeds (a tooltip's, a reply's) are escaped in the debug line.
                self._line("agent", ui.from_debug(line).replace("\n", " / "))
        self.agent_lines = max(self.agent_lines, len(done))

    def _server(self):
        try:
            with open(self.server_log, "rb") as f:
                f.seek(self.server_offset)
                chunk = f.read()
        except FileNotFoundError:
            return
        end = chunk.rfind(b"\n") + 1  # only whole lines
        self.server_offset += end
        for raw in chunk[:end].splitlines():
            try:
                e = json.loads(raw)
            except ValueError:
                continue
            if "verb" in e:
                fields = json.dumps(e.get("fields", [])[1:], ensure_ascii=False)
                reply = json.dumps(e.get("reply", ""), ensure_ascii=False)
                self._line("server", f"{e['verb']:<7} {fields} -> {reply}")
            elif "error" in e:
                self._line("server", f"bad request: {e['error']}")
            elif "control" in e:
                self._line("server", f"control: {e['control']} -> {e.get('result')}")

    def poll_once(self, final=False):
        with self.reading:
            self._agent(final)
            self._server()

    def run(self):
        while not self.stopping.wait(0.1):
            self.poll_once()

    def stop(self):
        self.stopping.set()
        if self.is_alive():
            self.join(timeout=5)
        self.poll_once(final=True)


class Demo:
    def __init__(self, args):
        self.args = args
        self.paths = tool_paths()
        self.started = time.monotonic()
        self.out = os.path.abspath(args.out)
        os.makedirs(self.out, exist_ok=True)
        self.shots_dir = os.path.abspath(args.screenshots) if args.screenshots else self.out
        os.makedirs(self.shots_dir, exist_ok=True)
        self.transcript = Transcript(None, os.path.join(self.out, "server.log"), self.out,
                                     self.started)
        self.wine = self.driver = self.server = self.agent = None
        self.screen = self.layout = None
        self.display_wine = False
        self.step_name = "start"
        self.written = []

    def say(self, text):
        self.transcript.say(text)

    @contextlib.contextmanager
    def step(self, name):
        self.step_name = name
        self.say(f"== {name}")
        try:
            yield
        except (DemoError, KeyboardInterrupt):
            raise
        except (AssertionError, OSError, ValueError, subprocess.SubprocessError,
                SystemExit) as e:
            raise DemoError(name, str(e) or type(e).__name__) from e

    # ---- the steps ----

    def prepare(self):
        with self.step("checking the built pieces"):
            missing = [p for p in self.paths.values() if not os.path.exists(p)]
            if missing:
                raise DemoError(self.step_name, "missing (run scripts/demo without --no-build): "
                                + ", ".join(missing))

    def bring_up_wine(self):
        headless = self.args.headless or self.args.screenshots or not user_display()
        run_dir = os.environ.get("VORNA_RUN_DIR") or DEFAULT_RUN_DIR
        os.makedirs(run_dir, exist_ok=True)
        where = "a private X server" if headless else f"your display {os.environ['DISPLAY']}"
        with self.step(f"bringing up Wine on {where} (run folder {run_dir})"):
            self._lock(run_dir)
            if headless:
                ours = not env_is_up(run_dir)
                if ours:
                    # Registered before Wine's own clean-up, so it runs after it.
                    atexit.register(self.say, "== Wine and its X server are stopped")
                os.environ["VORNA_RUN_DIR"] = run_dir
                os.environ["VORNA_HARNESS_DIR"] = os.path.dirname(self.paths["harness"])
                with deferred_interrupt():
                    self.wine = Wine()
                self.screen = screens.Screen(os.path.join(self.out, "captures"))
            else:
                self.wine = DisplayWine(run_dir, self.paths["harness"])
                self.display_wine = True
            self.driver = Driver(self.wine, self.paths["driver"])
            running = self.driver.windows(caption=ui.LOGON_CAPTION)
            if running:
                raise DemoError(self.step_name, "an agent already runs in this Wine session "
                                f"(pid {running[0].get('pid')}); end it first")
            # A clean user: no remembered credentials, so the logon window comes up.
            registry = Registry(self.wine)
            registry.delete_key(ui.VENDOR_KEY)
            registry.delete_value(ui.RUN_KEY, ui.RUN_VALUE)

    def _lock(self, run_dir):
        self.lock_file = open(os.path.join(run_dir, "demo.lock"), "w")
        try:
            fcntl.flock(self.lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise DemoError(self.step_name, f"another demo is running in {run_dir}; "
                            "set VORNA_RUN_DIR to another folder") from None

    def start_server(self):
        with self.step(f"starting the test access server with the account "
                       f"{LOGIN}/{PASSWORD} on loopback"):
            key = os.path.join(self.out, "server-key.pem")
            public = os.path.join(self.out, "server-key.pub.pem")
            proc = subprocess.run([self.paths["server"], "--generate-key", "1024", "--save-key",
                                   key, "--write-public", public, "--keys-only"],
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            if proc.returncode != 0:
                raise DemoError(self.step_name, "key generation failed: "
                                + proc.stderr.decode(errors="replace"))
            pending = "4" if self.args.screenshots else "2"
            with deferred_interrupt():
                self.server = AccessServer(self.paths["server"], key,
                                           os.path.join(self.out, "server.log"), [
                                               "--account", f"{LOGIN}:{PASSWORD}",
                                               "--balance", BALANCE, "--cost", COST,
                                               "--status-digit", "0", "--message", MESSAGE,
                                               "--info", INFO, "--pending-pings", pending,
                                               "--ping-seconds", str(self.args.ping_seconds)])
            self.transcript.start()
            self.say(f"   listening on {self.server.address}:{self.server.port}, "
                     f"fresh 1024-bit key in {key}")

    def stamp_agent(self):
        with self.step("stamping its address, port and key into a copy of the agent"):
            exe = stamp(self.paths["config"], self.paths["agent"],
                        os.path.join(self.out, "VornaAgent.exe"), address=self.server.address,
                        port=self.server.port,
                        key=os.path.join(self.out, "server-key.pub.pem"))
            shown = subprocess.run([self.paths["config"], "show", exe], capture_output=True,
                                   stdin=subprocess.DEVNULL, timeout=30).stdout.decode()
            for line in shown.splitlines()[:3]:
                self.say(f"   {line}")
            self.exe = exe

    def start_agent(self):
        with self.step("starting the agent under Wine: VornaAgent.exe --debug > agent.out"):
            self.agent = Agent(self.wine, self.driver, self.exe, self.out, name="agent")
            self.transcript.agent = self.agent
            with deferred_interrupt():
                self.agent.start("--debug")
            self.agent.wait_window(ui.LOGON_CAPTION, visible=1, timeout=20000)
            if self.screen:
                self.layout = screens.Layout(self.screen.settled(self._logon_painted))
                self.say(f"   the tray icon is at {self.layout.icon_centre}")

    def _logon_painted(self, shot):
        try:
            screens.Layout(shot)
            return True
        except ValueError:
            return False  # the desktop or the tray icon is not drawn yet

    def log_on(self):
        masked = "*" * len(self.args.password)
        with self.step(f"logging on as a user would: typing {LOGIN} / {masked}, checking "
                       "\"Сохранить имя и пароль\", pressing \"Подключить\""):
            act = self.agent.act
            for control, text in ((ui.IDC_LOGIN, LOGIN), (ui.IDC_PASSWORD, self.args.password)):
                act("set-text", caption=ui.LOGON_CAPTION, id=control, text="")
                act("type", caption=ui.LOGON_CAPTION, id=control, text=text)
                # Typed characters are posted; wait until the field holds them all.
                poll(lambda c=control, t=text: self.agent.text(ui.LOGON_CAPTION, c) == t, 10,
                     f"the typed text in control {control}")
            r = act("check", caption=ui.LOGON_CAPTION, id=ui.IDC_REMEMBER, state=1)
            if not r.ok:
                raise DemoError(self.step_name, f"could not check the remember box: {r!r}")
            if self.screen:
                shot = self.screen.settled()
                self._png(shot, "demo-logon.png", self.layout.window_box(shot), margin=8)
                if self.args.screenshots:
                    self._tray_png(shot, "disconnected")
            act("click", caption=ui.LOGON_CAPTION, id=ui.IDC_CONNECT)

    def wait_connected(self):
        with self.step("waiting until connected (tooltip with the balance and session cost)"):
            if self.args.screenshots:
                self._capture_progress()
            state, detail = poll(self._connection_state, 30, "the connected tooltip")
            if state != "connected":
                raise DemoError(self.step_name, detail)
            self.agent.wait_window(ui.STATS_CAPTION, visible=1)
            self.driver.wait_text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT, MESSAGE,
                                  exe=self.agent.windows_exe)
            self.say(f"   connected; the statistics window shows the server's message: {MESSAGE}")
            if self.screen:
                shot = self.screen.settled()
                self._png(shot, "demo-stats-message.png", self.layout.window_box(shot), margin=8)
                if self.args.screenshots:
                    self._tray_png(shot, "connected")

    def _connection_state(self):
        if not self.agent.running():
            return ("exited", f"the agent ended (exit {self.agent.proc.returncode}); "
                    f"see {self.agent.out_path}")
        tips = self.agent.tray_texts()
        failed = next((t for t in tips if t.startswith(FAILURE_TIPS)), None)
        if failed:
            return ("failed", "the agent reports: " + failed.replace("\n", " "))
        return ("connected", "") if CONNECTED_TIP in tips else None

    def _capture_progress(self):
        poll(lambda: ACCEPTED_TIP in self.agent.tray_texts(), 15, "the accepted tooltip")
        shot = self.screen.settled()
        if CONNECTED_TIP in self.agent.tray_texts():
            raise DemoError(self.step_name, "connected before the in-progress icon was captured")
        self._tray_png(shot, "progress")

    def show_session(self):
        with self.step("statistics from the tray menu: \"Информация\" (GETINFO)"):
            if not self.agent.choose(ui.IDM_INFO):
                raise DemoError(self.step_name, "the menu item is greyed")
            self.server.wait_requests("GETINFO")
            self.driver.wait_text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT, INFO_SHOWN,
                                  exe=self.agent.windows_exe)
            if self.screen:
                shot = self.screen.settled()
                self._png(shot, "demo-stats.png", self.layout.window_box(shot), margin=8)
        if self.screen:
            self._tooltip_and_menu()
        else:
            with self.step("the mouse rests on the tray icon (an out-of-turn PING)"):
                pings = len(self.server.requests("PING"))
                self.agent.hover()
                self.server.wait_requests("PING", pings + 1)

    def _tooltip_and_menu(self):
        x, y = self.layout.icon_centre
        near = self.layout.near_tray()
        with self.step("the mouse rests on the tray icon: the tooltip (and an out-of-turn PING)"):
            before = self.screen.settled()
            pings = len(self.server.requests("PING"))
            connected = self.agent.tray_texts().count(CONNECTED_TIP)
            screens.pointer_to(x, y)
            shot = self.screen.settled(lambda s: screens.diff_box(before, s, near) is not None,
                                       what="the tooltip")
            self._png(shot, "demo-desktop.png")
            screens.pointer_to(x - 200, y - 300)
            self.server.wait_requests("PING", pings + 1)
            poll(lambda: self.agent.tray_texts().count(CONNECTED_TIP) > connected, 10,
                 "the reply to the out-of-turn PING")
        with self.step("a right click on the tray icon opens the menu"):
            self.screen.settled(lambda s: screens.diff_box(before, s, near) is None,
                                what="the tooltip to go away")
            # The click as the shell reports it, with the pointer just above the icon: on the
            # icon itself the tooltip would open over the menu. The menu opens at the pointer.
            screens.pointer_to(x, self.layout.taskbar_top - 2)
            self.agent.open_menu()
            menu = self.screen.settled(lambda s: screens.diff_box(before, s, near) is not None,
                                       what="the menu to be drawn")
            box = screens.diff_box(before, menu, near)
            # The menu with the icon it belongs to.
            x0, y0 = box[0], box[1]
            self._png(menu, "demo-menu.png", (x0, y0, menu.width - x0, menu.height - y0),
                      margin=6)
            self.agent.close_menu()
            screens.pointer_to(x - 200, y - 300)

    def tray_tour(self):
        """The icon in each account state the server can put the session in."""
        for digit, name in (("1", "limit"), ("2", "blocked")):
            with self.step(f"the server sets status digit {digit}; the next PING shows it"):
                self.server.control(f"set {LOGIN} digit {digit}")
                self.agent.tick(ui.TIMER_PING)
                self.agent.wait_tray(STATE_TIPS[digit])
                self._tray_png(self.screen.settled(), name)
        self.server.control(f"set {LOGIN} digit 0")
        with self.step("the server ends the session; the next PING shows the error"):
            self.server.control(f"end-session {LOGIN} {ENDED_TEXT}")
            self.agent.tick(ui.TIMER_PING)
            self.agent.wait_tray(ENDED_TEXT)
            self._tray_png(self.screen.settled(), "error")
        with self.step("the reconnect timer logs on again with the remembered password"):
            self.server.control("pending-pings 0")
            connected = self.agent.tray_texts().count(CONNECTED_TIP)
            self.agent.tick(ui.TIMER_RECONNECT)
            poll(lambda: self.agent.tray_texts().count(CONNECTED_TIP) > connected, 20,
                 "connected again")
        pictures = [(label, os.path.join(self.shots_dir, f"tray-{name}.png"))
                    for name, label in TRAY_STATES]
        self.written.append(screens.write_strip(
            pictures, os.path.join(self.shots_dir, "tray-states.png")))

    def _png(self, shot, name, box=None, margin=0, scale=1):
        path = screens.write_png(shot, os.path.join(self.shots_dir, name), box, scale=scale,
                                 margin=margin)
        self.written.append(path)

    def _tray_png(self, shot, state):
        # Enlarged, so that the 16-pixel icon can be made out in a document.
        self._png(shot, f"tray-{state}.png", self.layout.tray_slot, scale=4)

    def keep_running(self):
        if self.args.until_connected or self.args.screenshots:
            return
        limit = self.args.duration
        self.say("== running" + (f" for {limit:g} s" if limit else "; Ctrl-C ends it (the "
                                 "agent logs off first)"))
        deadline = None if limit is None else self.started + limit
        while deadline is None or time.monotonic() < deadline:
            if not self.agent.running():
                raise DemoError("running", f"the agent ended by itself (exit "
                                f"{self.agent.proc.returncode}); see {self.agent.out_path}")
            time.sleep(0.2)  # waiting for the user; the transcript thread does the work

    # ---- the end ----

    def session_open(self):
        """Whether the server holds a session the agent opened: an accepted LOGON after which
        no LOGOUT came and no PING was answered '0'."""
        open_ = False
        for r in self.server.requests():
            reply = r.get("reply", "")
            if r["verb"] == "LOGON":
                open_ = reply[:1] in ("1", "3") or open_
            elif r["verb"] == "LOGOUT" or (r["verb"] == "PING" and reply[:1] == "0"):
                open_ = False
        return open_

    def shutdown(self):
        """Exit from the tray menu, so that the agent logs off first; then the server and
        Wine, only what the demo started. Returns whether everything ended as it should."""
        ok = True
        session = self.server is not None and self.session_open()
        if self.agent is not None and self.agent.running():
            self.say("== Exit from the tray menu" + (" (the agent logs off first)"
                                                    if session else ""))
            ok = self._exit_agent() and ok
        if session:
            try:
                logout = self.server.wait_requests("LOGOUT", timeout=5)[-1]
                self.transcript.poll_once()
                self.say(f"   logged off: LOGOUT answered {logout.get('reply')!r}")
            except AssertionError:
                self.say("   the agent ended without logging off", )
                ok = False
        self.transcript.stop()
        if self.server is not None:
            self.say("== stopping the access server")
            self.server.stop()
        if self.display_wine:
            self.say("== stopping Wine")
            self.wine.stop()
        self._write_utf8_log()
        if self.screen is not None:
            shutil.rmtree(self.screen.workdir, ignore_errors=True)
        return ok

    def _exit_agent(self):
        # Exit while a request is in flight would quit without a LOGOUT: let it finish.
        with contextlib.suppress(AssertionError):
            poll(self._idle, 5, "the request in flight to finish")
        for caption in (ui.WARNING_CAPTION, ui.ERROR_CAPTION):
            with contextlib.suppress(AssertionError, subprocess.SubprocessError):
                if not self.agent.no_box(caption):
                    self.agent.press_box(caption, timeout=3000)
        try:
            chosen = self.agent.choose(ui.IDM_EXIT)
        except (AssertionError, subprocess.SubprocessError):
            chosen = False
        if not chosen:
            # The menu did not work out: the command its item sends.
            with contextlib.suppress(AssertionError, subprocess.SubprocessError):
                self.agent.act("command", caption=ui.LOGON_CAPTION, id=ui.IDM_EXIT)
        try:
            self.agent.wait_exit(20)
            return True
        except AssertionError:
            self.say("   the agent did not exit; ended it")
            self.agent.kill()
            return False

    def _idle(self):
        lines = self.agent.lines()
        finished = sum(line.startswith((ui.DEBUG_RECEIVED, ui.DEBUG_NETWORK_ERROR))
                       for line in lines)
        return finished >= lines.count(ui.DEBUG_ATTEMPT)

    def _write_utf8_log(self):
        if self.agent is not None:
            with open(os.path.join(self.out, "agent.log"), "w", encoding="utf-8") as f:
                f.write(self.agent.output())

    def run(self):
        self.say(f"demo: output folder {self.out}")
        self.prepare()
        self.bring_up_wine()
        self.start_server()
        self.stamp_agent()
        self.start_agent()
        self.log_on()
        self.wait_connected()
        self.show_session()
        if self.args.screenshots:
            self.tray_tour()
        if self.written:
            self.say("screenshots:\n" + "\n".join(f"   {p}" for p in self.written))
        elif not self.screen:
            self.say("   (no screenshots on your own display; --screenshots DIR takes a set)")
        self.keep_running()


def parse_args(argv):
    stamp_ = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    p = argparse.ArgumentParser(
        prog="scripts/demo",
        description="Shows VornaAgent at work: builds everything (scripts/build, which does "
        "the set-up), starts the test access server on loopback with the account demo/demo "
        f"(balance {BALANCE}, session cost {COST}, a message, two PINGs answered '2' first) and "
        "a fresh key, stamps address, port and key into a copy of the agent with vorna_config, "
        "runs it under Wine with --debug, on your display when there is one (otherwise on a "
        "private Xvfb), and logs on through its window as a user would. It prints a live "
        "transcript (the agent's tray texts, the requests the server saw) and, without a "
        "display, writes screenshots. Ctrl-C ends it: Exit from the tray menu, so the agent "
        "logs off first, then the server and Wine stop.",
        epilog="The output folder holds agent.out (the agent's debug output, CP866), agent.log "
        "(the same in UTF-8), server.log (JSON, one request a line), transcript.txt, the "
        "stamped VornaAgent.exe, the key pair and the screenshots. VORNA_RUN_DIR (default "
        f"{DEFAULT_RUN_DIR}) is where Wine runs; a Wine environment already up there (as "
        "scripts/test brings it up) is used and left up.")
    p.add_argument("--linux", action="store_true",
                   help="show the Linux agent instead, natively without Wine: run, login, "
                   "status, info, quit (scripts/demo_linux.py; it takes --no-build and --out)")
    p.add_argument("--no-build", action="store_true",
                   help="skip scripts/build (everything is built already)")
    p.add_argument("--out", default=os.path.join(ROOT, "out", f"demo-{stamp_}"),
                   help="output folder (default out/demo-<timestamp>/)")
    p.add_argument("--duration", type=float, metavar="SECONDS",
                   help="end as Ctrl-C would, SECONDS after the start")
    p.add_argument("--until-connected", action="store_true",
                   help="end (logging off) as soon as the session is shown working; exit 0 "
                   "only when it connected and logged off")
    p.add_argument("--headless", action="store_true",
                   help="use a private X server even when there is a display")
    p.add_argument("--screenshots", metavar="DIR",
                   help="write the documentation's pictures into DIR (the tray icon in each "
                   "state, driven from the server) and end; implies --headless")
    p.add_argument("--ping-seconds", type=int, default=30, metavar="N",
                   help="the server asks for a PING every N seconds (20-1800; default 30)")
    p.add_argument("--password", default=PASSWORD,
                   help="what is typed as the password (the account's is \"demo\"; another "
                   "shows the agent's refusal and the demo ends with an error)")
    args = p.parse_args(argv)
    if args.duration is not None and args.duration <= 0:
        p.error("--duration must be positive")
    if not 20 <= args.ping_seconds <= 1800:
        p.error("--ping-seconds must be 20 to 1800")
    return args


def _terminate(signum, frame):
    raise KeyboardInterrupt(f"signal {signum}")


def main(argv):
    if argv[:1] == ["--check-args"]:  # scripts/demo: refuse a bad option before building
        parse_args(argv[1:])
        return 0
    args = parse_args(argv)
    # Started in the background by a script, a program inherits an ignored SIGINT; the demo
    # must see Ctrl-C (passed on by scripts/demo) and a termination, and end cleanly on both.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _terminate)
    demo = Demo(args)
    with open(os.path.join(demo.out, "demo.pid"), "w") as f:
        f.write(f"{os.getpid()}\n")
    failure = None
    try:
        demo.run()
    except KeyboardInterrupt:
        demo.say("\n== Ctrl-C: ending the session")
    except DemoError as e:
        failure = e
    finally:
        # The end is bounded at every step; a second Ctrl-C must not cut the logoff short.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        try:
            ended_well = demo.shutdown()
        except Exception as e:  # report it with the logs rather than a bare traceback
            failure = failure or DemoError("ending", f"{type(e).__name__}: {e}")
            ended_well = False
    if failure is not None:
        demo.transcript.say(f"demo: failed at the step: {failure.step}\n"
                            f"demo: {failure}\n"
                            f"demo: logs in {demo.out} (agent.out, server.log, transcript.txt)",
                            stream=sys.stderr)
        return 1
    if not ended_well:
        demo.transcript.say(f"demo: the session did not end cleanly; logs in {demo.out}",
                            stream=sys.stderr)
        return 1
    demo.say("demo: done")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
