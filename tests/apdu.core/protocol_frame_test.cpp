// The protocol object's shared machinery: the builder steps, the reply
// check, every reply kind, and the one-command frame of the managers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "api/taviapi_base.h"
#include "apdu/apdu_command.h"
#include "protocol/command_form.h"
#include "protocol/status.h"
#include "protocol/tavi_protocol_base.h"
#include "support/fake_device.h"

using namespace zervik;
using test_support::bytes;
using test_support::concat;
using test_support::counting;
using test_support::fake_device;
using test_support::hex;

namespace {

constexpr command_form update_form{"UpdateBinary", apdu_case3_auto, 0x80, class_rule::follows_flag,
                                   0x45, 0x00, 0x00, 0};
constexpr command_form read_form{"ReadBinary", apdu_case4_auto, 0x80, class_rule::follows_flag,
                                 0x44, 0x00, 0x00, 0x20};
constexpr command_form always_wrapped_form{"InstalPin", apdu_case3_auto, 0x84, class_rule::fixed,
                                           0x31, 0x00, 0x00, 0};
constexpr command_form challenge_form{"GetChallenge", apdu_case2_auto, 0x00, class_rule::fixed,
                                      0x84, 0x00, 0x00, 8};

void load(TaviProtocol_Base& p, const bytes& reply) {
    if (!reply.empty()) std::memcpy(p.reply, reply.data(), reply.size());
    p.reply_length = static_cast<std::uint32_t>(reply.size());
}

bytes sent_command(const TaviProtocol_Base& p) { return bytes(p.command, p.command + p.command_length); }

// Runs one command through the frame of the managers.
class frame_probe : public taviapi_base {
public:
    using taviapi_base::taviapi_base;
    std::int32_t status_command(const command_form& form, const bytes& data) {
        TaviProtocol_Base p(*device_, sm_flag_);
        return run(
            p, [&] { return p.build(form, data.data(), data.size()); }, [&] { return p.reply_status(); });
    }
};

}  // namespace

TEST(ProtocolBuild, PlainCommandGoesOutAsSerialised) {
    TaviProtocol_Base p;
    ASSERT_EQ(p.build(read_form, hex("01 02").data(), 2), status_ok);
    EXPECT_EQ(sent_command(p), hex("80 44 00 00 02 01 02 20"));
    EXPECT_EQ(p.sm_used, 0);
}

TEST(ProtocolBuild, ClassByteFollowsTheFlagOnlyWhereTheFormSaysSo) {
    fake_device device;
    TaviProtocol_Base keyed(device, 1);
    // A fixed plain class stays plain while the flag is set.
    ASSERT_EQ(keyed.build(challenge_form, nullptr, 0), status_ok);
    EXPECT_EQ(sent_command(keyed), hex("00 84 00 00 08"));
    EXPECT_EQ(keyed.sm_used, 0);

    // A form that follows the flag goes wrapped: 4 bytes padded to one
    // block, then the MAC.
    const bytes data = counting(4);
    ASSERT_EQ(keyed.build(update_form, data.data(), data.size()), status_ok);
    EXPECT_EQ(keyed.sm_used, 1);
    EXPECT_EQ(keyed.command_length, 5u + 32);
    EXPECT_EQ(bytes(keyed.command, keyed.command + 5), hex("84 45 00 00 20"));

    TaviProtocol_Base plain;
    ASSERT_EQ(plain.build(always_wrapped_form, data.data(), data.size()), status_ok)
        << "a form fixed to 0x84 is wrapped even with the flag clear";
    EXPECT_EQ(plain.sm_used, 1);
    EXPECT_EQ(bytes(plain.command, plain.command + 5), hex("84 31 00 00 20"));
}

TEST(ProtocolBuild, KeyedObjectTakesTheDeviceKeys) {
    fake_device device;
    const bytes enc = counting(32, 0x10);
    const bytes mac = counting(32, 0x80);
    device.set_session_keys(enc.data(), mac.data());
    TaviProtocol_Base keyed(device, 0);
    EXPECT_EQ(bytes(keyed.encryption_key, keyed.encryption_key + 32), enc);
    EXPECT_EQ(bytes(keyed.mac_key, keyed.mac_key + 32), mac);
    EXPECT_EQ(keyed.sm_enabled, 0);

    TaviProtocol_Base plain;
    EXPECT_EQ(bytes(plain.mac_key, plain.mac_key + 32), bytes(32, 0));
    EXPECT_EQ(plain.command_length, TaviProtocol_Base::buffer_size);
    EXPECT_EQ(plain.reply_length, TaviProtocol_Base::buffer_size);
}

