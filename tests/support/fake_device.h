// A device for command-layer tests: it records every command it is asked to
// send and answers from a queue of scripted replies (6D00 when the queue is
// empty), or fails the exchange with a given transmit result.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "support/hex_bytes.h"
#include "transport/device_base.h"

namespace test_support {

inline bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// n bytes counting up from first.
inline bytes counting(std::size_t n, std::uint8_t first = 1) {
    bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
    return out;
}

class fake_device : public zervik::device_base {
public:
    std::vector<bytes> sent;
    std::deque<bytes> replies;
    std::int32_t transmit_result = 0;

    void answer(bytes reply) { replies.push_back(std::move(reply)); }

    std::int32_t transmit(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                          std::uint32_t* reply_length) override {
        sent.emplace_back(command, command + length);
        if (transmit_result != 0) return transmit_result;
        bytes r = {0x6D, 0x00};
        if (!replies.empty()) {
            r = std::move(replies.front());
            replies.pop_front();
        }
        if (r.size() > *reply_length) return 2;
        if (!r.empty()) std::memcpy(reply, r.data(), r.size());
        *reply_length = static_cast<std::uint32_t>(r.size());
        return 0;
    }
};

}  // namespace test_support
