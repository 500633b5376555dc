#!/usr/bin/env python3
"""The router agents' figures in one run, written into docs/PERFORMANCE.md (its "Router agent"
section, kept by the other benchmarks when they rewrite the page): each target's stripped
binary and .ipk, and, natively on x86_64, resident memory in an open session and the time per
request against the blocking client built the same way (musl, BearSSL, -Os).

    python3 bench/router/bench_router.py [--router build/router] [--host build/host]
                                         [--batches 5] [--requests 100]
"""
import argparse
import datetime
import glob
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MARK = "<!-- router-agent -->"
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "bench", "linux"))
from bench_linux import Server, figure, rss_kb, wait_for  # noqa: E402

TARGETS = ["mipsel_24kc", "mips_24kc", "arm_cortex-a7_neon-vfpv4", "aarch64_cortex-a53", "x86_64"]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--router", default=os.path.join(ROOT, "build", "router"))
    p.add_argument("--host", default=os.path.join(ROOT, "build", "host"))
    p.add_argument("--batches", type=int, default=5)
    p.add_argument("--requests", type=int, default=100)
    p.add_argument("--out", default=os.path.join(ROOT, "docs", "PERFORMANCE.md"))
    a = p.parse_args()
    tree = os.path.join(a.router, "x86_64")
    # The benchmark's own programs are built in the x86_64 router tree only when asked for.
    subprocess.run(["ninja", "-C", tree, "floor_client_posix", "engine_bench_posix"], check=True,
                   capture_output=True)
    agent = os.path.join(tree, "vornaagent")
    floor = os.path.join(tree, "bench", "linux", "floor_client_posix")
    engine = os.path.join(tree, "bench", "linux", "engine_bench_posix")
    server_exe = os.path.join(a.host, "tools", "vorna_access_server")
    work = tempfile.mkdtemp(prefix="vorna-bench-router-")
    key, pub = os.path.join(work, "k.pem"), os.path.join(work, "k.pub")
    subprocess.run([server_exe, "--generate-key", "1024", "--save-key", key, "--write-public",
                    pub, "--keys-only"], check=True)
    load_before = open("/proc/loadavg").read().split()[:3]
    server = Server(server_exe, key, os.path.join(work, "s.log"), "--ping-seconds", "1800")
    site = os.path.join(work, "site.conf")
    with open(site, "w") as f:
        f.write(f"address={server.address}\nport={server.port}\nkey={pub}\n")
    runtime = os.path.join(work, "run")
    os.makedirs(runtime, mode=0o700)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=os.path.join(work, "cfg"))
    try:
        rows = []
        for _ in range(a.batches):
            f = subprocess.run([floor, server.address, str(server.port), pub, "bench", "bench",
                                str(a.requests)], capture_output=True, text=True, check=True)
            e = subprocess.run([engine, site, "bench", "bench", str(a.requests)], env=env,
                               capture_output=True, text=True, check=True)
            rows.append((figure(f.stdout, "median_ms"), figure(e.stdout, "median_ms")))
        ratio = statistics.median(e / f for f, e in rows)

        # Resident memory in an open session, once the PING confirming the link is answered.
        proc = subprocess.Popen([agent, "run", "--config", site], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(os.path.join(runtime, "vornaagent.sock")), 10, "socket")
        subprocess.run([agent, "login", "bench"], input="bench\n", env=env, check=True,
                       capture_output=True, text=True)
        wait_for(lambda: json.loads(subprocess.run(
            [agent, "status", "--json"], env=env, capture_output=True, text=True).stdout or
            "{}").get("state") == "connected", 15, "connected", 0.05)
        wait_for(lambda: any(v["verb"] == "PING" for v in server.verbs()), 15, "the first PING",
                 0.05)
        time.sleep(0.2)  # its reply handled
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

    sizes = []
    for target in TARGETS:
        binary = os.path.join(a.router, target, "vornaagent")
        ipks = glob.glob(os.path.join(a.router, f"vornaagent_*_{target}.ipk"))
        sizes.append((target, os.path.getsize(binary) if os.path.exists(binary) else None,
                      os.path.getsize(ipks[0]) if ipks else None))
    when = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                if l.startswith("model name")), "?")
    load_after = open("/proc/loadavg").read().split()[:3]

    def kb(n):
        return "not built" if n is None else f"{n / 1024:.1f} KB ({n} bytes)"

    def met(n, goal):
        return "" if n is None else ("met" if n <= goal * 1024 else "NOT met")

    f_med = statistics.median(r[0] for r in rows)
    e_med = statistics.median(r[1] for r in rows)
    section = [MARK, "", "## Router agent", "",
               f"Measured by `bench/router/bench_router.py` on {when}: {os.cpu_count()} cores "
               f"({cpu}), {os.uname().sysname} {os.uname().release}; load average "
               f"{' '.join(load_before)} at the start, {' '.join(load_after)} at the end. All "
               "figures from that one run. The router agents are static (musl), with the BearSSL "
               "backend, built MinSizeRel with unused sections dropped (`scripts/build`, "
               "`build/router/TARGET`).", "",
               "| Measure | Agent | Floor | Result | Goal | |", "|---|---|---|---|---|---|"]
    for target, binary, ipk in sizes:
        section.append(f"| `{target}`: binary, stripped | {kb(binary)} | | | ≤ 300 KB | "
                       f"{met(binary, 300)} |")
        section.append(f"| `{target}`: `.ipk` | {kb(ipk) if ipk else 'not built here'} | | | "
                       f"≤ 150 KB | {met(ipk, 150)} |")
    section += [
        f"| Resident memory (VmRSS) of the x86_64 agent in an open session, natively | "
        f"{rss} kB | | of which {private} kB its own (anonymous), the rest the program's file "
        f"pages | < 1 MB | {'met' if rss < 1024 else 'NOT met'} |",
        f"| Per request, GETINFO back to back, x86_64: the agent's core, engine and POSIX "
        f"platform in its poll loop against the blocking client, both built the same way, "
        f"median of {a.batches} batches of {a.requests} | {e_med:.3f} ms | {f_med:.3f} ms | "
        f"{ratio:.2f} × floor (median of the batch ratios) | ≤ 1.1 × floor | "
        f"{'met' if ratio <= 1.1 else 'NOT met'} |",
        "", "Per request, batch by batch (ms): " + "; ".join(
            f"floor {f:.3f} / agent {e:.3f}" for f, e in rows) + ".", ""]
    if float(load_before[0]) >= 1.5:
        section += [f"The machine was shared and loaded while this ran (load average "
                    f"{load_before[0]} at the start): the timings are noisier than on an idle "
                    f"machine.", ""]
    text = open(a.out, encoding="utf-8").read() if os.path.exists(a.out) else "# Performance\n"
    if MARK in text:
        text = text[:text.index(MARK)].rstrip("\n") + "\n"
    text = text.rstrip("\n") + "\n\n" + "\n".join(section)
    with open(a.out, "w", encoding="utf-8") as f:
        f.write(text)
    print("\n".join(section))
    return 0


if __name__ == "__main__":
    sys.exit(main())
