// What the certificate store tests, their helper program and the store
// benchmark share: the test folders, fixture files, the MY store as the
// tests look at it, and second processes (started and waited for, no
// threads).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace store_test {

constexpr DWORD cert_encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr const char* token_provider = "Tarnely Zervik N8Dex CSP V1.1";
constexpr const char* base_provider = "Microsoft Base Smart Card Crypto Provider";

inline std::string env(const char* name) {
    char buffer[1024];
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

// A Unix path as the Z: drive path Wine maps it to; a Windows path as is.
inline std::string windows_path(std::string path) {
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
        for (char& c : path)
            if (c == '/') c = '\\';
    }
    return path;
}

// SOLVANTA_STORE_FIXTURES: the certificates and keys store_fixtures.py made.
inline std::string fixture_path(const std::string& file) {
    return windows_path(env("SOLVANTA_STORE_FIXTURES")) + "\\" + file;
}

// SOLVANTA_STORE_OUT: where the tests leave what they produce.
inline std::string out_path(const std::string& file) {
    const std::string dir = windows_path(env("SOLVANTA_STORE_OUT"));
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir + "\\" + file;
}

inline std::vector<unsigned char> read_bytes(const std::string& path) {
    std::vector<unsigned char> out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        unsigned char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
        std::fclose(f);
    }
    return out;
}

inline bool write_bytes(const std::string& path, const void* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

inline HCERTSTORE open_my_registry() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
}

// How many MY entries hold this certificate.
inline int count_in_my(const std::vector<unsigned char>& der) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY");
    if (!store) return -1;
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(cert_encoding, der.data(), static_cast<DWORD>(der.size()));
    int n = 0;
    PCCERT_CONTEXT c = nullptr;
    while (wanted && (c = CertEnumCertificatesInStore(store, c)) != nullptr)
        if (CertCompareCertificate(cert_encoding, c->pCertInfo, wanted->pCertInfo)) ++n;
    if (wanted) CertFreeCertificateContext(wanted);
    CertCloseStore(store, 0);
    return n;
}

// The key-provider property of the MY entry holding this certificate.
struct key_prov {
    bool found = false;     // the entry exists
    bool has_prop = false;  // and carries the property
    std::wstring container, provider;
    DWORD type = 0, flags = 0, spec = 0, params = 0;
};

// The key-provider property of a certificate context (found: c is one).
inline key_prov key_prov_of(PCCERT_CONTEXT c) {
    key_prov out;
    if (!c) return out;
    out.found = true;
    DWORD size = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        std::vector<BYTE> buffer(size);
        if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) {
            const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
            out.has_prop = true;
            out.container = info->pwszContainerName ? info->pwszContainerName : L"";
            out.provider = info->pwszProvName ? info->pwszProvName : L"";
            out.type = info->dwProvType;
            out.flags = info->dwFlags;
            out.spec = info->dwKeySpec;
            out.params = info->cProvParam;
        }
    }
    return out;
}

inline key_prov key_prov_in_my(const std::vector<unsigned char>& der) {
    key_prov out;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY");
    if (!store) return out;
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(cert_encoding, der.data(), static_cast<DWORD>(der.size()));
    PCCERT_CONTEXT found =
        wanted ? CertFindCertificateInStore(store, cert_encoding, 0, CERT_FIND_EXISTING, wanted, nullptr) : nullptr;
    if (found) {
        out = key_prov_of(found);
        CertFreeCertificateContext(found);
    }
    if (wanted) CertFreeCertificateContext(wanted);
    CertCloseStore(store, 0);
    return out;
}

// Empties MY (through the registry store: collected, then deleted).
inline void empty_my() {
    HCERTSTORE store = open_my_registry();
    if (!store) return;
    std::vector<PCCERT_CONTEXT> all;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) all.push_back(CertDuplicateCertificateContext(c));
    for (PCCERT_CONTEXT x : all) CertDeleteCertificateFromStore(x);
    CertCloseStore(store, 0);
}

// Runs a program beside this one with a command line and waits for its end
// (bounded): its exit status, or -1 when it did not start or end in time.
inline std::string program_beside_me(const std::string& name) {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1) + name;
}

struct process {
    PROCESS_INFORMATION info{};
    bool started = false;
    explicit process(const std::string& command_line) {
        STARTUPINFOA si{};
        si.cb = sizeof si;
        std::string line = command_line;
        started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &info) != 0;
    }
    // Its exit status, or -1 when it did not end within the time (it is
    // ended then).
    int wait(DWORD milliseconds = 300000) {
        if (!started) return -1;
        if (WaitForSingleObject(info.hProcess, milliseconds) != WAIT_OBJECT_0) {
            TerminateProcess(info.hProcess, 99);
            WaitForSingleObject(info.hProcess, 10000);
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        return static_cast<int>(code);
    }
    ~process() {
        if (started) {
            wait();
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
    }
    process(const process&) = delete;
    process& operator=(const process&) = delete;
};

inline int run_helper(const std::string& args) {
    process p("\"" + program_beside_me("mgr_store_helper.exe") + "\" " + args);
    return p.wait();
}

}  // namespace store_test
