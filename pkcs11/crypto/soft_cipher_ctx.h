// The software cipher contexts: DES, 3DES, AES and RC2 in ECB, CBC and
// CBC with PKCS padding, and the RC4 stream.
//
// Block contexts carry at most two blocks between calls: the bytes short of
// a whole block, and, when decrypting with padding, the last whole block,
// which only Final may strip. Every Update and Final works out its exact
// output before it touches anything.
#pragma once

#include "cipher_engines.h"
#include "key_ctx.h"

#include <mbedtls/des.h>

namespace pkcs11 {

class pkcs11_soft_block_ctx : public pkcs11_key_ctx {
public:
    CK_RV encrypt_init(const pkcs11_key_value& key) override { return init(key); }
    CK_RV decrypt_init(const pkcs11_key_value& key) override { return init(key); }
    CK_RV encrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV decrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV encrypt_final(CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV decrypt_final(CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV encrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV decrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;
    ~pkcs11_soft_block_ctx() override;

protected:
    enum class cipher_mode { ecb, cbc, cbc_pad };

    pkcs11_soft_block_ctx(const CK_MECHANISM& mechanism, std::size_t block) : pkcs11_key_ctx(mechanism), block_(block) {}

    // Keys the engine and picks the mode from the mechanism; the chaining
    // block is zero on entry and may be set from the parameter.
    virtual CK_RV set_up(const pkcs11_key_value& key) = 0;
    // Whole blocks in the context's mode; CBC chains through `chain`.
    // Input and output may be the same buffer.
    virtual void run_blocks(bool encrypt, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                            std::size_t length) = 0;

    // The chaining block from a CBC parameter of exactly one block, else
    // CKR_MECHANISM_PARAM_INVALID; a missing parameter is allowed only when
    // null_is_zero_iv.
    CK_RV take_iv(bool null_is_zero_iv);

    cipher_mode mode_ = cipher_mode::ecb;
    std::uint8_t chain_[aes_block] = {};

private:
    CK_RV init(const pkcs11_key_value& key);
    CK_RV update(bool encrypt, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);
    // Update and Final in one call whose whole output, `needed` bytes, is
    // known beforehand.
    CK_RV one_shot(bool encrypt, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len,
                   std::size_t needed);
    // The plaintext length of the last padded block `last`, whose CBC
    // predecessor is `prev`, checked in constant time; the chain is not
    // moved.
    CK_RV unpadded_length(const std::uint8_t* last, const std::uint8_t* prev, std::size_t* length);

    const std::size_t block_;
    std::uint8_t carry_[2 * aes_block] = {};
    std::size_t carry_length_ = 0;
    bool updated_ = false;
};

class pkcs11_soft_des_ctx final : public pkcs11_soft_block_ctx {
public:
    explicit pkcs11_soft_des_ctx(const CK_MECHANISM& mechanism);
    ~pkcs11_soft_des_ctx() override;

private:
    CK_RV set_up(const pkcs11_key_value& key) override;
    void run_blocks(bool encrypt, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t length) override;
    mbedtls_des_context encrypt_;
    mbedtls_des_context decrypt_;
};

class pkcs11_soft_des3_ctx final : public pkcs11_soft_block_ctx {
public:
    explicit pkcs11_soft_des3_ctx(const CK_MECHANISM& mechanism);
    ~pkcs11_soft_des3_ctx() override;

private:
    CK_RV set_up(const pkcs11_key_value& key) override;
    void run_blocks(bool encrypt, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t length) override;
    mbedtls_des3_context encrypt_;
    mbedtls_des3_context decrypt_;
};

class pkcs11_soft_aes_ctx final : public pkcs11_soft_block_ctx {
public:
    explicit pkcs11_soft_aes_ctx(const CK_MECHANISM& mechanism) : pkcs11_soft_block_ctx(mechanism, aes_block) {}

private:
    CK_RV set_up(const pkcs11_key_value& key) override;
    void run_blocks(bool encrypt, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t length) override;
    aes_key_schedule schedule_;
};

class pkcs11_soft_rc2_ctx final : public pkcs11_soft_block_ctx {
public:
    explicit pkcs11_soft_rc2_ctx(const CK_MECHANISM& mechanism) : pkcs11_soft_block_ctx(mechanism, rc2_block) {}

private:
    CK_RV set_up(const pkcs11_key_value& key) override;
    void run_blocks(bool encrypt, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t length) override;
    rc2_key key_;
};

// RC4: one key stream serves both directions.
class pkcs11_soft_rc4_ctx final : public pkcs11_key_ctx {
public:
    explicit pkcs11_soft_rc4_ctx(const CK_MECHANISM& mechanism) : pkcs11_key_ctx(mechanism) {}

    CK_RV encrypt_init(const pkcs11_key_value& key) override { return init(key); }
    CK_RV decrypt_init(const pkcs11_key_value& key) override { return init(key); }
    CK_RV encrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override {
        return crypt(in, in_len, out, out_len);
    }
    CK_RV decrypt_update(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override {
        return crypt(in, in_len, out, out_len);
    }
    CK_RV encrypt_final(CK_BYTE* out, CK_ULONG* out_len) override { return final(out, out_len); }
    CK_RV decrypt_final(CK_BYTE* out, CK_ULONG* out_len) override { return final(out, out_len); }
    CK_RV encrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;
    CK_RV decrypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override;

private:
    CK_RV init(const pkcs11_key_value& key);
    CK_RV crypt(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);
    CK_RV final(CK_BYTE* out, CK_ULONG* out_len);
    rc4_state state_;
};

}  // namespace pkcs11
