// The module's devices and its arrival/removal wait against PC/SC services
// in memory: the token listing, handles, open and close, and the wait with
// its cancel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "card_commands.h"
#include "card_device.h"
#include "card_device_source.h"
#include "notify/device_event_wait.h"
#include "support/fake_card_service.h"
#include "support/scripted_pcsc.h"

using namespace std::chrono_literals;
using namespace solvantex;
using test_support::pcsc_call;
using test_support::scoped_pcsc;
using test_support::scripted_pcsc;
using platform::to_pcsc_code;

namespace {

std::string listed(const char* buffer, std::uint32_t length) { return std::string(buffer, length); }

class card_device_test : public ::testing::Test {
protected:
    card_device_test() : scope_(pcsc_) {
        pcsc_.fake_service();
        pcsc_.readers({});
        std::uint32_t length = 0;
        EXPECT_EQ(list_devices(nullptr, &length), 0);  // an empty device list
    }
    ~card_device_test() override {
        pcsc_.readers({});
        std::uint32_t length = 0;
        list_devices(nullptr, &length);
        set_module_sm_flag(0);
    }

    std::int32_t list(std::vector<char>& buffer, std::uint32_t* length) {
        return list_devices(buffer.data(), length);
    }

    scripted_pcsc pcsc_;
    scoped_pcsc scope_;
};

}  // namespace

TEST_F(card_device_test, OnlyTokenReadersAreListedAsADoubleNulMultiString) {
    pcsc_.readers({"Solvanta Token 00 00", "Other Reader 0", "solvanta lower 1", "ACME Solvanta 2"});
    std::vector<char> buffer(64, 'x');
    std::uint32_t length = 64;
    ASSERT_EQ(list(buffer, &length), 0);
    const std::string expected = std::string("Solvanta Token 00 00") + '\0' + "ACME Solvanta 2" + '\0' + '\0';
    EXPECT_EQ(listed(buffer.data(), length), expected);
    EXPECT_EQ(buffer[length], 'x');
    // Every listing starts from the first device.
    length = 64;
    ASSERT_EQ(list(buffer, &length), 0);
    EXPECT_EQ(listed(buffer.data(), length), expected);
}

TEST_F(card_device_test, AShortBufferGetsTheNeededLengthAndNothingWritten) {
    pcsc_.readers({"Solvanta Token 00 00", "Solvanta Token 00 01"});
    std::vector<char> buffer(64, 'x');
    std::uint32_t length = 42;  // 21 + 21 + 1 needed
    EXPECT_EQ(list(buffer, &length), 2);
    EXPECT_EQ(length, 43u);
    EXPECT_EQ(buffer[0], 'x');
    length = 0;
    EXPECT_EQ(list_devices(nullptr, &length), 2);
    EXPECT_EQ(length, 43u);
    length = 43;
    EXPECT_EQ(list(buffer, &length), 0);
    EXPECT_EQ(length, 43u);
    EXPECT_EQ(list_devices(buffer.data(), nullptr), 1);
}

