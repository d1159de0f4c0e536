#include "object.h"

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

namespace pkcs11 {

namespace {

// Outside the module state: a child made by fork() keeps counting on.
std::atomic<std::uint32_t> object_counter{1000};

constexpr std::uint32_t all_ones = 0xFFFFFFFFu;

// One class default.
struct default_value {
    enum kind_t { false_, true_, empty, date, number, text } kind;
    CK_ATTRIBUTE_TYPE type;
    std::uint32_t number_value;
    const char* text_value;
};

constexpr default_value F(CK_ATTRIBUTE_TYPE t) { return {default_value::false_, t, 0, nullptr}; }
constexpr default_value T(CK_ATTRIBUTE_TYPE t) { return {default_value::true_, t, 0, nullptr}; }
constexpr default_value E(CK_ATTRIBUTE_TYPE t) { return {default_value::empty, t, 0, nullptr}; }
constexpr default_value D(CK_ATTRIBUTE_TYPE t) { return {default_value::date, t, 0, nullptr}; }
constexpr default_value N(CK_ATTRIBUTE_TYPE t, std::uint32_t v) { return {default_value::number, t, v, nullptr}; }
constexpr default_value S(CK_ATTRIBUTE_TYPE t, const char* v) { return {default_value::text, t, 0, v}; }

// CKA_TRUSTED defaults to FALSE: only the security officer marks an object
// trusted.
const default_value data_defaults[] = {
    F(CKA_TOKEN),       S(CKA_LABEL, "A data object"), F(CKA_PRIVATE), T(CKA_MODIFIABLE),
    E(CKA_APPLICATION), E(CKA_OBJECT_ID),              E(CKA_VALUE),   N(CKA_VALUE_LEN, 0),
    N(CKA_VENDOR_STORE_INDEX, all_ones),
};
const default_value certificate_defaults[] = {
    F(CKA_TOKEN), E(CKA_LABEL), F(CKA_PRIVATE), T(CKA_MODIFIABLE), F(CKA_TRUSTED),
};
const default_value public_key_defaults[] = {
    F(CKA_TOKEN),        S(CKA_LABEL, "A public obj"), F(CKA_PRIVATE),      T(CKA_MODIFIABLE),
    N(CKA_KEY_TYPE, CKK_RSA), E(CKA_SUBJECT),          D(CKA_START_DATE),   D(CKA_END_DATE),
    F(CKA_DERIVE),       T(CKA_ENCRYPT),               T(CKA_VERIFY),       T(CKA_VERIFY_RECOVER),
    T(CKA_WRAP),         F(CKA_TRUSTED),               F(CKA_LOCAL),        N(CKA_KEY_GEN_MECHANISM, all_ones),
};
const default_value private_key_defaults[] = {
    F(CKA_TOKEN),          S(CKA_LABEL, "A private obj"), T(CKA_PRIVATE),          T(CKA_MODIFIABLE),
    N(CKA_KEY_TYPE, CKK_RSA), D(CKA_START_DATE),           D(CKA_END_DATE),         F(CKA_DERIVE),
    E(CKA_SUBJECT),        T(CKA_SENSITIVE),              T(CKA_DECRYPT),          T(CKA_SIGN),
    T(CKA_SIGN_RECOVER),   T(CKA_UNWRAP),                 F(CKA_EXTRACTABLE),      F(CKA_WRAP_WITH_TRUSTED),
    F(CKA_ALWAYS_AUTHENTICATE), F(CKA_ALWAYS_SENSITIVE),  F(CKA_NEVER_EXTRACTABLE), F(CKA_LOCAL),
    N(CKA_KEY_GEN_MECHANISM, all_ones),
};
const default_value secret_key_defaults[] = {
    F(CKA_TOKEN),           S(CKA_LABEL, "A secret object"), T(CKA_PRIVATE),   T(CKA_MODIFIABLE),
    E(CKA_ID),              D(CKA_START_DATE),               D(CKA_END_DATE),  F(CKA_DERIVE),
    F(CKA_SENSITIVE),       T(CKA_ENCRYPT),                  T(CKA_DECRYPT),   F(CKA_SIGN),
    F(CKA_VERIFY),          T(CKA_WRAP),                     T(CKA_UNWRAP),    F(CKA_EXTRACTABLE),
    F(CKA_TRUSTED),         F(CKA_WRAP_WITH_TRUSTED),        F(CKA_ALWAYS_AUTHENTICATE),
    F(CKA_ALWAYS_SENSITIVE), F(CKA_NEVER_EXTRACTABLE),       F(CKA_LOCAL),     N(CKA_KEY_GEN_MECHANISM, all_ones),
    N(CKA_VENDOR_STORE_INDEX, all_ones), N(CKA_VENDOR_CARD_KEY_ID, all_ones),
};

template <std::size_t N_>
CK_RV add_defaults(pkcs11_attribute_mgr& attributes, const default_value (&defaults)[N_]) {
    static const std::uint8_t zero_date[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (const default_value& d : defaults) {
        const auto type = static_cast<std::uint32_t>(d.type);
        if (attributes.has(type)) continue;
        CK_RV rv = CKR_OK;
        switch (d.kind) {
            case default_value::false_: rv = attributes.set_bool(type, false); break;
            case default_value::true_: rv = attributes.set_bool(type, true); break;
            case default_value::empty: rv = attributes.set(type, nullptr, 0); break;
            case default_value::date: rv = attributes.set(type, zero_date, sizeof zero_date); break;
            case default_value::number: rv = attributes.set_u32(type, d.number_value); break;
            case default_value::text: rv = attributes.set(type, d.text_value, std::strlen(d.text_value)); break;
        }
        if (rv != CKR_OK) return rv;
    }
    return CKR_OK;
}

bool known_class(CK_OBJECT_CLASS c) {
    return c == CKO_DATA || c == CKO_CERTIFICATE || c == CKO_PUBLIC_KEY || c == CKO_PRIVATE_KEY ||
           c == CKO_SECRET_KEY;
}

// The class a template names: its first CKA_CLASS of a CK_ULONG's width
// (4 bytes, or the caller's CK_ULONG).
bool template_class(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_CLASS& out) {
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = tmpl[i];
        if (a.type != CKA_CLASS) continue;
        if (a.ulValueLen != 4 && a.ulValueLen != sizeof(CK_ULONG)) continue;
        std::uint32_t v = 0;
        if (!template_u32(&a, v)) continue;
        out = v;
        return true;
    }
    return false;
}

// Every CKA_CLASS entry of the template names the class.
bool template_class_agrees(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_CLASS object_class) {
    for (CK_ULONG i = 0; i < count; ++i) {
        if (tmpl[i].type != CKA_CLASS) continue;
        std::uint32_t v = 0;
        if (!template_u32(&tmpl[i], v) || v != object_class) return false;
    }
    return true;
}

bool template_check_failure(CK_RV rv) {
    return rv == CKR_ARGUMENTS_BAD || rv == CKR_ATTRIBUTE_VALUE_INVALID || rv == CKR_ATTRIBUTE_TYPE_INVALID ||
           rv == CKR_HOST_MEMORY;
}

}  // namespace

CK_RV check_template(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    if (tmpl == nullptr) return count == 0 ? CKR_OK : CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = tmpl[i];
        if (a.pValue == nullptr && a.ulValueLen != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (a.ulValueLen > max_attribute_value_length) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (a.type > all_ones) return CKR_ATTRIBUTE_TYPE_INVALID;
    }
    return CKR_OK;
}

const CK_ATTRIBUTE* template_find(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
    const CK_ATTRIBUTE* found = nullptr;
    for (CK_ULONG i = 0; i < count; ++i)
        if (tmpl[i].type == type) found = &tmpl[i];
    return found;
}

bool template_true(const CK_ATTRIBUTE* entry) {
    return entry != nullptr && entry->ulValueLen == 1 && entry->pValue != nullptr &&
           *static_cast<const CK_BYTE*>(entry->pValue) != 0;
}

bool template_false(const CK_ATTRIBUTE* entry) {
    return entry != nullptr && entry->ulValueLen == 1 && entry->pValue != nullptr &&
           *static_cast<const CK_BYTE*>(entry->pValue) == 0;
}

bool template_u32(const CK_ATTRIBUTE* entry, std::uint32_t& value) {
    if (entry == nullptr || entry->pValue == nullptr || entry->ulValueLen == 0 ||
        entry->ulValueLen > sizeof(CK_ULONG))
        return false;
    std::uint8_t bytes[fixed_width_size] = {0, 0, 0, 0};
    const std::size_t n = entry->ulValueLen < fixed_width_size ? entry->ulValueLen : fixed_width_size;
    std::memcpy(bytes, entry->pValue, n);
    value = read_u32_le(bytes);
    return true;
}

bool is_secret_value_type(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_VALUE:
        case CKA_PRIVATE_EXPONENT:
        case CKA_PRIME_1:
        case CKA_PRIME_2:
        case CKA_EXPONENT_1:
        case CKA_EXPONENT_2:
        case CKA_COEFFICIENT:
            return true;
        default:
            return false;
    }
}

