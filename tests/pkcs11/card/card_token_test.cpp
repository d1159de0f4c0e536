// End to end: the module's card layer through pcsc-lite, pcscd, vpcd and the
// virtual token (under Wine, through the PC/SC bridge). What the card
// computes is checked against the token's own state and against mbed TLS.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <mbedtls/aes.h>

#include "card_commands.h"
#include "card_device.h"
#include "platform/pcsc_api.h"
#include "support/vtoken_control.h"
#include "support/waiting_thread.h"

using namespace std::chrono_literals;
using namespace solvantex;
using test_support::from_hex;
using test_support::to_hex;

namespace {

using bytes = std::vector<unsigned char>;

constexpr auto event_bound = 20s;
constexpr std::uint8_t slot = 2;

bytes counting(std::size_t n, unsigned char first) {
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(first + 7 * i);
    return b;
}

// The software reference: AES in ECB, or CBC with an IV, over whole blocks.
bytes software_aes(const bytes& key, const bytes& data, const bytes* iv = nullptr) {
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, key.data(), static_cast<unsigned>(key.size() * 8));
    bytes out(data.size());
    if (iv == nullptr) {
        for (std::size_t at = 0; at < data.size(); at += 16)
            mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, data.data() + at, out.data() + at);
    } else {
        bytes chain = *iv;
        mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, data.size(), chain.data(), data.data(), out.data());
    }
    mbedtls_aes_free(&aes);
    return out;
}

class card_token_test : public ::testing::Test {
protected:
    void SetUp() override {
        vt_.fresh_card();
        set_module_sm_flag(0);
        ASSERT_EQ(open_device(test_support::card_reader, &h_), 0);
        vt_.clear_log();
    }
    void TearDown() override {
        vt_.call("set", {{"sm_reply_fault", nullptr}});
        close_device(h_);
        set_module_sm_flag(0);
    }

    // The card's ECB encryption of data under session slot `slot`.
    bytes card_encrypt(const bytes& data, std::int32_t* status, std::uint8_t mode = 0, const bytes* iv = nullptr) {
        *status = card_sym_crypt_init(h_, slot, mode, iv ? iv->data() : nullptr,
                                      iv ? static_cast<std::int32_t>(iv->size()) : 0);
        if (*status != 0) return {};
        bytes out(data.size() + 32);
        std::int32_t length = static_cast<std::int32_t>(out.size());
        *status = card_sym_encrypt_final(h_, data.data(), static_cast<std::int32_t>(data.size()), out.data(),
                                         &length);
        out.resize(*status == 0 ? static_cast<std::size_t>(length) : 0);
        return out;
    }

    std::string session_slot(int n) {
        const auto reply = vt_.call("session_slot", {{"slot", n}});
        return reply["key"].is_null() ? std::string() : reply["key"].get<std::string>();
    }

    // Resets the card through the device's own connection (the card then
    // forgets its volatile state).
    void reset_card() {
        zervik::device_winscard* device = device_of(h_);
        ASSERT_NE(device, nullptr);
        std::uint32_t protocol = 0;
        ASSERT_EQ(platform::pcsc().reconnect(device->card(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_RESET_CARD,
                                             &protocol),
                  0);
    }

    // Commands the card saw since the last clear, as hex.
    std::vector<std::string> commands() { return vt_.commands(); }

    test_support::vtoken_control vt_;
    card_handle h_ = 0;
};

}  // namespace

// ---- devices --------------------------------------------------------------

TEST_F(card_token_test, ListsExactlyTheTokenReaders) {
    std::vector<char> buffer(256, 'x');
    std::uint32_t length = 42;
    ASSERT_EQ(list_devices(buffer.data(), &length), 2);
    EXPECT_EQ(length, 43u);  // "Solvanta Token 00 00", "... 00 01", and the closing NUL
    EXPECT_EQ(buffer[0], 'x');
    for (int round = 0; round < 2; ++round) {
        length = static_cast<std::uint32_t>(buffer.size());
        ASSERT_EQ(list_devices(buffer.data(), &length), 0);
        EXPECT_EQ(std::string(buffer.data(), length),
                  std::string(test_support::card_reader) + '\0' + test_support::empty_reader + '\0' + '\0');
    }
}

TEST_F(card_token_test, OpenFailsOnTheEmptySlotAndAnUnknownReader) {
    card_handle other = 0;
    EXPECT_EQ(open_device(test_support::empty_reader, &other), static_cast<std::int32_t>(0x8010000C));
    EXPECT_EQ(open_device("Solvanta No Such Reader", &other), static_cast<std::int32_t>(0x80100009));
    EXPECT_EQ(other, 0u);
}

