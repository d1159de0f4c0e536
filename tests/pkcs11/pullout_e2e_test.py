"""The token pulled out at every APDU of every operation that writes it.

For each operation the test first counts the APDUs it sends (through the
virtual token's log), then runs it once per N from 1 to that count with the
card pulled at the N-th APDU, once with the pulled command run by the card
(its change kept, its reply lost) and once with it never run. After
re-insertion and a fresh C_Initialize: the token loads, every object that
existed before is found with its attributes and value unchanged, and the
operation's own change is wholly there or wholly absent. The call that meets
the removal returns CKR_DEVICE_ERROR or CKR_DEVICE_REMOVED; a watchdog ends
the run if any call hangs. The matrix (operation x N -> outcome) is printed.

Run with /usr/bin/python3 (PyKCS11 imports only there):
    pullout_e2e_test.py <absolute path of the module> [test names]
"""
import gc
import os
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import token_e2e_test as base  # noqa: E402
from token_e2e_test import PyKCS11, USER_PIN, U  # noqa: E402

CKR_DEVICE_ERROR = 0x30
CKR_DEVICE_REMOVED = 0x32
CKR_PIN_INCORRECT = 0xA0
REMOVAL_CODES = (CKR_DEVICE_ERROR, CKR_DEVICE_REMOVED)
NEW_PIN = "55556666"
LABEL = "Pulled"
NEW_LABEL = "Relabelled"
TRIAL_SECONDS = 60
# An operation whose mechanism or object class the module does not serve yet.
NOT_YET = (0x54, 0x70)  # CKR_FUNCTION_NOT_SUPPORTED, CKR_MECHANISM_INVALID


class Unavailable(Exception):
    def __init__(self, code):
        super().__init__(code)
        self.code = code


def pattern(n, seed):
    return bytes((i * 11 + seed) & 0xFF for i in range(n))


def data_template(label, value, private=False):
    return [(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_PRIVATE, private),
            (PyKCS11.CKA_LABEL, label), (PyKCS11.CKA_APPLICATION, "app-" + label), (PyKCS11.CKA_VALUE, value)]


def key_template(label, value):
    return [(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_AES),
            (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_LABEL, label), (PyKCS11.CKA_SENSITIVE, False),
            (PyKCS11.CKA_EXTRACTABLE, True), (PyKCS11.CKA_ID, label.encode()), (PyKCS11.CKA_VALUE, value)]


# What each object is compared on, by class.
COMPARED = {
    PyKCS11.CKO_CERTIFICATE: (PyKCS11.CKA_LABEL, PyKCS11.CKA_CERTIFICATE_TYPE, PyKCS11.CKA_VALUE),
    PyKCS11.CKO_DATA: (PyKCS11.CKA_LABEL, PyKCS11.CKA_PRIVATE, PyKCS11.CKA_APPLICATION, PyKCS11.CKA_VALUE),
    PyKCS11.CKO_SECRET_KEY: (PyKCS11.CKA_LABEL, PyKCS11.CKA_KEY_TYPE, PyKCS11.CKA_ID, PyKCS11.CKA_SENSITIVE,
                             PyKCS11.CKA_VALUE),
}

# The objects on the token before every operation.
BEFORE = [
    data_template("keep-pub", pattern(300, 1)),
    data_template("keep-priv", pattern(40, 2), private=True),
    data_template("victim", pattern(200, 3)),
    key_template("keep-key", pattern(16, 4)),
    key_template("victim-key", pattern(32, 5)),
]


def snapshot(session):
    """Every object the user sees: {label: [(class, compared values)]}."""
    out = {}
    for obj in session.findObjects([]):
        cls = session.getAttributeValue(obj, [PyKCS11.CKA_CLASS])[0]
        types = COMPARED.get(cls, (PyKCS11.CKA_LABEL,))
        values = session.getAttributeValue(obj, list(types), True)
        values = tuple(bytes(v) if isinstance(v, (list, tuple)) else v for v in values)
        label = values[0] if isinstance(values[0], str) else bytes(values[0]).decode()
        out.setdefault(label, []).append((cls, values))
    return out


