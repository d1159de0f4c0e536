// The monitor's window-less logic: language keys and their defaults,
// configuration values, the start-up language, container lists, product ids
// and text cuts, the copy-data records.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "copy_data.h"
#include "language_strings.h"
#include "settings.h"
#include "token_lists.h"

using mon::from_utf8;
using mon::ustring;
namespace lang = mon::lang;

namespace {

std::string u8(const ustring& s) { return mon::to_utf8(s); }

lang::lookup_fn map_lookup(const std::map<std::string, std::string>& m) {
    return [m](const char* key, ustring& v) {
        auto it = m.find(key);
        if (it == m.end()) return false;
        v = from_utf8(it->second);
        return true;
    };
}

class Language : public ::testing::Test {
  protected:
    void SetUp() override { lang::reset(); }
    void TearDown() override { lang::reset(); }
};

}  // namespace

TEST_F(Language, KeyTableHasEveryKeyOnceWithItsGroup) {
    std::set<std::string> names;
    int blanks = 0, empties = 0;
    for (int i = 0; i < lang::text_key_count; ++i) {
        auto k = static_cast<lang::id>(i);
        names.insert(lang::key_name(k));
        (lang::missing_group(k) == 0 ? blanks : empties)++;
    }
    EXPECT_EQ(names.size(), 222u);
    EXPECT_EQ(blanks, 125);
    EXPECT_EQ(empties, 97);
    // The spellings the files carry, read as spelt.
    for (const char* n : {"Login_Form__btn_cancel", "Lonin_Form_lable_Key", "Main_Form_PopupMenu_CheceSystem",
                          "Main_Form_ListView_ITem2", "ISo_Down_No", "K_Cert_issure", "P_Resporse"})
        EXPECT_EQ(names.count(n), 1u) << n;
    EXPECT_EQ(lang::int_key_count, 4);
}

TEST_F(Language, BuiltInTextsAsGiven) {
    struct row { lang::id key; const char* text; } rows[] = {
        {lang::P_MSGTitle, "提示"},
        {lang::P_Caption, "PKI管理工具   "},
        {lang::FontName, "宋体"},
        {lang::FontSize, "9"},
        {lang::PKCS11Name, "n8dex_pkcs11.dll"},
        {lang::PROVIDER_NAME, "Tarnely Zervik N8Dex CSP V1.1"},
        {lang::CallMainAppName, "N8DexPKIMgr.exe"},
        {lang::K_ErrorCODE_Str, " ErrorCode :String= "},
        {lang::K_OldCheck, "原口令不正确,您还有%d次重试机会"},
        {lang::K_pkcs11Init_Error, "pkcs11初始化失败"},
        {lang::CSP11Name, "N8DexCSP11.dll"},
        {lang::MonName, "TZ4100Mon.exe"},
        {lang::IDS_STRING_UKEY_MESSAGE_CERTWRITEFAIL, "Failed to save certificate"},
    };
    for (const auto& r : rows) EXPECT_EQ(u8(lang::text(r.key)), r.text) << lang::key_name(r.key);
    for (int i = 0; i < lang::int_key_count; ++i) EXPECT_EQ(lang::int_value(static_cast<lang::int_id>(i)), 0);
}

TEST_F(Language, FileWithOnlyTheTitleBlanksAndEmptiesByGroup) {
    lang::load(map_lookup({{"P_MSGTitle", "Notice"}}));
    EXPECT_EQ(u8(lang::text(lang::P_MSGTitle)), "Notice");
    EXPECT_EQ(u8(lang::text(lang::PKCS11Name)), " ");
    EXPECT_EQ(u8(lang::text(lang::P_Caption)), " ");
    EXPECT_EQ(u8(lang::text(lang::CallMainAppName)), "");
    EXPECT_EQ(u8(lang::text(lang::K_Key_Arrival)), " ");
    EXPECT_EQ(u8(lang::text(lang::K_Key_Remove)), "");
    for (int i = 0; i < lang::text_key_count; ++i) {
        auto k = static_cast<lang::id>(i);
        if (k == lang::P_MSGTitle) continue;
        EXPECT_EQ(u8(lang::text(k)), lang::missing_group(k) == 0 ? " " : "") << lang::key_name(k);
    }
    EXPECT_EQ(lang::int_value(lang::config_Cert_Output), 1);
    EXPECT_EQ(lang::int_value(lang::config_Cert_Del), 0);
    // Font size falls back to 9 when the text is not a number.
    EXPECT_EQ(lang::font_size(), 9);
}

