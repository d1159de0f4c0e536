"""Session-key family (class 80; key management plain or wrapped, the cipher
steps always plain).

    80 12 00 00 Lc=5     SessionKeyKAS step 1: 40001011 u32 and a parameter
                         byte -> 148 bytes: the record length u32, then
                         {bits u32, X 68, Y 68, 4 zero bytes} of a fresh card
                         P-521 key pair
    80 12 01 rr Lc=224   SessionKeyKAS step 2: 40001011, 40000015, key type
                         u32, 68 bytes OtherInfo, the host's 144-byte record:
                         the card derives the type's key length of bytes
                         (SHA-512 KDF over Z and OtherInfo) and keeps them
                         as session key rr
    80 12 01 rr Lc=220   the same with 64 bytes OtherInfo (the PKCS #11 module)
    80 13 00 rr Lc=4     GenSessionKey: type u32 -> a random key under rr
    80 14 00 rr Lc=4+n   CreateSessionKey: type u32, key (n must be the type's
                         key length, else 6700)
    80 15 00 rr          DestroySessionKey rr (6A88 when there is none)
    80 15 01 00          DestroySessionKey: all
    80 17 00 rr Le       GetSessionInfo -> type u32, strength in bits u16, key
                         length u8, block length u8 (8 bytes)
    80 61 ww rr Lc       SymImportSessionKey: type u32, the key wrapped
                         (RFC 3394) under the AES session key ww
    80 62 ww rr Le       SymExportSessionKey -> length u32 of what follows, the
                         key rr wrapped under ww
    80 63 pp rr [IV]     SymCryptInit: session key rr.  Keys of an even type
                         (ECB ids): pp 00 ECB (no data), 01 CBC (data: the IV
                         of one block, or none for a zero IV), no padding.
                         Keys of an odd type (CBC ids): CBC with the IV (none:
                         a zero IV); pp 01 pads (PKCS #7) at EncryptFinal and
                         strips the padding at DecryptFinal, 00 does not
    80 64 00 00 Lc Le    SymEncryptUpdate -> ciphertext of the whole blocks
                         so far (the rest is kept for the next step)
    80 65 00 00 [Lc] Le  SymEncryptFinal: the last data; what remains must be
                         whole blocks (no padding), else 6700; closes
    80 66 / 67           SymDecryptUpdate / SymDecryptFinal, the same way
    80 18 ss rr          SaveSession: session key rr into saved slot ss
                         (non-volatile, 3 to saved_slot_max)
    80 19 ss rr          LoadSession: saved slot ss into session key rr; a
                         key of the same cipher already under rr keeps its
                         mode, ECB or CBC (GenSessionKey before LoadSession
                         chooses it), with the saved key's length; otherwise
                         the saved type comes along

Errors: 6A80 an unknown type, a key that does not unwrap, a non-AES
wrapping key or bad padding at DecryptFinal; 6A88 no such key, an empty or
out-of-range saved slot; 6985 a cipher step without SymCryptInit or in the
other direction; 6B00 an unknown mode.
"""

import struct

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from .. import session_keys, sm
from ..apdu import SW_WRONG_LENGTH, SW_WRONG_P1P2, SwError
from ..dispatch import CLA_PROPRIETARY, FORBIDDEN, OPTIONAL, REQUIRED, SM_NEVER, SM_OPTIONAL, Command
from ..state import register_defaults

SW_CONDITIONS_NOT_SATISFIED = 0x6985

SAVED_SLOT_MIN = 3
SAVED_SLOT_LIMIT = 255
DEFAULT_SAVED_SLOT_MAX = 10

register_defaults({
    "saved_sessions": {},        # saved slot (decimal string) -> {"type", "key" hex}
    "saved_slot_max": DEFAULT_SAVED_SLOT_MAX,
})

CIPHER_CTX = "sym_cipher"
MODE_ECB = 0x00
MODE_CBC = 0x01

BITS = {16: 128, 24: 192, 32: 256}


def _type(data: bytes) -> int:
    if len(data) < 4:
        raise SwError(SW_WRONG_LENGTH, "no key type")
    return struct.unpack(">I", data[:4])[0]


KAS_PENDING = "session_kas_pending"
# Lc of step 2 -> OtherInfo length (this library: 68, the PKCS #11 module: 64)
KAS_STEP2_LENGTHS = {12 + n + sm.KEY_RECORD_SIZE: n for n in (68, 64)}


def kas_step1(card, apdu):
    data = apdu.data
    if len(data) != 5 or struct.unpack(">I", data[:4])[0] != sm.ALG_P521:
        raise SwError(session_keys.SW_WRONG_DATA, "step 1 wants 40001011 and a parameter byte")
    key = sm.new_card_key()
    card.volatile.extra[KAS_PENDING] = key
    return sm.key_record(key, header=struct.pack(">I", sm.KEY_RECORD_SIZE))


