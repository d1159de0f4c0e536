"""The native module as standard consumers load it: pkcs11-tool, p11tool,
PyKCS11 and a plain ctypes caller. The virtual token (a fresh, unformatted
card) sits in slot 0; the ctypes caller works on a slot without a token, so
every session call must answer CKR_SESSION_HANDLE_INVALID and every slot
call its slot code.

Run with /usr/bin/python3 (PyKCS11 imports only there):
    consumers_test.py <absolute path of the module> <exports.txt>
"""
import ctypes
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "vtoken"))
from vtctl import VtCtl  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import openssl_engine  # noqa: E402

MODULE = None
EXPORTS = None

CKR_OK = 0x0
CKR_SLOT_ID_INVALID = 0x3
CKR_DEVICE_REMOVED = 0x32
CKR_FUNCTION_NOT_SUPPORTED = 0x54
CKR_FUNCTION_NOT_PARALLEL = 0x51
CKR_SESSION_HANDLE_INVALID = 0xB3
CKR_NO_EVENT = 0x8
CKR_CRYPTOKI_NOT_INITIALIZED = 0x190


def run(*args, timeout=60, env=None):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=timeout, env=env)


def export_names():
    with open(EXPORTS) as f:
        return [line.strip() for line in f if line.strip()]


class CK_MECHANISM(ctypes.Structure):
    _fields_ = [("mechanism", ctypes.c_ulong), ("pParameter", ctypes.c_void_p),
                ("ulParameterLen", ctypes.c_ulong)]


class CK_ATTRIBUTE(ctypes.Structure):
    _fields_ = [("type", ctypes.c_ulong), ("pValue", ctypes.c_void_p), ("ulValueLen", ctypes.c_ulong)]


class Exports(unittest.TestCase):
    def test_exactly_the_module_functions_are_exported(self):
        out = run("nm", "-D", "--defined-only", MODULE)
        self.assertEqual(out.returncode, 0, out.stderr)
        exported = {line.split()[-1] for line in out.stdout.splitlines()
                    if len(line.split()) == 3 and line.split()[1] in "TtWi"}
        names = set(export_names())
        self.assertEqual(len(names), 80)
        self.assertEqual(exported, names)


class PkcsTool(unittest.TestCase):
    def test_library_information(self):
        # A slot is named: without a token present pkcs11-tool would end
        # with "No slot with a token was found" after the information.
        out = run("pkcs11-tool", "--module", MODULE, "-I", "--slot", "0")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        lines = [l.rstrip() for l in out.stdout.splitlines()]
        self.assertIn("Cryptoki version 2.40", lines)
        self.assertIn("Manufacturer     Tarnely Technology", lines)
        self.assertIn("Library          Tarnely PKCS11# Library (ver 2.0)", lines)

    def test_slot_list(self):
        out = run("pkcs11-tool", "--module", MODULE, "-L")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        for i in range(4):
            self.assertIn("Slot %d (0x%x): Virtual Slot %d" % (i, i, i), out.stdout)
        # The card in slot 0 has not been formatted yet; 1 to 3 hold nothing.
        slot0 = out.stdout.split("Slot 1 (0x1)")[0]
        self.assertIn("token state:   uninitialized", slot0)
        self.assertNotIn("(empty)", slot0)
        self.assertEqual(out.stdout.count("(empty)"), 3)

    def test_fork(self):
        out = run("pkcs11-tool", "--module", MODULE, "--test-fork", "--slot", "0")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("Calling C_Initialize in forked child process", out.stdout)


