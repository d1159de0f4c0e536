#!/usr/bin/env python3
"""Checks the certificate request the store tests wrote (base64 without
line breaks) with openssl and python3-cryptography: openssl accepts its
signature, its subject reads C, O, CN in DER order, its public key is the
container's.

    store_csr_check.py REQUEST.b64 CONTAINER_PUBLIC_KEY.pem
"""
import base64
import subprocess
import sys

from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.x509.oid import NameOID


def main():
    text = open(sys.argv[1], "rb").read()
    assert b"\n" not in text and b"\r" not in text, "line breaks in the base64"
    der = base64.b64decode(text, validate=True)
    out = subprocess.run(["openssl", "req", "-inform", "DER", "-verify", "-noout", "-subject"],
                         input=der, capture_output=True, timeout=60)
    report = (out.stdout + out.stderr).decode()
    print(report)
    assert out.returncode == 0 and "verify OK" in report, "openssl does not verify the request"
    csr = x509.load_der_x509_csr(der)
    assert csr.is_signature_valid
    order = [rdn._attributes[0].oid for rdn in csr.subject.rdns]
    assert order == [NameOID.COUNTRY_NAME, NameOID.ORGANIZATION_NAME, NameOID.COMMON_NAME], order
    values = [rdn._attributes[0].value for rdn in csr.subject.rdns]
    assert values == ["DE", "Org", "Alice"], values
    want = serialization.load_pem_public_key(open(sys.argv[2], "rb").read())
    fmt = (serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    assert csr.public_key().public_bytes(*fmt) == want.public_bytes(*fmt), "not the container's key"
    assert csr.signature_hash_algorithm.name == "sha1", csr.signature_hash_algorithm.name
    print("request: signature, subject order and public key as expected")


if __name__ == "__main__":
    main()
