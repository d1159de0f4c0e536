// The secret-key and data-object tables on a formatted virtual token: what
// lies on the card is read with the test's own decoder, failures come from
// the token's fault controls.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "card_commands.h"
#include "card_device.h"
#include "card_pin.h"
#include "card_profile.h"
#include "card_store.h"
#include "card_tables.h"
#include "formatted_token.h"
#include "store_layout.h"
#include "support/vtoken_control.h"

using namespace solvantex;
using store_layout::bytes;
using store_layout::data_path;
using store_layout::pattern;
using store_layout::secret_path;
using store_layout::so_pin;
using store_layout::u8;
using store_layout::user_pin;
using test_support::from_hex;
using test_support::to_hex;

namespace {


cardfs_secret_record secret(const std::string& label, std::uint32_t bits = 0, std::size_t value_length = 16) {
    cardfs_secret_record r{};
    std::memcpy(r.label, label.data(), label.size());
    r.label_length = static_cast<std::uint8_t>(label.size());
    r.key_type = 0x1F;  // AES
    r.id[0] = 0x42;
    r.id_length = 1;
    const bytes v = pattern(value_length, 5);
    if (!v.empty()) std::memcpy(r.value, v.data(), v.size());
    r.value_length = static_cast<std::uint8_t>(value_length);
    r.bits = bits;
    r.slot = 9;  // whatever the caller left there, the add sets it
    return r;
}

cardfs_data_record data_object(const std::string& label, bool is_private) {
    cardfs_data_record r{};
    std::memcpy(r.label, label.data(), label.size());
    r.label_length = static_cast<std::uint8_t>(label.size());
    r.flags = is_private ? cardfs_data_flag_private : 0;
    return r;
}

class card_tables_test : public formatted_token::test {
protected:
    void SetUp() override {
        formatted_token::test::SetUp();
        cardfs_reset_cache(&cache_);
    }
    std::vector<std::string> writes() { return commands_of({"45", "42", "43"}); }

    cardfs_table_cache cache_{};
};

}  // namespace

TEST(card_tables_forms, BitmapPositionsAndRecordRoundTrip) {
    std::uint8_t bitmap[8] = {};
    cardfs_set_bit(bitmap, 9, true);
    EXPECT_EQ(bitmap[1], 0x40);
    cardfs_set_bit(bitmap, 0, true);
    EXPECT_EQ(bitmap[0], 0x80);
    EXPECT_TRUE(cardfs_bit(bitmap, 9));
    cardfs_set_bit(bitmap, 9, false);
    EXPECT_EQ(bitmap[1], 0);

    char name[9];
    cardfs_value_file_name(true, 7, name);
    EXPECT_STREQ(name, "pri07");
    cardfs_value_file_name(false, 12, name);
    EXPECT_STREQ(name, "pub12");

    cardfs_secret_record r = secret("a key", cardfs_secret_bit_private);
    std::uint8_t b[cardfs_secret_record_size];
    ASSERT_EQ(cardfs_encode_secret_record(r, b), 0);
    EXPECT_EQ(b[68], 5);
    EXPECT_EQ(b[174], 16);
    cardfs_secret_record back{};
    ASSERT_EQ(cardfs_decode_secret_record(b, sizeof b, &back), 0);
    EXPECT_EQ(std::memcmp(back.value, r.value, 16), 0);
    b[174] = 33;  // a value length past its field
    EXPECT_EQ(cardfs_decode_secret_record(b, sizeof b, &back), cardfs_store_corrupt);
    r.label_length = 64;
    EXPECT_EQ(cardfs_encode_secret_record(r, b), cardfs_bad_argument);

    std::uint8_t header[36] = {'d', 'a', 't', 'a', 0x80};
    bool empty = true;
    ASSERT_EQ(cardfs_decode_header(cardfs_table::data, header, 36, bitmap, &empty), 0);
    EXPECT_FALSE(empty);
    EXPECT_EQ(bitmap[0], 0x80);
    header[20] = 1;  // reserved bytes
    EXPECT_EQ(cardfs_decode_header(cardfs_table::data, header, 36, bitmap, &empty), cardfs_store_corrupt);
    std::memcpy(header, "secr", 4);
    header[20] = 0;
    EXPECT_EQ(cardfs_decode_header(cardfs_table::data, header, 36, bitmap, &empty), cardfs_store_corrupt);
    std::memset(header, 0, sizeof header);
    ASSERT_EQ(cardfs_decode_header(cardfs_table::data, header, 36, bitmap, &empty), 0);
    EXPECT_TRUE(empty);
}

