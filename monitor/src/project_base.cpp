#include "project_base.h"

#include <shlobj.h>

#include <algorithm>

#include "app_names.h"
#include "language_strings.h"
#include "test_switch.h"
#include "win_text.h"

namespace mon {

std::string to_ansi(const std::wstring& s) {
    if (s.empty()) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::string to_ansi(const ustring& s) { return to_ansi(to_wide(s)); }

bool to_code_page(const std::wstring& s, UINT code_page, std::string& out) {
    out.clear();
    if (s.empty()) return true;
    const int length = static_cast<int>(s.size());
    // UTF-8 and UTF-7 take no default-character flag: an unpaired surrogate
    // fails the strict conversion instead.
    const bool utf = code_page == CP_UTF8 || code_page == CP_UTF7 ||
                     (code_page == CP_ACP && (GetACP() == CP_UTF8 || GetACP() == CP_UTF7));
    const DWORD flags = utf ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* used = utf ? nullptr : &used_default;
    int n = WideCharToMultiByte(code_page, flags, s.data(), length, nullptr, 0, nullptr, used);
    if (n <= 0 || used_default) return false;
    std::string bytes(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(code_page, flags, s.data(), length, &bytes[0], n, nullptr, used) != n || used_default)
        return false;
    // A character with no form of its own would come back as another.
    int back = MultiByteToWideChar(code_page, 0, bytes.data(), n, nullptr, 0);
    std::wstring round(back > 0 ? static_cast<size_t>(back) : 0, L'\0');
    if (back <= 0 || MultiByteToWideChar(code_page, 0, bytes.data(), n, &round[0], back) != back || round != s) {
        std::fill(bytes.begin(), bytes.end(), '\0');
        std::fill(round.begin(), round.end(), L'\0');
        return false;
    }
    std::fill(round.begin(), round.end(), L'\0');
    out.swap(bytes);
    return true;
}

std::wstring from_ansi(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
    return out;
}

namespace {

const wchar_t kMappingName[] = L"{SolvantexMon-8066-443E-9998-5713F4427EDF}";
HANDLE g_mapping = nullptr;
volatile LONG* g_slot = nullptr;

std::wstring with_backslash(std::wstring p) {
    while (!p.empty() && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
    return p + L"\\";
}

void make_folder(const std::wstring& path) {
    std::wstring p = path;
    while (!p.empty() && p.back() == L'\\') p.pop_back();
    if (p.empty()) return;
    // SHCreateDirectoryExW wants a full path; a relative one (no APPDATA)
    // is made absolute first.
    wchar_t full[MAX_PATH * 4];
    DWORD n = GetFullPathNameW(p.c_str(), MAX_PATH * 4, full, nullptr);
    if (n == 0 || n >= MAX_PATH * 4) return;
    SHCreateDirectoryExW(nullptr, full, nullptr);
}

// A string of an INI section: true with the value when the key is present.
// A missing key is told from an empty one by two reads with different
// defaults.
bool ini_string(const std::wstring& path, const wchar_t* section, const wchar_t* key, std::wstring& value) {
    static const DWORD size = 4096;
    std::vector<wchar_t> a(size), b(size);
    GetPrivateProfileStringW(section, key, L"\x1\x2", a.data(), size, path.c_str());
    if (wcscmp(a.data(), L"\x1\x2") != 0) { value = a.data(); return true; }
    GetPrivateProfileStringW(section, key, L"\x3", b.data(), size, path.c_str());
    if (wcscmp(b.data(), L"\x3") != 0) { value = b.data(); return true; }
    return false;
}

bool readable(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    CloseHandle(f);
    return true;
}

}  // namespace

bool file_exists(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring program_folder() {
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return L".\\";
        if (n < buf.size()) break;
        if (buf.size() > 32768) return L".\\";
        buf.resize(buf.size() * 2);
    }
    std::wstring p(buf.data());
    size_t slash = p.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L".\\" : p.substr(0, slash + 1);
}

std::wstring mgr_config_path() { return GetConfigDir() + names::config_file; }
std::wstring language_list_path() { return program_folder() + names::languages_folder + names::language_list_file; }
std::wstring language_file_path(const std::wstring& file) { return program_folder() + names::languages_folder + file; }

std::wstring GetConfigDir() {
    wchar_t buf[32768];
    DWORD n = GetEnvironmentVariableW(L"APPDATA", buf, 32768);
    std::wstring base = n > 0 && n < 32768 ? std::wstring(buf, n) : std::wstring();
    std::wstring dir = with_backslash(base) + L"Tarnely\\Solvantex\\";
    if (GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES) make_folder(dir);
    return dir;
}

std::wstring GetUpdateDir() {
    std::wstring dir = with_backslash(GetConfigDir() + L"update");
    if (GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES) make_folder(dir);
    return dir;
}

int ReadMgrConfig(const std::wstring& path, MonitorSettings& out) {
    bool exists = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (exists && (!file_exists(path) || !readable(path))) return 1;
    read_settings(
        [&](const char* key, ustring& v) {
            std::wstring k(key, key + strlen(key)), w;
            if (!exists || !ini_string(path, L"APPConfig", k.c_str(), w)) return false;
            v = from_wide(w);
            return true;
        },
        [](const ustring& u) { return to_ansi(u); }, out);
    return 0;
}

int WriteMgrConfig(const std::wstring& path, const MonitorSettings& s) {
    for (const auto& kv : settings_pairs(s)) {
        std::wstring k(kv.first, kv.first + strlen(kv.first));
        if (!WritePrivateProfileStringW(L"APPConfig", k.c_str(), from_ansi(kv.second).c_str(), path.c_str()))
            return 1;
    }
    return 0;
}

int ReadConfiguredLanguageId(const std::wstring& path) {
    MonitorSettings s;
    s = MonitorSettings();
    ReadMgrConfig(path, s);
    return s.language_id;
}

int ReadLanguageList(const std::wstring& path, std::vector<language_entry>& out) {
    out.clear();
    if (!file_exists(path) || !readable(path)) return 1;
    std::vector<wchar_t> names(65536);
    DWORD n = GetPrivateProfileSectionNamesW(names.data(), static_cast<DWORD>(names.size()), path.c_str());
    std::vector<std::wstring> sections;
    for (DWORD i = 0; i < n && names[i];) {
        std::wstring name(&names[i]);
        sections.push_back(name);
        i += static_cast<DWORD>(name.size()) + 1;
    }
    // Every lookup by name gives the first section of that name: a
    // duplicate section reads as the first one's values.
    out = read_language_list(sections.size(), [&](size_t i, const char* key, ustring& v) {
        std::wstring k(key, key + strlen(key)), w;
        if (!ini_string(path, sections[i].c_str(), k.c_str(), w)) return false;
        v = from_wide(w);
        return true;
    });
    return 0;
}

void WriteProductRegistryValue(const std::wstring& key, const std::wstring& text) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(h, L"Solvantex", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
}

void OpenInstanceMapping() {
    g_mapping = OpenFileMappingW(0xF001F, FALSE, kMappingName);
    if (g_mapping) {
        g_slot = static_cast<volatile LONG*>(MapViewOfFile(g_mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (!g_slot) { CloseHandle(g_mapping); g_mapping = nullptr; }
        return;
    }
    g_mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4, kMappingName);
    if (!g_mapping) return;
    g_slot = static_cast<volatile LONG*>(MapViewOfFile(g_mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!g_slot) { CloseHandle(g_mapping); g_mapping = nullptr; return; }
    // A new mapping is zero-filled. One that another start made between
    // our open and our create may already hold its claim: it is not
    // written here, so the claim stands.
}

int ClaimFirstInstance(HWND window) {
    if (!g_slot) return 0;
    // Window handles fit 32 bits (also in 64-bit processes), so the slot
    // is one 32-bit word as the mapping's size says.
    LONG mine = static_cast<LONG>(reinterpret_cast<INT_PTR>(window));
    if (mine == 0) mine = 1;
    LONG before = InterlockedCompareExchange(g_slot, mine, 0);
    return before == 0 ? 0 : 1;
}

void SetInstanceWindow(HWND window) {
    if (g_slot && window) InterlockedExchange(g_slot, static_cast<LONG>(reinterpret_cast<INT_PTR>(window)));
}

void CloseInstanceMapping() {
    if (g_slot) UnmapViewOfFile(const_cast<LONG*>(g_slot));
    if (g_mapping) CloseHandle(g_mapping);
    g_slot = nullptr;
    g_mapping = nullptr;
}

void LoadLanguageFile(const std::wstring& path) {
    if (!file_exists(path)) {
        test_switch::logf("language file missing %s", test_switch::utf8(path).c_str());
        return;
    }
    // Values are read with a large buffer: a text is never cut by the reader.
    lang::load([&](const char* key, ustring& v) {
        std::wstring k(key, key + strlen(key)), w;
        if (!ini_string(path, L"Caption", k.c_str(), w)) return false;
        v = from_wide(w);
        return true;
    });
    test_switch::logf("language file loaded %s", test_switch::utf8(path).c_str());
}

}  // namespace mon

namespace mon {

bool days_until(int year, int month, int day, const SYSTEMTIME& now, double& out) {
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > 31) return false;
    SYSTEMTIME at = {};
    at.wYear = static_cast<WORD>(year);
    at.wMonth = static_cast<WORD>(month);
    at.wDay = static_cast<WORD>(day);
    FILETIME a, n;
    // SystemTimeToFileTime refuses a day the month does not have.
    if (!SystemTimeToFileTime(&at, &a) || !SystemTimeToFileTime(&now, &n)) return false;
    ULARGE_INTEGER ua, un;
    ua.LowPart = a.dwLowDateTime;
    ua.HighPart = a.dwHighDateTime;
    un.LowPart = n.dwLowDateTime;
    un.HighPart = n.dwHighDateTime;
    double diff = static_cast<double>(static_cast<long long>(ua.QuadPart - un.QuadPart));
    out = diff / (86400.0 * 10000000.0);
    return true;
}

bool IsCertExpiring(int year, int month, int day, int days) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    double left = 0;
    if (!days_until(year, month, day, now, left)) return false;
    return static_cast<double>(days) >= left;
}

bool url_allowed(const std::wstring& address, bool allow_mailto) {
    auto starts = [&](const wchar_t* prefix) {
        size_t n = wcslen(prefix);
        if (address.size() <= n) return false;
        for (size_t i = 0; i < n; ++i)
            if (towlower(address[i]) != prefix[i]) return false;
        return true;
    };
    return starts(L"http://") || starts(L"https://") || (allow_mailto && starts(L"mailto:"));
}

bool OpenUrl(HWND window, const std::wstring& address, int browser_mode, bool allow_mailto) {
    size_t b = address.find_first_not_of(L" \t\r\n");
    if (b == std::wstring::npos) return false;
    size_t e = address.find_last_not_of(L" \t\r\n");
    std::wstring a = address.substr(b, e - b + 1);
    if (!url_allowed(a, allow_mailto)) {
        test_switch::logf("url refused %s", test_switch::utf8(a).c_str());
        return false;
    }
    if (browser_mode == 1 && !allow_mailto) test_switch::shell_open(window, L"IExplore.EXE", a);
    else test_switch::shell_open(window, a, L"");
    return true;
}

}  // namespace mon
