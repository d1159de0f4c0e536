"""PIN and authentication family.

    80 31 xx 00 Lc=44       InstalPin (always wrapped): the 44-byte PIN record
    00 84 00 00 Le          GetChallenge: Le bytes, kept as the pending challenge
    00 84 01 00 Le          GetChallenge: Le bytes of the generator, not kept
    00 82 00 kk Lc=32       ExternalAuth: AES-256-ECB of the pending 32-byte
                            challenge under device key kk
    00 88 00 02 Lc Le       InternalAuth: SHA-256(chip id || challenge)
    00 20 xx rr Lc          VerifyPIN: the PIN, or the 16-byte response
    80 32 00 rr Le          GetPINInfo: 11 bytes
    80 32 xx 03 Le          GetPINInfo: the 11-byte entries of every PIN
    80 33 xx rr Lc          ChangePIN (always wrapped): old value || new PIN
    80 34 00 rr Lc          UnblockPIN (always wrapped): SO value || new PIN
    80 34 01 rr Lc          UnblockPIN remote (always wrapped): the response to
                            the pending 16-byte challenge under the
                            administrator key || new PIN
    80 34 02 rr Lc          UnLoadPIN (always wrapped): the new PIN, SO verified
    80 35 xx xx             ClearSecureState: every verified state cleared

A PIN check takes a 16-byte value as the response to the pending 16-byte
challenge when one is pending: 3DES-EDE-CBC (zero IV) of the challenge under
the first 24 bytes of SHA-256(PIN).  Otherwise the value is the PIN itself.
Every check uses up the pending challenge.  Tries count down from the
limit; a wrong value answers 63Cx (x left), a PIN with none left 6983, a
right one 9000 (the tries are reset and the PIN is verified until reset,
power off or ClearSecureState).
"""

import hashlib
import struct

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

try:  # python3-cryptography moved TripleDES in later releases
    from cryptography.hazmat.decrepit.ciphers.algorithms import TripleDES
except ImportError:  # pragma: no cover - the Debian 12 package
    TripleDES = algorithms.TripleDES

from .. import access
from ..access import DEVICE_AUTH, SO_REFERENCE
from ..apdu import SW_SECURITY_NOT_SATISFIED, SW_WRONG_LENGTH, SW_WRONG_P1P2, SwError
from ..dispatch import (CLA_ISO, CLA_PROPRIETARY, FORBIDDEN, OPTIONAL, REQUIRED,
                        SM_ALWAYS, SM_NEVER, SM_OPTIONAL, Command)
from ..state import register_defaults
from .files import Files

SW_WRONG_DATA = 0x6A80
SW_REF_NOT_FOUND = 0x6A88
SW_BLOCKED = 0x6983
SW_AUTH_FAILED = 0x6300
SW_CONDITIONS_NOT_SATISFIED = 0x6985

PIN_RECORD_SIZE = 44
PIN_MAX = 32
RESPONSE_SIZE = 16
DEVICE_CHALLENGE_SIZE = 32
CHALLENGE_MAX = 1024
ADMIN_KEY_SIZE = 32
LIST_FORM = 0x03                 # GetPINInfo P2 of the list form

CHALLENGE = "pin_challenge"      # volatile: the pending P1 00 challenge

register_defaults({
    "pins": {},                  # reference (decimal string) -> PIN entry
    "admin_key": None,           # hex; None: the SO PIN's value field
})


def _tdes_cbc(key: bytes, data: bytes) -> bytes:
    enc = Cipher(TripleDES(key), modes.CBC(bytes(8))).encryptor()
    return enc.update(data) + enc.finalize()


def pin_response(pin: bytes, challenge: bytes) -> bytes:
    return _tdes_cbc(hashlib.sha256(pin[:PIN_MAX]).digest()[:24], challenge)


def unblock_response(admin_key: bytes, challenge: bytes) -> bytes:
    """3DES-EDE3-CBC (zero IV) of the challenge under the first 24 bytes of
    the zero-padded administrator key."""
    return _tdes_cbc(admin_key[:ADMIN_KEY_SIZE].ljust(ADMIN_KEY_SIZE, b"\x00")[:24], challenge)


def _pins(card):
    return card.state["pins"]


def _entry(card, reference):
    entry = _pins(card).get(str(reference))
    if entry is None:
        raise SwError(SW_REF_NOT_FOUND, "no PIN %d" % reference)
    return entry


def _store(card, reference, entry):
    pins = _pins(card)
    pins[str(reference)] = entry
    card.state.update(pins=pins)


_verified = access.verified


def _take_challenge(card):
    return card.volatile.extra.pop(CHALLENGE, None)


