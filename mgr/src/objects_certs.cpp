// Certificates and key pairs written to the token: the routines that the
// container exports and the file imports share.
#include <algorithm>
#include <cstring>
#include <string>

#include "cert_files.h"
#include "key_blob.h"
#include "objects_internal.h"

namespace mgr {

namespace {

CK_BBOOL ck_true = CK_TRUE;
CK_BBOOL ck_false = CK_FALSE;

CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const void* value, std::size_t length) {
    return CK_ATTRIBUTE{type, const_cast<void*>(value), static_cast<CK_ULONG>(length)};
}

// A certificate context that frees itself.
struct cert_context {
    PCCERT_CONTEXT c = nullptr;
    cert_context(const std::uint8_t* der, std::size_t length) {
        if (der != nullptr && length != 0 && length <= 0x7FFFFFFF)
            c = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der,
                                             static_cast<DWORD>(length));
    }
    ~cert_context() {
        if (c != nullptr) CertFreeCertificateContext(c);
    }
    cert_context(const cert_context&) = delete;
    cert_context& operator=(const cert_context&) = delete;
};

// The certificate decoded and its friendly display name taken (the name is
// not used further: a certificate without one is refused as undecodable).
bool decoded(const cert_context& cert) {
    if (cert.c == nullptr) return false;
    char name[260];
    return CertGetNameStringA(cert.c, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name, sizeof name) > 0;
}

std::vector<std::uint8_t> without_leading_zeros(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n && p[i] == 0) ++i;
    return std::vector<std::uint8_t>(p + i, p + n);
}

// The 13-attribute container certificate, created; its CK_RV.
CK_RV create_container_certificate(const token_ref& t, const std::vector<std::uint8_t>& id, const char* name,
                                   CK_ULONG spec, const std::uint8_t* der, std::size_t length,
                                   PCCERT_CONTEXT cert) {
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_ULONG value_len = static_cast<CK_ULONG>(length);
    const std::vector<std::uint8_t> serial = serial_der(cert->pCertInfo->SerialNumber);
    const std::size_t name_len = std::strlen(name);
    CK_ATTRIBUTE tmpl[] = {
        attr(CKA_ID, id.data(), id.size()),
        attr(CKA_CLASS, &cls, sizeof cls),
        attr(CKA_TOKEN, &ck_true, 1),
        attr(CKA_VENDOR_KEY_SPEC, &spec, sizeof spec),
        attr(CKA_PRIVATE, &ck_false, 1),
        attr(CKA_VALUE, der, length),
        attr(CKA_VALUE_LEN, &value_len, sizeof value_len),
        attr(CKA_CERTIFICATE_TYPE, &type, sizeof type),
        attr(CKA_SERIAL_NUMBER, serial.data(), serial.size()),
        attr(CKA_LABEL, name, name_len + 1),
        attr(CKA_SUBJECT, cert->pCertInfo->Subject.pbData, cert->pCertInfo->Subject.cbData),
        attr(CKA_ISSUER, cert->pCertInfo->Issuer.pbData, cert->pCertInfo->Issuer.cbData),
        attr(CKA_VENDOR_CONTAINER_NAME, name, name_len),
    };
    CK_OBJECT_HANDLE h = 0;
    return t.f->C_CreateObject(t.session, tmpl, sizeof tmpl / sizeof tmpl[0], &h);
}

// The value of an object's attribute; false when it cannot be read.
bool read_value(const token_ref& t, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type, std::vector<std::uint8_t>& out) {
    out.clear();
    CK_ATTRIBUTE a = attr(type, nullptr, 0);
    if (t.f->C_GetAttributeValue(t.session, h, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return false;
    if (a.ulValueLen == 0) return true;
    out.assign(a.ulValueLen, 0);
    a.pValue = out.data();
    if (t.f->C_GetAttributeValue(t.session, h, &a, 1) != CKR_OK || a.ulValueLen > out.size()) {
        out.clear();
        return false;
    }
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(a.ulValueLen), out.end());
    return true;
}

}  // namespace

