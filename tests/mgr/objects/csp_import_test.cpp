// A PKCS #12 end entity imported into the token's provider, against the
// stand-in provider (registered in the store tests' prefix under the token
// provider's name): its log shows the PIN, the new key set, the key with
// the algorithm of the key spec and the certificate with the DER's length.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SolvantaMgr.h"

namespace {

constexpr const char* provider = "Tarnely Zervik N8Dex CSP V1.1";
constexpr const char* pin = "12345678";

std::string fixture(const std::string& name) {
    const char* d = std::getenv("SOLVANTA_MGR_FIXTURES");
    return std::string(d != nullptr ? d : "") + "/" + name;
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class csp_import : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("SOLVANTA_MGR_FIXTURES"), nullptr);
        char temp[MAX_PATH];
        ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
        const std::string base = std::string(temp) + "mgr_objects_csp_" + std::to_string(GetCurrentProcessId());
        dir_ = base + "_dir";
        log_ = base + ".log";
        CreateDirectoryA(dir_.c_str(), nullptr);
        DeleteFileA(log_.c_str());
        SetEnvironmentVariableA("SOLVANTA_STANDIN_DIR", dir_.c_str());
        SetEnvironmentVariableA("SOLVANTA_STANDIN_LOG", log_.c_str());
        SetEnvironmentVariableA("SOLVANTA_STANDIN_REFUSE", nullptr);
        SetEnvironmentVariableA("SOLVANTA_STANDIN_PIN", pin);
        int count = 0;
        ASSERT_EQ(pkcs12_file_parse(fixture("ee.p12").c_str(), "objects-pass", &count), 0);
        for (int i = 0; i < count; ++i) {
            char s[260], is[260];
            int kind = -1;
            ASSERT_EQ(pkcs12_file_get_certinfo(i, s, is, &kind), 0);
            if (kind == 0) ee_ = i;
        }
        ASSERT_GE(ee_, 0);
        der_size_ = read_all(fixture("ee.der")).size();
        ASSERT_GT(der_size_, 0u);
    }
    void TearDown() override { DeleteFileA(log_.c_str()); }
    std::string log() { return read_all(log_); }

    std::string dir_, log_;
    int ee_ = -1;
    std::size_t der_size_ = 0;
};

TEST_F(csp_import, ExchangeAndSignatureKeysGoInWithTheirCertificate) {
    ASSERT_EQ(pkcs12_import_certificate_csp(provider, pin, "c1", 1, ee_), 0);
    std::string text = log();
    EXPECT_NE(text.find("CPSetProvParam param=" + std::to_string(PP_SIGNATURE_PIN)), std::string::npos) << text;
    EXPECT_NE(text.find("pin accepted"), std::string::npos) << text;
    // The container did not exist: a new key set, silently.
    char flags[32];
    std::snprintf(flags, sizeof flags, "flags=0x%lx", static_cast<unsigned long>(CRYPT_NEWKEYSET | CRYPT_SILENT));
    EXPECT_NE(text.find(std::string("container=\"c1\" ") + flags), std::string::npos) << text;
    EXPECT_NE(text.find("CPImportKey type=7 algid=0xa400 bits=2048"), std::string::npos) << text;
    EXPECT_NE(text.find("CPSetKeyParam param=KP_CERTIFICATE flags=0x0 length=" + std::to_string(der_size_) +
                        " spec=1"),
              std::string::npos)
        << text;

    ASSERT_EQ(pkcs12_import_certificate_csp(provider, pin, "c2", 2, ee_), 0);
    text = log();
    EXPECT_NE(text.find("CPImportKey type=7 algid=0x2400 bits=2048"), std::string::npos) << text;
    EXPECT_NE(text.find("length=" + std::to_string(der_size_) + " spec=2"), std::string::npos) << text;

    // The container exists now: acquired without a new key set.
    DeleteFileA(log_.c_str());
    ASSERT_EQ(pkcs12_import_certificate_csp(provider, pin, "c1", 1, ee_), 0);
    std::snprintf(flags, sizeof flags, "flags=0x%lx", static_cast<unsigned long>(CRYPT_SILENT));
    text = log();
    EXPECT_NE(text.find(std::string("container=\"c1\" ") + flags), std::string::npos) << text;
}

TEST_F(csp_import, AWrongPinOrABadEntryFails) {
    EXPECT_EQ(pkcs12_import_certificate_csp(provider, "00000000", "c1", 1, ee_),
              static_cast<int>(SCARD_W_WRONG_CHV));
    EXPECT_NE(log().find("pin rejected"), std::string::npos);
    EXPECT_EQ(log().find("CPImportKey"), std::string::npos);
    EXPECT_EQ(pkcs12_import_certificate_csp(provider, pin, "c1", 1, 8), 1);
    EXPECT_EQ(pkcs12_import_certificate_csp(provider, pin, "c1", 1, -1), 1);
    // A provider that is not registered: the platform's error, not 0.
    EXPECT_NE(pkcs12_import_certificate_csp("No Such Provider", pin, "c1", 1, ee_), 0);
    SetEnvironmentVariableA("SOLVANTA_STANDIN_REFUSE", "pin");
    EXPECT_NE(pkcs12_import_certificate_csp(provider, pin, "c1", 1, ee_), 0);
}

// Only a container that does not exist is made anew: any other failure to
// open it is the import's result, and no key set is made.
TEST_F(csp_import, AFailedOpenOtherThanNoSuchContainerIsReportedAndMakesNoContainer) {
    SetEnvironmentVariableA("SOLVANTA_STANDIN_REFUSE", "open");
    EXPECT_EQ(pkcs12_import_certificate_csp(provider, pin, "c9", 1, ee_), static_cast<int>(SCARD_W_REMOVED_CARD));
    const std::string text = log();
    char flags[32];
    std::snprintf(flags, sizeof flags, "flags=0x%lx", static_cast<unsigned long>(CRYPT_NEWKEYSET | CRYPT_SILENT));
    EXPECT_NE(text.find("container=\"c9\""), std::string::npos) << text;
    EXPECT_EQ(text.find(std::string("container=\"c9\" ") + flags), std::string::npos) << text;
    EXPECT_EQ(text.find("CPImportKey"), std::string::npos) << text;
    // The stand-in names a container's file by the name's hex.
    EXPECT_EQ(GetFileAttributesA((dir_ + "\\6339.ctr").c_str()), INVALID_FILE_ATTRIBUTES);
    SetEnvironmentVariableA("SOLVANTA_STANDIN_REFUSE", nullptr);
}

}  // namespace
