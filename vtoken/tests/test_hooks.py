"""Side-channel hooks for the module's tests: session slots, a spoiled
reply, planned failures, short reads, file bytes behind the host's back,
state images and the factory preset."""

import shutil
import struct
import tempfile
import os
import unittest

import support  # noqa: F401
from support import TIMEOUT, InProcessToken, apdu, sw

from card import sm
from card.state import defaults
from vtctl import VtCtl, VtCtlError


def ef(name, file_id, size):
    return bytes([1, 0, 0xFF, 0xFF, 0, 0]) + name.ljust(16, b"\x00") + struct.pack(">HBH", file_id, 0, size)


def df(name, file_id):
    return bytes([0, 0xFF, 0xFF]) + name.ljust(16, b"\x00") + struct.pack(">H", file_id)


def with_lc(header, data):
    return apdu(header) + bytes([len(data)]) + data


class HookTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vtoken-hooks-")
        self.t = InProcessToken(os.path.join(self.dir, "state.json"))
        self.t.accept()
        self.vpcd = self.t.vpcd
        self.vt = VtCtl(self.t.port, timeout=TIMEOUT).connect()
        self.vpcd.control(0x01)
        self.vt.wait("powered")

    def tearDown(self):
        self.vt.close()
        self.t.close()
        shutil.rmtree(self.dir)

    def tx(self, raw):
        return self.vpcd.transmit(raw)

    def tree(self):
        """MF / root 2000 / mscp 4000 / keyObjects (16 bytes)."""
        for data in (df(b"root", 0x2000), df(b"mscp", 0x4000), ef(b"keyObjects", 0xD09A, 16)):
            self.assertEqual(sw(self.tx(with_lc("80 42 00 00", data))), 0x9000)

    def read(self, name, count):
        return self.tx(apdu("80 44 40 00") + bytes([3 + len(name)]) + struct.pack(">HB", 0, len(name)) + name
                       + bytes([count]))

    def write(self, name, data):
        body = struct.pack(">BHB", 0, 0, len(name)) + name + data
        return self.tx(with_lc("80 45 40 00", body))

    def test_session_slot(self):
        key = bytes(range(16))
        self.tx(with_lc("80 14 00 05", struct.pack(">I", 0x40002000) + key))
        self.assertEqual(self.vt.call("session_slot", slot=5), {"ok": True, "slot": 5, "type": 0x40002000,
                                                                  "key": key.hex()})
        self.assertEqual(self.vt.call("session_slot", slot=6)["key"], None)
        with self.assertRaises(VtCtlError):
            self.vt.call("session_slot", slot=256)

    def test_tamper_next_reply_mac_once(self):
        channel = sm.Channel(mac_key=bytes(32), enc_key=bytes(range(32)))
        self.t.card.volatile.sm = channel
        self.vt.set(sm_reply_fault_next="flip_mac")
        replies = [self.tx(channel.wrap_command(apdu("84 03 00 00"), b"", 0)) for _ in range(2)]
        for reply, spoiled in zip(replies, (True, False)):
            body = reply[:-2]
            self.assertEqual((sw(reply), len(body)), (0x9000, 48))
            self.assertEqual(sm.cmac(channel.mac_key, body[:-16]) != body[-16:], spoiled)
        self.assertEqual(self.vt.dump()["hooks"], {})

    def test_fail_next(self):
        self.tree()
        self.vt.call("fail_next", ins="45", sw="6581", count=2, name="keyObjects")
        self.vt.call("fail_next", ins=0x44, sw=0x6A82)
        cases = (
            (self.read(b"keyObjects", 4), 0x6A82),             # the INS-only plan
            (self.read(b"keyObjects", 4), 0x9000),
            (self.write(b"keyObjects", b"abcd"), 0x6581),
            (self.tx(with_lc("80 43 03 01", b"\x04none")), 0x6A82),  # another INS: runs
            (self.write(b"keyObjects", b"abcd"), 0x6581),
            (self.write(b"keyObjects", b"abcd"), 0x9000),
        )
        for i, (reply, expected) in enumerate(cases):
            with self.subTest(i):
                self.assertEqual(sw(reply), expected)
        self.assertEqual(self.vt.call("file_read", path="3f00/2000/4000/keyObjects", length=4)["data"],
                         b"abcd".hex(), "written only once the plan ran out")
        self.vt.call("fail_next", ins="45", sw="6581")
        self.vt.call("fail_next", clear=True)
        self.assertEqual(sw(self.write(b"keyObjects", b"x")), 0x9000)
        for bad in ({"ins": "zz", "sw": 1}, {"ins": 256, "sw": 1}, {"ins": 1}, {"ins": 1, "sw": 1, "count": 0},
                    {"ins": 1, "sw": 1, "name": ""}):
            with self.subTest(bad=bad), self.assertRaises(VtCtlError):
                self.vt.call("fail_next", **bad)

    def test_short_read(self):
        self.tree()
        self.vt.set(short_read=3)
        self.assertEqual(self.read(b"keyObjects", 16), bytes(3) + b"\x90\x00")
        self.assertEqual(len(self.read(b"keyObjects", 16)), 18, "once only")

    def test_file_bytes_behind_the_hosts_back(self):
        self.tree()
        path = "3f00/2000/4000/d09a"
        self.vt.call("file_write", path=path, offset=2, data="a1a2")
        got = self.vt.call("file_read", path=["MF", "root", "4000", "keyObjects"])
        self.assertEqual((got["size"], got["id"], got["name"], got["data"][:8]), (16, "d09a", "keyObjects", "0000a1a2"))
        self.vt.call("file_corrupt", path=path, offset=3, xor="ff01")
        self.assertEqual(self.read(b"keyObjects", 5)[:5], bytes.fromhex("0000a15d01"))
        for cmd, fields in (("file_write", {"path": path, "offset": 15, "data": "0102"}),
                            ("file_read", {"path": path, "offset": 17}),
                            ("file_read", {"path": "3f00/2000/nothing"}),
                            ("file_read", {"path": "3f00/2000"}),
                            ("file_corrupt", {"path": path, "xor": ""}),
                            ("file_delete", {"path": "3f00"})):
            with self.subTest(cmd=cmd, fields=fields), self.assertRaises(VtCtlError):
                self.vt.call(cmd, **fields)
        self.vt.call("file_delete", path=path)
        self.assertEqual(sw(self.read(b"keyObjects", 1)), 0x6A82)
        self.vt.call("file_delete", path="3f00/2000")
        self.assertEqual(list(self.vt.dump()["state"]["fs"]), ["3f00"])

    def test_state_image_and_factory_preset(self):
        self.tree()
        image = self.vt.dump()["state"]
        self.vt.reset_state()
        self.assertEqual(self.vt.call("load_state", state=image)["state"], image)
        self.assertEqual(sw(self.read(b"keyObjects", 1)), 0x6A82, "volatile state cleared: the MF is current")
        with self.assertRaises(VtCtlError):
            self.vt.call("load_state", state={"version": 1, "no_such_key": 1})
        state = self.vt.call("preset", name="factory", serial="SV00000000000007")["state"]
        info = bytes.fromhex(state["data_objects"]["0101"])
        self.assertEqual((len(info), info[96:112]), (128, b"SV00000000000007"))
        self.assertEqual(self.tx(apdu("00 CA 01 09 00")), bytes(4) + b"\x90\x00")
        self.assertEqual({k: v for k, v in state.items() if k != "data_objects"},
                         {k: v for k, v in defaults().items() if k != "data_objects"})

    def test_settable_values(self):
        self.vt.set(access_mode="strict", admin_key="3132", saved_slot_max=18, version_info="0102030405ff")
        dump = self.vt.dump()
        self.assertEqual(dump["hooks"], {"access_mode": "strict"})
        self.assertEqual((dump["state"]["admin_key"], dump["state"]["saved_slot_max"]), ("3132", 18))
        self.assertEqual(self.tx(apdu("00 CA 01 02 00")).hex(), "0102030405ff9000")
        self.vt.set(access_mode="off", admin_key=None)
        self.assertEqual(self.vt.dump()["hooks"], {})
        for fields in ({"access_mode": "lax"}, {"admin_key": "00" * 33}, {"saved_slot_max": 256},
                       {"short_read": -1}, {"sm_reply_fault_next": "nope"}, {"format_any_marker": 1}):
            with self.subTest(fields=fields), self.assertRaises(VtCtlError):
                self.vt.set(**fields)


class CommandLineValueTest(unittest.TestCase):
    def test_hex_keys_stay_strings(self):
        from vtctl import _value
        cases = (("admin_key", "3132", "3132"), ("version_info", "010203", "010203"),
                 ("admin_key", "null", None), ("saved_slot_max", "18", 18), ("access_mode", "strict", "strict"),
                 ("format_any_marker", "true", True))
        for key, text, expected in cases:
            with self.subTest(key=key, text=text):
                self.assertEqual(_value(key, text), expected)


if __name__ == "__main__":
    unittest.main()