class Watchdog:
    """Ends the process when a trial outlives its time: a hung call."""

    def __init__(self):
        self._deadline = None
        self._what = ""
        self._lock = threading.Lock()
        threading.Thread(target=self._run, daemon=True).start()

    def arm(self, what, seconds=TRIAL_SECONDS):
        with self._lock:
            self._deadline, self._what = time.monotonic() + seconds, what

    def disarm(self):
        with self._lock:
            self._deadline = None

    def _run(self):
        while True:
            time.sleep(0.5)
            with self._lock:
                if self._deadline is not None and time.monotonic() > self._deadline:
                    print("HANG: %s did not return within %d s" % (self._what, TRIAL_SECONDS), flush=True)
                    os._exit(3)


# ---- the operations --------------------------------------------------------
# Each is (name, run, check): run(ctx) performs it on a logged-in session;
# check(test, before, after, ctx) says what was left: "absent" or "whole".


def find_one(s, label):
    [obj] = s.findObjects([(PyKCS11.CKA_LABEL, label)])
    return obj


def own_object(test, before, after, label, expected):
    """The operation's object: absent, or there once with its values."""
    found = after.get(label, [])
    if not found:
        return "absent"
    test.assertEqual(found, expected, label + ": half there")
    return "whole"


def unchanged(test, before, after, skip=()):
    for label, entries in before.items():
        if label not in skip:
            test.assertEqual(after.get(label), entries, label + " changed")


# The templates of the objects the create operations make.
NEW_OBJECTS = {"new-data": data_template("new-data", pattern(500, 7)), "new-key": key_template("new-key", pattern(24, 8))}


def op_create(label):
    def run(ctx):
        ctx.session.createObject(NEW_OBJECTS[label])
    return run


def check_create(label):
    def check(test, before, after, ctx):
        unchanged(test, before, after)
        test.assertLessEqual(set(after), set(before) | {label})
        return own_object(test, before, after, label, ctx.expected[label])
    return check


def op_destroy_data(ctx):
    ctx.session.destroyObject(find_one(ctx.session, "victim"))


def check_destroy(label):
    def check(test, before, after, ctx):
        unchanged(test, before, after, skip=(label,))
        test.assertLessEqual(set(after), set(before))
        return "still" if own_object(test, before, after, label, before[label]) == "whole" else "gone"
    return check


def op_rewrite(value):
    def run(ctx):
        ctx.session.setAttributeValue(find_one(ctx.session, "victim"), [(PyKCS11.CKA_VALUE, value)])
    return run


def check_rewrite(value):
    def check(test, before, after, ctx):
        unchanged(test, before, after, skip=("victim",))
        test.assertEqual(set(after), set(before))
        [(cls, values)] = after["victim"]
        old = before["victim"][0][1]
        test.assertEqual(values[:-1], old[:-1])
        test.assertIn(values[-1], (old[-1], value), "victim: a value that was never written")
        return "old" if values[-1] == old[-1] else "new"
    return check


def op_destroy_key(ctx):
    ctx.session.destroyObject(find_one(ctx.session, "victim-key"))


def op_change_pin(ctx):
    ctx.session.setPin(USER_PIN, NEW_PIN)


def check_change_pin(test, before, after, ctx):
    unchanged(test, before, after)
    test.assertEqual(set(after), set(before))
    return ctx.pin_used


def op_set_label(ctx):
    rv = ctx.test.lib.M_SetTokenLabel(U(ctx.session.session.value()), NEW_LABEL.encode())
    if rv != 0:
        raise PyKCS11.PyKCS11Error(rv)


def check_set_label(test, before, after, ctx):
    unchanged(test, before, after)
    label = ctx.token_label.rstrip()
    test.assertIn(label, (LABEL, NEW_LABEL))
    return "old" if label == LABEL else "new"


def certificate(name):
    """A self-signed X.509 certificate made with python3-cryptography: its
    DER and its subject's DER."""
    import datetime
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    now = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject).public_key(key.public_key())
            .serial_number(7).not_valid_before(now).not_valid_after(now + datetime.timedelta(days=365))
            .sign(key, hashes.SHA256()))
    return cert.public_bytes(serialization.Encoding.DER), subject.public_bytes()


def cert_template(label):
    der, subject = certificate(label)
    return [(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE), (PyKCS11.CKA_CERTIFICATE_TYPE, PyKCS11.CKC_X_509),
            (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_LABEL, label), (PyKCS11.CKA_VALUE, der),
            (PyKCS11.CKA_SUBJECT, subject)]


def op_write_cert(ctx):
    ctx.session.createObject(ctx.test.new_cert)


def check_write_cert(test, before, after, ctx):
    unchanged(test, before, after)
    test.assertLessEqual(set(after), set(before) | {"new-cert"})
    found = after.get("new-cert", [])
    if not found:
        return "absent"
    [(cls, values)] = found
    test.assertEqual(values[2], bytes(ctx.test.new_cert[4][1]), "new-cert: half written")
    return "whole"


