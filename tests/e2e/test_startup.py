"""Starting the agent: one agent per Windows session, the key in its configuration block, and
where "--debug" counts."""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))

from vorna_e2e import runner, ui  # noqa: E402
from vorna_e2e.agent import patch_key_field  # noqa: E402
from vorna_e2e.poll import expect, expect_eq, poll  # noqa: E402
from vorna_e2e.wine import Wine  # noqa: E402


def agent_windows(agent, caption):
    return agent.driver.windows(caption=caption, exe=agent.windows_exe)


def test_second_start_warns_and_leaves_the_first_running(ctx):
    exe = ctx.agent_exe(port=9)
    first = ctx.start_agent(exe=exe)
    first_window = first.wait_window(ui.LOGON_CAPTION, visible=1)
    started = time.monotonic()
    second = ctx.start_agent(exe=exe)
    box = second.box(ui.WARNING_CAPTION)
    waited = time.monotonic() - started
    expect_eq((box["text"], box["icon"], box["owned"]), (ui.ALREADY_RUNNING, "warning", "0"),
              "the second start's box")
    expect(box["pid"] != first_window["pid"], "the box belongs to the first agent")
    # The second agent waits a second for the first to let go before it gives up.
    expect(waited >= 0.9, f"box after {waited:.2f} s, before the one-second wait")
    expect_eq(len(agent_windows(second, ui.LOGON_CAPTION)), 1, "logon windows while the box shows")
    second.press_box(ui.WARNING_CAPTION)
    expect_eq(second.wait_exit(10), 0, "exit code of the second start")
    expect(first.running(), "the first agent ended with the second")
    expect(first.visible(ui.LOGON_CAPTION), "the first agent's logon window went away")


def test_start_after_the_first_was_killed_proceeds(ctx):
    exe = ctx.agent_exe(port=9)
    first = ctx.start_agent(exe=exe)
    first.wait_window(ui.LOGON_CAPTION, visible=1)
    first.kill()
    first.wait_gone(ui.LOGON_CAPTION)
    second = ctx.start_agent(exe=exe)
    second.wait_window(ui.LOGON_CAPTION, visible=1)
    expect(second.no_box(ui.WARNING_CAPTION), "the killed agent still counts as running")
    expect(second.running(), "second agent ended")
    # The second agent holds the guard now: a third start is the one that is refused.
    third = ctx.start_agent(exe=exe)
    expect_eq(third.box(ui.WARNING_CAPTION)["text"], ui.ALREADY_RUNNING, "third start's box")
    third.press_box(ui.WARNING_CAPTION)
    expect_eq(third.wait_exit(10), 0, "exit code of the third start")


