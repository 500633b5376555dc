#!/usr/bin/env python3
"""The Linux agent's journeys, natively: vornaagent run against the test access server, driven
through its command line. Every wait polls a condition.

    journeys.py --agent vornaagent --server vorna_access_server --fixtures DIR [NAME...]
"""
import argparse
import json
import os
import pwd
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "lib"))
from vorna_e2e.poll import Timeout, expect, expect_eq, poll  # noqa: E402
from vorna_e2e.process import AgentProcess  # noqa: E402
from vorna_e2e.server import AccessServer  # noqa: E402

WRONG_PASSWORD = "Неверное имя пользователя или пароль"
CANNOT_CONNECT = "Невозможно соединиться с сервером"


class Context:
    def __init__(self, options, name):
        self.options = options
        self.dir = tempfile.mkdtemp(prefix=f"vorna-linux-{name}-")
        self.runtime = os.path.join(self.dir, "run")
        self.config_home = os.path.join(self.dir, "config")
        os.makedirs(self.runtime, mode=0o700)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime,
                        XDG_CONFIG_HOME=self.config_home, LANG="C.UTF-8")
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.servers = []
        self.agents = []

    def server(self, *args):
        log = os.path.join(self.dir, f"server{len(self.servers)}.log")
        s = AccessServer(self.options.server, os.path.join(self.options.fixtures,
                                                           "test_key_1024.pem"), log, args)
        self.servers.append(s)
        return s

    def site_conf(self, server, name="site.conf", key=None):
        path = os.path.join(self.dir, name)
        key = key or os.path.join(self.options.fixtures, "test_key_1024.pub.pem")
        with open(path, "w") as f:
            f.write(f"# test site\naddress={server.address}\nport={server.port}\nkey={key}\n")
        return path

    def start(self, server, *args, key=None):
        """vornaagent run --debug --config SITE ARGS..., its output in a file; `server` is
        anything with an address and a port, `key` the public key the site file names."""
        out = os.path.join(self.dir, f"agent{len(self.agents)}.out")
        cmd = [self.options.agent, "run", "--debug", "--config",
               self.site_conf(server, f"site{len(self.agents)}.conf", key), *args]
        with open(out, "wb") as f:
            proc = subprocess.Popen(cmd, stdout=f, stderr=subprocess.STDOUT, env=self.env,
                                    stdin=subprocess.DEVNULL)
        agent = Agent(self, proc, out)
        self.agents.append(agent)
        poll(lambda: os.path.exists(os.path.join(self.runtime, "vornaagent.sock")) or
             proc.poll() is not None, 10, "the control socket")
        expect(proc.poll() is None, f"the agent ended at once:\n{agent.output()}")
        return agent

    def cli(self, *args, password=None, timeout=30):
        result = subprocess.run([self.options.agent, *args], input=(password or "").encode(),
                                capture_output=True, env=self.env, timeout=timeout)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def status(self):
        code, out, err = self.cli("status", "--json")
        expect_eq(code, 0, f"status --json exit code ({err})")
        return json.loads(out)

    def connected(self, *server_args):
        """A server with the account ivanov/secret, an agent on it, logged on: (server, agent,
        the connected status)."""
        server = self.server("--account", "ivanov:secret", *server_args)
        agent = self.start(server)
        logon(self)
        return server, agent, self.wait_state("connected")

    def wait_state(self, state, timeout=15):
        return poll(lambda: (lambda s: s if s["state"] == state else None)(self.status()),
                    timeout, f"state {state}")

    def cleanup(self):
        for listener in getattr(self, "listeners", []):
            listener.close()
        for agent in self.agents:
            agent.kill()
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class Agent(AgentProcess):
    def __init__(self, ctx, proc, out):
        super().__init__(proc, out)
        self.ctx = ctx


def logon(ctx, login="ivanov", password="secret", *extra):
    code, out, err = ctx.cli("login", login, *extra, password=password + "\n")
    expect_eq(code, 0, f"login exit code (stdout {out!r}, stderr {err!r})")
    return out


