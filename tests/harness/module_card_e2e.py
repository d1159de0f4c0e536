#!/usr/bin/python3
"""The PKCS #11 module's card commands through pcsc-lite, pcscd and vpcd to
the virtual token, with the host side written here in python3-cryptography:
the channel with 64 bytes of OtherInfo, wrapped GetData 0101 and a spoiled
reply MAC, the module's format sequence in strict access mode, a 2500-byte
file in 1024-byte chunks, a saved session key that outlives a card reset,
key pairs generated and imported into the container key files, and the card
pulled out in the middle of a command.  Needs the card environment
(card_env.py start, or ctest's fixture).
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

from cryptography.hazmat.primitives import cmac, hashes, keywrap  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa, utils  # noqa: E402
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes  # noqa: E402

try:
    from cryptography.hazmat.decrepit.ciphers.algorithms import TripleDES  # noqa: E402
except ImportError:  # the Debian 12 package
    TripleDES = algorithms.TripleDES

READER = os.environ.get("SOLVANTA_READER", "Solvanta Token 00 00")
CONTROL_PORT = int(os.environ.get("VTOKEN_CONTROL_PORT", "40470"))
P521, SHA512, AES_256, AES_256_CBC = 0x40001011, 0x40000015, 0x40002020, 0x40002021
RSA_2048, P_256, SHA256 = 0x40001001, 0x40001010, 0x40000013


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
        if not self.vt.status()["inserted"]:
            self.vt.insert(wait_ready=True)
            self.ctx.wait_for(READER, True, 10.0)
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


    def key_files(self, index, spec):
        """The container key files of 3F00/2000/4000, as the module makes them."""
        public_id = (0x4100 if spec == 1 else 0x4400) + index
        private_id = public_id + 0x100
        self.host.ok("80 42 00 00", bytes([1, 0x20, 255, 17, 17, 0]) + bytes(16) + struct.pack(">HBH", public_id, 0, 0))
        self.host.ok("80 42 00 00", bytes([1, 0x30, 0, 17, 17, 0]) + bytes(16) + struct.pack(">HBH", private_id, 0, 0))
        return public_id, private_id

    def container_dir(self):
        h = self.host
        h.ok("80 42 00 00", df(b"root", 0x2000, 255, 255))
        h.ok("80 42 00 00", df(b"mscp", 0x4000, 255, 255))
        h.ok("00 A4 08 00", bytes.fromhex("3F0020004000"), le=0)

    def test_generated_keys_sign_in_the_container_directory(self):
        h = self.host
        self.container_dir()
        digest = hashlib.sha256(b"container keys").digest()
        for index, spec, alg in ((0, 2, RSA_2048), (0, 1, P_256)):
            public_id, private_id = self.key_files(index, spec)
            h.ok("80 81 00 00", struct.pack(">HHIBB", public_id, private_id, alg, 0, 3))
            exported = h.ok("80 84 01 00", struct.pack(">H", public_id), le=0)
            self.assertEqual(exported[:6], struct.pack(">I", alg) + bytes(2))
            block = exported[6:]
            signed = h.ok("80 89 01 00", struct.pack(">HI", private_id, SHA256) + digest, le=0)
            signature = signed[4:]
            self.assertEqual(struct.unpack(">I", signed[:4])[0], len(signature))
            if alg == RSA_2048:
                self.assertEqual(len(block), 264)
                public = rsa.RSAPublicNumbers(int.from_bytes(block[260:264], "big"),
                                              int.from_bytes(block[4:260], "big")).public_key()
                public.verify(signature, digest, padding.PKCS1v15(), utils.Prehashed(hashes.SHA256()))
            else:
                self.assertEqual((len(block), len(signature)), (144, 64))
                public = ec.EllipticCurvePublicNumbers(int.from_bytes(block[4:72], "big"),
                                                       int.from_bytes(block[72:140], "big"),
                                                       ec.SECP256R1()).public_key()
                der = utils.encode_dss_signature(int.from_bytes(signature[:32], "big"),
                                                 int.from_bytes(signature[32:], "big"))
                public.verify(der, digest, ec.ECDSA(utils.Prehashed(hashes.SHA256())))
        listed = h.ok("00 CA 01 06", le=0)
        ids = sorted(struct.unpack(">H", listed[i:i + 2])[0] for i in range(0, len(listed), 2))
        self.assertEqual(ids, [0x4100, 0x4200, 0x4400, 0x4500])

    def test_p521_import_under_an_agreed_key(self):
        h = self.host
        self.container_dir()
        z = h.agree("80 12 01 03", struct.pack(">III", P521, SHA512, AES_256))
        kek = kdf(z, bytes(64), 32)
        key = ec.generate_private_key(ec.SECP521R1())
        n = key.public_key().public_numbers()
        public_id, private_id = self.key_files(5, 2)
        pub = struct.pack(">HIBB", public_id, P521, 3, 0) + struct.pack(">I", 521) + \
            n.x.to_bytes(68, "big") + n.y.to_bytes(68, "big") + bytes(4)
        pri = struct.pack(">I", 521) + key.private_numbers().private_value.to_bytes(68, "big")
        pri_data = struct.pack(">HHIBB", private_id, public_id, P521, 3, 0) + keywrap.aes_key_wrap(kek, pri)
        self.vt.clear_log()
        h.ok("80 82 01 00", pub)
        h.ok("80 83 00 03", pri_data)
        sent = [bytes.fromhex(e["command"]) for e in self.vt.log()["entries"]]
        self.assertEqual([c[4] for c in sent], [152, 90])
        value = hashlib.sha512(b"imported").digest()
        signature = h.ok("80 89 01 00", struct.pack(">HI", private_id, SHA512) + value, le=0)[4:]
        self.assertEqual(len(signature), 132)
        der = utils.encode_dss_signature(int.from_bytes(signature[:66], "big"), int.from_bytes(signature[66:], "big"))
        key.public_key().verify(der, value, ec.ECDSA(utils.Prehashed(hashes.SHA512())))

    def test_pulled_in_the_middle_of_a_write(self):
        h = self.host
        h.ok("80 42 00 00", ef(b"cert00", 0x0B80, 8))
        self.vt.call("pull_after", apdus=2, execute=True)
        h.ok("80 45 40 00", struct.pack(">BHB", 0, 0, 6) + b"cert00" + b"AAAA")
        # vpcd answers the pulled command with no bytes (never a status
        # word), or pcscd already reports the card gone.
        try:
            self.assertEqual(h.tx("80 45 40 00", struct.pack(">BHB", 0, 4, 6) + b"cert00" + b"BBBB"), b"")
        except pcsc.PcscError:
            pass
        self.vt.wait("removed")
        self.assertFalse(self.vt.status()["inserted"], "the card stays out")
        gone, _ = self.ctx.wait_for(READER, False, 10.0)
        self.assertTrue(gone, "pcscd saw the removal")
        with self.assertRaises(pcsc.PcscError):
            h.tx("80 44 40 00", struct.pack(">HB", 0, 6) + b"cert00", le=8)
        self.vt.insert(wait_ready=True)
        present, _ = self.ctx.wait_for(READER, True, 10.0)
        self.assertTrue(present)
        self.card.disconnect(pcsc.SCARD_LEAVE_CARD)
        self.card = self.ctx.connect(READER)
        self.host = Host(self.card)
        read = self.host.ok("80 44 40 00", struct.pack(">HB", 0, 6) + b"cert00", le=8)
        self.assertEqual(read, b"AAAABBBB", "the pulled write ran before the card went")


if __name__ == "__main__":
    unittest.main()
