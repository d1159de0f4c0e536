// One card call of the module's card layer: the device-handle check, then a
// manager made with the device and the module's secure-messaging flag as it
// stands. Calls of several commands look at the handle again before each one.
#pragma once

#include <cstdint>

#include "card_device.h"
#include "card_profile.h"
#include "protocol/status.h"

namespace solvantex {

template <typename Manager, typename Call>
std::int32_t with_manager(card_handle h, Call&& call) {
    zervik::device_winscard* device = device_of(h);
    if (device == nullptr) return zervik::status_failed;
    Manager manager(device, module_sm_flag());
    manager.set_handle_check([h] { return device_of(h) != nullptr; });
    return call(manager);
}

}  // namespace solvantex
