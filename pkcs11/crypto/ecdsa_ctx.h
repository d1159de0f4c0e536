// ECDSA with keys that live on the card: the card signs, mbed TLS
// verifies. Curves secp256r1 and secp521r1, named by the DER OID in
// CKA_EC_PARAMS. A signature is r followed by s, d bytes each (32 or 66),
// big-endian.
//
// CKM_ECDSA signs and verifies the caller's bytes (at most 256) as the hash
// value; CKM_ECDSA_SHA1/256/384/512 hash in software first. The card's
// signature is taken into an area of our own and handed out only when it
// is exactly 2d bytes long.
#pragma once

#include "algo.h"
#include "data_buffer.h"
#include "key_ctx.h"

#include <mbedtls/md.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace pkcs11 {

constexpr std::size_t ecdsa_max_raw_data = 256;
constexpr std::size_t ec_p256_coordinate = 32;
constexpr std::size_t ec_p521_coordinate = 66;

// The key attributes the context reads.
struct pkcs11_ec_key {
    CK_OBJECT_CLASS object_class = 0;
    bool has_params = false;
    std::vector<std::uint8_t> params;  // CKA_EC_PARAMS
    bool has_point = false;
    std::vector<std::uint8_t> point;  // CKA_EC_POINT
};

// The card's signature: hash identifier (0 for raw data), the data, the
// output area and its in/out length. The card layer's result.
using ecdsa_card_signer = std::function<std::int32_t(std::uint32_t hash_id, const std::uint8_t* data,
                                                     std::int32_t length, std::uint8_t* out, std::int32_t* out_length)>;

// The curve size in bits of CKA_EC_PARAMS: 256 or 521. Absent
// CKR_ATTRIBUTE_TYPE_INVALID, over 256 bytes CKR_BUFFER_TOO_SMALL, any other
// value CKR_ATTRIBUTE_VALUE_INVALID.
CK_RV ec_curve_bits(const pkcs11_ec_key& key, std::uint32_t* bits);
// The coordinate length d of a curve of 256 or 521 bits.
std::size_t ec_coordinate_length(std::uint32_t bits);
// The uncompressed point 04 || X || Y of CKA_EC_POINT, given raw (exactly
// 2d + 1 bytes) or wrapped in a DER OCTET STRING (short or long length);
// anything else CKR_ATTRIBUTE_VALUE_INVALID.
CK_RV ec_raw_point(const std::uint8_t* value, std::size_t length, std::size_t coordinate, const std::uint8_t** point);

class pkcs11_hardware_ecdsa_ctx final : public pkcs11_key_ctx {
public:
    pkcs11_hardware_ecdsa_ctx(const CK_MECHANISM& mechanism, pkcs11_ec_key key, ecdsa_card_signer signer);
    ~pkcs11_hardware_ecdsa_ctx() override;

    // Encryption and decryption are not ECDSA's.
    CK_RV encrypt_init(const pkcs11_key_value& key) override;
    CK_RV decrypt_init(const pkcs11_key_value& key) override;
    CK_RV encrypt_update(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) override { return CKR_MECHANISM_INVALID; }
    CK_RV decrypt_update(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) override { return CKR_MECHANISM_INVALID; }
    CK_RV encrypt_final(CK_BYTE*, CK_ULONG*) override { return CKR_MECHANISM_INVALID; }
    CK_RV decrypt_final(CK_BYTE*, CK_ULONG*) override { return CKR_MECHANISM_INVALID; }
    CK_RV encrypt(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) override { return CKR_MECHANISM_INVALID; }
    CK_RV decrypt(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) override { return CKR_MECHANISM_INVALID; }

    CK_RV sign_init(const pkcs11_key_value& key) override;
    CK_RV sign_update(const CK_BYTE* in, CK_ULONG in_len) override;
    CK_RV sign_final(CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV sign(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;

    CK_RV verify_init(const pkcs11_key_value& key) override;
    CK_RV verify_update(const CK_BYTE* in, CK_ULONG in_len) override;
    CK_RV verify_final(const CK_BYTE* signature, CK_ULONG signature_len) override;
    CK_RV verify(const CK_BYTE* in, CK_ULONG in_len, const CK_BYTE* signature, CK_ULONG signature_len) override;

    bool card_results() const override { return true; }

private:
    CK_RV start_op(CK_OBJECT_CLASS needed, bool verifying);
    CK_RV feed(const CK_BYTE* in, CK_ULONG in_len);
    // The bytes to sign or verify: the finished digest or the buffer.
    CK_RV message(std::uint8_t* digest, const std::uint8_t** data, std::size_t* length);
    CK_RV check_signature(const std::uint8_t* data, std::size_t length, const std::uint8_t* signature,
                          std::size_t coordinate) const;
    void drop_digest();

    pkcs11_ec_key key_;
    ecdsa_card_signer signer_;
    pkcs11_algo algo_;
    pkcs11_data_buffer buffer_;
    mbedtls_md_context_t md_;
    bool hashing_ = false;
};

}  // namespace pkcs11