def op_delete_cert(ctx):
    if ctx.test.victim_cert is None:
        raise PyKCS11.PyKCS11Error(NOT_YET[0])
    ctx.session.destroyObject(find_one(ctx.session, "victim-cert"))


def op_generate_pair(ctx):
    pub = [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_LABEL, "new-pair"), (PyKCS11.CKA_MODULUS_BITS, 2048),
           (PyKCS11.CKA_PUBLIC_EXPONENT, (1, 0, 1)), (PyKCS11.CKA_VERIFY, True)]
    priv = [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_LABEL, "new-pair"), (PyKCS11.CKA_PRIVATE, True),
            (PyKCS11.CKA_SIGN, True)]
    ctx.session.generateKeyPair(pub, priv, PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS_KEY_PAIR_GEN))


def check_generate_pair(test, before, after, ctx):
    unchanged(test, before, after)
    classes = sorted(cls for cls, _ in after.get("new-pair", []))
    test.assertIn(classes, ([], [PyKCS11.CKO_PUBLIC_KEY, PyKCS11.CKO_PRIVATE_KEY]), "a half-made key pair")
    return "whole" if classes else "absent"


class Context:
    def __init__(self, test, session):
        self.test, self.session = test, session
        self.expected = test.expected
        self.pin_used = None
        self.token_label = None