CK_OBJECT_HANDLE next_object_handle() { return object_counter.fetch_add(1); }

// pkcs11_object_ref

pkcs11_object_ref::pkcs11_object_ref(pkcs11_object* object) : object_(object) {
    if (object_) object_->retain();
}

pkcs11_object_ref::pkcs11_object_ref(const pkcs11_object_ref& other) : object_(other.object_) {
    if (object_) object_->retain();
}

pkcs11_object_ref::pkcs11_object_ref(pkcs11_object_ref&& other) noexcept : object_(other.object_) {
    other.object_ = nullptr;
}

pkcs11_object_ref& pkcs11_object_ref::operator=(pkcs11_object_ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
}

pkcs11_object_ref::~pkcs11_object_ref() { reset(); }

void pkcs11_object_ref::reset() {
    pkcs11_object* o = object_;
    object_ = nullptr;
    if (o) o->release();
}

// pkcs11_object

pkcs11_object::pkcs11_object(CK_SESSION_HANDLE session, CK_OBJECT_CLASS object_class)
    : handle_(next_object_handle()), class_(object_class), session_(session) {}

pkcs11_object::~pkcs11_object() = default;

void pkcs11_object::release() {
    if (refs_ > 0 && --refs_ == 0) delete this;
}

CK_RV pkcs11_object::make(CK_SESSION_HANDLE session, CK_OBJECT_CLASS object_class, pkcs11_object_ref& out) {
    if (!known_class(object_class)) return CKR_TEMPLATE_INCONSISTENT;
    pkcs11_object_ref object(new (std::nothrow) pkcs11_object(session, object_class));
    if (!object) return CKR_HOST_MEMORY;
    try {
        object->verifier_ = pkcs11_object_verifier::make(object_class, *object);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
    if (!object->verifier_) return CKR_HOST_MEMORY;
    const CK_RV rv = object->attributes_.set_u32(CKA_CLASS, static_cast<std::uint32_t>(object_class));
    if (rv != CKR_OK) return rv;
    out = std::move(object);
    return CKR_OK;
}

CK_RV pkcs11_object::make_bare(CK_SESSION_HANDLE session, CK_OBJECT_CLASS object_class, pkcs11_object_ref& out) {
    return make(session, object_class, out);
}

CK_RV pkcs11_object::apply_template(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_RV rv =
            attributes_.set(static_cast<std::uint32_t>(tmpl[i].type), tmpl[i].pValue, tmpl[i].ulValueLen);
        if (rv != CKR_OK) return rv;
    }
    return CKR_OK;
}

