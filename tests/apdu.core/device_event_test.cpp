// The device-event wait and its watch thread against a PC/SC service in
// memory (tests/support/fake_card_service.h).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "notify/device_event_wait.h"
#include "support/fake_card_service.h"

using namespace std::chrono_literals;
using test_support::fake_card_service;
using zervik::event_arrival;
using zervik::event_ended;
using zervik::event_removal;
namespace rc = platform::pcsc_rc;

namespace {

std::atomic<std::uint64_t> slept_ms{0};
std::atomic<int> sleeps{0};

// Pauses of the code under test are counted, and shortened to 1 ms so that
// a retry loop neither takes long nor spins.
void counted_sleep(std::uint32_t ms) {
    slept_ms += ms;
    ++sleeps;
    std::this_thread::sleep_for(1ms);
}

int wait_event(const char* spec) {
    std::int32_t event = -1;
    EXPECT_EQ(zervik::wait_device_event(spec, &event), 0);
    return event;
}

class device_event_test : public ::testing::Test {
protected:
    device_event_test() {
        platform::set_pcsc(&fake_);
        platform::set_sleep_hook(&counted_sleep);
        slept_ms = 0;
        sleeps = 0;
    }
    ~device_event_test() override {
        // Stop the watch thread and take the end it leaves in this thread's
        // queue, so that the next test starts with none.
        for (;;) {
            zervik::cancel_device_wait();
            if (!zervik::device_event_callback()->has_own_queue()) break;
            std::int32_t event;
            zervik::wait_device_event(nullptr, &event);
        }
        zervik::cancel_device_wait();
        platform::set_pcsc(nullptr);
        platform::set_sleep_hook(nullptr);
    }

    // Runs action on another thread once the watch thread has made `after`
    // more status-change waits and blocks in the next one.
    std::thread when_idle(int after, std::function<void()> action) {
        const int calls = fake_.status_calls() + after;
        return std::thread([this, calls, action] {
            ASSERT_TRUE(fake_.wait_until_idle(calls));
            action();
        });
    }

    fake_card_service fake_;
};

// Waits until `threads` threads are inside a wait.
void wait_for_waiters(std::uint32_t threads) {
    for (int i = 0; i < 20000 && zervik::device_event_callback()->waiting() < threads; ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(zervik::device_event_callback()->waiting(), threads);
}

}  // namespace

TEST(EventSpec, TheFirstCommaTokenIsThePattern) {
    struct {
        const char* spec;
        std::int32_t result;
        const char* pattern;
    } const cases[] = {
        {"Token,1", 0, "Token"},  {"Token", 2, "Token"},   {"A,B,C", 0, "A"},    {",,Token,,", 2, "Token"},
        {"", 1, "previous"},      {nullptr, 1, "previous"}, {",,,", 1, "previous"},
    };
    for (const auto& c : cases) {
        std::string pattern = "previous";
        EXPECT_EQ(zervik::parse_event_spec(c.spec, pattern), c.result) << (c.spec ? c.spec : "null");
        EXPECT_EQ(pattern, c.pattern) << (c.spec ? c.spec : "null");
    }
    // A long first token is kept whole: a cut one would match more readers.
    std::string pattern;
    const std::string long_token(100, 'L');
    EXPECT_EQ(zervik::parse_event_spec((long_token + ",x").c_str(), pattern), 0);
    EXPECT_EQ(pattern, long_token);
}

TEST_F(device_event_test, ANullEventPointerIsRefused) {
    EXPECT_EQ(zervik::wait_device_event("Token", nullptr), 1);
}

TEST_F(device_event_test, ACardPresentBeforeTheWaitIsAnArrivalAtOnce) {
    fake_.add_reader("Solvanta Token 00 00", true);
    EXPECT_EQ(wait_event("Solvanta"), event_arrival);
    const auto watched = fake_.watched();
    ASSERT_EQ(watched.size(), 2u);
    EXPECT_EQ(watched[0], "\\\\?PnP?\\Notification");
    EXPECT_EQ(watched[1], "Solvanta Token 00 00");
}

TEST_F(device_event_test, OnlyReadersMatchingThePatternGiveEvents) {
    fake_.add_reader("Other Reader 00");
    fake_.add_reader("Solvanta Token 00 00");

    std::thread actor = when_idle(0, [&] {
        const int calls = fake_.status_calls();
        fake_.insert("Other Reader 00");
        ASSERT_TRUE(fake_.wait_until_idle(calls + 1));
        fake_.insert("Solvanta Token 00 00");
    });
    EXPECT_EQ(wait_event("Solvanta Token"), event_arrival);
    actor.join();

    actor = when_idle(0, [&] {
        const int calls = fake_.status_calls();
        fake_.remove("Other Reader 00");
        ASSERT_TRUE(fake_.wait_until_idle(calls + 1));
        fake_.remove("Solvanta Token 00 00");
    });
    EXPECT_EQ(wait_event("Solvanta Token"), event_removal);
    actor.join();

    // Nothing from the other reader is queued: the cancel's end comes next.
    actor = when_idle(0, [&] {
        fake_.insert("Other Reader 00");
        ASSERT_TRUE(fake_.wait_until_idle(fake_.status_calls() + 1));
        zervik::cancel_device_wait();
    });
    EXPECT_EQ(wait_event("Solvanta Token"), event_ended);
    actor.join();
}

TEST_F(device_event_test, AWaitRightAfterAnArrivalBlocksUntilTheRemoval) {
    fake_.add_reader("Solvanta Token 00 00", true);
    EXPECT_EQ(wait_event("Solvanta"), event_arrival);
    std::thread actor = when_idle(0, [&] { fake_.remove("Solvanta Token 00 00"); });
    EXPECT_EQ(wait_event("Solvanta"), event_removal);
    actor.join();
}

TEST_F(device_event_test, CancelFromAnotherThreadEndsTheWaitAndTheNextWaitWatchesAnew) {
    fake_.add_reader("Solvanta Token 00 00");
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        const int contexts_before = fake_.establish_calls();
        std::thread actor = when_idle(0, [] { zervik::cancel_device_wait(); });
        EXPECT_EQ(wait_event("Solvanta"), event_ended);
        actor.join();
        // A new watch thread with a context of its own each round, and none left over.
        EXPECT_EQ(fake_.establish_calls(), contexts_before + 1);
        EXPECT_EQ(fake_.live_contexts(), 0);
        EXPECT_FALSE(zervik::device_event_callback()->has_own_queue());
    }
}

