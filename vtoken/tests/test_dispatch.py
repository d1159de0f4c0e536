import unittest

import support  # noqa: F401
from support import apdu, new_card

from card import sm
from card.apdu import SwError
from card.core import Card
from card.dispatch import (CLA_CONFIG, CLA_ISO, CLA_PROPRIETARY, OPTIONAL, REQUIRED,
                           SM_ALWAYS, SM_NEVER, Command, CommandTable)
from card.state import CardState


class CardDispatchTest(unittest.TestCase):
    """Status words of the built-in table for commands it does not accept."""

    CASES = [
        # unknown classes, including the logical-channel bits and the chaining bit
        ("10 01 00 00 04", 0x6E00),
        ("81 01 00 00 04", 0x6E00),
        ("90 01 00 00 04", 0x6E00),
        ("C0 01 00 00", 0x6E00),
        ("FF 01 00 00", 0x6E00),
        ("14 01 00 00", 0x6E00),          # unknown class wins over the SM bit
        # the SM bit on a known class without a secure channel
        ("84 01 00 00 04", 0x6982),
        ("04 A4 00 00 02 3F 00", 0x6982),
        ("F4 10 01 00 00", 0x6982),
        ("84 FF 00 00", 0x6982),
        # unknown instructions in every class
        ("80 FF 00 00", 0x6D00),
        ("80 02 00 00 01 00", 0x6A80),    # FormatDevice: not a format record
        ("00 FF 00 00", 0x6D00),
        ("F0 FF 00 00", 0x6D00),
        # length is checked before anything else
        ("80 FF 00 00 05 01", 0x6700),
        ("10 01 00 00 05 01", 0x6700),
    ]

    def test_rejections(self):
        card = new_card()
        for text, want in self.CASES:
            with self.subTest(apdu=text):
                self.assertEqual(card.process(apdu(text)), want.to_bytes(2, "big"))


class FakeChannel:
    """Stands in for an open secure-messaging channel."""


def probe_table():
    table = CommandTable()
    table.add(Command("PlainOnly", CLA_PROPRIETARY, 0x50, 0x00, 0x00,
                      lambda card, a: b"P", le=REQUIRED, sm=SM_NEVER))
    table.add(Command("SelectA", CLA_ISO, 0xA4, 0x01, 0x00,
                      lambda card, a: bytes([a.p1]) + a.data, data=REQUIRED, le=OPTIONAL))
    table.add(Command("SelectB", CLA_ISO, 0xA4, 0x02, None,
                      lambda card, a: bytes([a.p1, a.p2])))
    table.add(Command("AnyP1", CLA_CONFIG, 0x20, None, 0x01,
                      lambda card, a: (bytes([a.p1]), 0x6283)))
    table.add(Command("WrappedOnly", CLA_PROPRIETARY, 0x33, 0x00, 0x00,
                      lambda card, a: b"", data=REQUIRED, sm=SM_ALWAYS, min_data=2, max_data=4))
    return table


class CommandTableTest(unittest.TestCase):
    def setUp(self):
        self.card = Card(CardState(), table=probe_table())

    def run_cases(self, cases):
        for text, want in cases:
            with self.subTest(apdu=text):
                self.assertEqual(self.card.process(apdu(text)).hex(), want)

    def test_lookup_by_class_ins_p1_p2(self):
        self.run_cases([
            ("00 A4 01 00 02 3F 00", "013f009000"),
            ("00 A4 01 00 02 3F 00 00", "013f009000"),
            ("00 A4 02 00", "02009000"),
            ("00 A4 02 7F", "027f9000"),        # P2 free for SelectB
            ("00 A4 03 00", "6b00"),            # P1 unknown
            ("00 A4 01 01 02 3F 00", "6a86"),   # P2 wrong
            ("F0 20 00 01", "006283"),          # any P1, a warning status with data
            ("F0 20 FF 01", "ff6283"),
            ("F0 20 FF 00", "6a86"),
            ("80 A4 01 00 02 3F 00", "6d00"),   # same INS in another class
        ])

    def test_form_rules(self):
        self.run_cases([
            ("80 50 00 00", "6700"),             # Le required
            ("80 50 00 00 01 AA 10", "6700"),    # data forbidden
            ("80 50 00 00 10", "509000"),
            ("80 50 00 00 00 00 10", "509000"),  # extended Le is an Le too
            ("00 A4 01 00", "6700"),             # data required
            ("00 A4 02 00 00", "6700"),          # Le forbidden
            ("00 A4 02 00 01 AA", "6700"),       # data forbidden
        ])

    def test_data_length_bounds(self):
        # The bounds hold for the plaintext of a wrapped command.
        channel = sm.Channel(mac_key=bytes(range(32)), enc_key=bytes(range(32, 64)))
        self.card.volatile.sm = channel
        for data, want in (("AA", "6700"), ("AA BB", "9000"), ("AA BB CC DD", "9000"),
                           ("AA BB CC DD EE", "6700")):
            with self.subTest(data=data):
                wrapped = channel.wrap_command(apdu("84 33 00 00"), apdu(data))
                self.assertEqual(self.card.process(wrapped).hex(), want)

    def test_secure_messaging_policy(self):
        self.run_cases([("84 50 00 00 10", "6982"), ("80 33 00 00 02 AA BB", "6982")])
        self.card.volatile.sm = FakeChannel()
        self.run_cases([
            ("84 50 00 00 10", "6882"),         # never wrapped
            ("80 33 00 00 02 AA BB", "6982"),   # must be wrapped
            ("80 50 00 00 10", "509000"),
        ])

    def test_reset_closes_the_channel(self):
        self.card.volatile.sm = FakeChannel()
        self.card.control(0x02)
        self.run_cases([("84 33 00 00 02 AA BB", "6982")])

    def test_handler_sw_error(self):
        table = CommandTable()

        def fail(card, a):
            raise SwError(0x6A82)
        table.add(Command("Fails", CLA_PROPRIETARY, 0x44, 0x00, 0x00, fail))
        card = Card(CardState(), table=table)
        self.assertEqual(card.process(apdu("80 44 00 00")), apdu("6A82"))

    def test_clashing_entries_are_refused(self):
        table = probe_table()
        noop = lambda card, a: b""  # noqa: E731
        for cla, ins, p1 in [(CLA_ISO, 0xA4, 0x01), (CLA_ISO, 0xA4, None), (CLA_CONFIG, 0x20, 0x05)]:
            with self.subTest(cla=cla, ins=ins, p1=p1):
                with self.assertRaises(ValueError):
                    table.add(Command("Clash", cla, ins, p1, 0x00, noop))
        with self.assertRaises(ValueError):
            table.add(Command("BadClass", 0x84, 0x01, 0x00, 0x00, noop))
        table.add(Command("OtherP1", CLA_ISO, 0xA4, 0x04, 0x00, noop))  # no clash

    def test_decorator_registers(self):
        table = CommandTable()

        @table.command("Echo", CLA_PROPRIETARY, 0x60, data=REQUIRED)
        def echo(card, a):
            return a.data[::-1]
        card = Card(CardState(), table=table)
        self.assertEqual(card.process(apdu("80 60 00 00 03 01 02 03")), apdu("03 02 01 90 00"))
        self.assertEqual([c.name for c in table.commands()], ["Echo"])


if __name__ == "__main__":
    unittest.main()
