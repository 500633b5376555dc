#!/usr/bin/env python3
"""The procd init script against the stand-in of rc.common (tests/router/standin): what it asks
procd for at start, and the logoff command. The real procd is not run here.

    test_init_script.py
"""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
SCRIPT = os.path.join(ROOT, "installer", "openwrt", "vornaagent.init")
STANDIN = os.path.join(HERE, "standin", "rc.common")

CONFIG = """
config agent 'main'
\toption server '10.0.0.1'

config account 'wan'
\toption enabled '1'
\toption login 'ivanov'
\toption password 'it'\\''s secret'
\toption device 'eth0.2'

config account 'lan'
\toption enabled '0'

config other 'wan3'
\toption enabled '1'

config account 'wan2'
\toption login 'petrov'
"""


def run(action, config, env_extra=None):
    with tempfile.TemporaryDirectory(prefix="vorna-init-") as tmp:
        configs = os.path.join(tmp, "config")
        os.mkdir(configs)
        with open(os.path.join(configs, "vornaagent"), "w") as f:
            f.write(config)
        log = os.path.join(tmp, "procd.log")
        env = dict(os.environ, STANDIN_LOG=log, UCI_CONFIG_DIR=configs, **(env_extra or {}))
        result = subprocess.run(["sh", STANDIN, SCRIPT, action], env=env, capture_output=True,
                                text=True, timeout=30)
        if result.returncode != 0:
            raise AssertionError(f"{action}: exit {result.returncode}: {result.stderr}")
        text = open(log).read() if os.path.exists(log) else ""
        return text.splitlines(), result.stdout


def expect_eq(got, want, what):
    if got != want:
        raise AssertionError(f"{what}:\n  got  {got!r}\n  want {want!r}")


def check_start():
    lines, _ = run("start", CONFIG)
    want = ["service vornaagent.init start START=95 STOP=10"]
    for name in ("wan", "wan2"):  # lan is disabled; wan3 is no account
        want += [f"instance {name}",
                 f"param command /usr/bin/vornaagent run --uci /etc/config/vornaagent "
                 f"--account {name}",
                 "param respawn 3600 5 0",  # threshold, timeout, retry: 0 retries without end
                 "param stdout 1", "param stderr 1",
                 "param file /etc/config/vornaagent",
                 "close"]
    want.append("reload_trigger vornaagent")
    expect_eq(lines, want, "what start asks procd for")


def check_nothing_enabled():
    example = open(os.path.join(ROOT, "installer", "openwrt", "vornaagent.config")).read()
    lines, _ = run("start", example)
    expect_eq([l for l in lines if l.startswith("instance")], [],
              "the package's example starts no instance")


def check_logoff():
    with tempfile.TemporaryDirectory(prefix="vorna-init-prog-") as tmp:
        calls = os.path.join(tmp, "calls")
        prog = os.path.join(tmp, "vornaagent")
        with open(prog, "w") as f:
            f.write(f'#!/bin/sh\necho "$@" >>"{calls}"\n')
        os.chmod(prog, 0o755)
        run("logoff", CONFIG, {"STANDIN_PROG": prog})
        expect_eq(open(calls).read().splitlines(),
                  ["logout --account wan", "logout --account wan2"], "logoff's commands")


def main():
    failed = 0
    for check in (check_start, check_nothing_enabled, check_logoff):
        try:
            check()
            print(f"PASS {check.__name__}")
        except Exception as e:  # noqa: BLE001 - every failure is reported
            failed += 1
            print(f"FAIL {check.__name__}: {e}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
