"""Secure messaging of the card, written independently of the host library.

Key agreement: P-521 ECDH between a fresh card key pair and the host's key,
then the single-step concatenation KDF with SHA-512:
    K = SHA-512(00000001 || Z || OtherInfo) || SHA-512(00000002 || ...)
Z is the 66-byte x-coordinate of the shared point.  Channel keys: MAC key =
K[0:32], encryption key = K[32:64].

A wrapped command (CLA bit 0x04) carries ciphertext || MAC in its data:
    MAC = AES-CMAC(mac key, header as received || Lc field || ciphertext)
the Lc field being 1 byte (short) or 3 bytes (extended); Le is outside the
MAC.  The plaintext is AES-256-CBC (zero IV) under the encryption key, padded
with 1..16 bytes each holding the pad count.  A reply with data comes back as
ciphertext || AES-CMAC(mac key, ciphertext), then the plain status word; a
reply without data is the status word alone.
"""

import struct
from dataclasses import dataclass, replace
from typing import Optional, Tuple

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.cmac import CMAC

from .apdu import Apdu

SW_SM_DATA_INCORRECT = 0x6988

BLOCK = 16
MAC_SIZE = 16
KEY_SIZE = 32
COORD_SIZE = 68          # X, Y and scalars as the card exchanges them
SHARED_SIZE = 66         # Z of P-521
KEY_RECORD_SIZE = 144    # bit size u32, X, Y, 4 zero bytes

ALG_P521 = 0x40001011
ALG_SHA512 = 0x40000015

# Faults a test can ask the card to put into its protected replies
# (hook "sm_reply_fault").
REPLY_FAULTS = ("flip_mac", "pad_11", "pad_00", "short_15", "mac_only")


class SmError(Exception):
    def __init__(self, sw: int, message: str):
        super().__init__(message)
        self.sw = sw


def kdf_sha512(z: bytes, other_info: bytes, length: int) -> bytes:
    out = b""
    counter = 1
    while len(out) < length:
        h = hashes.Hash(hashes.SHA512())
        h.update(struct.pack(">I", counter) + z + other_info)
        out += h.finalize()
        counter += 1
    return out[:length]


def cmac(key: bytes, data: bytes) -> bytes:
    c = CMAC(algorithms.AES(key))
    c.update(data)
    return c.finalize()


def _cbc(key: bytes, data: bytes, encrypt: bool) -> bytes:
    cipher = Cipher(algorithms.AES(key), modes.CBC(bytes(BLOCK)))
    op = cipher.encryptor() if encrypt else cipher.decryptor()
    return op.update(data) + op.finalize()


def pad(data: bytes) -> bytes:
    n = BLOCK - len(data) % BLOCK
    return data + bytes([n]) * n


def unpad(data: bytes) -> bytes:
    if not data or len(data) % BLOCK:
        raise SmError(SW_SM_DATA_INCORRECT, "ciphertext is not whole blocks")
    n = data[-1]
    if not 1 <= n <= BLOCK or data[-n:] != bytes([n]) * n:
        raise SmError(SW_SM_DATA_INCORRECT, "bad padding")
    return data[:-n]


# -- key agreement ------------------------------------------------------------

def new_card_key() -> ec.EllipticCurvePrivateKey:
    return ec.generate_private_key(ec.SECP521R1())


def key_record(key: ec.EllipticCurvePrivateKey, header: bytes = b"\x00\x00\x00\x00") -> bytes:
    """The card's step-00 reply: a 4-byte header, then {bits, X, Y, 0}."""
    n = key.public_key().public_numbers()
    return (header + struct.pack(">I", 521) + n.x.to_bytes(COORD_SIZE, "big")
            + n.y.to_bytes(COORD_SIZE, "big") + bytes(4))


