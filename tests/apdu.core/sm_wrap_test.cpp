// Secure messaging of one APDU: protecting command data and checking
// protected replies, against mbed TLS's own CBC and CMAC.
#include <gtest/gtest.h>

#include "apdu/apdu_command.h"
#include "sm/secure_messaging.h"
#include "sm_oracle.h"

using namespace zervik;
using sm_oracle::bytes;
using sm_oracle::to_hex;

namespace {

const bytes enc_key = sm_oracle::pattern(32, 0xE0);
const bytes mac_key = sm_oracle::pattern(32, 0x4D);
const std::uint8_t header[4] = {0x84, 0x02, 0x00, 0x00};

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes wrap(const bytes& data, std::int32_t le) {
    bytes wrapped;
    EXPECT_EQ(sm_wrap_data(header, data.data(), data.size(), le, enc_key.data(), mac_key.data(), wrapped), 0);
    return wrapped;
}

// A reply as the card builds it: data padded with pad_count bytes of
// pad_value, encrypted, then the CMAC over the ciphertext.
bytes card_reply(const bytes& plain, std::size_t pad_count, std::uint8_t pad_value) {
    bytes padded = plain;
    padded.insert(padded.end(), pad_count, pad_value);
    const bytes cipher = sm_oracle::cbc(enc_key, padded, true);
    return concat({cipher, sm_oracle::cmac(mac_key, cipher)});
}

int unwrap(bytes& reply, std::uint32_t* plain_length) {
    return sm_unwrap(reply.data(), static_cast<std::uint32_t>(reply.size()), plain_length, enc_key.data(),
                     mac_key.data());
}

bytes card_reply(const bytes& plain) {
    const std::size_t pad = 16 - plain.size() % 16;
    return card_reply(plain, pad, static_cast<std::uint8_t>(pad));
}

}  // namespace

TEST(SmWrap, CasesBecomeAutomaticCasesWithData) {
    const std::pair<std::int32_t, std::int32_t> cases[] = {
        {0x01, 0x23}, {0x03, 0x23}, {0x13, 0x23}, {0x23, 0x23}, {0x02, 0x24}, {0x04, 0x24},
        {0x12, 0x24}, {0x14, 0x24}, {0x22, 0x24}, {0x24, 0x24}, {0x05, 0x05}, {0x00, 0x00},
    };
    for (const auto& c : cases) EXPECT_EQ(sm_wrapped_case(c.first), c.second) << c.first;
}

TEST(SmWrap, PadsEncryptsAndMacsHeaderLcAndCiphertext) {
    const struct {
        std::size_t data_length;
        std::size_t lc;
        std::size_t pad_count;
    } cases[] = {
        {5, 32, 11},   // eleven bytes 0x0B
        {15, 32, 1},
        {16, 48, 16},  // a whole block of 0x10 on block-aligned data
        {17, 48, 15},
        {200, 224, 8},
    };
    for (const auto& c : cases) {
        const bytes data = sm_oracle::pattern(c.data_length, 0x10);
        const bytes wrapped = wrap(data, 0);
        ASSERT_EQ(wrapped.size(), c.lc) << c.data_length;

        const bytes cipher(wrapped.begin(), wrapped.end() - 16);
        const bytes plain = sm_oracle::cbc(enc_key, cipher, false);
        EXPECT_EQ(bytes(plain.begin(), plain.begin() + c.data_length), data);
        EXPECT_EQ(bytes(plain.begin() + c.data_length, plain.end()),
                  bytes(c.pad_count, static_cast<std::uint8_t>(c.pad_count)));

        const bytes mac_input = concat({bytes(header, header + 4), bytes{static_cast<std::uint8_t>(c.lc)}, cipher});
        EXPECT_EQ(to_hex(wrapped.data() + cipher.size(), 16), to_hex(sm_oracle::cmac(mac_key, mac_input)));
    }
}

TEST(SmWrap, CommandWithoutDataCarriesTheMacOverHeaderAndLcOnly) {
    const bytes wrapped = wrap({}, 8);
    ASSERT_EQ(wrapped.size(), 16u);
    const bytes mac_input = {0x84, 0x02, 0x00, 0x00, 0x10};
    EXPECT_EQ(wrapped, sm_oracle::cmac(mac_key, mac_input));
}

TEST(SmWrap, LeIsOutsideTheMacWhileTheLengthFormIsInside) {
    const bytes data = sm_oracle::pattern(20, 0x61);
    EXPECT_EQ(wrap(data, 0), wrap(data, 1));
    EXPECT_EQ(wrap(data, 0), wrap(data, 255));

    // Le of 256 or more sends the command in extended form, whose three
    // length bytes the MAC covers.
    const bytes extended = wrap(data, 256);
    const bytes cipher(extended.begin(), extended.end() - 16);
    const bytes mac_input = concat({bytes(header, header + 4), bytes{0x00, 0x00, 0x30}, cipher});
    EXPECT_EQ(bytes(extended.end() - 16, extended.end()), sm_oracle::cmac(mac_key, mac_input));
    EXPECT_EQ(extended, wrap(data, 0x10000));
}

