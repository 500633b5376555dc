#!/usr/bin/env python3
"""Writes the seed corpora under corpus/<target>/ (run again after changing an input layout)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

LOGON, LOGOUT, PING, GETINFO = 0, 1, 2, 3
SESSION, LINK, KEY2048, QUIT, SAVED, WITH_CLOSE = 4, 8, 16, 32, 64, 128


def reply(request, flags=0, counter=1, chunk=0, text=b""):
    return bytes([request | flags, counter, chunk]) + text


def replies():
    long_message = b"1 150.25 3.10 0 " + b"A long message from the server. " * 20
    return {
        "logon_accepted": reply(LOGON, text=b"1 57"),
        "logon_interval": reply(LOGON, text=b"3 57 60"),
        "logon_interval_low": reply(LOGON, text=b"3 57 10"),
        "logon_session_zero": reply(LOGON, text=b"1 0"),
        "logon_impossible": reply(LOGON, counter=0x40, text=b"0 text"),
        "logon_refused": reply(LOGON, SAVED, text=b"2 wrong password"),
        "logon_unknown": reply(LOGON, counter=0x80, text=b"7 what"),
        "logout": reply(LOGOUT, SESSION, text=b"ok"),
        "ping_stats": reply(PING, SESSION | LINK, chunk=3, text=b"1 150.25 3.10 0 Hello"),
        "ping_limit": reply(PING, SESSION, text=b"1 9.00 1.00 1"),
        "ping_blocked": reply(PING, SESSION | WITH_CLOSE, text=b"1 0.00 0.00 2 Paid networks off"),
        "ping_not_open": reply(PING, SESSION, counter=3, text=b"2"),
        "ping_denied": reply(PING, SESSION, counter=8, text=b"2"),
        "ping_ended": reply(PING, SESSION | QUIT, text=b"0 text"),
        "ping_long": reply(PING, SESSION | KEY2048, chunk=100, text=long_message * 2),
        "getinfo": reply(GETINFO, SESSION, text=b"1 Balance 150.25"),
        "getinfo_full": reply(GETINFO, SESSION, chunk=64, text=b"x" * 600),
    }


def statistics():
    return {
        "normal": b"1 150.25 3.10 0 Hello",
        "limit": b"1 9.00 1.00 1",
        "blocked": b"1 0.00 0.00 2 Stop",
        "two_spaces": b"1  150.25 3.10 0 Hello",
        "no_digits": b"1 150.25 3.10",
        "digits_ascending": b"1 1.00 2.00 012   message",
        "long_balance": b"1 123456789012345 3.10 0",
    }


def typed(text):
    return struct.pack("<H", len(text)) + text


def engine_events():
    # opcodes: 0 connect, 1 write, 2 read, 3 close, 7 canned reply, 9 advance, 10 next timer,
    # 11 command, 12 hover, 14 session end
    # 6 0, an empty chunk, is the server's end of the reply: the close then hands it over.
    logon = bytes([11, 0, 0, 1, 7, 0, 2, 6, 0, 3])      # command 108, served "1 57"
    ping = bytes([10, 0, 1, 7, 3, 2, 6, 0, 3])          # next timer (PING), served stats
    return {
        "logon_and_ping": bytes([0]) + logon + ping + ping,
        "remembered_start": bytes([1, 0, 1, 7, 1, 2, 3, 12, 0, 1, 7, 4, 2, 3]),
        "logout": bytes([0]) + logon + bytes([11, 1, 0, 1, 6, 2, 111, 107, 3]),
        "exit_in_session": bytes([0]) + logon + bytes([11, 3, 0, 1, 7, 13, 3]),
        "timeouts": bytes([1, 0, 1, 7, 0, 2, 3]) + bytes([10, 9, 40]) * 6,
        "session_end": bytes([0]) + logon + bytes([14, 0, 14, 1, 11, 0]),
        "refused_backoff": bytes([1, 0, 1, 7, 8, 2, 3, 9, 255, 9, 255, 9, 255]),
        "stale_events": bytes([0]) + logon + bytes([5, 0, 0, 5, 1, 3, 4, 2, 1]),
        "short_sends": bytes([2, 11, 0, 0, 8, 10]) + bytes([1]) * 26 + bytes([7, 0, 2, 3]),
        # setup bit 2: typed login and password follow; bit 3: "remember" ticked
        "typed_longer_than_kept": bytes([4 | 8]) + typed("\u044e".encode("cp1251") * 1100)
        + typed(b"p" * 70) + logon + ping,
        "typed_over_remembered": bytes([1 | 4 | 8]) + typed(b"ivanov") + typed(b"") + logon,
        "typed_with_nul": bytes([4]) + typed(b"ivan\x00ov") + typed(b"se\x00cret") + logon,
    }


def options():
    return {
        "address": b"--address\x0010.1.2.3",
        "address_30": b"--address\x00" + b"1" * 30,
        "address_long": b"--address\x00" + b"2" * 40 + b"\x00next",
        "domain": b"--domain\x00corp\x00--address\x001.2.3.4",
        "debug": b"--debug\x00--address",
        "quoted": b"\"C:\\Program Files\\a.exe\" --address \"1.2.3.4\"\t--domain",
        "stop": b"plain\x00--domain",
    }


def record(kind, data):
    return bytes([kind]) + struct.pack("<H", len(data)) + data


ABSENT, STRING, BINARY, DWORD, OTHER = 0, 1, 2, 3, 4


def settings():
    one, zero = struct.pack("<I", 1), struct.pack("<I", 0)
    block = bytes(range(128))
    return {
        "remembered": b"\x00" + record(DWORD, one) + record(DWORD, one) + record(STRING, b"user")
        + record(BINARY, block),
        "nothing": b"\x00" + record(ABSENT, b"") * 4,
        "run_only": b"\x04" + record(DWORD, one) + record(DWORD, zero) + record(ABSENT, b"")
        + record(ABSENT, b""),
        "short_block": b"\x00" + record(DWORD, zero) + record(DWORD, one) + record(STRING, b"user")
        + record(BINARY, block[:100]),
        "long_login": b"\x01" + record(DWORD, one) + record(DWORD, one)
        + record(STRING, b"L" * 300) + record(BINARY, bytes(256)),
        "wrong_types": b"\x08" + record(STRING, one) + record(BINARY, one) + record(DWORD, b"user")
        + record(OTHER, block),
        "unopenable": b"\x02" + record(DWORD, one) * 2 + record(STRING, b"u") + record(BINARY, block),
    }


def policy():
    """For fuzz_policy: flags, then a machine and a user value for nosavedata, notify, logfile,
    address and port."""
    def dword(n):
        return b"\x01" + struct.pack("<I", n)

    def text(t):
        return b"\x02" + struct.pack("<H", len(t)) + t

    none, other = b"\x00", b"\x03"
    return {
        "everything": b"\x00" + dword(1) + none + dword(0) + dword(1)
        + text(b"%LOCALAPPDATA%\\agent.log") + none + text(b"10.20.0.1") + none
        + dword(8123) + none,
        "options_win": b"\x03" + none * 4 + text(b"C:\\policy.log") + none
        + text(b"10.20.0.1") + none + none * 2,
        "bad_values": b"\x00" + other + dword(1) + text(b"off") + dword(0) + dword(5)
        + text(b"") + text(b"255.255.255.255") + text(b"10.0.0.2") + dword(70000) + text(b"1"),
        "long_texts": b"\x00" + none * 4 + text(b"x" * 300) + none + text(b"1" * 40) + none
        + none * 2,
    }


def field(data):
    return bytes([len(data)]) + data


def request(verb, login=b"user", third=b"secret", fourth=b"253702", last_id=False):
    return bytes([0, verb]) + field(login) + (b"\xff" if last_id else field(third)) + field(fourth)


def control(line):
    return bytes([1]) + field(line)


def server_request():
    logon = request(0)
    ping = request(1, fourth=b"1", last_id=True)
    info = request(2, fourth=b"VOID4", last_id=True)
    logout = request(3, fourth=b"VOID4", last_id=True)
    return {
        "session": b"\x00" + logon + ping + info + logout,
        "interval_pending": b"\x03" + logon + ping + ping + ping,
        "server_ends": b"\x08" + logon + ping + bytes([2, 10]) + ping + ping,
        "wrong_password": b"\x00" + request(0, third=b"bad") + request(1, third=b"1"),
        "controls": b"\x00" + control(b"set * message hello") + control(b"set user digit 1")
        + control(b"fault drop:PING 2") + control(b"pending-pings 1")
        + control(b"reply GETINFO 1 \\xC1") + logon + ping + info
        + control(b"end-session user bye") + ping + control(b"clear-reply *") + control(b"quit"),
        "frame": b"\x00" + bytes([3, 0, 2]) + bytes(range(256)) * 2 + logon + bytes([4]),
        "round_trip_2048": b"\x10" + request(0, login=b"\xe8\xe2\xe0\xed") + bytes([4]),
        "unknown_verb": b"\x00" + request(4) + request(5) + request(1, third=b"77"),
    }


def config_block():
    with open(os.path.join(HERE, "..", "fixtures", "test_key_1024.pub.pem"), "rb") as f:
        pem = f.read()

    def seed(mode, offset=0, address=b"", port=b"", key=b"", image=b"MZ" + bytes(62)):
        return (bytes([mode]) + struct.pack("<H", offset) + field(address) + field(port)
                + struct.pack("<H", len(image)) + image + key)
    return {
        "embedded": seed(1, 10),
        "stamp_address_port": seed(1 | 2 | 4, 0, b"192.168.10.20", b"8080"),
        "stamp_bad_port": seed(1 | 4, 0, b"", b"080"),
        "stamp_bad_address": seed(1 | 2, 5, b"1.2.3.256"),
        "key_text": seed(1 | (1 << 3), 3, key=b"-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----"),
        "key_text_longest": seed(1 | (1 << 3), 1, key=b"K" * 1024),
        "key_1024": seed(1 | (2 << 3), 7),
        "key_2048": seed(1 | (3 << 3), 7),
        "key_private": seed(1 | (4 << 3), 0),
        "key_pkcs1": seed(1 | (5 << 3), 0),
        "key_certificate": seed(1 | (6 << 3), 0),
        "key_too_small": seed(1 | (7 << 3), 0),
        "no_block": seed(2, 0, b"10.0.0.2", image=b"vorna_zep_addr\x00" + bytes(40)),
        # bit 6: the agent's own block damaged, read as the agent reads it
        "damaged_full_fields": seed(64, 0, b"9" * 31, b"7" * 21, image=b"", key=b"K" * 1025),
        "damaged_port": seed(64, 0, b"127.0.0.1", b" 80x", image=b"", key=pem[:300]),
        "damaged_address": seed(64, 0, b"10.0.0.1\n\x01", b"99999999999", image=b"",
                                key=pem + b"trailing"),
        "damaged_key_whole": seed(64, 0, b"", b"", image=b"", key=pem),
    }


def uci():
    """For fuzz_uci: UCI files as OpenWrt writes them, and the quoting's corners."""
    return {
        "example": b"config agent 'main'\n\toption server '10.0.0.1'\n\toption port '800'\n"
                   b"\toption key '/etc/vornaagent/server-public.pem'\n\nconfig account 'wan'\n"
                   b"\toption enabled '1'\n\toption login 'ivanov'\n\toption password 'secret'\n"
                   b"\toption device 'eth0.2'\n",
        "quoting": b"package vornaagent\n# comment\nconfig account wan # here\n"
                   b"  option login \"iv\\\"an\"\n\toption password 'it'\\''s'\n"
                   b"\tlist other a\\ b\r\n",
        "errors": b"config account\noption x\nconfig account 'wan\n\toption port 0\n",
    }


def main():
    sets = {
        "fuzz_uci": uci(),
        "fuzz_reply": replies(),
        "fuzz_statistics": statistics(),
        "fuzz_engine_events": engine_events(),
        "fuzz_options": options(),
        "fuzz_settings": settings(),
        "fuzz_policy": policy(),
        "fuzz_server_request": server_request(),
        "fuzz_config_block": config_block(),
    }
    for target, seeds in sets.items():
        directory = os.path.join(HERE, "corpus", target)
        os.makedirs(directory, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