def kas_step2(card, apdu):
    data = apdu.data
    other_len = KAS_STEP2_LENGTHS.get(len(data))
    if other_len is None:
        raise SwError(SW_WRONG_LENGTH, "step 2 of %d bytes" % len(data))
    first, second, key_type = struct.unpack(">III", data[:12])
    if (first, second) != (sm.ALG_P521, sm.ALG_SHA512):
        raise SwError(session_keys.SW_WRONG_DATA, "step 2 ids %08X %08X" % (first, second))
    length = session_keys.key_length(key_type)
    key = card.volatile.extra.pop(KAS_PENDING, None)
    if key is None:
        raise SwError(SW_CONDITIONS_NOT_SATISFIED, "no step-1 key pending")
    other_info = data[12:12 + other_len]
    try:
        host = sm.host_public_key(data[12 + other_len:])
    except ValueError as e:
        raise SwError(session_keys.SW_WRONG_DATA, "host point: %s" % e) from None
    session_keys.put(card, apdu.p2, key_type, sm.kdf_sha512(sm.shared_secret(key, host), other_info, length))
    return b""


def gen_session_key(card, apdu):
    if len(apdu.data) != 4:
        raise SwError(SW_WRONG_LENGTH, "GenSessionKey takes the type only")
    key_type = _type(apdu.data)
    session_keys.put(card, apdu.p2, key_type, card.volatile.drbg.generate(session_keys.key_length(key_type)))
    return b""


def create_session_key(card, apdu):
    key_type = _type(apdu.data)
    session_keys.key_length(key_type)
    session_keys.put(card, apdu.p2, key_type, apdu.data[4:])
    return b""


def destroy_session_key(card, apdu):
    keys = session_keys.store(card).keys
    if apdu.p1 == 0x01:
        if apdu.p2 != 0x00:
            raise SwError(0x6A86, "destroy all takes P2 00")
        keys.clear()
    elif keys.pop(apdu.p2, None) is None:
        raise SwError(session_keys.SW_NOT_FOUND, "no session key %02X" % apdu.p2)
    return b""


def get_session_info(card, apdu):
    k = session_keys.get(card, apdu.p2)
    length, block, cipher = session_keys.TYPES[k.type]
    bits = BITS[length] if cipher == "AES" else {16: 80, 24: 112}[length]
    return struct.pack(">IHBB", k.type, bits, length, block)


def sym_import_session_key(card, apdu):
    key_type = _type(apdu.data)
    session_keys.key_length(key_type)
    key = session_keys.unwrap(card, apdu.p1, apdu.data[4:])
    if len(key) != session_keys.key_length(key_type):
        raise SwError(session_keys.SW_WRONG_DATA, "unwrapped key of %d bytes for %08X" % (len(key), key_type))
    session_keys.put(card, apdu.p2, key_type, key)
    return b""


def sym_export_session_key(card, apdu):
    wrapped = session_keys.wrap(card, apdu.p1, session_keys.get(card, apdu.p2).key)
    return struct.pack(">I", len(wrapped)) + wrapped


class CipherContext:
    def __init__(self, key: session_keys.SessionKey, mode: int, iv: bytes, pad: bool = False):
        algo = algorithms.AES(key.key) if key.cipher == "AES" else algorithms.TripleDES(key.key)
        self.block = key.block
        self.cipher = Cipher(algo, modes.ECB() if mode == MODE_ECB else modes.CBC(iv))
        self.pad = pad
        self.op = None
        self.encrypt = None
        self.pending = b""

    def step(self, encrypt: bool, data: bytes, final: bool) -> bytes:
        if self.op is None:
            self.encrypt = encrypt
            self.op = self.cipher.encryptor() if encrypt else self.cipher.decryptor()
        elif self.encrypt != encrypt:
            raise SwError(SW_CONDITIONS_NOT_SATISFIED, "cipher context runs the other way")
        self.pending += data
        if final and encrypt and self.pad:
            n = self.block - len(self.pending) % self.block
            self.pending += bytes([n]) * n
        if final and len(self.pending) % self.block:
            raise SwError(SW_WRONG_LENGTH, "%d bytes are not whole blocks" % len(self.pending))
        whole = len(self.pending) - len(self.pending) % self.block
        out = self.op.update(self.pending[:whole])
        self.pending = self.pending[whole:]
        if final:
            out += self.op.finalize()
            if not encrypt and self.pad:
                out = self._strip(out)
        return out

    def _strip(self, out: bytes) -> bytes:
        """Strips the padding of the last block (the earlier blocks already
        went out with the updates)."""
        n = out[-1] if out else 0
        if not out or not 1 <= n <= self.block or out[-n:] != bytes([n]) * n:
            raise SwError(session_keys.SW_WRONG_DATA, "bad padding")
        return out[:-n]


