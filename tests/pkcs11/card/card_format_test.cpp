// PINs, device authentication and the token format against the virtual
// token behind pcscd. The layout a format leaves is read back from the
// token's own state with the test's decoder.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <mbedtls/des.h>

#include "card_commands.h"
#include "card_device.h"
#include "card_pin.h"
#include "card_profile.h"
#include "card_store.h"
#include "card_tables.h"
#include "store_layout.h"
#include "support/child_process.h"
#include "support/vtoken_control.h"

using namespace solvantex;
using store_layout::bytes;
using store_layout::so_pin;
using store_layout::u8;
using store_layout::user_pin;
using test_support::from_hex;
using test_support::to_hex;

namespace {

const std::string factory_serial = "SV00000000000001";

bytes counting(std::size_t n) {
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i);
    return b;
}

// The administrator's response: 3DES-EDE3-CBC, zero IV, of the challenge
// under the first 24 bytes of the key string zero-padded to 32.
bytes admin_response(const std::string& key_string, const bytes& challenge) {
    std::uint8_t key[32] = {};
    std::memcpy(key, key_string.data(), key_string.size());
    mbedtls_des3_context des;
    mbedtls_des3_init(&des);
    mbedtls_des3_set3key_enc(&des, key);
    std::uint8_t iv[8] = {};
    bytes out(challenge.size());
    mbedtls_des3_crypt_cbc(&des, MBEDTLS_DES_ENCRYPT, challenge.size(), iv, challenge.data(), out.data());
    mbedtls_des3_free(&des);
    return out;
}

class card_format_test : public ::testing::Test {
protected:
    void SetUp() override {
        vt_.fresh_card();
        vt_.call("preset", {{"name", "factory"}, {"serial", factory_serial}});
        vt_.call("set", {{"access_mode", "strict"}});
        set_module_sm_flag(0);
        ASSERT_EQ(open_device(test_support::card_reader, &h_), 0);
        vt_.clear_log();
    }
    void TearDown() override {
        vt_.call("fail_next", {{"clear", true}});
        close_device(h_);
        set_module_sm_flag(0);
    }

    bytes card_info() {
        bytes info(128);
        std::int32_t n = 128;
        EXPECT_EQ(card_get_data(h_, 0x0101, info.data(), &n), 0);
        return info;
    }
    std::int32_t format(std::uint8_t cd_switch = 2, std::int32_t* warning = nullptr, const bytes* info = nullptr) {
        const bytes block = info ? *info : card_info();
        cardfs_format_parameters p{};
        p.card_info = block.data();
        p.working_mode = 0;
        p.so_pin = u8(so_pin);
        p.so_length = so_pin.size();
        p.so_limit = 10;
        p.user_pin = u8(user_pin);
        p.user_length = user_pin.size();
        p.user_limit = 10;
        p.cd_switch = cd_switch;
        std::int32_t ignored = 0;
        return cardfs_format_token(h_, p, warning ? warning : &ignored);
    }
    std::int32_t verify(std::uint8_t ref, const std::string& pin, std::int32_t* tries) {
        return cardfs_verify_pin(h_, ref, u8(pin), pin.size(), tries);
    }
    // Nobody is verified: creating in "root" (access 17) is refused.
    bool nobody_verified() {
        cardfs_select_root(h_);
        return cardfs_create_file_ex(h_, cardfs_file_id("probe"), "probe", 0, 255, 255, 0, 4) == 0x6982;
    }

    test_support::vtoken_control vt_;
    card_handle h_ = 0;
};

}  // namespace

