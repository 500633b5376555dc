"""The connection engine against a server that misbehaves: replies in pieces, slow, oversized,
reset, dropped or never sent, and a port nobody listens on. Every row ends in a defined outcome
(the reply taken whole, or the network error at the moment it is due), the window keeps
answering while a request hangs, and the agent logs on again once the server behaves."""
import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))

from vorna_e2e import runner, ui  # noqa: E402
from vorna_e2e.poll import expect, expect_eq, poll  # noqa: E402

USER, PASSWORD = "ivanov", "secret"
NO_SERVER_TIP = "Невозможно соединиться с сервером"
CONNECTED_TIP = "Подключен\nБаланс: 150.25\nЗа сессию: 3.10"
TIMEOUT = "Network timeout"
SOCKET_ERROR = "error on scoket event"
WM_NULL = 0
# Seconds from the driver action that starts a request to its report: the request timer is
# 3.5 s, and a driver run under Wine adds a few tenths before the request starts.
LATE = (3.0, 5.0)
AT_ONCE = (0.0, 2.5)
# The same timeout on the server's clock: from reading the request to the agent's close.
SERVER_LATE = (3.0, 4.0)


def tip(balance):
    return f"Подключен\nБаланс: {balance}\nЗа сессию: 3.10"


# ---- what the agent and the server have said so far ----

def after(agent, prefix):
    return [e[len(prefix):] for e in agent.entries() if e.startswith(prefix)]


def network_errors(agent):
    return after(agent, ui.DEBUG_NETWORK_ERROR)


def received(agent):
    return after(agent, ui.DEBUG_RECEIVED)


def closed_by_agent(server, fault):
    """Connections of a never-answering fault that the agent has given up on."""
    return [e for e in server.log() if e.get("event") == "client closed" and e["fault"] == fault]


def control(server, line):
    """A control command, returning once the server has taken it (so that the next request
    meets it) and refusing a command the server did not accept."""
    def taken():
        return [e for e in server.log() if e.get("control") == line]
    before = len(taken())
    server.control(line)
    entry = poll(lambda: taken()[before:], 5, f"the server to take {line!r}")[0]
    expect_eq(entry["result"], "ok", f"control {line!r} ({entry.get('detail')})")


def sent_text(reply, fault):
    """What the server puts on the wire for `reply` under `fault`: oversize:N cuts or pads."""
    mode = fault.split(":")
    if mode[0] != "oversize":
        return reply
    size = int(mode[1])
    return reply.encode("cp1251")[:size].ljust(size, b".").decode("cp1251")


