#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/event_queue.h"
#include "platform/worker_thread.h"

namespace {

// A one-way gate a test opens for a thread it started.
struct gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;

    void release() {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return open; });
    }
};

}  // namespace

TEST(EventQueue, EventsComeInOrderAndAFullQueueDropsTheOldest) {
    platform::event_queue q(3);
    for (int e : {1, 2, 3, 4}) q.push(e);
    EXPECT_EQ(q.size(), 3u);
    EXPECT_EQ(q.pop(), 2);
    EXPECT_EQ(q.pop(), 3);
    EXPECT_EQ(q.pop(), 4);
    q.push(7);
    q.clear();
    EXPECT_EQ(q.size(), 0u);
}

TEST(EventQueue, PopBlocksUntilAnotherThreadPushes) {
    platform::event_queue q;
    platform::worker_thread producer;
    gate go;
    ASSERT_TRUE(producer.start([&] {
        go.pass();
        q.push(5);
    }));
    go.release();
    EXPECT_EQ(q.pop(), 5);
    EXPECT_TRUE(producer.join_for(10000));
}

TEST(WorkerThread, JoinsAFinishedThreadAndCanStartAgain) {
    platform::worker_thread t;
    std::atomic<bool> on_itself{false};
    ASSERT_TRUE(t.start([&] { on_itself = t.is_current(); }));
    EXPECT_FALSE(t.start([] {}));  // still attached
    EXPECT_TRUE(t.join_for(10000));
    EXPECT_TRUE(on_itself.load());
    EXPECT_FALSE(t.attached());
    EXPECT_FALSE(t.is_current());
    ASSERT_TRUE(t.start([] {}));
    EXPECT_TRUE(t.join_for(10000));
}

TEST(WorkerThread, AThreadThatOutlivesTheBoundIsLeftAliveWithItsState) {
    auto go = std::make_shared<gate>();
    auto finished = std::make_shared<gate>();
    auto result = std::make_shared<int>(0);
    {
        platform::worker_thread t;
        ASSERT_TRUE(t.start([go, finished, result] {
            go->pass();
            *result = 42;
            finished->release();
        }));
        EXPECT_TRUE(t.running());
        EXPECT_FALSE(t.join_for(20));
        EXPECT_TRUE(t.attached());
        t.detach();
        EXPECT_FALSE(t.attached());
    }
    // The object is gone; the thread still runs on what it holds.
    go->release();
    finished->pass();
    EXPECT_EQ(*result, 42);
}
