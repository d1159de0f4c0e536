// The 64-bit FNV-1a hash that names platform objects after long or unusual
// names, as 16 hex digits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

inline std::string name_hash_hex(const std::string& text) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return hex;
}

}  // namespace platform
