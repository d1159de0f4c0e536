#include "card_device.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "card_profile.h"
#include "notify/device_event_wait.h"
#include "protocol/status.h"
#include "transport/device_list.h"

namespace solvantex {

using namespace zervik;

namespace {

// ---- handles --------------------------------------------------------------

// The ids given out for listed devices. An entry lives while its device is
// listed; every path that deletes devices sweeps the table.
struct handle_table {
    std::vector<std::pair<card_handle, const device_winscard*>> entries;
    card_handle next_id = 1;

    card_handle issue(const device_winscard* device) {
        for (const auto& e : entries)
            if (e.second == device) return e.first;
        entries.emplace_back(next_id, device);
        return next_id++;
    }
    const device_winscard* find(card_handle id) const {
        for (const auto& e : entries)
            if (e.first == id) return e.second;
        return nullptr;
    }
    void forget(card_handle id) {
        for (auto it = entries.begin(); it != entries.end(); ++it)
            if (it->first == id) {
                entries.erase(it);
                return;
            }
    }
    // Drops the entries of devices no longer listed.
    void sweep() {
        std::vector<std::pair<card_handle, const device_winscard*>> kept;
        for (const auto& e : entries)
            if (device_manager().nodes().find(e.second) != nullptr) kept.push_back(e);
        entries.swap(kept);
    }
};

handle_table& handles() {
    static handle_table table;
    return table;
}

}  // namespace

device_winscard* device_of(card_handle handle) {
    if (handle == 0) return nullptr;
    const device_winscard* device = handles().find(handle);
    if (device == nullptr) return nullptr;
    return listed_device(device);
}

// ---- listing ------------------------------------------------------------

std::int32_t list_devices(char* buffer, std::uint32_t* length) {
    if (length == nullptr) return status_failed;
    reader_name_slots slots{};
    std::int32_t found = 0;
    const std::int32_t listed = list_reader_names_checked(token_reader_word, slots, &found);
    if (listed != 0) return listed;

    device_sc_manager& list = device_manager();
    list.refresh_from(slots, found, nullptr, nullptr);
    list.purge_removed();
    handles().sweep();

    // The walk starts from the head with a cursor of its own every time.
    std::vector<char> names;
    mk_node* cursor = nullptr;
    for (device_winscard* d = list.first(cursor); d != nullptr; d = list.next(cursor)) {
        const char* name = d->name();
        names.insert(names.end(), name, name + std::strlen(name) + 1);
    }
    if (names.empty()) {
        // An empty multi-string, as far as the buffer has room.
        if (buffer != nullptr && *length >= 1) buffer[0] = '\0';
        if (buffer != nullptr && *length >= 2) buffer[1] = '\0';
        *length = 0;
        return status_ok;
    }
    names.push_back('\0');
    const auto needed = static_cast<std::uint32_t>(names.size());
    if (buffer == nullptr || *length < needed) {
        *length = needed;
        return status_unusable;
    }
    std::memcpy(buffer, names.data(), needed);
    *length = needed;
    return status_ok;
}

// ---- open and close -----------------------------------------------------

std::int32_t open_device(const char* name, card_handle* handle) {
    if (name == nullptr || *name == '\0' || handle == nullptr) return status_failed;
    device_winscard* device = find_device_by_name(name);
    if (device == nullptr) device = device_manager().find_or_create(name);
    if (device == nullptr) return status_failed;
    const std::int32_t status = device->connect();
    if (status != 0) return status;
    *handle = handles().issue(device);
    set_module_sm_flag(0);
    return status_ok;
}

std::int32_t close_device(card_handle handle) {
    device_winscard* device = device_of(handle);
    if (device == nullptr) return status_failed;
    device->disconnect();
    handles().forget(handle);
    const std::int32_t status = remove_device_from_list(device);
    handles().sweep();
    return status;
}

// ---- the event wait -----------------------------------------------------

namespace {

struct wait_state {
    std::mutex mutex;
    std::condition_variable left;
    bool cancelled = false;
    std::uint32_t inside = 0;
};

wait_state& waits() {
    static wait_state* state = new wait_state;  // waits may outlive exit-time destructors
    return *state;
}

// How often, and how long each time, a cancel stops the watch while a wait
// is still inside (one that was about to start the watch when the first
// stop came).
constexpr int cancel_rounds = 50;
constexpr auto cancel_round = std::chrono::milliseconds(100);

}  // namespace

std::int32_t wait_token_device_event(void* unused, std::int32_t* event) {
    (void)unused;
    if (event == nullptr) return status_failed;
    *event = 0;
    wait_state& w = waits();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.cancelled) {
            *event = token_wait_cancelled;
            return status_ok;
        }
        ++w.inside;
    }
    struct leave_guard {
        wait_state& w;
        ~leave_guard() {
            std::lock_guard<std::mutex> lock(w.mutex);
            --w.inside;
            w.left.notify_all();
        }
    } leave{w};

    for (;;) {
        std::int32_t got = 0;
        if (wait_device_event(token_reader_word, &got) != 0) return status_failed;
        if (got == event_arrival || got == event_removal) {
            *event = got;
            return status_ok;
        }
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.cancelled) {
            *event = token_wait_cancelled;
            return status_ok;
        }
        // The watch ended without a cancel: the next round starts it again
        // (each round has already paused after its event).
    }
}

void cancel_token_device_event() {
    wait_state& w = waits();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.cancelled = true;
    }
    for (int round = 0; round < cancel_rounds; ++round) {
        (void)cancel_device_wait();
        std::unique_lock<std::mutex> lock(w.mutex);
        if (w.left.wait_for(lock, cancel_round, [&w] { return w.inside == 0; })) return;
    }
}

void restart_token_device_event() {
    wait_state& w = waits();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.cancelled = false;
}

}  // namespace solvantex
