import copy
import struct
import unittest

import support  # noqa: F401
from support import apdu, new_card, sw

from card.families.devmgr import DEFAULT_CHIP_ID, DEFAULT_FS_FREE_SPACE


class FakeChannel:
    pass


class DeviceFamilyTest(unittest.TestCase):
    def setUp(self):
        self.card = new_card()

    def tx(self, text):
        return self.card.process(apdu(text))

    def health(self):
        reply = self.tx("80 05 00 00 08")
        self.assertEqual(sw(reply), 0x9000)
        return reply[:-2]

    def test_fs_max_space(self):
        self.assertEqual(self.tx("80 01 00 00 04"),
                         struct.pack(">I", DEFAULT_FS_FREE_SPACE) + apdu("9000"))
        self.assertEqual(self.tx("80 01 00 00 04").hex(), "0001f4009000")
        self.card.state.update(fs_free_space=0x12345678)
        self.assertEqual(self.tx("80 01 00 00 04").hex(), "123456789000")

    def test_replies_keep_their_natural_length_whatever_le(self):
        for le in ("01", "04", "FF", "00", "00 00 01", "00 00 00"):
            with self.subTest(le=le):
                self.assertEqual(len(self.tx("80 01 00 00 " + le)), 6)
                self.assertEqual(self.tx("80 03 00 00 " + le), DEFAULT_CHIP_ID + apdu("9000"))
                self.assertEqual(len(self.tx("80 05 00 00 " + le)), 10)

    def test_chip_id(self):
        self.assertEqual(len(DEFAULT_CHIP_ID), 16)
        self.card.state.update(chip_id="0102030405")
        self.assertEqual(self.tx("80 03 00 00 00").hex(), "01020304059000")

    def test_health_status_layout(self):
        self.assertEqual(self.health(), bytes(8))
        self.assertEqual(self.tx("80 06 5A 00"), apdu("9000"))
        for _ in range(3):
            self.assertEqual(self.tx("80 16 00 00"), apdu("9000"))
        for _ in range(2):
            self.assertEqual(self.tx("80 21 00 00"), apdu("9000"))
        self.assertEqual(self.health().hex(), "005a0002" "00000003")

    def test_health_counters_saturate(self):
        self.card.state.update(drbg_reseed_count=0x12345, self_test_count=0x1_0000_0005)
        self.assertEqual(self.health().hex(), "0000ffff" "ffffffff")

    def test_failing_self_test(self):
        self.card.hooks["self_test_fail"] = True
        self.assertEqual(self.tx("80 16 00 00"), apdu("6581"))
        self.assertEqual(self.health()[0], 0x01)
        del self.card.hooks["self_test_fail"]
        self.assertEqual(self.tx("80 16 00 00"), apdu("9000"))
        self.assertEqual(self.health()[0], 0x00)
        self.assertEqual(self.card.state["self_test_count"], 2)

    def test_health_status_hook_any_length(self):
        self.card.hooks["health_status"] = "01020304050607"
        self.assertEqual(self.tx("80 05 00 00 08").hex(), "010203040506079000")
        self.card.hooks["health_status"] = ""
        self.assertEqual(self.tx("80 05 00 00 08").hex(), "9000")

    def test_working_mode_takes_any_p1_and_is_kept(self):
        for mode in (0x00, 0x01, 0x7F, 0x80, 0xFF):
            with self.subTest(mode=mode):
                self.assertEqual(self.tx("80 06 %02X 00" % mode), apdu("9000"))
                self.assertEqual(self.card.state["working_mode"], mode)
                self.assertEqual(self.health()[1], mode)

    def test_working_mode_survives_reset_and_power_cycle(self):
        self.tx("80 06 03 00")
        for code in (0x02, 0x00, 0x01):
            self.card.control(code)
        self.card.removed()
        self.card.inserted()
        self.assertEqual(self.health()[1], 0x03)

    def test_drbg_reseed_changes_the_generator(self):
        before = copy.deepcopy(self.card.volatile.drbg)
        self.assertEqual(self.tx("80 21 00 00"), apdu("9000"))
        self.assertNotEqual(before.generate(32), self.card.volatile.drbg.generate(32))
        self.assertEqual(self.card.state["drbg_reseed_count"], 1)

    # (command, status word) for forms the family refuses
    REFUSED = [
        ("80 01 00 00", 0x6700),            # getters need Le
        ("80 03 00 00", 0x6700),
        ("80 05 00 00", 0x6700),
        ("80 01 00 00 01 00 04", 0x6700),   # getters take no data
        ("80 05 00 00 00 00 01 00 00 08", 0x6700),
        ("80 06 01 00 00", 0x6700),         # actions take no Le ...
        ("80 16 00 00 01 00", 0x6700),      # ... and no data
        ("80 21 00 00 00", 0x6700),
        ("80 01 01 00 04", 0x6B00),         # P1 other than 00
        ("80 03 FF 00 00", 0x6B00),
        ("80 05 08 00 08", 0x6B00),
        ("80 16 01 00", 0x6B00),
        ("80 21 80 00", 0x6B00),
        ("80 01 00 01 04", 0x6A86),         # P2 other than 00
        ("80 03 00 80 00", 0x6A86),
        ("80 05 00 FF 08", 0x6A86),
        ("80 06 01 01", 0x6A86),
        ("80 16 00 01", 0x6A86),
        ("80 21 00 10", 0x6A86),
        ("00 01 00 00 04", 0x6D00),         # the family lives in class 80 only
        ("F0 05 00 00 08", 0x6D00),
        ("84 01 00 00 04", 0x6982),         # wrapped, no channel
        ("84 21 00 00", 0x6982),
    ]

    def test_refused_forms(self):
        for text, want in self.REFUSED:
            with self.subTest(apdu=text):
                self.assertEqual(self.tx(text), want.to_bytes(2, "big"))
        # nothing refused changed the card
        self.assertEqual(self.card.state["working_mode"], 0)
        self.assertEqual(self.card.state["self_test_count"], 0)
        self.assertEqual(self.card.state["drbg_reseed_count"], 0)

    def test_reseed_is_never_wrapped(self):
        self.card.volatile.sm = FakeChannel()
        self.assertEqual(self.tx("84 21 00 00"), apdu("6882"))
        self.assertEqual(self.card.state["drbg_reseed_count"], 0)


if __name__ == "__main__":
    unittest.main()
