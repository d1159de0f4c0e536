// A PC/SC service in memory for the notifier tests: readers with or without
// a card, status-change waits that block until something changes, the
// wait is cancelled (a cancel that finds no wait going on is lost, as with
// pcsc-lite) or the service goes away, and counts of every call. Nothing
// reaches the system's service.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/pcsc_api.h"

namespace test_support {

class fake_card_service : public platform::pcsc_api {
public:
    static constexpr std::uint32_t infinite = 0xFFFFFFFFu;

    void add_reader(const std::string& name, bool card = false) {
        std::lock_guard<std::mutex> lock(m_);
        readers_.emplace_back(name, card);
        ++reader_generation_;
        changed_.notify_all();
    }
    void unplug_reader(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_);
        for (auto it = readers_.begin(); it != readers_.end(); ++it)
            if (it->first == name) {
                readers_.erase(it);
                break;
            }
        ++reader_generation_;
        changed_.notify_all();
    }
    void insert(const std::string& name) { set_card(name, true); }
    void remove(const std::string& name) { set_card(name, false); }

    // Blocked waits end with code, and until restart every call fails with
    // SCARD_E_NO_SERVICE.
    void stop_service(platform::pcsc_code code) {
        std::lock_guard<std::mutex> lock(m_);
        down_ = true;
        down_code_ = code;
        changed_.notify_all();
    }
    void restart_service() {
        std::lock_guard<std::mutex> lock(m_);
        down_ = false;
        changed_.notify_all();
    }
    // The next status-change wait returns code at once.
    void fail_next_wait(platform::pcsc_code code) {
        std::lock_guard<std::mutex> lock(m_);
        wait_failures_.push_back(code);
        changed_.notify_all();
    }

    // Every later status-change wait fails at once with code (0: no more).
    void fail_every_wait(platform::pcsc_code code) {
        std::lock_guard<std::mutex> lock(m_);
        every_wait_fails_ = code;
        changed_.notify_all();
    }
    // Cancels are accepted and do nothing, as with a service that hangs.
    void ignore_cancels(bool ignore) {
        std::lock_guard<std::mutex> lock(m_);
        ignore_cancels_ = ignore;
    }

    // Waits (up to a generous bound) until at least `calls` status-change
    // waits have been made and one is blocked with nothing to report.
    bool wait_until_idle(int calls) {
        std::unique_lock<std::mutex> lock(m_);
        return idle_.wait_for(lock, std::chrono::seconds(20),
                              [&] { return status_calls_ >= calls && blocked_ > 0; });
    }
    // Waits until establish_context has been called `calls` times.
    bool wait_for_establish_calls(int calls) {
        std::unique_lock<std::mutex> lock(m_);
        return idle_.wait_for(lock, std::chrono::seconds(20), [&] { return establish_calls_ >= calls; });
    }

    int status_calls() const { return locked(status_calls_); }
    int establish_calls() const { return locked(establish_calls_); }
    int cancel_calls() const { return locked(cancel_calls_); }
    int live_contexts() const {
        std::lock_guard<std::mutex> lock(m_);
        return static_cast<int>(live_.size());
    }
    // The reader names of the last status-change wait, in order.
    std::vector<std::string> watched() const {
        std::lock_guard<std::mutex> lock(m_);
        return watched_;
    }

