// Timing helpers of the benchmarks: the median of samples and the time of
// one call in microseconds.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace test_support {

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? 0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

template <class F>
double time_us(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace test_support
