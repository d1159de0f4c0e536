// The import exports' parsing that needs no platform service: PEM
// decoding, whole-file reads, the entry lists and the private-key blob
// check, natively (under the sanitizers) and in the Windows trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cert_entries.h"
#include "cert_files.h"
#include "key_blob.h"
#include "support/hex_bytes.h"

namespace {

using test_support::bytes;
using test_support::hex;

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

struct pem_case {
    const char* what;
    std::string input;
    int result;
    bytes out;
};

TEST(mgr_pem, DecodesCertificateMarkersAndLeavesEverythingElseAsItIs) {
    const std::string begin = "-----BEGIN CERTIFICATE-----";
    const std::string end = "-----END CERTIFICATE-----";
    const std::vector<pem_case> cases = {
        {"CRLF line ends and blanks", begin + "\r\nAAEC Aw==\r\n" + end + "\r\n", 0, hex("00 01 02 03")},
        {"LF line ends", begin + "\nAAECAw==\n" + end + "\n", 0, hex("00 01 02 03")},
        {"two certificates: padding in the middle", begin + "\nAAE=\n" + end + "\n" + begin + "\nAAE=\n" + end, 2,
         {}},
        {"two certificates without padding run together", begin + "\nAAEC\n" + end + "\n" + begin + "\nAwQF\n" + end,
         0, hex("00 01 02 03 04 05")},
        {"nothing between the markers", begin + "\r\n" + end + "\r\n", 1, {}},
        {"not base64", begin + "\n@@@@\n" + end, 2, {}},
        {"PKCS7 markers are not recognised", "-----BEGIN PKCS7-----\nAAEC\n-----END PKCS7-----\n", 0,
         text("-----BEGIN PKCS7-----\nAAEC\n-----END PKCS7-----\n")},
        {"DER stays DER", std::string("\x30\x03\x02\x01\x05", 5), 0, hex("30 03 02 01 05")},
    };
    for (const pem_case& c : cases) {
        bytes out = hex("ee");
        const bytes in = text(c.input);
        EXPECT_EQ(mgr::pem_decode(in.data(), in.size(), out), c.result) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(out, c.out) << c.what;
        }
    }
}

TEST(mgr_pem, FindsTheMarkerAfterANulByte) {
    // A byte search, not a string search: a NUL before the marker does not
    // hide it (and is then no base64).
    const std::string pem = "-----BEGIN CERTIFICATE-----\nAAEC\n-----END CERTIFICATE-----";
    const bytes in = text(std::string(1, '\0') + pem);
    bytes out;
    EXPECT_EQ(mgr::pem_decode(in.data(), in.size(), out), 2);
    const bytes clean = text(pem);
    ASSERT_EQ(mgr::pem_decode(clean.data(), clean.size(), out), 0);
    EXPECT_EQ(out, hex("00 01 02"));
}

