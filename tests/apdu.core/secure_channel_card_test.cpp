// The secure channel end to end: library -> pcsc-lite -> pcscd -> vpcd ->
// virtual token, which agrees and derives the channel keys with its own
// (Python) cryptography and checks every wrapped command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZervikSolvanta.h"
#include "api/taviapi_devmgr.h"
#include "card_fixture.h"
#include "protocol/device_manager.h"
#include "protocol/records.h"
#include "sm/kas.h"
#include "transport/device_list.h"

using namespace zervik;
using test_support::card_reader;
using test_support::to_hex;

namespace {

using bytes = std::vector<unsigned char>;

// A format with every field in use; the key blocks as the token reports them.
struct format_inputs {
    bytes keys[3] = {bytes(32, 0x11), bytes(32, 0x22), bytes(32, 0x33)};

    format_parameters parameters() const {
        format_parameters p{};
        p.strings[0] = "Solvanta";
        p.strings[1] = "Maker";
        p.strings[2] = "Label";
        p.strings[3] = "0123456789ABCDEF";
        p.value = 0x00020000;
        p.byte_value = 0x01;
        p.blob = "MF";
        for (int i = 0; i < 3; ++i) {
            p.keys[i].algorithm = 0x40002020;
            p.keys[i].key = keys[i].data();
            p.keys[i].parameter = static_cast<std::uint8_t>(10 + i);
        }
        return p;
    }

    bytes record() const {
        command_data out(small_work_area);
        EXPECT_EQ(build_format_record(parameters(), out), 0);
        return bytes(out.data(), out.data() + out.size());
    }
};

class secure_channel_card_test : public test_support::card_test {
protected:
    void SetUp() override {
        card_test::SetUp();
        handle_ = connect();
        device_ = listed_device(handle_);
        ASSERT_NE(device_, nullptr);
    }
    void TearDown() override {
        Zervik_UseSecureChannel(0);
        card_test::TearDown();
    }

    // The channel keys the token derived, as {mac, enc} hex.
    std::pair<std::string, std::string> token_keys() {
        const auto keys = vt_.call("dump")["volatile"]["sm_keys"];
        if (keys.is_null()) return {};
        return {keys["mac_key"].get<std::string>(), keys["enc_key"].get<std::string>()};
    }
    std::pair<std::string, std::string> device_keys() const {
        return {to_hex(device_->mac_key(), 32), to_hex(device_->encryption_key(), 32)};
    }

    nlohmann::json log_entries() { return vt_.call("log")["entries"]; }

    // Zervik_FormatDevice with the fields of format_.
    int format() {
        const format_parameters p = format_.parameters();
        return Zervik_FormatDevice(handle_, p.strings[0], p.strings[1], p.strings[2], p.strings[3], p.value,
                                   p.byte_value, p.blob, p.keys[0].algorithm, p.keys[0].key, p.keys[0].parameter,
                                   p.keys[1].algorithm, p.keys[1].key, p.keys[1].parameter, p.keys[2].algorithm,
                                   p.keys[2].key, p.keys[2].parameter);
    }

    void open_channel() {
        ASSERT_EQ(Zervik_SetupSecureMessageChannel(handle_), 0);
        vt_.clear_log();
        Zervik_UseSecureChannel(1);
    }

    format_inputs format_;
    ZERVIK_HANDLE handle_ = nullptr;
    device_winscard* device_ = nullptr;
};

}  // namespace

TEST_F(secure_channel_card_test, SetUpAgreesTheKeysTheTokenDerivesInPlain) {
    Zervik_UseSecureChannel(1);  // the key agreement goes plain all the same
    ASSERT_EQ(Zervik_SetupSecureMessageChannel(handle_), 0);
    EXPECT_EQ(device_keys(), token_keys());

    const auto commands = vt_.commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0], "801100000540001011" "0000");
    EXPECT_EQ(commands[1].substr(0, 26), "80110100dc4000101140000015");
    EXPECT_EQ(commands[1].substr(26, 136), std::string(136, '0')) << "68 zero bytes of OtherInfo";
    EXPECT_EQ(commands[1].substr(162, 8), "09020000") << "521, little-endian";

    // A second set-up replaces both sides' keys.
    const auto first = device_keys();
    ASSERT_EQ(Zervik_SetupSecureMessageChannel(handle_), 0);
    EXPECT_NE(device_keys(), first);
    EXPECT_EQ(device_keys(), token_keys());
}

