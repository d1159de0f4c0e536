#include "card_device_source.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "card_device.h"
#include "notify/device_event_wait.h"
#include "platform/pcsc_api.h"
#include "transport/device_list.h"

namespace solvantex {

namespace {

// The readers of names that hold a card now. A reader the service cannot
// report on counts as empty; a service that cannot be reached gives its
// code.
int keep_readers_with_card(std::vector<std::string>& names) {
    if (names.empty()) return 0;
    platform::pcsc_api& pcsc = platform::pcsc();
    platform::pcsc_context context = 0;
    const platform::pcsc_code opened = pcsc.establish_context(&context);
    if (opened != 0) return opened;
    std::vector<platform::pcsc_reader_state> states(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        states[i] = {};
        states[i].szReader = names[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    const platform::pcsc_code rc =
        pcsc.get_status_change(context, 0, states.data(), static_cast<std::uint32_t>(states.size()));
    (void)pcsc.release_context(context);
    if (rc != 0 && rc != platform::pcsc_rc::timeout) return rc;
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < names.size(); ++i)
        if ((states[i].dwEventState & SCARD_STATE_PRESENT) != 0 && (states[i].dwEventState & SCARD_STATE_MUTE) == 0)
            kept.push_back(names[i]);
    names.swap(kept);
    return 0;
}

std::atomic<bool> exiting{false};

void mark_exiting() { exiting = true; }

}  // namespace

card_device_source::card_device_source() {
    static const bool registered = [] {
        (void)zervik::device_event_callback();
        (void)zervik::device_manager();
        (void)device_of(1);  // builds the handle table
        return std::atexit(&mark_exiting) == 0;
    }();
    (void)registered;
}

bool card_device_source::process_exiting() const { return exiting.load(); }

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
        // A token device is a token reader holding a card.
        const int present = keep_readers_with_card(listed);
        if (present != 0) return present;
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
