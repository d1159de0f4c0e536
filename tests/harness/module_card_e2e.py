#!/usr/bin/python3
"""The PKCS #11 module's card commands through pcsc-lite, pcscd and vpcd to
the virtual token, with the host side written here in python3-cryptography:
the channel with 64 bytes of OtherInfo, wrapped GetData 0101 and a spoiled
reply MAC, the module's format sequence in strict access mode, a 2500-byte
file in 1024-byte chunks, and a saved session key that outlives a card
reset.  Needs the card environment (card_env.py start, or ctest's fixture).
"""

import hashlib
import os
import struct
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "vtoken"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "vtoken", "tests"))

import pcsc  # noqa: E402
from support import header_string  # noqa: E402
from vtctl import VtCtl  # noqa: E402

from cryptography.hazmat.primitives import cmac  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes  # noqa: E402

try:
    from cryptography.hazmat.decrepit.ciphers.algorithms import TripleDES  # noqa: E402
except ImportError:  # the Debian 12 package
    TripleDES = algorithms.TripleDES

READER = os.environ.get("SOLVANTA_READER", "Solvanta Token 00 00")
CONTROL_PORT = int(os.environ.get("VTOKEN_CONTROL_PORT", "40470"))
P521, SHA512, AES_256, AES_256_CBC = 0x40001011, 0x40000015, 0x40002020, 0x40002021


def sw(reply):
    return reply[-2] << 8 | reply[-1]


def aes(key, data, encrypt=True, iv=None):
    c = Cipher(algorithms.AES(key), modes.CBC(iv) if iv is not None else modes.ECB())
    op = c.encryptor() if encrypt else c.decryptor()
    return op.update(data) + op.finalize()


def mac(key, data):
    c = cmac.CMAC(algorithms.AES(key))
    c.update(data)
    return c.finalize()


def kdf(z, other, length):
    out = b"".join(hashlib.sha512(struct.pack(">I", i) + z + other).digest() for i in (1, 2))
    return out[:length]


def command(header, data=b"", le=None):
    """Short form when it fits, else extended."""
    extended = len(data) > 255 or (le is not None and le > 256)
    raw = bytes.fromhex(header)
    if data:
        raw += (b"\x00" + struct.pack(">H", len(data)) if extended else bytes([len(data)])) + data
    if le is not None:
        raw += ((b"" if data else b"\x00") + struct.pack(">H", le & 0xFFFF)) if extended else bytes([le & 0xFF])
    return raw


class Host:
    """The host side: transmit, key agreement and wrapped commands."""

    def __init__(self, card):
        self.card = card
        self.mac_key = self.enc_key = None

    def tx(self, header, data=b"", le=None):
        return self.card.transmit(command(header, data, le))

    def ok(self, header, data=b"", le=None):
        reply = self.tx(header, data, le)
        if sw(reply) != 0x9000:
            raise AssertionError("%s -> %s" % (header, reply.hex()))
        return reply[:-2]

    def agree(self, step2_header, prefix):
        reply = self.ok(step2_header[:6] + "00 00", struct.pack(">IB", P521, 0), le=0)
        point = ec.EllipticCurvePublicNumbers(int.from_bytes(reply[8:76], "big"),
                                              int.from_bytes(reply[76:144], "big"), ec.SECP521R1())
        host = ec.generate_private_key(ec.SECP521R1())
        n = host.public_key().public_numbers()
        record = struct.pack("<I", 521) + n.x.to_bytes(68, "big") + n.y.to_bytes(68, "big") + bytes(4)
        self.ok(step2_header, prefix + bytes(64) + record)
        return host.exchange(ec.ECDH(), point.public_key())

    def open_channel(self):
        k = kdf(self.agree("80 11 01 00", struct.pack(">II", P521, SHA512)), bytes(64), 64)
        self.mac_key, self.enc_key = k[:32], k[32:]

    def wrapped(self, header, data=b"", le=None):
        """(SW, plain reply data, or None when the reply's MAC is wrong)."""
        body = b""
        if data:
            n = 16 - len(data) % 16
            body = aes(self.enc_key, data + bytes([n]) * n, iv=bytes(16))
        lc = len(body) + 16
        extended = lc > 255 or (le is not None and le > 256)
        head = bytes.fromhex(header)
        lc_field = b"\x00" + struct.pack(">H", lc) if extended else bytes([lc])
        raw = head + lc_field + body + mac(self.mac_key, head + lc_field + body)
        if le is not None:
            raw += struct.pack(">H", le & 0xFFFF) if extended else bytes([le & 0xFF])
        reply = self.card.transmit(raw)
        data_out = reply[:-2]
        if not data_out:
            return sw(reply), b""
        if mac(self.mac_key, data_out[:-16]) != data_out[-16:]:
            return sw(reply), None
        plain = aes(self.enc_key, data_out[:-16], False, bytes(16))
        return sw(reply), plain[:-plain[-1]]


def pin_response(pin, challenge):
    key = hashlib.sha256(pin).digest()[:24]
    enc = Cipher(TripleDES(key), modes.CBC(bytes(8))).encryptor()
    return enc.update(challenge) + enc.finalize()


def format_record(key):
    r = bytearray(275)
    r[0:17] = header_string("SOLVANTA_FORMAT_ENABLE_MARKER")
    r[18:26] = b"Solvanta"
    r[114:130] = b"SV00000000000009"
    r[150:154] = struct.pack(">I", 0x00020000)
    r[161:164] = b"\x02MF"
    for at, parameter in ((164, 10), (201, 16), (238, 10)):
        r[at:at + 4] = struct.pack(">I", AES_256)
        r[at + 4:at + 36] = key
        r[at + 36] = parameter
    return bytes(r)


