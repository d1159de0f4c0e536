#include "mechanism_table.h"

#include "soft_cipher_ctx.h"
#include "soft_hash_ctx.h"

#include <new>

namespace pkcs11 {

namespace {

constexpr CK_FLAGS hw = CKF_HW;
constexpr CK_FLAGS ed = CKF_ENCRYPT | CKF_DECRYPT;
constexpr CK_FLAGS sv = CKF_SIGN | CKF_VERIFY;
constexpr CK_FLAGS wu = CKF_WRAP | CKF_UNWRAP;
constexpr CK_FLAGS ec_flags = CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS;

}  // namespace

// The software DES, 3DES and RC rows keep CKF_HW as the module has always
// announced them.
const pkcs11_mechanism_row mechanism_rows[mechanism_count] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, 2048, hw | CKF_GENERATE_KEY_PAIR},
    {CKM_RSA_PKCS, 1024, 2048, hw | ed | sv | wu},
    {CKM_RSA_X_509, 1024, 2048, hw | ed | sv},
    {CKM_SHA1_RSA_PKCS, 1024, 2048, hw | sv},
    {CKM_RSA_X9_31_KEY_PAIR_GEN, 1024, 2048, hw | CKF_GENERATE_KEY_PAIR},
    {CKM_RSA_X9_31, 1024, 2048, hw | sv},
    {CKM_SHA1_RSA_X9_31, 1024, 2048, hw | sv},
    {CKM_SHA256_RSA_PKCS, 1024, 2048, hw | sv},
    {CKM_SHA384_RSA_PKCS, 1024, 2048, hw | sv},
    {CKM_SHA512_RSA_PKCS, 1024, 2048, hw | sv},
    {CKM_MD5_RSA_PKCS, 1024, 2048, hw | sv},
    {CKM_MD5, 128, 128, hw | CKF_DIGEST},
    {CKM_SHA_1, 160, 160, hw | CKF_DIGEST},
    {CKM_SHA256, 256, 256, hw | CKF_DIGEST},
    {CKM_SHA512, 512, 512, hw | CKF_DIGEST},
    {CKM_DES_KEY_GEN, 64, 64, hw | CKF_GENERATE},
    {CKM_DES_ECB, 64, 64, hw | ed | wu},
    {CKM_DES_CBC, 64, 64, hw | ed | wu},
    {CKM_DES_CBC_PAD, 64, 64, hw | ed | wu},
    {CKM_DES3_KEY_GEN, 192, 192, hw | CKF_GENERATE},
    {CKM_DES3_ECB, 192, 192, hw | ed | wu},
    {CKM_DES3_CBC, 192, 192, hw | ed | wu},
    {CKM_DES3_CBC_PAD, 192, 192, hw | ed | wu},
    {CKM_AES_KEY_GEN, 16, 32, hw | CKF_GENERATE},
    {CKM_AES_ECB, 16, 32, hw | ed | wu},
    {CKM_AES_CBC, 16, 32, hw | ed | wu},
    {CKM_AES_CBC_PAD, 16, 32, hw | ed | wu},
    {CKM_RC2_KEY_GEN, 8, 1024, CKF_GENERATE},
    {CKM_RC2_ECB, 1, 1024, ed},
    {CKM_RC2_CBC, 1, 1024, ed},
    {CKM_RC4_KEY_GEN, 8, 2048, CKF_GENERATE},
    {CKM_RC4, 8, 2048, ed},
    {CKM_MD5_KEY_DERIVATION, 128, 128, hw | CKF_DERIVE},
    {CKM_SHA1_KEY_DERIVATION, 160, 160, hw | CKF_DERIVE},
    {CKM_SHA256_KEY_DERIVATION, 256, 256, hw | CKF_DERIVE},
    {CKM_SHA512_KEY_DERIVATION, 512, 512, hw | CKF_DERIVE},
    {CKM_MD5_HMAC, 0, 0, hw | sv},
    {CKM_SHA_1_HMAC, 0, 0, hw | sv},
    {CKM_SHA256_HMAC, 0, 0, hw | sv},
    {CKM_SHA384_HMAC, 0, 0, hw | sv},
    {CKM_SHA512_HMAC, 0, 0, hw | sv},
    {CKM_GENERIC_SECRET_KEY_GEN, 0, 256, hw | CKF_GENERATE},
    {CKM_EC_KEY_PAIR_GEN, 256, 521, hw | CKF_GENERATE_KEY_PAIR | ec_flags},
    {CKM_ECDSA, 256, 521, hw | sv | ec_flags},
    {CKM_ECDSA_SHA1, 256, 521, hw | sv | ec_flags},
    {CKM_ECDSA_SHA256, 256, 521, hw | sv | ec_flags},
    {CKM_ECDSA_SHA384, 256, 521, hw | sv | ec_flags},
    {CKM_ECDSA_SHA512, 256, 521, hw | sv | ec_flags},
};