// The PKCS #11 module's profile sends 64 bytes of OtherInfo; the token takes
// the length from Lc and derives the same keys.
TEST_F(secure_channel_card_test, SetUpWithTheModulesOtherInfoAgreesTheTokensKeys) {
    taviapi_devmgr manager(device_);
    ASSERT_EQ(manager.setup_secure_channel(64), 0);
    EXPECT_EQ(device_keys(), token_keys());
    const auto commands = vt_.commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1].substr(0, 10), "80110100d8");
    EXPECT_EQ(commands[1].substr(26, 128), std::string(128, '0')) << "64 zero bytes of OtherInfo";
    EXPECT_EQ(commands[1].substr(154, 8), "09020000") << "521, little-endian";
}

TEST_F(secure_channel_card_test, TheTwoStepExportsLetTheCallerDeriveTheKeys) {
    unsigned char card_key[144];
    ASSERT_EQ(Zervik_SecureMessageGenEphemeral(handle_, kas_algorithm_p521, 0x100, card_key), 0);
    EXPECT_EQ(vt_.commands().back(), "801100000540001011" "0000") << "parameter: low byte";

    std::uint8_t d[68], x[68], y[68], z[66];
    ASSERT_EQ(kas_generate_keypair(d, x, y), 0);
    ASSERT_EQ(kas_compute_shared(d, x, y, card_key + 4, z, sizeof z), 0);
    bytes other_info(68);
    for (std::size_t i = 0; i < other_info.size(); ++i) other_info[i] = static_cast<unsigned char>(i);
    bytes k(64);
    ASSERT_EQ(kas_kdf_sha512(z, kas_shared_bits, other_info.data(), other_info.size(), k.data(), k.size()), 0);

    bytes record(144, 0);
    record[0] = 0x09;
    record[1] = 0x02;
    std::copy(x, x + 68, record.begin() + 4);
    std::copy(y, y + 68, record.begin() + 72);
    ASSERT_EQ(Zervik_SecureMessageKDF(handle_, kas_algorithm_p521, kas_algorithm_sha512, other_info.data(),
                                      record.data()),
              0);
    EXPECT_EQ(token_keys(), std::make_pair(to_hex(k.data(), 32), to_hex(k.data() + 32, 32)));

    // The card refuses a second step 2 for the same step-1 key.
    EXPECT_EQ(Zervik_SecureMessageKDF(handle_, kas_algorithm_p521, kas_algorithm_sha512, other_info.data(),
                                      record.data()),
              0x6985);
}

TEST_F(secure_channel_card_test, WrappedCommandsAreAcceptedAndTheTokenSeesMacAndPlaintext) {
    open_channel();

    // A short wrapped command with reply data: GetChipID under a keyed
    // protocol object with the flag set.
    TaviPrototcol_DeviceManager p(*device_, 1);
    ASSERT_EQ(p.build_get_chip_id(), 0);
    ASSERT_EQ(p.sm_used, 1);
    ASSERT_EQ(device_->transmit(p.command, p.command_length, p.reply, &p.reply_length), 0);
    std::uint8_t chip_id[64];
    std::int32_t length = sizeof chip_id;
    ASSERT_EQ(p.reply_data(chip_id, &length), 0);
    const std::string expected_id = vt_.call("dump")["state"]["chip_id"];
    EXPECT_EQ(to_hex(chip_id, static_cast<std::size_t>(length)), expected_id);

    auto entries = log_entries();
    ASSERT_EQ(entries.size(), 1u);
    const std::string get_chip = entries[0]["command"];
    EXPECT_EQ(get_chip.substr(0, 10), "8403000010") << "case 4, Lc 16";
    EXPECT_EQ(entries[0]["sm"]["mac"], get_chip.substr(10, 32));
    EXPECT_EQ(entries[0]["sm"]["plain"], "");
    EXPECT_EQ(entries[0]["sm"]["reply_plain"], expected_id);

    // The extended wrapped format: 280 bytes of record, Lc 0x130.
    vt_.clear_log();
    ASSERT_EQ(format(), 0);
    entries = log_entries();
    ASSERT_EQ(entries.size(), 1u);
    const std::string command = entries[0]["command"];
    EXPECT_EQ(command.substr(0, 14), "84020000000130");
    EXPECT_EQ(command.size(), 2 * (7u + 304));
    EXPECT_EQ(entries[0]["sm"]["mac"], command.substr(command.size() - 32));
    EXPECT_EQ(entries[0]["sm"]["plain"], to_hex(format_.record().data(), format_.record().size()));
    const auto kept = vt_.call("dump")["state"]["format"];
    EXPECT_EQ(kept["strings"][2], "Label");
    EXPECT_EQ(kept["keys"][1]["key"], to_hex(format_.keys[1].data(), 32));
}

