// Fixture of the command-family tests: a fake device, and the process-wide
// secure-channel flag off before and after every test.
#pragma once

#include <gtest/gtest.h>

#include "api/taviapi_base.h"
#include "support/fake_device.h"

namespace test_support {

class family_test : public ::testing::Test {
protected:
    void SetUp() override { zervik::use_secure_channel = 0; }
    void TearDown() override { zervik::use_secure_channel = 0; }

    fake_device device;
};

}  // namespace test_support
