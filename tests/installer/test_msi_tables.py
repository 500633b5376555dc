#!/usr/bin/env python3
"""The MSI package read from outside with msitools, fast and without Wine, so the package a
machine cannot run (the 32-bit one where 32-bit programs do not start) is checked too: its
properties, the registry values each public property turns on, the shortcut, the upgrade and
downgrade rules, the sequence that makes wixl's missing conditions work, and the files. Then
build_msi.sh: what it refuses, and the signing round trip.

Environment: VORNA_MSI, VORNA_MSI_ARCH, VORNA_PROJECT_VERSION, VORNA_AGENT_EXE,
VORNA_CLOSE_AGENT_EXE, VORNA_CONFIG, WIXL.
"""

import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
SCRIPT = ROOT / "installer" / "build_msi.sh"
UPGRADE_CODE = "{8D3C1F7A-5B2E-4C61-9F0D-7A4E2B91C3D5}"
HKLM = "2"
COMPONENT_64BIT = 256


class Failure(Exception):
    pass


def check(condition, what, context=""):
    if not condition:
        raise Failure(what + ("\n    " + str(context) if context else ""))


def check_eq(actual, expected, what):
    if actual != expected:
        raise Failure(f"{what}\n    expected: {expected!r}\n    actual:   {actual!r}")


def table(msi, name):
    """The rows of one table as lists of columns (the three header lines dropped)."""
    out = subprocess.run(["msiinfo", "export", str(msi), name], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, check=True, timeout=20).stdout
    lines = out.decode("cp1251").split("\r\n")[3:]
    return [line.split("\t") for line in lines if line]


def keyed(msi, name):
    return {row[0]: row for row in table(msi, name)}


# ---- the tables ----

@dataclass
class Effect:
    prop: str  # the public property that turns it on
    feature: str
    key: str
    name: str
    value: str


EFFECTS = [
    Effect("AUTORUN", "Autorun", "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
           "VORNA Auth Utility", '"[INSTALLDIR]VornaAgent.exe" --domain'),
    Effect("NOSAVEDATA", "NoSaveData", "Software\\Policies\\Vorna\\AuthUtility", "nosavedata",
           "#1"),
    Effect("LOGFILE", "LogFile", "Software\\Policies\\Vorna\\AuthUtility", "logfile",
           "[LOGFILE]"),
]


def check_properties(msi, version):
    props = {row[0]: row[1] for row in table(msi, "Property")}
    expected = {"ProductName": "Vorna Tray Agent", "Manufacturer": "Vorna Networks",
                "ProductVersion": version, "ALLUSERS": "1", "ARPNOMODIFY": "1",
                "UpgradeCode": UPGRADE_CODE}
    check_eq({k: props.get(k, "").upper() if k == "UpgradeCode" else props.get(k)
              for k in expected}, expected, "the package's properties")


def check_platform(msi, arch):
    info = subprocess.run(["msiinfo", "suminfo", str(msi)], stdout=subprocess.PIPE,
                          check=True, timeout=20).stdout.decode()
    template = next((l.split(":", 1)[1].strip() for l in info.splitlines()
                     if l.startswith("Template:")), "")
    check_eq(template.split(";")[0], {"x86": "Intel", "x64": "x64"}[arch], "the platform")
    dirs = keyed(msi, "Directory")
    folder = {"x86": "ProgramFilesFolder", "x64": "ProgramFiles64Folder"}[arch]
    check_eq(dirs["INSTALLDIR"][1:3], [folder, "VornaAgent"], "the program folder")
    # A 64-bit package's components live in the 64-bit registry view and folders.
    for row in table(msi, "Component"):
        check_eq(bool(int(row[3]) & COMPONENT_64BIT), arch == "x64",
                 f"component {row[0]} marked 64-bit")


def check_effects(msi):
    registry = table(msi, "Registry")
    feature_of = {row[1]: row[0] for row in table(msi, "FeatureComponents")}
    features = keyed(msi, "Feature")
    install_level = 1
    for e in EFFECTS:
        rows = [r for r in registry if r[1:5] == [HKLM, e.key, e.name, e.value]]
        check_eq(len(rows), 1, f"the registry value {e.name} of {e.prop}")
        check_eq(feature_of.get(rows[0][5]), e.feature, f"the feature holding {e.name}")
        # Not installed unless asked for, yet installable (level 0 could never be).
        level = int(features[e.feature][4])
        check(level > install_level, f"feature {e.feature} is installed by default", level)
        # What remembers the property for the next package goes with the effect.
        remembered = [r for r in registry if r[2] == "Software\\Vorna\\AgentSetup"
                      and r[3] == e.prop]
        check_eq([feature_of.get(r[5]) for r in remembered], [e.feature],
                 f"where {e.prop} is remembered")
    check_eq(feature_of.get(keyed(msi, "File")["AgentExe"][1]), "Agent",
             "the agent's feature")


