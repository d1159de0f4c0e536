"""Key files and the asymmetric commands, checked against python3-cryptography
and the openssl command.  The block layouts are written out here as the
host builds them, apart from the token's own reader of the shared header."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import support  # noqa: F401
from support import CardClient

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, keywrap, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa, utils

RSA_1024, RSA_2048, P_256, P_521 = 0x40001000, 0x40001001, 0x40001010, 0x40001011
HASH_IDS = {"md5": 0x40000000, "sha1": 0x40000011, "sha256": 0x40000013,
            "sha384": 0x40000014, "sha512": 0x40000015}
HASH_CLASSES = {"md5": hashes.MD5, "sha1": hashes.SHA1, "sha256": hashes.SHA256,
                "sha384": hashes.SHA384, "sha512": hashes.SHA512}
AES_256 = 0x40002020
KEK_SLOT = 3
KEK = bytes(range(32))
CURVES = {P_256: ec.SECP256R1(), P_521: ec.SECP521R1()}
OPENSSL = shutil.which("openssl")


# The blocks, field by field (bits u32 BE, values right-aligned).
def rsa_public_block(key):
    n = key.public_numbers()
    return struct.pack(">I", key.key_size) + n.n.to_bytes(256, "big") + n.e.to_bytes(4, "big")


def rsa_private_block(key):
    n = key.private_numbers()
    return (struct.pack(">I", key.key_size) + n.d.to_bytes(256, "big") + n.public_numbers.e.to_bytes(4, "big")
            + b"".join(v.to_bytes(128, "big") for v in (n.p, n.q, n.dmp1, n.dmq1, n.iqmp)))


def ec_public_block(key):
    n = key.public_numbers()
    return struct.pack(">I", key.curve.key_size) + n.x.to_bytes(68, "big") + n.y.to_bytes(68, "big") + bytes(4)


def ec_private_block(key):
    return struct.pack(">I", key.curve.key_size) + key.private_numbers().private_value.to_bytes(68, "big")


def public_key_of(alg, block):
    bits = struct.unpack(">I", block[:4])[0]
    if alg in CURVES:
        assert len(block) == 144 and block[140:] == bytes(4) and bits == CURVES[alg].key_size
        return ec.EllipticCurvePublicNumbers(int.from_bytes(block[4:72], "big"),
                                             int.from_bytes(block[72:140], "big"), CURVES[alg]).public_key()
    assert len(block) == 264 and bits == {RSA_1024: 1024, RSA_2048: 2048}[alg]
    return rsa.RSAPublicNumbers(int.from_bytes(block[260:264], "big"),
                                int.from_bytes(block[4:260], "big")).public_key()


def ef_record(file_id, file_type, access):
    return bytes([1, file_type]) + bytes(access) + bytes(17) + struct.pack(">HBH", file_id, 0, 0)


def openssl(*args, data=b""):
    return subprocess.run([OPENSSL] + list(args), input=data, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, check=True, timeout=30).stdout


def openssl_verifies(public, value, der_signature):
    """openssl pkeyutl -verify of a DER ECDSA signature over a digest."""
    with tempfile.TemporaryDirectory(prefix="vtoken-ec-") as d:
        paths = {name: os.path.join(d, name) for name in ("pub.pem", "sig.der", "value.bin")}
        for name, content in (("pub.pem", public.public_bytes(serialization.Encoding.PEM,
                                                              serialization.PublicFormat.SubjectPublicKeyInfo)),
                              ("sig.der", der_signature), ("value.bin", value)):
            with open(paths[name], "wb") as f:
                f.write(content)
        done = subprocess.run([OPENSSL, "pkeyutl", "-verify", "-pubin", "-inkey", paths["pub.pem"],
                               "-sigfile", paths["sig.der"], "-in", paths["value.bin"]],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
        return done.returncode == 0 and b"Signature Verified Successfully" in done.stdout


class KeyFileFixture(unittest.TestCase):
    """A card with the MF current and an AES-256 key-encryption key in slot 3."""

    def setUp(self):
        self.c = CardClient()
        self.c.ok("80 14 00 %02x" % KEK_SLOT, struct.pack(">I", AES_256) + KEK)

    def files(self, public_id, private_id):
        self.c.ok("80 42 00 00", ef_record(public_id, 0x20, (255, 17, 17)))
        self.c.ok("80 42 00 00", ef_record(private_id, 0x30, (0, 17, 17)))

    def generate(self, public_id, private_id, alg):
        self.files(public_id, private_id)
        self.c.ok("80 81 00 00", struct.pack(">HHIBB", public_id, private_id, alg, 0, 3))

    def export(self, key_id):
        return self.c.ok("80 84 01 00", struct.pack(">H", key_id), le=0)

    def public(self, key_id):
        reply = self.export(key_id)
        return public_key_of(struct.unpack(">I", reply[:4])[0], reply[6:])

    def import_pair(self, public_id, private_id, alg, key):
        """The host's import: the public block, then the private one wrapped."""
        self.files(public_id, private_id)
        rsa_key = alg in (RSA_1024, RSA_2048)
        pub = rsa_public_block(key.public_key()) if rsa_key else ec_public_block(key.public_key())
        pri = rsa_private_block(key) if rsa_key else ec_private_block(key)
        pub_data = struct.pack(">HIBB", public_id, alg, 3, 0) + pub
        pri_data = struct.pack(">HHIBB", private_id, public_id, alg, KEK_SLOT, 0) + keywrap.aes_key_wrap(KEK, pri)
        self.c.ok("80 82 01 00", pub_data)
        self.c.ok("80 83 00 %02x" % KEK_SLOT, pri_data)
        return len(pub_data), len(pri_data)

    def sign(self, key_id, hash_id, data):
        reply = self.c.ok("80 89 01 00", struct.pack(">HI", key_id, hash_id) + data, le=0)
        self.assertEqual(struct.unpack(">I", reply[:4])[0], len(reply) - 4)
        return reply[4:]


