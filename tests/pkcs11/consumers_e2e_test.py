"""The native module's RSA keys on the virtual token through the consumers
that use them in the field: OpenSSL through its pkcs11 engine (sign, decrypt,
a self-signed certificate), GnuTLS's p11tool, NSS (certutil, cmsutil), the
Mozilla-style flow of pkcs11-tool, keys imported as the CRT set and as n, e
and d only, and X9.31 through C_Sign and C_Verify against openssl. The card
runs in strict access mode: a private key signs only after the user PIN
reached it. Every check reads the consumer's output, and every signature is
verified by openssl or python3-cryptography, not by the module.

Run with /usr/bin/python3 (PyKCS11 imports only there):
    consumers_e2e_test.py <absolute path of the module> [test names]
"""
import datetime
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

sys.path.insert(0, os.path.join(HERE, "..", "support"))
import openssl_engine  # noqa: E402
import token_e2e_test as base  # noqa: E402
import token_objects_e2e_test as objects  # noqa: E402
from token_e2e_test import PyKCS11, USER_PIN, tool  # noqa: E402

from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import padding, rsa  # noqa: E402
from cryptography.x509.oid import NameOID  # noqa: E402

LABEL = "Consumers"
CKR_SIGNATURE_INVALID = 0xC0


def run(*args, env=None, timeout=180):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=timeout, env=env)


def self_signed(key, name):
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    b = x509.CertificateBuilder().subject_name(subject).issuer_name(subject).public_key(key.public_key())
    b = b.serial_number(0x5A17).not_valid_before(datetime.datetime(2020, 1, 1))
    b = b.not_valid_after(datetime.datetime(2040, 1, 1))
    return b.sign(key, hashes.SHA256()).public_bytes(serialization.Encoding.DER)


def big(v):
    """An integer as the minimal big-endian bytes PKCS #11 takes."""
    return v.to_bytes((v.bit_length() + 7) // 8, "big")


def private_template(key, key_id, crt):
    """A token RSA private key with its values: n, e and d, and with crt
    the primes and CRT values as well."""
    numbers = key.private_numbers()
    template = [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_RSA),
                (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_PRIVATE, True), (PyKCS11.CKA_SIGN, True),
                (PyKCS11.CKA_ID, key_id), (PyKCS11.CKA_MODULUS, big(numbers.public_numbers.n)),
                (PyKCS11.CKA_PUBLIC_EXPONENT, big(numbers.public_numbers.e)),
                (PyKCS11.CKA_PRIVATE_EXPONENT, big(numbers.d))]
    if crt:
        template += [(PyKCS11.CKA_PRIME_1, big(numbers.p)), (PyKCS11.CKA_PRIME_2, big(numbers.q)),
                     (PyKCS11.CKA_EXPONENT_1, big(numbers.dmp1)), (PyKCS11.CKA_EXPONENT_2, big(numbers.dmq1)),
                     (PyKCS11.CKA_COEFFICIENT, big(numbers.iqmp))]
    return template


def x931_content(signature, n, e):
    """The data an X9.31 signature carries, recovered in Python: the block
    6B [BB..] BA data CC, or n minus it (the signer's choice of the smaller
    representative)."""
    k = (n.bit_length() + 7) // 8
    value = pow(int.from_bytes(signature, "big"), e, n)
    if value & 0xF != 0xC:
        value = n - value
    block = value.to_bytes(k, "big")
    if block[-1] != 0xCC or block[0] not in (0x6A, 0x6B):
        return None
    if block[0] == 0x6A:
        return block[1:-1]
    at = 1
    while at < k and block[at] == 0xBB:
        at += 1
    return block[at + 1:-1] if at < k and block[at] == 0xBA else None