# ---- Journeys ----

def journey_logon_pings_and_balance(ctx):
    server = ctx.server("--account", "ivanov:secret", "--pending-pings", "1",
                        "--balance", "42.50", "--cost", "1.25")
    ctx.start(server)
    expect_eq(ctx.status()["state"], "disconnected", "state before the logon")
    logon(ctx)
    status = ctx.wait_state("connected")
    expect_eq((status["balance"], status["session_cost"]), ("42.50", "1.25"), "figures")
    expect("Баланс: 42.50" in status["tooltip"], f"tooltip {status['tooltip']!r}")
    pings = server.requests("PING")
    expect_eq([p["reply"][0] for p in pings[:2]], ["2", "1"], "PING replies")
    expect_eq([p["fields"][3] for p in pings[:2]], ["1", "2"], "PING counters")
    code, out, _ = ctx.cli("status")
    expect(code == 0 and out.startswith("state: connected") and "42.50" in out, out)


def journey_info(ctx):
    server, _, _ = ctx.connected("--info", "Тариф: дневной")
    code, out, err = ctx.cli("info")
    expect_eq((code, out.strip()), (0, "Тариф: дневной"), f"info ({err})")
    expect_eq(len(server.requests("GETINFO")), 1, "GETINFO requests")
    expect_eq(ctx.status()["statistics"], "Тариф: дневной", "statistics text kept for status")


def journey_logout(ctx):
    server, _, _ = ctx.connected()
    code, out, err = ctx.cli("logout")
    expect_eq((code, out.strip()), (0, "Отключен"), f"logout ({err})")
    expect_eq(len(server.requests("LOGOUT")), 1, "LOGOUT requests")
    expect_eq(ctx.status()["state"], "disconnected", "state after logout")
    code, out, err = ctx.cli("info")
    expect_eq(code, 2, "info without a session")


def journey_remembered_credentials(ctx):
    server = ctx.server("--account", "ivanov:secret")
    agent = ctx.start(server)
    logon(ctx, "ivanov", "secret", "--remember")
    ctx.wait_state("connected")
    settings = os.path.join(ctx.config_home, "vornaagent", "settings")
    expect_eq(stat.S_IMODE(os.stat(settings).st_mode), 0o600, "settings file mode")
    with open(settings, "rb") as f:
        text = f.read()
    expect(b"secret" not in text and "secret".encode().hex().encode() not in text,
           "the clear password is not stored")
    expect(b"pass binary " in text and b"savedata dword 01000000" in text, text.decode())
    code, _, err = ctx.cli("quit")
    expect_eq(code, 0, f"quit ({err})")
    expect_eq(agent.wait_exit(), 0, "exit code")
    expect_eq(len(server.requests("LOGOUT")), 1, "quit logged off first")
    ctx.start(server)
    logons = server.wait_requests("LOGON", 2)
    expect_eq(logons[1]["block3_hex"], logons[0]["block3_hex"], "stored block sent byte for byte")
    expect(logons[1].get("block3_seen") is True, "server recognised the repeated block")
    ctx.wait_state("connected")


def journey_refusal_wrong_password(ctx):
    server = ctx.server("--account", "ivanov:secret")
    ctx.start(server)
    code, out, err = ctx.cli("login", "ivanov", password="wrong\n")
    expect_eq(code, 2, "login exit code on refusal")
    expect(WRONG_PASSWORD in err and "Авторизации не выполнена" in err, err)
    expect_eq(ctx.status()["state"], "error", "state after refusal")


