// The road the tray monitor takes, on the virtual token under Wine in the
// store tests' prefix: a certificate imported onto the token from a
// PKCS #12 file is read back from its container, registered in MY for the
// token's provider, found there with its container, and removed again.
#include "objects/token_objects_fixture.h"
#include "store_support.h"

namespace {

using mgr_test::token_objects;

TEST_F(token_objects, FromTheTokensContainerToTheUsersStoreAndBack) {
    store_test::empty_my();
    int count = 0;
    ASSERT_EQ(pkcs12_file_parse(mgr_test::fixture("road.p12").c_str(), "road-pass", &count), 0);
    const int entry = pkcs12_entry("Alice Store");
    ASSERT_GE(entry, 0) << pkcs12_listing();
    ASSERT_EQ(pkcs12_import_certificate(0, "road-cont", AT_KEYEXCHANGE, entry), 0);

    unsigned long length = 0;
    ASSERT_EQ(container_get_cert(0, "road-cont", AT_KEYEXCHANGE, nullptr, &length), 0);
    std::vector<unsigned char> cert(length);
    ASSERT_EQ(container_get_cert(0, "road-cont", AT_KEYEXCHANGE, cert.data(), &length), 0);
    cert.resize(length);
    EXPECT_EQ(cert, mgr_test::read_fixture("ee.der"));

    ASSERT_EQ(container_addcert_to_store("road-cont", store_test::base_provider, AT_KEYEXCHANGE, cert.data(),
                                         static_cast<unsigned long>(cert.size())),
              0);
    const store_test::key_prov k = store_test::key_prov_in_my(cert);
    ASSERT_TRUE(k.has_prop);
    EXPECT_EQ(k.container, L"road-cont");
    EXPECT_EQ(k.provider, L"Microsoft Base Smart Card Crypto Provider");
    EXPECT_EQ(k.spec, static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_EQ(helper_find_cert_in_store("MY", L"Alice Store", L"Store Issuing CA"), 1);

    // What the monitor shows of it.
    wchar_t subject[256], issuer[256];
    char serial[257];
    int version = 0, kind = -1;
    CertDate from{}, to{};
    ASSERT_EQ(helper_get_cert_info2(cert.data(), static_cast<unsigned long>(cert.size()), subject, issuer, &version,
                                    serial, &from, &to, &kind),
              0);
    EXPECT_STREQ(subject, L"Alice Store");
    EXPECT_STREQ(serial, "01 a2 ");
    EXPECT_EQ(kind, 0);

    EXPECT_EQ(remove_all_certs_from_store(store_test::base_provider), 0);
    EXPECT_EQ(store_test::count_in_my(cert), 0);
    EXPECT_EQ(helper_find_cert_in_store("MY", L"Alice Store", L"Store Issuing CA"), 0);
}

}  // namespace