def check_sequence(msi):
    seq = {row[0]: (row[1], int(row[2])) for row in table(msi, "InstallExecuteSequence")}
    actions = keyed(msi, "CustomAction")
    at = {name: seq[name][1] for name in seq}
    for e in EFFECTS:
        given, keep, adds = f"Given{e.prop.title()}", None, None
        for name, row in actions.items():
            if row[2] == "ADDLOCAL" and row[3].endswith("," + e.feature):
                adds = name
            if row[2] == e.prop:
                keep = name
            if row[2] == f"VORNA_GIVEN_{e.prop}":
                given = name
        check(adds and e.prop in seq[adds][0], f"nothing adds {e.feature} when {e.prop} asks")
        check(at["FileCost"] < at[adds] < at["CostFinalize"],
              f"{adds} runs where features are not chosen yet", at[adds])
        # The command line's value is saved before AppSearch reads the remembered one, and
        # put back after it.
        check(at[given] < at["AppSearch"] < at[keep] < at["LaunchConditions"],
              f"the command line's {e.prop} does not win over the remembered one",
              (at[given], at["AppSearch"], at[keep]))
    check(at["InstallValidate"] < at["RemoveExistingProducts"] < at["InstallInitialize"],
          "older versions are not removed before this one installs")
    close = next(n for n, r in actions.items() if r[2] == "CloseExe")
    check(at[close] < at["InstallValidate"] and seq[close][0] == 'REMOVE~="ALL"',
          "the agent is not closed before its file is removed", seq[close])
    launches = [n for n, r in actions.items() if r[2] == "AgentExe"]
    check_eq(len(launches), 2, "the agent's launches (with and without --domain)")
    for name in launches:
        check(at[name] > at["InstallFinalize"] and 'NOT DO_NOT_LAUNCH="1"' in seq[name][0],
              f"{name} ignores DO_NOT_LAUNCH", seq[name])


def check_upgrades(msi, version):
    rows = {row[6]: row for row in table(msi, "Upgrade")}
    older, newer = rows.get("WIX_UPGRADE_DETECTED"), rows.get("WIX_DOWNGRADE_DETECTED")
    check(older and newer, "the upgrade rows", rows)
    check_eq((older[0].upper(), older[2], int(older[4]) & 2), (UPGRADE_CODE, version, 0),
             "older versions: found and replaced")
    check_eq((newer[1], int(newer[4]) & 2), (version, 2), "newer versions: only detected")
    conditions = {row[0]: row[1] for row in table(msi, "LaunchCondition")}
    check(conditions.get("NOT WIX_DOWNGRADE_DETECTED"), "a downgrade is refused with a message",
          conditions)


def check_shortcut(msi):
    rows = table(msi, "Shortcut")
    check_eq([(r[1], r[2], r[4]) for r in rows],
             [("ProgramMenuFolder", "VornaAgent", "[INSTALLDIR]VornaAgent.exe")], "the shortcut")


def check_files(msi, agent, close_agent, tmp):
    out = Path(tmp) / "extracted"
    subprocess.run(["msiextract", "-C", str(out), str(msi)], stdout=subprocess.DEVNULL,
                   check=True, timeout=60)
    found = {p.name: p for p in out.rglob("*") if p.is_file()}
    check_eq(sorted(found), ["VornaAgent.exe", "close-agent.exe"], "the packaged files")
    check(found["VornaAgent.exe"].read_bytes() == agent.read_bytes(),
          "the packaged agent is not the one built")
    check(found["close-agent.exe"].read_bytes() == close_agent.read_bytes(),
          "the packaged close-agent.exe is not the one built")
    return found


# ---- build_msi.sh ----

