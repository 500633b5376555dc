"""Waiting with deadlines: every wait in the e2e tests polls a condition, none sleeps and hopes."""
import time


class Timeout(AssertionError):
    pass


def poll(condition, timeout, what, interval=0.05):
    """Calls `condition` until it returns something truthy, and returns that; raises Timeout
    after `timeout` seconds, naming `what` and the last value seen."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        last = condition()
        if last:
            return last
        if time.monotonic() >= deadline:
            raise Timeout(f"timed out after {timeout:g} s waiting for {what} (last: {last!r})")
        time.sleep(interval)


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def expect_eq(actual, expected, what):
    if actual != expected:
        raise AssertionError(f"{what}: expected {expected!r}, got {actual!r}")
