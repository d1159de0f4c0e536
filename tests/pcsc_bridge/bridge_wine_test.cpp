// Windows programs under Wine reach the virtual token through the stand-in
// winscard.dll and the bridge: the system's own PC/SC table of the platform
// seam, and the few winscard calls beyond it, against pcscd and the token.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/pcsc_api.h"

using platform::pcsc_code;
using platform::pcsc_context;
using platform::pcsc_handle;
using platform::pcsc_reader_state;
using platform::system_pcsc;
using platform::to_pcsc_code;
namespace pcsc_rc = platform::pcsc_rc;

namespace {

constexpr std::uint32_t t0_or_t1 = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

std::vector<std::string> split_multi_string(const char* p, std::uint32_t length) {
    std::vector<std::string> names;
    const char* end = p + length;
    while (p < end && *p != '\0') {
        names.emplace_back(p);
        p += names.back().size() + 1;
    }
    return names;
}

class context_guard {
public:
    context_guard() { rv = system_pcsc().establish_context(&value); }
    ~context_guard() {
        if (rv == pcsc_rc::success) system_pcsc().release_context(value);
    }
    context_guard(const context_guard&) = delete;
    context_guard& operator=(const context_guard&) = delete;
    pcsc_code rv;
    pcsc_context value = 0;
};

class BridgeUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ctx_.rv, pcsc_rc::success) << "SCardEstablishContext: is the stand-in winscard.dll loaded?";
        std::uint32_t length = 0;
        ASSERT_EQ(system_pcsc().list_readers(ctx_.value, nullptr, &length), pcsc_rc::success);
        std::vector<char> buffer(length);
        ASSERT_EQ(system_pcsc().list_readers(ctx_.value, buffer.data(), &length), pcsc_rc::success);
        readers_ = split_multi_string(buffer.data(), length);
        // The token is the "Solvanta" reader that has a card.
        for (const auto& name : readers_) {
            if (name.find("Solvanta") == std::string::npos) continue;
            pcsc_reader_state state{};
            state.szReader = name.c_str();
            state.dwCurrentState = SCARD_STATE_UNAWARE;
            if (system_pcsc().get_status_change(ctx_.value, 0, &state, 1) == pcsc_rc::success &&
                (state.dwEventState & SCARD_STATE_PRESENT)) {
                token_ = name;
                token_state_ = state;
                break;
            }
        }
        ASSERT_FALSE(token_.empty()) << "no Solvanta reader with a card";
    }

    context_guard ctx_;
    std::vector<std::string> readers_;
    std::string token_;
    pcsc_reader_state token_state_{};
};

TEST_F(BridgeUnderWine, ReaderListFollowsWinscardBufferRules) {
    std::uint32_t needed = 0;
    ASSERT_EQ(system_pcsc().list_readers(ctx_.value, nullptr, &needed), pcsc_rc::success);
    std::vector<char> buffer(needed + 8, 'x');

    std::uint32_t short_length = 3;
    EXPECT_EQ(system_pcsc().list_readers(ctx_.value, buffer.data(), &short_length), pcsc_rc::insufficient_buffer);
    EXPECT_EQ(short_length, needed);
    EXPECT_EQ(buffer[0], 'x') << "a short buffer must stay untouched";

    std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(system_pcsc().list_readers(ctx_.value, buffer.data(), &length), pcsc_rc::success);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(buffer[length - 1], '\0');
    EXPECT_EQ(buffer[length - 2], '\0');
    bool first = false;
    for (const auto& name : split_multi_string(buffer.data(), length))
        first = first || name == "Solvanta Token 00 00";
    EXPECT_TRUE(first);
}

TEST_F(BridgeUnderWine, ConnectTransmitAndTransactionReachTheToken) {
    pcsc_handle card = 0;
    std::uint32_t active = 0;
    ASSERT_EQ(system_pcsc().connect(ctx_.value, token_.c_str(), SCARD_SHARE_SHARED, t0_or_t1, &card, &active),
              pcsc_rc::success);
    EXPECT_EQ(active, static_cast<std::uint32_t>(SCARD_PROTOCOL_T1));

    ASSERT_EQ(system_pcsc().begin_transaction(card), pcsc_rc::success);
    const std::uint8_t unknown_instruction[] = {0x80, 0xFF, 0x00, 0x00};
    std::uint8_t reply[258] = {};
    std::uint32_t reply_length = sizeof reply;
    ASSERT_EQ(system_pcsc().transmit_t1(card, unknown_instruction, sizeof unknown_instruction, reply, &reply_length),
              pcsc_rc::success);
    ASSERT_EQ(reply_length, 2u);
    EXPECT_EQ(reply[0], 0x6D);
    EXPECT_EQ(reply[1], 0x00);
    EXPECT_EQ(system_pcsc().end_transaction(card, SCARD_LEAVE_CARD), pcsc_rc::success);

    // A reply that does not fit is refused, not cut.
    std::uint8_t tiny[1] = {0xAA};
    std::uint32_t tiny_length = sizeof tiny;
    EXPECT_EQ(system_pcsc().transmit_t1(card, unknown_instruction, sizeof unknown_instruction, tiny, &tiny_length),
              pcsc_rc::insufficient_buffer);

    active = 0;
    EXPECT_EQ(system_pcsc().reconnect(card, SCARD_SHARE_SHARED, t0_or_t1, SCARD_LEAVE_CARD, &active),
              pcsc_rc::success);
    EXPECT_EQ(active, static_cast<std::uint32_t>(SCARD_PROTOCOL_T1));
    reply_length = sizeof reply;
    EXPECT_EQ(system_pcsc().transmit_t1(card, unknown_instruction, sizeof unknown_instruction, reply, &reply_length),
              pcsc_rc::success);
    EXPECT_EQ(system_pcsc().disconnect(card, SCARD_LEAVE_CARD), pcsc_rc::success);

    // The handle is gone with the disconnect.
    reply_length = sizeof reply;
    EXPECT_EQ(system_pcsc().transmit_t1(card, unknown_instruction, sizeof unknown_instruction, reply, &reply_length),
              to_pcsc_code(SCARD_E_INVALID_HANDLE));
}

