// The monitor's configuration files through the platform's INI reader under
// Wine: MgrConfig.ini (missing, unreadable, non-numeric values, write and
// read back), LanguageInfo.ini (duplicates, more than 129 sections), the
// language file (UTF-16LE, quoted values, case, misspelt key names, missing
// keys by group, a missing file), the single-instance slot, and the strict
// conversion of PINs into a code page.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "language_strings.h"
#include "project_base.h"
#include "win_text.h"

namespace lang = mon::lang;

namespace {

std::wstring temp_path(const wchar_t* name) {
    wchar_t buf[MAX_PATH];
    GetTempPathW(MAX_PATH, buf);
    return std::wstring(buf) + L"mon_cfg_" + std::to_wstring(GetCurrentProcessId()) + L"_" + name;
}

void write_utf16(const std::wstring& path, const std::wstring& text) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    WriteFile(f, "\xff\xfe", 2, &n, nullptr);
    WriteFile(f, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &n, nullptr);
    CloseHandle(f);
}

void write_ansi(const std::wstring& path, const std::string& text) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    CloseHandle(f);
}

std::string u8(const mon::ustring& s) { return mon::to_utf8(s); }

}  // namespace

TEST(MgrConfig, MissingUnreadableAndNonNumeric) {
    std::wstring missing = temp_path(L"missing.ini");
    DeleteFileW(missing.c_str());
    mon::MonitorSettings s;
    EXPECT_EQ(mon::ReadMgrConfig(missing, s), 0);
    EXPECT_EQ(s.language_id, 1033);
    EXPECT_EQ(s.default_pin_mode, 1);
    EXPECT_EQ(mon::ReadConfiguredLanguageId(missing), 1033);

    // A folder of that name cannot be read: 1, the record as it was.
    std::wstring folder = temp_path(L"folder.ini");
    CreateDirectoryW(folder.c_str(), nullptr);
    s = mon::MonitorSettings();
    s.cert_day = 77;
    EXPECT_EQ(mon::ReadMgrConfig(folder, s), 1);
    EXPECT_EQ(s.cert_day, 77);
    EXPECT_EQ(mon::ReadConfiguredLanguageId(folder), 0);
    RemoveDirectoryW(folder.c_str());

    std::wstring odd = temp_path(L"odd.ini");
    write_ansi(odd, "[appconfig]\r\nlanguageid=abc\r\nDefaultPINMode=abc\r\nCertDay= 12 \r\nURL=\"http://a b\"\r\n"
                    "CertTips=0x1\r\n");
    s = mon::MonitorSettings();
    EXPECT_EQ(mon::ReadMgrConfig(odd, s), 0);
    EXPECT_EQ(s.language_id, 1033);
    EXPECT_EQ(s.default_pin_mode, 1);
    EXPECT_EQ(s.cert_day, 12);
    EXPECT_EQ(s.cert_tips, 0);
    EXPECT_EQ(s.url, "http://a b");
    DeleteFileW(odd.c_str());
}

TEST(MgrConfig, WriteAndReadBack) {
    std::wstring path = temp_path(L"write.ini");
    DeleteFileW(path.c_str());
    mon::MonitorSettings s;
    s.url_open_mode = 1; s.url = "http://example.test/x"; s.browser_mode = 1; s.cert_tips = 1; s.cert_day = 365;
    s.language_id = 2052; s.default_pin_mode = 0;
    EXPECT_EQ(mon::WriteMgrConfig(path, s), 0);
    mon::MonitorSettings r;
    EXPECT_EQ(mon::ReadMgrConfig(path, r), 0);
    EXPECT_EQ(r.url_open_mode, 1);
    EXPECT_EQ(r.url, "http://example.test/x");
    EXPECT_EQ(r.browser_mode, 1);
    EXPECT_EQ(r.cert_tips, 1);
    EXPECT_EQ(r.cert_day, 365);
    EXPECT_EQ(r.language_id, 2052);
    EXPECT_EQ(r.default_pin_mode, 0);
    DeleteFileW(path.c_str());
    // A folder that does not exist: 1.
    EXPECT_EQ(mon::WriteMgrConfig(temp_path(L"no_such_dir\\x.ini"), s), 1);
}

TEST(LanguageInfo, DuplicatesAndTheLimit) {
    std::wstring path = temp_path(L"LanguageInfo.ini");
    write_utf16(path, L"[L]\r\nLanguageID=2052\r\nLanguageFile=first.lng\r\nLanguageCSP=first.dll\r\n"
                      L"[L]\r\nLanguageID=2052\r\nLanguageFile=second.lng\r\nLanguageCSP=second.dll\r\n"
                      L"[M]\r\nLnaguageName=\u7b80\u4f53\u4e2d\u6587\r\n");
    std::vector<mon::language_entry> list;
    EXPECT_EQ(mon::ReadLanguageList(path, list), 0);
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(u8(list[0].file), "first.lng");
    auto c = mon::start_language(list, 2052);
    EXPECT_EQ(c.index, 0);
    EXPECT_EQ(u8(c.csp), "first.dll");
    EXPECT_EQ(u8(list.back().name), "简体中文");
    EXPECT_EQ(u8(list.back().id), "1033");

    std::wstring many;
    for (int i = 0; i < 140; ++i)
        many += L"[S" + std::to_wstring(i) + L"]\r\nLanguageID=" + std::to_wstring(5000 + i) + L"\r\n";
    write_utf16(path, many);
    EXPECT_EQ(mon::ReadLanguageList(path, list), 0);
    EXPECT_EQ(list.size(), 129u);
    EXPECT_EQ(mon::choose_language(list, 5128), 128);
    EXPECT_EQ(mon::choose_language(list, 5129), -1);
    DeleteFileW(path.c_str());
    EXPECT_EQ(mon::ReadLanguageList(path, list), 1);
    EXPECT_TRUE(list.empty());
}

