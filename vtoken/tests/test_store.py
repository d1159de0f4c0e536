"""What the module's token store, PINs and format rely on: named files read
and written by name, the PIN table with challenge responses, device
authentication, the module's whole format sequence under strict access, and
the known-answer vectors of the three responses."""

import hashlib
import struct
import unittest

import support  # noqa: F401
from support import CardClient, header_string, new_card

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

try:
    from cryptography.hazmat.decrepit.ciphers.algorithms import TripleDES
except ImportError:  # the Debian 12 package
    TripleDES = algorithms.TripleDES

from card.families.files import crc16_kermit
from test_module import module_format_record

DEVICE_KEY = header_string("SOLVANTA_DEVICE_KEY")
TDES3 = 0x40002121
KEY_SLOT = 0x4FFFFFFF
COUNTING16 = bytes(range(16))
COUNTING32 = bytes(range(32))


def tdes_cbc(key24, data):
    enc = Cipher(TripleDES(key24), modes.CBC(bytes(8))).encryptor()
    return enc.update(data) + enc.finalize()


def pin_response(pin, challenge):
    return tdes_cbc(hashlib.sha256(pin[:32]).digest()[:24], challenge)


def unblock_response(key_string, challenge):
    return tdes_cbc(key_string[:32].ljust(32, b"\x00")[:24], challenge)


def device_cryptogram(key, challenge):
    enc = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return enc.update(challenge) + enc.finalize()


def df(name, file_id, a1, a2):
    return bytes([0, a1, a2]) + name.ljust(16, b"\x00") + struct.pack(">H", file_id)


def ef(name, file_id, size, a1, a2, a3=0, ef_type=0):
    return bytes([1, ef_type, a1, a2, a3, 0]) + name.ljust(16, b"\x00") + struct.pack(">HBH", file_id, 0, size)


def pin_record(ref, value, limit, kind=0x82, alg=TDES3, options=(0, 0), acc=(0xFF, 0xFF)):
    return (bytes([ref]) + struct.pack(">I", alg) + bytes([kind, limit, limit]) + value.ljust(32, b"\x00")
            + bytes(acc) + bytes(options))


def read_by_name(name, offset, count):
    """(header, data, Le) of ReadBinary by name."""
    return "80 44 40 00", struct.pack(">HB", offset, len(name)) + name, count


def write_by_name(name, offset, data, mode=0):
    return "80 45 40 00", struct.pack(">BHB", mode, offset, len(name)) + name + data


class VectorTest(unittest.TestCase):
    def test_known_answers(self):
        self.assertEqual(pin_response(b"12345678", COUNTING16).hex(), "e1c59c1bd84ad98a8d010c532d5e1135")
        self.assertEqual(device_cryptogram(b"0123456789abcdef0123456789abcdef", COUNTING32).hex(),
                         "535ddcf596cf3664013c874d8589bb216fb19f49daea9d1d5c326cb87b67dce8")
        self.assertEqual(unblock_response(b"12345678", COUNTING16).hex(), "d1c9134f0ec22edcb627cb5311449ab1")

    def test_crc16_kermit_ids(self):
        cases = {b"123456789": 0x2189, b"contInfo": 0x32A6, b"keyObjects": 0xD09A, b"ObjFileIdx": 0xF87E,
                 b"cmapfile": 0xF601, b"cardid": 0xB34B, b"ksc00": 0xF4DF, b"kxc03": 0x0651,
                 b"cert00": 0x0B80, b"pri07": 0x1C0D, b"pub12": 0x2CFF}
        for name, expected in cases.items():
            with self.subTest(name):
                self.assertEqual(crc16_kermit(name), expected)


