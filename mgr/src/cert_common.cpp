#include "cert_common.h"

#include <vector>

namespace mgr {

namespace {

enum class ca_mark { unknown, ca, end_entity };

ca_mark basic_constraints_mark(const CERT_INFO* info) {
    if (const CERT_EXTENSION* e =
            CertFindExtension(szOID_BASIC_CONSTRAINTS2, info->cExtension, info->rgExtension)) {
        CERT_BASIC_CONSTRAINTS2_INFO bc{};
        DWORD size = sizeof bc;
        if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, e->Value.pbData, e->Value.cbData, 0,
                                 nullptr, &bc, &size))
            return ca_mark::unknown;
        return bc.fCA ? ca_mark::ca : ca_mark::end_entity;
    }
    if (const CERT_EXTENSION* e =
            CertFindExtension(szOID_BASIC_CONSTRAINTS, info->cExtension, info->rgExtension)) {
        CERT_BASIC_CONSTRAINTS_INFO* bc = nullptr;
        DWORD size = 0;
        if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS, e->Value.pbData, e->Value.cbData,
                                 CRYPT_DECODE_ALLOC_FLAG, nullptr, &bc, &size))
            return ca_mark::unknown;
        ca_mark mark = ca_mark::unknown;
        if (bc->SubjectType.cbData > 0) {
            const BYTE bits = bc->SubjectType.pbData[0];
            if (bits & CERT_CA_SUBJECT_FLAG)
                mark = ca_mark::ca;
            else if (bits & CERT_END_ENTITY_SUBJECT_FLAG)
                mark = ca_mark::end_entity;
        }
        LocalFree(bc);
        return mark;
    }
    return ca_mark::unknown;
}

}  // namespace

int cert_ca_kind(PCCERT_CONTEXT cert) {
    if (!cert || !cert->pCertInfo) return 0;
    const CERT_INFO* info = cert->pCertInfo;
    CERT_NAME_BLOB issuer = info->Issuer;
    CERT_NAME_BLOB subject = info->Subject;
    const bool self_issued =
        CertCompareCertificateName(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &issuer, &subject) != FALSE;
    switch (basic_constraints_mark(info)) {
    case ca_mark::ca: return self_issued ? 1 : 2;
    case ca_mark::end_entity: return 0;
    case ca_mark::unknown: break;
    }
    return self_issued ? 1 : 0;
}

int last_error_or_fail() {
    const DWORD e = GetLastError();
    return e ? static_cast<int>(e) : static_cast<int>(NTE_FAIL);
}

std::wstring ansi_to_wide(const char* text) {
    if (!text || !*text) return std::wstring();
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::vector<wchar_t> out(static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    return std::wstring(out.data());
}

}  // namespace mgr