class PkcsToolThreads(unittest.TestCase):
    def test_threads(self):
        out = run("pkcs11-tool", "--module", MODULE, "--test-threads", "ILGISLT0", "--test-threads", "ILGISLT0",
                  "-L", "--slot", "0", timeout=120)
        text = out.stdout + out.stderr
        self.assertEqual(out.returncode, 0, text)
        for t in (0, 1):
            self.assertIn("Test thread %d returning rv = 0" % t, text)
            self.assertIn("Test thread %d C_GetInfo returned CKR_OK" % t, text)
            self.assertIn("Test thread %d C_GetSlotList returned CKR_OK" % t, text)
        # The threads' only complaints: no token to read in slot index 0, and
        # a C_Initialize that came second.
        for line in text.splitlines():
            if "rv:" in line and line.startswith("test_threads thread:"):
                self.assertTrue(line.endswith(("rv:CKR_OK", "rv:CKR_TOKEN_NOT_PRESENT",
                                               "rv:CKR_CRYPTOKI_ALREADY_INITIALIZED")), line)
            self.assertNotIn("CKR_GENERAL_ERROR", line)
            self.assertNotIn("CKR_ARGUMENTS_BAD", line)


class P11Tool(unittest.TestCase):
    def test_module_loads(self):
        out = run("p11tool", "-d", "3", "--provider", MODULE, "--list-tokens")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("is initialized in a thread-safe mode", out.stderr)
        self.assertNotIn("initialization error", out.stderr)
        # Blank-padded texts: the URI carries no %00.
        self.assertIn("URL: pkcs11:model=E;manufacturer=Tarnely;serial=;token=Zervik%20Solvanta", out.stdout)
        self.assertNotIn("%00", out.stdout)
        self.assertIn("Flags: RNG, Requires login, Uninitialized, uPIN uninitialized", out.stdout)



class OpenSslEngine(unittest.TestCase):
    def run_engine(self, module):
        with tempfile.TemporaryDirectory() as d:
            env = openssl_engine.environment(os.path.join(d, "openssl.cnf"), module)
            return run("openssl", "pkeyutl", "-engine", "pkcs11", "-keyform", "engine",
                       "-inkey", "pkcs11:object=none;type=private", "-sign", "-in", os.devnull, env=env)

    def test_engine_loads_the_module_and_finds_no_initialized_token(self):
        out = self.run_engine(MODULE)
        text = out.stdout + out.stderr
        self.assertNotEqual(out.returncode, 0)
        self.assertIn("No matching initialized token was found", text)
        self.assertNotIn("Unable to load", text)


class PyKCS11Consumer(unittest.TestCase):
    def test_module_loads_and_answers(self):
        import PyKCS11
        lib = PyKCS11.PyKCS11Lib()
        lib.load(MODULE)
        info = lib.getInfo()
        self.assertEqual(info.cryptokiVersion, (2, 40))
        # Texts are padded with blanks to their fields.
        self.assertEqual(info.manufacturerID, "Tarnely Technology".ljust(32))
        self.assertEqual(info.libraryDescription, "Tarnely PKCS11# Library".ljust(32))
        self.assertEqual(info.libraryVersion, (2, 0))
        self.assertEqual(list(lib.getSlotList()), [0, 1, 2, 3])
        self.assertEqual(list(lib.getSlotList(tokenPresent=True)), [0])
        slot = lib.getSlotInfo(2)
        self.assertEqual(slot.slotDescription, "Virtual Slot 2".ljust(64))
        self.assertEqual(slot.flags, PyKCS11.CKF_REMOVABLE_DEVICE | PyKCS11.CKF_HW_SLOT)
        self.assertEqual(lib.getSlotInfo(0).flags,
                         PyKCS11.CKF_REMOVABLE_DEVICE | PyKCS11.CKF_HW_SLOT | PyKCS11.CKF_TOKEN_PRESENT)
        token = lib.getTokenInfo(0)
        self.assertEqual(token.label, "Zervik Solvanta".ljust(32))
        self.assertEqual(token.manufacturerID, "Tarnely".ljust(32))
        self.assertEqual(token.model, "E".ljust(16))
        self.assertFalse(token.flags & PyKCS11.CKF_TOKEN_INITIALIZED)
        self.assertFalse(token.flags & PyKCS11.CKF_USER_PIN_INITIALIZED)
        self.assertEqual(token.firmwareVersion[1], 11)
        # A session of the token, counted in the token information.
        session = lib.openSession(0)
        self.assertEqual(lib.getTokenInfo(0).ulSessionCount, 1)
        self.assertEqual(session.getSessionInfo().state, PyKCS11.CKS_RO_PUBLIC_SESSION)
        session.closeSession()
        self.assertEqual(lib.getTokenInfo(0).ulSessionCount, 0)
        for call, code in ((lambda: lib.openSession(2), CKR_SLOT_ID_INVALID),
                           (lambda: lib.getTokenInfo(2), CKR_DEVICE_REMOVED),
                           (lambda: lib.getMechanismList(2), CKR_SLOT_ID_INVALID)):
            with self.assertRaises(PyKCS11.PyKCS11Error) as e:
                call()
            self.assertEqual(e.exception.value, code)