class Consumers(base.Base):
    user_session = objects.Objects.user_session

    def setUp(self):
        super().setUp()
        self.init_token(LABEL)
        self.vt.call("set", access_mode="strict")
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        super().tearDown()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def ok(self, out, what):
        self.assertEqual(out.returncode, 0, "%s:\n%s%s" % (what, out.stdout, out.stderr))
        return out.stdout + out.stderr

    def card_key(self, key_id="01", label="k1"):
        """A key pair made on the card by pkcs11-tool; its public key as
        pkcs11-tool exports it, loaded by python3-cryptography."""
        self.ok(tool("--login", "--pin", USER_PIN, "--keypairgen", "--key-type", "rsa:2048", "--id", key_id,
                     "--label", label), "keypairgen")
        der = self.path("pub%s.der" % key_id)
        self.ok(tool("--read-object", "--type", "pubkey", "--id", key_id, "-o", der), "read pubkey")
        with open(der, "rb") as f:
            return der, serialization.load_der_public_key(f.read())

    def engine(self, *args):
        """openssl with libp11's engine, the module and the PIN in its config."""
        if not openssl_engine.installed():
            self.skipTest("libengine-pkcs11-openssl is not installed")
        env = openssl_engine.environment(self.path("openssl.cnf"), base.MODULE, USER_PIN,
                                         "[req]\ndistinguished_name = dn\n[dn]\n")
        return run("openssl", *args, env=env, timeout=120)

    def nss(self, program, *args):
        return run(program, "-dbdir" if program == "modutil" else "-d", "sql:" + self.db, *args)

    def nss_with_module(self):
        """A fresh NSS database with the module added; the file with the
        user PIN that certutil and cmsutil read."""
        self.db = self.path("nssdb")
        os.mkdir(self.db)
        self.ok(self.nss("certutil", "-N", "--empty-password"), "certutil -N")
        out = self.nss("modutil", "-add", "solvantex", "-libfile", base.MODULE, "-force")
        self.assertIn('Module "solvantex" added to database.', self.ok(out, "modutil -add"))
        return self.write("pins", (USER_PIN + "\n").encode())

    def cms_signs_and_openssl_checks(self, nickname, cert_pem, pins, content, *options):
        """cmsutil signs content with the token's key of nickname (options
        go to cmsutil); openssl accepts the detached signature over that
        content under cert_pem and refuses it over other content."""
        data = self.write("data", content)
        out = self.nss("cmsutil", "-S", *options, "-T", "-N", nickname, "-Y", "NONE", "-i", data,
                       "-o", self.path("sig.p7"), "-f", pins)
        self.ok(out, "cmsutil -S")
        out = run("openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", self.path("sig.p7"),
                  "-content", data, "-CAfile", cert_pem, "-out", self.path("content"))
        self.assertIn("Verification successful", self.ok(out, "openssl cms -verify"))
        self.assertEqual(self.read("content"), self.read("data"))
        tampered = self.write("tampered", b"signed by someone else\n")
        out = run("openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", self.path("sig.p7"),
                  "-content", tampered, "-noverify", "-out", os.devnull)
        self.assertNotEqual(out.returncode, 0)
        self.assertIn("content verify error", (out.stdout + out.stderr).lower())

    def openssl_verify(self, pub_der, data, sig, *options):
        out = run("openssl", "pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey", pub_der,
                  "-in", data, "-sigfile", sig, *options)
        self.assertIn("Signature Verified Successfully", self.ok(out, "openssl verify"))