CK_RV pkcs11_object::add_class_defaults() {
    switch (class_) {
        case CKO_DATA: return add_defaults(attributes_, data_defaults);
        case CKO_CERTIFICATE: return add_defaults(attributes_, certificate_defaults);
        case CKO_PUBLIC_KEY: return add_defaults(attributes_, public_key_defaults);
        case CKO_PRIVATE_KEY: return add_defaults(attributes_, private_key_defaults);
        case CKO_SECRET_KEY: return add_defaults(attributes_, secret_key_defaults);
        default: return CKR_TEMPLATE_INCONSISTENT;
    }
}

CK_RV pkcs11_object::build(CK_SESSION_HANDLE session, CK_OBJECT_CLASS object_class, const CK_ATTRIBUTE* tmpl,
                           CK_ULONG count, pkcs11_object_ref& out) {
    CK_RV rv = check_template(tmpl, count);
    if (rv != CKR_OK) return rv;
    if (object_class == CK_UNAVAILABLE_INFORMATION && !template_class(tmpl, count, object_class))
        return CKR_TEMPLATE_INCONSISTENT;
    // The cached class, the verifier and CKA_CLASS must name one class.
    if (!template_class_agrees(tmpl, count, object_class)) return CKR_TEMPLATE_INCONSISTENT;
    pkcs11_object_ref object;
    rv = make(session, object_class, object);
    if (rv != CKR_OK) return rv;
    rv = object->apply_template(tmpl, count);
    if (rv == CKR_OK) rv = object->add_class_defaults();
    if (rv != CKR_OK) return rv;
    out = std::move(object);
    return CKR_OK;
}

