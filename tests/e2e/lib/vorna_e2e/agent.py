"""One VornaAgent.exe under Wine: its stamped copy, its process and its debug output."""
import os
import signal
import subprocess

from . import ui
from .poll import poll

KEY_MARKER = b"vorna_zep_key\0"
KEY_FIELD_SIZE = 1025


def stamp(config_tool, source_exe, out_exe, address=None, port=None, key=None):
    """A copy of the agent with its server settings rewritten by vorna_config."""
    cmd = [config_tool, "stamp", source_exe, "--out", out_exe]
    for option, value in (("--address", address), ("--port", port), ("--key", key)):
        if value is not None:
            cmd += [option, str(value)]
    proc = subprocess.run(cmd, capture_output=True, timeout=30, stdin=subprocess.DEVNULL)
    if proc.returncode != 0:
        raise AssertionError(f"vorna_config stamp failed ({proc.returncode}): "
                             f"{proc.stderr.decode(errors='replace')}")
    return out_exe


def patch_field(exe, marker, size, content):
    """Overwrites the field behind `marker` in place with `content`, NUL-padded to the field's
    size: for values vorna_config would rightly refuse to stamp."""
    if len(content) > size:
        raise ValueError("content longer than the field")
    with open(exe, "r+b") as f:
        data = f.read()
        at = data.find(marker)
        if at < 0 or data.find(marker, at + 1) >= 0:
            raise AssertionError(f"{exe}: no single marker {marker!r}")
        f.seek(at + len(marker))
        f.write(content.ljust(size, b"\0"))


def patch_key_field(exe, content):
    """Overwrites the key field (at most 1025 bytes)."""
    patch_field(exe, KEY_MARKER, KEY_FIELD_SIZE, content)


