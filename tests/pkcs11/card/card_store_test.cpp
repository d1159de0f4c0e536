// The token file store against the virtual token behind pcscd: file ids,
// chunked reads and writes, selection first, the freshness bump and the
// local refusals. The card's side is looked at through the token's controls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "card_device.h"
#include "card_profile.h"
#include "card_store.h"
#include "support/vtoken_control.h"

using namespace solvantex;
using test_support::from_hex;
using test_support::to_hex;

namespace {

using bytes = std::vector<unsigned char>;

bytes pattern(std::size_t n, unsigned seed) {
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 31 + seed) ^ (i >> 8));
    return b;
}

// The byte count of an APDU's data field (short or extended Lc).
std::size_t data_length(const bytes& apdu) {
    if (apdu.size() <= 5) return 0;
    if (apdu[4] == 0 && apdu.size() > 7) return static_cast<std::size_t>(apdu[5] << 8 | apdu[6]);
    return apdu[4];
}
std::size_t data_offset(const bytes& apdu) { return apdu[4] == 0 && apdu.size() > 7 ? 7 : 5; }

class card_store_test : public ::testing::Test {
protected:
    void SetUp() override {
        vt_.fresh_card();
        vt_.call("preset", {{"name", "factory"}});
        set_module_sm_flag(0);
        ASSERT_EQ(open_device(test_support::card_reader, &h_), 0);
        // The directories a format leaves, made directly.
        ASSERT_EQ(cardfs_create_dir(h_, cardfs_root_id, cardfs_root_name, 17, 17), 0);
        ASSERT_EQ(cardfs_create_file_ex(h_, cardfs_cardcf_id, cardfs_cardcf_name, 0, 255, 17, 0, 16), 0);
        ASSERT_EQ(cardfs_create_dir(h_, cardfs_app_dir_id, cardfs_app_dir_name, 255, 255), 0);
        vt_.clear_log();
    }
    void TearDown() override {
        vt_.call("fail_next", {{"clear", true}});
        close_device(h_);
    }

    std::vector<bytes> commands_with_ins(unsigned char ins) {
        std::vector<bytes> out;
        for (const auto& c : vt_.commands()) {
            bytes b = from_hex(c);
            if (b.size() >= 2 && b[1] == ins) out.push_back(b);
        }
        return out;
    }
    bytes card_file(const std::string& path) {
        return from_hex(vt_.call("file_read", {{"path", path}})["data"].get<std::string>());
    }
    // True when "mscp" is the card's current directory: a read by name of
    // one of its files, without selecting, succeeds.
    bool app_dir_current() {
        std::uint8_t b[4];
        std::uint32_t n = 0;
        return cardfs_read_here(h_, "probe", 0, sizeof b, b, &n) == 0;
    }

    test_support::vtoken_control vt_;
    card_handle h_ = 0;
};

}  // namespace

TEST(card_store_ids, CrcKermitOfNames) {
    const struct {
        const char* name;
        std::uint16_t id;
    } cases[] = {
        {"123456789", 0x2189}, {"contInfo", 0x32A6}, {"keyObjects", 0xD09A}, {"ObjFileIdx", 0xF87E},
        {"cmapfile", 0xF601},  {"cardid", 0xB34B},   {"ksc00", 0xF4DF},      {"kxc03", 0x0651},
        {"cert00", 0x0B80},    {"pri07", 0x1C0D},    {"pub12", 0x2CFF},
    };
    for (const auto& c : cases) EXPECT_EQ(cardfs_file_id(c.name), c.id) << c.name;
}

