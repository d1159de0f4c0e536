// End to end through pcsc-lite, pcscd, vpcd and the virtual token: the
// device and transport exports as an outside application calls them.
// Only the public header is used (and PC/SC itself for a second client), so
// that the same tests can run against the shared library.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ZervikSolvanta.h"
#include "card_fixture.h"
#include "platform/pcsc_api.h"
#include "support/child_process.h"

using std::chrono::milliseconds;
using test_support::card_reader;
using test_support::from_hex;
using test_support::to_hex;

namespace {

class device_card_test : public test_support::card_test {};

const int unknown_reader = static_cast<int>(platform::pcsc_rc::unknown_reader);

TEST_F(device_card_test, EnumDevListsTheMatchingReaders) {
    const std::string expected = std::string("Solvanta Token 00 00") + '\0' + "Solvanta Token 00 01" + '\0' + '\0';
    char buffer[128];
    std::memset(buffer, '#', sizeof buffer);
    int length = static_cast<int>(expected.size()) - 1;
    EXPECT_EQ(Zervik_EnumDev(test_support::card_reader_filter, buffer, &length), 2);
    EXPECT_EQ(length, static_cast<int>(expected.size()));
    EXPECT_EQ(buffer[0], '#');

    ASSERT_EQ(Zervik_EnumDev(test_support::card_reader_filter, buffer, &length), 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), expected);

    length = sizeof buffer;
    ASSERT_EQ(Zervik_EnumDev("00 01", buffer, &length), 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), std::string("Solvanta Token 00 01") + '\0' + '\0');

    length = sizeof buffer;
    EXPECT_EQ(Zervik_EnumDev("No Such Reader", buffer, &length), 0);
    EXPECT_EQ(length, 0);
}

TEST_F(device_card_test, ConnectTwiceGivesTheSameHandle) {
    int length = 0;
    Zervik_EnumDev(test_support::card_reader_filter, nullptr, &length);
    ZERVIK_HANDLE first = connect();
    ZERVIK_HANDLE second = connect();
    EXPECT_EQ(first, second);
    handles_.pop_back();

    ZERVIK_HANDLE none = nullptr;
    EXPECT_EQ(Zervik_ConnectDev("No Such Reader 00 00", &none), unknown_reader);
    EXPECT_EQ(none, nullptr);
    // The reader without a card.
    EXPECT_EQ(Zervik_ConnectDev(test_support::empty_reader, &none),
              platform::to_pcsc_code(SCARD_E_NO_SMARTCARD));
}

TEST_F(device_card_test, DeviceIOPassesRawBytesWhateverTheStatus) {
    ZERVIK_HANDLE handle = connect();
    const std::string chip_id = vt_.call("dump")["state"]["chip_id"].get<std::string>();
    int result = -1;
    EXPECT_EQ(exchange(handle, "80ee0000", result), "6d00");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(exchange(handle, "8003000000", result), chip_id + "9000");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(vt_.commands(), (std::vector<std::string>{"80ee0000", "8003000000"}));

    // A reply that does not fit is not written.
    exchange(handle, "8003000000", result, static_cast<int>(chip_id.size() / 2 + 1));
    EXPECT_EQ(result, 3);
}

TEST_F(device_card_test, OversizeCommandNeverReachesTheCard) {
    ZERVIK_HANDLE handle = connect();
    std::vector<unsigned char> apdu(2049, 0);
    apdu[0] = 0x80;
    apdu[1] = 0xEE;
    unsigned char reply[16];
    int length = sizeof reply;
    EXPECT_EQ(Zervik_DeviceIO(handle, apdu.data(), 2049, reply, &length), 1);
    EXPECT_TRUE(vt_.commands().empty());
}

TEST_F(device_card_test, ReplyOfTheFullSizeIsDelivered) {
    ZERVIK_HANDLE handle = connect();
    const std::string full = std::string(2046 * 2, 'a') + "9000";
    vt_.override_replies({full, full});
    int result = -1;
    exchange(handle, "80ee0000", result, 2047);
    EXPECT_EQ(result, 3);
    EXPECT_EQ(exchange(handle, "80ee0000", result, 2048), full);
    EXPECT_EQ(result, 0);
}

