#!/usr/bin/env python3
"""The Group Policy template against the agent: every value the ADMX writes is one the agent
reads (same key, name, registry type, range, length, machine or user class), every value the
agent reads has a policy, and every string and presentation the ADMX references exists in both
ADML files, with a control for each element. So the template and the agent cannot drift.

Usage: test_policy_template.py POLICY_TABLE_PROGRAM (tests/unit/policy_table.cpp)
"""

import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
POLICY_DIR = ROOT / "installer" / "policy"
LANGUAGES = ["en-US", "ru-RU"]
NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
# The agent reads a flag as "non-zero is on": a template writing anything but 0 and 1 would
# mean something the explanation does not say.
FLAG_VALUES = {"0", "1"}


class Failure(Exception):
    pass


def agent_table(program):
    out = subprocess.run([program], stdout=subprocess.PIPE, check=True, timeout=20).stdout
    table = {}
    for line in out.decode().splitlines():
        key, name, reg_type, kind, per_user, low, high, longest = line.split("\t")
        table[name] = {"key": key, "type": reg_type, "kind": kind, "per_user": per_user == "1",
                       "min": int(low), "max": int(high), "longest": int(longest)}
    return table


def ref(text, kind):
    """The id in "$(kind.ID)", or None."""
    prefix = f"$({kind}."
    if text and text.startswith(prefix) and text.endswith(")"):
        return text[len(prefix):-1]
    return None


def template_values(admx):
    """{value name: what the template writes}, with the policy it belongs to."""
    values = {}
    for policy in admx.iterfind(".//p:policies/p:policy", NS):
        common = {"policy": policy.get("name"), "key": policy.get("key"),
                  "class": policy.get("class")}
        name = policy.get("valueName")
        if name:
            written = [e.get("value") for part in ("enabledValue", "disabledValue")
                       for e in policy.iterfind(f"p:{part}/p:decimal", NS)]
            values[name] = {**common, "type": "dword", "decimals": written}
        for element in policy.iterfind("p:elements/*", NS):
            tag = element.tag.split("}")[1]
            entry = {**common, "element": element.get("id")}
            if tag == "text":
                entry.update(type="string", maxLength=int(element.get("maxLength", "1023")))
            elif tag == "decimal":
                entry.update(type="dword", min=int(element.get("minValue", "0")),
                             max=int(element.get("maxValue", "4294967295")))
            else:
                entry.update(type=tag)
            values[element.get("valueName")] = entry
    return values


def check_against_agent(values, table, problems):
    for name in sorted(set(values) | set(table)):
        if name not in table:
            problems.append(f"the template writes {name!r}, which the agent never reads")
            continue
        if name not in values:
            problems.append(f"the agent reads {name!r}, which no policy sets")
            continue
        t, a = values[name], table[name]
        where = f"{t['policy']}/{name}"
        if t["key"] != a["key"]:
            problems.append(f"{where}: key {t['key']!r}, the agent reads {a['key']!r}")
        if t["type"] != a["type"]:
            problems.append(f"{where}: writes a {t['type']}, the agent takes a {a['type']}")
        expected_class = "Both" if a["per_user"] else "Machine"
        if t["class"] != expected_class:
            problems.append(f"{where}: class {t['class']}, the agent reads it "
                            f"{'per user too' if a['per_user'] else 'per machine only'}")
        if a["kind"] == "flag" and not set(t.get("decimals", [])) <= FLAG_VALUES:
            problems.append(f"{where}: writes {t.get('decimals')}, a flag is 0 or 1")
        if a["kind"] == "flag" and not t.get("decimals"):
            problems.append(f"{where}: a flag without enabled and disabled values")
        if a["kind"] == "number" and (t.get("min"), t.get("max")) != (a["min"], a["max"]):
            problems.append(f"{where}: range {t.get('min')}-{t.get('max')}, the agent takes "
                            f"{a['min']}-{a['max']}")
        if t["type"] == "string" and t.get("maxLength", 0) > a["longest"]:
            problems.append(f"{where}: up to {t['maxLength']} characters, the agent takes "
                            f"{a['longest']}")


def check_resources(admx, problems):
    strings = set()
    presentations = {}
    for node in admx.iter():
        for attr in ("displayName", "explainText"):
            sid = ref(node.get(attr), "string")
            if sid:
                strings.add(sid)
    for policy in admx.iterfind(".//p:policies/p:policy", NS):
        pid = ref(policy.get("presentation"), "presentation")
        elements = {e.get("id") for e in policy.iterfind("p:elements/*", NS)}
        if elements and not pid:
            problems.append(f"policy {policy.get('name')} has elements but no presentation")
        if pid:
            presentations[pid] = elements
        for attr in ("displayName", "explainText"):
            if not policy.get(attr):
                problems.append(f"policy {policy.get('name')} has no {attr}")
    categories = {c.get("name") for c in admx.iterfind(".//p:categories/p:category", NS)}
    for policy in admx.iterfind(".//p:policies/p:policy", NS):
        parent = policy.find("p:parentCategory", NS)
        if parent is None or parent.get("ref") not in categories:
            problems.append(f"policy {policy.get('name')} is in no category of the template")

    for language in LANGUAGES:
        path = POLICY_DIR / language / "VornaAgent.adml"
        try:
            adml = ET.parse(path).getroot()
        except (OSError, ET.ParseError) as e:
            problems.append(f"{language}: cannot read {path}: {e}")
            continue
        have = {s.get("id"): (s.text or "").strip()
                for s in adml.iterfind(".//p:stringTable/p:string", NS)}
        for sid in sorted(strings):
            if not have.get(sid):
                problems.append(f"{language}: no string {sid!r}")
        for sid in sorted(set(have) - strings):
            problems.append(f"{language}: string {sid!r} is referenced by nothing")
        shown = {p.get("id"): {c.get("refId") for c in p}
                 for p in adml.iterfind(".//p:presentationTable/p:presentation", NS)}
        for pid, elements in sorted(presentations.items()):
            if pid not in shown:
                problems.append(f"{language}: no presentation {pid!r}")
            elif shown[pid] != elements:
                problems.append(f"{language}: presentation {pid!r} shows {sorted(shown[pid])}, "
                                f"the policy has {sorted(elements)}")


def main():
    table = agent_table(sys.argv[1])
    admx = ET.parse(POLICY_DIR / "VornaAgent.admx").getroot()
    problems = []
    check_against_agent(template_values(admx), table, problems)
    check_resources(admx, problems)
    for p in problems:
        print(f"FAIL  {p}")
    if not problems:
        print(f"ok    {len(table)} policy values agree with the agent, strings and "
              f"presentations in {', '.join(LANGUAGES)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    sys.exit(main())