CK_OBJECT_HANDLE first_object(const token_ref& t, CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    if (t.f->C_FindObjectsInit(t.session, tmpl, count) != CKR_OK) return 0;
    CK_OBJECT_HANDLE h = 0;
    CK_ULONG found = 0;
    if (t.f->C_FindObjects(t.session, &h, 1, &found) != CKR_OK) found = 0;
    (void)t.f->C_FindObjectsFinal(t.session);
    return found == 1 ? h : 0;
}

int certificate_modulus(PCCERT_CONTEXT cert, std::uint8_t* buffer, DWORD* length) {
    if (cert == nullptr || buffer == nullptr || length == nullptr) return 4;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return 3;
    HCRYPTKEY key = 0;
    int result = 0;
    if (!CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                  &cert->pCertInfo->SubjectPublicKeyInfo, &key)) {
        result = 4;
    } else {
        DWORD size = 0;
        std::vector<std::uint8_t> blob;
        if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size) || size < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY)) {
            result = 7;
        } else {
            blob.resize(size);
            if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) result = 7;
        }
        if (result == 0) {
            RSAPUBKEY rsa;
            std::memcpy(&rsa, blob.data() + sizeof(BLOBHEADER), sizeof rsa);
            const DWORD bytes = rsa.bitlen / 8;
            if (rsa.bitlen > 2048) result = 2;
            else if (sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + bytes > blob.size()) result = 7;
            else if (*length < bytes) result = 8;
            else {
                const std::uint8_t* m = blob.data() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
                for (DWORD i = 0; i < bytes; ++i) buffer[i] = m[bytes - 1 - i];
                *length = bytes;
            }
        }
        CryptDestroyKey(key);
    }
    CryptReleaseContext(prov, 0);
    return result;
}

std::vector<std::uint8_t> serial_der(const CRYPT_INTEGER_BLOB& serial) {
    return der_integer_from_le(serial.pbData, serial.cbData);
}

int store_container_certificate(const token_ref& t, const char* name, CK_ULONG spec, const std::uint8_t* der,
                                std::size_t length) {
    cert_context cert(der, length);
    if (!decoded(cert)) return cert_not_decoded;
    if (name == nullptr || std::strlen(name) > 256) return key_not_matching;
    const std::size_t name_len = std::strlen(name);

    CK_OBJECT_CLASS pub = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE key_tmpl[] = {
        attr(CKA_CLASS, &pub, sizeof pub),
        attr(CKA_TOKEN, &ck_true, 1),
        attr(CKA_VENDOR_KEY_SPEC, &spec, sizeof spec),
        attr(CKA_VENDOR_CONTAINER_NAME, name, name_len),
    };
    const CK_OBJECT_HANDLE key = first_object(t, key_tmpl, 4);
    if (key == 0) return key_not_matching;

    std::uint8_t id[256];
    std::uint8_t key_modulus[512];
    CK_ATTRIBUTE reads[] = {attr(CKA_ID, id, sizeof id), attr(CKA_MODULUS, key_modulus, sizeof key_modulus)};
    if (t.f->C_GetAttributeValue(t.session, key, reads, 2) != CKR_OK) return key_not_matching;
    std::uint8_t cert_modulus_bytes[512];
    DWORD cert_len = sizeof cert_modulus_bytes;
    if (certificate_modulus(cert.c, cert_modulus_bytes, &cert_len) != 0) return key_not_matching;
    if (without_leading_zeros(key_modulus, reads[1].ulValueLen) !=
        without_leading_zeros(cert_modulus_bytes, cert_len))
        return key_not_matching;
    const std::vector<std::uint8_t> key_id(id, id + reads[0].ulValueLen);

    // An earlier certificate of this key goes first: the module keeps one
    // certificate file per container and key spec, so a new one made before the
    // old one is destroyed would lose its file. Its bytes are kept so that
    // it can be made again when the new one cannot be created.
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE old_tmpl[] = {
        attr(CKA_ID, key_id.data(), key_id.size()),
        attr(CKA_CLASS, &cls, sizeof cls),
        attr(CKA_TOKEN, &ck_true, 1),
        attr(CKA_VENDOR_KEY_SPEC, &spec, sizeof spec),
    };
    std::vector<std::uint8_t> old_der;
    const CK_OBJECT_HANDLE old = first_object(t, old_tmpl, 4);
    if (old != 0) {
        if (!read_value(t, old, CKA_VALUE, old_der)) old_der.clear();
        const CK_RV rv = t.f->C_DestroyObject(t.session, old);
        if (rv != CKR_OK) return static_cast<int>(rv);
    }
    if (create_container_certificate(t, key_id, name, spec, der, length, cert.c) == CKR_OK) return 0;
    if (!old_der.empty()) {
        cert_context previous(old_der.data(), old_der.size());
        if (previous.c != nullptr)
            (void)create_container_certificate(t, key_id, name, spec, old_der.data(), old_der.size(), previous.c);
    }
    return cert_not_created;
}

