// An RSA private key that arrives wrapped, as DER (PKCS #1 or PKCS #8),
// turned into the values of the private-key object's attributes.
#pragma once

#include <pkcs11_vendor.h>

#include <cstddef>
#include <vector>

namespace pkcs11 {

// Largest modulus the token takes, in bits.
constexpr std::size_t rsa_max_unwrap_bits = 2048;

// Big-endian values, each left-padded with zeros to its length: the modulus
// and private exponent ceil(bits/8) bytes, the primes and CRT values
// ceil(bits/16) bytes, the public exponent 4 bytes. Wiped when destroyed.
struct rsa_private_key_values {
    rsa_private_key_values() = default;
    ~rsa_private_key_values();
    rsa_private_key_values(const rsa_private_key_values&) = delete;
    rsa_private_key_values& operator=(const rsa_private_key_values&) = delete;

    std::vector<CK_BYTE> modulus;           // CKA_MODULUS
    std::vector<CK_BYTE> prime_1;           // CKA_PRIME_1
    std::vector<CK_BYTE> prime_2;           // CKA_PRIME_2
    std::vector<CK_BYTE> exponent_1;        // CKA_EXPONENT_1
    std::vector<CK_BYTE> exponent_2;        // CKA_EXPONENT_2
    std::vector<CK_BYTE> coefficient;       // CKA_COEFFICIENT
    std::vector<CK_BYTE> public_exponent;   // CKA_PUBLIC_EXPONENT
    std::vector<CK_BYTE> private_exponent;  // CKA_PRIVATE_EXPONENT
};

// CKR_DATA_INVALID when the bytes are no private key; CKR_WRAPPED_KEY_INVALID
// for a key that is not RSA, has more than 2048 bits, a public exponent
// over 4 bytes, or a value that does not fit its length; CKR_HOST_MEMORY.
CK_RV unwrap_rsa_private_key(const CK_BYTE* der, std::size_t length, rsa_private_key_values& values);

}  // namespace pkcs11
