"""Session keys of the card: symmetric keys under one-byte references, kept in
volatile memory (a reset, power cycle or removal clears them).

Key types (u32), with their key and block lengths in bytes:

    40002000, 40002001   AES-128   16 / 16
    40002010, 40002011   AES-192   24 / 16
    40002020, 40002021   AES-256   32 / 16
    40002110, 40002111   3DES      16 / 8   (two-key)
    40002120, 40002121   3DES      24 / 8   (three-key)

Wrapping under a session key (SymImport/ExportSessionKey and the Wrap* forms
of the asymmetric family) is the AES key wrap of RFC 3394 with the default
IV; only AES session keys wrap.
"""

from dataclasses import dataclass
from typing import Dict

from cryptography.hazmat.primitives import keywrap

from .apdu import SwError

SW_WRONG_DATA = 0x6A80
SW_NOT_FOUND = 0x6A88

# type -> (key length, block length, cipher name)
TYPES = {
    0x40002000: (16, 16, "AES"), 0x40002001: (16, 16, "AES"),
    0x40002010: (24, 16, "AES"), 0x40002011: (24, 16, "AES"),
    0x40002020: (32, 16, "AES"), 0x40002021: (32, 16, "AES"),
    0x40002110: (16, 8, "3DES"), 0x40002111: (16, 8, "3DES"),
    0x40002120: (24, 8, "3DES"), 0x40002121: (24, 8, "3DES"),
}

EXTRA_KEY = "session_keys"


@dataclass
class SessionKey:
    type: int
    key: bytes

    @property
    def block(self) -> int:
        return TYPES[self.type][1]

    @property
    def cipher(self) -> str:
        return TYPES[self.type][2]


class SessionKeyStore:
    def __init__(self) -> None:
        self.keys: Dict[int, SessionKey] = {}

    def describe(self) -> dict:
        return {"%d" % ref: {"type": k.type, "key": k.key.hex()} for ref, k in sorted(self.keys.items())}


def key_length(key_type: int) -> int:
    """Key length of a type; SwError(6A80) for a type the card does not know."""
    row = TYPES.get(key_type)
    if row is None:
        raise SwError(SW_WRONG_DATA, "unknown session key type %08X" % key_type)
    return row[0]


def store(card) -> SessionKeyStore:
    s = card.volatile.extra.get(EXTRA_KEY)
    if s is None:
        s = card.volatile.extra[EXTRA_KEY] = SessionKeyStore()
    return s


def put(card, ref: int, key_type: int, key: bytes) -> None:
    if len(key) != key_length(key_type):
        raise SwError(0x6700, "key of %d bytes for type %08X" % (len(key), key_type))
    store(card).keys[ref] = SessionKey(key_type, bytes(key))


def get(card, ref: int) -> SessionKey:
    k = store(card).keys.get(ref)
    if k is None:
        raise SwError(SW_NOT_FOUND, "no session key %02X" % ref)
    return k


def aes_key(card, ref: int) -> bytes:
    k = get(card, ref)
    if k.cipher != "AES":
        raise SwError(SW_WRONG_DATA, "session key %02X is not an AES key" % ref)
    return k.key


def wrap(card, ref: int, data: bytes) -> bytes:
    """RFC 3394 wrap under session key ref; data is zero-padded to a multiple
    of 8 bytes (at least 16)."""
    data = bytes(data)
    if len(data) < 16:
        data += bytes(16 - len(data))
    data += bytes(-len(data) % 8)
    return keywrap.aes_key_wrap(aes_key(card, ref), data)


def unwrap(card, ref: int, wrapped: bytes) -> bytes:
    kek = aes_key(card, ref)
    try:
        return keywrap.aes_key_unwrap(kek, bytes(wrapped))
    except (ValueError, keywrap.InvalidUnwrap):
        raise SwError(SW_WRONG_DATA, "wrapped key does not unwrap under %02X" % ref) from None
