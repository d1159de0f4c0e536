// A PC/SC table for tests: each call can be given a queue of results to
// return before it falls back to the system's service, and every call is
// counted. Install it with scoped_pcsc. With fake_service() nothing reaches
// the system: unscripted calls succeed with fake handles, and transmit
// answers only the replies scripted for it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pcsc_api.h"

namespace test_support {

enum class pcsc_call {
    establish_context, release_context, list_readers, connect, reconnect, disconnect,
    transmit, begin_transaction, end_transaction, get_status_change, cancel
};

class scripted_pcsc : public platform::pcsc_api {
public:
    // The next calls of `call` return these codes (and do nothing else).
    void script(pcsc_call call, std::vector<platform::pcsc_code> codes) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& q = scripted_[call];
        q.insert(q.end(), codes.begin(), codes.end());
    }
    // Every later call of `call` returns `code` without reaching the service.
    void always(pcsc_call call, platform::pcsc_code code) {
        std::lock_guard<std::mutex> lock(mutex_);
        always_[call] = code;
    }
    // Replies that transmit hands back instead of asking the card.
    void script_reply(std::vector<std::uint8_t> reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.push_back(std::move(reply));
    }
    // A fixed reader multi-string for list_readers (names without the
    // trailing NULs).
    void readers(std::vector<std::string> names) {
        std::lock_guard<std::mutex> lock(mutex_);
        readers_ = std::move(names);
        fixed_readers_ = true;
    }
    // Unscripted calls no longer reach the system's service: contexts and
    // connections succeed with fake_context_ / fake_handle_, the reader list
    // is the fixed one (or none), and a transmit without a scripted reply
    // fails with SCARD_F_COMM_ERROR.
    void fake_service() {
        std::lock_guard<std::mutex> lock(mutex_);
        fake_ = true;
    }
    // Handles passed to release_context / disconnect, in call order.
    std::vector<platform::pcsc_context> released() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return released_;
    }
    std::vector<platform::pcsc_handle> disconnected() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return disconnected_;
    }
    int count(pcsc_call call) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = counts_.find(call);
        return it == counts_.end() ? 0 : it->second;
    }
    std::vector<std::vector<std::uint8_t>> sent() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }

    platform::pcsc_code establish_context(platform::pcsc_context* c) override {
        platform::pcsc_code rc;
        if (take(pcsc_call::establish_context, rc)) {
            if (c != nullptr && rc == 0) *c = fake_context_;
            return rc;
        }
        if (is_fake()) {
            if (c != nullptr) *c = fake_context_;
            return 0;
        }
        return pcsc_api::establish_context(c);
    }
    platform::pcsc_code release_context(platform::pcsc_context c) override {
        platform::pcsc_code rc;
        record(released_, c);
        if (take(pcsc_call::release_context, rc) || c == fake_context_ || is_fake()) return rc;
        return pcsc_api::release_context(c);
    }
    platform::pcsc_code list_readers(platform::pcsc_context c, char* buf, std::uint32_t* len) override {
        platform::pcsc_code rc;
        if (take(pcsc_call::list_readers, rc)) return rc;
        if (fixed_readers_) return fixed_list(buf, len);
        if (is_fake()) return platform::pcsc_rc::no_readers;
        return pcsc_api::list_readers(c, buf, len);
    }
    platform::pcsc_code connect(platform::pcsc_context c, const char* r, std::uint32_t s, std::uint32_t p,
                                platform::pcsc_handle* h, std::uint32_t* a) override {
        platform::pcsc_code rc;
        if (take(pcsc_call::connect, rc)) {
            if (rc == 0 && h != nullptr) *h = fake_handle_;
            if (rc == 0 && a != nullptr) *a = SCARD_PROTOCOL_T1;
            return rc;
        }
        if (is_fake()) {
            if (h != nullptr) *h = fake_handle_;
            if (a != nullptr) *a = SCARD_PROTOCOL_T1;
            return 0;
        }
        return pcsc_api::connect(c, r, s, p, h, a);
    }
    platform::pcsc_code reconnect(platform::pcsc_handle h, std::uint32_t s, std::uint32_t p, std::uint32_t i,
                                  std::uint32_t* a) override {
        platform::pcsc_code rc;
        if (take(pcsc_call::reconnect, rc) || h == fake_handle_ || is_fake()) return rc;
        return pcsc_api::reconnect(h, s, p, i, a);
    }
    platform::pcsc_code disconnect(platform::pcsc_handle h, std::uint32_t d) override {
        platform::pcsc_code rc;
        record(disconnected_, h);
        if (take(pcsc_call::disconnect, rc) || h == fake_handle_ || is_fake()) return rc;
        return pcsc_api::disconnect(h, d);
    }
    platform::pcsc_code transmit_t1(platform::pcsc_handle h, const std::uint8_t* cmd, std::uint32_t len,
                                    std::uint8_t* reply, std::uint32_t* reply_len) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cmd != nullptr) sent_.emplace_back(cmd, cmd + len);
        }
        platform::pcsc_code rc;
        if (take(pcsc_call::transmit, rc)) return rc;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!replies_.empty()) {
                std::vector<std::uint8_t> r = std::move(replies_.front());
                replies_.pop_front();
                if (reply_len == nullptr || r.size() > *reply_len)
                    return platform::to_pcsc_code(SCARD_E_INSUFFICIENT_BUFFER);
                std::copy(r.begin(), r.end(), reply);
                *reply_len = static_cast<std::uint32_t>(r.size());
                return 0;
            }
            if (fake_) return platform::to_pcsc_code(SCARD_F_COMM_ERROR);
        }
        return pcsc_api::transmit_t1(h, cmd, len, reply, reply_len);
    }
    platform::pcsc_code begin_transaction(platform::pcsc_handle h) override {
        platform::pcsc_code rc;
        if (take(pcsc_call::begin_transaction, rc) || h == fake_handle_ || is_fake()) return rc;
        return pcsc_api::begin_transaction(h);
    }
    platform::pcsc_code end_transaction(platform::pcsc_handle h, std::uint32_t d) override {
        platform::pcsc_code rc;
        if (take(pcsc_call::end_transaction, rc) || h == fake_handle_ || is_fake()) return rc;
        return pcsc_api::end_transaction(h, d);
    }
    platform::pcsc_code get_status_change(platform::pcsc_context c, std::uint32_t t,
                                          platform::pcsc_reader_state* s, std::uint32_t n) override {
        platform::pcsc_code rc;
        if (take(pcsc_call::get_status_change, rc)) return rc;
        if (is_fake()) return platform::pcsc_rc::timeout;
        return pcsc_api::get_status_change(c, t, s, n);
    }
    platform::pcsc_code cancel(platform::pcsc_context c) override {
        platform::pcsc_code rc;
        if (take(pcsc_call::cancel, rc) || c == fake_context_ || is_fake()) return rc;
        return pcsc_api::cancel(c);
    }

    // Values handed out for scripted successes: never real service handles.
    static constexpr platform::pcsc_context fake_context_ = static_cast<platform::pcsc_context>(0x5eed);
    static constexpr platform::pcsc_handle fake_handle_ = static_cast<platform::pcsc_handle>(0xcafe);

