// The main form's certificate work: registration of a token's certificates
// in the user's stores and the expiry warnings.
#include <memory>
#include <vector>

#include "language_strings.h"
#include "main_form.h"
#include "monitor_globals.h"
#include "mgr_wrappers.h"
#include "project_base.h"
#include "test_switch.h"
#include "ui_helpers.h"
#include "win_text.h"

namespace mon {

namespace {
const char kSmartCardProvider[] = "Microsoft Base Smart Card Crypto Provider";
bool g_provider_set = false;
}  // namespace

std::string provider_name() {
    if (g_provider_set) return kSmartCardProvider;
    return to_ansi(lang::text(lang::PROVIDER_NAME));
}

int main_form::RegisterTokenCerts(int index) {
    LARGE_INTEGER started, freq;
    QueryPerformanceCounter(&started);
    QueryPerformanceFrequency(&freq);
    g_provider_set = true;
    const std::string provider = provider_name();
    int r = ReadContainerNames(index);
    if (r != 0) {
        test_switch::logf("register token=%d containers result=%d", index, r);
        return r;
    }
    // The names are copied: nothing done here may change what is walked.
    const TokenInfoRecord& rec = g_token_records[index];
    std::vector<std::string> names(rec.containers, rec.containers + rec.container_count);
    std::unique_ptr<CertRecord> cert(new CertRecord());
    int result = 0;
    bool ended = false;
    for (const std::string& name : names) {
        for (unsigned long spec = 1; spec <= 2; ++spec) {
            if (ReadContainerCert(index, name, spec, *cert) != 0) continue;
            if (cert->ca_kind == 0) {
                int a = AddContainerCertToStore(name, provider, spec, cert->der, cert->der_length);
                if (a != 0) {
                    result = a + (spec == 1 ? 10000 : 20000);
                    ended = true;
                    break;
                }
            } else if (cert->ca_kind == 1 || cert->ca_kind == 2) {
                helper_add_root_cert_to_store(cert->ca_kind == 1 ? L"ROOT" : L"CA", cert->der, cert->der_length);
            }
        }
        if (ended) break;
    }
    for (unsigned long handle : FindStandaloneCerts(index)) {
        if (ReadStandaloneCert(index, handle, *cert) != 0) continue;
        // End-entity certificates without a key on the token are not registered.
        if (cert->ca_kind == 1 || cert->ca_kind == 2)
            helper_add_root_cert_to_store(cert->ca_kind == 1 ? L"ROOT" : L"CA", cert->der, cert->der_length);
    }
    LARGE_INTEGER done;
    QueryPerformanceCounter(&done);
    // Nearly all of it is the library's calls (benchmark figure).
    test_switch::logf("register token=%d result=%d ms=%.1f", index, result,
                      1000.0 * static_cast<double>(done.QuadPart - started.QuadPart) /
                          static_cast<double>(freq.QuadPart));
    return result;
}

int main_form::CheckCertExpiry(int index) {
    int r = ReadContainerNames(index);
    if (r != 0) return r;
    const TokenInfoRecord& rec = g_token_records[index];
    std::vector<std::string> names(rec.containers, rec.containers + rec.container_count);
    const int tokens_before = token_count_;
    std::unique_ptr<CertRecord> cert(new CertRecord());
    for (const std::string& name : names) {
        for (unsigned long spec = 1; spec <= 2; ++spec) {
            if (ReadContainerCert(index, name, spec, *cert) != 0) continue;
            if (g_settings.cert_tips != 1) continue;
            if (!IsCertExpiring(cert->not_after.year, cert->not_after.month, cert->not_after.day,
                                g_settings.cert_day))
                continue;
            std::wstring text = cert->subject + L"(" + from_ansi(cert->not_after_text) + L" " +
                                lang_text(lang::K_EndTime) + L")";
            notice_box(window_, text, MB_ICONINFORMATION | MB_TOPMOST);
            // A removal or arrival handled inside the box's loop ends the walk
            // of a token that may be gone.
            if (destroyed_ || token_count_ != tokens_before || index >= token_count_) return 0;
        }
    }
    return 0;
}

}  // namespace mon
