// Known-answer tests of the block and stream cipher engines.
#include <gtest/gtest.h>

#include <cstring>

#include "cipher_engines.h"
#include "support/hex_bytes.h"

namespace {

using pkcs11::aes_key_schedule;
using test_support::bytes;
using test_support::hex;
using test_support::hex_of;

struct block_case {
    const char* key;
    const char* plain;
    const char* cipher;
};

// FIPS-197 appendices C.1-C.3 and B.
const block_case aes_cases[] = {
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "00112233445566778899aabbccddeeff",
     "8ea2b7ca516745bfeafc49904b496089"},
    {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
};

TEST(AesEngine, Fips197KnownAnswers) {
    for (const block_case& c : aes_cases) {
        SCOPED_TRACE(c.key);
        const bytes key = hex(c.key);
        aes_key_schedule schedule;
        ASSERT_EQ(pkcs11::aes_set_key(schedule, key.data(), static_cast<unsigned>(key.size() * 8)), 0);
        std::uint8_t out[16];
        ASSERT_EQ(pkcs11::aes_encrypt_block(schedule, hex(c.plain).data(), out), 0);
        EXPECT_EQ(hex_of(out, 16), c.cipher);
        ASSERT_EQ(pkcs11::aes_decrypt_block(schedule, out, out), 0);
        EXPECT_EQ(hex_of(out, 16), c.plain);
    }
}

const char* const sp800_38a_key = "2b7e151628aed2a6abf7158809cf4f3c";
const char* const sp800_38a_plain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char* const sp800_38a_cbc =
    "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";

TEST(AesEngine, CbcKnownAnswerInPlaceAndChained) {
    const bytes key = hex(sp800_38a_key);
    aes_key_schedule schedule;
    ASSERT_EQ(pkcs11::aes_set_key(schedule, key.data(), 128), 0);
    // Two calls of two blocks each chain as one call of four.
    bytes data = hex(sp800_38a_plain);
    for (int i = 0; i < 16; ++i) schedule.chain[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(pkcs11::aes_cbc_encrypt(schedule, data.data(), data.data(), 32), 0);
    ASSERT_EQ(pkcs11::aes_cbc_encrypt(schedule, data.data() + 32, data.data() + 32, 32), 0);
    EXPECT_EQ(hex_of(data), sp800_38a_cbc);
    EXPECT_EQ(hex_of(schedule.chain, 16), "3ff1caa1681fac09120eca307586e1a7");
    for (int i = 0; i < 16; ++i) schedule.chain[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(pkcs11::aes_cbc_decrypt(schedule, data.data(), data.data(), data.size()), 0);
    EXPECT_EQ(hex_of(data), sp800_38a_plain);
}

TEST(AesEngine, RefusesBadKeysAndPartialBlocks) {
    const bytes key(32, 0x11);
    aes_key_schedule schedule;
    for (unsigned bits : {0u, 64u, 136u, 512u}) {
        EXPECT_EQ(pkcs11::aes_set_key(schedule, key.data(), bits), pkcs11::engine_bad_input) << bits;
    }
    std::uint8_t block[32] = {};
    // A schedule without a key processes nothing.
    EXPECT_EQ(pkcs11::aes_encrypt_block(schedule, block, block), pkcs11::engine_bad_input);
    EXPECT_EQ(pkcs11::aes_cbc_encrypt(schedule, block, block, 16), pkcs11::engine_bad_input);
    ASSERT_EQ(pkcs11::aes_set_key(schedule, key.data(), 256), 0);
    const bytes before(block, block + 32);
    for (std::size_t length : {1u, 15u, 17u, 31u}) {
        EXPECT_EQ(pkcs11::aes_cbc_encrypt(schedule, block, block, length), pkcs11::engine_bad_input) << length;
        EXPECT_EQ(pkcs11::aes_cbc_decrypt(schedule, block, block, length), pkcs11::engine_bad_input) << length;
    }
    EXPECT_EQ(bytes(block, block + 32), before);
    EXPECT_EQ(pkcs11::aes_set_key(schedule, nullptr, 128), pkcs11::engine_bad_input);
}

struct rc2_case {
    const char* key;
    unsigned long effective_bits;
    const char* plain;
    const char* cipher;
};

// RFC 2268 section 5, all eight vectors.
const rc2_case rc2_cases[] = {
    {"0000000000000000", 63, "0000000000000000", "ebb773f993278eff"},
    {"ffffffffffffffff", 64, "ffffffffffffffff", "278b27e42e2f0d49"},
    {"3000000000000000", 64, "1000000000000001", "30649edf9be7d2c2"},
    {"88", 64, "0000000000000000", "61a8a244adacccf0"},
    {"88bca90e90875a", 64, "0000000000000000", "6ccf4308974c267f"},
    {"88bca90e90875a7f0f79c384627bafb2", 64, "0000000000000000", "1a807d272bbe5db1"},
    {"88bca90e90875a7f0f79c384627bafb2", 128, "0000000000000000", "2269552ab0f85ca6"},
    {"88bca90e90875a7f0f79c384627bafb216f80a6f85920584c42fceb0be255daf1e", 129, "0000000000000000",
     "5b78d3a43dfff1f1"},
};

TEST(Rc2Engine, Rfc2268KnownAnswers) {
    for (const rc2_case& c : rc2_cases) {
        SCOPED_TRACE(c.key);
        const bytes key = hex(c.key);
        pkcs11::rc2_key expanded;
        ASSERT_EQ(pkcs11::rc2_set_key(expanded, key.size(), key.data(), c.effective_bits), 0);
        std::uint8_t out[8];
        pkcs11::rc2_encrypt_block(expanded, hex(c.plain).data(), out);
        EXPECT_EQ(hex_of(out, 8), c.cipher);
        pkcs11::rc2_decrypt_block(expanded, out, out);
        EXPECT_EQ(hex_of(out, 8), c.plain);
    }
}

TEST(Rc2Engine, EffectiveBitsZeroAndAbove1024MeanOneSchedule) {
    const bytes key = hex("88bca90e90875a7f0f79c384627bafb2");
    pkcs11::rc2_key reference;
    ASSERT_EQ(pkcs11::rc2_set_key(reference, key.size(), key.data(), 1024), 0);
    for (unsigned long bits : {0ul, 2048ul, 0xFFFFFFFFul}) {
        pkcs11::rc2_key other;
        ASSERT_EQ(pkcs11::rc2_set_key(other, key.size(), key.data(), bits), 0);
        EXPECT_EQ(0, std::memcmp(reference.k, other.k, sizeof reference.k)) << bits;
    }
    pkcs11::rc2_key lower;
    ASSERT_EQ(pkcs11::rc2_set_key(lower, key.size(), key.data(), 128), 0);
    EXPECT_NE(0, std::memcmp(reference.k, lower.k, sizeof reference.k));
}

TEST(Rc2Engine, RefusesEmptyAndOversizedKeysAndPartialBlocks) {
    const bytes key(129, 0x42);
    pkcs11::rc2_key expanded;
    EXPECT_EQ(pkcs11::rc2_set_key(expanded, 0, key.data(), 0), pkcs11::engine_bad_input);
    EXPECT_EQ(pkcs11::rc2_set_key(expanded, 129, key.data(), 0), pkcs11::engine_bad_input);
    EXPECT_EQ(pkcs11::rc2_set_key(expanded, 128, key.data(), 0), 0);
    std::uint8_t data[16] = {};
    std::uint8_t chain[8] = {};
    EXPECT_EQ(pkcs11::rc2_ecb(expanded, true, data, data, 12), pkcs11::engine_bad_input);
    EXPECT_EQ(pkcs11::rc2_cbc(expanded, false, chain, data, data, 7), pkcs11::engine_bad_input);
}

TEST(Rc2Engine, CbcChainsAcrossCallsAndDecryptsInPlace) {
    const bytes key = hex("0011223344556677");
    pkcs11::rc2_key expanded;
    ASSERT_EQ(pkcs11::rc2_set_key(expanded, key.size(), key.data(), 64), 0);
    bytes data(32);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    const bytes plain = data;
    std::uint8_t chain[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bytes whole(32);
    ASSERT_EQ(pkcs11::rc2_cbc(expanded, true, chain, data.data(), whole.data(), 32), 0);
    std::uint8_t chain2[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(pkcs11::rc2_cbc(expanded, true, chain2, data.data(), data.data(), 8), 0);
    ASSERT_EQ(pkcs11::rc2_cbc(expanded, true, chain2, data.data() + 8, data.data() + 8, 24), 0);
    EXPECT_EQ(data, whole);
    // The first block is one ECB block of plaintext XOR IV.
    std::uint8_t first[8];
    for (int i = 0; i < 8; ++i) first[i] = static_cast<std::uint8_t>(plain[i] ^ (i + 1));
    pkcs11::rc2_encrypt_block(expanded, first, first);
    EXPECT_EQ(hex_of(first, 8), hex_of(whole.data(), 8));
    std::uint8_t chain3[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(pkcs11::rc2_cbc(expanded, false, chain3, data.data(), data.data(), 32), 0);
    EXPECT_EQ(data, plain);
}

TEST(Rc4Engine, Rfc6229KeyStream) {
    const bytes key = hex("0102030405");
    pkcs11::rc4_state state;
    ASSERT_EQ(pkcs11::rc4_set_key(state, key.size(), key.data()), 0);
    bytes stream(272, 0);
    // In two pieces and in place: the state carries across calls.
    ASSERT_EQ(pkcs11::rc4_crypt(state, 100, stream.data(), stream.data()), 0);
    ASSERT_EQ(pkcs11::rc4_crypt(state, 172, stream.data() + 100, stream.data() + 100), 0);
    EXPECT_EQ(hex_of(stream.data(), 32), "b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919");
    EXPECT_EQ(hex_of(stream.data() + 240, 32), "28cb1132c96ce286421dcaadb8b69eae1cfcf62b03eddb641d77dfcf7f8d8c93");
}

TEST(Rc4Engine, RefusesEmptyAndOversizedKeys) {
    const bytes key(257, 1);
    pkcs11::rc4_state state;
    EXPECT_EQ(pkcs11::rc4_set_key(state, 0, key.data()), pkcs11::engine_bad_input);
    EXPECT_EQ(pkcs11::rc4_set_key(state, 257, key.data()), pkcs11::engine_bad_input);
    EXPECT_EQ(pkcs11::rc4_set_key(state, 256, key.data()), 0);
    EXPECT_EQ(pkcs11::rc4_set_key(state, 1, nullptr), pkcs11::engine_bad_input);
}

}  // namespace
