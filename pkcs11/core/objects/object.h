// A PKCS #11 object of a token: its class, attribute list, class verifier,
// handle, reference count and creating session; how it is built from a
// caller's template with the defaults of its class; and the rules at the
// C_GetAttributeValue and C_SetAttributeValue boundary.
//
// Objects live on the heap and are reference counted: the token's object
// list holds one reference, and every operation context or search that
// keeps an object beyond one call holds another (pkcs11_object_ref), so a
// destroyed object stays valid until its last holder lets go. Counting is
// not atomic: all of it runs under the module's global lock.
//
// Templates from callers are checked before anything reads them
// (check_template). Values that hold a CK_ULONG are kept in their 4-byte
// stored form; callers get them as a CK_ULONG, zero-extended, size queries
// included.
#pragma once

#include <pkcs11_vendor.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "attribute_mgr.h"
#include "object_access.h"
#include "object_verifier.h"

namespace pkcs11 {

// The longest attribute value the module takes from a caller. The token
// holds nothing near it (a certificate file is at most 16384 bytes); a
// longer length is a caller's error, not a reason to allocate.
constexpr CK_ULONG max_attribute_value_length = 1UL << 20;

// A caller's template before any use: CKR_ARGUMENTS_BAD for a null template
// with entries; CKR_ATTRIBUTE_VALUE_INVALID for an entry with a null value
// and a length, or a length over max_attribute_value_length;
// CKR_ATTRIBUTE_TYPE_INVALID for a type beyond 32 bits (the module's types
// are 32-bit, and a wider one must not alias a known type).
CK_RV check_template(const CK_ATTRIBUTE* tmpl, CK_ULONG count);

// The last entry of a type (later entries replace earlier ones), or null.
const CK_ATTRIBUTE* template_find(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type);
// A one-byte non-zero value.
bool template_true(const CK_ATTRIBUTE* entry);
// A one-byte zero value.
bool template_false(const CK_ATTRIBUTE* entry);
// A CK_ULONG-valued entry by the stored-form rule (1 to sizeof(CK_ULONG)
// bytes); false when absent, empty or wider.
bool template_u32(const CK_ATTRIBUTE* entry, std::uint32_t& value);

// The next handle of the module's object counter: from 1000, never reused
// while the module is loaded.
CK_OBJECT_HANDLE next_object_handle();

class pkcs11_object;

// A counted reference to an object.
class pkcs11_object_ref {
public:
    pkcs11_object_ref() = default;
    explicit pkcs11_object_ref(pkcs11_object* object);  // takes a new reference
    pkcs11_object_ref(const pkcs11_object_ref& other);
    pkcs11_object_ref(pkcs11_object_ref&& other) noexcept;
    pkcs11_object_ref& operator=(pkcs11_object_ref other) noexcept;
    ~pkcs11_object_ref();

    pkcs11_object* get() const { return object_; }
    pkcs11_object* operator->() const { return object_; }
    pkcs11_object& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void reset();

private:
    pkcs11_object* object_ = nullptr;
};

class pkcs11_object {
public:
    // Writes an object's changed attributes to its store; the object takes
    // them only when this gives CKR_OK. The store may add to updated what
    // the write decided (where the object now lies).
    using store_fn = std::function<CK_RV(const pkcs11_object& object, pkcs11_attribute_mgr& updated)>;

    ~pkcs11_object();
    pkcs11_object(const pkcs11_object&) = delete;
    pkcs11_object& operator=(const pkcs11_object&) = delete;

    // An object of a class built from a template: CKA_CLASS first, then the
    // template's attributes in order (a repeated type replaces the earlier
    // value), then the class defaults for every attribute the template
    // lacks. object_class CK_UNAVAILABLE_INFORMATION: the template's
    // CKA_CLASS. Codes: those of check_template; CKR_TEMPLATE_INCONSISTENT
    // for no class, a class the module does not keep, or a template
    // CKA_CLASS that differs from the class; CKR_HOST_MEMORY.
    static CK_RV build(CK_SESSION_HANDLE session, CK_OBJECT_CLASS object_class, const CK_ATTRIBUTE* tmpl,
                       CK_ULONG count, pkcs11_object_ref& out);
    // An object with CKA_CLASS only (the stores' loaders set the rest).
    static CK_RV make_bare(CK_SESSION_HANDLE session, CK_OBJECT_CLASS object_class, pkcs11_object_ref& out);
    // An object from its byte form: CKR_DATA_LEN_RANGE for a malformed
    // form, CKR_ATTRIBUTE_TYPE_INVALID without CKA_CLASS,
    // CKR_TEMPLATE_INCONSISTENT for a class the module does not keep.
    static CK_RV from_blob(CK_SESSION_HANDLE session, const std::uint8_t* data, std::size_t length,
                           pkcs11_object_ref& out);

