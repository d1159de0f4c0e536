"""The native module with the virtual token behind the real pcscd: slots
that follow the card's removal and insertion, token information, login and
PINs, format, label, unblock and random numbers, through pkcs11-tool,
p11tool, PyKCS11 and ctypes (for the vendor functions).

Run with /usr/bin/python3 (PyKCS11 imports only there):
    token_e2e_test.py <absolute path of the module> [test names]
"""
import ctypes
import os
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "vtoken"))

from vtctl import VtCtl  # noqa: E402

from cryptography.hazmat.primitives.ciphers import Cipher, modes  # noqa: E402
try:
    from cryptography.hazmat.decrepit.ciphers.algorithms import TripleDES  # noqa: E402
except ImportError:  # older python3-cryptography
    from cryptography.hazmat.primitives.ciphers.algorithms import TripleDES  # noqa: E402

import PyKCS11  # noqa: E402

MODULE = None
CONTROL_PORT = int(os.environ.get("VTOKEN_CONTROL_PORT", "40470"))
SERIAL = "SV00000000000001"
SO_PIN = "87654321"
USER_PIN = "11112222"

CKR_OK = 0
CKR_ARGUMENTS_BAD = 0x7
CKR_DEVICE_REMOVED = 0x32
CKR_PIN_INCORRECT = 0xA0
CKR_PIN_LEN_RANGE = 0xA2
CKR_PIN_LOCKED = 0xA4
CKR_USER_NOT_LOGGED_IN = 0x101
CKR_USER_ANOTHER_ALREADY_LOGGED_IN = 0x104
CKR_SESSION_READ_ONLY_EXISTS = 0xB7
CKR_SESSION_EXISTS = 0xB6
CKR_SESSION_READ_ONLY = 0xB5
CKR_NO_EVENT = 0x8

U = ctypes.c_ulong


def run(*args, timeout=60):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=timeout)


def tool(*args):
    return run("pkcs11-tool", "--module", MODULE, *args)


def present_slots(p11, timeout=10):
    """The slots with a token once the module's monitor has met the card:
    the list may grow between a call's count and its fill, so it is asked
    again (bounded) until slot 0 is in it."""
    slots, deadline = [], time.monotonic() + timeout
    while 0 not in slots and time.monotonic() < deadline:
        try:
            slots = list(p11.getSlotList(tokenPresent=True))
        except PyKCS11.PyKCS11Error as e:
            if e.value != PyKCS11.CKR_BUFFER_TOO_SMALL:
                raise
        if 0 not in slots:
            time.sleep(0.02)
    return slots


class FormatParams(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("label", ctypes.c_char * 32), ("manufacturer", ctypes.c_char * 32),
                ("secondName", ctypes.c_char * 32), ("soPin", ctypes.c_char * 32),
                ("userPin", ctypes.c_char * 32), ("userRetryLimit", ctypes.c_ubyte),
                ("soRetryLimit", ctypes.c_ubyte), ("formatMode", ctypes.c_ubyte), ("extra", ctypes.c_ubyte)]


class UserInfo(ctypes.Structure):
    _fields_ = [("retriesLeft", ctypes.c_uint32), ("retryLimit", ctypes.c_uint32), ("countLow", ctypes.c_ubyte),
                ("finalTry", ctypes.c_ubyte), ("locked", ctypes.c_ubyte), ("toBeChanged", ctypes.c_ubyte)]


class Base(unittest.TestCase):
    """A factory token (card information with its serial, not formatted)."""

    def setUp(self):
        self.vt = VtCtl(CONTROL_PORT, timeout=15.0).connect()
        if not self.vt.status()["inserted"]:
            self.vt.insert(wait_ready=True)
        self.vt.call("preset", name="factory")
        self.lib = ctypes.CDLL(MODULE)
        self.c = lambda name, *a: getattr(self.lib, name)(*a)

    def tearDown(self):
        if not self.vt.status()["inserted"]:
            self.vt.insert(wait_ready=True)
        self.vt.reset_state()
        self.vt.close()

    def loaded(self):
        """The module initialised in this process, its slots listed."""
        p11 = PyKCS11.PyKCS11Lib()
        p11.load(MODULE)
        self.assertEqual(list(p11.getSlotList(tokenPresent=True)), [0])
        return p11

    def init_token(self, label="Solvanta Test"):
        out = tool("--init-token", "--so-pin", SO_PIN, "--label", label)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        out = tool("--init-pin", "--login", "--login-type", "so", "--so-pin", SO_PIN, "--pin", USER_PIN)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def commands(self):
        return [e["command"] for e in self.vt.log()["entries"]]