class Engine(Consumers):
    def test_engine_signs_decrypts_and_makes_a_certificate(self):
        pub_der, public = self.card_key()
        uri = "pkcs11:token=%s;object=k1;type=private" % LABEL
        message = self.write("message", b"signed through the engine\n" * 9)
        digest = self.write("digest", hashlib.sha256(self.read("message")).digest())

        # A signature over a SHA-256 digest, checked by openssl with the key
        # pkcs11-tool exported.
        self.ok(self.engine("pkeyutl", "-engine", "pkcs11", "-keyform", "engine", "-sign", "-inkey", uri,
                            "-pkeyopt", "digest:sha256", "-in", digest, "-out", self.path("sig")), "engine sign")
        self.assertEqual(len(self.read("sig")), 256)
        self.openssl_verify(pub_der, digest, self.path("sig"), "-pkeyopt", "digest:sha256")
        public.verify(self.read("sig"), self.read("message"), padding.PKCS1v15(), hashes.SHA256())

        # Data openssl encrypted with the exported key, decrypted on the card.
        secret = os.urandom(48)
        self.write("secret", secret)
        self.ok(run("openssl", "pkeyutl", "-encrypt", "-pubin", "-keyform", "DER", "-inkey", pub_der,
                    "-in", self.path("secret"), "-out", self.path("secret.enc")), "openssl encrypt")
        self.ok(self.engine("pkeyutl", "-engine", "pkcs11", "-keyform", "engine", "-decrypt", "-inkey", uri,
                            "-in", self.path("secret.enc"), "-out", self.path("secret.dec")), "engine decrypt")
        self.assertEqual(self.read("secret.dec"), secret)

        # A self-signed certificate: its signature verifies with the key, and
        # openssl takes it as its own trust anchor.
        out = self.engine("req", "-engine", "pkcs11", "-keyform", "engine", "-new", "-x509", "-key", uri,
                          "-subj", "/CN=Made through the engine", "-days", "30", "-sha256",
                          "-out", self.path("cert.pem"))
        self.ok(out, "engine req")
        cert = x509.load_pem_x509_certificate(self.read("cert.pem"))
        self.assertEqual(cert.public_key().public_numbers(), public.public_numbers())
        public.verify(cert.signature, cert.tbs_certificate_bytes, padding.PKCS1v15(), cert.signature_hash_algorithm)
        out = run("openssl", "verify", "-CAfile", self.path("cert.pem"), self.path("cert.pem"))
        self.assertIn("cert.pem: OK", self.ok(out, "openssl verify"))


class GnuTls(Consumers):
    def test_p11tool_test_sign(self):
        self.card_key()
        out = run("p11tool", "--provider", base.MODULE, "--login", "--test-sign",
                  "pkcs11:token=%s;object=k1;type=private" % LABEL,
                  env=dict(os.environ, GNUTLS_PIN=USER_PIN), timeout=120)
        text = self.ok(out, "p11tool --test-sign")
        self.assertRegex(text, r"Signing using RSA-SHA256\.\.\. ok")
        self.assertIn("Verifying against private key parameters... ok", text)
        self.assertIn("Verifying against public key in the token... ok", text)
        self.assertNotIn("failed", text.lower())