TEST(card_pin_vectors, PinResponseAndDeviceCryptogram) {
    const std::string pin = "12345678";
    const bytes challenge = counting(16);
    std::uint8_t response[16];
    ASSERT_EQ(cardfs_pin_response(u8(pin), pin.size(), challenge.data(), response), 0);
    EXPECT_EQ(to_hex(response, 16), "e1c59c1bd84ad98a8d010c532d5e1135");

    // Only the first 32 bytes of a longer PIN count.
    const std::string long_pin(40, 'x');
    std::uint8_t a[16], b[16];
    ASSERT_EQ(cardfs_pin_response(u8(long_pin), 40, challenge.data(), a), 0);
    ASSERT_EQ(cardfs_pin_response(u8(long_pin), 32, challenge.data(), b), 0);
    EXPECT_EQ(to_hex(a, 16), to_hex(b, 16));

    const std::string key = "0123456789abcdef0123456789abcdef";
    const bytes device_challenge = counting(32);
    std::uint8_t cryptogram[32];
    ASSERT_EQ(cardfs_device_cryptogram(u8(key), device_challenge.data(), cryptogram), 0);
    EXPECT_EQ(to_hex(cryptogram, 32), "535ddcf596cf3664013c874d8589bb216fb19f49daea9d1d5c326cb87b67dce8");

    EXPECT_EQ(to_hex(admin_response("12345678", counting(16)).data(), 16), "d1c9134f0ec22edcb627cb5311449ab1");
}

TEST(card_pin_vectors, OnlySixtyThreeCxCountsAsTries) {
    const struct {
        std::int32_t sw;
        bool tries;
    } cases[] = {{0x63C0, true}, {0x63C9, true}, {0x63CF, true}, {0x6BC3, false}, {0x6FC1, false}, {0x63D0, false},
                 {0x6300, false}, {0x9000, false}};
    for (const auto& c : cases) EXPECT_EQ(cardfs_is_tries_status(c.sw), c.tries) << std::hex << c.sw;
}

TEST_F(card_format_test, FactoryFormatLeavesTheLayout) {
    std::uint8_t state[4];
    ASSERT_EQ(cardfs_get_data(h_, 0x0109, state, 4), 0);
    ASSERT_EQ(to_hex(state, 4), "00000000");
    ASSERT_EQ(format(), 0);

    struct expected {
        const char* path;
        const char* kind;
        int id;
        const char* name;
        std::vector<int> access;
        int size;
        bytes content;
    };
    bytes cardid(factory_serial.begin(), factory_serial.end());
    bytes apps = {'m', 's', 'c', 'p', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    bytes secr(3008, 0), data(11876, 0);
    std::memcpy(secr.data(), "secr", 4);
    std::memcpy(data.data(), "data", 4);
    const expected layout[] = {
        {"3f00/2000", "df", 0x2000, "root", {17, 17}, -1, {}},
        {"3f00/2000/2001", "ef", 0x2001, "cardid", {255, 16, 0}, 16, cardid},
        {"3f00/2000/2002", "ef", 0x2002, "cardcf", {255, 17, 0}, 16, bytes(16, 0)},
        {"3f00/2000/2003", "ef", 0x2003, "cardapps", {255, 16, 0}, 16, apps},
        {"3f00/2000/4000", "df", 0x4000, "mscp", {255, 255}, -1, {}},
        {"3f00/2000/4000/4001", "ef", 0x4001, "cmapfile", {255, 17, 0}, 688, bytes(688, 0)},
        {"3f00/2000/4000/d09a", "ef", 0xD09A, "keyObjects", {255, 255, 0}, 3008, secr},
        {"3f00/2000/4000/f87e", "ef", 0xF87E, "ObjFileIdx", {255, 255, 0}, 11876, data},
    };
    auto files = store_layout::files_of(vt_);
    files.erase("3f00");
    for (const auto& e : layout) {
        SCOPED_TRACE(e.path);
        ASSERT_EQ(files.count(e.path), 1u);
        const auto& f = files[e.path];
        EXPECT_EQ(f.kind, e.kind);
        EXPECT_EQ(f.id, e.id);
        EXPECT_EQ(f.name, e.name);
        EXPECT_EQ(f.access, e.access);
        if (e.size >= 0) {
            EXPECT_EQ(f.size, e.size);
            EXPECT_EQ(f.data, e.content);
        }
        files.erase(e.path);
    }
    for (const auto& rest : files) ADD_FAILURE() << "unexpected file " << rest.first;

    ASSERT_EQ(cardfs_get_data(h_, 0x0109, state, 4), 0);
    EXPECT_NE(to_hex(state, 4), "00000000");
    std::int32_t tries = -1, change = -1;
    ASSERT_EQ(cardfs_get_pin_info(h_, cardfs_user_pin, &tries, &change), 0);
    EXPECT_EQ(tries, 10);
    EXPECT_EQ(change, 1);
    EXPECT_TRUE(nobody_verified());
}

TEST_F(card_format_test, SecondFormatAuthenticatesGoesWrappedAndKeepsTheSerial) {
    ASSERT_EQ(format(), 0);
    bytes info = card_info();
    std::memcpy(info.data() + 96, "XX00000000000099", 16);
    vt_.clear_log();
    ASSERT_EQ(format(2, nullptr, &info), 0);
    EXPECT_EQ(vt_.call("file_read", {{"path", "3f00/2000/2001"}})["data"].get<std::string>(),
              to_hex(reinterpret_cast<const unsigned char*>(factory_serial.data()), 16));

    // ExternalAuth, then the channel, then FormatDevice wrapped.
    const auto log = vt_.commands();
    std::size_t auth = log.size(), formatting = log.size();
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (auth == log.size() && log[i].rfind("008200", 0) == 0) auth = i;
        if (log[i].rfind("8402", 0) == 0 || log[i].rfind("8002", 0) == 0) formatting = i;
    }
    ASSERT_LT(auth, formatting);
    EXPECT_EQ(log[formatting].substr(0, 4), "8402");
    EXPECT_TRUE(nobody_verified());
}

