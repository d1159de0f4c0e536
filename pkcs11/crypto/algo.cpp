#include "algo.h"

namespace pkcs11 {

namespace {

struct algo_row {
    CK_MECHANISM_TYPE type;
    std::uint32_t identifier;
    std::uint32_t block;
    std::uint32_t digest;
    std::uint32_t padding;
    algo_kind kind;
};

constexpr algo_row algo_rows[] = {
    {CKM_MD5_RSA_PKCS, algo_md5, 0, 16, 0, algo_kind::md5},
    {CKM_MD5, algo_md5, 0, 16, 0, algo_kind::md5},
    {CKM_MD5_HMAC, algo_md5, 0, 16, 0, algo_kind::md5},
    {CKM_MD5_KEY_DERIVATION, algo_md5, 0, 16, 0, algo_kind::md5},
    {CKM_SHA1_RSA_PKCS, algo_sha1, 0, 20, 0, algo_kind::sha},
    {CKM_SHA1_RSA_X9_31, algo_sha1, 0, 20, 0, algo_kind::sha},
    {CKM_SHA_1, algo_sha1, 0, 20, 0, algo_kind::sha},
    {CKM_SHA_1_HMAC, algo_sha1, 0, 20, 0, algo_kind::sha},
    {CKM_SHA1_KEY_DERIVATION, algo_sha1, 0, 20, 0, algo_kind::sha},
    {CKM_ECDSA_SHA1, algo_sha1, 0, 20, 0, algo_kind::sha},
    {CKM_SHA256_RSA_PKCS, algo_sha256, 0, 32, 0, algo_kind::sha},
    {CKM_SHA256, algo_sha256, 0, 32, 0, algo_kind::sha},
    {CKM_SHA256_HMAC, algo_sha256, 0, 32, 0, algo_kind::sha},
    {CKM_SHA256_KEY_DERIVATION, algo_sha256, 0, 32, 0, algo_kind::sha},
    {CKM_ECDSA_SHA256, algo_sha256, 0, 32, 0, algo_kind::sha},
    {CKM_SHA384_RSA_PKCS, algo_sha384, 0, 48, 0, algo_kind::sha},
    {CKM_SHA384, algo_sha384, 0, 48, 0, algo_kind::sha},
    {CKM_SHA384_HMAC, algo_sha384, 0, 48, 0, algo_kind::sha},
    {CKM_SHA384_KEY_DERIVATION, algo_sha384, 0, 48, 0, algo_kind::sha},
    {CKM_ECDSA_SHA384, algo_sha384, 0, 48, 0, algo_kind::sha},
    {CKM_SHA512_RSA_PKCS, algo_sha512, 0, 64, 0, algo_kind::sha},
    {CKM_SHA512, algo_sha512, 0, 64, 0, algo_kind::sha},
    {CKM_SHA512_HMAC, algo_sha512, 0, 64, 0, algo_kind::sha},
    {CKM_SHA512_KEY_DERIVATION, algo_sha512, 0, 64, 0, algo_kind::sha},
    {CKM_ECDSA_SHA512, algo_sha512, 0, 64, 0, algo_kind::sha},
    {CKM_DES_KEY_GEN, algo_des, 8, 0, 0, algo_kind::symmetric},
    {CKM_DES_ECB, algo_des, 8, 0, 0, algo_kind::symmetric},
    {CKM_DES_CBC, algo_des, 8, 0, 0, algo_kind::symmetric},
    {CKM_DES_CBC_PAD, algo_des, 8, 0, 1, algo_kind::symmetric},
    {CKM_DES3_KEY_GEN, algo_des3_ecb, 8, 0, 0, algo_kind::symmetric},
    {CKM_DES3_ECB, algo_des3_ecb, 8, 0, 0, algo_kind::symmetric},
    {CKM_DES3_CBC, algo_des3_cbc, 8, 0, 0, algo_kind::symmetric},
    {CKM_DES3_CBC_PAD, algo_des3_cbc, 8, 0, 1, algo_kind::symmetric},
    {CKM_AES_KEY_GEN, algo_aes_ecb, 16, 0, 0, algo_kind::symmetric},
    {CKM_AES_ECB, algo_aes_ecb, 16, 0, 0, algo_kind::symmetric},
    {CKM_AES_CBC, algo_aes_cbc, 16, 0, 0, algo_kind::symmetric},
    {CKM_AES_CBC_PAD, algo_aes_cbc, 16, 0, 1, algo_kind::symmetric},
};

}  // namespace

pkcs11_algo pkcs11_algo::for_mechanism(CK_MECHANISM_TYPE type) {
    pkcs11_algo algo;
    for (const algo_row& row : algo_rows) {
        if (row.type != type) continue;
        algo.identifier = row.identifier;
        algo.block_size = row.block;
        algo.key_length = row.block;
        algo.digest_length = row.digest;
        algo.padding = row.padding;
        algo.kind = row.kind;
        break;
    }
    return algo;
}

mbedtls_md_type_t card_hash_to_digest(std::uint32_t identifier) {
    switch (identifier) {
        case algo_md5: return MBEDTLS_MD_MD5;
        case algo_sha1: return MBEDTLS_MD_SHA1;
        case algo_sha256: return MBEDTLS_MD_SHA256;
        case algo_sha384: return MBEDTLS_MD_SHA384;
        case algo_sha512: return MBEDTLS_MD_SHA512;
        default: return MBEDTLS_MD_NONE;
    }
}

}  // namespace pkcs11
