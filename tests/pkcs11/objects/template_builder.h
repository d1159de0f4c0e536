// Caller templates for the object tests, owning their values.
#pragma once

#include <pkcs11_vendor.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace objects_test {

// Entries point into values_, whose elements never move: a builder may be
// moved (the deque's blocks go along) but not copied.
class template_builder {
public:
    template_builder() = default;
    template_builder(const template_builder&) = delete;
    template_builder& operator=(const template_builder&) = delete;
    template_builder(template_builder&&) = default;
    template_builder& operator=(template_builder&&) = default;

    template_builder& bytes(CK_ATTRIBUTE_TYPE type, std::vector<std::uint8_t> value) {
        values_.push_back(std::move(value));
        auto& v = values_.back();
        entries_.push_back(CK_ATTRIBUTE{type, v.empty() ? nullptr : v.data(), static_cast<CK_ULONG>(v.size())});
        return *this;
    }
    template_builder& text(CK_ATTRIBUTE_TYPE type, const std::string& s) {
        return bytes(type, std::vector<std::uint8_t>(s.begin(), s.end()));
    }
    // A CK_ULONG as a caller passes it: the native width.
    template_builder& ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG v) {
        std::vector<std::uint8_t> b(sizeof v);
        std::memcpy(b.data(), &v, sizeof v);
        return bytes(type, std::move(b));
    }
    template_builder& boolean(CK_ATTRIBUTE_TYPE type, bool v) {
        return bytes(type, {static_cast<std::uint8_t>(v ? CK_TRUE : CK_FALSE)});
    }
    template_builder& raw(CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG length) {
        entries_.push_back(CK_ATTRIBUTE{type, value, length});
        return *this;
    }
    template_builder& cls(CK_OBJECT_CLASS c) { return ulong(CKA_CLASS, c); }

    CK_ATTRIBUTE* data() { return entries_.empty() ? nullptr : entries_.data(); }
    CK_ULONG count() const { return static_cast<CK_ULONG>(entries_.size()); }

private:
    std::deque<std::vector<std::uint8_t>> values_;
    std::vector<CK_ATTRIBUTE> entries_;
};

inline std::vector<std::uint8_t> le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

}  // namespace objects_test
