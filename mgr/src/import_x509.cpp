// Single X.509 certificates (DER or PEM, from a file or from memory):
// stored outside containers or as the certificate of the container whose
// key they carry, their RSA public key read, their container found.
#include <cstring>
#include <vector>

#include "SolvantaMgr.h"
#include "cert_files.h"
#include "import_common.h"
#include "objects_internal.h"

namespace {

// The certificate of the bytes as a one-entry list: 0; 3 not a
// certificate; 4 no entry could be made of it.
int decode_single(const std::vector<std::uint8_t>& der, mgr::cert_entry& out) {
    if (der.empty() || der.size() > 0x7FFFFFFF) return 3;
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                                    static_cast<DWORD>(der.size()));
    if (c == nullptr) return 3;
    const int made = mgr::entry_from_certificate(c, out);
    CertFreeCertificateContext(c);
    return made == 0 ? 0 : 4;
}

// A file's certificate: 0; 1 null path; 2 unreadable or bad PEM.
int file_bytes(const char* path, std::vector<std::uint8_t>& der) {
    std::vector<std::uint8_t> bytes;
    std::size_t length = 0;
    const int read = mgr::read_whole_file(path, mgr::file_spare, bytes, &length);
    if (read == 1) return 1;
    if (read != 0) return 2;
    return mgr::pem_decode(bytes.data(), length, der) == 0 ? 0 : 2;
}

// A caller's bytes: PEM decoded when it decodes, else as they are.
void data_bytes(const unsigned char* data, unsigned long length, std::vector<std::uint8_t>& der) {
    der.clear();
    if (data == nullptr) return;
    std::vector<std::uint8_t> copy(data, data + length);
    copy.resize(copy.size() + mgr::data_spare, 0);
    if (mgr::pem_decode(copy.data(), length, der) != 0) der.assign(data, data + length);
}

// The road the import exports share: the token connected, the bytes
// fetched (`fetch` returns 0 or the export's code), the certificate decoded,
// then handed to `use`. `failed` is the export's code when `use` fails (and
// when anything throws).
template <class Fetch, class Use>
int with_certificate(int index, int failed, Fetch fetch, Use use) {
    return mgr::guarded(failed, [&]() -> int {
        mgr::token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        std::vector<std::uint8_t> der;
        const int fetched = fetch(der);
        if (fetched != 0) return fetched;
        mgr::cert_entry e;
        const int decoded = decode_single(der, e);
        if (decoded != 0) return decoded;
        return use(t, e) == 0 ? 0 : failed;
    });
}

// Fetchers: a file's certificate (any failure is 2), a caller's bytes.
auto from_file(const char* path) {
    return [path](std::vector<std::uint8_t>& der) { return file_bytes(path, der) != 0 ? 2 : 0; };
}

auto from_data(const unsigned char* data, unsigned long length) {
    return [data, length](std::vector<std::uint8_t>& der) {
        data_bytes(data, length, der);
        return 0;
    };
}

}  // namespace

extern "C" {

int SOLVANTAMGR_CALL x509_get_PublicKey(const char* path, unsigned char* modulus, unsigned long* length) {
    return mgr::guarded(3, [&]() -> int {
        if (modulus == nullptr || length == nullptr) return 1;
        std::vector<std::uint8_t> der;
        const int read = file_bytes(path, der);
        if (read != 0) return read;
        mgr::cert_entry e;
        const int decoded = decode_single(der, e);
        if (decoded != 0) return decoded;
        if (e.public_key.size() < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY)) return 5;
        RSAPUBKEY rsa;
        std::memcpy(&rsa, e.public_key.data() + sizeof(BLOBHEADER), sizeof rsa);
        const unsigned long bytes = rsa.bitlen / 8;
        if (sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + bytes > e.public_key.size()) return 5;
        if (*length < bytes) return 6;
        const std::uint8_t* m = e.public_key.data() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
        for (unsigned long i = 0; i < bytes; ++i) modulus[i] = m[bytes - 1 - i];
        *length = bytes;
        return 0;
    });
}

int SOLVANTAMGR_CALL x509_import_certificate(int index, const char* path) {
    return with_certificate(index, 5, from_file(path), [](const mgr::token_ref& t, const mgr::cert_entry& e) {
        return mgr::store_standalone_certificate(t, e.der.data(), e.der.size());
    });
}

int SOLVANTAMGR_CALL x509_import_certificate_data(int index, const unsigned char* data, unsigned long length) {
    return with_certificate(index, 6, from_data(data, length),
                            [](const mgr::token_ref& t, const mgr::cert_entry& e) {
                                return mgr::store_standalone_certificate(t, e.der.data(), e.der.size());
                            });
}

int SOLVANTAMGR_CALL x509_import_container_certificate(int index, const char* container, unsigned long key_spec,
                                                       const char* path) {
    return with_certificate(index, 5, from_file(path), [&](const mgr::token_ref& t, const mgr::cert_entry& e) {
        return mgr::store_container_certificate(t, container, key_spec, e.der.data(), e.der.size());
    });
}

int SOLVANTAMGR_CALL x509_import_container_certificate_data(int index, const char* container,
                                                            unsigned long key_spec, const unsigned char* data,
                                                            unsigned long length) {
    return with_certificate(index, 6, from_data(data, length),
                            [&](const mgr::token_ref& t, const mgr::cert_entry& e) {
                                return mgr::store_container_certificate(t, container, key_spec, e.der.data(),
                                                                        e.der.size());
                            });
}

int SOLVANTAMGR_CALL x509_get_certificate_container(int index, const unsigned char* data, unsigned long length,
                                                    char* container, unsigned long* key_spec) {
    const auto fetch = [&](std::vector<std::uint8_t>& der) {
        if (container == nullptr || key_spec == nullptr) return 1;
        return from_data(data, length)(der);
    };
    return with_certificate(index, 6, fetch, [&](const mgr::token_ref& t, const mgr::cert_entry& e) {
        CK_ULONG spec = 0;
        if (mgr::find_certificate_container(t, e.der.data(), e.der.size(), container, &spec) != 0) return 1;
        *key_spec = spec;
        return 0;
    });
}

}  // extern "C"
