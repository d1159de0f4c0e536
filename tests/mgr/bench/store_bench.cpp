// Benchmark of the certificate store exports (not a test): registering and
// removing 16 certificates, per certificate, against the bare CryptoAPI
// calls the library makes, in the same run; and the removal's time with 16,
// 64 and 256 entries in MY, which must grow linearly.
//
// Run in the store tests' prefix (made by the mgr_store_prefix test):
//   SOLVANTA_WINEPREFIX=build/<tree>/tests/mgr/store-prefix
//   SOLVANTA_STORE_FIXTURES=build/<tree>/tests/mgr/store-fixtures
//   scripts/wine-run.sh build/<tree>/tests/mgr/mgr_store_bench.exe [rounds]
#include "SolvantaMgr.h"
#include "store_support.h"
#include "support/bench_timing.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace store_test;
using test_support::median;
using test_support::time_us;

namespace {

const char provider[] = "Tarnely Zervik N8Dex CSP V1.1";
const wchar_t provider_w[] = L"Tarnely Zervik N8Dex CSP V1.1";

std::vector<std::vector<unsigned char>> load(int count) {
    std::vector<std::vector<unsigned char>> out;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "bench\\%03d.der", i);
        out.push_back(read_bytes(fixture_path(name)));
        if (out.back().empty()) {
            std::fprintf(stderr, "missing fixture %s\n", name);
            std::exit(1);
        }
    }
    return out;
}

// The calls the library makes for a first registration: open MY, decode,
// look for a copy, set the property, add with replace-existing, free, close.
void bare_add(const std::vector<unsigned char>& der, const wchar_t* container, DWORD spec) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
    PCCERT_CONTEXT cert = CertCreateCertificateContext(cert_encoding, der.data(), static_cast<DWORD>(der.size()));
    if (PCCERT_CONTEXT existing = CertFindCertificateInStore(store, cert_encoding, 0, CERT_FIND_EXISTING, cert, nullptr))
        CertFreeCertificateContext(existing);
    std::wstring c = container, p = provider_w;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = &c[0];
    info.pwszProvName = &p[0];
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = spec;
    CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
}

// The calls of a removal: open the registry store, read every entry's
// property, delete the matching ones after the enumeration, close.
void bare_remove() {
    HCERTSTORE store = open_my_registry();
    std::vector<PCCERT_CONTEXT> doomed;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) continue;
        std::vector<BYTE> buffer(size);
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) continue;
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        if (info->pwszProvName && std::wstring(info->pwszProvName) == provider_w)
            doomed.push_back(CertDuplicateCertificateContext(c));
    }
    for (PCCERT_CONTEXT d : doomed) CertDeleteCertificateFromStore(d);
    CertCloseStore(store, 0);
}

int my_count() {
    HCERTSTORE store = open_my_registry();
    int n = 0;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) ++n;
    CertCloseStore(store, 0);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const auto certs = load(256);
    empty_my();

    std::vector<double> lib_add, bare_add_t, lib_readd, lib_remove, bare_remove_t;
    for (int r = 0; r < rounds; ++r) {
        lib_add.push_back(time_us([&] {
            for (int i = 0; i < 16; ++i)
                container_addcert_to_store("bench-a", provider, 1, certs[i].data(),
                                           static_cast<unsigned long>(certs[i].size()));
        }) / 16);
        // Again with another container: each entry is deleted first.
        lib_readd.push_back(time_us([&] {
            for (int i = 0; i < 16; ++i)
                container_addcert_to_store("bench-b", provider, 2, certs[i].data(),
                                           static_cast<unsigned long>(certs[i].size()));
        }) / 16);
        if (my_count() != 16) std::printf("round %d: %d entries after registering 16\n", r, my_count());
        lib_remove.push_back(time_us([&] { remove_all_certs_from_store(provider); }) / 16);
        if (my_count() != 0) std::printf("round %d: %d entries left after removal\n", r, my_count());

        bare_add_t.push_back(time_us([&] {
            for (int i = 0; i < 16; ++i) bare_add(certs[i], L"bench-a", 1);
        }) / 16);
        bare_remove_t.push_back(time_us([&] { bare_remove(); }) / 16);
        if (my_count() != 0) std::printf("round %d: bare removal left %d entries\n", r, my_count());
    }
    std::printf("16 certificates, median of %d rounds, per certificate (us):\n", rounds);
    std::printf("  %-44s %10.1f\n", "container_addcert_to_store (first)", median(lib_add));
    std::printf("  %-44s %10.1f\n", "bare CryptoAPI add", median(bare_add_t));
    std::printf("  %-44s %10.1f\n", "container_addcert_to_store (other container)", median(lib_readd));
    std::printf("  %-44s %10.1f\n", "remove_all_certs_from_store", median(lib_remove));
    std::printf("  %-44s %10.1f\n", "bare CryptoAPI removal", median(bare_remove_t));

    std::printf("removal by entries in MY (median of %d):\n", rounds);
    std::printf("  %8s %12s %14s %14s\n", "entries", "total ms", "us per entry", "bare us/entry");
    double first_per_entry = 0;
    for (int n : {16, 64, 256}) {
        std::vector<double> lib, bare;
        for (int r = 0; r < rounds; ++r) {
            for (int i = 0; i < n; ++i) bare_add(certs[i], L"bench", 1);
            lib.push_back(time_us([&] { remove_all_certs_from_store(provider); }));
            for (int i = 0; i < n; ++i) bare_add(certs[i], L"bench", 1);
            bare.push_back(time_us([&] { bare_remove(); }));
        }
        const double per = median(lib) / n;
        if (n == 16) first_per_entry = per;
        std::printf("  %8d %12.2f %14.1f %14.1f   (x%.2f of the 16-entry cost per entry)\n", n, median(lib) / 1000,
                    per, median(bare) / n, per / first_per_entry);
    }
    empty_my();
    return 0;
}
