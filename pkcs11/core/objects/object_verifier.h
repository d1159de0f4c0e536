// The class verifiers of objects: whether a caller's template is acceptable
// for the object's class when an object is created, copied, generated or
// unwrapped, which attributes C_SetAttributeValue may change, and whether
// the object's secret values may leave the module.
//
// Every check looks at the caller's template only, never at the object
// built from it: the class defaults would otherwise make attributes "present"
// that the caller never named (CKA_LOCAL, CKA_TRUSTED and others) and refuse
// every create. The checks answer CKR_TEMPLATE_INCOMPLETE (a required
// attribute is missing), CKR_TEMPLATE_INCONSISTENT (an attribute that the
// operation sets by itself, or a forbidden change) or CKR_OK, at the first
// failing step.
//
// A verifier belongs to one object; for copy checks that object is the one
// being copied.
#pragma once

#include <pkcs11_vendor.h>

#include <memory>

namespace pkcs11 {

class pkcs11_object;

class pkcs11_object_verifier {
public:
    explicit pkcs11_object_verifier(const pkcs11_object& owner) : owner_(owner) {}
    virtual ~pkcs11_object_verifier() = default;
    pkcs11_object_verifier(const pkcs11_object_verifier&) = delete;
    pkcs11_object_verifier& operator=(const pkcs11_object_verifier&) = delete;

    // The verifier of a class; null for a class the module does not keep.
    static std::unique_ptr<pkcs11_object_verifier> make(CK_OBJECT_CLASS object_class, const pkcs11_object& owner);

    // The templates are checked entries (see check_template).
    virtual CK_RV check_create(const CK_ATTRIBUTE* tmpl, CK_ULONG count) const = 0;
    virtual CK_RV check_copy(const CK_ATTRIBUTE* tmpl, CK_ULONG count) const = 0;
    virtual CK_RV check_generate(const CK_ATTRIBUTE* tmpl, CK_ULONG count) const = 0;
    virtual CK_RV check_unwrap(const CK_ATTRIBUTE* tmpl, CK_ULONG count) const = 0;
    // Whether C_SetAttributeValue may change the attribute on this class.
    virtual bool may_set(CK_ATTRIBUTE_TYPE type) const = 0;

    // may_set and the value rules for every entry:
    // - CKA_NEVER_EXTRACTABLE and CKA_ALWAYS_SENSITIVE only to FALSE;
    // - CKA_SENSITIVE and CKA_WRAP_WITH_TRUSTED not away from a held TRUE;
    // - CKA_EXTRACTABLE not away from a held FALSE;
    // - CKA_TRUSTED to anything but FALSE only in the RW SO state.
    bool may_set_all(CK_STATE state, const CK_ATTRIBUTE* tmpl, CK_ULONG count) const;
    bool may_set_one(CK_STATE state, const CK_ATTRIBUTE& entry) const;

    // CKA_SENSITIVE TRUE or CKA_EXTRACTABLE FALSE (absent: FALSE and TRUE).
    bool is_sensitive() const;

protected:
    const pkcs11_object& owner() const { return owner_; }

private:
    const pkcs11_object& owner_;
};

}  // namespace pkcs11
