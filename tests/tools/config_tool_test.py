#!/usr/bin/env python3
"""Process tests of vorna_config on synthetic executables holding one configuration block."""
import argparse
import hashlib
import os
import random
import stat
import subprocess
import sys
import tempfile
import unittest

ARGS = None
WIDTHS = {"address": 31, "port": 21, "key": 1025}


def shared_fixture(name):
    return os.path.join(ARGS.fixtures, name)


def tool_fixture(name):
    return os.path.join(ARGS.tool_fixtures, name)


def read(path):
    with open(path, "rb") as data:
        return data.read()


def block_form(pem_path):
    return read(pem_path).rstrip(b"\n")


def field(value, width):
    return value + b"\0" * (width - len(value))


def config_block(address=b"10.0.0.1", port=b"800", key=None):
    key = block_form(shared_fixture("test_key_1024.pub.pem")) if key is None else key
    return (b"vorna_zep_addr\0" + field(address, 31) + b"vorna_zep_port\0" + field(port, 21) +
            b"vorna_zep_key\0" + field(key, 1025) + b"vorna_zep_JUSTUSR\0")


def synthetic_exe(block=None, seed=7):
    """An "executable": seeded noise with the block at an odd offset."""
    noise = random.Random(seed)
    head = bytes(noise.getrandbits(8) for _ in range(4097)) + b"MZ vorna_zep_ text"
    tail = bytes(noise.getrandbits(8) for _ in range(3001))
    block = config_block() if block is None else block
    return head + block + tail, len(head)


def fingerprint(pub_pem_path):
    der = subprocess.run(["openssl", "pkey", "-pubin", "-in", pub_pem_path, "-outform", "DER"],
                         capture_output=True, check=True).stdout
    return hashlib.sha256(der).hexdigest()