TEST(ProtocolBuild, BadInputOrOversizeCommandGivesTwo) {
    TaviProtocol_Base p;
    EXPECT_EQ(p.build(update_form, nullptr, 5), status_unusable);

    // 7 header and length bytes + data: 2048 bytes is the most the transport sends.
    const bytes at_limit = counting(2041);
    ASSERT_EQ(p.build(update_form, at_limit.data(), at_limit.size()), status_ok);
    EXPECT_EQ(p.command_length, 2048u);

    const bytes over = counting(2042);
    EXPECT_EQ(p.build(update_form, over.data(), over.size()), status_unusable);
    EXPECT_EQ(p.command_length, 0u);
    const bytes far_over = counting(5000);
    EXPECT_EQ(p.build(update_form, far_over.data(), far_over.size()), status_unusable);

    constexpr command_form bad_case{"Bad", 0x05, 0x80, class_rule::fixed, 0x01, 0, 0, 0};
    EXPECT_EQ(p.build(bad_case, nullptr, 0), status_unusable);
}

// What every reply kind does before its own rule: any status but 9000 comes
// back unchanged with nothing written; no status word is never success.
TEST(ReplyKinds, StatusWordsAndUnusableRepliesWriteNothing) {
    struct outputs {
        std::uint8_t buffer[200];
        std::int32_t length;
        std::uint32_t u32;
        std::uint16_t u16;
        std::uint64_t u64;
        pin_information pin;
        exported_key_header key;
    };
    const auto fill = [](outputs& o) {
        std::memset(&o, 0xEE, sizeof o);
        o.length = 200;
    };
    using kind = std::function<std::int32_t(TaviProtocol_Base&, outputs&)>;
    const std::pair<const char*, kind> kinds[] = {
        {"status", [](TaviProtocol_Base& p, outputs&) { return p.reply_status(); }},
        {"data", [](TaviProtocol_Base& p, outputs& o) { return p.reply_data(o.buffer, &o.length); }},
        {"data code 1", [](TaviProtocol_Base& p, outputs& o) { return p.reply_data_code1(o.buffer, &o.length); }},
        {"u32", [](TaviProtocol_Base& p, outputs& o) { return p.reply_u32(&o.u32); }},
        {"u16", [](TaviProtocol_Base& p, outputs& o) { return p.reply_u16(&o.u16); }},
        {"eight bytes", [](TaviProtocol_Base& p, outputs& o) { return p.reply_eight_bytes(&o.u64); }},
        {"card key", [](TaviProtocol_Base& p, outputs& o) { return p.reply_card_key(o.buffer); }},
        {"session key agreement",
         [](TaviProtocol_Base& p, outputs& o) { return p.reply_session_key_agreement(&o.u32, o.buffer); }},
        {"PIN information", [](TaviProtocol_Base& p, outputs& o) { return p.reply_pin_information(&o.pin); }},
        {"file information", [](TaviProtocol_Base& p, outputs& o) { return p.reply_file_information(o.buffer); }},
        {"exported key",
         [](TaviProtocol_Base& p, outputs& o) { return p.reply_exported_key(&o.key, o.buffer, &o.length); }},
        {"exported key reversed",
         [](TaviProtocol_Base& p, outputs& o) {
             return p.reply_exported_key_reversed(&o.key, o.buffer, &o.length);
         }},
        {"counted data",
         [](TaviProtocol_Base& p, outputs& o) { return p.reply_counted_data(&o.u32, o.buffer, &o.length); }},
        {"counted data code 1",
         [](TaviProtocol_Base& p, outputs& o) { return p.reply_counted_data_code1(&o.u32, o.buffer, &o.length); }},
    };
    const std::pair<const char*, std::int32_t> replies[] = {
        {"6A 82", 0x6A82}, {"01 02 03 69 82", 0x6982}, {"63 C2", 0x63C2}, {"00 00", status_unusable},
        {"01 02 00 03", status_unusable}, {"90", status_sm_reply}, {"", status_sm_reply},
    };
    for (const auto& [name, run] : kinds) {
        for (const auto& [reply, expected] : replies) {
            SCOPED_TRACE(std::string(name) + " <- " + reply);
            TaviProtocol_Base p;
            load(p, hex(reply));
            outputs o, untouched;
            fill(o);
            fill(untouched);
            EXPECT_EQ(run(p, o), expected);
            EXPECT_EQ(std::memcmp(&o, &untouched, sizeof o), 0) << "outputs were written";
            EXPECT_EQ(p.last_status, expected);
        }
    }
}

