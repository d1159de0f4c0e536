// The watch thread that follows card arrival and removal in the PC/SC
// readers: status-change waits over the PnP notification entry and at most
// max_readers readers, reported through a callback. Every PC/SC call goes
// through platform::pcsc(), every pause through platform::sleep_ms().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/pcsc_api.h"
#include "platform/worker_thread.h"

namespace zervik {

// Report types of the callback.
constexpr std::int32_t notify_arrival = 0;
constexpr std::int32_t notify_removal = 2;
constexpr std::int32_t notify_ended = 3;

// HRESULT E_FAIL, the failure of start and stop.
constexpr std::int32_t notifier_failed = static_cast<std::int32_t>(0x80004005u);

class ISmartCardConnectionNotifierRef {
public:
    virtual ~ISmartCardConnectionNotifierRef() = default;
    // type: notify_arrival, notify_removal or notify_ended (reader "" then).
    // cards is always null (the service's card names are not looked up).
    // Called on the watch thread.
    virtual void notify(std::int32_t type, const char* reader, const char* cards, const std::uint8_t* atr,
                        std::uint32_t atr_length) {
        (void)type;
        (void)reader;
        (void)cards;
        (void)atr;
        (void)atr_length;
    }
};

class CSmartCardConnectionNotifier {
public:
    // Readers watched beside the PnP entry; further readers are not watched
    // until a watched one goes.
    static constexpr std::uint32_t max_readers = 9;
    // The first status-change wait of a context; later ones have no limit.
    static constexpr std::uint32_t first_wait_ms = 2000;
    // Pause before the next attempt after a cycle failed or the service went
    // away, so that a service that stays down costs no CPU.
    static constexpr std::uint32_t retry_pause_ms = 500;
    // How long stop waits for the thread before leaving it to end alone.
    static constexpr std::uint32_t stop_bound_ms = 2000;

    explicit CSmartCardConnectionNotifier(std::shared_ptr<ISmartCardConnectionNotifierRef> callback);
    // Runs stop when a thread was started.
    virtual ~CSmartCardConnectionNotifier();

    CSmartCardConnectionNotifier(const CSmartCardConnectionNotifier&) = delete;
    CSmartCardConnectionNotifier& operator=(const CSmartCardConnectionNotifier&) = delete;

    // Starts the watch thread: 0; notifier_failed without a callback, while
    // a thread still runs, or when no thread can be made.
    std::int32_t start();
    // Asks the thread to end (stop flag, then the PC/SC wait cancelled)
    // and waits up to stop_bound_ms; a thread that outlives the bound is left
    // to end alone with its state. The callback then receives notify_ended
    // exactly once for this stop, and nothing from that thread afterwards.
    // 0; notifier_failed when no thread was started.
    std::int32_t stop();
    // As stop, without waiting for the thread (for unload under the Windows
    // loader lock, or on the watch thread itself).
    std::int32_t stop_without_wait();
    // As stop, but waits (cancelling the PC/SC wait again and again) until
    // the thread has ended, however long past stop_bound_ms that takes: for
    // an unload where the thread cannot keep the library's code loaded
    // itself (POSIX), so that no thread ever runs in unmapped code.
    std::int32_t stop_until_ended();
    // A watch thread was started and has not ended.
    bool running() const;
    // Work the watch thread does last, once it has stopped watching; stop
    // does not wait for it where the thread holds the module (the
    // device-event wait lets the threads still in the library leave first).
    // Set it before start.
    void set_thread_end(std::function<void()> at_end) { at_end_ = std::move(at_end); }

    struct watch_state;

private:
    enum class wait_kind { none, bounded, until_ended };
    std::int32_t stop(wait_kind wait);

    std::shared_ptr<ISmartCardConnectionNotifierRef> callback_;
    std::shared_ptr<watch_state> state_;
    std::function<void()> at_end_;
    platform::worker_thread thread_;
};

}  // namespace zervik