class ConfigTool(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="vorna-config-")
        self.addCleanup(self.scratch.cleanup)

    def path(self, name):
        return os.path.join(self.scratch.name, name)

    def write_exe(self, name="agent.exe", **keywords):
        image, offset = synthetic_exe(**keywords)
        with open(self.path(name), "wb") as out:
            out.write(image)
        return self.path(name), offset

    def leftovers(self):
        """Temporary files the tool left in the scratch folder."""
        return [n for n in os.listdir(self.scratch.name) if ".partial" in n]

    def ec_private_key(self):
        # As `openssl ecparam -genkey` writes it: "EC PARAMETERS", then "EC PRIVATE KEY".
        path = self.path("ec.pem")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-out", path],
                       check=True, capture_output=True)
        return path

    def run_tool(self, *arguments):
        return subprocess.run([ARGS.config, *arguments], capture_output=True, timeout=30)

    def test_round_trip_with_both_key_sizes(self):
        for bits in (1024, 2048):
            public = shared_fixture("test_key_%d.pub.pem" % bits)
            exe, offset = self.write_exe()
            original = read(exe)
            out = self.path("site%d.exe" % bits)
            done = self.run_tool("stamp", exe, "--out", out, "--address", "192.168.100.254",
                                 "--port", "8800", "--key", public)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(read(exe), original, "the input is untouched")
            expected = bytearray(original)
            block = config_block(b"192.168.100.254", b"8800", block_form(public))
            expected[offset:offset + len(block)] = block
            self.assertEqual(read(out), bytes(expected), "only the fields changed")
            self.assertEqual(self.leftovers(), [])
            shown = self.run_tool("show", out)
            self.assertEqual(shown.returncode, 0, shown.stderr)
            text = shown.stdout.decode()
            self.assertIn("address: 192.168.100.254\n", text)
            self.assertIn("port: 8800\n", text)
            self.assertIn("key: %d-bit RSA" % bits, text)
            self.assertIn("SHA-256 " + fingerprint(public), text)
            self.assertIn(block_form(public).decode(), text)

    def test_every_key_form_stamps_the_same_public_key(self):
        expected = config_block(key=block_form(shared_fixture("test_key_1024.pub.pem")))
        forms = [shared_fixture("test_key_1024.pem"), tool_fixture("rsa_1024_pkcs1_public.pem"),
                 tool_fixture("cert_1024.pem")]
        exe, offset = self.write_exe(block=config_block(key=block_form(
            shared_fixture("test_key_2048.pub.pem"))))
        for form in forms:
            out = self.path("out.exe")
            done = self.run_tool("stamp", exe, "--out", out, "--key", form)
            self.assertEqual(done.returncode, 0, (form, done.stderr))
            self.assertEqual(read(out)[offset:offset + len(expected)], expected, form)
            self.assertNotIn(b"PRIVATE", read(out), form)

    def test_in_place_rewrites_and_keeps_permissions(self):
        exe, offset = self.write_exe()
        os.chmod(exe, 0o750)
        done = self.run_tool("stamp", exe, "--in-place", "--port", "1")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(read(exe)[offset:offset + 1121], config_block(port=b"1")[:1121])
        self.assertEqual(stat.S_IMODE(os.stat(exe).st_mode), 0o750)

    def test_refusals_leave_no_output_and_the_input_as_it_was(self):
        doubled = config_block() + b"padding" + config_block()
        no_end = config_block()[:-18] + b"vorna_zep_JUSTUSX\0"
        key_field_full = config_block(key=b"k" * 1025)
        cases = [
            ("marker missing", no_end, ["--port", "801"], 2, "\"vorna_zep_JUSTUSR\" not found"),
            ("block twice", doubled, ["--port", "801"], 2, "found more than once"),
            ("address 256", None, ["--address", "256.1.1.1"], 3, "not a dotted IPv4"),
            ("leading zero", None, ["--address", "10.0.0.01"], 3, "no leading zeros"),
            ("31 characters", None, ["--address", "1" * 31], 3, "longer than 30"),
            ("port 0", None, ["--port", "0"], 3, "not a port number"),
            ("any address", None, ["--address", "0.0.0.0"], 3, "cannot be a server's address"),
            ("broadcast", None, ["--address", "255.255.255.255"], 3,
             "cannot be a server's address"),
            ("EC private key", None, ["--key", self.ec_private_key()], 3, "not an RSA key"),
            ("EC key", None, ["--key", tool_fixture("ec_p256_public.pem")], 3, "not an RSA key"),
            ("6144-bit key", None, ["--key", tool_fixture("rsa_6144_public.pem")], 3,
             "block holds 1024"),
            ("512-bit key", None, ["--key", tool_fixture("rsa_512_public.pem")], 3, "512-bit"),
            ("encrypted key", None, ["--key", tool_fixture("encrypted_1024.pem")], 3, "encrypted"),
            ("key file missing", None, ["--key", self.path("none.pem")], 2, "cannot open"),
            ("old key unusable", key_field_full, ["--port", "801"], 3, "no terminating NUL"),
            ("nothing to change", None, [], 1, "nothing to change"),
            ("unknown option", None, ["--adress", "1.2.3.4"], 1, "unexpected argument"),
        ]
        for name, block, arguments, code, message in cases:
            exe, _ = self.write_exe(block=block)
            before = hashlib.sha256(read(exe)).hexdigest()
            out = self.path("refused.exe")
            done = self.run_tool("stamp", exe, "--out", out, *arguments)
            self.assertEqual(done.returncode, code, (name, done.stderr))
            self.assertIn(message, done.stderr.decode(), name)
            self.assertFalse(os.path.exists(out), name)
            self.assertEqual(self.leftovers(), [], name)
            self.assertEqual(hashlib.sha256(read(exe)).hexdigest(), before, name)

    def test_refused_stamp_leaves_an_existing_output_alone(self):
        exe, _ = self.write_exe()
        out = self.path("existing.exe")
        with open(out, "wb") as existing:
            existing.write(b"previous build")
        done = self.run_tool("stamp", exe, "--out", out, "--port", "99999")
        self.assertEqual(done.returncode, 3)
        self.assertEqual(read(out), b"previous build")
        in_place = self.run_tool("stamp", exe, "--in-place", "--address", "1.2.3")
        self.assertEqual(in_place.returncode, 3)
        self.assertEqual(read(exe), synthetic_exe()[0])

    def test_keys_with_a_published_private_half_are_flagged(self):
        site = self.path("site.pem")
        subprocess.run(["openssl", "genrsa", "-out", site, "1024"], check=True,
                       capture_output=True)
        cases = [
            ("built-in key", shared_fixture("test_key_1024.pub.pem"), True),
            ("tests' 2048-bit key", shared_fixture("test_key_2048.pub.pem"), True),
            ("a site's own key", site, False),
        ]
        exe, _ = self.write_exe()
        for name, key, flagged in cases:
            out = self.path("flag.exe")
            done = self.run_tool("stamp", exe, "--out", out, "--key", key)
            self.assertEqual(done.returncode, 0, (name, done.stderr))
            shown = self.run_tool("show", out)
            self.assertEqual(shown.returncode, 0, name)
            self.assertEqual("TEST KEY" in shown.stdout.decode(), flagged, name)

    def test_a_link_at_the_old_temporary_name_is_never_followed(self):
        exe, _ = self.write_exe()
        victim = self.path("victim.txt")
        with open(victim, "wb") as data:
            data.write(b"not yours")
        os.chmod(victim, 0o600)
        out = self.path("linked.exe")
        os.symlink(victim, out + ".partial")
        done = self.run_tool("stamp", exe, "--out", out, "--port", "801")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(read(victim), b"not yours")
        self.assertEqual(stat.S_IMODE(os.stat(victim).st_mode), 0o600)
        self.assertIn(b"vorna_zep_port\x00801\x00", read(out))
        self.assertEqual(self.leftovers(), [os.path.basename(out) + ".partial"])

    def test_in_place_refuses_a_read_only_file_unless_forced(self):
        exe, offset = self.write_exe()
        os.chmod(exe, 0o444)
        refused = self.run_tool("stamp", exe, "--in-place", "--port", "801")
        self.assertEqual(refused.returncode, 4, refused.stderr)
        self.assertIn("read-only", refused.stderr.decode())
        self.assertEqual(read(exe), synthetic_exe()[0])
        forced = self.run_tool("stamp", exe, "--in-place", "--force", "--port", "801")
        self.assertEqual(forced.returncode, 0, forced.stderr)
        self.assertEqual(read(exe)[offset:offset + 1121], config_block(port=b"801")[:1121])

    def test_usage_errors(self):
        exe, _ = self.write_exe()
        cases = [
            (["stamp", exe, "--port", "801"], "exactly one of --out"),
            (["stamp", exe, "--out", self.path("x"), "--in-place", "--port", "801"],
             "exactly one of --out"),
            (["stamp", exe, "--out", exe, "--port", "801"], "use --in-place"),
            (["stamp", "--port", "801"], "needs the agent's EXE"),
            (["show"], "usage:"),
            (["frobnicate", exe], "usage:"),
        ]
        for arguments, message in cases:
            done = self.run_tool(*arguments)
            self.assertEqual(done.returncode, 1, arguments)
            self.assertIn(message, done.stderr.decode(), arguments)
        self.assertEqual(read(exe), synthetic_exe()[0])

    def test_show_reports_blocks_the_agent_cannot_use(self):
        cases = [
            (config_block(), 0, "key: 1024-bit RSA"),
            (config_block(address=b"localhost"), 3, "address: localhost  (not valid)"),
            (config_block(port=b"0"), 3, "port: 0  (not valid)"),
            (config_block(key=b"-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----"), 3,
             "key: not valid"),
            (config_block(key=read(shared_fixture("test_key_1024.pub.pem"))), 3,
             "not in the block's form"),
        ]
        for block, code, message in cases:
            exe, _ = self.write_exe(block=block)
            done = self.run_tool("show", exe)
            self.assertEqual(done.returncode, code, message)
            self.assertIn(message, done.stdout.decode())
        missing = self.run_tool("show", self.path("absent.exe"))
        self.assertEqual(missing.returncode, 2)
        self.assertIn("cannot open", missing.stderr.decode())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("server", "config", "request", "fixtures", "tool-fixtures"):
        parser.add_argument("--" + name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