TEST_F(Language, ValuesStandAsTheReaderGivesThemAndIntegersParse) {
    lang::load(map_lookup({{"K_ErrorCODE_Str", " Code = "},
                           {"K_OldCheck", "wrong, %d left"},
                           {"FontSize", "12"},
                           {"config_Cert_Output", "abc"},
                           {"config_Cert_Del", "7"},
                           {"config_Cont_Del", "0x10"},
                           {"K_Cert_issure", "Issuer"},
                           {"K_Cert_Issuer", "ignored"}}));
    EXPECT_EQ(u8(lang::text(lang::K_ErrorCODE_Str)), " Code = ");
    EXPECT_EQ(u8(lang::text(lang::K_Cert_issure)), "Issuer");
    EXPECT_EQ(lang::font_size(), 12);
    EXPECT_EQ(lang::int_value(lang::config_Cert_Output), 1);
    EXPECT_EQ(lang::int_value(lang::config_Cert_Del), 7);
    EXPECT_EQ(lang::int_value(lang::config_Cont_Del), 0);
    EXPECT_EQ(u8(lang::text(lang::K_OldCheck)), "wrong, %d left");
}

TEST(Decimal, OnlyDecimalIntegersParse) {
    struct row { const char* text; int want; } rows[] = {
        {"1033", 1033}, {" 2052 ", 2052}, {"-5", -5}, {"+7", 7}, {"0", 0},
        {"", -1}, {" ", -1}, {"abc", -1}, {"0x10", -1}, {"12abc", -1}, {"1 2", -1}, {"-", -1},
        {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}, {"2147483648", -1},
        {"99999999999999999999", -1}, {"１２", -1},
    };
    for (const auto& r : rows) EXPECT_EQ(mon::parse_decimal(from_utf8(r.text), -1), r.want) << r.text;
}

TEST(Settings, MissingAndNonNumericKeysTakeTheirDefaults) {
    struct row {
        std::map<std::string, std::string> file;
        mon::MonitorSettings want;
    };
    mon::MonitorSettings d = mon::default_settings();
    mon::MonitorSettings full;
    full.url_open_mode = 1; full.url = "http://x.test/a b"; full.browser_mode = 1; full.cert_tips = 1;
    full.cert_day = 30; full.language_id = 2052; full.default_pin_mode = 0;
    mon::MonitorSettings bad = d;
    row rows[] = {
        {{}, d},
        {{{"URLOpenMode", "1"}, {"URL", "http://x.test/a b"}, {"BrowserMode", "1"}, {"CertTips", "1"},
          {"CertDay", "30"}, {"LanguageID", "2052"}, {"DefaultPINMode", "0"}}, full},
        {{{"LanguageID", "abc"}, {"DefaultPINMode", "abc"}, {"CertDay", ""}, {"URLOpenMode", "0x1"}}, bad},
    };
    EXPECT_EQ(d.language_id, 1033);
    EXPECT_EQ(d.default_pin_mode, 1);
    for (const auto& r : rows) {
        mon::MonitorSettings s;
        s.cert_day = 99;
        mon::read_settings(map_lookup(r.file), [](const ustring& u) { return mon::to_utf8(u); }, s);
        EXPECT_EQ(s.url_open_mode, r.want.url_open_mode);
        EXPECT_EQ(s.url, r.want.url);
        EXPECT_EQ(s.browser_mode, r.want.browser_mode);
        EXPECT_EQ(s.cert_tips, r.want.cert_tips);
        EXPECT_EQ(s.cert_day, r.want.cert_day);
        EXPECT_EQ(s.language_id, r.want.language_id);
        EXPECT_EQ(s.default_pin_mode, r.want.default_pin_mode);
    }
    auto pairs = mon::settings_pairs(full);
    ASSERT_EQ(pairs.size(), 7u);
    EXPECT_STREQ(pairs[1].first, "URL");
    EXPECT_EQ(pairs[1].second, "http://x.test/a b");
    EXPECT_STREQ(pairs[5].first, "LanguageID");
    EXPECT_EQ(pairs[5].second, "2052");
}

