// A thread that can be stopped with a bounded wait. Nothing kills a thread:
// its owner asks it to end (by its own means), then waits a bounded time;
// a thread that outlives the bound is left to finish alone, keeping alive
// whatever its body holds.
//
// On Windows the thread holds a reference on the module that contains this
// code and ends with FreeLibraryAndExitThread, so that a library is never
// unmapped under a thread still running in it; the thread's last work (see
// start) can then keep the module mapped for other threads still inside it.
// POSIX loaders have no such call: a thread left to finish alone there marks
// the module that contains this code never to be unloaded, and an owner that
// goes with its module (a static destructor run by dlclose) must wait for
// its thread instead of leaving it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class worker_thread {
public:
    worker_thread() = default;
    // Leaves a thread still running to finish alone.
    ~worker_thread();

    worker_thread(const worker_thread&) = delete;
    worker_thread& operator=(const worker_thread&) = delete;

    // The thread holds the module loaded while it runs (Windows).
#ifdef _WIN32
    static constexpr bool holds_module = true;
#else
    static constexpr bool holds_module = false;
#endif

    // Runs body, then last, on a new thread: false when a thread of this
    // object was started and not yet joined or left, or no thread could be
    // made. Where the thread holds the module, join_for waits for body only
    // and last runs on alone; elsewhere join_for waits for both.
    bool start(std::function<void()> body, std::function<void()> last = {});
    // A thread was started and neither joined nor left.
    bool attached() const;
    // The attached thread has not finished its body yet.
    bool running() const;
    // Called on the attached thread itself.
    bool is_current() const;
    // Waits up to milliseconds for the thread to end (see start): true when
    // it did (it is then joined and the object can start anew), false when
    // it still runs. Never call it from the thread itself (false at once).
    bool join_for(std::uint32_t milliseconds);
    // Leaves the thread to finish alone, without waiting (on POSIX systems a
    // thread still running pins the module; see above).
    void detach();

    struct control;

private:
    std::shared_ptr<control> control_;
};

}  // namespace platform