TEST_F(card_format_test, CdSwitchAfterTheStoreFilesAndOnlyAWarning) {
    // 2 sends no EnableDisableCD.
    ASSERT_EQ(format(2), 0);
    for (const auto& c : vt_.commands()) EXPECT_NE(c.substr(0, 4), "f040");

    const struct {
        std::uint8_t cd;
        const char* p1;
    } cases[] = {{0, "01"}, {1, "00"}};
    for (const auto& c : cases) {
        vt_.call("fail_next", {{"ins", "40"}, {"sw", "6d00"}});
        vt_.clear_log();
        std::int32_t warning = 0;
        ASSERT_EQ(format(c.cd, &warning), 0);
        EXPECT_EQ(warning, 0x6D00);
        bool sent = false;
        for (const auto& cmd : vt_.commands()) sent = sent || cmd.rfind(std::string("f040") + c.p1, 0) == 0;
        EXPECT_TRUE(sent) << int(c.cd);
        const auto files = store_layout::files_of(vt_);
        EXPECT_EQ(files.count("3f00/2000/4000/d09a"), 1u);
        EXPECT_EQ(files.count("3f00/2000/4000/f87e"), 1u);
    }
}

TEST_F(card_format_test, FailedFormatStillClearsTheSecurityState) {
    vt_.call("fail_next", {{"ins", "42"}, {"sw", "6a84"}, {"name", "cmapfile"}});
    // The CreateFile of cmapfile is the one after the SO PIN was verified.
    ASSERT_NE(format(), 0);
    EXPECT_TRUE(nobody_verified());
}

TEST_F(card_format_test, VerifyCountsDownThenBlocks) {
    ASSERT_EQ(format(), 0);
    std::int32_t tries = -1;
    ASSERT_EQ(verify(cardfs_user_pin, user_pin, &tries), 0);
    for (int left = 9; left >= 0; --left) {
        tries = -1;
        EXPECT_EQ(verify(cardfs_user_pin, "00000000", &tries), 0x63C0 | left);
        EXPECT_EQ(tries, left);
    }
    tries = -1;
    EXPECT_EQ(verify(cardfs_user_pin, user_pin, &tries), 0x6983);
    EXPECT_EQ(tries, -1);  // written only on 63Cx

    // A status that only looks like 63Cx leaves the tries alone.
    vt_.call("fail_next", {{"ins", "20"}, {"sw", "6bc3"}});
    EXPECT_EQ(verify(cardfs_so_pin, so_pin, &tries), 0x6BC3);
    EXPECT_EQ(tries, -1);
}

