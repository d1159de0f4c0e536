"""Asymmetric family (class 80, plain or wrapped): key pairs in key files.

A key lives in an EF of the current DF: a public key in a file of type 20, a
private key in a file of type 30 (CreateFile makes them, empty; DeleteFile
removes them with their key).  A file holds its algorithm id and its key
block (card/key_blocks.py) once a key was generated or imported into it; a
key command on an empty key file answers 6A88, on a missing file (or one of
the other type) 6A82.

Algorithm ids: 40001000 RSA-1024, 40001001 RSA-2048 (public exponent 65537
at generation), 40001010 P-256, 40001011 P-521.  Hash ids as in the hash
family (40000000 MD5, 40000011 SHA-1, 40000013 SHA-256, 40000014 SHA-384,
40000015 SHA-512).

    80 81 00 00 Lc=10     AsymGenKeypair: public id u16, private id u16,
                          algorithm u32, two parameter bytes
    80 82 01 00 Lc        AsymImportPub: id u16, algorithm u32, two bytes,
                          the public block (Lc must be 8 + its size)
    80 82 00 ww Lc        AsymWrapImportPub: the same with the block wrapped
    80 83 00 ww Lc        AsymImportPri: private id, public id, algorithm,
                          two bytes, the private block wrapped under the AES
                          session key ww; the key must match the key in the
                          public file, or fills an empty public file
    80 84 01 00 Lc=2 Le   AsymExportPub: id -> algorithm u32, 00 00, block
    80 84 00 ww Lc=2 Le   AsymWrapExportPub: the same, the block wrapped
    80 8B 00 ww Lc=2 Le   AsymWrapExportPri: private id -> algorithm, 00 00,
                          the wrapped private block
    80 85 00 rr Lc        AsymImportSessionKey: private id, key type u32, the
                          key encrypted with RSA PKCS #1 v1.5 -> session key rr
    80 86 00 rr Lc=2 Le   AsymExportSessionKey: id -> counted: session key rr
                          encrypted (RSA PKCS #1 v1.5)
    80 89 00 00 Lc=6 Le   AsymSign: private id, 00000000: signs the card's
                          current digest (the last DigestFinal; 6985 without)
    80 89 01 00 Lc Le     AsymSign: private id, hash id, data.  The card does
                          not hash: RSA signs DigestInfo(hash) || data, the
                          data being a digest of that hash (hash id 0: the
                          data as given, at most k - 11 bytes); EC signs the
                          data as the hash (cut to the order's bit length)
    80 8A 00 00 Lc        AsymVerifySign: id, 00000000, signature length u16,
                          signature (against the current digest)
    80 8A 01 00 Lc        AsymVerifySign: id, hash id, signature length u16,
                          signature, data (taken as AsymSign takes it)
    80 87 01 / 00         AsymEnDecrypt: id, data: RSA PKCS #1 v1.5
                          encryption with the public key / decryption of k
                          bytes with the private key -> counted
    80 88 01 / 00         AsymKeyOperation: id, k bytes: the raw RSA public /
                          private operation -> counted

Signatures: RSA PKCS #1 v1.5, deterministic; EC r || s, each of the
coordinate size (32 or 66 bytes).  Counted replies: the payload length u32,
then the payload.  Public operations take a public or a private key file,
private ones a private key file.

In strict access mode a key written (generated or imported) needs the write
access byte of its file, and a private key used (signature, decryption, raw
operation, session-key import) the use byte of its file; exporting a private
block needs its read byte.

Errors: 6A80 a bad algorithm, block, data, key that does not match its
public file, or failed decryption; 6A81 encryption and raw operations of EC
keys; 6A82 no key file of the needed type; 6A88 an empty key file, no such
session key; 6982 AsymExportPub of a private key file, or an access byte
not met; 6985 no current digest; 6300 a signature that does not verify;
6700 bad lengths.
"""

import hashlib
import secrets
import struct

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa, utils

from .. import access, key_blocks, session_keys
from ..apdu import SW_SECURITY_NOT_SATISFIED, SW_WRONG_LENGTH, SwError
from ..dispatch import CLA_PROPRIETARY, FORBIDDEN, OPTIONAL, REQUIRED, SM_OPTIONAL, Command
from . import digest
from .files import Files

