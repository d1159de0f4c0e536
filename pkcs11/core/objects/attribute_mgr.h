// The attribute list of one object and its stored byte form.
//
// A record is a 32-bit type and an owned value. The list keeps the order of
// first insertion; setting a type that is present replaces its value in
// place. Attributes that hold a CK_ULONG (the fixed-width types) are always
// kept as 4 bytes, little-endian, whatever width the caller gave: a longer
// value keeps its first 4 bytes, a shorter one is zero-extended. That is the
// form the token stores on every build; widening to the caller's CK_ULONG
// happens where values leave the module (pkcs11_object, widen_stored).
//
// The byte form is the records back to back, each a u32 LE type, a u32 LE
// length n and n value bytes, with no header, count or padding.
//
// Values are wiped when they are replaced or the list is destroyed. Nothing
// here throws: allocation failure is CKR_HOST_MEMORY.
#pragma once

#include <pkcs11_vendor.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pkcs11 {

// The bytes of a type and length pair in the byte form.
constexpr std::size_t attribute_header_size = 8;
// Width of a fixed-width attribute in the stored form.
constexpr std::size_t fixed_width_size = 4;

std::uint32_t read_u32_le(const std::uint8_t* p);
void write_u32_le(std::uint8_t* p, std::uint32_t v);

// A stored 4-byte number as the caller's CK_ULONG: all ones is "unavailable"
// (-1) and stays CK_UNAVAILABLE_INFORMATION however wide CK_ULONG is; any
// other value is zero-extended.
constexpr CK_ULONG widen_stored(std::uint32_t v) {
    return v == 0xFFFFFFFFu ? CK_UNAVAILABLE_INFORMATION : static_cast<CK_ULONG>(v);
}

// Types whose value is a CK_ULONG: stored in 4 bytes, given to callers as a
// CK_ULONG, compared by their 4-byte value.
bool is_fixed_width_type(CK_ATTRIBUTE_TYPE type);

struct pkcs11_attribute {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> value;
};

// The stored form of a value given by a caller: fixed-width types become 4
// bytes (truncated or zero-extended), others are kept as given. False on
// allocation failure.
bool stored_form(std::uint32_t type, const void* value, std::size_t length, std::vector<std::uint8_t>& out);

// The equal-value rule of searches: stored record s against a template value
// (t_type, t_value, t_length).
// - fixed-width types: equal 4-byte values, the template value taken by the
//   stored-form rule (so a 1-byte CKA_KEY_TYPE matches its stored value);
// - CKA_LABEL and CKA_APPLICATION: also equal when the stored value is the
//   template's plus one trailing NUL (a template with the NUL does not
//   meet a value stored without it);
// - any other type: equal lengths and bytes.
bool attribute_equal_value(const pkcs11_attribute& s, CK_ATTRIBUTE_TYPE t_type, const void* t_value,
                           std::size_t t_length);

class pkcs11_attribute_mgr {
public:
    pkcs11_attribute_mgr() = default;
    ~pkcs11_attribute_mgr();
    pkcs11_attribute_mgr(const pkcs11_attribute_mgr&) = delete;
    pkcs11_attribute_mgr& operator=(const pkcs11_attribute_mgr&) = delete;
    pkcs11_attribute_mgr(pkcs11_attribute_mgr&& other) noexcept;
    pkcs11_attribute_mgr& operator=(pkcs11_attribute_mgr&& other) noexcept;

    // Sets (replaces or appends) one value by the stored-form rule. value
    // may be null only with length 0. CKR_OK, CKR_ARGUMENTS_BAD or
    // CKR_HOST_MEMORY (the list is then unchanged).
    CK_RV set(std::uint32_t type, const void* value, std::size_t length);
    CK_RV set_u32(std::uint32_t type, std::uint32_t value);
    CK_RV set_bool(std::uint32_t type, bool value);
    // A copy of every record of other, replacing or appending in its order.
    CK_RV copy_from(const pkcs11_attribute_mgr& other);
    // Removes a type; false when it is not present.
    bool remove(std::uint32_t type);
    void clear();

    const pkcs11_attribute* find(std::uint32_t type) const;
    bool has(std::uint32_t type) const { return find(type) != nullptr; }
    // A 4-byte value (every fixed-width type); false when absent or of
    // another width.
    bool get_u32(std::uint32_t type, std::uint32_t& value) const;
    // TRUE: present as one non-zero byte.
    bool is_true(std::uint32_t type) const;
    // FALSE: present as one zero byte.
    bool is_false(std::uint32_t type) const;

    // One value into a caller's buffer: null buffer gives the length; a
    // shorter buffer gives CK_UNAVAILABLE_INFORMATION and
    // CKR_BUFFER_TOO_SMALL; an absent type CK_UNAVAILABLE_INFORMATION and
    // CKR_ATTRIBUTE_TYPE_INVALID. Values in their stored form.
    CK_RV get(std::uint32_t type, void* buffer, CK_ULONG& length) const;

    const std::vector<pkcs11_attribute>& records() const { return records_; }
    std::size_t count() const { return records_.size(); }

    // Size of the byte form: the sum of (length + 8).
    std::size_t blob_size() const;
    // Writes the byte form. A buffer shorter than blob_size() (or none when
    // the form is not empty): length := blob_size() and CKR_DATA_LEN_RANGE.
    // Else length := the bytes written and CKR_OK.
    CK_RV serialise(std::uint8_t* buffer, std::size_t& length) const;
    // Appends the records of a byte form of `length` bytes (by the set
    // rule). A record whose header or value does not fit what remains gives
    // CKR_DATA_LEN_RANGE; records read before it stay. On success length :=
    // the bytes read.
    CK_RV load(const std::uint8_t* data, std::size_t& length);

private:
    std::vector<pkcs11_attribute> records_;
};

}  // namespace pkcs11
