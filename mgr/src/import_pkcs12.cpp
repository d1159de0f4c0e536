// PKCS #12 files: their certificates listed with the end entities' private
// keys, then imported into a container of the token (key pair, then
// certificate) or into the token's cryptographic service provider.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "SolvantaMgr.h"
#include "cert_common.h"
#include "cert_files.h"
#include "import_common.h"
#include "key_blob.h"
#include "objects_internal.h"

namespace {

// The private key of an end entity as a checked PRIVATEKEYBLOB. A key spec
// that is neither 1 nor 2 (the platform may record another) tries the
// exchange key, then the signature key. False when none can be exported
// or the blob cannot be used.
bool export_private_key(PCCERT_CONTEXT cert, mgr::cert_entry& out) {
    HCRYPTPROV prov = 0;
    DWORD spec = 0;
    BOOL must_free = FALSE;
    if (!CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &prov, &spec, &must_free))
        return false;
    std::vector<DWORD> specs;
    if (spec == AT_KEYEXCHANGE || spec == AT_SIGNATURE) specs.push_back(spec);
    else specs = {AT_KEYEXCHANGE, AT_SIGNATURE};
    bool done = false;
    for (DWORD s : specs) {
        HCRYPTKEY key = 0;
        if (!CryptGetUserKey(prov, s, &key)) continue;
        DWORD size = 0;
        std::vector<std::uint8_t> blob;
        if (CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &size) && size != 0) {
            blob.resize(size);
            if (!CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &size)) mgr::wipe(blob);
            else blob.resize(size);
        }
        CryptDestroyKey(key);
        if (blob.empty()) continue;
        if (mgr::check_private_key_blob(blob.data(), blob.size()) == mgr::blob_check::dropped) {
            mgr::wipe(blob);
            continue;
        }
        out.private_key.swap(blob);
        out.key_spec = s;
        done = true;
        break;
    }
    if (must_free) CryptReleaseContext(prov, 0);
    return done;
}

// The key container the platform made for the file's keys, by the
// provider information on a certificate.
struct key_set {
    std::wstring container, provider;
    DWORD type = 0, flags = 0;
    bool operator==(const key_set& o) const {
        return container == o.container && provider == o.provider && type == o.type && flags == o.flags;
    }
};

bool key_set_of(PCCERT_CONTEXT cert, key_set& out) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0)
        return false;
    std::vector<std::uint8_t> bytes(size);
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, bytes.data(), &size)) return false;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data());
    if (info->pwszContainerName == nullptr) return false;
    out.container = info->pwszContainerName;
    out.provider = info->pwszProvName != nullptr ? info->pwszProvName : L"";
    out.type = info->dwProvType;
    out.flags = info->dwFlags & CRYPT_MACHINE_KEYSET;
    return true;
}

void delete_key_sets(const std::vector<key_set>& sets) {
    for (const key_set& k : sets) {
        HCRYPTPROV unused = 0;
        (void)CryptAcquireContextW(&unused, k.container.c_str(), k.provider.empty() ? nullptr : k.provider.c_str(),
                                   k.type, CRYPT_DELETEKEYSET | k.flags);
    }
}

}  // namespace

extern "C" {

int SOLVANTAMGR_CALL pkcs12_file_parse(const char* path, const char* password, int* count) {
    // Out of memory half way: the list is emptied as for any failure.
    const int result = mgr::guarded(-1, [&]() -> int {
        mgr::cert_entry_list& list = mgr::pkcs12_list();
        // A failed parse leaves nothing of an earlier file to import.
        list.clear();
        if (count != nullptr) *count = 0;
        std::size_t length = 0;
        if (mgr::read_whole_file(path, 0, list.file(), &length) != 0 || length == 0) {
            list.clear();
            return 1;
        }
        std::wstring secret = mgr::ansi_to_wide(password);
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(length), list.file().data()};
        HCERTSTORE store = PFXImportCertStore(&blob, secret.c_str(), CRYPT_EXPORTABLE);
        if (store == nullptr && secret.empty()) store = PFXImportCertStore(&blob, nullptr, CRYPT_EXPORTABLE);
        if (!secret.empty()) SecureZeroMemory(&secret[0], secret.size() * sizeof(wchar_t));
        if (store == nullptr) {
            list.clear();
            return 2;
        }
        std::vector<PCCERT_CONTEXT> seen;
        std::vector<key_set> sets;
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
             c = CertEnumCertificatesInStore(store, c)) {
            seen.push_back(CertDuplicateCertificateContext(c));
            key_set k;
            if (key_set_of(c, k)) {
                bool known = false;
                for (const key_set& s : sets) known = known || s == k;
                if (!known) sets.push_back(k);
            }
            if (list.count() >= static_cast<int>(mgr::max_cert_entries)) continue;
            mgr::cert_entry e;
            if (mgr::entry_names(c, e) != 0) continue;
            if (e.ca_kind == 0 && !export_private_key(c, e)) continue;
            list.add(std::move(e));
        }
        // The keys the platform kept for the file go, and so do the
        // certificates of its store (collected first: deleting while
        // enumerating may never end).
        delete_key_sets(sets);
        for (PCCERT_CONTEXT c : seen) CertDeleteCertificateFromStore(c);
        CertCloseStore(store, 0);
        if (count != nullptr) *count = list.count();
        return 0;
    });
    if (result != -1) return result;
    mgr::pkcs12_list().clear();
    if (count != nullptr) *count = 0;
    return 2;
}

