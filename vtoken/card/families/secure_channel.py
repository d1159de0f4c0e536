"""Secure-channel family (class 80): the two key-agreement steps and the
format command, which the host sends wrapped once a channel is open.

    80 11 00 00 Lc=5    SecureMessageKAS step 1: algorithm id 40001011 u32 and a
                        parameter byte -> 148 bytes: 4-byte header (the record
                        length, u32 big-endian), then {bits u32, X 68, Y 68,
                        4 zero bytes} of a fresh card key pair
    80 11 01 00 Lc=220  SecureMessageKAS step 2 (this library): 40001011,
                        40000015, 68 bytes OtherInfo, the host's 144-byte record
    80 11 01 00 Lc=216  the same from the PKCS #11 module: 64 bytes OtherInfo
    80 02 00 00 Lc      FormatDevice: the format record, checked and kept; the
                        card is wiped (file system, PINs, key pairs, saved
                        session keys, data objects) and takes its card
                        information, working mode and device keys from it

Errors: 6A80 wrong ids or data, an invalid host point, or a format record
without the marker or of the wrong length; 6985 step 2 without a pending
step-1 key (each step-1 key serves one step 2); 6700 a step-2 length other
than 220 or 216.  A successful step 2 opens the channel (card.volatile.sm),
replacing any open one.
"""

import struct

from .. import access, config, sm
from ..apdu import SW_SECURITY_NOT_SATISFIED, SW_WRONG_LENGTH, SwError
from ..dispatch import CLA_PROPRIETARY, CLA_SM_BIT, REQUIRED, SM_OPTIONAL, Command
from ..state import register_defaults
from . import files, pin, session

SW_WRONG_DATA = 0x6A80
SW_CONDITIONS_NOT_SATISFIED = 0x6985

PENDING = "sm_kas_pending"
STEP2_LENGTHS = {220: 68, 216: 64}     # Lc -> OtherInfo length

FORMAT_MARKER = config.FORMAT_ENABLE_MARKER + b"\x00"
FORMAT_FIXED = 273                     # plus the blob
FORMAT_KEY_BLOCK = 37

register_defaults({
    "format_count": 0,
    "format": None,                    # the fields of the last format record
})


def kas_step1(card, apdu):
    data = apdu.data
    if len(data) != 5 or struct.unpack(">I", data[:4])[0] != sm.ALG_P521:
        raise SwError(SW_WRONG_DATA, "step 1 wants 40001011 and a parameter byte")
    key = sm.new_card_key()
    card.volatile.extra[PENDING] = key
    return sm.key_record(key, header=struct.pack(">I", sm.KEY_RECORD_SIZE))


def kas_step2(card, apdu):
    data = apdu.data
    other_len = STEP2_LENGTHS.get(len(data))
    if other_len is None:
        raise SwError(SW_WRONG_LENGTH, "step 2 of %d bytes" % len(data))
    first, second = struct.unpack(">II", data[:8])
    if (first, second) != (sm.ALG_P521, sm.ALG_SHA512):
        raise SwError(SW_WRONG_DATA, "step 2 ids %08X %08X" % (first, second))
    other_info = data[8:8 + other_len]
    record = data[8 + other_len:]
    key = card.volatile.extra.pop(PENDING, None)
    if key is None:
        raise SwError(SW_CONDITIONS_NOT_SATISFIED, "no step-1 key pending")
    try:
        host = sm.host_public_key(record)
    except ValueError as e:
        raise SwError(SW_WRONG_DATA, "host point: %s" % e) from None
    z = sm.shared_secret(key, host)
    card.volatile.sm = sm.Channel.derive(z, other_info)
    return b""


def _text(field: bytes) -> str:
    return field.split(b"\x00", 1)[0].decode("latin-1")


def format_device(card, apdu):
    data = apdu.data
    marker_ok = data.startswith(FORMAT_MARKER) or card.hooks.get("format_any_marker")
    if not marker_ok or len(data) < FORMAT_FIXED:
        raise SwError(SW_WRONG_DATA, "not a format record")
    if access.strict(card) and access.formatted(card):
        if not access.device_authenticated(card) or not apdu.cla & CLA_SM_BIT:
            raise SwError(SW_SECURITY_NOT_SATISFIED, "a formatted card formats after device "
                          "authentication, wrapped")
    blob_len = data[161]
    if len(data) != FORMAT_FIXED + blob_len:
        raise SwError(SW_WRONG_DATA, "format record of %d bytes, blob %d" % (len(data), blob_len))
    keys = []
    offset = 162 + blob_len
    for _ in range(3):
        block = data[offset:offset + FORMAT_KEY_BLOCK]
        keys.append({"id": struct.unpack(">I", block[:4])[0], "key": block[4:36].hex(),
                     "parameter": block[36]})
        offset += FORMAT_KEY_BLOCK
    fields = {
        "strings": [_text(data[18 + 32 * i:50 + 32 * i]) for i in range(4)],
        "value": struct.unpack(">I", data[150:154])[0],
        "byte": data[160],
        "blob": data[162:162 + blob_len].hex(),
        "keys": keys,
    }
    files.Files(card).wipe()
    pin.wipe(card)
    session.wipe_saved(card)
    files.wipe_data_objects(card, files.card_info(*(data[18 + 32 * i:50 + 32 * i].split(b"\x00", 1)[0]
                                                    for i in range(4))))
    card.state.update(format=fields, format_count=card.state["format_count"] + 1,
                      working_mode=data[160])
    return b""


def register(table) -> None:
    P = CLA_PROPRIETARY
    table.add(Command("SecureMessageKAS", P, 0x11, 0x00, 0x00, kas_step1,
                      data=REQUIRED, le=None, sm=SM_OPTIONAL))
    table.add(Command("SecureMessageKAS", P, 0x11, 0x01, 0x00, kas_step2,
                      data=REQUIRED, le=None, sm=SM_OPTIONAL))
    table.add(Command("FormatDevice", P, 0x02, 0x00, 0x00, format_device,
                      data=REQUIRED, le=None, sm=SM_OPTIONAL))
