"""The module behind p11-kit's RPC and under PyKCS11's shipped examples.

p11-kit: `p11-kit server --provider <module>` serves the token on a socket
of its own; pkcs11-tool reaches it through p11-kit-client.so with
P11_KIT_SERVER_ADDRESS: the slot and token list, a login, the objects of
the token, a data object written and read back, a digest. The shipped
PyKCS11 examples run unchanged against the token: getinfo, dumpit (with the
user's PIN), events (a removal and an insertion), and, once the module
makes RSA key pairs, generate, signature, rsa_encrypt and encrypt. The
examples log in with "1234", below the token's least PIN length: they run
under a small loader that hands them the test token's PIN instead. Every
check reads the consumer's output.

Run with /usr/bin/python3 (PyKCS11 imports only there):
    rpc_examples_e2e_test.py <absolute path of the module> [test names]
"""
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import token_e2e_test as base  # noqa: E402
from token_e2e_test import PyKCS11, USER_PIN  # noqa: E402

CLIENT = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-client.so"
EXAMPLES = "/usr/share/doc/python3-pykcs11/examples"
LABEL = "Consumers"

# Runs a shipped example as it stands, with the token's PIN for its "1234".
LOADER = """
import runpy, sys, PyKCS11
login = PyKCS11.Session.login
def with_token_pin(self, pin=None, user_type=PyKCS11.CKU_USER):
    return login(self, sys.argv[2] if pin == "1234" else pin, user_type)
PyKCS11.Session.login = with_token_pin
path = sys.argv[1]
sys.argv = [path] + sys.argv[3:]
sys.path.insert(0, __import__("os").path.dirname(path))
runpy.run_path(path, run_name="__main__")
"""


