// The module's core object: initialisation and finalisation, the global lock
// every export takes once, the token and session managers, and the
// slot-monitor thread that follows device arrival and removal.
//
// Life cycle. An export enters the core (refused with
// CKR_CRYPTOKI_NOT_INITIALIZED unless initialised), takes the global lock
// once around its work and leaves. C_Finalize stops new entries, wakes the
// blocked C_WaitForSlotEvent callers, stops the device events and the
// monitor thread (without the lock: the monitor takes it), waits until every
// export has left, closes all sessions and drops the tokens under the lock,
// and only then destroys the lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include <pkcs11_vendor.h>

#include "device_source.h"
#include "platform/worker_thread.h"
#include "session_mgr.h"
#include "token_mgr.h"

namespace pkcs11 {

struct mutex_callbacks {
    CK_CREATEMUTEX create = nullptr;
    CK_DESTROYMUTEX destroy = nullptr;
    CK_LOCKMUTEX lock = nullptr;
    CK_UNLOCKMUTEX unlock = nullptr;
};

class Pkcs11Core {
public:
    // Longest wait for the monitor thread to end at C_Finalize.
    static constexpr std::uint32_t monitor_stop_ms = 1000;

    // The core of this process. A child made by fork() gets a fresh one,
    // not initialised (the parent's stays behind, untouched).
    static Pkcs11Core& instance();

    Pkcs11Core();
    ~Pkcs11Core();
    Pkcs11Core(const Pkcs11Core&) = delete;
    Pkcs11Core& operator=(const Pkcs11Core&) = delete;

    CK_RV initialize(CK_VOID_PTR pInitArgs);
    CK_RV finalize(CK_VOID_PTR pReserved);

    // One export's stay in the core.
    class call {
    public:
        explicit call(Pkcs11Core& core);
        ~call();
        call(const call&) = delete;
        call& operator=(const call&) = delete;
        // False: the module is not initialised (or finalising).
        bool entered() const { return entered_; }
        Pkcs11Core& core() { return core_; }

    private:
        Pkcs11Core& core_;
        bool entered_;
    };

    // Holds the global lock for a scope. Only inside an entered call or on
    // the monitor thread.
    class lock_scope {
    public:
        explicit lock_scope(Pkcs11Core& core);
        lock_scope(const mutex_callbacks& callbacks, CK_VOID_PTR mutex);
        ~lock_scope();
        lock_scope(const lock_scope&) = delete;
        lock_scope& operator=(const lock_scope&) = delete;
        // False: the lock callback failed; the work must not run.
        bool held() const { return ok_; }

    private:
        mutex_callbacks callbacks_;
        CK_VOID_PTR mutex_;
        bool ok_;
    };

    pkcs11_token_mgr& tokens() { return tokens_; }
    pkcs11_session_mgr& sessions() { return sessions_; }
    pkcs11_device_source& devices() { return *devices_; }
    // Installs the card layer's device source (before C_Initialize).
    void set_device_source(std::unique_ptr<pkcs11_device_source> devices);
    // The device source every core made from now on starts with (the
    // loaded module installs the card layer's); none: no devices.
    using device_source_factory = std::unique_ptr<pkcs11_device_source> (*)();
    static void set_device_source_factory(device_source_factory factory);

    // The lock in force (for tests of its choice).
    CK_VOID_PTR global_mutex() const { return mutex_; }
    const mutex_callbacks& callbacks() const { return callbacks_; }

    // Starts the slot monitor unless it runs (once, however many callers).
    void ensure_monitor();
    bool monitor_running();
    // The monitor's body runs (it follows the devices).
    bool monitor_watching();
    // Exports inside the core right now.
    int calls_inside();

    // C_WaitForSlotEvent after its argument checks, inside an entered call.
    CK_RV wait_for_slot_event(CK_FLAGS flags, CK_SLOT_ID& slot);

    // Fork support: a spare core made before fork(), installed in the child.
    static void prepare_fork();
    static void parent_after_fork();
    static void child_after_fork();

private:
    enum class phase { down, up, finalising };

    // The global lock a monitor thread uses. A monitor left to finish alone
    // at C_Finalize destroys it when it ends (the one of the two that comes
    // second destroys it).
    struct monitor_lock {
        mutex_callbacks callbacks;
        CK_VOID_PTR mutex = nullptr;
        std::mutex handoff;
        bool left = false;   // C_Finalize went on without the monitor
        bool ended = false;  // the monitor's body has ended
    };
    void monitor_body(const std::shared_ptr<monitor_lock>& lock, std::uint64_t generation);
    // Wakes the blocked C_WaitForSlotEvent callers; abort: they leave.
    void wake_waiters(bool abort);

    // Lifecycle, process-local.
    std::mutex life_mutex_;
    std::condition_variable life_cv_;
    phase phase_ = phase::down;
    int active_calls_ = 0;

    // The global lock in force while initialised.
    mutex_callbacks callbacks_;
    CK_VOID_PTR mutex_ = nullptr;

    pkcs11_token_mgr tokens_;
    pkcs11_session_mgr sessions_;
    std::unique_ptr<pkcs11_device_source> devices_;

    // Slot monitor and the waiters of C_WaitForSlotEvent.
    std::mutex monitor_mutex_;
    platform::worker_thread monitor_;
    std::shared_ptr<monitor_lock> monitor_lock_;
    bool monitor_closed_ = true;  // from C_Finalize to the next C_Initialize
    std::atomic<bool> monitor_run_{false};
    // One per C_Initialize: a monitor left running from an earlier one sees
    // the change and leaves without touching the new state. The monitor's
    // refresh runs holding monitor_work_, which C_Initialize takes to count
    // on, so no refresh of an old monitor overlaps the new state.
    std::atomic<std::uint64_t> generation_{0};
    std::mutex monitor_work_;
    std::mutex event_mutex_;
    std::condition_variable event_cv_;
    std::uint64_t event_count_ = 0;
    bool aborting_ = false;
};

}  // namespace pkcs11