TEST_F(card_format_test, ChangeUnblockRemoteAndInitUnderTheChannel) {
    ASSERT_EQ(format(), 0);
    std::int32_t tries = -1;
    const std::string fresh = "11112222";
    // Wrong answers count.
    EXPECT_EQ(cardfs_change_pin(h_, cardfs_user_pin, u8("wrong"), 5, u8(fresh), fresh.size(), &tries), 0x63C9);
    EXPECT_EQ(tries, 9);
    ASSERT_EQ(cardfs_change_pin(h_, cardfs_user_pin, u8(user_pin), user_pin.size(), u8(fresh), fresh.size(), &tries),
              0);
    EXPECT_EQ(verify(cardfs_user_pin, fresh, &tries), 0);

    EXPECT_EQ(cardfs_unblock_pin(h_, u8("wrong"), 5, u8(user_pin), user_pin.size(), &tries), 0x63C9);
    EXPECT_EQ(tries, 9);
    ASSERT_EQ(cardfs_unblock_pin(h_, u8(so_pin), so_pin.size(), u8(user_pin), user_pin.size(), &tries), 0);
    EXPECT_EQ(verify(cardfs_user_pin, user_pin, &tries), 0);

    // Remote unblock: the administrator answers the card's challenge.
    bytes challenge(16);
    ASSERT_EQ(card_get_challenge(h_, 16, challenge.data()), 0);
    bytes wrong = admin_response("not the key", challenge);
    EXPECT_EQ(cardfs_remote_unblock_pin(h_, wrong.data(), 16, u8(fresh), fresh.size(), &tries), 0x63C9);
    EXPECT_EQ(tries, 9);
    ASSERT_EQ(card_get_challenge(h_, 16, challenge.data()), 0);
    const bytes right = admin_response(so_pin, challenge);
    ASSERT_EQ(cardfs_remote_unblock_pin(h_, right.data(), 16, u8(fresh), fresh.size(), &tries), 0);
    EXPECT_EQ(verify(cardfs_user_pin, fresh, &tries), 0);

    // Init user PIN, the SO PIN verified.
    ASSERT_EQ(verify(cardfs_so_pin, so_pin, &tries), 0);
    ASSERT_EQ(cardfs_init_user_pin(h_, u8(user_pin), user_pin.size()), 0);
    EXPECT_EQ(verify(cardfs_user_pin, user_pin, &tries), 0);

    // Every wrapped PIN command went out with class 84.
    for (const auto& c : vt_.commands())
        if (c.substr(2, 2) == "33" || c.substr(2, 2) == "34") {
            EXPECT_EQ(c.substr(0, 2), "84") << c;
        }
}

TEST_F(card_format_test, PinInputsAreBoundedBeforeAnything) {
    const bytes code17(17, 1), code16(16, 1);
    const std::string pin33(33, '1'), pin32(32, '1');
    std::int32_t tries = -1;
    const std::int32_t results[] = {
        cardfs_remote_unblock_pin(h_, code17.data(), 17, u8(pin32), 32, &tries),
        cardfs_remote_unblock_pin(h_, code16.data(), 16, u8(pin33), 33, &tries),
        cardfs_remote_unblock_pin(h_, code16.data(), 16, u8(pin32), 0, &tries),
        cardfs_change_pin(h_, 2, u8(pin32), 32, u8(pin33), 33, &tries),
        cardfs_unblock_pin(h_, u8(pin32), 32, u8(pin33), 33, &tries),
        cardfs_init_user_pin(h_, u8(pin33), 33),
        cardfs_init_user_pin(h_, nullptr, 4),
        cardfs_verify_pin(h_, 2, nullptr, 4, &tries),
        cardfs_set_label(h_, pin33.c_str(), 33),
    };
    for (std::int32_t r : results) EXPECT_EQ(r, cardfs_bad_argument);
    EXPECT_TRUE(vt_.commands().empty());
}

