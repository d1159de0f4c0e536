"""helper_list_readers of SolvantaMgr.dll when the PC/SC service goes away.

- A bridge of the test's own (another port) lets the service stop once
  under the first listing and drops that context (--service-stops-once):
  the library establishes a new context once and lists the readers.
- pcscd stopped: the listing gives a PC/SC error, never an empty list.
  Only a pcscd that this run's card environment started may be stopped;
  with another one that case is skipped and says so. pcscd is started again
  through the harness afterwards.

    list_readers_e2e_test.py PROGRAM.exe BRIDGE CARD_ENV_DIR
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "harness"))

import card_env  # noqa: E402

PROGRAM = BRIDGE = WORKDIR = None
CARD_READER = "Solvanta Token 00 00"
SPARE_READER = "Solvanta Token 00 01"
WINE_TIMEOUT = 900


def run_program(env_extra=None):
    env = dict(os.environ)
    env.update(env_extra or {})
    out = subprocess.run(["bash", os.path.join(TOP, "scripts", "wine-run.sh"), PROGRAM], env=env,
                         capture_output=True, text=True, timeout=WINE_TIMEOUT)
    if out.returncode != 0:
        raise AssertionError("the program failed (%d): %s %s" % (out.returncode, out.stdout, out.stderr))
    rv, readers = None, []
    for line in out.stdout.splitlines():
        if line.startswith("rv="):
            rv = int(line[3:], 16)
        elif line.startswith("reader="):
            readers.append(line[7:])
        elif line == "malformed":
            raise AssertionError("a list without its double NUL: " + out.stdout)
    if rv is None:
        raise AssertionError("no result printed: " + out.stdout + out.stderr)
    return rv, readers


def until(what, predicate, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("no " + what + " within %d s" % timeout)


class ListReaders(unittest.TestCase):
    def test_a_service_that_stops_once_is_met_with_one_new_context(self):
        with tempfile.TemporaryDirectory() as tmp:
            ready = os.path.join(tmp, "ready")
            log = open(os.path.join(tmp, "bridge.log"), "wb")
            bridge = subprocess.Popen([BRIDGE, "--port", "0", "--ready-file", ready, "--service-stops-once"],
                                      stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                      start_new_session=True)
            try:
                until("bridge", lambda: os.path.exists(ready) or bridge.poll() is not None)
                self.assertIsNone(bridge.poll(), "the bridge exited")
                port = open(ready).read().strip()
                rv, readers = run_program({"SOLVANTA_PCSC_BRIDGE_PORT": port})
                self.assertEqual(rv, 0, "listed after one new context")
                self.assertIn(CARD_READER, readers)
                self.assertIn(SPARE_READER, readers)
            finally:
                bridge.send_signal(signal.SIGTERM)
                bridge.wait(timeout=10)
                log.close()

    def test_with_pcscd_stopped_the_list_is_a_pcsc_error(self):
        with open(os.path.join(WORKDIR, "card-env.json")) as f:
            env = json.load(f)
        if not env.get("pcscd_started_here"):
            self.skipTest("pcscd pid %s was not started by this card environment: it is not ours to stop"
                          % env.get("pcscd_pid"))
        pid = env["pcscd_pid"]
        try:
            os.kill(pid, signal.SIGTERM)
            until("end of pcscd", lambda: not card_env.alive(pid, "pcscd"))
            rv, readers = run_program()
            self.assertEqual(readers, [])
            self.assertNotEqual(rv, 0)
            self.assertEqual(rv & 0xFFFF0000, 0x80100000, "a PC/SC code: 0x%08x" % rv)
        finally:
            card_env.start(WORKDIR)
        rv, readers = run_program()
        self.assertEqual(rv, 0, "the service is back")
        self.assertIn(CARD_READER, readers)


if __name__ == "__main__":
    PROGRAM, BRIDGE, WORKDIR = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
