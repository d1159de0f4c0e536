// libFuzzer target over the monitor's configuration values: the input is
// INI text (see ini_text.h). Its first section is read as a language file's
// "Caption" section and as MgrConfig.ini's APPConfig; every section as an
// entry of LanguageInfo.ini. Invariants beside no crash:
//  - a language key present takes its value as given, a missing one its
//    group's " " or ""; the integer keys and the font size are their value's
//    decimal reading or the missing-key value; reset restores the built-in
//    texts;
//  - each settings integer is its value's decimal reading or the key's
//    default, and the settings written back read back the same;
//  - at most 129 languages; the chosen entry's LanguageID reads as the
//    configured id, and no earlier entry's does; no match falls back to
//    English;
//  - a decimal reading is the same whatever the fallback, and prints back to
//    itself; any other text gives the fallback.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ini_text.h"
#include "language_strings.h"
#include "settings.h"
#include "ustring.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void decimal(const mon::ustring& s) {
    const int a = mon::parse_decimal(s, 7), b = mon::parse_decimal(s, -3);
    if (!mon::is_decimal(s)) {
        require(a == 7 && b == -3);
        return;
    }
    if (a != b) {
        // Only a value past the int range falls back: ten digits or more.
        std::size_t digits = 0;
        bool leading = true;
        for (char16_t c : s) {
            if (c < u'0' || c > u'9') continue;
            if (leading && c == u'0') continue;
            leading = false;
            ++digits;
        }
        require(a == 7 && b == -3 && digits >= 10);
        return;
    }
    const mon::ustring printed = fuzz::u16(std::to_string(a));
    require(mon::is_decimal(printed) && mon::parse_decimal(printed, a == 0 ? 1 : 0) == a);
}

void language_file(const fuzz::ini_section& caption) {
    using namespace mon::lang;
    reset();
    for (int i = 0; i < text_key_count; ++i) require(text(static_cast<id>(i)) == builtin(static_cast<id>(i)));
    load([](const char*, mon::ustring&) { return false; });
    int missing[int_key_count];
    for (int k = 0; k < int_key_count; ++k) missing[k] = int_value(static_cast<int_id>(k));

    load([&](const char* key, mon::ustring& value) { return caption.find(key, value); });
    for (int i = 0; i < text_key_count; ++i) {
        const id key = static_cast<id>(i);
        mon::ustring value;
        if (caption.find(key_name(key), value)) require(text(key) == value);
        else require(text(key) == (missing_group(key) == 0 ? u" " : u""));
    }
    for (int k = 0; k < int_key_count; ++k) {
        const int_id key = static_cast<int_id>(k);
        mon::ustring value;
        const int expect = caption.find(int_key_name(key), value) ? mon::parse_decimal(value, missing[k]) : missing[k];
        require(int_value(key) == expect);
    }
    require(font_size() == mon::parse_decimal(text(FontSize), 9));
    // Out-of-range keys give nothing, never another key's text.
    require(text(static_cast<id>(-1)).empty() && text(text_key_count).empty() && key_name(text_key_count)[0] == '\0');
    reset();
}

void settings(const fuzz::ini_section& section) {
    const auto to_8bit = [](const mon::ustring& u) { return mon::to_utf8(u); };
    mon::MonitorSettings s;
    mon::read_settings([&](const char* key, mon::ustring& value) { return section.find(key, value); }, to_8bit, s);
    const mon::MonitorSettings d = mon::default_settings();
    struct row {
        const char* key;
        int value, fallback;
    };
    const row rows[] = {{"URLOpenMode", s.url_open_mode, d.url_open_mode}, {"BrowserMode", s.browser_mode, d.browser_mode},
                        {"CertTips", s.cert_tips, d.cert_tips},             {"CertDay", s.cert_day, d.cert_day},
                        {"LanguageID", s.language_id, d.language_id},       {"DefaultPINMode", s.default_pin_mode, d.default_pin_mode}};
    for (const row& r : rows) {
        mon::ustring value;
        require(r.value == (section.find(r.key, value) ? mon::parse_decimal(value, r.fallback) : r.fallback));
    }
    mon::ustring url;
    require(s.url == (section.find("URL", url) ? mon::to_utf8(url) : std::string()));

    // Written back and read again: the same seven values.
    fuzz::ini_section written;
    for (const auto& kv : mon::settings_pairs(s)) written.keys.emplace_back(kv.first, mon::from_utf8(kv.second));
    require(written.keys.size() == 7);
    mon::MonitorSettings again;
    mon::read_settings([&](const char* key, mon::ustring& value) { return written.find(key, value); }, to_8bit, again);
    require(again.url_open_mode == s.url_open_mode && again.url == s.url && again.browser_mode == s.browser_mode &&
            again.cert_tips == s.cert_tips && again.cert_day == s.cert_day && again.language_id == s.language_id &&
            again.default_pin_mode == s.default_pin_mode);
}

void language_list(const std::vector<fuzz::ini_section>& sections, int configured) {
    const auto list = mon::read_language_list(sections.size(), [&](std::size_t i, const char* key, mon::ustring& value) {
        require(i < sections.size());
        return sections[i].find(key, value);
    });
    require(list.size() == (sections.size() < mon::max_languages ? sections.size() : mon::max_languages));
    for (std::size_t i = 0; i < list.size(); ++i) {
        mon::ustring v;
        require(list[i].id == (sections[i].find("LanguageID", v) ? v : u"1033"));
        require(list[i].file == (sections[i].find("LanguageFile", v) ? v : u"EN_1033.lng"));
    }
    const int chosen = mon::choose_language(list, configured);
    require(chosen >= -1 && chosen < static_cast<int>(list.size()));
    const auto matches = [&](std::size_t i) {
        return mon::is_decimal(list[i].id) && mon::parse_decimal(list[i].id, configured == 0 ? 1 : 0) == configured;
    };
    const std::size_t first = chosen < 0 ? list.size() : static_cast<std::size_t>(chosen);
    for (std::size_t i = 0; i < first; ++i) require(!matches(i));
    const mon::language_choice c = mon::start_language(list, configured);
    require(c.index == chosen);
    if (chosen >= 0) {
        require(matches(first) && c.file == list[first].file && c.csp == list[first].csp);
    } else {
        require(c.file == u"EN_1033.lng" && !c.csp.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<fuzz::ini_section> sections = fuzz::parse_ini(data, size);
    const fuzz::ini_section none;
    const fuzz::ini_section& first = sections.empty() ? none : sections.front();
    for (const auto& kv : first.keys) decimal(kv.second);
    language_file(first);
    settings(first);
    int configured = 1033;
    mon::ustring v;
    if (first.find("LanguageID", v)) configured = mon::parse_decimal(v, 1033);
    language_list(sections, configured);
    return 0;
}
