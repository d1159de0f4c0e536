"""Key blocks of the key files: the fixed layouts the host builds and reads.

The sizes and offsets come from the host's header
apdu.core/include/solvanta_key_blocks.h, read at import time, so the token
and the host share one definition.  Every block starts with the key size in
bits (u32 big-endian); every value after it is a big-endian integer
right-aligned in its field.

    RSA public   264: bits, n (256), e (4)
    RSA private  904: bits, d (256), e (4), p, q, dp, dq, qinv (128 each)
    EC public    144: bits, X (68), Y (68), 4 zero bytes
    EC private    72: bits, d (68)

Parsing raises ValueError for a block that does not fit its layout; the
callers turn that into the card's status word.
"""

import os
import struct

from cryptography.hazmat.primitives.asymmetric import ec, rsa

from .config import INCLUDE, read_numbers

HEADER = os.path.join(INCLUDE, "solvanta_key_blocks.h")
_N = read_numbers(HEADER)


def _value(name: str) -> int:
    return _N["SOLVANTA_" + name]


RSA_PUBLIC_SIZE = _value("RSA_PUBLIC_BLOCK_SIZE")
RSA_PRIVATE_SIZE = _value("RSA_PRIVATE_BLOCK_SIZE")
EC_PUBLIC_SIZE = _value("EC_PUBLIC_BLOCK_SIZE")
EC_PRIVATE_SIZE = _value("EC_PRIVATE_BLOCK_SIZE")

# (offset, size) of each field
RSA_PUBLIC = {"n": (_value("RSA_PUBLIC_N_OFFSET"), _value("RSA_PUBLIC_N_SIZE")),
              "e": (_value("RSA_PUBLIC_E_OFFSET"), _value("RSA_PUBLIC_E_SIZE"))}
_CRT = _value("RSA_PRIVATE_CRT_SIZE")
RSA_PRIVATE = {"d": (_value("RSA_PRIVATE_D_OFFSET"), _value("RSA_PRIVATE_D_SIZE")),
               "e": (_value("RSA_PRIVATE_E_OFFSET"), _value("RSA_PRIVATE_E_SIZE")),
               "p": (_value("RSA_PRIVATE_P_OFFSET"), _CRT),
               "q": (_value("RSA_PRIVATE_Q_OFFSET"), _CRT),
               "dp": (_value("RSA_PRIVATE_DP_OFFSET"), _CRT),
               "dq": (_value("RSA_PRIVATE_DQ_OFFSET"), _CRT),
               "qinv": (_value("RSA_PRIVATE_QINV_OFFSET"), _CRT)}
_COORD = _value("EC_COORDINATE_SIZE")
EC_PUBLIC = {"x": (_value("EC_PUBLIC_X_OFFSET"), _COORD), "y": (_value("EC_PUBLIC_Y_OFFSET"), _COORD)}
EC_PRIVATE = {"d": (_value("EC_PRIVATE_D_OFFSET"), _value("EC_PRIVATE_D_SIZE"))}


def _check_layout():
    for size, fields in ((RSA_PUBLIC_SIZE, RSA_PUBLIC), (RSA_PRIVATE_SIZE, RSA_PRIVATE),
                         (EC_PUBLIC_SIZE, EC_PUBLIC), (EC_PRIVATE_SIZE, EC_PRIVATE)):
        for offset, width in fields.values():
            if offset < 4 or offset + width > size:
                raise ImportError("%s: a field passes the end of its %d-byte block" % (HEADER, size))


_check_layout()


def _build(size: int, bits: int, fields: dict, values: dict) -> bytes:
    out = bytearray(size)
    out[0:4] = struct.pack(">I", bits)
    for name, value in values.items():
        offset, width = fields[name]
        out[offset:offset + width] = value.to_bytes(width, "big")
    return bytes(out)


def _fields(block: bytes, size: int, fields: dict) -> dict:
    if len(block) != size:
        raise ValueError("a block of %d bytes where %d belong" % (len(block), size))
    return {name: int.from_bytes(block[o:o + w], "big") for name, (o, w) in fields.items()}


def bits_of(block: bytes) -> int:
    if len(block) < 4:
        raise ValueError("no key size")
    return struct.unpack(">I", block[:4])[0]


# -- RSA -------------------------------------------------------------------------

def rsa_public_block(key) -> bytes:
    n = key.public_numbers()
    return _build(RSA_PUBLIC_SIZE, key.key_size, RSA_PUBLIC, {"n": n.n, "e": n.e})


def rsa_private_block(key) -> bytes:
    n = key.private_numbers()
    return _build(RSA_PRIVATE_SIZE, key.key_size, RSA_PRIVATE,
                  {"d": n.d, "e": n.public_numbers.e, "p": n.p, "q": n.q,
                   "dp": n.dmp1, "dq": n.dmq1, "qinv": n.iqmp})


def parse_rsa_public(block: bytes, bits: int):
    v = _fields(block, RSA_PUBLIC_SIZE, RSA_PUBLIC)
    if bits_of(block) != bits or v["n"].bit_length() != bits or v["e"] < 3 or not v["e"] & 1:
        raise ValueError("not an RSA-%d public key" % bits)
    return rsa.RSAPublicNumbers(v["e"], v["n"]).public_key()


def parse_rsa_private(block: bytes, bits: int):
    """The private key; cryptography checks that its parts agree."""
    v = _fields(block, RSA_PRIVATE_SIZE, RSA_PRIVATE)
    n = v["p"] * v["q"]
    if bits_of(block) != bits or n.bit_length() != bits:
        raise ValueError("not an RSA-%d private key" % bits)
    numbers = rsa.RSAPrivateNumbers(v["p"], v["q"], v["d"], v["dp"], v["dq"], v["qinv"],
                                    rsa.RSAPublicNumbers(v["e"], n))
    return numbers.private_key()


# -- EC --------------------------------------------------------------------------

def ec_public_block(key) -> bytes:
    n = key.public_numbers()
    return _build(EC_PUBLIC_SIZE, key.curve.key_size, EC_PUBLIC, {"x": n.x, "y": n.y})


def ec_private_block(key) -> bytes:
    return _build(EC_PRIVATE_SIZE, key.curve.key_size, EC_PRIVATE,
                  {"d": key.private_numbers().private_value})


def parse_ec_public(block: bytes, curve):
    v = _fields(block, EC_PUBLIC_SIZE, EC_PUBLIC)
    if bits_of(block) != curve.key_size:
        raise ValueError("not a %s public key" % curve.name)
    return ec.EllipticCurvePublicNumbers(v["x"], v["y"], curve).public_key()   # ValueError off the curve


def parse_ec_private(block: bytes, curve):
    v = _fields(block, EC_PRIVATE_SIZE, EC_PRIVATE)
    if bits_of(block) != curve.key_size:
        raise ValueError("not a %s private key" % curve.name)
    return ec.derive_private_key(v["d"], curve)     # ValueError outside 1..n-1