TEST(SmWrap, LongDataTakesTheSevenByteHeaderIntoTheMac) {
    const bytes data = sm_oracle::pattern(300, 0x02);  // padded to 304, Lc 320
    const bytes wrapped = wrap(data, 0);
    ASSERT_EQ(wrapped.size(), 320u);
    const bytes cipher(wrapped.begin(), wrapped.end() - 16);
    const bytes mac_input = concat({bytes(header, header + 4), bytes{0x00, 0x01, 0x40}, cipher});
    EXPECT_EQ(bytes(wrapped.end() - 16, wrapped.end()), sm_oracle::cmac(mac_key, mac_input));

    // Lc of exactly 256 is the first extended length.
    EXPECT_EQ(wrap(sm_oracle::pattern(239, 0x02), 0).size(), 256u);
}

TEST(SmWrap, RefusesWhatCannotBeSent) {
    const bytes big(0x10000, 0x01);
    bytes wrapped = {0xAA};
    // 64 KiB of data; data whose padded Lc would pass 0xFFFF; Le past 0x10000.
    EXPECT_EQ(sm_wrap_data(header, big.data(), big.size(), 0, enc_key.data(), mac_key.data(), wrapped), 1);
    EXPECT_EQ(sm_wrap_data(header, big.data(), 0xFFF0, 0, enc_key.data(), mac_key.data(), wrapped), 1);
    EXPECT_EQ(sm_wrap_data(header, big.data(), 16, 0x10001, enc_key.data(), mac_key.data(), wrapped), 1);
    EXPECT_EQ(sm_wrap_data(header, nullptr, 16, 0, enc_key.data(), mac_key.data(), wrapped), 1);
    EXPECT_EQ(sm_wrap_data(header, big.data(), 16, 0, nullptr, mac_key.data(), wrapped), 1);
    EXPECT_EQ(wrapped, bytes{0xAA});
    // The largest data that still fits.
    EXPECT_EQ(sm_wrap_data(header, big.data(), 0xFFDF, 0, enc_key.data(), mac_key.data(), wrapped), 0);
    EXPECT_EQ(wrapped.size(), 0xFFF0u);
}

TEST(SmUnwrap, RecoversThePlaintextOfGoodReplies) {
    for (std::size_t length : {1u, 5u, 15u, 16u, 17u, 100u}) {
        const bytes plain = sm_oracle::pattern(length, 0x33);
        bytes reply = card_reply(plain);
        std::uint32_t plain_length = 999;
        ASSERT_EQ(unwrap(reply, &plain_length), 0) << length;
        ASSERT_EQ(plain_length, length);
        EXPECT_EQ(bytes(reply.begin(), reply.begin() + length), plain);
    }
}

TEST(SmUnwrap, NoDataAndMacOnlyRepliesAreEmpty) {
    std::uint32_t plain_length = 999;
    EXPECT_EQ(sm_unwrap(nullptr, 0, &plain_length, enc_key.data(), mac_key.data()), 0);
    EXPECT_EQ(plain_length, 0u);

    // 16 bytes: the MAC over no ciphertext, checked before it is accepted.
    bytes mac_only = sm_oracle::cmac(mac_key, {});
    plain_length = 999;
    EXPECT_EQ(unwrap(mac_only, &plain_length), 0);
    EXPECT_EQ(plain_length, 0u);
    mac_only[3] ^= 0x40;
    EXPECT_EQ(unwrap(mac_only, &plain_length),
              sm_bad_mac);
}

