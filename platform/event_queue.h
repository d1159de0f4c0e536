// A queue of small integer events between threads: any thread pushes, the
// thread that owns the queue takes them in order, blocking until one comes.
// It stands in for a hidden window and its posted messages.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace platform {

class event_queue {
public:
    // A queue of at most capacity events: a push into a full queue drops
    // the oldest one.
    explicit event_queue(std::size_t capacity = 256) : capacity_(capacity == 0 ? 1 : capacity) {}

    void push(int event);
    // The oldest event; blocks until there is one.
    int pop();
    // Drops every event not taken yet.
    void clear();
    std::size_t size() const;

private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<int> events_;
};

}  // namespace platform