TEST_F(card_token_test, AClosedHandleIsRefusedWithoutTouchingTheCard) {
    card_handle second = 0;
    ASSERT_EQ(open_device(test_support::card_reader, &second), 0);
    EXPECT_EQ(second, h_) << "one device, one handle";
    ASSERT_EQ(close_device(h_), 0);
    std::uint64_t health = 0;
    EXPECT_EQ(card_get_health(h_, &health), 1);
    EXPECT_EQ(card_setup_secure_channel(h_), 1);
    EXPECT_EQ(card_enable_cd(h_, 1), 1);
    EXPECT_TRUE(commands().empty());
    // The card is free again: another connection in exclusive use would fail
    // otherwise; a reopen works and gets a new handle.
    card_handle again = 0;
    ASSERT_EQ(open_device(test_support::card_reader, &again), 0);
    EXPECT_NE(again, h_);
    h_ = again;
    EXPECT_EQ(card_get_health(h_, &health), 0);
}

// ---- events -----------------------------------------------------------------

namespace {

std::future<int> wait_on(test_support::waiting_thread& thread) {
    return thread.submit([] {
        std::int32_t event = -1;
        const std::int32_t result = wait_token_device_event(nullptr, &event);
        return result == 0 ? event : -100 - result;
    });
}

int result_of(std::future<int>& f) {
    if (f.wait_for(event_bound) != std::future_status::ready) {
        cancel_token_device_event();
        ADD_FAILURE() << "no event within the bound";
    }
    return f.get();
}

}  // namespace

TEST_F(card_token_test, TokenEventsAndCancel) {
    restart_token_device_event();
    {
        test_support::waiting_thread waiter;
        auto present = wait_on(waiter);
        EXPECT_EQ(result_of(present), token_arrived);
        vt_.call("remove");
        auto removal = wait_on(waiter);
        EXPECT_EQ(result_of(removal), token_removed);
        vt_.call("insert", {{"wait_ready", true}});
        auto arrival = wait_on(waiter);
        EXPECT_EQ(result_of(arrival), token_arrived);
        // A wait that blocks is ended by the cancel.
        auto blocked = wait_on(waiter);
        EXPECT_EQ(blocked.wait_for(300ms), std::future_status::timeout);
        cancel_token_device_event();
        EXPECT_EQ(result_of(blocked), token_wait_cancelled);
        // The cancel stays: the next wait ends at once.
        auto after = wait_on(waiter);
        EXPECT_EQ(result_of(after), token_wait_cancelled);
    }
    restart_token_device_event();
    {
        test_support::waiting_thread waiter;
        auto present = wait_on(waiter);
        EXPECT_EQ(result_of(present), token_arrived);
        cancel_token_device_event();
    }
    restart_token_device_event();
    // The card the test removed is back in its reader for the next test.
    EXPECT_EQ(card_get_health(h_, nullptr), 2);
}

// ---- the secure channel -----------------------------------------------------

TEST_F(card_token_test, TheChannelKeysEqualTheTokens) {
    set_module_sm_flag(1);  // the key agreement goes plain whatever the flag says
    ASSERT_EQ(card_setup_secure_channel(h_), 0);
    const auto keys = vt_.call("dump")["volatile"]["sm_keys"];
    zervik::device_winscard* device = device_of(h_);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(keys["enc_key"].get<std::string>(), to_hex(device->encryption_key(), 32));
    EXPECT_EQ(keys["mac_key"].get<std::string>(), to_hex(device->mac_key(), 32));
    const auto sent = commands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].substr(0, 8), "80110000");
    EXPECT_EQ(sent[1].substr(0, 10), "80110100d8") << "216 bytes: 64 of OtherInfo";
}

