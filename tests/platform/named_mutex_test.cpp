#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/named_mutex.h"
#include "support/child_process.h"

using platform::lock_result;
using platform::named_mutex;
using platform::wait_forever;
using test_support::child_process;

namespace {

// A name of this test run, so that runs side by side do not meet.
std::string unique_name(const std::string& what) {
    static const std::string run = std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    return "Global\\solvanta-test-" + what + "-" + run;
}

// The result of one lock attempt of a thread of its own, with its own object.
lock_result try_on_other_thread(const std::string& name, std::uint32_t ms) {
    return std::async(std::launch::async, [&] {
               named_mutex m;
               if (m.open(name.c_str()) != 0) return lock_result::failed;
               const lock_result r = m.lock(ms);
               if (r == lock_result::acquired) m.unlock();
               return r;
           })
        .get();
}

void expect_locked(child_process& child) {
    ASSERT_TRUE(child.started());
    std::string line;
    ASSERT_TRUE(child.next_line(line, test_support::child_answer_time));
    ASSERT_EQ(line, "locked");
}

}  // namespace

TEST(NamedMutex, WaitCodesAbandonedCountsAsAcquired) {
    struct {
        std::uint32_t code;
        lock_result expected;
    } const cases[] = {
        {0x0, lock_result::acquired},    {0x80, lock_result::acquired},  {0x102, lock_result::timed_out},
        {0xFFFFFFFF, lock_result::failed}, {0x1, lock_result::failed},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::classify_wait(c.code), c.expected) << std::hex << c.code;
}

TEST(NamedMutex, LongNamesAreHashedNeverCut) {
    const std::string short_name = "Global\\Solvanta Token 00 00";
    EXPECT_EQ(platform::bounded_object_name(short_name, platform::max_object_name), short_name);

    const std::string base = "Global\\" + std::string(300, 'R');
    const std::string a = platform::bounded_object_name(base + "A", platform::max_object_name);
    const std::string b = platform::bounded_object_name(base + "B", platform::max_object_name);
    EXPECT_EQ(a.size(), platform::max_object_name);
    EXPECT_EQ(b.size(), platform::max_object_name);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.compare(0, 7, "Global\\"), 0);
    EXPECT_EQ(a, platform::bounded_object_name(base + "A", platform::max_object_name));
}

TEST(NamedMutex, OpenRefusesAnEmptyNameAndLockNeedsAnOpenMutex) {
    named_mutex m;
    EXPECT_EQ(m.lock(0), lock_result::failed);
    EXPECT_EQ(m.open(nullptr), 3);
    EXPECT_EQ(m.open(""), 3);
    EXPECT_FALSE(m.is_open());
    EXPECT_FALSE(m.unlock());
    ASSERT_EQ(m.open(unique_name("open").c_str()), 0);
    EXPECT_EQ(m.open(unique_name("open").c_str()), 0);
    EXPECT_TRUE(m.is_open());
}

TEST(NamedMutex, ThreadsOfOneProcessExcludeEachOther) {
    const std::string name = unique_name("threads");
    constexpr int threads = 4;
    constexpr int rounds = 200;
    long counter = 0;  // guarded only by the named mutex
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            named_mutex m;
            ASSERT_EQ(m.open(name.c_str()), 0);
            for (int i = 0; i < rounds; ++i) {
                ASSERT_EQ(m.lock(wait_forever), lock_result::acquired);
                if (inside.fetch_add(1) != 0) overlap = true;
                ++counter;
                inside.fetch_sub(1);
                ASSERT_TRUE(m.unlock());
            }
        });
    }
    for (auto& t : pool) t.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(counter, threads * rounds);
}

TEST(NamedMutex, HeldByOneThreadTheOtherTimesOutThenAcquires) {
    const std::string name = unique_name("timeout");
    named_mutex m;
    ASSERT_EQ(m.open(name.c_str()), 0);
    ASSERT_EQ(m.lock(wait_forever), lock_result::acquired);
    EXPECT_EQ(try_on_other_thread(name, 0), lock_result::timed_out);
    EXPECT_EQ(try_on_other_thread(name, 50), lock_result::timed_out);

    std::promise<void> released;
    auto waiter = std::async(std::launch::async, [&] {
        named_mutex other;
        other.open(name.c_str());
        const lock_result r = other.lock(wait_forever);
        released.get_future().wait();  // only after the unlock below
        return r;
    });
    ASSERT_TRUE(m.unlock());
    released.set_value();
    EXPECT_EQ(waiter.get(), lock_result::acquired);
}

