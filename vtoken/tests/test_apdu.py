import unittest

import support  # noqa: F401  (import path)
from support import apdu, new_card, sw

from card.apdu import SwError, parse, response

D300 = bytes(range(256)) + bytes(range(44))

# (wire bytes, case, extended, data, Le)
WELL_FORMED = [
    (apdu("80 01 00 00"), 1, False, b"", None),
    (apdu("80 01 00 00 04"), 2, False, b"", 4),
    (apdu("80 01 00 00 00"), 2, False, b"", 256),
    (apdu("80 01 00 00 FF"), 2, False, b"", 255),
    (apdu("80 01 00 00 03 0A 0B 0C"), 3, False, apdu("0A0B0C"), None),
    (apdu("80 01 00 00 01 00"), 3, False, b"\x00", None),
    (apdu("80 01 00 00 FF") + bytes(255), 3, False, bytes(255), None),
    (apdu("80 01 00 00 02 0A 0B 10"), 4, False, apdu("0A0B"), 16),
    (apdu("80 01 00 00 02 0A 0B 00"), 4, False, apdu("0A0B"), 256),
    (apdu("80 01 00 00 00 00 10"), 2, True, b"", 16),
    (apdu("80 01 00 00 00 01 00"), 2, True, b"", 256),
    (apdu("80 01 00 00 00 00 00"), 2, True, b"", 65536),
    (apdu("80 01 00 00 00 00 01 AA"), 3, True, b"\xAA", None),
    (apdu("80 01 00 00 00 01 2C") + D300, 3, True, D300, None),
    (apdu("80 01 00 00 00 00 02 0A 0B 01 00"), 4, True, apdu("0A0B"), 256),
    (apdu("80 01 00 00 00 00 02 0A 0B 00 00"), 4, True, apdu("0A0B"), 65536),
    (apdu("80 01 00 00 00 01 2C") + D300 + apdu("00 05"), 4, True, D300, 5),
]

MALFORMED = [
    b"",
    apdu("80"),
    apdu("80 01 00"),
    apdu("80 01 00 00 05 01"),                 # short Lc 5, one byte of data
    apdu("80 01 00 00 02 0A 0B 0C 0D"),        # short Lc 2, three bytes after it
    apdu("80 01 00 00 00 00"),                 # extended marker, one length byte
    apdu("80 01 00 00 00 00 00 AA"),           # extended Lc 0 with data
    apdu("80 01 00 00 00 00 03 0A 0B"),        # extended Lc 3, two bytes
    apdu("80 01 00 00 00 00 02 0A 0B 01"),     # extended data with a one-byte Le
    apdu("80 01 00 00 00 00 02 0A 0B 00 00 00"),
    apdu("80 01 00 00 FF") + bytes(254),
]


class ParseTest(unittest.TestCase):
    def test_well_formed(self):
        for raw, case, extended, data, le in WELL_FORMED:
            with self.subTest(raw=raw[:12].hex(), n=len(raw)):
                a = parse(raw)
                self.assertEqual((a.cla, a.ins, a.p1, a.p2), (0x80, 0x01, 0x00, 0x00))
                self.assertEqual(a.case, case)
                self.assertEqual(a.extended, extended)
                self.assertEqual(a.data, data)
                self.assertEqual(a.le, le)
                self.assertEqual(a.raw, raw)

    def test_malformed_is_6700(self):
        for raw in MALFORMED:
            with self.subTest(raw=raw.hex()):
                with self.assertRaises(SwError) as cm:
                    parse(raw)
                self.assertEqual(cm.exception.sw, 0x6700)

    def test_malformed_reaches_the_host_as_6700_only(self):
        card = new_card()
        for raw in MALFORMED:
            with self.subTest(raw=raw.hex()):
                self.assertEqual(card.process(raw), apdu("6700"))

    def test_header_bytes_are_kept(self):
        a = parse(apdu("F4 A5 5A C3 02 01 02 7F"))
        self.assertEqual((a.cla, a.ins, a.p1, a.p2, a.data, a.le),
                         (0xF4, 0xA5, 0x5A, 0xC3, apdu("0102"), 0x7F))
        self.assertEqual(a.form, "4S")

    def test_response_appends_status_word(self):
        self.assertEqual(response(b"\x01\x02", 0x6A82), apdu("01 02 6A 82"))
        self.assertEqual(response(), apdu("90 00"))
        self.assertEqual(sw(response(b"", 0x63C2)), 0x63C2)


if __name__ == "__main__":
    unittest.main()
