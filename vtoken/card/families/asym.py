"""Asymmetric family (class 80, plain or wrapped): key pairs under 16-bit ids.

A key pair has a public id and a private id (the two may not be equal); both
are kept in non-volatile memory with the algorithm id and the two parameter
bytes given at generation or import.

Algorithm ids: 40001000 RSA-1024, 40001001 RSA-2048 (public exponent 65537
at generation), 40001010 P-256, 40001011 P-521.  Hash ids as in the hash
family (40000000 MD5, 40000011 SHA-1, 40000013 SHA-256, 40000014 SHA-384,
40000015 SHA-512).

Key blobs (integers big-endian):
    RSA public    bits u32 | modulus (bits/8 bytes) | public exponent u32
    EC public     bits u32 (256, 521) | X | Y   (32 or 66 bytes each)
    RSA private   the public blob | d (bits/8) | p (bits/16) | q (bits/16)
    EC private    the public blob | d (32 or 66 bytes)
A wrapped blob is the blob zero-padded to a multiple of 8 bytes (at least
16), wrapped with RFC 3394 under an AES session key (session_keys).

    80 81 00 00 Lc=10     AsymGenKeypair: public id u16, private id u16,
                          algorithm u32, two parameter bytes
    80 82 01 00 Lc        AsymImportPub: id u16, algorithm u32, two bytes, blob
    80 82 00 ww Lc        AsymWrapImportPub: the same with the blob wrapped
    80 83 00 ww Lc        AsymImportPri: public id, private id, algorithm,
                          two bytes, the wrapped private blob
    80 84 01 00 Lc=2 Le   AsymExportPub: id -> algorithm u32, the two bytes,
                          the blob
    80 84 00 ww Lc=2 Le   AsymWrapExportPub: the same, the blob wrapped
    80 8B 00 ww Lc=2 Le   AsymWrapExportPri: private id -> algorithm, bytes,
                          the wrapped private blob
    80 85 00 rr Lc        AsymImportSessionKey: private id, key type u32, the
                          key encrypted with RSA PKCS #1 v1.5 -> session key rr
    80 86 00 rr Lc=2 Le   AsymExportSessionKey: public id -> counted: session
                          key rr encrypted (RSA PKCS #1 v1.5)
    80 89 00 00 Lc=6 Le   AsymSign: private id, 00000000: signs the card's
                          current digest (the last DigestFinal; 6985 without)
    80 89 01 00 Lc Le     AsymSign: private id, hash id, data: hashes, signs
    80 8A 00 00 Lc Le     AsymVerifySign: id, 00000000, signature length u16,
                          signature (against the current digest)
    80 8A 01 00 Lc        AsymVerifySign: id, hash id, signature length u16,
                          signature, data
    80 87 01 / 00         AsymEnDecrypt: id, data: RSA PKCS #1 v1.5
                          encryption with the public key / decryption with
                          the private key -> counted
    80 88 01 / 00         AsymKeyOperation: id, data of the modulus length:
                          the raw RSA public / private operation -> counted

Signatures: RSA PKCS #1 v1.5 (DigestInfo of the hash); EC raw r || s, each
of the coordinate size.  Counted replies: the payload length u32, then the
payload.  Public operations take a public or a private id, private ones a
private id.

Errors: 6A80 a bad algorithm, blob, data or decryption; 6A81 an operation
the key's algorithm has not (encryption and raw operations of EC keys);
6A88 no such key (or a public id where a private one is needed); 6985 no
current digest; 6300 a signature that does not verify; 6700 bad lengths.
"""

import hashlib
import struct

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa, utils

from .. import session_keys
from ..apdu import SW_WRONG_LENGTH, SwError
from ..dispatch import CLA_PROPRIETARY, FORBIDDEN, OPTIONAL, REQUIRED, SM_OPTIONAL, Command
from ..state import register_defaults
from . import digest

SW_WRONG_DATA = 0x6A80
SW_FUNCTION_NOT_SUPPORTED = 0x6A81
SW_NOT_FOUND = 0x6A88
SW_CONDITIONS_NOT_SATISFIED = 0x6985
SW_BAD_SIGNATURE = 0x6300

RSA = "rsa"
EC = "ec"
ALGORITHMS = {
    0x40001000: (RSA, 1024, None),
    0x40001001: (RSA, 2048, None),
    0x40001010: (EC, 256, ec.SECP256R1()),
    0x40001011: (EC, 521, ec.SECP521R1()),
}

