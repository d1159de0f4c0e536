"""Configuration family (class F0, never wrapped); P1 00 sets, 01 reads (the
read needs an Le and takes no data).

    F0 10 00 00 Lc=4   SetUSBVIDPID: vendor id u16, product id u16, big-endian
    F0 10 01 00 Le     GetUSBVIDPID -> vendor id, product id, each u16
                       little-endian (the order the host reads)
    F0 20 00/01        SetReaderName / GetReaderName: 1 to 255 bytes
    F0 30 00/01        SetCDInquriy / GetCDInquriy: exactly 24 bytes
                       (8-byte vendor, 16-byte product)
    F0 12 00/01        SetVendorName / GetVendorName: 1 to 255 bytes
    F0 40 pp 00        EnableDisableCD: pp 01 shows the CD drive, 00 hides it
                       (another P1: 6A86)

The values are non-volatile.
"""

import struct

from ..apdu import SW_INCORRECT_P1P2, SwError
from ..dispatch import CLA_CONFIG, FORBIDDEN, REQUIRED, SM_NEVER, Command
from ..state import register_defaults

DEFAULT_VID = 0x1D50
DEFAULT_PID = 0x6101
DEFAULT_READER_NAME = b"Solvanta Token"
DEFAULT_CD_INQUIRY = b"SOLVANTA" + b"Virtual Token   "
DEFAULT_VENDOR_NAME = b"Solvanta"

register_defaults({
    "usb_vid": DEFAULT_VID,
    "usb_pid": DEFAULT_PID,
    "reader_name": DEFAULT_READER_NAME.hex(),
    "cd_inquiry": DEFAULT_CD_INQUIRY.hex(),
    "vendor_name": DEFAULT_VENDOR_NAME.hex(),
    "cd_enabled": 1,
})


def set_vid_pid(card, apdu):
    vid, pid = struct.unpack(">HH", apdu.data)
    card.state.update(usb_vid=vid, usb_pid=pid)
    return b""


def get_vid_pid(card, apdu):
    return struct.pack("<HH", card.state["usb_vid"], card.state["usb_pid"])


def _setter(key):
    def handler(card, apdu):
        card.state.update(**{key: apdu.data.hex()})
        return b""
    return handler


def _getter(key):
    def handler(card, apdu):
        return bytes.fromhex(card.state[key])
    return handler


def enable_disable_cd(card, apdu):
    if apdu.p1 not in (0x00, 0x01):
        raise SwError(SW_INCORRECT_P1P2, "CD switch %02X" % apdu.p1)
    card.state.update(cd_enabled=apdu.p1)
    return b""


def register(table) -> None:
    F = CLA_CONFIG
    table.add(Command("SetUSBVIDPID", F, 0x10, 0x00, 0x00, set_vid_pid,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_NEVER, min_data=4, max_data=4))
    table.add(Command("GetUSBVIDPID", F, 0x10, 0x01, 0x00, get_vid_pid,
                      data=FORBIDDEN, le=REQUIRED, sm=SM_NEVER))
    table.add(Command("EnableDisableCD", F, 0x40, None, 0x00, enable_disable_cd,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_NEVER))
    for ins, name, key, low, high in ((0x20, "ReaderName", "reader_name", 1, 255),
                                      (0x30, "CDInquriy", "cd_inquiry", 24, 24),
                                      (0x12, "VendorName", "vendor_name", 1, 255)):
        table.add(Command("Set" + name, F, ins, 0x00, 0x00, _setter(key),
                          data=REQUIRED, le=FORBIDDEN, sm=SM_NEVER, min_data=low, max_data=high))
        table.add(Command("Get" + name, F, ins, 0x01, 0x00, _getter(key),
                          data=FORBIDDEN, le=REQUIRED, sm=SM_NEVER))
