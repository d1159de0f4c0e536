// A scripted SolvantaMgr.dll for the monitor's tests: the 21 exports the
// monitor imports, driven by a scenario INI file, appending each call with
// its arguments to a log. It goes beside SolvantexMon.exe (or a test
// program) in place of the real library.
//
// Environment: SOLVANTA_FAKE_MGR_SCENARIO (the scenario file),
// SOLVANTA_FAKE_MGR_LOG (the call log; one line per call).
//
// Scenario:
//   [library]  init=<rc>  find=<rc>  tokens=<n>  remove_store=<rc>
//   [token<i>] connect=<rc> info=<rc> serial= label= manufacturer= model=
//              max_pin= min_pin= initialised= reload=<rc>
//              containers=<name>|<name>|...   (or container_count=<n>: c0, c1, ...)
//              containers_rc=<rc>  containers_length=<n> (the length reported)
//              standalone=<cert>|<cert>...  standalone_rc=<rc> standalone_count=<n>
//              pin_state=<retries>,<limit>,<low>,<final>,<locked>,<to be changed>
//              pin_state_rc=<rc>  policy=<text>  policy_rc=<rc>
//              login=<rc> login_retries=<n> change_upin=<rc>
//   [container <i> <name>] cert1=<cert> cert2=<cert> bits1=<n> bits2=<n>
//   [cert <name>] subject= issuer= serial= version= not_before=Y-M-D
//                 not_after=Y-M-D ca_kind= info_rc=
//   [store] add=<rc>  add1=<rc> add2=<rc> (for one key spec; add otherwise)
// A certificate's DER is the text "CERT:<name>" (helper_get_cert_info2
// finds its section by it).
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SolvantaMgr.h"

namespace {

std::string env(const char* name) {
    char buf[2048];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

std::string get(const std::string& section, const char* key, const char* fallback = "") {
    std::string path = env("SOLVANTA_FAKE_MGR_SCENARIO");
    std::vector<char> buf(65536);
    GetPrivateProfileStringA(section.c_str(), key, fallback, buf.data(), static_cast<DWORD>(buf.size()),
                             path.c_str());
    return buf.data();
}

int num(const std::string& section, const char* key, int fallback) {
    std::string v = get(section, key, "");
    if (v.empty()) return fallback;
    return static_cast<int>(std::strtoll(v.c_str(), nullptr, 0));
}

void log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log(const char* fmt, ...) {
    std::string path = env("SOLVANTA_FAKE_MGR_LOG");
    if (path.empty()) return;
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf - 2, fmt, ap);
    va_end(ap);
    std::strcat(buf, "\n");
    HANDLE f = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD n = 0;
    WriteFile(f, buf, static_cast<DWORD>(std::strlen(buf)), &n, nullptr);
    CloseHandle(f);
}

std::string token(int index) { return "token" + std::to_string(index); }

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    if (s.empty()) return out;
    size_t pos = 0;
    for (;;) {
        size_t e = s.find(sep, pos);
        out.push_back(s.substr(pos, e == std::string::npos ? std::string::npos : e - pos));
        if (e == std::string::npos) break;
        pos = e + 1;
    }
    return out;
}

std::vector<std::string> containers_of(int index) {
    int n = num(token(index), "container_count", -1);
    if (n >= 0) {
        std::vector<std::string> v;
        for (int i = 0; i < n; ++i) v.push_back("c" + std::to_string(i));
        return v;
    }
    return split(get(token(index), "containers"), '|');
}

bool tokens_known(int index) { return index >= 0 && index < num("library", "tokens", 0); }

void copy_text(char* dst, size_t size, const std::string& s) {
    if (!dst || size == 0) return;
    std::strncpy(dst, s.c_str(), size - 1);
    dst[size - 1] = 0;
}

