// device_winscard through the PC/SC seam: connect retries, exchange with
// recovery, the reply kept, transactions, and who releases a connection.
#include <gtest/gtest.h>

#include <cstring>

#include "seam_fixture.h"
#include "transport/device_winscard.h"

using namespace platform::pcsc_rc;
using test_support::pcsc_call;
using test_support::scoped_pcsc;
using test_support::scripted_pcsc;
using zervik::device_winscard;

namespace {

const platform::pcsc_code sharing_violation = platform::to_pcsc_code(SCARD_E_SHARING_VIOLATION);
const platform::pcsc_code no_smartcard = platform::to_pcsc_code(SCARD_E_NO_SMARTCARD);

class transport_test : public test_support::seam_test {
protected:
    device_winscard device_{"Solvanta Token 00 00"};

    void connect() { ASSERT_EQ(device_.connect(), 0); }
};

// ---- connect -------------------------------------------------------------

struct connect_case {
    const char* what;
    std::vector<platform::pcsc_code> connect_codes;  // then success
    platform::pcsc_code always;                      // 0: none
    platform::pcsc_code result;
    int attempts;
    std::uint64_t slept_ms;
    int contexts;  // contexts established
};

class connect_retry : public transport_test, public ::testing::WithParamInterface<connect_case> {};

TEST_P(connect_retry, FollowsTheRulePerCode) {
    const connect_case& c = GetParam();
    fake_.script(pcsc_call::connect, c.connect_codes);
    if (c.always != 0) fake_.always(pcsc_call::connect, c.always);

    EXPECT_EQ(device_.connect(), c.result);
    EXPECT_EQ(fake_.count(pcsc_call::connect), c.attempts);
    EXPECT_EQ(scoped_pcsc::slept_ms().load(), c.slept_ms);
    EXPECT_EQ(fake_.count(pcsc_call::establish_context), c.contexts);
    if (c.result == 0) {
        EXPECT_EQ(device_.card(), scripted_pcsc::fake_handle_);
        EXPECT_TRUE(device_.owns_connection());
    } else {
        // A failed connect keeps nothing open.
        EXPECT_EQ(device_.card(), 0u);
        EXPECT_EQ(device_.context(), 0u);
        EXPECT_EQ(fake_.count(pcsc_call::release_context), c.contexts);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, connect_retry,
    ::testing::Values(
        connect_case{"removed card: ten tries a second apart", {}, removed_card, removed_card, 10, 9000, 1},
        connect_case{"unknown reader: one try", {}, unknown_reader, unknown_reader, 1, 0, 1},
        connect_case{"other codes: ten tries at once", {}, sharing_violation, sharing_violation, 10, 0, 1},
        connect_case{"removed twice, then present", {removed_card, removed_card}, 0, 0, 3, 2000, 1},
        connect_case{"service stopped: new context, then connects", {service_stopped}, 0, 0, 2, 0, 2},
        connect_case{"service stopped every time", {}, service_stopped, service_stopped, 10, 0, 10}),
    [](const ::testing::TestParamInfo<connect_case>& p) { return "case" + std::to_string(p.index); });

TEST_F(transport_test, ConnectReturnsAFailedContextAtOnce) {
    fake_.script(pcsc_call::establish_context, {no_service});
    EXPECT_EQ(device_.connect(), no_service);
    EXPECT_EQ(fake_.count(pcsc_call::connect), 0);

    // After the service stopped, a failing new context ends the tries.
    fake_.script(pcsc_call::connect, {service_stopped});
    fake_.script(pcsc_call::establish_context, {0, no_service});
    EXPECT_EQ(device_.connect(), no_service);
    EXPECT_EQ(fake_.count(pcsc_call::connect), 1);
}

// ---- exchange --------------------------------------------------------------

TEST_F(transport_test, ResetCardIsReconnectedAndSentOnceMore) {
    connect();
    fake_.script(pcsc_call::transmit, {reset_card});
    fake_.script_reply({0x01, 0x02, 0x90, 0x00});

    const std::uint8_t apdu[] = {0x80, 0x03, 0x00, 0x00, 0x00};
    std::uint8_t reply[16] = {};
    std::uint32_t length = sizeof reply;
    ASSERT_EQ(device_.transmit(apdu, sizeof apdu, reply, &length), 0);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(reply[1], 0x02);
    EXPECT_EQ(fake_.count(pcsc_call::reconnect), 1);
    ASSERT_EQ(fake_.sent().size(), 2u);
    EXPECT_EQ(fake_.sent()[0], fake_.sent()[1]);
}

TEST_F(transport_test, SecondFailureIsReturnedWithoutAThirdTry) {
    connect();
    fake_.script(pcsc_call::transmit, {reset_card, reset_card});

    const std::uint8_t apdu[] = {0x80, 0x16, 0x00, 0x00};
    std::uint8_t reply[16];
    std::uint32_t length = sizeof reply;
    EXPECT_EQ(device_.transmit(apdu, sizeof apdu, reply, &length), 1);
    EXPECT_EQ(fake_.count(pcsc_call::transmit), 2);
    EXPECT_EQ(fake_.count(pcsc_call::reconnect), 1);
}

TEST_F(transport_test, FailedReconnectEndsTheExchange) {
    connect();
    fake_.script(pcsc_call::transmit, {removed_card});
    fake_.script(pcsc_call::reconnect, {no_smartcard});
    const std::uint8_t apdu[] = {0x80, 0x16, 0x00, 0x00};
    EXPECT_EQ(device_.send(apdu, sizeof apdu), no_smartcard);
    EXPECT_EQ(fake_.count(pcsc_call::transmit), 1);
}

TEST_F(transport_test, ServiceStoppedOpensANewConnectionForTheRetry) {
    connect();
    fake_.script(pcsc_call::transmit, {service_stopped});
    fake_.script_reply({0x90, 0x00});
    const std::uint8_t apdu[] = {0x80, 0x16, 0x00, 0x00};
    EXPECT_EQ(device_.send(apdu, sizeof apdu), 0);
    EXPECT_EQ(fake_.count(pcsc_call::establish_context), 2);
    EXPECT_EQ(fake_.count(pcsc_call::connect), 2);
    EXPECT_EQ(fake_.count(pcsc_call::release_context), 1);
    EXPECT_TRUE(device_.owns_connection());

    // When the card cannot be reached again the device is left closed.
    fake_.script(pcsc_call::transmit, {service_stopped});
    fake_.script(pcsc_call::connect, {unknown_reader});
    EXPECT_EQ(device_.send(apdu, sizeof apdu), unknown_reader);
    EXPECT_EQ(device_.context(), 0u);
    EXPECT_EQ(device_.card(), 0u);
}

TEST_F(transport_test, CommandLengthIsCheckedBeforeAnythingIsSent) {
    connect();
    std::vector<std::uint8_t> apdu(2049, 0x11);
    std::uint8_t reply[8];
    for (std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{2049}, std::size_t{65535}}) {
        std::uint32_t reply_length = sizeof reply;
        EXPECT_EQ(device_.transmit(apdu.data(), static_cast<std::uint32_t>(length), reply, &reply_length), 1)
            << length;
    }
    EXPECT_EQ(device_.transmit(nullptr, 4, reply, nullptr), 1);
    EXPECT_TRUE(fake_.sent().empty());

    // The bounds themselves pass.
    for (std::uint32_t length : {4u, 2048u}) {
        fake_.script_reply({0x90, 0x00});
        std::uint32_t reply_length = sizeof reply;
        EXPECT_EQ(device_.transmit(apdu.data(), length, reply, &reply_length), 0) << length;
    }
    ASSERT_EQ(fake_.sent().size(), 2u);
    EXPECT_EQ(fake_.sent()[1].size(), 2048u);
}

struct reply_case {
    std::vector<std::uint8_t> reply;
    int transmit;  // result of transmit
};

class reply_kind : public transport_test, public ::testing::WithParamInterface<reply_case> {};

// A good reply first, so that a stale length or buffer would show.
TEST_P(reply_kind, OnlyAReplyWithAStatusWordIsUsable) {
    connect();
    fake_.script_reply({0xAA, 0xBB, 0x90, 0x00});
    fake_.script_reply(GetParam().reply);
    const std::uint8_t apdu[] = {0x80, 0x03, 0x00, 0x00, 0x00};
    std::uint8_t reply[16];
    std::uint32_t length = sizeof reply;
    ASSERT_EQ(device_.transmit(apdu, sizeof apdu, reply, &length), 0);

    std::memset(reply, 0xEE, sizeof reply);
    length = sizeof reply;
    EXPECT_EQ(device_.transmit(apdu, sizeof apdu, reply, &length), GetParam().transmit);
    if (GetParam().transmit == 0) {
        EXPECT_EQ(length, GetParam().reply.size());
        EXPECT_EQ(std::memcmp(reply, GetParam().reply.data(), length), 0);
    } else {
        EXPECT_EQ(length, sizeof reply);
        EXPECT_EQ(reply[0], 0xEE);
        std::uint32_t again = sizeof reply;
        EXPECT_EQ(device_.receive(reply, &again), 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, reply_kind,
                         ::testing::Values(reply_case{{}, 2},                  // empty
                                           reply_case{{0x90}, 2},              // one byte
                                           reply_case{{0x00, 0x00}, 2},        // SW 0000
                                           reply_case{{0x12, 0x00, 0x34}, 2},  // SW1 00
                                           reply_case{{0x6D, 0x00}, 0},        // a status word
                                           reply_case{{0x01, 0x90, 0x00}, 0}));

TEST_F(transport_test, ReceiveReadsTheLengthAsCapacity) {
    connect();
    std::vector<std::uint8_t> full(2048, 0x5A);
    full[2046] = 0x90;
    full[2047] = 0x00;
    fake_.script_reply(full);
    const std::uint8_t apdu[] = {0x80, 0x44, 0x00, 0x00, 0x00};
    ASSERT_EQ(device_.send(apdu, sizeof apdu), 0);

    std::vector<std::uint8_t> out(2048, 0);
    std::uint32_t length = 2047;
    EXPECT_EQ(device_.receive(out.data(), &length), 3);
    EXPECT_EQ(length, 2047u);
    EXPECT_EQ(out[0], 0);
    length = 2048;
    EXPECT_EQ(device_.receive(out.data(), &length), 0);
    EXPECT_EQ(out, full);
    EXPECT_EQ(device_.receive(nullptr, &length), 3);
}

// ---- transactions --------------------------------------------------------

TEST_F(transport_test, BeginTransactionAfterResetBeginsAgain) {
    connect();
    fake_.script(pcsc_call::begin_transaction, {reset_card});
    EXPECT_EQ(device_.begin_transaction(), 0);
    EXPECT_EQ(fake_.count(pcsc_call::reconnect), 1);
    EXPECT_EQ(fake_.count(pcsc_call::begin_transaction), 2);
    EXPECT_EQ(device_.end_transaction(), 0);
}

TEST_F(transport_test, BeginTransactionFailureIsNotSuccess) {
    connect();
    fake_.script(pcsc_call::begin_transaction, {sharing_violation});
    EXPECT_EQ(device_.begin_transaction(), sharing_violation);
    EXPECT_EQ(fake_.count(pcsc_call::reconnect), 0);

    fake_.script(pcsc_call::begin_transaction, {removed_card});
    fake_.script(pcsc_call::reconnect, {no_smartcard});
    EXPECT_EQ(device_.begin_transaction(), no_smartcard);
    EXPECT_EQ(fake_.count(pcsc_call::begin_transaction), 2);
}

// ---- who releases a connection --------------------------------------------

TEST_F(transport_test, DeletingADeviceReleasesOnlyWhatItOpened) {
    {
        device_winscard own("A");
        ASSERT_EQ(own.connect(), 0);
    }
    EXPECT_EQ(fake_.disconnected(), std::vector<platform::pcsc_handle>{scripted_pcsc::fake_handle_});
    EXPECT_EQ(fake_.released(), std::vector<platform::pcsc_context>{scripted_pcsc::fake_context_});

    {
        device_winscard attached("B");
        attached.attach(0x71, 0x72);
        EXPECT_FALSE(attached.owns_connection());
    }
    EXPECT_EQ(fake_.count(pcsc_call::disconnect), 1);
    EXPECT_EQ(fake_.count(pcsc_call::release_context), 1);
}

TEST_F(transport_test, AttachOverAnOwnConnectionReleasesIt) {
    connect();
    device_.attach(0x71, 0x72);
    EXPECT_EQ(fake_.disconnected(), std::vector<platform::pcsc_handle>{scripted_pcsc::fake_handle_});
    EXPECT_EQ(device_.card(), 0x72u);
    EXPECT_EQ(device_.context(), 0x71u);

    // An explicit disconnect releases whatever the device holds.
    EXPECT_EQ(device_.disconnect(), 0);
    EXPECT_EQ(fake_.disconnected().back(), 0x72u);
    EXPECT_EQ(fake_.released().back(), 0x71u);
    EXPECT_EQ(device_.card(), 0u);
}

TEST_F(transport_test, NamesMustFitTheNameField) {
    EXPECT_TRUE(device_winscard::valid_reader_name(""));
    EXPECT_TRUE(device_winscard::valid_reader_name(std::string(255, 'n').c_str()));
    EXPECT_FALSE(device_winscard::valid_reader_name(std::string(256, 'n').c_str()));
    EXPECT_FALSE(device_winscard::valid_reader_name(nullptr));
}

}  // namespace