class Slots(Base):
    def test_token_information_in_the_consumers(self):
        self.init_token("Mine")
        out = tool("-L")
        self.assertEqual(out.returncode, 0, out.stderr)
        text = out.stdout
        self.assertIn("token label        : Mine", text)
        self.assertIn("token manufacturer : Tarnely", text)
        self.assertIn("token model        : E", text)
        self.assertIn("serial num         : " + SERIAL, text)
        self.assertIn("token initialized", text)
        self.assertIn("PIN initialized", text)
        out = run("p11tool", "--provider", MODULE, "--list-tokens")
        self.assertIn("URL: pkcs11:model=E;manufacturer=Tarnely;serial=%s;token=Mine\n" % SERIAL, out.stdout)
        self.assertNotIn("%00", out.stdout)

    def test_slot_info_first_and_unknown_memory_in_a_fresh_process(self):
        """A consumer whose first call after C_Initialize is C_GetSlotInfo
        sees the token C_OpenSession then finds; memory figures the card
        reports as all ones are CK_UNAVAILABLE_INFORMATION of the caller's
        CK_ULONG."""
        self.init_token()
        script = "\n".join([
            "import sys, PyKCS11",
            "p11 = PyKCS11.PyKCS11Lib()",
            "p11.load(sys.argv[1])",
            "flags = [p11.getSlotInfo(slot).flags for slot in (0, 1)]",
            "s = p11.openSession(0)",
            "t = p11.getTokenInfo(0)",
            "print(flags[0], flags[1], s.getSessionInfo().slotID, t.ulTotalPublicMemory, t.ulFreePublicMemory,",
            "      t.ulTotalPrivateMemory, t.ulFreePrivateMemory)",
            "s.closeSession()",
        ])
        unavailable = U(-1).value
        slot_flags = PyKCS11.CKF_REMOVABLE_DEVICE | PyKCS11.CKF_HW_SLOT
        for free, figures in ((None, "card"), (0xFFFFFFFF, "unknown")):
            if free is not None:
                self.vt.set(fs_free_space=free)
            out = run(sys.executable, "-c", script, MODULE)
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
            first, second, slot, *memory = (int(v) for v in out.stdout.split())
            self.assertEqual(first, slot_flags | PyKCS11.CKF_TOKEN_PRESENT, figures)
            self.assertEqual(second, slot_flags, figures)
            self.assertEqual(slot, 0)
            # PyKCS11 hands a CK_ULONG over as a C long: taken back to the
            # CK_ULONG's width, all ones in every bit.
            memory = [U(v).value for v in memory]
            if figures == "unknown":
                self.assertEqual(memory, [unavailable] * 4)
            else:
                self.assertNotIn(unavailable, memory)
                self.assertGreater(memory[0], 0)
                self.assertEqual(memory[0], memory[2])
                self.assertEqual(memory[1], memory[3])

    def test_removal_and_insertion_follow_the_token(self):
        p11 = self.loaded()
        session = p11.openSession(0)
        # Nothing happened yet.
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            p11.waitForSlotEvent(PyKCS11.CKF_DONT_BLOCK)
        self.assertEqual(e.exception.value, CKR_NO_EVENT)

        self.vt.remove()
        self.assertEqual(p11.waitForSlotEvent(), 0)  # blocking
        self.assertEqual(list(p11.getSlotList(tokenPresent=True)), [])
        self.assertEqual(list(p11.getSlotList()), [0, 1, 2, 3], "the slot list never shrinks")
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            session.getSessionInfo()
        self.assertEqual(e.exception.value, CKR_DEVICE_REMOVED)

        self.vt.insert(wait_ready=True)
        deadline = time.monotonic() + 10
        slot = None
        while slot is None and time.monotonic() < deadline:
            try:
                slot = p11.waitForSlotEvent(PyKCS11.CKF_DONT_BLOCK)
            except PyKCS11.PyKCS11Error as err:
                self.assertEqual(err.value, CKR_NO_EVENT)
                time.sleep(0.05)
        self.assertEqual(slot, 0)
        self.assertEqual(list(p11.getSlotList(tokenPresent=True)), [0])
        # The new token took slot 0; the old session is not its session.
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            session.getSessionInfo()
        self.assertEqual(e.exception.value, CKR_DEVICE_REMOVED)
        self.assertEqual(p11.getTokenInfo(0).ulSessionCount, 0)
        session.closeSession()  # 0 for a session of a token that left
        fresh = p11.openSession(0)
        self.assertEqual(fresh.getSessionInfo().slotID, 0)
        fresh.closeSession()