TEST_F(card_token_test, WrappedGetDataComesBackAndATamperedReplyMacGives8005) {
    const module_format_parameters format{"Solvanta", "Token", "Module label", "SV00000000000042", 0};
    ASSERT_EQ(card_format_device(h_, format), 0);
    ASSERT_EQ(card_setup_secure_channel(h_), 0);
    std::uint8_t plain[256];
    std::int32_t plain_length = sizeof plain;
    ASSERT_EQ(card_get_data(h_, 0x0101, plain, &plain_length), 0);

    sm_flag_scope wrapped;
    vt_.clear_log();
    std::uint8_t out[256];
    std::int32_t length = sizeof out;
    ASSERT_EQ(card_get_data(h_, 0x0101, out, &length), 0);
    EXPECT_EQ(to_hex(out, static_cast<std::size_t>(length)), to_hex(plain, static_cast<std::size_t>(plain_length)));
    ASSERT_EQ(commands().size(), 1u);
    EXPECT_EQ(commands()[0].substr(0, 8), "04ca0101");

    // A reply that does not fit is 3, with nothing written.
    std::uint8_t small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    std::int32_t small_length = sizeof small;
    EXPECT_EQ(card_get_data(h_, 0x0101, small, &small_length), 3);
    EXPECT_EQ(small_length, 4);
    EXPECT_EQ(small[0], 0xEE);

    vt_.call("set", {{"sm_reply_fault", "flip_mac"}});
    length = sizeof out;
    EXPECT_EQ(card_get_data(h_, 0x0101, out, &length), 0x8005);
    vt_.call("set", {{"sm_reply_fault", nullptr}});
    // Health stays plain under the raised flag.
    vt_.clear_log();
    std::uint64_t health = 0;
    EXPECT_EQ(card_get_health(h_, &health), 0);
    EXPECT_EQ(commands().at(0).substr(0, 8), "80050000");
}

// ---- session keys -------------------------------------------------------------

TEST_F(card_token_test, TheAgreedSessionKeyEqualsTheTokensSlot) {
    std::uint8_t key[32];
    std::int32_t length = sizeof key;
    ASSERT_EQ(card_agree_session_key(h_, 1, 0x40002020, key, &length), 0);
    ASSERT_EQ(length, 32);
    EXPECT_EQ(session_slot(1), to_hex(key, 32));
    EXPECT_EQ(commands().at(1).substr(0, 10), "80120101dc") << "220 bytes: 64 of OtherInfo";
    vt_.clear_log();
    length = sizeof key;
    EXPECT_EQ(card_agree_session_key(h_, 1, 0x40001000, key, &length), 1);
    EXPECT_TRUE(commands().empty());
}

TEST_F(card_token_test, AnImportedKeyEncryptsAsSoftwareAesDoes) {
    const bytes data = counting(48, 0x30);
    struct row {
        std::uint32_t algorithm;
        std::size_t key_length;
    } const rows[] = {{0x40002000, 16}, {0x40002010, 24}, {0x40002020, 32}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.key_length);
        const bytes key = counting(r.key_length, static_cast<unsigned char>(r.key_length));
        ASSERT_EQ(card_obtain_secret_key(h_, slot, r.algorithm, key.data(), static_cast<std::int32_t>(key.size())),
                  0);
        EXPECT_EQ(session_slot(slot), to_hex(key.data(), key.size()));
        std::int32_t status = -1;
        EXPECT_EQ(card_encrypt(data, &status), software_aes(key, data));
        EXPECT_EQ(status, 0);
    }
    // CBC with an IV, and with the card's padding at the final step.
    const bytes key = counting(32, 0x90);
    const bytes iv = counting(16, 0x05);
    ASSERT_EQ(card_obtain_secret_key(h_, slot, 0x40002021, key.data(), 32), 0);
    std::int32_t status = -1;
    EXPECT_EQ(card_encrypt(data, &status, 0, &iv), software_aes(key, data, &iv));
    const bytes odd = counting(20, 0x11);
    bytes padded = odd;
    padded.insert(padded.end(), 12, 12);
    EXPECT_EQ(card_encrypt(odd, &status, 1, &iv), software_aes(key, padded, &iv));
}

TEST_F(card_token_test, EveryImportAgreesItsOwnKeyEncryptionKey) {
    const bytes data = counting(32, 0x44);
    const bytes first = counting(16, 0x01);
    ASSERT_EQ(card_obtain_secret_key(h_, slot, 0x40002000, first.data(), 16), 0);
    const std::string kek = session_slot(kek_slot);

    // A key-pair import agrees its own key into the same slot.
    std::uint8_t other[32];
    std::int32_t other_length = sizeof other;
    ASSERT_EQ(card_agree_session_key(h_, kek_slot, 0x40002020, other, &other_length), 0);
    ASSERT_NE(session_slot(kek_slot), kek);
    const bytes second = counting(16, 0x02);
    ASSERT_EQ(card_obtain_secret_key(h_, slot, 0x40002000, second.data(), 16), 0);
    std::int32_t status = -1;
    EXPECT_EQ(card_encrypt(data, &status), software_aes(second, data));

    // A reset drops every session key of the card.
    reset_card();
    EXPECT_EQ(session_slot(kek_slot), "");
    const bytes third = counting(24, 0x03);
    ASSERT_EQ(card_obtain_secret_key(h_, slot, 0x40002010, third.data(), 24), 0);
    EXPECT_EQ(card_encrypt(data, &status), software_aes(third, data));
}