def host_public_key(record: bytes) -> ec.EllipticCurvePublicKey:
    """The host's 144-byte record: X at +4, Y at +72 (the bit size, which the
    host writes little-endian, is ignored).  ValueError when the point is not
    on the curve."""
    if len(record) != KEY_RECORD_SIZE:
        raise ValueError("key record of %d bytes" % len(record))
    x = int.from_bytes(record[4:4 + COORD_SIZE], "big")
    y = int.from_bytes(record[4 + COORD_SIZE:4 + 2 * COORD_SIZE], "big")
    return ec.EllipticCurvePublicNumbers(x, y, ec.SECP521R1()).public_key()


def shared_secret(card_key: ec.EllipticCurvePrivateKey, host: ec.EllipticCurvePublicKey) -> bytes:
    return card_key.exchange(ec.ECDH(), host)


@dataclass
class Channel:
    """The keys of an open secure channel."""
    mac_key: bytes
    enc_key: bytes

    @classmethod
    def derive(cls, z: bytes, other_info: bytes) -> "Channel":
        k = kdf_sha512(z, other_info, 2 * KEY_SIZE)
        return cls(mac_key=k[:KEY_SIZE], enc_key=k[KEY_SIZE:])

    def describe(self) -> dict:
        return {"mac_key": self.mac_key.hex(), "enc_key": self.enc_key.hex()}

    # -- commands -------------------------------------------------------------

    def unwrap_command(self, apdu: Apdu) -> Tuple[Apdu, bytes, bytes]:
        """Checks and decrypts a wrapped command.  Returns the command with
        its plaintext data, the MAC and the plaintext; SmError(6988) for a
        short field, a bad MAC or bad padding."""
        data = apdu.data
        if len(data) < MAC_SIZE:
            raise SmError(SW_SM_DATA_INCORRECT, "wrapped data of %d bytes" % len(data))
        lc_field = apdu.raw[4:7] if apdu.extended else apdu.raw[4:5]
        ciphertext, tag = data[:-MAC_SIZE], data[-MAC_SIZE:]
        c = CMAC(algorithms.AES(self.mac_key))
        c.update(apdu.raw[:4] + lc_field + ciphertext)
        try:
            c.verify(tag)
        except Exception:
            raise SmError(SW_SM_DATA_INCORRECT, "bad command MAC") from None
        plain = b"" if not ciphertext else unpad(_cbc(self.enc_key, ciphertext, False))
        if plain:
            case = 4 if apdu.le is not None else 3
        else:
            case = 2 if apdu.le is not None else 1
        return replace(apdu, data=plain, case=case), tag, plain

    def wrap_command(self, header: bytes, data: bytes, le: Optional[int] = None) -> bytes:
        """A wrapped command as the host sends it (for the card's own tests)."""
        ciphertext = _cbc(self.enc_key, pad(data), True) if data else b""
        lc = len(ciphertext) + MAC_SIZE
        extended = lc >= 256 or (le is not None and le >= 256)
        lc_field = (b"\x00" + struct.pack(">H", lc)) if extended else bytes([lc])
        tag = cmac(self.mac_key, header + lc_field + ciphertext)
        out = header + lc_field + ciphertext + tag
        if le is not None:
            out += struct.pack(">H", le & 0xFFFF) if extended else bytes([le & 0xFF])
        return out

    # -- replies --------------------------------------------------------------

    def wrap_reply(self, data: bytes, fault: Optional[str] = None) -> bytes:
        """Reply data as it goes back to the host, before the status word.
        With a fault the reply is protected even when it has no data."""
        if fault is None:
            if not data:
                return b""
            ciphertext = _cbc(self.enc_key, pad(data), True)
            return ciphertext + cmac(self.mac_key, ciphertext)
        if fault == "short_15":
            return bytes(15)
        if fault == "mac_only":
            return cmac(self.mac_key, b"")
        padded = pad(data)
        if fault == "pad_11":
            padded = padded[:-1] + b"\x11"
        elif fault == "pad_00":
            padded = padded[:-1] + b"\x00"
        ciphertext = _cbc(self.enc_key, padded, True)
        tag = bytearray(cmac(self.mac_key, ciphertext))
        if fault == "flip_mac":
            tag[0] ^= 0x01
        return ciphertext + bytes(tag)