class EveryCall(unittest.TestCase):
    """Every export through ctypes, as a C caller of the module sees it."""

    def setUp(self):
        self.lib = ctypes.CDLL(MODULE)
        for name in export_names():
            getattr(self.lib, name).restype = ctypes.c_ulong
        self.assertEqual(self.lib.C_Initialize(None), CKR_OK)

    def tearDown(self):
        self.assertEqual(self.lib.C_Finalize(None), CKR_OK)

    def test_session_and_slot_calls_without_a_token(self):
        U = ctypes.c_ulong
        h = U(0xDEAD)
        buf = ctypes.create_string_buffer(256)
        n = U(256)
        pn = ctypes.byref(n)
        mech = CK_MECHANISM(0x250, None, 0)
        pm = ctypes.byref(mech)
        attr = CK_ATTRIBUTE(3, ctypes.cast(buf, ctypes.c_void_p), 4)
        pa = ctypes.byref(attr)
        o1, o2 = U(), U()
        po1, po2 = ctypes.byref(o1), ctypes.byref(o2)
        i1, i2 = ctypes.c_int32(), ctypes.c_int32()
        big = ctypes.create_string_buffer(512)
        slot = U(7)
        session_calls = {
            "C_InitPIN": (h, buf, U(6)), "C_SetPIN": (h, buf, U(6), buf, U(6)),
            "C_CloseSession": (h,), "C_GetSessionInfo": (h, big), "C_Login": (h, U(1), buf, U(6)),
            "C_Logout": (h,), "C_CreateObject": (h, pa, U(1), po1), "C_CopyObject": (h, U(1), pa, U(1), po1),
            "C_DestroyObject": (h, U(1)), "C_GetObjectSize": (h, U(1), pn),
            "C_GetAttributeValue": (h, U(1), pa, U(1)), "C_SetAttributeValue": (h, U(1), pa, U(1)),
            "C_FindObjectsInit": (h, pa, U(1)), "C_FindObjects": (h, po1, U(1), pn),
            "C_EncryptInit": (h, pm, U(1)), "C_Encrypt": (h, buf, U(16), buf, pn),
            "C_EncryptUpdate": (h, buf, U(16), buf, pn), "C_EncryptFinal": (h, buf, pn),
            "C_DecryptInit": (h, pm, U(1)), "C_Decrypt": (h, buf, U(16), buf, pn),
            "C_DecryptUpdate": (h, buf, U(16), buf, pn), "C_DecryptFinal": (h, buf, pn),
            "C_DigestInit": (h, pm), "C_Digest": (h, buf, U(16), buf, pn), "C_DigestUpdate": (h, buf, U(16)),
            "C_DigestKey": (h, U(1)), "C_DigestFinal": (h, buf, pn), "C_SignInit": (h, pm, U(1)),
            "C_Sign": (h, buf, U(16), buf, pn), "C_SignUpdate": (h, buf, U(16)), "C_SignFinal": (h, buf, pn),
            "C_SignRecover": (h, buf, U(16), buf, pn), "C_VerifyInit": (h, pm, U(1)),
            "C_Verify": (h, buf, U(16), buf, U(16)), "C_VerifyUpdate": (h, buf, U(16)),
            "C_VerifyFinal": (h, buf, U(16)), "C_DigestEncryptUpdate": (h, buf, U(16), buf, pn),
            "C_DecryptDigestUpdate": (h, buf, U(16), buf, pn), "C_SignEncryptUpdate": (h, buf, U(16), buf, pn),
            "C_DecryptVerifyUpdate": (h, buf, U(16), buf, pn), "C_GenerateKey": (h, pm, pa, U(1), po1),
            "C_GenerateKeyPair": (h, pm, pa, U(1), pa, U(1), po1, po2),
            "C_WrapKey": (h, pm, U(1), U(2), buf, pn), "C_UnwrapKey": (h, pm, U(1), buf, U(16), pa, U(1), po1),
            "C_DeriveKey": (h, pm, U(1), pa, U(1), po1), "C_SeedRandom": (h, buf, U(16)),
            "C_GenerateRandom": (h, buf, U(16)), "M_UnblockUserPin": (h, buf, U(8), buf, U(6)),
            "M_SetTokenLabel": (h, buf), "M_FormatToken": (h, big), "M_CreateContainer": (h, buf),
            "M_DeleteContainer": (h, buf), "M_EnumContainer": (h, buf, pn),
            "M_GetContainerInfo": (h, buf, None, ctypes.byref(i1), ctypes.byref(i2), buf, buf),
            "M_ReloadObjects": (h,), "M_RemoteUnblockPin": (h, buf, U(16), buf, U(6)),
        }
        slot_calls = {
            "C_GetTokenInfo": ((slot, big), CKR_DEVICE_REMOVED),
            "C_GetMechanismList": ((slot, buf, pn), CKR_SLOT_ID_INVALID),
            "C_GetMechanismInfo": ((slot, U(0x250), big), CKR_SLOT_ID_INVALID),
            "C_InitToken": ((slot, buf, U(6), buf), CKR_SLOT_ID_INVALID),
            "C_OpenSession": ((slot, U(6), None, None, po1), CKR_SLOT_ID_INVALID),
            "M_GetUserInfo": ((slot, U(1), big), CKR_DEVICE_REMOVED),
            "M_GetTokenExtInfo": ((slot, big), CKR_DEVICE_REMOVED),
        }
        other_calls = {
            "C_GetInfo": ((big,), CKR_OK), "C_GetSlotInfo": ((slot, big), CKR_OK),
            "C_GetSlotList": ((ctypes.c_ubyte(1), None, pn), CKR_OK),
            "C_CloseAllSessions": ((slot,), CKR_OK), "C_FindObjectsFinal": ((h,), CKR_OK),
            "C_WaitForSlotEvent": ((U(1), po1, None), CKR_NO_EVENT),
            "C_GetOperationState": ((h, buf, pn), CKR_FUNCTION_NOT_SUPPORTED),
            "C_SetOperationState": ((h, buf, U(4), U(0), U(0)), CKR_FUNCTION_NOT_SUPPORTED),
            "C_SignRecoverInit": ((h, pm, U(1)), CKR_FUNCTION_NOT_SUPPORTED),
            "C_VerifyRecoverInit": ((h, pm, U(1)), CKR_FUNCTION_NOT_SUPPORTED),
            "C_VerifyRecover": ((h, buf, U(16), buf, pn), CKR_FUNCTION_NOT_SUPPORTED),
            "C_GetFunctionStatus": ((h,), CKR_FUNCTION_NOT_PARALLEL),
            "C_CancelFunction": ((h,), CKR_FUNCTION_NOT_PARALLEL),
        }
        calls = {name: (args, CKR_SESSION_HANDLE_INVALID) for name, args in session_calls.items()}
        calls.update(slot_calls)
        calls.update(other_calls)
        names = set(export_names())
        self.assertEqual(set(calls) | {"C_Initialize", "C_Finalize", "C_GetFunctionList", "M_GetExtFunctionList"},
                         names)
        for name, (args, code) in sorted(calls.items()):
            n.value = 256
            self.assertEqual(getattr(self.lib, name)(*args), code, name)


def setUpModule():
    # The card as it comes out of the box, whatever earlier tests left.
    with VtCtl(int(os.environ.get("VTOKEN_CONTROL_PORT", "40470")), timeout=15.0) as vt:
        vt.reset_state()
        if not vt.status()["inserted"]:
            vt.insert(wait_ready=True)


if __name__ == "__main__":
    MODULE, EXPORTS = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    unittest.main(verbosity=2)