TEST(ReplyKinds, DataCapacityEdges) {
    struct row {
        std::size_t reply_bytes;
        std::int32_t capacity;
        std::int32_t expected;
        std::int32_t expected_code1;
    };
    const row rows[] = {
        {20, 20, 0, 0}, {20, 21, 0, 0}, {20, 19, 3, 1}, {20, 16, 3, 1},
        {0, 0, 0, 0},   {1, 0, 3, 1},   {20, -1, 3, 1},
    };
    for (const row& r : rows) {
        for (bool code1 : {false, true}) {
            SCOPED_TRACE(std::to_string(r.reply_bytes) + " bytes into " + std::to_string(r.capacity) +
                         (code1 ? " (code 1)" : ""));
            TaviProtocol_Base p;
            const bytes data = counting(r.reply_bytes);
            load(p, concat({data, hex("90 00")}));
            bytes buffer(32, 0xEE);
            std::int32_t length = r.capacity;
            const std::int32_t rc = code1 ? p.reply_data_code1(buffer.data(), &length)
                                          : p.reply_data(buffer.data(), &length);
            EXPECT_EQ(rc, code1 ? r.expected_code1 : r.expected);
            if (rc == status_ok) {
                EXPECT_EQ(length, static_cast<std::int32_t>(r.reply_bytes));
                EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + length), data);
            } else {
                EXPECT_EQ(length, r.capacity);
                EXPECT_EQ(buffer, bytes(32, 0xEE));
            }
        }
    }
}

TEST(ReplyKinds, FixedSizeValues) {
    TaviProtocol_Base p;
    std::uint32_t u32 = 7;
    load(p, hex("00 00 10 00 90 00"));
    EXPECT_EQ(p.reply_u32(&u32), status_ok);
    EXPECT_EQ(u32, 4096u);
    load(p, hex("12 34 56 78 9A 90 00"));
    EXPECT_EQ(p.reply_u32(&u32), status_ok);
    EXPECT_EQ(u32, 0x12345678u);
    load(p, hex("10 00 90 00"));
    EXPECT_EQ(p.reply_u32(&u32), status_reply_mismatch);
    EXPECT_EQ(u32, 0x12345678u);

    std::uint16_t u16 = 7;
    load(p, hex("01 02 90 00"));
    EXPECT_EQ(p.reply_u16(&u16), status_ok);
    EXPECT_EQ(u16, 0x0102);
    load(p, hex("01 90 00"));
    EXPECT_EQ(p.reply_u16(&u16), status_reply_mismatch);
    EXPECT_EQ(u16, 0x0102);

    // Eight bytes are copied as they come, whatever the host's byte order.
    const bytes eight = hex("01 02 03 04 05 06 07 08");
    std::uint64_t u64 = 0;
    load(p, concat({eight, hex("90 00")}));
    EXPECT_EQ(p.reply_eight_bytes(&u64), status_ok);
    EXPECT_EQ(std::memcmp(&u64, eight.data(), 8), 0);
    for (std::size_t n : {7u, 9u, 0u}) {
        std::uint64_t other = 5;
        load(p, concat({counting(n), hex("90 00")}));
        EXPECT_EQ(p.reply_eight_bytes(&other), status_reply_mismatch) << n << " bytes";
        EXPECT_EQ(other, 5u);
    }

    pin_information pin{};
    load(p, hex("40 00 10 01 0A 05 06 07 08 09 01 90 00"));
    EXPECT_EQ(p.reply_pin_information(&pin), status_ok);
    EXPECT_EQ(pin.algorithm, 0x40001001u);
    EXPECT_EQ(bytes(pin.bytes, pin.bytes + 7), hex("0A 05 06 07 08 09 01"));
    load(p, hex("40 00 10 01 0A 05 06 07 08 09 90 00"));
    EXPECT_EQ(p.reply_pin_information(&pin), status_reply_mismatch);
}