const pkcs11_mechanism_row* find_mechanism(CK_MECHANISM_TYPE type) {
    for (const pkcs11_mechanism_row& row : mechanism_rows) {
        if (row.type == type) return &row;
    }
    return nullptr;
}

CK_RV mechanism_list(CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    const CK_ULONG capacity = *count;
    *count = mechanism_count;
    if (list == nullptr) return CKR_OK;
    if (capacity < mechanism_count) return CKR_BUFFER_TOO_SMALL;
    for (std::size_t i = 0; i < mechanism_count; ++i) list[i] = mechanism_rows[i].type;
    return CKR_OK;
}

CK_RV mechanism_info(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    if (info == nullptr) return CKR_ARGUMENTS_BAD;
    const pkcs11_mechanism_row* row = find_mechanism(type);
    if (row == nullptr) return CKR_MECHANISM_INVALID;
    info->ulMinKeySize = row->min_key_size;
    info->ulMaxKeySize = row->max_key_size;
    info->flags = row->flags;
    return CKR_OK;
}

CK_RV check_mechanism_param(const CK_MECHANISM& mechanism) {
    CK_ULONG block = 0;
    switch (mechanism.mechanism) {
        case CKM_DES_CBC:
        case CKM_DES_CBC_PAD:
        case CKM_DES3_CBC:
        case CKM_DES3_CBC_PAD:
            block = 8;
            break;
        case CKM_AES_CBC:
        case CKM_AES_CBC_PAD:
            block = 16;
            break;
        default:
            return CKR_OK;
    }
    // A missing parameter passes here; the context decides what it means.
    if (mechanism.pParameter != nullptr && mechanism.ulParameterLen != block) return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

CK_RV check_keygen_template(CK_MECHANISM_TYPE type, bool has_key_type, CK_KEY_TYPE key_type, bool has_value_len,
                            bool* set_key_type, CK_KEY_TYPE* key_type_to_set) {
    *set_key_type = false;
    CK_KEY_TYPE made = 0;
    switch (type) {
        case CKM_RC2_KEY_GEN: made = CKK_RC2; break;
        case CKM_RC4_KEY_GEN: made = CKK_RC4; break;
        case CKM_DES_KEY_GEN: made = CKK_DES; break;
        case CKM_DES3_KEY_GEN: made = CKK_DES3; break;
        case CKM_AES_KEY_GEN: made = CKK_AES; break;
        case CKM_GENERIC_SECRET_KEY_GEN:
            if (!has_value_len) return CKR_TEMPLATE_INCOMPLETE;
            made = CKK_GENERIC_SECRET;
            break;
        default:
            return CKR_OK;
    }
    if (has_key_type) return key_type == made ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
    *set_key_type = true;
    *key_type_to_set = made;
    return CKR_OK;
}

namespace {

enum class key_family { none, rsa, ec, secret };

struct factory_row {
    CK_MECHANISM_TYPE type;
    pkcs11_ctx_class ctx_class;
    key_family family;
    // The type a key without one takes: RSA and secret-key rows only.
    CK_KEY_TYPE key_type;
};

constexpr factory_row factory_rows[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, pkcs11_ctx_class::hardware_rsa_pkcs, key_family::rsa, CKK_RSA},
    {CKM_RSA_PKCS, pkcs11_ctx_class::hardware_rsa_pkcs, key_family::rsa, CKK_RSA},
    {CKM_RSA_X_509, pkcs11_ctx_class::hardware_rsa_raw, key_family::rsa, CKK_RSA},
    {CKM_MD5_RSA_PKCS, pkcs11_ctx_class::hardware_shaxrsa_pkcs, key_family::rsa, CKK_RSA},
    {CKM_SHA1_RSA_PKCS, pkcs11_ctx_class::hardware_shaxrsa_pkcs, key_family::rsa, CKK_RSA},
    {CKM_SHA256_RSA_PKCS, pkcs11_ctx_class::hardware_shaxrsa_pkcs, key_family::rsa, CKK_RSA},
    {CKM_SHA384_RSA_PKCS, pkcs11_ctx_class::hardware_shaxrsa_pkcs, key_family::rsa, CKK_RSA},
    {CKM_SHA512_RSA_PKCS, pkcs11_ctx_class::hardware_shaxrsa_pkcs, key_family::rsa, CKK_RSA},
    {CKM_RSA_X9_31_KEY_PAIR_GEN, pkcs11_ctx_class::hardware_rsa_x931, key_family::rsa, CKK_RSA},
    {CKM_RSA_X9_31, pkcs11_ctx_class::hardware_rsa_x931, key_family::rsa, CKK_RSA},
    {CKM_SHA1_RSA_X9_31, pkcs11_ctx_class::hardware_rsa_sha_x931, key_family::rsa, CKK_RSA},
    {CKM_RC2_KEY_GEN, pkcs11_ctx_class::soft_rc2, key_family::secret, CKK_RC2},
    {CKM_RC2_ECB, pkcs11_ctx_class::soft_rc2, key_family::secret, CKK_RC2},
    {CKM_RC2_CBC, pkcs11_ctx_class::soft_rc2, key_family::secret, CKK_RC2},
    {CKM_RC4_KEY_GEN, pkcs11_ctx_class::soft_rc4, key_family::secret, CKK_RC4},
    {CKM_RC4, pkcs11_ctx_class::soft_rc4, key_family::secret, CKK_RC4},
    {CKM_DES_KEY_GEN, pkcs11_ctx_class::soft_des, key_family::secret, CKK_DES},
    {CKM_DES_ECB, pkcs11_ctx_class::soft_des, key_family::secret, CKK_DES},
    {CKM_DES_CBC, pkcs11_ctx_class::soft_des, key_family::secret, CKK_DES},
    {CKM_DES_CBC_PAD, pkcs11_ctx_class::soft_des, key_family::secret, CKK_DES},
    {CKM_DES3_KEY_GEN, pkcs11_ctx_class::soft_des3, key_family::secret, CKK_DES3},
    {CKM_DES3_ECB, pkcs11_ctx_class::soft_des3, key_family::secret, CKK_DES3},
    {CKM_DES3_CBC, pkcs11_ctx_class::soft_des3, key_family::secret, CKK_DES3},
    {CKM_DES3_CBC_PAD, pkcs11_ctx_class::soft_des3, key_family::secret, CKK_DES3},
    {CKM_MD5, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_MD5_HMAC, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA_1, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA_1_HMAC, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA256, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA256_HMAC, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA384, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA384_HMAC, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA512, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA512_HMAC, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_MD5_KEY_DERIVATION, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA1_KEY_DERIVATION, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA256_KEY_DERIVATION, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA384_KEY_DERIVATION, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_SHA512_KEY_DERIVATION, pkcs11_ctx_class::soft_hash, key_family::none, 0},
    {CKM_GENERIC_SECRET_KEY_GEN, pkcs11_ctx_class::bluekey_symetric, key_family::secret, CKK_GENERIC_SECRET},
    {CKM_EC_KEY_PAIR_GEN, pkcs11_ctx_class::hardware_ecdsa, key_family::ec, 0},
    {CKM_ECDSA, pkcs11_ctx_class::hardware_ecdsa, key_family::ec, 0},
    {CKM_ECDSA_SHA1, pkcs11_ctx_class::hardware_ecdsa, key_family::ec, 0},
    {CKM_ECDSA_SHA256, pkcs11_ctx_class::hardware_ecdsa, key_family::ec, 0},
    {CKM_ECDSA_SHA384, pkcs11_ctx_class::hardware_ecdsa, key_family::ec, 0},
    {CKM_ECDSA_SHA512, pkcs11_ctx_class::hardware_ecdsa, key_family::ec, 0},
    {CKM_AES_KEY_GEN, pkcs11_ctx_class::soft_aes, key_family::secret, CKK_AES},
    {CKM_AES_ECB, pkcs11_ctx_class::soft_aes, key_family::secret, CKK_AES},
    {CKM_AES_CBC, pkcs11_ctx_class::soft_aes, key_family::secret, CKK_AES},
    {CKM_AES_CBC_PAD, pkcs11_ctx_class::soft_aes, key_family::secret, CKK_AES},
};

// Whether a key of that class and type may serve a mechanism of the row.
bool key_suits(const factory_row& row, const pkcs11_key_facts& key) {
    switch (row.family) {
        case key_family::none:
            return true;
        case key_family::rsa:
        case key_family::ec:
            if (key.has_class && key.object_class != CKO_PUBLIC_KEY && key.object_class != CKO_PRIVATE_KEY) {
                return false;
            }
            if (!key.has_key_type) return true;
            return key.key_type == (row.family == key_family::rsa ? CKK_RSA : CKK_EC);
        case key_family::secret:
            if (key.has_class && key.object_class != CKO_SECRET_KEY) return false;
            if (!key.has_key_type || key.key_type == row.key_type) return true;
            // Two-key 3DES values serve the 3DES mechanisms; generic secrets
            // (card-held keys among them) serve AES.
            if (row.key_type == CKK_DES3 && key.key_type == CKK_DES2) return true;
            return row.key_type == CKK_AES && key.key_type == CKK_GENERIC_SECRET;
    }
    return false;
}

}  // namespace

