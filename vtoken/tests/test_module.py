"""Commands the PKCS #11 module adds: the 64-byte key agreements, saved
session keys, the CD switch, card information and the card's own data
objects, the module's format record, the PIN list, the card ciphers with
padding, and what a reset or power-off forgets."""

import hashlib
import struct
import unittest

import support  # noqa: F401
from support import CardClient, header_string, new_card

from cryptography.hazmat.primitives import keywrap, padding
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

P521, SHA512 = 0x40001011, 0x40000015
AES_128, AES_128_CBC = 0x40002000, 0x40002001
AES_192_CBC, AES_256, AES_256_CBC = 0x40002011, 0x40002020, 0x40002021
TDES3_CBC = 0x40002121

DEVICE_KEY = header_string("SOLVANTA_DEVICE_KEY")
MARKER = header_string("SOLVANTA_FORMAT_ENABLE_MARKER")


def kdf(z, other, length):
    out, counter = b"", 1
    while len(out) < length:
        out += hashlib.sha512(struct.pack(">I", counter) + z + other).digest()
        counter += 1
    return out[:length]


def host_record(key):
    n = key.public_key().public_numbers()
    return struct.pack("<I", 521) + n.x.to_bytes(68, "big") + n.y.to_bytes(68, "big") + bytes(4)


def card_point(reply):
    x, y = int.from_bytes(reply[8:76], "big"), int.from_bytes(reply[76:144], "big")
    return ec.EllipticCurvePublicNumbers(x, y, ec.SECP521R1()).public_key()


def module_format_record(manufacturer=b"Solvanta", second=b"Token", label=b"My token",
                         serial=b"SV00000000000042", mode=0x01, key=DEVICE_KEY):
    """The module's 275-byte format record, laid out field by field."""
    r = bytearray(275)
    r[0:17] = MARKER
    r[18:18 + len(manufacturer)] = manufacturer
    r[50:50 + len(second)] = second
    r[82:82 + len(label)] = label
    r[114:114 + len(serial)] = serial
    r[150:154] = struct.pack(">I", 0x00020000)
    r[160] = mode
    r[161] = 2
    r[162:164] = b"MF"
    for at, parameter in ((164, 10), (201, 16), (238, 10)):
        r[at:at + 4] = struct.pack(">I", 0x40002020)
        r[at + 4:at + 36] = key
        r[at + 36] = parameter
    return bytes(r)


def cipher(key_type, key, iv=None):
    algo = algorithms.AES(key) if key_type < 0x40002100 else algorithms.TripleDES(key)
    return Cipher(algo, modes.CBC(iv) if iv is not None else modes.ECB())


class KeyAgreementTest(unittest.TestCase):
    def setUp(self):
        self.c = CardClient()

    def test_session_key_agreement_takes_other_info_from_lc(self):
        cases = ((AES_128, 64, 1), (AES_256, 64, 1), (AES_192_CBC, 68, 0x21), (TDES3_CBC, 64, 5))
        for key_type, other_len, slot in cases:
            with self.subTest(type=hex(key_type), other=other_len):
                card = card_point(self.c.ok("80 12 00 00", struct.pack(">IB", P521, 0), le=0))
                host = ec.generate_private_key(ec.SECP521R1())
                other = bytes(range(other_len))
                data = struct.pack(">III", P521, SHA512, key_type) + other + host_record(host)
                self.assertEqual(len(data), 12 + other_len + 144)
                self.c.ok("80 12 01 %02X" % slot, data)
                length = {AES_128: 16, AES_256: 32, AES_192_CBC: 24, TDES3_CBC: 24}[key_type]
                expected = kdf(host.exchange(ec.ECDH(), card), other, length)
                self.assertEqual(self.c.card.volatile.extra["session_keys"].keys[slot].key, expected)

    def test_agreement_refusals(self):
        host = ec.generate_private_key(ec.SECP521R1())
        good = struct.pack(">III", P521, SHA512, AES_256) + bytes(64) + host_record(host)
        cases = (
            ("other length", good[:-1], True, 0x6700),
            ("unknown type", struct.pack(">III", P521, SHA512, 0x40001000) + good[12:], True, 0x6A80),
            ("no step 1", good, False, 0x6985),
        )
        for name, data, step1, expected in cases:
            with self.subTest(name):
                c = CardClient()
                if step1:
                    c.ok("80 12 00 00", struct.pack(">IB", P521, 0), le=0)
                self.assertEqual(c.sw("80 12 01 01", data), expected)

    def test_secure_channel_with_module_other_info_matches_the_host(self):
        card = card_point(self.c.ok("80 11 00 00", struct.pack(">IB", P521, 0), le=0))
        host = ec.generate_private_key(ec.SECP521R1())
        self.c.ok("80 11 01 00", struct.pack(">II", P521, SHA512) + bytes(64) + host_record(host))
        k = kdf(host.exchange(ec.ECDH(), card), bytes(64), 64)
        channel = self.c.card.volatile.sm
        self.assertEqual((channel.mac_key, channel.enc_key), (k[:32], k[32:]))


