#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "apdu/apdu_command.h"
#include "support/fake_device.h"

using namespace zervik;
using test_support::bytes;
using test_support::concat;
using test_support::counting;
using test_support::hex;

namespace {

const bytes header = hex("80 CA 01 02");

struct wire_row {
    const char* what;
    std::int32_t case_code;
    std::size_t data_length;
    std::int32_t le;
    const char* before_data;  // length fields between the header and the data
    const char* after_data;   // what follows the data
};

// Every wire form, and the automatic cases on both sides of the short limit.
const wire_row wire_rows[] = {
    {"case 1", 0x01, 0, 0, "", ""},
    {"case 2, Le 0x20", 0x02, 0, 0x20, "", "20"},
    {"case 2, Le 256 as 00", 0x02, 0, 256, "", "00"},
    {"case 3", 0x03, 5, 0, "05", ""},
    {"case 4", 0x04, 5, 0x10, "05", "10"},
    {"case 0x12, Le 0x1234", 0x12, 0, 0x1234, "", "00 12 34"},
    {"case 0x12, Le 0x10000 as 00 00", 0x12, 0, 0x10000, "", "00 00 00"},
    {"case 0x13", 0x13, 5, 0, "00 00 05", ""},
    {"case 0x14, Le 0", 0x14, 5, 0, "00 00 05", "00 00"},
    {"auto 0x24, 10 bytes, Le 0", 0x24, 10, 0, "0A", "00"},
    {"auto 0x22, Le 255 short", 0x22, 0, 255, "", "FF"},
    {"auto 0x22, Le 256 extended", 0x22, 0, 256, "", "00 01 00"},
    {"auto 0x23, 300 bytes extended", 0x23, 300, 0, "00 01 2C", ""},
    {"auto 0x24, Lc 255 short", 0x24, 255, 0, "FF", "00"},
    {"auto 0x24, Lc 256 extended", 0x24, 256, 0, "00 01 00", "00 00"},
    {"auto 0x24, Le 256 extended", 0x24, 10, 256, "00 00 0A", "01 00"},
    {"auto 0x23, Lc 0xFFFF", 0x23, 0xFFFF, 0, "00 FF FF", ""},
};

ApduCommand make(std::int32_t case_code, const bytes& data, std::int32_t le) {
    ApduCommand c(case_code, header[0], header[1], header[2], header[3], "Test");
    EXPECT_EQ(c.set_data(data.data(), data.size()), apdu_ok);
    c.le = le;
    return c;
}

std::int32_t serialise(ApduCommand& c, bytes& out) {
    out.assign(70000, 0xEE);
    std::uint32_t n = static_cast<std::uint32_t>(out.size());
    const std::int32_t rc = c.resolve_and_serialize(out.data(), &n);
    if (rc == apdu_ok) out.resize(n);
    return rc;
}

}  // namespace

TEST(ApduCommand, WireForms) {
    for (const wire_row& row : wire_rows) {
        SCOPED_TRACE(row.what);
        const bytes data = counting(row.data_length);
        const bytes expected = concat({header, hex(row.before_data), data, hex(row.after_data)});

        ApduCommand query = make(row.case_code, data, row.le);
        std::uint32_t size = 0;
        ASSERT_EQ(query.resolve_and_serialize(nullptr, &size), apdu_ok) << "size query";
        EXPECT_EQ(size, expected.size());

        ApduCommand exact = make(row.case_code, data, row.le);
        bytes out(expected.size());
        std::uint32_t n = static_cast<std::uint32_t>(out.size());
        ASSERT_EQ(exact.resolve_and_serialize(out.data(), &n), apdu_ok);
        EXPECT_EQ(n, expected.size());
        EXPECT_EQ(out, expected);

        ApduCommand tight = make(row.case_code, data, row.le);
        n = static_cast<std::uint32_t>(expected.size() - 1);
        EXPECT_EQ(tight.resolve_and_serialize(out.data(), &n), apdu_buffer_short);
    }
}

