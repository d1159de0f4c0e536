"""The native module's key containers on the virtual token behind the real
pcscd: certificates written with pkcs11-tool join their key's container or
stand alone, an RSA key written with pkcs11-tool lands in a container, the
vendor container functions through ctypes, and a reload that keeps labels
and ids.

Run with /usr/bin/python3 (PyKCS11 imports only there):
    containers_e2e_test.py <absolute path of the module> [test names]
"""
import ctypes
import datetime
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import token_e2e_test as base  # noqa: E402
import token_objects_e2e_test as objects  # noqa: E402
from token_e2e_test import PyKCS11, USER_PIN, U, tool  # noqa: E402

from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import rsa  # noqa: E402
from cryptography.x509.oid import NameOID  # noqa: E402

CKR_OK = 0
CKR_ATTRIBUTE_VALUE_INVALID = 0x13
CKR_BUFFER_TOO_SMALL = 0x150
CKR_VENDOR_CONTAINER_NOT_FOUND = 0x800003E8
CKR_VENDOR_CONTAINER_EXISTS = 0x800003E9
CKA_VENDOR_CONTAINER_NAME = 0x80000066
CKA_VENDOR_KEY_SPEC = 0x80000067
CKA_VENDOR_STORE_NAME = 0x8000006F


def certificate(key, name, serial):
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    b = x509.CertificateBuilder().subject_name(subject).issuer_name(subject).public_key(key.public_key())
    b = b.serial_number(serial).not_valid_before(datetime.datetime(2019, 3, 5))
    b = b.not_valid_after(datetime.datetime(2031, 12, 31))
    return b.sign(key, hashes.SHA256()).public_bytes(serialization.Encoding.DER)


