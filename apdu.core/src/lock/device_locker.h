// The cross-process lock of a device: a named mutex "Global\" + reader name
// that every process of every user can open. Holds nest within the thread
// that holds it; only that thread can release it.
#pragma once

#include <cstdint>

#include "platform/named_mutex.h"

namespace zervik {

// Results of device_locker::lock and of the device's lock.
constexpr std::int32_t lock_done = 0;
constexpr std::int32_t lock_not_open = 1;    // the mutex could not be opened
constexpr std::int32_t lock_failed = 2;      // the wait itself failed
constexpr std::int32_t lock_timed_out = 0x102;

// The named-mutex record: handle, open flag and hold count.
using mk_named_mutex = platform::named_mutex;

// Opens (or creates) the record's mutex: 0 when done, or when the record is
// null or already open; 1 security descriptor, 2 null DACL, 3 the mutex
// could not be created or opened.
std::int32_t mk_named_mutex_open(mk_named_mutex* record, const char* name);
// Releases the calling thread's holds, closes the mutex and frees the
// record; a null record is ignored. 0.
std::int32_t mk_named_mutex_close(mk_named_mutex* record);

// Holds the record of one locker; frees it (mk_named_mutex_close) when it goes.
class mk_mutex {
public:
    mk_mutex() = default;
    virtual ~mk_mutex();

    mk_mutex(const mk_mutex&) = delete;
    mk_mutex& operator=(const mk_mutex&) = delete;

    mk_named_mutex* record = nullptr;
};

// A lock with a name; the defaults do nothing and return 1.
class device_locker {
public:
    virtual ~device_locker() = default;
    virtual std::int32_t open(const char* name) {
        (void)name;
        return 1;
    }
    virtual std::int32_t lock(std::uint32_t milliseconds) {
        (void)milliseconds;
        return 1;
    }
    virtual std::int32_t unlock() { return 1; }
    virtual std::int32_t close() { return 1; }
};

class device_mutex_locker : public device_locker {
public:
    static constexpr const char* name_prefix = "Global\\";

    device_mutex_locker() = default;
    // Releases the calling thread's holds and closes the mutex.
    ~device_mutex_locker() override = default;

    // Opens "Global\" + name when the locker's mutex is not open yet: 0, or
    // mk_named_mutex_open's code (3 also for a null name).
    std::int32_t open(const char* name) override;
    // lock_done (one more hold), lock_timed_out, lock_failed, or
    // lock_not_open when open has not succeeded.
    std::int32_t lock(std::uint32_t milliseconds) override;
    // Releases one hold: 0, also when nothing is held; 1 when the holds are
    // another thread's (nothing released).
    std::int32_t unlock() override;
    // Releases every hold and closes the mutex: 0; 1 when holds of another
    // thread remain (the mutex then stays open for that thread to release).
    std::int32_t close() override;

    std::int32_t holds() const { return mutex_.record == nullptr ? 0 : mutex_.record->holds(); }
    bool is_open() const { return mutex_.record != nullptr && mutex_.record->is_open(); }

private:
    mk_mutex mutex_;
};

}  // namespace zervik
