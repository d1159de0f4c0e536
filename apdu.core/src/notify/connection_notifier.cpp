#include "notify/connection_notifier.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace zervik {

using platform::pcsc;
using platform::pcsc_code;
using platform::pcsc_context;
namespace rc = platform::pcsc_rc;

// What the watch thread shares with its owner. The thread keeps it alive,
// so a thread left to end alone never reaches a deleted notifier.
struct CSmartCardConnectionNotifier::watch_state {
    std::shared_ptr<ISmartCardConnectionNotifierRef> callback;
    std::atomic<bool> stop{false};

    std::mutex mutex;  // the fields below
    pcsc_context context = 0;
    bool has_context = false;
    bool silenced = false;         // the owner has finished stopping
    bool ended_on_stop = false;    // notify_ended went out after stop was asked

    void report(std::int32_t type, const char* reader, const std::uint8_t* atr, std::uint32_t atr_length) {
        std::lock_guard<std::mutex> lock(mutex);
        if (silenced || !callback) return;
        if (type == notify_ended && stop.load()) ended_on_stop = true;
        callback->notify(type, reader, nullptr, atr, atr_length);
    }

    void set_context(pcsc_context c) {
        std::lock_guard<std::mutex> lock(mutex);
        context = c;
        has_context = true;
    }

    void release_context() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!has_context) return;
        (void)pcsc().release_context(context);
        has_context = false;
    }

    // Wakes a status-change wait of the thread; a cancel that finds no
    // wait going on is lost, so stop repeats it.
    void cancel() {
        std::lock_guard<std::mutex> lock(mutex);
        if (has_context) (void)pcsc().cancel(context);
    }

    // A pause that ends early once stop is asked.
    void pause(std::uint32_t milliseconds) {
        constexpr std::uint32_t slice = 100;
        for (std::uint32_t done = 0; done < milliseconds && !stop.load(); done += slice)
            platform::sleep_ms(milliseconds - done < slice ? milliseconds - done : slice);
    }
};

namespace {

constexpr std::uint32_t entries = CSmartCardConnectionNotifier::max_readers + 1;
constexpr std::uint32_t infinite_wait = 0xFFFFFFFFu;

// The reader-state array of one context: entry 0 is the PnP entry.
struct reader_states {
    platform::pcsc_reader_state state[entries];
    std::string name[entries];
    std::uint32_t count = 0;

