// libFuzzer target over the monitor's texts: UTF-8 to UTF-16 and back, and
// the cut of a text to a number of UTF-16 units (the first two bytes give
// it). Invariants beside no crash:
//  - UTF-16 from UTF-8 never has more units than the input has bytes; the
//    UTF-8 of a text is valid UTF-8 and comes back as the same UTF-8;
//  - a cut is a prefix of the text, no longer than asked, at most one unit
//    shorter, and never splits a surrogate pair; the whole text is kept
//    when it fits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ustring.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool high(char16_t c) { return c >= 0xD800 && c < 0xDC00; }
bool low(char16_t c) { return c >= 0xDC00 && c < 0xE000; }

void check_cut(const mon::ustring& s, std::size_t max) {
    const mon::ustring cut = mon::cut_text(s, max);
    require(cut.size() <= max || cut.size() == s.size());
    require(s.compare(0, cut.size(), cut) == 0);
    if (s.size() <= max) {
        require(cut == s);
        return;
    }
    require(cut.size() + 1 >= max);
    if (!cut.empty()) require(!(high(cut.back()) && low(s[cut.size()])));
    const std::string whole = mon::to_utf8(s), part = mon::to_utf8(cut);
    require(whole.compare(0, part.size(), part) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t max = static_cast<std::size_t>(data[0]) << 8 | data[1];
    const std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);

    const mon::ustring u = mon::from_utf8(bytes);
    require(u.size() <= bytes.size());
    const std::string back = mon::to_utf8(u);
    require(mon::to_utf8(mon::from_utf8(back)) == back);
    check_cut(u, max % (u.size() + 2));
    check_cut(u, max);

    // The raw bytes as UTF-16 units, lone surrogates and all.
    mon::ustring raw;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        raw.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) << 8 | static_cast<unsigned char>(bytes[i + 1])));
    check_cut(raw, max % (raw.size() + 2));
    const std::string raw8 = mon::to_utf8(raw);
    require(mon::to_utf8(mon::from_utf8(raw8)) == raw8);
    require(mon::from_utf8(raw8).size() <= raw.size());
    return 0;
}
