// Certificate store exports: token certificates registered in and removed
// from the current user's MY store, the token provider's own registration,
// and root or intermediate certificates in the other current-user stores.
#include "cert_store.h"

#include "SolvantaMgr.h"
#include "cert_common.h"

#include <memory>
#include <vector>

namespace mgr {

namespace {

constexpr DWORD cert_encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The token provider's private parameters: register all token
// certificates, remove them.
constexpr DWORD param_register_all = 1000;
constexpr DWORD param_remove_all = 1001;

struct store_closer {
    void operator()(void* s) const { CertCloseStore(static_cast<HCERTSTORE>(s), 0); }
};
using store_handle = std::unique_ptr<void, store_closer>;

struct cert_freer {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
using cert_handle = std::unique_ptr<const CERT_CONTEXT, cert_freer>;

HCERTSTORE open_my_system_store() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
}

// The registry store under MY: deletions through it persist (through the
// system store, a collection, they do not everywhere).
HCERTSTORE open_my_registry_store() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
}

// The certificate's key-provider property, or an empty buffer.
std::vector<BYTE> key_prov_info_of(PCCERT_CONTEXT cert) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) ||
        size < sizeof(CRYPT_KEY_PROV_INFO))
        return {};
    std::vector<BYTE> buffer(size);
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) return {};
    return buffer;
}

bool same_text(const wchar_t* a, const wchar_t* b) {
    return std::wstring(a ? a : L"") == std::wstring(b ? b : L"");
}

bool same_key_prov(const CRYPT_KEY_PROV_INFO& a, const CRYPT_KEY_PROV_INFO& b) {
    return same_text(a.pwszContainerName, b.pwszContainerName) && same_text(a.pwszProvName, b.pwszProvName) &&
           a.dwProvType == b.dwProvType && a.dwFlags == b.dwFlags && a.cProvParam == b.cProvParam &&
           a.dwKeySpec == b.dwKeySpec;
}

// Deletes the copy of cert held by the registry store under MY, and closes
// that store before returning.
void delete_registry_copy(PCCERT_CONTEXT cert) {
    store_handle registry(open_my_registry_store());
    if (!registry) return;
    if (PCCERT_CONTEXT found = CertFindCertificateInStore(registry.get(), cert_encoding, 0, CERT_FIND_EXISTING,
                                                          cert, nullptr))
        CertDeleteCertificateFromStore(found);  // frees found
}

std::wstring clipped(std::wstring text) {
    if (text.size() > max_key_prov_name) text.resize(max_key_prov_name);
    return text;
}

}  // namespace

int add_to_my_store(const std::wstring& container, const std::wstring& provider, DWORD key_spec,
                    const BYTE* der, DWORD der_length) {
    store_handle store(open_my_system_store());
    if (!store) return 2;
    if (!der || der_length == 0) return 3;
    cert_handle cert(CertCreateCertificateContext(cert_encoding, der, der_length));
    if (!cert) return 3;

    std::wstring container_name = clipped(container);
    std::wstring provider_name = clipped(provider);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = &container_name[0];
    info.pwszProvName = &provider_name[0];
    info.dwProvType = PROV_RSA_FULL;
    info.dwFlags = 0;
    info.cProvParam = 0;
    info.rgProvParam = nullptr;
    info.dwKeySpec = key_spec;

    // A copy registered before with another property is deleted first: a
    // replacing add would keep the old property on some platforms.
    cert_handle existing(
        CertFindCertificateInStore(store.get(), cert_encoding, 0, CERT_FIND_EXISTING, cert.get(), nullptr));
    if (existing) {
        const std::vector<BYTE> old = key_prov_info_of(existing.get());
        const bool same =
            !old.empty() && same_key_prov(*reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(old.data()), info);
        existing.reset();
        if (!same) {
            store.reset();
            delete_registry_copy(cert.get());
            store.reset(open_my_system_store());
            if (!store) return 2;
        }
    }

    if (!CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) return 4;
    if (!CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        return 5;
    return 0;
}

int remove_provider_from_my_store(const std::wstring& provider, unsigned* removed) {
    if (removed) *removed = 0;
    store_handle store(open_my_registry_store());
    if (!store) return 1;
    // Collected first, deleted after the enumeration: a deletion inside it
    // can make the enumeration hand the same entry back again.
    std::vector<cert_handle> doomed;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store.get(), cert)) != nullptr) {
        const std::vector<BYTE> buffer = key_prov_info_of(cert);
        if (buffer.empty()) continue;
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        if (!info->pwszProvName) continue;
        if (provider == info->pwszProvName) {
            doomed.emplace_back();
            doomed.back().reset(CertDuplicateCertificateContext(cert));
        }
    }
    for (cert_handle& c : doomed) {
        // The deletion frees the context, whether it succeeds or not.
        if (CertDeleteCertificateFromStore(c.release()) && removed) ++*removed;
    }
    return 0;
}