class GenerationTest(KeyFileFixture):
    def test_each_algorithm_generates_exports_and_signs(self):
        message = b"generated on the card"
        for i, (alg, bits) in enumerate(((RSA_1024, 1024), (RSA_2048, 2048), (P_256, 256), (P_521, 521))):
            with self.subTest(alg="%08X" % alg):
                pub_id, pri_id = 0x4100 + i, 0x4200 + i
                self.files(pub_id, pri_id)
                empty = self.c.ok("00 A4 02 00", struct.pack(">H", pri_id), le=0)
                self.assertEqual(empty[24:30], bytes(6), "an empty key file")
                self.c.ok("80 81 00 00", struct.pack(">HHIBB", pub_id, pri_id, alg, 0, 3))
                reply = self.export(pub_id)
                self.assertEqual(reply[:6], struct.pack(">I", alg) + bytes(2))
                public = public_key_of(alg, reply[6:])
                # The file information carries the algorithm and the size.
                for key_id, file_type in ((pub_id, 0x20), (pri_id, 0x30)):
                    info = self.c.ok("00 A4 02 00", struct.pack(">H", key_id), le=0)
                    self.assertEqual(len(info), 36)
                    self.assertEqual(info[23], file_type)
                    self.assertEqual(info[24:30], struct.pack(">IH", alg, bits))
                digest = hashes.Hash(hashes.SHA256())
                digest.update(message)
                value = digest.finalize()
                signature = self.sign(pri_id, HASH_IDS["sha256"], value)
                prehashed = utils.Prehashed(hashes.SHA256())
                if alg in CURVES:
                    size = (bits + 7) // 8
                    self.assertEqual(len(signature), 2 * size)
                    der = utils.encode_dss_signature(int.from_bytes(signature[:size], "big"),
                                                     int.from_bytes(signature[size:], "big"))
                    public.verify(der, value, ec.ECDSA(prehashed))
                else:
                    self.assertEqual(public.public_numbers().e, 65537)
                    public.verify(signature, value, padding.PKCS1v15(), prehashed)
        listed = self.c.ok("00 CA 01 06", le=0)
        ids = {struct.unpack(">H", listed[j:j + 2])[0] for j in range(0, len(listed), 2)}
        self.assertEqual(ids, {0x4100 + i for i in range(4)} | {0x4200 + i for i in range(4)})

    def test_key_file_errors(self):
        self.generate(0x4100, 0x4200, P_256)
        self.files(0x4101, 0x4201)
        digest32 = bytes(32)
        cases = [
            ("export of a private key file", "80 84 01 00", struct.pack(">H", 0x4200), 0, 0x6982),
            ("export of an empty file", "80 84 01 00", struct.pack(">H", 0x4101), 0, 0x6A88),
            ("export of a missing file", "80 84 01 00", struct.pack(">H", 0x4102), 0, 0x6A82),
            ("sign with a public key file", "80 89 01 00", struct.pack(">HI", 0x4100, 0) + digest32, 0, 0x6A82),
            ("sign with an empty file", "80 89 01 00", struct.pack(">HI", 0x4201, 0) + digest32, 0, 0x6A88),
            ("generate without the private file", "80 81 00 00",
             struct.pack(">HHIBB", 0x4101, 0x4202, P_256, 0, 3), None, 0x6A82),
            ("generate into files of swapped types", "80 81 00 00",
             struct.pack(">HHIBB", 0x4201, 0x4101, P_256, 0, 3), None, 0x6A82),
            ("an unknown algorithm", "80 81 00 00", struct.pack(">HHIBB", 0x4101, 0x4201, 0x40001012, 0, 3),
             None, 0x6A80),
            ("an unknown hash id", "80 89 01 00", struct.pack(">HI", 0x4200, 0x40000012) + digest32, 0, 0x6A80),
        ]
        for name, header, data, le, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.c.sw(header, data, le), expected)

    def test_a_deleted_key_file_takes_its_key_and_a_format_wipes_them(self):
        self.generate(0x4100, 0x4200, P_256)
        self.c.ok("80 43 02 00", struct.pack(">H", 0x4200))
        self.assertEqual(self.c.sw("80 89 01 00", struct.pack(">HI", 0x4200, 0) + bytes(32), 0), 0x6A82)
        self.files(0x4101, 0x4200)
        self.assertEqual(self.c.sw("80 89 01 00", struct.pack(">HI", 0x4200, 0) + bytes(32), 0), 0x6A88,
                         "a new file of the same id starts empty")


