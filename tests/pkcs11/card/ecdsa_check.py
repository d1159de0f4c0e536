#!/usr/bin/python3
"""Checks an ECDSA signature of the card with python3-cryptography and with
openssl. Usage: ecdsa_check.py <mechanism> <message hex> <point hex>
<signature hex (r || s)>; the mechanism is ECDSA (the message is the hash
value) or ECDSA_SHA1/256/384/512. Exit status 0 when both accept it."""
import hashlib
import os
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, utils

HASHES = {"ECDSA_SHA1": "sha1", "ECDSA_SHA256": "sha256", "ECDSA_SHA384": "sha384", "ECDSA_SHA512": "sha512"}


def main():
    mech, message, point, signature = sys.argv[1], *(bytes.fromhex(a) for a in sys.argv[2:5])
    curve = ec.SECP256R1() if len(point) == 65 else ec.SECP521R1()
    d = (len(point) - 1) // 2
    public = ec.EllipticCurvePublicKey.from_encoded_point(curve, point)
    r, s = int.from_bytes(signature[:d], "big"), int.from_bytes(signature[d:], "big")
    der = utils.encode_dss_signature(r, s)
    digest = message if mech == "ECDSA" else hashlib.new(HASHES[mech], message).digest()
    # The hash value as given, of whatever length: cryptography wants a
    # digest algorithm of that size, so name one that has it.
    by_size = {20: hashes.SHA1(), 28: hashes.SHA224(), 32: hashes.SHA256(), 48: hashes.SHA384(), 64: hashes.SHA512()}
    public.verify(der, digest, ec.ECDSA(utils.Prehashed(by_size[len(digest)])))

    with tempfile.TemporaryDirectory() as tmp:
        paths = {n: os.path.join(tmp, n) for n in ("pub.pem", "hash.bin", "sig.der")}
        with open(paths["pub.pem"], "wb") as f:
            f.write(public.public_bytes(serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
        with open(paths["hash.bin"], "wb") as f:
            f.write(digest)
        with open(paths["sig.der"], "wb") as f:
            f.write(der)
        out = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", paths["pub.pem"], "-in",
                              paths["hash.bin"], "-sigfile", paths["sig.der"]], capture_output=True, text=True)
        if out.returncode != 0:
            print("openssl refused:", out.stdout, out.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
