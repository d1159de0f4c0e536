// Registers the stand-in provider in the Wine prefix (or Windows) it runs
// in, and prepares the current user's certificate stores, in one start:
//
//   standin_register [--stores] [--dll PATH] [--remove NAME]... [NAME]...
//
//   --stores       empties the MY, ROOT and CA stores of the current user
//                  and leaves their registry keys in place (a fresh prefix
//                  lacks them)
//   --dll PATH     the provider DLL for the names that follow (a Unix path
//                  is taken as its Z: drive path); default: standin_csp.dll
//                  beside this program
//   --remove NAME  removes the provider registration NAME
//   NAME           registers the DLL as provider NAME (type PROV_RSA_FULL)
//
// The provider key is written in this program's own registry view, so a
// 32-bit build registers the provider for 32-bit programs and a 64-bit
// build for 64-bit ones. Exit status 0 when every step succeeded.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

const wchar_t provider_root[] = L"Software\\Microsoft\\Cryptography\\Defaults\\Provider\\";

std::wstring widen(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
    out.resize(wcslen(out.c_str()));
    return out;
}

// A Unix path (as a test passes it) becomes its Z: drive path.
std::wstring windows_path(const std::wstring& path) {
    if (!path.empty() && path[0] == L'/') {
        std::wstring out = L"Z:" + path;
        for (wchar_t& c : out)
            if (c == L'/') c = L'\\';
        return out;
    }
    wchar_t full[MAX_PATH];
    const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full, n) : path;
}

std::wstring dll_beside_me() {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    const size_t slash = path.find_last_of(L"\\/");
    return path.substr(0, slash + 1) + L"standin_csp.dll";
}

int register_provider(const std::wstring& name, const std::wstring& dll) {
    HKEY key = nullptr;
    const std::wstring sub = provider_root + name;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        std::fprintf(stderr, "standin_register: cannot create the provider key\n");
        return 1;
    }
    const DWORD type = 1;  // PROV_RSA_FULL
    const DWORD sig_in_file = 0;
    LONG r = RegSetValueExW(key, L"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                            static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t)));
    if (r == ERROR_SUCCESS)
        r = RegSetValueExW(key, L"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
    if (r == ERROR_SUCCESS)
        r = RegSetValueExW(key, L"SigInFile", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&sig_in_file),
                           sizeof sig_in_file);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) {
        std::fprintf(stderr, "standin_register: cannot write the provider values\n");
        return 1;
    }
    std::printf("registered %ls -> %ls\n", name.c_str(), dll.c_str());
    return 0;
}

int remove_provider(const std::wstring& name) {
    const std::wstring sub = provider_root + name;
    const LONG r = RegDeleteKeyW(HKEY_LOCAL_MACHINE, sub.c_str());
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND ? 0 : 1;
}

int fresh_store_keys() {
    for (const wchar_t* store : {L"MY", L"ROOT", L"CA"}) {
        const std::wstring sub = std::wstring(L"Software\\Microsoft\\SystemCertificates\\") + store;
        const LONG gone = RegDeleteTreeW(HKEY_CURRENT_USER, sub.c_str());
        if (gone != ERROR_SUCCESS && gone != ERROR_FILE_NOT_FOUND) return 1;
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            return 1;
        RegCloseKey(key);
    }
    std::printf("stores MY, ROOT, CA emptied\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: standin_register [--stores] [--dll PATH] [--remove NAME]... [NAME]...\n");
        return 2;
    }
    std::wstring dll = dll_beside_me();
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--stores") {
            failures += fresh_store_keys();
        } else if (arg == "--dll" && i + 1 < argc) {
            dll = windows_path(widen(argv[++i]));
        } else if (arg == "--remove" && i + 1 < argc) {
            failures += remove_provider(widen(argv[++i]));
        } else {
            failures += register_provider(widen(argv[i]), dll);
        }
    }
    return failures ? 1 : 0;
}