def sym_crypt_init(card, apdu):
    key = session_keys.get(card, apdu.p2)
    if key.type & 0x01:
        # A CBC id: P1 is the padding flag.
        if apdu.p1 not in (0x00, 0x01):
            raise SwError(SW_WRONG_P1P2, "padding flag %02X" % apdu.p1)
        iv = apdu.data or bytes(key.block)
        if len(iv) != key.block:
            raise SwError(SW_WRONG_LENGTH, "IV of %d bytes" % len(iv))
        card.volatile.extra[CIPHER_CTX] = CipherContext(key, MODE_CBC, iv, pad=apdu.p1 == 0x01)
        return b""
    if apdu.p1 == MODE_ECB:
        if apdu.data:
            raise SwError(SW_WRONG_LENGTH, "ECB takes no IV")
        iv = b""
    elif apdu.p1 == MODE_CBC:
        iv = apdu.data or bytes(key.block)
        if len(iv) != key.block:
            raise SwError(SW_WRONG_LENGTH, "IV of %d bytes" % len(iv))
    else:
        raise SwError(SW_WRONG_P1P2, "cipher mode %02X" % apdu.p1)
    card.volatile.extra[CIPHER_CTX] = CipherContext(key, apdu.p1, iv)
    return b""


def _cipher_step(encrypt: bool, final: bool):
    def handler(card, apdu):
        ctx = card.volatile.extra.get(CIPHER_CTX)
        if ctx is None:
            raise SwError(SW_CONDITIONS_NOT_SATISFIED, "no cipher context")
        try:
            return ctx.step(encrypt, apdu.data, final)
        finally:
            if final:
                card.volatile.extra.pop(CIPHER_CTX, None)
    return handler


def _saved_slot(card, slot: int) -> str:
    if not SAVED_SLOT_MIN <= slot <= card.state["saved_slot_max"]:
        raise SwError(session_keys.SW_NOT_FOUND, "no saved slot %d" % slot)
    return str(slot)


def save_session(card, apdu):
    slot = _saved_slot(card, apdu.p1)
    key = session_keys.get(card, apdu.p2)
    saved = card.state["saved_sessions"]
    saved[slot] = {"type": key.type, "key": key.key.hex()}
    card.state.update(saved_sessions=saved)
    return b""


def load_session(card, apdu):
    saved = card.state["saved_sessions"].get(_saved_slot(card, apdu.p1))
    if saved is None:
        raise SwError(session_keys.SW_NOT_FOUND, "saved slot %d is empty" % apdu.p1)
    value = bytes.fromhex(saved["key"])
    current = session_keys.store(card).keys.get(apdu.p2)
    key_type = saved["type"]
    if current is not None and current.key is not None and current.cipher == session_keys.TYPES[key_type][2]:
        # The key keeps the mode (ECB: even type, CBC: odd) that GenSessionKey
        # chose; its length comes from the saved key.
        mode = current.type & 1
        for t, (length, _, cipher) in session_keys.TYPES.items():
            if cipher == current.cipher and length == len(value) and t & 1 == mode:
                key_type = t
                break
    session_keys.put(card, apdu.p2, key_type, value)
    return b""


def wipe_saved(card) -> None:
    card.state.update(saved_sessions={})


def register(table) -> None:
    P = CLA_PROPRIETARY
    table.add(Command("SaveSession", P, 0x18, None, None, save_session,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("LoadSession", P, 0x19, None, None, load_session,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("SessionKeyKAS", P, 0x12, 0x00, 0x00, kas_step1,
                      data=REQUIRED, le=OPTIONAL, sm=SM_OPTIONAL))
    table.add(Command("SessionKeyKAS", P, 0x12, 0x01, None, kas_step2,
                      data=REQUIRED, le=OPTIONAL, sm=SM_OPTIONAL))
    table.add(Command("GenSessionKey", P, 0x13, 0x00, None, gen_session_key,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("CreateSessionKey", P, 0x14, 0x00, None, create_session_key,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("DestroySessionKey", P, 0x15, 0x00, None, destroy_session_key,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("DestroySessionKey", P, 0x15, 0x01, None, destroy_session_key,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("GetSessionInfo", P, 0x17, 0x00, None, get_session_info,
                      data=FORBIDDEN, le=REQUIRED, sm=SM_OPTIONAL))
    table.add(Command("SymImportSessionKey", P, 0x61, None, None, sym_import_session_key,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("SymExportSessionKey", P, 0x62, None, None, sym_export_session_key,
                      data=FORBIDDEN, le=REQUIRED, sm=SM_OPTIONAL))
    table.add(Command("SymCryptInit", P, 0x63, None, None, sym_crypt_init,
                      data=OPTIONAL, le=FORBIDDEN, sm=SM_NEVER))
    for ins, name, encrypt, final in ((0x64, "SymEncryptUpdate", True, False),
                                      (0x65, "SymEncryptFinal", True, True),
                                      (0x66, "SymDecryptUpdate", False, False),
                                      (0x67, "SymDecryptFinal", False, True)):
        table.add(Command(name, P, ins, 0x00, 0x00, _cipher_step(encrypt, final),
                          data=OPTIONAL if final else REQUIRED, le=REQUIRED, sm=SM_NEVER))