class FormattedCard:
    """A card formatted the way the module formats one, in strict mode:
    format record, device authentication, channel, root with the PINs,
    the fixed files, mscp with cmapfile, then the store files."""

    SO, USER = b"87654321", b"12345678"

    def __init__(self, strict=True):
        self.c = CardClient(new_card())
        self.card = self.c.card
        if strict:
            self.card.hooks["access_mode"] = "strict"
        c = self.c
        c.ok("80 02 00 00", module_format_record())
        c.ok("00 A4 00 00", bytes.fromhex("3F00"), le=0)
        self.device_auth()
        c.open_test_channel()
        c.ok("80 42 00 00", df(b"root", 0x2000, 17, 17))
        self.wrapped_ok("84 31 00 00", pin_record(1, self.SO, 10, options=(0, 16)))
        self.wrapped_ok("84 31 00 00", pin_record(2, self.USER, 10, options=(1, 1)))
        for ref in range(3, 11):
            self.wrapped_ok("84 31 00 00", pin_record(ref, b"", 0, kind=0x84, alg=KEY_SLOT))
        self.verify(1, self.SO)
        c.ok("80 42 00 00", ef(b"cardid", 0x2001, 16, 255, 16))
        c.ok("80 42 00 00", ef(b"cardcf", 0x2002, 16, 255, 17))
        c.ok("80 42 00 00", ef(b"cardapps", 0x2003, 16, 255, 16))
        c.ok(*write_by_name(b"cardid", 0, b"SV00000000000042"))
        c.ok(*write_by_name(b"cardapps", 0, b"mscp\x00\x00\x00\x00"))
        c.ok("80 42 00 00", df(b"mscp", 0x4000, 255, 255))
        c.ok("80 42 00 00", ef(b"cmapfile", 0x4001, 688, 255, 17))
        c.ok("80 42 00 00", ef(b"keyObjects", 0xD09A, 3008, 255, 255))
        c.ok("80 42 00 00", ef(b"ObjFileIdx", 0xF87E, 11876, 255, 255))
        c.ok("F0 40 01 00")
        c.ok("80 35 00 00")

    def wrapped_ok(self, header, data=b""):
        status, body = self.c.wrapped(header, data)
        if status != 0x9000:
            raise AssertionError("%s -> %04X" % (header, status))
        return body

    def device_auth(self, key=DEVICE_KEY):
        challenge = self.c.ok("00 84 00 00", le=32)
        return self.c.sw("00 82 00 01", device_cryptogram(key, challenge))

    def verify(self, ref, pin):
        challenge = self.c.ok("00 84 00 00", le=16)
        return self.c.sw("00 20 00 %02X" % ref, pin_response(pin, challenge))

    def select_app_dir(self):
        self.c.ok("00 A4 08 00", bytes.fromhex("3F00 2000 4000"), le=0)


