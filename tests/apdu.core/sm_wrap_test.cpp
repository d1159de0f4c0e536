// Secure messaging of one APDU: protecting command data and checking
// protected replies, against mbed TLS's own CBC and CMAC.
#include <gtest/gtest.h>

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
        std::size_t plain_length = 999;
        ASSERT_EQ(sm_unwrap(reply.data(), reply.size(), &plain_length, enc_key.data(), mac_key.data()), 0) << length;
        ASSERT_EQ(plain_length, length);
        EXPECT_EQ(bytes(reply.begin(), reply.begin() + length), plain);
    }
}

TEST(SmUnwrap, NoDataAndMacOnlyRepliesAreEmpty) {
    std::size_t plain_length = 999;
    EXPECT_EQ(sm_unwrap(nullptr, 0, &plain_length, enc_key.data(), mac_key.data()), 0);
    EXPECT_EQ(plain_length, 0u);

    // 16 bytes: the MAC over no ciphertext, checked before it is accepted.
    bytes mac_only = sm_oracle::cmac(mac_key, {});
    plain_length = 999;
    EXPECT_EQ(sm_unwrap(mac_only.data(), mac_only.size(), &plain_length, enc_key.data(), mac_key.data()), 0);
    EXPECT_EQ(plain_length, 0u);
    mac_only[3] ^= 0x40;
    EXPECT_EQ(sm_unwrap(mac_only.data(), mac_only.size(), &plain_length, enc_key.data(), mac_key.data()),
              sm_reply_bad_mac);
}

TEST(SmUnwrap, RejectsShortTamperedAndBadlyPaddedReplies) {
    const bytes plain = sm_oracle::pattern(10, 0x70);
    const bytes good = card_reply(plain);
    struct {
        const char* what;
        bytes reply;
        int expected;
    } cases[] = {
        {"1 byte", bytes(1, 0x00), sm_reply_too_short},
        {"15 bytes", bytes(good.begin(), good.begin() + 15), sm_reply_too_short},
        {"MAC bit flipped", good, sm_reply_bad_mac},
        {"ciphertext bit flipped", good, sm_reply_bad_mac},
        {"MAC over another key", concat({bytes(good.begin(), good.end() - 16), sm_oracle::cmac(enc_key, {})}),
         sm_reply_bad_mac},
        {"pad byte 0x11", card_reply(sm_oracle::pattern(15, 1), 17, 0x11), sm_reply_bad_padding},
        {"pad byte 0x00", card_reply(sm_oracle::pattern(15, 1), 1, 0x00), sm_reply_bad_padding},
        {"pad bytes differ", card_reply(concat({sm_oracle::pattern(13, 1), bytes{0x02}}), 2, 0x03),
         sm_reply_bad_padding},
    };
    cases[2].reply.back() ^= 0x01;
    cases[3].reply[0] ^= 0x80;
    for (auto& c : cases) {
        std::size_t plain_length = 999;
        EXPECT_EQ(sm_unwrap(c.reply.data(), c.reply.size(), &plain_length, enc_key.data(), mac_key.data()),
                  c.expected)
            << c.what;
        EXPECT_EQ(plain_length, 999u) << c.what;
    }

    // Authentic but not whole blocks of ciphertext.
    const bytes odd_cipher = sm_oracle::pattern(20, 9);
    bytes odd = concat({odd_cipher, sm_oracle::cmac(mac_key, odd_cipher)});
    std::size_t plain_length = 999;
    EXPECT_EQ(sm_unwrap(odd.data(), odd.size(), &plain_length, enc_key.data(), mac_key.data()), sm_reply_bad_padding);
}
