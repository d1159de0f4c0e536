// AES engine, AES-CMAC and the RFC 3394 key wrap.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "sm/aes.h"
#include "sm_oracle.h"

using namespace zervik;
using sm_oracle::bytes;
using sm_oracle::from_hex;
using sm_oracle::to_hex;

namespace {

const bytes rfc4493_key = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
const bytes rfc4493_message = from_hex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");

std::string cmac_hex(const bytes& key, const std::uint8_t* message, std::size_t length) {
    std::uint8_t tag[16] = {};
    EXPECT_EQ(aes_cmac(key.data(), key.size(), message, length, tag), 0);
    return to_hex(tag, sizeof tag);
}

}  // namespace

TEST(AesCmac, Rfc4493Examples) {
    const struct {
        std::size_t length;
        const char* tag;
    } cases[] = {
        {0, "bb1d6929e95937287fa37d129b756746"},
        {16, "070a16b46b4d4144f79bdd9dd04a287c"},
        {40, "dfa66747de9ae63030ca32611497c827"},
        {64, "51f0bebf7e3b9d92fc49741779363cfe"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cmac_hex(rfc4493_key, rfc4493_message.data(), c.length), c.tag) << "length " << c.length;
    }
    // The empty message needs no buffer at all.
    EXPECT_EQ(cmac_hex(rfc4493_key, nullptr, 0), "bb1d6929e95937287fa37d129b756746");
}

TEST(AesCmac, AgreesWithMbedTlsFor192And256BitKeysAtEveryBlockBoundary) {
    for (std::size_t key_length : {24u, 32u}) {
        const bytes key = sm_oracle::pattern(key_length, 0x31);
        for (std::size_t length = 0; length <= 70; ++length) {
            const bytes message = sm_oracle::pattern(length, 0x5A);
            EXPECT_EQ(cmac_hex(key, message.data(), message.size()), to_hex(sm_oracle::cmac(key, message)))
                << "key " << key_length << " length " << length;
        }
    }
}

TEST(AesCmac, RefusesBadKeyLengthsAndLeavesTheTag) {
    const bytes key(33, 0x11);
    for (std::size_t key_length : {0u, 8u, 15u, 17u, 31u, 33u}) {
        std::uint8_t tag[16];
        std::memset(tag, 0xEE, sizeof tag);
        EXPECT_EQ(aes_cmac(key.data(), key_length, rfc4493_message.data(), 16, tag), 1) << key_length;
        EXPECT_EQ(to_hex(tag, 16), std::string(32, 'e'));
    }
    std::uint8_t tag[16];
    EXPECT_EQ(aes_cmac(nullptr, 16, rfc4493_message.data(), 16, tag), 1);
}

TEST(AesCrypt, Fips197VectorsInEcbForEachKeySize) {
    const bytes plain = from_hex("00112233445566778899aabbccddeeff");
    const struct {
        int type;
        std::size_t key_length;
        const char* cipher;
    } cases[] = {
        {aes_type_128_ecb, 16, "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {aes_type_192_ecb, 24, "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {aes_type_256_ecb, 32, "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto& c : cases) {
        bytes k(c.key_length);
        for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i);
        aes_schedule schedule;
        ASSERT_EQ(aes_set_key(schedule, k.data(), k.size()), 0);
        bytes out(16);
        ASSERT_EQ(aes_crypt(schedule, aes_mode_encrypt, c.type, plain.data(), out.data(), 16, nullptr), 0);
        EXPECT_EQ(to_hex(out), c.cipher);
        ASSERT_EQ(aes_crypt(schedule, aes_mode_decrypt, c.type, out.data(), out.data(), 16, nullptr), 0);
        EXPECT_EQ(out, plain);
    }
}

TEST(AesCrypt, CbcInPlaceChainsTheIvAndLeavesAPartialBlock) {
    const bytes key = sm_oracle::pattern(32, 0x07);
    const bytes plain = sm_oracle::pattern(48, 0x40);
    const bytes expected = sm_oracle::cbc(key, plain, true);

    aes_schedule schedule;
    ASSERT_EQ(aes_set_key(schedule, key.data(), key.size()), 0);
    bytes buffer = plain;
    buffer.push_back(0xAB);  // a trailing partial block stays as it is
    std::uint8_t iv[16] = {};
    ASSERT_EQ(aes_crypt(schedule, aes_mode_encrypt, aes_type_256_cbc, buffer.data(), buffer.data(), buffer.size(), iv),
              0);
    EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + 48), expected);
    EXPECT_EQ(buffer[48], 0xAB);
    EXPECT_EQ(to_hex(iv, 16), to_hex(expected.data() + 32, 16));

    std::uint8_t iv2[16] = {};
    ASSERT_EQ(aes_crypt(schedule, 7 /* any mode but 1 decrypts */, aes_type_256_cbc, buffer.data(), buffer.data(), 48,
                        iv2),
              0);
    EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + 48), plain);
}

