"""The test access server (tools/access_server) on an ephemeral port, with its JSON log."""
import json
import os
import selectors
import subprocess
import time

from .poll import poll


class AccessServer:
    def __init__(self, exe, key_path, log_path, args=()):
        self.log_path = log_path
        cmd = [exe, "--key", key_path, "--port", "0", "--log", log_path, *args]
        with open(log_path + ".stderr", "wb") as err:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=err)
        line = self._first_line(timeout=10)
        if not line.startswith("listening "):
            self.stop()
            raise AssertionError(f"access server did not start: {line!r} "
                                 f"(stderr in {log_path}.stderr)")
        self.address, port = line.split()[1].rsplit(":", 1)
        self.port = int(port)

    def _first_line(self, timeout):
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        deadline = time.monotonic() + timeout
        data = b""
        while b"\n" not in data and time.monotonic() < deadline:
            if sel.select(timeout=max(0.0, deadline - time.monotonic())):
                chunk = os.read(self.proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                data += chunk
        sel.close()
        return data.decode("utf-8", "replace").split("\n")[0]

    def control(self, line):
        """A control command on standard input (see vorna_access_server --help)."""
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def log(self):
        if not os.path.exists(self.log_path):
            return []
        entries = []
        with open(self.log_path, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line:
                    try:
                        entries.append(json.loads(line))
                    except ValueError:
                        pass  # a line being written right now
        return entries

    def requests(self, verb=None):
        return [e for e in self.log() if "verb" in e and (verb is None or e["verb"] == verb)]

    def wait_requests(self, verb, count=1, timeout=10):
        return poll(lambda: len(self.requests(verb)) >= count and self.requests(verb), timeout,
                    f"{count} {verb} request(s) at the access server")

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.control("quit")
                self.proc.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass
