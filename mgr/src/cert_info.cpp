// Certificate information for display (names, version, serial number,
// validity in local time, CA kind) and the system certificate viewer.
#include "SolvantaMgr.h"
#include "cert_common.h"
#include "cert_text.h"

#include <prsht.h>
#include <cryptuiapi.h>

#include <memory>

namespace mgr {

namespace {

constexpr DWORD cert_encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD name_chars = 256;

struct cert_freer {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};

void write_date(const FILETIME& utc, CertDate* out) {
    if (!out) return;
    *out = CertDate{0, 0, 0};
    FILETIME local;
    SYSTEMTIME t;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &t)) return;
    out->year = t.wYear;
    out->month = t.wMonth;
    out->day = t.wDay;
}

int cert_info(const unsigned char* der, unsigned long der_length, wchar_t* subject, wchar_t* issuer, int* version,
              char* serial, CertDate* not_before, CertDate* not_after, int* ca_kind) {
    if (!der || der_length == 0) return static_cast<int>(NTE_FAIL);
    std::unique_ptr<const CERT_CONTEXT, cert_freer> cert(
        CertCreateCertificateContext(cert_encoding, der, static_cast<DWORD>(der_length)));
    if (!cert) return static_cast<int>(NTE_FAIL);
    if (!subject || CertGetNameStringW(cert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject,
                                       name_chars) == 0)
        return 1;
    if (!issuer || CertGetNameStringW(cert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr,
                                      issuer, name_chars) == 0)
        return 2;
    const CERT_INFO* info = cert->pCertInfo;
    if (version) *version = static_cast<int>(info->dwVersion) + 1;
    serial_text(info->SerialNumber.pbData, info->SerialNumber.cbData, serial);
    write_date(info->NotBefore, not_before);
    write_date(info->NotAfter, not_after);
    if (ca_kind) *ca_kind = cert_ca_kind(cert.get());
    return 0;
}

using view_certificate_fn = BOOL(WINAPI*)(PCCRYPTUI_VIEWCERTIFICATE_STRUCTW, BOOL*);

}  // namespace

}  // namespace mgr

extern "C" {

int SOLVANTAMGR_CALL helper_get_cert_info(const unsigned char* der, unsigned long der_length, wchar_t* subject,
                                          wchar_t* issuer, int* version, char* serial, CertDate* not_before,
                                          CertDate* not_after) {
    return mgr::guarded(static_cast<int>(NTE_FAIL), [&]() -> int {
        return mgr::cert_info(der, der_length, subject, issuer, version, serial, not_before, not_after, nullptr);
    });
}

int SOLVANTAMGR_CALL helper_get_cert_info2(const unsigned char* der, unsigned long der_length, wchar_t* subject,
                                           wchar_t* issuer, int* version, char* serial, CertDate* not_before,
                                           CertDate* not_after, int* ca_kind) {
    return mgr::guarded(static_cast<int>(NTE_FAIL), [&]() -> int {
        return mgr::cert_info(der, der_length, subject, issuer, version, serial, not_before, not_after, ca_kind);
    });
}

int SOLVANTAMGR_CALL helper_show_cert_ui(void* owner, const unsigned char* der, unsigned long der_length) {
    return mgr::guarded(2, [&]() -> int {
        if (!der || der_length == 0) return 1;
        std::unique_ptr<const CERT_CONTEXT, mgr::cert_freer> cert(
            CertCreateCertificateContext(mgr::cert_encoding, der, static_cast<DWORD>(der_length)));
        if (!cert) return 1;
        // cryptui is loaded from the system folder when it is needed (not every
        // build has an import library for it).
        HMODULE ui = LoadLibraryExW(L"cryptui.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!ui) return 2;
        auto view = reinterpret_cast<mgr::view_certificate_fn>(
            reinterpret_cast<void (*)()>(GetProcAddress(ui, "CryptUIDlgViewCertificateW")));
        int result = 2;
        if (view) {
            CRYPTUI_VIEWCERTIFICATE_STRUCTW request{};
            request.dwSize = sizeof request;
            request.hwndParent = static_cast<HWND>(owner);
            request.dwFlags = 0x10;
            request.pCertContext = cert.get();
            BOOL changed = FALSE;
            // Closing the viewer instead of pressing OK is a normal end too.
            if (view(&request, &changed) || GetLastError() == ERROR_CANCELLED) result = 0;
        }
        FreeLibrary(ui);
        return result;
    });
}

}  // extern "C"