CK_RV pkcs11_object::from_blob(CK_SESSION_HANDLE session, const std::uint8_t* data, std::size_t length,
                               pkcs11_object_ref& out) {
    pkcs11_attribute_mgr attributes;
    std::size_t used = length;
    CK_RV rv = attributes.load(data, used);
    if (rv != CKR_OK) return rv;
    std::uint32_t object_class = 0;
    if (!attributes.get_u32(CKA_CLASS, object_class)) return CKR_ATTRIBUTE_TYPE_INVALID;
    pkcs11_object_ref object;
    rv = make(session, object_class, object);
    if (rv != CKR_OK) return rv;
    object->attributes_ = std::move(attributes);
    out = std::move(object);
    return CKR_OK;
}

CK_RV pkcs11_object::create(CK_SESSION_HANDLE session, access_level level, const CK_ATTRIBUTE* tmpl,
                            CK_ULONG count, pkcs11_object_ref& out) {
    pkcs11_object_ref object;
    CK_RV rv = build(session, CK_UNAVAILABLE_INFORMATION, tmpl, count, object);
    if (rv != CKR_OK) return template_check_failure(rv) ? rv : CKR_TEMPLATE_INCONSISTENT;
    rv = object_access(level, object_operation::create, object->kind());
    if (rv != CKR_OK) return rv;
    rv = object->verifier().check_create(tmpl, count);
    if (rv != CKR_OK) return rv;
    out = std::move(object);
    return CKR_OK;
}

CK_RV pkcs11_object::copy_for(CK_SESSION_HANDLE session, access_level level, const CK_ATTRIBUTE* tmpl,
                              CK_ULONG count, pkcs11_object_ref& out) const {
    CK_RV rv = check_template(tmpl, count);
    if (rv != CKR_OK) return rv;
    rv = object_access(level, object_operation::copy, kind());
    if (rv != CKR_OK) return rv;
    // A copy keeps its source's class, as C_SetAttributeValue keeps it.
    if (!template_class_agrees(tmpl, count, class_)) return CKR_ATTRIBUTE_READ_ONLY;
    rv = verifier().check_copy(tmpl, count);
    if (rv != CKR_OK) return rv;
    pkcs11_object_ref copy;
    rv = make(session, class_, copy);
    if (rv == CKR_OK) rv = copy->attributes_.copy_from(attributes_);
    if (rv == CKR_OK) rv = copy->apply_template(tmpl, count);
    if (rv == CKR_OK) rv = copy->complete_sensitivity();
    if (rv != CKR_OK) return rv == CKR_HOST_MEMORY ? rv : CKR_GENERAL_ERROR;
    // The copy may be of another kind than its source (CKA_TOKEN,
    // CKA_PRIVATE in the template): the level must be allowed to make it.
    rv = object_access(level, object_operation::copy, copy->kind());
    if (rv != CKR_OK) return rv;
    out = std::move(copy);
    return CKR_OK;
}

