// RSA on the token: the private key never leaves the card, so signatures,
// decryption and the raw private operation are card commands on the key's
// slot, while everything that needs only the public key (verification,
// PKCS #1 encryption, the raw public operation) runs in software with
// mbed TLS. Only 1024- and 2048-bit keys; k is the modulus length in bytes.
//
// The contexts reach the card through pkcs11_rsa_card and the key through
// pkcs11_rsa_key_source, both given at creation: the layer above builds
// them over the token's device and the key object; tests give a scripted
// card or the card layer over the virtual token.
//
// Every verification failure (bad padding, wrong content, a signature not
// below the modulus, a malformed X9.31 block) is CKR_SIGNATURE_INVALID.
// Card statuses become CK_RVs here (rsa_card_rv); none reaches a caller.
//
// X9.31: the module appends the trailer 0xCC itself; the caller gives the
// data (CKM_RSA_X9_31) or the data is hashed (CKM_SHA1_RSA_X9_31, whose hash
// identifier byte precedes the trailer).
#pragma once

#include <pkcs11_vendor.h>

#include <mbedtls/md.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "algo.h"
#include "data_buffer.h"
#include "key_ctx.h"
#include "mechanism_table.h"

namespace pkcs11 {

constexpr std::size_t rsa_max_bytes = 256;

// The card's RSA commands on a private key file. Results are card statuses:
// 0, the card layer's local codes, card status words. out_len holds the
// capacity on entry and the count the card reported on success.
class pkcs11_rsa_card {
public:
    virtual ~pkcs11_rsa_card() = default;
    // AsymSign: the card pads (hash_id 0: the data as given; a hash id: its
    // DigestInfo before the data, a digest of that hash) and signs.
    virtual std::int32_t sign(std::uint16_t key_id, std::uint32_t hash_id, const std::uint8_t* data,
                              std::size_t length, std::uint8_t* out, std::size_t* out_len) = 0;
    // AsymEnDecrypt with the private key: PKCS #1 v1.5 decryption of k bytes.
    virtual std::int32_t decrypt(std::uint16_t key_id, const std::uint8_t* data, std::size_t length,
                                 std::uint8_t* out, std::size_t* out_len) = 0;
    // AsymKeyOperation with the private key: the raw operation on k bytes.
    virtual std::int32_t private_operation(std::uint16_t key_id, const std::uint8_t* data, std::size_t length,
                                           std::uint8_t* out, std::size_t* out_len) = 0;
};

// What the contexts need of a key. The public values may be read from the
// card when first asked for (never written back).
class pkcs11_rsa_key_source {
public:
    virtual ~pkcs11_rsa_key_source() = default;
    // CKO_PUBLIC_KEY or CKO_PRIVATE_KEY (anything else fails the class checks).
    virtual CK_OBJECT_CLASS key_class() const = 0;
    // 1024 or 2048; CKR_KEY_SIZE_RANGE for another size,
    // CKR_ATTRIBUTE_TYPE_INVALID without size information.
    virtual CK_RV modulus_bits(std::uint32_t& bits) = 0;
    // The modulus and public exponent, big-endian, any leading zeros.
    virtual CK_RV public_key(std::vector<std::uint8_t>& modulus, std::vector<std::uint8_t>& exponent) = 0;
    // The card's private key file of the key's container slot.
    virtual CK_RV private_key_id(std::uint16_t& key_id) = 0;
};

// The size of a modulus in bits with its leading zero bytes left out: 1024
// or 2048, else CKR_KEY_SIZE_RANGE (none: CKR_ATTRIBUTE_TYPE_INVALID).
CK_RV rsa_bits_of_modulus(const std::uint8_t* modulus, std::size_t length, std::uint32_t& bits);
// The minimal big-endian form of a public exponent field (at least one byte).
std::vector<std::uint8_t> rsa_minimal_exponent(const std::uint8_t* field, std::size_t length);

// A card status as a CK_RV: 0 CKR_OK, 1 CKR_DEVICE_REMOVED, 0x6982
// CKR_USER_NOT_LOGGED_IN, 0x6A80 `refused` (the card's refusal of the
// input), everything else CKR_DEVICE_ERROR.
CK_RV rsa_card_rv(std::int32_t status, CK_RV refused);

// X9.31 blocks of k bytes. hash_id 0: the data alone; else the data is a
// digest and the hash's identifier byte follows it. Encoding: 0x6A data
// 0xCC when the data leaves two bytes, else 0x6B, 0xBB..., 0xBA, data,
// 0xCC with at least one 0xBB; CKR_DATA_INVALID when the data leaves fewer
// than 2 bytes or exactly 3 (a block the decoder could not read back).
CK_RV x931_encode(std::uint32_t hash_id, const std::uint8_t* data, std::size_t length, std::uint8_t* block,
                  std::size_t k);
// The content between the header and the trailer: offset and length into
// the block; CKR_DATA_INVALID for a malformed block.
CK_RV x931_decode(const std::uint8_t* block, std::size_t k, std::size_t& offset, std::size_t& length);
// The X9.31 identifier byte of a hash: 0x33 SHA-1, 0x34 SHA-256, 0x36
// SHA-384, 0x35 SHA-512, 0xFF otherwise.
std::uint8_t x931_hash_byte(std::uint32_t hash_id);

// The card RSA handler: one key's private operations on the card and its
// public operations in software.
class pkcs11_token_rsa_handler {
public:
    pkcs11_token_rsa_handler(std::shared_ptr<pkcs11_rsa_card> card, std::unique_ptr<pkcs11_rsa_key_source> key);
    virtual ~pkcs11_token_rsa_handler();
    pkcs11_token_rsa_handler(const pkcs11_token_rsa_handler&) = delete;
    pkcs11_token_rsa_handler& operator=(const pkcs11_token_rsa_handler&) = delete;