int put_cert(const std::string& name, unsigned char* buffer, unsigned long* length) {
    if (name.empty()) return 0x80090016;
    std::string der = "CERT:" + name;
    if (!length) return 1;
    if (!buffer) { *length = static_cast<unsigned long>(der.size()); return 0; }
    if (*length < der.size()) return 1;
    std::memcpy(buffer, der.data(), der.size());
    *length = static_cast<unsigned long>(der.size());
    return 0;
}

CertDate date(const std::string& s) {
    CertDate d = {0, 0, 0};
    std::sscanf(s.c_str(), "%d-%d-%d", &d.year, &d.month, &d.day);
    return d;
}

}  // namespace

extern "C" {

int SOLVANTAMGR_CALL init_pkcs11(const char* module_file) {
    log("init_pkcs11 module=%s", module_file ? module_file : "(null)");
    return num("library", "init", 0);
}

int SOLVANTAMGR_CALL init_pkcs11_ex(uint32_t a, uint32_t b, uint32_t c, const char* module_file) {
    log("init_pkcs11_ex %u %u %u module=%s", a, b, c, module_file ? module_file : "(null)");
    return num("library", "init", 0);
}

int SOLVANTAMGR_CALL uninit_pkcs11(void) {
    log("uninit_pkcs11");
    return 0;
}

int SOLVANTAMGR_CALL token_find(unsigned long* slot_ids, unsigned long* count) {
    unsigned long cap = count ? *count : 0;
    log("token_find capacity=%lu", cap);
    int rc = num("library", "find", 0);
    if (rc != 0) return rc;
    if (!count) return 1;
    unsigned long n = static_cast<unsigned long>(num("library", "tokens", 0));
    if (n > cap) { *count = n; return 1; }
    for (unsigned long i = 0; i < n && slot_ids; ++i) slot_ids[i] = i + 1;
    *count = n;
    return 0;
}

int SOLVANTAMGR_CALL token_connect(int index) {
    log("token_connect %d", index);
    if (!tokens_known(index)) return 1;
    return num(token(index), "connect", 0);
}

int SOLVANTAMGR_CALL token_get_info(int index, char* serial, char* label, char* manufacturer, char* model,
                                    int* max_pin, int* min_pin, int* max_pin2, int* min_pin2, int* total, int* free_mem,
                                    int* hw, int* fw, int* ext, int* initialised) {
    log("token_get_info %d", index);
    if (!tokens_known(index)) return 1;
    int rc = num(token(index), "info", 0);
    if (rc != 0) return rc;
    copy_text(serial, 17, get(token(index), "serial", "0000000000000001"));
    copy_text(label, 65, get(token(index), "label", "fake token"));
    copy_text(manufacturer, 33, get(token(index), "manufacturer", "Tarnely"));
    copy_text(model, 17, get(token(index), "model", "fake"));
    int* ints[] = {max_pin, min_pin, max_pin2, min_pin2, total, free_mem, hw, fw, ext, initialised};
    const char* keys[] = {"max_pin", "min_pin", "max_pin2", "min_pin2", "total", "free", "hw", "fw", "ext",
                          "initialised"};
    int defaults[] = {16, 6, 16, 6, 65536, 32768, 0x0100, 0x0200, 0, 1};
    for (int i = 0; i < 10; ++i)
        if (ints[i]) *ints[i] = num(token(index), keys[i], defaults[i]);
    return 0;
}

int SOLVANTAMGR_CALL token_reload_all_objects(int index) {
    log("token_reload_all_objects %d", index);
    if (!tokens_known(index)) return 1;
    return num(token(index), "reload", 0);
}

int SOLVANTAMGR_CALL container_load_all(int index, char* buffer, unsigned long* length) {
    log("container_load_all %d length=%lu", index, length ? *length : 0);
    if (!tokens_known(index) || !length) return 1;
    int rc = num(token(index), "containers_rc", 0);
    if (rc != 0) return rc;
    std::string list;
    for (const auto& c : containers_of(index)) list += c + '\0';
    list += '\0';
    if (list.size() > *length) { *length = static_cast<unsigned long>(list.size()); return 1; }
    if (buffer) std::memcpy(buffer, list.data(), list.size());
    *length = static_cast<unsigned long>(num(token(index), "containers_length", static_cast<int>(list.size())));
    return 0;
}

int SOLVANTAMGR_CALL container_get_cert(int index, const char* name, unsigned long key_spec, unsigned char* buffer,
                                        unsigned long* length) {
    log("container_get_cert %d name=%s spec=%lu length=%lu", index, name ? name : "(null)", key_spec,
        length ? *length : 0);
    if (!tokens_known(index) || !name) return 1;
    std::string section = "container " + std::to_string(index) + " " + name;
    return put_cert(get(section, key_spec == 1 ? "cert1" : "cert2"), buffer, length);
}

int SOLVANTAMGR_CALL container_get_pubkey(int index, const char* name, unsigned long key_spec, int* key_type,
                                          int* bits, unsigned char* modulus, unsigned char* exponent) {
    log("container_get_pubkey %d name=%s spec=%lu", index, name ? name : "(null)", key_spec);
    if (!tokens_known(index) || !name) return 1;
    std::string section = "container " + std::to_string(index) + " " + name;
    int b = num(section, key_spec == 1 ? "bits1" : "bits2", 0);
    if (b == 0) return 0x80090016;
    if (key_type) *key_type = 1;
    if (bits) *bits = b;
    if (modulus) std::memset(modulus, 0xA5, 256);
    if (exponent) { exponent[0] = 0; exponent[1] = 1; exponent[2] = 0; exponent[3] = 1; }
    return 0;
}

int SOLVANTAMGR_CALL helper_get_cert_info2(const unsigned char* der, unsigned long der_length, wchar_t* subject,
                                           wchar_t* issuer, int* version, char* serial, CertDate* not_before,
                                           CertDate* not_after, int* ca_kind) {
    std::string d = der ? std::string(reinterpret_cast<const char*>(der), der_length) : std::string();
    log("helper_get_cert_info2 length=%lu der=%s", der_length, d.c_str());
    if (d.compare(0, 5, "CERT:") != 0) return 0x8009002D;
    std::string section = "cert " + d.substr(5);
    int rc = num(section, "info_rc", 0);
    if (rc != 0) return rc;
    auto wide = [](wchar_t* dst, const std::string& s) {
        if (!dst) return;
        int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, dst, 256);
        dst[n > 0 ? n - 1 : 0] = 0;
    };
    wide(subject, get(section, "subject", ("CN=" + d.substr(5)).c_str()));
    wide(issuer, get(section, "issuer", "CN=Fake CA"));
    if (version) *version = num(section, "version", 3);
    copy_text(serial, 257, get(section, "serial", "01 02 03"));
    if (not_before) *not_before = date(get(section, "not_before", "2024-01-01"));
    if (not_after) *not_after = date(get(section, "not_after", "2034-01-01"));
    if (ca_kind) *ca_kind = num(section, "ca_kind", 0);
    return 0;
}

