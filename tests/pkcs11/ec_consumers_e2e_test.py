"""EC key pairs the card generated, through the consumers that use them in
the field: OpenSSL through its pkcs11 engine (the public key it reads, a
signature over a SHA-256 digest, a self-signed certificate), GnuTLS
(certtool signs a certificate on the card; p11tool's signing test and the
public key it exports) and NSS (a self-signed EC certificate made on the
token, a CMS signature with it). The module gives CKA_EC_POINT as the bare
point 04 || X || Y; a consumer that reads it only DER-wrapped is skipped
with its own words. Each signature is checked by openssl or
python3-cryptography against the public key pkcs11-tool read back, which is
also the point the module itself gives.

Run with /usr/bin/python3 (PyKCS11 imports only there):
    ec_consumers_e2e_test.py <absolute path of the module> [test names]
"""
import gc
import hashlib
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import consumers_e2e_test as consumers  # noqa: E402
import token_e2e_test as base  # noqa: E402
from consumers_e2e_test import LABEL, run  # noqa: E402
from ec_e2e_test import point_of  # noqa: E402
from token_e2e_test import PyKCS11, USER_PIN, tool  # noqa: E402

from cryptography import x509  # noqa: E402
from cryptography.exceptions import InvalidSignature  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec, utils  # noqa: E402

P = PyKCS11
# The curve pkcs11-tool names, NSS's name for it and the hash its
# certificates are signed with.
CURVES = (("secp256r1", "nistp256", "SHA256"), ("secp521r1", "nistp521", "SHA512"))


class EcConsumers(consumers.Consumers):
    def card_ec_key(self, curve, key_id, label):
        """A key pair pkcs11-tool made on the card. Its public key as
        pkcs11-tool exports it, loaded by python3-cryptography; the module's
        own CKA_EC_POINT is the same point, bare."""
        self.ok(tool("--login", "--pin", USER_PIN, "--keypairgen", "--key-type", "EC:" + curve, "--id", key_id,
                     "--label", label), "keypairgen " + curve)
        der = self.path("pub-%s.der" % key_id)
        self.ok(tool("--read-object", "--type", "pubkey", "--id", key_id, "-o", der), "read pubkey")
        public = serialization.load_der_public_key(self.read(os.path.basename(der)))
        self.assertEqual(public.curve.name, curve)
        p11, s = self.user_session()
        [handle] = s.findObjects([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_ID, bytes.fromhex(key_id))])
        self.assertEqual(bytes(s.getAttributeValue(handle, [P.CKA_EC_POINT])[0]), point_of(public))
        s.logout()
        s.closeSession()
        del p11
        gc.collect()
        return der, public

    def token_points(self):
        """The CKA_EC_POINT of every EC public key on the token."""
        p11, s = self.user_session()
        points = [bytes(s.getAttributeValue(h, [P.CKA_EC_POINT])[0])
                  for h in s.findObjects([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_KEY_TYPE, P.CKK_EC)])]
        s.logout()
        s.closeSession()
        del p11
        gc.collect()
        return points

    def verifies(self, public, signature, data, algorithm):
        """python3-cryptography takes the DER signature over data and
        refuses it over data with one bit changed."""
        public.verify(signature, data, ec.ECDSA(algorithm))
        with self.assertRaises(InvalidSignature):
            public.verify(signature, bytes([data[0] ^ 1]) + data[1:], ec.ECDSA(algorithm))

    def self_signed_checks(self, cert, public, name):
        """The certificate carries the card's key and is signed by it; openssl
        takes it as its own trust anchor."""
        self.assertEqual(point_of(cert.public_key()), point_of(public))
        self.verifies(public, cert.signature, cert.tbs_certificate_bytes, cert.signature_hash_algorithm)
        pem = self.write(name, cert.public_bytes(serialization.Encoding.PEM))
        out = run("openssl", "verify", "-CAfile", pem, pem)
        self.assertIn("%s: OK" % name, self.ok(out, "openssl verify"))


