"""A native agent started by a journey, its output in a file: read it, wait for a line or for the
exit, and end it at clean-up."""
from vorna_e2e.poll import poll


class AgentProcess:
    line_timeout = 10

    def __init__(self, proc, out):
        self.proc, self.out = proc, out

    def output(self):
        with open(self.out, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_line(self, text, timeout=None):
        return poll(lambda: text in self.output(), timeout or self.line_timeout,
                    f"agent output {text!r}")

    def wait_exit(self, timeout=15):
        poll(lambda: self.proc.poll() is not None, timeout, "the agent's exit")
        return self.proc.returncode

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
