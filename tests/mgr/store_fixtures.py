#!/usr/bin/env python3
"""Certificates and keys for the certificate store tests, made with
python3-cryptography (OpenSSL underneath).

    store_fixtures.py OUTDIR [--bench N]

Writes DER certificates (*.der), PKCS #1 DER private keys (*.key) and the
matching public keys (*.pub.pem); --bench also writes N end-entity
certificates bench/NNN.der for the benchmark.
"""
import datetime
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID


def name(cn, org="Solvanta Test"):
    return x509.Name([
        x509.NameAttribute(NameOID.COUNTRY_NAME, "DE"),
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, org),
        x509.NameAttribute(NameOID.COMMON_NAME, cn),
    ])


UTC = datetime.timezone.utc
NOT_BEFORE = datetime.datetime(2024, 1, 15, 0, 0, 0, tzinfo=UTC)
# 23:30 UTC is the next day in Tokyo (UTC+9).
NOT_AFTER = datetime.datetime(2031, 6, 30, 23, 30, 0, tzinfo=UTC)

# Legacy basic constraints (2.5.29.10): SEQUENCE { subjectType BIT STRING }.
LEGACY_BC = x509.ObjectIdentifier("2.5.29.10")
LEGACY_CA = bytes.fromhex("30 04 03 02 07 80")  # bit 0: CA
LEGACY_EE = bytes.fromhex("30 04 03 02 06 40")  # bit 1: end entity


def make(subject, issuer, key, signer, serial, ca=None, legacy=None, not_after=NOT_AFTER):
    b = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer)
         .public_key(key.public_key()).serial_number(serial)
         .not_valid_before(NOT_BEFORE).not_valid_after(not_after))
    if ca is not None:
        b = b.add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
    if legacy is not None:
        b = b.add_extension(x509.UnrecognizedExtension(LEGACY_BC, legacy), critical=False)
    return b.sign(signer, hashes.SHA256())


def der_length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def der_items(data):
    """The (tag, whole item) list of a DER sequence's contents."""
    items, i = [], 0
    while i < len(data):
        tag, n, j = data[i], data[i + 1], i + 2
        if n & 0x80:
            k = n & 0x7F
            n, j = int.from_bytes(data[j:j + k], "big"), j + k
        items.append((tag, data[i:j + n]))
        i = j + n
    return items


def contents(item):
    n, j = item[1], 2
    if n & 0x80:
        j += n & 0x7F
    return item[j:]


def with_serial(cert_der, serial_bytes):
    """The certificate with another serial number (its signature no longer
    matches: only decoding looks at it)."""
    outer = der_items(contents(cert_der))
    tbs = der_items(contents(outer[0][1]))
    index = 1 if tbs[0][0] == 0xA0 else 0
    tbs[index] = (0x02, b"\x02" + der_length(len(serial_bytes)) + serial_bytes)
    body = b"".join(item for _, item in tbs)
    new_tbs = b"\x30" + der_length(len(body)) + body
    rest = new_tbs + b"".join(item for _, item in outer[1:])
    return b"\x30" + der_length(len(rest)) + rest


def write(out, stem, cert=None, key=None):
    if cert is not None:
        with open(os.path.join(out, stem + ".der"), "wb") as f:
            f.write(cert.public_bytes(serialization.Encoding.DER))
    if key is not None:
        with open(os.path.join(out, stem + ".key"), "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.DER,
                                      serialization.PrivateFormat.TraditionalOpenSSL,
                                      serialization.NoEncryption()))
        with open(os.path.join(out, stem + ".pub.pem"), "wb") as f:
            f.write(key.public_key().public_bytes(serialization.Encoding.PEM,
                                                  serialization.PublicFormat.SubjectPublicKeyInfo))


def main():
    out = sys.argv[1]
    bench = int(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[2] == "--bench" else 0
    os.makedirs(out, exist_ok=True)
    gen = lambda: rsa.generate_private_key(public_exponent=65537, key_size=2048)
    root_key, inter_key, ee_key, other_key = gen(), gen(), gen(), gen()
    root = make(name("Store Root CA"), name("Store Root CA"), root_key, root_key, 1, ca=True)
    inter = make(name("Store Issuing CA"), root.subject, inter_key, root_key, 2, ca=True)
    write(out, "root", root, root_key)
    write(out, "inter", inter, inter_key)
    write(out, "ee", make(name("Alice Store"), inter.subject, ee_key, inter_key, 0x01A2, ca=False), ee_key)
    write(out, "serial_ff", make(name("Serial FF"), inter.subject, other_key, inter_key, 0xFF3344, ca=False))
    write(out, "self_no_bc", make(name("Self No BC"), name("Self No BC"), other_key, other_key, 3))
    write(out, "self_ca_false", make(name("Self CA False"), name("Self CA False"), other_key, other_key, 4,
                                     ca=False))
    write(out, "legacy_ca", make(name("Legacy CA"), name("Legacy CA"), other_key, other_key, 5, legacy=LEGACY_CA))
    write(out, "legacy_ee", make(name("Legacy EE"), name("Legacy EE"), other_key, other_key, 6, legacy=LEGACY_EE))
    # A serial number of 100 bytes: the text shows the first 85.
    long_serial = bytes([0x01] + list(range(2, 101)))
    with open(os.path.join(out, "serial_long.der"), "wb") as f:
        f.write(with_serial(make(name("Long Serial"), inter.subject, other_key, inter_key, 7, ca=False)
                            .public_bytes(serialization.Encoding.DER), long_serial))
    # End entities of the registration and removal tests.
    for i, stem in enumerate(["user_a", "user_b", "user_c", "user_d"]):
        write(out, stem, make(name("Store User " + stem[-1].upper()), inter.subject, other_key, inter_key,
                              0x100 + i, ca=False))
    # The end entity with its key and issuers as a PKCS #12 file, for the
    # road through the token.
    from cryptography.hazmat.primitives.serialization import pkcs12
    with open(os.path.join(out, "road.p12"), "wb") as f:
        ee_cert = x509.load_der_x509_certificate(open(os.path.join(out, "ee.der"), "rb").read())
        f.write(pkcs12.serialize_key_and_certificates(
            b"road", ee_key, ee_cert, [inter, root],
            serialization.BestAvailableEncryption(b"road-pass")))
    # The request key: its container in the stand-in holds it.
    write(out, "csr_key", None, gen())
    if bench:
        os.makedirs(os.path.join(out, "bench"), exist_ok=True)
        for i in range(bench):
            write(os.path.join(out, "bench"), "%03d" % i,
                  make(name("Bench %03d" % i), inter.subject, other_key, inter_key, 0x10000 + i, ca=False))


if __name__ == "__main__":
    main()
