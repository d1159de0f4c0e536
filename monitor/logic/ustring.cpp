#include "ustring.h"

#include <climits>

namespace mon {

ustring from_utf8(const std::string& s) {
    ustring out;
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::uint32_t cp;
        std::size_t n;
        if (c < 0x80) { cp = c; n = 1; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; n = 2; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; n = 3; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; n = 4; }
        else { out.push_back(u'\xFFFD'); ++i; continue; }
        if (i + n > s.size()) { out.push_back(u'\xFFFD'); break; }
        bool ok = true;
        for (std::size_t k = 1; k < n; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (d & 0x3F);
        }
        if (!ok || cp > 0x10FFFF) { out.push_back(u'\xFFFD'); ++i; continue; }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string to_utf8(const ustring& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) out.push_back(static_cast<char>(cp));
        else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

namespace {
bool blank(char16_t c) { return c == u' ' || c == u'\t'; }
}  // namespace

bool is_decimal(const ustring& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    if (b < e && (s[b] == u'-' || s[b] == u'+')) ++b;
    if (b == e) return false;
    for (std::size_t i = b; i < e; ++i)
        if (s[i] < u'0' || s[i] > u'9') return false;
    return true;
}

int parse_decimal(const ustring& s, int fallback) {
    if (!is_decimal(s)) return fallback;
    std::size_t i = 0;
    while (blank(s[i])) ++i;
    bool neg = false;
    if (s[i] == u'-' || s[i] == u'+') { neg = s[i] == u'-'; ++i; }
    long long v = 0;
    for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
        v = v * 10 + (s[i] - u'0');
        if (v > static_cast<long long>(INT_MAX) + 1) return fallback;
    }
    if (neg) v = -v;
    if (v > INT_MAX || v < INT_MIN) return fallback;
    return static_cast<int>(v);
}

ustring cut_text(const ustring& s, std::size_t max_units) {
    if (s.size() <= max_units) return s;
    std::size_t n = max_units;
    if (n > 0 && s[n - 1] >= 0xD800 && s[n - 1] < 0xDC00) --n;
    return s.substr(0, n);
}

}  // namespace mon
