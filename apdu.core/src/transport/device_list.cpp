#include "transport/device_list.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace zervik {

using platform::pcsc;

namespace {

std::atomic<bool> process_exiting{false};

device_sc_manager the_device_manager;

bool same_name(const device_winscard* device, const char* name) {
    return std::strcmp(device->name(), name) == 0;
}

// Copies at most size - 1 characters of text and terminates.
void bounded_copy(char* to, std::size_t size, const char* text) {
    std::size_t n = 0;
    if (text != nullptr)
        while (n + 1 < size && text[n] != '\0') ++n;
    std::memcpy(to, text == nullptr ? "" : text, n);
    to[n] = '\0';
}

// The reader multi-string of the service, sized by asking first: 0 (names
// empty when the service has no reader) or the service's failure code.
std::int32_t reader_multistring(platform::pcsc_context context, std::vector<char>& names) {
    names.clear();
    std::int32_t code = platform::pcsc_rc::insufficient_buffer;
    // A reader can arrive between the size query and the listing.
    for (int attempt = 0; attempt < 3 && code == platform::pcsc_rc::insufficient_buffer; ++attempt) {
        std::uint32_t length = 0;
        code = pcsc().list_readers(context, nullptr, &length);
        if (code != 0 || length == 0) break;
        names.assign(length, '\0');
        code = pcsc().list_readers(context, names.data(), &length);
        if (code == 0) names.resize(length < names.size() ? length : names.size());
    }
    if (code == platform::pcsc_rc::no_readers) code = 0;
    if (code != 0) names.clear();
    return code;
}

}  // namespace

// ---- device_discover: trivial defaults --------------------------------

std::int32_t device_discover::list_readers(const char*, reader_name_slots&) { return 0; }
std::int32_t device_discover::enumerate(const char*) { return -1; }
std::int32_t device_discover::refresh(std::int32_t*, std::int32_t*, const char*) { return -1; }
device_winscard* device_discover::device_at(std::int32_t) { return nullptr; }
std::int32_t device_discover::device_count() { return 0; }
device_winscard* device_discover::first(mk_node*&) { return nullptr; }
device_winscard* device_discover::next(mk_node*&) { return nullptr; }
device_winscard* device_discover::node_device(const mk_node*) { return nullptr; }
std::int32_t device_discover::purge_removed() { return 0; }
device_winscard* device_discover::add_device(const char*, platform::pcsc_context, platform::pcsc_handle) {
    return nullptr;
}
device_winscard* device_discover::find_or_create(const char*) { return nullptr; }
std::int32_t device_discover::remove_device(mk_node*) { return 1; }
std::int32_t device_discover::remove_by_name(const char*) { return 0; }

// ---- device_sc_manager -------------------------------------------------

device_sc_manager::device_sc_manager() {
    // The system's PC/SC table must outlive the list, whose destructor may
    // still release connections through it.
    platform::system_pcsc();
}

device_sc_manager::~device_sc_manager() {
    cursor_ = nullptr;
    if (!process_exiting.load(std::memory_order_acquire)) {
        for (mk_node* n = list_.head(); n != nullptr; n = n->next) {
            delete n->value;
            n->value = nullptr;
        }
    }
    list_.clear();
}

std::int32_t device_sc_manager::list_readers(const char* filter, reader_name_slots& slots) {
    char bounded[filter_size];
    bounded_copy(bounded, sizeof bounded, filter);
    return list_reader_names(bounded, slots);
}

std::int32_t device_sc_manager::enumerate(const char* filter) {
    reader_count_ = refresh(nullptr, nullptr, filter);
    return reader_count_;
}

std::int32_t device_sc_manager::refresh(std::int32_t* removed, std::int32_t* added, const char* filter) {
    bounded_copy(filter_, sizeof filter_, filter);
    reader_name_slots slots{};
    const std::int32_t count = list_readers(filter_, slots);
    return refresh_from(slots, count, removed, added);
}

std::int32_t device_sc_manager::refresh_from(const reader_name_slots& slots, std::int32_t count,
                                             std::int32_t* removed, std::int32_t* added) {
    if (count < 0) count = 0;
    if (count > max_listed_readers) count = max_listed_readers;
    std::int32_t marked_removed = 0;
    for (mk_node* n = list_.head(); n != nullptr; n = n->next) {
        bool present = false;
        for (std::int32_t i = 0; i < count && !present; ++i) present = same_name(n->value, slots.name[i]);
        n->value->set_state(present ? device_present : device_removed);
        if (!present) ++marked_removed;
    }

    std::int32_t added_count = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        if (node_named(slots.name[i]) != nullptr) continue;
        auto* device = new device_winscard(slots.name[i]);
        try {
            list_.append(device);
        } catch (...) {
            delete device;
            throw;
        }
        device->set_state(device_new);
        ++added_count;
    }

    if (removed != nullptr) *removed = marked_removed;
    if (added != nullptr) *added = added_count;
    return count;
}

device_winscard* device_sc_manager::device_at(std::int32_t index) {
    if (index < 0 || index >= reader_count_) return nullptr;
    mk_node* n = list_.head();
    for (std::int32_t i = 0; n != nullptr && i < index; ++i) n = n->next;
    return n == nullptr ? nullptr : n->value;
}