int SOLVANTAMGR_CALL container_addcert_to_store(const char* container, const char* provider, unsigned long key_spec,
                                                const unsigned char* der, unsigned long der_length) {
    std::string d = der ? std::string(reinterpret_cast<const char*>(der), der_length) : std::string();
    log("container_addcert_to_store container=%s provider=%s spec=%lu der=%s", container ? container : "(null)",
        provider ? provider : "(null)", key_spec, d.c_str());
    return num("store", key_spec == 1 ? "add1" : "add2", num("store", "add", 0));
}

int SOLVANTAMGR_CALL helper_add_root_cert_to_store(const wchar_t* store, const unsigned char* der,
                                                   unsigned long der_length) {
    char s[64] = {0};
    if (store) WideCharToMultiByte(CP_UTF8, 0, store, -1, s, sizeof s - 1, nullptr, nullptr);
    std::string d = der ? std::string(reinterpret_cast<const char*>(der), der_length) : std::string();
    log("helper_add_root_cert_to_store store=%s der=%s", s, d.c_str());
    return 0;
}

int SOLVANTAMGR_CALL token_find_standalone_certs(int index, unsigned long* handles, int* count) {
    log("token_find_standalone_certs %d count=%d", index, count ? *count : -1);
    if (!tokens_known(index) || !count) return 1;
    int rc = num(token(index), "standalone_rc", 0);
    auto certs = split(get(token(index), "standalone"), '|');
    int reported = num(token(index), "standalone_count", static_cast<int>(certs.size()));
    if (rc != 0) {
        *count = reported;
        return rc;
    }
    int cap = *count;
    for (int i = 0; i < static_cast<int>(certs.size()) && i < cap && handles; ++i)
        handles[i] = 1000 + static_cast<unsigned long>(i);
    *count = reported;
    return 0;
}

