"""The card's secure messaging: key agreement, command unwrap, reply wrap."""

import struct
import unittest

import support  # noqa: F401
from support import new_card

from card import apdu as apdu_mod
from card import sm


def counting(n, first=1):
    return bytes((first + i) & 0xFF for i in range(n))


class ChannelTest(unittest.TestCase):
    def setUp(self):
        self.channel = sm.Channel(mac_key=counting(32, 0x40), enc_key=counting(32, 0x90))

    def unwrap(self, raw):
        return self.channel.unwrap_command(apdu_mod.parse(raw))

    def test_commands_of_every_length_form_round_trip(self):
        header = bytes.fromhex("84020000")
        for data, le in ((b"", None), (b"", 0), (counting(5), None), (counting(16), 8),
                         (counting(300), None), (counting(20), 256)):
            with self.subTest(data=len(data), le=le):
                cmd, tag, plain = self.unwrap(self.channel.wrap_command(header, data, le))
                self.assertEqual(plain, data)
                self.assertEqual(cmd.data, data)
                self.assertEqual(len(tag), 16)
                self.assertEqual(cmd.le is not None, le is not None)

    def test_bad_commands_give_6988(self):
        header = bytes.fromhex("84020000")
        good = bytearray(self.channel.wrap_command(header, counting(10)))
        mac_flipped = bytes(good[:-1] + bytes([good[-1] ^ 1]))
        header_changed = bytes(good[:2] + b"\x01" + good[3:])
        short = bytes(header + bytes([15]) + counting(15))
        # A valid MAC over a block whose last byte is 0x11 after decryption.
        ct = sm._cbc(self.channel.enc_key, counting(15) + b"\x11", True)
        bad_pad = header + bytes([32]) + ct + sm.cmac(self.channel.mac_key, header + bytes([32]) + ct)
        for raw in (mac_flipped, header_changed, short, bad_pad):
            with self.assertRaises(sm.SmError) as e:
                self.unwrap(raw)
            self.assertEqual(e.exception.sw, 0x6988)

    def test_reply_wrap_and_faults(self):
        data = counting(21)
        body = self.channel.wrap_reply(data)
        ct, tag = body[:-16], body[-16:]
        self.assertEqual(tag, sm.cmac(self.channel.mac_key, ct))
        self.assertEqual(sm.unpad(sm._cbc(self.channel.enc_key, ct, False)), data)
        self.assertEqual(self.channel.wrap_reply(b""), b"")

        self.assertEqual(len(self.channel.wrap_reply(b"", "short_15")), 15)
        self.assertEqual(self.channel.wrap_reply(b"", "mac_only"), sm.cmac(self.channel.mac_key, b""))
        flipped = self.channel.wrap_reply(b"", "flip_mac")
        self.assertNotEqual(flipped[16:], sm.cmac(self.channel.mac_key, flipped[:16]))
        for fault, last in (("pad_11", 0x11), ("pad_00", 0x00)):
            body = self.channel.wrap_reply(b"", fault)
            self.assertEqual(body[16:], sm.cmac(self.channel.mac_key, body[:16]))
            self.assertEqual(sm._cbc(self.channel.enc_key, body[:16], False)[-1], last)


