// The threads of this process (Linux: the entries of /proc/self/task).
#pragma once

#ifdef __linux__
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <thread>

namespace test_support {

inline std::size_t thread_count() {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++n;
    }
    return n;
}

// The thread count once it is at most limit, or the count at the deadline: a
// joined thread can stay listed for a moment after its join returned.
inline std::size_t thread_count_within(std::size_t limit,
                                       std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::size_t n = thread_count();
    while (n > limit && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        n = thread_count();
    }
    return n;
}

}  // namespace test_support
#endif
