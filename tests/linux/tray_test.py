#!/usr/bin/env python3
"""The Linux agent's tray on a private session bus: a stand-in panel watcher and notification
daemon (dbus-next) and a stand-in zenity on PATH; the agent runs against the test access server.
Every wait polls a condition.

    tray_test.py --agent vornaagent --server vorna_access_server --fixtures DIR [NAME...]

Exits 77 (skipped) when dbus-daemon or python3-dbus-next is missing.
"""
import argparse
import asyncio
import os
import shutil
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e", "lib"))
from vorna_e2e.poll import expect, expect_eq, poll  # noqa: E402

try:
    import dbus_next  # noqa: F401
except ImportError:  # Debian's package, under another interpreter than the system's
    sys.path.append("/usr/lib/python3/dist-packages")
try:
    from dbus_next import Message, MessageType, Variant  # noqa: E402
    from dbus_next.aio import MessageBus  # noqa: E402
    from dbus_next.service import ServiceInterface, method  # noqa: E402
except ImportError:
    ServiceInterface = object
    Message = None

    def method():
        return lambda f: f

import journeys  # noqa: E402

ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
WATCHER = "org.kde.StatusNotifierWatcher"
NOTIFICATIONS = "org.freedesktop.Notifications"
ORDER = ["Подключить", "Отключить", None, "Информация", None,
         "Запускаться при входе в систему", None, "О программе", None, "Выход"]
NO_WATCHER = "нет org.kde.StatusNotifierWatcher"
NO_DAEMON = "нет службы уведомлений"

# Answers the logon form like a user would, and writes down how it was asked.
FAKE_ZENITY = """#!/bin/sh
printf '%s\\n' "$*" >> "$0.log"
case "$*" in
  *--forms*) printf 'ivanov\\nsecret\\nДа\\n' ;;
esac
exit 0
"""


class Watcher(ServiceInterface):
    def __init__(self):
        super().__init__(WATCHER)
        self.items = []

    @method()
    def RegisterStatusNotifierItem(self, service: "s"):  # noqa: F821
        self.items.append(service)

    @method()
    def RegisterStatusNotifierHost(self, service: "s"):  # noqa: F821
        pass


class Notifier(ServiceInterface):
    def __init__(self):
        super().__init__(NOTIFICATIONS)
        self.calls = []

    @method()
    def Notify(self, app: "s", replaces: "u", icon: "s", summary: "s", body: "s",  # noqa: F821
               actions: "as", hints: "a{sv}", timeout: "i") -> "u":  # noqa: F821
        self.calls.append({"replaces": replaces, "summary": summary, "body": body,
                           "urgency": hints["urgency"].value if "urgency" in hints else None})
        return replaces or len(self.calls) + 100

    @method()
    def GetCapabilities(self) -> "as":  # noqa: F821
        return ["body"]