class Agent:
    """One start of an executable. `output` is the debug output captured from standard
    output; `act` runs a driver command on the windows of this executable only (other Wine
    tests may show windows with the same captions at the same time)."""

    def __init__(self, wine, driver, exe, workdir, name="agent"):
        self.wine = wine
        self.driver = driver
        self.exe = exe
        self.windows_exe = wine.windows_path(exe)
        self.workdir = workdir
        self.out_path = os.path.join(workdir, f"{name}.out")
        self.proc = None

    def act(self, command, **options):
        return self.driver(command, exe=self.windows_exe, **options)

    def wait_window(self, caption, visible=None, timeout=10000):
        return self.driver.wait_window(caption, visible=visible, timeout=timeout,
                                       exe=self.windows_exe)

    def wait_gone(self, caption, timeout=10000):
        return self.driver.wait_gone(caption, timeout=timeout, exe=self.windows_exe)

    def box(self, caption, timeout=10000):
        return self.driver.box(caption, timeout=timeout, exe=self.windows_exe)

    def no_box(self, caption):
        return self.driver.no_box(caption, exe=self.windows_exe)

    def press_box(self, caption, timeout=10000):
        return self.driver.press_box(caption, timeout=timeout, exe=self.windows_exe)

    def visible(self, caption):
        return self.driver.visible(caption, exe=self.windows_exe)

    def text(self, caption, control_id):
        return self.driver.text(caption, control_id, exe=self.windows_exe)

    # ---- what a user does with the agent ----

    def logon(self, login, password, remember=None):
        """Types the credentials into the shown logon window, sets the remember box if asked,
        and presses Connect."""
        self.wait_window(ui.LOGON_CAPTION, visible=1)
        for control, text in ((ui.IDC_LOGIN, login), (ui.IDC_PASSWORD, password)):
            if text is None:
                continue
            self.act("set-text", caption=ui.LOGON_CAPTION, id=control, text="")
            self.act("type", caption=ui.LOGON_CAPTION, id=control, text=text)
        if remember is not None:
            r = self.act("check", caption=ui.LOGON_CAPTION, id=ui.IDC_REMEMBER, state=int(remember))
            if not r.ok:
                raise AssertionError(f"could not set the remember box: {r!r}")
        self.act("click", caption=ui.LOGON_CAPTION, id=ui.IDC_CONNECT)

    def entries(self):
        """The debug lines with the control characters the agent escapes in them put back:
        tooltips and replies may hold line feeds."""
        return [ui.from_debug(line) for line in self.lines()]

    def attempts(self):
        """How many requests the agent has started (each writes its line before connecting)."""
        return self.lines().count(ui.as_debug(ui.DEBUG_ATTEMPT))

    def tray_texts(self):
        """Every tooltip the agent has set, in order, in the OEM code page (see ui.as_oem)."""
        start = ui.as_debug(ui.DEBUG_TRAY)
        return [e[len(start):] for e in self.entries() if e.startswith(start)]

    def wait_tray(self, text, timeout=15):
        """Waits until the tooltip has been set to exactly `text`."""
        shown = ui.as_oem(text)
        return poll(lambda: shown in self.tray_texts(), timeout, f"tooltip {text!r}")

    def wait_last_tray(self, text, what, timeout=5):
        """Waits until the latest tooltip is `text`: the lines that tell why (a network error, a
        notification) are written a moment before the tooltip changes."""
        shown = ui.as_oem(text)
        return poll(lambda: self.tray_texts()[-1:] == [shown], timeout, f"{what}: tooltip {text!r}")

    def open_menu(self, mouse=ui.WM_RBUTTONDOWN):
        """Clicks the tray icon and returns the menu's items."""
        self.act("tray-message", caption=ui.LOGON_CAPTION, lparam=mouse)
        r = self.act("menu", caption=ui.LOGON_CAPTION)
        if not r.ok:
            raise AssertionError(f"tray menu did not open: {r!r}")
        return r.menu_items()

    def close_menu(self):
        r = self.act("menu", caption=ui.LOGON_CAPTION, close=1)
        if not r.ok or r["closed"] != "1":
            raise AssertionError(f"tray menu did not close: {r!r}")

    def hover(self):
        """The mouse moves over the tray icon."""
        self.act("tray-message", caption=ui.LOGON_CAPTION, lparam=ui.WM_MOUSEMOVE)

    def tick(self, timer_id):
        """A tick of one of the agent's timers, as Windows delivers it, without waiting for it."""
        self.act("post", caption=ui.LOGON_CAPTION, msg=ui.WM_TIMER, wparam=timer_id)

    def settle(self):
        """Returns once every message posted to the agent before the call, and every message
        those posted in turn, has been handled: the About box is opened and closed twice (a
        box only shows after what was queued before it)."""
        for _ in range(2):
            self.act("command", caption=ui.LOGON_CAPTION, id=ui.IDM_ABOUT)
            self.press_box(ui.ABOUT_CAPTION)

    def tray_icon_exists(self):
        return self.act("tray-icon", caption=ui.LOGON_CAPTION).get("exists") == "1"

    def end_session(self, timeout=10000):
        """Windows asks whether the session may end; returns the answer (1: it may)."""
        r = self.act("send", caption=ui.LOGON_CAPTION, msg=ui.WM_QUERYENDSESSION,
                     timeout=timeout)
        if not r.ok:
            raise AssertionError(f"WM_QUERYENDSESSION not answered: {r!r}")
        return int(r["result"])

    def choose(self, item_id, mouse=ui.WM_RBUTTONDOWN):
        """Opens the tray menu and chooses an item; False when the item is greyed."""
        self.act("tray-message", caption=ui.LOGON_CAPTION, lparam=mouse)
        r = self.act("menu-choose", caption=ui.LOGON_CAPTION, id=item_id)
        if r.get("closed") != "1":
            raise AssertionError(f"tray menu did not close: {r!r}")
        return r.ok

    def start(self, *args):
        self.proc = self.wine.start([self.exe, *args], self.out_path, cwd=self.workdir)
        return self

    def output_bytes(self):
        try:
            with open(self.out_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def output(self):
        # The agent writes its debug lines in the console's OEM code page.
        return self.output_bytes().decode(ui.debug_codec()).replace("\r\n", "\n")

    def lines(self):
        return self.output().splitlines()

    def wait_line(self, text, timeout=10):
        """Waits for a debug line that contains `text`; returns it."""
        shown = ui.as_debug(text)

        def found():
            return next((line for line in self.lines() if shown in line), None)
        return poll(found, timeout, f"debug line containing {text!r}")

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_exit(self, timeout=10):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"agent still running after {timeout} s") from None

    def kill(self):
        """Ends the process at once, as the task manager would."""
        if self.running():
            self.proc.send_signal(signal.SIGKILL)
        if self.proc is not None:
            self.proc.wait(timeout=10)

    def tail(self, lines=20):
        return "\n".join(self.lines()[-lines:])