def journey_refusal_impossible_backs_off(ctx):
    server = ctx.server("--account", "ivanov:secret", "--refuse-logon", "Счёт заблокирован")
    agent = ctx.start(server)
    code, out, err = ctx.cli("login", "ivanov", password="secret\n")
    expect_eq(code, 2, "login exit code")
    expect("Подключение невозможно" in err and "Счёт заблокирован" in err, err)
    # The retry comes after the back-off (90 s, covered with the virtual clock in the core
    # tests), not at once: the next round of the loop has run and no second LOGON went out.
    ctx.status()
    expect_eq(len(server.requests("LOGON")), 1, "LOGON requests right after the refusal")
    expect(agent.proc.poll() is None, "the agent keeps running")


def journey_fault_split_and_close(ctx):
    server, _, status = ctx.connected("--fault", "split:5:PING")
    expect_eq(status["balance"], "150.25", "balance from a split reply")
    server.control("fault close:GETINFO")
    code, out, _ = ctx.cli("info")
    expect(code == 0 and "150.25" in out, f"info with the close fault: {code} {out!r}")


def journey_fault_reset(ctx):
    server = ctx.server("--account", "ivanov:secret", "--fault", "reset:LOGON")
    ctx.start(server)
    code, _, err = ctx.cli("login", "ivanov", password="secret\n")
    expect(code == 2 and CANNOT_CONNECT in err, f"reset half-way is a failure: {code} {err!r}")
    status = ctx.status()
    expect_eq((status["state"], status["session"]), ("error", False), "state after a reset")


class Endpoint:
    """An address and a port for a site file, with no access server behind it."""
    def __init__(self, port, address="127.0.0.1"):
        self.address, self.port = address, port


def closed_port():
    """A loopback port nobody listens on (the kernel just handed it out and took it back)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return Endpoint(s.getsockname()[1])


def web_server(ctx, answer=b"HTTP/1.1 302 Found\r\nLocation: http://portal.example/\r\n"
               b"Content-Length: 0\r\n\r\n"):
    """A listener that answers every connection as a web server or a captive portal would:
    it reads what comes (so that its close is no reset), answers and closes."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    ctx.listeners = getattr(ctx, "listeners", []) + [listener]

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
                    conn.sendall(answer)
                except OSError:
                    pass
    threading.Thread(target=serve, daemon=True).start()
    return Endpoint(listener.getsockname()[1])


def other_key(ctx):
    """A public key of the right size that does not match the server's private key."""
    private, public = os.path.join(ctx.dir, "other.pem"), os.path.join(ctx.dir, "other.pub.pem")
    subprocess.run(["openssl", "genrsa", "-out", private, "1024"], check=True,
                   capture_output=True)
    subprocess.run(["openssl", "rsa", "-in", private, "-pubout", "-out", public], check=True,
                   capture_output=True)
    return public


def journey_failure_causes(ctx):
    """Each failure the agent can tell apart, as status --json and status give its cause; the
    next logon that works clears it."""
    def account(*args):
        return ctx.server("--account", "ivanov:secret", *args)
    cases = [
        ("closed port", lambda: (closed_port(), None), "port_closed"),
        ("a web server's redirect", lambda: (web_server(ctx), None), "not_access_server"),
        ("a key that does not match", lambda: (account(), other_key(ctx)),
         "closed_without_reply"),
        ("silent server", lambda: (account("--fault", "silent:LOGON"), None), "reply_timeout"),
        ("closed without a reply", lambda: (account("--fault", "drop:LOGON"), None),
         "closed_without_reply"),
        ("reset half-way", lambda: (account("--fault", "reset:LOGON"), None), "reset"),
        ("wrong password", lambda: (account(), None), "refused"),
    ]
    for name, arrange, cause in cases:
        endpoint, key = arrange()
        agent = ctx.start(endpoint, key=key)
        password = "wrong\n" if cause == "refused" else "secret\n"
        code, _, err = ctx.cli("login", "ivanov", password=password)
        expect_eq(code, 2, f"{name}: login fails ({err!r})")
        status = ctx.status()
        expect_eq((status["state"], status["cause"]), ("error", cause), f"{name}: cause")
        expect(status["cause_text"], f"{name}: the words for the cause")
        if cause != "refused":
            expect_eq(status["statistics"], f"{CANNOT_CONNECT}\n{status['cause_text']}",
                      f"{name}: the statistics text")
        code, out, _ = ctx.cli("status")
        words = status["cause_text"] if cause != "refused" else WRONG_PASSWORD
        expect(f"cause: {cause}\n" in out and words in out, f"{name}: {out!r}")
        expect(f"({cause}): " in agent.output(), f"{name}: the cause in the debug output")
        agent.kill()
        # The next agent's socket, not this one's left behind, is what start waits for.
        sock = os.path.join(ctx.runtime, "vornaagent.sock")
        if os.path.exists(sock):
            os.unlink(sock)
    # The silent server behaves again: the logon clears the cause and the failure text.
    server = ctx.servers[1]
    server.control("fault none")
    ctx.start(server)
    ctx.cli("login", "ivanov", password="wrong\n")
    expect_eq(ctx.status()["cause"], "refused", "a refusal first")
    logon(ctx)
    status = ctx.wait_state("connected")
    expect_eq((status["cause"], status["cause_text"]), (None, None), "the cause after a logon")
    expect(CANNOT_CONNECT not in status["statistics"] and "Отказ" not in status["statistics"],
           f"the failure text after a logon: {status['statistics']!r}")