int store_standalone_certificate(const token_ref& t, const std::uint8_t* der, std::size_t length) {
    cert_context cert(der, length);
    if (!decoded(cert)) return cert_not_decoded;
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_ULONG value_len = static_cast<CK_ULONG>(length);
    const std::vector<std::uint8_t> serial = serial_der(cert.c->pCertInfo->SerialNumber);
    CK_ATTRIBUTE tmpl[] = {
        attr(CKA_CLASS, &cls, sizeof cls),
        attr(CKA_TOKEN, &ck_true, 1),
        attr(CKA_PRIVATE, &ck_false, 1),
        attr(CKA_VALUE, der, length),
        attr(CKA_VALUE_LEN, &value_len, sizeof value_len),
        attr(CKA_CERTIFICATE_TYPE, &type, sizeof type),
        attr(CKA_SERIAL_NUMBER, serial.data(), serial.size()),
        attr(CKA_SUBJECT, cert.c->pCertInfo->Subject.pbData, cert.c->pCertInfo->Subject.cbData),
        attr(CKA_ISSUER, cert.c->pCertInfo->Issuer.pbData, cert.c->pCertInfo->Issuer.cbData),
    };
    CK_OBJECT_HANDLE h = 0;
    if (t.f->C_CreateObject(t.session, tmpl, sizeof tmpl / sizeof tmpl[0], &h) != CKR_OK) return cert_not_decoded;
    return 0;
}