TEST_F(secure_channel_card_test, BadProtectedRepliesGive8005) {
    open_channel();
    const struct {
        const char* fault;
        std::int32_t expected;
    } cases[] = {
        {"flip_mac", 0x8005}, {"pad_11", 0x8005}, {"pad_00", 0x8005}, {"short_15", 0x8005},
        {"mac_only", 0},  // a MAC over no data: authentic and empty
    };
    for (const auto& c : cases) {
        vt_.call("set", {{"sm_reply_fault", c.fault}});
        EXPECT_EQ(format(), c.expected) << c.fault;
    }
    vt_.call("set", {{"sm_reply_fault", nullptr}});
    EXPECT_EQ(format(), 0);
    EXPECT_EQ(vt_.call("dump")["state"]["format_count"], 6) << "the token ran every format";
}

TEST_F(secure_channel_card_test, ConnectDevClearsTheFlagAndPlainOnlyCommandsStayPlain) {
    open_channel();
    taviapi_devmgr manager(device_);
    std::uint8_t chip_id[64];
    std::int32_t length = sizeof chip_id;
    ASSERT_EQ(manager.get_chip_id(chip_id, &length), 0);
    std::int32_t space = 0;
    ASSERT_EQ(manager.get_fs_max_space(&space), 0);
    ASSERT_EQ(manager.health_check(), 0);
    ASSERT_EQ(manager.drbg_reseed(), 0);
    ASSERT_EQ(format(), 0);
    auto commands = vt_.commands();
    ASSERT_EQ(commands.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(commands[i].substr(0, 2), "80") << commands[i];
    EXPECT_EQ(commands[4].substr(0, 2), "84");

    ZERVIK_HANDLE again = nullptr;
    ASSERT_EQ(Zervik_ConnectDev(card_reader, &again), 0);
    EXPECT_EQ(again, handle_);
    vt_.clear_log();
    ASSERT_EQ(format(), 0);
    EXPECT_EQ(vt_.commands().at(0).substr(0, 8), "80020000") << "plain after ConnectDev";
}

TEST_F(secure_channel_card_test, WrappedCommandWithoutAChannelOnTheTokenIsRefused) {
    // The device may hold keys; the card, fresh, has no channel.
    Zervik_UseSecureChannel(1);
    EXPECT_EQ(format(), 0x6982);
}

TEST_F(secure_channel_card_test, CardPointOffTheCurveGivesTwoAndNoSecondStep) {
    const auto keys_before = device_keys();
    unsigned char card_key[144];
    ASSERT_EQ(Zervik_SecureMessageGenEphemeral(handle_, kas_algorithm_p521, 0, card_key), 0);
    card_key[143 - 4] ^= 0x01;  // last byte of Y
    bytes reply = {0x00, 0x00, 0x00, 0x90};
    reply.insert(reply.end(), card_key, card_key + 144);
    reply.push_back(0x90);
    reply.push_back(0x00);
    vt_.override_replies({to_hex(reply.data(), reply.size())});
    vt_.clear_log();
    EXPECT_EQ(Zervik_SetupSecureMessageChannel(handle_), 2);
    EXPECT_EQ(vt_.commands().size(), 1u);
    EXPECT_EQ(device_keys(), keys_before);
}