    platform::pcsc_code establish_context(platform::pcsc_context* context) override {
        std::lock_guard<std::mutex> lock(m_);
        ++establish_calls_;
        idle_.notify_all();
        if (down_) return platform::pcsc_rc::no_service;
        if (context == nullptr) return platform::to_pcsc_code(SCARD_E_INVALID_PARAMETER);
        *context = static_cast<platform::pcsc_context>(next_context_++);
        live_.insert(*context);
        return 0;
    }
    platform::pcsc_code release_context(platform::pcsc_context context) override {
        std::lock_guard<std::mutex> lock(m_);
        return live_.erase(context) == 1 ? 0 : platform::to_pcsc_code(SCARD_E_INVALID_HANDLE);
    }
    platform::pcsc_code list_readers(platform::pcsc_context context, char* buffer, std::uint32_t* length) override {
        std::lock_guard<std::mutex> lock(m_);
        if (down_) return platform::pcsc_rc::no_service;
        if (live_.count(context) == 0) return platform::to_pcsc_code(SCARD_E_INVALID_HANDLE);
        if (length == nullptr) return platform::to_pcsc_code(SCARD_E_INVALID_PARAMETER);
        if (readers_.empty()) return platform::pcsc_rc::no_readers;
        std::string multi;
        for (const auto& r : readers_) multi += r.first + '\0';
        multi.push_back('\0');
        const auto need = static_cast<std::uint32_t>(multi.size());
        if (buffer == nullptr) {
            *length = need;
            return 0;
        }
        if (*length < need) {
            *length = need;
            return platform::pcsc_rc::insufficient_buffer;
        }
        std::memcpy(buffer, multi.data(), need);
        *length = need;
        return 0;
    }
    platform::pcsc_code get_status_change(platform::pcsc_context context, std::uint32_t timeout_ms,
                                          platform::pcsc_reader_state* states, std::uint32_t count) override {
        std::unique_lock<std::mutex> lock(m_);
        ++status_calls_;
        watched_.clear();
        for (std::uint32_t i = 0; i < count; ++i) watched_.emplace_back(states[i].szReader);
        if (live_.count(context) == 0) return platform::to_pcsc_code(SCARD_E_INVALID_HANDLE);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (down_) return down_code_;
            if (every_wait_fails_ != 0) return every_wait_fails_;
            if (!wait_failures_.empty()) {
                const platform::pcsc_code code = wait_failures_.front();
                wait_failures_.erase(wait_failures_.begin());
                return code;
            }
            if (cancelled_.erase(context) == 1) return platform::pcsc_rc::cancelled;
            if (report(states, count)) return 0;
            ++blocked_;
            ++blocked_on_[context];
            idle_.notify_all();
            bool timed_out = false;
            if (timeout_ms == infinite)
                changed_.wait(lock);
            else
                timed_out = changed_.wait_until(lock, deadline) == std::cv_status::timeout;
            --blocked_;
            --blocked_on_[context];
            if (timed_out) return platform::pcsc_rc::timeout;
        }
    }
    platform::pcsc_code cancel(platform::pcsc_context context) override {
        std::lock_guard<std::mutex> lock(m_);
        ++cancel_calls_;
        if (live_.count(context) == 0) return platform::to_pcsc_code(SCARD_E_INVALID_HANDLE);
        if (blocked_on_[context] > 0 && !ignore_cancels_) {
            cancelled_.insert(context);
            changed_.notify_all();
        }
        return 0;
    }

private:
    int locked(const int& value) const {
        std::lock_guard<std::mutex> lock(m_);
        return value;
    }

    void set_card(const std::string& name, bool card) {
        std::lock_guard<std::mutex> lock(m_);
        for (auto& r : readers_)
            if (r.first == name) r.second = card;
        changed_.notify_all();
    }

    // Fills the event states; true when one differs from what the caller
    // knows (an unaware entry always does).
    bool report(platform::pcsc_reader_state* states, std::uint32_t count) {
        static const std::uint8_t atr[] = {0x3B, 0x80, 0x80, 0x01, 0x01};
        constexpr unsigned long kinds = SCARD_STATE_PRESENT | SCARD_STATE_EMPTY | SCARD_STATE_UNKNOWN;
        bool any = false;
        for (std::uint32_t i = 0; i < count; ++i) {
            platform::pcsc_reader_state& s = states[i];
            unsigned long now;
            bool changed;
            if (std::strcmp(s.szReader, platform::pnp_notification_reader) == 0) {
                now = static_cast<unsigned long>(reader_generation_) << 16;
                changed = (s.dwCurrentState >> 16) != reader_generation_;
            } else {
                const std::pair<std::string, bool>* reader = nullptr;
                for (const auto& r : readers_)
                    if (r.first == s.szReader) reader = &r;
                now = reader == nullptr ? SCARD_STATE_UNKNOWN : reader->second ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
                changed = (s.dwCurrentState & kinds) != now;
                s.cbAtr = 0;
                if (now == SCARD_STATE_PRESENT) {
                    std::memcpy(s.rgbAtr, atr, sizeof atr);
                    s.cbAtr = sizeof atr;
                }
            }
            s.dwEventState = changed ? (now | SCARD_STATE_CHANGED) : now;
            any = any || changed;
        }
        return any;
    }

    mutable std::mutex m_;
    std::condition_variable changed_;  // for blocked waits
    std::condition_variable idle_;     // for the test
    std::vector<std::pair<std::string, bool>> readers_;
    unsigned long reader_generation_ = 0;
    bool down_ = false;
    platform::pcsc_code down_code_ = platform::pcsc_rc::no_service;
    std::vector<platform::pcsc_code> wait_failures_;
    platform::pcsc_code every_wait_fails_ = 0;
    bool ignore_cancels_ = false;
    std::set<platform::pcsc_context> live_;
    std::set<platform::pcsc_context> cancelled_;
    std::map<platform::pcsc_context, int> blocked_on_;
    long next_context_ = 0x1000;
    int blocked_ = 0;
    int status_calls_ = 0;
    int establish_calls_ = 0;
    int cancel_calls_ = 0;
    std::vector<std::string> watched_;
};

}  // namespace test_support
