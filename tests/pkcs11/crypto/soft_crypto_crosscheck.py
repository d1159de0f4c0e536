#!/usr/bin/python3
"""Holds the module's software ciphers, digests, HMAC and digest key
derivation against python3-cryptography, hashlib/hmac and (for RC2, which
cryptography lacks) the openssl command with its legacy provider.

Random keys, IVs, data and split points from a fixed seed: every case runs
one-shot and multi-part, in both directions. Usage: soft_crypto_crosscheck.py
<driver command>... (a Windows driver runs through its emulator)."""
import hashlib
import hmac
import random
import subprocess
import sys
import warnings

warnings.simplefilter("ignore")
from cryptography.hazmat.primitives import padding, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec, rsa  # noqa: E402
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes  # noqa: E402

CKM = {
    "DES_ECB": 0x121, "DES_CBC": 0x122, "DES_CBC_PAD": 0x125,
    "DES3_ECB": 0x132, "DES3_CBC": 0x133, "DES3_CBC_PAD": 0x136,
    "AES_ECB": 0x1081, "AES_CBC": 0x1082, "AES_CBC_PAD": 0x1085,
    "RC2_ECB": 0x101, "RC2_CBC": 0x102, "RC4": 0x111,
}
DIGESTS = {0x210: "md5", 0x220: "sha1", 0x250: "sha256", 0x260: "sha384", 0x270: "sha512"}
HMACS = {0x211: "md5", 0x221: "sha1", 0x251: "sha256", 0x261: "sha384", 0x271: "sha512"}
DERIVES = {0x390: "md5", 0x392: "sha1", 0x393: "sha256", 0x394: "sha384", 0x395: "sha512"}

rng = random.Random(20261210)


def rand_bytes(n):
    return bytes(rng.getrandbits(8) for _ in range(n))


def hx(b):
    return b.hex() if b else "-"


def splits(n):
    if n == 0 or rng.random() < 0.3:
        return "-"
    points = sorted(rng.randrange(0, n + 1) for _ in range(rng.randrange(1, 5)))
    return ",".join(str(p) for p in points)


def openssl_rc2(mode, key, iv, data, encrypt):
    name = {5: "rc2-40-cbc", 8: "rc2-64-cbc"}.get(len(key), "rc2-cbc") if mode == "cbc" else "rc2-ecb"
    cmd = ["openssl", "enc", "-" + name, "-K", key.hex(), "-nopad", "-provider", "legacy", "-provider", "default"]
    if mode == "cbc":
        cmd += ["-iv", iv.hex()]
    if not encrypt:
        cmd.append("-d")
    return subprocess.run(cmd, input=data, capture_output=True, check=True).stdout


def reference(name, key, iv, plain):
    """The ciphertext of an independent implementation."""
    if name == "RC4":
        return Cipher(algorithms.ARC4(key), None).encryptor().update(plain)
    if name.startswith("RC2"):
        return openssl_rc2("cbc" if "CBC" in name else "ecb", key, iv, plain, True)
    alg = algorithms.AES(key) if name.startswith("AES") else algorithms.TripleDES(key)
    mode = modes.ECB() if name.endswith("ECB") else modes.CBC(iv)
    data = plain
    if name.endswith("PAD"):
        p = padding.PKCS7(alg.block_size).padder()
        data = p.update(plain) + p.finalize()
    e = Cipher(alg, mode).encryptor()
    return e.update(data) + e.finalize()


def cipher_cases():
    cases = []
    for name in CKM:
        for _ in range(12):
            if name.startswith("AES"):
                key, bs = rand_bytes(rng.choice([16, 24, 32])), 16
            elif name.startswith("DES3"):
                key, bs = rand_bytes(rng.choice([16, 24])), 8
            elif name.startswith("DES"):
                key, bs = rand_bytes(8), 8
            elif name.startswith("RC2"):
                key, bs = rand_bytes(rng.choice([5, 8, 16]) if name == "RC2_CBC" else 16), 8
            else:
                # the key sizes that cryptography takes for RC4
                key, bs = rand_bytes(rng.choice([5, 7, 8, 10, 16, 20, 24, 32])), 1
            n = rng.randrange(0, 200)
            if not name.endswith("PAD") and bs > 1:
                n -= n % bs
            plain = rand_bytes(n)
            iv = rand_bytes(bs) if "CBC" in name else b""
            if name == "RC2_ECB":
                param = "rc2:%d:" % (len(key) * 8)
            elif name == "RC2_CBC":
                param = "rc2:%d:%s" % (len(key) * 8, iv.hex())
            else:
                param = hx(iv)
            cases.append((name, key, iv, param, plain))
    return cases


