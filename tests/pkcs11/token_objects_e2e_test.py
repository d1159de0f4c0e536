"""The native module's objects on the virtual token behind the real pcscd:
data objects through pkcs11-tool and p11tool, attribute values, session
and private objects and token secret keys through PyKCS11, and raw
C_GetAttributeValue calls through ctypes (CK_ULONG widths, unavailable
entries and their codes).

Run with /usr/bin/python3 (PyKCS11 imports only there):
    token_objects_e2e_test.py <absolute path of the module> [test names]
"""
import ctypes
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import token_e2e_test as base  # noqa: E402
from token_e2e_test import PyKCS11, USER_PIN, U, tool  # noqa: E402

CKR_OK = 0
CKR_ATTRIBUTE_SENSITIVE = 0x11
CKR_ATTRIBUTE_TYPE_INVALID = 0x12
CKR_OBJECT_HANDLE_INVALID = 0x82
CKR_BUFFER_TOO_SMALL = 0x150
CKR_ATTRIBUTE_READ_ONLY = 0x10
UNAVAILABLE = ctypes.c_ulong(-1).value
CKA_VENDOR_STORE_INDEX = 0x8000006E
CKA_VENDOR_CARD_KEY_ID = 0x80000079
LABEL = "Objects"


class Attribute(ctypes.Structure):
    _fields_ = [("type", ctypes.c_ulong), ("pValue", ctypes.c_void_p), ("ulValueLen", ctypes.c_ulong)]


def pattern(n, seed):
    return bytes((i * 7 + seed) & 0xFF for i in range(n))


