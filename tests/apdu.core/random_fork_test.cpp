// The random source across fork: a child forked while another thread of the
// parent is drawing still draws (the lock is not left taken in the child),
// and its bytes are not the parent's.
#include <gtest/gtest.h>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "sm/random.h"

using zervik::kas_random;

namespace {

constexpr int forks = 20;
constexpr std::size_t draw = 32;
// Large draws keep the drawing thread inside the lock most of the time.
constexpr std::size_t hammer_draw = 64 * 1024;

// What a child reports through its pipe: its status and its first draw.
struct child_report {
    int status = -1;
    unsigned char bytes[draw] = {};
};

// Runs in the child: one draw, bounded by an alarm so that a child stuck on
// the lock dies instead of hanging the test.
[[noreturn]] void child(int out) {
    alarm(20);
    child_report r;
    r.status = kas_random(nullptr, r.bytes, sizeof r.bytes);
    const ssize_t written = write(out, &r, sizeof r);
    _exit(written == static_cast<ssize_t>(sizeof r) ? 0 : 3);
}

}  // namespace

TEST(random_fork, ChildForkedWhileAnotherThreadDrawsGetsItsOwnBytes) {
    unsigned char warm[draw];
    ASSERT_EQ(kas_random(nullptr, warm, sizeof warm), 0);

    std::atomic<bool> stop{false};
    std::atomic<long> draws{0};
    std::thread hammer([&] {
        std::vector<unsigned char> buffer(hammer_draw);
        while (!stop.load()) {
            if (kas_random(nullptr, buffer.data(), buffer.size()) == 0) ++draws;
        }
    });
    // The drawing thread is under way before the first fork.
    while (draws.load() == 0) std::this_thread::yield();

    for (int i = 0; i < forks; ++i) {
        SCOPED_TRACE(i);
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            close(pipe_ends[0]);
            child(pipe_ends[1]);
        }
        ASSERT_GT(pid, 0);
        close(pipe_ends[1]);
        unsigned char parent_bytes[draw];
        ASSERT_EQ(kas_random(nullptr, parent_bytes, sizeof parent_bytes), 0);

        child_report r;
        const ssize_t got = read(pipe_ends[0], &r, sizeof r);
        close(pipe_ends[0]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "the child did not end by itself (signal "
                                       << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
        EXPECT_EQ(WEXITSTATUS(status), 0);
        ASSERT_EQ(got, static_cast<ssize_t>(sizeof r));
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(std::memcmp(r.bytes, parent_bytes, draw), 0) << "the child repeats the parent";
    }
    stop = true;
    hammer.join();
}
