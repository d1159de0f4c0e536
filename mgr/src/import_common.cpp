#include "import_common.h"

#include <vector>

#include "cert_common.h"

namespace mgr {

namespace {

// Unloading the library drops both lists and wipes their key blobs.
cert_entry_list p7b_entries;
cert_entry_list pkcs12_entries;

bool simple_name(PCCERT_CONTEXT cert, DWORD flags, char (&field)[cert_name_size]) {
    char name[cert_name_size] = {};
    if (CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name, sizeof name) == 0)
        return false;
    name[sizeof name - 1] = '\0';
    copy_name(field, name);
    return true;
}

}  // namespace

cert_entry_list& p7b_list() { return p7b_entries; }
cert_entry_list& pkcs12_list() { return pkcs12_entries; }

int entry_names(PCCERT_CONTEXT cert, cert_entry& out) {
    if (!simple_name(cert, 0, out.subject)) return 1;
    if (!simple_name(cert, CERT_NAME_ISSUER_FLAG, out.issuer)) return 2;
    out.ca_kind = cert_ca_kind(cert);
    out.der.assign(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
    return 0;
}

int entry_from_certificate(PCCERT_CONTEXT cert, cert_entry& out) {
    const int named = entry_names(cert, out);
    if (named != 0) return named;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return 3;
    HCRYPTKEY key = 0;
    if (CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                 &cert->pCertInfo->SubjectPublicKeyInfo, &key)) {
        DWORD size = 0;
        if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size) && size != 0) {
            std::vector<std::uint8_t> blob(size);
            if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) {
                blob.resize(size);
                out.public_key.swap(blob);
            }
        }
        CryptDestroyKey(key);
    }
    CryptReleaseContext(prov, 0);
    return 0;
}

}  // namespace mgr
