"""The card's PIN and authentication family."""

import hashlib
import struct
import unittest

import support  # noqa: F401
from support import apdu, new_card, sw

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from card import sm
from card.families.pin import pin_response

PIN = b"123456"
SO_PIN = b"87654321"


def record(reference, pin, limit=10, options=(0, 0)):
    return (bytes([reference]) + struct.pack(">I", 0x40002121) + bytes([0x82, limit, limit]) +
            pin.ljust(32, b"\x00") + bytes([0xFF, 0xFF]) + bytes(options))


class PinFamilyTest(unittest.TestCase):
    def setUp(self):
        self.card = new_card()
        self.card.volatile.sm = sm.Channel(mac_key=bytes(range(32)), enc_key=bytes(range(32, 64)))

    def tx(self, text):
        return self.card.process(apdu(text))

    def wrapped(self, header, data, le=None):
        """A wrapped command; its status word and its reply data unwrapped."""
        reply = self.card.process(self.card.volatile.sm.wrap_command(apdu(header), data, le))
        body = reply[:-2]
        if body:
            body = sm.unpad(sm._cbc(self.card.volatile.sm.enc_key, body[:-16], False))
        return sw(reply), body

    def install(self, reference=2, pin=PIN, limit=10, options=(0, 0)):
        self.assertEqual(self.wrapped("84 31 00 00", record(reference, pin, limit, options))[0], 0x9000)

    def verify(self, reference, value):
        return sw(self.card.process(apdu("00 20 00 %02X %02X" % (reference, len(value))) + value))

    def challenge(self, n):
        reply = self.tx("00 84 00 00 %02X" % n)
        self.assertEqual(sw(reply), 0x9000)
        return reply[:-2]

    def info(self, reference):
        reply = self.tx("80 32 00 %02X 00" % reference)
        self.assertEqual(sw(reply), 0x9000, reply.hex())
        return reply[:-2]

    def test_pin_commands_must_come_wrapped(self):
        for header, data in (("80 31 00 00", record(2, PIN)), ("80 33 00 02", PIN + b"99"),
                             ("80 34 00 02", SO_PIN + b"99"), ("80 34 02 02", b"99")):
            with self.subTest(header=header):
                raw = apdu(header) + bytes([len(data)]) + data
                self.assertEqual(sw(self.card.process(raw)), 0x6982)
        self.assertEqual(self.card.state["pins"], {})
        # Challenges and external authentication are never wrapped.
        self.assertEqual(self.wrapped("04 84 00 00", b"", 8)[0], 0x6882)

    def test_wrong_pins_count_down_then_block(self):
        self.install(limit=10)
        self.assertEqual(self.verify(2, PIN), 0x9000)
        for left in range(9, -1, -1):
            self.assertEqual(self.verify(2, b"000000"), 0x63C0 | left)
        self.assertEqual(self.verify(2, PIN), 0x6983)
        self.assertEqual(self.info(2)[5], 0)
        self.assertEqual(self.verify(9, PIN), 0x6A88)

    def test_right_pin_resets_the_tries_and_verifies(self):
        self.install()
        self.assertEqual(self.verify(2, b"0"), 0x63C9)
        self.assertEqual(self.info(2)[9], 0)
        self.assertEqual(self.verify(2, PIN), 0x9000)
        info = self.info(2)
        self.assertEqual(info[:4], struct.pack(">I", 0x40002121))
        self.assertEqual(info[4:10], bytes([0x82, 10, 10, 0xFF, 0xFF, 1]))
        self.assertEqual(self.tx("80 35 00 00"), apdu("9000"))
        self.assertEqual(self.info(2)[9], 0)

    def test_reset_clears_the_verified_state(self):
        self.install()
        self.assertEqual(self.verify(2, PIN), 0x9000)
        self.card.control(0x02)
        self.assertEqual(self.info(2)[9], 0)
        self.assertEqual(self.info(2)[5], 10)

    def test_response_to_the_challenge_is_single_use(self):
        self.install()
        challenge = self.challenge(16)
        response = pin_response(PIN, challenge)
        self.assertEqual(self.verify(2, response), 0x9000)
        # The same response again: the challenge is gone, so it is a plain
        # (wrong) PIN now.
        self.assertEqual(self.verify(2, response), 0x63C9)
        challenge = self.challenge(16)
        self.assertEqual(self.verify(2, pin_response(b"000000", challenge)), 0x63C8)

    def test_response_is_3des_cbc_of_the_challenge_under_the_pin_digest(self):
        challenge = bytes(range(16))
        key = hashlib.sha256(PIN).digest()[:24]
        # CBC with a zero IV, chained by hand over three-key 3DES in ECB mode.
        from card.families.pin import TripleDES
        ecb = Cipher(TripleDES(key), modes.ECB()).encryptor()
        first = ecb.update(challenge[:8])
        second = ecb.update(bytes(a ^ b for a, b in zip(challenge[8:], first)))
        self.assertEqual(pin_response(PIN, challenge), first + second)
        self.assertEqual(pin_response(b"x" * 40, challenge), pin_response(b"x" * 32, challenge))

    def test_change_pin_with_plain_old_value_or_response(self):
        self.install()
        self.assertEqual(self.wrapped("84 33 00 02", PIN + b"654321")[0], 0x9000)
        self.assertEqual(self.verify(2, b"654321"), 0x9000)
        challenge = self.challenge(16)
        self.assertEqual(self.wrapped("84 33 00 02", pin_response(b"654321", challenge) + b"abcdef")[0],
                         0x9000)
        self.assertEqual(self.verify(2, b"abcdef"), 0x9000)
        # A wrong old value counts as a wrong try and changes nothing.
        self.assertEqual(self.wrapped("84 33 00 02", b"zzzzzz" + b"111111")[0], 0x63C9)
        self.assertEqual(self.verify(2, b"abcdef"), 0x9000)

    def test_unblock_checks_the_so_pin_and_sets_the_new_pin(self):
        self.install(1, SO_PIN, limit=15)
        self.install(2, PIN, limit=3)
        for _ in range(3):
            self.verify(2, b"0")
        self.assertEqual(self.verify(2, PIN), 0x6983)
        self.assertEqual(self.wrapped("84 34 00 02", b"wrongso!" + b"222222")[0], 0x63CE)
        self.assertEqual(self.wrapped("84 34 00 02", SO_PIN + b"222222")[0], 0x9000)
        self.assertEqual(self.verify(2, b"222222"), 0x9000)
        self.assertEqual(self.wrapped("84 34 00 07", SO_PIN + b"222222")[0], 0x6A88)

    def test_unload_pin_needs_the_so_pin_verified(self):
        self.install(1, SO_PIN)
        self.install(2, PIN, options=(1, 1))
        self.assertEqual(self.info(2)[10], 1, "to be changed")
        self.assertEqual(self.wrapped("84 34 02 02", b"777777")[0], 0x6982)
        self.assertEqual(self.verify(1, SO_PIN), 0x9000)
        self.assertEqual(self.wrapped("84 34 02 02", b"777777")[0], 0x9000)
        self.assertEqual(self.info(2)[10], 0)
        self.assertEqual(self.verify(2, b"777777"), 0x9000)

    def test_get_challenge_lengths_and_generator(self):
        for le, n in (("01", 1), ("10", 16), ("00", 256), ("00 01 00", 256), ("00 04 00", 1024)):
            self.assertEqual(len(self.tx("00 84 00 00 " + le)), n + 2)
            self.assertEqual(len(self.tx("00 84 01 00 " + le)), n + 2)
        self.assertEqual(sw(self.tx("00 84 00 00 00 04 01")), 0x6700)
        self.assertEqual(sw(self.tx("00 84 00 00")), 0x6700)

    def test_external_auth_with_the_formatted_device_key(self):
        key = bytes(range(100, 132))
        self.card.state.update(format={"keys": [{"id": 1, "key": key.hex(), "parameter": 0}]})
        challenge = self.challenge(32)
        enc = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
        cryptogram = enc.update(challenge) + enc.finalize()
        self.assertEqual(self.tx("00 82 00 01 20" + cryptogram.hex()), apdu("9000"))
        # Used up: the same cryptogram again has no challenge behind it.
        self.assertEqual(self.tx("00 82 00 01 20" + cryptogram.hex()), apdu("6982"))
        self.challenge(32)
        self.assertEqual(self.tx("00 82 00 01 20" + cryptogram.hex()), apdu("6300"))
        self.assertEqual(self.tx("00 82 00 02 20" + cryptogram.hex()), apdu("6a88"))

    def test_internal_auth_response(self):
        reply = self.tx("00 88 00 02 04 01020304 00")
        self.assertEqual(sw(reply), 0x9000)
        chip = bytes.fromhex(self.card.state["chip_id"])
        self.assertEqual(reply[:-2], hashlib.sha256(chip + apdu("01020304")).digest())

    def test_pins_survive_in_the_state(self):
        self.install()
        self.assertEqual(self.card.state["pins"]["2"]["value"], PIN.hex())
        self.assertEqual(self.wrapped("84 31 00 00", record(2, PIN)[:43])[0], 0x6700)


if __name__ == "__main__":
    unittest.main()
