"""Token AES keys on the virtual token behind the real pcscd: the card runs
the cipher for token keys, software AES for session keys, and both must
give the same bytes as python3-cryptography; keys the card generated
survive a module reload, imported keys a removal of the token, and a copy
of a generated key encrypts like its original. EC public keys verify the
signatures of python3-cryptography in software, with raw and DER-wrapped
points.

Run with /usr/bin/python3 (PyKCS11 imports only there):
    card_crypto_e2e_test.py <absolute path of the module> [test names]
"""
import ctypes
import gc
import hashlib
import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import crypto_e2e_test as ce  # noqa: E402
import token_e2e_test as base  # noqa: E402
from token_e2e_test import PyKCS11, USER_PIN  # noqa: E402

P = PyKCS11
U = ctypes.c_ulong
CKR_OK = 0
CKR_ATTRIBUTE_TYPE_INVALID = 0x12
CKR_DATA_LEN_RANGE = 0x21
CKR_FUNCTION_NOT_SUPPORTED = 0x54
CKR_KEY_SIZE_RANGE = 0x62
CKR_BUFFER_TOO_SMALL = 0x150
CKA_VENDOR_CARD_KEY_ID = 0x80000079
LENGTHS = [0, 15, 16, 1023, 1024, 1040, 1060, 2048]
MODES = [("ecb", P.CKM_AES_ECB), ("cbc", P.CKM_AES_CBC), ("cbc_pad", P.CKM_AES_CBC_PAD)]
IV = bytes(range(0x40, 0x50))


def pattern(n, seed):
    return bytes((i * 13 + seed) & 0xFF for i in range(n))