namespace {
std::vector<mon::language_entry> list_of(const std::vector<std::map<std::string, std::string>>& sections) {
    return mon::read_language_list(sections.size(), [&](std::size_t i, const char* key, ustring& v) {
        auto it = sections[i].find(key);
        if (it == sections[i].end()) return false;
        v = from_utf8(it->second);
        return true;
    });
}
}  // namespace

TEST(LanguageList, ChoiceTable) {
    auto shipped = list_of({{{"LanguageID", "1033"}, {"LanguageFile", "EN_1033.lng"}, {"LanguageCSP", "Solvantex.EN.dll"}},
                            {{"LanguageID", "2052"}, {"LanguageFile", "ZH_2052.lng"}, {"LanguageCSP", "Solvantex.ZH.dll"}}});
    auto twice = list_of({{{"LanguageID", "2052"}, {"LanguageFile", "first.lng"}, {"LanguageCSP", "first.dll"}},
                          {{"LanguageID", "2052"}, {"LanguageFile", "second.lng"}, {"LanguageCSP", "second.dll"}}});
    auto odd = list_of({{{"LanguageID", "abc"}, {"LanguageFile", "abc.lng"}},
                        {{"LanguageID", " 0 "}, {"LanguageFile", "zero.lng"}, {"LanguageCSP", "zero.dll"}},
                        {}});
    struct row {
        const std::vector<mon::language_entry>* list;
        int configured;
        int index;
        const char* file;
        const char* csp;
    } rows[] = {
        {&shipped, 2052, 1, "ZH_2052.lng", "Solvantex.ZH.dll"},
        {&shipped, 1033, 0, "EN_1033.lng", "Solvantex.EN.dll"},
        {&shipped, 1041, -1, "EN_1033.lng", "Solvantex.EN.dll"},
        {&twice, 2052, 0, "first.lng", "first.dll"},
        {&odd, 0, 1, "zero.lng", "zero.dll"},
        // An empty section reads the defaults: 1033, EN_1033.lng, no CSP.
        {&odd, 1033, 2, "EN_1033.lng", ""},
    };
    for (const auto& r : rows) {
        auto c = mon::start_language(*r.list, r.configured);
        EXPECT_EQ(c.index, r.index) << r.configured;
        EXPECT_EQ(u8(c.file), r.file);
        EXPECT_EQ(u8(c.csp), r.csp);
    }
    EXPECT_EQ(mon::start_language({}, 1033).index, -1);
    EXPECT_EQ(u8(mon::start_language({}, 1033).csp), "Solvantex.EN.dll");
    EXPECT_EQ(u8(odd[2].name), "English");
}

TEST(LanguageList, AtMost129Entries) {
    std::vector<std::map<std::string, std::string>> many(200);
    for (std::size_t i = 0; i < many.size(); ++i) many[i]["LanguageID"] = std::to_string(i);
    auto list = list_of(many);
    EXPECT_EQ(list.size(), 129u);
    EXPECT_EQ(mon::choose_language(list, 128), 128);
    EXPECT_EQ(mon::choose_language(list, 129), -1);
}

