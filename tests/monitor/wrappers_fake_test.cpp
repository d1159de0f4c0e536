// The manager-library wrappers against the scripted fake SolvantaMgr.dll:
// the rows the real library cannot give (no token, a token that fails to
// connect, 20 tokens, 70 containers, a container key without a
// certificate, failing and oversized standalone lists).
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "language_strings.h"
#include "mgr_wrappers.h"

namespace {

std::string temp_dir() {
    char buf[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, buf);
    return std::string(buf, n);
}

class Wrappers : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        base_ = temp_dir() + "mon_wrappers_" + info->name() + "_" + std::to_string(GetCurrentProcessId());
        scenario_ = base_ + ".ini";
        log_ = base_ + ".log";
        DeleteFileA(log_.c_str());
        SetEnvironmentVariableA("SOLVANTA_FAKE_MGR_SCENARIO", scenario_.c_str());
        SetEnvironmentVariableA("SOLVANTA_FAKE_MGR_LOG", log_.c_str());
        mon::lang::reset();
    }
    void TearDown() override {
        DeleteFileA(scenario_.c_str());
        DeleteFileA(log_.c_str());
    }
    void scenario(const std::string& text) {
        std::ofstream f(scenario_, std::ios::binary | std::ios::trunc);
        f << text;
    }
    std::string calls() {
        std::ifstream f(log_, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    int count_of(const std::string& what) {
        std::string all = calls();
        int n = 0;
        for (size_t p = all.find(what); p != std::string::npos; p = all.find(what, p + 1)) ++n;
        return n;
    }
    std::string base_, scenario_, log_;
};

}  // namespace

TEST_F(Wrappers, InitPassesTheModuleName) {
    scenario("[library]\ninit=3\n");
    EXPECT_EQ(mon::InitManagerLibrary(), 3);
    EXPECT_NE(calls().find("init_pkcs11 module=n8dex_pkcs11.dll\n"), std::string::npos) << calls();
    EXPECT_EQ(count_of("init_pkcs11_ex"), 0);
}

TEST_F(Wrappers, DiscoveryTable) {
    struct row {
        const char* scenario;
        int result, count, connects;
    } rows[] = {
        {"[library]\ntokens=0\n", 1, 0, 0},
        {"[library]\nfind=5\ntokens=2\n", 1, 0, 0},
        {"[library]\ntokens=2\n[token0]\nconnect=7\n[token1]\nconnect=0\n", 0, 2, 2},
        {"[library]\ntokens=2\n[token0]\nconnect=0\n[token1]\nconnect=9\n", 9, 2, 2},
        // 20 tokens: the 17 records are used, the rest are ignored.
        {"[library]\ntokens=20\n", 0, 17, 17},
    };
    for (const auto& r : rows) {
        DeleteFileA(log_.c_str());
        scenario(r.scenario);
        int count = -1;
        EXPECT_EQ(mon::FindAndConnectTokens(count), r.result) << r.scenario;
        EXPECT_EQ(count, r.count) << r.scenario;
        EXPECT_EQ(count_of("token_connect"), r.connects) << r.scenario;
        EXPECT_EQ(count_of("token_find capacity=32\n"), 1) << calls();
    }
    EXPECT_EQ(count_of("token_connect 17"), 0);
}

TEST_F(Wrappers, TokenInfoIntoTheRecordsOnly) {
    scenario("[library]\ntokens=20\n[token3]\nlabel=third\nmax_pin=24\nmin_pin=4\ninitialised=0\n[token4]\ninfo=6\n");
    EXPECT_EQ(mon::ReadTokenInfo(3), 0);
    EXPECT_STREQ(mon::g_token_records[3].label, "third");
    EXPECT_EQ(mon::g_token_records[3].max_pin_len, 24);
    EXPECT_EQ(mon::g_token_records[3].min_pin_len, 4);
    EXPECT_EQ(mon::g_token_records[3].initialised, 0);
    EXPECT_EQ(mon::ReadTokenInfo(4), 6);
    DeleteFileA(log_.c_str());
    EXPECT_EQ(mon::ReadTokenInfo(17), 1);
    EXPECT_EQ(mon::ReadTokenInfo(-1), 1);
    EXPECT_EQ(calls(), "");  // never asked: no record to fill
}

TEST_F(Wrappers, ContainerNamesTable) {
    struct row {
        const char* token;
        int result;
        std::vector<std::string> names;
    } rows[] = {
        {"containers=my key|second\n", 0, {"my key", "second"}},
        {"containers=a||b\n", 0, {"a", "b"}},
        {"containers=\n", 0, {}},
        {"container_count=70\n", 0, {}},
        {"containers=x\ncontainers_length=20000\n", 0, {"x"}},
    };
    for (const auto& r : rows) {
        scenario(std::string("[library]\ntokens=1\n[token0]\n") + r.token);
        DeleteFileA(log_.c_str());
        EXPECT_EQ(mon::ReadContainerNames(0), r.result) << r.token;
        EXPECT_NE(calls().find("container_load_all 0 length=8192\n"), std::string::npos);
        const auto& t = mon::g_token_records[0];
        if (std::string(r.token).find("container_count=70") == 0) {
            ASSERT_EQ(t.container_count, 65);
            EXPECT_EQ(t.containers[0], "c0");
            EXPECT_EQ(t.containers[64], "c64");
            continue;
        }
        ASSERT_EQ(t.container_count, static_cast<int>(r.names.size())) << r.token;
        for (size_t i = 0; i < r.names.size(); ++i) EXPECT_EQ(t.containers[i], r.names[i]);
    }
    // A failure leaves the record's containers as they were.
    scenario("[library]\ntokens=1\n[token0]\ncontainers_rc=4\ncontainers=z\n");
    EXPECT_EQ(mon::ReadContainerNames(0), 4);
    EXPECT_EQ(mon::g_token_records[0].container_count, 1);
    EXPECT_EQ(mon::ReadContainerNames(17), 1);
}