def journey_fault_silence_then_quit(ctx):
    server = ctx.server("--account", "ivanov:secret", "--fault", "silent:LOGON")
    agent = ctx.start(server)
    started = time.monotonic()
    code, _, err = ctx.cli("login", "ivanov", password="secret\n")
    expect(code == 2 and CANNOT_CONNECT in err, f"silent server: {code} {err!r}")
    expect(time.monotonic() - started < 10, "the request timed out in bounded time")
    expect("Network timeout" in agent.output(), "timeout reason in the debug output")


def journey_quit_during_request(ctx):
    # As on Windows, Exit waits for the request in flight and then quits without a LOGOUT;
    # when that request fails the session is gone and the agent exits all the same.
    for fault, figures in (("slow:40:GETINFO", True), ("silent:GETINFO", False)):
        server, agent, _ = ctx.connected()
        server.control(f"fault {fault}")
        info = subprocess.Popen([ctx.options.agent, "info"], env=ctx.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        server.wait_requests("GETINFO", 1)
        code, out, err = ctx.cli("quit")
        expect_eq(code, 0, f"{fault}: quit during a request ({err})")
        expect_eq(agent.wait_exit(), 0, f"{fault}: agent exit code")
        info_out, _ = info.communicate(timeout=10)
        expect_eq("150.25" in info_out.decode(), figures, f"{fault}: info answered {info_out!r}")
        expect_eq(len(server.requests("LOGOUT")), 0, f"{fault}: no LOGOUT after the request")
        expect_eq(ctx.cli("status")[0], 3, f"{fault}: no agent after quit")


def journey_sigterm_logs_off_first(ctx):
    # systemctl --user stop sends SIGTERM: the Exit command, so the session is closed first.
    server, agent, _ = ctx.connected()
    agent.proc.send_signal(signal.SIGTERM)
    expect_eq(agent.wait_exit(), 0, "exit code after SIGTERM")
    expect_eq(len(server.requests("LOGOUT")), 1, "LOGOUT before the exit")


def journey_sigterm_ends_when_the_server_is_gone(ctx):
    # The LOGOUT cannot be answered: the agent still ends within the request's bound, not when
    # systemd gives up waiting and kills it.
    server, agent, _ = ctx.connected()
    server.stop()
    started = time.monotonic()
    agent.proc.send_signal(signal.SIGTERM)
    expect_eq(agent.wait_exit(timeout=10), 0, "exit code after SIGTERM")
    expect(time.monotonic() - started < 5, f"ended after {time.monotonic() - started:.1f} s")


OTHER_UID = 54321


def journey_runtime_folder_of_someone_else(ctx):
    # With no private runtime folder the agent does not start, and the client sends nothing.
    env = dict(ctx.env)
    env.pop("XDG_RUNTIME_DIR")
    mine = f"/tmp/vornaagent-{os.geteuid()}"
    if os.path.lexists(mine):
        print(f"  (not checked: {mine} exists on this machine)")
        return
    os.mkdir(mine, 0o700)
    try:
        os.chown(mine, OTHER_UID, OTHER_UID)
        r = subprocess.run([ctx.options.agent, "run"], capture_output=True, env=env, timeout=10)
        expect(r.returncode == 1 and "runtime folder" in r.stderr.decode(), f"run: {r}")
        r = subprocess.run([ctx.options.agent, "login", "ivanov"], input=b"S3cr3t\n",
                           capture_output=True, env=env, timeout=10)
        expect(r.returncode == 3 and "runtime folder" in r.stderr.decode(), f"login: {r}")
    finally:
        os.rmdir(mine)
    # A group-readable XDG_RUNTIME_DIR is not used either.
    os.chmod(ctx.runtime, 0o750)
    r = subprocess.run([ctx.options.agent, "status"], capture_output=True, env=ctx.env, timeout=10)
    expect(r.returncode == 3 and not os.path.exists(os.path.join(ctx.runtime, "vornaagent.sock")),
           f"status with a shared folder: {r}")
    os.chmod(ctx.runtime, 0o700)


def journey_client_checks_who_listens(ctx):
    # Another user's listener at the socket's name gets nothing, not even the login.
    path = os.path.join(ctx.runtime, "vornaagent.sock")
    heard = os.path.join(ctx.dir, "heard")
    pid = os.fork()
    if pid == 0:
        try:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.bind(path)
            os.setgid(OTHER_UID)
            os.setuid(OTHER_UID)  # the peer's credentials are taken at listen()
            s.listen(1)
            s.settimeout(10)
            c, _ = s.accept()
            c.settimeout(2)
            data = b""
            try:
                while chunk := c.recv(4096):
                    data += chunk
            except OSError:
                pass
            with open(heard, "wb") as f:
                f.write(data)
        finally:
            os._exit(0)
    try:
        poll(lambda: os.path.exists(path), 5, "the stranger's socket")
        code, out, err = ctx.cli("login", "ivanov", password="S3cr3t-pass\n")
        expect(code == 2 and "not this user's agent" in err, f"login: {code} {out!r} {err!r}")
        os.waitpid(pid, 0)
        expect_eq(open(heard, "rb").read() if os.path.exists(heard) else b"", b"",
                  "what the stranger heard")
    finally:
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except OSError:
            pass


def journey_start_failures_are_failures(ctx):
    # Someone else's lock file, or a control socket that cannot be made: exit 1 with the reason
    # (systemd restarts a failed agent), never "already running" with 0.
    server = ctx.server("--account", "ivanov:secret")
    lock = os.path.join(ctx.runtime, "vornaagent.lock")
    with open(lock, "w"):
        pass
    os.chown(lock, OTHER_UID, OTHER_UID)
    cmd = [ctx.options.agent, "run", "--config", ctx.site_conf(server)]
    r = subprocess.run(cmd, capture_output=True, env=ctx.env, timeout=10)
    expect(r.returncode == 1 and "lock file" in r.stderr.decode(), f"foreign lock: {r}")
    os.unlink(lock)
    os.mkdir(os.path.join(ctx.runtime, "vornaagent.sock"))
    r = subprocess.run(cmd, capture_output=True, env=ctx.env, timeout=10)
    expect(r.returncode == 1 and "control socket" in r.stderr.decode(), f"no socket: {r}")


def journey_remember_that_cannot_be_stored_is_said(ctx):
    server = ctx.server("--account", "ivanov:secret")
    os.makedirs(ctx.config_home)
    with open(os.path.join(ctx.config_home, "vornaagent"), "w") as f:
        f.write("a file where the folder belongs\n")
    agent = ctx.start(server)
    out = logon(ctx, "ivanov", "secret", "--remember")
    expect("Не удалось сохранить настройки" in out, f"login output {out!r}")
    agent.wait_line("Не удалось сохранить настройки")


def journey_autostart_after_an_upgrade(ctx):
    # The package replaced the running binary: the entry names the installed path, not the
    # kernel's "PATH (deleted)".
    server = ctx.server("--account", "ivanov:secret")
    installed = os.path.join(ctx.dir, "bin", "vornaagent")
    os.makedirs(os.path.dirname(installed))
    shutil.copy(ctx.options.agent, installed)
    options = ctx.options
    ctx.options = argparse.Namespace(**{**vars(options), "agent": installed})
    try:
        ctx.start(server)
        shutil.copy(options.agent, installed + ".new")
        os.rename(installed + ".new", installed)  # as dpkg does
        code, out, err = ctx.cli("autostart", "on")
        expect_eq(code, 0, f"autostart on ({err})")
        entry = open(os.path.join(ctx.config_home, "autostart", "vornaagent.desktop")).read()
        expect(f"Exec={installed} run" in entry and "deleted" not in entry, entry)
    finally:
        ctx.options = options


def journey_address_change_is_seen(ctx):
    server = ctx.server("--account", "ivanov:secret")
    agent = ctx.start(server)
    address = "127.77.0.1/8"
    added = subprocess.run(["ip", "addr", "add", address, "dev", "lo"], capture_output=True)
    if added.returncode != 0:
        print(f"  (address change not checked: cannot add an address here: "
              f"{added.stderr.decode().strip()})")
        return
    try:
        agent.wait_line("Изменение адресов IPv4")
    finally:
        subprocess.run(["ip", "addr", "del", address, "dev", "lo"], capture_output=True)


def journey_second_instance(ctx):
    server = ctx.server("--account", "ivanov:secret")
    ctx.start(server)
    result = subprocess.run([ctx.options.agent, "run", "--config", ctx.site_conf(server)],
                            capture_output=True, env=ctx.env, timeout=10)
    expect_eq(result.returncode, 0, "second run exit code")
    expect("Приложение уже запущено" in result.stderr.decode(), result.stderr.decode())


def journey_support_log(ctx):
    # run --log: the same lines as the debug output, in UTF-8, in the file support asks for.
    server = ctx.server("--account", "ivanov:secret")
    path = os.path.join(ctx.dir, "logs", "agent.log")
    os.makedirs(os.path.dirname(path))
    ctx.start(server, "--log", path)
    logon(ctx)
    ctx.wait_state("connected")
    text = poll(lambda: os.path.exists(path) and "Трей: Подключен" in open(path, encoding="utf-8")
                .read() and open(path, encoding="utf-8").read(), 10, "the support log")
    lines = text.splitlines()
    expect_eq(lines[0], "*** Debug output:", "the log's first line")
    expect(lines[1].startswith("Версия: ") and lines[2].startswith("Сервер: 127.0.0.1, порт ")
           and lines[3].startswith("Ключ сервера: RSA 1024 бит, SHA-256 "), "\n".join(lines[:4]))


def journey_bad_configuration(ctx):
    server = ctx.server("--account", "ivanov:secret")
    bad = os.path.join(ctx.dir, "bad.conf")
    cases = [
        ("address=300.1.1.1\n", "address"),
        ("address=0.0.0.0\n", "address"),
        ("address=255.255.255.255\n", "address"),
        ("# " + "x" * 2000 + "nosavedata=1\n", "longer than"),
        ("port=0\n", "port"),
        ("colour=blue\n", "unknown name"),
        ("key=/nonexistent.pem\n", "key file"),
        ("just words\n", "name=value"),
    ]
    for text, why in cases:
        with open(bad, "w") as f:
            f.write(text)
        r = subprocess.run([ctx.options.agent, "run", "--config", bad], capture_output=True,
                           env=ctx.env, timeout=10)
        expect(r.returncode == 1 and why in r.stderr.decode(), f"{text!r}: {r}")
    with open(bad, "w") as f:
        f.write(f"key={os.path.join(ctx.options.fixtures, 'test_key_1024.pem')}x\n")
    r = subprocess.run([ctx.options.agent, "run", "--config", bad], capture_output=True,
                       env=ctx.env, timeout=10)
    expect_eq(r.returncode, 1, "missing key file")
    # A file that is not a public key: the agent's own message, exit code 1.
    with open(bad, "w") as f:
        f.write(f"address=127.0.0.1\nport={server.port}\nkey={bad}\n")
    r = subprocess.run([ctx.options.agent, "run", "--config", bad], capture_output=True,
                       env=ctx.env, timeout=10)
    expect(r.returncode == 1 and "ключ" in r.stderr.decode(), f"bad key: {r}")
    # A FIFO at the site file's name: refused at once, not waited on.
    fifo = os.path.join(ctx.dir, "fifo.conf")
    os.mkfifo(fifo)
    r = subprocess.run([ctx.options.agent, "run", "--config", fifo], capture_output=True,
                       env=ctx.env, timeout=10)
    expect(r.returncode == 1 and "not a regular file" in r.stderr.decode(), f"FIFO: {r}")
    for address in ("0.0.0.0", "255.255.255.255"):
        r = subprocess.run([ctx.options.agent, "run", "--address", address], capture_output=True,
                           env=ctx.env, timeout=10)
        expect(r.returncode == 1 and "--address" in r.stderr.decode(), f"--address {address}: {r}")


def journey_stamped_binary_and_site_file(ctx):
    server = ctx.server("--account", "ivanov:secret")
    tool = os.path.join(os.path.dirname(ctx.options.server), "vorna_config")
    key = os.path.join(ctx.options.fixtures, "test_key_1024.pub.pem")
    stamped = os.path.join(ctx.dir, "vornaagent")
    subprocess.run([tool, "stamp", ctx.options.agent, "--out", stamped, "--address",
                    "127.0.0.1", "--port", str(server.port), "--key", key], check=True,
                   capture_output=True)
    shown = subprocess.run([tool, "show", stamped], capture_output=True, text=True, check=True)
    expect(f"port: {server.port}" in shown.stdout, shown.stdout)
    # The block alone (no site file here) reaches the server.
    run_logon_quit(ctx, [stamped, "run", "--debug"], "stamped",
                   "Configuration: the block built into the program")
    # A site file wins over the block: the stamped port is wrong, the file's is right.
    subprocess.run([tool, "stamp", stamped, "--in-place", "--port", "9"], check=True,
                   capture_output=True)
    site = ctx.site_conf(server)
    run_logon_quit(ctx, [stamped, "run", "--debug", "--config", site], "site",
                   f"Configuration: {site}")


def run_logon_quit(ctx, command, name, source_line):
    """Runs an agent by `command`, logs on through it, checks that its debug output names the
    configuration it uses, and quits it."""
    out = os.path.join(ctx.dir, f"{name}.out")
    with open(out, "wb") as f:
        proc = subprocess.Popen(command, stdout=f, stderr=subprocess.STDOUT, env=ctx.env)
    try:
        poll(lambda: ctx.cli("status")[0] == 0, 10, f"{name}: the agent answering")
        logon(ctx)
        ctx.wait_state("connected")
        with open(out, encoding="utf-8") as f:
            expect(source_line in f.read(), f"{name}: {source_line!r}")
        ctx.cli("quit")
        poll(lambda: proc.poll() is not None, 15, f"{name}: exit")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def journey_autostart_xdg(ctx):
    server = ctx.server("--account", "ivanov:secret")
    ctx.start(server)
    entry = os.path.join(ctx.config_home, "autostart", "vornaagent.desktop")
    code, out, _ = ctx.cli("autostart", "on")
    expect_eq((code, out.strip()), (0, "autostart: on"), "autostart on")
    with open(entry) as f:
        text = f.read()
    expect(f"Exec={os.path.realpath(ctx.options.agent)} run" in text, text)
    expect(ctx.status()["autostart"] is True, "status shows autostart")
    code, out, _ = ctx.cli("autostart", "off")
    expect_eq((code, os.path.exists(entry)), (0, False), "autostart off removes the entry")
    ctx.cli("quit")
    ctx.agents[-1].wait_exit()
    ctx.start(server, "--domain")
    code, _, err = ctx.cli("autostart", "on")
    expect(code == 2 and not os.path.exists(entry), f"--domain keeps it off: {err}")


def journey_control_socket_hostile(ctx):
    server = ctx.server("--account", "ivanov:secret")
    agent = ctx.start(server)
    path = os.path.join(ctx.runtime, "vornaagent.sock")
    expect_eq(stat.S_IMODE(os.stat(path).st_mode), 0o600, "control socket mode")

    def ask(data, shut=True):
        s = socket.socket(socket.AF_UNIX)
        s.settimeout(10)
        s.connect(path)
        s.sendall(data)
        if shut:
            s.shutdown(socket.SHUT_WR)
        reply = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
        s.close()
        return reply

    cases = [
        (b"\x00\xff\xfe garbage\n", b"1\n"),
        (b"x" * 5000, b"1\nrequest too long"),
        (b"status\tjson\textra\textra\textra\textra\textra\n", b"1\n"),
        (b"login\tivanov\n", b"1\n"),
        (b"login\t" + b"a" * 100 + b"\tpw\t0\n", b"1\nlogin: the login or the password"),
        (b"autostart\tmaybe\n", b"1\n"),
        (b"sleep\t-5\n", b"1\n"),
    ]
    for data, prefix in cases:
        try:
            reply = ask(data)
        except OSError as e:
            raise AssertionError(f"{data[:40]!r}: {e}")
        expect(reply.startswith(prefix), f"{data[:40]!r}: {reply!r}")
    # Many clients at once, some silent: the extra ones are turned away, the agent answers.
    silent = []
    for _ in range(12):
        s = socket.socket(socket.AF_UNIX)
        s.connect(path)
        silent.append(s)
    # The silent ones are closed at their deadline; then the agent answers again.
    poll(lambda: ctx.cli("status")[0] == 0, 15, "status after a flood of silent clients")
    replies = []
    for s in silent:
        s.settimeout(10)
        replies.append(s.recv(100))
        s.close()
    busy, late = b"2\nthe agent is busy with other clients\n", b"1\nno request in time\n"
    expect(set(replies) == {busy, late}, f"answers to the flood: {set(replies)}")
    # Another user is not let in.
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody").pw_uid
        pid = os.fork()
        if pid == 0:
            try:
                os.setuid(nobody)
                s = socket.socket(socket.AF_UNIX)
                s.settimeout(5)
                s.connect(path)
                s.sendall(b"quit\n")
                os._exit(0 if s.recv(100) == b"" else 1)
            except PermissionError:
                os._exit(0)  # the socket file's mode already keeps the user out
            except OSError:
                os._exit(0)
        _, status = os.waitpid(pid, 0)
        expect_eq(os.waitstatus_to_exitcode(status), 0, "another user gets nothing")
    expect(agent.proc.poll() is None, "the agent survived")


JOURNEYS = {name[len("journey_"):]: f for name, f in globals().items()
            if name.startswith("journey_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("names", nargs="*")
    options = parser.parse_args()
    names = options.names or list(JOURNEYS)
    failed = []
    for name in names:
        ctx = Context(options, name)
        started = time.monotonic()
        try:
            JOURNEYS[name](ctx)
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
            for server in ctx.servers:
                print(f"--- server log\n" + "\n".join(str(e) for e in server.log()[-10:]))
        finally:
            ctx.cleanup()
    print(f"{len(names) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
