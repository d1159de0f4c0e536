"""Self-test of the card environment against the real pcscd and vpcd.

    /usr/bin/python3 -m unittest discover -s tests/harness

Takes the machine-wide card lock (unless a parent process holds it), starts the
environment in a temporary workdir and stops it at the end.  Skipped when
pcscd or the vpcd driver is not installed.
"""

import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import card_env  # noqa: E402
import pcsc  # noqa: E402
import smoke_pcsc  # noqa: E402
from vtctl import VtCtl  # noqa: E402

VPCD_DRIVER = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
READER = card_env.READER


def available() -> bool:
    return shutil.which("pcscd") is not None and os.path.exists(VPCD_DRIVER)


@unittest.skipUnless(available(), "pcscd or vpcd not installed")
class CardEnvTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lock = card_env.card_lock()
        cls.lock.__enter__()
        cls.workdir = tempfile.mkdtemp(prefix="card-env-selftest-")
        cls.quiet = contextlib.redirect_stdout(io.StringIO())

    @classmethod
    def tearDownClass(cls):
        try:
            with cls.quiet:
                card_env.stop(cls.workdir)
            shutil.rmtree(cls.workdir, ignore_errors=True)
        finally:
            cls.lock.__exit__(None, None, None)

    def start(self, fresh=True):
        with self.quiet:
            return card_env.start(self.workdir, fresh=fresh)

    def stop(self):
        with self.quiet:
            card_env.stop(self.workdir)

    def setUp(self):
        self.env = self.start()
        self.vt = VtCtl(self.env["control_port"], timeout=15).connect()
        self.ctx = pcsc.Context()

    def tearDown(self):
        self.ctx.close()
        self.vt.close()

    def transmit(self, hexapdu: str) -> bytes:
        with self.ctx.connect(READER) as card:
            return card.transmit(bytes.fromhex(hexapdu))

    def test_start_twice_reuses_what_runs(self):
        again = self.start(fresh=False)
        for key in ("vtoken_pid", "pcscd_pid", "reader", "control_port", "atr"):
            self.assertEqual(again[key], self.env[key], key)
        with open(os.path.join(self.workdir, "card-env.json")) as f:
            self.assertEqual(json.load(f)["vtoken_pid"], self.env["vtoken_pid"])
        self.assertIn(READER, self.ctx.readers())
        self.assertIn(card_env.SPARE_READER, self.ctx.readers())

    def test_smoke(self):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            rc = smoke_pcsc.main(["--count", "200"])
        self.assertEqual(rc, 0, out.getvalue())
        self.assertIn("median", out.getvalue())

    def test_t0_is_refused(self):
        with self.assertRaises(pcsc.PcscError):
            self.ctx.connect(READER, pcsc.SCARD_PROTOCOL_T0)

    def test_removal_and_insertion_reach_pcsc(self):
        card = self.ctx.connect(READER)
        self.vt.remove()
        gone, _ = self.ctx.wait_for(READER, want_present=False, timeout=3)
        self.assertTrue(gone)
        with self.assertRaises(pcsc.PcscError) as cm:
            card.transmit(bytes.fromhex("8001000004"))
        self.assertEqual(cm.exception.rv, pcsc.SCARD_W_REMOVED_CARD)
        card.disconnect()
        self.vt.insert()
        back, _ = self.ctx.wait_for(READER, want_present=True, timeout=3)
        self.assertTrue(back)
        self.assertEqual(self.transmit("8001000004")[-2:], b"\x90\x00")
        self.vt.bounce(1000)
        self.assertTrue(self.ctx.wait_for(READER, want_present=False, timeout=3)[0])
        self.assertTrue(self.ctx.wait_for(READER, want_present=True, timeout=4)[0])

    def test_reset_clears_volatile_state_only(self):
        self.assertEqual(self.transmit("80065A00"), b"\x90\x00")
        self.vt.clear_log()
        with self.ctx.connect(READER) as card:
            card.disconnect(pcsc.SCARD_RESET_CARD)
        self.assertEqual(self.transmit("8005000008")[1], 0x5A)
        codes = [c.get("code") for c in self.vt.log()["controls"]]
        self.assertIn("02", codes)     # pcscd's warm reset reached the card

    def test_state_survives_stop_and_start(self):
        self.assertEqual(self.transmit("80065A00"), b"\x90\x00")
        self.stop()
        self.assertFalse(os.path.exists(os.path.join(self.workdir, "vtoken.pid")))
        self.env = self.start(fresh=False)
        self.vt.close()
        self.vt = VtCtl(self.env["control_port"], timeout=15).connect()
        self.ctx.close()                # pcscd may have been restarted
        self.ctx = pcsc.Context()
        self.assertEqual(self.transmit("8005000008")[1], 0x5A)
        self.start(fresh=True)
        self.assertEqual(self.transmit("8005000008")[1], 0x00)

    def test_stop_is_idempotent(self):
        pid = self.env["vtoken_pid"]
        self.stop()
        self.stop()
        self.assertFalse(card_env.alive(pid, "vtoken.py"))
        if self.env["pcscd_started_here"]:
            self.assertFalse(card_env.alive(self.env["pcscd_pid"], "pcscd"))
        for name in ("vtoken.pid", "pcscd.pid", "card-env.json"):
            self.assertFalse(os.path.exists(os.path.join(self.workdir, name)), name)

    def test_pcscd_stopped_and_started_under_a_running_token(self):
        if not self.env["pcscd_started_here"]:
            self.skipTest("a pcscd not started here is running")
        token = self.env["vtoken_pid"]
        self.ctx.close()
        with self.quiet:
            with self.assertRaises(RuntimeError):
                with card_env.pcscd_stopped(self.workdir):
                    self.assertFalse(card_env.pcscd_accepts())
                    self.assertFalse(card_env.alive(self.env["pcscd_pid"], "pcscd"))
                    self.assertTrue(card_env.alive(token, "vtoken.py"))
                    raise RuntimeError("a failing block")
        # Back after the failing block: a new pcscd, the same token, the card in.
        self.assertTrue(card_env.pcscd_accepts())
        with open(os.path.join(self.workdir, "card-env.json")) as f:
            env = json.load(f)
        self.assertNotEqual(env["pcscd_pid"], self.env["pcscd_pid"])
        self.assertEqual(env["vtoken_pid"], token)
        self.ctx = pcsc.Context()
        self.assertEqual(self.transmit("8001000004")[-2:], b"\x90\x00")
        # Only the pcscd this workdir started is ever stopped.
        other = tempfile.mkdtemp(prefix="card-env-other-")
        try:
            with self.assertRaises(card_env.EnvError):
                card_env.stop_pcscd(other)
            self.assertTrue(card_env.pcscd_accepts())
        finally:
            shutil.rmtree(other, ignore_errors=True)

    def test_foreign_pcscd_without_our_reader_is_reported(self):
        self.stop()
        if card_env.pcscd_accepts():
            self.skipTest("a pcscd not started here is running")
        conf = tempfile.mkdtemp(prefix="foreign-readers-")
        with open(os.path.join(conf, "other"), "w") as f:
            f.write('FRIENDLYNAME "Other Reader"\nDEVICENAME /dev/null:0x9E31\n'
                    "LIBPATH %s\nCHANNELID 0x9E31\n" % VPCD_DRIVER)
        proc = subprocess.Popen(["pcscd", "-f", "-c", conf], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while not card_env.pcscd_accepts():
                self.assertLess(time.monotonic(), deadline, "foreign pcscd did not come up")
                time.sleep(0.02)
            other = tempfile.mkdtemp(prefix="card-env-foreign-")
            with self.assertRaises(card_env.EnvError) as cm, self.quiet:
                card_env.start(other, timeout=2)
            self.assertIn("no reader 'Solvanta Token 00 00'", str(cm.exception))
            self.assertIn("not started by the harness", str(cm.exception))
            self.assertFalse(os.path.exists(os.path.join(other, "pcscd.pid")))
            with self.quiet:
                card_env.stop(other)
            self.assertIsNone(proc.poll(), "stop must leave a foreign pcscd running")
            shutil.rmtree(other)
        finally:
            proc.terminate()
            proc.wait(10)
            shutil.rmtree(conf)


if __name__ == "__main__":
    unittest.main()