def main():
    driver = sys.argv[1:]
    requests, expected = [], []
    for name, key, iv, param, plain in cipher_cases():
        cipher = reference(name, key, iv, plain)
        mech = "%x" % CKM[name]
        requests.append("cipher enc %s %s %s %s %s" % (mech, key.hex(), param, hx(plain), splits(len(plain))))
        expected.append((name + " enc", cipher.hex()))
        requests.append("cipher dec %s %s %s %s %s" % (mech, key.hex(), param, hx(cipher), splits(len(cipher))))
        expected.append((name + " dec", plain.hex()))
    for table, keyed in ((DIGESTS, False), (HMACS, True)):
        for mech, algo in table.items():
            for _ in range(8):
                data = rand_bytes(rng.randrange(0, 300))
                if keyed:
                    key = rand_bytes(rng.randrange(1, 200))
                    requests.append("hmac %x %s %s %s" % (mech, key.hex(), hx(data), splits(len(data))))
                    expected.append(("hmac %s" % algo, hmac.new(key, data, algo).hexdigest()))
                else:
                    requests.append("digest %x %s %s" % (mech, hx(data), splits(len(data))))
                    expected.append(("digest %s" % algo, hashlib.new(algo, data).hexdigest()))
    for mech, algo in DERIVES.items():
        base = rand_bytes(rng.randrange(1, 65))
        digest = hashlib.new(algo, base).digest()
        requests.append("derive %x %s - -" % (mech, base.hex()))
        expected.append(("derive %s" % algo, digest.hex()))
        requests.append("derive %x %s 13 -" % (mech, base.hex()))  # CKK_DES
        expected.append(("derive %s des" % algo, digest[:8].hex()))

    # RSA private keys wrapped with 3DES-CBC_PAD (and one with AES), unwrapped
    # into attribute values; moduli that are not a multiple of 16 bits too.
    for bits, wrap in ((1024, "DES3_CBC_PAD"), (1100, "DES3_CBC_PAD"), (2048, "AES_CBC_PAD"), (2056, "DES3_CBC_PAD")):
        key = rsa.generate_private_key(public_exponent=65537, key_size=bits)
        der = key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.TraditionalOpenSSL,
                                serialization.NoEncryption())
        wkey = rand_bytes(24 if wrap.startswith("DES3") else 16)
        iv = rand_bytes(8 if wrap.startswith("DES3") else 16)
        wrapped = reference(wrap, wkey, iv, der)
        requests.append("unwrap %x %s %s %s" % (CKM[wrap], wkey.hex(), iv.hex(), wrapped.hex()))
        if bits > 2048:
            expected.append(("unwrap rsa-%d" % bits, "rv=0x110"))
            continue
        nums = key.private_numbers()
        full, half = (bits + 7) // 8, (bits + 15) // 16
        values = [(nums.public_numbers.n, full), (nums.p, half), (nums.q, half), (nums.dmp1, half),
                  (nums.dmq1, half), (nums.iqmp, half), (nums.public_numbers.e, 4), (nums.d, full)]
        expected.append(("unwrap rsa-%d" % bits, " ".join(v.to_bytes(n, "big").hex() for v, n in values)))

    # Wrapped bytes that are no RSA key: an EC key, and no key at all.
    ec_der = ec.generate_private_key(ec.SECP256R1()).private_bytes(
        serialization.Encoding.DER, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    for what, der, rv in (("ec key", ec_der, "rv=0x110"), ("no key", rand_bytes(100), "rv=0x20")):
        wkey, iv = rand_bytes(24), rand_bytes(8)
        wrapped = reference("DES3_CBC_PAD", wkey, iv, der)
        requests.append("unwrap %x %s %s %s" % (CKM["DES3_CBC_PAD"], wkey.hex(), iv.hex(), wrapped.hex()))
        expected.append(("unwrap " + what, rv))

    out = subprocess.run(driver, input="\n".join(requests) + "\n", capture_output=True, text=True, check=True)
    got = [line.rstrip("\r") for line in out.stdout.split("\n")]
    failures = 0
    for i, (what, want) in enumerate(expected):
        have = got[i] if i < len(got) else "<missing>"
        if have != (want or ""):
            failures += 1
            print("MISMATCH %s\n  request %.200s\n  want %.200s\n  have %.200s" % (what, requests[i], want, have))
    print("%d cases, %d mismatches" % (len(expected), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