TEST_F(card_tables_test, SixteenSecretKeysFitAndTheWalkSkipsFreeSlots) {
    for (int i = 0; i < 16; ++i) {
        cardfs_secret_record r = secret("key " + std::to_string(i));
        ASSERT_EQ(cardfs_add_secret_object(h_, &cache_, &r), 0) << i;
        EXPECT_EQ(r.slot, i);
    }
    const bytes full = file(secret_path);
    cardfs_secret_record extra = secret("one more");
    EXPECT_EQ(cardfs_add_secret_object(h_, &cache_, &extra), 1);
    EXPECT_EQ(file(secret_path), full);

    auto t = store_layout::secret_table(full);
    EXPECT_EQ(t.tag, "secr");
    EXPECT_EQ(t.used.size(), 16u);
    EXPECT_EQ(store_layout::le32(t.records[5], 183), 5u);  // slot field
    EXPECT_EQ(store_layout::in_use(t.records[5]), 1u);

    for (int slot = 2; slot < 16; ++slot) ASSERT_EQ(cardfs_delete_secret_object(h_, &cache_, slot), 0) << slot;
    ASSERT_EQ(cardfs_delete_secret_object(h_, &cache_, 0), 0);
    t = store_layout::secret_table(file(secret_path));
    EXPECT_EQ(t.used, std::vector<int>{1});
    EXPECT_EQ(t.records[0], bytes(187, 0));

    vt_.clear_log();
    cardfs_table_cache fresh{};
    cardfs_reset_cache(&fresh);
    int count = -1;
    ASSERT_EQ(cardfs_load_secret_objects(h_, &fresh, &count), 0);
    EXPECT_EQ(count, 1);
    std::size_t record_bytes = 0;
    for (const auto& e : vt_.log())
        if (e.command.substr(2, 2) == "44" && e.reply.size() / 2 - 2 > 16) record_bytes += e.reply.size() / 2 - 2;
    EXPECT_EQ(record_bytes, 374u);  // slots 0 and 1
    cardfs_secret_record out{};
    ASSERT_EQ(cardfs_next_secret_object(&fresh, &out), 0);
    EXPECT_EQ(out.slot, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.label), out.label_length), "key 1");
    EXPECT_EQ(cardfs_next_secret_object(&fresh, &out), 1);
}

// A card-generated key has no value to store; a key the module generated
// (local as well) must keep its value, or it is lost at the next load.
TEST_F(card_tables_test, RecordsKeepTheValueTheirKeyHas) {
    cardfs_secret_record card_key = secret("generated on the card", cardfs_secret_bit_local, 0);
    cardfs_secret_record module_key = secret("generated in the module", cardfs_secret_bit_local, 24);
    cardfs_secret_record imported = secret("imported", 0, 32);
    ASSERT_EQ(cardfs_add_secret_object(h_, &cache_, &card_key), 0);
    ASSERT_EQ(cardfs_add_secret_object(h_, &cache_, &module_key), 0);
    ASSERT_EQ(cardfs_add_secret_object(h_, &cache_, &imported), 0);
    const auto t = store_layout::secret_table(file(secret_path));
    EXPECT_EQ(t.records[0][174], 0);
    EXPECT_EQ(bytes(t.records[0].begin() + 142, t.records[0].begin() + 174), bytes(32, 0));
    EXPECT_EQ(t.records[1][174], 24);
    EXPECT_EQ(bytes(t.records[1].begin() + 142, t.records[1].begin() + 166), pattern(24, 5));
    EXPECT_EQ(t.records[2][174], 32);
    EXPECT_EQ(bytes(t.records[2].begin() + 142, t.records[2].begin() + 174), pattern(32, 5));
}