std::int32_t device_sc_manager::device_count() {
    return list_.size();
}

device_winscard* device_sc_manager::first(mk_node*& cursor) {
    cursor = list_.head();
    return node_device(cursor);
}

device_winscard* device_sc_manager::next(mk_node*& cursor) {
    if (cursor == nullptr) return first(cursor);
    if (cursor->next == nullptr) return nullptr;
    cursor = cursor->next;
    return cursor->value;
}

device_winscard* device_sc_manager::node_device(const mk_node* node) {
    return node == nullptr ? nullptr : node->value;
}

void device_sc_manager::drop(mk_node* node) {
    if (cursor_ == node) cursor_ = node->next;
    device_winscard* device = node->value;
    list_.remove(node);
    delete device;
}

std::int32_t device_sc_manager::purge_removed() {
    mk_node* n = list_.head();
    while (n != nullptr) {
        mk_node* next = n->next;
        if (n->value->state() == device_removed) drop(n);
        n = next;
    }
    return 0;
}

device_winscard* device_sc_manager::add_device(const char* name, platform::pcsc_context context,
                                               platform::pcsc_handle card) {
    if (!device_winscard::valid_reader_name(name)) return nullptr;
    auto* device = new device_winscard(name);
    try {
        list_.append(device);
    } catch (...) {
        delete device;
        throw;
    }
    device->attach(context, card);
    return device;
}

device_winscard* device_sc_manager::find_or_create(const char* name) {
    if (!device_winscard::valid_reader_name(name)) return nullptr;
    if (mk_node* n = node_named(name)) return n->value;
    return add_device(name, 0, 0);
}

std::int32_t device_sc_manager::remove_device(mk_node* node) {
    if (node == nullptr) return 1;
    for (mk_node* n = list_.head(); n != nullptr; n = n->next) {
        if (n == node) {
            drop(node);
            return 0;
        }
    }
    return 1;
}

std::int32_t device_sc_manager::remove_by_name(const char* name) {
    if (name == nullptr) return 0;
    if (mk_node* n = node_named(name)) drop(n);
    return 0;
}

mk_node* device_sc_manager::node_named(const char* name) const {
    for (mk_node* n = list_.head(); n != nullptr; n = n->next)
        if (same_name(n->value, name)) return n;
    return nullptr;
}

// ---- helpers -----------------------------------------------------------

device_sc_manager& device_manager() {
    return the_device_manager;
}

std::int32_t list_reader_names(const char* filter, reader_name_slots& slots) {
    std::int32_t count = 0;
    return list_reader_names_checked(filter, slots, &count) == 0 ? count : 0;
}

std::int32_t list_reader_names_checked(const char* filter, reader_name_slots& slots, std::int32_t* found) {
    *found = 0;
    if (filter == nullptr) filter = "";
    platform::pcsc_context context = 0;
    const std::int32_t established = pcsc().establish_context(&context);
    if (established != 0) return established;
    std::vector<char> names;
    std::int32_t code = 0;
    try {
        code = reader_multistring(context, names);
    } catch (...) {
        pcsc().release_context(context);
        throw;
    }
    pcsc().release_context(context);
    if (code != 0) return code;

    std::int32_t count = 0;
    const char* at = names.data();
    const char* const end = at + names.size();
    while (at < end && count < max_listed_readers) {
        const auto* nul = static_cast<const char*>(std::memchr(at, '\0', static_cast<std::size_t>(end - at)));
        if (nul == nullptr || nul == at) break;  // unterminated, or the final NUL
        const auto length = static_cast<std::size_t>(nul - at);
        if (length < device_winscard::reader_name_size && std::strstr(at, filter) != nullptr) {
            std::memcpy(slots.name[count], at, length + 1);
            ++count;
        }
        at = nul + 1;
    }
    *found = count;
    return 0;
}

device_winscard* find_device_by_name(const char* name) {
    if (name == nullptr) return nullptr;
    device_sc_manager& list = device_manager();
    mk_node* cursor = nullptr;
    for (device_winscard* d = list.first(cursor); d != nullptr; d = list.next(cursor))
        if (same_name(d, name)) return d;
    return nullptr;
}

std::int32_t remove_device_from_list(const device_winscard* device) {
    if (device == nullptr) return 1;
    device_sc_manager& list = device_manager();
    mk_node* node = list.nodes().find(device);
    if (node == nullptr) return 1;
    return list.remove_device(node);
}

std::int32_t check_device_handle(const void* handle) {
    if (handle == nullptr) return 1;
    return listed_device(handle) != nullptr ? 0 : 2;
}

device_winscard* listed_device(const void* handle) {
    if (handle == nullptr) return nullptr;
    for (mk_node* n = device_manager().nodes().head(); n != nullptr; n = n->next)
        if (static_cast<const void*>(n->value) == handle) return n->value;
    return nullptr;
}

void note_process_exit() {
    process_exiting.store(true, std::memory_order_release);
}

}  // namespace zervik