TEST_F(Wrappers, ContainerCertificateAndAKeyWithout) {
    scenario("[library]\ntokens=1\n[token0]\ncontainers=with|without\n"
             "[container 0 with]\nbits1=2048\ncert1=alice\n"
             "[container 0 without]\nbits1=2048\n"
             "[cert alice]\nsubject=CN=Alice 证书\nissuer=CN=Root\nserial=0a 0b\nversion=3\n"
             "not_before=2024-02-03\nnot_after=2034-12-31\nca_kind=0\n");
    static mon::CertRecord rec;
    EXPECT_EQ(mon::ReadContainerCert(0, "with", 1, rec), 0);
    EXPECT_EQ(rec.subject, L"CN=Alice \u8bc1\u4e66");
    EXPECT_EQ(rec.issuer, L"CN=Root");
    EXPECT_EQ(rec.serial, "0a 0b");
    EXPECT_EQ(rec.version, 3);
    EXPECT_EQ(rec.not_before_text, "2024-02-03");
    EXPECT_EQ(rec.not_after_text, "2034-12-31");
    EXPECT_EQ(rec.not_after.year, 2034);
    EXPECT_EQ(rec.key_bits, 2048);
    EXPECT_EQ(rec.ca_kind, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec.der), rec.der_length), "CERT:alice");
    // The key has no certificate: a failure, and nothing of Alice's is left.
    EXPECT_NE(mon::ReadContainerCert(0, "without", 1, rec), 0);
    EXPECT_EQ(rec.der_length, 0u);
    EXPECT_TRUE(rec.subject.empty());
    EXPECT_EQ(rec.key_bits, 2048);
    // No key and no certificate of key spec 2.
    EXPECT_NE(mon::ReadContainerCert(0, "with", 2, rec), 0);
    EXPECT_EQ(count_of("container_get_cert 0 name=with spec=1 length=16384"), 1);
}

TEST_F(Wrappers, CertificateThatDoesNotDecodeIsNotUsable) {
    scenario("[library]\ntokens=1\n[container 0 k]\nbits2=1024\ncert2=bad\n[cert bad]\ninfo_rc=0x8009002D\n");
    static mon::CertRecord rec;
    EXPECT_EQ(static_cast<unsigned>(mon::ReadContainerCert(0, "k", 2, rec)), 0x8009002Du);
}

TEST_F(Wrappers, StandaloneCertificates) {
    scenario("[library]\ntokens=1\n[token0]\nstandalone=root|inter\n[cert root]\nca_kind=1\n[cert inter]\nca_kind=2\n");
    auto handles = mon::FindStandaloneCerts(0);
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_EQ(count_of("token_find_standalone_certs 0 count=64"), 1);
    static mon::CertRecord rec;
    EXPECT_EQ(mon::ReadStandaloneCert(0, handles[0], rec), 0);
    EXPECT_EQ(rec.ca_kind, 1);
    EXPECT_EQ(mon::ReadStandaloneCert(0, handles[1], rec), 0);
    EXPECT_EQ(rec.ca_kind, 2);
    EXPECT_NE(mon::ReadStandaloneCert(0, 5, rec), 0);
    // A failure walks nothing, whatever count came back; a count above the
    // array's 64 is clamped.
    scenario("[library]\ntokens=1\n[token0]\nstandalone=a|b\nstandalone_rc=1\nstandalone_count=2\n");
    EXPECT_TRUE(mon::FindStandaloneCerts(0).empty());
    scenario("[library]\ntokens=1\n[token0]\nstandalone=a\nstandalone_count=500\n");
    EXPECT_EQ(mon::FindStandaloneCerts(0).size(), 64u);
}

TEST_F(Wrappers, PinState) {
    scenario("[library]\ntokens=1\n[token0]\npin_state=7,10,1,0,1,1\n");
    mon::PinStateRecord p;
    EXPECT_EQ(mon::ReadPinState(0, p), 0);
    EXPECT_EQ(p.retries_left, 7u);
    EXPECT_EQ(p.retry_limit, 10u);
    EXPECT_EQ(p.count_low, 1);
    EXPECT_EQ(p.locked, 1);
    EXPECT_EQ(p.to_be_changed, 1);
    EXPECT_EQ(count_of("token_get_pin_state 0 user=1"), 1);
    scenario("[library]\ntokens=1\n[token0]\npin_state_rc=3\n");
    EXPECT_EQ(mon::ReadPinState(0, p), 3);
    EXPECT_EQ(p.locked, 0);
    EXPECT_EQ(p.to_be_changed, 0);
}