pkcs11_ctx_choice choose_key_ctx(CK_MECHANISM_TYPE type, const pkcs11_key_facts* key) {
    pkcs11_ctx_choice choice;
    const factory_row* row = nullptr;
    for (const factory_row& r : factory_rows) {
        if (r.type == type) {
            row = &r;
            break;
        }
    }
    if (row == nullptr) return choice;
    pkcs11_ctx_class ctx_class = row->ctx_class;
    if (key != nullptr && key->is_token) {
        // RC2 and RC4 run on session keys only; token AES keys live on the card.
        if (ctx_class == pkcs11_ctx_class::soft_rc2 || ctx_class == pkcs11_ctx_class::soft_rc4) return choice;
        if (ctx_class == pkcs11_ctx_class::soft_aes) ctx_class = pkcs11_ctx_class::bluekey_symetric;
    }
    if (key != nullptr) {
        if (!key_suits(*row, *key)) {
            choice.rv = CKR_KEY_TYPE_INCONSISTENT;
            return choice;
        }
        if (!key->has_key_type && (row->family == key_family::rsa || row->family == key_family::secret)) {
            choice.set_key_type = true;
            choice.key_type = row->key_type;
        }
    }
    choice.rv = CKR_OK;
    choice.ctx_class = ctx_class;
    return choice;
}

