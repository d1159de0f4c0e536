#include <gtest/gtest.h>

#include <cstring>

#include "support/scripted_pcsc.h"

using platform::pcsc;
using platform::pcsc_code;
using namespace platform::pcsc_rc;
using test_support::pcsc_call;
using test_support::scoped_pcsc;
using test_support::scripted_pcsc;

TEST(PcscSeam, CodesAreSigned32BitOnEveryPlatform) {
    EXPECT_EQ(unknown_reader, static_cast<pcsc_code>(-2146435063));
    EXPECT_LT(removed_card, 0);
    EXPECT_EQ(platform::to_pcsc_code(0x80100068LL), reset_card);
    EXPECT_EQ(platform::to_pcsc_code(SCARD_W_REMOVED_CARD), removed_card);
    EXPECT_EQ(platform::to_pcsc_code(SCARD_E_SERVICE_STOPPED), service_stopped);
}

TEST(PcscSeam, InjectedResultsReachTheCallerInOrder) {
    scripted_pcsc fake;
    fake.script(pcsc_call::transmit, {reset_card, removed_card, service_stopped, unknown_reader});
    fake.script_reply({0x90, 0x00});
    scoped_pcsc in_force(fake);

    const std::uint8_t apdu[] = {0x80, 0x01, 0x00, 0x00};
    std::uint8_t reply[16];
    const pcsc_code expected[] = {reset_card, removed_card, service_stopped, unknown_reader};
    for (pcsc_code want : expected) {
        std::uint32_t len = sizeof reply;
        EXPECT_EQ(pcsc().transmit_t1(0, apdu, sizeof apdu, reply, &len), want);
    }
    std::uint32_t len = sizeof reply;
    ASSERT_EQ(pcsc().transmit_t1(0, apdu, sizeof apdu, reply, &len), 0);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(reply[0], 0x90);
    EXPECT_EQ(fake.count(pcsc_call::transmit), 5);
    EXPECT_EQ(fake.sent().size(), 5u);
}

TEST(PcscSeam, RestoringGivesTheSystemTableBack) {
    scripted_pcsc fake;
    {
        scoped_pcsc in_force(fake);
        EXPECT_EQ(&pcsc(), &fake);
    }
    EXPECT_EQ(&pcsc(), &platform::system_pcsc());
}

TEST(PcscSeam, FixedReaderListAnswersSizeQueryAndShortBuffer) {
    scripted_pcsc fake;
    fake.readers({"A", "BC"});
    scoped_pcsc in_force(fake);

    platform::pcsc_context ctx = 0;
    std::uint32_t len = 0;
    ASSERT_EQ(pcsc().list_readers(ctx, nullptr, &len), 0);
    EXPECT_EQ(len, 6u);  // "A\0BC\0\0"

    char buf[8] = {};
    std::uint32_t short_len = 5;
    EXPECT_EQ(pcsc().list_readers(ctx, buf, &short_len), insufficient_buffer);
    std::uint32_t full = sizeof buf;
    ASSERT_EQ(pcsc().list_readers(ctx, buf, &full), 0);
    EXPECT_EQ(std::memcmp(buf, "A\0BC\0\0", 6), 0);
}

TEST(PcscSeam, SleepHookReplacesTheRealPause) {
    scripted_pcsc fake;
    scoped_pcsc in_force(fake);
    platform::sleep_ms(1000);
    platform::sleep_ms(250);
    EXPECT_EQ(scoped_pcsc::slept_ms().load(), 1250u);
}

TEST(PcscSeam, PnpReaderIsSpelledForPcscLite) {
    EXPECT_STREQ(platform::pnp_notification_reader, "\\\\?PnP?\\Notification");
}