TEST_F(card_tables_test, SlotsOutOfRangeOrFreeAreRefusedWithNothingSent) {
    cardfs_secret_record r = secret("k");
    ASSERT_EQ(cardfs_add_secret_object(h_, &cache_, &r), 0);
    cardfs_data_record d = data_object("d", false);
    ASSERT_EQ(cardfs_add_data_object(h_, &cache_, &d, nullptr, 0), 0);
    vt_.clear_log();
    for (std::int32_t slot : {16, -1, 64, 3, static_cast<std::int32_t>(0x80000000)}) {
        r.slot = slot;
        EXPECT_EQ(cardfs_update_secret_object(h_, &cache_, r), 1) << slot;
        EXPECT_EQ(cardfs_delete_secret_object(h_, &cache_, slot), 1) << slot;
    }
    for (std::int32_t slot : {64, -1, 65, 7}) {
        std::int32_t s = slot;
        EXPECT_EQ(cardfs_delete_data_object(h_, &cache_, slot), 1) << slot;
        EXPECT_EQ(cardfs_write_data_object(h_, &cache_, &s, nullptr, 0), 1) << slot;
    }
    EXPECT_TRUE(vt_.commands().empty());
}

TEST_F(card_tables_test, FailedDeletesLeaveNoGhost) {
    cardfs_secret_record a = secret("a"), b = secret("b");
    ASSERT_EQ(cardfs_add_secret_object(h_, &cache_, &a), 0);
    ASSERT_EQ(cardfs_add_secret_object(h_, &cache_, &b), 0);
    const bytes before = file(secret_path);
    // The un-commit (the header write) fails: nothing changes.
    vt_.call("fail_next", {{"ins", "45"}, {"sw", "6581"}, {"name", "keyObjects"}});
    EXPECT_EQ(cardfs_delete_secret_object(h_, &cache_, 0), 0x6581);
    EXPECT_EQ(file(secret_path), before);
    cardfs_table_cache fresh{};
    cardfs_reset_cache(&fresh);
    int count = 0;
    ASSERT_EQ(cardfs_load_secret_objects(h_, &fresh, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(fresh.mismatches, 0);
    ASSERT_EQ(cardfs_delete_secret_object(h_, &fresh, 0), 0);
    EXPECT_EQ(store_layout::secret_table(file(secret_path)).used, std::vector<int>{1});

    // The same for a data object: its record and value file stay whole.
    cardfs_data_record d = data_object("d", false);
    const bytes value = pattern(20, 1);
    ASSERT_EQ(cardfs_add_data_object(h_, &cache_, &d, value.data(), 20), 0);
    vt_.call("fail_next", {{"ins", "45"}, {"sw", "6581"}, {"name", "ObjFileIdx"}, {"count", 1}});
    EXPECT_EQ(cardfs_delete_data_object(h_, &cache_, d.slot), 0x6581);
    EXPECT_EQ(store_layout::data_table(file(data_path)).used, std::vector<int>{0});
    EXPECT_EQ(file("3f00/2000/4000/pub00"), value);
    ASSERT_EQ(cardfs_delete_data_object(h_, &cache_, d.slot), 0);
    const auto t = store_layout::data_table(file(data_path));
    EXPECT_TRUE(t.used.empty());
    EXPECT_EQ(t.records[0], bytes(185, 0));
    EXPECT_FALSE(exists("pub00"));
}

TEST_F(card_tables_test, FailedValueFileAndStaleFileBlockNoSlot) {
    cardfs_data_record d = data_object("first", false);
    const bytes value = pattern(40, 2);
    vt_.call("fail_next", {{"ins", "42"}, {"sw", "6a84"}});
    EXPECT_EQ(cardfs_add_data_object(h_, &cache_, &d, value.data(), 40), 0x6A84);
    EXPECT_TRUE(store_layout::data_table(file(data_path)).used.empty());

    // A stale "pub00" from an earlier failure, of another size.
    ASSERT_EQ(cardfs_create_file(h_, "pub00", 3, 255, 255), 0);
    d = data_object("first", false);
    ASSERT_EQ(cardfs_add_data_object(h_, &cache_, &d, value.data(), 40), 0);
    EXPECT_EQ(d.slot, 0);
    EXPECT_STREQ(d.file_name, "pub00");
    EXPECT_EQ(file("3f00/2000/4000/pub00"), value);
}

TEST_F(card_tables_test, CorruptHeadersAreRefusedWithNothingWritten) {
    cardfs_secret_record r = secret("k");
    ASSERT_EQ(cardfs_add_secret_object(h_, &cache_, &r), 0);
    cardfs_data_record d = data_object("d", false);
    ASSERT_EQ(cardfs_add_data_object(h_, &cache_, &d, nullptr, 0), 0);

    const struct {
        const char* path;
        int offset;
    } cases[] = {{secret_path, 0}, {secret_path, 8}, {data_path, 2}, {data_path, 30}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " at " + std::to_string(c.offset));
        vt_.call("file_corrupt", {{"path", c.path}, {"offset", c.offset}, {"xor", "5a"}});
        const bytes before = file(c.path);
        vt_.clear_log();
        int count = 0;
        cardfs_secret_record s = secret("x");
        cardfs_data_record o = data_object("y", false);
        if (std::string(c.path) == secret_path) {
            EXPECT_EQ(cardfs_load_secret_objects(h_, &cache_, &count), cardfs_store_corrupt);
            EXPECT_EQ(cardfs_add_secret_object(h_, &cache_, &s), cardfs_store_corrupt);
            EXPECT_EQ(cardfs_delete_secret_object(h_, &cache_, 0), cardfs_store_corrupt);
        } else {
            EXPECT_EQ(cardfs_load_data_objects(h_, &cache_, &count), cardfs_store_corrupt);
            EXPECT_EQ(cardfs_add_data_object(h_, &cache_, &o, nullptr, 0), cardfs_store_corrupt);
            EXPECT_EQ(cardfs_delete_data_object(h_, &cache_, 0), cardfs_store_corrupt);
        }
        EXPECT_TRUE(writes().empty());
        EXPECT_EQ(file(c.path), before);
        vt_.call("file_corrupt", {{"path", c.path}, {"offset", c.offset}, {"xor", "5a"}});
    }

    // A set bit over a record not in use counts for nothing.
    vt_.call("file_write", {{"path", secret_path}, {"offset", 4}, {"data", "a000"}});  // slots 0 and 2
    int count = 0;
    ASSERT_EQ(cardfs_load_secret_objects(h_, &cache_, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(cache_.mismatches, 1);

    // An all-zero header is an empty table that gets its tag at the next write.
    vt_.call("file_write", {{"path", data_path}, {"offset", 0}, {"data", std::string(72, '0')}});
    ASSERT_EQ(cardfs_load_data_objects(h_, &cache_, &count), 0);
    EXPECT_EQ(count, 0);
    cardfs_data_record o = data_object("again", false);
    ASSERT_EQ(cardfs_add_data_object(h_, &cache_, &o, nullptr, 0), 0);
    EXPECT_EQ(store_layout::data_table(file(data_path)).tag, "data");
}

TEST_F(card_tables_test, MissingTablesAreMadeOnDemand) {
    vt_.call("file_delete", {{"path", data_path}});
    vt_.call("file_delete", {{"path", secret_path}});
    cardfs_data_record d = data_object("d", true);
    const bytes value = pattern(10, 3);
    ASSERT_EQ(cardfs_add_data_object(h_, &cache_, &d, value.data(), 10), 0);
    EXPECT_EQ(store_layout::data_table(file(data_path)).used, std::vector<int>{0});
    int count = -1;
    ASSERT_EQ(cardfs_load_secret_objects(h_, &cache_, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(store_layout::secret_table(file(secret_path)).tag, "secr");
}

TEST_F(card_tables_test, SixtyFourDataObjectsFitWithTheirValueFiles) {
    for (int i = 0; i < 64; ++i) {
        cardfs_data_record d = data_object("obj", i == 7);
        const bytes value = pattern(i == 0 ? 0 : 8, static_cast<unsigned>(i));
        ASSERT_EQ(cardfs_add_data_object(h_, &cache_, &d, value.data(), static_cast<std::uint32_t>(value.size())), 0)
            << i;
        ASSERT_EQ(d.slot, i);
    }
    cardfs_data_record extra = data_object("extra", false);
    EXPECT_EQ(cardfs_add_data_object(h_, &cache_, &extra, nullptr, 0), 1);

    const auto files = store_layout::files_of(vt_);
    const auto& pri07 = files.at("3f00/2000/4000/1c0d");
    EXPECT_EQ(pri07.name, "pri07");
    EXPECT_EQ(pri07.access, (std::vector<int>{17, 17, 0}));
    const auto& pub12 = files.at("3f00/2000/4000/2cff");
    EXPECT_EQ(pub12.name, "pub12");
    EXPECT_EQ(pub12.access, (std::vector<int>{255, 255, 0}));
    EXPECT_EQ(vt_.call("file_read", {{"path", "3f00/2000/4000/pub00"}})["size"].get<int>(), 0);

    const auto t = store_layout::data_table(file(data_path));
    EXPECT_EQ(t.used.size(), 64u);
    EXPECT_EQ(store_layout::data_file_name(t.records[7]), "pri07");

    cardfs_table_cache fresh{};
    cardfs_reset_cache(&fresh);
    int count = 0;
    ASSERT_EQ(cardfs_load_data_objects(h_, &fresh, &count), 0);
    EXPECT_EQ(count, 64);
    bytes back(8);
    std::uint32_t got = 0;
    ASSERT_EQ(cardfs_read_data_object(h_, &fresh, 12, back.data(), 8, &got), 0);
    EXPECT_EQ(back, pattern(8, 12));

    // A value of another length needs a fresh slot: a full table keeps the old.
    std::int32_t slot = 12;
    const bytes longer = pattern(9, 1);
    EXPECT_EQ(cardfs_write_data_object(h_, &fresh, &slot, longer.data(), 9), 1);
    EXPECT_EQ(slot, 12);
    EXPECT_EQ(file("3f00/2000/4000/pub12"), pattern(8, 12));
    // One of the same length is written in place.
    const bytes same = pattern(8, 99);
    ASSERT_EQ(cardfs_write_data_object(h_, &fresh, &slot, same.data(), 8), 0);
    EXPECT_EQ(file("3f00/2000/4000/pub12"), same);
}

TEST_F(card_tables_test, ValueRewrittenToOtherLengthsReadsBackExactly) {
    cardfs_data_record d = data_object("value", true);
    bytes value = pattern(100, 1);
    ASSERT_EQ(cardfs_add_data_object(h_, &cache_, &d, value.data(), 100), 0);
    std::int32_t slot = d.slot;
    for (std::size_t length : {300u, 50u, 50u, 2500u, 2500u}) {
        SCOPED_TRACE(length);
        value = pattern(length, static_cast<unsigned>(length + slot));
        ASSERT_EQ(cardfs_write_data_object(h_, &cache_, &slot, value.data(), static_cast<std::uint32_t>(length)), 0);
        cardfs_table_cache fresh{};
        cardfs_reset_cache(&fresh);
        int count = 0;
        ASSERT_EQ(cardfs_load_data_objects(h_, &fresh, &count), 0);
        ASSERT_EQ(count, 1);
        bytes back(length);
        std::uint32_t got = 0;
        ASSERT_EQ(cardfs_read_data_object(h_, &fresh, slot, back.data(), static_cast<std::uint32_t>(length), &got), 0);
        EXPECT_EQ(back, value);
        const auto t = store_layout::data_table(file(data_path));
        ASSERT_EQ(t.used, std::vector<int>{slot});
        EXPECT_EQ(store_layout::data_value_length(t.records[static_cast<std::size_t>(slot)]), length);
        // One value file only: the old one went with its slot.
        int value_files = 0;
        for (const auto& f : store_layout::files_of(vt_))
            if (f.second.name.rfind("pri", 0) == 0 || f.second.name.rfind("pub", 0) == 0) ++value_files;
        EXPECT_EQ(value_files, 1);
    }
}

TEST_F(card_tables_test, RecordChangedBehindTheModuleIsNotOverwritten) {
    cardfs_secret_record r = secret("mine");
    ASSERT_EQ(cardfs_add_secret_object(h_, &cache_, &r), 0);
    vt_.call("file_corrupt", {{"path", secret_path}, {"offset", 16 + 4}, {"xor", "01"}});
    const bytes before = file(secret_path);
    vt_.clear_log();
    r.label[0] = 'M';
    EXPECT_EQ(cardfs_update_secret_object(h_, &cache_, r), cardfs_record_mismatch);
    EXPECT_EQ(cardfs_delete_secret_object(h_, &cache_, r.slot), cardfs_record_mismatch);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(file(secret_path), before);
}

TEST_F(card_tables_test, EveryTableOperationSelectsTheStoreDirectoryFirst) {
    // Another directory current, as another process may leave it.
    ASSERT_EQ(cardfs_select_root(h_), 0);
    cardfs_secret_record key = secret("k");
    cardfs_data_record object = data_object("d", false);
    const bytes value = pattern(30, 4);
    std::int32_t slot = 0;
    int count = 0;
    const struct {
        const char* what;
        std::function<std::int32_t()> run;
    } operations[] = {
        {"add key", [&] { return cardfs_add_secret_object(h_, &cache_, &key); }},
        {"update key", [&] { return cardfs_update_secret_object(h_, &cache_, key); }},
        {"load keys", [&] { return cardfs_load_secret_objects(h_, &cache_, &count); }},
        {"add object", [&] { return cardfs_add_data_object(h_, &cache_, &object, value.data(), 30); }},
        {"rewrite object",
         [&] {
             slot = object.slot;
             return cardfs_write_data_object(h_, &cache_, &slot, value.data(), 20);
         }},
        {"load objects", [&] { return cardfs_load_data_objects(h_, &cache_, &count); }},
        {"delete object", [&] { return cardfs_delete_data_object(h_, &cache_, slot); }},
        {"delete key", [&] { return cardfs_delete_secret_object(h_, &cache_, key.slot); }},
    };
    for (const auto& op : operations) {
        ASSERT_EQ(cardfs_select_root(h_), 0);
        vt_.clear_log();
        ASSERT_EQ(op.run(), 0) << op.what;
        const auto log = vt_.commands();
        ASSERT_FALSE(log.empty()) << op.what;
        EXPECT_EQ(log.front().rfind("00a40800063f0020004000", 0), 0u) << op.what;
    }
    // Nothing landed in the root.
    for (const auto& f : store_layout::files_of(vt_)) {
        if (f.first.rfind("3f00/2000/", 0) == 0 && f.first.size() == 14) {
            EXPECT_TRUE(f.second.name == "cardid" || f.second.name == "cardcf" || f.second.name == "cardapps" ||
                        f.second.name == "mscp")
                << f.first << " " << f.second.name;
        }
    }
}
