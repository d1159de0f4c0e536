// RSA private key blobs in the platform's PRIVATEKEYBLOB form: an 8-byte
// header (type, version, reserved, 32-bit algorithm id), the RSAPUBKEY
// (magic, bit length, 32-bit public exponent), then the little-endian
// modulus (bits/8 bytes), prime 1, prime 2, exponent 1, exponent 2 and
// coefficient (bits/16 bytes each) and the private exponent (bits/8).
#ifndef SOLVANTA_MGR_KEY_BLOB_H
#define SOLVANTA_MGR_KEY_BLOB_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mgr {

constexpr std::uint32_t alg_rsa_keyx = 0xA400;  // exchange key
constexpr std::uint32_t alg_rsa_sign = 0x2400;  // signature key
constexpr std::size_t private_blob_header = 20;

// The key's values big-endian, in their fields' widths (the modulus and the
// private exponent bits/8 bytes, the CRT values bits/16), and the public
// exponent in its minimal form (1 to 4 bytes).
struct rsa_private_parts {
    std::uint32_t alg_id = 0;
    std::uint32_t bits = 0;
    std::vector<std::uint8_t> modulus, public_exponent, prime1, prime2, exponent1, exponent2, coefficient,
        private_exponent;
    ~rsa_private_parts();
};

// The blob's size for a bit length (which must be a multiple of 16).
std::size_t private_blob_size(std::uint32_t bits);

// 0 and the parts; 1 when the blob is too short for its bit length, its
// bit length is 0 or not a multiple of 16, or it is not an RSA2 blob.
int parse_private_key_blob(const std::uint8_t* blob, std::size_t length, rsa_private_parts& out);

// The 32-bit exponent as minimal big-endian bytes (1 to 4; 0 gives 00).
std::vector<std::uint8_t> minimal_exponent(std::uint32_t e);

enum class blob_check {
    sound,     // p*q = n, e*d = 1 mod lambda(n) or phi(n), qInv*q = 1 mod p
    repaired,  // d, dp, dq and qInv were computed again from p, q and e
    dropped,   // p*q differs from n, or the blob cannot be read or mended
};

// Checks the blob in place and mends it when its p, q and e are sound.
blob_check check_private_key_blob(std::uint8_t* blob, std::size_t length);

}  // namespace mgr

#endif  // SOLVANTA_MGR_KEY_BLOB_H
