// Exported functions: waiting for a token to arrive or leave.
#include <cstdint>

#include "ZervikSolvanta.h"
#include "exports/export_guard.h"
#include "notify/device_event_wait.h"
#include "protocol/status.h"

using namespace zervik;

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_WaitforDevEvent(const char* spec, int* event) {
    return guarded(status_failed, [&]() -> int {
        if (event == nullptr) return status_failed;
        std::int32_t got = 0;
        *event = 0;
        const std::int32_t result = wait_device_event(spec, &got);
        *event = got;
        return result;
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_CancelWait(void) {
    return guarded(status_ok, [] { return cancel_device_wait(); });
}

}  // extern "C"