TEST(NamedMutex, RecursiveForItsOwnerAndReleasedOnlyByIt) {
    const std::string name = unique_name("recursive");
    named_mutex m;
    ASSERT_EQ(m.open(name.c_str()), 0);
    ASSERT_EQ(m.lock(0), lock_result::acquired);
    ASSERT_EQ(m.lock(0), lock_result::acquired);
    EXPECT_EQ(m.holds(), 2);

    // Another thread cannot release it through the same object.
    EXPECT_FALSE(std::async(std::launch::async, [&] { return m.unlock(); }).get());
    EXPECT_EQ(m.holds(), 2);

    ASSERT_TRUE(m.unlock());
    EXPECT_EQ(try_on_other_thread(name, 0), lock_result::timed_out);
    ASSERT_TRUE(m.unlock());
    EXPECT_FALSE(m.unlock());
    EXPECT_EQ(try_on_other_thread(name, 0), lock_result::acquired);
}

TEST(NamedMutex, CloseReleasesTheOwnersHolds) {
    const std::string name = unique_name("close");
    named_mutex m;
    ASSERT_EQ(m.open(name.c_str()), 0);
    ASSERT_EQ(m.lock(0), lock_result::acquired);
    ASSERT_EQ(m.lock(0), lock_result::acquired);
    m.close();
    EXPECT_FALSE(m.is_open());
    EXPECT_EQ(m.holds(), 0);
    EXPECT_EQ(try_on_other_thread(name, 0), lock_result::acquired);
}

TEST(NamedMutex, LongReaderNamesWithACommonPrefixAreDistinctMutexes) {
    const std::string prefix = unique_name("long") + std::string(240, 'x');
    for (const std::size_t extra : {std::size_t{0}, std::size_t{60}}) {
        const std::string a = prefix + std::string(extra, 'y') + "A";
        const std::string b = prefix + std::string(extra, 'y') + "B";
        named_mutex ma;
        ASSERT_EQ(ma.open(a.c_str()), 0);
        ASSERT_EQ(ma.lock(0), lock_result::acquired);
        EXPECT_EQ(try_on_other_thread(b, 0), lock_result::acquired) << a.size();
        EXPECT_EQ(try_on_other_thread(a, 0), lock_result::timed_out) << a.size();
    }
}

TEST(NamedMutex, SecondProcessTimesOutWhileTheFirstHoldsIt) {
    const std::string name = unique_name("process");
    child_process holder(test_support::program_beside_me("mutex_holder"), {name});
    expect_locked(holder);

    named_mutex m;
    ASSERT_EQ(m.open(name.c_str()), 0);
    EXPECT_EQ(m.lock(0), lock_result::timed_out);
    EXPECT_EQ(m.lock(100), lock_result::timed_out);
    EXPECT_EQ(m.holds(), 0);

    ASSERT_TRUE(holder.write_line("unlock"));
    std::string line;
    ASSERT_TRUE(holder.next_line(line, test_support::child_answer_time));
    EXPECT_EQ(line, "unlocked");
    EXPECT_EQ(m.lock(10000), lock_result::acquired);
    EXPECT_EQ(m.holds(), 1);
    ASSERT_TRUE(m.unlock());
    holder.write_line("exit");
    EXPECT_EQ(holder.wait_exit(), 0);
}

TEST(NamedMutex, AKilledHolderPassesTheMutexToTheNextWaiterOnce) {
    const std::string name = unique_name("killed");
    child_process holder(test_support::program_beside_me("mutex_holder"), {name});
    expect_locked(holder);

    named_mutex m;
    ASSERT_EQ(m.open(name.c_str()), 0);
    EXPECT_EQ(m.lock(0), lock_result::timed_out);
    std::thread killer([&] {
        holder.kill();
        holder.wait_exit();
    });
    const lock_result r = m.lock(30000);
    killer.join();
    ASSERT_EQ(r, lock_result::acquired);
    EXPECT_EQ(m.holds(), 1);
    EXPECT_EQ(try_on_other_thread(name, 0), lock_result::timed_out);
    // Taken exactly once: one release frees it for everyone.
    ASSERT_TRUE(m.unlock());
    EXPECT_FALSE(m.unlock());
    EXPECT_EQ(try_on_other_thread(name, 0), lock_result::acquired);
}

#ifndef _WIN32
TEST(NamedMutex, AForkedChildDoesNotShareItsParentsHold) {
    const std::string name = unique_name("fork");
    named_mutex m;
    ASSERT_EQ(m.open(name.c_str()), 0);
    ASSERT_EQ(m.lock(0), lock_result::acquired);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Inherited objects are closed here; a fresh one meets the parent's hold.
        int code = m.is_open() ? 10 : 0;
        named_mutex fresh;
        if (fresh.open(name.c_str()) != 0) code = 11;
        if (fresh.lock(0) != lock_result::timed_out) code = 12;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(m.unlock());
}
#endif