TEST_F(BridgeUnderWine, ResetByASecondClientIsReportedAndRecovered) {
    const std::uint8_t unknown_instruction[] = {0x80, 0xFF, 0x00, 0x00};
    std::uint8_t reply[258];
    std::uint32_t reply_length = sizeof reply;
    pcsc_handle first = 0;
    std::uint32_t active = 0;
    ASSERT_EQ(system_pcsc().connect(ctx_.value, token_.c_str(), SCARD_SHARE_SHARED, t0_or_t1, &first, &active),
              pcsc_rc::success);
    ASSERT_EQ(system_pcsc().transmit_t1(first, unknown_instruction, sizeof unknown_instruction, reply, &reply_length),
              pcsc_rc::success);

    context_guard other;
    ASSERT_EQ(other.rv, pcsc_rc::success);
    pcsc_handle second = 0;
    ASSERT_EQ(system_pcsc().connect(other.value, token_.c_str(), SCARD_SHARE_SHARED, t0_or_t1, &second, &active),
              pcsc_rc::success);
    ASSERT_EQ(system_pcsc().reconnect(second, SCARD_SHARE_SHARED, t0_or_t1, SCARD_RESET_CARD, &active),
              pcsc_rc::success);

    reply_length = sizeof reply;
    EXPECT_EQ(system_pcsc().transmit_t1(first, unknown_instruction, sizeof unknown_instruction, reply, &reply_length),
              pcsc_rc::reset_card);
    ASSERT_EQ(system_pcsc().reconnect(first, SCARD_SHARE_SHARED, t0_or_t1, SCARD_LEAVE_CARD, &active),
              pcsc_rc::success);
    reply_length = sizeof reply;
    ASSERT_EQ(system_pcsc().transmit_t1(first, unknown_instruction, sizeof unknown_instruction, reply, &reply_length),
              pcsc_rc::success);
    EXPECT_EQ(reply_length, 2u);
    EXPECT_EQ(reply[0], 0x6D);
    EXPECT_EQ(system_pcsc().disconnect(second, SCARD_LEAVE_CARD), pcsc_rc::success);
    EXPECT_EQ(system_pcsc().disconnect(first, SCARD_LEAVE_CARD), pcsc_rc::success);
}

TEST_F(BridgeUnderWine, ReaderStateHasTheAtrInWinscardsRecord) {
    EXPECT_EQ(sizeof token_state_.rgbAtr, 36u);
    ASSERT_GT(token_state_.cbAtr, 0u);
    ASSERT_LE(token_state_.cbAtr, 33u);
    EXPECT_EQ(token_state_.rgbAtr[0], 0x3B);
    EXPECT_TRUE(token_state_.dwEventState & SCARD_STATE_CHANGED);
}

TEST_F(BridgeUnderWine, WaitIsCancelledFromAnotherThread) {
    context_guard waiter;
    ASSERT_EQ(waiter.rv, pcsc_rc::success);
    // The notifier's shape: the PnP entry (winscard's upper-case spelling)
    // and the token's reader in its present state, without time-out.
    pcsc_reader_state states[2] = {};
    states[0].szReader = "\\\\?PNP?\\NOTIFICATION";
    states[0].dwCurrentState = SCARD_STATE_UNAWARE;
    const pcsc_code probe = system_pcsc().get_status_change(waiter.value, 0, states, 1);
    ASSERT_TRUE(probe == pcsc_rc::success || probe == pcsc_rc::timeout) << std::hex << probe;
    states[0].dwCurrentState = states[0].dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    states[1].szReader = token_.c_str();
    states[1].dwCurrentState = token_state_.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);

    std::atomic<bool> done{false};
    pcsc_code result = pcsc_rc::success;
    std::thread wait([&] {
        result = system_pcsc().get_status_change(waiter.value, INFINITE, states, 2);
        done = true;
    });
    // A cancel that comes before the wait has begun is lost: repeat it until
    // the wait returns.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(system_pcsc().cancel(waiter.value), pcsc_rc::success);
        for (int i = 0; i < 50 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(done.load()) << "the wait was not cancelled";
    wait.join();
    EXPECT_EQ(result, pcsc_rc::cancelled);

    // Meanwhile the other context and the card kept working.
    pcsc_handle card = 0;
    std::uint32_t active = 0;
    ASSERT_EQ(system_pcsc().connect(ctx_.value, token_.c_str(), SCARD_SHARE_SHARED, t0_or_t1, &card, &active),
              pcsc_rc::success);
    EXPECT_EQ(system_pcsc().disconnect(card, SCARD_LEAVE_CARD), pcsc_rc::success);
}