CK_RV pkcs11_object::for_generation(CK_SESSION_HANDLE session, access_level level, CK_OBJECT_CLASS object_class,
                                    CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                                    pkcs11_object_ref& out) {
    pkcs11_object_ref object;
    CK_RV rv = build(session, object_class, tmpl, count, object);
    if (rv != CKR_OK) return rv;
    rv = object_access(level, object_operation::generate, object->kind());
    if (rv != CKR_OK) return rv;
    pkcs11_attribute_mgr& a = object->attributes_;
    if (mechanism == CKM_RSA_PKCS_KEY_PAIR_GEN || mechanism == CKM_RSA_X9_31_KEY_PAIR_GEN) {
        rv = a.set_u32(CKA_KEY_TYPE, CKK_RSA);
    } else if (mechanism == CKM_EC_KEY_PAIR_GEN) {
        for (CK_ATTRIBUTE_TYPE t : {CKA_DECRYPT, CKA_ENCRYPT, CKA_WRAP, CKA_UNWRAP})
            if (rv == CKR_OK) rv = a.set_bool(static_cast<std::uint32_t>(t), false);
        if (rv == CKR_OK) rv = a.set_u32(CKA_KEY_TYPE, CKK_EC);
    }
    if (rv != CKR_OK) return rv;
    rv = object->verifier().check_generate(tmpl, count);
    if (rv != CKR_OK) return rv;
    rv = a.set_u32(CKA_KEY_GEN_MECHANISM, static_cast<std::uint32_t>(mechanism));
    if (rv == CKR_OK) rv = a.set_bool(CKA_LOCAL, true);
    if (rv == CKR_OK && object_class != CKO_PUBLIC_KEY) {
        rv = a.set_bool(CKA_ALWAYS_SENSITIVE, true);
        if (rv == CKR_OK) rv = a.set_bool(CKA_NEVER_EXTRACTABLE, true);
    }
    if (rv != CKR_OK) return rv;
    out = std::move(object);
    return CKR_OK;
}

CK_RV pkcs11_object::complete_sensitivity() {
    CK_RV rv = CKR_OK;
    if (attributes_.is_false(CKA_SENSITIVE) && attributes_.has(CKA_ALWAYS_SENSITIVE))
        rv = attributes_.set_bool(CKA_ALWAYS_SENSITIVE, false);
    if (rv == CKR_OK && attributes_.is_true(CKA_EXTRACTABLE) && attributes_.has(CKA_NEVER_EXTRACTABLE))
        rv = attributes_.set_bool(CKA_NEVER_EXTRACTABLE, false);
    return rv;
}

object_kind pkcs11_object::kind() const {
    const bool is_private = attributes_.is_true(CKA_PRIVATE);
    if (attributes_.is_true(CKA_TOKEN)) return is_private ? object_kind::token_private : object_kind::token_public;
    return is_private ? object_kind::session_private : object_kind::session_public;
}

std::uint32_t pkcs11_object::key_spec() const {
    std::uint32_t spec = 2;
    return attributes_.get_u32(CKA_VENDOR_KEY_SPEC, spec) ? spec : 2;
}

CK_RV pkcs11_object::ensure_key_spec() {
    return attributes_.has(CKA_VENDOR_KEY_SPEC) ? CKR_OK : attributes_.set_u32(CKA_VENDOR_KEY_SPEC, 2);
}

