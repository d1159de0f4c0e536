// The token's rules apart from the card: PIN flags from the counters, the
// codes of failed card work at the standard boundary, and the card's text
// fields as the standard wants them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "token_info.h"
#include "token_mgr.h"

using namespace pkcs11;

namespace {

constexpr CK_FLAGS base = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_DUAL_CRYPTO_OPERATIONS;
constexpr CK_FLAGS formatted = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED;

}  // namespace

TEST(token_rules, PinFlagsFollowTheCounters) {
    struct row {
        std::int32_t user, so;
        bool user_change;
        CK_FLAGS expected;
    };
    const row rows[] = {
        {10, 15, false, 0},
        {9, 15, false, CKF_USER_PIN_COUNT_LOW},
        {1, 15, false, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
        {0, 15, false, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_LOCKED},
        {10, 14, false, CKF_SO_PIN_COUNT_LOW},
        {10, 1, false, CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY},
        {10, 0, false, CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_LOCKED},
        {10, 15, true, CKF_USER_PIN_TO_BE_CHANGED},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.user) + "/" + std::to_string(r.so));
        const pin_state user{r.user, r.user_change}, so{r.so, false};
        // Bits of an earlier state never survive: every bit is recomputed.
        const CK_FLAGS stale = base | CKF_USER_PIN_LOCKED | CKF_USER_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED |
                               CKF_USER_PIN_TO_BE_CHANGED | CKF_SO_PIN_COUNT_LOW;
        EXPECT_EQ(recompute_pin_flags(stale, true, &user, &so), base | formatted | r.expected);
    }
}

TEST(token_rules, AnUnformattedCardHasNeitherInitialisedBitNorPinBits) {
    const CK_FLAGS before = base | formatted | CKF_USER_PIN_LOCKED | CKF_SO_PIN_COUNT_LOW;
    EXPECT_EQ(recompute_pin_flags(before, false, nullptr, nullptr), base);
}

TEST(token_rules, OnePinsBitsChangeAlone) {
    const pin_state user{10, false};
    const CK_FLAGS before = base | formatted | CKF_USER_PIN_LOCKED | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_COUNT_LOW;
    EXPECT_EQ(recompute_pin_flags(before, true, &user, nullptr),
              base | formatted | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_COUNT_LOW);
}

TEST(token_rules, FailedCardWorkAsStandardCodes) {
    struct row {
        std::int32_t status;
        bool gone;
        CK_RV login, other;
    };
    const row rows[] = {
        {0x63C3, false, CKR_PIN_INCORRECT, CKR_DEVICE_ERROR},
        {0x63C1, false, CKR_PIN_INCORRECT, CKR_DEVICE_ERROR},
        {0x63C0, false, CKR_PIN_LOCKED, CKR_DEVICE_ERROR},
        {0x6983, false, CKR_PIN_LOCKED, CKR_DEVICE_ERROR},
        {0x6984, false, CKR_PIN_LOCKED, CKR_DEVICE_ERROR},
        // Words that only look like a tries status.
        {0x67C5, false, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
        {0x6FC3, false, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
        // The card layer's own codes never pass as CK_RV values.
        {1, false, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
        {2, false, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
        {0x6A82, false, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
        {1, true, CKR_DEVICE_REMOVED, CKR_DEVICE_REMOVED},
        {static_cast<std::int32_t>(0x80100069), true, CKR_DEVICE_REMOVED, CKR_DEVICE_REMOVED},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.status);
        EXPECT_EQ(pin_failure(r.status, r.gone), r.login);
        EXPECT_EQ(device_failure(r.status, r.gone), r.other);
    }
}

TEST(token_rules, CardTextsEndAtTheirFirstNulAndArePaddedWithBlanks) {
    struct row {
        const char* bytes;
        std::size_t length;
        std::string expected;
    };
    const std::string full(32, 'L');
    const row rows[] = {
        {"Foo", 3, "Foo" + std::string(29, ' ')},
        {"Foo\0bar", 7, "Foo" + std::string(29, ' ')},
        {"", 0, std::string(32, ' ')},
        {full.c_str(), 32, full},
    };
    for (const row& r : rows) {
        std::uint8_t field[32] = {};
        std::memcpy(field, r.bytes, r.length);
        CK_UTF8CHAR out[32];
        copy_card_text(out, sizeof out, field);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), sizeof out), r.expected);
    }
}

// Before the card has said anything, the memory figures are unknown: all
// ones in every bit of the build's CK_ULONG, as consumers compare them.
TEST(token_rules, AFreshTokensMemoryFiguresAreUnavailable) {
    pkcs11_token token("Solvanta Token 00 00", 0);
    const CK_TOKEN_INFO& info = token.info();
    for (CK_ULONG figure : {info.ulTotalPublicMemory, info.ulFreePublicMemory, info.ulTotalPrivateMemory,
                            info.ulFreePrivateMemory})
        EXPECT_EQ(figure, CK_UNAVAILABLE_INFORMATION);
}

