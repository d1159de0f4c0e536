// The PIN, DF and EF records: their layouts and the limits their builders
// enforce (the format record is checked on the wire in devmgr_test).
#include "protocol/records.h"

#include <gtest/gtest.h>

#include <string>

#include "support/fake_device.h"

using namespace zervik;
using test_support::bytes;
using test_support::concat;
using test_support::counting;
using test_support::hex;

namespace {

bytes padded(const std::string& text, std::size_t size) {
    bytes out(text.begin(), text.end());
    out.resize(size, 0);
    return out;
}

}  // namespace

TEST(Records, PinRecordLayout) {
    const bytes pin = hex("31 32 33 34 35 36");
    const std::uint8_t first[] = {0xA1, 0xFF};
    const std::uint8_t second[] = {0xB2, 0xFF};
    const pin_record_parameters p{0x02, 0x40001001, 10, pin.data(), pin.size(), first, second, 0xC3, 0xD4};
    command_data out(small_work_area);
    ASSERT_EQ(build_pin_record(p, out), 0);
    ASSERT_EQ(out.size(), pin_record_size);
    EXPECT_EQ(bytes(out.data(), out.data() + out.size()),
              concat({hex("02 40 00 10 01 82 0A 0A"), padded("123456", 32), hex("A1 B2 C3 D4")}));
}

TEST(Records, PinRecordLimits) {
    const bytes longest = counting(32);
    const bytes too_long = counting(33);
    const std::uint8_t one = 1;
    struct row {
        const char* what;
        const std::uint8_t* pin;
        std::size_t length;
        const std::uint8_t* first;
        const std::uint8_t* second;
        std::int32_t expected;
    };
    const row rows[] = {
        {"32-byte PIN", longest.data(), 32, &one, &one, 0},
        {"empty PIN", nullptr, 0, &one, &one, 0},
        {"33-byte PIN", too_long.data(), 33, &one, &one, 2},
        {"null PIN with a length", nullptr, 4, &one, &one, 2},
        {"null first byte", longest.data(), 4, nullptr, &one, 2},
        {"null second byte", longest.data(), 4, &one, nullptr, 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const pin_record_parameters p{1, 2, 3, r.pin, r.length, r.first, r.second, 4, 5};
        command_data out(small_work_area);
        EXPECT_EQ(build_pin_record(p, out), r.expected);
        EXPECT_EQ(out.ok(), r.expected == 0) << "a refused record spoils the command data";
        if (r.expected == 0) {
            ASSERT_EQ(out.size(), pin_record_size);
            EXPECT_EQ(bytes(out.data() + 8, out.data() + 8 + r.length), bytes(r.pin, r.pin + r.length));
            EXPECT_EQ(bytes(out.data() + 8 + r.length, out.data() + 40), bytes(32 - r.length, 0));
        }
    }
}

TEST(Records, FileRecordLayouts) {
    command_data df(large_work_area);
    ASSERT_EQ(build_df_record({{0x11, 0x22}, "ABC", 0x3F01}, df), 0);
    ASSERT_EQ(df.size(), df_record_size);
    EXPECT_EQ(bytes(df.data(), df.data() + df.size()), concat({hex("00 11 22"), padded("ABC", 16), hex("3F 01")}));

    command_data ef(large_work_area);
    ASSERT_EQ(build_ef_record({0x10, {0x01, 0x02, 0x03}, 0x44, "keys", 0x2F02, 0x55, 0x0100}, ef), 0);
    ASSERT_EQ(ef.size(), ef_record_size);
    EXPECT_EQ(bytes(ef.data(), ef.data() + ef.size()),
              concat({hex("01 10 01 02 03 44"), padded("keys", 16), hex("2F 02 55 01 00")}));
}

TEST(Records, FileNamesAreAtMostSixteenCharacters) {
    const std::string sixteen(16, 'n');
    const std::string seventeen(17, 'n');
    struct row {
        const char* name;
        std::int32_t expected;
    };
    for (const row& r : {row{sixteen.c_str(), 0}, row{"", 0}, row{seventeen.c_str(), 2}, row{nullptr, 2}}) {
        SCOPED_TRACE(r.name != nullptr ? r.name : "(null)");
        command_data df(large_work_area);
        EXPECT_EQ(build_df_record({{0, 0}, r.name, 1}, df), r.expected);
        EXPECT_EQ(df.ok(), r.expected == 0);
        command_data ef(large_work_area);
        EXPECT_EQ(build_ef_record({0, {0, 0, 0}, 0, r.name, 1, 0, 0}, ef), r.expected);
        EXPECT_EQ(ef.ok(), r.expected == 0);
    }
}
