#include "language_strings.h"

#include <vector>

namespace mon {
namespace lang {

namespace {

struct key_row {
    const char* name;
    int group;
    const char16_t* builtin;
};

const key_row rows[text_key_count] = {
#define LANGUAGE_KEY(name, group, text) {#name, group, text},
#include "language_keys.inc"
#undef LANGUAGE_KEY
};

const char* const int_names[int_key_count] = {"config_Cert_Del", "config_Cert_Input", "config_Cert_Output",
                                              "config_Cont_Del"};
const int int_missing[int_key_count] = {0, 0, 1, 0};

struct state {
    ustring texts[text_key_count];
    int ints[int_key_count];
    state() { fill(); }
    void fill() {
        for (int i = 0; i < text_key_count; ++i) texts[i] = rows[i].builtin;
        for (int i = 0; i < int_key_count; ++i) ints[i] = 0;
    }
};

state& globals() {
    static state s;
    return s;
}

bool valid(id key) { return key >= 0 && key < text_key_count; }

}  // namespace

const char* key_name(id key) { return valid(key) ? rows[key].name : ""; }
const char* int_key_name(int_id key) { return key >= 0 && key < int_key_count ? int_names[key] : ""; }
int missing_group(id key) { return valid(key) ? rows[key].group : 1; }

const ustring& builtin(id key) {
    static const ustring none;
    static const std::vector<ustring> texts = [] {
        std::vector<ustring> t;
        for (int i = 0; i < text_key_count; ++i) t.emplace_back(rows[i].builtin);
        return t;
    }();
    return valid(key) ? texts[static_cast<std::size_t>(key)] : none;
}

const ustring& text(id key) {
    static const ustring none;
    return valid(key) ? globals().texts[key] : none;
}

int int_value(int_id key) { return key >= 0 && key < int_key_count ? globals().ints[key] : 0; }

void load(const lookup_fn& lookup) {
    state& g = globals();
    for (int i = 0; i < text_key_count; ++i) {
        ustring v;
        if (lookup && lookup(rows[i].name, v)) g.texts[i] = v;
        else g.texts[i] = rows[i].group == 0 ? u" " : u"";
        if (i == K_Cert_Del) {
            for (int k = 0; k < int_key_count; ++k) {
                ustring iv;
                bool have = lookup && lookup(int_names[k], iv);
                g.ints[k] = have ? parse_decimal(iv, int_missing[k]) : int_missing[k];
            }
        }
    }
}

void reset() { globals().fill(); }

int font_size() { return parse_decimal(text(FontSize), 9); }

}  // namespace lang
}  // namespace mon
