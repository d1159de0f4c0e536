// The device's cross-process lock: "Global\" + reader name, held by one
// thread at a time in every process.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/named_mutex.h"
#include "support/child_process.h"
#include "transport/device_base.h"

using test_support::child_process;
using zervik::lock_done;
using zervik::lock_not_open;
using zervik::lock_timed_out;

namespace {

class named_device : public zervik::device_base {
public:
    explicit named_device(std::string name) : name_(std::move(name)) {}
    const char* name() const override { return name_.c_str(); }

private:
    std::string name_;
};

std::string reader(const std::string& what) {
    static const std::string run = std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    return "Solvanta Token " + what + " " + run;
}

// One lock attempt of a device of that reader on a thread of its own.
std::int32_t lock_elsewhere(const std::string& name, std::uint32_t ms) {
    return std::async(std::launch::async, [&] {
               named_device other(name);
               const std::int32_t r = other.lock(ms);
               other.unlock();
               return r;
           })
        .get();
}

}  // namespace

TEST(DeviceLock, LockTwiceThenOneUnlockReleasesEverythingAndCloses) {
    named_device d(reader("twice"));
    ASSERT_EQ(d.lock(0), lock_done);
    ASSERT_EQ(d.lock(0), lock_done);
    EXPECT_EQ(d.locker().holds(), 2);
    EXPECT_EQ(lock_elsewhere(d.name(), 0), lock_timed_out);
    EXPECT_EQ(d.unlock(), 0);
    EXPECT_EQ(d.locker().holds(), 0);
    EXPECT_FALSE(d.locker().is_open());
    EXPECT_EQ(lock_elsewhere(d.name(), 0), lock_done);
}

TEST(DeviceLock, UnlockWithoutLockDoesNothing) {
    named_device d(reader("unlock"));
    EXPECT_EQ(d.unlock(), 0);
    EXPECT_FALSE(d.locker().is_open());
    ASSERT_EQ(d.lock(0), lock_done);
    EXPECT_EQ(d.unlock(), 0);
    EXPECT_EQ(d.unlock(), 0);
}

TEST(DeviceLock, ADeviceWithoutANameCannotLock) {
    zervik::device_base nameless;
    EXPECT_EQ(nameless.lock(0), lock_not_open);
    EXPECT_EQ(nameless.locker().holds(), 0);
}

TEST(DeviceLock, DevicesOfOneReaderOnTwoThreadsExcludeEachOther) {
    const std::string name = reader("threads");
    named_device mine(name);
    ASSERT_EQ(mine.lock(platform::wait_forever), lock_done);

    named_device theirs(name);
    auto attempt = std::async(std::launch::async, [&] {
        const std::int32_t first = theirs.lock(50);
        const std::int32_t holds_after_timeout = theirs.locker().holds();
        return std::make_pair(first, holds_after_timeout);
    });
    const auto r = attempt.get();
    EXPECT_EQ(r.first, lock_timed_out);
    EXPECT_EQ(r.second, 0);

    auto waiting = std::async(std::launch::async, [&] {
        const std::int32_t code = theirs.lock(platform::wait_forever);
        theirs.unlock();
        return code;
    });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_EQ(mine.unlock(), 0);
    EXPECT_EQ(waiting.get(), lock_done);
}

TEST(DeviceLock, OnlyTheHoldingThreadCanUnlock) {
    named_device d(reader("owner"));
    ASSERT_EQ(d.lock(0), lock_done);
    EXPECT_EQ(std::async(std::launch::async, [&] { return d.unlock(); }).get(), 2);
    EXPECT_EQ(d.locker().holds(), 1);
    EXPECT_EQ(lock_elsewhere(d.name(), 0), lock_timed_out);
    EXPECT_EQ(d.unlock(), 0);
    EXPECT_EQ(lock_elsewhere(d.name(), 0), lock_done);
}

TEST(DeviceLock, ADeletedDeviceReleasesItsHolds) {
    const std::string name = reader("deleted");
    {
        named_device d(name);
        ASSERT_EQ(d.lock(0), lock_done);
        ASSERT_EQ(d.lock(0), lock_done);
    }
    EXPECT_EQ(lock_elsewhere(name, 0), lock_done);
}

TEST(DeviceLock, LongReaderNamesWithACommonPrefixDoNotShareALock) {
    const std::string prefix = reader("long") + std::string(200, 'x');
    named_device a(prefix + std::string(255 - prefix.size() - 1, 'y') + "A");
    const std::string b = prefix + std::string(255 - prefix.size() - 1, 'y') + "B";
    ASSERT_EQ(std::string(a.name()).size(), 255u);
    ASSERT_EQ(a.lock(0), lock_done);
    EXPECT_EQ(lock_elsewhere(b, 0), lock_done);
    EXPECT_EQ(lock_elsewhere(a.name(), 0), lock_timed_out);
    EXPECT_EQ(a.unlock(), 0);
}

TEST(DeviceLock, AnotherProcessHoldingTheReaderGivesTheTimeOutThenDiesAndPassesIt) {
    named_device d(reader("process"));
    child_process holder(test_support::program_beside_me("../platform/mutex_holder"),
                         {std::string("Global\\") + d.name()});
    ASSERT_TRUE(holder.started());
    std::string line;
    ASSERT_TRUE(holder.next_line(line, test_support::child_answer_time));
    ASSERT_EQ(line, "locked");

    EXPECT_EQ(d.lock(100), lock_timed_out);
    EXPECT_EQ(d.locker().holds(), 0);
    holder.kill();
    holder.wait_exit();
    EXPECT_EQ(d.lock(30000), lock_done);
    EXPECT_EQ(d.locker().holds(), 1);
    EXPECT_EQ(d.unlock(), 0);
    EXPECT_EQ(lock_elsewhere(d.name(), 0), lock_done);
}
