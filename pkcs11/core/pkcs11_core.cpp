#include "pkcs11_core.h"

#include <chrono>
#include <new>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "global_lock.h"

namespace pkcs11 {

namespace {

std::atomic<Pkcs11Core*> current_core{nullptr};
// A core made before fork(), for the child; and the parent's core that a
// child leaves behind (kept reachable, never used again).
Pkcs11Core* spare_core = nullptr;
Pkcs11Core* left_behind = nullptr;

std::atomic<Pkcs11Core::device_source_factory> source_factory{nullptr};

std::unique_ptr<pkcs11_device_source> first_device_source() {
    const Pkcs11Core::device_source_factory factory = source_factory.load();
    if (factory != nullptr) {
        std::unique_ptr<pkcs11_device_source> made = factory();
        if (made) return made;
    }
    return std::make_unique<pkcs11_no_devices>();
}

constexpr mutex_callbacks default_callbacks{&default_create_mutex, &default_destroy_mutex, &default_lock_mutex,
                                            &default_unlock_mutex};

// How long a blocked C_WaitForSlotEvent sleeps between looks at the pending
// list when no wake-up comes.
constexpr auto slot_event_poll = std::chrono::milliseconds(300);

}  // namespace

Pkcs11Core& Pkcs11Core::instance() {
    static std::once_flag once;
    std::call_once(once, [] {
        current_core.store(new Pkcs11Core);
#ifndef _WIN32
        pthread_atfork(&Pkcs11Core::prepare_fork, &Pkcs11Core::parent_after_fork, &Pkcs11Core::child_after_fork);
#endif
    });
    return *current_core.load();
}

void Pkcs11Core::prepare_fork() { spare_core = new (std::nothrow) Pkcs11Core; }

void Pkcs11Core::parent_after_fork() {
    delete spare_core;
    spare_core = nullptr;
}

void Pkcs11Core::child_after_fork() {
    // Only the forking thread lives on: the parent's core may hold locks of
    // threads that do not exist here, so the child starts on a fresh one.
    if (spare_core == nullptr) return;
    left_behind = current_core.exchange(spare_core);
    spare_core = nullptr;
}

Pkcs11Core::Pkcs11Core() : devices_(first_device_source()) {}

void Pkcs11Core::set_device_source_factory(device_source_factory factory) { source_factory.store(factory); }

Pkcs11Core::~Pkcs11Core() = default;

void Pkcs11Core::set_device_source(std::unique_ptr<pkcs11_device_source> devices) {
    std::lock_guard<std::mutex> lock(life_mutex_);
    if (phase_ == phase::down && devices) devices_ = std::move(devices);
}

bool Pkcs11Core::monitor_running() {
    std::lock_guard<std::mutex> monitor(monitor_mutex_);
    return monitor_.attached();
}

bool Pkcs11Core::monitor_watching() {
    std::lock_guard<std::mutex> monitor(monitor_mutex_);
    // While C_Finalize stops it the monitor is not to be touched (and the
    // list stays as it is).
    return monitor_closed_ || monitor_.running();
}

int Pkcs11Core::calls_inside() {
    std::lock_guard<std::mutex> life(life_mutex_);
    return active_calls_;
}

CK_RV Pkcs11Core::initialize(CK_VOID_PTR pInitArgs) {
    std::unique_lock<std::mutex> life(life_mutex_);
    life_cv_.wait(life, [this] { return phase_ != phase::finalising; });
    if (phase_ == phase::up) return CKR_CRYPTOKI_ALREADY_INITIALIZED;

    mutex_callbacks chosen = default_callbacks;
    if (pInitArgs != nullptr) {
        const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
        if (args->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
        const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                          (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
        if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
        // The caller's four callbacks are used whatever the flags say;
        // CKF_OS_LOCKING_OK alone means the module's own lock.
        if (given == 4) chosen = {args->CreateMutex, args->DestroyMutex, args->LockMutex, args->UnlockMutex};
        // CKF_LIBRARY_CANT_CREATE_OS_THREADS is not honoured: the slot
        // monitor is a thread of the module's own.
    }

    CK_VOID_PTR mutex = nullptr;
    // The default callbacks fall back to a process-local lock and fail only
    // for want of memory; a caller's failing create leaves the module as it
    // was.
    const CK_RV rv = chosen.create(&mutex);
    if (rv != CKR_OK) return rv;

    callbacks_ = chosen;
    mutex_ = mutex;
    {
        // A monitor of an earlier initialisation, left to finish alone,
        // ends its refresh first and then sees the new generation.
        std::lock_guard<std::mutex> work(monitor_work_);
        generation_.fetch_add(1);
    }
    {
        std::lock_guard<std::mutex> monitor(monitor_mutex_);
        monitor_closed_ = false;
    }
    devices_->restart_events();
    {
        std::lock_guard<std::mutex> events(event_mutex_);
        aborting_ = false;
    }
    phase_ = phase::up;
    return CKR_OK;
}

CK_RV Pkcs11Core::finalize(CK_VOID_PTR pReserved) {
    if (pReserved != nullptr) return CKR_ARGUMENTS_BAD;
    {
        std::lock_guard<std::mutex> life(life_mutex_);
        if (phase_ != phase::up) return CKR_CRYPTOKI_NOT_INITIALIZED;
        phase_ = phase::finalising;
    }
    // 1. No new call enters; blocked slot-event waiters leave.
    wake_waiters(true);
    if (devices_->process_exiting()) {
        // Called from an exit handler: the card layer may be gone already.
        // The monitor and the tokens are left to the ending process.
        {
            std::lock_guard<std::mutex> monitor(monitor_mutex_);
            monitor_closed_ = true;
            monitor_run_ = false;
        }
        if (monitor_.attached()) monitor_.detach();
        std::lock_guard<std::mutex> life(life_mutex_);
        phase_ = phase::down;
        life_cv_.notify_all();
        return CKR_OK;
    }
    // 2. The device events end, so that the monitor's wait returns.
    devices_->stop_events();
    // 3. The monitor is asked to end and joined without the lock (it takes
    //    the lock around each refresh). One that does not end in time is
    //    left to finish alone with the lock it uses.
    //    No call can start it again meanwhile.
    {
        std::lock_guard<std::mutex> monitor(monitor_mutex_);
        monitor_closed_ = true;
        monitor_run_ = false;
    }
    bool lock_left_to_monitor = false;
    if (monitor_.attached() && !monitor_.join_for(monitor_stop_ms)) {
        monitor_.detach();
        std::lock_guard<std::mutex> handoff(monitor_lock_->handoff);
        lock_left_to_monitor = !monitor_lock_->ended;
        monitor_lock_->left = true;
    }
    monitor_lock_.reset();
    // 4. Every export still inside (the woken waiters among them) leaves.
    {
        std::unique_lock<std::mutex> life(life_mutex_);
        life_cv_.wait(life, [this] { return active_calls_ == 0; });
    }
    // 5. Sessions and tokens go under the lock.
    {
        lock_scope lock(callbacks_, mutex_);
        sessions_.close_all();
        tokens_.drop_all();
    }
    // 6. The lock goes last.
    if (!lock_left_to_monitor && mutex_ != nullptr) (void)callbacks_.destroy(mutex_);
    mutex_ = nullptr;
    {
        std::lock_guard<std::mutex> life(life_mutex_);
        phase_ = phase::down;
        life_cv_.notify_all();
    }
    return CKR_OK;
}

Pkcs11Core::call::call(Pkcs11Core& core) : core_(core), entered_(false) {
    std::lock_guard<std::mutex> life(core_.life_mutex_);
    if (core_.phase_ == phase::up) {
        ++core_.active_calls_;
        entered_ = true;
    }
}

Pkcs11Core::call::~call() {
    if (!entered_) return;
    std::lock_guard<std::mutex> life(core_.life_mutex_);
    if (--core_.active_calls_ == 0) core_.life_cv_.notify_all();
}

Pkcs11Core::lock_scope::lock_scope(Pkcs11Core& core) : lock_scope(core.callbacks_, core.mutex_) {}

Pkcs11Core::lock_scope::lock_scope(const mutex_callbacks& callbacks, CK_VOID_PTR mutex)
    : callbacks_(callbacks), mutex_(mutex), ok_(mutex == nullptr || callbacks.lock(mutex) == CKR_OK) {}

Pkcs11Core::lock_scope::~lock_scope() {
    // A failing unlock is not reported.
    if (ok_ && mutex_ != nullptr) (void)callbacks_.unlock(mutex_);
}

void Pkcs11Core::ensure_monitor() {
    std::lock_guard<std::mutex> monitor(monitor_mutex_);
    if (monitor_closed_ || monitor_.attached()) return;
    // Marked running before the thread exists: the thread reads only what
    // is set here.
    monitor_run_ = true;
    auto lock = std::make_shared<monitor_lock>();
    lock->callbacks = callbacks_;
    lock->mutex = mutex_;
    const std::uint64_t generation = generation_.load();
    // A failed start leaves the module without a monitor: waits then end
    // only with C_Finalize.
    if (monitor_.start([this, lock, generation] { monitor_body(lock, generation); }))
        monitor_lock_ = lock;
    else
        monitor_run_ = false;
}

void Pkcs11Core::monitor_body(const std::shared_ptr<monitor_lock>& held, std::uint64_t generation) {
    const auto current = [&] { return monitor_run_ && generation_.load() == generation; };
    while (current()) {
        const int event = devices_->wait_event();
        if (event != pkcs11_device_source::event_arrival && event != pkcs11_device_source::event_removal) break;
        {
            lock_scope lock(held->callbacks, held->mutex);
            if (!lock.held()) continue;
            std::lock_guard<std::mutex> work(monitor_work_);
            if (!current()) break;
            (void)tokens_.refresh(*devices_);
        }
        wake_waiters(false);
    }
    std::lock_guard<std::mutex> handoff(held->handoff);
    held->ended = true;
    if (held->left && held->mutex != nullptr) (void)held->callbacks.destroy(held->mutex);
}

void Pkcs11Core::wake_waiters(bool abort) {
    std::lock_guard<std::mutex> events(event_mutex_);
    if (abort) aborting_ = true;
    ++event_count_;
    event_cv_.notify_all();
}

CK_RV Pkcs11Core::wait_for_slot_event(CK_FLAGS flags, CK_SLOT_ID& slot) {
    ensure_monitor();
    bool look_at_readers = false;
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard<std::mutex> events(event_mutex_);
            if (aborting_) return CKR_CRYPTOKI_NOT_INITIALIZED;
            seen = event_count_;
        }
        {
            lock_scope lock(*this);
            if (!lock.held()) return CKR_GENERAL_ERROR;
            if (look_at_readers) {
                // A change made before the monitor's watch took its first
                // look at the readers is reported to nobody: a blocked wait
                // that hears nothing compares the readers with the tokens
                // itself.
                std::lock_guard<std::mutex> work(monitor_work_);
                (void)tokens_.refresh(*devices_);
            }
            if (tokens_.take_pending(slot)) return CKR_OK;
        }
        if (flags & CKF_DONT_BLOCK) return CKR_NO_EVENT;
        std::unique_lock<std::mutex> events(event_mutex_);
        look_at_readers =
            !event_cv_.wait_for(events, slot_event_poll, [&] { return aborting_ || event_count_ != seen; });
    }
}

}  // namespace pkcs11