TEST(LanguageFile, ReadThroughTheProfileReader) {
    lang::reset();
    std::wstring path = temp_path(L"XX.lng");
    write_utf16(path, L"[Caption]\r\nP_MSGTitle=\u63d0\u793a\r\nk_errorcode_str=\" ErrorCode :String= \"\r\n"
                      L"P_Caption=  trimmed  \r\nLogin_Form__btn_cancel=two underscores\r\n"
                      L"Login_Form_btn_cancel=not a key\r\nK_Cert_issure=as spelt\r\nFontSize=abc\r\n"
                      L"config_Cert_Output=0\r\nPKCS11Name=\r\n");
    mon::LoadLanguageFile(path);
    EXPECT_EQ(u8(lang::text(lang::P_MSGTitle)), "提示");
    EXPECT_EQ(u8(lang::text(lang::K_ErrorCODE_Str)), " ErrorCode :String= ");
    EXPECT_EQ(u8(lang::text(lang::P_Caption)), "trimmed");
    EXPECT_EQ(u8(lang::text(lang::Login_Form__btn_cancel)), "two underscores");
    EXPECT_EQ(u8(lang::text(lang::K_Cert_issure)), "as spelt");
    EXPECT_EQ(lang::font_size(), 9);
    EXPECT_EQ(lang::int_value(lang::config_Cert_Output), 0);
    // Present but empty stays empty; missing keys go by group.
    EXPECT_EQ(u8(lang::text(lang::PKCS11Name)), "");
    EXPECT_EQ(u8(lang::text(lang::K_Key_Arrival)), " ");
    EXPECT_EQ(u8(lang::text(lang::K_Key_Remove)), "");
    // A missing file changes nothing.
    DeleteFileW(path.c_str());
    mon::LoadLanguageFile(path);
    EXPECT_EQ(u8(lang::text(lang::P_MSGTitle)), "提示");
    lang::reset();
}

TEST(LanguageFile, ShippedFilesLoadWhole) {
    std::wstring dist = mon::from_ansi(SOLVANTEX_MON_DIST_WIN);
    lang::reset();
    mon::LoadLanguageFile(dist + L"\\Languages\\ZH_2052.lng");
    EXPECT_EQ(u8(lang::text(lang::P_Caption)), "PKI管理工具   ");
    EXPECT_EQ(u8(lang::text(lang::PKCS11Name)), "solvantex_pkcs11.dll");
    EXPECT_EQ(u8(lang::text(lang::K_Key_Arrival)), "USBKey已插入");
    mon::LoadLanguageFile(dist + L"\\Languages\\EN_1033.lng");
    EXPECT_EQ(u8(lang::text(lang::P_Caption)), "PKI manager");
    EXPECT_EQ(u8(lang::text(lang::K_ErrorCODE_Str)), " ErrorCode :String= ");
    EXPECT_EQ(lang::int_value(lang::config_Cert_Output), 1);
    for (int i = 0; i < lang::text_key_count; ++i) {
        auto k = static_cast<lang::id>(i);
        EXPECT_FALSE(lang::text(k).empty()) << lang::key_name(k);
    }
    lang::reset();
}

TEST(InstanceSlot, FirstClaimWinsLaterOnesSeeIt) {
    mon::OpenInstanceMapping();
    HWND a = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234));
    EXPECT_EQ(mon::ClaimFirstInstance(a), 0);
    EXPECT_EQ(mon::ClaimFirstInstance(a), 1);
    mon::SetInstanceWindow(reinterpret_cast<HWND>(static_cast<INT_PTR>(0x5678)));
    EXPECT_EQ(mon::ClaimFirstInstance(reinterpret_cast<HWND>(static_cast<INT_PTR>(0x9999))), 1);
    // A second view in this process reads the same slot.
    HANDLE m = OpenFileMappingW(FILE_MAP_READ, FALSE, L"{SolvantexMon-8066-443E-9998-5713F4427EDF}");
    ASSERT_NE(m, nullptr);
    auto* v = static_cast<const LONG*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(*v, 0x5678);
    UnmapViewOfFile(v);
    CloseHandle(m);
    mon::CloseInstanceMapping();
}

// What a PIN becomes in a code page, against the code page tables: every
// character with a form of its own converts; one without (no best fit, no
// default character) makes the whole text refused.
TEST(CodePageText, StrictConversion) {
    struct row {
        UINT code_page;
        const wchar_t* text;
        bool ok;
        const char* bytes;
    } rows[] = {
        {936, L"\u5bc6\u7801" L"12", true, "\xc3\xdc\xc2\xeb" "12"},
        {936, L"\u00e9", true, "\xa8\xa6"},
        {936, L"ab\ud55c", false, ""},
        {1252, L"\u00e9A", true, "\xe9" "A"},
        {1252, L"\u20ac", true, "\x80"},
        {1252, L"\u4e2d", false, ""},
        {1252, L"\u0101", false, ""},  // best fit would give 'a'
        {1252, L"", true, ""},
        {CP_UTF8, L"\u5bc6", true, "\xe5\xaf\x86"},
        {CP_UTF8, L"a\xd800", false, ""},
    };
    for (const row& r : rows) {
        std::string out = "junk";
        EXPECT_EQ(r.ok, mon::to_code_page(r.text, r.code_page, out)) << r.code_page;
        EXPECT_EQ(std::string(r.bytes), out) << r.code_page;
    }
}