def _matches(entry, value: bytes, challenge) -> bool:
    pin = bytes.fromhex(entry["value"])
    if challenge is not None and len(challenge) == RESPONSE_SIZE and len(value) == RESPONSE_SIZE:
        return value == pin_response(pin, challenge)
    return value == pin


def _check(card, reference, value: bytes, challenge) -> None:
    """A PIN check that counts: raises 63Cx or 6983, returns on success."""
    entry = _entry(card, reference)
    if entry["tries_left"] == 0:
        raise SwError(SW_BLOCKED, "PIN %d blocked" % reference)
    if not _matches(entry, value, challenge):
        entry["tries_left"] -= 1
        _store(card, reference, entry)
        _verified(card).discard(reference)
        raise SwError(0x63C0 | min(entry["tries_left"], 0x0F), "wrong PIN %d" % reference)
    entry["tries_left"] = entry["limit"]
    _store(card, reference, entry)
    _verified(card).add(reference)


def _old_value_split(card, reference, data: bytes, challenge):
    """old value || new PIN: the old value is the 16-byte response while a
    16-byte challenge is pending, else as long as the stored PIN."""
    if challenge is not None and len(challenge) == RESPONSE_SIZE:
        n = RESPONSE_SIZE
    else:
        n = len(bytes.fromhex(_entry(card, reference)["value"]))
    old, new = data[:n], data[n:]
    if len(old) != n or not 1 <= len(new) <= PIN_MAX:
        raise SwError(SW_WRONG_LENGTH, "old value %d bytes, new PIN %d" % (len(old), len(new)))
    return old, new


def _set_value(card, reference, value: bytes) -> None:
    entry = _entry(card, reference)
    entry.update(value=value.hex(), tries_left=entry["limit"], to_be_changed=0)
    _store(card, reference, entry)


def install_pin(card, apdu):
    access.require_device_auth(card, "InstalPin")
    if access.strict(card):
        files = Files(card)
        if bytes.fromhex(files.fs[files.cur["df"]]["name"]) != b"root":
            raise SwError(SW_CONDITIONS_NOT_SATISFIED, "PINs are installed in root")
    d = apdu.data
    if len(d) != PIN_RECORD_SIZE:
        raise SwError(SW_WRONG_LENGTH, "PIN record of %d bytes" % len(d))
    reference = d[0]
    if d[6] != d[7]:
        raise SwError(SW_WRONG_DATA, "the two try limits differ")
    entry = {
        "algorithm": struct.unpack(">I", d[1:5])[0],
        "type": d[5],
        "limit": d[6],
        "tries_left": d[6],
        "value": d[8:40].rstrip(b"\x00").hex(),
        "access": [d[40], d[41]],
        "options": [d[42], d[43]],
        "to_be_changed": d[42] & 0x01,
    }
    _store(card, reference, entry)
    _verified(card).discard(reference)
    return b""


def get_challenge(card, apdu):
    n = apdu.le
    if n > CHALLENGE_MAX:
        raise SwError(SW_WRONG_LENGTH, "challenge of %d bytes" % n)
    value = card.volatile.drbg.generate(n)
    if apdu.p1 == 0x00:
        card.volatile.extra[CHALLENGE] = value
    return value


def _device_key(card, reference):
    fmt = card.state.get("format")
    keys = fmt["keys"] if fmt else []
    if not 1 <= reference <= len(keys):
        raise SwError(SW_REF_NOT_FOUND, "no device key %d" % reference)
    return bytes.fromhex(keys[reference - 1]["key"])


def external_auth(card, apdu):
    key = _device_key(card, apdu.p2)
    if len(apdu.data) != DEVICE_CHALLENGE_SIZE:
        raise SwError(SW_WRONG_LENGTH, "cryptogram of %d bytes" % len(apdu.data))
    challenge = _take_challenge(card)
    card.volatile.extra.pop(DEVICE_AUTH, None)
    if challenge is None or len(challenge) != DEVICE_CHALLENGE_SIZE:
        raise SwError(SW_SECURITY_NOT_SATISFIED, "no 32-byte challenge pending")
    enc = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    if apdu.data != enc.update(challenge) + enc.finalize():
        raise SwError(SW_AUTH_FAILED, "wrong cryptogram")
    card.volatile.extra[DEVICE_AUTH] = apdu.p2
    return b""


def internal_auth(card, apdu):
    return hashlib.sha256(bytes.fromhex(card.state["chip_id"]) + apdu.data).digest()


def verify_pin(card, apdu):
    _check(card, apdu.p2, apdu.data, _take_challenge(card))
    return b""


def _pin_info(card, reference, e):
    return struct.pack(">IBBBBBBB", e["algorithm"], e["type"], e["tries_left"], e["limit"],
                       e["access"][0], e["access"][1], 1 if reference in _verified(card) else 0,
                       e["to_be_changed"])