TEST(AesCrypt, RefusesWithoutTouchingTheOutput) {
    const bytes key(32, 0x22);
    aes_schedule schedule;
    ASSERT_EQ(aes_set_key(schedule, key.data(), 32), 0);
    const bytes input(32, 0x01);
    std::uint8_t iv[16] = {};
    const struct {
        int type;
        std::size_t length;
    } cases[] = {
        {0, 32}, {7, 32},                               // no such type
        {aes_type_128_cbc, 32}, {aes_type_192_ecb, 32},  // type does not match the 32-byte key
        {aes_type_256_ecb, 0x10000},                     // 64 KiB: would not fit a 16-bit count
    };
    for (const auto& c : cases) {
        bytes output(32, 0xCC);
        EXPECT_EQ(aes_crypt(schedule, aes_mode_encrypt, c.type, input.data(), output.data(), c.length, iv), 1)
            << c.type;
        EXPECT_EQ(output, bytes(32, 0xCC));
    }
    aes_schedule empty;
    EXPECT_EQ(aes_set_key(empty, key.data(), 20), 1);
    bytes output(32, 0xCC);
    EXPECT_EQ(aes_crypt(empty, aes_mode_encrypt, aes_type_128_ecb, input.data(), output.data(), 32, nullptr), 1);
}

namespace {

struct key_wrap_vector {
    const char* kek;
    const char* key;
    const char* wrapped;
};

// RFC 3394 section 4: 4.1, 4.3, 4.5 and 4.6.
const key_wrap_vector rfc3394_vectors[] = {
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "1fa68b0a8112b447aef34bd8fb5a7b829d3e862371d2cfe5"},
    {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "96778b25ae6ca435f92b5b97c050aed2468ab8a17ad84e5d"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff0001020304050607",
     "a8f9bc1612c68b3ff6e6f4fbe30e71e4769c8b80a32cb8958cd5d17d6b254da1"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff000102030405060708090a0b0c0d0e0f",
     "28c9f404c4b810f4cbccb35cfb87f8263f5786e2d80ed326cbc7f0e71a99f43bfb988b9b7a02dd21"},
};

}  // namespace

TEST(AesKeyWrap, Rfc3394VectorsWrapAndUnwrap) {
    for (const auto& v : rfc3394_vectors) {
        const bytes kek = from_hex(v.kek);
        const bytes key = from_hex(v.key);
        bytes wrapped(64, 0);
        std::uint16_t wrapped_length = static_cast<std::uint16_t>(wrapped.size());
        ASSERT_EQ(aes_key_wrap(kek.data(), kek.size(), key.data(), key.size(), wrapped.data(), &wrapped_length), 0);
        EXPECT_EQ(wrapped_length, key.size() + 8);
        EXPECT_EQ(to_hex(wrapped.data(), wrapped_length), v.wrapped) << "KEK " << kek.size() * 8;

        const bytes expected = from_hex(v.wrapped);
        bytes unwrapped(64, 0);
        std::uint16_t unwrapped_length = static_cast<std::uint16_t>(unwrapped.size());
        ASSERT_EQ(aes_key_unwrap(kek.data(), kek.size(), expected.data(), expected.size(), unwrapped.data(),
                                 &unwrapped_length),
                  0);
        EXPECT_EQ(bytes(unwrapped.begin(), unwrapped.begin() + unwrapped_length), key);
    }
}

TEST(AesKeyWrap, AnyChangedByteFailsTheCheckAndZeroesTheOutput) {
    for (const auto& v : rfc3394_vectors) {
        const bytes kek = from_hex(v.kek);
        const bytes good = from_hex(v.wrapped);
        for (std::size_t at : {std::size_t{0}, std::size_t{7}, good.size() - 1}) {
            bytes bad = good;
            bad[at] ^= 0x01;
            bytes output(good.size() - 8, 0x5C);
            std::uint16_t length = static_cast<std::uint16_t>(output.size());
            EXPECT_EQ(aes_key_unwrap(kek.data(), kek.size(), bad.data(), bad.size(), output.data(), &length), 1);
            EXPECT_EQ(output, bytes(good.size() - 8, 0)) << "byte " << at;
            EXPECT_EQ(length, good.size() - 8);
        }
    }
}