class RsaTest(KeyFileFixture):
    @classmethod
    def setUpClass(cls):
        if OPENSSL is None:
            raise unittest.SkipTest("no openssl command")
        cls.dir = tempfile.mkdtemp(prefix="vtoken-rsa-")
        cls.pem = os.path.join(cls.dir, "key.pem")
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", cls.pem)
        with open(cls.pem, "rb") as f:
            cls.key = serialization.load_pem_private_key(f.read(), None)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        super().setUp()
        sizes = self.import_pair(0x4400, 0x4500, RSA_2048, self.key)
        self.assertEqual(sizes, (8 + 264, 10 + 904 + 8))

    def test_signatures_equal_openssl(self):
        for name in ("md5", "sha1", "sha256", "sha384", "sha512", None):
            with self.subTest(hash=name):
                if name is None:
                    value = b"raw data padded as given"
                    expected = openssl("pkeyutl", "-sign", "-inkey", self.pem, data=value)
                    hash_id = 0
                else:
                    h = hashes.Hash(HASH_CLASSES[name]())
                    h.update(b"message")
                    value = h.finalize()
                    expected = openssl("pkeyutl", "-sign", "-inkey", self.pem, "-pkeyopt",
                                       "digest:" + name, data=value)
                    hash_id = HASH_IDS[name]
                self.assertEqual(self.sign(0x4500, hash_id, value), expected)
                good = struct.pack(">HIH", 0x4400, hash_id, 256) + expected + value
                self.c.ok("80 8A 01 00", good)
                bad = bytearray(good)
                bad[20] ^= 1
                self.assertEqual(self.c.sw("80 8A 01 00", bytes(bad)), 0x6300)

    def test_signature_length_limits(self):
        cases = [(0, 245, 0x9000), (0, 246, 0x6700), (HASH_IDS["sha256"], 31, 0x6700),
                 (HASH_IDS["sha256"], 33, 0x6700), (HASH_IDS["sha1"], 20, 0x9000)]
        for hash_id, length, expected in cases:
            with self.subTest(hash_id=hash_id, length=length):
                self.assertEqual(self.c.sw("80 89 01 00", struct.pack(">HI", 0x4500, hash_id) + bytes(length), 0),
                                 expected)

    def test_decryption_and_raw_operations(self):
        pub_pem = os.path.join(self.dir, "pub.pem")
        openssl("pkey", "-in", self.pem, "-pubout", "-out", pub_pem)
        for message in (b"", b"x", bytes(range(245))):
            with self.subTest(length=len(message)):
                ciphertext = openssl("pkeyutl", "-encrypt", "-pubin", "-inkey", pub_pem, data=message)
                plain = self.c.ok("80 87 00 00", struct.pack(">H", 0x4500) + ciphertext, le=0)
                self.assertEqual(plain, struct.pack(">I", len(message)) + message)
        n = self.key.public_key().public_numbers().n
        bad_padding = pow(0x0001FF00, 65537, n).to_bytes(256, "big")
        cases = [("bad padding", struct.pack(">H", 0x4500) + bad_padding, 0x6A80),
                 ("short data", struct.pack(">H", 0x4500) + bytes(255), 0x6700),
                 ("not below n", struct.pack(">H", 0x4500) + b"\xff" * 256, 0x6A80),
                 ("public file", struct.pack(">H", 0x4400) + bad_padding, 0x6A82)]
        for name, data, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.c.sw("80 87 00 00", data, 0), expected)
        value = (123456789).to_bytes(256, "big")
        once = self.c.ok("80 88 00 00", struct.pack(">H", 0x4500) + value, le=0)[4:]
        self.assertEqual(int.from_bytes(once, "big"), pow(123456789, self.key.private_numbers().d, n))
        self.assertEqual(self.c.ok("80 88 01 00", struct.pack(">H", 0x4400) + once, le=0)[4:], value)
        encrypted = self.c.ok("80 87 01 00", struct.pack(">H", 0x4400) + b"to the card", le=0)[4:]
        self.assertEqual(self.key.decrypt(encrypted, padding.PKCS1v15()), b"to the card")

    def test_import_checks(self):
        other = rsa.generate_private_key(65537, 2048)
        good_pub = struct.pack(">HIBB", 0x4401, RSA_2048, 3, 0) + rsa_public_block(self.key.public_key())
        self.files(0x4401, 0x4501)
        self.assertEqual(self.c.sw("80 82 01 00", good_pub[:-1]), 0x6700)
        self.assertEqual(self.c.sw("80 82 01 00", good_pub + b"\x00"), 0x6700)
        self.assertEqual(self.c.sw("80 82 01 00", struct.pack(">HIBB", 0x4401, RSA_1024, 3, 0) +
                                   rsa_public_block(self.key.public_key())), 0x6A80, "2048 bits for RSA-1024")

        def pri(key, private_id=0x4501, public_id=0x4401, slot=KEK_SLOT, kek=KEK, block=None):
            block = rsa_private_block(key) if block is None else block
            return ("80 83 00 %02x" % slot,
                    struct.pack(">HHIBB", private_id, public_id, RSA_2048, slot, 0) + keywrap.aes_key_wrap(kek, block))

        self.c.ok("80 82 01 00", good_pub)
        broken = bytearray(rsa_private_block(self.key))
        broken[900] ^= 1
        cases = [("another key", pri(other), 0x6A80),
                 ("another key-encryption key", pri(self.key, kek=bytes(32)), 0x6A80),
                 ("no session key", pri(self.key, slot=9), 0x6A88),
                 ("a broken CRT value", pri(self.key, block=bytes(broken)), 0x6A80),
                 ("ids swapped", pri(self.key, private_id=0x4401, public_id=0x4501), 0x6A82),
                 ("the matching key", pri(self.key), 0x9000)]
        for name, (header, data), expected in cases:
            with self.subTest(name):
                self.assertEqual(self.c.sw(header, data), expected)
        self.assertEqual(self.sign(0x4501, 0, b"same key"), self.sign(0x4500, 0, b"same key"))


