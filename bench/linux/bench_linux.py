#!/usr/bin/env python3
"""The Linux agent's benchmark, side by side in one run, written into docs/PERFORMANCE.md (its
"Linux agent" section; bench/run.sh keeps that section when it rewrites the page).

    python3 bench/linux/bench_linux.py [--build build/host] [--batches 5] [--requests 100]
                                       [--starts 7] [--idle-seconds 60]
"""
import argparse
import datetime
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MARK = "<!-- linux-agent -->"
ROUTER_MARK = "<!-- router-agent -->"  # bench/router's section, after this one: kept
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e", "lib"))
from vorna_e2e.poll import poll  # noqa: E402


class Server:
    def __init__(self, exe, key, log, *args):
        self.log = log
        self.proc = subprocess.Popen([exe, "--key", key, "--port", "0", "--log", log,
                                      "--account", "bench:bench", *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.address, port = self.proc.stdout.readline().split()[1].rsplit(":", 1)
        self.port = int(port)

    def verbs(self):
        with open(self.log, encoding="utf-8") as f:
            return [json.loads(line) for line in f if '"verb"' in line]

    def stop(self):
        self.proc.stdin.write("quit\n")
        self.proc.stdin.flush()
        self.proc.wait(timeout=10)


def wait_for(condition, timeout, what, interval=0.001):
    return poll(condition, timeout, what, interval, error=RuntimeError)


def figure(line, name):
    return float(re.search(rf"{name}=([0-9.]+)", line).group(1))


def cpu_ms(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    run_ns = sum(int(open(f"/proc/{pid}/task/{t}/schedstat").read().split()[0])
                 for t in os.listdir(f"/proc/{pid}/task"))
    return (int(fields[11]) + int(fields[12])) * 1000 / ticks, run_ns / 1e6


def rss_kb(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(ROOT, "build", "host"))
    p.add_argument("--batches", type=int, default=5)
    p.add_argument("--requests", type=int, default=100)
    p.add_argument("--starts", type=int, default=7)
    p.add_argument("--idle-seconds", type=int, default=60)
    p.add_argument("--out", default=os.path.join(ROOT, "docs", "PERFORMANCE.md"))
    a = p.parse_args()
    tools = os.path.join(a.build, "tools")
    agent = os.path.join(a.build, "platform", "linux", "vornaagent")
    floor = os.path.join(a.build, "bench", "linux", "floor_client_posix")
    engine = os.path.join(a.build, "bench", "linux", "engine_bench_posix")
    work = tempfile.mkdtemp(prefix="vorna-bench-linux-")
    key, pub = os.path.join(work, "k.pem"), os.path.join(work, "k.pub")
    subprocess.run([os.path.join(tools, "vorna_access_server"), "--generate-key", "1024",
                    "--save-key", key, "--write-public", pub, "--keys-only"], check=True)
    load_before = open("/proc/loadavg").read().split()[:3]
    server = Server(os.path.join(tools, "vorna_access_server"), key, os.path.join(work, "s.log"),
                    "--ping-seconds", "1800")
    site = os.path.join(work, "site.conf")
    with open(site, "w") as f:
        f.write(f"address={server.address}\nport={server.port}\nkey={pub}\n")
    runtime = os.path.join(work, "run")
    os.makedirs(runtime, mode=0o700)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=os.path.join(work, "cfg"))
    try:
        # Per request: floor and engine alternate, batch by batch.
        rows = []
        for _ in range(a.batches):
            f = subprocess.run([floor, server.address, str(server.port), pub, "bench", "bench",
                                str(a.requests)], capture_output=True, text=True, check=True)
            e = subprocess.run([engine, site, "bench", "bench", str(a.requests)], env=env,
                               capture_output=True, text=True, check=True)
            rows.append((figure(f.stdout, "median_ms"), figure(e.stdout, "median_ms"),
                         figure(f.stdout, "p10_ms"), figure(e.stdout, "p10_ms")))
        ratio = statistics.median(e / f for f, e, _, _ in rows)

        # Start to the first LOGON, with remembered credentials.
        proc = subprocess.Popen([agent, "run", "--config", site], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(os.path.join(runtime, "vornaagent.sock")), 10, "socket")
        subprocess.run([agent, "login", "bench", "--remember"], input="bench\n", env=env,
                       check=True, capture_output=True, text=True)
        subprocess.run([agent, "quit"], env=env, check=True, capture_output=True)
        proc.wait(timeout=15)
        starts = []
        for _ in range(a.starts + 1):
            before = len([v for v in server.verbs() if v["verb"] == "LOGON"])
            t0 = time.monotonic()
            proc = subprocess.Popen([agent, "run", "--config", site], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for(lambda: len([v for v in server.verbs() if v["verb"] == "LOGON"]) > before,
                     10, "LOGON")
            starts.append((time.monotonic() - t0) * 1000)
            subprocess.run([agent, "quit"], env=env, capture_output=True)
            proc.wait(timeout=15)
        starts = starts[1:]  # the first is a warm-up
        floor_starts = []
        for _ in range(a.starts):
            t0 = time.monotonic()
            subprocess.run([floor, server.address, str(server.port), pub, "bench", "bench", "0"],
                           capture_output=True)
            floor_starts.append((time.monotonic() - t0) * 1000)

        # Idle with an open session, then resident memory.
        proc = subprocess.Popen([agent, "run", "--config", site], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: json.loads(subprocess.run(
            [agent, "status", "--json"], env=env, capture_output=True, text=True).stdout or
            "{}").get("state") == "connected", 15, "connected", 0.05)
        # The PING that confirms the link a moment after LOGON belongs to the logon, not to the
        # idle session: the window starts once it has been answered.
        logons = [i for i, v in enumerate(server.verbs()) if v["verb"] == "LOGON"]
        wait_for(lambda: any(v["verb"] == "PING" for v in server.verbs()[logons[-1]:]), 15,
                 "the first PING", 0.05)
        time.sleep(0.2)  # its reply handled
        requests_before = len(server.verbs())
        tick0, run0 = cpu_ms(proc.pid)
        time.sleep(a.idle_seconds)  # the measurement window itself
        tick1, run1 = cpu_ms(proc.pid)
        idle_requests = len(server.verbs()) - requests_before
        rss = rss_kb(proc.pid)
        private = 0
        with open(f"/proc/{proc.pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Anonymous:"):
                    private = int(line.split()[1])
        subprocess.run([agent, "quit"], env=env, capture_output=True)
        proc.wait(timeout=15)
    finally:
        server.stop()
    stripped = os.path.join(work, "vornaagent.stripped")
    shutil.copy(agent, stripped)
    subprocess.run(["strip", stripped], check=True)
    size, size_stripped = os.path.getsize(agent), os.path.getsize(stripped)
    needed = re.findall(r"NEEDED\s+(\S+)", subprocess.run(["objdump", "-p", agent],
                                                          capture_output=True,
                                                          text=True).stdout)
    shutil.rmtree(work, ignore_errors=True)

    f_med = statistics.median(r[0] for r in rows)
    e_med = statistics.median(r[1] for r in rows)
    idle_ms = (run1 - run0) * 60 / a.idle_seconds
    when = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                if l.startswith("model name")), "?")
    load_after = open("/proc/loadavg").read().split()[:3]
    section = [MARK, "", "## Linux agent", "",
               f"Measured by `bench/linux/bench_linux.py` on {when}: {os.cpu_count()} cores "
               f"({cpu}), {os.uname().sysname} {os.uname().release}; load average "
               f"{' '.join(load_before)} at the start, {' '.join(load_after)} at the end. All "
               "figures from that one run, the agent built RelWithDebInfo (`build/host`).", "",
               "| Measure | Agent | Floor | Result | Goal | |", "|---|---|---|---|---|---|",
               f"| Per request, GETINFO back to back: the agent's core, engine and POSIX platform "
               f"in its poll loop against a blocking client (connect, four RSA encryptions, "
               f"512-byte send, read to close), median of {a.batches} batches of {a.requests} | "
               f"{e_med:.3f} ms | {f_med:.3f} ms | {ratio:.2f} × floor (median of the batch "
               f"ratios) | ≤ 1.1 × floor | {'met' if ratio <= 1.1 else 'NOT met'} |",
               f"| Start of `vornaagent run` (remembered credentials) to its LOGON in the "
               f"server's log, median of {a.starts} | {statistics.median(starts):.1f} ms | "
               f"{statistics.median(floor_starts):.1f} ms (the floor client started, logged on "
               f"and ended) | {statistics.median(starts) / statistics.median(floor_starts):.2f} × "
               f"floor | (reference) | |",
               f"| CPU per idle minute with an open session ({a.idle_seconds} s measured, "
               f"{idle_requests} requests in it, from the PING confirming the link answered) | "
               f"{idle_ms:.3f} ms | | schedstat run time; "
               f"utime+stime {tick1 - tick0:.0f} ms | < 1 ms | "
               f"{'met' if idle_ms < 1 else 'NOT met'} |",
               f"| Resident memory (VmRSS) after the idle minute | {rss / 1024:.2f} MB | | "
               f"{rss} kB, of which {private} kB the agent's own (anonymous); the rest are file "
               f"pages of the program (the slim static libcrypto inside, when it was built) and "
               f"of the shared libraries | < 4 MB | "
               f"{'met' if rss < 4096 else 'NOT met'} |",
               f"| Binary size | {size_stripped / 1024:.0f} KiB stripped ({size} bytes with debug "
               f"information) | | shared libraries: {', '.join(needed)} | (reference) | |",
               "", "Per request, batch by batch (ms): " + "; ".join(
                   f"floor {f:.3f} / agent {e:.3f} (p10 {fp:.3f} / {ep:.3f})"
                   for f, e, fp, ep in rows) + ".", "",
               "Start-up (ms): " + ", ".join(f"{s:.1f}" for s in starts) + "; floor: " +
               ", ".join(f"{s:.1f}" for s in floor_starts) + ".", "",
               "The idle window starts once the PING that confirms the link (two seconds after "
               "LOGON) has been answered. Its only wake-up is the reconnect timer's, once a "
               "minute; a request in it is the agent's check after an IPv4 address change on the "
               "machine (another user's tests adding or removing addresses), measured here at 0.5 "
               "to 4 ms each.",
               "" if float(load_before[0]) < 1.5 else
               f"The machine was shared and loaded while this ran (load average "
               f"{load_before[0]} at the start): the wall-clock figures are noisier than on an "
               f"idle machine.", ""]
    text = open(a.out, encoding="utf-8").read() if os.path.exists(a.out) else "# Performance\n"
    router = text[text.index(ROUTER_MARK):] if ROUTER_MARK in text else ""
    if MARK in text:
        text = text[:text.index(MARK)].rstrip("\n") + "\n"
    text = text.rstrip("\n") + "\n\n" + "\n".join(section)
    if router:
        text = text.rstrip("\n") + "\n\n" + router
    with open(a.out, "w", encoding="utf-8") as f:
        f.write(text)
    print("\n".join(section))
    return 0


if __name__ == "__main__":
    sys.exit(main())