def ec_public_key(workdir):
    """A PEM public key that is not RSA."""
    private = os.path.join(workdir, "ec.pem")
    public = os.path.join(workdir, "ec.pub.pem")
    for cmd in (["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                 "ec_paramgen_curve:P-256", "-out", private],
                ["openssl", "pkey", "-in", private, "-pubout", "-out", public]):
        subprocess.run(cmd, check=True, capture_output=True, timeout=30)
    with open(public, "rb") as f:
        return f.read().strip()


def test_key_field_decides_whether_the_agent_starts(ctx):
    fixtures = ctx.env.fixtures

    def fixture(name):
        with open(os.path.join(fixtures, name), "rb") as f:
            return f.read().strip()

    good = fixture("test_key_1024.pub.pem")
    damaged = bytearray(good)
    damaged[len(damaged) // 2] = ord("*")  # not a base64 character
    cases = [  # (name, key field content, starts)
        ("built-in size key", good, True),
        ("2048-bit key", fixture("test_key_2048.pub.pem"), True),
        ("plain text", b"not a key", False),
        ("empty field", b"", False),
        ("damaged base64 body", bytes(damaged), False),
        ("private key in place of the public one", fixture("test_key_1024.pem"), False),
        ("public key that is not RSA", ec_public_key(ctx.dir), False),
        ("field full, no NUL before the next marker", b"A" * 1025, False),
    ]
    stamped = ctx.agent_exe(port=9)
    for i, (name, content, starts) in enumerate(cases):
        exe = os.path.join(ctx.dir, f"key{i}.exe")
        shutil.copyfile(stamped, exe)
        patch_key_field(exe, content)
        agent = ctx.start_agent(exe=exe)
        if starts:
            agent.wait_window(ui.LOGON_CAPTION, visible=1)
            expect(agent.no_box(ui.ERROR_CAPTION), f"{name}: error box")
            agent.kill()
            continue
        box = agent.box(ui.ERROR_CAPTION)
        expect_eq((box["text"], box["icon"], box["owned"]), (ui.BAD_KEY, "error", "0"), name)
        expect(agent.running(), f"{name}: ended before the box was pressed")
        expect_eq(agent_windows(agent, ui.LOGON_CAPTION), [], f"{name}: logon window exists")
        agent.press_box(ui.ERROR_CAPTION)
        expect_eq(agent.wait_exit(10), 1, f"{name}: exit code")


def test_debug_switch_counts_only_as_first_or_second_argument(ctx):
    cases = [  # (name, arguments, debug output expected)
        ("first argument", ["--debug"], True),
        ("second argument after an option", ["-x", "--debug"], True),
        ("second argument after a word", ["word", "--debug"], True),
        ("third argument", ["-x", "-y", "--debug"], False),
        ("fourth argument", ["a", "b", "c", "--debug"], False),
        ("no arguments", [], False),
    ]
    exe = ctx.agent_exe(port=9)
    for name, args, debug in cases:
        agent = ctx.start_agent(*args, exe=exe)
        # Once the logon window shows, start-up has written everything it writes.
        agent.wait_window(ui.LOGON_CAPTION, visible=1)
        lines = agent.lines()
        if debug:
            expect_eq(lines[:1], [ui.DEBUG_HEADER], f"{name}: first debug line")
            expect("Трей: Отключен" in lines, f"{name}: no tray line in {lines!r}")
        else:
            expect_eq(agent.output_bytes(), b"", f"{name}: output")
        agent.kill()
        agent.wait_gone(ui.LOGON_CAPTION)


def test_support_log_is_utf8_appended_and_says_version_server_and_key(ctx):
    # A Run entry carries the path with a variable in it; the agent expands it.
    os.environ["VORNA_SUPPORT_DIR"] = Wine.windows_path(ctx.dir)
    log = os.path.join(ctx.dir, "agent.log")
    bom = b"\xef\xbb\xbf"
    header = (ui.DEBUG_HEADER + "\r\n").encode()
    exe = ctx.agent_exe(port=9)

    def logged(count):
        def done():
            data = open(log, "rb").read() if os.path.exists(log) else b""
            return data if data.count("Трей: Отключен".encode()) >= count else None
        return done

    first = ctx.start_agent("--log", "%VORNA_SUPPORT_DIR%\\agent.log", "--domain", exe=exe)
    data = poll(logged(1), 15, "the support log")
    expect(data.startswith(bom + header), f"log starts {data[:40]!r}")
    lines = data[len(bom):].decode("utf-8").split("\r\n")
    expect_eq(lines[1:4], ["Версия: 2.5.3.702", "Сервер: 127.0.0.1, порт 9",
                           "Ключ сервера: RSA 1024 бит, SHA-256 "
                           "2b20c57149fc0776e2330628966eb57766fe39f963b0310053621d4a3bab9ba6"],
              "start lines")
    expect_eq(first.output_bytes(), b"", "console output without --debug")
    first.kill()
    first.wait_gone(ui.LOGON_CAPTION)

    second = ctx.start_agent("--debug", "--log", Wine.windows_path(log), exe=exe)
    data = poll(logged(2), 15, "the second run in the support log")
    expect_eq((data.count(bom), data.count(header)), (1, 2), "(BOMs, headers) after two runs")
    second.wait_line("Трей: Отключен")
    expect_eq(second.lines()[:1], [ui.DEBUG_HEADER], "console output with --debug as well")


if __name__ == "__main__":
    runner.run([
        test_second_start_warns_and_leaves_the_first_running,
        test_start_after_the_first_was_killed_proceeds,
        test_key_field_decides_whether_the_agent_starts,
        test_debug_switch_counts_only_as_first_or_second_argument,
        test_support_log_is_utf8_appended_and_says_version_server_and_key,
    ])
