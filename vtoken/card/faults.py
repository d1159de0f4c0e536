"""Planned command failures (a test hook).

The hook `fail_next` holds a list of plans {"ins", "name" (hex or None),
"sw", "count"}: the next `count` commands with that INS (and, when a name is
given, naming that file) are answered with `sw` before they run.  The first
plan that matches takes the command.
"""

from typing import Optional

from .apdu import Apdu, SwError

HOOK = "fail_next"

# INS -> where the length-prefixed name starts in the data of the name form
# (P1 bit 0x40) of the transparent and record commands.
_NAME_AT = {0x44: 2, 0x45: 3, 0x46: 0, 0x47: 2, 0x48: 2}


def _counted(data: bytes, at: int) -> Optional[bytes]:
    if at >= len(data):
        return None
    return data[at + 1:at + 1 + data[at]]


def command_name(apdu: Apdu) -> Optional[bytes]:
    """The file name a command carries, if any."""
    d = apdu.data
    if apdu.ins == 0xA4 and apdu.p1 == 0x04:
        return d
    if apdu.ins == 0x42:
        if len(d) == 21:
            return d[3:19].rstrip(b"\x00")
        if len(d) == 27:
            return d[6:22].rstrip(b"\x00")
        return None
    if apdu.ins == 0x43 and apdu.p1 == 0x03:
        return _counted(d, 0)
    if apdu.ins in _NAME_AT and apdu.p1 & 0xC0 == 0x40:
        return _counted(d, _NAME_AT[apdu.ins])
    return None


def check(card, apdu: Apdu) -> None:
    plans = card.hooks.get(HOOK)
    if not plans:
        return
    for plan in plans:
        if plan["ins"] != apdu.ins:
            continue
        if plan.get("name") is not None and command_name(apdu) != bytes.fromhex(plan["name"]):
            continue
        plan["count"] -= 1
        if plan["count"] <= 0:
            plans.remove(plan)
        if not plans:
            card.hooks.pop(HOOK, None)
        raise SwError(plan["sw"], "planned failure")