int import_key_pair(const token_ref& t, const char* name, CK_ULONG spec, const std::uint8_t* blob,
                    std::size_t length, CK_ULONG* used_spec) {
    rsa_private_parts key;
    if (name == nullptr || std::strlen(name) > 256 || parse_private_key_blob(blob, length, key) != 0) return 2;
    if (key.bits > 2048) return 2;
    if (spec == 0) {
        if (key.alg_id == alg_rsa_keyx) spec = 1;
        else if (key.alg_id == alg_rsa_sign) spec = 2;
        else return 2;
    }
    std::string id(name);
    if (spec == 2) id += 'S';
    const std::size_t name_len = std::strlen(name);
    CK_OBJECT_CLASS pub_class = CKO_PUBLIC_KEY;
    CK_OBJECT_CLASS pri_class = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_ULONG bits = key.bits;
    CK_ATTRIBUTE pub_tmpl[] = {
        attr(CKA_ID, id.data(), id.size()),
        attr(CKA_CLASS, &pub_class, sizeof pub_class),
        attr(CKA_KEY_TYPE, &type, sizeof type),
        attr(CKA_PRIVATE, &ck_false, 1),
        attr(CKA_MODULUS, key.modulus.data(), key.modulus.size()),
        attr(CKA_PUBLIC_EXPONENT, key.public_exponent.data(), key.public_exponent.size()),
        attr(CKA_TOKEN, &ck_true, 1),
        attr(CKA_ENCRYPT, &ck_true, 1),
        attr(CKA_VERIFY, &ck_true, 1),
        attr(CKA_WRAP, &ck_true, 1),
        attr(CKA_VENDOR_KEY_SPEC, &spec, sizeof spec),
        attr(CKA_VENDOR_CONTAINER_NAME, name, name_len),
    };
    CK_OBJECT_HANDLE pub = 0;
    CK_RV rv = t.f->C_CreateObject(t.session, pub_tmpl, sizeof pub_tmpl / sizeof pub_tmpl[0], &pub);
    if (rv != CKR_OK) return static_cast<int>(rv);
    CK_ATTRIBUTE pri_tmpl[] = {
        attr(CKA_CLASS, &pri_class, sizeof pri_class),
        attr(CKA_TOKEN, &ck_true, 1),
        attr(CKA_PRIVATE, &ck_true, 1),
        attr(CKA_DECRYPT, &ck_true, 1),
        attr(CKA_SIGN, &ck_true, 1),
        attr(CKA_UNWRAP, &ck_true, 1),
        attr(CKA_ID, id.data(), id.size()),
        attr(CKA_VENDOR_KEY_SPEC, &spec, sizeof spec),
        attr(CKA_VENDOR_CONTAINER_NAME, name, name_len),
        attr(CKA_KEY_TYPE, &type, sizeof type),
        attr(CKA_MODULUS_BITS, &bits, sizeof bits),
        attr(CKA_MODULUS, key.modulus.data(), key.modulus.size()),
        attr(CKA_PUBLIC_EXPONENT, key.public_exponent.data(), key.public_exponent.size()),
        attr(CKA_PRIVATE_EXPONENT, key.private_exponent.data(), key.private_exponent.size()),
        attr(CKA_PRIME_1, key.prime1.data(), key.prime1.size()),
        attr(CKA_PRIME_2, key.prime2.data(), key.prime2.size()),
        attr(CKA_EXPONENT_1, key.exponent1.data(), key.exponent1.size()),
        attr(CKA_EXPONENT_2, key.exponent2.data(), key.exponent2.size()),
        attr(CKA_COEFFICIENT, key.coefficient.data(), key.coefficient.size()),
    };
    CK_OBJECT_HANDLE pri = 0;
    rv = t.f->C_CreateObject(t.session, pri_tmpl, sizeof pri_tmpl / sizeof pri_tmpl[0], &pri);
    if (rv != CKR_OK) {
        (void)t.f->C_DestroyObject(t.session, pub);
        return static_cast<int>(rv);
    }
    if (used_spec != nullptr) *used_spec = spec;
    return 0;
}

int find_certificate_container(const token_ref& t, const std::uint8_t* der, std::size_t length, char* name,
                               CK_ULONG* spec) {
    cert_context cert(der, length);
    if (cert.c == nullptr) return cert_not_decoded;
    if (name == nullptr || spec == nullptr) return key_not_matching;
    std::uint8_t modulus[512];
    DWORD modulus_len = sizeof modulus;
    if (certificate_modulus(cert.c, modulus, &modulus_len) != 0) return key_not_matching;
    CK_OBJECT_CLASS pub = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE tmpl[] = {
        attr(CKA_CLASS, &pub, sizeof pub),
        attr(CKA_TOKEN, &ck_true, 1),
        attr(CKA_MODULUS, modulus, modulus_len),
    };
    const CK_OBJECT_HANDLE key = first_object(t, tmpl, 3);
    if (key == 0) return key_not_matching;
    char found[257] = {};
    CK_ULONG found_spec = 0;
    CK_ATTRIBUTE reads[] = {attr(CKA_VENDOR_CONTAINER_NAME, found, sizeof found - 1),
                            attr(CKA_VENDOR_KEY_SPEC, &found_spec, sizeof found_spec)};
    if (t.f->C_GetAttributeValue(t.session, key, reads, 2) != CKR_OK) return key_not_matching;
    std::size_t n = reads[0].ulValueLen;
    if (n > container_name_out - 1) n = container_name_out - 1;
    std::memcpy(name, found, n);
    name[n] = '\0';
    *spec = found_spec;
    return 0;
}

}  // namespace mgr
