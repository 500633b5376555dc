"""What the soak run's records mean: the driver's output lines, the flatness of the agent's
handles and memory after warm-up, and the consistency of the requests in the server's log."""
import shlex
from collections import OrderedDict


def parse_records(text):
    """The driver's lines "kind key=value ..." (values may be double-quoted) as
    (kind, {key: value}); lines of another shape are skipped."""
    records = []
    for line in text.splitlines():
        try:
            words = shlex.split(line)
        except ValueError:
            continue
        if not words or "=" in words[0]:
            if words and words[0].startswith("result="):
                records.append(("result", dict(w.split("=", 1) for w in words if "=" in w)))
            continue
        fields = dict(w.split("=", 1) for w in words[1:] if "=" in w)
        records.append((words[0], fields))
    return records


def samples_of(records):
    """The sample records with their numbers as ints."""
    out = []
    for kind, fields in records:
        if kind == "sample":
            out.append({k: int(v) for k, v in fields.items()})
    return out


def mean(values):
    return sum(values) / len(values)


# How much each figure may grow between the first and the last tenth of the run after warm-up
# (absolute allowance, and a fraction of the level). Counts must not move beyond a stray handle.
# Memory moves in pages and the heap may take a few more; 128 KiB over the ~2000 cycles between
# the two tenths is a leak of about 65 bytes a request. Address space grows in whole heap
# reservations, so it only catches big leaks.
LIMITS = OrderedDict([
    ("handles", (2, 0.0)),
    ("threads", (0.5, 0.0)),
    ("fds", (2, 0.0)),
    ("private_kb", (128, 0.0)),
    ("ws_kb", (128, 0.0)),
    ("rss_kb", (128, 0.0)),
    ("anon_kb", (128, 0.0)),
    ("vmsize_kb", (1024, 0.0)),
])


def flatness(values, absolute, fraction):
    """Compares the mean of the first tenth of `values` with the mean of the last tenth.
    Returns (first mean, last mean, growth, allowed growth, flat?)."""
    if len(values) < 10:
        raise ValueError(f"need at least 10 samples after warm-up, got {len(values)}")
    tenth = len(values) // 10
    first, last = mean(values[:tenth]), mean(values[-tenth:])
    allowed = absolute + fraction * first
    return first, last, last - first, allowed, last - first <= allowed


def analyse(samples, warmup_cycles, limits=LIMITS):
    """One row per figure the agent's samples carry: start, after warm-up and end values, the
    tenth means and the verdict. Figures that were not available (-1) are left out."""
    steady = [s for s in samples if s["cycle"] >= warmup_cycles]
    rows = []
    for name, (absolute, fraction) in limits.items():
        if not samples or name not in samples[0] or any(s[name] < 0 for s in samples):
            continue
        first, last, growth, allowed, ok = flatness([s[name] for s in steady], absolute, fraction)
        rows.append({"figure": name, "start": samples[0][name], "warm": steady[0][name],
                     "end": samples[-1][name], "first_tenth": first, "last_tenth": last,
                     "growth": growth, "allowed": allowed, "flat": ok})
    return rows


def format_rows(rows):
    header = (f"{'figure':<11}{'start':>10}{'warmed':>10}{'end':>10}{'1st 10%':>11}"
              f"{'last 10%':>11}{'growth':>9}{'allowed':>9}  verdict")
    lines = [header]
    for r in rows:
        lines.append(f"{r['figure']:<11}{r['start']:>10}{r['warm']:>10}{r['end']:>10}"
                     f"{r['first_tenth']:>11.1f}{r['last_tenth']:>11.1f}{r['growth']:>9.1f}"
                     f"{r['allowed']:>9.1f}  {'flat' if r['flat'] else 'GROWS'}")
    return "\n".join(lines)


def session_of(logon_reply):
    """The session id of an accepted LOGON reply ("1 ID" or "3 ID N"), else None."""
    parts = logon_reply.split()
    return parts[1] if len(parts) >= 2 and parts[0] in ("1", "3") else None


def check_requests(requests, login, block3_hex):
    """Problems in the server's view of the run: every LOGON sends the remembered password
    block; every PING, GETINFO and LOGOUT names a session the server handed out; within a
    session the PINGs count 1, 2, 3, ... without gaps or repeats. Returns a list of texts."""
    problems = []
    sessions = set()
    counters = {}
    for i, r in enumerate(requests):
        fields = r.get("fields", [])
        if len(fields) != 4 or fields[1] != login:
            problems.append(f"request {i}: fields {fields!r}")
            continue
        if r["verb"] == "LOGON":
            if fields[3] != "253702" or r.get("block3_hex") != block3_hex:
                problems.append(f"request {i}: LOGON without the remembered password block")
            session = session_of(r.get("reply", ""))
            if session is not None:
                sessions.add(session)
            continue
        if fields[2] not in sessions:
            problems.append(f"request {i}: {r['verb']} for unknown session {fields[2]!r}")
        if r["verb"] == "PING":
            expected = counters.get(fields[2], 0) + 1
            if fields[3] != str(expected):
                problems.append(f"request {i}: PING counter {fields[3]!r}, expected {expected} "
                                f"in session {fields[2]}")
            counters[fields[2]] = expected if not fields[3].isdigit() else int(fields[3])
    return problems
