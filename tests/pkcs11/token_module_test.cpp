// The built module loaded as a consumer loads it (natively, and the Windows
// DLLs under Wine through the PC/SC bridge), on the virtual token: the token
// in its slot, format, PINs with their flags, random numbers, and removal
// and insertion with the sessions they end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <pkcs11_vendor.h>

#include "loaded_module.h"
#include "support/vtoken_control.h"

namespace {

constexpr const char* factory_serial = "SV00000000000001";

class token_module : public ::testing::Test {
protected:
    void SetUp() override {
        vt_.fresh_card();
        vt_.call("preset", {{"name", "factory"}});
        ASSERT_TRUE(module_.loaded());
        auto get = reinterpret_cast<CK_C_GetFunctionList>(module_.symbol("C_GetFunctionList"));
        auto get_ext = reinterpret_cast<CK_M_GetExtFunctionList>(module_.symbol("M_GetExtFunctionList"));
        ASSERT_NE(get, nullptr);
        ASSERT_NE(get_ext, nullptr);
        ASSERT_EQ(get(&f_), CKR_OK);
        ASSERT_EQ(get_ext(&x_), CKR_OK);
        ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override {
        if (f_ != nullptr) (void)f_->C_Finalize(nullptr);
        vt_.fresh_card();
    }
    static CK_UTF8CHAR_PTR text(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }
    CK_FLAGS flags() {
        CK_TOKEN_INFO info;
        EXPECT_EQ(f_->C_GetTokenInfo(0, &info), CKR_OK);
        return info.flags;
    }
    CK_SLOT_ID next_event() {
        CK_SLOT_ID slot = 77;
        EXPECT_EQ(f_->C_WaitForSlotEvent(0, &slot, nullptr), CKR_OK);
        return slot;
    }

    test_support::vtoken_control vt_;
    pkcs11_test::loaded_module module_;
    CK_FUNCTION_LIST_PTR f_ = nullptr;
    CK_EXT_FUNCTION_LIST_PTR x_ = nullptr;
};

}  // namespace

TEST_F(token_module, FormatLoginPinsRandomAndRemoval) {
    CK_SLOT_ID slots[4];
    CK_ULONG n = 4;
    ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    ASSERT_EQ(slots[0], 0u);

    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, "Wine", 4);
    ASSERT_EQ(f_->C_InitToken(0, text("87654321"), 8, label), CKR_OK);
    CK_TOKEN_INFO info;
    ASSERT_EQ(f_->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 32), "Wine" + std::string(28, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 32), "Tarnely" + std::string(25, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.serialNumber), 16), factory_serial);
    EXPECT_EQ(info.firmwareVersion.minor, 11);
    EXPECT_TRUE(info.flags & CKF_TOKEN_INITIALIZED);

    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(f_->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
    ASSERT_EQ(f_->C_Login(s, CKU_SO, text("87654321"), 8), CKR_OK);
    ASSERT_EQ(f_->C_InitPIN(s, text("11112222"), 8), CKR_OK);
    ASSERT_EQ(f_->C_Logout(s), CKR_OK);
    EXPECT_EQ(f_->C_Login(s, CKU_USER, text("99999999"), 8), CKR_PIN_INCORRECT);
    EXPECT_TRUE(flags() & CKF_USER_PIN_COUNT_LOW);
    CK_EXT_USER_INFO user{};
    std::memset(&user, 0xFF, sizeof user);
    ASSERT_EQ(x_->M_GetUserInfo(0, CKU_USER, &user), CKR_OK);
    EXPECT_EQ(user.retriesLeft, 9u);
    EXPECT_EQ(user.retryLimit, 10u);
    EXPECT_EQ(user.countLow, 1);
    EXPECT_EQ(user.finalTry, 0);
    EXPECT_EQ(user.locked, 0);
    ASSERT_EQ(f_->C_Login(s, CKU_USER, text("11112222"), 8), CKR_OK);
    EXPECT_FALSE(flags() & CKF_USER_PIN_COUNT_LOW) << "a right PIN clears the bit";
    ASSERT_EQ(f_->C_SetPIN(s, text("11112222"), 8, text("33334444"), 8), CKR_OK);

    std::vector<CK_BYTE> random(2048);
    EXPECT_EQ(f_->C_GenerateRandom(s, random.data(), 16), CKR_OK);
    EXPECT_EQ(f_->C_GenerateRandom(s, random.data(), 2048), CKR_OK);

    vt_.call("remove");
    EXPECT_EQ(next_event(), 0u);
    CK_SESSION_INFO session;
    EXPECT_EQ(f_->C_GetSessionInfo(s, &session), CKR_DEVICE_REMOVED);
    vt_.call("insert", {{"wait_ready", true}});
    EXPECT_EQ(next_event(), 0u);
    EXPECT_EQ(f_->C_GetSessionInfo(s, &session), CKR_DEVICE_REMOVED) << "the new token does not inherit it";
    EXPECT_EQ(f_->C_CloseSession(s), CKR_OK);
    n = 4;
    ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
    EXPECT_EQ(n, 1u);
}