def ef(name, file_id, size, a1=255, a2=255):
    return bytes([1, 0, a1, a2, 0, 0]) + name.ljust(16, b"\x00") + struct.pack(">HBH", file_id, 0, size)


def df(name, file_id, a1, a2):
    return bytes([0, a1, a2]) + name.ljust(16, b"\x00") + struct.pack(">H", file_id)


class ModuleCardTest(unittest.TestCase):
    def setUp(self):
        self.vt = VtCtl(CONTROL_PORT, timeout=15.0).connect()
        self.vt.call("preset", name="factory")
        self.ctx = pcsc.Context()
        self.card = self.ctx.connect(READER)
        self.host = Host(self.card)

    def tearDown(self):
        self.card.disconnect(pcsc.SCARD_RESET_CARD)
        self.ctx.close()
        self.vt.reset_state()
        self.vt.close()

    def test_channel_wrapped_data_and_a_spoiled_mac(self):
        h = self.host
        h.open_channel()
        keys = self.vt.dump()["volatile"]["sm_keys"]
        self.assertEqual((keys["mac_key"], keys["enc_key"]), (h.mac_key.hex(), h.enc_key.hex()))
        status, info = h.wrapped("04 CA 01 01", le=0)
        self.assertEqual((status, len(info), info[96:112]), (0x9000, 128, b"SV00000000000001"))
        self.vt.set(sm_reply_fault_next="flip_mac")
        self.assertEqual(h.wrapped("04 CA 01 01", le=0), (0x9000, None))
        self.assertEqual(len(h.wrapped("04 CA 01 01", le=0)[1]), 128)
        self.assertEqual(len(h.ok("80 05 00 00", le=8)), 8)

    def test_module_format_in_strict_mode_and_a_chunked_file(self):
        h = self.host
        self.vt.set(access_mode="strict")
        key = header_string("SOLVANTA_DEVICE_KEY")
        h.ok("80 02 00 00", format_record(key))
        h.ok("00 A4 00 00", bytes.fromhex("3F00"), le=0)
        challenge = h.ok("00 84 00 00", le=32)
        h.ok("00 82 00 01", aes(key, challenge))
        h.open_channel()
        h.ok("80 42 00 00", df(b"root", 0x2000, 17, 17))
        for ref, pin, kind in ((1, b"87654321", 0x82), (2, b"12345678", 0x82), (3, b"", 0x84)):
            record = (bytes([ref]) + struct.pack(">I", 0x40002121 if kind == 0x82 else 0x4FFFFFFF)
                      + bytes([kind, 10, 10]) + pin.ljust(32, b"\x00") + bytes([255, 255, 0, 0]))
            self.assertEqual(h.wrapped("84 31 00 00", record)[0], 0x9000)
        challenge = h.ok("00 84 00 00", le=16)
        h.ok("00 20 00 01", pin_response(b"87654321", challenge))
        h.ok("80 42 00 00", df(b"mscp", 0x4000, 255, 255))
        h.ok("80 42 00 00", ef(b"cert00", 0x0B80, 2500, 255, 17))
        content = bytes(i * 13 & 0xFF for i in range(2500))
        for offset in (0, 1024, 2048):
            chunk = content[offset:offset + 1024]
            h.ok("80 45 40 00", struct.pack(">BHB", 1, offset, 6) + b"cert00" + chunk)
        self.vt.clear_log()
        read = b"".join(h.ok("80 44 40 00", struct.pack(">HB", offset, 6) + b"cert00", le=1024)
                        for offset in (0, 1024, 2048))
        self.assertEqual(read, content)
        replies = [len(e["reply"]) // 2 - 2 for e in self.vt.log()["entries"]]
        self.assertEqual(replies, [1024, 1024, 452])
        h.ok("F0 40 01 00")
        h.ok("80 35 00 00")
        self.assertEqual(sw(h.tx("80 44 40 00", struct.pack(">HB", 0, 6) + b"cert00", le=16)), 0x9000)
        self.assertEqual(sw(h.tx("80 45 40 00", struct.pack(">BHB", 0, 0, 6) + b"cert00" + b"x")), 0x6982)
        self.assertEqual(h.ok("00 CA 01 09", le=0), bytes.fromhex("00000001"))

    def test_saved_session_key_outlives_a_reset(self):
        h = self.host
        z = h.agree("80 12 01 01", struct.pack(">III", P521, SHA512, AES_256_CBC))
        slot = self.vt.call("session_slot", slot=1)
        self.assertEqual((slot["type"], slot["key"]), (AES_256_CBC, kdf(z, bytes(64), 32).hex()))
        h.ok("80 13 00 02", struct.pack(">I", AES_256))
        h.ok("80 18 03 02")
        h.ok("80 63 00 02")
        before = h.ok("80 65 00 00", bytes(range(32)), le=0)
        self.card.disconnect(pcsc.SCARD_RESET_CARD)
        self.card = self.ctx.connect(READER)
        h = self.host = Host(self.card)
        self.assertIsNone(self.vt.call("session_slot", slot=2)["key"], "the reset cleared the slot")
        h.ok("80 19 03 02")
        h.ok("80 63 00 02")
        self.assertEqual(h.ok("80 65 00 00", bytes(range(32)), le=0), before)
        key = bytes.fromhex(self.vt.call("session_slot", slot=2)["key"])
        self.assertEqual(before, aes(key, bytes(range(32))))


if __name__ == "__main__":
    unittest.main()
