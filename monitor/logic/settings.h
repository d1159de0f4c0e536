// The monitor's configuration values: the seven keys of MgrConfig.ini's
// section APPConfig, the language list of LanguageInfo.ini and the choice of
// the start-up language. The INI reading itself is the platform's; these
// functions take what it gives through a lookup.
#ifndef SOLVANTEX_MON_SETTINGS_H
#define SOLVANTEX_MON_SETTINGS_H

#include <functional>
#include <string>
#include <vector>

#include "ustring.h"

namespace mon {

struct MonitorSettings {
    int url_open_mode = 0;
    std::string url;  // 8-bit, system code page
    int browser_mode = 0;
    int cert_tips = 0;
    int cert_day = 0;
    int language_id = 0;
    int default_pin_mode = 0;
};

// Key defaults of section APPConfig.
MonitorSettings default_settings();

// Looks a key of one section up: true with the value when present.
using key_lookup = std::function<bool(const char* key, ustring& value)>;

// Fills every field from the lookup: a missing key, or an integer key whose
// value is not a decimal integer, takes the key's default. The URL is
// converted by to_8bit.
void read_settings(const key_lookup& lookup, const std::function<std::string(const ustring&)>& to_8bit,
                   MonitorSettings& out);

// The seven (key, value) pairs written back, in their order.
std::vector<std::pair<const char*, std::string>> settings_pairs(const MonitorSettings& s);

constexpr std::size_t max_languages = 129;

struct language_entry {
    ustring id = u"1033";
    ustring name = u"English";
    ustring file = u"EN_1033.lng";
    ustring csp;
};

// One entry per section, in file order, at most max_languages; lookup(section
// index, key, value) reads a key of that section.
std::vector<language_entry> read_language_list(
    std::size_t section_count, const std::function<bool(std::size_t, const char*, ustring&)>& lookup);

// The index of the first entry whose LanguageID, read as a decimal integer,
// equals configured; -1 when none does (a LanguageID that is not a decimal
// integer matches nothing).
int choose_language(const std::vector<language_entry>& list, int configured);

// What start-up loads: the file name (below Languages\) and the provider's
// language library, from the chosen entry or the English fallback.
struct language_choice {
    int index = -1;
    ustring file;
    ustring csp;
};
language_choice start_language(const std::vector<language_entry>& list, int configured);

}  // namespace mon

#endif