    // C_CreateObject's object work: build (failures other than the
    // template checks give CKR_TEMPLATE_INCONSISTENT), write access for the
    // level, the verifier's create check. The caller stores and lists it.
    static CK_RV create(CK_SESSION_HANDLE session, access_level level, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                        pkcs11_object_ref& out);
    // C_CopyObject's object work on this source: write access to the
    // source, the class kept (a template CKA_CLASS other than the source's
    // gives CKR_ATTRIBUTE_READ_ONLY), the verifier's copy check, a copy with
    // a new handle and the template applied, the sensitivity completion, and
    // write access for the resulting object.
    CK_RV copy_for(CK_SESSION_HANDLE session, access_level level, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                   pkcs11_object_ref& out) const;
    // The object of a key generation (of a class the module keeps): built
    // as above (a template CKA_CLASS of another class gives
    // CKR_TEMPLATE_INCONSISTENT), write access, the mechanism's additions,
    // the verifier's generate check, then CKA_KEY_GEN_MECHANISM := the
    // mechanism, CKA_LOCAL TRUE, and for private and secret keys
    // CKA_ALWAYS_SENSITIVE and CKA_NEVER_EXTRACTABLE TRUE.
    static CK_RV for_generation(CK_SESSION_HANDLE session, access_level level, CK_OBJECT_CLASS object_class,
                                CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                                pkcs11_object_ref& out);
    // After a successful generation or copy: CKA_SENSITIVE FALSE clears
    // CKA_ALWAYS_SENSITIVE, CKA_EXTRACTABLE TRUE clears
    // CKA_NEVER_EXTRACTABLE.
    CK_RV complete_sensitivity();

    CK_OBJECT_HANDLE handle() const { return handle_; }
    CK_OBJECT_CLASS object_class() const { return class_; }
    CK_SESSION_HANDLE session() const { return session_; }
    object_kind kind() const;
    bool is_token_object() const { return attributes_.is_true(CKA_TOKEN); }
    const pkcs11_attribute_mgr& attributes() const { return attributes_; }
    pkcs11_attribute_mgr& attributes() { return attributes_; }
    const pkcs11_object_verifier& verifier() const { return *verifier_; }

    // The token's values (a data object's value, a key's public values)
    // have been read from the card.
    bool values_loaded() const { return values_loaded_; }
    void set_values_loaded(bool loaded) { values_loaded_ = loaded; }
    // In its token's object list (kept by pkcs11_object_mgr).
    bool listed() const { return listed_; }
    void set_listed(bool listed) { listed_ = listed; }

    // CKA_VENDOR_KEY_SPEC, 2 when absent; ensure adds the 2.
    std::uint32_t key_spec() const;
    CK_RV ensure_key_spec();
    // CKA_MODULUS_BITS, else the CKA_MODULUS length in bits: 1024 or 2048,
    // CKR_KEY_SIZE_RANGE for another size, CKR_ATTRIBUTE_TYPE_INVALID when
    // neither is present.
    CK_RV rsa_modulus_bits(CK_ULONG& bits) const;

    // C_GetObjectSize: the sum of (length + 8) with the lengths callers see.
    CK_ULONG object_size() const;
    // The byte form of the attributes (pkcs11_attribute_mgr::serialise).
    CK_RV serialise(std::uint8_t* buffer, std::size_t& length) const { return attributes_.serialise(buffer, length); }

    // C_GetAttributeValue after the object lookup (and after the values
    // were read from the card). Read access for the level first: denied,
    // every entry gets CK_UNAVAILABLE_INFORMATION and the call
    // CKR_ATTRIBUTE_SENSITIVE. Then every entry in order: a secret value of
    // a sensitive object CKR_ATTRIBUTE_SENSITIVE, an absent type
    // CKR_ATTRIBUTE_TYPE_INVALID, a short buffer CKR_BUFFER_TOO_SMALL, each
    // with CK_UNAVAILABLE_INFORMATION; a null value gets the length; the
    // rest are filled. The result is the code of the last failing entry.
    CK_RV get_attribute_values(access_level level, CK_ATTRIBUTE* tmpl, CK_ULONG count) const;
    // C_SetAttributeValue after the object lookup: the template checks,
    // write access for the level, CKR_ATTRIBUTE_READ_ONLY for an object
    // that is not modifiable or an attribute its verifier keeps,
    // CKR_INFORMATION_SENSITIVE for a secret value of a sensitive object.
    // The change is made on a copy of the attributes, handed to store (the
    // card write of a token object; may be empty), and taken only when
    // that succeeds.
    CK_RV set_attribute_values(access_level level, CK_STATE state, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                               const store_fn& store);

    // Reference counting (pkcs11_object_ref does it for its holders).
    void retain() { ++refs_; }
    void release();
    std::uint32_t references() const { return refs_; }

private:
    pkcs11_object(CK_SESSION_HANDLE session, CK_OBJECT_CLASS object_class);
    static CK_RV make(CK_SESSION_HANDLE session, CK_OBJECT_CLASS object_class, pkcs11_object_ref& out);
    CK_RV apply_template(const CK_ATTRIBUTE* tmpl, CK_ULONG count);
    CK_RV add_class_defaults();

    CK_OBJECT_HANDLE handle_;
    CK_OBJECT_CLASS class_;
    CK_SESSION_HANDLE session_;
    pkcs11_attribute_mgr attributes_;
    std::unique_ptr<pkcs11_object_verifier> verifier_;
    std::uint32_t refs_ = 0;
    bool values_loaded_ = false;
    bool listed_ = false;
};

// The attribute types whose values C_GetAttributeValue withholds from a
// sensitive object: CKA_VALUE and the RSA private values.
bool is_secret_value_type(CK_ATTRIBUTE_TYPE type);

}  // namespace pkcs11
