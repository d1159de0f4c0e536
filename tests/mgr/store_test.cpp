// The certificate store, certificate information and request exports,
// under Wine in the prefix store_prefix.sh made (empty MY, ROOT and CA
// stores, the stand-in provider registered under the token provider's name
// and as "Microsoft Base Smart Card Crypto Provider"), with TZ=Asia/Tokyo.
// Second processes are the helper program; requests are checked by openssl
// afterwards (store_csr_check.py reads what these tests write).
#include <gtest/gtest.h>

#include "SolvantaMgr.h"
#include "store_support.h"

#include <cstring>
#include <fstream>
#include <sstream>

using namespace store_test;

namespace {

std::string hex_of(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Each test gets its own stand-in folder and log, and an empty MY store.
class store : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        dir_ = out_path("standin-" + name);
        CreateDirectoryA(dir_.c_str(), nullptr);
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((dir_ + "\\*").c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileA((dir_ + "\\" + found.cFileName).c_str());
            } while (FindNextFileA(h, &found));
            FindClose(h);
        }
        log_ = dir_ + "\\calls.log";
        SetEnvironmentVariableA("SOLVANTA_STANDIN_DIR", dir_.c_str());
        SetEnvironmentVariableA("SOLVANTA_STANDIN_LOG", log_.c_str());
        SetEnvironmentVariableA("SOLVANTA_STANDIN_REFUSE", nullptr);
        SetEnvironmentVariableA("SOLVANTA_STANDIN_PIN", "12345678");
        empty_my();
    }
    void TearDown() override { empty_my(); }

    std::string log() const {
        std::ifstream in(log_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Gives a stand-in container a key (and optionally a certificate).
    void give_container(const std::string& container, DWORD spec, const std::string& key_file,
                        const std::string& cert_file = "") {
        const std::string base = dir_ + "\\" + hex_of(container);
        ASSERT_TRUE(write_bytes(base + ".ctr", "", 0));
        if (!key_file.empty()) {
            const auto key = read_bytes(fixture_path(key_file));
            ASSERT_FALSE(key.empty()) << key_file;
            ASSERT_TRUE(write_bytes(base + "." + std::to_string(spec) + ".key", key.data(), key.size()));
        }
        if (!cert_file.empty()) {
            const auto cert = read_bytes(fixture_path(cert_file));
            ASSERT_TRUE(write_bytes(base + "." + std::to_string(spec) + ".cer", cert.data(), cert.size()));
        }
    }

    static std::vector<unsigned char> fixture(const char* file) {
        auto der = read_bytes(fixture_path(file));
        EXPECT_FALSE(der.empty()) << "fixture " << file;
        return der;
    }

    static int add(const char* container, const char* provider, unsigned long spec,
                   const std::vector<unsigned char>& der) {
        return container_addcert_to_store(container, provider, spec, der.data(), static_cast<unsigned long>(der.size()));
    }

    std::string dir_;
    std::string log_;
};

// ---- Registration --------------------------------------------------------

TEST_F(store, RegisteringTwiceLeavesOneEntryWithTheKeyProviderProperty) {
    const auto der = fixture("user_a.der");
    EXPECT_EQ(add("cont-a", token_provider, 2, der), 0);
    EXPECT_EQ(add("cont-a", token_provider, 2, der), 0);
    EXPECT_EQ(count_in_my(der), 1);
    const key_prov k = key_prov_in_my(der);
    ASSERT_TRUE(k.has_prop);
    EXPECT_EQ(k.container, L"cont-a");
    EXPECT_EQ(k.provider, L"Tarnely Zervik N8Dex CSP V1.1");
    EXPECT_EQ(k.spec, 2u);
    EXPECT_EQ(k.type, static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(k.flags, 0u);
    EXPECT_EQ(k.params, 0u);
    // Another process sees the same entry.
    EXPECT_EQ(run_helper("keyprov \"" + fixture_path("user_a.der") + "\" cont-a \"" + token_provider + "\" 2"), 0);
}

TEST_F(store, ReRegisteringWithAnotherContainerHoldsInASecondProcess) {
    const auto der = fixture("user_b.der");
    ASSERT_EQ(add("old-container", token_provider, 1, der), 0);
    ASSERT_EQ(add("new-container", token_provider, 2, der), 0);
    EXPECT_EQ(count_in_my(der), 1);
    EXPECT_EQ(key_prov_in_my(der).container, L"new-container");
    EXPECT_EQ(run_helper("keyprov \"" + fixture_path("user_b.der") + "\" new-container \"" + token_provider +
                         "\" 2"),
              0)
        << "the second process still sees the first registration";
}

TEST_F(store, AnEntryLeadsCryptAcquireCertificatePrivateKeyToTheProvidersContainer) {
    const auto der = fixture("ee.der");
    give_container("alice-key", AT_KEYEXCHANGE, "ee.key");
    ASSERT_EQ(add("alice-key", base_provider, AT_KEYEXCHANGE, der), 0);

    HCERTSTORE my = CertOpenSystemStoreW(0, L"MY");
    ASSERT_NE(my, nullptr);
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(cert_encoding, der.data(), static_cast<DWORD>(der.size()));
    PCCERT_CONTEXT entry = CertFindCertificateInStore(my, cert_encoding, 0, CERT_FIND_EXISTING, wanted, nullptr);
    ASSERT_NE(entry, nullptr);
    HCRYPTPROV prov = 0;
    DWORD spec = 0;
    BOOL must_free = FALSE;
    EXPECT_TRUE(CryptAcquireCertificatePrivateKey(entry, 0, nullptr, &prov, &spec, &must_free))
        << std::hex << GetLastError();
    EXPECT_EQ(spec, static_cast<DWORD>(AT_KEYEXCHANGE));
    if (prov && must_free) CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(entry);
    CertFreeCertificateContext(wanted);
    CertCloseStore(my, 0);
    const std::string calls = log();
    EXPECT_NE(calls.find("CPAcquireContext container=\"alice-key\""), std::string::npos) << calls;
    EXPECT_NE(calls.find("provider=\"Microsoft Base Smart Card Crypto Provider\""), std::string::npos) << calls;
}

TEST_F(store, RegistrationFailuresGiveTheirStepNumbers) {
    const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(container_addcert_to_store("c", token_provider, 1, garbage, sizeof garbage), 3);
    EXPECT_EQ(container_addcert_to_store("c", token_provider, 1, nullptr, 100), 3);
    const auto der = fixture("user_a.der");
    EXPECT_EQ(container_addcert_to_store("c", token_provider, 1, der.data(), 0), 3);
    // Null names are registered as empty ones, never read through.
    EXPECT_EQ(add(nullptr, nullptr, 1, der), 0);
    EXPECT_EQ(key_prov_in_my(der).container, L"");
}

TEST_F(store, ContainerNamesAreCutAt260Characters) {
    const auto der = fixture("user_a.der");
    const std::string longest(300, 'k');
    ASSERT_EQ(add(longest.c_str(), token_provider, 1, der), 0);
    EXPECT_EQ(key_prov_in_my(der).container, std::wstring(260, L'k'));
}

// ---- Removal -------------------------------------------------------------

TEST_F(store, RemovalTakesExactlyTheProvidersEntriesAndHoldsInASecondProcess) {
    const auto a = fixture("user_a.der"), b = fixture("user_b.der"), c = fixture("user_c.der"),
               d = fixture("user_d.der"), e = fixture("serial_ff.der");
    ASSERT_EQ(add("ca", token_provider, 1, a), 0);
    ASSERT_EQ(add("cb", token_provider, 2, b), 0);
    ASSERT_EQ(add("cc", base_provider, 1, c), 0);
    // One entry without a key-provider property, one whose property has no
    // provider name.
    HCERTSTORE my = CertOpenSystemStoreW(0, L"MY");
    ASSERT_NE(my, nullptr);
    ASSERT_TRUE(CertAddEncodedCertificateToStore(my, cert_encoding, d.data(), static_cast<DWORD>(d.size()),
                                                 CERT_STORE_ADD_NEW, nullptr));
    PCCERT_CONTEXT nameless = CertCreateCertificateContext(cert_encoding, e.data(), static_cast<DWORD>(e.size()));
    CRYPT_KEY_PROV_INFO info{};
    wchar_t container[] = L"nameless";
    info.pwszContainerName = container;
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = 1;
    ASSERT_TRUE(CertSetCertificateContextProperty(nameless, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    ASSERT_TRUE(CertAddCertificateContextToStore(my, nameless, CERT_STORE_ADD_NEW, nullptr));
    CertFreeCertificateContext(nameless);
    CertCloseStore(my, 0);

    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(remove_all_certs_from_store(token_provider), 0);
    EXPECT_LT(GetTickCount64() - start, 30000u);
    EXPECT_EQ(count_in_my(a), 0);
    EXPECT_EQ(count_in_my(b), 0);
    EXPECT_EQ(count_in_my(c), 1);
    EXPECT_EQ(count_in_my(d), 1);
    EXPECT_EQ(count_in_my(e), 1);
    EXPECT_EQ(run_helper("count \"" + fixture_path("user_a.der") + "\""), 0);
    EXPECT_EQ(run_helper("count \"" + fixture_path("user_c.der") + "\""), 1);
    // Nothing of that provider is left: a second removal finds nothing.
    EXPECT_EQ(remove_all_certs_from_store(token_provider), 0);
    EXPECT_EQ(count_in_my(c), 1);
    // The provider name is compared exactly.
    EXPECT_EQ(remove_all_certs_from_store("microsoft base smart card crypto provider"), 0);
    EXPECT_EQ(count_in_my(c), 1);
    EXPECT_EQ(remove_all_certs_from_store(nullptr), 0);
    EXPECT_EQ(count_in_my(d), 1);
}

// ---- The provider's own registration -----------------------------------

TEST_F(store, TheProviderRegistersAndRemovesItsCertificatesOnParameters1000And1001) {
    give_container("token-cont", AT_SIGNATURE, "", "user_d.der");
    const auto d = fixture("user_d.der");
    EXPECT_EQ(token_add_allcerts_to_msstore(token_provider), 0);
    std::string calls = log();
    EXPECT_NE(calls.find("CPAcquireContext container=\"\" flags=0xf0000040"), std::string::npos) << calls;
    EXPECT_NE(calls.find("CPSetProvParam param=1000 flags=0x0 data=null"), std::string::npos) << calls;
    const key_prov k = key_prov_in_my(d);
    ASSERT_TRUE(k.has_prop);
    EXPECT_EQ(k.container, L"token-cont");
    EXPECT_EQ(k.provider, L"Tarnely Zervik N8Dex CSP V1.1");
    EXPECT_EQ(k.spec, 2u);

    EXPECT_EQ(token_remove_allcerts_from_msstore(token_provider), 0);
    calls = log();
    EXPECT_NE(calls.find("CPSetProvParam param=1001 flags=0x0 data=null"), std::string::npos) << calls;
    EXPECT_EQ(count_in_my(d), 0);
}

TEST_F(store, TheProvidersRegistrationFailures) {
    EXPECT_EQ(token_add_allcerts_to_msstore("No Such Provider"), 1);
    EXPECT_EQ(token_remove_allcerts_from_msstore("No Such Provider"), 1);
    EXPECT_EQ(token_add_allcerts_to_msstore2("No Such Provider", "Solvanta Token 00 00"), 1);
    EXPECT_EQ(token_add_allcerts_to_msstore(nullptr), 1);
    EXPECT_EQ(token_add_allcerts_to_msstore(""), 1);
    SetEnvironmentVariableA("SOLVANTA_STANDIN_REFUSE", "1000,1001");
    EXPECT_EQ(token_add_allcerts_to_msstore(token_provider), 2);
    EXPECT_EQ(token_remove_allcerts_from_msstore(token_provider), 2);
}

TEST_F(store, RegistrationThroughAReadersContainer) {
    // A reader the provider does not know has no key set: nothing to do.
    EXPECT_EQ(token_add_allcerts_to_msstore2(token_provider, "Unknown Reader 9"), 0);
    EXPECT_NE(log().find("CPAcquireContext container=\"\\\\.\\Unknown Reader 9\\\""), std::string::npos) << log();
    const int known = token_add_allcerts_to_msstore2(token_provider, "Solvanta Token 00 00");
    EXPECT_NE(log().find("reader=\"Solvanta Token 00 00\""), std::string::npos) << log();
    if (under_wine()) {
        // Wine's advapi32 never passes a CryptSetProvParam with flags 1 to a
        // provider: the parameter is refused (on Windows this gives 0).
        EXPECT_EQ(known, 2);
        EXPECT_EQ(log().find("param=1000 flags=0x1"), std::string::npos);
    } else {
        EXPECT_EQ(known, 0);
        EXPECT_NE(log().find("param=1000 flags=0x1"), std::string::npos);
    }
    EXPECT_EQ(token_add_allcerts_to_msstore2(token_provider, nullptr), 1);
}

// ---- Other stores --------------------------------------------------------

TEST_F(store, RootAndIntermediateCertificatesGoToTheirStores) {
    const auto root = fixture("root.der"), inter = fixture("inter.der");
    EXPECT_EQ(helper_add_root_cert_to_store(L"ROOT", root.data(), static_cast<unsigned long>(root.size())), 0);
    EXPECT_EQ(helper_add_root_cert_to_store(L"ROOT", root.data(), static_cast<unsigned long>(root.size())), 0);
    EXPECT_EQ(helper_add_root_cert_to_store(L"CA", inter.data(), static_cast<unsigned long>(inter.size())), 0);

    EXPECT_EQ(helper_find_cert_in_store("ROOT", L"Store Root CA", L"Store Root CA"), 1);
    EXPECT_EQ(helper_find_cert_in_store("CA", L"Store Issuing CA", L"Store Root CA"), 1);
    EXPECT_EQ(helper_find_cert_in_store("ROOT", L"Store Root CA", L"Someone Else"), 0);
    EXPECT_EQ(helper_find_cert_in_store("ROOT", L"Store Issuing CA", L"Store Root CA"), 0);
    EXPECT_EQ(helper_find_cert_in_store("ROOT", nullptr, L"Store Root CA"), 0);
    // A store that does not exist is not opened, and not made either.
    EXPECT_EQ(helper_find_cert_in_store("NoSuchStore", L"Store Root CA", L"Store Root CA"), -1);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\SystemCertificates\\NoSuchStore", 0, KEY_READ,
                            &key),
              ERROR_SUCCESS);
    EXPECT_EQ(helper_find_cert_in_store(nullptr, L"a", L"b"), -1);

    const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_NE(helper_add_root_cert_to_store(L"ROOT", garbage, sizeof garbage), 0);
    EXPECT_NE(helper_add_root_cert_to_store(L"NoSuchStore", root.data(), static_cast<unsigned long>(root.size())), 0);
    EXPECT_NE(helper_add_root_cert_to_store(nullptr, root.data(), static_cast<unsigned long>(root.size())), 0);

    // Cleaned up for the other tests.
    for (const wchar_t* name : {L"ROOT", L"CA"}) {
        HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name);
        std::vector<PCCERT_CONTEXT> all;
        PCCERT_CONTEXT c = nullptr;
        while (s && (c = CertEnumCertificatesInStore(s, c)) != nullptr) all.push_back(CertDuplicateCertificateContext(c));
        for (PCCERT_CONTEXT x : all) CertDeleteCertificateFromStore(x);
        if (s) CertCloseStore(s, 0);
    }
}

// ---- Certificate information ---------------------------------------------

struct info_case {
    const char* file;
    const wchar_t* subject;
    const wchar_t* issuer;
    const char* serial;
    int ca_kind;
};

TEST_F(store, CertificateInformation) {
    const info_case cases[] = {
        {"ee.der", L"Alice Store", L"Store Issuing CA", "01 a2 ", 0},
        {"serial_ff.der", L"Serial FF", L"Store Issuing CA", "00 ff 33 44 ", 0},
        {"root.der", L"Store Root CA", L"Store Root CA", "01 ", 1},
        {"inter.der", L"Store Issuing CA", L"Store Root CA", "02 ", 2},
        {"self_no_bc.der", L"Self No BC", L"Self No BC", "03 ", 1},
        {"legacy_ca.der", L"Legacy CA", L"Legacy CA", "05 ", 1},
        {"legacy_ee.der", L"Legacy EE", L"Legacy EE", "06 ", 0},
        {"self_ca_false.der", L"Self CA False", L"Self CA False", "04 ", 0},
    };
    for (const info_case& c : cases) {
        const auto der = fixture(c.file);
        wchar_t subject[256], issuer[256];
        char serial[257];
        int version = 0, kind = -1;
        CertDate from{}, to{};
        ASSERT_EQ(helper_get_cert_info2(der.data(), static_cast<unsigned long>(der.size()), subject, issuer, &version,
                                        serial, &from, &to, &kind),
                  0)
            << c.file;
        EXPECT_STREQ(subject, c.subject) << c.file;
        EXPECT_STREQ(issuer, c.issuer) << c.file;
        EXPECT_STREQ(serial, c.serial) << c.file;
        EXPECT_EQ(kind, c.ca_kind) << c.file;
        EXPECT_EQ(version, 3) << c.file;
        // Valid from 2024-01-15 00:00 UTC to 2031-06-30 23:30 UTC: in Tokyo
        // the end is the next day, in Los Angeles the start the day before.
        const bool los_angeles = env("TZ") == "America/Los_Angeles";
        EXPECT_EQ(from.year, 2024) << c.file;
        EXPECT_EQ(from.month, 1) << c.file;
        EXPECT_EQ(from.day, los_angeles ? 14 : 15) << c.file;
        EXPECT_EQ(to.year, 2031) << c.file;
        EXPECT_EQ(to.month, los_angeles ? 6 : 7) << c.file;
        EXPECT_EQ(to.day, los_angeles ? 30 : 1) << c.file;

        wchar_t subject1[256], issuer1[256];
        char serial1[257];
        int version1 = 0;
        CertDate from1{}, to1{};
        ASSERT_EQ(helper_get_cert_info(der.data(), static_cast<unsigned long>(der.size()), subject1, issuer1,
                                       &version1, serial1, &from1, &to1),
                  0);
        EXPECT_STREQ(subject1, subject);
        EXPECT_STREQ(serial1, serial);
        EXPECT_EQ(to1.day, to.day);
    }
}

TEST_F(store, CertificateInformationEdges) {
    wchar_t subject[256], issuer[256];
    int version = 0, kind = 0;
    CertDate from{}, to{};
    // The serial text holds 85 bytes at most: 255 characters and the NUL.
    const auto long_serial = fixture("serial_long.der");
    char serial[300];
    std::memset(serial, 'X', sizeof serial);
    ASSERT_EQ(helper_get_cert_info2(long_serial.data(), static_cast<unsigned long>(long_serial.size()), subject,
                                    issuer, &version, serial, &from, &to, &kind),
              0);
    EXPECT_EQ(std::strlen(serial), 255u);
    EXPECT_EQ(std::string(serial, 9), "01 02 03 ");
    EXPECT_EQ(std::string(serial + 252), "55 ");
    EXPECT_EQ(serial[256], 'X');

    const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(static_cast<unsigned>(helper_get_cert_info(garbage, sizeof garbage, subject, issuer, &version, serial,
                                                         &from, &to)),
              0x80090020u);
    EXPECT_EQ(static_cast<unsigned>(helper_get_cert_info2(nullptr, 10, subject, issuer, &version, serial, &from, &to,
                                                          &kind)),
              0x80090020u);
    const auto der = fixture("ee.der");
    EXPECT_EQ(helper_get_cert_info(der.data(), static_cast<unsigned long>(der.size()), nullptr, issuer, &version,
                                   serial, &from, &to),
              1);
    EXPECT_EQ(helper_get_cert_info(der.data(), static_cast<unsigned long>(der.size()), subject, nullptr, &version,
                                   serial, &from, &to),
              2);
}

// ---- Certificate requests -------------------------------------------------

TEST_F(store, ARequestSignedThroughTheProvider) {
    give_container("csr-cont", AT_KEYEXCHANGE, "csr_key.key");
    int needed = 0;
    ASSERT_EQ(helper_gen_csr("12345678", "csr-cont", AT_KEYEXCHANGE, token_provider, "CN=Alice,O=Org,C=DE", nullptr,
                             &needed),
              0);
    ASSERT_GT(needed, 1);
    // One byte short of the needed length plus its NUL.
    std::vector<char> short_buffer(static_cast<size_t>(needed - 1));
    int length = needed - 1;
    EXPECT_EQ(helper_gen_csr("12345678", "csr-cont", AT_KEYEXCHANGE, token_provider, "CN=Alice,O=Org,C=DE",
                             short_buffer.data(), &length),
              11);
    EXPECT_EQ(length, needed);

    std::vector<char> buffer(static_cast<size_t>(needed) + 16, 'X');
    length = static_cast<int>(buffer.size());
    ASSERT_EQ(helper_gen_csr("12345678", "csr-cont", AT_KEYEXCHANGE, token_provider, "CN=Alice,O=Org,C=DE",
                             buffer.data(), &length),
              0);
    EXPECT_EQ(length, needed - 1);
    const std::string base64(buffer.data());
    EXPECT_EQ(base64.size(), static_cast<size_t>(needed - 1));
    EXPECT_EQ(base64.find_first_of("\r\n"), std::string::npos);
    ASSERT_TRUE(write_bytes(out_path("request.b64"), base64.data(), base64.size()));

    const std::string calls = log();
    EXPECT_NE(calls.find("CPSetProvParam param=32 "), std::string::npos) << calls;  // PP_KEYEXCHANGE_PIN
    EXPECT_NE(calls.find("CPCreateHash algid=0x8004"), std::string::npos) << calls;
    EXPECT_NE(calls.find("CPSignHash spec=1"), std::string::npos) << calls;
}

TEST_F(store, RequestFailuresGiveTheirStepNumbers) {
    give_container("csr-cont", AT_KEYEXCHANGE, "csr_key.key");
    char buffer[4096];
    int length = sizeof buffer;
    EXPECT_EQ(helper_gen_csr("wrong-pin", "csr-cont", AT_KEYEXCHANGE, token_provider, "CN=Alice", buffer, &length), 5);
    EXPECT_NE(log().find("pin rejected"), std::string::npos);
    EXPECT_EQ(helper_gen_csr("12345678", "csr-cont", AT_KEYEXCHANGE, "No Such Provider", "CN=Alice", buffer, &length),
              4);
    EXPECT_EQ(helper_gen_csr("12345678", "no-such-container", AT_KEYEXCHANGE, token_provider, "CN=Alice", buffer,
                             &length),
              4);
    EXPECT_EQ(helper_gen_csr("12345678", "csr-cont", AT_KEYEXCHANGE, nullptr, "CN=Alice", buffer, &length), 4);
    EXPECT_EQ(helper_gen_csr(nullptr, "csr-cont", AT_KEYEXCHANGE, token_provider, "CN=Alice", buffer, &length), 5);
    EXPECT_EQ(helper_gen_csr("12345678", "csr-cont", AT_KEYEXCHANGE, token_provider, "XX=what", buffer, &length), 1);
    EXPECT_EQ(helper_gen_csr("12345678", "csr-cont", AT_KEYEXCHANGE, token_provider, nullptr, buffer, &length), 1);
    // The container holds no signature key.
    EXPECT_EQ(helper_gen_csr("12345678", "csr-cont", AT_SIGNATURE, token_provider, "CN=Alice", buffer, &length), 5);
    EXPECT_EQ(helper_gen_csr("12345678", "csr-cont", AT_KEYEXCHANGE, token_provider, "CN=Alice", buffer, nullptr),
              11);
}

}  // namespace
