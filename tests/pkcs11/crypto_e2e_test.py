"""The module's software cryptography on the virtual token behind the real
pcscd: the mechanism list, every software cipher mechanism, digests, HMAC,
digest key derivation, C_DigestKey, wrap and unwrap, through PyKCS11,
ctypes and pkcs11-tool, against python3-cryptography, hashlib, hmac and
openssl.

Keys have known values: the test scripts the card's replies so that the
token's random generator gives the bytes it chose, then C_GenerateKey makes
the key from them.

Run with /usr/bin/python3 (PyKCS11 imports only there):
    crypto_e2e_test.py <absolute path of the module> [test names]
"""
import ctypes
import hashlib
import hmac
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "vtoken"))

from vtctl import VtCtl  # noqa: E402

from cryptography.hazmat.primitives import padding, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import rsa  # noqa: E402
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes  # noqa: E402
try:
    from cryptography.hazmat.decrepit.ciphers.algorithms import ARC4, TripleDES  # noqa: E402
except ImportError:  # older python3-cryptography
    from cryptography.hazmat.primitives.ciphers.algorithms import ARC4, TripleDES  # noqa: E402

import PyKCS11  # noqa: E402
from PyKCS11 import LowLevel as LL  # noqa: E402

MODULE = None
CONTROL_PORT = int(os.environ.get("VTOKEN_CONTROL_PORT", "40470"))
SO_PIN = "87654321"
USER_PIN = "11112222"

U = ctypes.c_ulong
CKR_OK = 0
CKR_BUFFER_TOO_SMALL = 0x150
CKR_SIGNATURE_INVALID = 0xC0
CKR_OPERATION_NOT_INITIALIZED = 0x91
CKR_OPERATION_ACTIVE = 0x90
CKR_ENCRYPTED_DATA_INVALID = 0x40
CKR_TEMPLATE_INCONSISTENT = 0xD1
CKR_KEY_SIZE_RANGE = 0x62
CKR_MECHANISM_PARAM_INVALID = 0x71
CKR_OBJECT_HANDLE_INVALID = 0x82
CKR_FUNCTION_NOT_SUPPORTED = 0x54


class Mechanism(ctypes.Structure):
    _fields_ = [("mechanism", U), ("pParameter", ctypes.c_void_p), ("ulParameterLen", U)]


class Attribute(ctypes.Structure):
    _fields_ = [("type", U), ("pValue", ctypes.c_void_p), ("ulValueLen", U)]


class Rc2CbcParams(ctypes.Structure):
    _fields_ = [("ulEffectiveBits", U), ("iv", ctypes.c_ubyte * 8)]


def run(*args, timeout=120, **kw):
    return subprocess.run(list(args), capture_output=True, timeout=timeout, **kw)


def tool(*args):
    return run("pkcs11-tool", "--module", MODULE, *args, text=True)


def openssl_enc(cipher, key, iv, data, pad):
    args = ["openssl", "enc", "-" + cipher, "-K", key.hex(), "-provider", "legacy", "-provider", "default"]
    if iv is not None:
        args += ["-iv", iv.hex()]
    if not pad:
        args.append("-nopad")
    out = run(*args, input=data)
    assert out.returncode == 0, out.stderr
    return out.stdout


def reference_encrypt(kind, mode, key, iv, data, rc2_bits=None):
    """The ciphertext of python3-cryptography, or openssl for RC2."""
    if kind == "rc4":
        return Cipher(ARC4(key), None).encryptor().update(data)
    if kind == "rc2":
        assert rc2_bits == len(key) * 8  # openssl's default effective bits
        return openssl_enc("rc2-ecb" if mode == "ecb" else "rc2-cbc", key, iv, data, False)
    algorithm = algorithms.AES(key) if kind == "aes" else TripleDES(key)
    block = algorithm.block_size // 8
    if mode == "cbc_pad":
        padder = padding.PKCS7(block * 8).padder()
        data = padder.update(data) + padder.finalize()
    m = modes.ECB() if mode == "ecb" else modes.CBC(iv)
    enc = Cipher(algorithm, m).encryptor()
    return enc.update(data) + enc.finalize()


def buf(data):
    return (ctypes.c_ubyte * max(1, len(data))).from_buffer_copy(data or b"\0")


