// End to end: the device-management exports against the virtual token.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZervikSolvanta.h"
#include "card_fixture.h"

using test_support::from_hex;
using test_support::to_hex;

namespace {

class devmgr_card_test : public test_support::card_test {
protected:
    void SetUp() override {
        card_test::SetUp();
        handle_ = connect();
    }
    std::string chip_id() {
        unsigned char id[64];
        int length = sizeof id;
        EXPECT_EQ(Zervik_GetChipID(handle_, id, &length), 0);
        return to_hex(id, static_cast<std::size_t>(length));
    }
    std::string health() {
        std::uint64_t status = 0;
        EXPECT_EQ(Zervik_GetHealthStatus(handle_, &status), 0);
        return to_hex(reinterpret_cast<const unsigned char*>(&status), sizeof status);
    }
    ZERVIK_HANDLE handle_ = nullptr;
};

TEST_F(devmgr_card_test, ExportsGiveTheCardsValues) {
    vt_.call("set", {{"fs_free_space", 4096}, {"chip_id", "00112233445566778899aabbccddeeff0102"}});
    int space = 0;
    ASSERT_EQ(Zervik_GetFSMaxSpace(handle_, &space), 0);
    EXPECT_EQ(space, 4096);
    EXPECT_EQ(chip_id(), "00112233445566778899aabbccddeeff0102");

    // Health bytes: last self-test, working mode, reseeds u16, self-tests u32.
    EXPECT_EQ(health(), "0000000000000000");
    EXPECT_EQ(Zervik_ChangeWorkingMode(handle_, 0x105), 0);  // the low byte
    EXPECT_EQ(Zervik_HealthCheck(handle_), 0);
    EXPECT_EQ(Zervik_DRBGReseed(handle_), 0);
    EXPECT_EQ(health(), "0005000100000001");
    EXPECT_EQ(vt_.call("dump")["state"]["working_mode"], 5);

    vt_.call("set", {{"self_test_fail", true}});
    EXPECT_EQ(Zervik_HealthCheck(handle_), 0x6581);
    EXPECT_EQ(health().substr(0, 2), "01");
}

TEST_F(devmgr_card_test, ChipIdCapacityIsExact) {
    vt_.call("set", {{"chip_id", "0102030405"}});
    unsigned char id[8];
    std::memset(id, 0xEE, sizeof id);
    int length = 4;
    EXPECT_EQ(Zervik_GetChipID(handle_, id, &length), 3);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(id[0], 0xEE);
    length = 5;
    ASSERT_EQ(Zervik_GetChipID(handle_, id, &length), 0);
    EXPECT_EQ(to_hex(id, 5), "0102030405");
    EXPECT_EQ(id[5], 0xEE);
}

TEST_F(devmgr_card_test, CardStatusWordsPassWithNothingWritten) {
    vt_.override_replies({"6a82", "6a82", "6a82", "6982"});
    unsigned char id[8];
    std::memset(id, 0xEE, sizeof id);
    int length = sizeof id;
    EXPECT_EQ(Zervik_GetChipID(handle_, id, &length), 0x6A82);
    EXPECT_EQ(length, static_cast<int>(sizeof id));
    EXPECT_EQ(id[0], 0xEE);
    int space = -7;
    EXPECT_EQ(Zervik_GetFSMaxSpace(handle_, &space), 0x6A82);
    EXPECT_EQ(space, -7);
    std::uint64_t status = 42;
    EXPECT_EQ(Zervik_GetHealthStatus(handle_, &status), 0x6A82);
    EXPECT_EQ(status, 42u);
    EXPECT_EQ(Zervik_HealthCheck(handle_), 0x6982);
}

struct bad_reply {
    const char* reply;
    int fs_max_space;  // result of GetFSMaxSpace
};

class devmgr_bad_reply : public devmgr_card_test, public ::testing::WithParamInterface<bad_reply> {};

TEST_P(devmgr_bad_reply, IsNeverSuccess) {
    vt_.override_replies({GetParam().reply});
    int space = -7;
    EXPECT_EQ(Zervik_GetFSMaxSpace(handle_, &space), GetParam().fs_max_space);
    EXPECT_EQ(space, GetParam().fs_max_space == 0 ? 0x1000 : -7);
    // The next command is answered by the card again.
    EXPECT_EQ(Zervik_GetFSMaxSpace(handle_, &space), 0);
}

INSTANTIATE_TEST_SUITE_P(Replies, devmgr_bad_reply,
                         ::testing::Values(bad_reply{"90", 2},            // one byte
                                           bad_reply{"0000", 2},          // SW 0000
                                           bad_reply{"00010000", 2},      // data, SW 0000
                                           bad_reply{"0010009000", 3},    // 9000, 3 bytes of data
                                           bad_reply{"000010009000", 0}));  // the good form

TEST_F(devmgr_card_test, HealthStatusMustBeEightBytes) {
    for (const char* forced : {"01020304050607", "010203040506070809"}) {
        vt_.call("set", {{"health_status", forced}});
        std::uint64_t status = 42;
        EXPECT_EQ(Zervik_GetHealthStatus(handle_, &status), 3) << forced;
        EXPECT_EQ(status, 42u);
    }
}

TEST_F(devmgr_card_test, DeviceFamilyStaysPlainUnderTheSecureChannelFlag) {
    Zervik_UseSecureChannel(1);
    EXPECT_EQ(chip_id().empty(), false);
    int space = 0;
    EXPECT_EQ(Zervik_GetFSMaxSpace(handle_, &space), 0);
    EXPECT_EQ(Zervik_HealthCheck(handle_), 0);
    Zervik_UseSecureChannel(0);
    for (const auto& c : vt_.commands()) EXPECT_EQ(c.substr(0, 2), "80") << c;
}

TEST_F(devmgr_card_test, FormatDeviceCarriesTheArgumentsInPlace) {
    std::vector<unsigned char> keys[3];
    for (int k = 0; k < 3; ++k) keys[k].assign(32, static_cast<unsigned char>(0xA0 + k));
    const std::string blob = "blob-of-the-caller";
    const int result = Zervik_FormatDevice(handle_, "first", "second", "third", std::string(32, 'f').c_str(),
                                           0x01020304, 0x55, blob.c_str(), 0x11111111, keys[0].data(), 0x61,
                                           0x22222222, keys[1].data(), 0x62, 0x33333333, keys[2].data(), 0x63);
    const auto log = vt_.log();
    ASSERT_EQ(log.size(), 1u);
    // The export returns the card's answer.
    const std::string sw = log[0].reply.substr(log[0].reply.size() - 4);
    EXPECT_EQ(result, sw == "9000" ? 0 : std::stoi(sw, nullptr, 16));

    const std::vector<unsigned char> apdu = from_hex(log[0].command);
    ASSERT_GE(apdu.size(), 7u);
    EXPECT_EQ(to_hex(apdu.data(), 4), "80020000");
    // 273 + n bytes of data: extended length.
    const std::size_t n = blob.size();
    ASSERT_EQ(apdu[4], 0x00);
    ASSERT_EQ(static_cast<std::size_t>(apdu[5] << 8 | apdu[6]), 273 + n);
    const unsigned char* d = apdu.data() + 7;
    EXPECT_EQ(d[17], 0x00);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 18)), "first");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 50)), "second");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 82)), "third");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 114), 32), std::string(32, 'f'));
    EXPECT_EQ(to_hex(d + 146, 4), "00000000");
    EXPECT_EQ(to_hex(d + 150, 4), "01020304");
    EXPECT_EQ(d[160], 0x55);
    EXPECT_EQ(d[161], n);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 162), n), blob);
    for (int k = 0; k < 3; ++k) {
        const unsigned char* block = d + 162 + n + 37 * static_cast<std::size_t>(k);
        EXPECT_EQ(to_hex(block, 4), std::string(8, static_cast<char>('1' + k)));
        EXPECT_EQ(block[4], 0xA0 + k);
        EXPECT_EQ(block[35], 0xA0 + k);
        EXPECT_EQ(block[36], 0x61 + k);
    }
}

