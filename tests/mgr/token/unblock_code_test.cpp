// The remote unblock response: known answers, the edge cases of the length
// form, and (natively) openssl's des-ede3-cbc over the first 24 key bytes
// for a table of keys and challenges.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef SOLVANTA_OPENSSL
#include <unistd.h>
#endif

#include "unblock_code.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes counting(std::size_t n, unsigned char first = 0) {
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(first + i);
    return b;
}

std::string hex(const bytes& b) {
    std::string out;
    char two[3];
    for (unsigned char c : b) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

std::string response_hex(const bytes& challenge, const char* key) {
    bytes out(challenge.size(), 0);
    EXPECT_EQ(mgr::unblock_response(challenge.data(), challenge.size(), key, out.data()), 0) << key;
    return hex(out);
}

const char* const first_key = "0123456789ABCDEFGHIJKLMN";

TEST(mgr_unblock_code, KnownAnswers) {
    struct row {
        std::string key;
        std::size_t length;
        const char* expected;
    };
    const row rows[] = {
        {first_key, 16, "528a8031c9e68d00ed1405eed227acd0"},
        {std::string(first_key) + "OPQRSTUV", 16, "528a8031c9e68d00ed1405eed227acd0"},
        {std::string(first_key) + "OPQRSTUVWXYZ", 16, "528a8031c9e68d00ed1405eed227acd0"},
        {"abc", 16, "3c1eb081b5b9de3fc43668bb264a3ac1"},
        {first_key, 24, "528a8031c9e68d00ed1405eed227acd0b81858f6e57ca5e6"},
    };
    for (const row& r : rows) EXPECT_EQ(response_hex(counting(r.length), r.key.c_str()), r.expected) << r.key;
}

TEST(mgr_unblock_code, AKeyBeyond32CharactersEqualsItsFirst32) {
    const std::string key32 = "0123456789abcdefghijklmnopqrstuv";
    const bytes challenge = counting(16, 0x40);
    EXPECT_EQ(response_hex(challenge, (key32 + "tail").c_str()), response_hex(challenge, key32.c_str()));
    EXPECT_EQ(response_hex(challenge, (key32 + std::string(500, 'z')).c_str()), response_hex(challenge, key32.c_str()));
}

TEST(mgr_unblock_code, LengthsNotAMultipleOf8AndNullPointersWriteNothing) {
    const bytes challenge = counting(24);
    for (std::size_t length : {1u, 7u, 12u, 15u, 17u}) {
        bytes out(24, 0x5A);
        EXPECT_EQ(mgr::unblock_response(challenge.data(), length, first_key, out.data()), 1) << length;
        EXPECT_EQ(out, bytes(24, 0x5A)) << length;
    }
    bytes out(24, 0x5A);
    EXPECT_EQ(mgr::unblock_response(challenge.data(), 0, first_key, out.data()), 0);
    EXPECT_EQ(out, bytes(24, 0x5A)) << "length 0 writes nothing";
    EXPECT_EQ(mgr::unblock_response(nullptr, 16, first_key, out.data()), 1);
    EXPECT_EQ(mgr::unblock_response(challenge.data(), 16, nullptr, out.data()), 1);
    EXPECT_EQ(mgr::unblock_response(challenge.data(), 16, first_key, nullptr), 1);
    EXPECT_EQ(mgr::unblock_response(nullptr, 0, first_key, nullptr), 1);
    EXPECT_EQ(out, bytes(24, 0x5A));
    // In place: the response may overwrite the challenge.
    bytes in_place = counting(16);
    ASSERT_EQ(mgr::unblock_response(in_place.data(), 16, first_key, in_place.data()), 0);
    EXPECT_EQ(hex(in_place), "528a8031c9e68d00ed1405eed227acd0");
}

#ifdef SOLVANTA_OPENSSL
// openssl enc over the challenge with the key's first 24 bytes (strncpy
// into 32 zero bytes): the independent implementation.
std::string openssl_response(const bytes& challenge, const std::string& key) {
    unsigned char key_bytes[32] = {};
    std::memcpy(key_bytes, key.data(), key.size() < 32 ? key.size() : 32);
    // One file per process: the cases run as processes of their own, at once.
    const std::string path =
        ::testing::TempDir() + "mgr_unblock_challenge." + std::to_string(static_cast<long>(getpid())) + ".bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return "no temp file";
    std::fwrite(challenge.data(), 1, challenge.size(), f);
    std::fclose(f);
    const std::string cmd = std::string(SOLVANTA_OPENSSL) + " enc -des-ede3-cbc -nopad -K " +
                            hex(bytes(key_bytes, key_bytes + 24)) + " -iv 0000000000000000 -in " + path;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return "no openssl";
    bytes out(challenge.size() + 64);
    const std::size_t n = std::fread(out.data(), 1, out.size(), p);
    const int status = pclose(p);
    std::remove(path.c_str());
    if (status != 0) return "openssl failed";
    out.resize(n);
    return hex(out);
}

TEST(mgr_unblock_code, AgreesWithOpensslDesEde3Cbc) {
    const std::string keys[] = {
        "a", "abc", "12345678", "123456789", std::string(first_key).substr(0, 16), std::string(first_key).substr(0, 23),
        first_key, "0123456789ABCDEFGHIJKLMNOPQRSTU", "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ",
        "\xC4\xD6\xDC\xE4\xF6\xFC\xDF\x80\xFF\x01 key with high bytes",
    };
    for (const std::string& key : keys)
        for (std::size_t length : {8u, 16u, 24u, 64u}) {
            const bytes challenge = counting(length, static_cast<unsigned char>(key.size() * 7));
            EXPECT_EQ(response_hex(challenge, key.c_str()), openssl_response(challenge, key))
                << "key of " << key.size() << " characters, " << length << " bytes";
        }
}

TEST(mgr_unblock_code, AShortKeyLeavesTheSecondAndThirdDesKeysZero) {
    // Kept so: up to 8 characters only the first DES key is set; openssl
    // with the explicit zero keys agrees.
    const bytes challenge = counting(16, 0x10);
    unsigned char explicit_key[24] = {'k', 'e', 'y', '8', 'c', 'h', 'r', 's'};
    EXPECT_EQ(response_hex(challenge, "key8chrs"),
              openssl_response(challenge, std::string(reinterpret_cast<char*>(explicit_key), 24)));
}
#endif

}  // namespace
