// P7B (PKCS #7) files: their certificates listed, then stored one by one
// outside containers.
#include "SolvantaMgr.h"
#include "cert_files.h"
#include "import_common.h"
#include "objects_internal.h"

extern "C" {

int SOLVANTAMGR_CALL p7b_file_parse(const char* path, int* count) {
    // Out of memory half way: the list is emptied as for any failure.
    const int result = mgr::guarded(-1, [&]() -> int {
        mgr::cert_entry_list& list = mgr::p7b_list();
        // A failed parse leaves nothing of an earlier file to import.
        list.clear();
        if (count != nullptr) *count = 0;
        std::vector<std::uint8_t> bytes;
        std::size_t length = 0;
        if (mgr::read_whole_file(path, mgr::file_spare, bytes, &length) != 0) return 2;
        if (mgr::pem_decode(bytes.data(), length, list.file()) != 0) {
            list.clear();
            return 2;
        }
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(list.file().size()), list.file().data()};
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, &blob);
        if (store == nullptr) {
            list.clear();
            return 3;
        }
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
             c = CertEnumCertificatesInStore(store, c)) {
            if (list.count() >= static_cast<int>(mgr::max_cert_entries)) {
                CertFreeCertificateContext(c);
                break;
            }
            mgr::cert_entry e;
            if (mgr::entry_from_certificate(c, e) == 0) list.add(std::move(e));
        }
        CertCloseStore(store, 0);
        if (count != nullptr) *count = list.count();
        return 0;
    });
    if (result != -1) return result;
    mgr::p7b_list().clear();
    if (count != nullptr) *count = 0;
    return 2;
}

int SOLVANTAMGR_CALL p7b_file_get_certinfo(int entry, char* subject, char* issuer, int* ca_kind) {
    return mgr::guarded(2, [&]() -> int {
        return mgr::p7b_list().info(entry, subject, issuer, ca_kind);
    });
}

int SOLVANTAMGR_CALL p7b_import_certificate(int index, int entry) {
    return mgr::guarded(3, [&]() -> int {
        mgr::token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        const mgr::cert_entry* e = mgr::p7b_list().at(entry);
        if (e == nullptr) return 2;
        return mgr::store_standalone_certificate(t, e->der.data(), e->der.size()) == 0 ? 0 : 3;
    });
}

}  // extern "C"