namespace {

// Acquires a verify-only, silent context of the named provider (of one of
// its containers when given) and sets one of its private parameters with no
// data. 0; 1 not acquired (0 when the container's key set does not exist
// and that counts as success); 2 parameter refused.
int set_provider_param(const char* provider, const char* container, DWORD param, DWORD flags,
                       bool missing_keyset_is_success) {
    if (!provider || !*provider) return 1;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, container, provider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        if (missing_keyset_is_success && GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET)) return 0;
        return 1;
    }
    const BOOL set = CryptSetProvParam(prov, param, nullptr, flags);
    CryptReleaseContext(prov, 0);
    return set ? 0 : 2;
}

}  // namespace

}  // namespace mgr

extern "C" {

int SOLVANTAMGR_CALL container_addcert_to_store(const char* container, const char* provider, unsigned long key_spec,
                                                const unsigned char* der, unsigned long der_length) {
    return mgr::guarded(5, [&]() -> int {
        return mgr::add_to_my_store(mgr::ansi_to_wide(container), mgr::ansi_to_wide(provider),
                                    static_cast<DWORD>(key_spec), der, static_cast<DWORD>(der_length));
    });
}

int SOLVANTAMGR_CALL remove_all_certs_from_store(const char* provider) {
    return mgr::guarded(1, [&]() -> int {
        return mgr::remove_provider_from_my_store(mgr::ansi_to_wide(provider));
    });
}

int SOLVANTAMGR_CALL token_add_allcerts_to_msstore(const char* provider) {
    return mgr::guarded(1, [&]() -> int {
        return mgr::set_provider_param(provider, nullptr, mgr::param_register_all, 0, false);
    });
}

int SOLVANTAMGR_CALL token_add_allcerts_to_msstore2(const char* provider, const char* reader) {
    return mgr::guarded(1, [&]() -> int {
        if (!reader) return 1;
        const std::string container = std::string("\\\\.\\") + reader + "\\";
        return mgr::set_provider_param(provider, container.c_str(), mgr::param_register_all, 1, true);
    });
}

int SOLVANTAMGR_CALL token_remove_allcerts_from_msstore(const char* provider) {
    return mgr::guarded(1, [&]() -> int {
        return mgr::set_provider_param(provider, nullptr, mgr::param_remove_all, 0, false);
    });
}

int SOLVANTAMGR_CALL helper_add_root_cert_to_store(const wchar_t* store_name, const unsigned char* der,
                                                   unsigned long der_length) {
    return mgr::guarded(ERROR_NOT_ENOUGH_MEMORY, [&]() -> int {
        if (!store_name || !*store_name) return ERROR_INVALID_PARAMETER;
        mgr::store_handle store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                              CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG,
                                              store_name));
        if (!store) return mgr::last_error_or_fail();
        if (!der || der_length == 0) return static_cast<int>(CRYPT_E_ASN1_EOD);
        mgr::cert_handle cert(CertCreateCertificateContext(mgr::cert_encoding, der, static_cast<DWORD>(der_length)));
        if (!cert) return mgr::last_error_or_fail();
        if (!CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_NEW, nullptr)) {
            const DWORD e = GetLastError();
            if (e == static_cast<DWORD>(CRYPT_E_EXISTS)) return 0;
            return e ? static_cast<int>(e) : static_cast<int>(NTE_FAIL);
        }
        return 0;
    });
}

int SOLVANTAMGR_CALL helper_find_cert_in_store(const char* store_name, const wchar_t* subject,
                                               const wchar_t* issuer) {
    return mgr::guarded(0, [&]() -> int {
        if (!store_name || !*store_name) return -1;
        // Opened as it is: a store that does not exist is not created here.
        mgr::store_handle store(CertOpenStore(
            CERT_STORE_PROV_SYSTEM_A, 0, 0,
            CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, store_name));
        if (!store) return -1;
        if (!subject || !issuer) return 0;
        constexpr DWORD name_chars = 128;
        PCCERT_CONTEXT cert = nullptr;
        while ((cert = CertEnumCertificatesInStore(store.get(), cert)) != nullptr) {
            wchar_t s[name_chars] = {};
            wchar_t i[name_chars] = {};
            if (CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, s, name_chars) == 0) continue;
            if (CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr, i,
                                   name_chars) == 0)
                continue;
            if (std::wstring(s) == subject && std::wstring(i) == issuer) {
                CertFreeCertificateContext(cert);
                return 1;
            }
        }
        return 0;
    });
}

}  // extern "C"