class Module:
    """The C calls through ctypes, with size queries where a consumer makes them."""

    def __init__(self, lib, session):
        self.lib = lib
        self.h = U(session.session.value())

    def mech(self, mechanism, param=None):
        m = Mechanism()
        m.mechanism = mechanism
        self._param = param
        if param is None:
            m.pParameter, m.ulParameterLen = None, 0
        else:
            if isinstance(param, (bytes, bytearray)):
                param = buf(param) if param else None
                self._param = param
                m.pParameter = ctypes.cast(param, ctypes.c_void_p) if param is not None else None
                m.ulParameterLen = len(bytes(param)) if param is not None else 0
            else:
                m.pParameter = ctypes.cast(ctypes.pointer(param), ctypes.c_void_p)
                m.ulParameterLen = ctypes.sizeof(param)
        return m

    def init(self, name, mechanism, key=None, param=None):
        m = self.mech(mechanism, param)
        if key is None:
            return getattr(self.lib, name)(self.h, ctypes.byref(m))
        return getattr(self.lib, name)(self.h, ctypes.byref(m), U(key))

    def out_call(self, name, *head, data=None):
        """A call with output: size query, then the call; (rv, bytes)."""
        n = U(0)
        args = list(head)
        if data is not None:
            args += [buf(data), U(len(data))]
        rv = getattr(self.lib, name)(self.h, *args, None, ctypes.byref(n))
        if rv != CKR_OK:
            return rv, b""
        out = (ctypes.c_ubyte * max(1, n.value))()
        rv = getattr(self.lib, name)(self.h, *args, out, ctypes.byref(n))
        return rv, bytes(out[: n.value])

    def multi(self, prefix, mechanism, key, data, splits, param=None):
        """Init, Updates over the pieces the split points cut, Final."""
        rv = self.init("C_%sInit" % prefix, mechanism, key, param)
        assert rv == CKR_OK, hex(rv)
        result = b""
        bounds = [0] + list(splits) + [len(data)]
        for a, b in zip(bounds, bounds[1:]):
            rv, piece = self.out_call("C_%sUpdate" % prefix, data=data[a:b])
            assert rv == CKR_OK, hex(rv)
            result += piece
        rv, piece = self.out_call("C_%sFinal" % prefix)
        assert rv == CKR_OK, hex(rv)
        return result + piece

    def one_shot(self, prefix, mechanism, key, data, param=None):
        rv = self.init("C_%sInit" % prefix, mechanism, key, param)
        assert rv == CKR_OK, hex(rv)
        rv, out = self.out_call("C_" + prefix, data=data)
        assert rv == CKR_OK, hex(rv)
        return out

    def digest_multi(self, mechanism, data, splits):
        assert self.init("C_DigestInit", mechanism) == CKR_OK
        bounds = [0] + list(splits) + [len(data)]
        for a, b in zip(bounds, bounds[1:]):
            assert self.lib.C_DigestUpdate(self.h, buf(data[a:b]), U(b - a)) == CKR_OK
        rv, out = self.out_call("C_DigestFinal")
        assert rv == CKR_OK, hex(rv)
        return out


class Base(unittest.TestCase):
    def setUp(self):
        self.vt = VtCtl(CONTROL_PORT, timeout=15.0).connect()
        if not self.vt.status()["inserted"]:
            self.vt.insert(wait_ready=True)
        self.vt.call("preset", name="factory")
        self.lib = ctypes.CDLL(MODULE)
        self.p11 = PyKCS11.PyKCS11Lib()
        self.p11.load(MODULE)
        self.assertEqual(list(self.p11.getSlotList(tokenPresent=True)), [0])
        self.session = self.p11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
        self.m = Module(self.lib, self.session)

    def tearDown(self):
        self.session.closeSession()
        self.vt.override([], append=False)
        self.vt.reset_state()
        self.vt.close()

    def key(self, mechanism, value, key_type=None, **flags):
        """A session key whose value the test chose (the card's random bytes
        are scripted): device authentication's challenge and answer, then
        the value."""
        assert len(value) <= 32
        self.vt.override(["00" * 32 + "9000", "9000", value.hex() + "9000"], append=False)
        template = [(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY), (PyKCS11.CKA_TOKEN, False), (PyKCS11.CKA_PRIVATE, False),
                    (PyKCS11.CKA_VALUE_LEN, len(value))]
        if key_type is not None:
            template.append((PyKCS11.CKA_KEY_TYPE, key_type))
        for name in ("encrypt", "decrypt", "sign", "verify", "wrap", "unwrap", "extractable"):
            template.append((getattr(PyKCS11, "CKA_" + name.upper()), flags.get(name, True)))
        handle = self.session.generateKey(template, PyKCS11.Mechanism(mechanism))
        self.vt.override([], append=False)
        return handle.value()


def attributes(*pairs):
    """A CK_ATTRIBUTE array with its values (kept alive by the array)."""
    arr = (Attribute * len(pairs))()
    keep = []
    for i, (t, v) in enumerate(pairs):
        if isinstance(v, bool):
            raw = bytes([1 if v else 0])
        elif isinstance(v, int):
            raw = bytes(U(v))
        else:
            raw = v
        b = buf(raw)
        keep.append(b)
        arr[i].type = t
        arr[i].pValue = ctypes.cast(b, ctypes.c_void_p)
        arr[i].ulValueLen = len(raw)
    arr._keep = keep
    return arr


