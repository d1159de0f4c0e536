"""HMAC_DRBG with SHA-256 (NIST SP 800-90A), the card's random generator."""

import hashlib
import hmac


class HmacDrbg:
    OUTLEN = 32

    def __init__(self, entropy: bytes, nonce: bytes = b"", personalization: bytes = b""):
        self._k = b"\x00" * self.OUTLEN
        self._v = b"\x01" * self.OUTLEN
        self._update(entropy + nonce + personalization)
        self.reseed_counter = 1

    def _mac(self, data: bytes) -> bytes:
        return hmac.new(self._k, data, hashlib.sha256).digest()

    def _update(self, provided: bytes = b"") -> None:
        self._k = self._mac(self._v + b"\x00" + provided)
        self._v = self._mac(self._v)
        if provided:
            self._k = self._mac(self._v + b"\x01" + provided)
            self._v = self._mac(self._v)

    def reseed(self, entropy: bytes, additional: bytes = b"") -> None:
        self._update(entropy + additional)
        self.reseed_counter = 1

    def generate(self, n: int, additional: bytes = b"") -> bytes:
        if additional:
            self._update(additional)
        out = b""
        while len(out) < n:
            self._v = self._mac(self._v)
            out += self._v
        self._update(additional)
        self.reseed_counter += 1
        return out[:n]
