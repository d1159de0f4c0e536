"""Command APDU parsing and status words.

The card accepts the seven ISO 7816-4 wire forms:

    case 1   CLA INS P1 P2
    case 2S  CLA INS P1 P2 Le                     (Le 00 = 256)
    case 3S  CLA INS P1 P2 Lc data                (Lc 01..FF)
    case 4S  CLA INS P1 P2 Lc data Le
    case 2E  CLA INS P1 P2 00 Le1 Le2             (Le 00 00 = 65536)
    case 3E  CLA INS P1 P2 00 Lc1 Lc2 data        (Lc 0001..FFFF)
    case 4E  CLA INS P1 P2 00 Lc1 Lc2 data Le1 Le2

Anything else is malformed and answered with 6700.
"""

from dataclasses import dataclass
from typing import Optional

# Status words the card uses.
SW_OK = 0x9000
SW_WRONG_LENGTH = 0x6700
SW_SECURITY_NOT_SATISFIED = 0x6982
SW_SM_NOT_SUPPORTED = 0x6882
SW_INCORRECT_P1P2 = 0x6A86
SW_WRONG_P1P2 = 0x6B00
SW_INS_NOT_SUPPORTED = 0x6D00
SW_CLA_NOT_SUPPORTED = 0x6E00
SW_NO_PRECISE_DIAGNOSIS = 0x6F00
SW_MEMORY_FAILURE = 0x6581


class SwError(Exception):
    """Raised by command handlers to answer with a bare status word."""

    def __init__(self, sw: int, message: str = ""):
        super().__init__(message or "SW %04X" % sw)
        self.sw = sw


@dataclass(frozen=True)
class Apdu:
    cla: int
    ins: int
    p1: int
    p2: int
    data: bytes
    le: Optional[int]   # None when absent, else 1..65536
    extended: bool
    case: int           # 1..4
    raw: bytes

    @property
    def form(self) -> str:
        if self.case == 1:
            return "1"
        return "%d%s" % (self.case, "E" if self.extended else "S")


def parse(raw: bytes) -> Apdu:
    """Parse one command APDU; raises SwError(6700) when malformed."""
    raw = bytes(raw)
    n = len(raw)
    if n < 4:
        raise SwError(SW_WRONG_LENGTH, "APDU shorter than its header")
    cla, ins, p1, p2 = raw[0], raw[1], raw[2], raw[3]

    def make(case, data=b"", le=None, extended=False):
        return Apdu(cla, ins, p1, p2, data, le, extended, case, raw)

    if n == 4:
        return make(1)
    if n == 5:
        return make(2, le=raw[4] or 256)
    if raw[4] != 0:
        lc = raw[4]
        if n == 5 + lc:
            return make(3, data=raw[5:])
        if n == 6 + lc:
            return make(4, data=raw[5:5 + lc], le=raw[-1] or 256)
        raise SwError(SW_WRONG_LENGTH, "short Lc %d does not match %d bytes" % (lc, n))
    # Byte 4 is 00 and more follows: extended length.
    if n < 7:
        raise SwError(SW_WRONG_LENGTH, "truncated extended length")
    if n == 7:
        return make(2, le=((raw[5] << 8) | raw[6]) or 65536, extended=True)
    lc = (raw[5] << 8) | raw[6]
    if lc == 0:
        raise SwError(SW_WRONG_LENGTH, "extended Lc of zero")
    if n == 7 + lc:
        return make(3, data=raw[7:], extended=True)
    if n == 9 + lc:
        return make(4, data=raw[7:7 + lc], le=((raw[-2] << 8) | raw[-1]) or 65536,
                    extended=True)
    raise SwError(SW_WRONG_LENGTH, "extended Lc %d does not match %d bytes" % (lc, n))


def response(data: bytes = b"", sw: int = SW_OK) -> bytes:
    return bytes(data) + bytes(((sw >> 8) & 0xFF, sw & 0xFF))