class EcTest(KeyFileFixture):
    def test_p521_import_sizes_and_signatures(self):
        key = ec.generate_private_key(ec.SECP521R1())
        self.assertEqual(self.import_pair(0x4100, 0x4200, P_521, key), (152, 90))
        public = key.public_key()
        cases = [(b"\x01" * 64, hashes.SHA512()), (b"\x02" * 32, hashes.SHA256()), (b"\x03" * 20, hashes.SHA1())]
        for value, algorithm in cases:
            with self.subTest(length=len(value)):
                signature = self.sign(0x4200, 0, value)
                self.assertEqual(len(signature), 132)
                der = utils.encode_dss_signature(int.from_bytes(signature[:66], "big"),
                                                 int.from_bytes(signature[66:], "big"))
                public.verify(der, value, ec.ECDSA(utils.Prehashed(algorithm)))
                self.c.ok("80 8A 01 00", struct.pack(">HIH", 0x4100, 0, 132) + signature + value)
                if OPENSSL is not None and len(value) == 64:
                    self.assertTrue(openssl_verifies(public, value, der))

    def test_openssl_accepts_p256_signatures(self):
        if OPENSSL is None:
            self.skipTest("no openssl command")
        self.generate(0x4100, 0x4200, P_256)
        public = self.public(0x4100)
        for value in (bytes(32), bytes(range(32)), b"\xff" * 32):
            with self.subTest(value=value.hex()[:8]):
                signature = self.sign(0x4200, HASH_IDS["sha256"], value)
                der = utils.encode_dss_signature(int.from_bytes(signature[:32], "big"),
                                                 int.from_bytes(signature[32:], "big"))
                self.assertTrue(openssl_verifies(public, value, der))
                bad = utils.encode_dss_signature(int.from_bytes(signature[:32], "big"),
                                                 int.from_bytes(signature[32:], "big") ^ 1)
                self.assertFalse(openssl_verifies(public, value, bad))

    def test_p256_takes_the_leftmost_bits_of_longer_data(self):
        self.generate(0x4100, 0x4200, P_256)
        public = self.public(0x4100)
        for length, algorithm in ((48, hashes.SHA384()), (64, hashes.SHA512()), (32, hashes.SHA256())):
            with self.subTest(length=length):
                value = bytes((i * 7 + length) & 0xFF for i in range(length))
                signature = self.sign(0x4200, HASH_IDS[algorithm.name], value)
                self.assertEqual(len(signature), 64)
                der = utils.encode_dss_signature(int.from_bytes(signature[:32], "big"),
                                                 int.from_bytes(signature[32:], "big"))
                public.verify(der, value, ec.ECDSA(utils.Prehashed(algorithm)))
                with self.assertRaises(InvalidSignature):
                    public.verify(der, b"\x00" + value[1:], ec.ECDSA(utils.Prehashed(algorithm)))
                # Bytes past the first 32 do not count.
                self.c.ok("80 8A 01 00", struct.pack(">HIH", 0x4100, 0, 64) + signature + value[:32])

    def test_a_private_key_imported_alone_fills_its_public_file(self):
        key = ec.generate_private_key(ec.SECP256R1())
        self.files(0x4400, 0x4500)
        pri = ec_private_block(key)
        self.c.ok("80 83 00 %02x" % KEK_SLOT,
                  struct.pack(">HHIBB", 0x4500, 0x4400, P_256, KEK_SLOT, 0) + keywrap.aes_key_wrap(KEK, pri))
        self.assertEqual(self.export(0x4400)[6:], ec_public_block(key.public_key()))

    def test_import_checks(self):
        key = ec.generate_private_key(ec.SECP256R1())
        self.files(0x4100, 0x4200)
        block = bytearray(ec_public_block(key.public_key()))
        block[139] ^= 1
        order = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
        self.assertEqual(self.c.sw("80 82 01 00", struct.pack(">HIBB", 0x4100, P_256, 3, 0) + bytes(block)),
                         0x6A80, "a point off the curve")
        self.c.ok("80 82 01 00", struct.pack(">HIBB", 0x4100, P_256, 3, 0) + ec_public_block(key.public_key()))
        for name, scalar in (("zero", 0), ("the order", order), ("above the order", order + 1),
                             ("another key", key.private_numbers().private_value + 1)):
            with self.subTest(name):
                pri = struct.pack(">I", 256) + scalar.to_bytes(68, "big")
                data = struct.pack(">HHIBB", 0x4200, 0x4100, P_256, KEK_SLOT, 0) + keywrap.aes_key_wrap(KEK, pri)
                self.assertEqual(self.c.sw("80 83 00 %02x" % KEK_SLOT, data), 0x6A80)

    def test_wrapped_export_imports_again_and_signs_the_current_digest(self):
        self.generate(0x4100, 0x4200, P_256)
        self.files(0x4101, 0x4201)
        wrapped = self.c.ok("80 84 00 %02x" % KEK_SLOT, struct.pack(">H", 0x4100), le=0)
        self.c.ok("80 82 00 %02x" % KEK_SLOT, struct.pack(">HIBB", 0x4101, P_256, 0, 0) + wrapped[6:])
        exported = self.c.ok("80 8B 00 %02x" % KEK_SLOT, struct.pack(">H", 0x4200), le=0)
        self.c.ok("80 83 00 %02x" % KEK_SLOT, struct.pack(">HHIBB", 0x4201, 0x4101, P_256, 0, 0) + exported[6:])
        self.assertEqual(self.export(0x4101), self.export(0x4100))
        self.assertEqual(self.c.sw("80 89 00 00", struct.pack(">HI", 0x4201, 0), 0), 0x6985)
        self.c.ok("80 51 00 00", struct.pack(">I", HASH_IDS["sha256"]))
        digest = self.c.ok("80 53 00 00", b"hello", le=0)
        signature = self.c.ok("80 89 00 00", struct.pack(">HI", 0x4201, 0), le=0)[4:]
        der = utils.encode_dss_signature(int.from_bytes(signature[:32], "big"), int.from_bytes(signature[32:], "big"))
        self.public(0x4100).verify(der, digest, ec.ECDSA(utils.Prehashed(hashes.SHA256())))
        self.c.ok("80 8A 00 00", struct.pack(">HIH", 0x4100, 0, 64) + signature)