TEST_F(card_format_test, LabelMemoryAndRandom) {
    ASSERT_EQ(format(), 0);
    ASSERT_EQ(cardfs_set_label(h_, "My token", 8), 0);
    const bytes info = card_info();
    bytes label(32, 0);
    std::memcpy(label.data(), "My token", 8);
    EXPECT_EQ(bytes(info.begin() + 64, info.begin() + 96), label);
    EXPECT_EQ(bytes(info.begin() + 96, info.begin() + 112), bytes(factory_serial.begin(), factory_serial.end()));

    std::uint32_t total = 0, free_space = 0;
    std::uint16_t last = 1;
    ASSERT_EQ(cardfs_get_memory_info(h_, &total, &free_space, &last), 0);
    EXPECT_EQ(total - free_space, 16u * 3 + 688 + 3008 + 11876);
    vt_.call("override", {{"replies", {"0000100000000008009000"}}});  // 9 bytes
    EXPECT_EQ(cardfs_get_memory_info(h_, &total, &free_space, &last), cardfs_short_file);

    // The working mode is the first byte of a little-endian word.
    std::uint8_t mode = 9;
    ASSERT_EQ(cardfs_get_working_mode(h_, &mode), 0);
    EXPECT_EQ(mode, 0);
    vt_.call("set", {{"working_mode", 1}});
    ASSERT_EQ(cardfs_get_working_mode(h_, &mode), 0);
    EXPECT_EQ(mode, 1);

    vt_.clear_log();
    bytes random(2048);
    ASSERT_EQ(cardfs_get_challenge8(h_, random.data(), random.size()), 0);
    const auto log = vt_.commands();
    ASSERT_EQ(log.size(), 2u);
    for (const auto& c : log) EXPECT_EQ(c.substr(0, 8), "00840100");
}

// Another process keeps asking for challenges, or setting up secure
// channels; either, slipped in between, would spoil a PIN check or a wrapped
// PIN change. Inside one transaction none is ever spoilt, and on the card
// every checking command follows its own 16-byte challenge directly.
TEST_F(card_format_test, AnotherProcessCannotSlipIntoASequence) {
    ASSERT_EQ(format(), 0);
    const std::string fresh = "11112222";
    const struct {
        const char* mode;
        const char* ins;  // the checking command
    } cases[] = {{"challenge", "20"}, {"channel", "33"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        // Commands of one operation alone.
        vt_.clear_log();
        std::int32_t tries = -1;
        ASSERT_EQ(verify(cardfs_user_pin, user_pin, &tries), 0);
        const std::size_t verify_alone = vt_.commands().size();
        ASSERT_EQ(cardfs_change_pin(h_, cardfs_user_pin, u8(user_pin), user_pin.size(), u8(user_pin),
                                    user_pin.size(), &tries), 0);
        const std::size_t alone = c.ins == std::string("20") ? verify_alone : vt_.commands().size() - verify_alone;

        vt_.clear_log();
        test_support::child_process other(test_support::program_beside_me("pkcs11_card_challenger"),
                                          {"100000", test_support::card_reader, c.mode});
        ASSERT_TRUE(other.started());
        std::string line;
        constexpr int operations = 40;
        std::string current = user_pin;
        for (int op = 0; op < operations; ++op) {
            // The other process has run a command since the last operation
            // and keeps going during the next one.
            while (other.line_within(std::chrono::milliseconds(0))) other.next_line(line, std::chrono::milliseconds(0));
            ASSERT_TRUE(other.next_line(line, test_support::child_answer_time)) << op;
            if (c.ins == std::string("20")) {
                ASSERT_EQ(verify(cardfs_user_pin, current, &tries), 0) << op;
            } else {
                const std::string next = current == user_pin ? fresh : user_pin;
                ASSERT_EQ(cardfs_change_pin(h_, cardfs_user_pin, u8(current), current.size(), u8(next), next.size(),
                                            &tries), 0) << op;
                current = next;
            }
        }
        other.kill();
        if (current != user_pin) {
            ASSERT_EQ(cardfs_change_pin(h_, cardfs_user_pin, u8(current), current.size(), u8(user_pin),
                                        user_pin.size(), &tries), 0);
        }

        const auto log = vt_.commands();
        int checks = 0, interleaved = 0;
        std::size_t previous = 0;
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (log[i].substr(2, 2) != c.ins) continue;
            ++checks;
            ASSERT_GT(i, 0u);
            EXPECT_EQ(log[i - 1].rfind("0084000010", 0), 0u) << "before " << log[i] << ": " << log[i - 1];
            if (checks > 1 && i - previous > alone) ++interleaved;
            previous = i;
        }
        EXPECT_EQ(checks, operations + (current == user_pin ? 0 : 1));
        // The other process did run between the operations.
        EXPECT_GT(interleaved, 0);
    }
}