class Pullout(base.Base):
    OPERATIONS = [
        ("create data object", op_create("new-data"), check_create("new-data")),
        ("destroy data object", op_destroy_data, check_destroy("victim")),
        ("rewrite value shorter", op_rewrite(pattern(60, 9)), check_rewrite(pattern(60, 9))),
        ("rewrite value same length", op_rewrite(pattern(200, 10)), check_rewrite(pattern(200, 10))),
        ("rewrite value longer", op_rewrite(pattern(1500, 11)), check_rewrite(pattern(1500, 11))),
        ("create secret key", op_create("new-key"), check_create("new-key")),
        ("destroy secret key", op_destroy_key, check_destroy("victim-key")),
        ("change user PIN", op_change_pin, check_change_pin),
        ("set label", op_set_label, check_set_label),
        ("generate RSA key pair", op_generate_pair, check_generate_pair),
        ("write certificate", op_write_cert, check_write_cert),
        ("delete certificate", op_delete_cert, check_destroy("victim-cert")),
    ]

    @classmethod
    def setUpClass(cls):
        cls.watchdog = Watchdog()

    def setUp(self):
        super().setUp()
        self.init_token(LABEL)
        p11 = self.loaded()
        s = p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
        s.login(USER_PIN)
        for tmpl in BEFORE:
            s.createObject(tmpl)
        # A certificate on the token once the module stores them.
        self.new_cert, self.victim_cert = cert_template("new-cert"), cert_template("victim-cert")
        try:
            s.createObject(self.victim_cert)
        except PyKCS11.PyKCS11Error as e:
            self.assertIn(e.value, NOT_YET)
            self.victim_cert = None
        # What a whole new object reads back as, made on the side and dropped.
        for tmpl in NEW_OBJECTS.values():
            s.createObject(tmpl)
        made = snapshot(s)
        self.expected = {k: made[k] for k in ("new-data", "new-key")}
        for label in self.expected:
            s.destroyObject(find_one(s, label))
        self.before = snapshot(s)
        self.assertEqual(set(self.before) - {"victim-cert"}, {t[3][1] for t in BEFORE})
        s.logout()
        s.closeSession()
        del s, p11
        gc.collect()
        self.vt.remove()
        self.baseline = self.vt.dump()["state"]

    # One fresh module in this process: C_Initialize, the user's session.
    def open(self, pins=(USER_PIN,)):
        p11 = PyKCS11.PyKCS11Lib()
        p11.load(base.MODULE)
        self.assertEqual(base.present_slots(p11), [0])
        s = p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
        used = None
        for pin in pins:
            try:
                s.login(pin)
                used = pin
                break
            except PyKCS11.PyKCS11Error as e:
                self.assertEqual(e.value, CKR_PIN_INCORRECT, "login")
        self.assertIsNotNone(used, "neither PIN opens the token")
        return p11, s, used

    def restore(self):
        """The token as it was before the operation, inserted."""
        if self.vt.status()["inserted"]:
            self.vt.remove()
        self.vt.call("load_state", state=self.baseline)
        self.vt.clear_log()
        self.vt.insert(wait_ready=True)

    def trial(self, run, check, pull, execute, whole=None):
        """One run with the card pulled at the pull-th APDU (None: not
        pulled); the outcome text, and the APDUs the run sent. whole is the
        outcome of the operation done to the end."""
        self.restore()
        p11, s, _ = self.open()
        ctx = Context(self, s)
        self.vt.clear_log()
        if pull is not None:
            self.vt.pull_after(pull, execute=execute)
        code = 0
        try:
            run(ctx)
        except PyKCS11.PyKCS11Error as e:
            code = e.value
        sent = len(self.vt.log()["entries"])
        if pull is None:
            if code in NOT_YET:
                raise Unavailable(code)
            self.assertEqual(code, 0, "the operation fails without a removal")
        else:
            # A success is allowed only for a change already committed (the
            # card lost the tidying after it); the check below holds it to
            # the whole outcome.
            self.assertIn(code, (0,) + REMOVAL_CODES, "the call that met the removal")
            self.vt.wait("removed")
            # Once the module has seen the removal, the session of the token
            # that left fails too.
            deadline = time.monotonic() + 10
            seen = None
            while seen is None and time.monotonic() < deadline:
                try:
                    s.getSessionInfo()
                    time.sleep(0.02)
                except PyKCS11.PyKCS11Error as e:
                    seen = e.value
            self.assertIn(seen, REMOVAL_CODES + (PyKCS11.CKR_SESSION_HANDLE_INVALID,), "session after removal")
        del ctx, s, p11
        gc.collect()  # C_Finalize

        self.vt.insert(wait_ready=True)
        p11, s, used = self.open((USER_PIN, NEW_PIN))
        ctx = Context(self, s)
        ctx.pin_used = "old" if used == USER_PIN else "new"
        ctx.token_label = p11.getTokenInfo(0).label
        after = snapshot(s)
        outcome = check(self, self.before, after, ctx)
        s.logout()
        del ctx, s, p11
        gc.collect()
        if pull is not None and code == 0:
            self.assertEqual(outcome, whole, "a success reported for a change that did not stick")
            outcome = "ok+" + outcome
        return outcome, sent

    def test_every_write_pulled_at_every_apdu(self):
        matrix = []
        failures = []
        # PULLOUT_ONLY="generate,certificate" runs the operations whose names
        # hold one of these words (a developer's shortcut; CI runs them all).
        only = [w for w in os.environ.get("PULLOUT_ONLY", "").split(",") if w]
        for name, run, check in self.OPERATIONS:
            if only and not any(w in name for w in only):
                continue
            self.watchdog.arm(name + " unpulled")
            try:
                outcome, count = self.trial(run, check, None, True)
            except Unavailable as e:
                print("SKIP %s: the module does not do it yet (CK_RV 0x%X)" % (name, e.code), flush=True)
                continue
            self.assertGreater(count, 0, name)
            self.assertEqual(outcome, {"create data object": "whole", "create secret key": "whole",
                                       "generate RSA key pair": "whole", "write certificate": "whole",
                                       "delete certificate": "gone", "change user PIN": "new",
                                       "set label": "new", "destroy data object": "gone",
                                       "destroy secret key": "gone", "rewrite value shorter": "new",
                                       "rewrite value same length": "new", "rewrite value longer": "new"}[name], name)
            row = []
            for execute in (True, False):
                for n in range(1, count + 1):
                    what = "%s pulled at APDU %d/%d (%s)" % (name, n, count, "run" if execute else "not run")
                    self.watchdog.arm(what)
                    try:
                        cell, _ = self.trial(run, check, n, execute, outcome)
                    except AssertionError as e:
                        cell = "FAIL"
                        failures.append("%s: %s" % (what, e))
                        print("FAIL " + failures[-1], flush=True)
                    row.append((execute, n, cell))
            self.watchdog.disarm()
            matrix.append((name, count, row))
            self.print_row(name, count, row)
        self.assertEqual(failures, [], "\n".join(failures))

    @staticmethod
    def print_row(name, count, row):
        print("%-26s %2d APDUs" % (name, count), flush=True)
        for execute in (True, False):
            cells = ["%d:%s" % (n, cell) for ex, n, cell in row if ex == execute]
            print("  %-9s %s" % ("run" if execute else "not run", " ".join(cells)), flush=True)


if __name__ == "__main__":
    base.MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
