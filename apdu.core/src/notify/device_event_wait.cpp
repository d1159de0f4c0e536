#include "notify/device_event_wait.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>

namespace zervik {

std::int32_t parse_event_spec(const char* spec, std::string& pattern) {
    if (spec == nullptr) spec = "";
    std::vector<std::string> tokens;
    const char* at = spec;
    while (*at != '\0') {
        const char* end = std::strchr(at, ',');
        if (end == nullptr) end = at + std::strlen(at);
        if (end != at) tokens.emplace_back(at, end);
        at = *end == ',' ? end + 1 : end;
    }
    if (tokens.empty()) return 1;
    pattern = tokens.front();
    return tokens.size() >= 2 ? 0 : 2;
}

namespace {

// The queue of the calling thread, by its id in the callback's list (0:
// none). A plain value, so that a thread that waited never holds the
// library in memory after an unload.
thread_local std::uint64_t own_queue_id = 0;

std::int32_t event_for(std::int32_t type) {
    switch (type) {
    case notify_arrival:
        return event_arrival;
    case notify_removal:
        return event_removal;
    case notify_ended:
        return event_ended;
    default:
        return 0;
    }
}

}  // namespace

void CSmartCardConnectionNotifierTest::notify(std::int32_t type, const char* reader, const char* cards,
                                              const std::uint8_t* atr, std::uint32_t atr_length) {
    (void)cards;
    (void)atr;
    (void)atr_length;
    const std::int32_t event = event_for(type);
    if (event == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& w : waiters_) {
        const bool matches = event == event_ended || (reader != nullptr && std::strstr(reader, w->pattern.c_str()) != nullptr);
        if (matches) w->queue.push(event);
    }
}

std::shared_ptr<CSmartCardConnectionNotifierTest::waiter> CSmartCardConnectionNotifierTest::enter(const char* spec) {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        (void)parse_event_spec(spec, pattern_);
        std::shared_ptr<waiter> w;
        for (const auto& candidate : waiters_)
            if (candidate->id == own_queue_id) w = candidate;
        if (!w) {
            w = std::make_shared<waiter>();
            w->id = next_id_++;
            waiters_.push_back(w);
            own_queue_id = w->id;
        }
        w->pattern = pattern_;
        ++inside_;
        return w;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void CSmartCardConnectionNotifierTest::leave(const std::shared_ptr<waiter>& w, bool drop_queue) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (drop_queue) {
        waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), w), waiters_.end());
        w->queue.clear();
        if (own_queue_id == w->id) own_queue_id = 0;
    }
    --inside_;
    left_.notify_all();
}

bool CSmartCardConnectionNotifierTest::end_all_waits(std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (const auto& w : waiters_) w->queue.push(event_ended);
    return left_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return inside_ == 0; });
}

std::string CSmartCardConnectionNotifierTest::pattern() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pattern_;
}

bool CSmartCardConnectionNotifierTest::has_own_queue() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& w : waiters_)
        if (w->id == own_queue_id) return true;
    return false;
}

std::uint32_t CSmartCardConnectionNotifierTest::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inside_;
}

namespace {

constexpr std::uint32_t after_event_pause_ms = 100;
constexpr std::uint32_t unload_bound_ms = 2000;

std::atomic<bool> loader_detaching{false};
std::atomic<bool> process_exiting{false};

struct event_globals {
    std::mutex mutex;  // the notifier pointer
    std::unique_ptr<CSmartCardConnectionNotifier> notifier;
    const std::shared_ptr<CSmartCardConnectionNotifierTest> callback =
        std::make_shared<CSmartCardConnectionNotifierTest>();
};

// Stops watching when the library goes: the watch thread is stopped (not
// waited for under the Windows loader lock), pending waits end with
// event_ended and are given a bounded time to leave the library.
class globals_holder {
public:
    event_globals* const globals = new event_globals;

    ~globals_holder() {
        // The other threads of an ending Windows process are gone, maybe in
        // the middle of a lock: touch nothing.
        if (process_exiting.load()) return;
        const bool may_wait = !loader_detaching.load();
        {
            std::lock_guard<std::mutex> lock(globals->mutex);
            if (globals->notifier) {
                if (may_wait)
                    (void)globals->notifier->stop();
                else
                    (void)globals->notifier->stop_without_wait();
                globals->notifier.reset();
            }
        }
        (void)globals->callback->end_all_waits(may_wait ? unload_bound_ms : 0);
        // Waits still leaving hold the callback themselves.
        delete globals;
    }
};

event_globals& globals() {
    static globals_holder holder;
    return *holder.globals;
}

// Starts the watch thread unless it runs: whether one runs.
bool ensure_watching(event_globals& g) {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!g.notifier) g.notifier.reset(new CSmartCardConnectionNotifier(g.callback));
    if (!g.notifier->running()) (void)g.notifier->start();
    return g.notifier->running();
}

}  // namespace

std::shared_ptr<CSmartCardConnectionNotifierTest> device_event_callback() { return globals().callback; }

std::int32_t wait_device_event(const char* spec, std::int32_t* event) {
    if (event == nullptr) return 1;
    *event = 0;
    event_globals& g = globals();
    const std::shared_ptr<CSmartCardConnectionNotifierTest> callback = g.callback;
    const std::shared_ptr<CSmartCardConnectionNotifierTest::waiter> w = callback->enter(spec);
    if (!w) return 1;
    std::int32_t got = event_ended;
    try {
        if (ensure_watching(g)) got = w->queue.pop();
    } catch (...) {
        got = event_ended;
    }
    platform::sleep_ms(after_event_pause_ms);
    callback->leave(w, got == event_ended);
    *event = got;
    return 0;
}

std::int32_t cancel_device_wait() {
    event_globals& g = globals();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.notifier) {
        (void)g.notifier->stop();
        g.notifier.reset();
    }
    return 0;
}

void note_loader_detach(bool process_exit) {
    loader_detaching = true;
    if (process_exit) process_exiting = true;
}

}  // namespace zervik
