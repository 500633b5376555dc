"""Bad input at each of the agent's doors: its command line, the configuration block inside the
executable, the registry values it restores, and the replies of the server. Every row ends in a
defined outcome: the agent starts and answers, logs on where it should or reports the network
error, shows the key error and exits with 1, and keeps the stored settings it was given."""
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))

from vorna_e2e import runner, ui  # noqa: E402
from vorna_e2e.agent import Agent, patch_field, patch_key_field  # noqa: E402
from vorna_e2e.poll import expect, expect_eq, poll  # noqa: E402

USER, PASSWORD = "ivanov", "secret"
NO_SERVER = "Невозможно соединиться с сервером"
ACCEPTED_TIP = "Проверка пароля прошла успешно, идет подключение"
CONNECTED_TIP = "Подключен\nБаланс: 150.25\nЗа сессию: 3.10"
WM_NULL = 0
# A request ends at the latest when its 3.5 s timer fires; the rest is start-up and polling.
OUTCOME_DEADLINE = 8

# Loopback addresses of the two servers of the command-line table: the option's and the stamped.
OPTION_ADDRESS, STAMPED_ADDRESS = "127.0.0.1", "127.0.0.3"
# 30 characters that inet_addr reads as 127.0.0.1 (octal parts); a 31st character would spoil
# them, and 29 would name 127.0.0.0.
ADDRESS_30 = "0177.0.0." + "0" * 20 + "1"
assert len(ADDRESS_30) == 30

ADDR_MARKER, ADDR_SIZE = b"vorna_zep_addr\0", 31
PORT_MARKER, PORT_SIZE = b"vorna_zep_port\0", 21


# ---- helpers ----

@contextlib.contextmanager
def row(name):
    """Names the table row in any failure inside it."""
    try:
        yield
    except AssertionError as e:
        raise AssertionError(f"row {name!r}: {e}") from None


def password_block(ctx):
    """The password encrypted with the agent's built-in key, as a remembered logon stores it."""
    key = os.path.join(ctx.env.fixtures, "test_key_1024.pub.pem")
    proc = subprocess.run(["openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", key],
                          input=PASSWORD.encode(), capture_output=True, timeout=30, check=True)
    expect_eq(len(proc.stdout), 128, "password block size")
    return proc.stdout


def remember(ctx):
    """Stored settings of a remembered logon: the agent logs on as soon as it starts."""
    reg = ctx.registry
    reg.set_value(ui.SETTINGS_KEY, "savedata", "REG_DWORD", 1)
    reg.set_value(ui.SETTINGS_KEY, "login", "REG_SZ", USER)
    reg.set_value(ui.SETTINGS_KEY, "pass", "REG_BINARY", password_block(ctx))


def stored(ctx):
    return ctx.registry.values(ui.SETTINGS_KEY) or {}


def answers(agent):
    """The agent still runs and its window procedure answers a sent message."""
    expect(agent.running(), "the agent has ended")
    r = agent.act("send", caption=ui.LOGON_CAPTION, msg=WM_NULL, timeout=5000)
    expect(r.ok, f"the logon window does not answer: {r!r}")


def exit_cleanly(agent):
    """Exit from the tray menu's command: the process ends with 0 (no crash on the way out)."""
    agent.act("command", caption=ui.LOGON_CAPTION, id=ui.IDM_EXIT)
    expect_eq(agent.wait_exit(15), 0, "exit code")


def stats_text(agent):
    """The statistics window's text, None while the window does not exist yet."""
    r = agent.act("get-text", caption=ui.STATS_CAPTION, id=ui.IDC_STATS_TEXT)
    return r["text"] if r.ok else None


def wait_stats(agent, texts, timeout=OUTCOME_DEADLINE):
    """Waits until the statistics text is one of `texts` (a network error's counts by its
    first line: its cause follows under it); returns it."""
    def seen():
        text = stats_text(agent)
        if text is not None and text.startswith(NO_SERVER + "\n"):
            text = NO_SERVER
        return text if text in texts else None
    return poll(seen, timeout, f"statistics text in {texts!r}")


