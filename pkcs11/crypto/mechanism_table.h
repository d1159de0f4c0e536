// The module's mechanism table, the checks that run before a context is
// made, and the choice of the context class for a mechanism and key.
#pragma once

#include "key_ctx.h"

#include <cstddef>
#include <memory>

namespace pkcs11 {

// One row of the table. Key sizes as PKCS #11 counts them for each
// mechanism: bits for RSA, EC, DES, 3DES, the digests, derivation, RC2
// (effective bits), RC4 and generic secrets; bytes for AES.
struct pkcs11_mechanism_row {
    CK_MECHANISM_TYPE type;
    CK_ULONG min_key_size;
    CK_ULONG max_key_size;
    CK_FLAGS flags;
};

constexpr std::size_t mechanism_count = 48;
extern const pkcs11_mechanism_row mechanism_rows[mechanism_count];

// The table's row of a type, or nullptr.
const pkcs11_mechanism_row* find_mechanism(CK_MECHANISM_TYPE type);

// The list and info answers of a token (the slot is checked by the caller):
// the size-query convention, CKR_ARGUMENTS_BAD for a null count or info,
// CKR_MECHANISM_INVALID for a type outside the table.
CK_RV mechanism_list(CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count);
CK_RV mechanism_info(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info);

// The parameter check of encryption, decryption, wrap and unwrap: a CBC
// parameter of DES, 3DES or AES must be exactly one block when given.
CK_RV check_mechanism_param(const CK_MECHANISM& mechanism);

// The key-generation template check. `has_key_type`/`key_type` say what the
// template holds; on CKR_OK with *set_key_type, the new key takes
// *key_type_to_set.
CK_RV check_keygen_template(CK_MECHANISM_TYPE type, bool has_key_type, CK_KEY_TYPE key_type, bool has_value_len,
                            bool* set_key_type, CK_KEY_TYPE* key_type_to_set);

// The context classes of the module.
enum class pkcs11_ctx_class {
    none,
    hardware_rsa_pkcs,
    hardware_rsa_raw,
    hardware_shaxrsa_pkcs,
    hardware_rsa_x931,
    hardware_rsa_sha_x931,
    soft_rc2,
    soft_rc4,
    soft_des,
    soft_des3,
    soft_aes,
    soft_hash,
    bluekey_symetric,
    hardware_ecdsa,
};

// What the factory needs to know of a key object.
struct pkcs11_key_facts {
    bool is_token = false;
    bool has_class = false;
    CK_OBJECT_CLASS object_class = 0;
    bool has_key_type = false;
    CK_KEY_TYPE key_type = 0;
};

struct pkcs11_ctx_choice {
    CK_RV rv = CKR_MECHANISM_INVALID;
    pkcs11_ctx_class ctx_class = pkcs11_ctx_class::none;
    // The key gains this CKA_KEY_TYPE (it had none).
    bool set_key_type = false;
    CK_KEY_TYPE key_type = 0;
};

// The context class for a mechanism and a key (nullptr: no key). A key
// whose type or class does not suit the mechanism gives
// CKR_KEY_TYPE_INCONSISTENT and keeps its type; a mechanism without a
// context, CKR_MECHANISM_INVALID.
pkcs11_ctx_choice choose_key_ctx(CK_MECHANISM_TYPE type, const pkcs11_key_facts* key);

// A new software context of that class for the mechanism; nullptr for a
// class that is not a software one or when memory runs out.
std::unique_ptr<pkcs11_key_ctx> make_soft_key_ctx(pkcs11_ctx_class ctx_class, const CK_MECHANISM& mechanism);

}  // namespace pkcs11

namespace pkcs11 {

// The value length of a key that a software key-generation mechanism makes,
// from the template's CKA_VALUE_LEN (in bytes): DES 8, 3DES 16 or 24 (24
// without one), AES 16, 24 or 32, RC2 1..128, RC4 1..256; AES, RC2 and RC4
// need CKA_VALUE_LEN (CKR_ATTRIBUTE_TYPE_INVALID without); any other length
// gives CKR_KEY_SIZE_RANGE, any other mechanism CKR_MECHANISM_INVALID.
CK_RV soft_key_length(CK_MECHANISM_TYPE type, bool has_value_len, CK_ULONG value_len, std::size_t* length);

}  // namespace pkcs11
