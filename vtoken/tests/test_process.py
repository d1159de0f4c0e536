"""vtoken.py and vtctl.py as programs: persistence across restarts, --fresh, exits."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import unittest

import support  # noqa: F401
from support import PYTHON, TIMEOUT, VTCTL, VTOKEN, FakeVpcd, TokenProcess, apdu

from vtctl import VtCtl


def vtctl(port, *args):
    p = subprocess.run([PYTHON, VTCTL, "--control-port", str(port)] + list(args),
                       capture_output=True, text=True, timeout=TIMEOUT)
    return p.returncode, p.stdout, p.stderr


class ProcessTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vtoken-proc-test-")
        self.state = os.path.join(self.dir, "card-state.json")
        self.vpcd = FakeVpcd()
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.kill()
        self.vpcd.close()
        shutil.rmtree(self.dir)

    def start(self, *extra):
        p = TokenProcess(self.vpcd.port, self.state, extra)
        self.procs.append(p)
        self.vpcd.accept()
        return p

    def quit(self, p):
        VtCtl(p.port, timeout=TIMEOUT).quit()
        self.assertEqual(p.wait(), 0)

    def test_state_survives_restart_and_fresh_discards_it(self):
        p = self.start()
        self.assertEqual(self.vpcd.transmit(apdu("80 06 2A 00")), apdu("9000"))
        self.assertEqual(self.vpcd.transmit(apdu("80 16 00 00")), apdu("9000"))
        self.quit(p)
        self.assertTrue(self.vpcd.wait_closed())

        p = self.start()
        self.assertEqual(self.vpcd.transmit(apdu("80 05 00 00 08")).hex(), "002a0000000000019000")
        self.quit(p)

        p = self.start("--fresh")
        self.assertEqual(self.vpcd.transmit(apdu("80 05 00 00 08")).hex(), "00000000000000009000")
        with open(self.state) as f:
            self.assertEqual(json.load(f)["working_mode"], 0)
        self.quit(p)

    def test_sigterm_exits_cleanly(self):
        p = self.start()
        p.proc.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(), 0)
        self.assertTrue(self.vpcd.wait_closed())

    def test_removed_start_and_custom_atr(self):
        p = TokenProcess(self.vpcd.port, None, ["--removed", "--atr", "3b8080010101"])
        self.procs.append(p)
        with VtCtl(p.port, timeout=TIMEOUT) as vt:
            st = vt.status()
            self.assertEqual((st["inserted"], st["connected"], st["state_file"]),
                             (False, False, None))
            vt.insert()
            self.vpcd.accept()
            self.assertEqual(self.vpcd.control(0x04), apdu("3b8080010101"))
        self.quit(p)

    def test_bad_state_file_and_arguments(self):
        with open(self.state, "w") as f:
            f.write("{broken")
        for args, needle in [(["--state", self.state], "cannot read card state"),
                             (["--atr", "zz"], "--atr"),
                             (["--atr", "3b"], "--atr")]:
            with self.subTest(args=args):
                r = subprocess.run([PYTHON, VTOKEN, "--port", str(self.vpcd.port),
                                    "--control-port", "0"] + args,
                                   capture_output=True, text=True, timeout=TIMEOUT)
                self.assertEqual(r.returncode, 2)
                self.assertIn(needle, r.stderr)

    def test_vtctl_cli(self):
        p = self.start()
        rc, out, _ = vtctl(p.port, "status")
        self.assertEqual(rc, 0)
        self.assertTrue(json.loads(out)["connected"])
        rc, out, _ = vtctl(p.port, "set", "health_status=0102030405060708", "working_mode=3")
        self.assertEqual(rc, 0)
        self.assertEqual(json.loads(out)["hooks"]["health_status"], "0102030405060708")
        self.assertEqual(self.vpcd.transmit(apdu("80 05 00 00 08")).hex(),
                         "01020304050607089000")
        self.assertEqual(vtctl(p.port, "override", "6a82", "")[0], 0)
        self.assertEqual(self.vpcd.transmit(apdu("80 01 00 00 04")), apdu("6a82"))
        self.assertEqual(self.vpcd.transmit(apdu("80 01 00 00 04")), b"")
        rc, out, _ = vtctl(p.port, "log")
        self.assertEqual([e["reply"] for e in json.loads(out)["entries"]][-2:], ["6a82", ""])
        rc, out, _ = vtctl(p.port, "raw", '{"cmd": "dump"}')
        self.assertEqual(json.loads(out)["state"]["working_mode"], 3)
        rc, out, _ = vtctl(p.port, "set", "bogus=1")
        self.assertEqual(rc, 1)
        self.assertFalse(json.loads(out)["ok"])
        rc, out, _ = vtctl(p.port, "remove")
        self.assertEqual((rc, json.loads(out)["connected"]), (0, False))
        self.assertEqual(vtctl(p.port, "quit")[0], 0)
        self.assertEqual(p.wait(), 0)
        rc, _, err = vtctl(p.port, "ping")
        self.assertEqual(rc, 2)
        self.assertIn("cannot talk", err)


if __name__ == "__main__":
    unittest.main()