int SOLVANTAMGR_CALL pkcs12_file_get_certinfo(int entry, char* subject, char* issuer, int* ca_kind) {
    return mgr::guarded(2, [&]() -> int {
        return mgr::pkcs12_list().info(entry, subject, issuer, ca_kind);
    });
}

int SOLVANTAMGR_CALL pkcs12_import_certificate(int index, const char* container, unsigned long key_spec,
                                               int entry) {
    return mgr::guarded(3, [&]() -> int {
        mgr::token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        const mgr::cert_entry* e = mgr::pkcs12_list().at(entry);
        if (e == nullptr) return 2;
        // A CA goes outside containers, whatever container is named.
        if (e->ca_kind != 0) return mgr::store_standalone_certificate(t, e->der.data(), e->der.size()) == 0 ? 0 : 2;
        if (container == nullptr) return 3;
        CK_ULONG spec = 0;
        if (mgr::import_key_pair(t, container, key_spec, e->private_key.data(), e->private_key.size(), &spec) != 0)
            return 3;
        if (mgr::store_container_certificate(t, container, spec, e->der.data(), e->der.size()) != 0) return 4;
        return 0;
    });
}

int SOLVANTAMGR_CALL pkcs12_import_certificate_csp(const char* provider, const char* pin, const char* container,
                                                   unsigned long key_spec, int entry) {
    return mgr::guarded(static_cast<int>(NTE_NO_MEMORY), [&]() -> int {
        const mgr::cert_entry* e = mgr::pkcs12_list().at(entry);
        if (e == nullptr || e->private_key.size() < mgr::private_blob_header) return 1;
        HCRYPTPROV verify = 0;
        if (!CryptAcquireContextA(&verify, nullptr, provider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
            return mgr::last_error_or_fail();
        int result = 0;
        const char* secret = pin != nullptr ? pin : "";
        if (!CryptSetProvParam(verify, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(secret), 0)) {
            result = mgr::last_error_or_fail();
            CryptReleaseContext(verify, 0);
            return result;
        }
        // The container is made only when it does not exist; any other
        // failure to open it is reported as it is.
        HCRYPTPROV keys = 0;
        if (!CryptAcquireContextA(&keys, container, provider, PROV_RSA_FULL, CRYPT_SILENT)) {
            result = mgr::last_error_or_fail();
            if (result == static_cast<int>(NTE_BAD_KEYSET))
                result = CryptAcquireContextA(&keys, container, provider, PROV_RSA_FULL,
                                              CRYPT_NEWKEYSET | CRYPT_SILENT)
                             ? 0
                             : mgr::last_error_or_fail();
            if (result != 0) {
                CryptReleaseContext(verify, 0);
                return result;
            }
        }
        std::vector<std::uint8_t> blob(e->private_key);
        const std::uint32_t alg = key_spec == 2 ? mgr::alg_rsa_sign : mgr::alg_rsa_keyx;
        std::memcpy(blob.data() + 4, &alg, sizeof alg);
        HCRYPTKEY key = 0;
        if (!CryptImportKey(keys, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key)) {
            result = mgr::last_error_or_fail();
        } else {
            if (!CryptSetKeyParam(key, KP_CERTIFICATE, const_cast<BYTE*>(e->der.data()), 0))
                result = mgr::last_error_or_fail();
            CryptDestroyKey(key);
        }
        mgr::wipe(blob);
        CryptReleaseContext(keys, 0);
        CryptReleaseContext(verify, 0);
        return result;
    });
}

}  // extern "C"
