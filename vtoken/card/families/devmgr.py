"""Device-management family (class 80).

    80 01 00 00 Le   GetFSMaxSpace     -> u32 free file-system space, big-endian
    80 03 00 00 Le   GetChipID         -> the chip id (16 bytes by default)
    80 05 00 00 Le   GetHealthStatus   -> 8 bytes, layout in health_status()
    80 06 mm 00      ChangeWorkingMode -> 9000, mode mm kept in non-volatile memory
    80 16 00 00      HealthCheck       -> 9000 (6581 when the self-test fails)
    80 21 00 00      DrbgReseed        -> 9000; never accepted wrapped

The getters need an Le (any value: the reply has its natural length); the other
commands take neither data nor Le.  FormatDevice (02) and the secure-messaging
key agreement (11) belong to later families.
"""

import os
import struct

from ..apdu import SW_MEMORY_FAILURE, SwError
from ..dispatch import CLA_PROPRIETARY, FORBIDDEN, REQUIRED, SM_NEVER, SM_OPTIONAL, Command
from ..state import register_defaults

DEFAULT_CHIP_ID = bytes.fromhex("5356544b0100000012345678abcdef01")
DEFAULT_FS_FREE_SPACE = 0x0001F400   # 128000 bytes

register_defaults({
    "fs_free_space": DEFAULT_FS_FREE_SPACE,
    "chip_id": DEFAULT_CHIP_ID.hex(),
    "working_mode": 0x00,
    "self_test_count": 0,
    "last_self_test": 0x00,      # 00 passed, 01 failed
    "drbg_reseed_count": 0,
})


def health_status(card) -> bytes:
    """The 8 health bytes:
        0     result of the last self-test (00 passed, 01 failed)
        1     current working mode
        2-3   DRBG reseeds since the state was made, u16 big-endian (saturates)
        4-7   self-tests run since the state was made, u32 big-endian (saturates)
    The test hook `health_status` replaces the whole reply (any length).
    """
    forced = card.hooks.get("health_status")
    if forced is not None:
        return bytes.fromhex(forced)
    st = card.state
    return struct.pack(">BBHI", st["last_self_test"] & 0xFF, st["working_mode"] & 0xFF,
                       min(st["drbg_reseed_count"], 0xFFFF),
                       min(st["self_test_count"], 0xFFFFFFFF))


def get_fs_max_space(card, apdu):
    return struct.pack(">I", card.state["fs_free_space"] & 0xFFFFFFFF)


def get_chip_id(card, apdu):
    return bytes.fromhex(card.state["chip_id"])


def get_health_status(card, apdu):
    return health_status(card)


def change_working_mode(card, apdu):
    card.state.update(working_mode=apdu.p1)
    return b""


def health_check(card, apdu):
    failed = bool(card.hooks.get("self_test_fail"))
    card.state.update(self_test_count=card.state["self_test_count"] + 1,
                      last_self_test=0x01 if failed else 0x00)
    if failed:
        raise SwError(SW_MEMORY_FAILURE, "self-test failed")
    return b""


def drbg_reseed(card, apdu):
    card.volatile.drbg.reseed(os.urandom(32))
    card.state.update(drbg_reseed_count=card.state["drbg_reseed_count"] + 1)
    return b""


def register(table) -> None:
    P = CLA_PROPRIETARY
    table.add(Command("GetFSMaxSpace", P, 0x01, 0x00, 0x00, get_fs_max_space,
                      data=FORBIDDEN, le=REQUIRED, sm=SM_OPTIONAL))
    table.add(Command("GetChipID", P, 0x03, 0x00, 0x00, get_chip_id,
                      data=FORBIDDEN, le=REQUIRED, sm=SM_OPTIONAL))
    table.add(Command("GetHealthStatus", P, 0x05, 0x00, 0x00, get_health_status,
                      data=FORBIDDEN, le=REQUIRED, sm=SM_OPTIONAL))
    table.add(Command("ChangeWorkingMode", P, 0x06, None, 0x00, change_working_mode,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("HealthCheck", P, 0x16, 0x00, 0x00, health_check,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("DrbgReseed", P, 0x21, 0x00, 0x00, drbg_reseed,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_NEVER))