TEST(ReplyKinds, CardKeyAndSessionKeyAgreementNeed148Bytes) {
    for (std::size_t n : {148u, 150u, 147u, 4u}) {
        SCOPED_TRACE(n);
        const bytes data = counting(n);
        const bool ok = n >= 148;
        TaviProtocol_Base p;
        bytes key(144, 0xEE);
        load(p, concat({data, hex("90 00")}));
        EXPECT_EQ(p.reply_card_key(key.data()), ok ? status_ok : status_reply_mismatch);
        EXPECT_EQ(key, ok ? bytes(data.begin() + 4, data.begin() + 148) : bytes(144, 0xEE));

        std::uint32_t value = 0;
        bytes agreed(144, 0xEE);
        load(p, concat({data, hex("90 00")}));
        EXPECT_EQ(p.reply_session_key_agreement(&value, agreed.data()), ok ? status_ok : status_reply_mismatch);
        EXPECT_EQ(value, ok ? 0x01020304u : 0u);
        EXPECT_EQ(agreed, key);
    }
}

namespace {

// A select reply: the kind byte, then r with the EF type at r[22].
bytes file_reply(std::uint8_t kind, std::size_t r_length, std::uint8_t type) {
    bytes r = counting(r_length, 0x20);
    if (r_length > 22) r[22] = type;
    return concat({bytes{kind}, r, hex("90 00")});
}

std::uint16_t host_u16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

TEST(ReplyKinds, FileInformationLengthsByKind) {
    struct row {
        const char* what;
        std::uint8_t kind;
        std::uint8_t type;
        std::size_t r_length;
        std::int32_t expected;
    };
    const row rows[] = {
        {"DF, 20 bytes", 0, 0, 20, 0},          {"DF, 19 bytes", 0, 0, 19, 4},
        {"EF 00, 26 bytes", 1, 0x00, 26, 0},    {"EF 00, 25 bytes", 1, 0x00, 25, 4},
        {"EF 10, 27 bytes", 1, 0x10, 27, 0},    {"EF 10, 26 bytes", 1, 0x10, 26, 4},
        {"EF 20, 35 bytes", 1, 0x20, 35, 0},    {"EF 20, 34 bytes", 1, 0x20, 34, 4},
        {"EF 30, 35 bytes", 2, 0x30, 35, 0},    {"EF 40, 40 bytes", 1, 0x40, 40, 4},
        {"EF without its type byte", 1, 0, 22, 4}, {"kind byte only", 1, 0, 0, 4},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        TaviProtocol_Base p;
        load(p, file_reply(r.kind, r.r_length, r.type));
        bytes record(37, 0xEE);
        EXPECT_EQ(p.reply_file_information(record.data()), r.expected);
        if (r.expected != 0) {
            EXPECT_EQ(record, bytes(37, 0xEE)) << "record written on failure";
        }
    }
    TaviProtocol_Base p;
    load(p, hex("90 00"));
    bytes record(37, 0xEE);
    EXPECT_EQ(p.reply_file_information(record.data()), status_bad_file_information) << "no data at all";
    EXPECT_EQ(record, bytes(37, 0xEE));
}

TEST(ReplyKinds, FileInformationRecordLayout) {
    TaviProtocol_Base p;
    // DF: name, id 3F00, two more bytes; the rest of the record stays zero.
    bytes df = concat({hex("00"), counting(16, 0x41), hex("3F 00 AA BB"), hex("90 00")});
    load(p, df);
    bytes record(37, 0xEE);
    ASSERT_EQ(p.reply_file_information(record.data()), status_ok);
    EXPECT_EQ(record[0], 0);
    EXPECT_EQ(record[1], 0);
    EXPECT_EQ(bytes(record.begin() + 2, record.begin() + 18), counting(16, 0x41));
    EXPECT_EQ(host_u16(&record[18]), 0x3F00);
    EXPECT_EQ(record[20], 0xAA);
    EXPECT_EQ(record[21], 0xBB);
    EXPECT_EQ(bytes(record.begin() + 22, record.end()), bytes(15, 0));

    // EF type 0x20: u16 id at 18, u16 at 22, u32 at 25, u16 at 29 in host order.
    bytes r = counting(35, 0x60);
    r[16] = 0x2F; r[17] = 0x01;                             // id
    r[20] = 0x01; r[21] = 0x00;                             // u16 at record 22
    r[22] = 0x20;                                           // type
    r[23] = 0x11; r[24] = 0x22; r[25] = 0x33; r[26] = 0x44; // u32 at record 25
    r[27] = 0x00; r[28] = 0x80;                             // u16 at record 29
    load(p, concat({hex("01"), r, hex("90 00")}));
    ASSERT_EQ(p.reply_file_information(record.data()), status_ok);
    EXPECT_EQ(record[0], 1);
    EXPECT_EQ(record[1], 0x20);
    EXPECT_EQ(host_u16(&record[18]), 0x2F01);
    EXPECT_EQ(host_u16(&record[22]), 0x0100);
    std::uint32_t u32;
    std::memcpy(&u32, &record[25], 4);
    EXPECT_EQ(u32, 0x11223344u);
    EXPECT_EQ(host_u16(&record[29]), 0x0080);
    EXPECT_EQ(record[24], 0x20);
    EXPECT_EQ(record[36], r[34]);
}

TEST(ReplyKinds, ExportedKey) {
    struct row {
        std::size_t key_bytes;  // after the 6-byte header
        std::int32_t capacity;
        std::int32_t expected;
        std::int32_t expected_reversed;
    };
    const row rows[] = {
        {10, 10, 0, 0}, {10, 9, 3, 3}, {4, 4, 0, 0}, {3, 3, 0, 3}, {0, 0, 0, 3}, {10, 100, 0, 0},
    };
    for (const row& r : rows) {
        for (bool reversed : {false, true}) {
            SCOPED_TRACE(std::to_string(r.key_bytes) + " key bytes into " + std::to_string(r.capacity) +
                         (reversed ? ", reversed" : ""));
            const bytes key = counting(r.key_bytes, 0xA0);
            TaviProtocol_Base p;
            load(p, concat({hex("40 00 10 01 05 06"), key, hex("90 00")}));
            exported_key_header header{7, 7, 7};
            bytes buffer(16, 0xEE);
            std::int32_t length = r.capacity;
            const std::int32_t rc = reversed ? p.reply_exported_key_reversed(&header, buffer.data(), &length)
                                             : p.reply_exported_key(&header, buffer.data(), &length);
            ASSERT_EQ(rc, reversed ? r.expected_reversed : r.expected);
            if (rc != status_ok) {
                EXPECT_EQ(length, r.capacity);
                EXPECT_EQ(buffer, bytes(16, 0xEE));
                EXPECT_EQ(header.value, 7u);
                continue;
            }
            EXPECT_EQ(header.value, 0x40001001u);
            EXPECT_EQ(header.byte4, 5);
            EXPECT_EQ(header.byte5, 6);
            ASSERT_EQ(length, static_cast<std::int32_t>(r.key_bytes));
            bytes expected = key;
            if (reversed) std::reverse(expected.begin(), expected.begin() + 4);
            EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + length), expected);
        }
    }
    TaviProtocol_Base p;
    load(p, hex("40 00 10 01 05 90 00"));
    exported_key_header header{};
    std::uint8_t buffer[8];
    std::int32_t length = 8;
    EXPECT_EQ(p.reply_exported_key(&header, buffer, &length), status_reply_mismatch) << "5-byte reply";
}

