"""EC key pairs on the virtual token behind the real pcscd: pkcs11-tool
generates P-256 and P-521 pairs on the card, the card signs with ECDSA and
ECDSA with SHA-1/256/384/512, and openssl and python3-cryptography verify
against the public key pkcs11-tool reads back; PyKCS11 signs on P-521 with
its size query; the keys come back in a new process; keys written from
python3-cryptography's values, through PyKCS11 or as key files through
pkcs11-tool, sign on the card; pkcs11-tool's own tests
pass with EC keys.

Run with /usr/bin/python3 (PyKCS11 imports only there):
    ec_e2e_test.py <absolute path of the module> [test names]
"""
import gc
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import token_e2e_test as base  # noqa: E402
from token_e2e_test import PyKCS11, USER_PIN, tool  # noqa: E402

from cryptography.exceptions import InvalidSignature  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec, utils  # noqa: E402

P = PyKCS11
CKA_VENDOR_CONTAINER_NAME = 0x80000066
CURVES = {"secp256r1": (ec.SECP256R1(), "06082a8648ce3d030107", 32),
          "secp521r1": (ec.SECP521R1(), "06052b81040023", 66)}
# pkcs11-tool's mechanism, the hash (None: the data is the hash value).
MECHS = (("ECDSA", None), ("ECDSA-SHA1", "sha1"), ("ECDSA-SHA256", "sha256"), ("ECDSA-SHA384", "sha384"),
         ("ECDSA-SHA512", "sha512"))
PREHASHED = {20: hashes.SHA1(), 32: hashes.SHA256(), 48: hashes.SHA384(), 64: hashes.SHA512()}


def der_signature(raw):
    d = len(raw) // 2
    return utils.encode_dss_signature(int.from_bytes(raw[:d], "big"), int.from_bytes(raw[d:], "big"))


def point_of(public):
    return public.public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)


