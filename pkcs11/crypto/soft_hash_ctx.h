// Digests, HMAC signatures and digest key derivation in software, over the
// message-digest layer of mbed TLS. One context class serves all three; the
// mechanism picks the digest through its algorithm descriptor and decides
// which of the three operations the context runs.
#pragma once

#include "algo.h"
#include "key_ctx.h"

#include <mbedtls/md.h>

namespace pkcs11 {

constexpr std::size_t max_digest_length = MBEDTLS_MD_MAX_SIZE;
// Longest base key that digest key derivation takes.
constexpr std::size_t max_derive_base_length = 64;

// What the template of a derived key says about its length.
struct pkcs11_derive_template {
    bool has_key_type = false;
    CK_KEY_TYPE key_type = 0;
    bool has_value_len = false;
    CK_ULONG value_len = 0;
};

class pkcs11_soft_hash_ctx final : public pkcs11_key_ctx {
public:
    explicit pkcs11_soft_hash_ctx(const CK_MECHANISM& mechanism);
    ~pkcs11_soft_hash_ctx() override;

    CK_RV digest_init() override;
    CK_RV digest_update(const CK_BYTE* in, CK_ULONG in_len) override { return feed(false, in, in_len); }
    CK_RV digest_final(CK_BYTE* out, CK_ULONG* out_len) override { return finish_into(false, out, out_len); }
    CK_RV digest(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override {
        return one_shot(false, in, in_len, out, out_len);
    }

    CK_RV sign_init(const pkcs11_key_value& key) override { return hmac_init(key); }
    CK_RV sign_update(const CK_BYTE* in, CK_ULONG in_len) override { return feed(true, in, in_len); }
    CK_RV sign_final(CK_BYTE* out, CK_ULONG* out_len) override { return finish_into(true, out, out_len); }
    CK_RV sign(const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len) override {
        return one_shot(true, in, in_len, out, out_len);
    }

    CK_RV verify_init(const pkcs11_key_value& key) override { return hmac_init(key); }
    CK_RV verify(const CK_BYTE* in, CK_ULONG in_len, const CK_BYTE* signature, CK_ULONG signature_len) override;
    CK_RV verify_update(const CK_BYTE* in, CK_ULONG in_len) override { return feed(true, in, in_len); }
    CK_RV verify_final(const CK_BYTE* signature, CK_ULONG signature_len) override;

    // The value of a key derived from `base` by a key-derivation mechanism:
    // the first N bytes of the digest of the base key's value, N coming from
    // the template's key type or value length (the whole digest when
    // neither gives one). `value` holds max_digest_length bytes.
    CK_RV derive_key_value(const pkcs11_key_value& base, const pkcs11_derive_template& templ, CK_BYTE* value,
                           std::size_t* value_length);

    const pkcs11_algo& algo() const { return algo_; }

private:
    // Sets the digest state up afresh for a plain digest or an HMAC.
    CK_RV set_up(bool hmac);
    CK_RV hmac_init(const pkcs11_key_value& key);
    // The steps that digests and HMAC share; hmac picks the MAC state.
    CK_RV feed(bool hmac, const CK_BYTE* in, CK_ULONG in_len);
    CK_RV finish_into(bool hmac, CK_BYTE* out, CK_ULONG* out_len);
    CK_RV one_shot(bool hmac, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out, CK_ULONG* out_len);

    pkcs11_algo algo_;
    mbedtls_md_context_t md_;
};

}  // namespace pkcs11
