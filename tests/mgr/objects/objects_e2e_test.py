#!/usr/bin/env python3
"""The manager library's containers, files, certificates and imports on the
virtual token, then the token read by native consumers.

1. The fixtures are made here with openssl: a root, an intermediate and an
   end entity (basicConstraints CA:FALSE, a serial whose DER has a leading
   zero byte, a common name outside ASCII), a certificate of another key,
   an EC certificate, .p12 files with a password and with an empty one,
   one with a key whose CRT coefficient is shorter than its field, and the
   chain as P7B (DER, PEM with CERTIFICATE markers and CRLF line ends, PEM
   with PKCS7 markers) and a P7B of nine certificates.
2. The Windows program (token_objects_test.cpp) runs its cases under Wine
   with the tree's module DLL.
3. The import cases that leave their objects on the token are run one at a
   time; after each, pkcs11-tool with the native module lists the token,
   signs with each imported key, and openssl verifies every signature with
   the end entity's certificate.

Under Wine the PFX import drops the file's self-signed root: the program
looks entries up by subject and does not require the root.

    objects_e2e_test.py --program PROGRAM.exe --native-module MODULE.so --wine-run wine-run.sh
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "vtoken"))

from vtctl import VtCtl  # noqa: E402

from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import rsa  # noqa: E402

ARGS = None
USER_PIN = "11112222"
PASSWORD = "objects-pass"
CONTROL_PORT = int(os.environ.get("VTOKEN_CONTROL_PORT", "40470"))
WINE_TIMEOUT = int(os.environ.get("SOLVANTA_MGR_WINE_TIMEOUT", "900"))
EE_CN = "Zo\u00eb \u03a9 End Entity"
KEEP_CASES = ("token_objects.Pkcs12ImportOntoTheToken", "token_objects.P7bImportOntoTheToken")
CSP_CASES = "csp_import.*"
SKIP_CODE = 77


def run(*args, env=None, timeout=120, cwd=None):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=timeout, env=env, cwd=cwd)


class Fixtures:
    """The certificate and key files, made with openssl in a scratch folder."""

    def __init__(self, folder):
        self.dir = folder

    def path(self, name):
        return os.path.join(self.dir, name)

    def openssl(self, *args):
        out = run("openssl", *args, cwd=self.dir)
        if out.returncode != 0:
            raise RuntimeError("openssl %s:\n%s%s" % (" ".join(args), out.stdout, out.stderr))
        return out.stdout

    def ext(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        return name

    def key(self, name, bits=2048):
        self.openssl("genrsa", "-out", name, str(bits))
        return name

    def short_coefficient_key(self, name):
        """An RSA key whose coefficient (q^-1 mod p) is a byte shorter than
        its field: searched among fresh keys (about one in 256 qualifies)."""
        for _ in range(4096):
            k = rsa.generate_private_key(65537, 1024)
            if k.private_numbers().iqmp < 1 << (512 - 8):
                with open(self.path(name), "wb") as f:
                    f.write(k.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                            serialization.NoEncryption()))
                return name
        raise RuntimeError("no short-coefficient key found")

    def cert(self, name, key, subject, issuer_cert=None, issuer_key=None, ext=None, serial="0x1001"):
        csr = name + ".csr"
        self.openssl("req", "-new", "-utf8", "-key", key, "-subj", subject, "-out", csr)
        args = ["x509", "-req", "-in", csr, "-days", "3650", "-set_serial", serial, "-sha256", "-out", name + ".pem"]
        if issuer_cert:
            args += ["-CA", issuer_cert, "-CAkey", issuer_key]
        else:
            args += ["-signkey", key]
        if ext:
            args += ["-extfile", ext, "-extensions", "x"]
        self.openssl(*args)
        self.openssl("x509", "-in", name + ".pem", "-outform", "DER", "-out", name + ".der")
        return name + ".pem"

    def make(self):
        ca = self.ext("ca.ext", "[x]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign,cRLSign\n")
        leaf = self.ext("leaf.ext", "[x]\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n")
        self.cert("root", self.key("root.key"), "/CN=Objects Root CA", ext=ca, serial="0x01")
        self.cert("inter", self.key("inter.key"), "/CN=Objects Intermediate CA", "root.pem", "root.key", ca, "0x02")
        # The serial's DER content starts with a zero byte (its next byte
        # has the high bit set).
        self.cert("ee", self.key("ee.key"), "/CN=" + EE_CN, "inter.pem", "inter.key", leaf, "0xA1B2C3D4E5F60718")
        self.cert("other", self.key("other.key"), "/CN=Objects Other", "inter.pem", "inter.key", leaf, "0x05")
        self.cert("short", self.short_coefficient_key("short.key"), "/CN=Objects Short Coefficient", "inter.pem",
                  "inter.key", leaf, "0x06")
        self.openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "ec.key")
        self.cert("ec", "ec.key", "/CN=Objects EC", ext=leaf, serial="0x07")
        modulus = self.openssl("x509", "-in", "ee.pem", "-noout", "-modulus").strip().split("=", 1)[1]
        with open(self.path("ee.modulus"), "w") as f:
            f.write(modulus.lower() + "\n")
        for name in ("ee", "short"):
            self.openssl("x509", "-in", name + ".pem", "-noout", "-pubkey", "-out", name + ".pub")
        with open(self.path("chain.pem"), "w") as f:
            for name in ("ee", "inter", "root"):
                f.write(open(self.path(name + ".pem")).read())
        with open(self.path("cas.pem"), "w") as f:
            for name in ("inter", "root"):
                f.write(open(self.path(name + ".pem")).read())
        for out, password in (("ee.p12", PASSWORD), ("ee_empty.p12", "")):
            self.openssl("pkcs12", "-export", "-inkey", "ee.key", "-in", "ee.pem", "-certfile", "cas.pem",
                         "-passout", "pass:" + password, "-out", out)
        self.openssl("pkcs12", "-export", "-inkey", "short.key", "-in", "short.pem", "-certfile", "inter.pem",
                     "-passout", "pass:" + PASSWORD, "-out", "short.p12")
        # The chain as P7B, in DER and in the PEM forms.
        self.openssl("crl2pkcs7", "-nocrl", "-certfile", "chain.pem", "-outform", "DER", "-out", "chain.p7b")
        pem = self.openssl("crl2pkcs7", "-nocrl", "-certfile", "chain.pem")
        with open(self.path("chain_pkcs7.p7b"), "w", newline="") as f:
            f.write(pem)
        with open(self.path("chain_cert_markers.p7b"), "w", newline="") as f:
            f.write(pem.replace("PKCS7", "CERTIFICATE").replace("\n", "\r\n"))
        # Two certificates in one PEM file.
        with open(self.path("two.pem"), "w") as f:
            f.write(open(self.path("root.pem")).read() + open(self.path("inter.pem")).read())
        # Nine certificates.
        with open(self.path("nine.pem"), "w") as f:
            for i in range(9):
                self.cert("n%d" % i, "other.key", "/CN=Objects Nine %d" % i, "inter.pem", "inter.key", leaf,
                          "0x%x" % (0x100 + i))
                f.write(open(self.path("n%d.pem" % i)).read())
        self.openssl("crl2pkcs7", "-nocrl", "-certfile", "nine.pem", "-outform", "DER", "-out", "nine.p7b")


def objects_of(listing):
    """pkcs11-tool's object listing as one dict per object: its first line
    as "kind", then its indented "name: value" lines."""
    objects = []
    for line in listing.splitlines():
        if not line.strip():
            continue
        if not line.startswith(" "):
            objects.append({"kind": line.strip()})
        elif objects and ":" in line:
            name, value = line.strip().split(":", 1)
            objects[-1][name.strip()] = value.strip()
    return objects


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


class WithFixtures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="mgr_objects_")
        cls.fx = Fixtures(cls.dir)
        cls.fx.make()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    # The cases on the token load the module, whose slot monitor is a
    # thread of its own: where 32-bit programs run emulated, such a program
    # is not started (scripts/wine-run.sh reports it skipped).
    threaded = False

    def wine(self, gtest_filter, keep=False):
        env = dict(os.environ, SOLVANTA_MGR_FIXTURES=wine_path(self.dir))
        if keep:
            env["SOLVANTA_MGR_KEEP_TOKEN"] = "1"
        if self.threaded:
            env["SOLVANTA_WINE_THREADED"] = "1"
        out = run("bash", ARGS.wine_run, ARGS.program, "--gtest_filter=" + gtest_filter, env=env,
                  timeout=WINE_TIMEOUT, cwd=os.path.dirname(ARGS.program))
        text = out.stdout + out.stderr
        if out.returncode == SKIP_CODE and "SKIPPED" in text:
            raise unittest.SkipTest(text.strip())
        self.assertEqual(out.returncode, 0, text)
        self.assertIn("[  PASSED  ]", text)
        self.assertNotIn("[  FAILED  ]", text)
        self.assertNotIn("[  SKIPPED ]", text)
        return text


class ProviderRoute(WithFixtures):
    """pkcs12_import_certificate_csp against the stand-in provider."""

    def test_pkcs12_into_the_provider(self):
        self.wine(CSP_CASES)


class ObjectsOnTheToken(WithFixtures):
    threaded = True

    def setUp(self):
        self.vt = VtCtl(CONTROL_PORT, timeout=15.0).connect()

    def tearDown(self):
        if not self.vt.status()["inserted"]:
            self.vt.insert(wait_ready=True)
        self.vt.reset_state()
        self.vt.close()

    def tool(self, *args):
        out = run("pkcs11-tool", "--module", ARGS.native_module, *args)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        return out.stdout

    def signs_and_verifies(self, key_id, cert):
        data = self.fx.path("data-%s.bin" % key_id)
        sig = self.fx.path("sig-%s.bin" % key_id)
        with open(data, "wb") as f:
            f.write(b"signed on the token after a PKCS #12 import " + key_id.encode())
        self.tool("--login", "--pin", USER_PIN, "--sign", "-m", "SHA256-RSA-PKCS", "--id", key_id, "-i", data,
                  "-o", sig)
        out = run("openssl", "dgst", "-sha256", "-verify", self.fx.path(cert + ".pub"), "-signature", sig, data)
        self.assertIn("Verified OK", out.stdout, out.stdout + out.stderr)
        # And a signature over other data is refused.
        other = self.fx.path("other-%s.bin" % key_id)
        with open(other, "wb") as f:
            f.write(b"something else")
        out = run("openssl", "dgst", "-sha256", "-verify", self.fx.path(cert + ".pub"), "-signature", sig, other)
        self.assertNotIn("Verified OK", out.stdout)

    def test_exports_under_wine(self):
        self.wine("-" + ":".join(KEEP_CASES + (CSP_CASES,)))

    def test_pkcs12_import_then_native_consumers(self):
        self.wine(KEEP_CASES[0], keep=True)
        objects = objects_of(self.tool("--login", "--pin", USER_PIN, "--list-objects"))
        # The key pair and certificate of "c1" (id "c1" = 6331), those of
        # "c2" (6332), and the intermediate outside containers.
        for key_id, bits, cn in (("6331", "2048", "Zo\\xC3\\xAB \\xCE\\xA9 End Entity"),
                                 ("6332", "1024", "Objects Short Coefficient")):
            kinds = sorted(o["kind"] for o in objects if o.get("ID") == key_id)
            self.assertEqual(kinds, ["Certificate Object; type = X.509 cert", "Private Key Object; RSA",
                                     "Public Key Object; RSA %s bits" % bits], objects)
            cert = [o for o in objects if o.get("ID") == key_id and o["kind"].startswith("Certificate")][0]
            self.assertEqual(cert.get("subject"), "DN: CN=" + cn)
        self.assertEqual([o.get("serial") for o in objects if o.get("ID") == "6331" and "subject" in o],
                         ["A1B2C3D4E5F60718"])
        standalone = [o for o in objects if o["kind"].startswith("Certificate") and "ID" not in o]
        self.assertEqual([o.get("subject") for o in standalone], ["DN: CN=Objects Intermediate CA"])
        self.signs_and_verifies("6331", "ee")
        # The key whose coefficient is shorter than its field.
        self.signs_and_verifies("6332", "short")

    def test_p7b_import_then_native_listing(self):
        self.wine(KEEP_CASES[1], keep=True)
        objects = objects_of(self.tool("--list-objects", "--type", "cert"))
        self.assertEqual(sorted(o.get("subject") for o in objects),
                         ["DN: CN=Objects Intermediate CA", "DN: CN=Objects Root CA",
                          "DN: CN=Zo\\xC3\\xAB \\xCE\\xA9 End Entity"], objects)
        self.assertTrue(all("ID" not in o for o in objects), objects)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--native-module", required=True)
    parser.add_argument("--wine-run", required=True)
    ARGS, rest = parser.parse_known_args()
    result = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    # Every case skipped: the test is reported skipped, never passed.
    sys.exit(SKIP_CODE if result.testsRun and len(result.skipped) == result.testsRun else 0)


if __name__ == "__main__":
    main()