TEST(card_store_ids, FileInformationRecord) {
    std::uint8_t record[37] = {1, 0};
    std::memcpy(record + 2, "keyObjects", 10);
    const std::uint16_t id = 0xD09A, size = 3008;  // host order, as the core leaves them
    std::memcpy(record + 18, &id, 2);
    record[20] = 255;
    record[21] = 255;
    std::memcpy(record + 22, &size, 2);
    cardfs_file_info info{};
    ASSERT_EQ(cardfs_parse_file_info(record, sizeof record, &info), 0);
    EXPECT_STREQ(info.name, "keyObjects");
    EXPECT_EQ(info.id, 0xD09A);
    EXPECT_EQ(info.size, 3008);
    record[0] = 7;
    EXPECT_EQ(cardfs_parse_file_info(record, sizeof record, &info), cardfs_bad_argument);
    EXPECT_EQ(cardfs_parse_file_info(record, 36, &info), cardfs_bad_argument);
}

TEST_F(card_store_test, LargeFileGoesInChunksAndEveryOperationSelectsFirst) {
    const bytes value = pattern(2500, 3);
    ASSERT_EQ(cardfs_create_file(h_, "cert00", 2500, 255, 17), 0);
    ASSERT_EQ(cardfs_write_new_file(h_, "cert00", value.data(), 2500), 0);
    EXPECT_EQ(card_file("3f00/2000/4000/0b80"), value);

    // The writes: 1024, 1024, 452 bytes at 0, 1024, 2048 (mode, offset,
    // name length and name before the bytes).
    const auto writes = commands_with_ins(0x45);
    ASSERT_EQ(writes.size(), 3u);
    const std::size_t sizes[] = {1024, 1024, 452};
    for (std::size_t i = 0; i < 3; ++i) {
        const bytes& w = writes[i];
        const std::size_t at = data_offset(w);
        EXPECT_EQ(data_length(w) - 4 - 6, sizes[i]);
        EXPECT_EQ(static_cast<std::size_t>(w[at + 1] << 8 | w[at + 2]), 1024 * i);
    }

    vt_.clear_log();
    bytes back(2500);
    std::uint32_t got = 0;
    ASSERT_EQ(cardfs_read_file(h_, "cert00", 0, 2500, back.data(), &got), 0);
    EXPECT_EQ(got, 2500u);
    EXPECT_EQ(back, value);
    std::vector<std::size_t> chunks;
    for (const auto& e : vt_.log()) {
        const bytes c = from_hex(e.command);
        if (c[1] == 0x44) chunks.push_back(e.reply.size() / 2 - 2);
    }
    EXPECT_EQ(chunks, (std::vector<std::size_t>{1024, 1024, 452}));

    // The first command of every operation selects 3F00/2000/4000 by path.
    const auto log = vt_.commands();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().rfind("00a40800063f0020004000", 0), 0u) << log.front();
}

TEST_F(card_store_test, ReadAsksForTheRestAndStopsAtTheEnd) {
    ASSERT_EQ(cardfs_create_file(h_, "pub01", 10, 255, 255), 0);
    const bytes value = pattern(10, 9);
    ASSERT_EQ(cardfs_write_file(h_, "pub01", 0, value.data(), 10), 0);
    bytes back(40, 0xEE);
    std::uint32_t got = 0;
    ASSERT_EQ(cardfs_read_file(h_, "pub01", 0, 40, back.data(), &got), 0);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(bytes(back.begin(), back.begin() + 10), value);
    EXPECT_EQ(bytes(back.begin() + 10, back.end()), bytes(30, 0));  // zero-filled

    // A fixed-size reader facing a short file: its own code, zeros.
    bytes fixed(16, 0xEE);
    EXPECT_EQ(cardfs_read_fixed(h_, "pub01", 0, 16, fixed.data()), cardfs_short_file);
    EXPECT_EQ(fixed, bytes(16, 0));
    // And facing a card that cuts its reply short.
    vt_.call("set", {{"short_read", 3}});
    EXPECT_EQ(cardfs_read_fixed(h_, "pub01", 0, 10, fixed.data()), cardfs_short_file);
    EXPECT_EQ(bytes(fixed.begin(), fixed.begin() + 10), bytes(10, 0));
}

