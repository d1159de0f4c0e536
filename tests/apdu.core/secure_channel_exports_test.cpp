// The secure-channel and key-wrap exports at the library boundary.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ZervikSolvanta.h"
#include "seam_fixture.h"
#include "sm_oracle.h"

using sm_oracle::bytes;
using sm_oracle::from_hex;
using sm_oracle::to_hex;

namespace {

const bytes kek = from_hex("000102030405060708090a0b0c0d0e0f");
const bytes key = from_hex("00112233445566778899aabbccddeeff");
const char* const wrapped_hex = "1fa68b0a8112b447aef34bd8fb5a7b829d3e862371d2cfe5";

}  // namespace

TEST(SoftAesKeyWrapExport, WrapsAndUnwrapsTheRfcVector) {
    unsigned char out[40];
    unsigned short length = sizeof out;
    ASSERT_EQ(Zervik_SoftAESKeyWrap(kek.data(), 16, key.data(), 16, out, &length), 0);
    EXPECT_EQ(to_hex(out, length), wrapped_hex);

    // The KEK length takes its low byte: 0x110 is 16.
    ASSERT_EQ(Zervik_SoftAESKeyWrap(kek.data(), 0x110, key.data(), 16, out, &length), 0);
    EXPECT_EQ(to_hex(out, length), wrapped_hex);

    const bytes wrapped = from_hex(wrapped_hex);
    unsigned char plain[24];
    unsigned short plain_length = sizeof plain;
    ASSERT_EQ(Zervik_SoftAESKeyUnwrap(kek.data(), 16, wrapped.data(), 24, plain, &plain_length), 0);
    EXPECT_EQ(bytes(plain, plain + plain_length), key);
}

TEST(SoftAesKeyWrapExport, RefusalsAtTheBoundary) {
    unsigned char out[40];
    std::memset(out, 0x77, sizeof out);
    unsigned short length = 23;
    EXPECT_EQ(Zervik_SoftAESKeyWrap(kek.data(), 16, key.data(), 16, out, &length), 1);
    EXPECT_EQ(length, 24) << "the length needed";
    EXPECT_EQ(out[0], 0x77);

    length = sizeof out;
    EXPECT_EQ(Zervik_SoftAESKeyWrap(kek.data(), 20, key.data(), 16, out, &length), 1);
    EXPECT_EQ(Zervik_SoftAESKeyWrap(kek.data(), 16, key.data(), -8, out, &length), 1);
    EXPECT_EQ(Zervik_SoftAESKeyWrap(kek.data(), 16, key.data(), 16, out, nullptr), 1);
    EXPECT_EQ(Zervik_SoftAESKeyWrap(nullptr, 16, key.data(), 16, out, &length), 1);
    EXPECT_EQ(Zervik_SoftAESKeyWrap(kek.data(), 16, nullptr, 16, out, &length), 1);
    EXPECT_EQ(Zervik_SoftAESKeyWrap(kek.data(), 16, key.data(), 16, nullptr, &length), 1);
    EXPECT_EQ(length, sizeof out);
    EXPECT_EQ(out[0], 0x77);

    bytes tampered = from_hex(wrapped_hex);
    tampered[10] ^= 0x04;
    unsigned char plain[16];
    unsigned short plain_length = sizeof plain;
    EXPECT_EQ(Zervik_SoftAESKeyUnwrap(kek.data(), 16, tampered.data(), 24, plain, &plain_length), 1);
    EXPECT_EQ(bytes(plain, plain + 16), bytes(16, 0));
    EXPECT_EQ(Zervik_SoftAESKeyUnwrap(kek.data(), 16, tampered.data(), -24, plain, &plain_length), 1);
}

class secure_channel_exports_test : public test_support::seam_test {};

TEST_F(secure_channel_exports_test, BadHandlesSendNothing) {
    int not_a_device = 0;
    unsigned char record[144];
    const unsigned char other_info[68] = {};
    for (ZERVIK_HANDLE handle : {static_cast<ZERVIK_HANDLE>(nullptr), static_cast<ZERVIK_HANDLE>(&not_a_device)}) {
        EXPECT_EQ(Zervik_SecureMessageGenEphemeral(handle, 0x40001011, 0, record), 1);
        EXPECT_EQ(Zervik_SecureMessageKDF(handle, 0x40001011, 0x40000015, other_info, record), 1);
        EXPECT_EQ(Zervik_SetupSecureMessageChannel(handle), 1);
    }
    EXPECT_EQ(fake_.count(test_support::pcsc_call::transmit), 0);
}
