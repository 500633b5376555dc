#!/usr/bin/env python3
"""Process tests of vorna_access_server: the real server on an ephemeral port, real sockets."""
import argparse
import json
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "lib"))
from vorna_e2e.poll import poll  # noqa: E402

ARGS = None
DEADLINE = 5.0  # seconds any awaited condition may take


def shared_fixture(name):
    return os.path.join(ARGS.fixtures, name)


class Server:
    """One server process; stopped with quit, killed only if it does not stop."""

    def __init__(self, *options, key="test_key_1024.pem"):
        self.dir = tempfile.TemporaryDirectory(prefix="vorna-server-")
        self.log_path = os.path.join(self.dir.name, "log.jsonl")
        self.errors_path = os.path.join(self.dir.name, "stderr")
        command = [ARGS.server, "--key", shared_fixture(key), "--log", self.log_path, *options]
        with open(self.errors_path, "wb") as errors:
            self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=errors)
        ready, _, _ = select.select([self.proc.stdout], [], [], DEADLINE)
        if not ready:
            self.kill()
            raise AssertionError("no listening line")
        line = self.proc.stdout.readline().decode()
        if not line.startswith("listening "):
            self.kill()
            raise AssertionError("unexpected first line %r, stderr %r" % (line, self.errors()))
        self.address, port = line.split()[1].rsplit(":", 1)
        self.port = int(port)

    def errors(self):
        with open(self.errors_path, encoding="utf-8", errors="replace") as errors:
            return errors.read()

    def entries(self):
        with open(self.log_path, encoding="utf-8") as log:
            return [json.loads(line) for line in log if line.endswith("\n")]

    def requests(self):
        return [e for e in self.entries() if "verb" in e or "error" in e]

    def wait_log(self, predicate, what):
        return poll(lambda: next((e for e in self.entries() if predicate(e)), None), DEADLINE,
                    what, interval=0.02)

    def command(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        return self.wait_log(lambda e: e.get("control") == line, "control " + line)

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
            except (BrokenPipeError, ValueError):  # stdin already closed by the test
                pass
        try:
            code = self.proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("server did not stop on quit")
        finally:
            self.close_pipes()
        return code

    def kill(self):
        self.proc.kill()
        self.proc.wait()
        self.close_pipes()

    def close_pipes(self):
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, kind=None, value=None, trace=None):
        try:
            code = self.stop() if self.proc.poll() is None else self.proc.returncode
            errors = self.errors()
        finally:
            self.close_pipes()
            self.dir.cleanup()
        if kind is None and code != 0:
            raise AssertionError("server exited with %s: %s" % (code, errors))


def frame(verb, field2, field3, field4, block3_hex=None, key="test_key_1024.pub.pem"):
    """The bytes the agent would send, composed by vorna_request."""
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "frame")
        command = [ARGS.request, "--key", shared_fixture(key), "--frame-out", path,
                   "--show-block3", verb, field2, field3, field4]
        if block3_hex:
            command[1:1] = ["--block3-hex", block3_hex]
        done = subprocess.run(command, capture_output=True, timeout=DEADLINE)
        assert done.returncode == 0, done.stderr
        with open(path, "rb") as data:
            return data.read()


def exchange(port, data, read_limit=DEADLINE, shut_write=False):
    """Sends data, reads to the end. Returns (reply bytes, chunk count, outcome)."""
    with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as connection:
        try:
            connection.sendall(data)
            if shut_write:
                connection.shutdown(socket.SHUT_WR)
        except OSError:  # the server refused the data and reset the connection
            return b"", 0, "reset"
        connection.settimeout(read_limit)
        reply, chunks = b"", 0
        while True:
            try:
                chunk = connection.recv(65536)
            except socket.timeout:
                return reply, chunks, "timeout"
            except ConnectionResetError:
                return reply, chunks, "reset"
            if not chunk:
                return reply, chunks, "eof"
            reply += chunk
            chunks += 1


def ask(port, verb, field2, field3, field4, key="test_key_1024.pub.pem"):
    reply, _, outcome = exchange(port, frame(verb, field2, field3, field4, key=key))
    assert outcome == "eof", outcome
    return reply.decode("cp1251", errors="replace")


