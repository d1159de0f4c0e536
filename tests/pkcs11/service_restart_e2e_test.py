"""The PC/SC service goes away under an open session and comes back.

pcscd is stopped while the module holds a logged-in session: the calls meet
a CK_RV error (never a crash or a hang); pcscd is started again through
the harness (tests/harness/card_env.py, the token keeps running), and the
module's slot monitor finds the token again without a new C_Initialize: a
new session logs in and reads the object written before.

Only a pcscd that the card environment of this run started may be stopped:
with a pcscd of another origin the test is skipped and says so.

Run with /usr/bin/python3 (PyKCS11 imports only there):
    service_restart_e2e_test.py <absolute path of the module> <card-env workdir> [test names]
"""
import json
import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "harness"))

import card_env  # noqa: E402
import token_e2e_test as base  # noqa: E402
from token_e2e_test import PyKCS11, USER_PIN  # noqa: E402

WORKDIR = None
GONE_CODES = (0x30, 0x32, 0xE0)  # CKR_DEVICE_ERROR, CKR_DEVICE_REMOVED, CKR_TOKEN_NOT_PRESENT


def until(what, predicate, timeout=20):
    """Polls predicate (bounded) until it returns a value that is not None."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value is not None:
            return value
        time.sleep(0.05)
    raise AssertionError("no " + what + " within %d s" % timeout)


class ServiceRestart(base.Base):
    def setUp(self):
        with open(os.path.join(WORKDIR, "card-env.json")) as f:
            env = json.load(f)
        if not env.get("pcscd_started_here"):
            self.skipTest("pcscd pid %s was not started by this card environment: it is not ours to stop"
                          % env.get("pcscd_pid"))
        self.pcscd_pid = env["pcscd_pid"]
        super().setUp()
        self.init_token("Service")

    def tearDown(self):
        # Whatever happened, the service is back for the next test.
        card_env.start(WORKDIR)
        super().tearDown()

    def test_calls_fail_meanwhile_and_the_token_returns(self):
        p11 = self.loaded()
        s = p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
        s.login(USER_PIN)
        s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True),
                        (PyKCS11.CKA_LABEL, "survivor"), (PyKCS11.CKA_VALUE, b"kept across the restart")])

        self.assertTrue(card_env.stop_process(self.pcscd_pid, "pcscd", 10.0), "pcscd does not stop")

        def failing():
            try:
                s.getAttributeValue(s.findObjects([(PyKCS11.CKA_LABEL, "survivor")])[0], [PyKCS11.CKA_LABEL])
                p11.getTokenInfo(0)
            except PyKCS11.PyKCS11Error as e:
                return e.value
            return None
        code = until("failing call while pcscd is away", failing)
        self.assertIn(code, GONE_CODES + (PyKCS11.CKR_SESSION_HANDLE_INVALID,))

        env = card_env.start(WORKDIR)
        self.assertTrue(env["pcscd_started_here"])

        def back():
            try:
                if 0 not in p11.getSlotList(tokenPresent=True):
                    return None
                return p11.getTokenInfo(0)
            except PyKCS11.PyKCS11Error as e:
                self.assertIn(e.value, GONE_CODES + (PyKCS11.CKR_BUFFER_TOO_SMALL,))
                return None
        info = until("token after the restart", back)
        self.assertEqual(info.label.rstrip(), "Service")
        fresh = p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION)
        fresh.login(USER_PIN)
        [obj] = fresh.findObjects([(PyKCS11.CKA_LABEL, "survivor")])
        self.assertEqual(bytes(fresh.getAttributeValue(obj, [PyKCS11.CKA_VALUE], True)[0]),
                         b"kept across the restart")


if __name__ == "__main__":
    base.MODULE, WORKDIR = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
