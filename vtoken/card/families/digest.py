"""Hash and MAC families (class 80, never wrapped).

    80 51 00 00 Lc=4     DigestInit: hash id u32 (40000000 MD5, 40000011
                         SHA-1, 40000013 SHA-256, 40000014 SHA-384, 40000015
                         SHA-512); another id 6A80
    80 52 00 00 Lc       DigestUpdate: data
    80 53 00 00 [Lc] Le  DigestFinal: the last data -> the digest; the card
                         keeps it as its current digest (AsymSign P1 00 signs
                         it) and closes the context
    80 71 00 rr          MacInit: AES-CMAC under the AES session key rr
    80 72 00 00 Lc       MacUpdate
    80 73 00 00 [Lc] Le  MacFinal -> the 16-byte CMAC; closes the context

Update or Final without Init: 6985. A failed Update leaves the context open.
"""

import hashlib
import struct

from cryptography.hazmat.primitives.ciphers import algorithms
from cryptography.hazmat.primitives.cmac import CMAC

from .. import session_keys
from ..apdu import SW_WRONG_LENGTH, SwError
from ..dispatch import CLA_PROPRIETARY, FORBIDDEN, OPTIONAL, REQUIRED, SM_NEVER, Command

SW_WRONG_DATA = 0x6A80
SW_CONDITIONS_NOT_SATISFIED = 0x6985

HASHES = {
    0x40000000: "md5",
    0x40000011: "sha1",
    0x40000013: "sha256",
    0x40000014: "sha384",
    0x40000015: "sha512",
}

DIGEST_CTX = "digest"
MAC_CTX = "mac"
LAST_DIGEST = "last_digest"      # (hash id, digest) of the last DigestFinal


def hash_name(algorithm: int) -> str:
    name = HASHES.get(algorithm)
    if name is None:
        raise SwError(SW_WRONG_DATA, "unknown hash id %08X" % algorithm)
    return name


def digest_init(card, apdu):
    if len(apdu.data) != 4:
        raise SwError(SW_WRONG_LENGTH, "DigestInit takes the hash id")
    algorithm = struct.unpack(">I", apdu.data)[0]
    card.volatile.extra[DIGEST_CTX] = (algorithm, hashlib.new(hash_name(algorithm)))
    return b""


def _context(card, key):
    ctx = card.volatile.extra.get(key)
    if ctx is None:
        raise SwError(SW_CONDITIONS_NOT_SATISFIED, "no %s context" % key)
    return ctx


def digest_update(card, apdu):
    _context(card, DIGEST_CTX)[1].update(apdu.data)
    return b""


def digest_final(card, apdu):
    algorithm, h = _context(card, DIGEST_CTX)
    h.update(apdu.data)
    del card.volatile.extra[DIGEST_CTX]
    digest = h.digest()
    card.volatile.extra[LAST_DIGEST] = (algorithm, digest)
    return digest


def mac_init(card, apdu):
    c = CMAC(algorithms.AES(session_keys.aes_key(card, apdu.p2)))
    card.volatile.extra[MAC_CTX] = c
    return b""


def mac_update(card, apdu):
    _context(card, MAC_CTX).update(apdu.data)
    return b""


def mac_final(card, apdu):
    c = _context(card, MAC_CTX)
    c.update(apdu.data)
    del card.volatile.extra[MAC_CTX]
    return c.finalize()


def register(table) -> None:
    P = CLA_PROPRIETARY
    table.add(Command("DigestInit", P, 0x51, 0x00, 0x00, digest_init,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_NEVER))
    table.add(Command("DigestUpdate", P, 0x52, 0x00, 0x00, digest_update,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_NEVER))
    table.add(Command("DigestFinal", P, 0x53, 0x00, 0x00, digest_final,
                      data=OPTIONAL, le=REQUIRED, sm=SM_NEVER))
    table.add(Command("MacInit", P, 0x71, 0x00, None, mac_init,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_NEVER))
    table.add(Command("MacUpdate", P, 0x72, 0x00, 0x00, mac_update,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_NEVER))
    table.add(Command("MacFinal", P, 0x73, 0x00, 0x00, mac_final,
                      data=OPTIONAL, le=REQUIRED, sm=SM_NEVER))