class Sessions(unittest.TestCase):
    def test_whole_session_from_logon_to_logout(self):
        with Server("--account", "иванов:секрет", "--pending-pings", "2") as server:
            steps = [
                ("LOGON", "секрет", "253702", "1 1"),
                ("PING", "1", "1", "2"),
                ("PING", "1", "2", "2"),
                ("PING", "1", "3", "1 150.25 3.10 0"),
                ("GETINFO", "1", "VOID4", "1 Баланс: 150.25\nЗа сессию: 3.10"),
                ("LOGOUT", "1", "VOID4", "1"),
                ("PING", "1", "4", "0Сессия не найдена"),
            ]
            for verb, third, fourth, expected in steps:
                self.assertEqual(ask(server.port, verb, "иванов", third, fourth), expected, verb)
            logged = server.requests()
            self.assertEqual([e["verb"] for e in logged], [s[0] for s in steps])
            self.assertEqual([e["reply"] for e in logged], [s[3] for s in steps])
            self.assertEqual(logged[0]["fields"], ["LOGON", "иванов", "секрет", "253702"])
            self.assertEqual(logged[3]["fields"][3], "3")
            self.assertTrue(all(len(e["block3_hex"]) == 256 and e["fault"] == "none"
                                for e in logged))
            self.assertEqual(server.stop(), 0)
            self.assertEqual(server.entries()[-1]["event"], "stop")

    def test_refusals(self):
        cases = [
            ((), "petrov", "wrong", "2 Неверное имя пользователя или пароль"),
            (("--refuse-logon", "Нет средств на счёте"), "petrov", "qwerty",
             "0 Нет средств на счёте"),
            (("--ping-seconds", "10", "--first-session-id", "57"), "petrov", "qwerty",
             "3 57 10"),
        ]
        for options, login, password, expected in cases:
            with Server("--account", "petrov:qwerty", *options) as server:
                self.assertEqual(ask(server.port, "LOGON", login, password, "253702"),
                                 expected, options)

    def test_resent_third_block_is_the_same_password(self):
        with Server("--account", "petrov:qwerty") as server:
            first = frame("LOGON", "petrov", "qwerty", "253702")
            block3 = first[256:384].hex()
            self.assertEqual(exchange(server.port, first)[0], b"1 1")
            resent = frame("LOGON", "petrov", "not used", "253702", block3_hex=block3)
            self.assertEqual(resent[256:384].hex(), block3)
            self.assertEqual(exchange(server.port, resent)[0], b"1 2")
            wrong = frame("LOGON", "petrov", "wrong", "253702")
            self.assertEqual(exchange(server.port, wrong)[0][:1], b"2")
            again = frame("LOGON", "petrov", "x", "253702", block3_hex=wrong[256:384].hex())
            self.assertEqual(exchange(server.port, again)[0][:1], b"2")
            seen = [e["block3_seen"] for e in server.requests()]
            self.assertEqual(seen, [False, True, False, False])
            self.assertEqual(server.requests()[1]["block3_hex"], block3)

    def test_2048_bit_key_takes_1024_byte_frames(self):
        with Server("--account", "petrov:qwerty", key="test_key_2048.pem") as server:
            data = frame("LOGON", "petrov", "qwerty", "253702", key="test_key_2048.pub.pem")
            self.assertEqual(len(data), 1024)
            self.assertEqual(exchange(server.port, data)[0], b"1 1")
            short = frame("LOGON", "petrov", "qwerty", "253702")  # a 1024-bit client's frame
            self.assertEqual(exchange(server.port, short, shut_write=True)[0], b"")
            server.wait_log(lambda e: "short request: 512 of 1024" in e.get("error", ""),
                            "short frame logged")

    def test_scenario_file_sets_accounts_and_figures(self):
        with tempfile.NamedTemporaryFile("w", suffix=".scenario", encoding="utf-8",
                                         delete=False) as scenario:
            scenario.write("# figures per account\n"
                           "account = ivanov:secret\n"
                           "account.петров.password = qwerty\n"
                           "account.петров.balance = 2.50\n"
                           "account.петров.digit = 1\n"
                           "account.петров.message = \"Пополните счёт\"\n"
                           "reply.LOGOUT = 1 bye\n")
        try:
            with Server("--scenario", scenario.name) as server:
                self.assertEqual(ask(server.port, "LOGON", "петров", "qwerty", "253702"), "1 1")
                self.assertEqual(ask(server.port, "LOGON", "ivanov", "secret", "253702"), "1 2")
                self.assertEqual(ask(server.port, "PING", "петров", "1", "1"),
                                 "1 2.50 3.10 1 Пополните счёт")
                self.assertEqual(ask(server.port, "PING", "ivanov", "2", "1"),
                                 "1 150.25 3.10 0")
                self.assertEqual(ask(server.port, "LOGOUT", "ivanov", "2", "VOID4"), "1 bye")
        finally:
            os.unlink(scenario.name)


