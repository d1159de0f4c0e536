"""Command dispatch table.

Commands are registered per (class, INS, P1).  The class is the CLA byte with
the secure-messaging bit 0x04 masked off; P1 may be None when the command takes
P1 as an argument.  Each entry also says which P2 it accepts, whether command
data and Le are allowed, and how it stands to secure messaging.

Lookup errors, in the order they are checked by the card:
    class not known                       6E00
    INS not known in that class           6D00
    P1 not known for that INS             6B00
    P2 not accepted by the command        6A86
    data / Le not of the command's form   6700
"""

from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Tuple

from .apdu import (Apdu, SwError, SW_CLA_NOT_SUPPORTED, SW_INCORRECT_P1P2,
                   SW_INS_NOT_SUPPORTED, SW_WRONG_LENGTH, SW_WRONG_P1P2)

CLA_ISO = 0x00
CLA_PROPRIETARY = 0x80
CLA_CONFIG = 0xF0
CLA_SM_BIT = 0x04
KNOWN_CLASSES = (CLA_ISO, CLA_PROPRIETARY, CLA_CONFIG)

# Secure-messaging policy of a command.
SM_NEVER = "never"        # only the plain class is accepted
SM_OPTIONAL = "optional"  # plain or wrapped
SM_ALWAYS = "always"      # must come wrapped

# Field rules for data and Le.
FORBIDDEN = False
REQUIRED = True
OPTIONAL = None

Handler = Callable[..., object]


@dataclass(frozen=True)
class Command:
    name: str
    cla: int
    ins: int
    p1: Optional[int]
    p2: Optional[int]
    handler: Handler
    data: Optional[bool] = FORBIDDEN
    le: Optional[bool] = FORBIDDEN
    sm: str = SM_OPTIONAL
    min_data: int = 0
    max_data: int = 65535

    def check_form(self, apdu: Apdu) -> None:
        has_data = bool(apdu.data)
        if self.data is FORBIDDEN and has_data:
            raise SwError(SW_WRONG_LENGTH, "%s takes no data" % self.name)
        if self.data is REQUIRED and not has_data:
            raise SwError(SW_WRONG_LENGTH, "%s needs data" % self.name)
        if has_data and not (self.min_data <= len(apdu.data) <= self.max_data):
            raise SwError(SW_WRONG_LENGTH, "%s data length %d" % (self.name, len(apdu.data)))
        has_le = apdu.le is not None
        if self.le is FORBIDDEN and has_le:
            raise SwError(SW_WRONG_LENGTH, "%s takes no Le" % self.name)
        if self.le is REQUIRED and not has_le:
            raise SwError(SW_WRONG_LENGTH, "%s needs Le" % self.name)


class CommandTable:
    def __init__(self) -> None:
        self._by_ins: Dict[Tuple[int, int], List[Command]] = {}

    def add(self, cmd: Command) -> Command:
        if cmd.cla not in KNOWN_CLASSES:
            raise ValueError("unknown class %02X for %s" % (cmd.cla, cmd.name))
        entries = self._by_ins.setdefault((cmd.cla, cmd.ins), [])
        for other in entries:
            if other.p1 == cmd.p1 or other.p1 is None or cmd.p1 is None:
                raise ValueError("%s clashes with %s" % (cmd.name, other.name))
        entries.append(cmd)
        return cmd

    def command(self, name: str, cla: int, ins: int, p1: Optional[int] = 0x00,
                p2: Optional[int] = 0x00, **kw):
        """Decorator form of add()."""
        def wrap(fn):
            self.add(Command(name, cla, ins, p1, p2, fn, **kw))
            return fn
        return wrap

    @staticmethod
    def card_class(cla: int) -> int:
        cls = cla & ~CLA_SM_BIT & 0xFF
        if cls not in KNOWN_CLASSES:
            raise SwError(SW_CLA_NOT_SUPPORTED, "class %02X" % cla)
        return cls

    def lookup(self, apdu: Apdu) -> Command:
        cls = self.card_class(apdu.cla)
        entries = self._by_ins.get((cls, apdu.ins))
        if not entries:
            raise SwError(SW_INS_NOT_SUPPORTED, "INS %02X" % apdu.ins)
        for cmd in entries:
            if cmd.p1 is None or cmd.p1 == apdu.p1:
                if cmd.p2 is not None and cmd.p2 != apdu.p2:
                    raise SwError(SW_INCORRECT_P1P2, "%s P2 %02X" % (cmd.name, apdu.p2))
                return cmd
        raise SwError(SW_WRONG_P1P2, "INS %02X P1 %02X" % (apdu.ins, apdu.p1))

    def commands(self) -> List[Command]:
        return [c for entries in self._by_ins.values() for c in entries]
