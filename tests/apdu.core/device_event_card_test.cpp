// End to end: card arrival and removal through pcsc-lite, pcscd and vpcd,
// steered through the virtual token's side channel, as an outside
// application sees them through Zervik_WaitforDevEvent and
// Zervik_CancelWait (only the public header is used, so that the same test
// runs against the shared library under Wine, through the PC/SC bridge).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "ZervikSolvanta.h"
#include "support/vtoken_control.h"
#include "support/waiting_thread.h"

using namespace std::chrono_literals;

namespace {

// pcscd sees a change 0.1 to 0.4 s after it happens; a generous bound
// keeps a broken wait from hanging the run.
constexpr auto event_bound = 20s;

// Device-event waits of one thread: its event queue in the library lives
// from its first wait until a wait of it returns 3, so events between two
// of its waits are kept for the next one.
class waiting_thread {
public:
    std::future<int> wait(const std::string& spec) {
        return thread_.submit([spec] {
            int event = -1;
            const int result = Zervik_WaitforDevEvent(spec.c_str(), &event);
            return result == 0 ? event : -100 - result;
        });
    }

private:
    test_support::waiting_thread thread_;
};

int result_of(std::future<int>& f) {
    if (f.wait_for(event_bound) != std::future_status::ready) {
        // Unblock the waiter so that the test ends rather than hangs.
        Zervik_CancelWait();
        ADD_FAILURE() << "no event within the bound";
    }
    return f.get();
}

class device_event_card_test : public ::testing::Test {
protected:
    void SetUp() override {
        // No watch thread is left from before: the first wait starts one.
        Zervik_CancelWait();
        vt_.fresh_card();
    }
    void TearDown() override {
        Zervik_CancelWait();
        vt_.call("insert", {{"wait_ready", true}});
    }

    test_support::vtoken_control vt_;
};

TEST_F(device_event_card_test, APresentCardArrivesAtOnceThenRemovalAndInsertionAreReported) {
    waiting_thread waiter;
    auto first = waiter.wait(test_support::card_reader);
    EXPECT_EQ(result_of(first), 1);

    vt_.call("remove");
    auto removal = waiter.wait(test_support::card_reader);
    EXPECT_EQ(result_of(removal), 2);

    vt_.call("insert", {{"wait_ready", true}});
    auto arrival = waiter.wait("Solvanta Token 00 00,1");
    EXPECT_EQ(result_of(arrival), 1);

    // A short bounce that pcscd sees is a removal, then an arrival.
    vt_.call("bounce", {{"ms", 1000}, {"wait", true}});
    auto out = waiter.wait(test_support::card_reader);
    EXPECT_EQ(result_of(out), 2);
    auto in = waiter.wait(test_support::card_reader);
    EXPECT_EQ(result_of(in), 1);
}

TEST_F(device_event_card_test, ReadersThatDoNotMatchThePatternGiveNoEvents) {
    waiting_thread matching;
    waiting_thread other;
    // The other waiter's queue exists from its first wait on; the card is
    // present, so that wait ends at once.
    auto first = other.wait(test_support::card_reader);
    EXPECT_EQ(result_of(first), 1);
    auto nothing = other.wait(test_support::empty_reader);
    auto pending = matching.wait(test_support::card_reader);

    vt_.call("remove");
    EXPECT_EQ(result_of(pending), 2);
    vt_.call("insert", {{"wait_ready", true}});
    auto arrival = matching.wait(test_support::card_reader);
    EXPECT_EQ(result_of(arrival), 1);

    // Neither event reached the waiter on the empty reader: it ends only now.
    EXPECT_EQ(nothing.wait_for(0s), std::future_status::timeout);
    Zervik_CancelWait();
    EXPECT_EQ(result_of(nothing), 3);
}

TEST_F(device_event_card_test, CancelEndsAPendingWaitAndTheNextWaitWatchesAnew) {
    waiting_thread waiter;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        // A new watch thread each round: the present card is an arrival again.
        auto arrival = waiter.wait(test_support::card_reader);
        EXPECT_EQ(result_of(arrival), 1);
        auto pending = waiter.wait(test_support::card_reader);
        EXPECT_EQ(Zervik_CancelWait(), 0);
        EXPECT_EQ(result_of(pending), 3);
    }
}

}  // namespace
