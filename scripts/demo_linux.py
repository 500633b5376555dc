"""scripts/demo --linux: the Linux agent's main job, natively (no Wine): the test access server
with the account demo/demo, `vornaagent run`, `login`, `status` showing the balance, `info`,
then `quit`, which logs off first. Every step is shown with the command and its output."""
import argparse
import datetime
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "build", "host")
AGENT = os.path.join(HOST, "platform", "linux", "vornaagent")
SERVER = os.path.join(HOST, "tools", "vorna_access_server")
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e", "lib"))
from vorna_e2e.poll import poll  # noqa: E402


class DemoError(Exception):
    pass


def wait_for(condition, timeout, what):
    return poll(condition, timeout, what, 0.1, error=DemoError)


def main(argv):
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    p = argparse.ArgumentParser(prog="scripts/demo --linux", description=__doc__)
    p.add_argument("--no-build", action="store_true", help="skip scripts/build --host-only (which does the host-only set-up first)")
    p.add_argument("--out", default=os.path.join(ROOT, "out", f"demo-linux-{stamp}"),
                   help="output folder (default out/demo-linux-<timestamp>/)")
    args = p.parse_args(argv)
    if not args.no_build:
        print("== building (scripts/build --host-only, which does the set-up first)", flush=True)
        if subprocess.run([os.path.join(ROOT, "scripts", "build"),
                           "--host-only"]).returncode != 0:
            print("demo: the build failed", file=sys.stderr)
            return 1
    for path in (AGENT, SERVER):
        if not os.path.exists(path):
            print(f"demo: {path} is missing (run without --no-build)", file=sys.stderr)
            return 1
    os.makedirs(args.out, exist_ok=True)
    runtime = tempfile.mkdtemp(prefix="vorna-demo-run-")
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime,
               XDG_CONFIG_HOME=os.path.join(args.out, "config"))
    key, public = os.path.join(args.out, "server.pem"), os.path.join(args.out, "server.pub")
    subprocess.run([SERVER, "--generate-key", "1024", "--save-key", key, "--write-public", public,
                    "--keys-only"], check=True)
    server_log = os.path.join(args.out, "server.log")
    server = subprocess.Popen([SERVER, "--key", key, "--port", "0", "--account", "demo:demo",
                               "--balance", "250.00", "--cost", "4.20", "--pending-pings", "2",
                               "--log", server_log],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    agent = None
    status = 1
    try:
        line = server.stdout.readline().strip()
        if not line.startswith("listening "):
            raise DemoError(f"the access server did not start: {line!r}")
        address, port = line.split()[1].rsplit(":", 1)
        print(f"== test access server on {address}:{port}, account demo/demo")
        site = os.path.join(args.out, "site.conf")
        with open(site, "w") as f:
            f.write(f"address={address}\nport={port}\nkey={public}\n")
        agent_log = os.path.join(args.out, "agent.log")
        print(f"$ vornaagent run --debug --config {site}   (output in {agent_log})")
        with open(agent_log, "wb") as out:
            agent = subprocess.Popen([AGENT, "run", "--debug", "--config", site], env=env,
                                     stdout=out, stderr=subprocess.STDOUT)

        def cli(*words, password=None):
            shown = " ".join(words)
            print(f"$ vornaagent {shown}" + ("   (password on standard input)" if password
                                             else ""))
            r = subprocess.run([AGENT, *words], env=env, capture_output=True, text=True,
                               input=password)
            text = (r.stdout + r.stderr).rstrip()
            if text:
                print("  " + text.replace("\n", "\n  "))
            if r.returncode != 0:
                raise DemoError(f"vornaagent {shown} exited with {r.returncode}")
            return r.stdout

        wait_for(lambda: os.path.exists(os.path.join(runtime, "vornaagent.sock")), 10,
                 "the agent's control socket")
        cli("login", "demo", password="demo\n")
        print("== waiting for the PINGs ('2' twice, then the figures)")
        wait_for(lambda: json.loads(subprocess.run([AGENT, "status", "--json"], env=env,
                                                   capture_output=True, text=True).stdout
                                    or "{}").get("balance"), 20, "the balance")
        cli("status")
        cli("status", "--json")
        cli("info")
        cli("quit")
        wait_for(lambda: agent.poll() is not None, 15, "the agent's exit")
        with open(server_log, encoding="utf-8") as f:
            verbs = [json.loads(line).get("verb") for line in f if '"verb"' in line]
        print("== the server saw: " + " ".join(verbs))
        if verbs[-1:] != ["LOGOUT"]:
            raise DemoError("the agent did not log off before it exited")
        print(f"demo: done (logs in {args.out})")
        status = 0
    except DemoError as e:
        print(f"demo: {e}; logs in {args.out}", file=sys.stderr)
    finally:
        if agent is not None and agent.poll() is None:
            agent.terminate()
            agent.wait(timeout=20)
        server.stdin.write("quit\n")
        server.stdin.flush()
        server.wait(timeout=10)
        shutil.rmtree(runtime, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
