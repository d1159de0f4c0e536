// The process-wide secure-channel flag: non-zero makes the command families
// that follow it send wrapped. Every API manager copies it when built.
#pragma once

#include <atomic>
#include <cstdint>

namespace zervik {

extern std::atomic<std::int32_t> use_secure_channel;

}  // namespace zervik