P = PyKCS11
SOFT_CIPHERS = [
    # name, mechanism, key generation, reference kind, mode, key length
    ("DES-ECB", P.CKM_DES_ECB, P.CKM_DES_KEY_GEN, "des", "ecb", 8),
    ("DES-CBC", P.CKM_DES_CBC, P.CKM_DES_KEY_GEN, "des", "cbc", 8),
    ("DES-CBC-PAD", P.CKM_DES_CBC_PAD, P.CKM_DES_KEY_GEN, "des", "cbc_pad", 8),
    ("DES3-ECB", P.CKM_DES3_ECB, P.CKM_DES3_KEY_GEN, "des3", "ecb", 24),
    ("DES3-CBC", P.CKM_DES3_CBC, P.CKM_DES3_KEY_GEN, "des3", "cbc", 24),
    ("DES3-CBC-PAD", P.CKM_DES3_CBC_PAD, P.CKM_DES3_KEY_GEN, "des3", "cbc_pad", 24),
    ("DES3-CBC two-key", P.CKM_DES3_CBC, P.CKM_DES3_KEY_GEN, "des3", "cbc", 16),
    ("AES-ECB-128", P.CKM_AES_ECB, P.CKM_AES_KEY_GEN, "aes", "ecb", 16),
    ("AES-ECB-256", P.CKM_AES_ECB, P.CKM_AES_KEY_GEN, "aes", "ecb", 32),
    ("AES-CBC-192", P.CKM_AES_CBC, P.CKM_AES_KEY_GEN, "aes", "cbc", 24),
    ("AES-CBC-128", P.CKM_AES_CBC, P.CKM_AES_KEY_GEN, "aes", "cbc", 16),
    ("AES-CBC-PAD-256", P.CKM_AES_CBC_PAD, P.CKM_AES_KEY_GEN, "aes", "cbc_pad", 32),
    ("AES-CBC-PAD-128", P.CKM_AES_CBC_PAD, P.CKM_AES_KEY_GEN, "aes", "cbc_pad", 16),
    ("RC2-ECB", P.CKM_RC2_ECB, P.CKM_RC2_KEY_GEN, "rc2", "ecb", 16),
    ("RC2-CBC", P.CKM_RC2_CBC, P.CKM_RC2_KEY_GEN, "rc2", "cbc", 16),
    ("RC4-40", P.CKM_RC4, P.CKM_RC4_KEY_GEN, "rc4", "stream", 5),
    ("RC4-128", P.CKM_RC4, P.CKM_RC4_KEY_GEN, "rc4", "stream", 16),
]


