"""Soak: the real agent under Wine through thousands of request cycles (PINGs, statistics,
hovers, logoff and logon, with the access server's faults mixed in), driven by soak_driver from
inside Wine. Afterwards the agent still logs on, pings and logs off, exits cleanly, and its
handles and memory, sampled from outside, stayed flat after warm-up.

Environment as for the end-to-end tests, plus VORNA_SOAK_DRIVER_EXE; VORNA_SOAK_CYCLES (default
2400) sets the length of the run."""
import os
import socket
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.path.insert(0, os.path.join(here, "..", "e2e", "lib"))

import soak_analysis  # noqa: E402
from vorna_e2e import runner, ui  # noqa: E402
from vorna_e2e.poll import expect, expect_eq  # noqa: E402
from vorna_e2e.wine import required_path  # noqa: E402

USER, PASSWORD = "ivanov", "secret"
CYCLES = int(os.environ.get("VORNA_SOAK_CYCLES", "2400"))
DRIVER_DEADLINE_S = 300


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def password_block(fixtures):
    """The password as the agent remembers it: encrypted with the server's public key."""
    key = os.path.join(fixtures, "test_key_1024.pub.pem")
    out = subprocess.run(["openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", key],
                         input=PASSWORD.encode(), capture_output=True, timeout=30, check=True)
    expect_eq(len(out.stdout), 128, "password block size")
    return out.stdout


def remember_credentials(ctx, block):
    for name, kind, value in (("savedata", "REG_DWORD", 1), ("login", "REG_SZ", USER),
                              ("pass", "REG_BINARY", block)):
        ctx.registry.set_value(ui.SETTINGS_KEY, name, kind, value)


def run_driver(ctx, args, out_path):
    """Runs soak_driver to its end (bounded); returns (exit code, output text)."""
    driver = required_path("VORNA_SOAK_DRIVER_EXE")
    with open(out_path, "wb") as out:
        proc = subprocess.Popen(["wine", driver, *args], stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, cwd=ctx.dir)
    try:
        code = proc.wait(timeout=DRIVER_DEADLINE_S)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        code = None
    with open(out_path, "rb") as f:
        return code, f.read().decode("utf-8", "replace")


def print_figures(records, rows, requests, took):
    done = next((f for k, f in records if k == "done"), {})
    samples = soak_analysis.samples_of(records)
    faults = [f for k, f in records if k == "fault"]
    verbs = {v: sum(1 for r in requests if r["verb"] == v)
             for v in ("LOGON", "PING", "GETINFO", "LOGOUT")}
    driving = int(done.get("ms", 0)) / 1000
    print(f"soak: {done.get('cycles', '?')} request cycles in {driving:.1f} s of driving "
          f"({took:.1f} s with start and exit), {done.get('rounds', '?')} rounds, "
          f"{done.get('hovers', '?')} hovers, {len(faults)} faults, "
          f"{done.get('network_errors', '?')} network errors, {len(samples)} samples")
    print("  requests: " + ", ".join(f"{n} {v}" for v, n in verbs.items()))
    for f in faults:
        print(f"  fault {f['case']:<22} {f['outcome']:<36} {f['recovered']:<13} {f['ms']} ms")
    print(soak_analysis.format_rows(rows), flush=True)


def test_thousands_of_cycles_leave_the_agent_working_and_flat(ctx):
    block = password_block(ctx.env.fixtures)
    remember_credentials(ctx, block)
    control_port = free_port()
    server = ctx.server("--account", f"{USER}:{PASSWORD}", "--ping-seconds", "1800",
                        "--control-port", str(control_port))
    agent = ctx.start_agent("--debug", exe=ctx.agent_exe(server))
    # Remembered credentials: it logs on by itself, without showing its window.
    agent.wait_line(ui.DEBUG_RECEIVED + "3 ")
    with open(f"/proc/{agent.proc.pid}/cmdline", "rb") as f:
        expect(b"VornaAgent.exe" in f.read(), "the started process is not the agent")

    started = time.monotonic()
    code, output = run_driver(ctx, [
        "soak", "--agent-exe", ctx.wine.windows_path(agent.exe),
        "--server-log", ctx.wine.windows_path(server.log_path),
        "--agent-out", ctx.wine.windows_path(agent.out_path),
        "--control-port", str(control_port), "--unix-pid", str(agent.proc.pid),
        "--cycles", str(CYCLES), "--sample-every", str(max(5, CYCLES // 100)),
        "--deadline", str(DRIVER_DEADLINE_S - 20)],
        os.path.join(ctx.dir, "driver.out"))
    took = time.monotonic() - started
    records = soak_analysis.parse_records(output)
    result = next((f for k, f in records if k == "result"), None)
    if code != 0 or result is None or result.get("result") != "ok":
        raise AssertionError(f"soak driver exit {code}:\n" + "\n".join(output.splitlines()[-15:]))

    # The driver's last act was Exit without a session: the agent ends by itself.
    expect_eq(agent.wait_exit(10), 0, "agent exit code")

    samples = soak_analysis.samples_of(records)
    rows = soak_analysis.analyse(samples, warmup_cycles=max(200, CYCLES // 10))
    print_figures(records, rows, server.requests(), took)
    growing = [r["figure"] for r in rows if not r["flat"]]
    expect(not growing, f"grows over the run: {growing}")
    expect({"handles", "ws_kb", "rss_kb"} <= {r["figure"] for r in rows},
           "handle count or memory could not be read")

    problems = soak_analysis.check_requests(server.requests(), USER, block.hex())
    expect(not problems, f"{len(problems)} inconsistent requests, first: {problems[:5]}")
    expect(len(server.requests()) >= CYCLES, f"only {len(server.requests())} requests")


if __name__ == "__main__":
    runner.run([test_thousands_of_cycles_leave_the_agent_working_and_flat])