def free_port():
    """A loopback port nobody listens on (the kernel just handed it out and took it back)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- what a user does ----

def fill_logon(agent):
    agent.wait_window(ui.LOGON_CAPTION, visible=1)
    for control_id, text in ((ui.IDC_LOGIN, USER), (ui.IDC_PASSWORD, PASSWORD)):
        agent.act("set-text", caption=ui.LOGON_CAPTION, id=control_id, text=text)


def press_connect(agent):
    agent.act("click", caption=ui.LOGON_CAPTION, id=ui.IDC_CONNECT)


def log_on_from_window(agent, what):
    """Shows the logon window from the tray menu's command, logs on and waits for the figures
    of the first PING: the agent is idle in an open session on return."""
    before = agent.tray_texts().count(CONNECTED_TIP)
    agent.act("command", caption=ui.LOGON_CAPTION, id=ui.IDM_CONNECT)
    fill_logon(agent)
    press_connect(agent)
    poll(lambda: agent.tray_texts().count(CONNECTED_TIP) > before, 15, f"connected {what}")


def answers_at_once(agent, what):
    """The window answers a message within half a second: the UI thread is not blocked."""
    r = agent.act("send", caption=ui.LOGON_CAPTION, msg=WM_NULL, timeout=500)
    expect(r.ok and r["answered"] == "1", f"{what}: the window did not answer in 0.5 s: {r!r}")


def wait_report(agent, errors_before, what):
    """The first network error after `errors_before` of them: (reason, when it was seen)."""
    reasons = poll(lambda: network_errors(agent)[errors_before:], 10, f"{what}: a network error")
    return reasons[0], time.monotonic()


def connected(ctx, *server_args):
    return ctx.connected(USER, PASSWORD, CONNECTED_TIP, *server_args)


# ---- the tests ----

def test_replies_that_arrive_unusually_are_taken_whole(ctx):
    server, agent = connected(ctx)
    cases = [  # (name, fault, requests made under it)
        ("a byte every 20 ms", "split:20", ("PING", "GETINFO")),
        ("the reply, then a close in both directions", "close", ("PING", "GETINFO")),
        ("a byte every 50 ms, done within the timeout", "slow:50", ("PING", "GETINFO")),
        ("510 bytes, the longest reply that fits", "oversize:510:GETINFO", ("GETINFO",)),
    ]
    for i, (name, fault, verbs) in enumerate(cases):
        balance = f"10{i}.0{i}"  # a tooltip of this row's own
        control(server, f"set {USER} balance {balance}")
        control(server, f"fault {fault}")
        for verb in verbs:
            count = len(server.requests(verb))
            if verb == "PING":
                agent.tick(ui.TIMER_PING)
            else:
                agent.act("command", caption=ui.LOGON_CAPTION, id=ui.IDM_INFO)
            request = server.wait_requests(verb, count + 1)[-1]
            expect_eq(request["fault"], fault, f"{name}: fault of the {verb}")
            wire = sent_text(request["reply"], fault)
            if verb == "PING":
                agent.wait_tray(tip(balance))
            else:
                agent.driver.wait_text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT, wire[2:],
                                       exe=agent.windows_exe)
            expect_eq(received(agent)[-1], wire, f"{name}: the {verb} reply as received")
    control(server, "fault none")
    expect_eq(network_errors(agent), [], "network errors")


def test_requests_left_hanging_end_through_the_timeout(ctx):
    server = ctx.server("--account", f"{USER}:{PASSWORD}")
    agent = ctx.start_agent("--debug", exe=ctx.agent_exe(server))
    # Each row starts without a session, where the one before it left the agent; the LOGON row
    # comes first, while the window of the start is shown, and every later row first logs on.
    cases = [  # (name, fault, request)
        ("a LOGON never answered", "silent:LOGON", "LOGON"),
        ("a GETINFO never answered", "silent:GETINFO", "GETINFO"),
        ("a LOGOUT never answered", "silent:LOGOUT", "LOGOUT"),
        ("a reply far past the buffer", "oversize:2000:GETINFO", "GETINFO"),
        ("a reply that just fills the buffer", "oversize:511:GETINFO", "GETINFO"),
        ("a reply paced past the timeout", "slow:200:GETINFO", "GETINFO"),
    ]
    for name, fault, verb in cases:
        if verb == "LOGON":
            fill_logon(agent)
        else:
            log_on_from_window(agent, f"before {name}")
        control(server, f"fault {fault} 1")
        errors, replies = len(network_errors(agent)), len(received(agent))
        count = len(server.requests(verb))
        started = time.monotonic()
        if verb == "LOGON":
            press_connect(agent)
        else:
            command = ui.IDM_INFO if verb == "GETINFO" else ui.IDM_DISCONNECT
            agent.act("command", caption=ui.LOGON_CAPTION, id=command)
        request = server.wait_requests(verb, count + 1)[-1]
        expect_eq(request["fault"], fault, f"{name}: fault of the request")
        # While the request hangs the window still answers at once.
        answers_at_once(agent, name)
        expect_eq(network_errors(agent)[errors:], [], f"{name}: reported while in flight")
        got, seen = wait_report(agent, errors, name)
        took = seen - started
        print(f"    {name}: '{got}' after {took:.2f} s")
        expect_eq(got, TIMEOUT, f"{name}: reason")
        expect(LATE[0] <= took <= LATE[1], f"{name}: reported after {took:.2f} s")
        if fault.startswith("silent"):
            gone = poll(lambda: closed_by_agent(server, fault), 5, f"{name}: the agent's close")
            waited = gone[-1]["t"] - request["t"]
            print(f"    {name}: closed {waited:.2f} s after the request by the server's clock")
            expect(SERVER_LATE[0] <= waited <= SERVER_LATE[1],
                   f"{name}: the agent closed {waited:.2f} s after the request")
        expect_eq(received(agent)[replies:], [], f"{name}: a reply was handled")
        agent.wait_last_tray(NO_SERVER_TIP, name)
        stats = agent.text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT)
        # A reply that begins as the protocol's but never ends is still no answer in time.
        expect(ui.tells_cause(stats, "reply_timeout"), f"{name}: statistics text {stats!r}")
        control(server, "fault none")
        expect(agent.running(), f"{name}: the agent ended")
    log_on_from_window(agent, f"after {cases[-1][0]}")


def test_lost_pings_pass_three_times_and_the_fourth_ends_the_session(ctx):
    # While the server answers '2' the agent PINGs every 2 s, so four losses take 16 s, not 20 min.
    server = ctx.server("--account", f"{USER}:{PASSWORD}", "--pending-pings", "100")
    agent = ctx.start_agent("--debug", exe=ctx.agent_exe(server))
    agent.logon(USER, PASSWORD)
    expect_eq(server.wait_requests("PING")[0]["reply"], "2", "reply to the first PING")
    control(server, "fault silent:PING")
    lost = "silent:PING"
    poll(lambda: len(closed_by_agent(server, lost)) >= 3, 20, "three PINGs given up")
    expect_eq(network_errors(agent), [], "reports after three lost PINGs")
    expect(NO_SERVER_TIP not in agent.tray_texts(), "the tooltip told of three lost PINGs")
    fourth = server.wait_requests("PING", 5, timeout=8)[4]
    expect_eq(fourth["fault"], lost, "fault of the fourth lost PING")
    got, _ = wait_report(agent, 0, "the fourth lost PING")
    expect_eq(got, TIMEOUT, "reason")
    waited = poll(lambda: closed_by_agent(server, lost)[3:], 5, "the fourth close")[0]["t"] - \
        fourth["t"]
    expect(SERVER_LATE[0] <= waited <= SERVER_LATE[1], f"fourth PING given up after {waited:.2f} s")
    agent.wait_last_tray(NO_SERVER_TIP, "the fourth lost PING")
    # The session is over: the PING timer's ticks send nothing.
    attempts = agent.attempts()
    agent.tick(ui.TIMER_PING)
    agent.settle()
    expect_eq(agent.attempts(), attempts, "requests started by a PING tick without a session")
    expect_eq(len(server.requests("PING")), 5, "PINGs")

    # A new session starts its own count: its first lost PING passes quietly (it is not abandoned
    # at the server), and the next PING gets through.
    control(server, "pending-pings 0")
    control(server, f"fault {lost} 1")
    agent.tick(ui.TIMER_RECONNECT)
    server.wait_requests("LOGON", 2)
    poll(lambda: len(closed_by_agent(server, lost)) >= 5, 8, "the new session's first lost PING")
    agent.wait_tray(CONNECTED_TIP)
    expect_eq(len(network_errors(agent)), 1, "reports after the new session's first lost PING")


def test_a_reset_or_a_drop_ends_the_request_at_once(ctx):
    server, agent = connected(ctx)
    full = "1 Баланс: 150.25\nЗа сессию: 3.10"
    # A reset can be told of as an error or as an orderly close, depending on the platform
    # (Wine 8 reports it as an orderly close). A drop is always reported, by what the agent saw
    # first: the close overtaking the request being written, or an empty reply. Either way the
    # request ends at once, with no more than the server sent.
    cases = [  # (name, fault, reasons it may report, the reply if taken as an orderly close,
        #          the cause then)
        ("a reset halfway through the reply", "reset:GETINFO", (SOCKET_ERROR,),
         full.encode("cp1251")[:len(full) // 2].decode("cp1251"), "reset"),
        ("a close before the request is read", "drop", ("sys error", "empty reply"), None,
         "closed_without_reply"),
    ]
    for name, fault, accepted, quiet_reply, cause in cases:
        control(server, f"fault {fault} 1")
        errors, replies = len(network_errors(agent)), len(received(agent))
        events = len(server.log())
        started = time.monotonic()
        agent.act("command", caption=ui.LOGON_CAPTION, id=ui.IDM_INFO)

        def dropped_and_closed():
            # A dropped connection that the agent let go of without a word.
            new = server.log()[events:]
            peers = {e["peer"] for e in new if e.get("event") == "dropped"}
            return any(e.get("event") == "client closed" and e["peer"] in peers for e in new)
        poll(lambda: network_errors(agent)[errors:] or received(agent)[replies:] or
             dropped_and_closed(), 10, f"{name}: the end of the request")
        took = time.monotonic() - started
        agent.settle()
        reasons, taken = network_errors(agent)[errors:], received(agent)[replies:]
        print(f"    {name}: reports {reasons}, replies {taken} after {took:.2f} s")
        expect(AT_ONCE[0] <= took <= AT_ONCE[1], f"{name}: the request ended after {took:.2f} s")
        if reasons or quiet_reply is None:
            expect(len(reasons) == 1 and reasons[0] in accepted and not taken,
                   f"{name}: reports {reasons} and replies {taken}, expected one of {accepted}")
            agent.wait_last_tray(NO_SERVER_TIP, name)
            stats = agent.text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT)
            expect(ui.tells_cause(stats, cause), f"{name}: statistics text {stats!r}")
            log_on_from_window(agent, f"after {name}")
            # The logon that worked has put the state back in place of the failure.
            stats = agent.text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT)
            expect(NO_SERVER_TIP not in stats, f"{name}: statistics text after the logon {stats!r}")
        else:
            expect_eq(taken, [quiet_reply] if quiet_reply else [], f"{name}: the reply taken")
            if quiet_reply:
                agent.driver.wait_text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT, quiet_reply[2:],
                                       exe=agent.windows_exe)
        control(server, "fault none")
        # The session goes on (or has started again): the next GETINFO is shown whole.
        replies = len(received(agent))
        agent.act("command", caption=ui.LOGON_CAPTION, id=ui.IDM_INFO)
        expect_eq(poll(lambda: received(agent)[replies:], 10, f"{name}: the next reply"),
                  [full], f"{name}: the next reply")
        agent.driver.wait_text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT, full[2:],
                               exe=agent.windows_exe)


def web_server(ctx):
    """A listener that answers as a web server or a captive portal would: it reads the request
    (so that its close is no reset), answers with a redirect and closes."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    ctx.on_cleanup(listener.close)

    def serve():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            with conn:
                conn.settimeout(2)
                got = b""
                try:
                    while len(got) < 512:
                        chunk = conn.recv(4096)
                        if not chunk:
                            break
                        got += chunk
                    conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: http://portal.example/\r\n"
                                 b"Content-Length: 0\r\n\r\n")
                except OSError:
                    pass
    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def other_key(ctx):
    """A public key of the right size that does not match the test server's private key."""
    private, public = os.path.join(ctx.dir, "other.pem"), os.path.join(ctx.dir, "other.pub.pem")
    subprocess.run(["openssl", "genrsa", "-out", private, "1024"], check=True,
                   capture_output=True)
    subprocess.run(["openssl", "rsa", "-in", private, "-pubout", "-out", public], check=True,
                   capture_output=True)
    return public


