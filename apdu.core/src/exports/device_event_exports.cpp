// Exported functions: waiting for a token to arrive or leave.
#include <cstdint>

#include "ZervikSolvanta.h"
#include "exports/export_guard.h"
#include "notify/device_event_wait.h"

using namespace zervik;

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_WaitforDevEvent(const char* spec, int* event) {
    return guarded(1, [&]() -> int {
        if (event == nullptr) return 1;
        std::int32_t got = 0;
        *event = 0;
        const std::int32_t result = wait_device_event(spec, &got);
        *event = got;
        return result;
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_CancelWait(void) {
    return guarded(0, [] { return cancel_device_wait(); });
}

}  // extern "C"
