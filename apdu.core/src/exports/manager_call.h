// The frame of a card command export: the handle is checked against the
// device list first (1 for a null or unlisted handle), then one method of
// the family's manager runs; nothing thrown leaves the export.
#pragma once

#include "exports/export_guard.h"
#include "protocol/status.h"
#include "transport/device_list.h"

namespace zervik {

template <class Manager, class F>
int with_manager(const void* handle, F&& f) {
    return guarded(status_failed, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_failed;
        Manager manager(device);
        // Multi-command methods look again before every command.
        manager.set_handle_check([handle] { return listed_device(handle) != nullptr; });
        return f(manager);
    });
}

}  // namespace zervik