def test_a_port_nobody_listens_on_is_reported_at_once(ctx):
    port = free_port()
    agent = ctx.start_agent("--debug", exe=ctx.agent_exe(port=port))
    fill_logon(agent)
    started = time.monotonic()
    press_connect(agent)
    got, seen = wait_report(agent, 0, "a refused connect")
    took = seen - started
    print(f"    refused connect: '{got}' after {took:.2f} s")
    expect_eq(got, SOCKET_ERROR, "reason")
    expect(AT_ONCE[0] <= took <= AT_ONCE[1], f"reported after {took:.2f} s")
    agent.wait_last_tray(NO_SERVER_TIP, "a refused connect")
    stats = agent.text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT)
    expect(ui.tells_cause(stats, "port_closed"), f"statistics text {stats!r}")
    # The server comes up on that port: the next logon gets through.
    ctx.server("--account", f"{USER}:{PASSWORD}", "--port", str(port))
    log_on_from_window(agent, "once the server listens")


def test_something_else_at_the_servers_address_is_told_apart(ctx):
    """A web server (or a portal) on the port, and a server whose key is not the agent's: each
    failure's statistics text says which it is."""
    server = ctx.server("--account", f"{USER}:{PASSWORD}")
    cases = [  # (name, the agent's copy, the cause)
        ("a web server's redirect", lambda: ctx.agent_exe(port=web_server(ctx), name="web.exe"),
         "not_access_server"),
        ("a key that does not match",
         lambda: ctx.agent_exe(server, key=other_key(ctx), name="other_key.exe"),
         "closed_without_reply"),
    ]
    for name, exe, cause in cases:
        agent = ctx.start_agent("--debug", exe=exe())
        fill_logon(agent)
        press_connect(agent)
        wait_report(agent, 0, name)
        agent.wait_last_tray(NO_SERVER_TIP, name)
        stats = agent.text(ui.STATS_CAPTION, ui.IDC_STATS_TEXT)
        expect(ui.tells_cause(stats, cause), f"{name}: statistics text {stats!r}")
        expect(any(f"({cause}): " in e for e in agent.entries()),
               f"{name}: the cause in the debug output")
        agent.kill()


if __name__ == "__main__":
    runner.run([
        test_replies_that_arrive_unusually_are_taken_whole,
        test_requests_left_hanging_end_through_the_timeout,
        test_lost_pings_pass_three_times_and_the_fourth_ends_the_session,
        test_a_reset_or_a_drop_ends_the_request_at_once,
        test_a_port_nobody_listens_on_is_reported_at_once,
        test_something_else_at_the_servers_address_is_told_apart,
    ])
