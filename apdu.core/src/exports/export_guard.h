// Every exported function runs its body through guarded(), so that no
// exception leaves the library: anything thrown becomes the given code.
#pragma once

#include <cstdint>

#include "platform/pcsc_api.h"

namespace zervik {

// The status a PC/SC-result export gives for a failure of its own.
inline const std::int32_t internal_pcsc_error = platform::to_pcsc_code(SCARD_F_INTERNAL_ERROR);

template <class Body>
int guarded(int on_exception, Body&& body) noexcept {
    try {
        return static_cast<int>(body());
    } catch (...) {
        return on_exception;
    }
}

}  // namespace zervik