TEST(LanguageList, AnIdPastTheIntRangeMatchesNothing) {
    // Such an id reads as the fallback; it must not pass for a configured 0.
    auto list = list_of({{{"LanguageID", "99999999999"}}, {{"LanguageID", "-2147483649"}}, {{"LanguageID", " 0 "}}});
    EXPECT_EQ(mon::choose_language(list, 0), 2);
    list = list_of({{{"LanguageID", "99999999999"}}});
    EXPECT_EQ(mon::choose_language(list, 0), -1);
    EXPECT_EQ(mon::start_language(list, 0).index, -1);
    EXPECT_EQ(mon::choose_language(list_of({{{"LanguageID", "-0"}}}), 0), 0);
}

TEST(ContainerNames, SplitTable) {
    struct row {
        std::string bytes;
        unsigned long length;
        std::vector<std::string> want;
    } rows[] = {
        {std::string("my key\0second\0", 14), 14, {"my key", "second"}},
        {std::string("a\0\0b\0", 5), 5, {"a", "b"}},
        {std::string("\0\0\0", 3), 3, {}},
        {std::string("one\ttwo\r\nthree", 14), 14, {"one", "two", "three"}},
        {std::string("star*name\0", 10), 10, {"star*name"}},
        // The length bounds the walk; bytes beyond it are not names.
        {std::string("abc\0def\0", 8), 4, {"abc"}},
        {std::string("\xe4\xb8\xad\0", 4), 4, {"\xe4\xb8\xad"}},
    };
    for (const auto& r : rows) {
        auto got = mon::split_container_names(r.bytes.data(), r.bytes.size(), r.length);
        EXPECT_EQ(got, r.want) << r.bytes;
    }
}

TEST(ContainerNames, LimitsOfTheBufferAndTheRecord) {
    // 70 names: 65 are kept.
    std::string list;
    for (int i = 0; i < 70; ++i) list += "c" + std::to_string(i) + '\0';
    auto got = mon::split_container_names(list.data(), list.size(), static_cast<unsigned long>(list.size()));
    ASSERT_EQ(got.size(), 65u);
    EXPECT_EQ(got[64], "c64");
    // A length above the buffer's 8192 bytes reads no further than 8192.
    std::string big(mon::container_list_size + 100, 'x');
    big[10] = '\0';
    got = mon::split_container_names(big.data(), mon::container_list_size, 0xFFFFFFFFul);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].size(), mon::container_list_size - 11);
    EXPECT_TRUE(mon::split_container_names(nullptr, 10, 10).empty());
}

TEST(ProductId, PathTable) {
    struct row { const char* path; std::uint32_t id; bool watched; } rows[] = {
        {"\\\\?\\USB#VID_096E&PID_0166#5&1a2b#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", 0x0166, true},
        {"\\\\?\\usb#vid_096e&pid_0165#x#{a5dcbf10}", 0x0165, true},
        {"\\\\?\\USB#VID_1234&PID_F703#x", 0xF703, true},
        {"\\\\?\\usb#vid_1234&pid_f703#x", 0xF703, true},
        {"\\\\?\\USB#ROOT_HUB#4&1", 0, true},
        {"\\\\?\\USB#VID_1234&PID_12", 0x12, false},
        {"\\\\?\\USB#VID_1234&PID_", 0, true},
        {"\\\\?\\USB#VID_1234&PID_01G6#x", 0, true},
        {"\\\\?\\USB#VID_1234&PID_0167#x", 0x0167, false},
        {"", 0, true},
    };
    for (const auto& r : rows) {
        auto id = mon::product_id_of(from_utf8(r.path));
        EXPECT_EQ(id, r.id) << r.path;
        EXPECT_EQ(mon::watched_product(id), r.watched) << r.path;
    }
}

