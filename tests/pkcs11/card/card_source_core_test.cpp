// End to end: the module core on the card layer's device source, against
// the virtual token: the token readers become tokens, and C_Finalize ends a
// slot monitor that blocks in the card layer's event wait.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "card_device.h"
#include "card_device_source.h"
#include "pkcs11/module_fixture.h"
#include "support/thread_count.h"
#include "support/vtoken_control.h"

namespace {

class card_source_core : public pkcs11_test::module_test {
protected:
    void SetUp() override {
        vt_.fresh_card();
        module_test::SetUp();
        solvantex::restart_token_device_event();
        core().set_device_source(std::make_unique<solvantex::card_device_source>());
    }
    void TearDown() override {
        module_test::TearDown();
        core().set_device_source(std::make_unique<pkcs11::pkcs11_no_devices>());
    }

    test_support::vtoken_control vt_;
};

}  // namespace

TEST_F(card_source_core, TokenReadersBecomeTokensAndFinalizeEndsTheEventWait) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        CK_ULONG count = 0;
        ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
        EXPECT_EQ(count, 1u) << "the reader with the card; the empty reader holds no token";
        // The first slot event starts the monitor, which then blocks in the
        // card layer's wait (the present card's arrival is taken first).
        CK_SLOT_ID slot = 0;
        (void)C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
        EXPECT_TRUE(core().monitor_running());
        const auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
        EXPECT_FALSE(core().monitor_running()) << "the cancel ended the wait";
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
}

#ifdef __linux__
using test_support::thread_count;
using test_support::thread_count_within;

// Every cycle starts the monitor (a token is present) and the card layer's
// event watch; C_Finalize ends both, so no thread is left behind.
TEST_F(card_source_core, HundredCyclesLeaveNoThreadBehind) {
    // Counted after the first cycle: a sanitizer's runtime starts a thread
    // of its own on first use.
    std::size_t first = 0;
    for (int cycle = 0; cycle < 100; ++cycle) {
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        CK_SLOT_ID slots[4];
        CK_ULONG n = 4;
        ASSERT_EQ(C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
        ASSERT_EQ(n, 1u);
        CK_SESSION_HANDLE session = 0;
        ASSERT_EQ(C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
        ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
        EXPECT_FALSE(core().monitor_running());
        if (cycle == 0) first = thread_count();
        ASSERT_LE(thread_count_within(first), first) << "cycle " << cycle;
    }
}
#endif
