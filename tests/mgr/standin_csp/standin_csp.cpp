// A stand-in for the token's cryptographic service provider, for tests.
//
// advapi32 loads it like any provider registered under
// HKLM\Software\Microsoft\Cryptography\Defaults\Provider\<name> (see
// standin_register.cpp). It keeps RSA keys and certificates per container
// in files of a folder, signs with mbed TLS, logs every call to a file and
// does what the token's provider does for its private parameters 1000
// (register the token's certificates in MY) and 1001 (remove them).
//
// It is configured through the environment of the process that loads it,
// read at every call (README.md beside this file lists the variables and
// the log's form).
#include <windows.h>
#include <wincrypt.h>

#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha1.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cert_store.h"
#include "key_blob.h"
#include "standin_csp.h"

namespace {

constexpr DWORD param_register_all = 1000;
constexpr DWORD param_remove_all = 1001;
constexpr DWORD prov_magic = 0x53504E43;  // handle tags
constexpr DWORD key_magic = 0x4B594E43;
constexpr DWORD hash_magic = 0x48534E43;

std::string env(const char* name, const char* fallback = "") {
    char buffer[2048];
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return fallback;
    return std::string(buffer, n);
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find(sep, start);
        const std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!part.empty()) out.push_back(part);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

// SOLVANTA_STANDIN_REFUSE: comma-separated parameter numbers to refuse,
// "pin" to reject every PIN, "open" to fail the opening of an existing or
// missing container as a pulled card would (new key sets still succeed).
bool refused(const std::string& what) {
    for (const std::string& item : split(env("SOLVANTA_STANDIN_REFUSE"), ','))
        if (item == what) return true;
    return false;
}

void log_line(const char* format, ...) {
    const std::string path = env("SOLVANTA_STANDIN_LOG");
    if (path.empty()) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (FILE* f = std::fopen(path.c_str(), "ab")) {
        std::fprintf(f, "%s\n", line);
        std::fclose(f);
    }
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::string hex_of(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string text_of_hex(const std::string& hex) {
    std::string out;
    auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(value(hex[i]) * 16 + value(hex[i + 1]));
    return out;
}

std::string key_folder() {
    std::string dir = env("SOLVANTA_STANDIN_DIR");
    if (dir.empty()) {
        char temp[MAX_PATH];
        const DWORD n = GetTempPathA(MAX_PATH, temp);
        dir = std::string(temp, n) + "solvanta_standin";
    }
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

// Files of a container: <folder>\<hex of name>.ctr (the container),
// .<key spec>.key (the private key, DER) and .<key spec>.cer (its certificate).
std::string container_file(const std::string& container, const char* suffix) {
    return key_folder() + "\\" + hex_of(container) + suffix;
}

std::string spec_file(const std::string& container, DWORD spec, const char* kind) {
    return container_file(container, (std::string(".") + std::to_string(spec) + "." + kind).c_str());
}

bool read_file(const std::string& path, std::vector<unsigned char>& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    unsigned char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
    std::fclose(f);
    return true;
}

bool write_file(const std::string& path, const unsigned char* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

bool file_exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int random_bytes(void*, unsigned char* out, size_t size) {
    static unsigned long long state = GetTickCount64() ^ 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        out[i] = static_cast<unsigned char>(state >> 24);
    }
    return 0;
}

// Whether a PIN was presented and accepted in this process (the token's
// provider keeps its PIN for the process, across contexts).
bool pin_ok = false;

struct provider {
    DWORD magic = prov_magic;
    std::string name;       // the name it was acquired under
    std::string reader;     // empty without a reader part
    std::string container;  // empty for a verify-only context
    bool verify_only = false;
};

struct key {
    DWORD magic = key_magic;
    provider* owner = nullptr;
    DWORD spec = AT_KEYEXCHANGE;
    std::vector<unsigned char> der;  // the private key, DER
    std::vector<unsigned char> certificate;
};

struct hash {
    DWORD magic = hash_magic;
    ALG_ID alg = CALG_SHA1;
    mbedtls_sha1_context ctx;
    bool done = false;
    unsigned char value[20] = {};
};

provider* prov_of(HCRYPTPROV h) {
    auto* p = reinterpret_cast<provider*>(h);
    return p && p->magic == prov_magic ? p : nullptr;
}
key* key_of(HCRYPTKEY h) {
    auto* k = reinterpret_cast<key*>(h);
    return k && k->magic == key_magic ? k : nullptr;
}
hash* hash_of(HCRYPTHASH h) {
    auto* x = reinterpret_cast<hash*>(h);
    return x && x->magic == hash_magic ? x : nullptr;
}

// A parsed key; false when the DER does not hold an RSA private key.
struct rsa_key {
    mbedtls_pk_context pk;
    rsa_key() { mbedtls_pk_init(&pk); }
    ~rsa_key() { mbedtls_pk_free(&pk); }
    bool parse(const std::vector<unsigned char>& der) {
        return mbedtls_pk_parse_key(&pk, der.data(), der.size(), nullptr, 0) == 0 &&
               mbedtls_pk_get_type(&pk) == MBEDTLS_PK_RSA;
    }
    mbedtls_rsa_context* rsa() { return mbedtls_pk_rsa(pk); }
};

bool copy_out(const void* data, DWORD size, BYTE* out, DWORD* length) {
    if (!length) return fail(ERROR_INVALID_PARAMETER);
    if (!out) {
        *length = size;
        return TRUE;
    }
    if (*length < size) {
        *length = size;
        return fail(ERROR_MORE_DATA);
    }
    std::memcpy(out, data, size);
    *length = size;
    return TRUE;
}

// Registers every certificate in the key folder in MY with a key-provider
// property naming this provider.
void register_all(const provider& p) {
    const std::wstring name(p.name.begin(), p.name.end());
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((key_folder() + "\\*.cer").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string file = found.cFileName;  // <hex>.<spec>.cer
        const size_t dot = file.find('.');
        if (dot == std::string::npos || dot + 2 >= file.size()) continue;
        const std::string container = text_of_hex(file.substr(0, dot));
        const DWORD spec = static_cast<DWORD>(file[dot + 1] - '0');
        std::vector<unsigned char> der;
        if (!read_file(key_folder() + "\\" + file, der)) continue;
        const int r = mgr::add_to_my_store(std::wstring(container.begin(), container.end()), name, spec,
                                           der.data(), static_cast<DWORD>(der.size()));
        log_line("register container=\"%s\" spec=%lu result=%d", container.c_str(), spec, r);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

void finish(hash* x) {
    if (!x->done) {
        mbedtls_sha1_finish_ret(&x->ctx, x->value);
        x->done = true;
    }
}

}  // namespace

extern "C" {

BOOL WINAPI CPAcquireContext(HCRYPTPROV* out, LPCSTR container_arg, DWORD flags, standin_prov_table* table) {
    const std::string given = container_arg ? container_arg : "";
    std::string name = env("SOLVANTA_STANDIN_NAME", "Solvanta Stand-in CSP");
    if (table && table->version >= 3 && table->prov_name) name = table->prov_name;
    std::string reader;
    std::string container = given;
    if (given.compare(0, 4, "\\\\.\\") == 0) {
        const size_t end = given.find('\\', 4);
        reader = given.substr(4, end == std::string::npos ? std::string::npos : end - 4);
        container = end == std::string::npos ? "" : given.substr(end + 1);
    }
    log_line("CPAcquireContext container=\"%s\" flags=0x%lx reader=\"%s\" name=\"%s\" provider=\"%s\"",
             given.c_str(), flags, reader.c_str(), container.c_str(), name.c_str());
    if (!out) return fail(ERROR_INVALID_PARAMETER);
    *out = 0;
    if (!reader.empty()) {
        bool known = false;
        for (const std::string& r : split(env("SOLVANTA_STANDIN_READERS", "Solvanta Token 00 00"), ';'))
            known = known || r == reader;
        if (!known) return fail(static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    const bool verify_only = (flags & CRYPT_VERIFYCONTEXT) != 0;
    if (flags & CRYPT_DELETEKEYSET) {
        for (const char* suffix : {".ctr", ".1.key", ".2.key", ".1.cer", ".2.cer"})
            DeleteFileA(container_file(container, suffix).c_str());
        return TRUE;
    }
    if (!verify_only && !container.empty()) {
        const bool exists = file_exists(container_file(container, ".ctr"));
        if (flags & CRYPT_NEWKEYSET) {
            if (exists) return fail(static_cast<DWORD>(NTE_EXISTS));
            if (!write_file(container_file(container, ".ctr"), reinterpret_cast<const unsigned char*>(""), 0))
                return fail(static_cast<DWORD>(NTE_FAIL));
        } else if (refused("open")) {
            return fail(static_cast<DWORD>(SCARD_W_REMOVED_CARD));
        } else if (!exists) {
            return fail(static_cast<DWORD>(NTE_BAD_KEYSET));
        }
    }
    auto* p = new provider;
    p->name = name;
    p->reader = reader;
    p->container = verify_only ? "" : container;
    p->verify_only = verify_only;
    *out = reinterpret_cast<HCRYPTPROV>(p);
    return TRUE;
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV h, DWORD flags) {
    log_line("CPReleaseContext flags=0x%lx", flags);
    provider* p = prov_of(h);
    if (!p) return fail(static_cast<DWORD>(NTE_BAD_UID));
    p->magic = 0;
    delete p;
    return TRUE;
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV h, DWORD param, const BYTE* data, DWORD flags) {
    provider* p = prov_of(h);
    log_line("CPSetProvParam param=%lu flags=0x%lx data=%s container=\"%s\"", param, flags,
             data ? "yes" : "null", p ? p->container.c_str() : "");
    if (!p) return fail(static_cast<DWORD>(NTE_BAD_UID));
    if (refused(std::to_string(param))) return fail(static_cast<DWORD>(NTE_FAIL));
    switch (param) {
    case PP_KEYEXCHANGE_PIN:
    case PP_SIGNATURE_PIN: {
        const std::string pin = data ? reinterpret_cast<const char*>(data) : "";
        pin_ok = !refused("pin") && pin == env("SOLVANTA_STANDIN_PIN", "12345678");
        log_line("pin %s", pin_ok ? "accepted" : "rejected");
        return pin_ok ? TRUE : fail(static_cast<DWORD>(SCARD_W_WRONG_CHV));
    }
    case param_register_all:
        register_all(*p);
        return TRUE;
    case param_remove_all: {
        unsigned removed = 0;
        mgr::remove_provider_from_my_store(std::wstring(p->name.begin(), p->name.end()), &removed);
        log_line("removed %u", removed);
        return TRUE;
    }
    default:
        return fail(static_cast<DWORD>(NTE_BAD_TYPE));
    }
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV h, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
    log_line("CPGetProvParam param=%lu flags=0x%lx", param, flags);
    provider* p = prov_of(h);
    if (!p) return fail(static_cast<DWORD>(NTE_BAD_UID));
    DWORD value = 0;
    switch (param) {
    case PP_NAME: return copy_out(p->name.c_str(), static_cast<DWORD>(p->name.size() + 1), data, length);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
        return copy_out(p->container.c_str(), static_cast<DWORD>(p->container.size() + 1), data, length);
    case PP_PROVTYPE: value = PROV_RSA_FULL; break;
    case PP_IMPTYPE: value = CRYPT_IMPL_MIXED; break;
    case PP_VERSION: value = 0x0200; break;
    case PP_KEYSPEC: value = AT_KEYEXCHANGE | AT_SIGNATURE; break;
    default: return fail(param == PP_ENUMALGS ? ERROR_NO_MORE_ITEMS : static_cast<DWORD>(NTE_BAD_TYPE));
    }
    return copy_out(&value, sizeof value, data, length);
}

BOOL WINAPI CPGenKey(HCRYPTPROV, ALG_ID alg, DWORD flags, HCRYPTKEY*) {
    log_line("CPGenKey algid=0x%x flags=0x%lx", alg, flags);
    return fail(static_cast<DWORD>(NTE_BAD_ALGID));
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV h, DWORD spec, HCRYPTKEY* out) {
    provider* p = prov_of(h);
    log_line("CPGetUserKey spec=%lu container=\"%s\"", spec, p ? p->container.c_str() : "");
    if (!p) return fail(static_cast<DWORD>(NTE_BAD_UID));
    if (!out) return fail(ERROR_INVALID_PARAMETER);
    auto k = std::make_unique<key>();
    k->owner = p;
    k->spec = spec;
    if (p->container.empty() || !read_file(spec_file(p->container, spec, "key"), k->der))
        return fail(static_cast<DWORD>(NTE_NO_KEY));
    read_file(spec_file(p->container, spec, "cer"), k->certificate);
    *out = reinterpret_cast<HCRYPTKEY>(k.release());
    return TRUE;
}

BOOL WINAPI CPExportKey(HCRYPTPROV, HCRYPTKEY hk, HCRYPTKEY, DWORD type, DWORD flags, BYTE* data, DWORD* length) {
    log_line("CPExportKey type=%lu flags=0x%lx", type, flags);
    key* k = key_of(hk);
    if (!k) return fail(static_cast<DWORD>(NTE_BAD_KEY));
    if (type != PUBLICKEYBLOB) return fail(static_cast<DWORD>(NTE_BAD_TYPE));
    rsa_key parsed;
    if (!parsed.parse(k->der)) return fail(static_cast<DWORD>(NTE_BAD_KEY));
    mbedtls_rsa_context* rsa = parsed.rsa();
    const size_t n_len = mbedtls_rsa_get_len(rsa);
    std::vector<unsigned char> n(n_len);
    mbedtls_mpi e;
    mbedtls_mpi_init(&e);
    mbedtls_rsa_export(rsa, nullptr, nullptr, nullptr, nullptr, &e);
    mbedtls_rsa_export_raw(rsa, n.data(), n.size(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0);
    unsigned char e_bytes[4] = {};
    mbedtls_mpi_write_binary(&e, e_bytes, sizeof e_bytes);
    mbedtls_mpi_free(&e);

    std::vector<BYTE> blob(sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + n_len);
    auto* header = reinterpret_cast<BLOBHEADER*>(blob.data());
    header->bType = PUBLICKEYBLOB;
    header->bVersion = CUR_BLOB_VERSION;
    header->reserved = 0;
    header->aiKeyAlg = k->spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    RSAPUBKEY pub{};
    pub.magic = 0x31415352;  // "RSA1"
    pub.bitlen = static_cast<DWORD>(n_len * 8);
    pub.pubexp = (DWORD(e_bytes[0]) << 24) | (DWORD(e_bytes[1]) << 16) | (DWORD(e_bytes[2]) << 8) | e_bytes[3];
    std::memcpy(blob.data() + sizeof(BLOBHEADER), &pub, sizeof pub);
    for (size_t i = 0; i < n_len; ++i) blob[sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + i] = n[n_len - 1 - i];
    return copy_out(blob.data(), static_cast<DWORD>(blob.size()), data, length);
}

BOOL WINAPI CPImportKey(HCRYPTPROV h, const BYTE* data, DWORD length, HCRYPTKEY, DWORD flags, HCRYPTKEY* out) {
    provider* p = prov_of(h);
    if (!p) return fail(static_cast<DWORD>(NTE_BAD_UID));
    if (!data || !out || length < mgr::private_blob_header) return fail(static_cast<DWORD>(NTE_BAD_DATA));
    mgr::rsa_private_parts parts;
    const int parsed = mgr::parse_private_key_blob(data, length, parts);
    log_line("CPImportKey type=%u algid=0x%x bits=%lu flags=0x%lx container=\"%s\"", data[0],
             static_cast<unsigned>(data[4] | (data[5] << 8) | (data[6] << 16) | (unsigned(data[7]) << 24)),
             static_cast<unsigned long>(data[12] | (data[13] << 8) | (data[14] << 16) | (unsigned(data[15]) << 24)),
             flags, p->container.c_str());
    if (data[0] != PRIVATEKEYBLOB || parsed != 0) return fail(static_cast<DWORD>(NTE_BAD_TYPE));

    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    std::unique_ptr<mbedtls_pk_context, void (*)(mbedtls_pk_context*)> guard(&pk, mbedtls_pk_free);
    if (mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) != 0) return fail(static_cast<DWORD>(NTE_FAIL));
    mbedtls_rsa_context* rsa = mbedtls_pk_rsa(pk);
    if (mbedtls_rsa_import_raw(rsa, parts.modulus.data(), parts.modulus.size(), parts.prime1.data(),
                               parts.prime1.size(), parts.prime2.data(), parts.prime2.size(),
                               parts.private_exponent.data(), parts.private_exponent.size(),
                               parts.public_exponent.data(), parts.public_exponent.size()) != 0 ||
        mbedtls_rsa_complete(rsa) != 0 || mbedtls_rsa_check_privkey(rsa) != 0) {
        log_line("CPImportKey rejected: inconsistent key");
        return fail(static_cast<DWORD>(NTE_BAD_DATA));
    }
    std::vector<unsigned char> buffer(8192);
    const int written = mbedtls_pk_write_key_der(&pk, buffer.data(), buffer.size());
    if (written <= 0) return fail(static_cast<DWORD>(NTE_FAIL));

    auto k = std::make_unique<key>();
    k->owner = p;
    k->spec = parts.alg_id == mgr::alg_rsa_sign ? AT_SIGNATURE : AT_KEYEXCHANGE;
    k->der.assign(buffer.end() - written, buffer.end());
    if (!p->container.empty() &&
        !write_file(spec_file(p->container, k->spec, "key"), k->der.data(), k->der.size()))
        return fail(static_cast<DWORD>(NTE_FAIL));
    *out = reinterpret_cast<HCRYPTKEY>(k.release());
    return TRUE;
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV, HCRYPTKEY hk) {
    log_line("CPDestroyKey");
    key* k = key_of(hk);
    if (!k) return fail(static_cast<DWORD>(NTE_BAD_KEY));
    k->magic = 0;
    delete k;
    return TRUE;
}

BOOL WINAPI CPSetKeyParam(HCRYPTPROV, HCRYPTKEY hk, DWORD param, const BYTE* data, DWORD flags) {
    key* k = key_of(hk);
    if (!k) {
        log_line("CPSetKeyParam param=%lu flags=0x%lx bad key", param, flags);
        return fail(static_cast<DWORD>(NTE_BAD_KEY));
    }
    if (param != KP_CERTIFICATE) {
        log_line("CPSetKeyParam param=%lu flags=0x%lx", param, flags);
        return fail(static_cast<DWORD>(NTE_BAD_TYPE));
    }
    // The certificate's length comes from its own DER header.
    size_t length = 0;
    if (data && data[0] == 0x30) {
        if (data[1] < 0x80) {
            length = 2 + data[1];
        } else if (data[1] == 0x81) {
            length = 3 + data[2];
        } else if (data[1] == 0x82) {
            length = 4 + ((size_t(data[2]) << 8) | data[3]);
        }
    }
    log_line("CPSetKeyParam param=KP_CERTIFICATE flags=0x%lx length=%zu spec=%lu", flags, length, k->spec);
    if (length == 0) return fail(static_cast<DWORD>(NTE_BAD_DATA));
    k->certificate.assign(data, data + length);
    if (k->owner && !k->owner->container.empty() &&
        !write_file(spec_file(k->owner->container, k->spec, "cer"), data, length))
        return fail(static_cast<DWORD>(NTE_FAIL));
    return TRUE;
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV, HCRYPTKEY hk, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
    log_line("CPGetKeyParam param=%lu flags=0x%lx", param, flags);
    key* k = key_of(hk);
    if (!k) return fail(static_cast<DWORD>(NTE_BAD_KEY));
    if (param == KP_CERTIFICATE) {
        if (k->certificate.empty()) return fail(static_cast<DWORD>(SCARD_E_NO_SUCH_CERTIFICATE));
        return copy_out(k->certificate.data(), static_cast<DWORD>(k->certificate.size()), data, length);
    }
    DWORD value = 0;
    if (param == KP_ALGID) {
        value = k->spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    } else if (param == KP_KEYLEN || param == KP_BLOCKLEN) {
        rsa_key parsed;
        if (!parsed.parse(k->der)) return fail(static_cast<DWORD>(NTE_BAD_KEY));
        value = static_cast<DWORD>(mbedtls_rsa_get_len(parsed.rsa()) * 8);
    } else {
        return fail(static_cast<DWORD>(NTE_BAD_TYPE));
    }
    return copy_out(&value, sizeof value, data, length);
}

BOOL WINAPI CPGenRandom(HCRYPTPROV, DWORD length, BYTE* out) {
    log_line("CPGenRandom length=%lu", length);
    if (!out) return fail(ERROR_INVALID_PARAMETER);
    random_bytes(nullptr, out, length);
    return TRUE;
}

BOOL WINAPI CPCreateHash(HCRYPTPROV, ALG_ID alg, HCRYPTKEY, DWORD flags, HCRYPTHASH* out) {
    log_line("CPCreateHash algid=0x%x flags=0x%lx", alg, flags);
    if (!out) return fail(ERROR_INVALID_PARAMETER);
    if (alg != CALG_SHA1) return fail(static_cast<DWORD>(NTE_BAD_ALGID));
    auto* x = new hash;
    mbedtls_sha1_init(&x->ctx);
    mbedtls_sha1_starts_ret(&x->ctx);
    *out = reinterpret_cast<HCRYPTHASH>(x);
    return TRUE;
}

BOOL WINAPI CPHashData(HCRYPTPROV, HCRYPTHASH hh, const BYTE* data, DWORD length, DWORD flags) {
    log_line("CPHashData length=%lu flags=0x%lx", length, flags);
    hash* x = hash_of(hh);
    if (!x) return fail(static_cast<DWORD>(NTE_BAD_HASH));
    if (x->done) return fail(static_cast<DWORD>(NTE_BAD_HASH_STATE));
    if (length && !data) return fail(ERROR_INVALID_PARAMETER);
    mbedtls_sha1_update_ret(&x->ctx, data, length);
    return TRUE;
}

BOOL WINAPI CPHashSessionKey(HCRYPTPROV, HCRYPTHASH, HCRYPTKEY, DWORD) {
    log_line("CPHashSessionKey");
    return fail(static_cast<DWORD>(NTE_BAD_KEY));
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV, HCRYPTHASH hh, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
    log_line("CPGetHashParam param=%lu flags=0x%lx", param, flags);
    hash* x = hash_of(hh);
    if (!x) return fail(static_cast<DWORD>(NTE_BAD_HASH));
    DWORD value = 0;
    switch (param) {
    case HP_ALGID: value = x->alg; break;
    case HP_HASHSIZE: value = sizeof x->value; break;
    case HP_HASHVAL: finish(x); return copy_out(x->value, sizeof x->value, data, length);
    default: return fail(static_cast<DWORD>(NTE_BAD_TYPE));
    }
    return copy_out(&value, sizeof value, data, length);
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV, HCRYPTHASH hh, DWORD param, const BYTE* data, DWORD flags) {
    log_line("CPSetHashParam param=%lu flags=0x%lx", param, flags);
    hash* x = hash_of(hh);
    if (!x) return fail(static_cast<DWORD>(NTE_BAD_HASH));
    if (param != HP_HASHVAL || !data) return fail(static_cast<DWORD>(NTE_BAD_TYPE));
    std::memcpy(x->value, data, sizeof x->value);
    x->done = true;
    return TRUE;
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV, HCRYPTHASH hh) {
    log_line("CPDestroyHash");
    hash* x = hash_of(hh);
    if (!x) return fail(static_cast<DWORD>(NTE_BAD_HASH));
    mbedtls_sha1_free(&x->ctx);
    x->magic = 0;
    delete x;
    return TRUE;
}

// RSA PKCS #1 v1.5 over the SHA-1 value; the signature comes out
// little-endian, as CryptoAPI hands signatures around.
BOOL WINAPI CPSignHash(HCRYPTPROV h, HCRYPTHASH hh, DWORD spec, LPCWSTR, DWORD flags, BYTE* out, DWORD* length) {
    provider* p = prov_of(h);
    log_line("CPSignHash spec=%lu flags=0x%lx size_query=%d container=\"%s\"", spec, flags, out ? 0 : 1,
             p ? p->container.c_str() : "");
    hash* x = hash_of(hh);
    if (!p) return fail(static_cast<DWORD>(NTE_BAD_UID));
    if (!x) return fail(static_cast<DWORD>(NTE_BAD_HASH));
    if (!length) return fail(ERROR_INVALID_PARAMETER);
    std::vector<unsigned char> der;
    if (p->container.empty() || !read_file(spec_file(p->container, spec, "key"), der))
        return fail(static_cast<DWORD>(NTE_NO_KEY));
    rsa_key parsed;
    if (!parsed.parse(der)) return fail(static_cast<DWORD>(NTE_BAD_KEY));
    const size_t size = mbedtls_rsa_get_len(parsed.rsa());
    if (!out) {
        *length = static_cast<DWORD>(size);
        return TRUE;
    }
    if (*length < size) {
        *length = static_cast<DWORD>(size);
        return fail(ERROR_MORE_DATA);
    }
    if (!pin_ok) return fail(static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED));
    finish(x);
    std::vector<unsigned char> signature(size);
    if (mbedtls_rsa_pkcs1_sign(parsed.rsa(), random_bytes, nullptr, MBEDTLS_RSA_PRIVATE, MBEDTLS_MD_SHA1, 20,
                               x->value, signature.data()) != 0)
        return fail(static_cast<DWORD>(NTE_FAIL));
    for (size_t i = 0; i < size; ++i) out[i] = signature[size - 1 - i];
    *length = static_cast<DWORD>(size);
    return TRUE;
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR, DWORD) {
    log_line("CPVerifySignature");
    return fail(static_cast<DWORD>(NTE_BAD_SIGNATURE));
}

BOOL WINAPI CPEncrypt(HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*, DWORD) {
    log_line("CPEncrypt");
    return fail(static_cast<DWORD>(NTE_BAD_KEY));
}

BOOL WINAPI CPDecrypt(HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*) {
    log_line("CPDecrypt");
    return fail(static_cast<DWORD>(NTE_BAD_KEY));
}

BOOL WINAPI CPDeriveKey(HCRYPTPROV, ALG_ID alg, HCRYPTHASH, DWORD, HCRYPTKEY*) {
    log_line("CPDeriveKey algid=0x%x", alg);
    return fail(static_cast<DWORD>(NTE_BAD_ALGID));
}

}  // extern "C"
