#include "object_verifier.h"

#include <initializer_list>

#include "object.h"

namespace pkcs11 {

namespace {

// One step of a check, run in order until one fails.
enum class rule {
    required,     // missing: CKR_TEMPLATE_INCOMPLETE
    forbidden,    // present: CKR_TEMPLATE_INCONSISTENT
    trusted,      // CKA_TRUSTED given TRUE: CKR_TEMPLATE_INCONSISTENT
    unchanged,    // a one-byte value that differs from the source's one-byte value
    sensitive,    // the source is sensitive and the template would make it less so
    extractable,  // the source is not extractable and the template would make it so
};

struct step {
    rule r;
    CK_ATTRIBUTE_TYPE type;
};

using steps = std::initializer_list<step>;

step req(CK_ATTRIBUTE_TYPE t) { return {rule::required, t}; }
step no(CK_ATTRIBUTE_TYPE t) { return {rule::forbidden, t}; }
step same(CK_ATTRIBUTE_TYPE t) { return {rule::unchanged, t}; }
const step trusted_rule{rule::trusted, CKA_TRUSTED};
const step sensitive_rule{rule::sensitive, CKA_SENSITIVE};
const step extractable_rule{rule::extractable, CKA_EXTRACTABLE};

CK_RV run(steps list, const CK_ATTRIBUTE* tmpl, CK_ULONG count, const pkcs11_object& source) {
    const pkcs11_attribute_mgr& held = source.attributes();
    for (const step& s : list) {
        const CK_ATTRIBUTE* entry = template_find(tmpl, count, s.type);
        switch (s.r) {
            case rule::required:
                if (entry == nullptr) return CKR_TEMPLATE_INCOMPLETE;
                break;
            case rule::forbidden:
                if (entry != nullptr) return CKR_TEMPLATE_INCONSISTENT;
                break;
            case rule::trusted:
                if (template_true(entry)) return CKR_TEMPLATE_INCONSISTENT;
                break;
            case rule::unchanged: {
                const pkcs11_attribute* h = held.find(static_cast<std::uint32_t>(s.type));
                if (entry != nullptr && entry->ulValueLen == 1 && h != nullptr && h->value.size() == 1 &&
                    *static_cast<const CK_BYTE*>(entry->pValue) != h->value[0])
                    return CKR_TEMPLATE_INCONSISTENT;
                break;
            }
            case rule::sensitive:
                if (held.is_true(CKA_SENSITIVE) && entry != nullptr && !template_true(entry))
                    return CKR_TEMPLATE_INCONSISTENT;
                break;
            case rule::extractable:
                if (held.has(CKA_EXTRACTABLE) && !held.is_true(CKA_EXTRACTABLE) && entry != nullptr &&
                    !template_false(entry))
                    return CKR_TEMPLATE_INCONSISTENT;
                break;
        }
    }
    return CKR_OK;
}

// The key type a template describes: its CKA_KEY_TYPE; without one, EC
// when it carries CKA_EC_PARAMS; else RSA.
bool template_is_ec(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    std::uint32_t key_type = 0;
    if (template_u32(template_find(tmpl, count, CKA_KEY_TYPE), key_type)) return key_type == CKK_EC;
    return template_find(tmpl, count, CKA_EC_PARAMS) != nullptr;
}

bool listed(CK_ATTRIBUTE_TYPE type, std::initializer_list<CK_ATTRIBUTE_TYPE> types) {
    for (CK_ATTRIBUTE_TYPE t : types)
        if (t == type) return true;
    return false;
}

class verifier_cert final : public pkcs11_object_verifier {
public:
    using pkcs11_object_verifier::pkcs11_object_verifier;
    CK_RV check_create(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        return run({req(CKA_CERTIFICATE_TYPE), req(CKA_SUBJECT), req(CKA_VALUE)}, t, n, owner());
    }
    CK_RV check_copy(const CK_ATTRIBUTE*, CK_ULONG) const override { return CKR_OK; }
    CK_RV check_generate(const CK_ATTRIBUTE*, CK_ULONG) const override { return CKR_OK; }
    CK_RV check_unwrap(const CK_ATTRIBUTE*, CK_ULONG) const override { return CKR_OK; }
    bool may_set(CK_ATTRIBUTE_TYPE type) const override {
        return listed(type, {CKA_LABEL, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_ID});
    }
};

class verifier_data final : public pkcs11_object_verifier {
public:
    using pkcs11_object_verifier::pkcs11_object_verifier;
    CK_RV check_create(const CK_ATTRIBUTE* t, CK_ULONG n) const override { return run({no(CKA_LOCAL)}, t, n, owner()); }
    CK_RV check_copy(const CK_ATTRIBUTE*, CK_ULONG) const override { return CKR_OK; }
    CK_RV check_generate(const CK_ATTRIBUTE*, CK_ULONG) const override { return CKR_OK; }
    CK_RV check_unwrap(const CK_ATTRIBUTE*, CK_ULONG) const override { return CKR_OK; }
    bool may_set(CK_ATTRIBUTE_TYPE type) const override {
        return listed(type, {CKA_LABEL, CKA_APPLICATION, CKA_VALUE});
    }
};

class verifier_public_key final : public pkcs11_object_verifier {
public:
    using pkcs11_object_verifier::pkcs11_object_verifier;
    CK_RV check_create(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        if (template_is_ec(t, n))
            return run({req(CKA_EC_PARAMS), req(CKA_EC_POINT), no(CKA_NEVER_EXTRACTABLE), no(CKA_ALWAYS_SENSITIVE),
                        no(CKA_KEY_GEN_MECHANISM), no(CKA_LOCAL), trusted_rule},
                       t, n, owner());
        return run({req(CKA_MODULUS), req(CKA_PUBLIC_EXPONENT), no(CKA_MODULUS_BITS), no(CKA_NEVER_EXTRACTABLE),
                    no(CKA_ALWAYS_SENSITIVE), no(CKA_KEY_GEN_MECHANISM), no(CKA_LOCAL), trusted_rule},
                   t, n, owner());
    }
    CK_RV check_copy(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        return run({same(CKA_LOCAL), trusted_rule, same(CKA_NEVER_EXTRACTABLE)}, t, n, owner());
    }
    CK_RV check_generate(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        if (template_is_ec(t, n))
            return run({no(CKA_EC_POINT), no(CKA_LOCAL), no(CKA_NEVER_EXTRACTABLE), no(CKA_ALWAYS_SENSITIVE),
                        trusted_rule, no(CKA_KEY_GEN_MECHANISM)},
                       t, n, owner());
        return run({req(CKA_MODULUS_BITS), no(CKA_LOCAL), no(CKA_NEVER_EXTRACTABLE), no(CKA_ALWAYS_SENSITIVE),
                    trusted_rule, no(CKA_KEY_GEN_MECHANISM)},
                   t, n, owner());
    }
    CK_RV check_unwrap(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        return run({req(CKA_KEY_TYPE), no(CKA_KEY_GEN_MECHANISM), trusted_rule, no(CKA_LOCAL)}, t, n, owner());
    }
    bool may_set(CK_ATTRIBUTE_TYPE type) const override {
        return listed(type, {CKA_LABEL, CKA_TRUSTED, CKA_SUBJECT, CKA_ID, CKA_ENCRYPT, CKA_WRAP, CKA_VERIFY,
                             CKA_VERIFY_RECOVER, CKA_DERIVE, CKA_START_DATE, CKA_END_DATE, CKA_NEVER_EXTRACTABLE,
                             CKA_ALWAYS_SENSITIVE});
    }
};

class verifier_secret_key final : public pkcs11_object_verifier {
public:
    using pkcs11_object_verifier::pkcs11_object_verifier;
    CK_RV check_create(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        return run({req(CKA_KEY_TYPE), req(CKA_VALUE), no(CKA_VALUE_LEN), no(CKA_LOCAL), no(CKA_KEY_GEN_MECHANISM),
                    no(CKA_NEVER_EXTRACTABLE), no(CKA_ALWAYS_SENSITIVE), trusted_rule},
                   t, n, owner());
    }
    CK_RV check_copy(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        return run({same(CKA_LOCAL), same(CKA_ALWAYS_SENSITIVE), same(CKA_NEVER_EXTRACTABLE), trusted_rule,
                    sensitive_rule, extractable_rule},
                   t, n, owner());
    }
    CK_RV check_generate(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        return run({no(CKA_VALUE), no(CKA_LOCAL), no(CKA_KEY_GEN_MECHANISM), no(CKA_NEVER_EXTRACTABLE),
                    no(CKA_ALWAYS_SENSITIVE), trusted_rule},
                   t, n, owner());
    }
    CK_RV check_unwrap(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        return run({req(CKA_KEY_TYPE), no(CKA_VALUE), no(CKA_LOCAL), no(CKA_KEY_GEN_MECHANISM),
                    no(CKA_NEVER_EXTRACTABLE), no(CKA_ALWAYS_SENSITIVE), trusted_rule},
                   t, n, owner());
    }
    bool may_set(CK_ATTRIBUTE_TYPE type) const override {
        return listed(type, {CKA_LABEL, CKA_TRUSTED, CKA_EXTRACTABLE, CKA_ID, CKA_SENSITIVE, CKA_ENCRYPT,
                             CKA_DECRYPT, CKA_WRAP, CKA_UNWRAP, CKA_SIGN, CKA_VERIFY, CKA_DERIVE, CKA_START_DATE,
                             CKA_END_DATE});
    }
};

class verifier_private_key final : public pkcs11_object_verifier {
public:
    using pkcs11_object_verifier::pkcs11_object_verifier;
    CK_RV check_create(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        if (template_is_ec(t, n))
            return run({req(CKA_EC_PARAMS), req(CKA_VALUE), no(CKA_NEVER_EXTRACTABLE), no(CKA_ALWAYS_SENSITIVE),
                        no(CKA_KEY_GEN_MECHANISM), no(CKA_LOCAL)},
                       t, n, owner());
        return run({req(CKA_MODULUS), req(CKA_PRIVATE_EXPONENT), no(CKA_NEVER_EXTRACTABLE), no(CKA_ALWAYS_SENSITIVE),
                    no(CKA_KEY_GEN_MECHANISM), no(CKA_LOCAL)},
                   t, n, owner());
    }
    CK_RV check_copy(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        return run({same(CKA_LOCAL), same(CKA_ALWAYS_SENSITIVE), sensitive_rule, extractable_rule}, t, n, owner());
    }
    CK_RV check_generate(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        if (template_is_ec(t, n))
            return run({no(CKA_EC_PARAMS), no(CKA_VALUE), no(CKA_LOCAL), no(CKA_NEVER_EXTRACTABLE),
                        no(CKA_ALWAYS_SENSITIVE)},
                       t, n, owner());
        return run({no(CKA_MODULUS), no(CKA_PUBLIC_EXPONENT), no(CKA_PRIVATE_EXPONENT), no(CKA_PRIME_1),
                    no(CKA_PRIME_2), no(CKA_EXPONENT_1), no(CKA_EXPONENT_2), no(CKA_COEFFICIENT), no(CKA_LOCAL),
                    no(CKA_NEVER_EXTRACTABLE), no(CKA_ALWAYS_SENSITIVE)},
                   t, n, owner());
    }
    CK_RV check_unwrap(const CK_ATTRIBUTE* t, CK_ULONG n) const override {
        // The key type of an unwrapped private key comes from CKA_KEY_TYPE
        // alone.
        std::uint32_t key_type = 0;
        const bool ec = template_u32(template_find(t, n, CKA_KEY_TYPE), key_type) && key_type == CKK_EC;
        if (ec)
            return run({req(CKA_KEY_TYPE), no(CKA_EC_PARAMS), no(CKA_VALUE), no(CKA_LOCAL), no(CKA_KEY_GEN_MECHANISM),
                        no(CKA_NEVER_EXTRACTABLE), no(CKA_ALWAYS_SENSITIVE)},
                       t, n, owner());
        return run({req(CKA_KEY_TYPE), no(CKA_MODULUS), no(CKA_PUBLIC_EXPONENT), no(CKA_PRIVATE_EXPONENT),
                    no(CKA_PRIME_1), no(CKA_PRIME_2), no(CKA_EXPONENT_1), no(CKA_EXPONENT_2), no(CKA_COEFFICIENT),
                    no(CKA_LOCAL), no(CKA_KEY_GEN_MECHANISM), no(CKA_NEVER_EXTRACTABLE), no(CKA_ALWAYS_SENSITIVE)},
                   t, n, owner());
    }
    bool may_set(CK_ATTRIBUTE_TYPE type) const override {
        return listed(type, {CKA_LABEL, CKA_TRUSTED, CKA_EXTRACTABLE, CKA_SUBJECT, CKA_ID, CKA_SENSITIVE,
                             CKA_DECRYPT, CKA_UNWRAP, CKA_SIGN, CKA_SIGN_RECOVER, CKA_DERIVE, CKA_START_DATE,
                             CKA_END_DATE});
    }
};

}  // namespace

std::unique_ptr<pkcs11_object_verifier> pkcs11_object_verifier::make(CK_OBJECT_CLASS object_class,
                                                                     const pkcs11_object& owner) {
    switch (object_class) {
        case CKO_CERTIFICATE: return std::make_unique<verifier_cert>(owner);
        case CKO_DATA: return std::make_unique<verifier_data>(owner);
        case CKO_PUBLIC_KEY: return std::make_unique<verifier_public_key>(owner);
        case CKO_PRIVATE_KEY: return std::make_unique<verifier_private_key>(owner);
        case CKO_SECRET_KEY: return std::make_unique<verifier_secret_key>(owner);
        default: return nullptr;
    }
}

bool pkcs11_object_verifier::may_set_all(CK_STATE state, const CK_ATTRIBUTE* tmpl, CK_ULONG count) const {
    for (CK_ULONG i = 0; i < count; ++i)
        if (!may_set(tmpl[i].type) || !may_set_one(state, tmpl[i])) return false;
    return true;
}

bool pkcs11_object_verifier::may_set_one(CK_STATE state, const CK_ATTRIBUTE& entry) const {
    const pkcs11_attribute_mgr& held = owner_.attributes();
    switch (entry.type) {
        case CKA_NEVER_EXTRACTABLE:
        case CKA_ALWAYS_SENSITIVE:
            return template_false(&entry);
        case CKA_SENSITIVE:
        case CKA_WRAP_WITH_TRUSTED:
            return !held.is_true(static_cast<std::uint32_t>(entry.type)) || template_true(&entry);
        case CKA_EXTRACTABLE:
            // Anything but a one-byte TRUE counts as held FALSE, as for
            // is_sensitive().
            return !(held.has(CKA_EXTRACTABLE) && !held.is_true(CKA_EXTRACTABLE)) || template_false(&entry);
        case CKA_TRUSTED:
            return state == CKS_RW_SO_FUNCTIONS || template_false(&entry);
        default:
            return true;
    }
}

bool pkcs11_object_verifier::is_sensitive() const {
    const pkcs11_attribute_mgr& held = owner_.attributes();
    return held.is_true(CKA_SENSITIVE) || (held.has(CKA_EXTRACTABLE) && !held.is_true(CKA_EXTRACTABLE));
}

}  // namespace pkcs11
