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

// Runs a table of single commands: each row's call, answered with the row's
// reply, must succeed and put exactly the row's bytes on the wire. Rows carry
// `what`, `call` (taking the manager), `reply` and `wire`.
template <typename Manager, typename Rows>
void expect_single_commands(const Rows& rows) {
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        fake_device d;
        d.answer(r.reply);
        Manager manager(&d);
        EXPECT_EQ(r.call(manager), 0);
        ASSERT_EQ(d.sent.size(), 1u);
        EXPECT_EQ(d.sent[0], r.wire);
    }
}

}  // namespace test_support
