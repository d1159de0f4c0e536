// End-to-end tests through pcsc-lite, pcscd, vpcd and the virtual token, as
// an outside application calls the library: only the public header and
// the token's side channel are used.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZervikSolvanta.h"
#include "support/vtoken_control.h"

namespace test_support {

// A fresh card and an empty device list for each test; the handles the test
// connected are disconnected after it.
class card_test : public ::testing::Test {
protected:
    void SetUp() override {
        vt_.fresh_card();
        // A filter no reader matches empties the device list.
        int length = 0;
        ASSERT_EQ(Zervik_EnumDev("\x01none", nullptr, &length), 0);
    }
    void TearDown() override {
        for (ZERVIK_HANDLE h : handles_) Zervik_DisconnectDev(h);
    }

    ZERVIK_HANDLE connect(const char* reader = card_reader) {
        ZERVIK_HANDLE handle = nullptr;
        EXPECT_EQ(Zervik_ConnectDev(reader, &handle), 0);
        handles_.push_back(handle);
        return handle;
    }

    // DeviceIO of hex bytes; the reply as hex, or the status in result.
    std::string exchange(ZERVIK_HANDLE handle, const std::string& apdu_hex, int& result, int capacity = 2048) {
        const std::vector<unsigned char> apdu = from_hex(apdu_hex);
        std::vector<unsigned char> reply(2048, 0xEE);
        int length = capacity;
        result = Zervik_DeviceIO(handle, apdu.data(), static_cast<int>(apdu.size()), reply.data(), &length);
        if (result != 0) {
            EXPECT_EQ(length, capacity) << "length written on failure";
            EXPECT_EQ(reply[0], 0xEE) << "reply written on failure";
            return {};
        }
        return to_hex(reply.data(), static_cast<std::size_t>(length));
    }

    vtoken_control vt_;
    std::vector<ZERVIK_HANDLE> handles_;
};

}  // namespace test_support
