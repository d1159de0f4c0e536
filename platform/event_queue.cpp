#include "platform/event_queue.h"

namespace platform {

void event_queue::push(int event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (events_.size() >= capacity_) events_.pop_front();
        events_.push_back(event);
    }
    ready_.notify_all();
}

int event_queue::pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !events_.empty(); });
    const int event = events_.front();
    events_.pop_front();
    return event;
}

void event_queue::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

std::size_t event_queue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

}  // namespace platform
