// P-521 key agreement, the SHA-512 key derivation, the session key types
// and the random source behind the host key pairs.
#include <gtest/gtest.h>

#include <mbedtls/ecp.h>

#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "sm/kas.h"
#include "sm/random.h"
#include "sm_oracle.h"

using namespace zervik;
using sm_oracle::bytes;
using sm_oracle::from_hex;
using sm_oracle::to_hex;

namespace {

// A fixed agreement computed with python3-cryptography (SECP521R1, ECDH).
const char* const known_host_private =
    "0000001234567890abcdef1234567890abcdef1234567890abcdef1234567890abcdef1234567890abcdef1234567890abcdef12345678"
    "90abcdef1234567890abcdef77";
const char* const known_card_x =
    "000001916e270cc2f345ce39e353126d20ea0c3faac0fc4ebe09f6ba74871ed36d578ecbbc62aa91bf9d58ec77d151dfda3b44fe9fda09"
    "40a4fa13a4dcff95a71441fb2a";
const char* const known_card_y =
    "0000014e77259eea42efb9d801c2acc6137eb92025748587fd4accc736450d6bd471db40e3293fbe56c60885a65fc847687b1eed544ec8"
    "953d1d317cc3f0008c6b8f5df7";
const char* const known_z =
    "0109d50a6a7c9d8f59bc5d296dd4975632af262f781c7ca2eec8cf9b14f892fdce796e126ac148dd6a8f969e5d05e5027fa46609ab783a"
    "203f92d6e970c962c9dbdf";

bytes known_card_point() {
    bytes point = from_hex(known_card_x);
    const bytes y = from_hex(known_card_y);
    point.insert(point.end(), y.begin(), y.end());
    return point;
}

bool on_curve(const std::uint8_t* x, const std::uint8_t* y) {
    mbedtls_ecp_group group;
    mbedtls_ecp_point point;
    mbedtls_ecp_group_init(&group);
    mbedtls_ecp_point_init(&point);
    const bool ok = mbedtls_ecp_group_load(&group, MBEDTLS_ECP_DP_SECP521R1) == 0 &&
                    mbedtls_mpi_read_binary(&point.X, x, kas_value_size) == 0 &&
                    mbedtls_mpi_read_binary(&point.Y, y, kas_value_size) == 0 && mbedtls_mpi_lset(&point.Z, 1) == 0 &&
                    mbedtls_ecp_check_pubkey(&group, &point) == 0;
    mbedtls_ecp_point_free(&point);
    mbedtls_ecp_group_free(&group);
    return ok;
}

struct key_pair {
    std::uint8_t private_key[kas_value_size];
    std::uint8_t x[kas_value_size];
    std::uint8_t y[kas_value_size];
    bytes point() const {
        bytes p(x, x + kas_value_size);
        p.insert(p.end(), y, y + kas_value_size);
        return p;
    }
};

}  // namespace

TEST(KasKdf, MatchesHashlibForOneAndTwoRounds) {
    // Z = ((i * 7 + 1) & 255 for i in range(66)), OtherInfo = ((i * 3) & 255
    // for i in range(68)); expected values from /usr/bin/python3 hashlib:
    // b"".join(sha512(i.to_bytes(4, "big") + z + oi).digest() for i in (1, 2))[:L]
    bytes z(66), other_info(68);
    for (std::size_t i = 0; i < z.size(); ++i) z[i] = static_cast<std::uint8_t>(i * 7 + 1);
    for (std::size_t i = 0; i < other_info.size(); ++i) other_info[i] = static_cast<std::uint8_t>(i * 3);
    const std::string round1 =
        "e4d84c3393505a09d7499a086a75945d0530104becda8d122393ba393805e8b6143878dd5ed364e8b2c5cb7754155e0666c28c61f3f8"
        "df07d373254ee01b000c";

    bytes out(66, 0xEE);
    ASSERT_EQ(kas_kdf_sha512(z.data(), kas_shared_bits, other_info.data(), other_info.size(), out.data(), 64), 0);
    EXPECT_EQ(to_hex(out.data(), 64), round1);
    EXPECT_EQ(out[64], 0xEE);  // nothing past L

    ASSERT_EQ(kas_kdf_sha512(z.data(), kas_shared_bits, other_info.data(), other_info.size(), out.data(), 65), 0);
    EXPECT_EQ(to_hex(out.data(), 65), round1 + "22");

    // 521 bits take the same 66 bytes of Z; L = 0 writes nothing.
    bytes again(64);
    ASSERT_EQ(kas_kdf_sha512(z.data(), 521, other_info.data(), other_info.size(), again.data(), 64), 0);
    EXPECT_EQ(to_hex(again), round1);
    bytes untouched(4, 0x5A);
    EXPECT_EQ(kas_kdf_sha512(z.data(), kas_shared_bits, other_info.data(), other_info.size(), untouched.data(), 0), 0);
    EXPECT_EQ(untouched, bytes(4, 0x5A));
}

TEST(KasShared, KnownAnswerFromAnIndependentImplementation) {
    const bytes host = from_hex(known_host_private);
    const bytes card = known_card_point();
    bytes z(kas_shared_size, 0);
    ASSERT_EQ(kas_compute_shared(host.data(), nullptr, nullptr, card.data(), z.data(), z.size()), 0);
    EXPECT_EQ(to_hex(z), known_z);

    // A smaller capacity gets the leading bytes only.
    bytes head(20, 0);
    ASSERT_EQ(kas_compute_shared(host.data(), nullptr, nullptr, card.data(), head.data(), head.size()), 0);
    EXPECT_EQ(to_hex(head), std::string(known_z).substr(0, 40));
    EXPECT_EQ(kas_compute_shared(host.data(), nullptr, nullptr, card.data(), head.data(), 0), 4);
}