def last_tray_text(agent):
    texts = agent.tray_texts()
    return texts[-1] if texts else None


def network_errors(agent):
    return [line[len(ui.DEBUG_NETWORK_ERROR):] for line in agent.lines()
            if line.startswith(ui.DEBUG_NETWORK_ERROR)]


class RawAgent(Agent):
    """An agent started from a batch file, so that its command line is exactly `raw` (Wine would
    quote and escape separate arguments itself). cmd waits for the agent, so the process handle
    is cmd's; the agent's own process is found by its path when it has to be killed."""

    def start_raw(self, raw):
        bat = self.out_path + ".bat"
        line = f"@{self.windows_exe} {raw} >{self.wine.windows_path(self.out_path)}\r\n"
        with open(bat, "wb") as f:
            f.write(line.encode("ascii"))
        self.proc = self.wine.start(["cmd", "/c", self.wine.windows_path(bat)],
                                    self.out_path + ".cmd")
        return self

    def kill(self):
        for pid in self._agent_pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        super().kill()

    def _agent_pids(self):
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    argv0 = f.read().split(b"\0")[0].decode(errors="replace")
            except OSError:
                continue
            if argv0.lower() == self.windows_exe.lower():
                pids.append(int(entry))
        return pids


def start_raw_agent(ctx, raw, exe):
    agent = RawAgent(ctx.wine, ctx.driver, exe, ctx.dir, name=f"agent{len(ctx.agents)}")
    ctx.agents.append(agent)
    return agent.start_raw(raw)


# ---- 1. command lines ----

# Where the remembered logon went, read from the statistics text: each server refuses with its
# own name, and a bogus address ends in the network error.
AT_OPTION, AT_STAMPED = "option", "stamped"
LANDING = {"Подключение невозможно:\nA": AT_OPTION, "Подключение невозможно:\nB": AT_STAMPED,
           NO_SERVER: NO_SERVER}

A = OPTION_ADDRESS
COMMAND_LINES = [
    # (name, arguments or a raw command line, where the logon goes, debug output, --domain)
    ("--address last, without its value", ["--address"], AT_STAMPED, False, False),
    ("--domain last, without its value", ["--domain"], AT_STAMPED, False, True),
    ("--debug, then --address without its value", ["--debug", "--address"], AT_STAMPED,
     True, False),
    ("--address takes the next word even when it is --debug", ["--address", "--debug"],
     NO_SERVER, True, False),
    ("--address of 200 characters: the first 30 count", ["--address", ADDRESS_30 + "9" * 170],
     AT_OPTION, False, False),
    ("--address of 5000 characters", ["--debug", "--address", ADDRESS_30 + "9" * 4970],
     AT_OPTION, True, False),
    ("unknown option of 5000 characters is skipped", ["-" + "x" * 4999, "--address", A],
     AT_OPTION, False, False),
    ("word of 5000 characters ends the options", ["w" * 5000, "--address", A], AT_STAMPED,
     False, False),
    ("--address repeated: the last counts", ["--address", "10.255.255.1", "--address", A],
     AT_OPTION, False, False),
    ("--address repeated, the second without its value", ["--address", A, "--address"],
     AT_OPTION, False, False),
    ("--domain repeated", ["--domain", "--domain"], AT_STAMPED, False, True),
    ("--domain with a value, then --address", ["--domain", "corp", "--address", A], AT_OPTION,
     False, True),
    ("empty quoted address", ["--address", ""], NO_SERVER, False, False),
    ("empty quoted argument ends the options", ["", "--address", A], AT_STAMPED, False, False),
    ("unknown dash options are skipped", ["-x", "--bogus", "-", "--address", A], AT_OPTION,
     False, False),
    ("options are case-sensitive", ["--ADDRESS", A], AT_STAMPED, False, False),
    ("ten thousand unknown options: 30000 characters", ["-x"] * 10000 + ["--address", A],
     AT_OPTION, False, False),
    ("Cyrillic unknown option is skipped", ["-Ж", "--address", A], AT_OPTION, False, False),
    ("Cyrillic domain value is stepped over", ["--domain", "домен", "--address", A], AT_OPTION,
     False, True),
    ("Cyrillic word ends the options, --debug second still counts", ["слово", "--debug"],
     AT_STAMPED, True, False),
    ("raw: address in quotes", f'--address "{A}"', AT_OPTION, False, False),
    ("raw: quoted option with its value is one unknown argument", f'"--address {A}"',
     AT_STAMPED, False, False),
    ("raw: tabs between the arguments", f"--debug\t\t--address\t{A}", AT_OPTION, True, False),
    ("raw: unbalanced quote runs to the end of the line", f'--address "{A}', AT_OPTION, False,
     False),
    ("raw: --debug inside an unbalanced quote does not count", f'-x "--debug --address {A}',
     AT_STAMPED, False, False),
    ("raw: quoted --debug counts", f'"--debug" "--address" "{A}"', AT_OPTION, True, False),
    ("raw: empty quoted arguments, --debug third", '"" "" --debug', AT_STAMPED, False, False),
]