    void clear() {
        for (std::uint32_t i = 0; i < entries; ++i) {
            std::memset(&state[i], 0, sizeof state[i]);
            name[i].clear();
        }
        count = 0;
    }
    void point_names() {
        for (std::uint32_t i = 0; i < count; ++i) state[i].szReader = name[i].c_str();
    }
};

bool service_lost(pcsc_code code) {
    return code == rc::system_cancelled || code == rc::no_service || code == rc::service_stopped;
}

// The reader names of the service, in its order.
pcsc_code list_reader_names(pcsc_context context, std::vector<std::string>& names) {
    names.clear();
    std::vector<char> buffer;
    pcsc_code code = rc::insufficient_buffer;
    for (int attempt = 0; attempt < 3 && code == rc::insufficient_buffer; ++attempt) {
        std::uint32_t length = 0;
        code = pcsc().list_readers(context, nullptr, &length);
        if (code != 0) break;
        buffer.assign(length + 1u, '\0');
        code = pcsc().list_readers(context, buffer.data(), &length);
        if (code == 0 && length > buffer.size() - 1) code = rc::insufficient_buffer;
    }
    if (code == rc::no_readers) return 0;
    if (code != 0) return code;
    for (const char* at = buffer.data(); *at != '\0' && at < buffer.data() + buffer.size(); at += std::strlen(at) + 1)
        names.emplace_back(at);
    return 0;
}

// Brings the entries in step with the service's readers: readers that went
// are dropped (the last entry fills the gap), new ones appended unaware,
// as long as there is room.
pcsc_code update_reader_states(pcsc_context context, reader_states& rs) {
    if (rs.count == 0) {
        rs.clear();
        rs.name[0] = platform::pnp_notification_reader;
        rs.count = 1;
        rs.point_names();
    }
    std::vector<std::string> listed;
    const pcsc_code code = list_reader_names(context, listed);
    if (code != 0) return code;

    for (std::uint32_t i = 1; i < rs.count;) {
        bool still_listed = false;
        for (const std::string& n : listed) still_listed = still_listed || n == rs.name[i];
        if (still_listed) {
            ++i;
            continue;
        }
        const std::uint32_t last = rs.count - 1;
        if (i != last) {
            rs.name[i] = std::move(rs.name[last]);
            rs.state[i] = rs.state[last];
        }
        rs.name[last].clear();
        std::memset(&rs.state[last], 0, sizeof rs.state[last]);
        --rs.count;
    }
    for (const std::string& n : listed) {
        if (rs.count == entries) break;
        bool watched = false;
        for (std::uint32_t i = 1; i < rs.count; ++i) watched = watched || rs.name[i] == n;
        if (watched) continue;
        std::memset(&rs.state[rs.count], 0, sizeof rs.state[rs.count]);
        rs.name[rs.count] = n;
        ++rs.count;
    }
    rs.point_names();
    return 0;
}

void report_changes(CSmartCardConnectionNotifier::watch_state& s, reader_states& rs) {
    for (std::uint32_t i = 0; i < rs.count; ++i) {
        platform::pcsc_reader_state& e = rs.state[i];
        const auto event = e.dwEventState;
        const auto current = e.dwCurrentState;
        if ((event & SCARD_STATE_CHANGED) != 0) {
            const std::uint32_t atr_length =
                e.cbAtr <= sizeof e.rgbAtr ? static_cast<std::uint32_t>(e.cbAtr) : sizeof e.rgbAtr;
            const bool now_present = (event & SCARD_STATE_PRESENT) != 0;
            const bool was_present = (current & SCARD_STATE_PRESENT) != 0;
            if (now_present && !was_present) s.report(notify_arrival, rs.name[i].c_str(), e.rgbAtr, atr_length);
            if (!now_present && was_present) s.report(notify_removal, rs.name[i].c_str(), e.rgbAtr, atr_length);
        }
        e.dwCurrentState = event;
    }
}

// One watch cycle: a context, then status-change waits until the stop flag,
// a cancel or a failure. The service going away ends the wait with
// removals for the readers that had a card, then watching goes on with a
// new context; any other end is reported as notify_ended.
pcsc_code watch(CSmartCardConnectionNotifier::watch_state& s) {
    pcsc_context context = 0;
    pcsc_code code = pcsc().establish_context(&context);
    if (code != 0) return code;
    s.set_context(context);

    for (;;) {
        reader_states rs;
        code = update_reader_states(context, rs);
        if (code != 0) {
            s.release_context();
            return code;
        }
        std::uint32_t timeout = CSmartCardConnectionNotifier::first_wait_ms;
        for (;;) {
            if (s.stop.load()) {
                code = 0;
                break;
            }
            code = pcsc().get_status_change(context, timeout, rs.state, rs.count);
            timeout = infinite_wait;
            if (code == rc::timeout) continue;
            if (code != 0) break;
            report_changes(s, rs);
            code = update_reader_states(context, rs);
            if (code != 0) {
                s.release_context();
                return code;
            }
        }
        const bool lost = service_lost(code);
        if (lost) {
            for (std::uint32_t i = 1; i < rs.count; ++i) {
                const platform::pcsc_reader_state& e = rs.state[i];
                if ((e.dwCurrentState & SCARD_STATE_PRESENT) == 0) continue;
                const std::uint32_t atr_length =
                    e.cbAtr <= sizeof e.rgbAtr ? static_cast<std::uint32_t>(e.cbAtr) : sizeof e.rgbAtr;
                s.report(notify_removal, rs.name[i].c_str(), e.rgbAtr, atr_length);
            }
        }
        s.release_context();
        if (!lost || s.stop.load()) break;
        s.pause(CSmartCardConnectionNotifier::retry_pause_ms);
        if (s.stop.load()) break;
        code = pcsc().establish_context(&context);
        if (code != 0) return code;
        s.set_context(context);
    }
    s.report(notify_ended, "", nullptr, 0);
    return code;
}

void thread_routine(const std::shared_ptr<CSmartCardConnectionNotifier::watch_state>& s) {
    while (!s->stop.load()) {
        (void)watch(*s);
        s->pause(CSmartCardConnectionNotifier::retry_pause_ms);
    }
}

}  // namespace

CSmartCardConnectionNotifier::CSmartCardConnectionNotifier(std::shared_ptr<ISmartCardConnectionNotifierRef> callback)
    : callback_(std::move(callback)) {}

CSmartCardConnectionNotifier::~CSmartCardConnectionNotifier() {
    if (thread_.attached()) (void)stop();
}

std::int32_t CSmartCardConnectionNotifier::start() {
    if (!callback_) return notifier_failed;
    if (thread_.attached()) {
        if (thread_.running() || !thread_.join_for(stop_bound_ms)) return notifier_failed;
    }
    auto s = std::make_shared<watch_state>();
    s->callback = callback_;
    if (!thread_.start([s] { thread_routine(s); }, at_end_)) return notifier_failed;
    state_ = std::move(s);
    return 0;
}

bool CSmartCardConnectionNotifier::running() const { return thread_.attached() && thread_.running(); }

std::int32_t CSmartCardConnectionNotifier::stop() { return stop(wait_kind::bounded); }

std::int32_t CSmartCardConnectionNotifier::stop_without_wait() { return stop(wait_kind::none); }

std::int32_t CSmartCardConnectionNotifier::stop_until_ended() { return stop(wait_kind::until_ended); }

std::int32_t CSmartCardConnectionNotifier::stop(wait_kind wait) {
    if (state_) state_->stop = true;
    if (!thread_.attached() || !state_) return notifier_failed;

    bool ended = false;
    if (wait != wait_kind::none && !thread_.is_current()) {
        // A cancel that finds no wait going on is lost: repeat it.
        constexpr std::uint32_t step = 100;
        for (std::uint32_t waited = 0; !ended && (wait == wait_kind::until_ended || waited < stop_bound_ms);
             waited += step) {
            state_->cancel();
            ended = thread_.join_for(step);
        }
    } else {
        state_->cancel();
    }
    if (!ended) thread_.detach();

    bool report_end;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->silenced = true;
        report_end = !state_->ended_on_stop;
    }
    if (report_end) callback_->notify(notify_ended, "", nullptr, nullptr, 0);
    state_.reset();
    return 0;
}

}  // namespace zervik