TEST(TextCut, CutsOnCharacterBoundaries) {
    ustring a(300, u'a');
    EXPECT_EQ(mon::cut_text(a, 255).size(), 255u);
    EXPECT_EQ(mon::cut_text(a.substr(0, 100), 127).size(), 100u);
    // A surrogate pair straddling the cut is dropped whole.
    ustring s(126, u'x');
    s += u"\U0001F600";
    s += u"yy";
    auto cut = mon::cut_text(s, 127);
    EXPECT_EQ(cut.size(), 126u);
    ustring t(125, u'x');
    t += u"\U0001F600";
    EXPECT_EQ(mon::cut_text(t + u"z", 127), t);
    ustring zh = from_utf8("证书即将过期");
    EXPECT_EQ(u8(mon::cut_text(zh, 2)), "证书");
}

namespace {
// A record's bytes as the sender lays them out: the UTF-16 units in the
// platform's order.
std::string record_bytes(const ustring& units) {
    std::string b(units.size() * sizeof(char16_t), '\0');
    if (!units.empty()) std::memcpy(&b[0], units.data(), b.size());
    return b;
}
}  // namespace

TEST(CopyData, TextTable) {
    const ustring hi_nul(u"Hi\0", 3);
    const ustring embedded(u"ab\0cd\0", 6);
    const ustring surrogate_half{u'a', static_cast<char16_t>(0xD800), u'b', u'\0'};
    struct row {
        const char* what;
        std::string bytes;
        std::size_t size;
        ustring text;
    } rows[] = {
        {"valid with its NUL", record_bytes(hi_nul), 6, u"Hi"},
        {"no bytes", record_bytes(hi_nul), 0, u""},
        {"one byte: no whole unit", record_bytes(hi_nul), 1, u""},
        {"only a NUL", record_bytes(ustring(1, u'\0')), 2, u""},
        {"no terminator: cut at the size", record_bytes(u"HiI"), 6, u"HiI"},
        {"size shorter than the text", record_bytes(hi_nul), 2, u"H"},
        {"odd size: the last byte belongs to no unit", record_bytes(u"HiI") + "x", 7, u"HiI"},
        {"odd size inside the text", record_bytes(hi_nul), 3, u"H"},
        {"embedded NUL ends the text", record_bytes(embedded), 12, u"ab"},
        {"a lone surrogate half is kept as given", record_bytes(surrogate_half), 8, ustring{u'a', static_cast<char16_t>(0xD800), u'b'}},
    };
    for (const auto& r : rows) {
        ASSERT_LE(r.size, r.bytes.size()) << r.what;
        EXPECT_EQ(mon::copy_data_text(r.bytes.data(), r.size), r.text) << r.what;
    }
    EXPECT_EQ(mon::copy_data_text(nullptr, 6), u"");
    // Over-long: every unit up to the size, nothing cut here (the balloon
    // cuts its own text).
    ustring big(70000, u'x');
    std::string b = record_bytes(big);
    EXPECT_EQ(mon::copy_data_text(b.data(), b.size()), big);
    // Data at an odd address reads the same.
    std::string shifted = "?" + record_bytes(hi_nul);
    EXPECT_EQ(mon::copy_data_text(shifted.data() + 1, 6), u"Hi");
}

