// The fuzz input as INI text for the monitor's lookups: UTF-8 lines,
// "[section]" opening a section, "key=value" a key of it (names compared
// without regard to ASCII case, the first of a name wins, blanks around the
// name and the value dropped, as the platform's INI reader gives them).
#ifndef SOLVANTEX_MON_FUZZ_INI_TEXT_H
#define SOLVANTEX_MON_FUZZ_INI_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ustring.h"

namespace fuzz {

struct ini_section {
    std::vector<std::pair<std::string, mon::ustring>> keys;

    bool find(const char* name, mon::ustring& value) const {
        for (const auto& kv : keys) {
            if (same_name(kv.first, name)) {
                value = kv.second;
                return true;
            }
        }
        return false;
    }

    static bool same_name(const std::string& a, const char* b) {
        std::size_t i = 0;
        for (; i < a.size() && b[i] != '\0'; ++i) {
            char x = a[i], y = b[i];
            if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
            if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
            if (x != y) return false;
        }
        return i == a.size() && b[i] == '\0';
    }
};

inline std::string trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

// Sections in file order; keys before the first section header go to none.
inline std::vector<ini_section> parse_ini(const std::uint8_t* data, std::size_t size) {
    std::vector<ini_section> sections;
    std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = trimmed(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            sections.emplace_back();
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos || sections.empty()) continue;
        const std::string name = trimmed(line.substr(0, eq));
        mon::ustring probe;
        if (name.empty() || name.find('\0') != std::string::npos || sections.back().find(name.c_str(), probe))
            continue;
        sections.back().keys.emplace_back(name, mon::from_utf8(trimmed(line.substr(eq + 1))));
    }
    return sections;
}

inline mon::ustring u16(const std::string& ascii) { return mon::ustring(ascii.begin(), ascii.end()); }

}  // namespace fuzz

#endif