class Nss(Consumers):
    """A fresh NSS database with the module added: the token's keys and
    certificates listed, a self-signed certificate made on the token, a CMS
    signature with it that openssl accepts."""

    def test_certutil_and_cmsutil_on_the_token(self):
        pins = self.nss_with_module()
        # modutil asks every slot for its token, and the three empty ones
        # rightly have none: it names them and ends with status 32.
        out = self.nss("modutil", "-list", "solvantex", "-force")
        self.assertIn("Token Name: %s" % LABEL, out.stdout)
        self.assertEqual(out.stderr.count('Unable to get information about token "".'), 3, out.stderr)
        self.assertEqual(out.stdout.count("Slot: Virtual Slot"), 4)

        # What pkcs11-tool put on the token, NSS lists.
        self.card_key()
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.ok(tool("--login", "--pin", USER_PIN, "--write-object", self.write("c.der", self_signed(key, "Listed")),
                     "--type", "cert", "--id", "01", "--label", "c1"), "write cert")
        out = self.nss("certutil", "-K", "-h", "all", "-f", pins)
        self.assertRegex(self.ok(out, "certutil -K"), r"rsa\s+01\s+k1\n")
        out = self.nss("certutil", "-L", "-h", "all", "-f", pins)
        self.assertRegex(self.ok(out, "certutil -L"), r"%s:c1\s+u,u,u" % LABEL)

        # An RSA key pair made on the token by NSS, its certificate stored there.
        noise = self.write("noise", os.urandom(2048))
        out = self.nss("certutil", "-S", "-x", "-h", LABEL, "-n", "nsscert", "-s", "CN=Made by NSS", "-k", "rsa",
                       "-g", "2048", "-t", "u,u,u", "-Z", "SHA256", "-z", noise, "-f", pins)
        self.ok(out, "certutil -S")
        out = self.nss("certutil", "-L", "-h", LABEL, "-f", pins)
        self.assertRegex(self.ok(out, "certutil -L"), r"%s:nsscert\s+u,u,u" % LABEL)
        out = self.nss("certutil", "-L", "-h", LABEL, "-n", "%s:nsscert" % LABEL, "-a", "-f", pins)
        self.ok(out, "certutil -L -a")
        cert = x509.load_pem_x509_certificate(out.stdout.encode())
        cert.public_key().verify(cert.signature, cert.tbs_certificate_bytes, padding.PKCS1v15(),
                                 cert.signature_hash_algorithm)
        self.assertEqual(cert.public_key().key_size, 2048)
        self.write("nss.pem", cert.public_bytes(serialization.Encoding.PEM))
        # NSS names the new key by the SHA-1 of its modulus; the module gave
        # it the default label of a private key.
        n = cert.public_key().public_numbers().n
        key_id = hashlib.sha1(n.to_bytes((n.bit_length() + 7) // 8, "big")).hexdigest()
        out = self.nss("certutil", "-K", "-h", LABEL, "-f", pins)
        self.assertRegex(self.ok(out, "certutil -K"), r"rsa\s+%s\s+A private obj" % key_id)

        # A detached CMS signature made on the token, accepted by openssl.
        # cmsutil checks its signer's chain: the self-signed certificate (no
        # CA) is trusted as a peer first.
        out = self.nss("certutil", "-M", "-n", "%s:nsscert" % LABEL, "-t", "P,P,P", "-f", pins)
        self.ok(out, "certutil -M")
        self.cms_signs_and_openssl_checks("%s:nsscert" % LABEL, self.path("nss.pem"), pins,
                                          b"signed by NSS on the card\n" * 5)


class MozillaFlow(Consumers):
    def test_moz_cert_flow(self):
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        cert = self.write("moz.der", self_signed(key, "Mozilla flow"))
        out = tool("--test", "--login", "--pin", USER_PIN, "--moz-cert", cert, "--id", "45",
                   "--key-type", "RSA:2048")
        text = self.ok(out, "pkcs11-tool --moz-cert")
        self.assertIn("Should work with Mozilla", out.stdout.strip().splitlines()[-1], text)
        self.assertNotIn("not implemented", text)


class ImportedKeys(Consumers):
    """Keys the token did not make: the CRT set pkcs11-tool writes, and a key
    given as n, e and d alone."""

    def signs_like_openssl(self, session, key_id, key):
        [handle] = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_ID, key_id)])
        message = b"imported keys sign as their owner would" * 3
        for mech, algorithm in ((PyKCS11.CKM_SHA256_RSA_PKCS, hashes.SHA256()),
                                (PyKCS11.CKM_SHA1_RSA_PKCS, hashes.SHA1())):
            sig = bytes(session.sign(handle, message, PyKCS11.Mechanism(mech, None)))
            # PKCS #1 v1.5 is deterministic: the card's bytes are openssl's.
            self.assertEqual(sig, key.sign(message, padding.PKCS1v15(), algorithm), hex(mech))
        pub = self.write("imported.pub.der", key.public_key().public_bytes(
            serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo))
        self.write("imported.msg", message)
        self.write("imported.sig", bytes(session.sign(handle, message, PyKCS11.Mechanism(
            PyKCS11.CKM_SHA256_RSA_PKCS, None))))
        self.write("imported.dgst", hashlib.sha256(message).digest())
        self.openssl_verify(pub, self.path("imported.dgst"), self.path("imported.sig"), "-pkeyopt",
                            "digest:sha256")

    def test_crt_set_from_pkcs11_tool_signs(self):
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        pem = self.write("key.pem", key.private_bytes(serialization.Encoding.PEM,
                                                      serialization.PrivateFormat.TraditionalOpenSSL,
                                                      serialization.NoEncryption()))
        self.ok(tool("--login", "--pin", USER_PIN, "--write-object", pem, "--type", "privkey", "--id", "21",
                     "--label", "crt"), "write privkey")
        # pkcs11-tool signs with it too; openssl checks.
        msg = self.write("tool.msg", b"pkcs11-tool signs with the imported key\n")
        self.ok(tool("--login", "--pin", USER_PIN, "--sign", "-m", "SHA256-RSA-PKCS", "--id", "21", "-i", msg,
                     "-o", self.path("tool.sig")), "pkcs11-tool sign")
        key.public_key().verify(self.read("tool.sig"), self.read("tool.msg"), padding.PKCS1v15(), hashes.SHA256())
        p11, s = self.user_session()
        self.signs_like_openssl(s, b"\x21", key)
        s.closeSession()

    def test_n_e_d_only_signs(self):
        p11, s = self.user_session()
        for bits in (1024, 2048):
            key = rsa.generate_private_key(public_exponent=65537, key_size=bits)
            key_id = bytes([bits // 256])
            s.createObject(private_template(key, key_id, crt=False) + [(PyKCS11.CKA_LABEL, "ned%d" % bits)])
            self.signs_like_openssl(s, key_id, key)
        s.closeSession()


class X931(Consumers):
    """X9.31 as the module lists it: the module appends the trailer 0xCC
    itself, CKM_RSA_X9_31 takes the data that goes before it."""

    def imported_pair(self, session, key, key_id):
        numbers = key.public_key().public_numbers()
        private = session.createObject(private_template(key, key_id, crt=True))
        public = session.createObject([
            (PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_RSA),
            (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_VERIFY, True), (PyKCS11.CKA_ID, key_id),
            (PyKCS11.CKA_MODULUS, big(numbers.n)), (PyKCS11.CKA_PUBLIC_EXPONENT, big(numbers.e))])
        return private, public

    def test_listed_mechanisms_round_trip_and_take_openssl_signatures(self):
        p11, s = self.user_session()
        listed = set(p11.getMechanismList(0))
        self.assertIn("CKM_RSA_X9_31", listed)
        self.assertIn("CKM_SHA1_RSA_X9_31", listed)
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        n, e = key.public_key().public_numbers().n, 65537
        private, public = self.imported_pair(s, key, b"\x31")
        raw = PyKCS11.Mechanism(PyKCS11.CKM_RSA_X9_31, None)
        k = 256
        for length in range(k - 4, 0, -1):
            data = bytes((i * 13 + length) & 0xFF for i in range(length))
            sig = bytes(s.sign(private, data, raw))
            self.assertEqual(len(sig), k)
            self.assertEqual(x931_content(sig, n, e), data, length)
            self.assertTrue(s.verify(public, data, sig, raw), length)
            if length % 50 == 0:
                self.assertFalse(s.verify(public, data, bytes([sig[0] ^ 0x10]) + sig[1:], raw), length)
        # A block one byte too long does not fit between header and trailer.
        with self.assertRaises(PyKCS11.PyKCS11Error):
            s.sign(private, bytes(k - 3), raw)

        # SHA-1 with X9.31: the card's signature carries the digest and
        # SHA-1's identifier 0x33.
        sha1 = PyKCS11.Mechanism(PyKCS11.CKM_SHA1_RSA_X9_31, None)
        message = b"X9.31 with SHA-1 on the card"
        sig = bytes(s.sign(private, message, sha1))
        self.assertEqual(x931_content(sig, n, e), hashlib.sha1(message).digest() + b"\x33")
        self.assertTrue(s.verify(public, message, sig, sha1))

        # openssl's X9.31 signatures (it sends min(s, n - s)) verify through C_Verify.
        self.write("key.pem", key.private_bytes(serialization.Encoding.PEM,
                                                serialization.PrivateFormat.TraditionalOpenSSL,
                                                serialization.NoEncryption()))
        kinds = set()
        for i in range(40):
            message = b"openssl signs this with X9.31, number %d" % i
            self.write("digest", hashlib.sha1(message).digest())
            self.ok(run("openssl", "pkeyutl", "-sign", "-inkey", self.path("key.pem"), "-pkeyopt",
                        "digest:sha1", "-pkeyopt", "rsa_padding_mode:x931", "-in", self.path("digest"),
                        "-out", self.path("sig")), "openssl x931 sign")
            sig = self.read("sig")
            kinds.add(pow(int.from_bytes(sig, "big"), e, n) & 0xF == 0xC)
            self.assertTrue(s.verify(public, message, sig, sha1), i)
            self.assertTrue(s.verify(public, hashlib.sha1(message).digest() + b"\x33", sig, raw), i)
            self.assertFalse(s.verify(public, message + b".", sig, sha1), i)
            if len(kinds) == 2 and i >= 3:
                break
        self.assertEqual(kinds, {True, False}, "openssl sent both s and n - s")
        s.closeSession()


if __name__ == "__main__":
    base.MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