def test_command_lines(ctx):
    option = ctx.server("--bind", OPTION_ADDRESS, "--reply", "LOGON=0 A")
    stamped = ctx.server("--bind", STAMPED_ADDRESS, "--port", str(option.port),
                         "--reply", "LOGON=0 B")
    remember(ctx)
    ctx.registry.set_value(ui.SETTINGS_KEY, "runonwinlogon", "REG_DWORD", 1)
    exe = ctx.agent_exe(port=option.port, address=STAMPED_ADDRESS)
    for name, args, landing, debug, domain in COMMAND_LINES:
        with row(name):
            if isinstance(args, str):
                agent = start_raw_agent(ctx, args, exe)
            else:
                agent = ctx.start_agent(*args, exe=exe)
            expect_eq(LANDING[wait_stats(agent, LANDING)], landing, "where the logon went")
            output = agent.output_bytes()
            expect(output.startswith(ui.DEBUG_HEADER.encode()) if debug else output == b"",
                   f"debug output {'expected' if debug else 'not expected'}: {output[:80]!r}")
            answers(agent)
            expect_eq(stored(ctx).get("runonwinlogon"), ("dword", 0 if domain else 1),
                      "runonwinlogon (--domain writes 0)")
            if domain:
                ctx.registry.set_value(ui.SETTINGS_KEY, "runonwinlogon", "REG_DWORD", 1)
            exit_cleanly(agent)
    # Every remembered logon that reached a server carried the stored credentials.
    logons = option.requests("LOGON") + stamped.requests("LOGON")
    expect_eq(len(logons), sum(case[2] != NO_SERVER for case in COMMAND_LINES), "LOGONs served")
    expect(all(r["fields"][:3] == ["LOGON", USER, PASSWORD] for r in logons),
           f"LOGON fields: {[r.get('fields') for r in logons]}")


# ---- 2. the configuration block in the executable ----

def fixture_key(ctx, name="test_key_1024.pub.pem"):
    with open(os.path.join(ctx.env.fixtures, name), "rb") as f:
        return f.read().strip()


def key_cases(good):
    binary = bytes(range(1, 256)) * 5
    armoured = b"-----BEGIN PUBLIC KEY-----\n" + bytes(range(0x80, 0x100)) + \
        b"\n-----END PUBLIC KEY-----"
    body = good.index(b"\n") + 1
    return [  # (name, key field content, starts)
        ("binary bytes filling the field, no NUL", binary[:1025], False),
        ("PEM armour around binary bytes", armoured, False),
        ("binary bytes inside the key's body", good[:body + 10] + b"\x01\xfe\xff" +
         good[body + 13:], False),
        ("the key cut short by a NUL", good[:120] + b"\0" + good[121:], False),
        ("the key's end line missing", good[:good.rindex(b"\n")], False),
        ("a good key, then line ends to the field's end, no NUL",
         good + b"\n" * (1025 - len(good)), True),
        ("a good key, then binary bytes to the field's end, no NUL",
         (good + b"\n" + binary)[:1025], True),
        ("a good key with CR LF line ends", good.replace(b"\n", b"\r\n"), True),
    ]


