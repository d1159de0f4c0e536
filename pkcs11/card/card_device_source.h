// The module core's device source over the card layer: the token readers
// by name, and the arrival and removal wait.
#pragma once

#include <string>
#include <vector>

#include "device_source.h"

namespace solvantex {

class card_device_source final : public pkcs11::pkcs11_device_source {
public:
    // Builds the card layer's process-wide state now, so that the exit
    // handler registered here runs before that state is destroyed.
    card_device_source();
    bool process_exiting() const override;
    int list_devices(std::vector<std::string>& names) override;
    int wait_event() override;
    void stop_events() override;
    void restart_events() override;
};

}  // namespace solvantex