class Containers(base.Base):
    user_session = objects.Objects.user_session
    raw_get = objects.Objects.raw_get
    reload = objects.Objects.reload

    def setUp(self):
        super().setUp()
        for name in ("M_CreateContainer", "M_DeleteContainer", "M_EnumContainer", "M_GetContainerInfo",
                     "M_ReloadObjects"):
            getattr(self.lib, name).restype = ctypes.c_ulong
        self.init_token("Containers")
        self.key = rsa.generate_private_key(public_exponent=65537, key_size=2048)

    def enum(self, session):
        f = self.lib.M_EnumContainer
        f.argtypes = [ctypes.c_ulong, ctypes.c_char_p, ctypes.POINTER(ctypes.c_ulong)]
        n = ctypes.c_ulong(0)
        self.assertEqual(f(session.session.value(), None, ctypes.byref(n)), CKR_OK)
        buf = ctypes.create_string_buffer(n.value + 1)
        total = ctypes.c_ulong(n.value)
        self.assertEqual(f(session.session.value(), buf, ctypes.byref(total)), CKR_OK)
        self.assertEqual(total.value, n.value)
        if n.value:
            short = ctypes.c_ulong(n.value - 1)
            self.assertEqual(f(session.session.value(), buf, ctypes.byref(short)), CKR_BUFFER_TOO_SMALL)
            self.assertEqual(short.value, n.value)
        return [name.decode() for name in buf.raw[:n.value].split(b"\0")[:-1]]

    def info(self, session, name):
        f = self.lib.M_GetContainerInfo
        bits = (ctypes.c_int32 * 2)()
        certs = (ctypes.c_ubyte * 2)()
        rv = f(U(session.session.value()), name.encode(), None, ctypes.byref(bits, 0), ctypes.byref(bits, 4),
               ctypes.byref(certs, 0), ctypes.byref(certs, 1))
        return rv, (bits[0], bits[1], certs[0], certs[1])

    def vendor(self, session, handle, kind):
        rv, [(n, value)] = self.raw_get(session, handle, [(kind, 64)])
        self.assertEqual(rv, CKR_OK)
        return value

    def test_certificates_join_their_key_or_stand_alone(self):
        der = certificate(self.key, "Joined", 0x80FF)
        pem = self.key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                                     serialization.NoEncryption())
        with tempfile.TemporaryDirectory() as d:
            for name, data in (("key.pem", pem), ("cert.der", der)):
                with open(os.path.join(d, name), "wb") as f:
                    f.write(data)
            out = tool("--login", "--pin", USER_PIN, "--write-object", os.path.join(d, "key.pem"), "--type",
                       "privkey", "--id", "01", "--label", "k1")
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
            out = tool("--login", "--pin", USER_PIN, "--write-object", os.path.join(d, "cert.der"), "--type", "cert",
                       "--id", "01", "--label", "c1")
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

        p11, s = self.user_session()
        [key] = s.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_ID, b"\x01")])
        [cert] = s.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE), (PyKCS11.CKA_ID, b"\x01")])
        name = self.vendor(s, cert, CKA_VENDOR_CONTAINER_NAME)
        self.assertTrue(name.startswith(b"cont_"), name)
        self.assertEqual(self.vendor(s, key, CKA_VENDOR_CONTAINER_NAME), name)
        self.assertEqual(int.from_bytes(self.vendor(s, cert, CKA_VENDOR_KEY_SPEC), sys.byteorder), 2)
        serial = bytes(s.getAttributeValue(cert, [PyKCS11.CKA_SERIAL_NUMBER], True)[0])
        self.assertEqual(serial, bytes.fromhex("02030080ff"))
        self.assertEqual(bytes(s.getAttributeValue(cert, [PyKCS11.CKA_VALUE], True)[0]), der)
        # The key's public values come from the card.
        modulus = bytes(s.getAttributeValue(key, [PyKCS11.CKA_MODULUS], True)[0])
        self.assertEqual(int.from_bytes(modulus, "big"), self.key.public_key().public_numbers().n)
        self.assertEqual(bytes(s.getAttributeValue(key, [PyKCS11.CKA_PUBLIC_EXPONENT], True)[0]), b"\x01\x00\x01")
        self.assertEqual(self.info(s, name.decode()), (CKR_OK, (2048, 0, 1, 0)))

        # A search by serial number finds it (the DER form).
        found = s.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE), (PyKCS11.CKA_SERIAL_NUMBER, serial)])
        self.assertEqual([o.value() for o in found], [cert.value()])

        # Standalone certificates, and one too large.
        subject = x509.load_der_x509_certificate(der).subject.public_bytes()
        for expected in ("cert00", "cert01"):
            c = s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE), (PyKCS11.CKA_TOKEN, True),
                                (PyKCS11.CKA_CERTIFICATE_TYPE, PyKCS11.CKC_X_509),
                                (PyKCS11.CKA_SUBJECT, subject), (PyKCS11.CKA_VALUE, der)])
            self.assertEqual(self.vendor(s, c, CKA_VENDOR_STORE_NAME), expected.encode())
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE), (PyKCS11.CKA_TOKEN, True),
                            (PyKCS11.CKA_CERTIFICATE_TYPE, PyKCS11.CKC_X_509), (PyKCS11.CKA_ID, b"\x09"),
                            (PyKCS11.CKA_SUBJECT, subject), (PyKCS11.CKA_VALUE, bytes(17000))])
        self.assertEqual(e.exception.value, CKR_ATTRIBUTE_VALUE_INVALID)

        # A reload gives the same objects, labels and ids.
        def listing():
            values = [s.getAttributeValue(o, [PyKCS11.CKA_CLASS, PyKCS11.CKA_LABEL, PyKCS11.CKA_ID], True)
                      for o in s.findObjects([(PyKCS11.CKA_TOKEN, True)])]
            return sorted((c, bytes(label or b""), bytes(i or b"")) for c, label, i in values)

        before = listing()
        self.reload(s)
        after = listing()
        self.assertEqual(after, before)
        self.assertIn((b"c1", b"\x01"), [(label, i) for _, label, i in after])

        # Deleting the container takes its objects along.
        self.assertEqual(self.lib.M_DeleteContainer(U(s.session.value()), name), CKR_OK)
        self.assertEqual(s.findObjects([(PyKCS11.CKA_ID, b"\x01")]), [])
        self.assertNotIn(name.decode(), self.enum(s))

    def test_key_pairs_made_on_the_card_sign_for_openssl(self):
        for i in ("01", "02"):
            out = tool("--login", "--pin", USER_PIN, "--keypairgen", "--key-type", "rsa:2048", "--id", i,
                       "--label", "k" + i)
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        out = tool("--login", "--pin", USER_PIN, "--keypairgen", "--key-type", "rsa:4096", "--id", "03")
        self.assertNotEqual(out.returncode, 0)
        self.assertIn("CKR_KEY_SIZE_RANGE", out.stdout + out.stderr)
        p11, s = self.user_session()
        self.assertEqual(len(self.enum(s)), 2, "two containers")
        with tempfile.TemporaryDirectory() as d:
            msg, sig, pub = (os.path.join(d, n) for n in ("msg", "sig", "pub.der"))
            with open(msg, "wb") as f:
                f.write(b"signed on the card, 40 bytes of it ....")  # openssl verifies at most a hash
            for i in ("01", "02"):
                for mech, digest in (("SHA256-RSA-PKCS", ["-pkeyopt", "digest:sha256"]), ("RSA-PKCS", [])):
                    out = tool("--login", "--pin", USER_PIN, "--sign", "-m", mech, "--id", i, "-i", msg, "-o", sig)
                    self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
                    out = tool("--read-object", "--type", "pubkey", "--id", i, "-o", pub)
                    self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
                    data = msg
                    if digest:
                        data = os.path.join(d, "digest")
                        base.run("openssl", "dgst", "-sha256", "-binary", "-out", data, msg)
                    out = base.run("openssl", "pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey", pub,
                                   "-in", data, "-sigfile", sig, *digest)
                    self.assertEqual(out.returncode, 0, (i, mech, out.stdout + out.stderr))
        # A tampered signature does not verify through the module.
        [key] = s.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_ID, b"\x01")])
        [pub_key] = s.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_ID, b"\x01")])
        mech = PyKCS11.Mechanism(PyKCS11.CKM_SHA256_RSA_PKCS, None)
        signature = bytes(s.sign(key, b"data", mech))
        self.assertTrue(s.verify(pub_key, b"data", signature, mech))
        tampered = bytes([signature[0] ^ 1]) + signature[1:]
        self.assertFalse(s.verify(pub_key, b"data", tampered, mech))
        # pkcs11-tool's own test passes its RSA sections.
        out = tool("--login", "--pin", USER_PIN, "--test")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("No errors", out.stdout)
        self.assertNotIn("not implemented", out.stdout + out.stderr)

    def test_vendor_container_functions(self):
        p11, s = self.user_session()
        h = U(s.session.value())
        self.assertEqual(self.enum(s), [])
        self.assertEqual(self.lib.M_CreateContainer(h, b"a"), CKR_OK)
        self.assertEqual(self.lib.M_CreateContainer(h, b"bc"), CKR_OK)
        self.assertEqual(self.lib.M_CreateContainer(h, b"a"), CKR_VENDOR_CONTAINER_EXISTS)
        self.assertEqual(self.lib.M_CreateContainer(h, b"x" * 39), CKR_ATTRIBUTE_VALUE_INVALID)
        self.assertEqual(self.enum(s), ["a", "bc"])
        self.assertEqual(self.info(s, "bc"), (CKR_OK, (0, 0, 0, 0)))
        self.assertEqual(self.info(s, "b")[0], CKR_VENDOR_CONTAINER_NOT_FOUND)
        self.assertEqual(self.lib.M_DeleteContainer(h, b"b"), CKR_OK)
        self.assertEqual(self.enum(s), ["a", "bc"])
        self.assertEqual(self.lib.M_DeleteContainer(h, b"bc"), CKR_OK)
        self.assertEqual(self.enum(s), ["a"])
        # Another process sees the card's containers.
        self.reload(s)
        self.assertEqual(self.enum(s), ["a"])


if __name__ == "__main__":
    base.MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