class CardKeys(base.Base):
    def setUp(self):
        super().setUp()
        # Saved slots up to 18, as the module's card-local key ids address.
        self.vt.set(saved_slot_max=18)
        self.init_token("Card keys")
        self.open()

    def tearDown(self):
        try:
            self.session.logout()
            self.session.closeSession()
        except PyKCS11.PyKCS11Error:
            pass
        # The module is finalised here, not whenever the collector gets to it
        # in a later test.
        self.m = self.session = self.p11 = None
        gc.collect()
        super().tearDown()

    def open(self, p11=None):
        self.p11 = p11 or self.loaded()
        self.assertEqual(list(self.p11.getSlotList(tokenPresent=True)), [0])
        self.session = self.p11.openSession(0, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
        self.session.login(USER_PIN)
        self.m = ce.Module(self.lib, self.session)

    def aes_key(self, value, token, label="k"):
        return self.session.createObject([
            (P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_KEY_TYPE, P.CKK_AES), (P.CKA_TOKEN, token),
            (P.CKA_LABEL, label), (P.CKA_ENCRYPT, True), (P.CKA_DECRYPT, True), (P.CKA_VALUE, value)])

    def generate(self, mechanism, length, label, token=True):
        return self.session.generateKey([
            (P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_TOKEN, token), (P.CKA_LABEL, label), (P.CKA_ENCRYPT, True),
            (P.CKA_DECRYPT, True), (P.CKA_VALUE_LEN, length)], P.Mechanism(mechanism))

    def copy(self, key, *pairs):
        """C_CopyObject (PyKCS11 has none): the code and the new handle."""
        tmpl = ce.attributes(*pairs)
        new = U(0)
        rv = self.lib.C_CopyObject(self.m.h, U(key.value()), tmpl, U(len(pairs)), ctypes.byref(new))
        handle = P.CK_OBJECT_HANDLE(self.session)
        handle.assign(new.value)
        return rv, handle

    def find(self, label):
        found = self.session.findObjects([(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_LABEL, label)])
        self.assertEqual(len(found), 1, label)
        return found[0]

    def param(self, mode):
        return IV if mode != "ecb" else None

    def encrypt(self, mechanism, key, data, mode):
        return self.m.one_shot("Encrypt", mechanism, key.value(), data, self.param(mode))

    def decrypt(self, mechanism, key, data, mode):
        return self.m.one_shot("Decrypt", mechanism, key.value(), data, self.param(mode))

    def test_token_keys_encrypt_like_software_aes(self):
        for key_len in (16, 32):
            value = pattern(key_len, key_len)
            card = self.aes_key(value, True, "card%d" % key_len)
            soft = self.aes_key(value, False, "soft%d" % key_len)
            for mode, mech in MODES:
                for n in LENGTHS:
                    if mode != "cbc_pad" and n % 16:
                        continue
                    with self.subTest(key=key_len, mode=mode, n=n):
                        data = pattern(n, 3)
                        ref = ce.reference_encrypt("aes", mode, value, self.param(mode), data)
                        self.assertEqual(self.encrypt(mech, soft, data, mode), ref)
                        self.assertEqual(self.encrypt(mech, card, data, mode), ref)
                        self.assertEqual(self.decrypt(mech, card, ref, mode), data)
                        # Pieces that cut chunks and blocks, and an empty one.
                        splits = sorted({min(s, n) for s in (0, 5, 16, 17, 1030, 1041)})
                        for key in (soft, card):
                            self.assertEqual(self.m.multi("Encrypt", mech, key.value(), data, splits, self.param(mode)), ref)
                            self.assertEqual(self.m.multi("Decrypt", mech, key.value(), ref, splits, self.param(mode)), data)

    def test_token_keys_run_on_the_card_in_chunks(self):
        value = pattern(32, 1)
        card, soft = self.aes_key(value, True, "c"), self.aes_key(value, False, "s")
        data = pattern(2048, 6)
        ins = lambda: [c[2:4] for c in self.commands()]  # noqa: E731
        self.vt.clear_log()
        ref = self.encrypt(P.CKM_AES_CBC, soft, data, "cbc")
        self.assertNotIn("63", ins(), "a session key stays in software")
        self.vt.clear_log()
        self.assertEqual(self.decrypt(P.CKM_AES_CBC, card, ref, "cbc"), data)
        sent = ins()
        # One 1024-byte DecryptUpdate, the other 1024 bytes with DecryptFinal.
        self.assertEqual(sent[sent.index("63"):], ["63", "66", "67"])
        self.vt.clear_log()
        self.assertEqual(self.encrypt(P.CKM_AES_CBC, card, data, "cbc"), ref)
        sent = ins()
        self.assertEqual(sent[sent.index("63"):], ["63", "64", "64", "65"])

    def test_unaligned_data_without_padding_is_refused_alike(self):
        value = pattern(24, 9)
        card, soft = self.aes_key(value, True, "c"), self.aes_key(value, False, "s")
        for key in (card, soft):
            self.assertEqual(self.m.init("C_EncryptInit", P.CKM_AES_CBC, key.value(), IV), CKR_OK)
            rv, _ = self.m.out_call("C_Encrypt", data=pattern(15, 1))
            self.assertEqual(rv, CKR_DATA_LEN_RANGE, key)

    def test_bad_padding_is_refused_alike(self):
        value = pattern(16, 8)
        card, soft = self.aes_key(value, True, "c"), self.aes_key(value, False, "s")
        bad = ce.reference_encrypt("aes", "cbc", value, IV, b"x" * 15 + b"\x00")
        for key in (card, soft):
            self.assertEqual(self.m.init("C_DecryptInit", P.CKM_AES_CBC_PAD, key.value(), IV), CKR_OK)
            self.assertEqual(self.m.out_call("C_Decrypt", data=bad)[0], ce.CKR_ENCRYPTED_DATA_INVALID)

    def test_short_buffers_are_refused_before_anything_is_sent(self):
        value = pattern(16, 5)
        key = self.aes_key(value, True)
        data = pattern(1060, 7)
        ref = ce.reference_encrypt("aes", "cbc_pad", value, IV, data)
        h, lib = self.m.h, self.lib
        self.assertEqual(self.m.init("C_EncryptInit", P.CKM_AES_CBC_PAD, key.value(), IV), CKR_OK)
        self.vt.clear_log()
        out, n = (ctypes.c_ubyte * 2048)(), U(1055)
        self.assertEqual(lib.C_EncryptUpdate(h, ce.buf(data), U(1060), out, ctypes.byref(n)), CKR_BUFFER_TOO_SMALL)
        self.assertEqual(n.value, 1056)
        self.assertEqual(self.commands(), [], "nothing goes to the card for a short buffer")
        n = U(2048)
        self.assertEqual(lib.C_EncryptUpdate(h, ce.buf(data), U(1060), out, ctypes.byref(n)), CKR_OK)
        got = bytes(out[:n.value])
        self.assertEqual(n.value, 1056)
        # 4 bytes held back: Final gives one padded block.
        n = U(0)
        self.assertEqual(lib.C_EncryptFinal(h, None, ctypes.byref(n)), CKR_OK)
        self.assertEqual(n.value, 16)
        rv, tail = self.m.out_call("C_EncryptFinal")
        self.assertEqual(rv, CKR_OK)
        self.assertEqual(got + tail, ref)

        # A whole block held back: the Final query counts it with the padding.
        self.assertEqual(self.m.init("C_EncryptInit", P.CKM_AES_CBC_PAD, key.value(), IV), CKR_OK)
        rv, first = self.m.out_call("C_EncryptUpdate", data=data[:16])
        self.assertEqual((rv, first), (CKR_OK, b""))
        n = U(0)
        self.assertEqual(lib.C_EncryptFinal(h, None, ctypes.byref(n)), CKR_OK)
        self.assertEqual(n.value, 32)
        n = U(31)
        self.assertEqual(lib.C_EncryptFinal(h, out, ctypes.byref(n)), CKR_BUFFER_TOO_SMALL)
        rv, tail = self.m.out_call("C_EncryptFinal")
        self.assertEqual((rv, tail), (CKR_OK, ce.reference_encrypt("aes", "cbc_pad", value, IV, data[:16])))

    def test_generated_keys_survive_a_module_reload(self):
        data = pattern(1040, 11)
        made = {}
        for mech, length in ((P.CKM_AES_KEY_GEN, 16), (P.CKM_AES_KEY_GEN, 24), (P.CKM_AES_KEY_GEN, 32),
                             (P.CKM_GENERIC_SECRET_KEY_GEN, 32)):
            label = "gen%x-%d" % (mech, length)
            key = self.generate(mech, length, label)
            attrs = self.session.getAttributeValue(key, [P.CKA_LOCAL, P.CKA_VALUE_LEN])
            self.assertEqual((bool(attrs[0]), attrs[1]), (True, length))
            made[label] = self.encrypt(P.CKM_AES_CBC_PAD, key, data, "cbc_pad")
            self.assertEqual(self.decrypt(P.CKM_AES_CBC_PAD, key, made[label], "cbc_pad"), data)
        self.assertEqual(len(set(made.values())), len(made), "each generated key is its own")

        self.session.logout()
        self.session.closeSession()
        self.p11.lib.C_Finalize()
        self.p11.lib.C_Initialize()
        self.open(self.p11)
        for label, ciphertext in made.items():
            self.assertEqual(self.decrypt(P.CKM_AES_CBC_PAD, self.find(label), ciphertext, "cbc_pad"), data, label)

    def test_generation_refusals(self):
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            self.generate(P.CKM_GENERIC_SECRET_KEY_GEN, 20, "odd")
        self.assertEqual(e.exception.value, CKR_KEY_SIZE_RANGE)
        # A session key has no saved slot on the card.
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            self.generate(P.CKM_GENERIC_SECRET_KEY_GEN, 16, "session", token=False)
        self.assertEqual(e.exception.value, CKR_ATTRIBUTE_TYPE_INVALID)

    def test_imported_key_works_after_the_token_comes_back(self):
        value = pattern(32, 21)
        key = self.aes_key(value, True, "imported")
        data = pattern(100, 2)
        ref = ce.reference_encrypt("aes", "cbc_pad", value, IV, data)
        self.assertEqual(self.encrypt(P.CKM_AES_CBC_PAD, key, data, "cbc_pad"), ref)
        self.vt.remove()
        self.assertEqual(self.p11.waitForSlotEvent(), 0)
        self.vt.insert(wait_ready=True)
        deadline = time.monotonic() + 10
        slot = None
        while slot is None and time.monotonic() < deadline:
            try:
                slot = self.p11.waitForSlotEvent(P.CKF_DONT_BLOCK)
            except PyKCS11.PyKCS11Error as err:
                self.assertEqual(err.value, 0x8)  # CKR_NO_EVENT
                time.sleep(0.05)
        self.assertEqual(slot, 0)
        try:
            self.session.closeSession()
        except PyKCS11.PyKCS11Error:
            pass
        self.open(self.p11)
        key = self.find("imported")
        self.assertEqual(self.encrypt(P.CKM_AES_CBC_PAD, key, data, "cbc_pad"), ref)
        self.assertEqual(self.decrypt(P.CKM_AES_CBC_PAD, key, ref, "cbc_pad"), data)

    def test_copy_of_a_generated_key_encrypts_like_the_original(self):
        key = self.generate(P.CKM_AES_KEY_GEN, 32, "original")
        rv, copy = self.copy(key, (P.CKA_LABEL, b"copy"))
        self.assertEqual(rv, CKR_OK)
        data = pattern(64, 4)
        self.assertEqual(self.encrypt(P.CKM_AES_ECB, copy, data, "ecb"), self.encrypt(P.CKM_AES_ECB, key, data, "ecb"))
        self.assertNotEqual(self.session.getAttributeValue(copy, [CKA_VENDOR_CARD_KEY_ID])[0],
                            self.session.getAttributeValue(key, [CKA_VENDOR_CARD_KEY_ID])[0])
        # A session copy would have no key at all.
        self.assertEqual(self.copy(key, (P.CKA_TOKEN, False))[0], CKR_FUNCTION_NOT_SUPPORTED)


class EcVerify(base.Base):
    """C_Verify with EC public keys in software, both point forms."""

    def setUp(self):
        super().setUp()
        self.p11 = self.loaded()
        self.session = self.p11.openSession(0, P.CKF_SERIAL_SESSION)

    def tearDown(self):
        self.session.closeSession()
        self.session = self.p11 = None
        gc.collect()
        super().tearDown()

    def public_key(self, params, point):
        return self.session.createObject([
            (P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_KEY_TYPE, P.CKK_EC), (P.CKA_TOKEN, False),
            (P.CKA_VERIFY, True), (P.CKA_EC_PARAMS, params), (P.CKA_EC_POINT, point)])

    def test_signatures_of_python_cryptography_verify_with_raw_and_wrapped_points(self):
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec, utils
        curves = ((ec.SECP256R1(), "06082a8648ce3d030107", 32), (ec.SECP521R1(), "06052b81040023", 66))
        mechs = ((P.CKM_ECDSA_SHA1, hashes.SHA1()), (P.CKM_ECDSA_SHA256, hashes.SHA256()),
                 (P.CKM_ECDSA_SHA384, hashes.SHA384()), (P.CKM_ECDSA_SHA512, hashes.SHA512()))
        for curve, oid, d in curves:
            private = ec.generate_private_key(curve)
            raw = private.public_key().public_bytes(serialization.Encoding.X962,
                                                   serialization.PublicFormat.UncompressedPoint)
            wrapped = b"\x04" + (b"\x81" if len(raw) >= 0x80 else b"") + bytes([len(raw)]) + raw
            keys = [self.public_key(bytes.fromhex(oid), raw), self.public_key(bytes.fromhex(oid), wrapped)]
            message = b"verified in software"
            for mech, h in mechs:
                r, s = utils.decode_dss_signature(private.sign(message, ec.ECDSA(h)))
                signature = r.to_bytes(d, "big") + s.to_bytes(d, "big")
                for key in keys:
                    with self.subTest(d=d, mech=hex(mech)):
                        self.assertTrue(self.session.verify(key, message, signature, P.Mechanism(mech)))
                        self.assertFalse(self.session.verify(key, message + b"!", signature, P.Mechanism(mech)))
                        zero_r = bytes(d) + signature[d:]
                        self.assertFalse(self.session.verify(key, message, zero_r, P.Mechanism(mech)))
            # Raw CKM_ECDSA over a SHA-512 hash value, cut to the order on P-256.
            digest = hashlib.sha512(b"prehashed").digest()
            r, s = utils.decode_dss_signature(private.sign(digest, ec.ECDSA(utils.Prehashed(hashes.SHA512()))))
            signature = r.to_bytes(d, "big") + s.to_bytes(d, "big")
            self.assertTrue(self.session.verify(keys[1], digest, signature, P.Mechanism(P.CKM_ECDSA)))


if __name__ == "__main__":
    base.MODULE = ce.MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