TEST(ReplyKinds, CountedData) {
    struct row {
        std::size_t reply_bytes;
        std::int32_t capacity;
        std::int32_t expected;
        std::int32_t expected_code1;
    };
    const row rows[] = {{20, 16, 0, 0}, {20, 15, 3, 1}, {4, 0, 0, 0}, {3, 100, 3, 1}, {0, 100, 3, 1}};
    for (const row& r : rows) {
        for (bool code1 : {false, true}) {
            SCOPED_TRACE(std::to_string(r.reply_bytes) + " bytes into " + std::to_string(r.capacity) +
                         (code1 ? " (code 1)" : ""));
            const bytes data = counting(r.reply_bytes);
            TaviProtocol_Base p;
            load(p, concat({data, hex("90 00")}));
            std::uint32_t value = 7;
            bytes buffer(16, 0xEE);
            std::int32_t length = r.capacity;
            const std::int32_t rc = code1 ? p.reply_counted_data_code1(&value, buffer.data(), &length)
                                          : p.reply_counted_data(&value, buffer.data(), &length);
            EXPECT_EQ(rc, code1 ? r.expected_code1 : r.expected);
            if (rc == status_ok) {
                EXPECT_EQ(value, 0x01020304u);
                EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + length), bytes(data.begin() + 4, data.end()));
            } else {
                EXPECT_EQ(value, 7u);
                EXPECT_EQ(length, r.capacity);
                EXPECT_EQ(buffer, bytes(16, 0xEE));
            }
        }
    }
    // Without a header output the header is dropped.
    TaviProtocol_Base p;
    load(p, hex("00 00 00 01 AA BB 90 00"));
    std::uint8_t buffer[2];
    std::int32_t length = 2;
    EXPECT_EQ(p.reply_counted_data(nullptr, buffer, &length), status_ok);
    EXPECT_EQ(length, 2);
}