class EcKeys(base.Base):
    def setUp(self):
        super().setUp()
        self.init_token("EC keys")

    def ok(self, out):
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        return out

    def user_session(self):
        p11 = self.loaded()
        s = p11.openSession(0, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
        s.login(USER_PIN)
        return p11, s

    def keypairgen(self, curve, key_id, label):
        return self.ok(tool("--login", "--pin", USER_PIN, "--keypairgen", "--key-type", "EC:" + curve,
                            "--id", key_id, "--label", label))

    def check_both(self, public, d, data, hash_name, raw, tmp):
        """python3-cryptography and openssl accept the r || s signature."""
        self.assertEqual(len(raw), 2 * d)
        der = der_signature(raw)
        digest = data if hash_name is None else hashlib.new(hash_name, data).digest()
        public.verify(der, digest, ec.ECDSA(utils.Prehashed(PREHASHED[len(digest)])))
        with self.assertRaises(InvalidSignature):
            # The leading bytes: P-256 cuts longer hash values to 32.
            public.verify(der, bytes([digest[0] ^ 1]) + digest[1:],
                          ec.ECDSA(utils.Prehashed(PREHASHED[len(digest)])))
        pem = os.path.join(tmp, "pub.pem")
        with open(pem, "wb") as f:
            f.write(public.public_bytes(serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
        for name, value in (("digest.bin", digest), ("sig.der", der)):
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(value)
        out = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", pem, "-in",
                              os.path.join(tmp, "digest.bin"), "-sigfile", os.path.join(tmp, "sig.der")],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("Signature Verified Successfully", out.stdout)

    def test_pkcs11_tool_generates_and_signs_on_both_curves(self):
        with tempfile.TemporaryDirectory() as tmp:
            for n, (curve, (_, oid, d)) in enumerate(CURVES.items()):
                key_id = "e%d" % n
                out = self.keypairgen(curve, key_id, "ec-" + curve)
                self.assertIn("EC_POINT", out.stdout)
                pub_der = os.path.join(tmp, "pub.der")
                self.ok(tool("--read-object", "--type", "pubkey", "--id", key_id, "-o", pub_der))
                with open(pub_der, "rb") as f:
                    public = serialization.load_der_public_key(f.read())
                self.assertEqual(public.curve.name, curve)
                data = os.path.join(tmp, "data.bin")
                for mech, hash_name in MECHS:
                    with self.subTest(curve=curve, mech=mech):
                        message = (hashlib.sha512(b"prehashed").digest() if hash_name is None
                                   else b"signed on the card " + mech.encode())
                        with open(data, "wb") as f:
                            f.write(message)
                        sig = os.path.join(tmp, "sig.bin")
                        self.ok(tool("--login", "--pin", USER_PIN, "--sign", "-m", mech, "--id", key_id,
                                     "-i", data, "-o", sig))
                        with open(sig, "rb") as f:
                            raw = f.read()
                        self.check_both(public, d, message, hash_name, raw, tmp)
                        # pkcs11-tool verifies it through the module too.
                        out = tool("--verify", "-m", mech, "--id", key_id, "-i", data, "--signature-file", sig)
                        self.ok(out)
                        self.assertIn("Signature is valid", out.stdout)

            # Both pairs are listed in a new process with their curves.
            p11, s = self.user_session()
            for curve, (_, oid, d) in CURVES.items():
                pubs = s.findObjects([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_LABEL, "ec-" + curve)])
                self.assertEqual(len(pubs), 1)
                params, point = s.getAttributeValue(pubs[0], [P.CKA_EC_PARAMS, P.CKA_EC_POINT])
                self.assertEqual(bytes(params).hex(), oid)
                self.assertEqual(len(point), 2 * d + 1)
            s.logout()
            s.closeSession()

    def test_pykcs11_signs_on_p521_with_its_size_query(self):
        self.keypairgen("secp521r1", "a1", "p521")
        p11, s = self.user_session()
        pri = s.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_ID, bytes.fromhex("a1"))])
        pub = s.findObjects([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_ID, bytes.fromhex("a1"))])
        self.assertEqual((len(pri), len(pub)), (1, 1))
        point = bytes(s.getAttributeValue(pub[0], [P.CKA_EC_POINT])[0])
        public = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP521R1(), point)
        message = b"P-521 through PyKCS11"
        for mech, h in ((P.CKM_ECDSA_SHA256, hashes.SHA256()), (P.CKM_ECDSA_SHA512, hashes.SHA512())):
            raw = bytes(s.sign(pri[0], message, P.Mechanism(mech)))
            self.assertEqual(len(raw), 132)
            public.verify(der_signature(raw), message, ec.ECDSA(h))
            self.assertTrue(s.verify(pub[0], message, raw, P.Mechanism(mech)))
        s.logout()
        s.closeSession()

    def test_generations_in_a_row_get_their_own_containers_and_unknown_curves_are_refused(self):
        p11, s = self.user_session()
        names = []
        for _ in range(2):
            pub, pri = s.generateKeyPair(
                [(P.CKA_TOKEN, True), (P.CKA_EC_PARAMS, bytes.fromhex(CURVES["secp256r1"][1])),
                 (P.CKA_VERIFY, True)],
                [(P.CKA_TOKEN, True), (P.CKA_SIGN, True), (P.CKA_PRIVATE, True)],
                mecha=P.Mechanism(P.CKM_EC_KEY_PAIR_GEN))
            name = bytes(s.getAttributeValue(pub, [CKA_VENDOR_CONTAINER_NAME])[0])
            self.assertEqual(bytes(s.getAttributeValue(pri, [CKA_VENDOR_CONTAINER_NAME])[0]), name)
            names.append(name)
            raw = bytes(s.sign(pri, b"x" * 32, P.Mechanism(P.CKM_ECDSA)))
            self.assertTrue(s.verify(pub, b"x" * 32, raw, P.Mechanism(P.CKM_ECDSA)))
        self.assertNotEqual(names[0], names[1])
        self.assertTrue(all(n.startswith(b"cont_") and len(n) == 25 for n in names))
        # P-384 is not a curve of the card.
        with self.assertRaises(P.PyKCS11Error) as e:
            s.generateKeyPair([(P.CKA_TOKEN, True), (P.CKA_EC_PARAMS, bytes.fromhex("06052b81040022"))],
                              [(P.CKA_TOKEN, True)], mecha=P.Mechanism(P.CKM_EC_KEY_PAIR_GEN))
        self.assertEqual(e.exception.value, P.CKR_ATTRIBUTE_VALUE_INVALID)
        s.logout()
        s.closeSession()

    def write_keys(self, keys):
        """Each software key as a token private key (CKA_VALUE) and its
        public key with a DER-wrapped point, as pkcs11-tool users write it."""
        p11, s = self.user_session()
        for key_id, (software, oid, d) in keys.items():
            scalar = software.private_numbers().private_value.to_bytes(d, "big")
            raw = point_of(software.public_key())
            s.createObject([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_KEY_TYPE, P.CKK_EC), (P.CKA_TOKEN, True),
                            (P.CKA_PRIVATE, True), (P.CKA_SIGN, True), (P.CKA_ID, key_id),
                            (P.CKA_EC_PARAMS, bytes.fromhex(oid)), (P.CKA_VALUE, scalar)])
            wrapped = b"\x04" + (b"\x81" if len(raw) >= 0x80 else b"") + bytes([len(raw)]) + raw
            s.createObject([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_KEY_TYPE, P.CKK_EC), (P.CKA_TOKEN, True),
                            (P.CKA_VERIFY, True), (P.CKA_ID, key_id), (P.CKA_EC_PARAMS, bytes.fromhex(oid)),
                            (P.CKA_EC_POINT, wrapped)])
        s.logout()
        s.closeSession()

    def test_keys_written_from_python_cryptography_sign_on_the_card(self):
        keys = {("w" + name).encode(): (ec.generate_private_key(curve), oid, d)
                for name, (curve, oid, d) in CURVES.items()}
        self.write_keys(keys)
        gc.collect()
        # A new module instance finds the pairs; the card has the private values.
        p11, s = self.user_session()
        for key_id, (software, oid, d) in keys.items():
            with self.subTest(key=key_id):
                pri = s.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_ID, key_id)])
                self.assertEqual(len(pri), 1)
                self.assertEqual(bytes(s.getAttributeValue(pri[0], [P.CKA_EC_POINT])[0]),
                                 point_of(software.public_key()))
                message = b"imported " + key_id
                sig = bytes(s.sign(pri[0], message, P.Mechanism(P.CKM_ECDSA_SHA384)))
                software.public_key().verify(der_signature(sig), message, ec.ECDSA(hashes.SHA384()))
        s.logout()
        s.closeSession()

    def test_pkcs11_tool_writes_key_files_that_sign_on_the_card(self):
        with tempfile.TemporaryDirectory() as tmp:
            for n, (curve_name, (curve, oid, d)) in enumerate(CURVES.items()):
                software = ec.generate_private_key(curve)
                key_id = "f%d" % n
                files = {"privkey": software.private_bytes(serialization.Encoding.DER,
                                                           serialization.PrivateFormat.PKCS8,
                                                           serialization.NoEncryption()),
                         "pubkey": software.public_key().public_bytes(
                             serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)}
                for kind, der in files.items():
                    path = os.path.join(tmp, kind + ".der")
                    with open(path, "wb") as f:
                        f.write(der)
                    self.ok(tool("--login", "--pin", USER_PIN, "--write-object", path, "--type", kind,
                                 "--id", key_id, "--label", "file-" + curve_name))
                data, sig = os.path.join(tmp, "data.bin"), os.path.join(tmp, "sig.bin")
                message = b"written by pkcs11-tool " + curve_name.encode()
                with open(data, "wb") as f:
                    f.write(message)
                self.ok(tool("--login", "--pin", USER_PIN, "--sign", "-m", "ECDSA-SHA256", "--id", key_id,
                             "-i", data, "-o", sig))
                with open(sig, "rb") as f:
                    raw = f.read()
                with self.subTest(curve=curve_name):
                    self.assertEqual(len(raw), 2 * d)
                    software.public_key().verify(der_signature(raw), message, ec.ECDSA(hashes.SHA256()))
                    out = tool("--verify", "-m", "ECDSA-SHA256", "--id", key_id, "-i", data,
                               "--signature-file", sig)
                    self.ok(out)
                    self.assertIn("Signature is valid", out.stdout)

    def test_pkcs11_tool_self_tests_pass_with_ec_keys(self):
        # --test signs with RSA keys only and passes over the EC key; --test-ec
        # generates its own pair in a read-write session.
        self.keypairgen("secp256r1", "c1", "test-ec")
        for args in (("--test",), ("--test-ec", "--session-rw", "--id", "c2", "--key-type", "EC:secp256r1"),
                     ("--test-ec", "--session-rw", "--id", "c3", "--key-type", "EC:secp521r1")):
            with self.subTest(args=args):
                out = tool("--login", "--pin", USER_PIN, *args)
                text = out.stdout + out.stderr
                self.assertEqual(out.returncode, 0, text)
                self.assertNotIn("not implemented", text.lower())
                self.assertNotIn("failed", text.lower())
                self.assertNotIn("invalid", text.lower())
                self.assertNotIn("ERR", text)
                if args[0] == "--test":
                    self.assertIn("No errors", text)
                    self.assertIn("testing key 0 (test-ec)", text)
                else:
                    # Generation, a signature, attribute changes and deletion.
                    self.assertIn("Key pair generated", text)
                    self.assertIn("Doing a signature", text)
                    self.assertIn("==> OK", text)


if __name__ == "__main__":
    base.MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