TEST(SmUnwrap, RejectsShortTamperedAndBadlyPaddedReplies) {
    const bytes plain = sm_oracle::pattern(10, 0x70);
    const bytes good = card_reply(plain);
    struct {
        const char* what;
        bytes reply;
        int expected;
    } cases[] = {
        {"1 byte", bytes(1, 0x00), sm_short_reply},
        {"15 bytes", bytes(good.begin(), good.begin() + 15), sm_short_reply},
        {"MAC bit flipped", good, sm_bad_mac},
        {"ciphertext bit flipped", good, sm_bad_mac},
        {"MAC over another key", concat({bytes(good.begin(), good.end() - 16), sm_oracle::cmac(enc_key, {})}),
         sm_bad_mac},
        {"pad byte 0x11", card_reply(sm_oracle::pattern(15, 1), 17, 0x11), sm_bad_padding},
        {"pad byte 0x00", card_reply(sm_oracle::pattern(15, 1), 1, 0x00), sm_bad_padding},
        {"pad bytes differ", card_reply(concat({sm_oracle::pattern(13, 1), bytes{0x02}}), 2, 0x03),
         sm_bad_padding},
    };
    cases[2].reply.back() ^= 0x01;
    cases[3].reply[0] ^= 0x80;
    for (auto& c : cases) {
        std::uint32_t plain_length = 999;
        EXPECT_EQ(unwrap(c.reply, &plain_length),
                  c.expected)
            << c.what;
        EXPECT_EQ(plain_length, 999u) << c.what;
    }

    // Authentic but not whole blocks of ciphertext.
    const bytes odd_cipher = sm_oracle::pattern(20, 9);
    bytes odd = concat({odd_cipher, sm_oracle::cmac(mac_key, odd_cipher)});
    std::uint32_t plain_length = 999;
    EXPECT_EQ(unwrap(odd, &plain_length), sm_bad_padding);
}

namespace {

// Wraps a command through the APDU object and serialises it as the frame
// does.
bytes wrap_and_serialise(std::int32_t case_code, const bytes& data, std::int32_t le) {
    ApduCommand command(case_code, 0x84, 0x02, 0x00, 0x00, "FormatDevice");
    EXPECT_EQ(command.set_data(data.data(), data.size()), apdu_ok);
    command.le = le;
    EXPECT_EQ(sm_wrap(command, enc_key.data(), mac_key.data()), sm_ok);
    bytes out(8192);
    std::uint32_t length = static_cast<std::uint32_t>(out.size());
    EXPECT_EQ(command.resolve_and_serialize(out.data(), &length), apdu_ok);
    out.resize(length);
    return out;
}

// The MAC ends the command data: it sits just before Le (le_bytes long).
void expect_mac_over_prefix(const bytes& apdu, std::size_t le_bytes) {
    ASSERT_GE(apdu.size(), 16 + le_bytes);
    const std::size_t tag_at = apdu.size() - le_bytes - 16;
    EXPECT_EQ(bytes(apdu.begin() + static_cast<long>(tag_at), apdu.begin() + static_cast<long>(tag_at) + 16),
              sm_oracle::cmac(mac_key, bytes(apdu.begin(), apdu.begin() + static_cast<long>(tag_at))));
}

}  // namespace

TEST(SmWrapCommand, SerialisedFormsCarryTheMacOverWhatPrecedesIt) {
    // A case 2 command without data: case 4, Lc 16, the MAC over 5 bytes.
    const bytes no_data = wrap_and_serialise(apdu_case2_auto, {}, 0);
    EXPECT_EQ(sm_oracle::to_hex(no_data.data(), 5), "8402000010");
    EXPECT_EQ(no_data.size(), 4u + 1 + 16 + 1);
    expect_mac_over_prefix(no_data, 1);

    // Case 3, short: no Le after the MAC.
    const bytes short3 = wrap_and_serialise(apdu_case3, sm_oracle::pattern(5, 1), 0);
    EXPECT_EQ(short3.size(), 4u + 1 + 32);
    EXPECT_EQ(short3[4], 32);
    expect_mac_over_prefix(short3, 0);

    // 300 bytes: extended Lc 0x0140, the 7-byte header in the MAC.
    const bytes long3 = wrap_and_serialise(apdu_case3_auto, sm_oracle::pattern(300, 1), 0);
    EXPECT_EQ(sm_oracle::to_hex(long3.data(), 7), "84020000000140");
    EXPECT_EQ(long3.size(), 7u + 320);
    expect_mac_over_prefix(long3, 0);

    // Le 256 with short data: extended too, Le in two bytes outside the MAC.
    const bytes long_le = wrap_and_serialise(apdu_case4, sm_oracle::pattern(20, 1), 256);
    EXPECT_EQ(sm_oracle::to_hex(long_le.data(), 7), "84020000000030");
    EXPECT_EQ(sm_oracle::to_hex(long_le.data() + long_le.size() - 2, 2), "0100");
    expect_mac_over_prefix(long_le, 2);
}

TEST(SmWrapCommand, UnwrappableCommandIsLeftAsItWas) {
    ApduCommand command(apdu_case3_auto, 0x84, 0x02, 0x00, 0x00, "FormatDevice");
    const bytes data(0x10000, 0x01);
    ASSERT_EQ(command.set_data(data.data(), 0xFFF0), apdu_ok);  // padded Lc would pass 0xFFFF
    EXPECT_EQ(sm_wrap(command, enc_key.data(), mac_key.data()), sm_wrap_failed);
    EXPECT_EQ(command.case_code, apdu_case3_auto);
    EXPECT_EQ(command.data.size(), 0xFFF0u);
}
