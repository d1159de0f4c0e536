// The frame of a card-command export: the handle is checked against the
// device list, then one method of a manager of the family runs; 1 for a bad
// handle, and no exception leaves the library.
#pragma once

#include "ZervikSolvanta.h"
#include "exports/export_guard.h"
#include "protocol/status.h"
#include "transport/device_list.h"

namespace zervik {

template <class Manager, class F>
int with_manager(ZERVIK_HANDLE handle, F&& f) {
    return guarded(status_failed, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_failed;
        Manager manager(device);
        return f(manager);
    });
}

}  // namespace zervik