private:
    bool is_fake() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return fake_;
    }
    template <class T>
    void record(std::vector<T>& to, T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        to.push_back(value);
    }
    bool take(pcsc_call call, platform::pcsc_code& rc) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counts_[call];
        auto& q = scripted_[call];
        if (!q.empty()) {
            rc = q.front();
            q.pop_front();
            return true;
        }
        auto it = always_.find(call);
        if (it != always_.end()) {
            rc = it->second;
            return true;
        }
        rc = 0;
        return false;
    }
    platform::pcsc_code fixed_list(char* buf, std::uint32_t* len) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (len == nullptr) return platform::to_pcsc_code(SCARD_E_INVALID_PARAMETER);
        std::string multi;
        for (const auto& n : readers_) {
            multi += n;
            multi.push_back('\0');
        }
        if (readers_.empty()) return platform::pcsc_rc::no_readers;
        multi.push_back('\0');
        const auto need = static_cast<std::uint32_t>(multi.size());
        if (buf == nullptr) {
            *len = need;
            return 0;
        }
        if (*len < need) {
            *len = need;
            return platform::pcsc_rc::insufficient_buffer;
        }
        std::copy(multi.begin(), multi.end(), buf);
        *len = need;
        return 0;
    }

    mutable std::mutex mutex_;
    std::map<pcsc_call, std::deque<platform::pcsc_code>> scripted_;
    std::map<pcsc_call, platform::pcsc_code> always_;
    std::map<pcsc_call, int> counts_;
    std::deque<std::vector<std::uint8_t>> replies_;
    std::vector<std::vector<std::uint8_t>> sent_;
    std::vector<std::string> readers_;
    bool fixed_readers_ = false;
    bool fake_ = false;
    std::vector<platform::pcsc_context> released_;
    std::vector<platform::pcsc_handle> disconnected_;
};

// Puts a table in force for one scope, and instant sleeps with it.
class scoped_pcsc {
public:
    explicit scoped_pcsc(platform::pcsc_api& api) {
        platform::set_pcsc(&api);
        platform::set_sleep_hook(&record_sleep);
        slept_ms() = 0;
    }
    ~scoped_pcsc() {
        platform::set_pcsc(nullptr);
        platform::set_sleep_hook(nullptr);
    }
    scoped_pcsc(const scoped_pcsc&) = delete;
    scoped_pcsc& operator=(const scoped_pcsc&) = delete;

    // Milliseconds the code under test asked to sleep while in force.
    static std::atomic<std::uint64_t>& slept_ms() {
        static std::atomic<std::uint64_t> total{0};
        return total;
    }

private:
    static void record_sleep(std::uint32_t ms) { slept_ms() += ms; }
};

}  // namespace test_support
