"""The module shared by two processes that log in and write, read and
destroy data objects on one token at once (the eight threads on one token
are in module_road_test.cpp: Python's own lock would measure itself).

Two processes: each logs in afresh every round and writes, reads back and
destroys objects of its own, for a bounded count and time; every value
reads back intact, both see their own objects only as written, and the
user PIN keeps its full count of tries (no try lost to an interleaved
login).

Run with /usr/bin/python3 (PyKCS11 imports only there):
    concurrency_e2e_test.py <absolute path of the module> [test names]
    concurrency_e2e_test.py --worker <module> <name> <rounds> <seconds>
"""
import ctypes
import json
import os
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import token_e2e_test as base  # noqa: E402
from token_e2e_test import PyKCS11, USER_PIN, U, UserInfo  # noqa: E402

CKR_OK = 0
ROUNDS = 40
SECONDS = 30
RETRY_LIMIT = 10


def worker(module, name, rounds, seconds):
    """One process's loop; prints a JSON summary, exit 0 when all held."""
    p11 = PyKCS11.PyKCS11Lib()
    p11.load(module)
    base.present_slots(p11)
    s = p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    done, bad, deadline = 0, [], time.monotonic() + seconds
    while done < rounds and time.monotonic() < deadline:
        s.login(USER_PIN)
        flags = p11.getTokenInfo(0).flags
        if flags & (PyKCS11.CKF_USER_PIN_COUNT_LOW | PyKCS11.CKF_USER_PIN_LOCKED):
            bad.append("round %d: user PIN flags 0x%x after a good login" % (done, flags))
        value = os.urandom(1 + (done * 97 + len(name) * 13) % 900)
        label = "%s-%d" % (name, done)
        s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True),
                        (PyKCS11.CKA_PRIVATE, done % 2 == 1), (PyKCS11.CKA_LABEL, label),
                        (PyKCS11.CKA_VALUE, value)])
        found = s.findObjects([(PyKCS11.CKA_LABEL, label)])
        if len(found) != 1:
            bad.append("%s: found %d times" % (label, len(found)))
        elif bytes(s.getAttributeValue(found[0], [PyKCS11.CKA_VALUE], True)[0]) != value:
            bad.append("%s: another value read back" % label)
        else:
            # Rewritten to another length, read again, then destroyed.
            value = value[::-1] + b"+"
            s.setAttributeValue(found[0], [(PyKCS11.CKA_VALUE, value)])
            again = s.findObjects([(PyKCS11.CKA_LABEL, label)])
            if len(again) != 1 or bytes(s.getAttributeValue(again[0], [PyKCS11.CKA_VALUE], True)[0]) != value:
                bad.append("%s: the rewritten value did not read back" % label)
            s.destroyObject(again[0] if again else found[0])
        s.logout()
        done += 1
    s.login(USER_PIN)
    left = [o for o in s.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA)])
            if s.getAttributeValue(o, [PyKCS11.CKA_LABEL])[0].startswith(name + "-")]
    if left:
        bad.append("%d objects of %s left after their destruction" % (len(left), name))
    print(json.dumps({"name": name, "rounds": done, "bad": bad}), flush=True)
    return 0 if not bad and done > 0 else 1


class Shared(base.Base):
    def setUp(self):
        super().setUp()
        self.init_token("Shared")

    def user_info(self):
        ui = UserInfo()
        self.assertEqual(self.lib.M_GetUserInfo(U(0), U(1), ctypes.byref(ui)), CKR_OK)
        return ui.retriesLeft, ui.retryLimit

    def test_two_processes_write_and_read_on_one_token(self):
        p11 = self.loaded()
        self.assertEqual(self.user_info(), (RETRY_LIMIT, RETRY_LIMIT))
        procs = [subprocess.Popen([sys.executable, os.path.abspath(__file__), "--worker", base.MODULE, name,
                                   str(ROUNDS), str(SECONDS)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True) for name in ("alpha", "beta")]
        results = []
        for proc in procs:
            out, err = proc.communicate(timeout=SECONDS + 120)
            results.append((proc.returncode, out, err))
        for code, out, err in results:
            print(out.strip(), flush=True)
            self.assertEqual(code, 0, out + err)
            summary = json.loads(out.strip().splitlines()[-1])
            self.assertGreater(summary["rounds"], 0)
            self.assertEqual(summary["bad"], [])
        # A fresh look at the card: the tries are all there, nothing left.
        del p11
        p11 = self.loaded()
        self.assertEqual(self.user_info(), (RETRY_LIMIT, RETRY_LIMIT))
        s = p11.openSession(0)
        s.login(USER_PIN)
        self.assertEqual(s.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA)]), [])


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        sys.exit(worker(sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5])))
    base.MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