class Objects(base.Base):
    def setUp(self):
        super().setUp()
        self.init_token(LABEL)

    def user_session(self, p11=None, rw=True):
        p11 = p11 or self.loaded()
        flags = PyKCS11.CKF_SERIAL_SESSION | (PyKCS11.CKF_RW_SESSION if rw else 0)
        s = p11.openSession(0, flags)
        s.login(USER_PIN)
        return p11, s

    def raw_get(self, session, handle, entries):
        """C_GetAttributeValue through ctypes: entries of (type, buffer size
        or None); the code and each entry's (length, bytes)."""
        array = (Attribute * len(entries))()
        buffers = []
        for i, (t, size) in enumerate(entries):
            buf = ctypes.create_string_buffer(size) if size is not None else None
            buffers.append(buf)
            array[i].type, array[i].ulValueLen = t, size or 0
            array[i].pValue = ctypes.cast(buf, ctypes.c_void_p) if buf is not None else None
        f = self.lib.C_GetAttributeValue
        f.argtypes = [ctypes.c_ulong, ctypes.c_ulong, ctypes.POINTER(Attribute), ctypes.c_ulong]
        rv = f(session.session.value(), handle.value(), array, len(entries))
        out = []
        for i, buf in enumerate(buffers):
            n = array[i].ulValueLen
            out.append((n, buf.raw[:n] if buf is not None and n != UNAVAILABLE else None))
        return rv, out

    def reload(self, session):
        self.assertEqual(self.lib.M_ReloadObjects(U(session.session.value())), CKR_OK)

    def test_data_objects_through_pkcs11_tool_and_p11tool(self):
        public, private = pattern(700, 1), pattern(33, 2)
        with tempfile.TemporaryDirectory() as d:
            for name, value, extra in (("f1", public, []), ("f2", private, ["--private"])):
                path = os.path.join(d, name + ".bin")
                with open(path, "wb") as f:
                    f.write(value)
                out = tool("--login", "--pin", USER_PIN, "--write-object", path, "--type", "data", "--label", name,
                           *extra)
                self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

            # Each run initialises and finalises the module: the objects live
            # on the token.
            out = tool("--login", "--pin", USER_PIN, "-O")
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertIn("'f1'", out.stdout)
            self.assertIn("'f2'", out.stdout)
            out = tool("-O")
            self.assertIn("'f1'", out.stdout)
            self.assertNotIn("f2", out.stdout, "a private object is not shown without the user")

            for name, value in (("f1", public), ("f2", private)):
                path = os.path.join(d, name + ".out")
                out = tool("--login", "--pin", USER_PIN, "--read-object", "--type", "data", "--label", name,
                           "--output-file", path)
                self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), value, name)

        env = dict(os.environ, GNUTLS_PIN=USER_PIN)
        out = subprocess.run(["p11tool", "--provider", base.MODULE, "--login", "--list-all", "pkcs11:token=" + LABEL],
                             capture_output=True, text=True, timeout=60, env=env)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("object=f1", out.stdout)
        self.assertIn("object=f2", out.stdout)

        out = tool("--login", "--pin", USER_PIN, "--delete-object", "--type", "data", "--label", "f1")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        out = tool("--login", "--pin", USER_PIN, "-O")
        self.assertNotIn("'f1'", out.stdout)
        self.assertIn("'f2'", out.stdout)

    def test_attribute_values_widths_and_codes(self):
        p11, s = self.user_session()
        data = s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True),
                               (PyKCS11.CKA_LABEL, "d"), (PyKCS11.CKA_VALUE, pattern(20, 3))])
        key = s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_AES),
                              (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_LABEL, "k"), (PyKCS11.CKA_SENSITIVE, True),
                              (PyKCS11.CKA_VALUE, pattern(16, 4))])
        width = ctypes.sizeof(ctypes.c_ulong)
        # Every CK_ULONG attribute in the caller's width, also in the size
        # query, zero-extended.
        for obj, t, expected in ((data, PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (data, PyKCS11.CKA_VALUE_LEN, 20),
                                 (data, CKA_VENDOR_STORE_INDEX, 0), (key, PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY),
                                 (key, PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_AES), (key, CKA_VENDOR_CARD_KEY_ID, 0)):
            rv, [(n, _)] = self.raw_get(s, obj, [(t, None)])
            self.assertEqual((rv, n), (CKR_OK, width), hex(t))
            rv, [(n, value)] = self.raw_get(s, obj, [(t, width)])
            self.assertEqual(rv, CKR_OK)
            self.assertEqual(int.from_bytes(value, sys.byteorder), expected, hex(t))
        self.assertEqual(s.getAttributeValue(key, [PyKCS11.CKA_KEY_TYPE])[0], PyKCS11.CKK_AES)

        # One call, mixed entries: every entry is processed, the failing ones
        # are unavailable, the code is the last failure.
        rv, out = self.raw_get(s, data, [(PyKCS11.CKA_LABEL, 8), (PyKCS11.CKA_MODULUS, 8), (PyKCS11.CKA_VALUE, 4),
                                         (PyKCS11.CKA_VALUE, None), (PyKCS11.CKA_CLASS, width)])
        self.assertEqual(rv, CKR_BUFFER_TOO_SMALL)
        self.assertEqual(out[0], (1, b"d"))
        self.assertEqual(out[1][0], UNAVAILABLE)
        self.assertEqual(out[2][0], UNAVAILABLE)
        self.assertEqual(out[3][0], 20)
        self.assertEqual(out[4][0], width)
        rv, out = self.raw_get(s, key, [(PyKCS11.CKA_VALUE, 32), (PyKCS11.CKA_LABEL, 8)])
        self.assertEqual(rv, CKR_ATTRIBUTE_SENSITIVE)
        self.assertEqual(out, [(UNAVAILABLE, None), (1, b"k")])
        rv, out = self.raw_get(s, key, [(PyKCS11.CKA_LABEL, 8), (PyKCS11.CKA_MODULUS, 8)])
        self.assertEqual(rv, CKR_ATTRIBUTE_TYPE_INVALID)
        self.assertEqual(out[1][0], UNAVAILABLE)

    def number(self, session, obj, t):
        """One CK_ULONG attribute read in the caller's width."""
        width = ctypes.sizeof(ctypes.c_ulong)
        rv, [(n, value)] = self.raw_get(session, obj, [(t, width)])
        self.assertEqual((rv, n), (CKR_OK, width), hex(t))
        return int.from_bytes(value, sys.byteorder)

    def test_unavailable_numbers_and_the_class_of_a_copy(self):
        """A stored -1 is CK_UNAVAILABLE_INFORMATION of the caller's CK_ULONG
        (all ones in 64 bits on this build), on created, generated and
        reloaded objects; a copy keeps its class."""
        p11, s = self.user_session()
        aes = [(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_AES),
               (PyKCS11.CKA_ENCRYPT, True), (PyKCS11.CKA_VALUE, pattern(16, 6))]
        created = s.createObject(aes + [(PyKCS11.CKA_LABEL, "created")])
        stored = s.createObject(aes + [(PyKCS11.CKA_LABEL, "stored"), (PyKCS11.CKA_TOKEN, True)])
        generated = s.generateKey([(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY), (PyKCS11.CKA_VALUE_LEN, 16),
                                   (PyKCS11.CKA_LABEL, "generated"), (PyKCS11.CKA_ENCRYPT, True)],
                                  PyKCS11.Mechanism(PyKCS11.CKM_AES_KEY_GEN))
        pub, pri = s.generateKeyPair([(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_MODULUS_BITS, 1024),
                                      (PyKCS11.CKA_PUBLIC_EXPONENT, (1, 0, 1)), (PyKCS11.CKA_LABEL, "pair")],
                                     [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_LABEL, "pair")],
                                     PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS_KEY_PAIR_GEN))
        gen = PyKCS11.CKA_KEY_GEN_MECHANISM
        for name, obj, t, expected in (
                ("created", created, gen, UNAVAILABLE),
                ("created", created, CKA_VENDOR_STORE_INDEX, UNAVAILABLE),
                ("created", created, CKA_VENDOR_CARD_KEY_ID, UNAVAILABLE),
                ("stored", stored, gen, UNAVAILABLE),
                ("generated", generated, gen, PyKCS11.CKM_AES_KEY_GEN),
                ("generated public", pub, gen, PyKCS11.CKM_RSA_PKCS_KEY_PAIR_GEN),
                ("generated private", pri, gen, PyKCS11.CKM_RSA_PKCS_KEY_PAIR_GEN)):
            self.assertEqual(self.number(s, obj, t), expected, "%s %#x" % (name, t))
        # PyKCS11 reads the same number (as a C long: -1).
        self.assertEqual(U(s.getAttributeValue(created, [gen])[0]).value, UNAVAILABLE)

        # The unavailable value also finds what it stands for.
        found = [o.value() for o in s.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY), (gen, UNAVAILABLE)])]
        self.assertIn(created.value(), found)
        self.assertIn(stored.value(), found)
        self.assertNotIn(generated.value(), found)

        # A copy keeps its class: CKR_ATTRIBUTE_READ_ONLY as for
        # C_SetAttributeValue, and no object is made.
        cls = ctypes.c_ulong(PyKCS11.CKO_DATA)
        tmpl = (Attribute * 1)()
        tmpl[0].type, tmpl[0].pValue, tmpl[0].ulValueLen = PyKCS11.CKA_CLASS, ctypes.cast(
            ctypes.byref(cls), ctypes.c_void_p), ctypes.sizeof(cls)
        copy = self.lib.C_CopyObject
        copy.argtypes = [ctypes.c_ulong, ctypes.c_ulong, ctypes.POINTER(Attribute), ctypes.c_ulong,
                         ctypes.POINTER(ctypes.c_ulong)]
        set_value = self.lib.C_SetAttributeValue
        set_value.argtypes = [ctypes.c_ulong, ctypes.c_ulong, ctypes.POINTER(Attribute), ctypes.c_ulong]
        h = s.session.value()
        before = len(s.findObjects([]))
        new = ctypes.c_ulong(0)
        self.assertEqual(copy(h, created.value(), tmpl, 1, ctypes.byref(new)), CKR_ATTRIBUTE_READ_ONLY)
        self.assertEqual(new.value, 0)
        self.assertEqual(set_value(h, created.value(), tmpl, 1), CKR_ATTRIBUTE_READ_ONLY)
        self.assertEqual(len(s.findObjects([])), before)
        # Its own class is no change.
        cls.value = PyKCS11.CKO_SECRET_KEY
        self.assertEqual(copy(h, created.value(), tmpl, 1, ctypes.byref(new)), CKR_OK)
        self.assertNotEqual(new.value, 0)

    def test_session_and_private_objects(self):
        p11, s = self.user_session()
        other = p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
        mine = s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_LABEL, "session")])
        secret = s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True),
                                 (PyKCS11.CKA_PRIVATE, True), (PyKCS11.CKA_LABEL, "secret")])
        self.assertEqual(len(other.findObjects([(PyKCS11.CKA_LABEL, "session")])), 1)
        s.closeSession()
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            other.getAttributeValue(mine, [PyKCS11.CKA_LABEL])
        self.assertEqual(e.exception.value, CKR_OBJECT_HANDLE_INVALID)
        # A public session does not see the private token object.
        other.logout()
        self.assertEqual(other.findObjects([(PyKCS11.CKA_LABEL, "secret")]), [])
        self.assertEqual(other.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA)]), [])
        del secret
        other.login(USER_PIN)
        self.assertEqual(len(other.findObjects([(PyKCS11.CKA_LABEL, "secret")])), 1)

    def test_secret_keys_on_the_token(self):
        p11, s = self.user_session()
        s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_AES),
                        (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_LABEL, "aes"), (PyKCS11.CKA_SENSITIVE, True),
                        (PyKCS11.CKA_EXTRACTABLE, True), (PyKCS11.CKA_VALUE, pattern(32, 5))])
        [key] = s.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY), (PyKCS11.CKA_LABEL, "aes")])
        s.setAttributeValue(key, [(PyKCS11.CKA_LABEL, "aes2")])
        for step in ("reload", "logout and login", "reload"):
            if step == "reload":
                self.reload(s)
            else:
                s.logout()
                s.login(USER_PIN)
            found = s.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY)])
            self.assertEqual(len(found), 1, step)
            self.assertEqual(s.getAttributeValue(found[0], [PyKCS11.CKA_LABEL])[0], "aes2")
            self.assertEqual(s.getAttributeValue(found[0], [PyKCS11.CKA_SENSITIVE])[0], True, step)
            rv, out = self.raw_get(s, found[0], [(PyKCS11.CKA_VALUE, 32)])
            self.assertEqual((rv, out[0][0]), (CKR_ATTRIBUTE_SENSITIVE, UNAVAILABLE), step)

    def test_data_value_rewritten_to_other_lengths(self):
        p11, s = self.user_session()
        obj = s.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True),
                              (PyKCS11.CKA_LABEL, "PINLimit"), (PyKCS11.CKA_VALUE, bytes(512))])
        for n, seed in ((100, 1), (600, 2), (3000, 3)):
            value = pattern(n, seed)
            s.setAttributeValue(obj, [(PyKCS11.CKA_VALUE, value)])
            self.assertEqual(bytes(s.getAttributeValue(obj, [PyKCS11.CKA_VALUE], True)[0]), value)
            self.reload(s)
            [obj] = s.findObjects([(PyKCS11.CKA_LABEL, "PINLimit")])
            self.assertEqual(bytes(s.getAttributeValue(obj, [PyKCS11.CKA_VALUE], True)[0]), value)
            # Another process reads it over a connection of its own.
            with tempfile.TemporaryDirectory() as d:
                path = os.path.join(d, "out")
                out = tool("--read-object", "--type", "data", "--label", "PINLimit", "--output-file", path)
                self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), value, n)


if __name__ == "__main__":
    base.MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
