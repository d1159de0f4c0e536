// The device-event wait: a caller blocks until a card arrives in or leaves
// a reader whose name contains its pattern, or until watching ends. One
// watch thread (CSmartCardConnectionNotifier) serves the library; its
// reports reach each waiting thread's own event queue.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "notify/connection_notifier.h"
#include "platform/event_queue.h"

namespace zervik {

// Events the wait returns.
constexpr std::int32_t event_arrival = 1;
constexpr std::int32_t event_removal = 2;
constexpr std::int32_t event_ended = 3;

// Splits spec at commas (empty tokens skipped): the first token becomes the
// pattern, whole; with no token the pattern is left as it was. A null spec
// is an empty one. 0 for two tokens or more, 2 for one, 1 for none.
std::int32_t parse_event_spec(const char* spec, std::string& pattern);

// The notifier's callback: each thread that waits has a queue of its own,
// kept from its first wait until a wait of it returns event_ended. Arrivals
// and removals go to the queues whose pattern is part of the reader name,
// the end of watching to every queue.
class CSmartCardConnectionNotifierTest : public ISmartCardConnectionNotifierRef {
public:
    struct waiter {
        std::uint64_t id = 0;
        std::string pattern;  // under the callback's mutex
        platform::event_queue queue{64};
    };

    void notify(std::int32_t type, const char* reader, const char* cards, const std::uint8_t* atr,
                std::uint32_t atr_length) override;

    // The calling thread's queue (made on its first wait) with the pattern
    // taken from spec; counts the thread as waiting. Null when out of memory.
    std::shared_ptr<waiter> enter(const char* spec);
    // Ends the calling thread's wait; drop_queue removes its queue.
    void leave(const std::shared_ptr<waiter>& w, bool drop_queue);
    // Ends every wait with event_ended, then waits up to milliseconds for
    // the waiting threads to leave: true when none is left.
    bool end_all_waits(std::uint32_t milliseconds);

    // The pattern the last spec with a token gave.
    std::string pattern() const;
    // The calling thread has a queue (it waited, and no wait of it ended).
    bool has_own_queue() const;
    // Threads inside a wait now.
    std::uint32_t waiting() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable left_;
    std::vector<std::shared_ptr<waiter>> waiters_;
    std::string pattern_;
    std::uint64_t next_id_ = 1;
    std::uint32_t inside_ = 0;
};

// The library's callback object.
std::shared_ptr<CSmartCardConnectionNotifierTest> device_event_callback();

// Blocks until the next event for the calling thread: 0 with *event set to
// event_arrival, event_removal or event_ended (first set to 0); 1 when no
// queue can be made or event is null. Starts the watch thread when none
// runs.
std::int32_t wait_device_event(const char* spec, std::int32_t* event);

// Stops and deletes the notifier when there is one; pending waits end with
// event_ended. Always 0.
std::int32_t cancel_device_wait();

// For the DLL entry point: the library is being unloaded under the loader
// lock (nothing may wait for a thread then), or the process is ending
// (the other threads are gone: nothing is touched then).
void note_loader_detach(bool process_exit);

}  // namespace zervik
