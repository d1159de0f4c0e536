// Command data assembled field by field in a bounded work area: the one way
// every builder lays out what a command carries. Big-endian integers, runs
// of filler bytes, the caller's bytes and texts, each appended behind the
// last. A caller's length that is negative, a null pointer with bytes to
// read, a text longer than its field or data that would run past the work
// area spoil the whole assembly: the builder then refuses the command with
// 2 and nothing is sent. The area is wiped when it goes (PIN values and keys
// do not stay on the stack).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/command_form.h"
#include "protocol/status.h"
#include "protocol/tavi_protocol_base.h"

namespace zervik {

// Work areas of the command families: what their builders assemble command
// data in. The transport's 2048-byte limit on a serialised command applies
// on top (TaviProtocol_Base::build).
constexpr std::size_t small_work_area = 1024;  // PIN, session-key, format, key agreement
constexpr std::size_t large_work_area = 4096;  // file, asymmetric

// Length of a zero-terminated string of at most max characters; false for
// a null pointer or a longer string.
inline bool bounded_length(const char* text, std::size_t max, std::size_t* length) {
    if (text == nullptr) return false;
    std::size_t n = 0;
    while (text[n] != '\0') {
        if (n == max) return false;
        ++n;
    }
    *length = n;
    return true;
}

class command_data {
public:
    explicit command_data(std::size_t work_area)
        : capacity_(work_area < large_work_area ? work_area : large_work_area) {}
    command_data(const command_data&) = delete;
    command_data& operator=(const command_data&) = delete;
    ~command_data() { wipe(); }

    command_data& u8(std::uint8_t value) { return bytes(&value, 1); }
    command_data& u16(std::uint16_t value) {
        std::uint8_t b[2];
        put_u16(b, value);
        return bytes(b, sizeof b);
    }
    command_data& u32(std::uint32_t value) {
        std::uint8_t b[4];
        put_u32(b, value);
        return bytes(b, sizeof b);
    }
    // count bytes of value (zeros by default).
    command_data& fill(std::size_t count, std::uint8_t value = 0) {
        if (!room(count)) return *this;
        std::memset(bytes_ + length_, value, count);
        length_ += count;
        return *this;
    }
    command_data& zeros(std::size_t count) { return fill(count); }
    // count bytes from data; a null pointer spoils unless count is 0.
    command_data& bytes(const std::uint8_t* data, std::size_t count) {
        if (count == 0) return *this;
        if (data == nullptr) ok_ = false;
        if (!room(count)) return *this;
        std::memcpy(bytes_ + length_, data, count);
        length_ += count;
        return *this;
    }
    // The caller's bytes, as they stand; a negative length spoils.
    command_data& caller_bytes(const std::uint8_t* data, std::int32_t length) {
        if (length < 0) {
            ok_ = false;
            return *this;
        }
        return bytes(data, static_cast<std::size_t>(length));
    }
    // count bytes from data, then zeros up to width; more than width spoils.
    command_data& padded_bytes(const std::uint8_t* data, std::size_t count, std::size_t width) {
        if (count > width) {
            ok_ = false;
            return *this;
        }
        return bytes(data, count).zeros(width - count);
    }
    // A text's characters without a terminator, at most max of them.
    command_data& text(const char* value, std::size_t max) {
        std::size_t n = 0;
        if (!bounded_length(value, max, &n)) {
            ok_ = false;
            return *this;
        }
        return bytes(reinterpret_cast<const std::uint8_t*>(value), n);
    }
    // A length byte, then the text (at most max characters, max <= 255).
    command_data& counted_text(const char* value, std::size_t max) {
        std::size_t n = 0;
        if (!bounded_length(value, max, &n) || n > 0xFF) {
            ok_ = false;
            return *this;
        }
        return u8(static_cast<std::uint8_t>(n)).bytes(reinterpret_cast<const std::uint8_t*>(value), n);
    }
    // A text of at most width characters in a zero-padded field of width.
    command_data& text_field(const char* value, std::size_t width) {
        std::size_t n = 0;
        if (!bounded_length(value, width, &n)) {
            ok_ = false;
            return *this;
        }
        return padded_bytes(reinterpret_cast<const std::uint8_t*>(value), n, width);
    }
    // The first width characters of a text (a longer one is cut), the field
    // filled up with pad; a null text spoils.
    command_data& clipped_text(const char* value, std::size_t width, std::uint8_t pad) {
        if (value == nullptr) {
            ok_ = false;
            return *this;
        }
        std::size_t n = 0;
        while (n < width && value[n] != '\0') ++n;
        return bytes(reinterpret_cast<const std::uint8_t*>(value), n).fill(width - n, pad);
    }

    bool ok() const { return ok_; }
    bool empty() const { return length_ == 0; }
    std::size_t size() const { return length_; }
    const std::uint8_t* data() const { return bytes_; }

    // Clears what was put.
    void wipe() {
        std::memset(bytes_, 0, length_);
        length_ = 0;
    }

private:
    bool room(std::size_t count) {
        if (!ok_ || count > capacity_ - length_) ok_ = false;
        return ok_;
    }

    std::uint8_t bytes_[large_work_area];
    std::size_t capacity_;
    std::size_t length_ = 0;
    bool ok_ = true;
};

// Builds form with the assembled data: 2 for spoilt data, else the
// protocol object's build result.
inline std::int32_t build_with(TaviProtocol_Base& protocol, const command_form& form, const command_data& data) {
    if (!data.ok()) return status_unusable;
    return protocol.build(form, data.data(), data.size());
}

}  // namespace zervik