    CK_RV key_length(std::size_t& k);
    CK_OBJECT_CLASS key_class() const;

    // PKCS #1 v1.5 signature on the card into out (k bytes, capacity
    // checked by the caller). The card's signature is taken into an area
    // of the handler and must be exactly k bytes, else CKR_DEVICE_ERROR.
    CK_RV sign(std::uint32_t hash_id, const std::uint8_t* data, std::size_t length, std::uint8_t* out);
    // PKCS #1 v1.5 verification in software; hash_id 0 compares the data
    // with the block's content as it stands.
    CK_RV verify(std::uint32_t hash_id, const std::uint8_t* data, std::size_t length, const std::uint8_t* signature,
                 std::size_t signature_length);
    // PKCS #1 v1.5 encryption in software (k bytes out), padding from the
    // CSPRNG.
    CK_RV encrypt(const std::uint8_t* data, std::size_t length, std::uint8_t* out);
    // PKCS #1 v1.5 decryption on the card: out takes at least k bytes;
    // out_len gets the plaintext's length.
    CK_RV decrypt(const std::uint8_t* data, std::size_t length, std::uint8_t* out, std::size_t& out_len);
    // The raw operations in place on k bytes. refused: the result for an
    // input the operation does not take (not below the modulus).
    CK_RV public_operation(std::uint8_t* block, std::size_t length, CK_RV refused);
    CK_RV private_operation(std::uint8_t* block, std::size_t length, CK_RV refused);
    // The modulus in k bytes, for the X9.31 n - s rule.
    CK_RV modulus(std::vector<std::uint8_t>& n);

private:
    CK_RV load_public();
    CK_RV card_key(std::uint16_t& id);

    std::shared_ptr<pkcs11_rsa_card> card_;
    std::unique_ptr<pkcs11_rsa_key_source> key_;
    struct public_key;
    std::unique_ptr<public_key> public_;
};

// The common body of the five contexts; the classes below pick its mode.
class pkcs11_hardware_rsa_ctx : public pkcs11_key_ctx {
public:
    enum class mode { pkcs, raw, hash_pkcs, x931, hash_x931 };

    pkcs11_hardware_rsa_ctx(const CK_MECHANISM& mechanism, mode m, std::shared_ptr<pkcs11_rsa_card> card,
                            std::unique_ptr<pkcs11_rsa_key_source> key);
    ~pkcs11_hardware_rsa_ctx() override;