class BadInput(unittest.TestCase):
    def test_bad_requests_are_logged_and_closed_without_a_reply(self):
        with Server("--account", "petrov:qwerty", "--read-timeout", "300") as server:
            garbage = bytes(range(256)) * 2
            self.assertEqual(exchange(server.port, garbage), (b"", 0, "eof"))
            self.assertEqual(exchange(server.port, b"x" * 100, shut_write=True), (b"", 0, "eof"))
            started = time.monotonic()
            self.assertEqual(exchange(server.port, b"y" * 100), (b"", 0, "eof"))
            self.assertLess(time.monotonic() - started, 2.0)
            self.assertEqual(exchange(server.port, b"", shut_write=True), (b"", 0, "eof"))
            errors = [e["error"] for e in server.requests()]
            self.assertEqual(len(errors), 4, errors)
            self.assertIn("block 1 does not decrypt", errors[0])
            self.assertIn("short request: 100 of 512 bytes before the client closed", errors[1])
            self.assertIn("read timeout: 100 of 512 bytes", errors[2])
            self.assertIn("short request: 0 of 512", errors[3])
            self.assertEqual(ask(server.port, "LOGON", "petrov", "qwerty", "253702"), "1 1")

    def test_a_flood_of_odd_lengths_does_not_stop_the_server(self):
        with Server("--account", "petrov:qwerty", "--read-timeout", "200") as server:
            for length in (1, 127, 128, 129, 511, 513, 1000, 5000):
                reply, _, outcome = exchange(server.port, os.urandom(length), shut_write=True)
                self.assertEqual(reply, b"", length)
                self.assertIn(outcome, ("eof", "reset"), length)
            self.assertEqual(ask(server.port, "LOGON", "petrov", "qwerty", "253702"), "1 1")
            self.assertIsNone(server.proc.poll())