def build(args, cwd):
    done = subprocess.run(["bash", str(SCRIPT), *map(str, args)], cwd=cwd,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    return done.returncode, done.stdout.decode(errors="replace")


def check_refusals(agent, arch, tmp):
    other = {"x86": "x64", "x64": "x86"}[arch]
    cases = [
        ("the test key without --allow-test-key", ["--exe", agent, "--arch", arch], 1,
         "TEST KEY"),
        ("an agent of the other bitness", ["--exe", agent, "--arch", other, "--allow-test-key"],
         1, f"for --arch {other}"),
        ("no --arch", ["--exe", agent, "--allow-test-key"], 2, "--arch is required"),
        ("an unknown --arch", ["--exe", agent, "--arch", "arm64"], 2, "x86 or x64"),
        ("signing half asked for", ["--exe", agent, "--arch", arch, "--sign-key", agent], 2,
         "--sign-cert and --sign-key go together"),
    ]
    for name, args, code, message in cases:
        out = Path(tmp) / "refused.msi"
        out.write_bytes(b"the package of the previous release")
        rc, said = build([*args, "--out", out], tmp)
        check_eq(rc, code, f"{name}: exit code\n{said}")
        check(message in said, f"{name}: does not say {message!r}", said)
        check_eq(out.read_bytes(), b"the package of the previous release",
                 f"{name}: the existing package")
        check_eq([p.name for p in Path(tmp).glob(".build_msi.*")], [],
                 f"{name}: scratch left behind")


def check_signing(agent, arch, tmp):
    key, cert = Path(tmp) / "sign.key", Path(tmp) / "sign.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=Vorna test signing"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=60)
    out = Path(tmp) / "signed.msi"
    rc, said = build(["--exe", agent, "--arch", arch, "--allow-test-key", "--sign-cert", cert,
                      "--sign-key", key, "--out", out], tmp)
    check_eq(rc, 0, f"a signed package\n{said}")

    def verify(path):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", str(cert), "-in", str(path)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=60).returncode

    check_eq(verify(out), 0, "the package's signature")
    inside = Path(tmp) / "signed"
    subprocess.run(["msiextract", "-C", str(inside), str(out)], stdout=subprocess.DEVNULL,
                   check=True, timeout=60)
    for name in ("VornaAgent.exe", "close-agent.exe"):
        check_eq(verify(next(inside.rglob(name))), 0, f"the signature of the packaged {name}")

    # An agent the site signed itself goes in as it is.
    presigned = Path(tmp) / "presigned.exe"
    subprocess.run(["osslsigncode", "sign", "-certs", str(cert), "-key", str(key), "-in",
                    str(agent), "-out", str(presigned)], stdout=subprocess.DEVNULL, check=True,
                   timeout=60)
    out = Path(tmp) / "presigned.msi"
    rc, said = build(["--exe", presigned, "--arch", arch, "--allow-test-key", "--sign-cert",
                      cert, "--sign-key", key, "--out", out], tmp)
    check_eq(rc, 0, f"a package of a signed agent\n{said}")
    inside = Path(tmp) / "presigned"
    subprocess.run(["msiextract", "-C", str(inside), str(out)], stdout=subprocess.DEVNULL,
                   check=True, timeout=60)
    check(next(inside.rglob("VornaAgent.exe")).read_bytes() == presigned.read_bytes(),
          "the site's own signature on the agent was replaced")


def main():
    msi = Path(os.environ["VORNA_MSI"])
    arch = os.environ["VORNA_MSI_ARCH"]
    version = os.environ["VORNA_PROJECT_VERSION"]
    agent = Path(os.environ["VORNA_AGENT_EXE"])
    close_agent = Path(os.environ["VORNA_CLOSE_AGENT_EXE"])
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorna-msi-") as tmp:
        tests = [
            ("properties", lambda: check_properties(msi, version)),
            ("platform and folders", lambda: check_platform(msi, arch)),
            ("the registry values of the public properties", lambda: check_effects(msi)),
            ("the sequence", lambda: check_sequence(msi)),
            ("upgrades and downgrades", lambda: check_upgrades(msi, version)),
            ("the shortcut", lambda: check_shortcut(msi)),
            ("the files", lambda: check_files(msi, agent, close_agent, tmp)),
            ("build_msi.sh refusals", lambda: check_refusals(agent, arch, tmp)),
            ("build_msi.sh signs the agent and the package", lambda: check_signing(agent, arch,
                                                                                   tmp)),
        ]
        for name, test in tests:
            try:
                test()
                print(f"ok    {name}")
            except Exception as e:  # noqa: BLE001 - one broken case must not stop the others
                failures.append(name)
                print(f"FAIL  {name}\n    {e if isinstance(e, Failure) else repr(e)}")
    if failures:
        print(f"{len(failures)} failed: {', '.join(failures)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    sys.exit(main())
