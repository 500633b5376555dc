"""Waiting with deadlines: every wait in the tests, the demo and the bench polls a condition,
none sleeps and hopes. This is the one copy; other scripts put tests/e2e/lib on sys.path."""
import time


class Timeout(AssertionError):
    pass


def poll(condition, timeout, what, interval=0.05, error=Timeout):
    """Calls `condition` until it returns something truthy, and returns that; raises `error`
    (the caller's own failure type, Timeout by default) after `timeout` seconds, naming `what`
    and the last value seen."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        last = condition()
        if last:
            return last
        if time.monotonic() >= deadline:
            raise error(f"timed out after {timeout:g} s waiting for {what} (last: {last!r})")
        time.sleep(interval)


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def expect_eq(actual, expected, what):
    if actual != expected:
        raise AssertionError(f"{what}: expected {expected!r}, got {actual!r}")
