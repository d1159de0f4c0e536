"""Minimal ctypes binding of pcsc-lite (libpcsclite.so.1) for the harness.

pcsc-lite on Linux x86_64: DWORD and LONG are unsigned long / long (8 bytes),
SCARDCONTEXT and SCARDHANDLE are LONG, and SCARD_READERSTATE has a 33-byte
rgbAtr.  Only what the harness and its smoke tests need is bound.
"""

import ctypes
import ctypes.util
import time
from typing import List, Tuple

DWORD = ctypes.c_ulong
LONG = ctypes.c_long
SCARDCONTEXT = LONG
SCARDHANDLE = LONG
MAX_ATR_SIZE = 33

SCARD_S_SUCCESS = 0
SCARD_E_TIMEOUT = 0x8010000A
SCARD_E_NO_READERS_AVAILABLE = 0x8010002E
SCARD_E_NO_SERVICE = 0x8010001D
SCARD_E_NO_SMARTCARD = 0x8010000C
SCARD_W_REMOVED_CARD = 0x80100069

SCARD_SCOPE_SYSTEM = 2
SCARD_SHARE_SHARED = 2
SCARD_SHARE_EXCLUSIVE = 1
SCARD_PROTOCOL_T0 = 1
SCARD_PROTOCOL_T1 = 2
SCARD_LEAVE_CARD = 0
SCARD_RESET_CARD = 1
SCARD_UNPOWER_CARD = 2

SCARD_STATE_UNAWARE = 0x0000
SCARD_STATE_CHANGED = 0x0002
SCARD_STATE_UNKNOWN = 0x0004
SCARD_STATE_UNAVAILABLE = 0x0008
SCARD_STATE_EMPTY = 0x0010
SCARD_STATE_PRESENT = 0x0020
SCARD_STATE_MUTE = 0x0200

ERROR_NAMES = {
    0x80100001: "SCARD_F_INTERNAL_ERROR", 0x80100002: "SCARD_E_CANCELLED",
    0x80100003: "SCARD_E_INVALID_HANDLE", 0x80100004: "SCARD_E_INVALID_PARAMETER",
    0x80100008: "SCARD_E_INSUFFICIENT_BUFFER", 0x80100009: "SCARD_E_UNKNOWN_READER",
    0x8010000A: "SCARD_E_TIMEOUT", 0x8010000B: "SCARD_E_SHARING_VIOLATION",
    0x8010000C: "SCARD_E_NO_SMARTCARD", 0x8010000F: "SCARD_E_PROTO_MISMATCH",
    0x80100016: "SCARD_E_NOT_TRANSACTED", 0x80100017: "SCARD_E_READER_UNAVAILABLE",
    0x8010001D: "SCARD_E_NO_SERVICE", 0x8010001E: "SCARD_E_SERVICE_STOPPED",
    0x8010002E: "SCARD_E_NO_READERS_AVAILABLE", 0x80100066: "SCARD_W_UNRESPONSIVE_CARD",
    0x80100067: "SCARD_W_UNPOWERED_CARD", 0x80100068: "SCARD_W_RESET_CARD",
    0x80100069: "SCARD_W_REMOVED_CARD",
}


class SCARD_READERSTATE(ctypes.Structure):
    _fields_ = [("szReader", ctypes.c_char_p), ("pvUserData", ctypes.c_void_p),
                ("dwCurrentState", DWORD), ("dwEventState", DWORD),
                ("cbAtr", DWORD), ("rgbAtr", ctypes.c_ubyte * MAX_ATR_SIZE)]


class SCARD_IO_REQUEST(ctypes.Structure):
    _fields_ = [("dwProtocol", ctypes.c_ulong), ("cbPciLength", ctypes.c_ulong)]


class PcscError(Exception):
    def __init__(self, func: str, rv: int):
        rv &= 0xFFFFFFFF
        super().__init__("%s failed: 0x%08X %s" % (func, rv, ERROR_NAMES.get(rv, "")))
        self.func, self.rv = func, rv


def _load():
    name = ctypes.util.find_library("pcsclite") or "libpcsclite.so.1"
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        lib = ctypes.CDLL("libpcsclite.so.1")
    P = ctypes.POINTER
    sigs = {
        "SCardEstablishContext": [DWORD, ctypes.c_void_p, ctypes.c_void_p, P(SCARDCONTEXT)],
        "SCardReleaseContext": [SCARDCONTEXT],
        "SCardListReaders": [SCARDCONTEXT, ctypes.c_char_p, ctypes.c_char_p, P(DWORD)],
        "SCardGetStatusChange": [SCARDCONTEXT, DWORD, P(SCARD_READERSTATE), DWORD],
        "SCardConnect": [SCARDCONTEXT, ctypes.c_char_p, DWORD, DWORD, P(SCARDHANDLE), P(DWORD)],
        "SCardDisconnect": [SCARDHANDLE, DWORD],
        "SCardTransmit": [SCARDHANDLE, P(SCARD_IO_REQUEST), ctypes.c_char_p, DWORD,
                          P(SCARD_IO_REQUEST), ctypes.c_char_p, P(DWORD)],
        "SCardStatus": [SCARDHANDLE, ctypes.c_char_p, P(DWORD), P(DWORD), P(DWORD),
                        ctypes.c_char_p, P(DWORD)],
        "SCardCancel": [SCARDCONTEXT],
    }
    for fn, args in sigs.items():
        f = getattr(lib, fn)
        f.argtypes = args
        f.restype = LONG
    return lib


