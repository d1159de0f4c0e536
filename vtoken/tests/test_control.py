import json
import os
import shutil
import socket
import tempfile
import unittest

import support  # noqa: F401
from support import TIMEOUT, InProcessToken, apdu

from card.state import defaults
from vtctl import VtCtl, VtCtlError


class ControlTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vtoken-ctl-")
        self.state_path = os.path.join(self.dir, "state.json")
        self.t = InProcessToken(self.state_path)
        self.vpcd = self.t.vpcd
        self.t.accept()
        self.vt = VtCtl(self.t.port, timeout=TIMEOUT).connect()

    def tearDown(self):
        self.vt.close()
        self.t.close()
        shutil.rmtree(self.dir)

    def test_ping_and_status(self):
        self.assertTrue(self.vt.ping()["pong"])
        st = self.vt.status()
        for key, want in [("connected", True), ("inserted", True), ("powered", False),
                          ("ready", False), ("atr_served", 0), ("atr", "3b800181"),
                          ("control_port", self.t.port), ("state_file", self.state_path),
                          ("vpcd", "127.0.0.1:%d" % self.vpcd.port), ("connections", 1)]:
            self.assertEqual(st[key], want, key)
        self.vpcd.control(0x01)
        self.vpcd.control(0x04)
        st = self.vt.wait("ready", timeout=TIMEOUT)
        self.assertEqual((st["powered"], st["ready"], st["atr_served"]), (True, True, 1))

    def test_remove_and_insert(self):
        st = self.vt.remove()
        self.assertEqual((st["connected"], st["inserted"]), (False, False))
        self.assertTrue(self.vpcd.wait_closed())
        self.vt.wait("removed", timeout=1)
        st = self.vt.insert()
        self.assertEqual((st["connected"], st["inserted"], st["connections"]), (True, True, 2))
        self.vpcd.accept()
        self.assertEqual(self.vpcd.transmit(apdu("80 01 00 00 04"))[-2:], apdu("9000"))

    def test_insert_waiting_for_the_reader(self):
        self.vt.remove()
        self.vpcd.wait_closed()
        reply = self.vt.request("insert", wait_ready=True, timeout=0.3)
        self.assertFalse(reply["ok"])       # connected, but nobody asked for the ATR
        self.assertIn("ATR", reply["error"])

    def test_insert_without_vpcd_fails(self):
        other = InProcessToken(inserted=False, listen=False)
        try:
            with VtCtl(other.port, timeout=TIMEOUT) as vt:
                reply = vt.request("insert", timeout=0.3)
                self.assertFalse(reply["ok"])
                self.assertIn("no connection to vpcd", reply["error"])
                self.assertIn("refused", reply["error"])
                self.assertTrue(vt.status()["inserted"])     # keeps trying
        finally:
            other.close()

    def test_pulled_at_the_nth_apdu(self):
        """Table: (N, execute) -> the APDUs answered, and whether the N-th
        one (a DrbgReseed, counted in GetHealthStatus) ran on the card."""
        reseed, health = apdu("80 21 00 00"), apdu("80 05 00 00 08")
        for n, execute in ((1, True), (1, False), (3, True), (3, False)):
            with self.subTest(n=n, execute=execute):
                self.vpcd.control(0x01)
                before = self.vpcd.transmit(health)[2:4]
                self.vt.clear_log()
                self.assertEqual(self.vt.pull_after(n, execute), {"ok": True, "pull_after": n, "execute": execute})
                self.assertEqual(self.vt.status()["pull_after"], n)
                for _ in range(n - 1):
                    self.assertEqual(self.vpcd.transmit(reseed), apdu("9000"))
                self.vpcd.send(reseed)
                self.assertTrue(self.vpcd.wait_closed(), "the link closes instead of a reply")
                st = self.vt.wait("removed", timeout=TIMEOUT)
                self.assertEqual((st["inserted"], st["pull_after"]), (False, None))
                log = self.vt.log()
                self.assertEqual([e.get("pulled") for e in log["entries"]],
                                 [None] * (n - 1) + ["after" if execute else "before"])
                self.assertEqual(log["controls"][-1]["event"], "removed")
                self.vt.insert()
                self.vpcd.accept()
                self.vpcd.control(0x01)
                after = self.vpcd.transmit(health)[2:4]
                ran = int.from_bytes(after, "big") - int.from_bytes(before, "big")
                self.assertEqual(ran, n if execute else n - 1)
        # Cancelled, the countdown never pulls; reset_state drops it too.
        self.vt.pull_after(1)
        self.vt.pull_after(None)
        self.assertEqual(self.vpcd.transmit(reseed), apdu("9000"))
        self.vt.pull_after(2)
        self.vt.reset_state()
        self.assertIsNone(self.vt.status()["pull_after"])
        for bad in ({"apdus": 0}, {"apdus": "3"}, {"apdus": 2, "execute": 1}, {}):
            self.assertFalse(self.vt.request("pull_after", **bad)["ok"], bad)

    def test_bounce(self):
        st = self.vt.bounce(50)
        self.assertFalse(st["connected"])    # returns once removed
        self.assertTrue(self.vpcd.wait_closed())
        self.vpcd.accept()
        st = self.vt.wait("connected", timeout=TIMEOUT)
        self.assertEqual(st["connections"], 2)
        st = self.vt.bounce(10, wait=True)
        self.assertEqual((st["connected"], st["connections"]), (True, 3))
        self.assertFalse(self.vt.request("bounce")["ok"])

    def test_remove_cancels_a_pending_bounce(self):
        self.vt.bounce(200)
        self.vt.remove()
        self.vpcd.srv.settimeout(0.5)
        with self.assertRaises(socket.timeout):
            self.vpcd.srv.accept()
        self.assertFalse(self.vt.status()["inserted"])

    def test_override_replaces_replies_in_order(self):
        self.assertEqual(self.vt.override(["6a82", "", "90"])["pending"], 3)
        self.assertEqual(self.vt.override(["0000"])["pending"], 4)
        replies = [self.vpcd.transmit(apdu("80 06 05 00")) for _ in range(5)]
        self.assertEqual(replies, [apdu("6a82"), b"", apdu("90"), apdu("0000"), apdu("9000")])
        # overridden commands are not run: only the fifth changed the mode
        entries = self.vt.log()["entries"]
        self.assertEqual([e["override"] for e in entries], [True] * 4 + [False])
        self.assertEqual(self.vt.dump()["state"]["working_mode"], 5)
        self.vt.override(["6a82"])
        self.assertEqual(self.vt.override(["6581"], append=False)["pending"], 1)
        self.assertEqual(self.vpcd.transmit(apdu("80 16 00 00")), apdu("6581"))
        self.assertFalse(self.vt.request("override", replies=["zz"])["ok"])
        self.assertFalse(self.vt.request("override", replies="6a82")["ok"])
        self.assertEqual(self.vt.status()["pending_overrides"], 0)

    def test_log_is_byte_exact_and_clears(self):
        cmds = [apdu("80 01 00 00 04"), apdu("80 FF 00 00"), apdu("80 01 00 00 05 01")]
        replies = [self.vpcd.transmit(c) for c in cmds]
        log = self.vt.log()
        self.assertEqual([(e["command"], e["reply"]) for e in log["entries"]],
                         [(c.hex(), r.hex()) for c, r in zip(cmds, replies)])
        seqs = [e["seq"] for e in log["entries"]]
        self.assertEqual(seqs, sorted(seqs))
        self.assertEqual(log["dropped"], 0)
        self.assertEqual(len(self.vt.log(clear=True)["entries"]), 3)
        self.assertEqual(self.vt.log()["entries"], [])
        self.vpcd.transmit(cmds[0])
        self.vt.clear_log()
        self.assertEqual(self.vt.log(), {"ok": True, "entries": [], "controls": [], "dropped": 0})

    def test_set_dump_and_reset_state(self):
        self.vt.set(fs_free_space=4096, chip_id="A1B2", working_mode=9,
                    health_status="01020304050607", self_test_fail=True)
        self.assertEqual(self.vpcd.transmit(apdu("80 01 00 00 04")).hex(), "000010009000")
        self.assertEqual(self.vpcd.transmit(apdu("80 03 00 00 00")).hex(), "a1b29000")
        self.assertEqual(self.vpcd.transmit(apdu("80 05 00 00 08")).hex(), "010203040506079000")
        self.assertEqual(self.vpcd.transmit(apdu("80 16 00 00")).hex(), "6581")
        dump = self.vt.dump()
        self.assertEqual(dump["state"]["working_mode"], 9)
        self.assertEqual(dump["hooks"], {"health_status": "01020304050607", "self_test_fail": True})
        self.assertFalse(dump["volatile"]["sm_channel"])
        with open(self.state_path) as f:
            self.assertEqual(json.load(f)["fs_free_space"], 4096)
        self.vt.set(health_status=None, self_test_fail=False)
        self.assertEqual(self.vt.dump()["hooks"], {})
        self.vt.set(health_status="00")
        self.vt.override(["9000"])
        self.assertEqual(self.vt.reset_state()["state"], defaults())
        dump = self.vt.dump()
        self.assertEqual((dump["state"], dump["hooks"]), (defaults(), {}))
        self.assertEqual(self.vt.status()["pending_overrides"], 0)
        with open(self.state_path) as f:
            self.assertEqual(json.load(f), defaults())

    def test_bad_set_changes_nothing(self):
        before = self.vt.dump()
        for fields in [{}, {"no_such": 1}, {"fs_free_space": -1}, {"fs_free_space": 2 ** 32},
                       {"fs_free_space": True}, {"working_mode": 256}, {"chip_id": "xyz"},
                       {"chip_id": 12}, {"self_test_fail": 1},
                       {"working_mode": 3, "chip_id": "not hex"}]:
            with self.subTest(fields=fields):
                with self.assertRaises(VtCtlError):
                    self.vt.set(**fields)
        self.assertEqual(self.vt.dump(), before)

    def test_bad_requests_keep_the_channel_usable(self):
        sock = socket.create_connection(("127.0.0.1", self.t.port), timeout=TIMEOUT)
        f = sock.makefile("rwb")
        for line in [b"not json", b"[1]", b'{"cmd": 5}', b'{"cmd": "nope"}', b"\xff\xfe",
                     b'{"cmd": "wait", "until": "never"}', b'{"cmd": "insert", "timeout": "x"}']:
            with self.subTest(line=line):
                f.write(line + b"\n")
                f.flush()
                reply = json.loads(f.readline())
                self.assertFalse(reply["ok"])
                self.assertIsInstance(reply["error"], str)
        f.write(b'\n{"cmd": "ping", "id": 17}\n')
        f.flush()
        self.assertEqual(json.loads(f.readline()), {"ok": True, "pong": True,
                                                    "pid": os.getpid(), "id": 17})
        f.close()
        sock.close()

    def test_wait_times_out(self):
        reply = self.vt.request("wait", until="removed", timeout=0.2)
        self.assertFalse(reply["ok"])

    def test_quit_stops_the_token(self):
        self.assertEqual(self.vt.quit(), {"ok": True})
        self.assertTrue(self.t.token.wait(TIMEOUT))


if __name__ == "__main__":
    unittest.main()