def get_pin_info(card, apdu):
    if apdu.p2 == LIST_FORM:
        pins = _pins(card)
        return b"".join(_pin_info(card, int(ref), pins[ref]) for ref in sorted(pins, key=int))
    if apdu.p1 != 0x00:
        raise SwError(SW_WRONG_P1P2, "GetPINInfo P1 %02X" % apdu.p1)
    return _pin_info(card, apdu.p2, _entry(card, apdu.p2))


def change_pin(card, apdu):
    reference = apdu.p2
    challenge = _take_challenge(card)
    old, new = _old_value_split(card, reference, apdu.data, challenge)
    _check(card, reference, old, challenge)
    _set_value(card, reference, new)
    return b""


def unblock_pin(card, apdu):
    reference = apdu.p2
    _entry(card, reference)
    challenge = _take_challenge(card)
    code, new = _old_value_split(card, SO_REFERENCE, apdu.data, challenge)
    _check(card, SO_REFERENCE, code, challenge)
    _set_value(card, reference, new)
    return b""


def _admin_key(card) -> bytes:
    configured = card.state["admin_key"]
    if configured is not None:
        return bytes.fromhex(configured)
    return bytes.fromhex(_entry(card, SO_REFERENCE)["value"])


def remote_unblock_pin(card, apdu):
    reference = apdu.p2
    _entry(card, reference)
    challenge = _take_challenge(card)
    response, new = apdu.data[:RESPONSE_SIZE], apdu.data[RESPONSE_SIZE:]
    if len(response) != RESPONSE_SIZE or not 1 <= len(new) <= PIN_MAX:
        raise SwError(SW_WRONG_LENGTH, "response %d bytes, new PIN %d" % (len(response), len(new)))
    if challenge is None or len(challenge) != RESPONSE_SIZE:
        raise SwError(SW_CONDITIONS_NOT_SATISFIED, "no 16-byte challenge pending")
    so = _entry(card, SO_REFERENCE)
    if so["tries_left"] == 0:
        raise SwError(SW_BLOCKED, "PIN %d blocked" % SO_REFERENCE)
    if response != unblock_response(_admin_key(card), challenge):
        so["tries_left"] -= 1
        _store(card, SO_REFERENCE, so)
        raise SwError(0x63C0 | min(so["tries_left"], 0x0F), "wrong unblock response")
    so["tries_left"] = so["limit"]
    _store(card, SO_REFERENCE, so)
    _set_value(card, reference, new)
    return b""


def unload_pin(card, apdu):
    reference = apdu.p2
    _entry(card, reference)
    if SO_REFERENCE not in _verified(card):
        raise SwError(SW_SECURITY_NOT_SATISFIED, "the SO PIN is not verified")
    if not 1 <= len(apdu.data) <= PIN_MAX:
        raise SwError(SW_WRONG_LENGTH, "PIN of %d bytes" % len(apdu.data))
    _set_value(card, reference, apdu.data)
    return b""


def clear_secure_state(card, apdu):
    access.clear_security_state(card)
    return b""


def wipe(card) -> None:
    """The PIN table emptied (a format)."""
    card.state.update(pins={})
    access.clear_security_state(card)


def register(table) -> None:
    I, P = CLA_ISO, CLA_PROPRIETARY
    table.add(Command("InstalPin", P, 0x31, None, 0x00, install_pin,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_ALWAYS))
    for p1 in (0x00, 0x01):
        table.add(Command("GetChallenge", I, 0x84, p1, 0x00, get_challenge,
                          data=FORBIDDEN, le=REQUIRED, sm=SM_NEVER))
    table.add(Command("ExternalAuth", I, 0x82, 0x00, None, external_auth,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_NEVER))
    table.add(Command("InternalAuth", I, 0x88, 0x00, 0x02, internal_auth,
                      data=REQUIRED, le=OPTIONAL, sm=SM_OPTIONAL))
    table.add(Command("VerifyPIN", I, 0x20, None, None, verify_pin,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("GetPINInfo", P, 0x32, None, None, get_pin_info,
                      data=FORBIDDEN, le=OPTIONAL, sm=SM_OPTIONAL))
    table.add(Command("ChangePIN", P, 0x33, None, None, change_pin,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_ALWAYS))
    table.add(Command("UnblockPIN", P, 0x34, 0x00, None, unblock_pin,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_ALWAYS))
    table.add(Command("UnblockPIN", P, 0x34, 0x01, None, remote_unblock_pin,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_ALWAYS))
    table.add(Command("UnLoadPIN", P, 0x34, 0x02, None, unload_pin,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_ALWAYS))
    table.add(Command("ClearSecureState", P, 0x35, None, None, clear_secure_state,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_OPTIONAL))
