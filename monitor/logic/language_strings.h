// The monitor's language strings: one global text per key, with its built-in
// text at start, replaced by a language file (an INI file, section
// "Caption"). A key missing from a file that exists does not keep its text:
// it becomes a single blank or empty by its group.
#ifndef SOLVANTEX_MON_LANGUAGE_STRINGS_H
#define SOLVANTEX_MON_LANGUAGE_STRINGS_H

#include <functional>

#include "ustring.h"

namespace mon {
namespace lang {

enum id : int {
#define LANGUAGE_KEY(name, group, text) name,
#include "language_keys.inc"
#undef LANGUAGE_KEY
    text_key_count
};

// The four integer keys, read right after K_Cert_Del.
enum int_id : int { config_Cert_Del, config_Cert_Input, config_Cert_Output, config_Cont_Del, int_key_count };

const char* key_name(id key);
const char* int_key_name(int_id key);
// 0: a missing key becomes " "; 1: it becomes "".
int missing_group(id key);
const ustring& builtin(id key);

const ustring& text(id key);
int int_value(int_id key);

// Looks a key up in the file's section "Caption": true with the value (as
// the INI reader gives it) when the key is present.
using lookup_fn = std::function<bool(const char* key, ustring& value)>;

// Every key read through lookup, in the fixed order. The integer keys take
// their missing-key value when absent or not a decimal integer.
void load(const lookup_fn& lookup);
// Back to the built-in texts (start of the program; tests).
void reset();

// The font size of the forms: FontSize as a decimal integer, 9 otherwise.
int font_size();

}  // namespace lang
}  // namespace mon

#endif