class Engine(EcConsumers):
    def test_engine_reads_signs_and_certifies_with_card_ec_keys(self):
        message = b"an EC signature through the engine\n" * 7
        digest = self.write("digest", hashlib.sha256(message).digest())
        for n, (curve, _, _) in enumerate(CURVES):
            with self.subTest(curve=curve):
                label = "ec-" + curve
                pub_der, public = self.card_ec_key(curve, "e%d" % n, label)
                uri = "pkcs11:token=%s;object=%s" % (LABEL, label)

                # The engine builds the public key from the bare point.
                out = self.engine("pkey", "-engine", "pkcs11", "-inform", "engine", "-pubin", "-in",
                                  uri + ";type=public", "-pubout", "-outform", "DER", "-out", self.path("engine.pub"))
                self.ok(out, "engine pkey")
                self.assertEqual(self.read("engine.pub"), self.read(os.path.basename(pub_der)))

                # A signature over the SHA-256 digest. libp11 turns the
                # card's r || s into a DER ECDSA-Sig-Value: it parses as one,
                # and that is all the file holds.
                out = self.engine("pkeyutl", "-engine", "pkcs11", "-keyform", "engine", "-sign",
                                  "-inkey", uri + ";type=private", "-in", digest, "-out", self.path("sig"))
                self.ok(out, "engine sign")
                sig = self.read("sig")
                self.assertEqual(sig[0], 0x30, sig.hex())
                r, s = utils.decode_dss_signature(sig)
                self.assertEqual(utils.encode_dss_signature(r, s), sig)
                self.verifies(public, sig, self.read("digest"), utils.Prehashed(hashes.SHA256()))
                self.openssl_verify(pub_der, digest, self.path("sig"))
                wrong = self.write("wrong", hashlib.sha256(message + b".").digest())
                out = run("openssl", "pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey", pub_der,
                          "-in", wrong, "-sigfile", self.path("sig"))
                self.assertNotEqual(out.returncode, 0)
                self.assertIn("Signature Verification Failure", out.stdout + out.stderr)

                # A self-signed certificate made through the engine.
                out = self.engine("req", "-engine", "pkcs11", "-keyform", "engine", "-new", "-x509",
                                  "-key", uri + ";type=private", "-subj", "/CN=EC through the engine",
                                  "-days", "30", "-sha256", "-out", self.path("cert.pem"))
                self.ok(out, "engine req")
                cert = x509.load_pem_x509_certificate(self.read("cert.pem"))
                self.assertEqual(cert.signature_hash_algorithm.name, "sha256")
                self.self_signed_checks(cert, public, "engine-%s.pem" % curve)