CK_RV pkcs11_object::rsa_modulus_bits(CK_ULONG& bits) const {
    std::uint32_t b = 0;
    if (!attributes_.get_u32(CKA_MODULUS_BITS, b)) {
        const pkcs11_attribute* modulus = attributes_.find(CKA_MODULUS);
        if (modulus == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (modulus->value.size() != 128 && modulus->value.size() != 256) return CKR_KEY_SIZE_RANGE;
        b = static_cast<std::uint32_t>(modulus->value.size() * 8);
    }
    if (b != 1024 && b != 2048) return CKR_KEY_SIZE_RANGE;
    bits = b;
    return CKR_OK;
}

CK_ULONG pkcs11_object::object_size() const {
    CK_ULONG total = 0;
    for (const pkcs11_attribute& r : attributes_.records()) {
        const std::size_t length = is_fixed_width_type(r.type) ? sizeof(CK_ULONG) : r.value.size();
        total += static_cast<CK_ULONG>(attribute_header_size + length);
    }
    return total;
}

CK_RV pkcs11_object::get_attribute_values(access_level level, CK_ATTRIBUTE* tmpl, CK_ULONG count) const {
    if (tmpl == nullptr) return count == 0 ? CKR_OK : CKR_ARGUMENTS_BAD;
    if (object_access(level, object_operation::read, kind()) != CKR_OK) {
        for (CK_ULONG i = 0; i < count; ++i) tmpl[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_ATTRIBUTE_SENSITIVE;
    }
    const bool sensitive = verifier().is_sensitive();
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& entry = tmpl[i];
        const pkcs11_attribute* r = entry.type <= all_ones ? attributes_.find(static_cast<std::uint32_t>(entry.type))
                                                            : nullptr;
        CK_RV rv = CKR_OK;
        if (sensitive && is_secret_value_type(entry.type)) {
            rv = CKR_ATTRIBUTE_SENSITIVE;
        } else if (r == nullptr) {
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (is_fixed_width_type(r->type)) {
            // A CK_ULONG of the caller's width, widened from the stored 4
            // bytes (a stored -1 stays -1).
            const CK_ULONG v = r->value.size() == fixed_width_size ? widen_stored(read_u32_le(r->value.data())) : 0;
            if (entry.pValue == nullptr) {
                entry.ulValueLen = sizeof(CK_ULONG);
            } else if (entry.ulValueLen < sizeof(CK_ULONG)) {
                rv = CKR_BUFFER_TOO_SMALL;
            } else {
                std::memcpy(entry.pValue, &v, sizeof v);
                entry.ulValueLen = sizeof(CK_ULONG);
            }
        } else if (entry.pValue == nullptr) {
            entry.ulValueLen = static_cast<CK_ULONG>(r->value.size());
        } else if (entry.ulValueLen < r->value.size()) {
            rv = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!r->value.empty()) std::memcpy(entry.pValue, r->value.data(), r->value.size());
            entry.ulValueLen = static_cast<CK_ULONG>(r->value.size());
        }
        if (rv != CKR_OK) {
            entry.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = rv;
        }
    }
    return result;
}

CK_RV pkcs11_object::set_attribute_values(access_level level, CK_STATE state, const CK_ATTRIBUTE* tmpl,
                                          CK_ULONG count, const store_fn& store) {
    CK_RV rv = check_template(tmpl, count);
    if (rv != CKR_OK) return rv;
    rv = object_access(level, object_operation::set, kind());
    if (rv != CKR_OK) return rv;
    if (attributes_.has(CKA_MODIFIABLE) && !attributes_.is_true(CKA_MODIFIABLE)) return CKR_ATTRIBUTE_READ_ONLY;
    if (!verifier().may_set_all(state, tmpl, count)) return CKR_ATTRIBUTE_READ_ONLY;
    if (verifier().is_sensitive()) {
        for (CK_ULONG i = 0; i < count; ++i)
            if (is_secret_value_type(tmpl[i].type)) return CKR_INFORMATION_SENSITIVE;
    }
    pkcs11_attribute_mgr updated;
    rv = updated.copy_from(attributes_);
    for (CK_ULONG i = 0; rv == CKR_OK && i < count; ++i)
        rv = updated.set(static_cast<std::uint32_t>(tmpl[i].type), tmpl[i].pValue, tmpl[i].ulValueLen);
    if (rv != CKR_OK) return rv;
    if (store) {
        rv = store(*this, updated);
        if (rv != CKR_OK) return rv;
    }
    attributes_ = std::move(updated);
    return CKR_OK;
}

}  // namespace pkcs11
