// The Windows program of the demo (scripts/demo.sh) and of the road test of
// the installed folder (tests/product/road_test.py); never installed.
//
//   solvanta_demo_tool import FILE.p12 PASSWORD CONTAINER USER_PIN
//       binds SolvantaMgr.dll to the module beside it, logs in to the first
//       token, parses the PKCS #12 file and imports its end entity (key pair
//       and certificate) into CONTAINER as an exchange pair and its CA
//       certificates outside containers; then lists the token's containers.
//   solvanta_demo_tool store
//       lists the current user's MY store: subject, key provider, container.
//   solvanta_demo_tool keyprov SUBJECT
//       finds the MY certificate whose subject holds SUBJECT, follows its
//       key-provider property (provider, container, key spec) into that
//       provider and compares the public key it reaches there with the
//       certificate's; status 0 only when they are the same key.
//
// Every line it prints is "key: value"; exit status 0 when all went well.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "SolvantaMgr.h"
#include "store_support.h"

namespace {

constexpr const char* module_file = "solvantex_pkcs11.dll";

std::string utf8(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

int fail(const char* what, int rc) {
    std::printf("error: %s returned %d\n", what, rc);
    return 1;
}

int import_p12(const char* path, const char* password, const char* container, const char* pin) {
    int rc = init_pkcs11(module_file);
    if (rc != 0) return fail("init_pkcs11", rc);
    int status = 1;
    unsigned long slots[8];
    unsigned long count = 8;
    int retries = -1;
    int entries = 0;
    rc = token_find(slots, &count);
    if (rc != 0 || count == 0) {
        std::printf("error: token_find returned %d with %lu tokens\n", rc, count);
    } else if ((rc = token_connect(0)) != 0) {
        fail("token_connect", rc);
    } else if ((rc = token_login(0, pin, &retries)) != 0) {
        std::printf("error: token_login returned %d (retries left %d)\n", rc, retries);
    } else if ((rc = pkcs12_file_parse(path, password, &entries)) != 0) {
        fail("pkcs12_file_parse", rc);
    } else {
        std::printf("tokens: %lu\n", count);
        std::printf("entries: %d\n", entries);
        status = 0;
        for (int i = 0; i < entries && status == 0; ++i) {
            char subject[260] = {};
            char issuer[260] = {};
            int ca_kind = -1;
            rc = pkcs12_file_get_certinfo(i, subject, issuer, &ca_kind);
            if (rc != 0) {
                status = fail("pkcs12_file_get_certinfo", rc);
                break;
            }
            // An end entity goes into the container; a CA outside it.
            rc = pkcs12_import_certificate(0, container, AT_KEYEXCHANGE, i);
            std::printf("entry: %s | %s | %s\n", subject, ca_kind == 0 ? "end entity" : "CA",
                        rc == 0 ? (ca_kind == 0 ? "imported into the container" : "imported outside containers")
                                : "import failed");
            if (rc != 0) status = fail("pkcs12_import_certificate", rc);
        }
        char names[512] = {};
        unsigned long length = sizeof names;
        rc = container_load_all(0, names, &length);
        if (rc != 0) {
            status = fail("container_load_all", rc);
        } else {
            for (unsigned long at = 0; at < length;) {
                const std::string name(names + at);
                if (name.empty()) break;
                unsigned long cert_length = 0;
                const int cert_rc = container_get_cert(0, name.c_str(), AT_KEYEXCHANGE, nullptr, &cert_length);
                if (cert_rc == 0 && cert_length > 0)
                    std::printf("container: %s | exchange certificate, %lu bytes\n", name.c_str(), cert_length);
                else
                    std::printf("container: %s | no exchange certificate\n", name.c_str());
                at += static_cast<unsigned long>(name.size()) + 1;
            }
        }
    }
    (void)token_logout(0);
    (void)token_disconnect(0);
    (void)uninit_pkcs11();
    return status;
}

int list_store() {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY");
    if (store == nullptr) return fail("CertOpenStore", static_cast<int>(GetLastError()));
    int n = 0;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        ++n;
        wchar_t subject[256] = {};
        CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
        const store_test::key_prov k = store_test::key_prov_of(cert);
        const std::string provider = k.has_prop ? utf8(k.provider.c_str()) : "-";
        const std::string container = k.has_prop ? utf8(k.container.c_str()) : "-";
        std::printf("certificate: %s | provider %s | container %s\n", utf8(subject).c_str(), provider.c_str(),
                    container.c_str());
    }
    std::printf("certificates: %d\n", n);
    CertCloseStore(store, 0);
    return 0;
}

// The modulus and exponent of a PUBLICKEYBLOB, without the blob header (its
// algorithm id says exchange or signature, which the certificate cannot).
std::vector<unsigned char> rsa_public_part(const std::vector<unsigned char>& blob) {
    if (blob.size() <= sizeof(BLOBHEADER)) return {};
    return std::vector<unsigned char>(blob.begin() + sizeof(BLOBHEADER), blob.end());
}

int follow_key_provider(const char* subject_part) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY");
    if (store == nullptr) return fail("CertOpenStore", static_cast<int>(GetLastError()));
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        wchar_t subject[256] = {};
        CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
        if (utf8(subject).find(subject_part) != std::string::npos) {
            std::printf("certificate: %s\n", utf8(subject).c_str());
            break;
        }
    }
    int status = 1;
    const store_test::key_prov k = store_test::key_prov_of(cert);
    if (cert == nullptr)
        std::printf("error: no certificate in MY with \"%s\" in its subject\n", subject_part);
    else if (!k.has_prop)
        std::printf("error: the certificate has no key-provider property (0x%08lx)\n", GetLastError());
    if (k.has_prop) {
        std::printf("provider: %s\n", utf8(k.provider.c_str()).c_str());
        std::printf("container: %s\n", utf8(k.container.c_str()).c_str());
        std::printf("key spec: %lu\n", k.spec);
        std::printf("provider type: %lu\n", k.type);
        HCRYPTPROV prov = 0;
        HCRYPTKEY key = 0;
        std::vector<unsigned char> reached;
        if (!CryptAcquireContextW(&prov, k.container.c_str(), k.provider.c_str(), k.type, CRYPT_SILENT)) {
            std::printf("error: CryptAcquireContextW returned 0x%08lx\n", GetLastError());
        } else if (!CryptGetUserKey(prov, k.spec, &key)) {
            std::printf("error: CryptGetUserKey returned 0x%08lx\n", GetLastError());
        } else {
            DWORD length = 0;
            if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &length) && length > 0) {
                reached.resize(length);
                if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, reached.data(), &length)) reached.clear();
                else reached.resize(length);
            }
            if (reached.empty()) std::printf("error: CryptExportKey returned 0x%08lx\n", GetLastError());
        }
        if (key != 0) CryptDestroyKey(key);
        if (prov != 0) CryptReleaseContext(prov, 0);
        // The certificate's own key as a PUBLICKEYBLOB.
        const CRYPT_BIT_BLOB& pk = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
        std::vector<unsigned char> own;
        DWORD length = 0;
        if (CryptDecodeObjectEx(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, pk.pbData, pk.cbData, 0, nullptr, nullptr,
                                &length) && length > 0) {
            own.resize(length);
            if (!CryptDecodeObjectEx(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, pk.pbData, pk.cbData, 0, nullptr,
                                     own.data(), &length))
                own.clear();
            else
                own.resize(length);
        }
        if (own.size() < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY)) {
            std::printf("error: the certificate's public key cannot be decoded (0x%08lx)\n", GetLastError());
        } else if (!reached.empty()) {
            const bool same = rsa_public_part(reached) == rsa_public_part(own);
            std::printf("public key: %s (%lu bits)\n", same ? "the certificate's" : "not the certificate's",
                        reinterpret_cast<const RSAPUBKEY*>(own.data() + sizeof(BLOBHEADER))->bitlen);
            if (same) status = 0;
        }
    }
    if (cert != nullptr) CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::string(argv[1]) == "import") return import_p12(argv[2], argv[3], argv[4], argv[5]);
    if (argc == 2 && std::string(argv[1]) == "store") return list_store();
    if (argc == 3 && std::string(argv[1]) == "keyprov") return follow_key_provider(argv[2]);
    std::fprintf(stderr, "usage: %s import FILE.p12 PASSWORD CONTAINER USER_PIN | store | keyprov SUBJECT\n",
                 argv[0]);
    return 2;
}