class Faults(unittest.TestCase):
    PING_REPLY = b"1 150.25 3.10 0"

    def session(self, *options):
        server = Server("--account", "petrov:qwerty", *options)
        self.addCleanup(server.__exit__)
        self.assertEqual(ask(server.port, "LOGON", "petrov", "qwerty", "253702"), "1 1")
        return server

    def ping(self, server, **keywords):
        return exchange(server.port, frame("PING", "petrov", "1", "1"), **keywords)

    def test_each_fault_as_the_client_sees_it(self):
        full = self.PING_REPLY
        cases = [
            ("split:PING", lambda r, n, o, s: (r, o) == (full, "eof") and n >= len(full) // 2),
            ("slow:100", lambda r, n, o, s: (r, o) == (full, "eof") and s >= 0.1 * (len(full) - 1)),
            ("close", lambda r, n, o, s: (r, o) == (full, "eof")),
            ("reset:PING", lambda r, n, o, s: o == "reset" and full.startswith(r) and r != full),
            ("oversize:2000", lambda r, n, o, s: len(r) == 2000 and r.startswith(full + b".")),
            ("oversize:4", lambda r, n, o, s: r == full[:4]),
            ("drop:PING", lambda r, n, o, s: (r, o) == (b"", "eof")),
            ("drop", lambda r, n, o, s: (r, o) == (b"", "eof")),
        ]
        server = self.session()
        for fault, seen in cases:
            server.command("fault %s 1" % fault)
            started = time.monotonic()
            reply, chunks, outcome = self.ping(server)
            seconds = time.monotonic() - started
            self.assertTrue(seen(reply, chunks, outcome, seconds),
                            (fault, reply[:40], chunks, outcome, seconds))
            self.assertEqual(self.ping(server), (full, 1, "eof"), fault + " used up")
        faults = [e["fault"] for e in server.requests()]
        self.assertIn("slow:100", faults)
        self.assertNotIn("drop", faults, "a request dropped at accept is never read")
        server.wait_log(lambda e: e.get("event") == "dropped", "drop at accept logged")

    def test_silent_keeps_the_connection_open_until_the_client_closes(self):
        server = self.session("--fault", "silent:PING", "--fault-count", "1")
        with socket.create_connection(("127.0.0.1", server.port), timeout=DEADLINE) as client:
            client.sendall(frame("PING", "petrov", "1", "1"))
            server.wait_log(lambda e: e.get("verb") == "PING", "PING read")
            client.settimeout(0.5)
            self.assertRaises(socket.timeout, client.recv, 100)
        server.wait_log(lambda e: e.get("event") == "client closed", "close noticed")
        self.assertEqual(self.ping(server), (self.PING_REPLY, 1, "eof"))

    def test_noaccept_holds_connections_in_the_backlog(self):
        server = self.session()
        server.command("fault noaccept")
        with socket.create_connection(("127.0.0.1", server.port), timeout=DEADLINE) as client:
            client.sendall(frame("PING", "petrov", "1", "1"))
            client.settimeout(0.5)
            self.assertRaises(socket.timeout, client.recv, 100)
            self.assertEqual(len(server.requests()), 1, "only the LOGON was read")
            server.command("fault none")
            client.settimeout(DEADLINE)
            self.assertEqual(client.recv(100), self.PING_REPLY)

    def test_command_line_faults_count_only_their_verb(self):
        server = self.session("--fault", "oversize:600:PING", "--fault-count", "2")
        self.assertEqual(ask(server.port, "GETINFO", "petrov", "1", "VOID4")[:2], "1 ")
        self.assertEqual([len(self.ping(server)[0]) for _ in range(3)], [600, 600, 15])


class Control(unittest.TestCase):
    def test_commands_change_the_answers(self):
        with Server("--account", "иванов:секрет") as server:
            self.assertEqual(ask(server.port, "LOGON", "иванов", "секрет", "253702"), "1 1")
            self.assertEqual(server.command("set * balance 5.00")["result"], "ok")
            self.assertEqual(server.command("set иванов digit 2")["result"], "ok")
            self.assertEqual(ask(server.port, "PING", "иванов", "1", "1"), "1 5.00 3.10 2")
            server.command("reply GETINFO 1 Статистика")
            self.assertEqual(ask(server.port, "GETINFO", "иванов", "1", "VOID4"), "1 Статистика")
            server.command("clear-reply GETINFO")
            self.assertEqual(ask(server.port, "GETINFO", "иванов", "1", "VOID4"),
                             "1 Баланс: 5.00\nЗа сессию: 3.10")
            server.command("end-session иванов Сеанс окончен администратором")
            self.assertEqual(ask(server.port, "PING", "иванов", "1", "2"),
                             "0Сеанс окончен администратором")
            bad = server.command("set иванов digit 9")
            self.assertEqual(bad["result"], "error")
            self.assertIn("0, 1 or 2", bad["detail"])
            self.assertEqual(server.command("pending-pings 1")["result"], "ok")
            self.assertEqual(ask(server.port, "LOGON", "иванов", "секрет", "253702"), "1 2")
            self.assertEqual(ask(server.port, "PING", "иванов", "2", "1"), "2")

    def test_end_of_stdin_is_not_quit_but_signals_are(self):
        for stop in (signal.SIGTERM, signal.SIGINT):
            with Server("--account", "petrov:qwerty") as server:
                server.proc.stdin.close()
                self.assertEqual(ask(server.port, "LOGON", "petrov", "qwerty", "253702"), "1 1")
                self.assertIsNone(server.proc.poll())
                server.proc.send_signal(stop)
                self.assertEqual(server.proc.wait(timeout=DEADLINE), 0)
                self.assertEqual(server.entries()[-1],
                                 {"t": server.entries()[-1]["t"], "event": "stop",
                                  "reason": stop.name})

    def test_control_port_answers_each_command(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            control_port = probe.getsockname()[1]
        with Server("--control-port", str(control_port)) as server:
            with socket.create_connection(("127.0.0.1", control_port), timeout=DEADLINE) as link:
                link.sendall(b"pending-pings 3\nfault what\n")
                answers = b""
                while answers.count(b"\n") < 2:
                    answers += link.recv(1000)
            lines = answers.decode().splitlines()
            self.assertTrue(lines[0].startswith("ok "), lines)
            self.assertTrue(lines[1].startswith("error unknown fault"), lines)
            self.assertEqual(server.entries()[-1]["source"], "control-port")


class StartUp(unittest.TestCase):
    def run_server(self, *options):
        return subprocess.run([ARGS.server, *options], capture_output=True, timeout=30,
                              stdin=subprocess.DEVNULL)

    def test_public_key_is_written_in_the_agents_form(self):
        with tempfile.TemporaryDirectory() as scratch:
            path, key = os.path.join(scratch, "pub.pem"), os.path.join(scratch, "k.pem")
            for bits in (1024, 2048):
                private = shared_fixture("test_key_%d.pem" % bits)
                done = self.run_server("--key", private, "--write-public", path, "--keys-only")
                self.assertEqual(done.returncode, 0, done.stderr)
                with open(path, "rb") as written, open(private[:-4] + ".pub.pem", "rb") as pub:
                    self.assertEqual(written.read(), pub.read().rstrip(b"\n"), bits)
            done = self.run_server("--generate-key", "1024", "--save-key", key,
                                   "--write-public", path, "--keys-only")
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(path, "rb") as written:
                text = written.read()
            self.assertEqual((len(text), text[:27], text[-24:]),
                             (271, b"-----BEGIN PUBLIC KEY-----\n", b"-----END PUBLIC KEY-----"))
            # The saved private key serves, and the public half written is its own.
            with Server("--account", "a:b", "--key", key) as server:
                data = subprocess.run([ARGS.request, "--key", path, "--port", str(server.port),
                                       "LOGON", "a", "b", "253702"], capture_output=True,
                                      timeout=DEADLINE)
                self.assertEqual(data.stdout, b"1 1")

    def test_port_file_and_listening_line_agree(self):
        with tempfile.TemporaryDirectory() as scratch:
            port_file = os.path.join(scratch, "port")
            with Server("--port-file", port_file) as server:
                self.assertEqual(server.address, "127.0.0.1")
                with open(port_file) as written:
                    self.assertEqual(written.read(), "%d\n" % server.port)

    def test_bad_start_ups_exit_with_a_message(self):
        cases = [
            (("--bind", "0.0.0.0"), 1, "without --allow-remote"),
            (("--port", "http"), 1, "not a whole number"),
            (("--key", shared_fixture("test_key_1024.pub.pem")), 1, "expected a private key"),
            (("--key", "/nonexistent.pem"), 1, "cannot open"),
            (("--key", shared_fixture("test_key_1024.pem"), "--generate-key", "2048"), 1,
             "not both"),
        ]
        for options, code, message in cases:
            done = self.run_server(*options)
            self.assertEqual(done.returncode, code, options)
            self.assertIn(message, done.stderr.decode(), options)
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            done = self.run_server("--port", str(taken.getsockname()[1]))
            self.assertEqual(done.returncode, 2)
            self.assertIn("cannot listen", done.stderr.decode())

    def test_remote_listening_needs_its_switch(self):
        with Server("--bind", "0.0.0.0", "--allow-remote") as server:
            self.assertEqual(server.address, "0.0.0.0")
            self.assertEqual(ask(server.port, "PING", "a", "1", "1"), "0Сессия не найдена")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("server", "config", "request", "fixtures", "tool-fixtures"):
        parser.add_argument("--" + name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