class Rpc(base.Base):
    def setUp(self):
        super().setUp()
        if not os.path.exists(CLIENT) or shutil.which("p11-kit") is None:
            self.skipTest("p11-kit with its client module is not installed")
        self.init_token(LABEL)
        self.dir = tempfile.mkdtemp()
        socket = os.path.join(self.dir, "server")
        self.server = subprocess.Popen(["p11-kit", "server", "--foreground", "--sh", "--provider", base.MODULE,
                                        "--name", socket, "pkcs11:token=" + LABEL],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.server.stdout.readline()
        match = re.search(r"P11_KIT_SERVER_ADDRESS=([^;]+);", line)
        self.assertIsNotNone(match, line + self.server.stderr.read() if self.server.poll() is not None else line)
        self.env = dict(os.environ, P11_KIT_SERVER_ADDRESS=match.group(1))

    def tearDown(self):
        if getattr(self, "server", None) is not None:
            self.server.send_signal(signal.SIGTERM)
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
            self.server.stdout.close()
            self.server.stderr.close()
        if getattr(self, "dir", None):
            shutil.rmtree(self.dir, ignore_errors=True)
        super().tearDown()

    def client(self, *args, binary=False):
        return subprocess.run(["pkcs11-tool", "--module", CLIENT, *args], capture_output=True, text=not binary,
                              timeout=60, env=self.env)

    def test_pkcs11_tool_through_the_rpc(self):
        out = self.client("-L")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("token label        : " + LABEL, out.stdout)
        self.assertIn("token manufacturer : Tarnely", out.stdout)
        self.assertIn("serial num         : " + base.SERIAL, out.stdout)
        self.assertIn("PIN initialized", out.stdout)

        out = self.client("--login", "--pin", "000000", "-O")
        self.assertNotEqual(out.returncode, 0)
        self.assertIn("CKR_PIN_INCORRECT", out.stdout + out.stderr)

        value = bytes(range(256)) * 3
        path = os.path.join(self.dir, "value.bin")
        with open(path, "wb") as f:
            f.write(value)
        out = self.client("--login", "--pin", USER_PIN, "--write-object", path, "--type", "data",
                          "--label", "through-rpc", "--private")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        out = self.client("--login", "--pin", USER_PIN, "-O")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertRegex(out.stdout, r"label: +'through-rpc'")
        self.assertRegex(out.stdout, r"through-rpc'[^D]*flags: +modifiable private")
        back = os.path.join(self.dir, "back.bin")
        out = self.client("--login", "--pin", USER_PIN, "--read-object", "--type", "data", "--label", "through-rpc",
                          "--output-file", back)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        with open(back, "rb") as f:
            self.assertEqual(f.read(), value)
        out = self.client("-O")
        self.assertNotIn("through-rpc", out.stdout, "a private object is not listed without the login")

        out = self.client("--hash", "-m", "SHA256", "--input-file", path, binary=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout, hashlib.sha256(value).digest())

        out = self.client("--login", "--pin", USER_PIN, "--delete-object", "--type", "data", "--label", "through-rpc")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        out = self.client("--login", "--pin", USER_PIN, "-O")
        self.assertNotIn("through-rpc", out.stdout)


class Examples(base.Base):
    def setUp(self):
        super().setUp()
        if not os.path.isdir(EXAMPLES):
            self.skipTest("the PyKCS11 examples are not installed (scripts/setup.sh installs them)")
        self.init_token(LABEL)
        self.env = dict(os.environ, PYKCS11LIB=base.MODULE)

    def example(self, name, *args, timeout=60):
        return subprocess.run([sys.executable, "-c", LOADER, os.path.join(EXAMPLES, name), USER_PIN, *args],
                              capture_output=True, text=True, timeout=timeout, env=self.env)

    def rsa_available(self):
        p11 = self.loaded()
        return "CKM_RSA_PKCS_KEY_PAIR_GEN" in p11.getMechanismList(0) and self.pair_made(p11)

    def pair_made(self, p11):
        s = p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
        s.login(USER_PIN)
        try:
            pub, priv = s.generateKeyPair([(PyKCS11.CKA_MODULUS_BITS, 1024)], [],
                                          PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS_KEY_PAIR_GEN))
        except PyKCS11.PyKCS11Error:
            return False
        s.destroyObject(pub)
        s.destroyObject(priv)
        return True

    def test_getinfo_and_dumpit(self):
        out = self.example("getinfo.py", "--lib", base.MODULE)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("Available Slots: 1 [0]", out.stdout)
        self.assertRegex(out.stdout, r"label: +" + LABEL)
        self.assertRegex(out.stdout, r"serialNumber: +" + base.SERIAL)
        self.assertIn("CKF_TOKEN_INITIALIZED", out.stdout)
        self.assertNotRegex(out.stdout, r"(?m)^Error:")

        p11 = self.loaded()
        s = p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
        s.login(USER_PIN)
        s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True),
                        (PyKCS11.CKA_PRIVATE, True), (PyKCS11.CKA_LABEL, "dumped"),
                        (PyKCS11.CKA_VALUE, b"\x01\x02\x03\xfe")])
        s.logout()
        del s, p11

        out = self.example("dumpit.py", "--lib", base.MODULE, "--pin", USER_PIN)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertNotIn("login failed", out.stdout)
        self.assertIn("Found 1 objects", out.stdout)
        self.assertIn("CKA_LABEL: dumped", out.stdout)
        self.assertIn("CKO_DATA", out.stdout)
        out = self.example("dumpit.py", "--lib", base.MODULE)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("Found 0 objects", out.stdout, "a private object without the login")

    def test_events_follow_removal_and_insertion(self):
        proc = subprocess.Popen([sys.executable, "-u", "-c", LOADER, os.path.join(EXAMPLES, "events.py"), USER_PIN,
                                 "--lib", base.MODULE], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                env=self.env)
        seen = []
        try:
            def until(text):
                deadline = time.monotonic() + 20
                while time.monotonic() < deadline:
                    line = proc.stdout.readline()
                    if not line:
                        break
                    seen.append(line)
                    if text in line:
                        return
                self.fail("no %r in:\n%s" % (text, "".join(seen)))

            until("waiting...")
            self.vt.remove()
            until("Slot 0 changed")
            until("waiting...")
            self.vt.insert(wait_ready=True)
            until("Slot 0 changed")
        finally:
            proc.kill()
            proc.wait()
            proc.stdout.close()
        text = "".join(seen)
        self.assertIn("Available Slots:", text)
        self.assertNotRegex(text, r"(?m)^Error:")

    def test_key_pair_examples(self):
        if not self.rsa_available():
            self.skipTest("the module makes no RSA key pairs yet: generate, signature, rsa_encrypt and encrypt "
                          "run once it does")
        out = self.example("generate.py")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        out = self.example("signature.py")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("Verified: True", out.stdout)
        out = self.example("encrypt.py")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("decrypted: bytearray(b'Hello world\\r\\n')", out.stdout)
        out = self.example("rsa_encrypt.py")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertNotRegex(out.stdout, r"(?m)^Error:")


if __name__ == "__main__":
    base.MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