class Ciphers(Base):
    def param_of(self, kind, mode, key, iv):
        if kind == "rc2":
            bits = len(key) * 8
            if mode == "ecb":
                return U(bits)
            p = Rc2CbcParams()
            p.ulEffectiveBits = bits
            p.iv[:] = list(iv)
            return p
        return iv if mode in ("cbc", "cbc_pad") else None

    def test_every_software_cipher_against_the_references(self):
        data_all = bytes((i * 7 + 3) & 0xFF for i in range(200))
        for name, mech, keygen, kind, mode, key_len in SOFT_CIPHERS:
            with self.subTest(name):
                value = bytes((0x31 + 5 * i) & 0xFF for i in range(key_len))
                if kind in ("des", "des3"):
                    value = bytes(b | 1 for b in value)
                handle = self.key(keygen, value)
                block = 16 if kind == "aes" else 8
                iv = bytes(range(0xA0, 0xA0 + block))
                lengths = [0, 13, block, 64, 77] if mode in ("cbc_pad", "stream") else [0, block, 64, 96]
                for n in lengths:
                    data = data_all[:n]
                    ref = reference_encrypt(kind, mode, value, iv if mode != "ecb" else None, data,
                                            len(value) * 8 if kind == "rc2" else None)
                    param = self.param_of(kind, mode, value, iv)
                    self.assertEqual(self.m.one_shot("Encrypt", mech, handle, data, param), ref, n)
                    self.assertEqual(self.m.one_shot("Decrypt", mech, handle, ref, param), data, n)
                    # Split points that cut blocks, and empty pieces.
                    splits = sorted({min(s, n) for s in (0, 1, 5, block + 3, 40, 41)})
                    self.assertEqual(self.m.multi("Encrypt", mech, handle, data, splits, param), ref, n)
                    self.assertEqual(self.m.multi("Decrypt", mech, handle, ref, splits, param), data, n)

    def test_cbc_pad_decryption_holds_the_last_block_back(self):
        value = bytes(range(16))
        handle = self.key(P.CKM_AES_KEY_GEN, value)
        iv = b"\x55" * 16
        data = b"twenty-one bytes!...."
        ref = reference_encrypt("aes", "cbc_pad", value, iv, data)
        self.assertEqual(len(ref), 32)
        self.assertEqual(self.m.init("C_DecryptInit", P.CKM_AES_CBC_PAD, handle, iv), CKR_OK)
        rv, out = self.m.out_call("C_DecryptUpdate", data=ref[:16])
        self.assertEqual((rv, out), (CKR_OK, b""))
        rv, out = self.m.out_call("C_DecryptUpdate", data=ref[16:])
        self.assertEqual((rv, out), (CKR_OK, data[:16]))
        rv, out = self.m.out_call("C_DecryptFinal")
        self.assertEqual((rv, out), (CKR_OK, data[16:]))

        # Padding that is not valid is refused, and ends the operation.
        bad = reference_encrypt("aes", "cbc", value, iv, b"x" * 15 + b"\x00")
        self.assertEqual(self.m.init("C_DecryptInit", P.CKM_AES_CBC_PAD, handle, iv), CKR_OK)
        rv, _ = self.m.out_call("C_Decrypt", data=bad)
        self.assertEqual(rv, CKR_ENCRYPTED_DATA_INVALID)
        rv, _ = self.m.out_call("C_Decrypt", data=bad)
        self.assertEqual(rv, CKR_OPERATION_NOT_INITIALIZED)

    def test_short_buffer_keeps_the_operation_and_busy_rules(self):
        value = bytes(range(24))
        handle = self.key(P.CKM_DES3_KEY_GEN, value)
        data = bytes(range(16))
        h, lib = self.m.h, self.lib
        self.assertEqual(self.m.init("C_EncryptInit", P.CKM_DES3_ECB, handle), CKR_OK)
        self.assertEqual(self.m.init("C_DecryptInit", P.CKM_DES3_ECB, handle), CKR_OPERATION_ACTIVE)
        out = (ctypes.c_ubyte * 16)()
        n = U(8)
        self.assertEqual(lib.C_Encrypt(h, buf(data), U(16), out, ctypes.byref(n)), CKR_BUFFER_TOO_SMALL)
        self.assertEqual(n.value, 16)
        self.assertEqual(lib.C_Encrypt(h, buf(data), U(16), out, ctypes.byref(n)), CKR_OK)
        self.assertEqual(bytes(out), reference_encrypt("des3", "ecb", value, None, data))
        # The operation ended: a decryption may start.
        self.assertEqual(self.m.init("C_DecryptInit", P.CKM_DES3_ECB, handle), CKR_OK)
        n = U(64)
        self.assertEqual(lib.C_DecryptUpdate(h, buf(data), U(16), out, ctypes.byref(n)), CKR_OK)
        self.assertEqual(lib.C_DecryptFinal(h, None, ctypes.byref(n)), CKR_OK)
        self.assertEqual(lib.C_DecryptFinal(h, out, ctypes.byref(n)), CKR_OK)
        self.assertEqual(lib.C_DecryptFinal(h, out, ctypes.byref(n)), CKR_OPERATION_NOT_INITIALIZED)

    def test_parameter_and_key_size_checks(self):
        aes = self.key(P.CKM_AES_KEY_GEN, bytes(16))
        des = self.key(P.CKM_DES_KEY_GEN, bytes(8))
        self.assertEqual(self.m.init("C_EncryptInit", P.CKM_AES_CBC, aes, b"\0" * 8), CKR_MECHANISM_PARAM_INVALID)
        self.assertEqual(self.m.init("C_EncryptInit", P.CKM_DES_CBC, des, None), CKR_MECHANISM_PARAM_INVALID)
        # AES CBC without a parameter chains from a zero block.
        data = bytes(range(32))
        self.assertEqual(self.m.one_shot("Encrypt", P.CKM_AES_CBC, aes, data),
                         reference_encrypt("aes", "cbc", bytes(16), bytes(16), data))
        # A key length the mechanism does not take.
        self.vt.override(["00" * 32 + "9000", "9000", "00" * 17 + "9000"], append=False)
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            self.session.generateKey([(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_TOKEN, False), (P.CKA_PRIVATE, False), (P.CKA_VALUE_LEN, 17)],
                                     PyKCS11.Mechanism(P.CKM_AES_KEY_GEN))
        self.assertEqual(e.exception.value, CKR_KEY_SIZE_RANGE)
        with self.assertRaises(PyKCS11.PyKCS11Error) as e:
            self.session.generateKey([(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_TOKEN, False), (P.CKA_PRIVATE, False), (P.CKA_VALUE_LEN, 0)],
                                     PyKCS11.Mechanism(P.CKM_RC4_KEY_GEN))
        self.assertEqual(e.exception.value, CKR_KEY_SIZE_RANGE)


if __name__ == "__main__":
    MODULE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