class FormatSequenceTest(unittest.TestCase):
    def test_layout_after_a_strict_format(self):
        t = FormattedCard()
        fs = t.card.state["fs"]
        expected = {
            "3f00/2000": ("df", b"root", [17, 17], None),
            "3f00/2000/2001": ("ef", b"cardid", [255, 16, 0], 16),
            "3f00/2000/2002": ("ef", b"cardcf", [255, 17, 0], 16),
            "3f00/2000/2003": ("ef", b"cardapps", [255, 16, 0], 16),
            "3f00/2000/4000": ("df", b"mscp", [255, 255], None),
            "3f00/2000/4000/4001": ("ef", b"cmapfile", [255, 17, 0], 688),
            "3f00/2000/4000/d09a": ("ef", b"keyObjects", [255, 255, 0], 3008),
            "3f00/2000/4000/f87e": ("ef", b"ObjFileIdx", [255, 255, 0], 11876),
        }
        self.assertEqual(sorted(fs), sorted(["3f00"] + list(expected)))
        for path, (kind, name, acc, size) in expected.items():
            with self.subTest(path):
                f = fs[path]
                self.assertEqual((f["kind"], bytes.fromhex(f["name"]), f["access"], f.get("size")),
                                 (kind, name, acc, size))
        self.assertEqual(bytes.fromhex(fs["3f00/2000/2003"]["data"]), b"mscp" + bytes(12))
        self.assertEqual(sorted(t.card.state["pins"], key=int), [str(r) for r in range(1, 11)])
        self.assertEqual(t.c.ok("00 CA 01 09", le=0), bytes.fromhex("00000001"))
        self.assertEqual(t.card.volatile.extra.get("pin_verified"), set(), "cleared at the end")

    def test_a_second_format_needs_device_authentication_and_the_channel(self):
        t = FormattedCard()
        record = module_format_record()
        self.assertEqual(t.c.sw("80 02 00 00", record), 0x6982, "plain")
        self.assertEqual(t.c.wrapped("84 02 00 00", record)[0], 0x6982, "not authenticated")
        self.assertEqual(t.device_auth(), 0x9000)
        self.assertEqual(t.c.sw("80 02 00 00", record), 0x6982, "authenticated but plain")
        self.assertEqual(t.c.wrapped("84 02 00 00", record)[0], 0x9000)
        self.assertEqual(list(t.card.state["fs"]), ["3f00"])

    def test_strict_access_rules(self):
        t = FormattedCard()
        c = t.c
        t.select_app_dir()
        c.ok("80 42 00 00", ef(b"pri07", 0x1C0D, 8, 17, 17))
        c.ok("80 42 00 00", ef(b"pub12", 0x2CFF, 8, 255, 255))
        cases = (
            ("read pri07 without a PIN", read_by_name(b"pri07", 0, 8), 0x6982),
            ("write pri07 without a PIN", write_by_name(b"pri07", 0, b"x"), 0x6982),
            ("read pub12", read_by_name(b"pub12", 0, 8), 0x9000),
            ("a CRC-less id", ("80 42 00 00", ef(b"pub13", 0x1234, 8, 255, 255)), 0x6A80),
            ("delete pri07 without a PIN", ("80 43 03 01", b"\x05pri07"), 0x6982),
        )
        for name, args, expected in cases:
            with self.subTest(name):
                self.assertEqual(c.sw(*args), expected)
        self.assertEqual(t.verify(2, t.USER), 0x9000)
        self.assertEqual(c.sw(*read_by_name(b"pri07", 0, 8)), 0x9000)
        self.assertEqual(c.sw("80 43 03 01", b"\x05pri07"), 0x9000)
        # root needs a PIN to create in it; the MF needs the device.
        c.ok("80 35 00 00")
        c.ok("00 A4 08 00", bytes.fromhex("3F00 2000"), le=0)
        self.assertEqual(c.sw("80 42 00 00", ef(b"extra", crc16_kermit(b"extra"), 8, 255, 255)), 0x6982)
        c.ok("00 A4 00 00", bytes.fromhex("3F00"), le=0)
        self.assertEqual(c.sw("80 42 00 00", df(b"other", 0x3000, 255, 255)), 0x6982)
        self.assertEqual(c.wrapped("84 31 00 00", pin_record(11, b"x", 3))[0], 0x6982)
        self.assertEqual(t.device_auth(), 0x9000)
        self.assertEqual(c.wrapped("84 31 00 00", pin_record(11, b"x", 3))[0], 0x6985, "not in root")

    def test_access_mode_off_enforces_nothing(self):
        t = FormattedCard(strict=False)
        t.select_app_dir()
        t.c.ok("80 42 00 00", ef(b"pri07", 0x1111, 8, 17, 17))
        t.c.ok(*read_by_name(b"pri07", 0, 8))
        self.assertEqual(t.c.sw("80 02 00 00", module_format_record()), 0x9000)