TEST_F(card_token_test, ASavedSessionKeyEncryptsTheSameAfterAReset) {
    const bytes data = counting(32, 0x21);
    ASSERT_EQ(card_gen_session_key(h_, slot, 0x40002020), 0);
    std::int32_t status = -1;
    const bytes before = card_encrypt(data, &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(card_save_session(h_, slot, 3), 0);
    ASSERT_EQ(commands().at(3).substr(0, 8), "80180302");

    reset_card();
    EXPECT_NE(card_encrypt(data, &status), before);  // the session key is gone
    ASSERT_EQ(card_load_session(h_, slot, 3), 0);
    EXPECT_EQ(card_encrypt(data, &status), before);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(card_load_session(h_, slot, 4), 0x6A88) << "an empty saved slot";
}

// ---- the module's other commands ------------------------------------------------

TEST_F(card_token_test, EnableDisableCdAndThePinList) {
    EXPECT_EQ(card_enable_cd(h_, 1), 0);
    EXPECT_EQ(card_enable_cd(h_, 0), 0);
    EXPECT_EQ(card_enable_cd(h_, 2), 0x6A86);
    pin_list_entry entries[2];
    std::size_t count = 99;
    EXPECT_EQ(card_get_pin_info_ex(h_, entries, 2, &count), 0);
    EXPECT_EQ(count, 0u) << "a fresh card has no PIN";
    std::uint64_t health = 0;
    EXPECT_EQ(card_get_health(h_, &health), 0);
}

// ---- two tokens --------------------------------------------------------------

namespace {

// The second token's side channel (tests/harness/second_token.py); its card
// sits in the spare reader only while a test has inserted it.
constexpr int second_token_port = 40471;

class inserted_second_token {
public:
    inserted_second_token() : vt(second_token_port) {
        vt.call("reset_state");
        vt.call("insert", {{"wait_ready", true}});
    }
    // Removes the card and waits until pcscd no longer reports it, so that
    // its removal reaches no later event wait.
    ~inserted_second_token() {
        vt.call("remove");
        for (int attempt = 0; attempt < 100; ++attempt) {
            card_handle h = 0;
            if (open_device(test_support::empty_reader, &h) != 0) break;
            close_device(h);
            std::this_thread::sleep_for(50ms);
        }
    }
    test_support::vtoken_control vt;
};

// Opens a reader whose card pcscd may not have seen yet: bounded retries
// while the reader still reports no card.
std::int32_t open_when_present(const char* reader, card_handle* h) {
    std::int32_t status = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        status = open_device(reader, h);
        if (status != static_cast<std::int32_t>(0x8010000C)) break;
        std::this_thread::sleep_for(50ms);
    }
    return status;
}

}  // namespace

TEST_F(card_token_test, TwoTokensEachTakeTheirOwnKeys) {
    inserted_second_token second;
    card_handle h2 = 0;
    ASSERT_EQ(open_when_present(test_support::empty_reader, &h2), 0);
    ASSERT_NE(h2, h_);

    const bytes data = counting(32, 0x60);
    const bytes key1 = counting(16, 0x10);
    const bytes key2 = counting(32, 0x20);
    ASSERT_EQ(card_obtain_secret_key(h_, slot, 0x40002000, key1.data(), 16), 0);
    ASSERT_EQ(card_obtain_secret_key(h2, slot, 0x40002020, key2.data(), 32), 0);
    EXPECT_EQ(second.vt.call("session_slot", {{"slot", slot}})["key"].get<std::string>(),
              to_hex(key2.data(), key2.size()));
    EXPECT_EQ(session_slot(slot), to_hex(key1.data(), key1.size()));

    std::int32_t status = -1;
    EXPECT_EQ(card_encrypt(data, &status), software_aes(key1, data));
    std::swap(h_, h2);
    EXPECT_EQ(card_encrypt(data, &status), software_aes(key2, data));
    std::swap(h_, h2);
    EXPECT_EQ(close_device(h2), 0);
}