def test_key_field(ctx):
    stamped = ctx.agent_exe(port=9)
    for i, (name, content, starts) in enumerate(key_cases(fixture_key(ctx))):
        with row(name):
            exe = os.path.join(ctx.dir, f"key{i}.exe")
            shutil.copyfile(stamped, exe)
            patch_key_field(exe, content)
            agent = ctx.start_agent(exe=exe)
            if starts:
                agent.wait_window(ui.LOGON_CAPTION, visible=1)
                expect(agent.no_box(ui.ERROR_CAPTION), "error box")
                answers(agent)
                exit_cleanly(agent)
                continue
            box = agent.box(ui.ERROR_CAPTION)
            expect_eq((box["text"], box["icon"]), (ui.BAD_KEY, "error"), "box")
            agent.press_box(ui.ERROR_CAPTION)
            expect_eq(agent.wait_exit(10), 1, "exit code")


SERVED = "Подключение невозможно:\nserved"


def endpoint_cases(port):
    port = str(port).encode()
    return [  # (name, address field, port field, the logon reaches the server)
        ("address field full, no NUL: its first 30 bytes count", ADDRESS_30.encode() + b"9",
         port, True),
        ("address not.an.ip", b"not.an.ip", port, False),
        ("port of 21 digits, no NUL", b"127.0.0.1", port.rjust(PORT_SIZE, b"0"), True),
        ("port of 21 nines", b"127.0.0.1", b"9" * PORT_SIZE, False),
        ("port abc", b"127.0.0.1", b"abc", False),
        ("port 0", b"127.0.0.1", b"0", False),
        ("port 99999", b"127.0.0.1", b"99999", False),
        ("port empty", b"127.0.0.1", b"", False),
        ("port of binary bytes filling the field", b"127.0.0.1",
         bytes(range(0xe0, 0xe0 + PORT_SIZE)), False),
    ]


def test_address_and_port_fields(ctx):
    server = ctx.server("--reply", "LOGON=0 served")
    remember(ctx)
    stamped = ctx.agent_exe(server)
    served = 0
    for i, (name, address, port, reaches) in enumerate(endpoint_cases(server.port)):
        with row(name):
            exe = os.path.join(ctx.dir, f"endpoint{i}.exe")
            shutil.copyfile(stamped, exe)
            patch_field(exe, ADDR_MARKER, ADDR_SIZE, address)
            patch_field(exe, PORT_MARKER, PORT_SIZE, port)
            started = time.monotonic()
            agent = ctx.start_agent("--debug", exe=exe)
            seen = wait_stats(agent, (SERVED, NO_SERVER))
            took = time.monotonic() - started
            expect_eq(seen, SERVED if reaches else NO_SERVER, "outcome")
            expect(took < OUTCOME_DEADLINE, f"outcome after {took:.1f} s")
            expect_eq(last_tray_text(agent), seen, "last tray text")
            answers(agent)
            exit_cleanly(agent)
            served += reaches
            expect_eq(len(server.requests("LOGON")), served, "LOGONs at the server")


# ---- 3. the registry ----

def reg_data(kind, data):
    """One value's data in a regedit file."""
    if kind == "sz":
        return '"' + data.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if kind == "dword":
        return f"dword:{data:08x}"
    prefix = {"binary": "hex", "qword": "hex(b)"}[kind]
    return f"{prefix}:" + ",".join(f"{b:02x}" for b in data)


