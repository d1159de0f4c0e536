#include "test_switch.h"

#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace mon {
namespace test_switch {

namespace {

struct settings {
    bool on = false;
    std::wstring log;
    bool real_boxes = true;
    int answer = IDOK;
    DWORD sleep_cap = 0;
};

settings& state() {
    static settings s;
    return s;
}

}  // namespace

std::string utf8(const std::wstring& s) {
    if (s.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n, nullptr, nullptr);
    return out;
}

void init() {
    settings& s = state();
    wchar_t buf[2048];
    DWORD n = GetEnvironmentVariableW(L"SOLVANTEX_MON_TEST", buf, 2048);
    if (n == 0 || n >= 2048) return;
    std::wstring v(buf, n);
    size_t pos = 0;
    while (pos <= v.size()) {
        size_t end = v.find(L';', pos);
        if (end == std::wstring::npos) end = v.size();
        std::wstring item = v.substr(pos, end - pos);
        pos = end + 1;
        size_t eq = item.find(L'=');
        if (eq == std::wstring::npos) continue;
        std::wstring k = item.substr(0, eq), val = item.substr(eq + 1);
        if (k == L"log") s.log = val;
        else if (k == L"boxes") {
            if (val == L"real") s.real_boxes = true;
            else { s.real_boxes = false; s.answer = _wtoi(val.c_str()); }
        } else if (k == L"sleep") s.sleep_cap = static_cast<DWORD>(_wtoi(val.c_str()));
    }
    s.on = !s.log.empty();
}

bool active() { return state().on; }

void log(const std::string& line) {
    settings& s = state();
    if (!s.on) return;
    HANDLE f = CreateFileW(s.log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    std::string l = line + "\n";
    DWORD w = 0;
    WriteFile(f, l.data(), static_cast<DWORD>(l.size()), &w, nullptr);
    CloseHandle(f);
}

void logf(const char* fmt, ...) {
    if (!active()) return;
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    log(buf);
}

int message_box(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
    settings& s = state();
    if (!s.on) return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
    logf("msgbox caption=%s flags=0x%x text=%s", utf8(caption).c_str(), flags, utf8(text).c_str());
    int r = s.real_boxes ? MessageBoxW(owner, text.c_str(), caption.c_str(), flags) : s.answer;
    logf("msgbox answer=%d", r);
    return r;
}

INT_PTR shell_open(HWND owner, const std::wstring& file, const std::wstring& params) {
    settings& s = state();
    if (!s.on)
        return reinterpret_cast<INT_PTR>(ShellExecuteW(owner, L"open", file.c_str(),
                                                       params.empty() ? nullptr : params.c_str(), nullptr,
                                                       SW_SHOWNORMAL));
    logf("shell open file=%s params=%s", utf8(file).c_str(), utf8(params).c_str());
    return 42;
}

void sleep(DWORD ms, const char* what) {
    settings& s = state();
    if (s.on) {
        logf("sleep %s %lu", what, static_cast<unsigned long>(ms));
        if (ms > s.sleep_cap) ms = s.sleep_cap;
    }
    Sleep(ms);
}

}  // namespace test_switch
}  // namespace mon