TEST(AesKeyWrap, ShortOutputReportsTheNeededLength) {
    const bytes kek(16, 0x01);
    const bytes key(16, 0x02);
    bytes output(32, 0x77);
    std::uint16_t length = 23;
    EXPECT_EQ(aes_key_wrap(kek.data(), 16, key.data(), 16, output.data(), &length), 1);
    EXPECT_EQ(length, 24);
    EXPECT_EQ(output, bytes(32, 0x77));

    // Unwrapping into a short output writes neither output nor length.
    const bytes wrapped = from_hex(rfc3394_vectors[0].wrapped);
    length = 15;
    EXPECT_EQ(aes_key_unwrap(from_hex(rfc3394_vectors[0].kek).data(), 16, wrapped.data(), wrapped.size(),
                             output.data(), &length),
              1);
    EXPECT_EQ(length, 15);
    EXPECT_EQ(output, bytes(32, 0x77));
}

TEST(AesKeyWrap, BadKekOrDataLengthsAreRefusedAndNeverWrapUnderAStaleKey) {
    const bytes kek(64, 0x0F);
    const bytes data(65528, 0x3C);
    const struct {
        std::size_t kek_length;
        std::size_t data_length;
    } cases[] = {{0, 16}, {15, 16}, {20, 16}, {33, 16}, {64, 16},  // KEK sizes AES has no key schedule for
                 {16, 0}, {16, 7}, {16, 20}, {16, 65528}};        // empty, not 8-aligned, result of 64 KiB
    for (const auto& c : cases) {
        // A good wrap first, so that a stale key would be at hand.
        bytes output(96, 0x99);
        std::uint16_t length = static_cast<std::uint16_t>(output.size());
        ASSERT_EQ(aes_key_wrap(kek.data(), 32, data.data(), 16, output.data(), &length), 0);
        output.assign(96, 0x99);
        length = static_cast<std::uint16_t>(output.size());
        EXPECT_EQ(aes_key_wrap(kek.data(), c.kek_length, data.data(), c.data_length, output.data(), &length), 1)
            << c.kek_length << "/" << c.data_length;
        EXPECT_EQ(output, bytes(96, 0x99));
    }
    // Unwrap: bad KEK sizes, and wrapped lengths that are not whole blocks
    // or hold no key block besides the check value.
    const bytes wrapped = from_hex(rfc3394_vectors[0].wrapped);
    for (std::size_t kek_length : {0u, 15u, 20u, 33u}) {
        bytes plain(16, 0x99);
        std::uint16_t plain_length = 16;
        EXPECT_EQ(aes_key_unwrap(kek.data(), kek_length, wrapped.data(), wrapped.size(), plain.data(), &plain_length),
                  1);
        EXPECT_EQ(plain_length, 16);
    }
    const bytes iv_only(8, 0xA6);
    for (std::size_t wrapped_length : {0u, 8u, 23u}) {
        bytes plain(16, 0x99);
        std::uint16_t plain_length = 16;
        const std::uint8_t* source = wrapped_length == 8 ? iv_only.data() : wrapped.data();
        EXPECT_EQ(aes_key_unwrap(kek.data(), 16, source, wrapped_length, plain.data(), &plain_length), 1)
            << wrapped_length;
        EXPECT_EQ(plain, bytes(16, 0x99));
    }
}

TEST(AesKeyWrap, ConcurrentOperationsUnderDifferentKeysDoNotDisturbEachOther) {
    constexpr int threads = 8;
    constexpr int rounds = 200;
    std::vector<bytes> expected_wrap(threads), expected_mac(threads);
    for (int t = 0; t < threads; ++t) {
        const bytes kek = sm_oracle::pattern(32, static_cast<std::uint8_t>(t * 17));
        const bytes key = sm_oracle::pattern(32, static_cast<std::uint8_t>(t * 5 + 1));
        expected_wrap[t].resize(40);
        std::uint16_t length = 40;
        ASSERT_EQ(aes_key_wrap(kek.data(), 32, key.data(), 32, expected_wrap[t].data(), &length), 0);
        expected_mac[t] = sm_oracle::cmac(kek, key);
    }
    std::vector<int> failures(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            const bytes kek = sm_oracle::pattern(32, static_cast<std::uint8_t>(t * 17));
            const bytes key = sm_oracle::pattern(32, static_cast<std::uint8_t>(t * 5 + 1));
            for (int r = 0; r < rounds; ++r) {
                bytes wrapped(40);
                std::uint16_t length = 40;
                std::uint8_t tag[16];
                if (aes_key_wrap(kek.data(), 32, key.data(), 32, wrapped.data(), &length) != 0 ||
                    wrapped != expected_wrap[t] || aes_cmac(kek.data(), 32, key.data(), 32, tag) != 0 ||
                    bytes(tag, tag + 16) != expected_mac[t]) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& th : pool) th.join();
    EXPECT_EQ(failures, std::vector<int>(threads, 0));
}
