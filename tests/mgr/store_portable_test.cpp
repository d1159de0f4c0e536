// The serial text and the request information, on every platform. The
// request information is checked against python3-cryptography's encoding
// of a request with the same subject and key and no attributes.
#include <gtest/gtest.h>

#include "cert_text.h"
#include "support/hex_bytes.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using test_support::bytes;
using test_support::hex;

struct serial_case {
    bytes little_endian;
    const char* text;
};

TEST(serial_text, BytesAreShownMostSignificantFirstEachWithABlank) {
    const serial_case cases[] = {
        {{0xA2, 0x01}, "01 a2 "},
        {{0x44, 0x33, 0xFF, 0x00}, "00 ff 33 44 "},
        {{0x07}, "07 "},
        {{}, ""},
    };
    for (const serial_case& c : cases) {
        char out[16];
        std::memset(out, 'X', sizeof out);
        mgr::serial_text(c.little_endian.data(), c.little_endian.size(), out);
        EXPECT_STREQ(out, c.text);
    }
}

TEST(serial_text, AtMost85BytesFillTheMonitorsBuffer) {
    bytes serial(100);
    for (std::size_t i = 0; i < serial.size(); ++i) serial[i] = static_cast<std::uint8_t>(100 - i);  // 100 .. 1
    char out[300];
    std::memset(out, 'X', sizeof out);
    mgr::serial_text(serial.data(), serial.size(), out);
    EXPECT_EQ(std::strlen(out), 255u);
    EXPECT_EQ(std::string(out, 6), "01 02 ");
    EXPECT_EQ(std::string(out + 252), "55 ");  // the 85th byte
    EXPECT_EQ(out[256], 'X');
    // Nothing written without a buffer, an empty text without bytes.
    mgr::serial_text(serial.data(), serial.size(), nullptr);
    mgr::serial_text(nullptr, 4, out);
    EXPECT_STREQ(out, "");
}

// C=DE, O=Org, CN=Alice and a 512-bit RSA key, as python3-cryptography
// encodes them, and its request information for them.
const char name_hex[] =
    "302b310b3009060355040613024445310c300a060355040a0c034f7267310e300c06035504030c05416c696365";
const char key_hex[] =
    "305c300d06092a864886f70d0101010500034b003048024100a583b9ff17936e39ce0fef0430650ee67511a4402d56ff7311ba28f73d"
    "d4b31a35b9d42fac100795d807c61709b309022143e4a013d3e9d192c918243b9faa1d0203010001";
const char info_hex[] =
    "308190020100302b310b3009060355040613024445310c300a060355040a0c034f7267310e300c06035504030c05416c696365305c30"
    "0d06092a864886f70d0101010500034b003048024100a583b9ff17936e39ce0fef0430650ee67511a4402d56ff7311ba28f73dd4b31a"
    "35b9d42fac100795d807c61709b309022143e4a013d3e9d192c918243b9faa1d0203010001a000";

TEST(request_info, MatchesTheRequestInformationOfPythonCryptography) {
    const bytes name = hex(name_hex), key = hex(key_hex);
    EXPECT_EQ(mgr::request_info_der(name.data(), name.size(), key.data(), key.size()), hex(info_hex));
}

TEST(request_info, ALongNameTakesTheLongLengthForm) {
    // CN of 200 characters: the name alone is longer than 127 bytes.
    bytes name = hex("3081cf3181cc3081c906035504030c81c8");
    name.insert(name.end(), 200, 'A');
    const bytes key = hex(key_hex);
    const bytes info = mgr::request_info_der(name.data(), name.size(), key.data(), key.size());
    bytes body = {0x02, 0x01, 0x00};
    body.insert(body.end(), name.begin(), name.end());
    body.insert(body.end(), key.begin(), key.end());
    body.push_back(0xA0);
    body.push_back(0x00);
    ASSERT_EQ(body.size(), 316u);
    bytes want = {0x30, 0x82, 0x01, 0x3C};
    want.insert(want.end(), body.begin(), body.end());
    EXPECT_EQ(info, want);
}

TEST(request_info, MissingPartsGiveNothing) {
    const bytes key = hex(key_hex);
    EXPECT_TRUE(mgr::request_info_der(nullptr, 4, key.data(), key.size()).empty());
    EXPECT_TRUE(mgr::request_info_der(key.data(), 0, key.data(), key.size()).empty());
    EXPECT_TRUE(mgr::request_info_der(key.data(), key.size(), nullptr, 0).empty());
}

}  // namespace