TEST(KasShared, CardPointsOffTheCurveAreRefused) {
    const bytes host = from_hex(known_host_private);
    bytes off = known_card_point();
    off.back() ^= 0x01;  // Y + 1: not on the curve
    bytes too_big = known_card_point();
    too_big[2] = 0xFF;  // X above the field prime
    bytes zero(2 * kas_value_size, 0x00);
    for (const bytes* point : {&off, &too_big, &zero}) {
        bytes z(kas_shared_size, 0xAB);
        EXPECT_EQ(kas_compute_shared(host.data(), nullptr, nullptr, point->data(), z.data(), z.size()), 2);
        EXPECT_EQ(z, bytes(kas_shared_size, 0xAB));
    }
}

TEST(KasKeyPair, FreshPairsAreValidDistinctAndAgree) {
    key_pair a, b;
    ASSERT_EQ(kas_generate_keypair(a.private_key, a.x, a.y), 0);
    ASSERT_EQ(kas_generate_keypair(b.private_key, b.x, b.y), 0);
    EXPECT_TRUE(on_curve(a.x, a.y));
    EXPECT_TRUE(on_curve(b.x, b.y));
    // 521-bit values in 68 bytes: at least 23 leading zero bits.
    for (const std::uint8_t* value : {a.private_key, a.x, a.y}) {
        EXPECT_EQ(value[0], 0);
        EXPECT_EQ(value[1], 0);
        EXPECT_LE(value[2], 1);
    }
    EXPECT_NE(to_hex(a.x, kas_value_size), to_hex(b.x, kas_value_size));

    bytes z_ab(kas_shared_size), z_ba(kas_shared_size);
    ASSERT_EQ(kas_compute_shared(a.private_key, a.x, a.y, b.point().data(), z_ab.data(), z_ab.size()), 0);
    ASSERT_EQ(kas_compute_shared(b.private_key, b.x, b.y, a.point().data(), z_ba.data(), z_ba.size()), 0);
    EXPECT_EQ(z_ab, z_ba);
}

namespace {

// Path of a program built beside this test.
std::string sibling_program(const std::string& name) {
#ifdef _WIN32
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1) + name + ".exe";
#else
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    return path.substr(0, path.find_last_of('/') + 1) + name;
#endif
}

std::string run_and_read(const std::string& program) {
    const std::string command = "\"" + program + "\"";
#ifdef _WIN32
    FILE* pipe = _popen(command.c_str(), "r");
#else
    FILE* pipe = popen(command.c_str(), "r");
#endif
    if (pipe == nullptr) return {};
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
#ifdef _WIN32
    const int status = _pclose(pipe);
#else
    const int status = pclose(pipe);
#endif
    return status == 0 ? out : std::string();
}

}  // namespace

TEST(KasKeyPair, TwoProcessesMakeDifferentHostKeys) {
    const std::string program = sibling_program("kas_host_key_print");
    const std::string first = run_and_read(program);
    const std::string second = run_and_read(program);
    ASSERT_EQ(first.size(), 2 * kas_value_size + 1) << program;
    ASSERT_EQ(second.size(), first.size());
    EXPECT_NE(first, second);
}

#ifndef _WIN32
TEST(KasRandom, AForkedChildDoesNotRepeatItsParent) {
    std::uint8_t before[16];
    ASSERT_EQ(kas_random(nullptr, before, sizeof before), 0);  // seeded before the fork
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::uint8_t drawn[32];
        const int rc = kas_random(nullptr, drawn, sizeof drawn);
        const bool written = rc == 0 && write(fds[1], drawn, sizeof drawn) == static_cast<ssize_t>(sizeof drawn);
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    std::uint8_t parent[32];
    ASSERT_EQ(kas_random(nullptr, parent, sizeof parent), 0);
    std::uint8_t from_child[32] = {};
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof from_child)) {
        const ssize_t n = read(fds[0], from_child + got, sizeof from_child - static_cast<std::size_t>(got));
        if (n <= 0) break;
        got += n;
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, 32);
    EXPECT_NE(to_hex(parent, 32), to_hex(from_child, 32));
}
#endif

TEST(KasRandom, FillsLongRequestsAndRefusesNoBuffer) {
    bytes big(5000, 0);
    ASSERT_EQ(kas_random(nullptr, big.data(), big.size()), 0);
    // Past the DRBG's 1024-byte request limit the output keeps coming.
    EXPECT_NE(bytes(big.end() - 64, big.end()), bytes(64, 0));
    EXPECT_NE(bytes(big.begin() + 1024, big.begin() + 1088), bytes(big.begin(), big.begin() + 64));
    EXPECT_EQ(kas_random(nullptr, nullptr, 8), 1);
}

TEST(SessionKeyTypes, KeyLengthsByType) {
    const std::pair<std::uint32_t, std::size_t> cases[] = {
        {0x40002000, 16}, {0x40002011, 24}, {0x40002020, 32}, {0x40002021, 32}, {0x40002110, 16},
        {0x40002121, 24}, {0x40002002, 0},  {0x00002020, 0},  {0x40000020, 0},  {0, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(session_key_length(c.first), c.second) << std::hex << c.first;
    EXPECT_EQ(sizeof session_key_types / sizeof session_key_types[0], 10u);
}