TEST_F(BridgeUnderWine, PnpWaitAcceptsWinscardSpellings) {
    // The spelling goes into each message rather than a SCOPED_TRACE: on
    // Windows a trace starts a watcher thread of GoogleTest's, and this
    // program is to stay single-threaded (see THREADED in CMakeLists.txt).
    for (const char* spelling : {"\\\\?PnP?\\Notification", "\\\\?PNP?\\NOTIFICATION", "\\\\?pnp?\\notification"}) {
        pcsc_reader_state pnp{};
        pnp.szReader = spelling;
        pnp.dwCurrentState = SCARD_STATE_UNAWARE;
        const pcsc_code first = system_pcsc().get_status_change(ctx_.value, 0, &pnp, 1);
        EXPECT_TRUE(first == pcsc_rc::success || first == pcsc_rc::timeout) << spelling << ": " << std::hex << first;
        // Nothing arrives or leaves: a short wait on the state just seen
        // times out.
        pnp.dwCurrentState = pnp.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        EXPECT_EQ(system_pcsc().get_status_change(ctx_.value, 200, &pnp, 1), pcsc_rc::timeout) << spelling;
    }
}

TEST_F(BridgeUnderWine, ReleasedContextIsRefused) {
    pcsc_context released = 0;
    ASSERT_EQ(system_pcsc().establish_context(&released), pcsc_rc::success);
    EXPECT_EQ(to_pcsc_code(SCardIsValidContext(released)), pcsc_rc::success);
    ASSERT_EQ(system_pcsc().release_context(released), pcsc_rc::success);
    std::uint32_t length = 0;
    EXPECT_EQ(system_pcsc().list_readers(released, nullptr, &length), to_pcsc_code(SCARD_E_INVALID_HANDLE));
    EXPECT_EQ(to_pcsc_code(SCardIsValidContext(released)), to_pcsc_code(SCARD_E_INVALID_HANDLE));
    EXPECT_EQ(to_pcsc_code(SCardIsValidContext(0)), to_pcsc_code(SCARD_E_INVALID_HANDLE));
}

TEST_F(BridgeUnderWine, AutoAllocatedResultsAreFreedWithScardFreeMemory) {
    char* readers = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListReadersA(ctx_.value, nullptr, reinterpret_cast<char*>(&readers), &length), SCARD_S_SUCCESS);
    ASSERT_NE(readers, nullptr);
    EXPECT_FALSE(split_multi_string(readers, length).empty());
    EXPECT_EQ(SCardFreeMemory(ctx_.value, readers), SCARD_S_SUCCESS);

    SCARDHANDLE card = 0;
    DWORD active = 0;
    ASSERT_EQ(SCardConnectA(ctx_.value, token_.c_str(), SCARD_SHARE_SHARED, t0_or_t1, &card, &active),
              SCARD_S_SUCCESS);
    char* name = nullptr;
    DWORD name_length = SCARD_AUTOALLOCATE;
    BYTE* atr = nullptr;
    DWORD atr_length = SCARD_AUTOALLOCATE;
    DWORD state = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardStatusA(card, reinterpret_cast<char*>(&name), &name_length, &state, &protocol,
                           reinterpret_cast<BYTE*>(&atr), &atr_length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(std::string(name), token_);
    EXPECT_EQ(name_length, token_.size() + 2);  // a multi-string
    EXPECT_EQ(state, static_cast<DWORD>(SCARD_SPECIFIC));
    EXPECT_EQ(protocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));
    ASSERT_EQ(atr_length, token_state_.cbAtr);
    EXPECT_EQ(std::memcmp(atr, token_state_.rgbAtr, atr_length), 0);

    // The notifier asks for card names by ATR: none are registered.
    char* cards = nullptr;
    DWORD cards_length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListCardsA(ctx_.value, atr, nullptr, 0, reinterpret_cast<char*>(&cards), &cards_length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(cards[0], '\0');
    EXPECT_EQ(SCardFreeMemory(ctx_.value, cards), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardFreeMemory(ctx_.value, name), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardFreeMemory(ctx_.value, atr), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
}

}  // namespace
