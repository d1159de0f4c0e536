// The token's PIN policy ("PINLimit", a JSON document) and the small text
// rules of the PIN dialog that need no window.
#ifndef SOLVANTEX_MON_PIN_POLICY_H
#define SOLVANTEX_MON_PIN_POLICY_H

#include <cstddef>
#include <string>

#include "ustring.h"

namespace mon {

// Results of CheckPinPolicy.
enum pin_policy_result : int {
    policy_ok = 0,
    policy_invalid_json = 1,
    policy_no_rules = 2,
    policy_too_long = 11,
    policy_too_short = 12,
    policy_few_upper = 13,
    policy_few_lower = 14,
    policy_few_special = 15,
    policy_few_digits = 16,
};

// Longest policy document read from the token.
constexpr std::size_t max_policy_length = 1024;

// Checks an 8-bit PIN against the rule entry for user type `type` (2 or more
// counts as 1) of the document (length bytes, read up to the first NUL and
// at most max_policy_length). A MaxLen of 0 or less sets no maximum; an entry
// the array does not hold sets no rule. Never throws.
int CheckPinPolicy(const std::string& pin, int type, const char* document, std::size_t length);
inline int CheckPinPolicy(const std::string& pin, int type, const std::string& document) {
    return CheckPinPolicy(pin, type, document.data(), document.size());
}

// The language text with its first "%d" replaced by value and "%%" by "%";
// everything else (another %d, %s, a lone %) stays as it stands.
ustring format_first_int(const ustring& format, int value);

// Format("%s(%d--%d)", text, min, max).
ustring format_length_range(const ustring& text, int min_len, int max_len);

// Characters a PIN may hold as far as the text goes: none of the control
// characters (C0, DEL, C1); whether the system code page can represent the
// character is the dialog's check.
inline bool pin_char_typable(char16_t c) { return c >= 0x20 && c != 0x7F && !(c >= 0x80 && c <= 0x9F); }

// btnOK's state: old >= 4, new > 3 and confirmation > 3 characters.
inline bool pin_ok_enabled(std::size_t old_len, std::size_t new_len, std::size_t confirm_len) {
    return old_len >= 4 && new_len > 3 && confirm_len > 3;
}
// Enter in the confirmation clicks OK: old > 3 and new > 3 characters.
inline bool pin_enter_clicks(std::size_t old_len, std::size_t new_len) { return old_len > 3 && new_len > 3; }

}  // namespace mon

#endif
