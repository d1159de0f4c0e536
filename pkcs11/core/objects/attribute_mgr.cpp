#include "attribute_mgr.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace pkcs11 {

namespace {

void wipe(std::vector<std::uint8_t>& v) {
    volatile std::uint8_t* p = v.data();
    for (std::size_t i = 0; i < v.size(); ++i) p[i] = 0;
}

bool is_text_type(CK_ATTRIBUTE_TYPE type) { return type == CKA_LABEL || type == CKA_APPLICATION; }

// a is b plus one trailing NUL.
bool equal_but_nul(const std::uint8_t* a, std::size_t a_len, const std::uint8_t* b, std::size_t b_len) {
    return a_len == b_len + 1 && a[b_len] == 0 && (b_len == 0 || std::memcmp(a, b, b_len) == 0);
}

}  // namespace

std::uint32_t read_u32_le(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void write_u32_le(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

bool is_fixed_width_type(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_CLASS:
        case CKA_CERTIFICATE_TYPE:
        case CKA_CERTIFICATE_CATEGORY:
        case CKA_JAVA_MIDP_SECURITY_DOMAIN:
        case CKA_KEY_TYPE:
        case CKA_MODULUS_BITS:
        case CKA_PRIME_BITS:
        case CKA_SUBPRIME_BITS:
        case CKA_VALUE_BITS:
        case CKA_VALUE_LEN:
        case CKA_KEY_GEN_MECHANISM:
        case CKA_MECHANISM_TYPE:
        case CKA_VENDOR_KEY_SPEC:
        // The two vendor numbers are CK_ULONGs as well; the module only ever
        // stores them as 4 bytes.
        case CKA_VENDOR_STORE_INDEX:
        case CKA_VENDOR_CARD_KEY_ID:
            return true;
        default:
            return false;
    }
}

bool stored_form(std::uint32_t type, const void* value, std::size_t length, std::vector<std::uint8_t>& out) {
    const auto* bytes = static_cast<const std::uint8_t*>(value);
    const std::size_t stored = is_fixed_width_type(type) ? fixed_width_size : length;
    try {
        std::vector<std::uint8_t> v(stored, 0);
        const std::size_t n = std::min(stored, length);
        if (n != 0) std::memcpy(v.data(), bytes, n);
        out.swap(v);
        wipe(v);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool attribute_equal_value(const pkcs11_attribute& s, CK_ATTRIBUTE_TYPE t_type, const void* t_value,
                           std::size_t t_length) {
    if (t_type != s.type) return false;
    const auto* t = static_cast<const std::uint8_t*>(t_value);
    if (t_length != 0 && t == nullptr) return false;
    if (is_fixed_width_type(t_type)) {
        if (t == nullptr || s.value.size() != fixed_width_size) return false;
        std::uint8_t widened[fixed_width_size] = {0, 0, 0, 0};
        std::memcpy(widened, t, std::min(t_length, fixed_width_size));
        return std::memcmp(widened, s.value.data(), fixed_width_size) == 0;
    }
    const std::uint8_t* sv = s.value.data();
    const std::size_t s_len = s.value.size();
    if (is_text_type(t_type) &&
        equal_but_nul(sv, s_len, t, t_length))
        return true;
    return s_len == t_length && (t_length == 0 || std::memcmp(sv, t, t_length) == 0);
}

pkcs11_attribute_mgr::~pkcs11_attribute_mgr() { clear(); }

pkcs11_attribute_mgr::pkcs11_attribute_mgr(pkcs11_attribute_mgr&& other) noexcept
    : records_(std::move(other.records_)) {
    other.records_.clear();
}

pkcs11_attribute_mgr& pkcs11_attribute_mgr::operator=(pkcs11_attribute_mgr&& other) noexcept {
    if (this != &other) {
        clear();
        records_ = std::move(other.records_);
        other.records_.clear();
    }
    return *this;
}

CK_RV pkcs11_attribute_mgr::set(std::uint32_t type, const void* value, std::size_t length) {
    if (value == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
    std::vector<std::uint8_t> stored;
    if (!stored_form(type, value, length, stored)) return CKR_HOST_MEMORY;
    for (auto& r : records_) {
        if (r.type == type) {
            wipe(r.value);
            r.value.swap(stored);
            return CKR_OK;
        }
    }
    try {
        records_.push_back(pkcs11_attribute{type, std::move(stored)});
    } catch (const std::bad_alloc&) {
        wipe(stored);
        return CKR_HOST_MEMORY;
    }
    return CKR_OK;
}

CK_RV pkcs11_attribute_mgr::set_u32(std::uint32_t type, std::uint32_t value) {
    std::uint8_t bytes[fixed_width_size];
    write_u32_le(bytes, value);
    return set(type, bytes, sizeof bytes);
}

CK_RV pkcs11_attribute_mgr::set_bool(std::uint32_t type, bool value) {
    const CK_BBOOL b = value ? CK_TRUE : CK_FALSE;
    return set(type, &b, 1);
}

CK_RV pkcs11_attribute_mgr::copy_from(const pkcs11_attribute_mgr& other) {
    for (const auto& r : other.records_) {
        const CK_RV rv = set(r.type, r.value.data(), r.value.size());
        if (rv != CKR_OK) return rv;
    }
    return CKR_OK;
}

bool pkcs11_attribute_mgr::remove(std::uint32_t type) {
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (it->type == type) {
            wipe(it->value);
            records_.erase(it);
            return true;
        }
    }
    return false;
}

void pkcs11_attribute_mgr::clear() {
    for (auto& r : records_) wipe(r.value);
    records_.clear();
}

const pkcs11_attribute* pkcs11_attribute_mgr::find(std::uint32_t type) const {
    for (const auto& r : records_)
        if (r.type == type) return &r;
    return nullptr;
}

bool pkcs11_attribute_mgr::get_u32(std::uint32_t type, std::uint32_t& value) const {
    const pkcs11_attribute* r = find(type);
    if (r == nullptr || r->value.size() != fixed_width_size) return false;
    value = read_u32_le(r->value.data());
    return true;
}

bool pkcs11_attribute_mgr::is_true(std::uint32_t type) const {
    const pkcs11_attribute* r = find(type);
    return r != nullptr && r->value.size() == 1 && r->value[0] != 0;
}

bool pkcs11_attribute_mgr::is_false(std::uint32_t type) const {
    const pkcs11_attribute* r = find(type);
    return r != nullptr && r->value.size() == 1 && r->value[0] == 0;
}

CK_RV pkcs11_attribute_mgr::get(std::uint32_t type, void* buffer, CK_ULONG& length) const {
    const pkcs11_attribute* r = find(type);
    if (r == nullptr) {
        length = CK_UNAVAILABLE_INFORMATION;
        return CKR_ATTRIBUTE_TYPE_INVALID;
    }
    if (buffer == nullptr) {
        length = static_cast<CK_ULONG>(r->value.size());
        return CKR_OK;
    }
    if (length < r->value.size()) {
        length = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (!r->value.empty()) std::memcpy(buffer, r->value.data(), r->value.size());
    length = static_cast<CK_ULONG>(r->value.size());
    return CKR_OK;
}

std::size_t pkcs11_attribute_mgr::blob_size() const {
    std::size_t total = 0;
    for (const auto& r : records_) total += attribute_header_size + r.value.size();
    return total;
}

CK_RV pkcs11_attribute_mgr::serialise(std::uint8_t* buffer, std::size_t& length) const {
    const std::size_t needed = blob_size();
    if (length < needed || (buffer == nullptr && needed != 0)) {
        length = needed;
        return CKR_DATA_LEN_RANGE;
    }
    std::uint8_t* p = buffer;
    for (const auto& r : records_) {
        // A value never exceeds 32 bits of length: set() takes it from a
        // CK_ULONG checked by the callers, load() from a u32.
        write_u32_le(p, r.type);
        write_u32_le(p + 4, static_cast<std::uint32_t>(r.value.size()));
        p += attribute_header_size;
        if (!r.value.empty()) std::memcpy(p, r.value.data(), r.value.size());
        p += r.value.size();
    }
    length = needed;
    return CKR_OK;
}

CK_RV pkcs11_attribute_mgr::load(const std::uint8_t* data, std::size_t& length) {
    if (data == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
    std::size_t used = 0;
    while (used < length) {
        const std::size_t remaining = length - used;
        if (remaining < attribute_header_size) return CKR_DATA_LEN_RANGE;
        const std::uint8_t* p = data + used;
        const std::uint32_t type = read_u32_le(p);
        const std::uint32_t n = read_u32_le(p + 4);
        if (n > remaining - attribute_header_size) return CKR_DATA_LEN_RANGE;
        const CK_RV rv = set(type, p + attribute_header_size, n);
        if (rv != CKR_OK) return rv;
        used += attribute_header_size + n;
    }
    length = used;
    return CKR_OK;
}

}  // namespace pkcs11
