#include "soft_hash_ctx.h"

#include <mbedtls/platform_util.h>

#include <cstring>

namespace pkcs11 {

namespace {

enum class hash_use { none, digest, hmac, derive };

hash_use use_of(CK_MECHANISM_TYPE type) {
    switch (type) {
        case CKM_MD5:
        case CKM_SHA_1:
        case CKM_SHA256:
        case CKM_SHA384:
        case CKM_SHA512:
            return hash_use::digest;
        case CKM_MD5_HMAC:
        case CKM_SHA_1_HMAC:
        case CKM_SHA256_HMAC:
        case CKM_SHA384_HMAC:
        case CKM_SHA512_HMAC:
            return hash_use::hmac;
        case CKM_MD5_KEY_DERIVATION:
        case CKM_SHA1_KEY_DERIVATION:
        case CKM_SHA256_KEY_DERIVATION:
        case CKM_SHA384_KEY_DERIVATION:
        case CKM_SHA512_KEY_DERIVATION:
            return hash_use::derive;
        default:
            return hash_use::none;
    }
}

CK_RV md_rv(int status) {
    if (status == 0) return CKR_OK;
    return status == MBEDTLS_ERR_MD_ALLOC_FAILED ? CKR_HOST_MEMORY : CKR_FUNCTION_FAILED;
}

}  // namespace

pkcs11_soft_hash_ctx::pkcs11_soft_hash_ctx(const CK_MECHANISM& mechanism)
    : pkcs11_key_ctx(mechanism), algo_(pkcs11_algo::for_mechanism(mechanism.mechanism)) {
    mbedtls_md_init(&md_);
}

pkcs11_soft_hash_ctx::~pkcs11_soft_hash_ctx() { mbedtls_md_free(&md_); }

CK_RV pkcs11_soft_hash_ctx::set_up(bool hmac) {
    mbedtls_md_free(&md_);
    mbedtls_md_init(&md_);
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(card_hash_to_digest(algo_.identifier));
    if (info == nullptr) return CKR_MECHANISM_INVALID;
    return md_rv(mbedtls_md_setup(&md_, info, hmac ? 1 : 0));
}

// ---- digests ----------------------------------------------------------

CK_RV pkcs11_soft_hash_ctx::digest_init() {
    if (use_of(mechanism().type) != hash_use::digest) return CKR_MECHANISM_INVALID;
    CK_RV rv = set_up(false);
    if (rv == CKR_OK) rv = md_rv(mbedtls_md_starts(&md_));
    if (rv != CKR_OK) return rv;
    start();
    return CKR_OK;
}

CK_RV pkcs11_soft_hash_ctx::feed(bool hmac, const CK_BYTE* in, CK_ULONG in_len) {
    const CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (in == nullptr && in_len != 0) return fail(CKR_ARGUMENTS_BAD);
    if (in_len == 0) return CKR_OK;
    const int status = hmac ? mbedtls_md_hmac_update(&md_, in, in_len) : mbedtls_md_update(&md_, in, in_len);
    return status == 0 ? CKR_OK : fail(CKR_FUNCTION_FAILED);
}

CK_RV pkcs11_soft_hash_ctx::finish_into(bool hmac, CK_BYTE* out, CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    bool proceed = false;
    rv = offer_output(algo_.digest_length, out, out_len, &proceed);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return fail(rv);
    if (!proceed) return rv;
    rv = md_rv(hmac ? mbedtls_md_hmac_finish(&md_, out) : mbedtls_md_finish(&md_, out));
    finish();
    return rv;
}

CK_RV pkcs11_soft_hash_ctx::one_shot(bool hmac, const CK_BYTE* in, CK_ULONG in_len, CK_BYTE* out,
                                     CK_ULONG* out_len) {
    CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    // A size query feeds nothing, so that the real call hashes the data once.
    bool proceed = false;
    rv = offer_output(algo_.digest_length, out, out_len, &proceed);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return fail(rv);
    if (!proceed) return rv;
    // The HMAC one-shot starts its MAC again, whatever came before.
    if (hmac && mbedtls_md_hmac_reset(&md_) != 0) return fail(CKR_FUNCTION_FAILED);
    rv = feed(hmac, in, in_len);
    if (rv != CKR_OK) return rv;
    return finish_into(hmac, out, out_len);
}

// ---- HMAC -------------------------------------------------------------

CK_RV pkcs11_soft_hash_ctx::hmac_init(const pkcs11_key_value& key) {
    if (use_of(mechanism().type) != hash_use::hmac) return CKR_MECHANISM_INVALID;
    if (key.data == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    CK_RV rv = set_up(true);
    if (rv == CKR_OK) rv = md_rv(mbedtls_md_hmac_starts(&md_, key.data, key.length));
    if (rv != CKR_OK) return rv;
    start();
    return CKR_OK;
}

CK_RV pkcs11_soft_hash_ctx::verify_final(const CK_BYTE* signature, CK_ULONG signature_len) {
    const CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (signature == nullptr && signature_len != 0) return fail(CKR_ARGUMENTS_BAD);
    CK_BYTE mac[max_digest_length];
    if (mbedtls_md_hmac_finish(&md_, mac) != 0) return fail(CKR_FUNCTION_FAILED);
    finish();
    // A wrong length is an invalid signature, as a wrong byte is.
    const bool good = signature_len == algo_.digest_length && equal_constant_time(mac, signature, signature_len);
    mbedtls_platform_zeroize(mac, sizeof mac);
    return good ? CKR_OK : CKR_SIGNATURE_INVALID;
}

CK_RV pkcs11_soft_hash_ctx::verify(const CK_BYTE* in, CK_ULONG in_len, const CK_BYTE* signature,
                                   CK_ULONG signature_len) {
    const CK_RV rv = step_check();
    if (rv != CKR_OK) return rv;
    if (mbedtls_md_hmac_reset(&md_) != 0) return fail(CKR_FUNCTION_FAILED);
    const CK_RV update_rv = feed(true, in, in_len);
    if (update_rv != CKR_OK) return update_rv;
    return verify_final(signature, signature_len);
}

// ---- key derivation ---------------------------------------------------

CK_RV pkcs11_soft_hash_ctx::derive_key_value(const pkcs11_key_value& base, const pkcs11_derive_template& templ,
                                             CK_BYTE* value, std::size_t* value_length) {
    if (use_of(mechanism().type) != hash_use::derive) return CKR_MECHANISM_INVALID;
    if (value == nullptr || value_length == nullptr) return CKR_ARGUMENTS_BAD;
    if (base.data == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (base.length > max_derive_base_length) return CKR_BUFFER_TOO_SMALL;
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(card_hash_to_digest(algo_.identifier));
    if (info == nullptr) return CKR_MECHANISM_INVALID;
    const std::size_t digest_length = mbedtls_md_get_size(info);

    std::size_t wanted = 0;
    if (templ.has_key_type) {
        switch (templ.key_type) {
            case CKK_DES: wanted = 8; break;
            case CKK_DES2: wanted = 16; break;
            case CKK_DES3: wanted = 24; break;
            default: wanted = 16; break;
        }
    } else if (templ.has_value_len) {
        wanted = templ.value_len;
    }
    if (wanted == 0) wanted = digest_length;
    // The key can take no more bytes than the digest gives.
    if (wanted > digest_length) return CKR_TEMPLATE_INCONSISTENT;

    CK_BYTE digest_bytes[max_digest_length];
    const CK_RV rv = md_rv(mbedtls_md(info, base.data, base.length, digest_bytes));
    if (rv == CKR_OK) {
        std::memcpy(value, digest_bytes, wanted);
        *value_length = wanted;
    }
    mbedtls_platform_zeroize(digest_bytes, sizeof digest_bytes);
    return rv;
}

}  // namespace pkcs11