TEST_F(device_card_test, EmptyReplyIsNeverSuccess) {
    // Through vpcd an empty reply holds the exchange until the card leaves;
    // PC/SC then reports success with no bytes.
    ZERVIK_HANDLE handle = connect();
    vt_.override_replies({""});
    int result = -1;
    std::thread exchanging([&] { exchange(handle, "80ee0000", result); });
    // Wait until the card has taken the command, then pull it.
    bool taken = false;
    for (int i = 0; i < 1000 && !taken; ++i) {
        taken = !vt_.commands().empty();
        if (!taken) std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_TRUE(taken);
    vt_.call("remove");
    exchanging.join();
    EXPECT_EQ(result, 2);
}

TEST_F(device_card_test, BadRepliesAreNeverSuccess) {
    ZERVIK_HANDLE handle = connect();
    for (const char* bad : {"90", "0000", "01020000"}) {
        vt_.override_replies({bad});
        int result = -1;
        exchange(handle, "80ee0000", result);
        EXPECT_EQ(result, 2) << "reply '" << bad << "'";
    }
    // The card answers normally again afterwards.
    int result = -1;
    EXPECT_EQ(exchange(handle, "80ee0000", result), "6d00");
}

TEST_F(device_card_test, CardResetByAnotherClientIsRecoveredOnce) {
    ZERVIK_HANDLE handle = connect();
    int result = -1;
    EXPECT_EQ(exchange(handle, "80ee0001", result), "6d00");

    // A second client resets the card under the library's connection.
    auto reset_card = [] {
        platform::pcsc_api& pcsc = platform::system_pcsc();
        platform::pcsc_context context = 0;
        ASSERT_EQ(pcsc.establish_context(&context), 0);
        platform::pcsc_handle card = 0;
        std::uint32_t protocol = 0;
        ASSERT_EQ(pcsc.connect(context, card_reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol), 0);
        EXPECT_EQ(pcsc.disconnect(card, SCARD_RESET_CARD), 0);
        pcsc.release_context(context);
    };
    vt_.clear_log();
    reset_card();
    EXPECT_EQ(exchange(handle, "80ee0002", result), "6d00");
    EXPECT_EQ(result, 0);
    // The card was reset, and the command sent once: the reset is reported
    // before the command goes out.
    const auto controls = vt_.controls();
    EXPECT_NE(std::find(controls.begin(), controls.end(), "02"), controls.end());
    EXPECT_EQ(vt_.commands(), std::vector<std::string>{"80ee0002"});

    reset_card();
    EXPECT_EQ(Zervik_BeginTransaction(handle), 0);
    EXPECT_EQ(exchange(handle, "80ee0003", result), "6d00");
    EXPECT_EQ(Zervik_EndTransaction(handle), 0);
}

TEST_F(device_card_test, AfterRemoveDeviceEveryCallGives1) {
    ZERVIK_HANDLE handle = connect();
    handles_.clear();
    EXPECT_EQ(Zervik_RemoveDevice(handle), 0);
    int result = -1;
    exchange(handle, "80ee0000", result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Zervik_BeginTransaction(handle), 1);
    EXPECT_EQ(Zervik_EndTransaction(handle), 1);
    EXPECT_EQ(Zervik_UpdateDevHandle(handle, 0, 0), 1);
    EXPECT_EQ(Zervik_DisconnectDev(handle), 1);
    EXPECT_EQ(Zervik_RemoveDevice(handle), 1);
    EXPECT_TRUE(vt_.commands().empty());

    // The reader itself is still there to connect to.
    ZERVIK_HANDLE again = connect();
    EXPECT_EQ(exchange(again, "80ee0000", result), "6d00");
}

TEST_F(device_card_test, TransactionMakesAnotherProcessWait) {
    ZERVIK_HANDLE handle = connect();
    test_support::child_process helper(ZERVIK_CARD_HELPER, {"transaction", card_reader, "80ee0002"});
    ASSERT_TRUE(helper.started());
    std::string line;
    ASSERT_TRUE(helper.next_line(line, test_support::child_answer_time));
    ASSERT_EQ(line, "connected 0");

    ASSERT_EQ(Zervik_BeginTransaction(handle), 0);
    ASSERT_TRUE(helper.write_line("go"));
    ASSERT_TRUE(helper.next_line(line, test_support::child_answer_time));
    ASSERT_EQ(line, "beginning 0");
    // While this process holds the card, the helper's transaction waits.
    EXPECT_FALSE(helper.line_within(milliseconds(700)));

    int result = -1;
    EXPECT_EQ(exchange(handle, "80ee0001", result), "6d00");
    EXPECT_EQ(Zervik_EndTransaction(handle), 0);

    for (const char* step : {"began 0", "sent 0", "ended 0", "disconnected 0"}) {
        ASSERT_TRUE(helper.next_line(line, test_support::child_answer_time)) << step;
        EXPECT_EQ(line, step);
    }
    EXPECT_EQ(helper.wait_exit(), 0);
    EXPECT_EQ(vt_.commands(), (std::vector<std::string>{"80ee0001", "80ee0002"}));
}

}  // namespace