std::unique_ptr<pkcs11_key_ctx> make_soft_key_ctx(pkcs11_ctx_class ctx_class, const CK_MECHANISM& mechanism) {
    switch (ctx_class) {
        case pkcs11_ctx_class::soft_des: return std::unique_ptr<pkcs11_key_ctx>(new (std::nothrow) pkcs11_soft_des_ctx(mechanism));
        case pkcs11_ctx_class::soft_des3: return std::unique_ptr<pkcs11_key_ctx>(new (std::nothrow) pkcs11_soft_des3_ctx(mechanism));
        case pkcs11_ctx_class::soft_aes: return std::unique_ptr<pkcs11_key_ctx>(new (std::nothrow) pkcs11_soft_aes_ctx(mechanism));
        case pkcs11_ctx_class::soft_rc2: return std::unique_ptr<pkcs11_key_ctx>(new (std::nothrow) pkcs11_soft_rc2_ctx(mechanism));
        case pkcs11_ctx_class::soft_rc4: return std::unique_ptr<pkcs11_key_ctx>(new (std::nothrow) pkcs11_soft_rc4_ctx(mechanism));
        case pkcs11_ctx_class::soft_hash: return std::unique_ptr<pkcs11_key_ctx>(new (std::nothrow) pkcs11_soft_hash_ctx(mechanism));
        default: return nullptr;
    }
}

CK_RV soft_key_length(CK_MECHANISM_TYPE type, bool has_value_len, CK_ULONG value_len, std::size_t* length) {
    bool needs_value_len = true;
    bool fits = false;
    switch (type) {
        case CKM_DES_KEY_GEN:
            needs_value_len = false;
            if (!has_value_len) value_len = 8;
            fits = value_len == 8;
            break;
        case CKM_DES3_KEY_GEN:
            needs_value_len = false;
            if (!has_value_len) value_len = 24;
            fits = value_len == 16 || value_len == 24;
            break;
        case CKM_AES_KEY_GEN: fits = value_len == 16 || value_len == 24 || value_len == 32; break;
        case CKM_RC2_KEY_GEN: fits = value_len >= 1 && value_len <= rc2_max_key; break;
        case CKM_RC4_KEY_GEN: fits = value_len >= 1 && value_len <= rc4_max_key; break;
        default: return CKR_MECHANISM_INVALID;
    }
    if (needs_value_len && !has_value_len) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (!fits) return CKR_KEY_SIZE_RANGE;
    *length = value_len;
    return CKR_OK;
}

}  // namespace pkcs11