class Bus:
    """A private dbus-daemon and an asyncio loop in a thread for the stand-ins."""

    def __init__(self, directory):
        self.daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                       stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.address = self.daemon.stdout.readline().decode().strip()
        self.loop = asyncio.new_event_loop()
        threading.Thread(target=self.loop.run_forever, daemon=True).start()
        self.client = self.run(self._connect())
        self.signals = []
        self.client.add_message_handler(self._on_message)
        self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                  "AddMatch", "s", [f"type='signal',interface='{ITEM}'"])
        self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                  "AddMatch", "s", [f"type='signal',interface='{MENU}'"])
        self.watcher = self.watcher_bus = None
        self.notifier = None

    def _on_message(self, message):
        if message.message_type == MessageType.SIGNAL:
            self.signals.append(message.member)
        return None

    def run(self, coroutine, timeout=10):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout)

    def call(self, destination, path, interface, member, signature="", body=()):
        reply = self.run(self.client.call(Message(destination=destination, path=path,
                                                  interface=interface, member=member,
                                                  signature=signature, body=list(body))))
        expect(reply.message_type == MessageType.METHOD_RETURN,
               f"{member}: {reply.error_name} {reply.body}")
        return reply.body

    async def _connect(self):
        return await MessageBus(bus_address=self.address).connect()

    async def _serve(self, name, path, interface):
        bus = await self._connect()
        bus.export(path, interface)
        await bus.request_name(name)
        return bus

    def start_watcher(self):
        self.watcher = Watcher()
        self.watcher_bus = self.run(self._serve(WATCHER, "/StatusNotifierWatcher", self.watcher))

    def stop_watcher(self):
        self.watcher_bus.disconnect()
        poll(lambda: not self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", "s", [WATCHER])[0],
             5, "the watcher gone")

    def start_notifier(self):
        self.notifier = Notifier()
        self.run(self._serve(NOTIFICATIONS, "/org/freedesktop/Notifications", self.notifier))

    def item(self, prop):
        name = self.watcher.items[-1]
        value = self.call(name, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                          "ss", [ITEM, prop])[0]
        return value.value

    def layout(self):
        name = self.watcher.items[-1]
        revision, root = self.call(name, "/MenuBar", MENU, "GetLayout", "iias", [0, -1, []])
        items = []
        for child in root[2]:
            item_id, props, _ = child.value
            items.append((item_id, {k: v.value for k, v in props.items()}))
        return items

    def click(self, label):
        name = self.watcher.items[-1]
        item_id = [i for i, p in self.layout() if p.get("label") == label][0]
        self.call(name, "/MenuBar", MENU, "Event", "isvu", [item_id, "clicked", Variant("i", 0), 0])

    def close(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.daemon.kill()
        self.daemon.wait()


def desktop(ctx, bus, zenity=True):
    """The agent's environment in a desktop session on `bus`, with the stand-in zenity."""
    bin_dir = os.path.join(ctx.dir, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    if zenity:
        path = os.path.join(bin_dir, "zenity")
        with open(path, "w") as f:
            f.write(FAKE_ZENITY)
        os.chmod(path, 0o755)
    ctx.env.update(DBUS_SESSION_BUS_ADDRESS=bus.address, DISPLAY=":99",
                   PATH=bin_dir + ":/usr/bin:/bin", XDG_CURRENT_DESKTOP="XFCE")
    return os.path.join(bin_dir, "zenity.log")


def zenity_log(path):
    if not os.path.exists(path):
        return ""
    with open(path, encoding="utf-8") as f:
        return f.read()


def pixel(pixmaps, size, x, y):
    for width, height, data in pixmaps:
        if width == size:
            expect_eq(len(data), 4 * width * height, f"{size} px pixmap bytes")
            at = 4 * (y * width + x)
            return tuple(data[at:at + 4])
    raise AssertionError(f"no {size} px pixmap")


# ---- Cases ----

def case_tray_follows_the_session(ctx):
    bus = Bus(ctx.dir)
    try:
        bus.start_watcher()
        bus.start_notifier()
        log = desktop(ctx, bus)
        # The first PING is answered "2", the next one "1" with the limit near.
        server = ctx.server("--account", "ivanov:secret", "--balance", "42.50", "--cost", "1.25",
                            "--info", "Тариф: дневной", "--pending-pings", "1",
                            "--status-digit", "1")
        agent = ctx.start(server)
        poll(lambda: bus.watcher.items, 10, "the item's registration")
        expect_eq((bus.item("Title"), bus.item("Category")), ("VornaAgent", "Communications"),
                  "title and category")
        # No remembered credentials: the logon form, answered by the stand-in zenity.
        ctx.wait_state("limit")
        asked = zenity_log(log)
        expect("--forms" in asked and "--add-password=Пароль:" in asked, asked)
        expect("secret" not in asked, "the password is never an argument")
        poll(lambda: "Баланс: 42.50" in bus.item("ToolTip")[3], 10, "the tooltip's balance")
        tip = bus.item("ToolTip")
        expect(tip[2] == "VornaAgent" and tip[3].startswith("Скоро лимит"), f"tooltip {tip}")
        expect_eq(bus.item("Status"), "NeedsAttention", "status with the limit near")
        expect(bus.signals.count("NewIcon") >= 2 and "NewStatus" in bus.signals and
               "NewToolTip" in bus.signals, f"signals {bus.signals}")
        pixmaps = bus.item("IconPixmap")
        expect_eq(sorted(p[0] for p in pixmaps), [16, 22, 24, 32], "pixmap sizes")
        alpha, red, green, blue = pixel(pixmaps, 32, 16, 20)
        expect(alpha == 255 and red > 150 and green > 120 and blue < 100,
               f"the yellow triangle in ARGB order: {alpha, red, green, blue}")
        limit = poll(lambda: [c for c in bus.notifier.calls if c["urgency"] == 1], 10,
                     "the limit notification")

        layout = bus.layout()
        expect_eq([p.get("label") for _, p in layout], ORDER, "menu items in order")
        expect_eq([p.get("type") for _, p in layout if "label" not in p], ["separator"] * 4,
                  "separators")
        items = {p.get("label"): p for _, p in layout}
        expect_eq(items["Подключить"]["enabled"], False, "Connect greyed during the session")
        expect_eq(items["Отключить"]["enabled"], True, "Disconnect enabled")
        autorun = items["Запускаться при входе в систему"]
        expect_eq((autorun["toggle-type"], autorun["toggle-state"]), ("checkmark", 0), "autorun")

        # Information: a GETINFO, its text in a notification that replaces the last one.
        before = len(bus.notifier.calls)
        bus.click("Информация")
        poll(lambda: server.requests("GETINFO"), 10, "GETINFO from the menu")
        shown = poll(lambda: [c for c in bus.notifier.calls[before:] if "дневной" in c["body"]],
                     10, "the statistics notification")
        ids = [c["replaces"] for c in bus.notifier.calls]
        expect(ids[0] == 0 and all(r == 101 for r in ids[1:]) and shown and limit,
               f"each notification replaces the one before: {ids}")

        # The autorun item toggles and the core checks it.
        bus.click("Запускаться при входе в систему")
        poll(lambda: ctx.status()["autostart"], 10, "autostart on from the menu")
        poll(lambda: dict(bus.layout())[4014]["toggle-state"] == 1, 10, "the check mark")
        bus.click("Запускаться при входе в систему")
        poll(lambda: not ctx.status()["autostart"], 10, "autostart off again")

        # A panel restart: the new watcher gets the item again.
        bus.stop_watcher()
        old = bus.watcher
        bus.start_watcher()
        poll(lambda: bus.watcher.items, 10, "registration with the new watcher")
        expect(old.items, "the first watcher had it too")

        bus.click("Отключить")
        poll(lambda: server.requests("LOGOUT"), 10, "LOGOUT from the menu")
        ctx.wait_state("disconnected")
        expect_eq(bus.item("Status"), "Active", "status when disconnected")
        poll(lambda: dict(bus.layout())[4011]["enabled"], 10, "Connect enabled again")

        # Connect with the remembered credentials logs on at once; a lost reply is a network
        # error: the error picture and text.
        server.control("fault drop:LOGON")
        bus.click("Подключить")
        poll(lambda: len(server.requests("LOGON")) == 2, 10, "a LOGON from the menu")
        expect_eq(zenity_log(log).count("--forms"), 1, "no second form")
        poll(lambda: bus.item("Status") == "NeedsAttention" and
             "Невозможно соединиться" in bus.item("ToolTip")[3], 20, "the network error")
        alpha, red, green, blue = pixel(bus.item("IconPixmap"), 32, 16, 5)
        expect(alpha == 255 and red > 150 and blue < 120, f"the red disc {red, green, blue}")

        bus.click("Выход")
        expect_eq(agent.wait_exit(), 0, "exit from the menu")
        expect(NO_WATCHER not in agent.output() and NO_DAEMON not in agent.output(),
               "no missing-service lines")
    finally:
        bus.close()


def case_refusal_is_a_warning(ctx):
    bus = Bus(ctx.dir)
    try:
        bus.start_watcher()
        log = desktop(ctx, bus)
        server = ctx.server("--account", "ivanov:other")
        agent = ctx.start(server)
        poll(lambda: "--warning" in zenity_log(log), 15, "the refusal's warning box")
        asked = zenity_log(log)
        expect("Неверное имя пользователя или пароль" in asked, asked)
        expect_eq(agent.proc.poll(), None, "the agent runs on")
    finally:
        bus.close()


def case_without_watcher_and_daemon(ctx):
    bus = Bus(ctx.dir)
    try:
        desktop(ctx, bus, zenity=False)
        server = ctx.server("--account", "ivanov:secret", "--status-digit", "1")
        agent = ctx.start(server)
        agent.wait_line(NO_WATCHER)
        # Without a dialog program the notification tells how to log on; without a daemon its
        # text goes to the output with the line that says so.
        agent.wait_line("vornaagent login")
        agent.wait_line(NO_DAEMON)
        journeys.logon(ctx)
        ctx.wait_state("limit")
        agent.wait_line("Скоро лимит:")
        text = agent.output()
        expect_eq(text.count(NO_WATCHER), 1, "one line for the missing watcher")
        expect_eq(text.count(NO_DAEMON), 1, "one line for the missing daemon")
    finally:
        bus.close()


def case_headless_as_before(ctx):
    # No session bus: the agent runs without any of the tray's lines.
    ctx.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(ctx.dir, "no-bus")
    server = ctx.server("--account", "ivanov:secret")
    agent = ctx.start(server)
    journeys.logon(ctx)
    ctx.wait_state("connected")
    expect(NO_WATCHER not in agent.output() and NO_DAEMON not in agent.output(), agent.output())


CASES = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("names", nargs="*")
    options = parser.parse_args()
    if Message is None or shutil.which("dbus-daemon") is None:
        print("skipped: the tray test needs dbus-daemon and python3-dbus-next")
        return 77
    failed = []
    names = options.names or list(CASES)
    for name in names:
        ctx = journeys.Context(options, name)
        started = time.monotonic()
        try:
            CASES[name](ctx)
            for agent in ctx.agents:  # under the sanitizers a finding is a failure
                text = agent.output()
                expect("Sanitizer" not in text and "runtime error:" not in text,
                       f"sanitizer report in {agent.out}")
            print(f"ok    {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Exception:  # noqa: BLE001 - every failure is reported, then the next runs
            failed.append(name)
            print(f"FAIL  {name}\n{traceback.format_exc()}", flush=True)
            for agent in ctx.agents:
                print(f"--- {agent.out}\n{agent.output()[-3000:]}")
        finally:
            ctx.cleanup()
    print(f"{len(names) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
