// Text helpers of the monitor's window-less logic. Texts are UTF-16
// (std::u16string), the GUI's own form; on Windows they cross to the
// platform as wchar_t, which has the same size there.
#ifndef SOLVANTEX_MON_USTRING_H
#define SOLVANTEX_MON_USTRING_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace mon {

using ustring = std::u16string;

// UTF-8 to UTF-16 and back (tests, logs); invalid bytes become U+FFFD.
ustring from_utf8(const std::string& s);
std::string to_utf8(const ustring& s);

// A decimal integer with an optional sign, blanks around it allowed; anything
// else (empty text, letters, hex prefixes, overflow) gives the fallback.
int parse_decimal(const ustring& s, int fallback);
bool is_decimal(const ustring& s);

// At most max UTF-16 units, never ending in the first half of a surrogate
// pair (the cut falls on a character boundary).
ustring cut_text(const ustring& s, std::size_t max_units);

}  // namespace mon

#endif
