// A mutex that several processes share by name: exclusive between threads
// and between processes, recursive for the thread that holds it, and taken
// over by the next waiter when its holder dies.
//
// Windows: the system's named mutex, created with a null DACL so that any
// user and session can open it. POSIX: threads of one process meet in a
// process-wide table of names (owner thread and recursion count); processes
// meet in flock() on a lock file in /tmp (mode 0666), which the kernel drops
// when the holding process dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Time-out that waits without limit.
constexpr std::uint32_t wait_forever = 0xFFFFFFFFu;

enum class lock_result {
    acquired,   // the calling thread holds the mutex (also after its holder died)
    timed_out,  // another thread or process held it for the whole time-out
    failed,     // the mutex is not open, or the platform's wait failed
};

// The outcome of a platform wait code (WaitForSingleObject's values):
// 0 signalled and 0x80 abandoned both mean "now yours", 0x102 a time-out,
// anything else a failure. A mutex abandoned by a dead holder is owned by
// the waiter that saw it, so it is never released and waited for again.
lock_result classify_wait(std::uint32_t wait_code);

// Longest object name the platform takes, without the terminating NUL.
constexpr std::size_t max_object_name = 259;

// name itself when it is at most max_length characters long; otherwise its
// first characters followed by '#' and 16 hex digits of a 64-bit hash of
// the whole name, max_length characters in all. Two names that differ
// anywhere stay different (short of a hash collision); a name is never cut.
std::string bounded_object_name(const std::string& name, std::size_t max_length);

class named_mutex {
public:
    named_mutex() = default;
    // Closes the mutex; holds of the calling thread are released first.
    ~named_mutex();

    named_mutex(const named_mutex&) = delete;
    named_mutex& operator=(const named_mutex&) = delete;

    // Creates the mutex of that name, or opens it when it exists, not owned.
    // 0 when open (also when it already was); 1 when the security
    // descriptor cannot be built, 2 when its null DACL cannot be set (both
    // Windows only); 3 when the mutex cannot be created or opened (also for
    // a null or empty name). Names longer than max_object_name are bounded
    // with bounded_object_name.
    int open(const char* name);
    bool is_open() const;

    // Waits up to milliseconds (wait_forever: no limit) for the mutex.
    // Every acquired result is one hold, to be released once.
    lock_result lock(std::uint32_t milliseconds);
    // Releases one hold of the calling thread: false when the calling
    // thread holds none (the mutex is left as it is).
    bool unlock();

    // Gives the mutex up. The calling thread's holds through this object
    // are released first; holds of another thread cannot be released from
    // here (on Windows the mutex stays that thread's until it ends; natively
    // the last close in a process frees it).
    void close();

    // Holds taken through this object and not yet released.
    std::int32_t holds() const;

private:
    struct state;
    state* state_ = nullptr;
};

}  // namespace platform