class Pins(Base):
    def user_flags(self, p11):
        flags = p11.getTokenInfo(0).flags
        return flags & (PyKCS11.CKF_USER_PIN_COUNT_LOW | PyKCS11.CKF_USER_PIN_FINAL_TRY |
                        PyKCS11.CKF_USER_PIN_LOCKED)

    def test_pkcs11_tool_login_change_and_random(self):
        self.init_token()
        out = subprocess.run(["pkcs11-tool", "--module", MODULE, "--login", "--pin", USER_PIN,
                              "--generate-random", "16"], capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(len(out.stdout), 16)
        out = subprocess.run(["pkcs11-tool", "--module", MODULE, "--generate-random", "2048"],
                             capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(len(out.stdout), 2048)
        out = subprocess.run(["pkcs11-tool", "--module", MODULE, "--generate-random", "16"],
                             capture_output=True, timeout=60)
        self.assertEqual(len(out.stdout), 16)
        out = subprocess.run(["pkcs11-tool", "--module", MODULE, "--login", "--pin", "000000",
                              "--generate-random", "1"], capture_output=True, timeout=60)
        self.assertNotEqual(out.returncode, 0)
        self.assertIn(b"CKR_PIN_INCORRECT", out.stdout + out.stderr)
        out = tool("--login", "--pin", USER_PIN, "--change-pin", "--new-pin", "33334444")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("PIN successfully changed", out.stdout)
        out = subprocess.run(["pkcs11-tool", "--module", MODULE, "--login", "--pin", "33334444",
                              "--generate-random", "4"], capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)

    def test_flags_count_down_lock_and_clear(self):
        self.init_token()
        p11 = self.loaded()
        s = p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
        self.assertEqual(self.user_flags(p11), 0)
        expected = {9: PyKCS11.CKF_USER_PIN_COUNT_LOW, 1: PyKCS11.CKF_USER_PIN_COUNT_LOW |
                    PyKCS11.CKF_USER_PIN_FINAL_TRY}
        for left in range(9, 0, -1):
            with self.assertRaises(PyKCS11.PyKCS11Error) as e:
                s.login("999999")
            self.assertEqual(e.exception.value, CKR_PIN_INCORRECT)
            if left in expected:
                self.assertEqual(self.user_flags(p11), expected[left], left)
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            s.login("999999")
        self.assertEqual(e.exception.value, CKR_PIN_LOCKED)
        self.assertEqual(self.user_flags(p11), PyKCS11.CKF_USER_PIN_COUNT_LOW | PyKCS11.CKF_USER_PIN_LOCKED)
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            s.login(USER_PIN)
        self.assertEqual(e.exception.value, CKR_PIN_LOCKED)
        # The SO unblocks: the flags clear.
        rv = self.c("M_UnblockUserPin", U(s.session.value()), SO_PIN.encode(), U(len(SO_PIN)), b"55556666", U(8))
        self.assertEqual(rv, CKR_OK)
        self.assertEqual(self.user_flags(p11), 0)
        s.login("55556666")
        s.logout()
        # A wrong try, then a right one: the bits clear again.
        with self.assertRaises(PyKCS11.PyKCS11Error):
            s.login("999999")
        self.assertEqual(self.user_flags(p11), PyKCS11.CKF_USER_PIN_COUNT_LOW)
        s.login("55556666")
        self.assertEqual(self.user_flags(p11), 0)
        s.closeSession()

    def test_login_rulings(self):
        self.init_token()
        p11 = self.loaded()
        ro = p11.openSession(0)
        rw = p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
        h = U(rw.session.value())
        login = self.lib.C_Login
        self.vt.clear_log()
        self.assertEqual(login(h, U(1), b"", U(0)), CKR_PIN_INCORRECT)
        self.assertEqual(login(h, U(1), None, U(4)), CKR_ARGUMENTS_BAD)
        self.assertEqual(login(h, U(1), b"1" * 33, U(33)), CKR_PIN_LEN_RANGE)
        self.assertEqual(login(h, U(2), USER_PIN.encode(), U(8)), CKR_USER_NOT_LOGGED_IN)
        self.assertEqual(login(h, U(0), SO_PIN.encode(), U(8)), CKR_SESSION_READ_ONLY_EXISTS)
        self.assertEqual(self.commands(), [], "none of these reaches the card")
        # Card answers to the check (the token was read first, so that the
        # login sends the challenge and the check only).
        p11.getTokenInfo(0)
        self.vt.clear_log()
        self.vt.override(["00" * 16 + "9000", "6a80"])
        self.assertEqual(login(h, U(1), USER_PIN.encode(), U(8)), 0x30)
        self.assertEqual(len(self.commands()), 2)
        self.vt.override(["00" * 16 + "9000", "63c3"])
        self.assertEqual(login(h, U(1), USER_PIN.encode(), U(8)), CKR_PIN_INCORRECT)
        self.vt.override(["00" * 16 + "9000", "63c0"])
        self.assertEqual(login(h, U(1), USER_PIN.encode(), U(8)), CKR_PIN_LOCKED)
        self.vt.override(["00" * 16 + "9000", "6984"])
        self.assertEqual(login(h, U(1), USER_PIN.encode(), U(8)), CKR_PIN_LOCKED)
        # An embedded NUL: the PIN up to it is verified.
        self.assertEqual(login(h, U(1), (USER_PIN + "\0xyz").encode(), U(12)), CKR_OK)
        self.assertEqual(rw.getSessionInfo().state, PyKCS11.CKS_RW_USER_FUNCTIONS)
        # Context-specific: verified, the state is left as it is.
        self.assertEqual(login(h, U(2), USER_PIN.encode(), U(8)), CKR_OK)
        self.assertEqual(rw.getSessionInfo().state, PyKCS11.CKS_RW_USER_FUNCTIONS)
        self.assertEqual(ro.getSessionInfo().state, PyKCS11.CKS_RO_USER_FUNCTIONS)
        self.assertEqual(login(h, U(2), b"999999", U(6)), CKR_PIN_INCORRECT)
        self.assertEqual(rw.getSessionInfo().state, PyKCS11.CKS_RW_USER_FUNCTIONS)
        # Again as the same user: verified again.
        self.assertEqual(login(h, U(1), USER_PIN.encode(), U(8)), CKR_OK)
        ro.closeSession()
        self.assertEqual(login(h, U(0), SO_PIN.encode(), U(8)), CKR_USER_ANOTHER_ALREADY_LOGGED_IN)
        rw.logout()
        self.assertEqual(rw.getSessionInfo().state, PyKCS11.CKS_RW_PUBLIC_SESSION)
        # SetPIN and InitPIN lengths.
        set_pin = self.lib.C_SetPIN
        for old, new, code in ((USER_PIN, "12345", CKR_PIN_LEN_RANGE), (USER_PIN, "1" * 33, CKR_PIN_LEN_RANGE)):
            self.assertEqual(set_pin(h, old.encode(), U(len(old)), new.encode(), U(len(new))), code)
        self.assertEqual(set_pin(h, None, U(8), b"12345678", U(8)), CKR_ARGUMENTS_BAD)
        ro2 = p11.openSession(0)
        self.assertEqual(set_pin(U(ro2.session.value()), USER_PIN.encode(), U(8), b"12345678", U(8)), CKR_SESSION_READ_ONLY)
        ro2.closeSession()
        rw.login(SO_PIN, PyKCS11.CKU_SO)
        init_pin = self.lib.C_InitPIN
        self.assertEqual(init_pin(h, b"1" * 40, U(40)), CKR_PIN_LEN_RANGE)
        self.assertEqual(init_pin(h, b"12345", U(5)), CKR_PIN_LEN_RANGE)
        self.assertEqual(init_pin(h, None, U(8)), CKR_ARGUMENTS_BAD)
        # C_InitToken with a session open.
        self.assertEqual(self.lib.C_InitToken(U(0), SO_PIN.encode(), U(8), b"x".ljust(32)), CKR_SESSION_EXISTS)
        rw.closeSession()


class Vendor(Base):
    def session(self):
        p11 = self.loaded()
        return p11, p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)

    def params(self, so=SO_PIN.encode(), user=USER_PIN.encode(), label=b"Vendor"):
        p = FormatParams()
        p.label, p.manufacturer, p.secondName = label, b"Tarnely", b"Tarnely"
        ctypes.memmove(ctypes.addressof(p) + FormatParams.soPin.offset, so, len(so))
        ctypes.memmove(ctypes.addressof(p) + FormatParams.userPin.offset, user, len(user))
        p.userRetryLimit, p.soRetryLimit, p.formatMode, p.extra = 10, 15, 0xFF, 0
        return p

    def test_format_label_info_and_unblocks(self):
        p11, s = self.session()
        h = U(s.session.value())
        fmt = self.lib.M_FormatToken
        self.vt.clear_log()
        for so, user in ((SO_PIN.encode(), b"12345"), (b"12345", USER_PIN.encode()), (SO_PIN.encode(), b"")):
            self.assertEqual(fmt(h, ctypes.byref(self.params(so, user))), CKR_PIN_LEN_RANGE)
        self.assertEqual(fmt(h, None), CKR_ARGUMENTS_BAD)
        self.assertEqual(self.commands(), [], "refused before anything is sent")
        self.assertEqual(fmt(h, ctypes.byref(self.params())), CKR_OK)
        info = p11.getTokenInfo(0)
        self.assertEqual(info.label, "Vendor".ljust(32))
        self.assertEqual(info.serialNumber, SERIAL)
        self.assertTrue(info.flags & PyKCS11.CKF_TOKEN_INITIALIZED)
        self.assertEqual(self.lib.M_SetTokenLabel(h, b"Relabelled"), CKR_OK)
        self.assertEqual(p11.getTokenInfo(0).label, "Relabelled".ljust(32))
        self.assertEqual(self.lib.M_SetTokenLabel(h, None), CKR_ARGUMENTS_BAD)

        # M_GetUserInfo writes all four bytes.
        ui = UserInfo()
        ctypes.memset(ctypes.byref(ui), 0xFF, ctypes.sizeof(ui))
        self.assertEqual(self.lib.M_GetUserInfo(U(0), U(1), ctypes.byref(ui)), CKR_OK)
        self.assertEqual((ui.retriesLeft, ui.retryLimit, ui.countLow, ui.finalTry, ui.locked),
                         (10, 10, 0, 0, 0))
        self.assertIn(ui.toBeChanged, (0, 1))
        self.assertEqual(self.lib.M_GetUserInfo(U(0), U(0), ctypes.byref(ui)), CKR_OK)
        self.assertEqual((ui.retriesLeft, ui.retryLimit), (15, 15))
        self.assertEqual(self.lib.M_GetUserInfo(U(0), U(1), None), CKR_OK)
        ext = (ctypes.c_ubyte * 2)()
        self.assertEqual(self.lib.M_GetTokenExtInfo(U(0), ext), CKR_OK)

        # Unblock with the SO PIN: lengths of the new PIN, then the SO PIN
        # is its NUL-terminated text whatever length comes with it.
        unblock = self.lib.M_UnblockUserPin
        for new in (b"", b"12345", b"1" * 33):
            self.assertEqual(unblock(h, SO_PIN.encode(), U(8), new, U(len(new))), CKR_PIN_LEN_RANGE)
        for i, length in enumerate((0, 3, len(SO_PIN), 0xFFFFFFFF, 0x80000000)):
            new = b"2222333%d" % i
            self.assertEqual(unblock(h, SO_PIN.encode(), U(length), new, U(len(new))), CKR_OK, hex(length))
            s.login(new.decode())
            s.logout()
        # Text after the PIN is part of it, whatever the length says; an
        # empty SO PIN is refused without costing a try.
        self.vt.clear_log()
        self.assertEqual(unblock(h, b"", U(8), b"22223333", U(8)), CKR_PIN_INCORRECT)
        self.assertEqual(self.commands(), [])
        so = ctypes.create_string_buffer(SO_PIN.encode() + b"XXXX", 13)
        self.assertEqual(unblock(h, so, U(8), b"22223333", U(8)), CKR_PIN_INCORRECT)
        ui = UserInfo()
        self.assertEqual(self.lib.M_GetUserInfo(U(0), U(0), ctypes.byref(ui)), CKR_OK)
        self.assertEqual(ui.retriesLeft, 14, "the one wrong SO PIN cost one try")
        self.assertEqual(unblock(h, SO_PIN.encode(), U(8), b"22223333", U(8)), CKR_OK)
        s.login("22223333")
        s.logout()

        # Remote unblock with the response to a card challenge under the
        # administrator key (the SO PIN while the card has none of its own).
        remote = self.lib.M_RemoteUnblockPin
        self.assertEqual(remote(h, b"", U(0), b"12345678", U(8)), CKR_ARGUMENTS_BAD)
        self.assertEqual(remote(h, b"x" * 65, U(65), b"12345678", U(8)), CKR_ARGUMENTS_BAD)
        challenge = (ctypes.c_ubyte * 16)()
        self.assertEqual(self.lib.C_GenerateRandom(h, challenge, U(16)), CKR_OK)
        key = SO_PIN.encode().ljust(32, b"\0")[:24]
        enc = Cipher(TripleDES(key), modes.CBC(b"\0" * 8)).encryptor()
        code = enc.update(bytes(challenge)) + enc.finalize()
        self.assertEqual(remote(h, code, U(16), b"44445555", U(8)), CKR_OK)
        s.login("44445555")
        s.logout()

        # A failed device authentication is a device error.
        self.vt.override(["00" * 32 + "9000", "6982"])
        self.assertEqual(self.lib.C_GenerateRandom(h, challenge, U(16)), 0x30)

        # A format logs everybody out.
        s.login(SO_PIN, PyKCS11.CKU_SO)
        self.assertEqual(s.getSessionInfo().state, PyKCS11.CKS_RW_SO_FUNCTIONS)
        self.assertEqual(fmt(h, ctypes.byref(self.params())), CKR_OK)
        self.assertEqual(s.getSessionInfo().state, PyKCS11.CKS_RW_PUBLIC_SESSION)
        s.login(USER_PIN)
        s.logout()

        # Random numbers: none asked gives none and sends nothing.
        self.vt.clear_log()
        self.assertEqual(self.lib.C_GenerateRandom(h, None, U(0)), CKR_OK)
        self.assertEqual(self.lib.C_GenerateRandom(h, None, U(4)), CKR_ARGUMENTS_BAD)
        self.assertEqual(self.commands(), [])
        s.closeSession()

    def test_pcsc_codes_reach_the_caller_in_their_32_bits(self):
        """A PC/SC failure the vendor functions hand on unchanged keeps its
        32 bits in the caller's CK_RV (never sign-extended on a 64-bit
        build): here the sharing violation of a card another program holds
        exclusively."""
        sys.path.insert(0, os.path.join(HERE, "..", "harness"))
        import pcsc
        self.init_token()
        p11 = self.loaded()  # noqa: F841 (kept: the module stays initialised)
        user_info, ext_info = self.lib.M_GetUserInfo, self.lib.M_GetTokenExtInfo
        user_info.restype = ext_info.restype = ctypes.c_ulong
        ui, ext = UserInfo(), (ctypes.c_ubyte * 2)()
        sharing_violation = 0x8010000B
        with pcsc.Context() as ctx:
            card = ctx.connect(os.environ.get("SOLVANTA_READER", "Solvanta Token 00 00"),
                               share=pcsc.SCARD_SHARE_EXCLUSIVE)
            try:
                self.assertEqual(user_info(U(0), U(1), ctypes.byref(ui)), sharing_violation)
                self.assertEqual(ext_info(U(0), ext), sharing_violation)
            finally:
                card.disconnect()
        # Free again: the next call opens the device.
        self.assertEqual(user_info(U(0), U(1), ctypes.byref(ui)), CKR_OK)
        self.assertEqual(ui.retryLimit, 10)

    def test_init_token_rulings(self):
        self.init_token()
        p11 = self.loaded()
        init = self.lib.C_InitToken
        label = b"Again".ljust(32)
        self.assertEqual(init(U(0), b"1" * 33, U(33), label), CKR_PIN_LEN_RANGE)
        self.assertEqual(init(U(0), b"99999999", U(8), label), CKR_PIN_INCORRECT)
        self.assertEqual(init(U(0), None, U(8), label), CKR_ARGUMENTS_BAD)
        self.assertEqual(init(U(0), SO_PIN.encode() + b"trailing", U(8), label), CKR_OK)
        info = p11.getTokenInfo(0)
        self.assertEqual(info.label, "Again".ljust(32))
        # The user PIN is the known default again and stays initialised.
        self.assertTrue(info.flags & PyKCS11.CKF_USER_PIN_INITIALIZED)


if __name__ == "__main__":
    MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
