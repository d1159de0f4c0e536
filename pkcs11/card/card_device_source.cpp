#include "card_device_source.h"

#include <cstring>

#include "card_device.h"

namespace solvantex {

int card_device_source::list_devices(std::vector<std::string>& names) {
    std::vector<char> buffer(1024);
    // A reader can arrive between two listings: ask again with the length
    // the last one needed, a bounded number of times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        auto length = static_cast<std::uint32_t>(buffer.size());
        const std::int32_t status = solvantex::list_devices(buffer.data(), &length);
        if (status == 2) {
            buffer.resize(length);
            continue;
        }
        if (status != 0) return status;
        std::vector<std::string> listed;
        for (std::size_t at = 0; at < length && buffer[at] != '\0';) {
            const std::size_t n = std::strlen(buffer.data() + at);
            listed.emplace_back(buffer.data() + at, n);
            at += n + 1;
        }
        names.swap(listed);
        return 0;
    }
    return 2;
}

int card_device_source::wait_event() {
    std::int32_t event = 0;
    const std::int32_t status = wait_token_device_event(nullptr, &event);
    return status == 0 ? event : -1;
}

void card_device_source::stop_events() { cancel_token_device_event(); }

void card_device_source::restart_events() { restart_token_device_event(); }

}  // namespace solvantex