_lib = None


def lib():
    global _lib
    if _lib is None:
        _lib = _load()
    return _lib


def _check(func: str, rv: int) -> None:
    if rv != SCARD_S_SUCCESS:
        raise PcscError(func, rv)


class Context:
    def __init__(self):
        self.h = SCARDCONTEXT()
        _check("SCardEstablishContext",
               lib().SCardEstablishContext(SCARD_SCOPE_SYSTEM, None, None, ctypes.byref(self.h)))

    def close(self):
        if self.h.value:
            lib().SCardReleaseContext(self.h)
            self.h = SCARDCONTEXT()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def readers(self) -> List[str]:
        n = DWORD(0)
        rv = lib().SCardListReaders(self.h, None, None, ctypes.byref(n))
        if rv & 0xFFFFFFFF == SCARD_E_NO_READERS_AVAILABLE:
            return []
        _check("SCardListReaders", rv)
        buf = ctypes.create_string_buffer(n.value)
        rv = lib().SCardListReaders(self.h, None, buf, ctypes.byref(n))
        if rv & 0xFFFFFFFF == SCARD_E_NO_READERS_AVAILABLE:
            return []
        _check("SCardListReaders", rv)
        return [r.decode() for r in buf.raw[:n.value].split(b"\0") if r]

    def reader_state(self, reader: str, known: int = SCARD_STATE_UNAWARE,
                     timeout_ms: int = 0) -> Tuple[int, bytes]:
        """One SCardGetStatusChange; returns (event state, ATR).  Raises on timeout."""
        rs = SCARD_READERSTATE()
        rs.szReader = reader.encode()
        rs.dwCurrentState = known
        _check("SCardGetStatusChange",
               lib().SCardGetStatusChange(self.h, timeout_ms, ctypes.byref(rs), 1))
        return rs.dwEventState, bytes(rs.rgbAtr[:rs.cbAtr])

    def wait_for(self, reader: str, want_present: bool, timeout: float) -> Tuple[bool, float]:
        """Block in SCardGetStatusChange until the card is present (or absent).

        Returns (reached, seconds waited)."""
        start = time.monotonic()
        deadline = start + timeout
        state, _ = self.reader_state(reader)
        while True:
            present = bool(state & SCARD_STATE_PRESENT)
            if present == want_present:
                return True, time.monotonic() - start
            left = deadline - time.monotonic()
            if left <= 0:
                return False, time.monotonic() - start
            try:
                state, _ = self.reader_state(reader, state & ~SCARD_STATE_CHANGED,
                                             max(1, int(left * 1000)))
            except PcscError as e:
                if e.rv == SCARD_E_TIMEOUT:
                    return False, time.monotonic() - start
                raise

    def connect(self, reader: str, protocols: int = SCARD_PROTOCOL_T1,
                share: int = SCARD_SHARE_SHARED) -> "Card":
        h = SCARDHANDLE()
        proto = DWORD()
        _check("SCardConnect", lib().SCardConnect(self.h, reader.encode(), share, protocols,
                                                  ctypes.byref(h), ctypes.byref(proto)))
        return Card(h, proto.value)


class Card:
    def __init__(self, h: SCARDHANDLE, protocol: int):
        self.h = h
        self.protocol = protocol
        self._pci = SCARD_IO_REQUEST(protocol, ctypes.sizeof(SCARD_IO_REQUEST))
        self._rbuf = ctypes.create_string_buffer(65538)

    def transmit(self, apdu: bytes) -> bytes:
        n = DWORD(len(self._rbuf))
        _check("SCardTransmit", lib().SCardTransmit(self.h, ctypes.byref(self._pci), apdu,
                                                    len(apdu), None, self._rbuf,
                                                    ctypes.byref(n)))
        return self._rbuf.raw[:n.value]

    def atr(self) -> bytes:
        name_len = DWORD(0)
        state, proto = DWORD(), DWORD()
        atr = ctypes.create_string_buffer(MAX_ATR_SIZE)
        atr_len = DWORD(MAX_ATR_SIZE)
        _check("SCardStatus", lib().SCardStatus(self.h, None, ctypes.byref(name_len),
                                                ctypes.byref(state), ctypes.byref(proto),
                                                atr, ctypes.byref(atr_len)))
        return atr.raw[:atr_len.value]

    def disconnect(self, disposition: int = SCARD_LEAVE_CARD) -> None:
        if self.h.value:
            lib().SCardDisconnect(self.h, disposition)
            self.h = SCARDHANDLE()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.disconnect()