class PinTest(unittest.TestCase):
    def setUp(self):
        self.t = FormattedCard(strict=False)
        self.c = self.t.c

    def pending(self, challenge):
        self.c.card.volatile.extra["pin_challenge"] = challenge

    def tries(self, ref):
        return self.c.ok("80 32 00 %02X" % ref, le=0)[5]

    def test_response_vector_verifies(self):
        self.c.wrapped("84 31 00 00", pin_record(2, b"12345678", 10))
        self.pending(COUNTING16)
        self.assertEqual(self.c.sw("00 20 00 02", bytes.fromhex("e1c59c1bd84ad98a8d010c532d5e1135")), 0x9000)

    def test_tries_count_down_and_block(self):
        statuses = []
        for _ in range(11):
            statuses.append(self.t.verify(2, b"wrong"))
        self.assertEqual(statuses, [0x63C0 | n for n in range(9, -1, -1)] + [0x6983])
        self.assertEqual(self.t.verify(2, self.t.USER), 0x6983, "blocked even for the right PIN")
        self.assertEqual(self.tries(2), 0)

    def test_right_pin_restores_the_tries(self):
        self.assertEqual(self.t.verify(2, b"wrong"), 0x63C9)
        self.assertEqual(self.t.verify(2, self.t.USER), 0x9000)
        self.assertEqual(self.tries(2), 10)

    def test_challenge_is_single_use_but_survives_other_commands(self):
        challenge = self.c.ok("00 84 00 00", le=16)
        self.c.ok("00 CA 01 09", le=0)
        self.c.ok("00 A4 08 00", bytes.fromhex("3F00 2000"), le=0)
        self.c.ok("80 11 00 00", struct.pack(">IB", 0x40001011, 0), le=0)
        response = pin_response(self.t.USER, challenge)
        self.assertEqual(self.c.sw("00 20 00 02", response), 0x9000)
        self.assertNotEqual(self.c.sw("00 20 00 02", response), 0x9000, "used up")

    def test_change_unblock_remote_and_unload(self):
        c, t = self.c, self.t
        new = b"24681357"
        cases = (
            # name, command, data builder (challenge -> data), status, PIN counted
            ("change, wrong old", "84 33 00 02", lambda ch: pin_response(b"bad", ch) + new, 0x63C9, 2),
            ("change", "84 33 00 02", lambda ch: pin_response(t.USER, ch) + new, 0x9000, 2),
            ("unblock by SO, wrong", "84 34 00 02", lambda ch: pin_response(b"bad", ch) + b"1111", 0x63C9, 1),
            ("unblock by SO", "84 34 00 02", lambda ch: pin_response(t.SO, ch) + b"1111", 0x9000, 1),
            ("remote, wrong", "84 34 01 02", lambda ch: unblock_response(b"bad", ch) + b"2222", 0x63C9, 1),
            ("remote", "84 34 01 02", lambda ch: unblock_response(t.SO, ch) + b"2222", 0x9000, 1),
            ("remote, new PIN of 33", "84 34 01 02", lambda ch: unblock_response(t.SO, ch) + b"3" * 33, 0x6700, 1),
        )
        for name, header, build, expected, counted in cases:
            with self.subTest(name):
                challenge = c.ok("00 84 00 00", le=16)
                self.assertEqual(c.wrapped(header, build(challenge))[0], expected)
                self.assertEqual(self.tries(counted), 9 if expected == 0x63C9 else 10)
        self.assertEqual(t.verify(2, b"2222"), 0x9000)
        # UnLoadPIN needs the SO verified, then sets the PIN "to be changed".
        c.ok("80 35 00 00")
        self.assertEqual(c.wrapped("84 34 02 02", b"5555")[0], 0x6982)
        self.assertEqual(t.verify(1, t.SO), 0x9000)
        self.assertEqual(c.wrapped("84 34 02 02", b"5555")[0], 0x9000)
        self.assertEqual(t.verify(2, b"5555"), 0x9000)

    def test_remote_unblock_vector_under_a_configured_key(self):
        self.c.card.state.update(admin_key=b"12345678".hex())
        self.pending(COUNTING16)
        data = bytes.fromhex("d1c9134f0ec22edcb627cb5311449ab1") + b"9999"
        self.assertEqual(self.c.wrapped("84 34 01 02", data)[0], 0x9000)
        self.assertEqual(self.t.verify(2, b"9999"), 0x9000)
        self.assertEqual(self.c.wrapped("84 34 01 02", data)[0], 0x6985, "no challenge pending")
        self.assertEqual(self.c.sw("80 34 01 02", data), 0x6982, "wrapped only")

    def test_device_authentication(self):
        self.assertEqual(self.t.device_auth(), 0x9000)
        self.assertEqual(self.t.device_auth(b"x" * 32), 0x6300)
        self.c.ok("00 84 00 00", le=32)
        self.assertEqual(self.c.sw("00 82 00 04", bytes(32)), 0x6A88, "no such device key")
        self.pending(COUNTING32)
        self.c.card.state.update(format={"keys": [{"id": 0x40002020, "parameter": 10,
                                                   "key": b"0123456789abcdef0123456789abcdef".hex()}]})
        self.assertEqual(self.c.sw("00 82 00 01", bytes.fromhex(
            "535ddcf596cf3664013c874d8589bb216fb19f49daea9d1d5c326cb87b67dce8")), 0x9000)
        self.assertIn("device_authenticated", self.c.card.volatile.extra)
        self.c.ok("80 35 00 00")
        self.assertNotIn("device_authenticated", self.c.card.volatile.extra)


