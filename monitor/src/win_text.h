// UTF-16 texts of the window-less logic as the platform's wide strings, and
// 8-bit text in the system code page for the manager library.
#ifndef SOLVANTEX_MON_WIN_TEXT_H
#define SOLVANTEX_MON_WIN_TEXT_H

#include <windows.h>

#include <string>

#include "ustring.h"

namespace mon {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide strings");

inline const wchar_t* wide(const ustring& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
inline std::wstring to_wide(const ustring& s) { return std::wstring(wide(s), s.size()); }
inline ustring from_wide(const wchar_t* s) {
    return s ? ustring(reinterpret_cast<const char16_t*>(s)) : ustring();
}
inline ustring from_wide(const std::wstring& s) {
    return ustring(reinterpret_cast<const char16_t*>(s.c_str()), s.size());
}

// System code page (characters outside it are lost, as the library takes
// 8-bit text).
std::string to_ansi(const std::wstring& s);
std::wstring from_ansi(const std::string& s);
std::string to_ansi(const ustring& s);
// The text in that code page (CP_ACP: the system's) when every character has
// a form of its own there (no best-fit or default character, and it reads
// back the same); else false and out empty.
bool to_code_page(const std::wstring& s, UINT code_page, std::string& out);

}  // namespace mon

#endif