SW_WRONG_DATA = 0x6A80
SW_FUNCTION_NOT_SUPPORTED = 0x6A81
SW_FILE_NOT_FOUND = 0x6A82
SW_NOT_FOUND = 0x6A88
SW_CONDITIONS_NOT_SATISFIED = 0x6985
SW_BAD_SIGNATURE = 0x6300

PUBLIC_FILE = 0x20
PRIVATE_FILE = 0x30

RSA = "rsa"
EC = "ec"
# id -> (kind, bits, curve, curve order)
ALGORITHMS = {
    0x40001000: (RSA, 1024, None, None),
    0x40001001: (RSA, 2048, None, None),
    0x40001010: (EC, 256, ec.SECP256R1(),
                 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551),
    0x40001011: (EC, 521, ec.SECP521R1(),
                 0x01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFA51868783BF2F966B7FCC0148F709A5D03BB5C9B8899C47AEBB6FB71E91386409),
}

HASH_CLASSES = {"md5": hashes.MD5, "sha1": hashes.SHA1, "sha256": hashes.SHA256,
                "sha384": hashes.SHA384, "sha512": hashes.SHA512}

# DigestInfo prefixes of PKCS #1 v1.5 signatures, by hash name
DIGEST_INFO = {
    "md5": bytes.fromhex("3020300c06082a864886f70d020505000410"),
    "sha1": bytes.fromhex("3021300906052b0e03021a05000414"),
    "sha256": bytes.fromhex("3031300d060960864801650304020105000420"),
    "sha384": bytes.fromhex("3041300d060960864801650304020205000430"),
    "sha512": bytes.fromhex("3051300d060960864801650304020305000440"),
}


def _algorithm(alg_id: int):
    row = ALGORITHMS.get(alg_id)
    if row is None:
        raise SwError(SW_WRONG_DATA, "unknown key algorithm %08X" % alg_id)
    return row


def _coord(bits: int) -> int:
    return (bits + 7) // 8


# -- blocks ---------------------------------------------------------------------

def public_block(alg_id: int, public) -> bytes:
    kind = _algorithm(alg_id)[0]
    return key_blocks.rsa_public_block(public) if kind == RSA else key_blocks.ec_public_block(public)


def private_block(alg_id: int, private) -> bytes:
    kind = _algorithm(alg_id)[0]
    return key_blocks.rsa_private_block(private) if kind == RSA else key_blocks.ec_private_block(private)


def public_block_size(alg_id: int) -> int:
    return key_blocks.RSA_PUBLIC_SIZE if _algorithm(alg_id)[0] == RSA else key_blocks.EC_PUBLIC_SIZE


def private_block_size(alg_id: int) -> int:
    return key_blocks.RSA_PRIVATE_SIZE if _algorithm(alg_id)[0] == RSA else key_blocks.EC_PRIVATE_SIZE


def parse_public_block(alg_id: int, block: bytes):
    kind, bits, curve, _ = _algorithm(alg_id)
    try:
        if kind == RSA:
            return key_blocks.parse_rsa_public(block, bits)
        return key_blocks.parse_ec_public(block, curve)
    except ValueError as e:
        raise SwError(SW_WRONG_DATA, "bad public key: %s" % e) from None


def parse_private_block(alg_id: int, block: bytes):
    kind, bits, curve, order = _algorithm(alg_id)
    try:
        if kind == RSA:
            return key_blocks.parse_rsa_private(block, bits)
        if not 0 < int.from_bytes(block[4:], "big") < order:
            raise ValueError("private value outside 1 .. n - 1")
        return key_blocks.parse_ec_private(block, curve)
    except ValueError as e:
        raise SwError(SW_WRONG_DATA, "bad private key: %s" % e) from None


# -- key files --------------------------------------------------------------------

class Key:
    """The key of a key file: its algorithm and the parsed key."""

    def __init__(self, alg_id: int, private, public):
        self.alg = alg_id
        self.kind, self.bits, self.curve, self.order = _algorithm(alg_id)
        self.private = private
        self.public = public

    def need_private(self):
        if self.private is None:
            raise SwError(SW_FILE_NOT_FOUND, "not a private key file")
        return self.private

    def need_rsa(self):
        if self.kind != RSA:
            raise SwError(SW_FUNCTION_NOT_SUPPORTED, "not an RSA key")

    @property
    def size(self):
        return self.bits // 8 if self.kind == RSA else _coord(self.bits)


