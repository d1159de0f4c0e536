// A fixed-size byte buffer for secrets: wiped when it goes out of scope,
// on every path out.
#pragma once

#include <mbedtls/platform_util.h>

#include <cstddef>
#include <cstdint>

namespace zervik {

template <std::size_t N>
struct wiped_bytes {
    std::uint8_t bytes[N] = {};

    wiped_bytes() = default;
    ~wiped_bytes() { mbedtls_platform_zeroize(bytes, N); }
    wiped_bytes(const wiped_bytes&) = delete;
    wiped_bytes& operator=(const wiped_bytes&) = delete;

    std::uint8_t* data() { return bytes; }
    const std::uint8_t* data() const { return bytes; }
    static constexpr std::size_t size() { return N; }
};

}  // namespace zervik
