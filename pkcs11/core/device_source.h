// What the module core needs from its card layer to keep its slots: the
// names of the token devices present, and a blocking wait for their arrival
// and removal that the core can end from another thread.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pkcs11 {

class pkcs11_device_source {
public:
    static constexpr int event_arrival = 1;
    static constexpr int event_removal = 2;
    static constexpr int event_stopped = 3;

    virtual ~pkcs11_device_source() = default;

    // The names of the token devices present, in the card layer's order:
    // 0, or the card layer's failure code (names left as they were).
    virtual int list_devices(std::vector<std::string>& names) = 0;
    // Blocks until a device arrives (event_arrival) or leaves
    // (event_removal), or the wait is stopped (event_stopped); any other
    // value is a failure.
    virtual int wait_event() = 0;
    // Ends a blocked wait_event and every later one with event_stopped.
    virtual void stop_events() = 0;
    // Lets wait_event block again (a new initialisation).
    virtual void restart_events() = 0;
    // True once the process has begun to exit and the card layer's own
    // state may be gone: a C_Finalize then (an application's exit handler)
    // must leave the card layer alone.
    virtual bool process_exiting() const { return false; }
};

// The device source of a module without a card layer: no device is ever
// present and no event arrives until the wait is stopped.
class pkcs11_no_devices final : public pkcs11_device_source {
public:
    int list_devices(std::vector<std::string>& names) override {
        names.clear();
        return 0;
    }
    int wait_event() override {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return stopped_; });
        return event_stopped;
    }
    void stop_events() override {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        cv_.notify_all();
    }
    void restart_events() override {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
};

}  // namespace pkcs11
