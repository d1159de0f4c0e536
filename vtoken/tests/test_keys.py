import hashlib
import struct
import unittest

import support  # noqa: F401
from support import apdu, new_card, sw

from cryptography.hazmat.primitives import hashes, keywrap
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.cmac import CMAC

from card import sm
from card.families import asym

RSA_2048 = 0x40001001
P_256 = 0x40001010
SHA_256 = 0x40000013
AES_128 = 0x40002000
AES_256 = 0x40002020


class KeyFamiliesTest(unittest.TestCase):
    def setUp(self):
        self.card = new_card()

    def tx(self, hexa, data=b"", le=None):
        raw = apdu(hexa)
        if data:
            raw += bytes([len(data)]) + data if len(data) < 256 else b"\x00" + struct.pack(">H", len(data)) + data
        if le is not None:
            raw += b"\x00\x00" if len(data) >= 256 else bytes([le])
        return self.card.process(raw)

    def ok(self, *args, **kw):
        reply = self.tx(*args, **kw)
        self.assertEqual(sw(reply), 0x9000, reply.hex())
        return reply[:-2]

    def gen(self, public_id, private_id, alg):
        self.ok("80 81 00 00", struct.pack(">HHIBB", public_id, private_id, alg, 5, 6))

    def test_rsa_sign_verify_decrypt_and_raw(self):
        self.gen(1, 0x101, RSA_2048)
        exported = self.ok("80 84 01 00", struct.pack(">H", 1), le=0)
        self.assertEqual(exported[:6], struct.pack(">IBB", RSA_2048, 5, 6))
        public = asym.parse_public_blob(RSA_2048, exported[6:])
        signed = self.ok("80 89 01 00", struct.pack(">HI", 0x101, SHA_256) + b"abc", le=0)
        length, signature = struct.unpack(">I", signed[:4])[0], signed[4:]
        self.assertEqual(length, len(signature))
        public.verify(signature, b"abc", padding.PKCS1v15(), hashes.SHA256())
        good = struct.pack(">HIH", 1, SHA_256, len(signature)) + signature + b"abc"
        self.ok("80 8A 01 00", good)
        self.assertEqual(sw(self.tx("80 8A 01 00", good[:-1] + b"x")), 0x6300)
        # A public id where a private one is needed.
        self.assertEqual(sw(self.tx("80 89 01 00", struct.pack(">HI", 1, SHA_256) + b"abc", le=0)), 0x6A88)
        ciphertext = public.encrypt(b"secret", padding.PKCS1v15())
        plain = self.ok("80 87 00 00", struct.pack(">H", 0x101) + ciphertext, le=0)
        self.assertEqual(plain[4:], b"secret")
        value = (12345).to_bytes(256, "big")
        once = self.ok("80 88 01 00", struct.pack(">H", 1) + value, le=0)[4:]
        self.assertEqual(self.ok("80 88 00 00", struct.pack(">H", 0x101) + once, le=0)[4:], value)

    def test_sign_of_the_current_digest_and_ec_raw_signature(self):
        self.gen(2, 0x102, P_256)
        self.assertEqual(sw(self.tx("80 89 00 00", struct.pack(">HI", 0x102, 0), le=0)), 0x6985)
        self.ok("80 51 00 00", struct.pack(">I", SHA_256))
        self.ok("80 53 00 00", b"hello", le=0)
        signature = self.ok("80 89 00 00", struct.pack(">HI", 0x102, 0), le=0)[4:]
        self.assertEqual(len(signature), 64)
        self.ok("80 8A 00 00", struct.pack(">HIH", 2, 0, 64) + signature, le=0)

    def test_private_key_wraps_out_and_back_in(self):
        self.ok("80 14 00 07", struct.pack(">I", AES_256) + bytes(range(32)))
        self.gen(3, 0x103, P_256)
        exported = self.ok("80 8B 00 07", struct.pack(">H", 0x103), le=0)
        self.ok("80 83 00 07", struct.pack(">HHIBB", 4, 0x104, P_256, 0, 0) + exported[6:])
        pub3 = self.ok("80 84 01 00", struct.pack(">H", 3), le=0)[6:]
        pub4 = self.ok("80 84 01 00", struct.pack(">H", 4), le=0)[6:]
        self.assertEqual(pub3, pub4)
        wrapped = self.ok("80 84 00 07", struct.pack(">H", 3), le=0)[6:]
        self.assertEqual(keywrap.aes_key_unwrap(bytes(range(32)), wrapped)[:len(pub3)], pub3)

    def test_session_key_agreement_gives_the_host_the_same_key(self):
        record = self.ok("80 12 00 00", struct.pack(">IB", sm.ALG_P521, 0), le=0)
        self.assertEqual(len(record), 148)
        host = ec.generate_private_key(ec.SECP521R1())
        n = host.public_key().public_numbers()
        host_record = b"\x09\x02\x00\x00" + n.x.to_bytes(68, "big") + n.y.to_bytes(68, "big") + bytes(4)
        other = bytes(68)
        self.ok("80 12 01 21", struct.pack(">III", sm.ALG_P521, sm.ALG_SHA512, AES_256) + other + host_record,
                le=0)
        card_point = ec.EllipticCurvePublicNumbers(int.from_bytes(record[8:76], "big"),
                                                   int.from_bytes(record[76:144], "big"), ec.SECP521R1())
        z = host.exchange(ec.ECDH(), card_point.public_key())
        self.assertEqual(self.card.volatile.describe()["family_state"]["session_keys"]["33"]["key"],
                         sm.kdf_sha512(z, other, 32).hex())

    def test_wrapped_import_cipher_and_mac(self):
        kek = bytes(range(32))
        key = bytes(range(16, 32))
        self.ok("80 14 00 01", struct.pack(">I", AES_256) + kek)
        self.ok("80 61 01 02", struct.pack(">I", AES_128) + keywrap.aes_key_wrap(kek, key))
        self.assertEqual(self.ok("80 17 00 02", le=0), struct.pack(">IHBB", AES_128, 128, 16, 16))
        self.assertEqual(sw(self.tx("80 61 01 03", struct.pack(">I", AES_128) + bytes(24))), 0x6A80)
        iv = bytes(16)
        self.ok("80 63 01 02", iv)
        data = bytes(range(40))
        first = self.ok("80 64 00 00", data[:20], le=0)
        rest = self.ok("80 65 00 00", data[20:] + bytes(8), le=0)
        enc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
        self.assertEqual(first + rest, enc.update(data + bytes(8)) + enc.finalize())
        self.assertEqual(sw(self.tx("80 64 00 00", data, le=0)), 0x6985)
        self.ok("80 71 00 02")
        self.ok("80 72 00 00", data)
        mac = self.ok("80 73 00 00", b"tail", le=0)
        c = CMAC(algorithms.AES(key))
        c.update(data + b"tail")
        self.assertEqual(mac, c.finalize())

    def test_digest_contexts(self):
        self.assertEqual(sw(self.tx("80 52 00 00", b"x")), 0x6985)
        self.assertEqual(sw(self.tx("80 51 00 00", struct.pack(">I", 0x12345678))), 0x6A80)
        self.ok("80 51 00 00", struct.pack(">I", 0x40000015))
        self.ok("80 52 00 00", b"ab")
        self.assertEqual(self.ok("80 53 00 00", le=0), hashlib.sha512(b"ab").digest())
        self.assertEqual(sw(self.tx("80 53 00 00", le=0)), 0x6985)

    def test_configuration_reads_little_endian_ids(self):
        self.ok("F0 10 00 00", apdu("1234 ABCD"))
        self.assertEqual(self.ok("F0 10 01 00", le=0), apdu("3412 CDAB"))
        self.assertEqual(sw(self.tx("F0 30 00 00", b"short")), 0x6700)
        self.ok("F0 30 00 00", b"A" * 24)
        self.assertEqual(self.ok("F0 30 01 00", le=0), b"A" * 24)
        self.assertEqual(sw(self.tx("F4 10 00 00", apdu("1234 ABCD"))), 0x6982)


if __name__ == "__main__":
    unittest.main()
