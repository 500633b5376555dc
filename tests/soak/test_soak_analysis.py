"""The soak's verdicts: when handles and memory count as flat, and which request sequences in
the server's log are inconsistent."""
import os
import sys
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import soak_analysis as sa  # noqa: E402


def series(n, f):
    return [f(i) for i in range(n)]


def samples(values, figure="handles", start=0, step=25):
    return [{"cycle": start + i * step, figure: v} for i, v in enumerate(values)]


class FlatnessTest(unittest.TestCase):
    CASES = [
        # name, values, absolute, fraction, flat?
        ("constant", series(100, lambda i: 39), 2, 0.0, True),
        ("noise within the allowance", series(100, lambda i: 5900 + (i % 3) * 4), 64, 0.0, True),
        ("one stray handle at the end", series(99, lambda i: 39) + [40], 2, 0.0, True),
        ("a handle every 50 samples", series(100, lambda i: 39 + i // 50), 0.5, 0.0, False),
        ("steady leak of 8 KiB a sample", series(100, lambda i: 5900 + 8 * i), 128, 0.0, False),
        ("step up in the last tenth", series(90, lambda i: 100) + [400] * 10, 128, 0.0, False),
        ("shrinking is not growth", series(100, lambda i: 6000 - i), 0, 0.0, True),
        ("relative allowance", series(100, lambda i: 10000 + i), 0, 0.02, True),
        ("relative allowance exceeded", series(100, lambda i: 10000 + 5 * i), 0, 0.02, False),
    ]

    def test_cases(self):
        for name, values, absolute, fraction, flat in self.CASES:
            with self.subTest(name):
                first, last, growth, allowed, ok = sa.flatness(values, absolute, fraction)
                self.assertEqual(ok, flat, f"{name}: first {first} last {last} growth {growth} "
                                           f"allowed {allowed}")

    def test_too_few_samples_is_an_error_not_a_verdict(self):
        with self.assertRaises(ValueError):
            sa.flatness([1] * 9, 0, 0.0)


class AnalyseTest(unittest.TestCase):
    def test_growth_during_warm_up_is_not_held_against_the_agent(self):
        # Warm-up to cycle 250 (10 samples) grows, then flat.
        values = series(10, lambda i: 5000 + 100 * i) + [6000] * 90
        rows = sa.analyse(samples(values, "anon_kb"), warmup_cycles=250)
        self.assertEqual([(r["figure"], r["flat"], r["start"], r["warm"]) for r in rows],
                         [("anon_kb", True, 5000, 6000)])
        rows = sa.analyse(samples(values, "anon_kb"), warmup_cycles=0)
        self.assertFalse(rows[0]["flat"])

    def test_figures_that_could_not_be_read_are_left_out(self):
        s = [{"cycle": i, "handles": 39, "rss_kb": -1} for i in range(20)]
        self.assertEqual([r["figure"] for r in sa.analyse(s, 0)], ["handles"])


class ParseRecordsTest(unittest.TestCase):
    def test_records_and_quoted_values(self):
        text = ("start agent_pid=12 unix_pid=345 requests=2\n"
                "wine: some noise line\n"
                'fault case=silent:PING outcome="error Network timeout" recovered=same-session '
                "ms=3601\n"
                'result=fail reason="PING: request 7 answered \\"1\\""\n')
        records = sa.parse_records(text)
        self.assertEqual(records[0], ("start", {"agent_pid": "12", "unix_pid": "345",
                                                "requests": "2"}))
        self.assertIn(("fault", {"case": "silent:PING", "outcome": "error Network timeout",
                                 "recovered": "same-session", "ms": "3601"}), records)
        self.assertEqual(records[-1], ("result", {"result": "fail",
                                                  "reason": 'PING: request 7 answered "1"'}))


BLOCK = "ab" * 128


def logon(session, block=BLOCK, login="ivanov"):
    reply = f"3 {session} 1800" if session else "0 Сервер перегружен"
    return {"verb": "LOGON", "fields": ["LOGON", login, "secret", "253702"],
            "block3_hex": block, "reply": reply}


def req(verb, session, field4=None, login="ivanov"):
    return {"verb": verb, "fields": [verb, login, str(session),
                                     field4 if field4 is not None else "VOID4"]}


def ping(session, counter):
    return req("PING", session, str(counter))


class CheckRequestsTest(unittest.TestCase):
    CASES = [
        ("two sessions, counters restart",
         [logon(1), ping(1, 1), ping(1, 2), req("GETINFO", 1), ping(1, 3), req("LOGOUT", 1),
          logon(2), ping(2, 1), ping(2, 2)], []),
        ("refused logon opens no session",
         [logon(None), ping(5, 1)], ["request 1: PING for unknown session '5'"]),
        ("counter skips one",
         [logon(1), ping(1, 1), ping(1, 3), ping(1, 4)],
         ["request 2: PING counter '3', expected 2 in session 1"]),
        ("counter repeats",
         [logon(1), ping(1, 1), ping(1, 1)],
         ["request 2: PING counter '1', expected 2 in session 1"]),
        ("counter not restarted by a new logon",
         [logon(1), ping(1, 1), ping(1, 2), logon(2), ping(2, 3)],
         ["request 4: PING counter '3', expected 1 in session 2"]),
        ("password typed again instead of the remembered block",
         [logon(1, block="cd" * 128)],
         ["request 0: LOGON without the remembered password block"]),
        ("another login", [logon(1), req("GETINFO", 1, login="petrov")],
         ["request 1: fields ['GETINFO', 'petrov', '1', 'VOID4']"]),
        ("GETINFO for a session never handed out", [logon(1), req("GETINFO", 2)],
         ["request 1: GETINFO for unknown session '2'"]),
    ]

    def test_cases(self):
        for name, requests, problems in self.CASES:
            with self.subTest(name):
                self.assertEqual(sa.check_requests(requests, "ivanov", BLOCK), problems)


if __name__ == "__main__":
    unittest.main()