# Parsed keys by their stored block: parsing an RSA key checks it, which
# costs more than most commands.
_parsed = {}
_PARSED_MAX = 64


def _parse_stored(entry) -> Key:
    cache_key = (entry["alg"], entry["block"])
    key = _parsed.get(cache_key)
    if key is None:
        block = bytes.fromhex(entry["block"])
        if entry["private"]:
            private = parse_private_block(entry["alg"], block)
            key = Key(entry["alg"], private, private.public_key())
        else:
            key = Key(entry["alg"], None, parse_public_block(entry["alg"], block))
        if len(_parsed) >= _PARSED_MAX:
            _parsed.clear()
        _parsed[cache_key] = key
    return key


class KeyFile:
    def __init__(self, files: Files, path: str):
        self.files = files
        self.path = path
        self.entry = files.fs[path]

    @property
    def private(self) -> bool:
        return self.entry["type"] == PRIVATE_FILE

    @property
    def stored(self):
        return self.entry.get("key")

    def key(self) -> Key:
        if self.stored is None:
            raise SwError(SW_NOT_FOUND, "key file %04X is empty" % self.entry["id"])
        return _parse_stored(self.stored)

    def require(self, card, byte: int, what: str) -> None:
        access.require(card, self.entry["access"][byte], "%s key file %04X" % (what, self.entry["id"]))

    def put(self, card, alg_id: int, block: bytes) -> None:
        self.require(card, 1, "write")
        self.entry["key"] = {"alg": alg_id, "bits": _algorithm(alg_id)[1], "block": block.hex(),
                             "private": self.private}
        self.files.save()


def key_file(card, key_id: int, file_type=None, files=None) -> KeyFile:
    """The key file of that id in the current DF; file_type None takes
    either.  Key files written together share one view of the file tree."""
    files = files if files is not None else Files(card)
    path = files.child_by_id(files.cur["df"], key_id, "ef")
    if path is None or files.fs[path]["type"] not in (PUBLIC_FILE, PRIVATE_FILE) or \
            (file_type is not None and files.fs[path]["type"] != file_type):
        raise SwError(SW_FILE_NOT_FOUND, "no key file %04X of type %s" % (key_id, file_type))
    return KeyFile(files, path)


def private_key(card, key_id: int) -> Key:
    """The private key of a private key file, checked against its use byte."""
    f = key_file(card, key_id, PRIVATE_FILE)
    f.require(card, 2, "use")
    return f.key()


def any_key(card, key_id: int) -> Key:
    return key_file(card, key_id).key()


# -- commands --------------------------------------------------------------------

def _u16(data, at=0):
    if len(data) < at + 2:
        raise SwError(SW_WRONG_LENGTH, "data too short")
    return struct.unpack(">H", data[at:at + 2])[0]


def _u32(data, at):
    if len(data) < at + 4:
        raise SwError(SW_WRONG_LENGTH, "data too short")
    return struct.unpack(">I", data[at:at + 4])[0]