HASH_CLASSES = {"md5": hashes.MD5, "sha1": hashes.SHA1, "sha256": hashes.SHA256,
                "sha384": hashes.SHA384, "sha512": hashes.SHA512}

register_defaults({"asym_keys": {}})


def _algorithm(alg_id: int):
    row = ALGORITHMS.get(alg_id)
    if row is None:
        raise SwError(SW_WRONG_DATA, "unknown key algorithm %08X" % alg_id)
    return row


def _coord(bits: int) -> int:
    return (bits + 7) // 8


# -- blobs ----------------------------------------------------------------------

def public_blob(alg_id: int, public) -> bytes:
    kind, bits, _ = _algorithm(alg_id)
    if kind == RSA:
        n = public.public_numbers()
        return struct.pack(">I", bits) + n.n.to_bytes(bits // 8, "big") + struct.pack(">I", n.e)
    n = public.public_numbers()
    c = _coord(bits)
    return struct.pack(">I", bits) + n.x.to_bytes(c, "big") + n.y.to_bytes(c, "big")


def public_blob_size(alg_id: int) -> int:
    kind, bits, _ = _algorithm(alg_id)
    return 4 + (bits // 8 + 4 if kind == RSA else 2 * _coord(bits))


def private_blob(alg_id: int, private) -> bytes:
    kind, bits, _ = _algorithm(alg_id)
    out = public_blob(alg_id, private.public_key())
    n = private.private_numbers()
    if kind == RSA:
        return out + n.d.to_bytes(bits // 8, "big") + n.p.to_bytes(bits // 16, "big") + \
            n.q.to_bytes(bits // 16, "big")
    return out + n.private_value.to_bytes(_coord(bits), "big")


def parse_public_blob(alg_id: int, blob: bytes):
    kind, bits, curve = _algorithm(alg_id)
    if len(blob) != public_blob_size(alg_id) or struct.unpack(">I", blob[:4])[0] != bits:
        raise SwError(SW_WRONG_DATA, "public blob of %d bytes for %08X" % (len(blob), alg_id))
    try:
        if kind == RSA:
            n = int.from_bytes(blob[4:4 + bits // 8], "big")
            e = struct.unpack(">I", blob[4 + bits // 8:])[0]
            return rsa.RSAPublicNumbers(e, n).public_key()
        c = _coord(bits)
        x = int.from_bytes(blob[4:4 + c], "big")
        y = int.from_bytes(blob[4 + c:], "big")
        return ec.EllipticCurvePublicNumbers(x, y, curve).public_key()
    except ValueError as e:
        raise SwError(SW_WRONG_DATA, "bad public key: %s" % e) from None


def parse_private_blob(alg_id: int, blob: bytes):
    kind, bits, curve = _algorithm(alg_id)
    size = public_blob_size(alg_id)
    extra = bits // 8 * 2 if kind == RSA else _coord(bits)
    blob = blob[:size + extra]      # the zero padding of the wrap
    if len(blob) != size + extra:
        raise SwError(SW_WRONG_DATA, "private blob too short for %08X" % alg_id)
    public = parse_public_blob(alg_id, blob[:size])
    rest = blob[size:]
    try:
        if kind == RSA:
            pn = public.public_numbers()
            d = int.from_bytes(rest[:bits // 8], "big")
            p = int.from_bytes(rest[bits // 8:bits // 8 + bits // 16], "big")
            q = int.from_bytes(rest[bits // 8 + bits // 16:], "big")
            if p * q != pn.n:
                raise ValueError("p * q is not the modulus")
            return rsa.RSAPrivateNumbers(p, q, d, rsa.rsa_crt_dmp1(d, p), rsa.rsa_crt_dmq1(d, q),
                                         rsa.rsa_crt_iqmp(p, q), pn).private_key()
        key = ec.derive_private_key(int.from_bytes(rest, "big"), curve)
        if key.public_key().public_numbers() != public.public_numbers():
            raise ValueError("private value does not match the public point")
        return key
    except ValueError as e:
        raise SwError(SW_WRONG_DATA, "bad private key: %s" % e) from None


# -- the key store -----------------------------------------------------------------

def _store(card):
    return card.state["asym_keys"]


def _save(card, entries):
    keys = _store(card)
    keys.update(entries)
    card.state.update(asym_keys=keys)


def _entry(alg_id, p1, p2, kind, key, public_id=None):
    if kind == "private":
        der = key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    else:
        der = key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    e = {"kind": kind, "alg": alg_id, "p1": p1, "p2": p2, "der": der.hex()}
    if public_id is not None:
        e["public_id"] = public_id
    return e


def _store_pair(card, public_id, private_id, alg_id, p1, p2, private=None, public=None):
    if public_id == private_id:
        raise SwError(SW_WRONG_DATA, "public and private id are both %04X" % public_id)
    entries = {}
    if private is not None:
        public = private.public_key()
        entries[str(private_id)] = _entry(alg_id, p1, p2, "private", private, public_id)
    entries[str(public_id)] = _entry(alg_id, p1, p2, "public", public)
    _save(card, entries)


class Key:
    def __init__(self, entry):
        self.alg = entry["alg"]
        self.kind, self.bits, _ = _algorithm(self.alg)
        self.p1, self.p2 = entry["p1"], entry["p2"]
        der = bytes.fromhex(entry["der"])
        if entry["kind"] == "private":
            self.private = serialization.load_der_private_key(der, None)
            self.public = self.private.public_key()
        else:
            self.private = None
            self.public = serialization.load_der_public_key(der)

    def need_private(self):
        if self.private is None:
            raise SwError(SW_NOT_FOUND, "not a private key")
        return self.private

    def need_rsa(self):
        if self.kind != RSA:
            raise SwError(SW_FUNCTION_NOT_SUPPORTED, "not an RSA key")

    @property
    def size(self):
        return self.bits // 8 if self.kind == RSA else _coord(self.bits)


def load_key(card, key_id: int) -> Key:
    entry = _store(card).get(str(key_id))
    if entry is None:
        raise SwError(SW_NOT_FOUND, "no key %04X" % key_id)
    return Key(entry)


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


def gen_keypair(card, apdu):
    d = apdu.data
    if len(d) != 10:
        raise SwError(SW_WRONG_LENGTH, "AsymGenKeypair takes 10 bytes")
    public_id, private_id, alg_id, p1, p2 = struct.unpack(">HHIBB", d)
    kind, bits, curve = _algorithm(alg_id)
    private = rsa.generate_private_key(65537, bits) if kind == RSA else ec.generate_private_key(curve)
    _store_pair(card, public_id, private_id, alg_id, p1, p2, private=private)
    return b""


def import_pub(card, apdu):
    d = apdu.data
    if len(d) < 8:
        raise SwError(SW_WRONG_LENGTH, "import data too short")
    key_id, alg_id, p1, p2 = struct.unpack(">HIBB", d[:8])
    blob = d[8:]
    if apdu.p1 == 0x00:
        blob = session_keys.unwrap(card, apdu.p2, blob)[:public_blob_size(alg_id)]
    public = parse_public_blob(alg_id, blob)
    _save(card, {str(key_id): _entry(alg_id, p1, p2, "public", public)})
    return b""


def import_pri(card, apdu):
    d = apdu.data
    if len(d) < 10:
        raise SwError(SW_WRONG_LENGTH, "import data too short")
    public_id, private_id, alg_id, p1, p2 = struct.unpack(">HHIBB", d[:10])
    private = parse_private_blob(alg_id, session_keys.unwrap(card, apdu.p2, d[10:]))
    _store_pair(card, public_id, private_id, alg_id, p1, p2, private=private)
    return b""


def _key_only(apdu) -> int:
    if len(apdu.data) != 2:
        raise SwError(SW_WRONG_LENGTH, "the key id only")
    return _u16(apdu.data)


def export_pub(card, apdu):
    key = load_key(card, _key_only(apdu))
    blob = public_blob(key.alg, key.public)
    if apdu.p1 == 0x00:
        blob = session_keys.wrap(card, apdu.p2, blob)
    return struct.pack(">IBB", key.alg, key.p1, key.p2) + blob


def wrap_export_pri(card, apdu):
    key = load_key(card, _key_only(apdu))
    blob = private_blob(key.alg, key.need_private())
    return struct.pack(">IBB", key.alg, key.p1, key.p2) + session_keys.wrap(card, apdu.p2, blob)


def _rsa_decrypt(key: Key, data: bytes) -> bytes:
    key.need_rsa()
    try:
        return key.need_private().decrypt(data, padding.PKCS1v15())
    except ValueError:
        raise SwError(SW_WRONG_DATA, "decryption failed") from None


def _rsa_encrypt(key: Key, data: bytes) -> bytes:
    key.need_rsa()
    try:
        return key.public.encrypt(data, padding.PKCS1v15())
    except ValueError:
        raise SwError(SW_WRONG_DATA, "data too long for the key") from None


def import_session_key(card, apdu):
    d = apdu.data
    key = load_key(card, _u16(d))
    key_type = _u32(d, 2)
    plain = _rsa_decrypt(key, d[6:])
    if len(plain) != session_keys.key_length(key_type):
        raise SwError(SW_WRONG_DATA, "session key of %d bytes for %08X" % (len(plain), key_type))
    session_keys.put(card, apdu.p2, key_type, plain)
    return b""


def export_session_key(card, apdu):
    key = load_key(card, _key_only(apdu))
    return _counted(_rsa_encrypt(key, session_keys.get(card, apdu.p2).key))


def _hash_class(hash_id: int):
    return HASH_CLASSES[digest.hash_name(hash_id)]


def sign_digest(key: Key, hash_id: int, value: bytes) -> bytes:
    private = key.need_private()
    prehashed = utils.Prehashed(_hash_class(hash_id)())
    if key.kind == RSA:
        return private.sign(value, padding.PKCS1v15(), prehashed)
    r, s = utils.decode_dss_signature(private.sign(value, ec.ECDSA(prehashed)))
    return r.to_bytes(key.size, "big") + s.to_bytes(key.size, "big")


def verify_digest(key: Key, hash_id: int, value: bytes, signature: bytes) -> None:
    prehashed = utils.Prehashed(_hash_class(hash_id)())
    try:
        if key.kind == RSA:
            key.public.verify(signature, value, padding.PKCS1v15(), prehashed)
        else:
            if len(signature) != 2 * key.size:
                raise InvalidSignature()
            r = int.from_bytes(signature[:key.size], "big")
            s = int.from_bytes(signature[key.size:], "big")
            key.public.verify(utils.encode_dss_signature(r, s), value, ec.ECDSA(prehashed))
    except InvalidSignature:
        raise SwError(SW_BAD_SIGNATURE, "signature does not verify") from None


def _current_digest(card):
    last = card.volatile.extra.get(digest.LAST_DIGEST)
    if last is None:
        raise SwError(SW_CONDITIONS_NOT_SATISFIED, "no current digest")
    return last


def _hash(hash_id: int, data: bytes) -> bytes:
    return hashlib.new(digest.hash_name(hash_id), data).digest()


def sign(card, apdu):
    d = apdu.data
    key = load_key(card, _u16(d))
    hash_id = _u32(d, 2)
    if apdu.p1 == 0x00:
        if hash_id != 0 or len(d) != 6:
            raise SwError(SW_WRONG_DATA, "AsymSign 00 takes the key id and four zero bytes")
        hash_id, value = _current_digest(card)
    else:
        value = _hash(hash_id, d[6:])
    return _counted(sign_digest(key, hash_id, value))


def verify(card, apdu):
    d = apdu.data
    key = load_key(card, _u16(d))
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
        value = _hash(hash_id, rest)
    verify_digest(key, hash_id, value, signature)
    return b""


def en_decrypt(card, apdu):
    d = apdu.data
    key = load_key(card, _u16(d))
    if apdu.p1 == 0x01:
        return _counted(_rsa_encrypt(key, d[2:]))
    return _counted(_rsa_decrypt(key, d[2:]))


def key_operation(card, apdu):
    d = apdu.data
    key = load_key(card, _u16(d))
    key.need_rsa()
    value = d[2:]
    if len(value) != key.size:
        raise SwError(SW_WRONG_LENGTH, "raw operation on %d bytes" % len(value))
    pn = key.public.public_numbers()
    m = int.from_bytes(value, "big")
    if m >= pn.n:
        raise SwError(SW_WRONG_DATA, "value not below the modulus")
    exponent = pn.e if apdu.p1 == 0x01 else key.need_private().private_numbers().d
    return _counted(pow(m, exponent, pn.n).to_bytes(key.size, "big"))


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