int SOLVANTAMGR_CALL token_get_cert(int index, unsigned long handle, unsigned char* buffer, unsigned long* length) {
    log("token_get_cert %d handle=%lu length=%lu", index, handle, length ? *length : 0);
    if (!tokens_known(index)) return 1;
    auto certs = split(get(token(index), "standalone"), '|');
    if (handle < 1000 || handle - 1000 >= certs.size()) return 0x80090016;
    return put_cert(certs[handle - 1000], buffer, length);
}

int SOLVANTAMGR_CALL remove_all_certs_from_store(const char* provider) {
    log("remove_all_certs_from_store provider=%s", provider ? provider : "(null)");
    return num("library", "remove_store", 0);
}

int SOLVANTAMGR_CALL token_get_pin_state(int index, unsigned long user_type, uint32_t* retries_left,
                                         uint32_t* retry_limit, int* count_low, int* final_try, int* locked,
                                         int* to_be_changed) {
    log("token_get_pin_state %d user=%lu", index, user_type);
    if (!tokens_known(index)) return 1;
    int rc = num(token(index), "pin_state_rc", 0);
    if (rc != 0) return rc;
    auto v = split(get(token(index), "pin_state", "10,10,0,0,0,0"), ',');
    while (v.size() < 6) v.push_back("0");
    if (retries_left) *retries_left = static_cast<uint32_t>(std::strtoul(v[0].c_str(), nullptr, 0));
    if (retry_limit) *retry_limit = static_cast<uint32_t>(std::strtoul(v[1].c_str(), nullptr, 0));
    int* rest[] = {count_low, final_try, locked, to_be_changed};
    for (int i = 0; i < 4; ++i)
        if (rest[i]) *rest[i] = std::atoi(v[static_cast<size_t>(i) + 2].c_str());
    return 0;
}

int SOLVANTAMGR_CALL token_login(int index, const char* pin, int* retries) {
    log("token_login %d pin=%s", index, pin ? pin : "(null)");
    if (!tokens_known(index)) return 1;
    if (retries) *retries = num(token(index), "login_retries", 9);
    return num(token(index), "login", 0);
}

int SOLVANTAMGR_CALL token_logout(int index) {
    log("token_logout %d", index);
    return tokens_known(index) ? 0 : 1;
}

int SOLVANTAMGR_CALL token_change_upin(int index, const char* old_pin, const char* new_pin) {
    log("token_change_upin %d old=%s new=%s", index, old_pin ? old_pin : "(null)", new_pin ? new_pin : "(null)");
    if (!tokens_known(index)) return 1;
    return num(token(index), "change_upin", 0);
}

int SOLVANTAMGR_CALL token_read_file(int index, const char* name, unsigned char* buffer, int* length) {
    log("token_read_file %d name=%s length=%d", index, name ? name : "(null)", length ? *length : -1);
    if (!tokens_known(index) || !length) return 1;
    int rc = num(token(index), "policy_rc", 0);
    if (rc != 0) return rc;
    std::string p = get(token(index), "policy");
    int cap = *length > 0 ? *length : 4096;
    if (static_cast<int>(p.size()) > cap) return 1;
    if (buffer) std::memcpy(buffer, p.data(), p.size());
    *length = static_cast<int>(p.size());
    return 0;
}

}  // extern "C"