TEST_F(card_device_test, NoTokenReaderLeavesAnEmptyMultiString) {
    pcsc_.readers({"Other Reader 0"});
    std::vector<char> buffer(8, 'x');
    std::uint32_t length = 8;
    EXPECT_EQ(list(buffer, &length), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '\0');
    EXPECT_EQ(buffer[2], 'x');
    // No reader at all is no failure either; a one-byte buffer gets one NUL.
    pcsc_.readers({});
    buffer.assign(8, 'x');
    length = 1;
    EXPECT_EQ(list(buffer, &length), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');
}

TEST_F(card_device_test, AListingFailureIsReturnedAndKeepsTheDevices) {
    pcsc_.readers({"Solvanta Token 00 00"});
    card_handle h = 0;
    ASSERT_EQ(open_device("Solvanta Token 00 00", &h), 0);
    for (platform::pcsc_code failure : {to_pcsc_code(SCARD_E_NO_SERVICE), to_pcsc_code(SCARD_E_SERVICE_STOPPED),
                                        to_pcsc_code(SCARD_F_INTERNAL_ERROR)}) {
        pcsc_.script(pcsc_call::list_readers, {failure});
        std::vector<char> buffer(64, 'x');
        std::uint32_t length = 64;
        EXPECT_EQ(list(buffer, &length), failure);
        EXPECT_EQ(length, 64u);
        EXPECT_NE(device_of(h), nullptr) << "the device was purged";
    }
    pcsc_.script(pcsc_call::establish_context, {to_pcsc_code(SCARD_E_NO_SERVICE)});
    std::uint32_t length = 0;
    EXPECT_EQ(list_devices(nullptr, &length), to_pcsc_code(SCARD_E_NO_SERVICE));
    EXPECT_NE(device_of(h), nullptr);
}

TEST_F(card_device_test, OpenRefusesAnEmptyNameAndClearsTheFlagOnSuccess) {
    card_handle h = 0;
    EXPECT_EQ(open_device(nullptr, &h), 1);
    EXPECT_EQ(open_device("", &h), 1);
    EXPECT_EQ(open_device("Solvanta Token 00 00", nullptr), 1);
    EXPECT_EQ(h, 0u);

    pcsc_.readers({"Solvanta Token 00 00"});
    set_module_sm_flag(1);
    pcsc_.always(pcsc_call::connect, to_pcsc_code(SCARD_E_NO_SMARTCARD));
    EXPECT_EQ(open_device("Solvanta Token 00 00", &h), to_pcsc_code(SCARD_E_NO_SMARTCARD));
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(module_sm_flag(), 1) << "a failed connect leaves the flag";
    pcsc_.always(pcsc_call::connect, 0);
    EXPECT_EQ(open_device("Solvanta Token 00 00", &h), 0);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(module_sm_flag(), 0);
}

TEST_F(card_device_test, CloseDisconnectsAndTheHandleDiesWithIt) {
    pcsc_.readers({"Solvanta Token 00 00"});
    card_handle h = 0;
    ASSERT_EQ(open_device("Solvanta Token 00 00", &h), 0);
    const std::size_t disconnects = pcsc_.disconnected().size();
    EXPECT_EQ(close_device(h), 0);
    EXPECT_GT(pcsc_.disconnected().size(), disconnects);
    EXPECT_EQ(close_device(h), 1);
    EXPECT_EQ(close_device(0), 1);
    std::uint64_t health = 0;
    std::uint8_t challenge[8];
    EXPECT_EQ(card_get_health(h, &health), 1);
    EXPECT_EQ(card_get_challenge(h, 8, challenge), 1);
    EXPECT_EQ(card_setup_secure_channel(h), 1);
    EXPECT_TRUE(pcsc_.sent().empty()) << "a refused handle sends nothing";
}

TEST_F(card_device_test, AHandleOfAPurgedDeviceStaysRefusedWhenTheReaderComesBack) {
    pcsc_.readers({"Solvanta Token 00 00"});
    card_handle old = 0;
    ASSERT_EQ(open_device("Solvanta Token 00 00", &old), 0);
    const zervik::device_winscard* old_device = device_of(old);
    ASSERT_NE(old_device, nullptr);

    pcsc_.readers({});
    std::uint32_t length = 0;
    ASSERT_EQ(list_devices(nullptr, &length), 0);  // purged
    EXPECT_EQ(device_of(old), nullptr);

    // The reader comes back; its new device may well sit at the old address.
    pcsc_.readers({"Solvanta Token 00 00"});
    card_handle fresh = 0;
    ASSERT_EQ(open_device("Solvanta Token 00 00", &fresh), 0);
    EXPECT_NE(fresh, old);
    EXPECT_EQ(device_of(old), nullptr);
    EXPECT_NE(device_of(fresh), nullptr);
    EXPECT_EQ(close_device(old), 1);
    // A value that was never handed out, such as a device's address.
    EXPECT_EQ(device_of(reinterpret_cast<card_handle>(device_of(fresh))), nullptr);
    std::uint64_t health = 0;
    EXPECT_EQ(card_get_health(old, &health), 1);
}

// A token device is a token reader holding a card: this service reports no
// card in any reader (the reader holding the virtual token is covered end
// to end).
TEST_F(card_device_test, TheDeviceSourceGivesTheReadersHoldingACard) {
    pcsc_.readers({"Solvanta Token 00 00", "Other", "Solvanta Token 00 01"});
    card_device_source source;
    std::vector<std::string> names{"stale"};
    ASSERT_EQ(source.list_devices(names), 0);
    EXPECT_TRUE(names.empty()) << "no reader holds a card";
    names = {"kept"};
    pcsc_.script(pcsc_call::list_readers, {to_pcsc_code(SCARD_E_NO_SERVICE)});
    EXPECT_EQ(source.list_devices(names), to_pcsc_code(SCARD_E_NO_SERVICE));
    EXPECT_EQ(names, (std::vector<std::string>{"kept"})) << "names kept on failure";
    pcsc_.readers({});
    ASSERT_EQ(source.list_devices(names), 0);
    EXPECT_TRUE(names.empty());
}

// ---- the event wait --------------------------------------------------------

namespace {

void short_sleep(std::uint32_t) { std::this_thread::sleep_for(1ms); }

class token_event_test : public ::testing::Test {
protected:
    token_event_test() {
        platform::set_pcsc(&fake_);
        platform::set_sleep_hook(&short_sleep);
        restart_token_device_event();
    }
    ~token_event_test() override {
        cancel_token_device_event();
        restart_token_device_event();
        platform::set_pcsc(nullptr);
        platform::set_sleep_hook(nullptr);
    }

    // The event of one wait on another thread.
    std::future<std::int32_t> wait_async() {
        return std::async(std::launch::async, [] {
            std::int32_t event = -1;
            EXPECT_EQ(wait_token_device_event(nullptr, &event), 0);
            return event;
        });
    }
    // Until a wait is inside and the watch blocks in its next status wait.
    void until_blocked(int after = 0) {
        const int calls = fake_.status_calls() + after;
        for (int i = 0; i < 20000 && zervik::device_event_callback()->waiting() < 1; ++i)
            std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(fake_.wait_until_idle(calls));
    }

    test_support::fake_card_service fake_;
};

std::int32_t wait_now() {
    std::int32_t event = -1;
    EXPECT_EQ(wait_token_device_event(nullptr, &event), 0);
    return event;
}

}  // namespace

TEST_F(token_event_test, ArrivalAndRemovalOfATokenReader) {
    fake_.add_reader("Other Reader");
    fake_.add_reader("Solvanta Token 00 00");
    auto waiting = wait_async();
    until_blocked();
    fake_.insert("Other Reader");  // not a token reader: no event
    fake_.insert("Solvanta Token 00 00");
    EXPECT_EQ(waiting.get(), token_arrived);
    waiting = wait_async();
    until_blocked();
    fake_.remove("Solvanta Token 00 00");
    EXPECT_EQ(waiting.get(), token_removed);
}

TEST_F(token_event_test, ATokenPresentAtTheFirstWaitArrivesAtOnce) {
    fake_.add_reader("Solvanta Token 00 00", true);
    EXPECT_EQ(wait_now(), token_arrived);
}

TEST_F(token_event_test, ACancelEndsAWaitAndTheNextWaitAfterARestartWatchesAnew) {
    fake_.add_reader("Solvanta Token 00 00");
    auto waiting = wait_async();
    until_blocked();
    cancel_token_device_event();
    EXPECT_EQ(waiting.get(), token_wait_cancelled);
    restart_token_device_event();
    waiting = wait_async();
    until_blocked();
    fake_.insert("Solvanta Token 00 00");
    EXPECT_EQ(waiting.get(), token_arrived);
}

TEST_F(token_event_test, ACancelBeforeTheWaitEndsItAtOnceAndStaysUntilARestart) {
    fake_.add_reader("Solvanta Token 00 00", true);
    cancel_token_device_event();
    const int contexts = fake_.establish_calls();
    EXPECT_EQ(wait_now(), token_wait_cancelled);
    EXPECT_EQ(wait_now(), token_wait_cancelled);
    EXPECT_EQ(fake_.establish_calls(), contexts) << "no watch was started";
    restart_token_device_event();
    EXPECT_EQ(wait_now(), token_arrived);
}

// However a cancel meets a wait that is just starting (before its queue
// exists, while it starts the watch, or blocked), the wait ends with 3.
TEST_F(token_event_test, ACancelRacingAStartingWaitAlwaysEndsIt) {
    fake_.add_reader("Solvanta Token 00 00");
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        restart_token_device_event();
        auto waiting = wait_async();
        // Rounds cancel at different points of the wait's start.
        std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
        cancel_token_device_event();
        ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(waiting.get(), token_wait_cancelled);
    }
}

