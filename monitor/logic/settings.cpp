#include "settings.h"

namespace mon {

MonitorSettings default_settings() {
    MonitorSettings s;
    s.language_id = 1033;
    s.default_pin_mode = 1;
    return s;
}

void read_settings(const key_lookup& lookup, const std::function<std::string(const ustring&)>& to_8bit,
                   MonitorSettings& out) {
    const MonitorSettings d = default_settings();
    auto integer = [&](const char* key, int fallback) {
        ustring v;
        if (!lookup(key, v)) return fallback;
        return parse_decimal(v, fallback);
    };
    out.url_open_mode = integer("URLOpenMode", d.url_open_mode);
    ustring url;
    out.url = lookup("URL", url) && to_8bit ? to_8bit(url) : d.url;
    out.browser_mode = integer("BrowserMode", d.browser_mode);
    out.cert_tips = integer("CertTips", d.cert_tips);
    out.cert_day = integer("CertDay", d.cert_day);
    out.language_id = integer("LanguageID", d.language_id);
    out.default_pin_mode = integer("DefaultPINMode", d.default_pin_mode);
}

std::vector<std::pair<const char*, std::string>> settings_pairs(const MonitorSettings& s) {
    return {{"URLOpenMode", std::to_string(s.url_open_mode)},
            {"URL", s.url},
            {"BrowserMode", std::to_string(s.browser_mode)},
            {"CertTips", std::to_string(s.cert_tips)},
            {"CertDay", std::to_string(s.cert_day)},
            {"LanguageID", std::to_string(s.language_id)},
            {"DefaultPINMode", std::to_string(s.default_pin_mode)}};
}

std::vector<language_entry> read_language_list(
    std::size_t section_count, const std::function<bool(std::size_t, const char*, ustring&)>& lookup) {
    std::vector<language_entry> list;
    for (std::size_t i = 0; i < section_count && list.size() < max_languages; ++i) {
        language_entry e;
        ustring v;
        if (lookup(i, "LanguageID", v)) e.id = v;
        if (lookup(i, "LnaguageName", v)) e.name = v;
        if (lookup(i, "LanguageFile", v)) e.file = v;
        if (lookup(i, "LanguageCSP", v)) e.csp = v;
        list.push_back(e);
    }
    return list;
}

int choose_language(const std::vector<language_entry>& list, int configured) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        // A LanguageID past the int range reads as the fallback: two
        // different fallbacks tell it from a real 0.
        const int value = parse_decimal(list[i].id, 0);
        const bool in_range = is_decimal(list[i].id) && (value != 0 || parse_decimal(list[i].id, 1) == 0);
        if (in_range && value == configured) return static_cast<int>(i);
    }
    return -1;
}

language_choice start_language(const std::vector<language_entry>& list, int configured) {
    language_choice c;
    c.index = choose_language(list, configured);
    if (c.index >= 0) {
        c.file = list[static_cast<std::size_t>(c.index)].file;
        c.csp = list[static_cast<std::size_t>(c.index)].csp;
    } else {
        c.file = u"EN_1033.lng";
        c.csp = u"Solvantex.EN.dll";
    }
    return c;
}

}  // namespace mon