    CK_RV encrypt_init(const pkcs11_key_value& key) override;
    CK_RV encrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV encrypt_final(CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV encrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;

    CK_RV decrypt_init(const pkcs11_key_value& key) override;
    CK_RV decrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV decrypt_final(CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV decrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;

    CK_RV sign_init(const pkcs11_key_value& key) override;
    CK_RV sign_update(const CK_BYTE* in, CK_ULONG in_len) override;
    CK_RV sign_final(CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV sign(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;

    CK_RV verify_init(const pkcs11_key_value& key) override;
    CK_RV verify(const CK_BYTE* in, CK_ULONG in_len, const CK_BYTE* signature, CK_ULONG signature_len) override;
    CK_RV verify_update(const CK_BYTE* in, CK_ULONG in_len) override;
    CK_RV verify_final(const CK_BYTE* signature, CK_ULONG signature_len) override;

    const pkcs11_algo& algo() const { return algo_; }

private:
    bool hashing() const { return mode_ == mode::hash_pkcs || mode_ == mode::hash_x931; }
    CK_RV start_cipher(CK_OBJECT_CLASS wanted);
    // The checks of a one-shot encryption or decryption and the size query;
    // proceed when the output may be written.
    CK_RV offer_block(bool decrypting, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len,
                      std::size_t& k, bool& proceed);
    CK_RV start_signature(CK_OBJECT_CLASS wanted);
    CK_RV gather(const CK_BYTE* in, CK_ULONG in_len);
    CK_RV restart();
    CK_RV finish_digest(std::uint8_t* digest, std::size_t& length);
    CK_RV verify_x931(const std::uint8_t* signature, std::size_t k);

    mode mode_;
    pkcs11_algo algo_;
    pkcs11_token_rsa_handler handler_;
    pkcs11_data_buffer buffer_;
    mbedtls_md_context_t md_;
};

// CKM_RSA_PKCS: PKCS #1 v1.5 signatures (at most k - 11 bytes of data),
// encryption and decryption.
class pkcs11_hardware_rsa_pkcs_ctx final : public pkcs11_hardware_rsa_ctx {
public:
    pkcs11_hardware_rsa_pkcs_ctx(const CK_MECHANISM& mechanism, std::shared_ptr<pkcs11_rsa_card> card,
                                 std::unique_ptr<pkcs11_rsa_key_source> key)
        : pkcs11_hardware_rsa_ctx(mechanism, mode::pkcs, std::move(card), std::move(key)) {}
};
// CKM_RSA_X_509: the raw operations on exactly k bytes.
class pkcs11_hardware_rsa_raw_ctx final : public pkcs11_hardware_rsa_ctx {
public:
    pkcs11_hardware_rsa_raw_ctx(const CK_MECHANISM& mechanism, std::shared_ptr<pkcs11_rsa_card> card,
                                std::unique_ptr<pkcs11_rsa_key_source> key)
        : pkcs11_hardware_rsa_ctx(mechanism, mode::raw, std::move(card), std::move(key)) {}
};
// CKM_MD5/SHA1/SHA256/SHA384/SHA512_RSA_PKCS: hashed in software, padded
// with the hash's DigestInfo and signed on the card.
class pkcs11_hardware_shaxrsa_pkcs_ctx final : public pkcs11_hardware_rsa_ctx {
public:
    pkcs11_hardware_shaxrsa_pkcs_ctx(const CK_MECHANISM& mechanism, std::shared_ptr<pkcs11_rsa_card> card,
                                     std::unique_ptr<pkcs11_rsa_key_source> key)
        : pkcs11_hardware_rsa_ctx(mechanism, mode::hash_pkcs, std::move(card), std::move(key)) {}
};
// CKM_RSA_X9_31: X9.31 blocks over the caller's data.
class pkcs11_hardware_rsa_x931_ctx final : public pkcs11_hardware_rsa_ctx {
public:
    pkcs11_hardware_rsa_x931_ctx(const CK_MECHANISM& mechanism, std::shared_ptr<pkcs11_rsa_card> card,
                                 std::unique_ptr<pkcs11_rsa_key_source> key)
        : pkcs11_hardware_rsa_ctx(mechanism, mode::x931, std::move(card), std::move(key)) {}
};
// CKM_SHA1_RSA_X9_31: the SHA-1 digest and its identifier in an X9.31 block.
class pkcs11_hardware_rsa_sha_x931_ctx final : public pkcs11_hardware_rsa_ctx {
public:
    pkcs11_hardware_rsa_sha_x931_ctx(const CK_MECHANISM& mechanism, std::shared_ptr<pkcs11_rsa_card> card,
                                     std::unique_ptr<pkcs11_rsa_key_source> key)
        : pkcs11_hardware_rsa_ctx(mechanism, mode::hash_x931, std::move(card), std::move(key)) {}
};

// The RSA context of a context class (choose_key_ctx) for a mechanism; null
// for a class that is no RSA context.
std::unique_ptr<pkcs11_hardware_rsa_ctx> make_hardware_rsa_ctx(pkcs11_ctx_class ctx_class,
                                                               const CK_MECHANISM& mechanism,
                                                               std::shared_ptr<pkcs11_rsa_card> card,
                                                               std::unique_ptr<pkcs11_rsa_key_source> key);

}  // namespace pkcs11
