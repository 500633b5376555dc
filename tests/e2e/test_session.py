"""A user's journeys with the agent against the test access server: logging on, being
remembered, refusals, the tray menu's commands, and what Windows itself sends."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))

from vorna_e2e import runner, ui  # noqa: E402
from vorna_e2e.poll import expect, expect_eq, poll  # noqa: E402

USER, PASSWORD = "ivanov", "secret"
ACCEPTED_TIP = "Проверка пароля прошла успешно, идет подключение"
CONNECTED_TIP = "Подключен\nБаланс: 150.25\nЗа сессию: 3.10"
NO_SERVER_TIP = "Невозможно соединиться с сервером"


def connected(ctx, *server_args, remember=False, exe=None):
    """A server with the account and an agent logged on to it through its window."""
    server = ctx.server("--account", f"{USER}:{PASSWORD}", *server_args)
    agent = ctx.start_agent("--debug", exe=exe or ctx.agent_exe(server))
    agent.logon(USER, PASSWORD, remember=remember)
    agent.wait_tray(CONNECTED_TIP)
    return server, agent


def settings(ctx):
    return ctx.registry.values(ui.SETTINGS_KEY) or {}


def test_first_logon_remembers_the_sent_password_block_and_pings(ctx):
    server, agent = connected(ctx, "--pending-pings", "2", remember=True)
    logon = server.requests("LOGON")
    expect_eq([r["fields"] for r in logon], [["LOGON", USER, PASSWORD, "253702"]], "LOGON")
    session = logon[0]["reply"].split()[1]
    pings = server.wait_requests("PING", 3)
    # Answered "2" twice (connection not open yet), then open: the counter counts every PING.
    expect_eq([p["fields"][1:] for p in pings[:3]],
              [[USER, session, "1"], [USER, session, "2"], [USER, session, "3"]], "PINGs")
    tips = agent.tray_texts()
    expect(tips.index(ACCEPTED_TIP) < tips.index(CONNECTED_TIP), f"tooltip order: {tips}")
    expect(not agent.visible(ui.LOGON_CAPTION), "logon window still shown")
    stored = settings(ctx)
    expect_eq((stored.get("savedata"), stored.get("login"), stored.get("runonwinlogon")),
              (("dword", 1), ("sz", USER), ("dword", 0)), "stored settings")
    expect_eq(stored.get("pass"), ("hex", bytes.fromhex(logon[0]["block3_hex"])),
              "stored password block")
    expect(ctx.registry.values(ui.RUN_KEY).get(ui.RUN_VALUE) is None, "Run entry written")


def test_remembered_credentials_log_on_at_start_without_the_window(ctx):
    server, first = connected(ctx, remember=True)
    exe = first.exe
    first.kill()
    second = ctx.start_agent("--debug", exe=exe)
    logons = server.wait_requests("LOGON", 2)
    expect(not second.visible(ui.LOGON_CAPTION), "logon window shown at a remembered start")
    # The stored block goes out byte for byte; the clear password is not known any more.
    expect_eq(logons[1]["block3_hex"], logons[0]["block3_hex"], "password block")
    expect_eq(logons[1]["fields"][:2], ["LOGON", USER], "LOGON fields")
    second.wait_tray(CONNECTED_TIP)
    expect_eq((second.text(ui.LOGON_CAPTION, ui.IDC_LOGIN),
               second.text(ui.LOGON_CAPTION, ui.IDC_PASSWORD)), (USER, "password"),
              "fields of the hidden logon window")
    expect(not second.visible(ui.LOGON_CAPTION), "logon window shown after the logon")


def test_wrong_password_warns_over_the_window_and_stops_reconnecting(ctx):
    server = ctx.server("--account", f"{USER}:{PASSWORD}")
    agent = ctx.start_agent("--debug", exe=ctx.agent_exe(server))
    agent.logon(USER, "wrong", remember=True)
    text = "Авторизации не выполнена:\nНеверное имя пользователя или пароль"
    box = agent.box(ui.WARNING_CAPTION)
    expect_eq((box["text"], box["icon"], box.get("owner_caption")),
              (text, "warning", ui.LOGON_CAPTION), "refusal box")
    agent.press_box(ui.WARNING_CAPTION)
    agent.wait_window(ui.LOGON_CAPTION, visible=1)
    expect_eq(agent.tray_texts()[-1], ui.as_oem(text), "tooltip")
    expect("savedata" not in settings(ctx) and "pass" not in settings(ctx),
           f"a refused logon was remembered: {settings(ctx)}")
    # Hidden again, the reconnect timer must still not log on by itself.
    agent.act("click", caption=ui.LOGON_CAPTION, id=ui.IDC_HIDE)
    agent.wait_window(ui.LOGON_CAPTION, visible=0)
    attempts = agent.attempts()
    agent.tick(ui.TIMER_RECONNECT)
    agent.settle()
    expect_eq(agent.attempts(), attempts, "requests started by the reconnect tick")


def test_session_ended_by_the_server_is_logged_on_again_after_a_refusal(ctx):
    server, agent = connected(ctx)
    first_logon = server.requests("LOGON")[0]
    server.control("end-session ivanov Сессия завершена сервером")
    agent.hover()  # an out-of-turn PING finds out at once
    agent.wait_tray("Сессия завершена сервером")
    agent.wait_line("Получение статистики, вне очередной 'PING'")
    server.control("reply LOGON 0 Сервер перегружен")
    attempts = agent.attempts()
    agent.tick(ui.TIMER_RECONNECT)
    # settle() waits for the tick and the logon it posts: the request has started on return.
    agent.settle()
    expect_eq(agent.attempts(), attempts + 1, "requests started by the reconnect tick")
    refused = "Подключение невозможно:\nСервер перегружен"
    agent.wait_tray(refused)
    expect_eq(agent.text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT), refused, "statistics text")
    server.control("clear-reply LOGON")
    agent.tick(ui.TIMER_RECONNECT)
    poll(lambda: agent.tray_texts().count(CONNECTED_TIP) == 2, 15, "connected again")
    logons = server.requests("LOGON")
    expect_eq(len(logons), 3, "LOGONs")
    expect_eq(logons[2]["block3_hex"], first_logon["block3_hex"], "password block re-sent")
    expect(logons[2]["reply"] != first_logon["reply"], "a new session id")


def test_information_window_shows_the_figures_and_enter_hides_it(ctx):
    server, agent = connected(ctx)
    expect(agent.choose(ui.IDM_INFO), "Информация is greyed")
    getinfo = server.wait_requests("GETINFO")[0]
    session = server.requests("LOGON")[0]["reply"].split()[1]
    expect_eq(getinfo["fields"], ["GETINFO", USER, session, "VOID4"], "GETINFO fields")
    agent.wait_window(ui.STATS_CAPTION, visible=1)
    poll(lambda: agent.text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT) == "Баланс: 150.25\n"
         "За сессию: 3.10", 10, "the statistics text")
    agent.act("key", caption=ui.STATS_CAPTION, id=ui.IDC_STATS_OK, vk=ui.VK_ESCAPE)
    agent.settle()
    expect(agent.visible(ui.STATS_CAPTION), "Escape hid the statistics window")
    agent.act("key", caption=ui.STATS_CAPTION, id=ui.IDC_STATS_OK, vk=ui.VK_RETURN)
    agent.wait_window(ui.STATS_CAPTION, visible=0)


def test_disconnect_then_exit(ctx):
    server, agent = connected(ctx)
    expect(agent.choose(ui.IDM_DISCONNECT), "Отключить is greyed")
    logout = server.wait_requests("LOGOUT")[0]
    session = server.requests("LOGON")[0]["reply"].split()[1]
    expect_eq(logout["fields"], ["LOGOUT", USER, session, "VOID4"], "LOGOUT fields")
    agent.wait_tray("Отключен")
    grayed = {i["id"]: i["grayed"] for i in agent.open_menu() if not i["separator"]}
    agent.close_menu()
    expect(not grayed[ui.IDM_CONNECT], "Подключить still greyed after the logoff")
    expect(agent.choose(ui.IDM_EXIT), "Выход is greyed")
    expect_eq(agent.wait_exit(10), 0, "exit code")
    expect_eq(len(server.requests("LOGOUT")), 1, "LOGOUTs")


def test_exit_during_a_session_logs_off_first(ctx):
    server, agent = connected(ctx)
    expect(agent.choose(ui.IDM_EXIT), "Выход is greyed")
    expect_eq(agent.wait_exit(10), 0, "exit code")
    expect_eq(len(server.requests("LOGOUT")), 1, "LOGOUT before the exit")


def menu_state(agent, item_id):
    items = {i["id"]: i for i in agent.open_menu()}
    agent.close_menu()
    return items[item_id]["checked"], items[item_id]["grayed"]


def test_start_at_logon_follows_the_menu_item(ctx):
    agent = ctx.start_agent()
    agent.wait_window(ui.LOGON_CAPTION, visible=1)
    for turn_on in (True, False):
        expect_eq(menu_state(agent, ui.IDM_AUTORUN), (not turn_on, False), "item before")
        expect(agent.choose(ui.IDM_AUTORUN), "start-at-logon item greyed")
        want_run = agent.windows_exe if turn_on else None
        poll(lambda: settings(ctx).get("runonwinlogon") == ("dword", int(turn_on)), 10,
             f"runonwinlogon = {int(turn_on)}")
        run = ctx.registry.values(ui.RUN_KEY).get(ui.RUN_VALUE)
        expect_eq(run and run[1].lower(), want_run and want_run.lower(), "Run entry")
        expect_eq(settings(ctx).get("savedata"), ("dword", 0), "savedata without credentials")
    expect_eq(menu_state(agent, ui.IDM_AUTORUN), (False, False), "item after two toggles")


def test_domain_option_forces_start_at_logon_off(ctx):
    ctx.registry.set_value(ui.SETTINGS_KEY, "runonwinlogon", "REG_DWORD", 1)
    ctx.registry.set_value(ui.RUN_KEY, ui.RUN_VALUE, "REG_SZ", r"C:\old\VornaAgent.exe")
    agent = ctx.start_agent("--domain")
    agent.wait_window(ui.LOGON_CAPTION, visible=1)
    poll(lambda: settings(ctx).get("runonwinlogon") == ("dword", 0), 10, "runonwinlogon = 0")
    expect(ctx.registry.values(ui.RUN_KEY).get(ui.RUN_VALUE) is None, "Run entry kept")
    expect_eq(menu_state(agent, ui.IDM_AUTORUN), (False, True), "start-at-logon item")
    expect(not agent.choose(ui.IDM_AUTORUN), "a greyed item could be chosen")


def test_address_option_decides_where_the_logon_goes(ctx):
    server = ctx.server("--account", f"{USER}:{PASSWORD}")
    # 127.0.0.2 is loopback with nothing listening on the server's port.
    cases = [  # (name, stamped address, arguments, reaches the server)
        ("--address replaces the stamped one", "127.0.0.2", ["--address", "127.0.0.1"], True),
        ("--address without a value changes nothing", "127.0.0.1", ["--address"], True),
        ("the stamped address without the option", "127.0.0.2", [], False),
    ]
    for i, (name, stamped, args, reaches) in enumerate(cases):
        exe = ctx.agent_exe(port=server.port, address=stamped, name=f"address{i}.exe")
        agent = ctx.start_agent("--debug", *args, exe=exe)
        before = len(server.requests("LOGON"))
        agent.logon(USER, PASSWORD)
        if reaches:
            server.wait_requests("LOGON", before + 1)
            agent.wait_tray(CONNECTED_TIP)
        else:
            agent.wait_tray(NO_SERVER_TIP)
            expect_eq(len(server.requests("LOGON")), before, f"{name}: LOGON arrived")
        agent.kill()


def test_windows_session_end_logs_off_before_answering(ctx):
    server, agent = connected(ctx)
    expect_eq(agent.end_session(), 1, "answer with a session")
    # The LOGOUT is written before the answer comes back.
    expect_eq(len(server.requests("LOGOUT")), 1, "LOGOUT at the answer")
    agent.kill()
    idle = ctx.start_agent(exe=ctx.agent_exe(server, name="idle.exe"))
    idle.wait_window(ui.LOGON_CAPTION, visible=1)
    expect_eq(idle.end_session(), 1, "answer without a session")
    idle.settle()
    expect_eq(len(server.requests("LOGOUT")), 1, "LOGOUT without a session")


def test_session_end_logoff_is_bounded_when_the_server_does_not_answer(ctx):
    # Windows calls a program hung after a few seconds: the whole logoff gives up in 3.5 s.
    for fault in ("silent", "noaccept"):
        server, agent = connected(ctx)
        server.control(f"fault {fault}")
        started = time.monotonic()
        expect_eq(agent.end_session(), 1, f"{fault}: the session may end")
        took = time.monotonic() - started
        print(f"    session-end logoff against a '{fault}' server took {took:.2f} s")
        expect(3.0 < took < 5.0, f"{fault}: the logoff took {took:.2f} s")
        agent.kill()
        server.stop()


def test_tray_icon_comes_back_when_the_taskbar_is_recreated(ctx):
    agent = ctx.start_agent()
    agent.wait_window(ui.LOGON_CAPTION, visible=1)
    poll(agent.tray_icon_exists, 10, "the tray icon")
    # A restarting shell has lost every icon, then tells all programs it is back.
    agent.act("tray-icon", caption=ui.LOGON_CAPTION, delete=1)
    expect(not agent.tray_icon_exists(), "icon survived its removal")
    expect(ctx.driver("broadcast-taskbar-created").ok, "broadcast not delivered")
    poll(agent.tray_icon_exists, 10, "the tray icon to be added again")


def test_hover_pings_at_most_once_in_five_seconds(ctx):
    server, agent = connected(ctx)
    expect_eq(len(server.requests("PING")), 1, "PINGs after the logon")
    agent.hover()
    server.wait_requests("PING", 2)
    attempts = agent.attempts()
    agent.hover()
    agent.settle()
    expect_eq(agent.attempts(), attempts, "requests started by a second hover within 5 s")
    expect_eq(len(server.requests("PING")), 2, "PINGs after a second hover within 5 s")
    expect_eq([p["fields"][3] for p in server.requests("PING")], ["1", "2"], "PING counters")


if __name__ == "__main__":
    runner.run([
        test_first_logon_remembers_the_sent_password_block_and_pings,
        test_remembered_credentials_log_on_at_start_without_the_window,
        test_wrong_password_warns_over_the_window_and_stops_reconnecting,
        test_session_ended_by_the_server_is_logged_on_again_after_a_refusal,
        test_information_window_shows_the_figures_and_enter_hides_it,
        test_disconnect_then_exit,
        test_exit_during_a_session_logs_off_first,
        test_start_at_logon_follows_the_menu_item,
        test_domain_option_forces_start_at_logon_off,
        test_address_option_decides_where_the_logon_goes,
        test_windows_session_end_logs_off_before_answering,
        test_session_end_logoff_is_bounded_when_the_server_does_not_answer,
        test_tray_icon_comes_back_when_the_taskbar_is_recreated,
        test_hover_pings_at_most_once_in_five_seconds,
    ])