TEST(ApduCommand, InvalidCommandsAreRefused) {
    struct row {
        const char* what;
        std::int32_t case_code;
        std::size_t data_length;
        std::int32_t lc;  // -1: as set by the data
        std::int32_t le;
    };
    const row rows[] = {
        {"case 3 with 5 bytes and Lc 4", 0x03, 5, 4, 0},
        {"case 3 without data", 0x03, 0, -1, 0},
        {"case 3 with Le", 0x03, 5, -1, 1},
        {"case 4 without data", 0x04, 0, -1, 0},
        {"case 1 with Le", 0x01, 0, -1, 1},
        {"case 1 with data", 0x01, 3, -1, 0},
        {"case 2 with data", 0x02, 3, -1, 1},
        {"short Le above 256", 0x02, 0, -1, 257},
        {"short Lc of 256", 0x03, 256, -1, 0},
        {"extended Le above 0x10000", 0x12, 0, -1, 0x10001},
        {"negative Le", 0x02, 0, -1, -1},
        {"unknown short case", 0x05, 0, -1, 0},
        {"case above 15 without the extended bit", 0x21, 0, -1, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        ApduCommand c = make(r.case_code, counting(r.data_length), r.le);
        if (r.lc >= 0) c.lc = r.lc;
        bytes out;
        EXPECT_EQ(serialise(c, out), apdu_invalid);
    }
}

TEST(ApduCommand, SerializeReportsItsOwnCodes) {
    ApduCommand c = make(0x02, {}, 4);
    std::uint32_t n = 16;
    std::uint8_t out[16];
    EXPECT_EQ(c.serialize(nullptr, &n), apdu_invalid);
    EXPECT_EQ(c.serialize(out, nullptr), apdu_invalid);
    EXPECT_EQ(c.resolve_and_serialize(out, nullptr), apdu_invalid);
    EXPECT_EQ(c.encode(out, 4), apdu_invalid) << "capacity below the size";

    ApduCommand unknown = make(0x05, {}, 0);
    EXPECT_EQ(unknown.size(), 0u);
    EXPECT_EQ(unknown.serialize(out, &n), apdu_nothing);
    ApduCommand unresolved = make(0x22, {}, 4);
    EXPECT_EQ(unresolved.serialize(out, &n), apdu_nothing) << "an automatic case has no size of its own";
}

TEST(ApduCommand, SetDataOfLengthZeroMeansNoData) {
    ApduCommand c(0x23, 0x80, 0x63, 0x00, 0x00, "SymCryptInit");
    const bytes iv = counting(16);
    ASSERT_EQ(c.set_data(iv.data(), iv.size()), apdu_ok);
    ASSERT_EQ(c.set_data(iv.data(), 0), apdu_ok);
    EXPECT_TRUE(c.data.empty());
    EXPECT_EQ(c.lc, 0);
    EXPECT_EQ(c.set_data(nullptr, 0), apdu_ok);

    ApduCommand case2(0x22, 0x80, 0x53, 0x00, 0x00, "DigestFinal");
    case2.set_data(nullptr, 0);
    bytes out;
    ASSERT_EQ(serialise(case2, out), apdu_ok);
    EXPECT_EQ(out, hex("80 53 00 00 00"));

    EXPECT_EQ(c.set_data(nullptr, 3), apdu_invalid);
    bytes too_long(0x10000);
    EXPECT_EQ(c.set_data(too_long.data(), too_long.size()), apdu_invalid);
    EXPECT_TRUE(c.data.empty()) << "a refused set_data leaves the object as it was";
}

TEST(ApduCommand, NameKeepsSixtyThreeCharactersAndATerminator) {
    const std::string long_name(64, 'N');
    ApduCommand c(0x01, 0x80, 0x16, 0x00, 0x00, long_name.c_str());
    EXPECT_EQ(std::string(c.name), std::string(63, 'N'));
    EXPECT_EQ(c.name[63], '\0');

    ApduCommand short_name(0x01, 0x80, 0x16, 0x00, 0x00, "HealthCheck");
    EXPECT_STREQ(short_name.name, "HealthCheck");
    ApduCommand no_name(0x01, 0x80, 0x16, 0x00, 0x00, nullptr);
    EXPECT_STREQ(no_name.name, "");
}

TEST(ApduCommand, ReplySplit) {
    struct row {
        const char* reply;
        std::int32_t result;
        std::int32_t sw1, sw2;
        const char* data;
    };
    const row rows[] = {
        {"90 00", apdu_ok, 0x90, 0x00, ""},
        {"01 02 03 6A 82", apdu_ok, 0x6A, 0x82, "01 02 03"},
        {"90", apdu_nothing, -1, -1, ""},
        {"", apdu_nothing, -1, -1, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.reply);
        ApduCommand c(0x01, 0x80, 0x16, 0x00, 0x00, "HealthCheck");
        c.sw1 = c.sw2 = -1;
        c.reply_data = hex("EE EE");  // an earlier reply
        const bytes reply = hex(r.reply);
        EXPECT_EQ(c.parse_reply(reply.data(), static_cast<std::uint32_t>(reply.size())), r.result);
        EXPECT_EQ(c.sw1, r.sw1);
        EXPECT_EQ(c.sw2, r.sw2);
        if (r.result == apdu_ok) {
            EXPECT_EQ(c.reply_data, hex(r.data));
        }
    }
    ApduCommand c(0x01, 0x80, 0x16, 0x00, 0x00, "HealthCheck");
    EXPECT_EQ(c.parse_reply(nullptr, 2), apdu_nothing);
}
