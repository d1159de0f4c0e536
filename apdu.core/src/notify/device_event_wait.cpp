#include "notify/device_event_wait.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

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

void CSmartCardConnectionNotifierTest::arrive() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++inside_;
}

void CSmartCardConnectionNotifierTest::depart() {
    std::lock_guard<std::mutex> lock(mutex_);
    --inside_;
    left_.notify_all();
}

namespace {

void let_leaving_threads_return() {
    std::this_thread::sleep_for(std::chrono::milliseconds(CSmartCardConnectionNotifierTest::leaving_grace_ms));
}

}  // namespace

bool CSmartCardConnectionNotifierTest::end_all_waits(std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (const auto& w : waiters_) w->queue.push(event_ended);
    return left_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return inside_ == 0; });
}

std::uint64_t CSmartCardConnectionNotifierTest::watch_started() {
    std::lock_guard<std::mutex> lock(mutex_);
    left_.notify_all();
    return ++watch_;
}

void CSmartCardConnectionNotifierTest::linger(std::uint64_t watch, std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool anyone_inside = inside_ != 0;
    left_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                   [&] { return inside_ == 0 || watch_ != watch; });
    lock.unlock();
    if (anyone_inside) let_leaving_threads_return();
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
// Below CSmartCardConnectionNotifier::stop_bound_ms, so that a stopped
// thread is joined even when a waiter lingers.
constexpr std::uint32_t linger_bound_ms = 1500;

std::atomic<bool> loader_detaching{false};
std::atomic<bool> process_exiting{false};

struct event_globals {
    std::mutex mutex;  // the fields below
    std::condition_variable cancelled;
    std::unique_ptr<CSmartCardConnectionNotifier> notifier;
    std::uint32_t cancelling = 0;  // cancels stopping a notifier now
    bool closing = false;          // the library is going: no new watch thread
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
        // Woken waits leave the library only after the watch thread is gone.
        const bool waits_inside = globals->callback->waiting() != 0;
        std::unique_ptr<CSmartCardConnectionNotifier> notifier;
        {
            std::lock_guard<std::mutex> lock(globals->mutex);
            globals->closing = true;
            notifier = std::move(globals->notifier);
        }
        if (notifier) {
            if (!may_wait)
                (void)notifier->stop_without_wait();
            else if (platform::worker_thread::holds_module)
                (void)notifier->stop();
            else
                // Nothing keeps this library's code mapped for a thread
                // left running once the unload has finished.
                (void)notifier->stop_until_ended();
            notifier.reset();
        }
        const bool all_left = globals->callback->end_all_waits(may_wait ? unload_bound_ms : 0);
        if (may_wait && waits_inside && all_left) let_leaving_threads_return();
        // Waits still leaving hold the callback themselves.
        delete globals;
    }
};

event_globals& globals() {
    static globals_holder holder;
    return *holder.globals;
}

// The next event of a wait's queue: one kept there, or the next one once
// the watch thread runs. A cancel going on is let finish first, so that
// the end it leaves is taken rather than a new watch thread started for a
// wait that is over (that thread would report a present card to nobody).
std::int32_t next_event(event_globals& g, CSmartCardConnectionNotifierTest::waiter& w) {
    std::int32_t got = event_ended;
    {
        std::unique_lock<std::mutex> lock(g.mutex);
        g.cancelled.wait(lock, [&g] { return g.cancelling == 0; });
        if (w.queue.try_pop(got)) return got;
        if (g.closing) return event_ended;
        if (!g.notifier) g.notifier.reset(new CSmartCardConnectionNotifier(g.callback));
        if (!g.notifier->running()) {
            const std::shared_ptr<CSmartCardConnectionNotifierTest> callback = g.callback;
            const std::uint64_t watch = callback->watch_started();
            // Where the thread holds the module it may hold the last
            // reference: it stays until the threads inside have left.
            if (platform::worker_thread::holds_module)
                g.notifier->set_thread_end([callback, watch] { callback->linger(watch, linger_bound_ms); });
            (void)g.notifier->start();
        }
        if (!g.notifier->running()) return event_ended;
    }
    return w.queue.pop();
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
        got = next_event(g, *w);
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
    // Where the watch thread holds the module, it may hold its last
    // reference: it then stays until this thread has left the library.
    const std::shared_ptr<CSmartCardConnectionNotifierTest> callback = g.callback;
    constexpr bool counted = platform::worker_thread::holds_module;
    if (counted) callback->arrive();
    std::unique_ptr<CSmartCardConnectionNotifier> notifier;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        notifier = std::move(g.notifier);
        if (notifier) ++g.cancelling;
    }
    if (notifier) {
        // Stopped outside the lock, so that a later cancel or the unload
        // need not wait for this one.
        (void)notifier->stop();
        notifier.reset();
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            --g.cancelling;
        }
        g.cancelled.notify_all();
    }
    if (counted) callback->depart();
    return 0;
}

void note_loader_detach(bool process_exit) {
    loader_detaching = true;
    if (process_exit) process_exiting = true;
}

}  // namespace zervik
