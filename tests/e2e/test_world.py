"""Resume from sleep and address-list changes re-check the session at once; account-state
transitions are told to the user with a balloon (seen here through the debug lines)."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))

from vorna_e2e import runner, ui  # noqa: E402
from vorna_e2e.poll import expect, expect_eq, poll  # noqa: E402

USER, PASSWORD = "ivanov", "secret"
CONNECTED_TIP = "Подключен\nБаланс: 150.25\nЗа сессию: 3.10"
RESUMED = ui.DEBUG_EVENT + "выход из спящего режима"


def connected(ctx, *server_args):
    return ctx.connected(USER, PASSWORD, CONNECTED_TIP, *server_args)


def resume(agent, kind=ui.PBT_APMRESUMEAUTOMATIC):
    agent.act("post", caption=ui.LOGON_CAPTION, msg=ui.WM_POWERBROADCAST, wparam=kind)


def notifications(agent):
    return [line[len(ui.DEBUG_NOTIFY):] for line in agent.lines()
            if line.startswith(ui.DEBUG_NOTIFY)]


def test_resume_pings_at_once_and_logs_on_again_when_the_server_ended_the_session(ctx):
    server, agent = connected(ctx)
    pings = len(server.requests("PING"))
    server.control(f"end-session {USER} Сессия завершена по простою")
    resume(agent)
    posted = time.monotonic()
    server.wait_requests("PING", pings + 1, timeout=5)
    ping_after = time.monotonic() - posted
    server.wait_requests("LOGON", 2, timeout=5)
    logon_after = time.monotonic() - posted
    expect(ping_after <= 1.0, f"PING {ping_after:.2f} s after the resume")
    expect(logon_after - ping_after <= 2.0, f"LOGON {logon_after - ping_after:.2f} s after it")
    poll(lambda: agent.tray_texts().count(CONNECTED_TIP) >= 2, 10, "connected again")
    agent.wait_line(RESUMED)
    # The notification line follows the tooltip's: wait for it rather than race it.
    poll(lambda: len(notifications(agent)) >= 2, 5, "the second notification")
    expect_eq(notifications(agent),
              ["Сессия завершена сервером: Сессия завершена по простою",
               "Подключение восстановлено: " + CONNECTED_TIP.replace("\n", " ")],
              "notifications")


def test_both_resume_messages_give_one_check(ctx):
    server, agent = connected(ctx)
    # Windows sends both on a resume with a user present, well within a second; a loaded test
    # machine may space the two posts further apart, and then two checks are right.
    for _ in range(3):
        pings = len(server.requests("PING"))
        first = time.monotonic()
        resume(agent, ui.PBT_APMRESUMEAUTOMATIC)
        resume(agent, ui.PBT_APMRESUMESUSPEND)
        gap = time.monotonic() - first
        server.wait_requests("PING", pings + 1, timeout=5)
        agent.settle()
        if gap < 0.8:
            break
        poll(lambda: time.monotonic() - first > 1.5, 5, "a quiet second")
    expect(gap < 0.8, f"the two messages were always posted {gap:.2f} s apart")
    expect_eq(len(server.requests("PING")), pings + 1, "PINGs for the two messages")


def test_resume_with_the_logon_window_shown_sends_nothing(ctx):
    server = ctx.server("--account", f"{USER}:{PASSWORD}")
    agent = ctx.start_agent("--debug", exe=ctx.agent_exe(server))
    agent.wait_window(ui.LOGON_CAPTION, visible=1)
    resume(agent)
    agent.wait_line(RESUMED)
    agent.settle()
    expect_eq(agent.attempts(), 0, "requests started")
    expect_eq(server.requests(), [], "requests at the server")


def test_an_address_list_change_pings(ctx):
    server, agent = connected(ctx)
    pings = len(server.requests("PING"))
    agent.act("post", caption=ui.LOGON_CAPTION, msg=ui.MSG_ADDRESS_CHANGE,
              lparam=ui.FD_ADDRESS_LIST_CHANGE)
    server.wait_requests("PING", pings + 1, timeout=5)
    agent.wait_line(ui.DEBUG_EVENT + "изменился список сетевых адресов")


def test_limit_transitions_notify_once_each(ctx):
    server, agent = connected(ctx)
    for digit, pings in (("1", 1), ("1", 2), ("2", 3), ("0", 4)):
        before = len(server.requests("PING"))
        server.control(f"set * digit {digit}")
        agent.tick(ui.TIMER_PING)
        server.wait_requests("PING", before + 1)
        agent.settle()
    expect_eq([n.split(":")[0] for n in notifications(agent)],
              ["Скоро лимит", "Платные сети блокированы"], "notifications")


def test_a_lost_session_and_a_refusal_notify(ctx):
    server, agent = connected(ctx)
    server.control("fault drop:PING 4")
    for _ in range(4):  # three lost PINGs are retried quietly, the fourth is an error
        before = len(server.requests("PING"))
        agent.tick(ui.TIMER_PING)
        server.wait_requests("PING", before + 1)
        agent.settle()
    agent.wait_line(ui.DEBUG_NOTIFY + "Соединение потеряно")
    server.control("fault none")
    server.control("reply LOGON 0 Превышено число сессий")
    agent.tick(ui.TIMER_RECONNECT)
    agent.wait_line(ui.DEBUG_NOTIFY + "Подключение невозможно: Превышено число сессий")
    expect_eq(len(notifications(agent)), 2, f"notifications: {notifications(agent)}")


def test_notifications_can_be_switched_off(ctx):
    ctx.registry.set_value(ui.SETTINGS_KEY, "notify", "REG_DWORD", 0)
    server, agent = connected(ctx)
    server.control("set * digit 1")
    agent.tick(ui.TIMER_PING)
    agent.wait_tray("Скоро лимит\nБаланс: 150.25\nЗа сессию: 3.10")
    agent.settle()
    expect_eq(notifications(agent), [], "notifications while switched off")


if __name__ == "__main__":
    runner.run([
        test_resume_pings_at_once_and_logs_on_again_when_the_server_ended_the_session,
        test_both_resume_messages_give_one_check,
        test_resume_with_the_logon_window_shown_sends_nothing,
        test_an_address_list_change_pings,
        test_limit_transitions_notify_once_each,
        test_a_lost_session_and_a_refusal_notify,
        test_notifications_can_be_switched_off,
    ])