def _counted(payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + payload


def _export_head(alg_id: int) -> bytes:
    return struct.pack(">IBB", alg_id, 0, 0)


def gen_keypair(card, apdu):
    d = apdu.data
    if len(d) != 10:
        raise SwError(SW_WRONG_LENGTH, "AsymGenKeypair takes 10 bytes")
    public_id, private_id, alg_id, _, _ = struct.unpack(">HHIBB", d)
    kind, bits, curve, _ = _algorithm(alg_id)
    public_file = key_file(card, public_id, PUBLIC_FILE)
    private_file = key_file(card, private_id, PRIVATE_FILE, public_file.files)
    public_file.require(card, 1, "write")
    private_file.require(card, 1, "write")
    private = rsa.generate_private_key(65537, bits) if kind == RSA else ec.generate_private_key(curve)
    public_file.put(card, alg_id, public_block(alg_id, private.public_key()))
    private_file.put(card, alg_id, private_block(alg_id, private))
    return b""


def import_pub(card, apdu):
    d = apdu.data
    if len(d) < 8:
        raise SwError(SW_WRONG_LENGTH, "import data too short")
    key_id, alg_id = struct.unpack(">HI", d[:6])
    size = public_block_size(alg_id)
    block = d[8:]
    if apdu.p1 == 0x00:
        block = session_keys.unwrap(card, apdu.p2, block)[:size]
    elif len(block) != size:
        raise SwError(SW_WRONG_LENGTH, "a public block of %d bytes where %d belong" % (len(block), size))
    f = key_file(card, key_id, PUBLIC_FILE)
    parse_public_block(alg_id, block)
    f.put(card, alg_id, block)
    return b""


def import_pri(card, apdu):
    d = apdu.data
    if len(d) < 10:
        raise SwError(SW_WRONG_LENGTH, "import data too short")
    private_id, public_id, alg_id = struct.unpack(">HHI", d[:8])
    _algorithm(alg_id)
    private_file = key_file(card, private_id, PRIVATE_FILE)
    public_file = key_file(card, public_id, PUBLIC_FILE, private_file.files)
    private_file.require(card, 1, "write")
    block = session_keys.unwrap(card, apdu.p2, d[10:])
    if len(block) != private_block_size(alg_id):
        raise SwError(SW_WRONG_DATA, "a private block of %d bytes for %08X" % (len(block), alg_id))
    private = parse_private_block(alg_id, block)
    if public_file.stored is None:
        # A private key imported alone completes its pair: the public key
        # file gets the public half.
        public_file.put(card, alg_id, public_block(alg_id, private.public_key()))
    else:
        public = public_file.key()
        if public.alg != alg_id or public.public.public_numbers() != private.public_key().public_numbers():
            raise SwError(SW_WRONG_DATA, "the private key does not match public key file %04X" % public_id)
    private_file.put(card, alg_id, block)
    return b""


def _key_only(apdu) -> int:
    if len(apdu.data) != 2:
        raise SwError(SW_WRONG_LENGTH, "the key id only")
    return _u16(apdu.data)


def export_pub(card, apdu):
    f = key_file(card, _key_only(apdu))
    if f.private:
        raise SwError(SW_SECURITY_NOT_SATISFIED, "AsymExportPub of a private key file")
    key = f.key()
    block = public_block(key.alg, key.public)
    if apdu.p1 == 0x00:
        block = session_keys.wrap(card, apdu.p2, block)
    return _export_head(key.alg) + block


def wrap_export_pri(card, apdu):
    f = key_file(card, _key_only(apdu), PRIVATE_FILE)
    f.require(card, 0, "read")
    key = f.key()
    return _export_head(key.alg) + session_keys.wrap(card, apdu.p2, private_block(key.alg, key.private))


# -- RSA -------------------------------------------------------------------------

def _rsa_private_op(key: Key, value: int) -> int:
    """m^d mod n through the CRT parts."""
    n = key.private.private_numbers()
    m1 = pow(value, n.dmp1, n.p)
    m2 = pow(value, n.dmq1, n.q)
    return m2 + (n.iqmp * (m1 - m2) % n.p) * n.q


def _rsa_raw_private(key: Key, data: bytes) -> bytes:
    key.need_rsa()
    key.need_private()
    if len(data) != key.size:
        raise SwError(SW_WRONG_LENGTH, "%d bytes for a %d-byte modulus" % (len(data), key.size))
    value = int.from_bytes(data, "big")
    if value >= key.public.public_numbers().n:
        raise SwError(SW_WRONG_DATA, "value not below the modulus")
    return _rsa_private_op(key, value).to_bytes(key.size, "big")


def _rsa_decrypt(key: Key, data: bytes) -> bytes:
    """PKCS #1 v1.5 type-2 unpadding of the raw private operation."""
    em = _rsa_raw_private(key, data)
    sep = em.find(b"\x00", 2)
    if em[:2] != b"\x00\x02" or sep < 10:
        raise SwError(SW_WRONG_DATA, "decryption failed")
    return em[sep + 1:]


def _rsa_encrypt(key: Key, data: bytes) -> bytes:
    key.need_rsa()
    if len(data) > key.size - 11:
        raise SwError(SW_WRONG_LENGTH, "%d bytes do not fit a %d-byte modulus" % (len(data), key.size))
    return key.public.encrypt(data, padding.PKCS1v15())


def _signed_value(key: Key, hash_id: int, value: bytes) -> bytes:
    """What an RSA signature pads: DigestInfo || digest, or the data itself."""
    if hash_id == 0:
        return value
    name = digest.hash_name(hash_id)
    if len(value) != hashlib.new(name).digest_size:
        raise SwError(SW_WRONG_LENGTH, "%d bytes are not a %s digest" % (len(value), name))
    return DIGEST_INFO[name] + value


def _type1(key: Key, t: bytes) -> bytes:
    if len(t) > key.size - 11:
        raise SwError(SW_WRONG_LENGTH, "%d bytes do not fit a %d-byte modulus" % (len(t), key.size))
    return b"\x00\x01" + b"\xff" * (key.size - 3 - len(t)) + b"\x00" + t


# -- ECDSA -----------------------------------------------------------------------

def _ec_hash_value(key: Key, value: bytes) -> int:
    """The data as the hash: its leftmost bits, as many as the order has."""
    e = int.from_bytes(value, "big")
    excess = 8 * len(value) - key.order.bit_length()
    return e >> excess if excess > 0 else e


def _ecdsa_sign(key: Key, value: bytes) -> bytes:
    n = key.order
    e = _ec_hash_value(key, value)
    d = key.need_private().private_numbers().private_value
    while True:
        k = secrets.randbelow(n - 1) + 1
        r = ec.derive_private_key(k, key.curve).public_key().public_numbers().x % n
        s = pow(k, -1, n) * (e + r * d) % n
        if r and s:
            return r.to_bytes(key.size, "big") + s.to_bytes(key.size, "big")


def _ecdsa_verify(key: Key, value: bytes, signature: bytes) -> None:
    """Through cryptography, with the data brought to a digest length that
    gives the same hash value."""
    if len(signature) != 2 * key.size:
        raise InvalidSignature()
    width = 32 if key.bits == 256 else 64
    if len(value) > width:
        if key.bits != 256:
            raise SwError(SW_WRONG_DATA, "the card verifies P-521 over at most 64 bytes")
        value = value[:width]
    value = value.rjust(width, b"\x00")
    prehashed = utils.Prehashed(hashes.SHA256() if width == 32 else hashes.SHA512())
    r = int.from_bytes(signature[:key.size], "big")
    s = int.from_bytes(signature[key.size:], "big")
    key.public.verify(utils.encode_dss_signature(r, s), value, ec.ECDSA(prehashed))


def sign_value(key: Key, hash_id: int, value: bytes) -> bytes:
    if key.kind == RSA:
        em = _type1(key, _signed_value(key, hash_id, value))
        return _rsa_private_op(key, int.from_bytes(em, "big")).to_bytes(key.size, "big")
    if hash_id:
        digest.hash_name(hash_id)
    return _ecdsa_sign(key, value)


def verify_value(key: Key, hash_id: int, value: bytes, signature: bytes) -> None:
    try:
        if key.kind == RSA:
            expected = _type1(key, _signed_value(key, hash_id, value))
            s = int.from_bytes(signature, "big")
            pn = key.public.public_numbers()
            if len(signature) != key.size or s >= pn.n or \
                    pow(s, pn.e, pn.n).to_bytes(key.size, "big") != expected:
                raise InvalidSignature()
        else:
            if hash_id:
                digest.hash_name(hash_id)
            _ecdsa_verify(key, value, signature)
    except InvalidSignature:
        raise SwError(SW_BAD_SIGNATURE, "signature does not verify") from None


def _current_digest(card):
    last = card.volatile.extra.get(digest.LAST_DIGEST)
    if last is None:
        raise SwError(SW_CONDITIONS_NOT_SATISFIED, "no current digest")
    return last


def sign(card, apdu):
    d = apdu.data
    key_id = _u16(d)
    hash_id = _u32(d, 2)
    if apdu.p1 == 0x00:
        if hash_id != 0 or len(d) != 6:
            raise SwError(SW_WRONG_DATA, "AsymSign 00 takes the key id and four zero bytes")
        key = private_key(card, key_id)
        hash_id, value = _current_digest(card)
    else:
        key = private_key(card, key_id)
        value = d[6:]
    return _counted(sign_value(key, hash_id, value))


def verify(card, apdu):
    d = apdu.data
    key = any_key(card, _u16(d))
    hash_id = _u32(d, 2)
    sig_len = _u16(d, 6)
    signature = d[8:8 + sig_len]
    if len(signature) != sig_len:
        raise SwError(SW_WRONG_LENGTH, "signature shorter than its length")
    rest = d[8 + sig_len:]
    if apdu.p1 == 0x00:
        if hash_id != 0 or rest:
            raise SwError(SW_WRONG_DATA, "AsymVerifySign 00 takes no hash id and no data")
        hash_id, value = _current_digest(card)
    else:
        value = rest
    verify_value(key, hash_id, value, signature)
    return b""


def en_decrypt(card, apdu):
    d = apdu.data
    key_id = _u16(d)
    if apdu.p1 == 0x01:
        return _counted(_rsa_encrypt(any_key(card, key_id), d[2:]))
    return _counted(_rsa_decrypt(private_key(card, key_id), d[2:]))


def key_operation(card, apdu):
    d = apdu.data
    key_id = _u16(d)
    if apdu.p1 == 0x00:
        return _counted(_rsa_raw_private(private_key(card, key_id), d[2:]))
    key = any_key(card, key_id)
    key.need_rsa()
    if len(d) - 2 != key.size:
        raise SwError(SW_WRONG_LENGTH, "raw operation on %d bytes" % (len(d) - 2))
    pn = key.public.public_numbers()
    m = int.from_bytes(d[2:], "big")
    if m >= pn.n:
        raise SwError(SW_WRONG_DATA, "value not below the modulus")
    return _counted(pow(m, pn.e, pn.n).to_bytes(key.size, "big"))


def import_session_key(card, apdu):
    d = apdu.data
    key = private_key(card, _u16(d))
    key_type = _u32(d, 2)
    plain = _rsa_decrypt(key, d[6:])
    if len(plain) != session_keys.key_length(key_type):
        raise SwError(SW_WRONG_DATA, "session key of %d bytes for %08X" % (len(plain), key_type))
    session_keys.put(card, apdu.p2, key_type, plain)
    return b""


def export_session_key(card, apdu):
    key = any_key(card, _key_only(apdu))
    return _counted(_rsa_encrypt(key, session_keys.get(card, apdu.p2).key))


def register(table) -> None:
    P = CLA_PROPRIETARY

    def add(name, ins, p1, p2, handler, le):
        table.add(Command(name, P, ins, p1, p2, handler, data=REQUIRED, le=le, sm=SM_OPTIONAL))

    add("AsymGenKeypair", 0x81, 0x00, 0x00, gen_keypair, OPTIONAL)
    add("AsymWrapImportPub", 0x82, 0x00, None, import_pub, FORBIDDEN)
    add("AsymImportPub", 0x82, 0x01, 0x00, import_pub, FORBIDDEN)
    add("AsymImportPri", 0x83, 0x00, None, import_pri, FORBIDDEN)
    add("AsymWrapExportPub", 0x84, 0x00, None, export_pub, REQUIRED)
    add("AsymExportPub", 0x84, 0x01, 0x00, export_pub, REQUIRED)
    add("AsymWrapExportPri", 0x8B, 0x00, None, wrap_export_pri, REQUIRED)
    add("AsymImportSessionKey", 0x85, 0x00, None, import_session_key, FORBIDDEN)
    add("AsymExportSessionKey", 0x86, 0x00, None, export_session_key, REQUIRED)
    add("AsymSign", 0x89, 0x00, 0x00, sign, REQUIRED)
    add("AsymSign", 0x89, 0x01, 0x00, sign, REQUIRED)
    add("AsymVerifySign", 0x8A, 0x00, 0x00, verify, OPTIONAL)
    add("AsymVerifySign", 0x8A, 0x01, 0x00, verify, OPTIONAL)
    add("AsymEnDecrypt", 0x87, 0x00, 0x00, en_decrypt, REQUIRED)
    add("AsymEnDecrypt", 0x87, 0x01, 0x00, en_decrypt, REQUIRED)
    add("AsymKeyOperation", 0x88, 0x00, 0x00, key_operation, REQUIRED)
    add("AsymKeyOperation", 0x88, 0x01, 0x00, key_operation, REQUIRED)