TEST_F(card_store_test, OutOfRangeRequestsAreRefusedBeforeAnyCommand) {
    bytes buffer(2000);
    std::uint32_t got = 0;
    const std::string long_name(17, 'a');
    const struct {
        const char* what;
        std::int32_t result;
    } cases[] = {
        {"read 65000+1000", cardfs_read_file(h_, "pub01", 65000, 1000, buffer.data(), &got)},
        {"write 65000+1000", cardfs_write_file(h_, "pub01", 65000, buffer.data(), 1000)},
        {"write at 65536", cardfs_write_file(h_, "pub01", 65536, buffer.data(), 0)},
        {"create 65536", cardfs_create_file(h_, "pub01", 65536, 255, 255)},
        {"name of 17", cardfs_create_file(h_, long_name.c_str(), 10, 255, 255)},
        {"read name of 17", cardfs_read_file(h_, long_name.c_str(), 0, 10, buffer.data(), &got)},
        {"empty name", cardfs_write_file(h_, "", 0, buffer.data(), 1)},
        {"null name", cardfs_delete_file(h_, nullptr)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.result, cardfs_bad_argument) << c.what;
    EXPECT_TRUE(vt_.commands().empty());
}

TEST_F(card_store_test, FreshnessBumpCountsWrapsAndLeavesTheStoreDirectory) {
    ASSERT_EQ(cardfs_create_file(h_, "probe", 4, 255, 255), 0);
    vt_.call("file_write", {{"path", "3f00/2000/2002"}, {"data", "00070100ffff"}});
    ASSERT_EQ(cardfs_bump_cache_freshness(h_), 0);
    EXPECT_EQ(to_hex(card_file("3f00/2000/2002").data(), 6), "010802000000");
    EXPECT_TRUE(app_dir_current());

    // Failures at each step: the status comes back, mscp is current again,
    // and a failed read writes nothing.
    const struct {
        const char* ins;
        const char* sw;
        std::int32_t expected;
    } faults[] = {{"44", "6581", 0x6581}, {"45", "6581", 0x6581}};
    for (const auto& f : faults) {
        const bytes before = card_file("3f00/2000/2002");
        vt_.call("fail_next", {{"ins", f.ins}, {"sw", f.sw}, {"name", "cardcf"}});
        EXPECT_EQ(cardfs_bump_cache_freshness(h_), f.expected) << f.ins;
        EXPECT_EQ(card_file("3f00/2000/2002"), before) << f.ins;
        EXPECT_TRUE(app_dir_current()) << f.ins;
    }
    // A short "cardcf" is not bumped on partial bytes.
    vt_.call("set", {{"short_read", 2}});
    const bytes before = card_file("3f00/2000/2002");
    EXPECT_EQ(cardfs_bump_cache_freshness(h_), cardfs_short_file);
    EXPECT_EQ(card_file("3f00/2000/2002"), before);
    EXPECT_TRUE(app_dir_current());
}

TEST_F(card_store_test, SelectByNameReportsTheSizeAndDeleteCountsMissingAsDone) {
    ASSERT_EQ(cardfs_create_file(h_, "pri07", 300, 17, 17), 0);
    const auto file = vt_.call("file_read", {{"path", "3f00/2000/4000/pri07"}});
    EXPECT_EQ(file["id"].get<std::string>(), "1c0d");
    cardfs_file_info info{};
    ASSERT_EQ(cardfs_select_file_by_name(h_, "pri07", &info), 0);
    EXPECT_EQ(info.size, 300);
    EXPECT_EQ(info.id, 0x1C0D);
    EXPECT_EQ(cardfs_create_file(h_, "pri07", 300, 17, 17), 0x6A89);
    EXPECT_EQ(cardfs_delete_file(h_, "pri07"), 0);
    EXPECT_EQ(cardfs_delete_file(h_, "pri07"), 0);
    EXPECT_EQ(cardfs_select_file_by_name(h_, "pri07", &info), 0x6A82);
}