class StrictAccessTest(KeyFileFixture):
    def test_private_key_use_and_key_writes_need_a_verified_pin(self):
        self.generate(0x4100, 0x4200, P_256)
        self.c.ok("80 42 00 00", ef_record(0x4101, 0x20, (255, 17, 17)))
        self.c.ok("80 42 00 00", ef_record(0x4201, 0x30, (0, 17, 17)))
        self.c.card.hooks["access_mode"] = "strict"
        self.c.open_test_channel()
        self.c.ok("80 42 00 00", bytes([0, 255, 255]) + b"root".ljust(16, b"\x00") + b"\x20\x00")
        record = bytes([2]) + struct.pack(">I", 0x40002121) + bytes([0x82, 5, 5]) + \
            b"12345678".ljust(32, b"\x00") + bytes(4)
        self.assertEqual(self.c.wrapped("84 31 00 00", record)[0], 0x9000)
        self.c.ok("00 A4 00 00", b"\x3f\x00", le=0)
        sign = ("80 89 01 00", struct.pack(">HI", 0x4200, 0) + bytes(32), 0)
        generate = ("80 81 00 00", struct.pack(">HHIBB", 0x4101, 0x4201, P_256, 0, 3), None)
        export_pri = ("80 8B 00 %02x" % KEK_SLOT, struct.pack(">H", 0x4200), 0)
        export_pub = ("80 84 01 00", struct.pack(">H", 0x4100), 0)
        before = [self.c.sw(*cmd) for cmd in (sign, generate, export_pri, export_pub)]
        self.assertEqual(before, [0x6982, 0x6982, 0x6982, 0x9000])
        self.c.ok("00 20 00 02", b"12345678")
        after = [self.c.sw(*cmd) for cmd in (sign, generate, export_pri, export_pub)]
        self.assertEqual(after, [0x9000, 0x9000, 0x6982, 0x9000], "a private block never leaves (read: never)")


if __name__ == "__main__":
    unittest.main()
