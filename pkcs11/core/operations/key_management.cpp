// Key generation, wrap, unwrap and derivation with software contexts.
#include <mbedtls/platform_util.h>

#include <memory>
#include <new>
#include <vector>

#include "card_key_ctx.h"
#include "crypto_calls.h"
#include "dispatch.h"
#include "mechanism_table.h"
#include "objects/object_access.h"
#include "rsa_unwrap.h"
#include "soft_hash_ctx.h"
#include "token_objects.h"
#include "token_pins.h"

namespace pkcs11 {

namespace {

// Secret bytes that are wiped when they go.
class secret_bytes {
public:
    ~secret_bytes() {
        if (!bytes_.empty()) mbedtls_platform_zeroize(bytes_.data(), bytes_.size());
    }
    bool resize(std::size_t n) {
        try {
            bytes_.resize(n);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    CK_BYTE* data() { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }

private:
    std::vector<CK_BYTE> bytes_;
};

// The 3DES or AES context that wraps or unwraps with `key`: the parameter
// check, the factory (another software cipher CKR_FUNCTION_NOT_SUPPORTED,
// card-held keys CKR_MECHANISM_INVALID here).
CK_RV make_wrap_ctx(const CK_MECHANISM& mechanism, pkcs11_object& key, pkcs11_ctx_class& ctx_class,
                    std::unique_ptr<pkcs11_key_ctx>& out) {
    CK_RV rv = check_mechanism_param(mechanism);
    if (rv != CKR_OK) return rv;
    const pkcs11_key_facts facts = key_facts_of(key);
    const pkcs11_ctx_choice choice = choose_key_ctx(mechanism.mechanism, &facts);
    if (choice.rv != CKR_OK) return choice.rv;
    ctx_class = choice.ctx_class;
    switch (ctx_class) {
        case pkcs11_ctx_class::soft_des3:
        case pkcs11_ctx_class::soft_aes:
            break;
        case pkcs11_ctx_class::soft_des:
        case pkcs11_ctx_class::soft_rc2:
        case pkcs11_ctx_class::soft_rc4:
        case pkcs11_ctx_class::soft_hash:
            return CKR_FUNCTION_NOT_SUPPORTED;
        default:
            return CKR_MECHANISM_INVALID;
    }
    out = make_soft_key_ctx(ctx_class, mechanism);
    return out ? CKR_OK : CKR_HOST_MEMORY;
}

// A CK_ULONG-valued template entry.
bool template_ulong(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type, std::uint32_t& value) {
    return template_u32(template_find(tmpl, count, type), value);
}

CK_RV set_values(pkcs11_attribute_mgr& a, const rsa_private_key_values& v) {
    const struct {
        CK_ATTRIBUTE_TYPE type;
        const std::vector<CK_BYTE>& value;
    } values[] = {
        {CKA_MODULUS, v.modulus},           {CKA_PRIME_1, v.prime_1},
        {CKA_PRIME_2, v.prime_2},           {CKA_EXPONENT_1, v.exponent_1},
        {CKA_EXPONENT_2, v.exponent_2},     {CKA_COEFFICIENT, v.coefficient},
        {CKA_PUBLIC_EXPONENT, v.public_exponent}, {CKA_PRIVATE_EXPONENT, v.private_exponent},
    };
    for (const auto& entry : values) {
        const CK_RV rv = a.set(static_cast<std::uint32_t>(entry.type), entry.value.data(), entry.value.size());
        if (rv != CKR_OK) return rv;
    }
    return CKR_OK;
}

// The object joins the token and the caller gets its handle.
CK_RV hand_out(pkcs11_session& session, pkcs11_token& token, const pkcs11_object_ref& object,
               CK_OBJECT_HANDLE& handle) {
    const CK_RV rv = add_new_object(session, token, object);
    if (rv == CKR_OK) handle = object->handle();
    return rv;
}

// A token secret key that the card generates and keeps in a saved slot:
// the key is stored first (which gives it its card key id), then made on
// the card; a failure there takes the stored key away again.
CK_RV generate_card_key(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
                        const CK_ATTRIBUTE* tmpl, CK_ULONG count, const pkcs11_object_ref& object, bool has_value_len,
                        std::uint32_t value_len, CK_OBJECT_HANDLE& handle) {
    std::uint32_t algorithm = 0;
    CK_RV rv = card_generated_key_type(mechanism.mechanism, has_value_len, value_len, &algorithm);
    if (rv != CKR_OK) return rv;
    // Only a stored key has a saved slot to live in.
    if (!object->is_token_object()) return CKR_ATTRIBUTE_TYPE_INVALID;
    pkcs11_attribute_mgr& a = object->attributes();
    rv = a.set_u32(CKA_VALUE_LEN, value_len);
    if (rv == CKR_OK) rv = a.set_bool(CKA_LOCAL, true);
    if (rv == CKR_OK) rv = object->complete_sensitivity();
    if (rv == CKR_OK) rv = token.objects().store().load_for(tmpl, count, token.objects().list());
    if (rv == CKR_OK) rv = hand_out(session, token, object, handle);
    if (rv != CKR_OK) return rv;
    rv = card_generate_saved_key(token, *object, algorithm);
    if (rv != CKR_OK) (void)destroy_object(session, token, handle);
    return rv;
}

}  // namespace

CK_RV generate_key(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
                   const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE& handle) {
    pkcs11_object_ref object;
    CK_RV rv = pkcs11_object::for_generation(session.handle, access_level_of(session.state), CKO_SECRET_KEY,
                                             mechanism.mechanism, tmpl, count, object);
    if (rv != CKR_OK) return rv;
    std::uint32_t key_type = 0;
    std::uint32_t value_len = 0;
    const bool has_key_type = template_ulong(tmpl, count, CKA_KEY_TYPE, key_type);
    const bool has_value_len = template_ulong(tmpl, count, CKA_VALUE_LEN, value_len);
    bool set_key_type = false;
    CK_KEY_TYPE key_type_to_set = 0;
    rv = check_keygen_template(mechanism.mechanism, has_key_type, key_type, has_value_len, &set_key_type,
                               &key_type_to_set);
    if (rv != CKR_OK) return rv;
    if (set_key_type) rv = object->attributes().set_u32(CKA_KEY_TYPE, static_cast<std::uint32_t>(key_type_to_set));
    if (rv != CKR_OK) return rv;

    const pkcs11_key_facts facts = key_facts_of(*object);
    const pkcs11_ctx_choice choice = choose_key_ctx(mechanism.mechanism, &facts);
    if (choice.rv != CKR_OK) return choice.rv;
    if (choice.ctx_class == pkcs11_ctx_class::bluekey_symetric)
        return generate_card_key(session, token, mechanism, tmpl, count, object, has_value_len, value_len, handle);
    std::size_t length = 0;
    rv = soft_key_length(mechanism.mechanism, has_value_len, value_len, &length);
    if (rv != CKR_OK) return rv;
    secret_bytes value;
    if (!value.resize(length)) return CKR_HOST_MEMORY;
    rv = generate_random(token, value.data(), static_cast<CK_ULONG>(length));
    if (rv == CKR_OK) rv = object->attributes().set(CKA_VALUE, value.data(), value.size());
    if (rv == CKR_OK) rv = object->complete_sensitivity();
    if (rv != CKR_OK) return rv;
    return hand_out(session, token, object, handle);
}

CK_RV wrap_key(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
               CK_OBJECT_HANDLE wrapping_key, CK_OBJECT_HANDLE key, CK_BYTE* wrapped, CK_ULONG* wrapped_len) {
    pkcs11_object_ref wrapping;
    if (find_session_key(session, token, wrapping_key, wrapping) != CKR_OK) return CKR_WRAPPING_KEY_HANDLE_INVALID;
    if (!wrapping->attributes().is_true(CKA_WRAP)) return CKR_WRAPPED_KEY_INVALID;
    pkcs11_object_ref target;
    CK_RV rv = find_session_key(session, token, key, target);
    if (rv != CKR_OK) return rv;
    if (!target->attributes().is_true(CKA_EXTRACTABLE)) return CKR_KEY_NOT_WRAPPABLE;
    pkcs11_ctx_class ctx_class = pkcs11_ctx_class::none;
    std::unique_ptr<pkcs11_key_ctx> ctx;
    rv = make_wrap_ctx(mechanism, *wrapping, ctx_class, ctx);
    if (rv != CKR_OK) return rv;
    if (ctx_class == pkcs11_ctx_class::soft_aes && target->object_class() == CKO_PRIVATE_KEY)
        return CKR_FUNCTION_NOT_SUPPORTED;
    const pkcs11_key_value value = key_value_of(target.get());
    if (value.data == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    rv = ctx->encrypt_init(key_value_of(wrapping.get()));
    if (rv != CKR_OK) return rv;
    return ctx->encrypt(value.data, static_cast<CK_ULONG>(value.length), wrapped, wrapped_len);
}

CK_RV unwrap_key(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
                 CK_OBJECT_HANDLE unwrapping_key, const CK_BYTE* wrapped, CK_ULONG wrapped_len,
                 const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE& handle) {
    pkcs11_object_ref unwrapping;
    CK_RV rv = find_session_key(session, token, unwrapping_key, unwrapping);
    if (rv != CKR_OK) return rv;
    if (!unwrapping->attributes().is_true(CKA_UNWRAP)) return CKR_WRAPPED_KEY_INVALID;
    rv = check_template(tmpl, count);
    if (rv != CKR_OK) return rv;

    std::uint32_t key_type = 0;
    bool has_key_type = template_ulong(tmpl, count, CKA_KEY_TYPE, key_type) && key_type != 0xFFFFFFFFu;
    if (!has_key_type && template_find(tmpl, count, CKA_EC_PARAMS) != nullptr) {
        key_type = CKK_EC;
    } else if (!has_key_type) {
        return CKR_TEMPLATE_INCOMPLETE;
    }
    std::uint32_t object_class = 0;
    if (!template_ulong(tmpl, count, CKA_CLASS, object_class))
        object_class = key_type == CKK_RSA ? CKO_PRIVATE_KEY : CKO_SECRET_KEY;
    if (object_class != CKO_SECRET_KEY && object_class != CKO_PRIVATE_KEY) return CKR_WRAPPING_KEY_TYPE_INCONSISTENT;

    pkcs11_object_ref object;
    rv = pkcs11_object::build(session.handle, object_class, tmpl, count, object);
    if (rv != CKR_OK) return rv;
    rv = object_access(access_level_of(session.state), object_operation::generate, object->kind());
    if (rv == CKR_OK) rv = object->verifier().check_unwrap(tmpl, count);
    if (rv != CKR_OK) return rv;
    pkcs11_attribute_mgr& a = object->attributes();
    rv = a.set_u32(CKA_KEY_TYPE, key_type);
    if (rv == CKR_OK) rv = a.set_u32(CKA_KEY_GEN_MECHANISM, 0xFFFFFFFFu);
    if (rv == CKR_OK) rv = a.set_bool(CKA_LOCAL, false);
    if (rv == CKR_OK) rv = a.set_bool(CKA_ALWAYS_SENSITIVE, false);
    if (rv == CKR_OK) rv = a.set_bool(CKA_NEVER_EXTRACTABLE, false);
    // The template's CKA_EXTRACTABLE stands; without one the key may leave.
    if (rv == CKR_OK && template_find(tmpl, count, CKA_EXTRACTABLE) == nullptr) rv = a.set_bool(CKA_EXTRACTABLE, true);
    if (rv != CKR_OK) return rv;

    pkcs11_ctx_class ctx_class = pkcs11_ctx_class::none;
    std::unique_ptr<pkcs11_key_ctx> ctx;
    rv = make_wrap_ctx(mechanism, *unwrapping, ctx_class, ctx);
    if (rv != CKR_OK) return rv;
    rv = ctx->decrypt_init(key_value_of(unwrapping.get()));
    if (rv != CKR_OK) return rv;
    secret_bytes plain;
    if (!plain.resize(wrapped_len)) return CKR_HOST_MEMORY;
    CK_ULONG plain_len = wrapped_len;
    rv = ctx->decrypt(wrapped, wrapped_len, plain.data(), &plain_len);
    if (rv != CKR_OK) return rv;

    if (object_class == CKO_SECRET_KEY) {
        rv = a.set(CKA_VALUE, plain.data(), plain_len);
    } else {
        if (key_type != CKK_RSA) return CKR_WRAPPING_KEY_TYPE_INCONSISTENT;
        rsa_private_key_values values;
        rv = unwrap_rsa_private_key(plain.data(), plain_len, values);
        if (rv == CKR_OK) rv = set_values(a, values);
    }
    if (rv != CKR_OK) return rv;
    return hand_out(session, token, object, handle);
}

CK_RV derive_key(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
                 CK_OBJECT_HANDLE base_key, const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE& handle) {
    pkcs11_object_ref base;
    CK_RV rv = find_session_key(session, token, base_key, base);
    if (rv != CKR_OK) return rv;
    rv = check_template(tmpl, count);
    if (rv != CKR_OK) return rv;
    pkcs11_object_ref object;
    rv = pkcs11_object::build(session.handle, CK_UNAVAILABLE_INFORMATION, tmpl, count, object);
    if (rv == CKR_HOST_MEMORY) return rv;
    if (rv != CKR_OK) return CKR_GENERAL_ERROR;
    rv = object_access(access_level_of(session.state), object_operation::generate, object->kind());
    if (rv != CKR_OK) return rv;

    const pkcs11_ctx_choice choice = choose_key_ctx(mechanism.mechanism, nullptr);
    if (choice.rv != CKR_OK) return choice.rv;
    if (choice.ctx_class != pkcs11_ctx_class::soft_hash) return CKR_MECHANISM_INVALID;
    pkcs11_soft_hash_ctx ctx(mechanism);
    pkcs11_derive_template derive;
    std::uint32_t value = 0;
    derive.has_key_type = template_ulong(tmpl, count, CKA_KEY_TYPE, value);
    derive.key_type = value;
    derive.has_value_len = template_ulong(tmpl, count, CKA_VALUE_LEN, value);
    derive.value_len = value;
    CK_BYTE derived[max_digest_length];
    std::size_t derived_len = 0;
    rv = ctx.derive_key_value(key_value_of(base.get()), derive, derived, &derived_len);
    if (rv == CKR_OK) rv = object->attributes().set(CKA_VALUE, derived, derived_len);
    mbedtls_platform_zeroize(derived, sizeof derived);
    if (rv == CKR_OK) rv = object->attributes().set_bool(CKA_LOCAL, true);
    if (rv != CKR_OK) return rv;
    return hand_out(session, token, object, handle);
}

}  // namespace pkcs11
