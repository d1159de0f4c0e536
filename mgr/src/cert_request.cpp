// PKCS #10 certificate requests signed by the token's provider.
#include "SolvantaMgr.h"
#include "cert_common.h"
#include "cert_text.h"

#include <mbedtls/base64.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace mgr {

namespace {

struct local_freer {
    void operator()(void* p) const { LocalFree(p); }
};
template <typename T>
using local_ptr = std::unique_ptr<T, local_freer>;

struct provider_releaser {
    HCRYPTPROV prov = 0;
    ~provider_releaser() {
        if (prov) CryptReleaseContext(prov, 0);
    }
};

// The subject as an encoded name whose relative names run in the reverse
// of the string's order (the last one written first in DER), as requests
// carry them: encoded, decoded, reversed, encoded again, so that it does not
// rest on the encoder honouring a reverse flag. 0; 1 size, 2 memory,
// 3 encoding.
int encode_subject(const char* subject, std::vector<BYTE>& out) {
    if (!subject) return 1;
    const std::wstring text = ansi_to_wide(subject);
    DWORD size = 0;
    if (!CertStrToNameW(X509_ASN_ENCODING, text.c_str(), CERT_X500_NAME_STR, nullptr, nullptr, &size, nullptr))
        return 1;
    std::vector<BYTE> forward;
    try {
        forward.resize(size);
    } catch (...) {
        return 2;
    }
    if (!CertStrToNameW(X509_ASN_ENCODING, text.c_str(), CERT_X500_NAME_STR, nullptr, forward.data(), &size,
                        nullptr))
        return 3;
    CERT_NAME_INFO* name = nullptr;
    DWORD name_size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_NAME, forward.data(), size, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             &name, &name_size))
        return 3;
    local_ptr<CERT_NAME_INFO> name_owner(name);
    std::reverse(name->rgRDN, name->rgRDN + name->cRDN);
    BYTE* encoded = nullptr;
    DWORD encoded_size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_NAME, name, CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded,
                             &encoded_size))
        return 3;
    local_ptr<BYTE> encoded_owner(encoded);
    out.assign(encoded, encoded + encoded_size);
    return 0;
}

int gen_csr(const char* pin, const char* container, unsigned long key_spec, const char* provider,
            const char* subject, char* base64, int* length) {
    if (!length) return 11;  // nowhere to say how long the request is

    // 1. The subject.
    std::vector<BYTE> name;
    if (const int r = mgr::encode_subject(subject, name)) return r;

    // 2. The container; 3. the PIN.
    if (!provider || !*provider) return 4;
    mgr::provider_releaser prov;
    if (!CryptAcquireContextA(&prov.prov, container, provider, PROV_RSA_FULL, CRYPT_SILENT)) return 4;
    if (!pin || !CryptSetProvParam(prov.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin), 0)) return 5;

    // 4. The public key of the key spec.
    const DWORD spec = static_cast<DWORD>(key_spec);
    DWORD key_size = 0;
    if (!CryptExportPublicKeyInfo(prov.prov, spec, X509_ASN_ENCODING, nullptr, &key_size)) return 5;
    std::vector<BYTE> key_buffer;
    try {
        key_buffer.resize(key_size);
    } catch (...) {
        return 6;
    }
    auto* key_info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(key_buffer.data());
    if (!CryptExportPublicKeyInfo(prov.prov, spec, X509_ASN_ENCODING, key_info, &key_size)) return 7;

    // 5. The request information: version 0, subject, public key, no
    // attributes. Encoded here: not every platform has an encoder for a
    // request to be signed.
    BYTE* key_der = nullptr;
    DWORD key_der_size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key_info, CRYPT_ENCODE_ALLOC_FLAG, nullptr,
                             &key_der, &key_der_size))
        return 8;
    mgr::local_ptr<BYTE> key_der_owner(key_der);
    std::vector<BYTE> request_info = mgr::request_info_der(name.data(), name.size(), key_der, key_der_size);
    if (request_info.empty()) return 8;

    // 6. Signed with the container's key (SHA-1 with RSA) and encoded with
    // its signature.
    char sha1_rsa[] = "1.3.14.3.2.29";
    CRYPT_ALGORITHM_IDENTIFIER algorithm{};
    algorithm.pszObjId = sha1_rsa;
    DWORD signature_size = 0;
    if (!CryptSignCertificate(prov.prov, spec, X509_ASN_ENCODING, request_info.data(),
                              static_cast<DWORD>(request_info.size()), &algorithm, nullptr, nullptr,
                              &signature_size))
        return 8;
    std::vector<BYTE> signature;
    try {
        signature.resize(signature_size);
    } catch (...) {
        return 9;
    }
    if (!CryptSignCertificate(prov.prov, spec, X509_ASN_ENCODING, request_info.data(),
                              static_cast<DWORD>(request_info.size()), &algorithm, nullptr, signature.data(),
                              &signature_size))
        return 10;
    CERT_SIGNED_CONTENT_INFO signed_info{};
    signed_info.ToBeSigned.pbData = request_info.data();
    signed_info.ToBeSigned.cbData = static_cast<DWORD>(request_info.size());
    signed_info.SignatureAlgorithm = algorithm;
    signed_info.Signature.pbData = signature.data();
    signed_info.Signature.cbData = signature_size;
    signed_info.Signature.cUnusedBits = 0;
    BYTE* request = nullptr;
    DWORD request_size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_CERT, &signed_info, CRYPT_ENCODE_ALLOC_FLAG, nullptr, &request,
                             &request_size))
        return 10;
    mgr::local_ptr<BYTE> request_owner(request);

    // 7. Base64 into the caller's buffer; a short or missing buffer gets the
    // length it needs (with its NUL).
    const size_t capacity = base64 && *length > 0 ? static_cast<size_t>(*length) : 0;
    size_t written = 0;
    const int r = mbedtls_base64_encode(reinterpret_cast<unsigned char*>(base64), capacity, &written, request,
                                        request_size);
    *length = static_cast<int>(written);
    if (r != 0) return base64 ? 11 : 0;
    return 0;
}

}  // namespace

}  // namespace mgr

extern "C" int SOLVANTAMGR_CALL helper_gen_csr(const char* pin, const char* container, unsigned long key_spec,
                                               const char* provider, const char* subject, char* base64,
                                               int* length) {
    return mgr::guarded(9, [&]() -> int {
        return mgr::gen_csr(pin, container, key_spec, provider, subject, base64, length);
    });
}