class KeyAgreementTest(unittest.TestCase):
    """Both steps against the card, the host side done here with the same
    primitives (the library's own side is tested end to end)."""

    def setUp(self):
        self.card = new_card()
        self.card.control(0x01)

    def send(self, raw):
        reply = self.card.process(raw)
        return reply[:-2], struct.unpack(">H", reply[-2:])[0]

    def step1(self, data=bytes.fromhex("4000101100")):
        return self.send(bytes.fromhex("80110000") + bytes([len(data)]) + data + b"\x00")

    def step2(self, host_key, other_info=bytes(68), ids=(sm.ALG_P521, sm.ALG_SHA512), record=None):
        n = host_key.public_key().public_numbers()
        if record is None:
            record = (struct.pack("<I", 521) + n.x.to_bytes(68, "big") + n.y.to_bytes(68, "big")
                      + bytes(4))
        data = struct.pack(">II", *ids) + other_info + record
        return self.send(bytes.fromhex("80110100") + bytes([len(data)]) + data + b"\x00")

    def test_both_lengths_of_other_info_open_the_same_channel_as_the_host_derives(self):
        for other_info in (bytes(68), counting(64)):
            with self.subTest(other_info=len(other_info)):
                record, sw = self.step1()
                self.assertEqual((len(record), sw), (148, 0x9000))
                host = sm.new_card_key()
                self.assertEqual(self.step2(host, other_info)[1], 0x9000)
                card_pub = sm.host_public_key(record[4:])
                k = sm.kdf_sha512(host.exchange(sm.ec.ECDH(), card_pub), other_info, 64)
                self.assertEqual(self.card.volatile.sm.mac_key, k[:32])
                self.assertEqual(self.card.volatile.sm.enc_key, k[32:])

    def test_refusals(self):
        self.assertEqual(self.step1(bytes.fromhex("4000101000"))[1], 0x6A80)
        self.assertEqual(self.step1(bytes.fromhex("40001011"))[1], 0x6A80)
        host = sm.new_card_key()
        self.assertEqual(self.step2(host)[1], 0x6985)           # no step 1
        self.step1()
        self.assertEqual(self.step2(host, ids=(sm.ALG_P521, 0x40000014))[1], 0x6A80)
        self.step1()
        off = bytearray(sm.key_record(host)[4:])
        off[-5] ^= 1                                             # Y changed: off the curve
        self.assertEqual(self.step2(host, record=bytes(off))[1], 0x6A80)
        self.assertEqual(self.step2(host)[1], 0x6985)           # that step-1 key is used up
        self.assertIsNone(self.card.volatile.sm)

    def test_wrapped_commands_with_and_without_a_channel(self):
        chip_id = bytes.fromhex("84030000") + b"\x00"
        self.assertEqual(self.send(chip_id)[1], 0x6982)
        self.step1()
        self.step2(sm.new_card_key())
        channel = self.card.volatile.sm
        body, sw = self.send(channel.wrap_command(bytes.fromhex("84030000"), b"", 0))
        self.assertEqual(sw, 0x9000)
        self.assertEqual(body[-16:], sm.cmac(channel.mac_key, body[:-16]))
        self.assertEqual(self.send(bytes.fromhex("84030000") + bytes([16]) + bytes(16) + b"\x00")[1],
                         0x6988)


class FormatDeviceTest(unittest.TestCase):
    def setUp(self):
        self.card = new_card()
        self.card.control(0x01)

    @staticmethod
    def record(blob=b"blob!", marker=b"SOLVANTA_FORMAT_1\x00"):
        strings = b"".join(s.ljust(32, b"\x00") for s in (b"Label", b"Maker", b"Model", b"S" * 32))
        keys = b"".join(struct.pack(">I", 0x40002020 + i) + bytes([i]) * 32 + bytes([0xC0 + i])
                        for i in range(3))
        return (marker + strings + bytes(4) + struct.pack(">I", 0x0A0B0C0D) + bytes(6) + b"\x5a"
                + bytes([len(blob)]) + blob + keys)

    def send(self, raw):
        reply = self.card.process(raw)
        return struct.unpack(">H", reply[-2:])[0]

    @staticmethod
    def plain(data):
        return bytes.fromhex("80020000") + b"\x00" + struct.pack(">H", len(data)) + data

    def test_plain_and_wrapped_records_are_kept(self):
        self.assertEqual(self.send(self.plain(self.record())), 0x9000)
        kept = self.card.state["format"]
        self.assertEqual(kept["strings"], ["Label", "Maker", "Model", "S" * 32])
        self.assertEqual((kept["value"], kept["byte"], kept["blob"]), (0x0A0B0C0D, 0x5A, b"blob!".hex()))
        self.assertEqual(kept["keys"][2], {"id": 0x40002022, "key": (bytes([2]) * 32).hex(),
                                           "parameter": 0xC2})

        self.card.volatile.sm = sm.Channel(mac_key=counting(32, 7), enc_key=counting(32, 9))
        wrapped = self.card.volatile.sm.wrap_command(bytes.fromhex("84020000"), self.record(b""))
        self.assertEqual(self.send(wrapped), 0x9000)
        self.assertEqual(self.card.state["format"]["blob"], "")
        self.assertEqual(self.card.state["format_count"], 2)
        entry = self.card.log.snapshot()["entries"][-1]
        self.assertEqual(entry["sm"]["plain"], self.record(b"").hex())
        self.assertEqual(entry["sm"]["mac"], wrapped[-16:].hex())

    def test_bad_records_give_6a80(self):
        for data in (self.record(marker=b"SOLVANTA_FORMAT_2\x00"), self.record()[:-1],
                     self.record() + b"\x00"):
            self.assertEqual(self.send(self.plain(data)), 0x6A80)
        self.assertEqual(self.card.state["format_count"], 0)


if __name__ == "__main__":
    unittest.main()