def write_values(ctx, values):
    """Replaces the settings key by {name: (kind, data)} in one regedit import; kind is sz,
    dword, binary or qword (data as bytes)."""
    lines = ["Windows Registry Editor Version 5.00", "", f"[-{ui.SETTINGS_KEY}]", "",
             f"[{ui.SETTINGS_KEY}]"]
    lines += [f'"{name}"={reg_data(kind, data)}' for name, (kind, data) in values.items()]
    path = os.path.join(ctx.dir, "values.reg")
    with open(path, "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("utf-16"))
    # Under a loaded wineserver an import has been seen to fail once and succeed when repeated;
    # the file replaces the key whole, so a second import is the same import.
    for _ in range(2):
        code, _ = ctx.wine.run(["regedit", "/S", ctx.wine.windows_path(path)])
        if code == 0:
            break
    expect_eq(code, 0, "regedit import")


def exported(values):
    """{name: (kind, data)} as the registry helper reads the values back."""
    kinds = {"sz": "sz", "dword": "dword", "binary": "hex", "qword": "hex(b)"}
    return {name: (kinds[kind], data) for name, (kind, data) in values.items()}


def qword(n):
    return n.to_bytes(8, "little")


# What the agent does with the stored values: shows the logon window (with these texts in the
# login and password fields) or logs on at once with this login.
WINDOW, LOGON = "window", "logon"


def registry_cases(block):
    good = {"savedata": ("dword", 1), "login": ("sz", USER), "pass": ("binary", block)}

    def but(**changes):
        return {**good, **changes}

    long_login = "l" * 128
    return [  # (name, stored values, outcome, login field or logon login, start at logon)
        ("savedata as REG_SZ", but(savedata=("sz", "1")), WINDOW, "", False),
        ("savedata as REG_BINARY", but(savedata=("binary", b"\1\0\0\0")), WINDOW, "", False),
        ("savedata as an 8-byte REG_QWORD", but(savedata=("qword", qword(1))), WINDOW, "",
         False),
        ("savedata of 2 counts as set", but(savedata=("dword", 2)), LOGON, USER, False),
        ("login as REG_BINARY is not restored", but(login=("binary", USER.encode())), LOGON,
         "", False),
        ("login of 2000 characters is not restored", but(login=("sz", "x" * 2000)), LOGON, "",
         False),
        # regedit stores the terminating NUL, so 127 characters fill the 128-byte read.
        ("login of 127 characters: the logon sends its first 63",
         but(login=("sz", long_login[:127])), LOGON, long_login[:63], False),
        ("login of 128 characters and its NUL does not fit the read",
         but(login=("sz", long_login)), LOGON, "", False),
        ("pass of 0 bytes", but(**{"pass": ("binary", b"")}), WINDOW, USER, False),
        ("pass of 127 bytes", but(**{"pass": ("binary", block[:127])}), WINDOW, USER, False),
        ("pass of 129 bytes", but(**{"pass": ("binary", block + b"\0")}), WINDOW, USER, False),
        ("pass of 4096 bytes", but(**{"pass": ("binary", block * 32)}), WINDOW, USER, False),
        ("pass as REG_SZ", but(**{"pass": ("sz", "p" * 128)}), WINDOW, USER, False),
        ("runonwinlogon as REG_SZ", {"runonwinlogon": ("sz", "yes")}, WINDOW, "", False),
        ("runonwinlogon as 16 bytes of REG_BINARY",
         {"runonwinlogon": ("binary", b"\xff" * 16)}, WINDOW, "", False),
        ("runonwinlogon of 0xFFFFFFFF counts as set", {"runonwinlogon": ("dword", 0xFFFFFFFF)},
         WINDOW, "", True),
    ]


def check_window(agent, login):
    agent.wait_window(ui.LOGON_CAPTION, visible=1)
    fields = (agent.text(ui.LOGON_CAPTION, ui.IDC_LOGIN),
              agent.text(ui.LOGON_CAPTION, ui.IDC_PASSWORD),
              agent.act("get-check", caption=ui.LOGON_CAPTION, id=ui.IDC_REMEMBER)["checked"])
    expect_eq(fields, (login, "", "0"), "login, password, remember box")


def test_registry_values(ctx):
    server = ctx.server("--reply", "LOGON=0 busy")
    exe = ctx.agent_exe(server)
    block = password_block(ctx)
    logons = 0
    for name, values, outcome, login, runs in registry_cases(block):
        with row(name):
            write_values(ctx, values)
            agent = ctx.start_agent("--debug", exe=exe)
            if outcome == WINDOW:
                check_window(agent, login)
            else:
                logons += 1
                wait_stats(agent, ("Подключение невозможно:\nbusy",))
                sent = server.wait_requests("LOGON", logons)[-1]["fields"]
                expect_eq(sent[:3], ["LOGON", login, PASSWORD], "LOGON fields")
                expect(not agent.visible(ui.LOGON_CAPTION), "logon window shown")
            if "runonwinlogon" in values:
                items = agent.open_menu()
                agent.close_menu()
                checked = next(i["checked"] for i in items if i["id"] == ui.IDM_AUTORUN)
                expect_eq(checked, runs, "start-at-logon item checked")
            answers(agent)
            exit_cleanly(agent)
            expect_eq(stored(ctx), exported(values), "stored values after a start")
    expect(ui.RUN_VALUE not in (ctx.registry.values(ui.RUN_KEY) or {}), "Run entry written")


def test_accepted_logon_rewrites_only_its_own_values(ctx):
    server = ctx.server("--account", f"{USER}:{PASSWORD}")
    block = password_block(ctx)
    write_values(ctx, {"savedata": ("dword", 1), "login": ("sz", USER), "pass": ("binary", block),
                       "runonwinlogon": ("sz", "garbage"), "foreign": ("qword", qword(7))})
    agent = ctx.start_agent("--debug", exe=ctx.agent_exe(server))
    agent.wait_tray(CONNECTED_TIP)
    expect_eq(stored(ctx), {"savedata": ("dword", 1), "login": ("sz", USER),
                            "pass": ("hex", block), "runonwinlogon": ("dword", 0),
                            "foreign": ("hex(b)", qword(7))}, "values after the accepted logon")
    answers(agent)
    exit_cleanly(agent)


# ---- 4. server replies ----

def logon_at_start(agent):
    """Remembered credentials: the LOGON goes out as the agent starts."""


def first_ping(agent):
    agent.wait_tray(ACCEPTED_TIP)
    agent.tick(ui.TIMER_PING)


def connected(agent):
    first_ping(agent)
    agent.wait_tray(CONNECTED_TIP)


def information_after_a_message(agent):
    connected(agent)
    expect_eq(stats_text(agent), MESSAGE, "statistics text before GETINFO")
    expect(agent.choose(ui.IDM_INFO), "Информация is greyed")


def disconnect(agent):
    connected(agent)
    expect(agent.choose(ui.IDM_DISCONNECT), "Отключить is greyed")


def session_open(agent):
    """The Connect item is greyed exactly while a request runs or a session is open."""
    items = {i["id"]: i for i in agent.open_menu()}
    agent.close_menu()
    return items[ui.IDM_CONNECT]["grayed"]


MESSAGE = "Пополните счёт"
REFUSED_510 = "Подключение невозможно:\nfull " + "." * 503  # the server pads with dots
NO_FIGURES = "\nБаланс: \nЗа сессию: "
NO_DIGIT = "\nБаланс: 5\nЗа сессию: 1"

REPLY_CASES = [
    # (name, server arguments, what starts the request, the outcome has come when, then: the
    #  last tray text, the network error's reason (None: none), session open, the outcome only
    #  after the 3.5 s request timer)
    ("LOGON '1' without a session id", ["--reply", "LOGON=1"], logon_at_start,
     network_errors, NO_SERVER, "Session id is 0", False, False),
    ("LOGON reply of 510 bytes is taken whole",
     ["--reply", "LOGON=0 full ", "--fault", "oversize:510:LOGON"], logon_at_start,
     lambda a: stats_text(a) == REFUSED_510, REFUSED_510, None, False, False),
    ("LOGON reply of 511 bytes ends through the request timer",
     ["--reply", "LOGON=1 57", "--fault", "oversize:511:LOGON"], logon_at_start,
     network_errors, NO_SERVER, "Network timeout", False, True),
    ("PING binary bytes and a NUL", ["--reply", r"PING=\x01\xff\x00 1 2 0"], first_ping,
     network_errors, NO_SERVER, "Неизвестный ответ сервера", False, False),
    ("PING '1' without figures", ["--reply", "PING=1"], first_ping,
     lambda a: last_tray_text(a) == NO_FIGURES, NO_FIGURES, None, True, False),
    ("PING '1 5 1' without the status digit", ["--reply", "PING=1 5 1"], first_ping,
     lambda a: last_tray_text(a) == NO_DIGIT, NO_DIGIT, None, True, False),
    ("PING reply of 600 bytes times out silently, the next PING recovers",
     ["--fault", "oversize:600:PING", "--fault-count", "1"], first_ping,
     lambda a: last_tray_text(a) == CONNECTED_TIP, CONNECTED_TIP, None, True, True),
    ("GETINFO '1' empties the statistics", ["--message", MESSAGE, "--reply", "GETINFO=1"],
     information_after_a_message, lambda a: stats_text(a) == "", CONNECTED_TIP, None, True,
     False),
    ("LOGOUT binary bytes still log off", ["--reply", r"LOGOUT=\xff\x00\x01"], disconnect,
     lambda a: last_tray_text(a) == "Отключен", "Отключен", None, False, False),
]


def test_server_replies(ctx):
    remember(ctx)
    for i, (name, server_args, act, reached, text, reason, session, slow) in \
            enumerate(REPLY_CASES):
        with row(name):
            server = ctx.server("--account", f"{USER}:{PASSWORD}", *server_args)
            agent = ctx.start_agent("--debug", exe=ctx.agent_exe(server, name=f"reply{i}.exe"))
            started = time.monotonic()
            act(agent)
            poll(lambda: reached(agent), OUTCOME_DEADLINE + 4, "the outcome")
            took = time.monotonic() - started
            expect_eq(last_tray_text(agent), text, "last tray text")
            expect_eq(network_errors(agent), [reason] if reason else [], "network errors")
            if slow:
                expect(took > 3.0, f"outcome after {took:.1f} s, before the request timer")
            expect_eq(session_open(agent), session, "session open")
            answers(agent)
            exit_cleanly(agent)


def test_empty_logon_reply_is_a_network_error(ctx):
    remember(ctx)
    server = ctx.server("--account", f"{USER}:{PASSWORD}", "--fault", "drop:LOGON",
                        "--fault-count", "1")
    agent = ctx.start_agent("--debug", exe=ctx.agent_exe(server))
    server.wait_requests("LOGON")
    poll(lambda: network_errors(agent), OUTCOME_DEADLINE, "the network error")
    expect_eq((last_tray_text(agent), network_errors(agent)), (NO_SERVER, ["empty reply"]),
              "after the empty reply")
    # Idle again: the reconnect timer's tick logs on, and this time the server answers.
    agent.tick(ui.TIMER_RECONNECT)
    agent.wait_tray(CONNECTED_TIP)
    expect_eq(len(server.requests("LOGON")), 2, "LOGONs")
    exit_cleanly(agent)


if __name__ == "__main__":
    runner.run([
        test_command_lines,
        test_key_field,
        test_address_and_port_fields,
        test_registry_values,
        test_accepted_logon_rewrites_only_its_own_values,
        test_server_replies,
        test_empty_logon_reply_is_a_network_error,
    ])