class NamedFileTest(unittest.TestCase):
    def setUp(self):
        self.t = FormattedCard(strict=False)
        self.c = self.t.c
        self.t.select_app_dir()

    def test_chunks_of_a_2500_byte_file(self):
        c = self.c
        c.ok("80 42 00 00", ef(b"cert00", 0x0B80, 2500, 255, 17))
        content = bytes(i * 7 & 0xFF for i in range(2500))
        for offset in (0, 1024, 2048):
            c.ok(*write_by_name(b"cert00", offset, content[offset:offset + 1024], mode=1))
        chunks = [c.ok(*read_by_name(b"cert00", offset, 1024)) for offset in (0, 1024, 2048)]
        self.assertEqual([len(x) for x in chunks], [1024, 1024, 452])
        self.assertEqual(b"".join(chunks), content)

    def test_write_past_the_end_writes_nothing(self):
        c = self.c
        c.ok("80 42 00 00", ef(b"pub00", 0x1111, 10, 255, 255))
        c.ok(*write_by_name(b"pub00", 0, b"0123456789"))
        cases = (
            ("one byte past", write_by_name(b"pub00", 6, b"abcde"), 0x6B00),
            ("offset past", write_by_name(b"pub00", 11, b"a"), 0x6B00),
            ("mode 2", write_by_name(b"pub00", 0, b"a", mode=2), 0x6A80),
            ("unknown name", write_by_name(b"pub99", 0, b"a"), 0x6A82),
            ("name of 17", ("80 45 40 00", b"\x00\x00\x00\x11" + b"n" * 17 + b"a"), 0x6A80),
        )
        for name, args, expected in cases:
            with self.subTest(name):
                self.assertEqual(c.sw(*args), expected)
                self.assertEqual(c.ok("80 44 40 00", b"\x00\x00\x05pub00", le=10), b"0123456789")
        c.ok(*write_by_name(b"pub00", 0, b"ab", mode=1))
        self.assertEqual(c.ok("80 44 40 00", b"\x00\x00\x05pub00", le=10), b"ab" + bytes(8),
                         "mode 1 at offset 0 starts a new content")

    def test_uniqueness_and_selection(self):
        c = self.c
        c.ok("80 42 00 00", ef(b"contInfo", 0x32A6, 4528, 255, 17))
        cases = (
            ("same id", ef(b"other", 0x32A6, 1, 255, 255), 0x6A89),
            ("same name", ef(b"contInfo", 0x1234, 1, 255, 255), 0x6A89),
            ("empty name", ef(b"", 0x4100, 0, 17, 17, 17, 0x30), 0x9000),
            ("another empty name", ef(b"", 0x4200, 0, 17, 17, 17, 0x30), 0x9000),
            ("bad length", ef(b"x", 0x5555, 1, 1, 1)[:-1], 0x6700),
        )
        for name, data, expected in cases:
            with self.subTest(name):
                self.assertEqual(c.sw("80 42 00 00", data), expected)
        info = c.ok("00 A4 04 01", b"contInfo", le=0)
        self.assertEqual((info[0], info[1:9], info[17:19], info[21:23]),
                         (1, b"contInfo", b"\x32\xA6", struct.pack(">H", 4528)))
        info = c.ok("00 A4 04 00", b"mscp", le=0)
        self.assertEqual((info[0], info[17:19]), (0, b"\x40\x00"))
        self.assertEqual(len(c.ok("00 A4 08 00", bytes.fromhex("3F00 2000"), le=0)), 21)
        self.assertEqual(c.sw("00 A4 04 01", b"nothing", le=0), 0x6A82)
        c.ok("00 A4 08 00", bytes.fromhex("3F00 2000 4000"), le=0)
        c.ok("80 43 02 00", bytes.fromhex("4100"))
        c.ok("80 43 03 01", b"\x08contInfo")
        self.assertEqual(c.sw("80 43 03 01", b"\x08contInfo"), 0x6A82)
        self.assertEqual(c.ok("00 CA 01 06", le=0), bytes.fromhex("4001 D09A F87E 4200"))


if __name__ == "__main__":
    unittest.main()