TEST_F(devmgr_card_test, BadFormatInputIsRefusedWithNothingSent) {
    const std::vector<unsigned char> key(32, 1);
    const std::string too_long(33, 's');
    EXPECT_EQ(Zervik_FormatDevice(handle_, too_long.c_str(), "b", "c", "d", 0, 0, "", 1, key.data(), 0, 2,
                                  key.data(), 0, 3, key.data(), 0),
              2);
    EXPECT_EQ(Zervik_FormatDevice(handle_, "a", "b", "c", "d", 0, 0, std::string(256, 'x').c_str(), 1, key.data(),
                                  0, 2, key.data(), 0, 3, key.data(), 0),
              2);
    EXPECT_EQ(Zervik_FormatDevice(handle_, "a", nullptr, "c", "d", 0, 0, "", 1, key.data(), 0, 2, key.data(), 0, 3,
                                  key.data(), 0),
              2);
    EXPECT_EQ(Zervik_FormatDevice(handle_, "a", "b", "c", "d", 0, 0, "", 1, key.data(), 0, 2, nullptr, 0, 3,
                                  key.data(), 0),
              2);
    EXPECT_EQ(Zervik_GetFSMaxSpace(handle_, nullptr), 2);
    EXPECT_EQ(Zervik_GetChipID(handle_, nullptr, nullptr), 2);
    EXPECT_EQ(Zervik_GetHealthStatus(handle_, nullptr), 2);
    EXPECT_TRUE(vt_.commands().empty());
}

TEST_F(devmgr_card_test, AfterRemoveDeviceEveryExportGives1) {
    handles_.clear();
    ASSERT_EQ(Zervik_RemoveDevice(handle_), 0);
    int space = 0;
    unsigned char id[32];
    int length = sizeof id;
    std::uint64_t status = 0;
    const std::vector<unsigned char> key(32, 1);
    EXPECT_EQ(Zervik_GetFSMaxSpace(handle_, &space), 1);
    EXPECT_EQ(Zervik_GetChipID(handle_, id, &length), 1);
    EXPECT_EQ(Zervik_GetHealthStatus(handle_, &status), 1);
    EXPECT_EQ(Zervik_ChangeWorkingMode(handle_, 1), 1);
    EXPECT_EQ(Zervik_HealthCheck(handle_), 1);
    EXPECT_EQ(Zervik_DRBGReseed(handle_), 1);
    EXPECT_EQ(Zervik_FormatDevice(handle_, "a", "b", "c", "d", 0, 0, "", 1, key.data(), 0, 2, key.data(), 0, 3,
                                  key.data(), 0),
              1);
    EXPECT_EQ(Zervik_GetFSMaxSpace(nullptr, &space), 1);
    EXPECT_TRUE(vt_.commands().empty());
}

}  // namespace