// The status integers a one-command export can give, by what happened.
TEST(CommandFrame, StatusTable) {
    struct row {
        const char* what;
        std::int32_t transmit_result;
        const char* reply;
        std::int32_t expected;
    };
    const row rows[] = {
        {"9000", 0, "90 00", status_ok},
        {"card status passed through", 0, "6A 82", 0x6A82},
        {"security status", 0, "69 82", 0x6982},
        {"unknown instruction", 0, "6D 00", 0x6D00},
        {"SW1 00 is no status word", 0, "00 00", status_unusable},
        {"SW1 00 after data", 0, "01 02 00 04", status_unusable},
        {"one byte", 0, "90", status_sm_reply},
        {"nothing", 0, "", status_sm_reply},
        {"sending failed", 1, "90 00", status_failed},
        {"no usable reply", 2, "90 00", status_unusable},
        {"reply larger than the reply buffer", 0, nullptr, status_unusable},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake_device device;
        device.transmit_result = r.transmit_result;
        device.answer(r.reply != nullptr ? hex(r.reply) : bytes(TaviProtocol_Base::buffer_size + 1, 0x90));
        frame_probe probe(&device);
        EXPECT_EQ(probe.status_command(update_form, counting(3)), r.expected);
        ASSERT_EQ(device.sent.size(), 1u);
        EXPECT_EQ(device.sent[0], hex("80 45 00 00 03 01 02 03"));
    }
}

TEST(CommandFrame, BuilderFailureSendsNothing) {
    fake_device device;
    frame_probe probe(&device);
    EXPECT_EQ(probe.status_command(update_form, counting(2042)), status_unusable);
    // An Le no length field can carry: the command cannot be wrapped.
    constexpr command_form unwrappable{"InstalPin", apdu_case4_auto, 0x84, class_rule::fixed, 0x31, 0, 0, 0x10001};
    EXPECT_EQ(probe.status_command(unwrappable, counting(44)), status_failed);
    // Wrapping makes a command of 2041 bytes of data too long to send.
    EXPECT_EQ(probe.status_command(always_wrapped_form, counting(2041)), status_unusable);
    EXPECT_TRUE(device.sent.empty());
}

TEST(CommandFrame, ManagerTakesTheFlagWhenItIsMade) {
    fake_device device;
    use_secure_channel = 0;
    frame_probe plain(&device);
    use_secure_channel = 1;
    frame_probe wrapped(&device);
    use_secure_channel = 0;
    device.answer(hex("90 00"));
    device.answer(hex("90 00"));
    EXPECT_EQ(plain.status_command(update_form, counting(3)), status_ok);
    EXPECT_EQ(wrapped.status_command(update_form, counting(3)), status_ok);
    ASSERT_EQ(device.sent.size(), 2u);
    EXPECT_EQ(device.sent[0][0], 0x80);
    EXPECT_EQ(device.sent[1][0], 0x84) << "wrapped";
}

TEST(ReplyCheck, WrappedCommandReplies) {
    TaviProtocol_Base p;
    p.sm_used = 1;
    // Protected data that does not unwrap never reaches a parser.
    load(p, hex("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 90 00"));
    std::uint8_t buffer[32];
    std::int32_t length = sizeof buffer;
    EXPECT_EQ(p.reply_data(buffer, &length), status_sm_reply);
    EXPECT_EQ(p.last_status, status_sm_reply);
    EXPECT_EQ(length, static_cast<std::int32_t>(sizeof buffer));

    // A bare status word carries no MAC and is taken as it stands.
    load(p, hex("6A 82"));
    EXPECT_EQ(p.reply_status(), 0x6A82);
    load(p, hex("90 00"));
    EXPECT_EQ(p.reply_status(), status_ok);
}
