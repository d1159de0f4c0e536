import hashlib
import struct
import unittest

import support  # noqa: F401
from support import apdu, new_card, sw

from cryptography.hazmat.primitives import keywrap
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.cmac import CMAC

from card import sm

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
