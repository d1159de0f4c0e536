// Byte strings written as hex in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

using bytes = std::vector<std::uint8_t>;

// "80 01 00 00 04" -> bytes; spaces are ignored.
inline bytes hex(const std::string& text) {
    bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

// Lower-case hex of a byte string.
inline std::string hex_of(const std::uint8_t* data, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}
inline std::string hex_of(const bytes& data) { return hex_of(data.data(), data.size()); }

}  // namespace test_support