TEST(mgr_files, ReadsTheWholeFileWithSpareZeroBytes) {
    const std::string path = testing::TempDir() + "mgr_read_whole_file.bin";
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite("\x01\x02\x03", 1, 3, f);
        std::fclose(f);
    }
    bytes out;
    std::size_t length = 99;
    ASSERT_EQ(mgr::read_whole_file(path.c_str(), 8, out, &length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(out, hex("01 02 03 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(mgr::read_whole_file(nullptr, 8, out, &length), 1);
    EXPECT_EQ(mgr::read_whole_file(path.c_str(), 8, out, nullptr), 1);
    EXPECT_EQ(mgr::read_whole_file((path + ".missing").c_str(), 8, out, &length), 2);
    std::remove(path.c_str());
}

TEST(mgr_serial, SerialNumbersBecomeDerIntegersOfEveryLength) {
    // 0x00FF3344 as the platform keeps it: little-endian with its sign byte.
    const bytes le = hex("44 33 ff 00");
    EXPECT_EQ(mgr::der_integer_from_le(le.data(), le.size()), hex("02 04 00 ff 33 44"));
    struct length_case {
        std::size_t n;
        bytes head;
    };
    for (const length_case& c : {length_case{127, hex("02 7f")}, length_case{128, hex("02 81 80")},
                                  length_case{255, hex("02 81 ff")}, length_case{256, hex("02 82 01 00")},
                                  length_case{300, hex("02 82 01 2c")}}) {
        bytes content(c.n);
        for (std::size_t i = 0; i < c.n; ++i) content[i] = static_cast<std::uint8_t>(i);
        const bytes der = mgr::der_integer_from_le(content.data(), content.size());
        ASSERT_EQ(der.size(), c.head.size() + c.n) << c.n;
        EXPECT_EQ(bytes(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(c.head.size())), c.head) << c.n;
        EXPECT_EQ(der.back(), 0) << c.n;  // the first byte given comes last
        EXPECT_EQ(der[c.head.size()], static_cast<std::uint8_t>(c.n - 1)) << c.n;
    }
    EXPECT_EQ(mgr::der_integer_from_le(nullptr, 5), hex("02 00"));
}

mgr::cert_entry entry(const char* subject, int kind) {
    mgr::cert_entry e;
    mgr::copy_name(e.subject, subject);
    mgr::copy_name(e.issuer, "Issuer");
    e.der = hex("30 00");
    e.ca_kind = kind;
    e.private_key = hex("07 02 00 00");
    return e;
}

TEST(mgr_entries, KeepsEightAndComparesIndexesUnsigned) {
    mgr::cert_entry_list list;
    for (int i = 0; i < 9; ++i) {
        const std::string name = "n" + std::to_string(i);
        EXPECT_EQ(list.add(entry(name.c_str(), i % 3)), i < 8) << i;
    }
    ASSERT_EQ(list.count(), 8);
    char subject[260], issuer[260];
    int kind = -1;
    ASSERT_EQ(list.info(7, subject, issuer, &kind), 0);
    EXPECT_STREQ(subject, "n7");
    EXPECT_STREQ(issuer, "Issuer");
    EXPECT_EQ(kind, 1);
    EXPECT_EQ(list.info(8, subject, issuer, &kind), 1);  // an index equal to the count
    EXPECT_EQ(list.info(-1, subject, issuer, &kind), 1);
    EXPECT_EQ(list.info(0, nullptr, issuer, &kind), 1);
    EXPECT_EQ(list.at(8), nullptr);
    EXPECT_EQ(list.at(-2147483647 - 1), nullptr);
    ASSERT_NE(list.at(0), nullptr);

    mgr::cert_entry blank;
    mgr::cert_entry_list other;
    ASSERT_TRUE(other.add(std::move(blank)));
    EXPECT_EQ(other.info(0, subject, issuer, &kind), 2);  // empty entry
    EXPECT_EQ(other.at(0), nullptr);

    list.clear();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.info(0, subject, issuer, &kind), 1);
}

TEST(mgr_entries, NamesAreCutToTheirField) {
    mgr::cert_entry e;
    const std::string longer(400, 'x');
    mgr::copy_name(e.subject, longer.c_str());
    EXPECT_EQ(std::strlen(e.subject), 259u);
    mgr::copy_name(e.subject, nullptr);
    EXPECT_STREQ(e.subject, "");
}

// A 1024-bit key made by python3-cryptography whose CRT coefficient is
// shorter than its 64-byte field (its first byte is 0), with d as that
// library gives it (mod phi(n)) and the value mod lambda(n).
struct known_key {
    bytes n = hex(
        "ba82b03af880dc79eeca51ac1ba168cfb847757c36e666e3295db26d2cfe1429993f9313764dee7d5cb889b5ad4235f3066b221a470487"
        "fbb68dff09c8c9e11e85c4f4a678f06bb75745d75178c0257237916fdc61ac49d8bed9e958dd8df75fd135033489783a8183aa23656bfe"
        "6623ba9737ec57dd47e8c4dcd130bc94da57");
    bytes p = hex(
        "f02e93d4b2579bad64823253ea38a6ede8f6a1ba05711a0d8d09a96a570852a8eef4d699083a19cf6917c4a203f70b6196201b602ff4ee"
        "746d4d65e6bc8a5cd7");
    bytes q = hex(
        "c6cb3872196504531b719a2a6e715e99c2f84f4c988a2498ca176a3e3fac28c8fbcf2e60818b363e798507d5b7e252d87fac1fd9db4f25"
        "e5a52f22711ea03e81");
    bytes dp = hex(
        "d24c86261b4db842b71984c592f4adbcec595ebc095dc1a911cfdee5fc748e23daaec863d01f4750233dab6f0cb7b7e067598f7ec61ed8"
        "d75a89056b65b4649b");
    bytes dq = hex(
        "c4477ae00d7ad41e4a868c3540fee6ece2b8d1734b597a70f178d509c94c6ea8a318192e6839cfc137b2c5dd9ac5f80e93609bc23aeb96"
        "fb7b71628c5634da01");
    bytes qinv = hex(
        "00afed5d4c3c393fc3ee9c27c303dab8a4113808341dd30abd59b576002357191778ace1c84870c48a447809c9623f1517c3fb47c186d7"
        "6277fb9d6421f56523");
    bytes d = hex(
        "9fe3251c88a83f59b02174fe6bf965169d4d7523f51473234df4eadeb8f15f6b81da8444ece84608e611b4cc302950827400278e0b4f91"
        "1b72162c8ac0bc7fe4e84a34e44060e4c46bb6035d9666211a3a7624f12fff782fcfc71e392da387a01c2ac566e289087ff392b1f0b54e"
        "29885c233f99c21c9b9c3ac25bf0c0dd0a01");
    bytes d_lambda = hex(
        "04763ceb643cdcf413ce30eeff9d8dbed911e891c75472bb5626d62e68c84e9e2cd0345f5fa754a06e22975f751cce37eea6e078257675"
        "1f049fd802996999a23bf63de9dab5bb0162f1a502fba9068170c41094624144307957c17b9d43a059dc21f18b0d73efca42b23ed54d2f"
        "4d9afd7a17afd79cf0a550c774915a59d581");

    // The PRIVATEKEYBLOB of the key, as the platform exports it.
    bytes blob(std::uint32_t alg = 0xA400, std::uint32_t exponent = 65537) const {
        bytes b = {0x07, 0x02, 0x00, 0x00};
        auto u32 = [&b](std::uint32_t v) {
            for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        };
        u32(alg);
        u32(0x32415352);
        u32(1024);
        u32(exponent);
        for (const bytes* v : {&n, &p, &q, &dp, &dq, &qinv, &d}) b.insert(b.end(), v->rbegin(), v->rend());
        return b;
    }
};

bytes field(const bytes& blob, std::size_t at, std::size_t n) {
    bytes v(blob.begin() + static_cast<std::ptrdiff_t>(at), blob.begin() + static_cast<std::ptrdiff_t>(at + n));
    std::reverse(v.begin(), v.end());
    return v;
}

TEST(mgr_key_blob, ParsesEveryValueBigEndianInItsFieldWithTheMinimalExponent) {
    const known_key k;
    const bytes b = k.blob();
    ASSERT_EQ(b.size(), mgr::private_blob_size(1024));
    mgr::rsa_private_parts parts;
    ASSERT_EQ(mgr::parse_private_key_blob(b.data(), b.size(), parts), 0);
    EXPECT_EQ(parts.alg_id, 0xA400u);
    EXPECT_EQ(parts.bits, 1024u);
    EXPECT_EQ(parts.modulus, k.n);
    EXPECT_EQ(parts.public_exponent, hex("01 00 01"));
    EXPECT_EQ(parts.prime1, k.p);
    EXPECT_EQ(parts.prime2, k.q);
    EXPECT_EQ(parts.exponent1, k.dp);
    EXPECT_EQ(parts.exponent2, k.dq);
    EXPECT_EQ(parts.coefficient, k.qinv);  // 64 bytes, leading zero kept
    EXPECT_EQ(parts.private_exponent, k.d);
    EXPECT_EQ(mgr::parse_private_key_blob(b.data(), b.size() - 1, parts), 1);
    bytes wrong_magic = b;
    wrong_magic[8] = 'X';
    EXPECT_EQ(mgr::parse_private_key_blob(wrong_magic.data(), wrong_magic.size(), parts), 1);
}

TEST(mgr_key_blob, ExponentsTakeOneToFourBytes) {
    EXPECT_EQ(mgr::minimal_exponent(3), hex("03"));
    EXPECT_EQ(mgr::minimal_exponent(65537), hex("01 00 01"));
    EXPECT_EQ(mgr::minimal_exponent(0x01000001), hex("01 00 00 01"));
    EXPECT_EQ(mgr::minimal_exponent(0), hex("00"));
}

TEST(mgr_key_blob, ASoundBlobStaysAsItIs) {
    const known_key k;
    bytes b = k.blob();
    const bytes before = b;
    EXPECT_EQ(mgr::check_private_key_blob(b.data(), b.size()), mgr::blob_check::sound);
    EXPECT_EQ(b, before);
    // d mod lambda(n) is sound as well.
    known_key lam;
    lam.d = lam.d_lambda;
    b = lam.blob();
    EXPECT_EQ(mgr::check_private_key_blob(b.data(), b.size()), mgr::blob_check::sound);
}

TEST(mgr_key_blob, CorruptPrivateValuesAreComputedAgainFromThePrimes) {
    const known_key k;
    const std::size_t half = 64, full = 128;
    const std::size_t at_dp = 20 + full + 2 * half, at_dq = at_dp + half, at_qinv = at_dq + half,
                      at_d = at_qinv + half;
    struct corruption {
        const char* what;
        std::size_t at;
    };
    for (const corruption& c : {corruption{"d", at_d + 5}, corruption{"qInv", at_qinv + 9},
                                corruption{"dp", at_dp}, corruption{"dq", at_dq + 63}}) {
        bytes b = k.blob();
        b[c.at] ^= 0x5A;
        ASSERT_EQ(mgr::check_private_key_blob(b.data(), b.size()), mgr::blob_check::repaired) << c.what;
        EXPECT_EQ(field(b, at_d, full), k.d_lambda) << c.what;
        EXPECT_EQ(field(b, at_dp, half), k.dp) << c.what;
        EXPECT_EQ(field(b, at_dq, half), k.dq) << c.what;
        EXPECT_EQ(field(b, at_qinv, half), k.qinv) << c.what;
        EXPECT_EQ(mgr::check_private_key_blob(b.data(), b.size()), mgr::blob_check::sound) << c.what;
    }
}

TEST(mgr_key_blob, ABlobWhosePrimesAreNotTheModulusIsDropped) {
    const known_key k;
    bytes b = k.blob();
    b[20 + 128 + 3] ^= 0x01;  // p
    EXPECT_EQ(mgr::check_private_key_blob(b.data(), b.size()), mgr::blob_check::dropped);
    bytes bad_e = k.blob(0xA400, 0);  // no inverse of e exists
    bad_e[20 + 128 + 64 * 4 + 1] ^= 0x01;  // and d is wrong, so it needs one
    EXPECT_EQ(mgr::check_private_key_blob(bad_e.data(), bad_e.size()), mgr::blob_check::dropped);
    bytes short_blob = k.blob();
    EXPECT_EQ(mgr::check_private_key_blob(short_blob.data(), 40), mgr::blob_check::dropped);
    EXPECT_EQ(mgr::check_private_key_blob(nullptr, 0), mgr::blob_check::dropped);
}

}  // namespace