class GnuTls(EcConsumers):
    def gnutls(self, program, *args):
        return run(program, "--provider", base.MODULE, *args, env=dict(os.environ, GNUTLS_PIN=USER_PIN),
                   timeout=120)

    def test_certtool_signs_a_certificate_with_card_ec_keys(self):
        template = self.write("template", b'cn = "EC through GnuTLS"\nserial = 7\nexpiration_days = 30\n'
                                          b"signing_key\n")
        for n, (curve, _, _) in enumerate(CURVES):
            with self.subTest(curve=curve):
                label = "ec-" + curve
                _, public = self.card_ec_key(curve, "c%d" % n, label)
                pem = self.write("pub.pem", public.public_bytes(serialization.Encoding.PEM,
                                                                serialization.PublicFormat.SubjectPublicKeyInfo))
                # GnuTLS signs on the card; the public key comes from the file.
                out = self.gnutls("certtool", "--generate-self-signed", "--load-privkey",
                                  "pkcs11:token=%s;object=%s;type=private" % (LABEL, label), "--load-pubkey", pem,
                                  "--template", template, "--outfile", self.path("cert.pem"))
                self.ok(out, "certtool --generate-self-signed")
                cert = x509.load_pem_x509_certificate(self.read("cert.pem"))
                self.self_signed_checks(cert, public, "certtool-%s.pem" % curve)

    def test_p11tool_test_sign_with_card_ec_keys(self):
        refused = []
        for n, (curve, _, _) in enumerate(CURVES):
            with self.subTest(curve=curve):
                label = "ec-" + curve
                _, public = self.card_ec_key(curve, "f%d" % n, label)
                uri = "pkcs11:token=%s;object=%s;type=private" % (LABEL, label)
                out = self.gnutls("p11tool", "--login", "--test-sign", uri)
                text = out.stdout + out.stderr
                if out.returncode != 0 and text.startswith("Cannot import public key:"):
                    # This GnuTLS reads CKA_EC_POINT only as a DER OCTET
                    # STRING around the point; the module gives the bare point.
                    refused.append("%s: %s" % (curve, text.strip()))
                    continue
                self.ok(out, "p11tool --test-sign")
                self.assertRegex(text, r"Signing using ECDSA-SHA\d+\.\.\. ok")
                self.assertIn("Verifying against private key parameters... ok", text)
                self.assertIn("Verifying against public key in the token... ok", text)
                self.assertNotIn("failed", text.lower())
                out = self.gnutls("p11tool", "--login", "--export-pubkey", uri)
                exported = serialization.load_pem_public_key(self.ok(out, "p11tool --export-pubkey").encode())
                self.assertEqual(point_of(exported), point_of(public))
        if refused:
            self.skipTest("p11tool takes CKA_EC_POINT only DER-wrapped; it printed: " + " | ".join(refused))


class Nss(EcConsumers):
    def test_certutil_makes_self_signed_ec_certificates_on_the_token(self):
        pins = self.nss_with_module()
        # NSS lists a pair pkcs11-tool made.
        self.card_ec_key("secp256r1", "a1", "tool-ec")
        out = self.nss("certutil", "-K", "-h", LABEL, "-f", pins)
        self.assertRegex(self.ok(out, "certutil -K"), r"ec\s+a1\s+tool-ec\n")

        noise = self.write("noise", os.urandom(2048))
        for curve, nss_curve, digest in CURVES:
            with self.subTest(curve=curve):
                name = "nss-" + curve
                before = self.token_points()
                out = self.nss("certutil", "-S", "-x", "-h", LABEL, "-n", name, "-s", "CN=EC made by NSS",
                               "-k", "ec", "-q", nss_curve, "-t", "u,u,u", "-Z", digest, "-z", noise, "-f", pins)
                self.ok(out, "certutil -S " + curve)
                out = self.nss("certutil", "-L", "-h", LABEL, "-f", pins)
                self.assertRegex(self.ok(out, "certutil -L"), r"%s:%s\s+u,u,u" % (LABEL, name))
                out = self.nss("certutil", "-L", "-h", LABEL, "-n", "%s:%s" % (LABEL, name), "-a", "-f", pins)
                cert = x509.load_pem_x509_certificate(self.ok(out, "certutil -L -a").encode())
                public = cert.public_key()
                self.assertEqual(public.curve.name, curve)
                self.assertEqual(cert.signature_hash_algorithm.name, digest.lower())
                self.self_signed_checks(cert, public, "%s.pem" % name)
                # The key pair NSS generated is the token's: the card holds its
                # point, and it was not there before.
                self.assertIn(point_of(public), self.token_points())
                self.assertNotIn(point_of(public), before)

        # A detached CMS signature with the P-256 certificate's card key,
        # accepted by openssl; other content is refused. With a signed
        # attribute (-G, the signing time): without any, NSS puts the bare
        # r || s in the SignerInfo instead of an ECDSA-Sig-Value.
        name = "nss-secp256r1"
        out = self.nss("certutil", "-M", "-n", "%s:%s" % (LABEL, name), "-t", "P,P,P", "-f", pins)
        self.ok(out, "certutil -M")
        self.cms_signs_and_openssl_checks("%s:%s" % (LABEL, name), self.path("%s.pem" % name), pins,
                                          b"signed with the card's EC key by NSS\n" * 5, "-G")


if __name__ == "__main__":
    base.MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