class SavedSessionTest(unittest.TestCase):
    def setUp(self):
        self.c = CardClient()
        self.key = bytes(range(0x40, 0x60))
        self.c.ok("80 14 00 02", struct.pack(">I", AES_256) + self.key)

    def slot(self, ref):
        store = self.c.card.volatile.extra.get("session_keys")
        k = store.keys.get(ref) if store else None
        return None if k is None else (k.type, k.key)

    def test_save_reset_load(self):
        self.c.ok("80 18 03 02")
        self.c.card.control(0x02)                     # reset: session keys gone
        self.assertIsNone(self.slot(2))
        self.c.ok("80 19 03 02")
        self.assertEqual(self.slot(2), (AES_256, self.key))
        self.c.card.control(0x00)
        self.c.card.control(0x01)
        self.c.ok("80 19 03 07")
        self.assertEqual(self.slot(7), (AES_256, self.key))

    def test_slot_ranges_and_empty_slots(self):
        cases = (
            ("save below 3", "80 18 02 02", 0x6A88),
            ("save above saved_slot_max", "80 18 0B 02", 0x6A88),
            ("save an empty session key", "80 18 04 09", 0x6A88),
            ("load an empty saved slot", "80 19 05 02", 0x6A88),
            ("load above saved_slot_max", "80 19 0B 02", 0x6A88),
            ("save into 10", "80 18 0A 02", 0x9000),
            ("data is refused", "80 18 04 02 01 00", 0x6700),
        )
        for name, header, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.c.sw(header), expected)
        self.c.card.state.update(saved_slot_max=18)
        self.assertEqual(self.c.sw("80 18 12 02"), 0x9000)
        self.assertEqual(self.c.sw("80 18 13 02"), 0x6A88)

    def test_load_keeps_the_cipher_a_generated_key_chose(self):
        # The module generates a key of the mechanism's type, then loads the
        # saved value over it: the type stays when length and cipher agree.
        self.c.ok("80 18 03 02")
        self.c.ok("80 13 00 02", struct.pack(">I", AES_256_CBC))
        self.c.ok("80 19 03 02")
        self.assertEqual(self.slot(2), (AES_256_CBC, self.key))
        self.c.ok("80 13 00 02", struct.pack(">I", AES_128))          # another length
        self.c.ok("80 19 03 02")
        self.assertEqual(self.slot(2), (AES_256, self.key))
        # Another length keeps the mode and takes the saved key's length.
        self.c.ok("80 13 00 02", struct.pack(">I", 0x40002001))       # AES-128 CBC
        self.c.ok("80 19 03 02")
        self.assertEqual(self.slot(2), (AES_256_CBC, self.key))
        self.c.ok("80 13 00 02", struct.pack(">I", 0x40002121))       # another cipher
        self.c.ok("80 19 03 02")
        self.assertEqual(self.slot(2), (AES_256, self.key))

    def test_saved_slots_are_persistent(self):
        self.c.ok("80 18 04 02")
        saved = self.c.card.state["saved_sessions"]
        self.assertEqual(saved, {"4": {"type": AES_256, "key": self.key.hex()}})