TEST_F(token_event_test, AnUnexpectedPcscFailureInTheWatchDoesNotEndTheWait) {
    fake_.add_reader("Solvanta Token 00 00");
    auto waiting = wait_async();
    until_blocked();
    const int contexts = fake_.establish_calls();
    fake_.fail_next_wait(platform::to_pcsc_code(SCARD_F_INTERNAL_ERROR));
    // The watch starts again with a new context; the wait goes on.
    ASSERT_TRUE(fake_.wait_for_establish_calls(contexts + 1));
    until_blocked();
    EXPECT_EQ(waiting.wait_for(0ms), std::future_status::timeout);
    fake_.insert("Solvanta Token 00 00");
    EXPECT_EQ(waiting.get(), token_arrived);
}

TEST_F(token_event_test, ANullEventIsRefused) { EXPECT_EQ(wait_token_device_event(nullptr, nullptr), 1); }

TEST_F(token_event_test, TheDeviceSourceStopsAndRestarts) {
    fake_.add_reader("Solvanta Token 00 00");
    card_device_source source;
    auto waiting = std::async(std::launch::async, [&source] { return source.wait_event(); });
    until_blocked();
    source.stop_events();
    EXPECT_EQ(waiting.get(), pkcs11::pkcs11_device_source::event_stopped);
    EXPECT_EQ(source.wait_event(), pkcs11::pkcs11_device_source::event_stopped);
    source.restart_events();
    fake_.insert("Solvanta Token 00 00");
    EXPECT_EQ(source.wait_event(), pkcs11::pkcs11_device_source::event_arrival);
}