TEST(CopyData, CommandTable) {
    using A = mon::copy_data_action;
    struct row {
        std::uintptr_t kind;
        ustring text;  // sent with its NUL
        A action;
    } rows[] = {
        {0, u"RegCert", A::reg_cert},   {0, u"REGCERT", A::reg_cert},   {7, u"regcert", A::reg_cert},
        {0, u"Update", A::update},      {2, u"uPDATE", A::update},      {1, u"RegCert", A::message},
        {1, u"Update", A::message},     {1, u"IDS_STRING_UKEY_MESSAGE_SIGNOK", A::message},
        {0, u"RegCert Now", A::balloon}, {0, u" RegCert", A::balloon}, {0, u"Hello", A::balloon},
        {0, u"", A::balloon},           {1, u"", A::message},
        // Letters outside ASCII never make a command.
        {0, u"r\u0130gcert", A::balloon}, {0, u"\uFF32egcert", A::balloon},
        {~std::uintptr_t(0), u"RegCert", A::reg_cert},
    };
    for (const auto& r : rows) {
        std::string b = record_bytes(r.text + ustring(1, u'\0'));
        auto cmd = mon::read_copy_data(r.kind, b.data(), b.size());
        EXPECT_EQ(cmd.action, r.action) << u8(r.text) << " kind " << r.kind;
        EXPECT_EQ(cmd.text, r.text) << u8(r.text);
    }
    // "RegCert" with text after an embedded NUL is the command.
    std::string b = record_bytes(ustring(u"RegCert\0leaf|nosuch", 19));
    EXPECT_EQ(mon::read_copy_data(0, b.data(), b.size()).action, A::reg_cert);
    // No data or no bytes: ignored, nothing taken out.
    for (std::uintptr_t kind : {std::uintptr_t(0), std::uintptr_t(1)}) {
        auto none = mon::read_copy_data(kind, nullptr, 16);
        EXPECT_EQ(none.action, A::ignored);
        EXPECT_TRUE(none.text.empty());
        EXPECT_EQ(mon::read_copy_data(kind, b.data(), 0).action, A::ignored);
    }
    // One byte: not ignored, an empty text.
    auto one = mon::read_copy_data(0, b.data(), 1);
    EXPECT_EQ(one.action, A::balloon);
    EXPECT_TRUE(one.text.empty());
}

TEST(Utf8, RoundTrip) {
    for (const char* s : {"", "abc", "提示", "PKI管理工具   ", "\xf0\x9f\x98\x80"}) EXPECT_EQ(u8(from_utf8(s)), s);
    EXPECT_EQ(from_utf8("\xff"), ustring(1, u'\xFFFD'));
}

namespace {
// The shipped files as key -> value (UTF-16LE with BOM, one section).
std::map<std::string, std::string> read_utf16_ini(const std::string& path, std::string& section, bool& bom) {
    std::map<std::string, std::string> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    std::string bytes;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    std::fclose(f);
    bom = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
          static_cast<unsigned char>(bytes[1]) == 0xFE;
    ustring text;
    for (size_t i = bom ? 2 : 0; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    std::string all = mon::to_utf8(text);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t e = all.find("\r\n", pos);
        if (e == std::string::npos) e = all.size();
        std::string line = all.substr(pos, e - pos);
        pos = e + 2;
        if (line.empty()) continue;
        if (line[0] == '[') { section = line; continue; }
        auto eq = line.find('=');
        if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}
}  // namespace

TEST(ShippedFiles, LanguageFilesCarryEveryKey) {
    for (const char* file : {"EN_1033.lng", "ZH_2052.lng"}) {
        std::string section;
        bool bom = false;
        auto keys = read_utf16_ini(std::string(SOLVANTA_SOURCE_DIR) + "/monitor/dist/Languages/" + file, section, bom);
        EXPECT_TRUE(bom) << file;
        EXPECT_EQ(section, "[Caption]") << file;
        EXPECT_EQ(keys.size(), 226u) << file;
        for (int i = 0; i < lang::text_key_count; ++i)
            EXPECT_EQ(keys.count(lang::key_name(static_cast<lang::id>(i))), 1u) << file << lang::key_name(static_cast<lang::id>(i));
        for (int i = 0; i < lang::int_key_count; ++i)
            EXPECT_EQ(keys.count(lang::int_key_name(static_cast<lang::int_id>(i))), 1u) << file;
        EXPECT_EQ(keys["PKCS11Name"], "solvantex_pkcs11.dll") << file;
        EXPECT_EQ(keys["K_ErrorCODE_Str"], "\" ErrorCode :String= \"") << file;
    }
    std::string section;
    bool bom = false;
    auto info = read_utf16_ini(std::string(SOLVANTA_SOURCE_DIR) + "/monitor/dist/Languages/LanguageInfo.ini", section, bom);
    EXPECT_TRUE(bom);
    EXPECT_EQ(info["LanguageFile"], "ZH_2052.lng");  // the last section's
}
