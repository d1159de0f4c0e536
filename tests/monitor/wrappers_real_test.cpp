// The monitor's wrappers over the real SolvantaMgr.dll, the tree's module
// and the virtual token: a container "my key" (a name with a blank) holding
// a key pair and its certificate imported from PKCS #12, an empty container,
// and a standalone CA certificate, all made through the manager library.
// Each wrapper gives what the library itself gives. The fixture files come
// from wrappers_real_test.py (openssl).
#include "objects/token_objects_fixture.h"

#include <set>

#include "mgr_wrappers.h"

namespace {

class monitor_real : public mgr_test::token_objects {
  protected:
    void SetUp() override {
        token_objects::SetUp();
        if (HasFatalFailure()) return;
        int count = -1;
        ASSERT_EQ(pkcs12_file_parse(mgr_test::fixture("ee.p12").c_str(), "monitor-pass", &count), 0);
        int ee = -1;
        for (int i = 0; i < count && ee < 0; ++i) {
            char s[260], is[260];
            int kind = -1;
            if (pkcs12_file_get_certinfo(i, s, is, &kind) == 0 && kind == 0) ee = i;
        }
        ASSERT_GE(ee, 0);
        ASSERT_EQ(pkcs12_import_certificate(0, "my key", 1, ee), 0);
        ASSERT_EQ(container_create_new(0, "empty"), 0);
        root_ = mgr_test::read_fixture("root.der");
        ee_ = mgr_test::read_fixture("ee.der");
        ASSERT_FALSE(root_.empty());
        ASSERT_EQ(x509_import_certificate_data(0, root_.data(), static_cast<unsigned long>(root_.size())), 0);
    }
    mgr_test::bytes root_, ee_;
};

}  // namespace

TEST_F(monitor_real, WrappersGiveWhatTheLibraryGives) {
    int count = -1;
    EXPECT_EQ(mon::FindAndConnectTokens(count), 0);
    EXPECT_EQ(count, 1);

    // Token information, field by field against the export.
    ASSERT_EQ(mon::ReadTokenInfo(0), 0);
    char serial[33] = {0}, label[129] = {0}, man[65] = {0}, model[65] = {0};
    int v[10] = {0};
    ASSERT_EQ(token_get_info(0, serial, label, man, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
                             &v[8], &v[9]),
              0);
    const auto& t = mon::g_token_records[0];
    EXPECT_STREQ(t.serial, serial);
    EXPECT_STREQ(t.label, label);
    EXPECT_STREQ(t.manufacturer, man);
    EXPECT_STREQ(t.model, model);
    EXPECT_EQ(t.max_pin_len, v[0]);
    EXPECT_EQ(t.min_pin_len, v[1]);
    EXPECT_EQ(t.initialised, v[9]);
    EXPECT_NE(t.initialised, 0);

    // Container names: the blank kept, no empty piece.
    ASSERT_EQ(mon::ReadContainerNames(0), 0);
    std::set<std::string> names(t.containers, t.containers + t.container_count);
    EXPECT_EQ(t.container_count, 2);
    EXPECT_EQ(names, (std::set<std::string>{"my key", "empty"}));

    // The certificate of key spec 1, against the file it came from.
    static mon::CertRecord rec;
    ASSERT_EQ(mon::ReadContainerCert(0, "my key", 1, rec), 0);
    EXPECT_EQ(mgr_test::bytes(rec.der, rec.der + rec.der_length), ee_);
    EXPECT_EQ(rec.key_bits, 2048);
    EXPECT_NE(rec.subject.find(L"Monitor User"), std::wstring::npos);
    EXPECT_NE(rec.issuer.find(L"Monitor Root"), std::wstring::npos);
    EXPECT_EQ(rec.ca_kind, 0);
    EXPECT_EQ(rec.not_after_text, mgr_test::read_text("ee.notafter"));
    EXPECT_EQ(rec.not_before_text, mgr_test::read_text("ee.notbefore"));
    EXPECT_EQ(rec.version, 3);
    // No key of key spec 2 there, no key at all in "empty": no certificate, and
    // nothing of the last one left in the record.
    EXPECT_NE(mon::ReadContainerCert(0, "my key", 2, rec), 0);
    EXPECT_EQ(rec.der_length, 0u);
    EXPECT_TRUE(rec.subject.empty());
    EXPECT_NE(mon::ReadContainerCert(0, "empty", 1, rec), 0);

    // The standalone CA certificate.
    auto handles = mon::FindStandaloneCerts(0);
    ASSERT_EQ(handles.size(), 1u);
    ASSERT_EQ(mon::ReadStandaloneCert(0, handles[0], rec), 0);
    EXPECT_EQ(mgr_test::bytes(rec.der, rec.der + rec.der_length), root_);
    EXPECT_EQ(rec.ca_kind, 1);
    EXPECT_NE(rec.subject.find(L"Monitor Root"), std::wstring::npos);

    // The user PIN's state.
    mon::PinStateRecord p;
    ASSERT_EQ(mon::ReadPinState(0, p), 0);
    uint32_t left = 0, limit = 0;
    int low = -1, final_try = -1, locked = -1, change = -1;
    ASSERT_EQ(token_get_pin_state(0, 1, &left, &limit, &low, &final_try, &locked, &change), 0);
    EXPECT_EQ(p.retries_left, left);
    EXPECT_EQ(p.retry_limit, limit);
    EXPECT_EQ(p.locked, locked);
    EXPECT_EQ(p.to_be_changed, change);
    EXPECT_EQ(p.locked, 0);
}
