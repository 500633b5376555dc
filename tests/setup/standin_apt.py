#!/usr/bin/env python3
"""Stand-in for apt-get and dpkg-query, placed first on PATH by test_setup_apt.py.

apt-get: answers each call from the plan in $STANDIN_PLAN (JSON: {"update": [answers],
"install": [...], "source": [...]}; an answer is {"rc": N, "out": TEXT, "files": [names]}; the
n-th call of a verb gets the n-th answer, the last one repeats) and appends its arguments to
$STANDIN_LOG as a JSON line. dpkg-query: packages in $STANDIN_INSTALLED (one "name:arch" a
line) are installed, every other one is unknown.
"""
import json
import os
import sys


def apt_get(args):
    plan = json.loads(os.environ["STANDIN_PLAN"])
    verb = next((a for a in args if a in ("update", "install", "source")), "other")
    log = os.environ["STANDIN_LOG"]
    with open(log, "a") as f:
        f.write(json.dumps({"tool": "apt-get", "args": args}) + "\n")
    with open(log) as f:
        calls = sum(1 for line in f if json.loads(line)["args"] and
                    verb in json.loads(line)["args"])
    answers = plan.get(verb) or [{"rc": 0, "out": ""}]
    answer = answers[min(calls, len(answers)) - 1]
    for name in answer.get("files", []):
        open(name, "w").close()
    sys.stdout.write(answer.get("out", ""))
    return answer.get("rc", 0)


def dpkg_query(args):
    installed = set(open(os.environ["STANDIN_INSTALLED"]).read().split())
    names = [a for a in args if not a.startswith("-")]
    rc = 0
    for name in names:
        pkg, _, arch = name.partition(":")
        hits = [i for i in installed if i == name or (not arch and i.split(":")[0] == pkg)]
        if not hits:
            sys.stderr.write(f"dpkg-query: no packages found matching {name}\n")
            rc = 1
        for hit in hits:
            sys.stdout.write(f"{hit} installed\n")
    return rc


if __name__ == "__main__":
    tool = os.path.basename(sys.argv[0])
    sys.exit(apt_get(sys.argv[1:]) if tool == "apt-get" else dpkg_query(sys.argv[1:]))
