// The default global lock spans processes: a call waits while another
// process holds it, and goes on when that process releases it or dies.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "module_fixture.h"
#include "support/child_process.h"

using pkcs11_test::module_test;
using test_support::child_process;

namespace {

class pkcs11_global_lock : public module_test {
protected:
    void SetUp() override {
        module_test::SetUp();
        pkcs11::set_default_mutex_name(nullptr);  // the module's own name
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        ASSERT_TRUE(pkcs11::default_mutex_spans_processes(core().global_mutex()));
    }

    static std::string holder_program() { return test_support::program_beside_me("pkcs11_lock_holder"); }

    void expect_held(child_process& holder) {
        ASSERT_TRUE(holder.started());
        std::string line;
        ASSERT_TRUE(holder.next_line(line, test_support::child_answer_time));
        ASSERT_EQ(line, "held");
    }

    static std::future<CK_RV> call_in_thread() {
        return std::async(std::launch::async, [] {
            CK_ULONG n = 0;
            return C_GetSlotList(CK_FALSE, nullptr, &n);
        });
    }
};

// The call has not come back while the other process holds the lock. (A
// bounded look: proving a wait can only mean not returning for a while.)
constexpr auto held_for = std::chrono::milliseconds(300);
constexpr auto released_within = std::chrono::seconds(20);

}  // namespace

TEST_F(pkcs11_global_lock, CallWaitsForTheOtherProcessToRelease) {
    child_process holder(holder_program(), {});
    expect_held(holder);
    auto call = call_in_thread();
    EXPECT_EQ(call.wait_for(held_for), std::future_status::timeout);
    ASSERT_TRUE(holder.write_line("release"));
    std::string line;
    ASSERT_TRUE(holder.next_line(line, test_support::child_answer_time));
    EXPECT_EQ(line, "released");
    ASSERT_EQ(call.wait_for(released_within), std::future_status::ready);
    EXPECT_EQ(call.get(), CKR_OK);
    ASSERT_TRUE(holder.write_line("exit"));
    EXPECT_EQ(holder.wait_exit(), 0);
}

TEST_F(pkcs11_global_lock, AKilledHolderReleasesTheLock) {
    child_process holder(holder_program(), {});
    expect_held(holder);
    auto call = call_in_thread();
    EXPECT_EQ(call.wait_for(held_for), std::future_status::timeout);
    holder.kill();
    holder.wait_exit();
    ASSERT_EQ(call.wait_for(released_within), std::future_status::ready);
    EXPECT_EQ(call.get(), CKR_OK);
}