class CardCipherTest(unittest.TestCase):
    """Odd (CBC) types: CBC with the IV, P1 the padding flag.  Even types:
    P1 00 ECB, 01 CBC without padding (the library's form)."""

    def setUp(self):
        self.c = CardClient()

    def run_cipher(self, key_type, key, p1, iv, data, encrypt=True):
        self.c.ok("80 14 00 02", struct.pack(">I", key_type) + key)
        self.c.ok("80 63 %02X 02" % p1, iv or b"")
        ins = (0x64, 0x65) if encrypt else (0x66, 0x67)
        block = 16 if key_type < 0x40002100 else 8
        cut = (len(data) // block - 1) * block if len(data) > block else 0
        out = b""
        if cut > 0:
            out += self.c.ok("80 %02X 00 00" % ins[0], data[:cut], le=0)
        return out + self.c.ok("80 %02X 00 00" % ins[1], data[cut:], le=0)

    def test_against_software(self):
        key16, key24, key32 = bytes(range(16)), bytes(range(24)), bytes(range(32))
        iv16, iv8 = bytes(range(100, 116)), bytes(range(8))
        data = bytes(range(200, 250))            # 50 bytes
        blocks = bytes(range(48))
        cases = (
            ("AES-128 ECB", AES_128, key16, 0, None, blocks, False),
            ("AES-128 CBC, library form", AES_128, key16, 1, iv16, blocks, False),
            ("AES-128 CBC id, no padding", AES_128_CBC, key16, 0, iv16, blocks, False),
            ("AES-128 CBC id, padding", AES_128_CBC, key16, 1, iv16, data, True),
            ("AES-256 CBC id, padding, whole blocks", AES_256_CBC, key32, 1, iv16, blocks, True),
            ("3DES CBC id, padding", TDES3_CBC, key24, 1, iv8, data, True),
        )
        for name, key_type, key, p1, iv, plain, padded in cases:
            with self.subTest(name):
                block = 128 if key_type < 0x40002100 else 64
                message = plain
                if padded:
                    p = padding.PKCS7(block).padder()
                    message = p.update(plain) + p.finalize()
                enc = cipher(key_type, key, iv).encryptor()
                expected = enc.update(message) + enc.finalize()
                self.assertEqual(self.run_cipher(key_type, key, p1, iv, plain), expected)
                self.assertEqual(self.run_cipher(key_type, key, p1, iv, expected, encrypt=False), plain)

    def test_padding_errors(self):
        key, iv = bytes(16), bytes(16)
        enc = cipher(AES_128_CBC, key, iv).encryptor()
        bad_pad = enc.update(bytes(15) + b"\x11") + enc.finalize()
        cases = (
            ("bad padding", AES_128_CBC, 1, iv, "80 67 00 00", bad_pad, 0x6A80),
            ("partial block without padding", AES_128_CBC, 0, iv, "80 65 00 00", bytes(5), 0x6700),
            ("padding flag 2", AES_128_CBC, 2, iv, None, None, 0x6B00),
            ("IV of 8 bytes for AES", AES_128_CBC, 0, bytes(8), None, None, 0x6700),
        )
        for name, key_type, p1, iv_, header, data, expected in cases:
            with self.subTest(name):
                self.c.ok("80 14 00 02", struct.pack(">I", key_type) + key)
                init = self.c.sw("80 63 %02X 02" % p1, iv_)
                if header is None:
                    self.assertEqual(init, expected)
                    continue
                self.assertEqual(init, 0x9000)
                self.assertEqual(self.c.sw(header, data, le=0), expected)
                self.assertEqual(self.c.sw("80 65 00 00", le=0), 0x6985, "Final ends the context")

    def test_import_under_an_agreed_kek_then_cipher(self):
        kek = bytes(range(32))
        self.c.ok("80 14 00 01", struct.pack(">I", AES_256_CBC) + kek)
        key = bytes(range(50, 82))
        self.c.ok("80 13 00 02", struct.pack(">I", AES_256))
        self.c.ok("80 61 01 02", struct.pack(">I", AES_256) + keywrap.aes_key_wrap(kek, key))
        self.c.ok("80 63 00 02")
        out = self.c.ok("80 65 00 00", bytes(32), le=0)
        enc = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
        self.assertEqual(out, enc.update(bytes(32)) + enc.finalize())


class ConfigurationAndDataTest(unittest.TestCase):
    def setUp(self):
        self.c = CardClient()

    def test_enable_disable_cd(self):
        cases = (("F0 40 01 00", 0x9000, 1), ("F0 40 00 00", 0x9000, 0), ("F0 40 02 00", 0x6A86, 0),
                 ("F0 40 01 01", 0x6A86, 0), ("F0 40 01 00 00", 0x6700, 0))
        for header, expected, state in cases:
            with self.subTest(header):
                self.assertEqual(self.c.sw(header), expected)
                self.assertEqual(self.c.card.state["cd_enabled"], state)
        self.c.open_test_channel()
        self.assertEqual(self.c.wrapped("F4 40 01 00")[0], 0x6882, "never wrapped")

    def test_card_data_objects(self):
        self.c.card.state.update(fs_free_space=1000, working_mode=0x05)
        df = bytes([0, 0xFF, 0xFF]) + b"root".ljust(16, b"\x00") + b"\x20\x00"
        self.c.ok("80 42 00 00", df)
        ef = bytes([1, 0, 0xFF, 0xFF, 0, 0]) + b"cardid".ljust(16, b"\x00") + bytes([0x20, 0x01, 0, 0, 100])
        self.c.ok("80 42 00 00", ef)
        ef2 = ef[:6] + b"cardcf".ljust(16, b"\x00") + bytes([0x20, 0x02, 0, 0, 16])
        self.c.ok("80 42 00 00", ef2)
        cases = (
            ("01 02", bytes.fromhex("010002000105")),
            ("01 03", struct.pack(">IIH", 1000, 884, 0)),
            ("01 04", bytes([5, 0, 0, 0])),
            ("01 06", bytes.fromhex("2001 2002")),
            ("01 09", bytes(4)),
        )
        for tag, expected in cases:
            with self.subTest(tag):
                self.assertEqual(self.c.ok("00 CA " + tag, le=0), expected)
        self.c.ok("00 A4 00 00", bytes.fromhex("3F00"), le=0)
        self.assertEqual(self.c.ok("00 CA 01 06", le=0), bytes.fromhex("2000"))
        self.assertEqual(self.c.sw("00 CA 01 05", le=0), 0x6A88)
        self.assertEqual(self.c.sw("00 DA 01 09", b"\x01"), 0x6985, "the card's own object")

    def test_label_on_a_card_with_card_information(self):
        self.c.ok("80 02 00 00", module_format_record(label=b"Old"))
        info = self.c.ok("00 CA 01 01", le=0)
        self.assertEqual(len(info), 128)
        cases = ((b"New label", 0x9000), (b"L" * 32, 0x9000), (b"L" * 33, 0x6700))
        for label, expected in cases:
            with self.subTest(len(label)):
                self.assertEqual(self.c.sw("00 DA 01 01", label), expected)
                now = self.c.ok("00 CA 01 01", le=0)
                self.assertEqual(now[:64] + now[96:], info[:64] + info[96:])
                if expected == 0x9000:
                    self.assertEqual(now[64:96], label.ljust(32, b"\x00"))


class ModuleFormatTest(unittest.TestCase):
    def setUp(self):
        self.c = CardClient()

    def test_module_record_wipes_the_card_and_sets_its_information(self):
        c = self.c
        c.ok("80 42 00 00", bytes([0, 1, 1]) + b"old".ljust(16, b"\x00") + b"\x20\x00")
        c.open_test_channel()
        c.wrapped("84 31 00 00", bytes([1]) + struct.pack(">I", TDES3_CBC) + bytes([0x82, 5, 5]) +
                  b"so".ljust(32, b"\x00") + bytes(4))
        c.ok("80 14 00 02", struct.pack(">I", AES_256) + bytes(32))
        c.ok("80 18 03 02")
        c.ok("00 DA 02 02", b"other")
        free = c.card.state["fs_free_space"]
        record = module_format_record()
        self.assertEqual(len(record), 275)
        self.assertEqual(c.sw("80 02 00 00", record), 0x9000)
        st = c.card.state
        self.assertEqual(st["fs"], {"3f00": st["fs"]["3f00"]})
        self.assertEqual(st["fs"]["3f00"]["children"], [])
        self.assertEqual(st["fs_free_space"], free)
        self.assertEqual((st["pins"], st["saved_sessions"]), ({}, {}))
        self.assertEqual(c.sw("00 CA 02 02", le=0), 0x6A88)
        self.assertEqual(c.ok("00 CA 01 09", le=0), bytes.fromhex("00000001"))
        self.assertEqual(c.ok("00 CA 01 04", le=0), bytes.fromhex("01000000"))
        info = c.ok("00 CA 01 01", le=0)
        self.assertEqual(info, b"Solvanta".ljust(32, b"\x00") + b"Token".ljust(32, b"\x00") +
                         b"My token".ljust(32, b"\x00") + b"SV00000000000042" + bytes(16))
        self.assertIsNotNone(c.card.volatile.sm, "the channel survives")
        self.assertEqual(c.card.volatile.extra["session_keys"].keys[2].key, bytes(32),
                         "session keys are volatile and stay")
        # The device key of the record answers ExternalAuth.
        challenge = c.ok("00 84 00 00", le=32)
        enc = Cipher(algorithms.AES(DEVICE_KEY), modes.ECB()).encryptor()
        c.ok("00 82 00 01", enc.update(challenge) + enc.finalize())

    def test_the_marker_comes_from_the_configuration_header(self):
        record = bytearray(module_format_record())
        record[16] ^= 0x01
        self.assertEqual(self.c.sw("80 02 00 00", bytes(record)), 0x6A80)
        self.c.card.hooks["format_any_marker"] = True
        self.assertEqual(self.c.sw("80 02 00 00", bytes(record)), 0x9000)


class PinListTest(unittest.TestCase):
    def test_list_form_gives_every_installed_reference(self):
        c = CardClient()
        c.open_test_channel()
        self.assertEqual(c.ok("80 32 00 03", le=0), b"", "no PIN: an empty list")
        for ref, kind, limit in ((1, 0x82, 5), (2, 0x82, 10), (3, 0x84, 0), (10, 0x84, 0)):
            c.wrapped("84 31 00 00", bytes([ref]) + struct.pack(">I", 0x4FFFFFFF if kind == 0x84 else TDES3_CBC)
                      + bytes([kind, limit, limit]) + bytes(32) + bytes([0xFF, 0xFF, kind & 1, 0]))
        listing = c.ok("80 32 00 03", le=0)
        self.assertEqual(len(listing), 4 * 11)
        entries = [listing[i:i + 11] for i in range(0, 44, 11)]
        self.assertEqual([e[4] for e in entries], [0x82, 0x82, 0x84, 0x84])
        self.assertEqual(struct.unpack(">I", entries[2][:4])[0], 0x4FFFFFFF)
        self.assertEqual(entries[1], c.ok("80 32 00 02", le=0))
        self.assertEqual(c.ok("80 32 01 03", le=0), listing, "P1 does not matter in the list form")
        self.assertEqual(c.sw("80 32 01 02", le=0), 0x6B00)


class VolatileStateTest(unittest.TestCase):
    """Power off and reset forget the channel, session keys, the pending
    challenge, the verified PINs, the device authentication, the cipher
    context and the current DF; persistent data stays."""

    def test_power_off_and_reset(self):
        for code in (0x00, 0x02):
            with self.subTest(code=code):
                c = CardClient(new_card())
                c.open_test_channel()
                c.ok("80 02 00 00", module_format_record())
                c.ok("80 42 00 00", bytes([0, 0xFF, 0xFF]) + b"root".ljust(16, b"\x00") + b"\x20\x00")
                c.wrapped("84 31 00 00", bytes([2]) + struct.pack(">I", TDES3_CBC) + bytes([0x82, 3, 3]) +
                          b"1234".ljust(32, b"\x00") + bytes(4))
                c.ok("00 20 00 02", b"1234")
                c.ok("80 14 00 02", struct.pack(">I", AES_128) + bytes(16))
                c.ok("80 63 00 02")
                challenge = c.ok("00 84 00 00", le=32)
                enc = Cipher(algorithms.AES(DEVICE_KEY), modes.ECB()).encryptor()
                c.ok("00 82 00 01", enc.update(challenge) + enc.finalize())
                c.ok("00 84 00 00", le=16)
                c.card.control(code)
                if code == 0x00:
                    c.card.control(0x01)
                self.assertIsNone(c.card.volatile.sm)
                self.assertEqual(c.sw("80 64 00 00", bytes(16), le=0), 0x6985, "no cipher context")
                self.assertEqual(c.sw("80 17 00 02", le=0), 0x6A88, "no session key")
                self.assertEqual(c.ok("80 32 00 02", le=0)[9], 0, "not verified")
                self.assertNotIn("device_authenticated", c.card.volatile.extra)
                self.assertNotIn("pin_challenge", c.card.volatile.extra)
                self.assertEqual(c.ok("00 CA 01 06", le=0), bytes.fromhex("2000"), "the MF is current")
                self.assertEqual(c.ok("00 CA 01 09", le=0), bytes.fromhex("00000001"))

    def test_health_status_is_exactly_eight_bytes(self):
        c = CardClient()
        for le in (8, 0, 1):
            self.assertEqual(len(c.ok("80 05 00 00", le=le)), 8)


if __name__ == "__main__":
    unittest.main()
