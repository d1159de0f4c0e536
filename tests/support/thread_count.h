// The threads of this process (Linux: the entries of /proc/self/task).
#pragma once

#ifdef __linux__
#include <cstddef>
#include <filesystem>

namespace test_support {

inline std::size_t thread_count() {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++n;
    }
    return n;
}

}  // namespace test_support
#endif