TEST_F(device_event_test, AWatchThreadThatIgnoresTheCancelIsLeftAndSilenced) {
    fake_.add_reader("Solvanta Token 00 00");
    fake_.ignore_cancels(true);
    std::thread actor = when_idle(0, [] { zervik::cancel_device_wait(); });
    EXPECT_EQ(wait_event("Solvanta"), event_ended);  // after the bound
    actor.join();
    fake_.ignore_cancels(false);

    // The left thread still blocks; a new watch thread sees the arrival, the
    // old one's report of it goes nowhere.
    const int calls = fake_.status_calls();
    actor = std::thread([&] {
        ASSERT_TRUE(fake_.wait_until_idle(calls + 1));
        fake_.insert("Solvanta Token 00 00");
    });
    EXPECT_EQ(wait_event("Solvanta"), event_arrival);
    actor.join();
    actor = when_idle(0, [] { zervik::cancel_device_wait(); });
    EXPECT_EQ(wait_event("Solvanta"), event_ended);
    actor.join();
    // The left thread ends by itself and gives its context back.
    for (int i = 0; i < 20000 && fake_.live_contexts() != 0; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(fake_.live_contexts(), 0);
}

class service_loss : public device_event_test, public ::testing::WithParamInterface<platform::pcsc_code> {};

TEST_P(service_loss, RemovalsForReadersWithACardThenWatchingResumesOnANewContext) {
    fake_.add_reader("Solvanta A", true);
    fake_.add_reader("Solvanta B");
    EXPECT_EQ(wait_event("Solvanta"), event_arrival);

    std::thread actor = when_idle(0, [&] { fake_.stop_service(GetParam()); });
    EXPECT_EQ(wait_event("Solvanta"), event_removal);  // A only: B had no card
    actor.join();

    const int contexts = fake_.establish_calls();
    actor = std::thread([&] {
        ASSERT_TRUE(fake_.wait_for_establish_calls(contexts + 1));  // tried while down
        fake_.restart_service();
    });
    EXPECT_EQ(wait_event("Solvanta"), event_arrival);  // A again, on a new context
    actor.join();
    EXPECT_EQ(fake_.live_contexts(), 1);
}

INSTANTIATE_TEST_SUITE_P(codes, service_loss,
                         ::testing::Values(rc::system_cancelled, rc::no_service, rc::service_stopped));

TEST_F(device_event_test, AServiceThatStaysDownIsRetriedWithPauses) {
    fake_.stop_service(rc::no_service);
    std::thread actor([&] {
        ASSERT_TRUE(fake_.wait_for_establish_calls(20));
        zervik::cancel_device_wait();
    });
    EXPECT_EQ(wait_event("Solvanta"), event_ended);
    actor.join();
    const int attempts = fake_.establish_calls();
    EXPECT_GE(slept_ms.load(), static_cast<std::uint64_t>(attempts - 1) * 500u);
}

TEST_F(device_event_test, AServiceWhoseWaitsFailAtOnceIsRetriedWithPauses) {
    fake_.add_reader("Solvanta A");
    fake_.fail_every_wait(rc::service_stopped);
    std::thread actor([&] {
        ASSERT_TRUE(fake_.wait_for_establish_calls(20));
        zervik::cancel_device_wait();
    });
    EXPECT_EQ(wait_event("Solvanta"), event_ended);
    actor.join();
    EXPECT_GE(slept_ms.load(), static_cast<std::uint64_t>(fake_.status_calls() - 1) * 500u);
}

TEST_F(device_event_test, AnUnexpectedFailureEndsTheWaitAndWatchingGoesOn) {
    fake_.add_reader("Solvanta A");
    std::atomic<int> contexts{0};
    std::thread actor = when_idle(0, [&] {
        contexts = fake_.establish_calls();
        fake_.fail_next_wait(platform::to_pcsc_code(SCARD_F_INTERNAL_ERROR));
    });
    EXPECT_EQ(wait_event("Solvanta"), event_ended);
    actor.join();
    // The same thread watches on with a new context.
    actor = std::thread([&] {
        ASSERT_TRUE(fake_.wait_for_establish_calls(contexts + 1));
        wait_for_waiters(1);
        ASSERT_TRUE(fake_.wait_until_idle(1));
        fake_.insert("Solvanta A");
    });
    EXPECT_EQ(wait_event("Solvanta"), event_arrival);
    actor.join();
}

TEST_F(device_event_test, NineReadersAreWatchedBesideThePnpEntry) {
    for (int i = 1; i <= 12; ++i) fake_.add_reader("R" + std::to_string(100 + i));
    std::thread actor = when_idle(0, [&] {
        EXPECT_EQ(fake_.watched().size(), 10u);
        const int calls = fake_.status_calls();
        fake_.insert("R112");  // not watched
        fake_.insert("R105");
        ASSERT_TRUE(fake_.wait_until_idle(calls + 1));
    });
    EXPECT_EQ(wait_event("R1"), event_arrival);
    actor.join();

    // A watched reader goes (without a card: no event); the tenth takes its place.
    actor = when_idle(0, [&] {
        fake_.unplug_reader("R101");
        ASSERT_TRUE(fake_.wait_until_idle(fake_.status_calls() + 1));
        const auto watched = fake_.watched();
        EXPECT_EQ(watched.size(), 10u);
        EXPECT_NE(std::find(watched.begin(), watched.end(), "R110"), watched.end());
        EXPECT_EQ(std::find(watched.begin(), watched.end(), "R101"), watched.end());
        zervik::cancel_device_wait();
    });
    EXPECT_EQ(wait_event("R1"), event_ended);
    actor.join();
}

TEST_F(device_event_test, UnpluggingAReaderGivesARemovalOnlyWhenItHadACard) {
    fake_.add_reader("Token A", true);
    fake_.add_reader("Token B");
    EXPECT_EQ(wait_event("Token"), event_arrival);
    std::thread actor = when_idle(0, [&] {
        fake_.unplug_reader("Token B");
        ASSERT_TRUE(fake_.wait_until_idle(fake_.status_calls() + 1));
        fake_.unplug_reader("Token A");
    });
    EXPECT_EQ(wait_event("Token"), event_removal);
    actor.join();
    actor = when_idle(0, [] { zervik::cancel_device_wait(); });
    EXPECT_EQ(wait_event("Token"), event_ended);  // no second removal queued
    actor.join();
}

TEST_F(device_event_test, EachWaitingThreadHasItsOwnQueueAndPattern) {
    fake_.add_reader("Alpha 00");
    fake_.add_reader("Beta 00");
    auto alpha = std::async(std::launch::async, [] { return wait_event("Alpha"); });
    auto beta = std::async(std::launch::async, [] { return wait_event("Beta"); });
    wait_for_waiters(2);
    ASSERT_TRUE(fake_.wait_until_idle(1));
    fake_.insert("Beta 00");
    EXPECT_EQ(beta.get(), event_arrival);
    EXPECT_EQ(alpha.wait_for(0s), std::future_status::timeout);
    fake_.insert("Alpha 00");
    EXPECT_EQ(alpha.get(), event_arrival);

    // Both end on one cancel.
    alpha = std::async(std::launch::async, [] { return wait_event("Alpha"); });
    beta = std::async(std::launch::async, [] { return wait_event("Beta"); });
    wait_for_waiters(2);
    zervik::cancel_device_wait();
    EXPECT_EQ(alpha.get(), event_ended);
    EXPECT_EQ(beta.get(), event_ended);
}
